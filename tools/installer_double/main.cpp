// zyra-installer-double: stands in for the ZyraAgent installer, on Windows
// (Wine) and on the emulated machine alike. It records the arguments it got,
// sets "DisplayVersion" under HKLM\SOFTWARE\Corvane\CorvZyraAgent (64-bit
// view, the key the stub reads), exits with the chosen code and, like the
// real installer, (re)starts the handler service "CorvZyraHandler" after a
// successful run when the machine has it.
//
// Its folder holds two files:
//   installer-double.calls  the arguments of every run, one per line, a line
//                           "--" after each run (written by the double)
//   installer-double.result what the stub's result file held when the last
//                           run began (written by the double; absent when
//                           there was no result file)
//   installer-double.conf   settings, all optional (written by the test):
//                             version=1.2.3  the version it "installs"
//                                            (default: no registry change)
//                             exit=0         its exit code (default 0)
// The folder is ZYRA_INSTALLER_DOUBLE_DIR (a Windows-form path, such as
// C:\installer-double under Wine) when that is set, otherwise the emulated
// machine's root folder ZYRA_MACHINE_ROOT. Without either it exits with 90,
// when it cannot record its arguments with 91, when it cannot set
// "DisplayVersion" with 92.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "app/agent_update.h"
#include "app/file_helpers.h"
#include "app/run_state.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/utils/service_installer.h"
#include "platform/utf.h"

namespace {

namespace w = platform::win;

std::string Folder() {
  const char* dir = std::getenv("ZYRA_INSTALLER_DOUBLE_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  const char* root = std::getenv("ZYRA_MACHINE_ROOT");
  if (root != nullptr && *root != '\0') return w::FromHostPath(root);
  return std::string();
}

bool RecordCall(const std::string& file, int argc, char** argv) {
  std::string lines;
  for (int i = 1; i < argc; ++i) lines += std::string(argv[i]) + "\n";
  lines += "--\n";
  w::FilePtr f = w::OpenFile(file, "ab");
  return f && std::fwrite(lines.data(), 1, lines.size(), f.get()) == lines.size() &&
         std::fflush(f.get()) == 0;
}

struct Settings {
  std::string version;
  int exitCode = 0;
};

Settings ReadSettings(const std::string& file) {
  Settings s;
  w::FilePtr f = w::OpenFile(file, "rb");
  if (!f) return s;
  std::string text;
  char buf[1024];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("version=", 0) == 0) s.version = line.substr(8);
    if (line.rfind("exit=", 0) == 0) s.exitCode = std::atoi(line.c_str() + 5);
    start = end + 1;
  }
  return s;
}

// Writes DisplayVersion as the real installer does; a Win32 error code.
w::LONG SetDisplayVersion(const std::string& version) {
  w::HKEY raw = nullptr;
  const w::LONG rc = w::RegCreateKeyExW(w::HkeyLocalMachine(), app::kAgentKey,
                                        w::kKeySetValue | w::kKeyWow64_64Key, &raw);
  if (rc != 0) return rc;
  const w::ScopedKey key(raw);
  const std::u16string text = platform::ToUtf16(version);
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.c_str());
  const auto size = static_cast<w::DWORD>((text.size() + 1) * sizeof(char16_t));
  return w::RegSetValueExW(key.get(), u"DisplayVersion", w::kRegSz, data, size);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = Folder();
  if (folder.empty()) return 90;
  if (!RecordCall(folder + "\\installer-double.calls", argc, argv)) return 91;
  std::string result;
  if (app::ReadWholeFile(app::kResultFile, result))
    (void)app::WriteWholeFile(folder + "\\installer-double.result", result);
  const Settings settings = ReadSettings(folder + "\\installer-double.conf");
  if (settings.exitCode != 0) return settings.exitCode;
  if (!settings.version.empty()) {
    const w::LONG rc = SetDisplayVersion(settings.version);
    if (rc != 0) {
      std::fprintf(stderr, "zyra-installer-double: cannot set DisplayVersion (error %ld)\n",
                   static_cast<long>(rc));
      return 92;
    }
  }
  try {
    platform::ServiceInstaller handler(app::kHandlerServiceName);
    (void)handler.Start();
  } catch (const std::exception&) {
    // No service manager on this machine: nothing to start.
  }
  return 0;
}
