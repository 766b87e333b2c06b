#include "tests/support/machine.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace zyra_test {

EmulatedMachine::EmulatedMachine() {
  char tmpl[] = "/tmp/zyra-e2e-XXXXXX";
  if (::mkdtemp(tmpl) != nullptr) root_ = tmpl;
  fs::create_directories(C("ProgramData"));
  fs::create_directories(C("Windows/Temp"));
  fs::create_directories(C("Program Files/CorvZyra"));
}

EmulatedMachine::~EmulatedMachine() {
  delete handler_;
  std::error_code ec;
  if (std::getenv("ZYRA_KEEP_MACHINES") == nullptr) fs::remove_all(root_, ec);
}

std::string EmulatedMachine::C(const std::string& relative) const {
  return root_ + "/drive_c/" + relative;
}

std::string EmulatedMachine::StubPath() const {
  return C("Program Files/CorvZyra/CorvZyraProvisionStub");
}
std::string EmulatedMachine::ResultFile() const {
  return C("Windows/Temp/CorvZyra/CorvZyraProvisionStub_Result.txt");
}
std::string EmulatedMachine::LogFile() const {
  return C("ProgramData/Corvane/CorvZyra/CorvZyraProvisionStub.log");
}

void EmulatedMachine::InstallStub() {
  fs::copy_file(ZYRA_STUB_BINARY, StubPath(), fs::copy_options::overwrite_existing);
}

void EmulatedMachine::PutToken(const std::string& content) {
  std::ofstream(C("Program Files/CorvZyra/CorvZyraProvisionToken.json"), std::ios::binary)
      << content;
}

void EmulatedMachine::WriteRegistry(const std::string& body) {
  std::ofstream(root_ + "/registry.reg", std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n"
      << body;
}

void EmulatedMachine::SetLogLevel(int level) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(level));
  WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\r\n") +
                "\"log_level\"=dword:" + hex + "\r\n");
}

void EmulatedMachine::StartHandler(const std::vector<std::string>& args) {
  ProcessOptions o;
  o.argv = {ZYRA_HANDLER_DOUBLE};
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

StubRun EmulatedMachine::RunStub(const std::vector<std::string>& args,
                                 const std::map<std::string, std::string>& env,
                                 const std::string& workDir) {
  ProcessOptions o;
  o.argv = {StubPath()};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.argv = UnderFaketime(o.argv);
  o.setEnv = env;
  o.setEnv["ZYRA_MACHINE_ROOT"] = root_;
  o.unsetEnv = {"TMP", "TEMP"};
  if (env.count("TMP") != 0) o.unsetEnv = {"TEMP"};
  o.workDir = workDir;
  o.stdoutFile = root_ + "/stub.out";
  StubRun run;
  run.exitCode = Run(o, 90);
  run.stdoutText = ReadFile(o.stdoutFile);
  std::istringstream in(run.stdoutText);
  for (std::string line; std::getline(in, line);) {
    const auto sep = line.find("  ");
    run.consoleMessages.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
  }
  return run;
}

std::string EmulatedMachine::ReadFile(const std::string& hostPath) const {
  std::ifstream in(hostPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool EmulatedMachine::Exists(const std::string& hostPath) const { return fs::exists(hostPath); }

}  // namespace zyra_test
