// What every scenario machine shows the same way: its log split into
// messages, and the files of C:\Windows\Temp read on the host.
#include "tests/support/scenario_machine.h"

#include <algorithm>
#include <utility>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace zyra_test {
namespace {

constexpr const char* kExchangeFolder = "CorvZyra";

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec))
    names.push_back(e.path().filename().string());
  return names;
}

}  // namespace

void NameVersionFileByFileUrl(const std::string& www) {
  const std::string manifestPath = www + "/manifest.json";
  std::ifstream in(manifestPath, std::ios::binary);
  std::ostringstream manifest;
  manifest << in.rdbuf();
  in.close();
  const std::regex versionUrl("\"url\": \"[^\"]*/CorvZyraAgent-Setup\\.exe\\.manifest\"");
  const std::string replaced = std::regex_replace(
      manifest.str(), versionUrl,
      "\"url\": \"file://" + www + "/CorvZyraAgent-Setup.exe.manifest\"");
  if (replaced == manifest.str()) ADD_FAILURE() << "no version manifest URL in " << manifestPath;
  std::ofstream(manifestPath, std::ios::binary) << replaced;
}

std::string WindowsPath(const std::string& onDriveC) {
  std::string path = "C:\\" + onDriveC;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

BackgroundStub::BackgroundStub(const ProcessOptions& options, double timeoutSeconds,
                               std::function<void()> onEnd)
    : process_(std::make_unique<Process>(options)),
      stdoutFile_(options.stdoutFile),
      timeoutSeconds_(timeoutSeconds),
      onEnd_(std::move(onEnd)) {}

BackgroundStub::~BackgroundStub() {
  process_.reset();  // kills a run still under way
  Ended();
}

void BackgroundStub::Ended() {
  if (onEnd_) std::exchange(onEnd_, nullptr)();
}

std::string BackgroundStub::Console() const {
  std::ifstream in(stdoutFile_, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

StubRun BackgroundStub::Wait() {
  const int exitCode = process_->Wait(timeoutSeconds_);
  Ended();
  return StubRunOf(exitCode, Console());
}

void BackgroundStub::Kill() {
  process_->Kill();
  Ended();
}

std::vector<std::string> ScenarioMachine::LogMessages() const { return MessagesOf(LogText()); }

std::optional<std::string> ScenarioMachine::ExchangeFileBytes(const std::string& name) const {
  const fs::path file = fs::path(WindowsTempOnHost()) / kExchangeFolder / name;
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void ScenarioMachine::WriteExchangeFile(const std::string& name, const std::string& content) {
  const fs::path folder = fs::path(WindowsTempOnHost()) / kExchangeFolder;
  fs::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary) << content;
}

fs::perms ScenarioMachine::ExchangeFolderPermissions() const {
  std::error_code ec;
  return fs::status(fs::path(WindowsTempOnHost()) / kExchangeFolder, ec).permissions();
}

std::optional<std::string> ScenarioMachine::ResultFileBytes() const {
  return ExchangeFileBytes("CorvZyraProvisionStub_Result.txt");
}

std::vector<std::string> ScenarioMachine::DownloadFolder() const {
  return Names(WindowsTempOnHost() + "/" + kExchangeFolder + "/ZHDownload");
}

std::vector<std::string> ScenarioMachine::TempFolder() const { return Names(WindowsTempOnHost()); }

}  // namespace zyra_test
