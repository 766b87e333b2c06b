// zyra-installer-double: stands in for the ZyraAgent installer on the
// emulated machine. It records the arguments it got, one per line, in
// $ZYRA_MACHINE_ROOT/installer-double.calls (a line "--" ends each call),
// sets "DisplayVersion" under HKLM\SOFTWARE\Corvane\CorvZyraAgent in the
// emulated registry, and exits with the chosen code.
//
// Like the real installer, a successful run (re)starts the handler service
// "CorvZyraHandler" when the emulated machine has it.
//
// Settings, from $ZYRA_MACHINE_ROOT/installer-double.conf (all optional):
//   version=1.2.3   the version it "installs" (default: no registry change)
//   exit=0          its exit code (default 0)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "platform/service_installer.h"

namespace {

std::string Root() {
  const char* r = std::getenv("ZYRA_MACHINE_ROOT");
  return r != nullptr ? r : "";
}

void SetDisplayVersion(const std::string& file, const std::string& version) {
  std::string existing;
  {
    std::ifstream in(file, std::ios::binary);
    existing.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::string section = "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraAgent]\r\n"
                              "\"DisplayVersion\"=\"" + version + "\"\r\n";
  std::ofstream out(file, std::ios::binary | std::ios::app);
  if (existing.empty()) {
    out << "Windows Registry Editor Version 5.00\r\n" << section;
  } else if (existing.size() >= 2 && static_cast<unsigned char>(existing[0]) == 0xFF &&
             static_cast<unsigned char>(existing[1]) == 0xFE) {
    for (char c : section) out << c << '\0';  // regedit's UTF-16LE (ASCII text here)
  } else {
    out << section;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string root = Root();
  if (root.empty()) return 90;
  {
    std::ofstream calls(root + "/installer-double.calls", std::ios::app);
    for (int i = 1; i < argc; ++i) calls << argv[i] << "\n";
    calls << "--\n";
  }
  std::string version;
  int exitCode = 0;
  std::ifstream conf(root + "/installer-double.conf");
  for (std::string line; std::getline(conf, line);) {
    if (line.rfind("version=", 0) == 0) version = line.substr(8);
    if (line.rfind("exit=", 0) == 0) exitCode = std::atoi(line.c_str() + 5);
  }
  if (exitCode != 0) return exitCode;
  if (!version.empty()) SetDisplayVersion(root + "/registry.reg", version);
  try {
    platform::ServiceInstaller handler(u"CorvZyraHandler");
    (void)handler.Start();
  } catch (const std::exception&) {
    // No service manager on this machine: nothing to start.
  }
  return 0;
}
