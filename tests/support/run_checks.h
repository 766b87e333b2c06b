#pragma once
// What the whole-run tests share: the paths the update server answers, the
// token they put beside the stub, counting log lines, listing folders,
// private mount namespaces for the stub, and the gmock names they use
// (all of it with `using namespace zyra_test::checks;`).
#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/machine.h"
#include "tests/support/process.h"

namespace zyra_test::checks {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using zyra_test::EmulatedMachine;
using zyra_test::StubRun;

// The manifest the agent configuration points at, and the files it names.
inline constexpr const char* kManifestPath = "/api/files/manifest/zyra/latest";
inline constexpr const char* kVersionFile = "/CorvZyraAgent-Setup.exe.manifest";
inline constexpr const char* kVersionSig = "/CorvZyraAgent-Setup.exe.manifest.sig";
inline constexpr const char* kInstaller = "/CorvZyraAgent-Setup.exe";
inline constexpr const char* kInstallerSig = "/CorvZyraAgent-Setup.exe.sig";

// The provisioning token of the e2e runs.
inline constexpr const char* kRunToken = "{\"orgId\":\"e2e\"}";

// The stub installed with the run's token, and the handler service
// answering success.
inline void InstallStubAndHandler(EmulatedMachine& m) {
  m.InstallStub();
  m.PutToken(kRunToken);
  m.InstallHandlerService({"--behaviour", "success"});
}

inline bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

inline long CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

inline long CountExactly(const std::vector<std::string>& lines, const std::string& line) {
  return std::count(lines.begin(), lines.end(), line);
}

inline long CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// The last n lines of the run's own thread (the clean-up thread names itself
// at its own pace, possibly after the run's last line).
inline std::vector<std::string> RunThreadTail(std::vector<std::string> lines, std::size_t n) {
  lines.erase(std::remove(lines.begin(), lines.end(), "debug  thread: CleanupDownloadLocation"),
              lines.end());
  return std::vector<std::string>(lines.end() - static_cast<long>(std::min(n, lines.size())),
                                  lines.end());
}

// A word for sh -c (the tests' paths hold no single quote).
inline std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// Lines indented, one a line, for a failure's message.
inline std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += "    " + l + "\n";
  return out;
}

// The line the log gives after "provision_result_code <code>".
inline const char* ResultDescription(int code) {
  switch (code) {
    case 0: return "Room successfully provisioned";
    case 122: return "Provisioning Token not found";
    case 123: return "Zyraagent Download failed";
    case 124: return "Zyraagent Installation failed";
    case 125: return "Room provisioning failed";
    default: return "UNKNOWN";
  }
}

// The names in a host folder, sorted (none when it is not there).
inline std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Names left in the emulated machine's download folder.
inline std::vector<std::string> DownloadFolder(const EmulatedMachine& m) {
  return Names(m.C("Windows/Temp/CorvZyra/ZHDownload"));
}

// The file the update server holds for a request's path on the emulated
// machine ("" when none).
inline std::string ServedFile(const EmulatedMachine& m, const std::string& path) {
  if (EndsWith(path, kManifestPath)) return m.ReadFile(m.root() + "/www/manifest.json");
  if (path.find("..") != std::string::npos) return "";
  return m.ReadFile(m.root() + "/www" + path);
}

// A launcher (EmulatedMachine::SetStubLauncher) that runs the stub in a
// private mount namespace after the shell commands of setup; the commands
// of after run there once the stub has ended.
inline std::vector<std::string> InPrivateMounts(const std::string& setup,
                                                const std::string& after = "") {
  return {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
          setup + " || exit 200\n\"$@\"\nrc=$?\n" + after + "\nexit $rc", "sh"};
}

inline bool CanUsePrivateMounts() {
  ProcessOptions o;
  o.argv = {"unshare", "--mount", "--propagation", "private", "--", "true"};
  return Run(o, 30) == 0;
}

}  // namespace zyra_test::checks
