// The scenario machine as a Wine prefix running the Windows build.
//
// Every machine is a copy of one prefix that "wineboot -i" initialised (the
// template, made once and shared by every test process: a lock file
// serialises its creation). In the copy
//   - "reg add" sets the temporary folder to C:\windows\temp (the folder of
//     the service account that provisions rooms) and the registry values of
//     the scenario, in the view it names (/reg:64 or /reg:32);
//   - "sc create" registers the handler double as the CorvZyraHandler
//     service (it logs to C:\CorvZyraTest\handler.log);
//   - C:\Program Files\CorvZyra holds the stub and a token, and
//     C:\ProgramData\Corvane\CorvZyra\zyra-config.json points at
//     zyra-update-server on 127.0.0.1 over HTTPS (a certificate for
//     127.0.0.1 from a test CA made for the machine);
//   - the installer double keeps its settings and its record in
//     C:\CorvZyraTest\installer (ZYRA_INSTALLER_DOUBLE_DIR).
//
// Packages are signed with the private half of the key the Windows build
// checks against: its development key in <build>/dev-keys/, or, for a build
// configured with ZYRA_PACKAGE_PUBLIC_KEY, the private key ZYRA_SIGNING_KEY
// names (a key that does not match is refused).
//
// Wine's Schannel does not check server certificates, so the test CA is not
// imported and these runs say nothing about certificate checks. The waits
// of the program are real under Wine (libfaketime does not reach Windows
// programs).
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/scenario_machine.h"
#include "tests/support/wine_setup.h"

namespace fs = std::filesystem;

namespace zyra_test {
namespace {

using namespace wine;

constexpr const char* kInstallerDir = "C:\\CorvZyraTest\\installer";
constexpr double kStubTimeoutSeconds = 1500;

class WineMachine : public ScenarioMachine {
 public:
  explicit WineMachine(WineSetup setup) : s_(std::move(setup)) {}

  ~WineMachine() override {
    delete updateServer_;
    pacServer_.reset();
    Wineserver("-k");
    Wineserver("-w");
    holder_.reset();
    std::error_code ec;
    if (!keep_ && Env("ZYRA_KEEP_MACHINES").empty()) fs::remove_all(work_, ec);
  }
  WineMachine(const WineMachine&) = delete;
  WineMachine& operator=(const WineMachine&) = delete;

  // "" or the problem.
  std::string Create() {
    char tmpl[] = "/tmp/zyra-wine-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return "cannot make a work folder in /tmp";
    work_ = tmpl;
    prefix_ = work_ + "/prefix";
    ProcessOptions copy;
    copy.argv = {"cp", "-a", "--reflink=auto", s_.templatePrefix, prefix_};
    if (Run(copy, 600) != 0) return "cannot copy " + s_.templatePrefix;
    fs::remove(prefix_ + "/.zyra-template");
    for (const char* d : {"Program Files/CorvZyra", "CorvZyraTest/installer",
                          "ProgramData/Corvane/CorvZyra"})
      fs::create_directories(C(d));
    if (!Wine({"reg", "add", "HKCU\\Environment", "/v", "TEMP", "/t", "REG_EXPAND_SZ", "/d",
               "C:\\windows\\temp", "/f"}) ||
        !Wine({"reg", "add", "HKCU\\Environment", "/v", "TMP", "/t", "REG_EXPAND_SZ", "/d",
               "C:\\windows\\temp", "/f"}))
      return "reg add failed in " + prefix_ + " (see " + work_ + "/setup-*.log)";
    return MakeCertificates();
  }

  [[nodiscard]] std::string Kind() const override { return "wine"; }
  [[nodiscard]] std::string Location() const override { return work_; }
  void Keep() override { keep_ = true; }
  [[nodiscard]] bool CarriesWideExitCodes() const override { return true; }

  void InstallStub() override {
    fs::copy_file(s_.stub, C(programFolder_ + "/CorvZyraProvisionStub.exe"),
                  fs::copy_options::overwrite_existing);
  }
  void PutToken(const std::string& content) override {
    std::ofstream(C(programFolder_ + "/CorvZyraProvisionToken.json"), std::ios::binary)
        << content;
  }
  void RemoveToken() override { fs::remove(C(programFolder_ + "/CorvZyraProvisionToken.json")); }
  void MoveStubTo(const std::string& onDriveC) override {
    fs::create_directories(C(onDriveC));
    for (const char* name : {"CorvZyraProvisionStub.exe", "CorvZyraProvisionToken.json"})
      if (fs::exists(C(programFolder_ + "/" + name)))
        fs::rename(C(programFolder_ + "/" + name), C(onDriveC + "/" + name));
    programFolder_ = onDriveC;
  }
  // The stub's Windows path.
  [[nodiscard]] std::string Program() const {
    return WindowsPath(programFolder_) + "\\CorvZyraProvisionStub.exe";
  }
  // Wine takes the account's variables from HKCU\Environment.
  void SetTempFolder(const std::string& onDriveC) override {
    fs::create_directories(C(onDriveC));
    ExpectWine({"reg", "add", "HKCU\\Environment", "/v", "TMP", "/t", "REG_EXPAND_SZ", "/d",
                WindowsPath(onDriveC), "/f"});
  }

  void SetRegistryString(RegistryView view, const std::string& key, const std::string& name,
                         const std::string& value) override {
    ExpectWine({"reg", "add", "HKLM\\" + key, "/v", name, "/t", "REG_SZ", "/d", value, "/f",
                ViewFlag(view)});
  }
  void SetRegistryDword(RegistryView view, const std::string& key, const std::string& name,
                        std::uint32_t value) override {
    ExpectWine({"reg", "add", "HKLM\\" + key, "/v", name, "/t", "REG_DWORD", "/d",
                std::to_string(value), "/f", ViewFlag(view)});
  }

  std::optional<std::string> RegistryString(RegistryView view, const std::string& key,
                                            const std::string& name) override {
    const ToolRun query = Tool({"reg", "query", "HKLM\\" + key, "/v", name, ViewFlag(view)});
    if (!query.ok()) {
      // A value that is not there is an answer (Wine's reg says so on its
      // standard output); anything else names its cause.
      if ((query.out + query.err).find("nable to find") == std::string::npos)
        ADD_FAILURE() << "cannot read HKLM\\" << key << "\\" << name << ": " << query.Described();
      return std::nullopt;
    }
    // "    DisplayVersion    REG_SZ    2.4.1"
    std::istringstream in(query.out);
    for (std::string line; std::getline(in, line);) {
      line = Trimmed(line);
      const auto type = line.find("REG_SZ");
      if (type == std::string::npos) continue;
      std::string first = line.substr(0, type);
      first = Trimmed(first);
      while (!first.empty() && (first[0] == ' ' || first[0] == '\t')) first.erase(0, 1);
      if (first.size() < name.size() ||
          !std::equal(name.begin(), name.end(), first.end() - static_cast<long>(name.size()),
                      [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
        continue;
      std::string value = line.substr(type + 6);
      while (!value.empty() && (value[0] == ' ' || value[0] == '\t')) value.erase(0, 1);
      return value;
    }
    return std::nullopt;
  }

  void OfferAgent(const AgentOffer& offer) override {
    const std::string www = work_ + "/www";
    fs::create_directories(www);
    const std::string installer = www + "/CorvZyraAgent-Setup.exe";
    if (offer.installerNotAProgram)
      std::ofstream(installer, std::ios::binary | std::ios::trunc) << "this is not a program\n";
    else
      fs::copy_file(s_.installer, installer, fs::copy_options::overwrite_existing);
    if (offer.installerSize != 0) fs::resize_file(installer, offer.installerSize);
    std::ofstream(www + "/CorvZyraAgent-Setup.exe.manifest", std::ios::binary)
        << (offer.versionManifest.empty() ? "{\"version\":\"" + offer.version + "\"}"
                                          : offer.versionManifest);
    std::ofstream(C("CorvZyraTest/installer/installer-double.conf"), std::ios::binary)
        << "version=" << offer.version << "\nexit=" << offer.installerExit << "\n";
    if (updateServer_ == nullptr && !StartUpdateServer(www)) return;
    ProcessOptions sign;
    sign.argv = {ZYRA_SIGN, "manifest", s_.privateKey, www, BaseUrl()};
    sign.stdoutFile = work_ + "/sign.log";
    sign.stderrFile = work_ + "/sign.err";
    if (Run(sign, 600) != 0) ADD_FAILURE() << "zyra-sign manifest failed: " << sign.stderrFile;
    if (offer.versionFileByFileUrl) NameVersionFileByFileUrl(www);
    if (offer.tamperedInstaller) {
      // Still a runnable program, so that running it would leave a record.
      std::ofstream(installer, std::ios::binary | std::ios::app) << "tampered after signing";
    }
    std::ofstream(C("ProgramData/Corvane/CorvZyra/zyra-config.json"), std::ios::binary)
        << "{\"morla\":{\"current\":\"wine\",\"available\":[{\"name\":\"wine\",\"url\":\""
        << BaseUrl() << "/" << s_.vendorDomain << "/api/files/manifest/zyra/latest\"}]}}\n";
    if (proxy_) WriteProxyOverride();
  }

  bool UseProxy(const ProxySettings& proxy) override {
    proxy_ = proxy;
    return true;
  }

  std::string PointManifestAt(const std::string& baseUrl) override {
    const std::string url = baseUrl + "/" + s_.vendorDomain + "/api/files/manifest/zyra/latest";
    std::ofstream(C("ProgramData/Corvane/CorvZyra/zyra-config.json"), std::ios::binary)
        << "{\"morla\":{\"current\":\"wine\",\"available\":[{\"name\":\"wine\",\"url\":\""
        << url << "\"}]}}\n";
    return url;
  }

  // Wine's Schannel checks no server certificate at all.
  bool TrustServerCertificate(const std::string&) override { return true; }

  void SetStubEnvironment(const std::string& name, const std::string& value) override {
    stubEnv_[name] = value;
  }

  bool StoreCredential(const std::string& host, const std::string& user,
                       const std::string& password) override {
    if (!fs::exists(s_.credWriter)) return false;
    fs::copy_file(s_.credWriter, C("CorvZyraTest/zyra-cred-writer.exe"),
                  fs::copy_options::overwrite_existing);
    // A program of the Windows build: run with the stub's loader.
    ProcessOptions o = WineCommand(
        {"C:\\CorvZyraTest\\zyra-cred-writer.exe", host, user, password}, s_.loader);
    o.stdoutFile = work_ + "/cred-writer.out";
    o.stderrFile = work_ + "/cred-writer.err";
    if (Run(o, 300) != 0)
      ADD_FAILURE() << "zyra-cred-writer failed (see " << o.stderrFile << ")";
    return true;
  }

  void RegisterHandlerService(const std::vector<std::string>& args) override {
    fs::copy_file(s_.handler, C("CorvZyraTest/zyra-handler-double.exe"),
                  fs::copy_options::overwrite_existing);
    std::string bin = "C:\\CorvZyraTest\\zyra-handler-double.exe --service";
    for (const auto& a : args) bin += " " + a;
    bin += " --log C:\\CorvZyraTest\\handler.log";
    ExpectWine({"sc", "create", "CorvZyraHandler", "binPath=", bin});
  }

  void RegisterUnstartableHandlerService() override {
    ExpectWine({"sc", "create", "CorvZyraHandler", "binPath=",
                "C:\\CorvZyraTest\\missing\\zyra-handler-double.exe --service"});
  }

  // A fresh prefix registers no CorvZyraHandler.
  void LeaveHandlerServiceUnregistered() override {}

  bool HoldOldStatusFile(const std::string& content) override { return StartHolder(content, {}); }

  bool HoldOldStatusFileUntilTheWait(const std::string& content) override {
    return StartHolder(content, {"C:\\ProgramData\\Corvane\\CorvZyra\\CorvZyraProvisionStub.log",
                                 "Waiting for ZyraHandler to provision the room"});
  }

  bool MakeExchangeFolderAsTheHandler() override {
    // Wine reports a folder's Unix permission bits as its access list: write
    // for everyone stands for the entries C:\Windows\Temp hands down.
    const std::string folder = C("windows/temp/CorvZyra");
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all);
    return true;
  }

  bool StartHolder(const std::string& content, const std::vector<std::string>& untilLogged) {
    if (!fs::exists(s_.holder)) return false;
    fs::copy_file(s_.holder, C("CorvZyraTest/zyra-file-holder.exe"),
                  fs::copy_options::overwrite_existing);
    const std::string ready = C("CorvZyraTest/holder.ready");
    fs::remove(ready);
    // The holder, a Windows program, keeps its handle until wineserver -k
    // ends every process of the prefix (or, told to, until the stub's log
    // holds a line); the stub's opens meet its sharing.
    std::vector<std::string> command = {"C:\\CorvZyraTest\\zyra-file-holder.exe",
                                        "C:\\windows\\temp\\CorvZyra\\Zyrahandler_provisionstub.txt",
                                        content, "C:\\CorvZyraTest\\holder.ready"};
    command.insert(command.end(), untilLogged.begin(), untilLogged.end());
    ProcessOptions o = WineCommand(command, s_.loader);
    o.stdoutFile = work_ + "/holder.out";
    o.stderrFile = work_ + "/holder.err";
    holder_ = std::make_unique<Process>(o);
    for (int i = 0; i < 1200 && !fs::exists(ready); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!fs::exists(ready))
      ADD_FAILURE() << "the file holder did not report holding the status file (see " << work_
                    << "/holder.err)";
    return true;
  }

  StubRun RunStub(bool handlerRunning) override {
    std::vector<std::string> command = {Program()};
    if (handlerRunning) {
      // Wine ends services when no other program runs: start the handler and
      // the stub from one batch file, so that the stub finds it running.
      std::ofstream(C("CorvZyraTest/run-stub.cmd"), std::ios::binary)
          << "@echo off\r\nnet start CorvZyraHandler\r\n\"" << Program()
          << "\"\r\nexit /b %ERRORLEVEL%\r\n";
      command = {"cmd", "/c", "C:\\CorvZyraTest\\run-stub.cmd"};
    }
    return Launch(command);
  }

  StubRun RunStubWithArguments(const std::vector<std::string>& args) override {
    std::vector<std::string> command = {Program()};
    command.insert(command.end(), args.begin(), args.end());
    return Launch(command);
  }

  std::unique_ptr<BackgroundStub> StartStub() override {
    const std::string name = "stub-" + std::to_string(++started_);
    ++runsUnderWay_;
    return std::make_unique<BackgroundStub>(StubProcess({Program()}, name), kStubTimeoutSeconds,
                                            [this] {
                                              --runsUnderWay_;
                                              settlePending_ = true;
                                            });
  }

  // How command (the stub, or a batch file that runs it) is run, its console
  // going to <name>.out and <name>.err.
  ProcessOptions StubProcess(const std::vector<std::string>& command, const std::string& name) {
    ProcessOptions o = WineCommand(command, s_.loader);
    for (const auto& [variable, value] : stubEnv_) o.setEnv[variable] = value;
    o.setEnv["ZYRA_INSTALLER_DOUBLE_DIR"] = kInstallerDir;
    o.stdoutFile = work_ + "/" + name + ".out";
    o.stderrFile = work_ + "/" + name + ".err";
    return o;
  }

  // Runs command (the stub, or a batch file that runs it) to completion.
  StubRun Launch(const std::vector<std::string>& command) {
    const ProcessOptions o = StubProcess(command, "stub");
    const int exitCode = Run(o, kStubTimeoutSeconds);
    settlePending_ = true;
    return StubRunOf(exitCode, ReadAll(o.stdoutFile));
  }

  [[nodiscard]] std::string LogText() const override {
    Settle();
    return ReadAll(C("ProgramData/Corvane/CorvZyra/CorvZyraProvisionStub.log"));
  }
  [[nodiscard]] std::vector<std::string> InstallerCalls() const override {
    Settle();
    std::vector<std::string> calls;
    std::istringstream in(ReadAll(C("CorvZyraTest/installer/installer-double.calls")));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      calls.push_back(line);
    }
    return calls;
  }
  [[nodiscard]] std::string InstallerSawResult() const override {
    Settle();
    return ReadAll(C("CorvZyraTest/installer/installer-double.result"));
  }
  [[nodiscard]] std::string HandlerLog() const override {
    Settle();
    return ReadAll(C("CorvZyraTest/handler.log"));
  }
  [[nodiscard]] std::string WindowsTempOnHost() const override {
    Settle();
    return C("windows/temp");
  }
  [[nodiscard]] std::string DataFolderOnHost() const override {
    return C("ProgramData/Corvane/CorvZyra");
  }
  [[nodiscard]] std::string DriveCOnHost(const std::string& onDriveC) const override {
    return C(onDriveC);
  }
  [[nodiscard]] std::string UpdateServerLog() const override {
    return ReadAll(work_ + "/server.log");
  }

 private:
  [[nodiscard]] std::string C(const std::string& relative) const {
    return prefix_ + "/drive_c/" + relative;
  }

  static std::string ViewFlag(RegistryView view) {
    return view == RegistryView::k64Bit ? "/reg:64" : "/reg:32";
  }

  ProcessOptions WineCommand(const std::vector<std::string>& args,
                             const std::string& loader = std::string()) const {
    ProcessOptions o;
    o.argv = {loader.empty() ? s_.toolLoader : loader};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.setEnv = WineEnv(prefix_);
    o.unsetEnv = kUnsetEnv;
    return o;
  }

  // What one Wine tool command (reg, sc) did.
  struct ToolRun {
    std::string command;
    int exitCode = -1;
    std::string out, err;
    int attempts = 0;
    [[nodiscard]] bool ok() const { return exitCode == 0; }
    [[nodiscard]] std::string Described() const {
      return "\"" + command + "\" exited " + std::to_string(exitCode) + " (attempt " +
             std::to_string(attempts) + " of " + std::to_string(kToolAttempts) + "); stdout: \"" +
             Trimmed(out) + "\"; stderr: \"" + Trimmed(err) + "\"";
    }
  };
  static constexpr int kToolAttempts = 3;

  // Runs a Wine tool in the prefix and waits for it. After a run of the
  // stub the prefix is let settle first (Settle). A tool that fails without
  // a word on its standard output is tried again, the prefix settled in
  // between, up to three times in all; each attempt keeps its output in
  // tool-<n>.out and .err.
  ToolRun Tool(const std::vector<std::string>& args, double timeoutSeconds = 300) {
    Settle();
    ToolRun r;
    for (const auto& a : args) r.command += (r.command.empty() ? "" : " ") + a;
    for (r.attempts = 1;; ++r.attempts) {
      ProcessOptions o = WineCommand(args);
      const std::string log = work_ + "/tool-" + std::to_string(++commands_);
      o.stdoutFile = log + ".out";
      o.stderrFile = log + ".err";
      r.exitCode = Run(o, timeoutSeconds);
      r.out = ReadAll(o.stdoutFile);
      r.err = ReadAll(o.stderrFile);
      if (r.ok() || !Trimmed(r.out).empty() || r.attempts == kToolAttempts) break;
      std::printf("in %s: %s; trying again once the prefix has settled\n", prefix_.c_str(),
                  r.Described().c_str());
      Settle(true);
    }
    return r;
  }

  bool Wine(const std::vector<std::string>& args) { return Tool(args).ok(); }

  // A set-up command that must succeed.
  void ExpectWine(const std::vector<std::string>& args) {
    const ToolRun r = Tool(args);
    if (!r.ok()) ADD_FAILURE() << "in " << prefix_ << ": " << r.Described();
  }

  // Waits (at most two minutes) until every process of the prefix has ended
  // and its wineserver has written the registry and gone, so that what a
  // run left (registry values, the handler's last log lines) is all there
  // and a new tool does not meet a server on its way out. Done once after
  // each run of the stub, or when asked; not while a run of the stub is
  // under way or a holder keeps the prefix up on purpose.
  void Settle(bool always = false) const {
    if (!always && !settlePending_) return;
    if (runsUnderWay_ > 0 || holder_ != nullptr) return;
    settlePending_ = false;
    const auto start = std::chrono::steady_clock::now();
    ProcessOptions o;
    o.argv = {s_.wineserver, "-w"};
    o.setEnv = WineEnv(prefix_);
    const int rc = Run(o, 120);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rc != 0 || took > 30)
      std::printf("in %s: the prefix took %.1f s to settle (wineserver -w: %d)\n",
                  prefix_.c_str(), took, rc);
  }

  void Wineserver(const char* option) const {
    if (prefix_.empty()) return;
    ProcessOptions o;
    o.argv = {s_.wineserver, option};
    o.setEnv = WineEnv(prefix_);
    Run(o, 60);
  }

  std::string MakeCertificates() {
    const std::string tls = work_ + "/tls";
    fs::create_directories(tls);
    std::ofstream(tls + "/server.ext")
        << "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
           "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n";
    const std::string q = ShellQuoted(tls);
    const std::string cmd =
        "cd " + q +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=CorvZyra Wine Test CA'"
        " -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign,cRLSign'"
        " -keyout ca.key -out ca.pem"
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
        " -extfile server.ext -out server.pem";
    if (!Shell(cmd + " 2>&1", tls + "/openssl.log"))
      return "cannot make the test certificates (see " + tls + "/openssl.log)";
    cert_ = tls + "/server.pem";
    key_ = tls + "/server.key";
    return std::string();
  }

  bool StartUpdateServer(const std::string& www) {
    ProcessOptions o;
    o.argv = {ZYRA_UPDATE_SERVER, "--root",      www,   "--bind", "127.0.0.1", "--port-file",
              work_ + "/server.port", "--cert", cert_, "--key", key_};
    o.stdoutFile = work_ + "/server.log";
    o.stderrFile = work_ + "/server.err";
    updateServer_ = new Process(o);
    for (int i = 0; i < 10000 && Trimmed(ReadAll(work_ + "/server.port")).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    port_ = Trimmed(ReadAll(work_ + "/server.port"));
    if (port_.empty()) ADD_FAILURE() << "the update server did not start: " << o.stderrFile;
    return !port_.empty();
  }

  [[nodiscard]] std::string BaseUrl() const { return "https://127.0.0.1:" + port_; }

  // The administrator's override: a PAC script that sends every URL to the
  // proxy, and the "creds" line. WinHTTP fetches the script itself and
  // checks certificates, so it comes from a plain HTTP server of its own.
  void WriteProxyOverride() {
    const std::string pac = work_ + "/pac";
    fs::create_directories(pac);
    std::ofstream(pac + "/proxy.pac", std::ios::binary)
        << "function FindProxyForURL(url, host) { return \"PROXY " << proxy_->hostPort
        << "\"; }\n";
    ProcessOptions o;
    o.argv = {ZYRA_UPDATE_SERVER, "--root", pac, "--bind", "127.0.0.1", "--port-file",
              work_ + "/pac.port"};
    o.stdoutFile = work_ + "/pac-server.log";
    o.stderrFile = work_ + "/pac-server.err";
    pacServer_ = std::make_unique<Process>(o);
    for (int i = 0; i < 10000 && Trimmed(ReadAll(work_ + "/pac.port")).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::string port = Trimmed(ReadAll(work_ + "/pac.port"));
    if (port.empty()) ADD_FAILURE() << "the PAC server did not start: " << o.stderrFile;
    std::ofstream(C("ProgramData/Corvane/CorvZyra/ProxyAutoConfigUrl.txt"), std::ios::binary)
        << "http://127.0.0.1:" << port << "/proxy.pac\r\n"
        << (proxy_->user.empty() && proxy_->password.empty()
                ? std::string()
                : "creds=" + proxy_->user + ":" + proxy_->password + "\r\n");
  }

  WineSetup s_;
  std::string work_;
  std::string prefix_;
  std::string programFolder_ = "Program Files/CorvZyra";  // on drive C:
  std::string cert_, key_, port_;
  Process* updateServer_ = nullptr;
  std::unique_ptr<Process> pacServer_;
  std::unique_ptr<Process> holder_;
  std::optional<ProxySettings> proxy_;
  std::map<std::string, std::string> stubEnv_;
  int commands_ = 0;
  int started_ = 0;
  int runsUnderWay_ = 0;        // background runs of the stub not yet ended
  mutable bool settlePending_ = false;  // a run of the stub ended since the last settling
  bool keep_ = false;
};

}  // namespace

bool WineMachineRequested(std::string& whyNot) {
  if (Env("ZYRA_WINDOWS_BUILD").empty() || Env("ZYRA_WINE_LOADER").empty()) {
    whyNot =
        "the Wine machine needs ZYRA_WINDOWS_BUILD (a Windows build with the stub and the "
        "doubles) and ZYRA_WINE_LOADER (/usr/lib/wine/wine for i686, /usr/lib/wine/wine64 "
        "for x86-64)";
    return false;
  }
  return true;
}

std::unique_ptr<ScenarioMachine> MakeWineMachine(std::string& problem) {
  WineSetup setup;
  problem = Prepare(setup);
  if (problem.empty()) problem = EnsureTemplate(setup);
  if (!problem.empty()) return nullptr;
  auto machine = std::make_unique<WineMachine>(setup);
  problem = machine->Create();
  if (!problem.empty()) {
    machine->Keep();
    problem += " (machine kept in " + machine->Location() + ")";
    return nullptr;
  }
  return machine;
}

}  // namespace zyra_test
