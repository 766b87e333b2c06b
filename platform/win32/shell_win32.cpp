// Windows shell folders, temporary folder and module file name.
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "platform/shell.h"

namespace platform::win {

HRESULT SHGetFolderPathA(int csidl, std::string& path) {
  char buf[MAX_PATH] = {};
  const ::HRESULT hr = ::SHGetFolderPathA(nullptr, csidl, nullptr, 0, buf);
  if (SUCCEEDED(hr)) path = buf;
  return static_cast<HRESULT>(hr);
}

int SHCreateDirectoryExA(const std::string& path) {
  return ::SHCreateDirectoryExA(nullptr, path.c_str(), nullptr);
}

DWORD GetTempPathA(std::string& path) {
  char buf[MAX_PATH] = {};
  const ::DWORD n = ::GetTempPathA(MAX_PATH, buf);
  if (n > 0 && n < MAX_PATH) path.assign(buf, n);
  return n;
}

DWORD GetModuleFileNameA(std::string& path, DWORD size) {
  std::string buf(size, '\0');
  const ::DWORD n = ::GetModuleFileNameA(nullptr, buf.data(), size);
  // A cut name fills the buffer (Windows XP leaves it without a NUL).
  if (n > 0) path.assign(buf.data(), n < size ? n : size - 1);
  return n;
}

}  // namespace platform::win
