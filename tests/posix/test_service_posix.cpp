// The test service of tests/support/test_service.h on the emulated machine:
// a shell script that reports through its state file.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/posix/machine.h"
#include "platform/services.h"
#include "platform/utf.h"
#include "tests/support/test_service.h"

namespace fs = std::filesystem;
namespace w = platform::win;

namespace zyra_test {
namespace {

std::string ServiceDir() {
  return platform::posix::MachineRoot() + "/services/" + platform::ToUtf8(kTestServiceName);
}

w::ServiceStatusProcess Status() {
  w::ServiceStatusProcess status{};
  w::ScHandle manager(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect));
  if (!manager) return status;
  w::ScHandle service(w::OpenServiceW(manager.get(), kTestServiceName, w::kServiceQueryStatus));
  w::DWORD needed = 0;
  if (service)
    (void)w::QueryServiceStatusEx(service.get(), w::kScStatusProcessInfo,
                                  reinterpret_cast<std::uint8_t*>(&status), sizeof status, &needed);
  return status;
}

}  // namespace

bool InstallTestService(TestServiceKind kind) {
  std::error_code ec;
  fs::create_directories(ServiceDir(), ec);
  const int pending = kind == TestServiceKind::SlowStart ? 30 : 4;
  std::string script =
      "#!/bin/sh\n"
      "report() { echo \"$1\" > state.tmp && mv state.tmp state; }\n"
      "trap 'report \"STOP_PENDING 1 2000\"; report \"STOPPED 0\"; exit 0' TERM\n"
      "n=1\n"
      "while [ $n -le " +
      std::to_string(pending) +
      " ]; do report \"START_PENDING $n 3000\"; sleep 0.1; n=$((n + 1)); done\n";
  if (kind == TestServiceKind::FailStart)
    script += "report 'STOPPED 42'\nexit 0\n";
  else
    script += "report RUNNING\nwhile :; do sleep 0.05; done\n";
  const std::string program = ServiceDir() + "/service";
  std::ofstream(program, std::ios::binary | std::ios::trunc) << script;
  return ::chmod(program.c_str(), 0755) == 0;
}

void RemoveTestService() {
  // The manager itself stays: its database is the services folder.
  std::error_code ec;
  fs::create_directories(fs::path(ServiceDir()).parent_path(), ec);
  if (!fs::exists(ServiceDir())) return;
  const auto pid = static_cast<pid_t>(Status().dwProcessId);
  if (pid > 0) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
  }
  // Stopped, and its waiter done: it removes the state file after it has
  // recorded the exit code, and writes nothing after that.
  const auto done = [] {
    const w::DWORD state = Status().dwCurrentState;
    return (state == w::kServiceStopped || state == 0) &&
           !fs::exists(ServiceDir() + "/state") &&
           (fs::exists(ServiceDir() + "/exitcode") || !fs::exists(ServiceDir() + "/pid"));
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  fs::remove_all(ServiceDir(), ec);
}

}  // namespace zyra_test
