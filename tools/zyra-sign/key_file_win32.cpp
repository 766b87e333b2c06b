#include "tools/zyra-sign/key_file.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <system_error>

namespace zyra_sign {

// Windows has no mode bits: a new file takes the permissions its folder
// hands down (a folder in the user's profile: the user, SYSTEM and the
// administrators), so keep private keys in such a folder.
bool WriteKeyFile(const std::string& path, const std::string& bytes, bool /*secret*/,
                  bool replace, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!replace && fs::exists(path, ec)) {
    error = path + " exists: not replaced (--force replaces it)";
    return false;
  }
  const std::string written = replace ? path + ".new" : path;
  {
    std::ofstream out(written, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      error = "cannot write " + written;
      return false;
    }
  }
  if (written != path) {
    fs::rename(written, path, ec);
    if (ec) {
      error = "cannot replace " + path + ": " + ec.message();
      fs::remove(written, ec);
      return false;
    }
  }
  return true;
}

// A console, not merely a character device (_isatty is true for NUL too).
bool InputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

}  // namespace zyra_sign
