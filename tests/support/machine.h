#pragma once
// A fresh emulated Windows machine for one end-to-end test, with the stub
// installed in C:\Program Files\CorvZyra.
#include <functional>
#include <map>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace zyra_test {

// Where a machine's programs and the key its packages are signed with come
// from. By default those of the build this builder was compiled in; a copy
// of a build names its own (MachineProgramsOf).
struct MachinePrograms {
  std::string stub, handlerDouble, installerDouble, updateServer, sign;
  std::string signingKey;  // empty: a build with a real key
};

// The programs of the build folder buildDir (its app/, tools/ and dev-keys/).
MachinePrograms MachineProgramsOf(const std::string& buildDir);
// Those that are missing (not executable; the key, when asked for: not
// readable), by path.
std::vector<std::string> MissingPrograms(const MachinePrograms& programs, bool withKey);
// The programs every machine made from now on uses.
void UseMachinePrograms(const MachinePrograms& programs);

struct StubRun {
  int exitCode = -1;
  std::string stdoutText;
  std::vector<std::string> consoleMessages;  // "level  message" without the time stamp
};

// Splits log or console text (CR LF or LF lines) into "level  message"
// entries (time stamps dropped).
std::vector<std::string> MessagesOf(const std::string& logText);

// The run of a stub that printed stdoutText and ended with exitCode.
StubRun StubRunOf(int exitCode, std::string stdoutText);

class EmulatedMachine {
 public:
  EmulatedMachine();  // in a fresh folder under /tmp, removed at the end
  // Lays out the machine in root (made when missing) and keeps it at the end.
  explicit EmulatedMachine(const std::string& root);
  ~EmulatedMachine();
  EmulatedMachine(const EmulatedMachine&) = delete;
  EmulatedMachine& operator=(const EmulatedMachine&) = delete;

  [[nodiscard]] const std::string& root() const { return root_; }
  // Host path of a path on drive C: ("Windows/Temp/x" -> <root>/drive_c/Windows/Temp/x).
  [[nodiscard]] std::string C(const std::string& relative) const;

  void InstallStub();
  void PutToken(const std::string& content);
  // The stub (and its token) in another folder on drive C: from now on.
  void MoveStubTo(const std::string& onDriveC);
  // The host path of the token beside the stub.
  [[nodiscard]] std::string TokenPath() const;
  void WriteRegistry(const std::string& body);  // lines after the header
  void SetLogLevel(int level);

  // Starts the handler double (under the same fake clock) with its options.
  void StartHandler(const std::vector<std::string>& args);

  // Installs the handler double as the emulated "CorvZyraHandler" service.
  void InstallHandlerService(const std::vector<std::string>& args);
  // "DisplayVersion" of the installed agent (registry), kept with the log level.
  void SetInstalledAgentVersion(const std::string& version);

  // An update server on loopback offering the agent version with a signed
  // installer double (exiting with installerExit) and version manifest; the
  // agent configuration file points at it. versionDoc replaces the version
  // manifest's content when not empty.
  void OfferAgent(const std::string& version, int installerExit = 0,
                  const std::string& versionDoc = "");
  // Replaces a served file (after signing: a tampered package).
  void TamperServedFile(const std::string& name, const std::string& content);
  // Signs every served file again and rewrites the manifest.
  void Resign();
  // Serves the offered files from a server of the test's own at baseUrl
  // (it answers root()/www): signs them again for that address and points
  // the agent configuration at it.
  void ServeFrom(const std::string& baseUrl);
  // Serves the offered files over HTTPS with this certificate (call before
  // OfferAgent). The stub must then be run where the certificate is trusted
  // (see TrustedCertificateLauncher).
  void UseHttps(const std::string& certFile, const std::string& keyFile);
  // The administrator's proxy override: a PAC script served beside the
  // offered files that sends every URL to proxyAddress ("host:port"), and the
  // "creds" line when creds is not empty (call after OfferAgent).
  void SetProxyOverride(const std::string& proxyAddress, const std::string& creds);
  // Runs the stub through launcher (a command that ends by running its
  // arguments), for example in a private mount namespace.
  void SetStubLauncher(const std::vector<std::string>& launcher) { launcher_ = launcher; }
  [[nodiscard]] std::vector<std::string> InstallerCalls() const;
  // A machine whose agent is current and whose handler service plays args.
  void ReadyForHandOff(const std::vector<std::string>& handlerArgs);
  // Runs the stub on the real clock from now on (not under libfaketime).
  void RunOnRealClock() { realClock_ = true; }
  // Runs the stub to completion under libfaketime (x100) or on the real clock.
  StubRun RunStub(const std::vector<std::string>& args = {},
                  const std::map<std::string, std::string>& env = {},
                  const std::string& workDir = {});
  // How RunStub starts the stub, its console going to stdoutFile.
  [[nodiscard]] ProcessOptions StubProcess(const std::vector<std::string>& args,
                                           const std::map<std::string, std::string>& env,
                                           const std::string& workDir,
                                           const std::string& stdoutFile) const;
  // Runs the stub (as RunStub) while the test plays the handler: once the
  // status file holds the placeholder, answer runs once with the file's host
  // path.
  StubRun RunStubAnsweringThePlaceholder(const std::function<void(const std::string&)>& answer);
  // Exit code of the handler double (waits for it).
  int HandlerExit();

  // Another process's handle on a file that shares it for reading only (as
  // CreateFile with FILE_SHARE_READ): it can be read, but not written,
  // replaced or deleted, until ReleaseHolds or the machine's end.
  void HoldAgainstWriting(const std::string& hostPath);
  // Another process's handle on a file that shares nothing (as CreateFile
  // with no share flags): nobody can read, write or delete it until the
  // stub's log holds line (it lets go within milliseconds), ReleaseHolds or
  // the machine's end.
  void HoldWithoutSharingUntilLogged(const std::string& hostPath, const std::string& line);
  void ReleaseHolds();

  [[nodiscard]] std::string ReadFile(const std::string& hostPath) const;
  [[nodiscard]] bool Exists(const std::string& hostPath) const;
  [[nodiscard]] std::string StubPath() const;
  [[nodiscard]] std::string ResultFile() const;
  [[nodiscard]] std::string LogFile() const;

 private:
  void LayOutDrive();
  void WriteRegistryState();
  [[nodiscard]] std::string ServedBaseUrl() const;
  void WriteAgentConfig();

  std::string root_;
  std::string programFolder_ = "Program Files/CorvZyra";  // on drive C:
  bool kept_ = false;
  bool realClock_ = false;
  Process* handler_ = nullptr;
  Process* updateServer_ = nullptr;
  int logLevel_ = -1;
  std::string agentVersion_;
  std::string servedBase_;  // empty: the update server's address
  std::string certFile_, keyFile_;
  std::vector<std::string> launcher_;
  std::vector<int> holds_;
  std::thread untilLogged_;
  std::atomic<bool> stopWatching_{false};
};

// A launcher (see SetStubLauncher) that runs the stub in a private mount
// namespace where certFile is the system's CA bundle; empty when this
// machine allows no mount namespaces (the caller skips).
std::vector<std::string> TrustedCertificateLauncher(const std::string& certFile);

}  // namespace zyra_test
