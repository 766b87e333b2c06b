#include "tests/posix/service_fixture.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/posix/machine.h"
#include "platform/utf.h"

namespace zyra_test {

namespace fs = std::filesystem;
namespace w = platform::win;

std::string ServicesDir() { return platform::posix::MachineRoot() + "/services"; }
std::string ServiceDir(const std::string& name) { return ServicesDir() + "/" + name; }

// "" when it cannot be read. A /proc file of a process that ends while it
// is read fails the read (ESRCH), which the stream library throws for.
std::string ReadText(const std::string& path) {
  try {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::ios_base::failure&) {
    return std::string();
  }
}

void WriteAtomically(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".test-tmp";
  std::ofstream(tmp, std::ios::binary | std::ios::trunc) << text;
  ASSERT_EQ(std::rename(tmp.c_str(), path.c_str()), 0) << path;
}

void InstallService(const std::string& name, const std::string& script) {
  fs::create_directories(ServiceDir(name));
  const std::string program = ServiceDir(name) + "/service";
  std::ofstream(program, std::ios::binary | std::ios::trunc) << script;
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
}

void WriteState(const std::string& name, const std::string& line) {
  WriteAtomically(ServiceDir(name) + "/state", line + "\n");
}

// Polls a condition of the real processes for up to 10 seconds.
bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

// Waits until a service that handles the stop request has its handler in
// place.
bool WaitReady(const std::string& name) {
  return WaitFor([&] { return fs::exists(ServiceDir(name) + "/ready"); });
}

// The service's pid as the manager recorded it; 0 when there is none.
pid_t RecordedPid(const std::string& name) {
  std::istringstream in(ReadText(ServiceDir(name) + "/pid"));
  long long pid = 0;
  in >> pid;
  return static_cast<pid_t>(pid);
}

bool ProcessLives(pid_t pid) {
  if (pid <= 0 || ::kill(pid, 0) != 0) return false;
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Status through a fresh manager connection, as another program would see it.
w::ServiceStatusProcess StatusOf(const std::string& name) {
  w::ServiceStatusProcess status{};
  w::ScHandle manager(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect));
  if (!manager) return status;
  w::ScHandle service(
      w::OpenServiceW(manager.get(), platform::ToUtf16(name).c_str(), w::kServiceQueryStatus));
  w::DWORD needed = 0;
  if (service)
    (void)w::QueryServiceStatusEx(service.get(), w::kScStatusProcessInfo,
                                  reinterpret_cast<std::uint8_t*>(&status), sizeof status, &needed);
  return status;
}

void ServiceTest::SetUp() {
  fs::remove_all(ServicesDir());
  fs::create_directories(ServicesDir());
  w::SetSleepHookForTesting([this](w::DWORD ms) {
    sleeps_.push_back(ms);
    tick_ += ms;
    if (onSleep_) onSleep_(sleeps_.size());
    if (!watched_.empty()) WaitWhilePendingUnchanged(watched_);
  });
  w::SetTickHookForTesting([this] { return tick_; });
}

void ServiceTest::TearDown() {
  w::SetSleepHookForTesting(nullptr);
  w::SetTickHookForTesting(nullptr);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(ServicesDir(), ec)) {
    const std::string name = entry.path().filename().string();
    // Only a process the manager itself takes for the service (pid and
    // start time match) is ended.
    const auto pid = static_cast<pid_t>(StatusOf(name).dwProcessId);
    if (pid > 0 && pid != ::getpid() && ProcessLives(pid)) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      EXPECT_TRUE(WaitFor([&] { return StatusOf(name).dwCurrentState == w::kServiceStopped; }))
          << name;
    }
  }
  fs::remove_all(ServicesDir(), ec);
}

void ServiceTest::WaitWhilePendingUnchanged(const std::string& name) {
  const w::ServiceStatusProcess before = StatusOf(name);
  if (before.dwCurrentState != w::kServiceStartPending &&
      before.dwCurrentState != w::kServiceStopPending)
    return;
  (void)WaitFor([&] {
    const w::ServiceStatusProcess now = StatusOf(name);
    return now.dwCurrentState != before.dwCurrentState ||
           now.dwCheckPoint != before.dwCheckPoint;
  });
}

}  // namespace zyra_test
