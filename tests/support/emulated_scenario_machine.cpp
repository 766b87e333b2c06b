// The scenario machine over the emulated Windows machine: the Linux build of
// the stub under libfaketime, the emulated registry file and service folder.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/posix/regfile.h"
#include "platform/services.h"
#include "platform/utf.h"
#include "tests/support/scenario_machine.h"

namespace fs = std::filesystem;

namespace zyra_test {
namespace {

std::string ViewKey(RegistryView view, const std::string& key) {
  const std::string software = "SOFTWARE\\";
  if (view == RegistryView::k32Bit && key.compare(0, software.size(), software) == 0)
    return "SOFTWARE\\WOW6432Node\\" + key.substr(software.size());
  return key;
}

std::string RegQuoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Sets ZYRA_MACHINE_ROOT in this process for the platform calls it makes
// on the machine's behalf; restores the earlier value afterwards.
class MachineRootInProcess {
 public:
  explicit MachineRootInProcess(const std::string& root) {
    const char* old = ::getenv("ZYRA_MACHINE_ROOT");
    if (old != nullptr) old_ = old;
    had_ = old != nullptr;
    ::setenv("ZYRA_MACHINE_ROOT", root.c_str(), 1);
  }
  ~MachineRootInProcess() {
    if (had_)
      ::setenv("ZYRA_MACHINE_ROOT", old_.c_str(), 1);
    else
      ::unsetenv("ZYRA_MACHINE_ROOT");
  }
  MachineRootInProcess(const MachineRootInProcess&) = delete;
  MachineRootInProcess& operator=(const MachineRootInProcess&) = delete;

 private:
  std::string old_;
  bool had_ = false;
};

class EmulatedScenarioMachine : public ScenarioMachine {
 public:
  EmulatedScenarioMachine() = default;
  ~EmulatedScenarioMachine() override {
    // The emulated machine keeps its root when ZYRA_KEEP_MACHINES is set.
    const bool wasSet = ::getenv("ZYRA_KEEP_MACHINES") != nullptr;
    if (keep_ && !wasSet) ::setenv("ZYRA_KEEP_MACHINES", "1", 1);
    machine_.reset();
    if (keep_ && !wasSet) ::unsetenv("ZYRA_KEEP_MACHINES");
  }
  EmulatedScenarioMachine(const EmulatedScenarioMachine&) = delete;
  EmulatedScenarioMachine& operator=(const EmulatedScenarioMachine&) = delete;

  [[nodiscard]] std::string Kind() const override { return "emulated"; }
  [[nodiscard]] std::string Location() const override { return m_.root(); }
  void Keep() override { keep_ = true; }
  [[nodiscard]] bool CarriesWideExitCodes() const override { return false; }

  void InstallStub() override { m_.InstallStub(); }
  void PutToken(const std::string& content) override { m_.PutToken(content); }
  void RemoveToken() override { fs::remove(m_.TokenPath()); }
  void MoveStubTo(const std::string& onDriveC) override { m_.MoveStubTo(onDriveC); }
  void SetTempFolder(const std::string& onDriveC) override {
    fs::create_directories(m_.C(onDriveC));
    stubEnv_["TMP"] = WindowsPath(onDriveC);
  }

  void SetRegistryString(RegistryView view, const std::string& key, const std::string& name,
                         const std::string& value) override {
    AddValue(view, key, RegQuoted(name) + "=" + RegQuoted(value));
  }
  void SetRegistryDword(RegistryView view, const std::string& key, const std::string& name,
                        std::uint32_t value) override {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(value));
    AddValue(view, key, RegQuoted(name) + "=dword:" + hex);
  }

  std::optional<std::string> RegistryString(RegistryView view, const std::string& key,
                                            const std::string& name) override {
    const auto file = platform::posix::RegFile::Parse(m_.ReadFile(m_.root() + "/registry.reg"));
    const auto values = file.Values("HKEY_LOCAL_MACHINE\\" + ViewKey(view, key));
    const auto it = values.find(platform::posix::RegFile::NormalizeName(name));
    if (it == values.end() || it->second.type != 1) return std::nullopt;
    std::u16string text;
    const auto& data = it->second.data;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
      text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return platform::ToUtf8(text);
  }

  void OfferAgent(const AgentOffer& offer) override {
    m_.OfferAgent(offer.version, offer.installerExit, offer.versionManifest);
    const std::string installer = m_.root() + "/www/CorvZyraAgent-Setup.exe";
    if (offer.installerSize != 0) {
      fs::resize_file(installer, offer.installerSize);
      m_.Resign();
    }
    if (offer.installerNotAProgram) {
      m_.TamperServedFile("CorvZyraAgent-Setup.exe", "this is not a program\n");
      m_.Resign();
    }
    if (offer.versionFileByFileUrl) NameVersionFileByFileUrl(m_.root() + "/www");
    if (offer.tamperedInstaller)
      m_.TamperServedFile("CorvZyraAgent-Setup.exe",
                          m_.ReadFile(installer) + "tampered after signing");
    if (proxy_) {
      const bool noCreds = proxy_->user.empty() && proxy_->password.empty();
      m_.SetProxyOverride(proxy_->hostPort, noCreds ? "" : proxy_->user + ":" + proxy_->password);
    }
  }

  bool UseProxy(const ProxySettings& proxy) override {
    // Over HTTPS, so that every transfer is a CONNECT tunnel; the stub then
    // runs with the test certificate as its only trusted one.
    const auto cert = MakeLoopbackCertificate(m_.root() + "/tls");
    const auto launcher = TrustedCertificateLauncher(cert.cert);
    if (launcher.empty()) return false;
    m_.UseHttps(cert.cert, cert.key);
    m_.SetStubLauncher(launcher);
    proxy_ = proxy;
    return true;
  }

  std::string PointManifestAt(const std::string& baseUrl) override {
    const std::string url = baseUrl + "/corvane.com/api/files/manifest/zyra/latest";
    std::ofstream(m_.C("ProgramData/Corvane/CorvZyra/zyra-config.json"), std::ios::binary)
        << "{\"morla\":{\"current\":\"test\",\"available\":[{\"name\":\"test\",\"url\":\""
        << url << "\"}]}}";
    return url;
  }

  bool TrustServerCertificate(const std::string& certFile) override {
    const auto launcher = TrustedCertificateLauncher(certFile);
    if (launcher.empty()) return false;
    m_.SetStubLauncher(launcher);
    return true;
  }

  void SetStubEnvironment(const std::string& name, const std::string& value) override {
    stubEnv_[name] = value;
  }

  // Its transfers use libcurl's own NTLM, which takes no stored credential.
  bool StoreCredential(const std::string&, const std::string&, const std::string&) override {
    return false;
  }

  void RegisterHandlerService(const std::vector<std::string>& args) override {
    m_.InstallHandlerService(args);
  }

  void RegisterUnstartableHandlerService() override {
    const std::string dir = m_.root() + "/services/CorvZyraHandler";
    fs::create_directories(dir);
    // Registered, but its program cannot be started: the interpreter the
    // script names is not there.
    std::ofstream(dir + "/service") << "#!/nonexistent/zyra-handler-double --service\n";
    fs::permissions(dir + "/service", fs::perms::owner_all);
  }

  void LeaveHandlerServiceUnregistered() override {
    fs::remove_all(m_.root() + "/services/CorvZyraHandler");
    fs::create_directories(m_.root() + "/services");
  }

  bool HoldOldStatusFile(const std::string& content) override {
    const std::string exchange = m_.C("Windows/Temp/CorvZyra");
    fs::create_directories(exchange);
    const std::string status = exchange + "/Zyrahandler_provisionstub.txt";
    std::ofstream(status, std::ios::binary) << content;
    m_.HoldAgainstWriting(status);
    return true;
  }

  bool HoldOldStatusFileUntilTheWait(const std::string& content) override {
    const std::string exchange = m_.C("Windows/Temp/CorvZyra");
    fs::create_directories(exchange);
    const std::string status = exchange + "/Zyrahandler_provisionstub.txt";
    std::ofstream(status, std::ios::binary) << content;
    m_.HoldWithoutSharingUntilLogged(status, "Waiting for ZyraHandler to provision the room");
    return true;
  }

  bool MakeExchangeFolderAsTheHandler() override {
    // Owned by the account the tests run as (root stands for SYSTEM), write
    // access for others standing for the inherited entries.
    const std::string exchange = m_.C("Windows/Temp/CorvZyra");
    fs::create_directories(exchange);
    fs::permissions(exchange, fs::perms::all);
    return true;
  }

  StubRun RunStub(bool handlerRunning) override {
    if (handlerRunning) StartHandlerService();
    return m_.RunStub({}, stubEnv_);
  }
  StubRun RunStubWithArguments(const std::vector<std::string>& args) override {
    return m_.RunStub(args, stubEnv_);
  }
  std::unique_ptr<BackgroundStub> StartStub() override {
    const std::string out = m_.root() + "/stub-" + std::to_string(++started_) + ".out";
    return std::make_unique<BackgroundStub>(m_.StubProcess({}, stubEnv_, {}, out), 90);
  }

  [[nodiscard]] std::string LogText() const override { return m_.ReadFile(m_.LogFile()); }
  [[nodiscard]] std::vector<std::string> InstallerCalls() const override {
    return m_.InstallerCalls();
  }
  [[nodiscard]] std::string InstallerSawResult() const override {
    return m_.ReadFile(m_.root() + "/installer-double.result");
  }
  [[nodiscard]] std::string HandlerLog() const override {
    return m_.ReadFile(m_.root() + "/handler.out");
  }
  [[nodiscard]] std::string WindowsTempOnHost() const override { return m_.C("Windows/Temp"); }
  [[nodiscard]] std::string DataFolderOnHost() const override {
    return m_.C("ProgramData/Corvane/CorvZyra");
  }
  [[nodiscard]] std::string DriveCOnHost(const std::string& onDriveC) const override {
    return m_.C(onDriveC);
  }
  [[nodiscard]] std::string UpdateServerLog() const override {
    return m_.ReadFile(m_.root() + "/server.log");
  }

 private:
  void AddValue(RegistryView view, const std::string& key, const std::string& line) {
    // One section per value; a later value replaces an earlier one.
    registry_ += "[HKEY_LOCAL_MACHINE\\" + ViewKey(view, key) + "]\r\n" + line + "\r\n\r\n";
    m_.WriteRegistry(registry_);
  }

  // Starts the emulated service the way the service control manager does.
  void StartHandlerService() {
    namespace w = platform::win;
    MachineRootInProcess inMachine(m_.root());
    w::ScHandle manager(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect));
    if (!manager) return;
    w::ScHandle service(w::OpenServiceW(manager.get(), u"CorvZyraHandler", w::kServiceStart));
    if (service) (void)w::StartServiceW(service.get());
  }

  std::unique_ptr<EmulatedMachine> machine_ = std::make_unique<EmulatedMachine>();
  EmulatedMachine& m_ = *machine_;
  bool keep_ = false;
  int started_ = 0;
  std::string registry_;
  std::optional<ProxySettings> proxy_;
  std::map<std::string, std::string> stubEnv_;
};

}  // namespace

std::unique_ptr<ScenarioMachine> MakeEmulatedScenarioMachine() {
  return std::make_unique<EmulatedScenarioMachine>();
}

}  // namespace zyra_test
