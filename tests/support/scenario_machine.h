#pragma once
// One Windows machine for one whole-run scenario, whatever it is made of:
// the emulated machine (the Linux build of the stub under libfaketime) or a
// Wine prefix (the Windows build of the stub under Wine, real waits). The
// scenarios in tests/scenarios are written once against this interface.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/machine.h"

namespace zyra_test {

// HKEY_LOCAL_MACHINE views: the 64-bit view (keys as written) and the 32-bit
// view (HKLM\SOFTWARE\X is HKLM\SOFTWARE\WOW6432Node\X).
enum class RegistryView { k64Bit, k32Bit };

// Keys under HKEY_LOCAL_MACHINE the scenarios set.
inline constexpr const char* kStubSettingsKey = "SOFTWARE\\Corvane\\CorvZyraStub";
inline constexpr const char* kAgentKey = "SOFTWARE\\Corvane\\CorvZyraAgent";

struct AgentOffer {
  std::string version;
  int installerExit = 0;         // the installer double's exit code
  bool tamperedInstaller = false;  // changed after signing (still a runnable program)
  // Non-zero: the installer double is padded with zeros (a sparse file) to
  // this many bytes before it is signed.
  std::uint64_t installerSize = 0;
  // A text file instead of the installer double, signed all the same.
  bool installerNotAProgram = false;
  // Not empty: the version manifest's content instead of {"version": ...}.
  std::string versionManifest{};
  // The update manifest names the (genuine, signed) version manifest by a
  // file:// URL instead of the server's.
  bool versionFileByFileUrl = false;
};

// An authenticating proxy the stub's transfers are to go through.
struct ProxySettings {
  std::string hostPort;  // "127.0.0.1:3128"
  // Both empty: the override file has no "creds" (the proxy is answered
  // with the account the stub runs as).
  std::string user;
  std::string password;
};

// A run of the stub under way (ScenarioMachine::StartStub).
class BackgroundStub {
 public:
  // onEnd, when given, is called once the run has ended (Wait or Kill).
  BackgroundStub(const ProcessOptions& options, double timeoutSeconds,
                 std::function<void()> onEnd = {});
  ~BackgroundStub();
  BackgroundStub(const BackgroundStub&) = delete;
  BackgroundStub& operator=(const BackgroundStub&) = delete;
  // What it has printed on its console so far.
  [[nodiscard]] std::string Console() const;
  [[nodiscard]] bool Running() { return process_->Running(); }
  // Waits for its end (at most the machine's limit for one run).
  StubRun Wait();
  // Ends it at once, as a machine that loses power would.
  void Kill();

 private:
  void Ended();

  std::unique_ptr<Process> process_;
  std::string stdoutFile_;
  double timeoutSeconds_;
  std::function<void()> onEnd_;
};

class ScenarioMachine {
 public:
  virtual ~ScenarioMachine() = default;

  [[nodiscard]] virtual std::string Kind() const = 0;
  // Where the machine's files, console output and logs lie on the host.
  [[nodiscard]] virtual std::string Location() const = 0;
  // Keeps the machine's files after the test (for a failed scenario).
  virtual void Keep() = 0;
  // False where a process exit status cannot carry codes above 255.
  [[nodiscard]] virtual bool CarriesWideExitCodes() const = 0;

  // The stub in C:\Program Files\CorvZyra and a token beside it.
  virtual void InstallStub() = 0;
  virtual void PutToken(const std::string& content) = 0;
  // No token beside the stub.
  virtual void RemoveToken() = 0;
  // The stub and its token moved to another folder on drive C: ("Program
  // Files/X"), made when missing; the runs start it there.
  virtual void MoveStubTo(const std::string& onDriveC) = 0;
  // The temporary folder (TMP) of the account the stub runs as: a folder on
  // drive C: ("Temp"), made when missing.
  virtual void SetTempFolder(const std::string& onDriveC) = 0;

  // Values under HKEY_LOCAL_MACHINE\<key> in a view.
  virtual void SetRegistryString(RegistryView view, const std::string& key,
                                 const std::string& name, const std::string& value) = 0;
  virtual void SetRegistryDword(RegistryView view, const std::string& key,
                                const std::string& name, std::uint32_t value) = 0;
  // The value as it stands now (after the run: what the installer set).
  [[nodiscard]] virtual std::optional<std::string> RegistryString(
      RegistryView view, const std::string& key, const std::string& name) = 0;

  // The update server offers the agent (the installer double and its version
  // manifest, signed for the build's key) and the agent configuration file
  // points at it.
  virtual void OfferAgent(const AgentOffer& offer) = 0;
  // The stub's transfers go through this proxy: the administrator's override
  // file names a PAC script that answers it for every URL, and gives the
  // credentials. Call before OfferAgent. False when this machine cannot run
  // the stub over HTTPS through a proxy.
  virtual bool UseProxy(const ProxySettings& proxy) = 0;

  // The agent configuration names the manifest on another server: baseUrl
  // followed by the vendor-domain marker and the manifest's path. Returns
  // that URL. (Call after OfferAgent, which points it at the update server.)
  virtual std::string PointManifestAt(const std::string& baseUrl) = 0;
  // The stub trusts the server certificate certFile (PEM) for its later
  // runs, so that a test's own HTTPS server can answer it. False when this
  // machine cannot give the stub a trust store of its own.
  virtual bool TrustServerCertificate(const std::string& certFile) = 0;

  // A variable in the stub's environment for every later run (the Kerberos
  // configuration and ticket cache of the account it runs as).
  virtual void SetStubEnvironment(const std::string& name, const std::string& value) = 0;

  // A Windows credential stored for a host (CredWrite, a domain password, as
  // "cmdkey /add:<host>" stores it) in the account the stub runs as. False
  // when this machine keeps no Windows credentials.
  virtual bool StoreCredential(const std::string& host, const std::string& user,
                               const std::string& password) = 0;

  // The handler double registered as the "CorvZyraHandler" service, playing
  // the given options (--behaviour ...).
  virtual void RegisterHandlerService(const std::vector<std::string>& args) = 0;
  // "CorvZyraHandler" registered with a program that is not there.
  virtual void RegisterUnstartableHandlerService() = 0;
  // A service control manager that knows no "CorvZyraHandler".
  virtual void LeaveHandlerServiceUnregistered() = 0;

  // An earlier attempt's status file (Zyrahandler_provisionstub.txt in
  // C:\Windows\Temp\CorvZyra) with this content, held open for the rest
  // of the machine's life by a process that lets others read it but neither
  // write nor delete it. False when this machine has no way to hold it.
  virtual bool HoldOldStatusFile(const std::string& content) = 0;
  // The same file, held by a process that shares nothing at all (nobody
  // else can write, delete or even read it) until the stub logs that it
  // waits for the handler ("Waiting for ZyraHandler to provision the room"),
  // which is before its first poll. False when this machine has no way.
  virtual bool HoldOldStatusFileUntilTheWait(const std::string& content) = 0;
  // "CorvZyra" in C:\Windows\Temp as the handler service makes it there:
  // owned by SYSTEM (on Wine: the prefix's account), with the entries it
  // inherits from C:\Windows\Temp, which let other accounts add files
  // (write access for others). False when this machine cannot show it.
  virtual bool MakeExchangeFolderAsTheHandler() = 0;

  // Runs the stub to completion; with handlerRunning the handler service is
  // started first, so that the stub finds it running.
  virtual StubRun RunStub(bool handlerRunning = false) = 0;
  // Starts the stub as RunStub does, without waiting for its end; its
  // console goes to a file of its own.
  virtual std::unique_ptr<BackgroundStub> StartStub() = 0;
  // Runs the stub to completion with these command-line arguments.
  virtual StubRun RunStubWithArguments(const std::vector<std::string>& args) = 0;

  // The text of the stub's log file.
  [[nodiscard]] virtual std::string LogText() const = 0;
  // The installer double's record: its arguments, "--" after each run.
  [[nodiscard]] virtual std::vector<std::string> InstallerCalls() const = 0;
  // What the stub's result file held when the installer double last ran
  // (empty: it never ran or found none).
  [[nodiscard]] virtual std::string InstallerSawResult() const = 0;
  // What the handler service said (its messages, one per line).
  [[nodiscard]] virtual std::string HandlerLog() const = 0;
  // The update server's request log.
  [[nodiscard]] virtual std::string UpdateServerLog() const = 0;

  // Where C:\Windows\Temp lies on the host.
  [[nodiscard]] virtual std::string WindowsTempOnHost() const = 0;
  // Where the stub's data folder C:\ProgramData\Corvane\CorvZyra lies on
  // the host.
  [[nodiscard]] virtual std::string DataFolderOnHost() const = 0;
  // Where a path on drive C: ("Temp/CorvZyra") lies on the host.
  [[nodiscard]] virtual std::string DriveCOnHost(const std::string& onDriveC) const = 0;

  // The log file's messages as "level  message" (time stamps dropped).
  [[nodiscard]] std::vector<std::string> LogMessages() const;

  // The exchange folder C:\Windows\Temp\CorvZyra, seen from the host.
  // Exact bytes of a file in it (nullopt: no such file).
  [[nodiscard]] std::optional<std::string> ExchangeFileBytes(const std::string& name) const;
  // A file put there before the run (the folder is made when missing).
  void WriteExchangeFile(const std::string& name, const std::string& content);
  // The folder's permission bits on the host (under Wine they stand for its
  // access list).
  [[nodiscard]] std::filesystem::perms ExchangeFolderPermissions() const;
  // Exact bytes of CorvZyraProvisionStub_Result.txt there.
  [[nodiscard]] std::optional<std::string> ResultFileBytes() const;
  // Names left in the download folder C:\Windows\Temp\CorvZyra\ZHDownload.
  [[nodiscard]] std::vector<std::string> DownloadFolder() const;
  // Names in C:\Windows\Temp.
  [[nodiscard]] std::vector<std::string> TempFolder() const;
};

// Rewrites the update manifest in the served folder www so that it names the
// version manifest there by a file:// URL (AgentOffer::versionFileByFileUrl).
void NameVersionFileByFileUrl(const std::string& www);

// The Windows form of a path on drive C: ("Temp/x" -> "C:\Temp\x").
std::string WindowsPath(const std::string& onDriveC);


// A fresh emulated machine with the Linux build of the stub.
std::unique_ptr<ScenarioMachine> MakeEmulatedScenarioMachine();

// True when ZYRA_WINDOWS_BUILD and ZYRA_WINE_LOADER name a Windows build and
// the Wine loader to run it with; otherwise false with the reason.
bool WineMachineRequested(std::string& whyNot);

// A fresh Wine prefix with the Windows build of ZYRA_WINDOWS_BUILD, run under
// ZYRA_WINE_LOADER. Null when that set-up is unusable (the problem in problem).
std::unique_ptr<ScenarioMachine> MakeWineMachine(std::string& problem);

}  // namespace zyra_test
