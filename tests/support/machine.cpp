#include "tests/support/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace zyra_test {

namespace {

MachinePrograms& Programs() {
  static MachinePrograms programs{ZYRA_STUB_BINARY,   ZYRA_HANDLER_DOUBLE, ZYRA_INSTALLER_DOUBLE,
                                  ZYRA_UPDATE_SERVER, ZYRA_SIGN,           ZYRA_DEV_PRIVATE_KEY};
  return programs;
}

}  // namespace

MachinePrograms MachineProgramsOf(const std::string& buildDir) {
  const fs::path b(buildDir);
  MachinePrograms p;
  p.stub = (b / "app/CorvZyraProvisionStub").string();
  p.handlerDouble = (b / "tools/handler_double/zyra-handler-double").string();
  p.installerDouble = (b / "tools/installer_double/zyra-installer-double").string();
  p.updateServer = (b / "tools/zyra-update-server/zyra-update-server").string();
  p.sign = (b / "tools/zyra-sign/zyra-sign").string();
  p.signingKey = (b / "dev-keys/package-signing-private.pem").string();
  return p;
}

std::vector<std::string> MissingPrograms(const MachinePrograms& p, bool withKey) {
  std::vector<std::string> missing;
  for (const std::string* program :
       {&p.stub, &p.handlerDouble, &p.installerDouble, &p.updateServer, &p.sign})
    if (::access(program->c_str(), X_OK) != 0) missing.push_back(*program);
  if (withKey && (p.signingKey.empty() || ::access(p.signingKey.c_str(), R_OK) != 0))
    missing.push_back(p.signingKey.empty() ? "the development signing key" : p.signingKey);
  return missing;
}

void UseMachinePrograms(const MachinePrograms& programs) { Programs() = programs; }

EmulatedMachine::EmulatedMachine() {
  char tmpl[] = "/tmp/zyra-e2e-XXXXXX";
  if (::mkdtemp(tmpl) != nullptr) root_ = tmpl;
  LayOutDrive();
}

EmulatedMachine::EmulatedMachine(const std::string& root) : root_(root), kept_(true) {
  LayOutDrive();
}

void EmulatedMachine::LayOutDrive() {
  fs::create_directories(C("ProgramData"));
  fs::create_directories(C("Windows/Temp"));
  fs::create_directories(C("Program Files/CorvZyra"));
}

EmulatedMachine::~EmulatedMachine() {
  ReleaseHolds();
  delete handler_;
  delete updateServer_;
  std::error_code ec;
  if (!kept_ && std::getenv("ZYRA_KEEP_MACHINES") == nullptr) fs::remove_all(root_, ec);
}

std::string EmulatedMachine::C(const std::string& relative) const {
  return root_ + "/drive_c/" + relative;
}

std::string EmulatedMachine::StubPath() const {
  return C(programFolder_ + "/CorvZyraProvisionStub");
}
std::string EmulatedMachine::TokenPath() const {
  return C(programFolder_ + "/CorvZyraProvisionToken.json");
}
std::string EmulatedMachine::ResultFile() const {
  return C("Windows/Temp/CorvZyra/CorvZyraProvisionStub_Result.txt");
}
std::string EmulatedMachine::LogFile() const {
  return C("ProgramData/Corvane/CorvZyra/CorvZyraProvisionStub.log");
}

void EmulatedMachine::InstallStub() {
  fs::copy_file(Programs().stub, StubPath(), fs::copy_options::overwrite_existing);
}

void EmulatedMachine::PutToken(const std::string& content) {
  std::ofstream(TokenPath(), std::ios::binary) << content;
}

void EmulatedMachine::MoveStubTo(const std::string& onDriveC) {
  const std::string stub = StubPath(), token = TokenPath();
  programFolder_ = onDriveC;
  fs::create_directories(C(programFolder_));
  if (fs::exists(stub)) fs::rename(stub, StubPath());
  if (fs::exists(token)) fs::rename(token, TokenPath());
}

void EmulatedMachine::WriteRegistry(const std::string& body) {
  std::ofstream(root_ + "/registry.reg", std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n"
      << body;
}

void EmulatedMachine::SetLogLevel(int level) {
  logLevel_ = level;
  WriteRegistryState();
}

void EmulatedMachine::SetInstalledAgentVersion(const std::string& version) {
  agentVersion_ = version;
  WriteRegistryState();
}

void EmulatedMachine::WriteRegistryState() {
  std::string body;
  if (logLevel_ >= 0) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(logLevel_));
    body += std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\r\n") +
            "\"log_level\"=dword:" + hex + "\r\n\r\n";
  }
  if (!agentVersion_.empty())
    body += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraAgent]\r\n\"DisplayVersion\"=\"" +
            agentVersion_ + "\"\r\n";
  WriteRegistry(body);
}

void EmulatedMachine::InstallHandlerService(const std::vector<std::string>& args) {
  const std::string dir = root_ + "/services/CorvZyraHandler";
  fs::create_directories(dir);
  std::string cmd = std::string("#!/bin/sh\nexec '") + Programs().handlerDouble + "' --service";
  for (const auto& a : args) cmd += " '" + a + "'";
  cmd += " >> '" + root_ + "/handler.out' 2>&1\n";
  std::ofstream(dir + "/service") << cmd;
  fs::permissions(dir + "/service", fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
}

void EmulatedMachine::OfferAgent(const std::string& version, int installerExit,
                                 const std::string& versionDoc) {
  const std::string www = root_ + "/www";
  fs::create_directories(www);
  fs::copy_file(Programs().installerDouble, www + "/CorvZyraAgent-Setup.exe",
                fs::copy_options::overwrite_existing);
  std::ofstream(www + "/CorvZyraAgent-Setup.exe.manifest", std::ios::binary)
      << (versionDoc.empty() ? "{\"version\":\"" + version + "\"}" : versionDoc);
  std::ofstream(root_ + "/installer-double.conf")
      << "version=" << version << "\nexit=" << installerExit << "\n";
  if (updateServer_ == nullptr) {
    ProcessOptions o;
    o.argv = {Programs().updateServer, "--root", www, "--port-file", root_ + "/server.port"};
    if (!certFile_.empty()) o.argv.insert(o.argv.end(), {"--cert", certFile_, "--key", keyFile_});
    o.stdoutFile = root_ + "/server.log";
    updateServer_ = new Process(o);
    for (int i = 0; i < 5000 && ReadFile(root_ + "/server.port").empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Resign();
  WriteAgentConfig();
}

std::string EmulatedMachine::ServedBaseUrl() const {
  if (!servedBase_.empty()) return servedBase_;
  const std::string port = std::to_string(std::atoi(ReadFile(root_ + "/server.port").c_str()));
  return (certFile_.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") + port;
}

void EmulatedMachine::UseHttps(const std::string& certFile, const std::string& keyFile) {
  certFile_ = certFile;
  keyFile_ = keyFile;
}

void EmulatedMachine::SetProxyOverride(const std::string& proxyAddress, const std::string& creds) {
  std::ofstream(root_ + "/www/proxy.pac")
      << "function FindProxyForURL(url, host) { return \"PROXY " << proxyAddress << "\"; }\n";
  fs::create_directories(C("ProgramData/Corvane/CorvZyra"));
  std::ofstream out(C("ProgramData/Corvane/CorvZyra/ProxyAutoConfigUrl.txt"), std::ios::binary);
  out << ServedBaseUrl() << "/proxy.pac\r\n";
  if (!creds.empty()) out << "creds=" << creds << "\r\n";
}

std::vector<std::string> TrustedCertificateLauncher(const std::string& certFile) {
  ProcessOptions probe;
  probe.argv = {"unshare", "--mount", "--propagation", "private", "--", "true"};
  if (Run(probe, 30) != 0) return {};
  return {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
          "mount --bind '" + certFile + "' /etc/ssl/certs/ca-certificates.crt || exit 200\n"
          "exec \"$@\"", "sh"};
}


void EmulatedMachine::WriteAgentConfig() {
  fs::create_directories(C("ProgramData/Corvane/CorvZyra"));
  std::ofstream(C("ProgramData/Corvane/CorvZyra/zyra-config.json"))
      << "{\"morla\":{\"current\":\"local\",\"available\":[{\"name\":\"local\",\"url\":\""
      << ServedBaseUrl() << "/corvane.com/api/files/manifest/zyra/latest\"}]}}";
}

void EmulatedMachine::Resign() {
  ProcessOptions sign;
  sign.argv = {Programs().sign, "manifest", Programs().signingKey, root_ + "/www", ServedBaseUrl()};
  Run(sign, 60);
}

void EmulatedMachine::ServeFrom(const std::string& baseUrl) {
  servedBase_ = baseUrl;
  Resign();
  WriteAgentConfig();
}

void EmulatedMachine::TamperServedFile(const std::string& name, const std::string& content) {
  std::ofstream(root_ + "/www/" + name, std::ios::binary) << content;
}

std::vector<std::string> EmulatedMachine::InstallerCalls() const {
  std::vector<std::string> calls;
  std::istringstream in(ReadFile(root_ + "/installer-double.calls"));
  for (std::string line; std::getline(in, line);) calls.push_back(line);
  return calls;
}

void EmulatedMachine::ReadyForHandOff(const std::vector<std::string>& handlerArgs) {
  SetInstalledAgentVersion("1.0.0");
  OfferAgent("1.0.0");
  InstallHandlerService(handlerArgs);
}

void EmulatedMachine::StartHandler(const std::vector<std::string>& args) {
  ProcessOptions o;
  o.argv = {Programs().handlerDouble};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.argv = UnderFaketime(o.argv);
  o.setEnv["ZYRA_MACHINE_ROOT"] = root_;
  o.stdoutFile = root_ + "/handler.out";
  o.stderrFile = root_ + "/handler.err";
  delete handler_;
  handler_ = new Process(o);
}

int EmulatedMachine::HandlerExit() {
  if (handler_ == nullptr) return -1;
  return handler_->Wait(60);
}

std::vector<std::string> MessagesOf(const std::string& logText) {
  std::vector<std::string> messages;
  std::istringstream in(logText);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto sep = line.find("  ");
    messages.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
  }
  return messages;
}

StubRun StubRunOf(int exitCode, std::string stdoutText) {
  StubRun run;
  run.exitCode = exitCode;
  run.stdoutText = std::move(stdoutText);
  run.consoleMessages = MessagesOf(run.stdoutText);
  return run;
}

ProcessOptions EmulatedMachine::StubProcess(const std::vector<std::string>& args,
                                            const std::map<std::string, std::string>& env,
                                            const std::string& workDir,
                                            const std::string& stdoutFile) const {
  ProcessOptions o;
  o.argv = {StubPath()};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  if (!realClock_) o.argv = UnderFaketime(o.argv);
  o.argv.insert(o.argv.begin(), launcher_.begin(), launcher_.end());
  o.setEnv = env;
  o.setEnv["ZYRA_MACHINE_ROOT"] = root_;
  o.unsetEnv = {"TMP", "TEMP"};
  if (env.count("TMP") != 0) o.unsetEnv = {"TEMP"};
  o.workDir = workDir;
  o.stdoutFile = stdoutFile;
  return o;
}

StubRun EmulatedMachine::RunStub(const std::vector<std::string>& args,
                                 const std::map<std::string, std::string>& env,
                                 const std::string& workDir) {
  const ProcessOptions o = StubProcess(args, env, workDir, root_ + "/stub.out");
  const int exitCode = Run(o, 90);
  return StubRunOf(exitCode, ReadFile(o.stdoutFile));
}

StubRun EmulatedMachine::RunStubAnsweringThePlaceholder(
    const std::function<void(const std::string&)>& answer) {
  const std::string status = C("Windows/Temp/CorvZyra/Zyrahandler_provisionstub.txt");
  std::atomic<bool> done{false};
  std::thread handler([&] {
    while (!done) {
      if (ReadFile(status) == "Provisioning room. Please wait...") {
        answer(status);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  StubRun run = RunStub();
  done = true;
  handler.join();
  return run;
}

std::string EmulatedMachine::ReadFile(const std::string& hostPath) const {
  std::ifstream in(hostPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();  // block copies: servers of the tests read whole installers per request
  return out.str();
}

void EmulatedMachine::HoldAgainstWriting(const std::string& hostPath) {
  // The emulated machine's sharing model: an open-file-description read lock.
  const int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    ::close(fd);
    return;
  }
  holds_.push_back(fd);
}

void EmulatedMachine::HoldWithoutSharingUntilLogged(const std::string& hostPath,
                                                    const std::string& line) {
  // The emulated machine's sharing model: an exclusive flock.
  const int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return;
  }
  stopWatching_ = false;
  untilLogged_ = std::thread([this, fd, line] {
    while (!stopWatching_ && ReadFile(LogFile()).find(line) == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ::close(fd);
  });
}

void EmulatedMachine::ReleaseHolds() {
  for (int fd : holds_) ::close(fd);
  holds_.clear();
  stopWatching_ = true;
  if (untilLogged_.joinable()) untilLogged_.join();
}

bool EmulatedMachine::Exists(const std::string& hostPath) const { return fs::exists(hostPath); }

}  // namespace zyra_test
