// ServiceInstaller against the emulated service manager, with real service
// processes (small shell scripts) and a driven clock: the installer's sleeps
// return at once, and the tick count moves by what it slept. The second
// group checks the emulated service manager's own contract, the third the
// handler restart of the agent installation step.
#include "platform/service_installer.h"

#include "app/agent_update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/posix/machine.h"
#include "platform/services.h"
#include "platform/utf.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
namespace w = platform::win;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Eq;

namespace {

// Never reports: the manager shows it start pending until it ends.
constexpr const char* kSleeper = "#!/bin/sh\nexec sleep 1000\n";

// Reports as a Win32 service does through SetServiceStatus: RUNNING once
// started, STOPPED (exit code 0) when asked to stop.
constexpr const char* kService =
    "#!/bin/sh\n"
    "report() { echo \"$1\" > state.tmp && mv state.tmp state; }\n"
    "trap 'report \"STOPPED 0\"; exit 0' TERM\n"
    "report RUNNING\n"
    ": > ready\n"
    "while :; do sleep 0.05; done\n";

// Like kService, but spends a fifth of a second starting (START_PENDING,
// check point 1, wait hint 3 s) before it runs.
constexpr const char* kStartsSlowly =
    "#!/bin/sh\n"
    "report() { echo \"$1\" > state.tmp && mv state.tmp state; }\n"
    "trap 'report \"STOPPED 0\"; exit 0' TERM\n"
    "report 'START_PENDING 1 3000'\n"
    "sleep 0.2\n"
    "report RUNNING\n"
    ": > ready\n"
    "while :; do sleep 0.05; done\n";

// Runs, reacts to the stop request by reporting STOP_PENDING, and never
// ends. "ready" tells that its handler is in place.
constexpr const char* kNeverStops =
    "#!/bin/sh\n"
    "trap 'echo \"STOP_PENDING 1 1000\" > state.tmp && mv state.tmp state' TERM\n"
    "echo RUNNING > state.tmp && mv state.tmp state\n"
    ": > ready\n"
    "while :; do sleep 1; done\n";

std::string ServicesDir() { return platform::posix::MachineRoot() + "/services"; }
std::string ServiceDir(const std::string& name) { return ServicesDir() + "/" + name; }

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
  std::size_t n = 0;
  for (const auto& l : lines) n += l == line ? 1 : 0;
  return n;
}

// A fresh services folder per test, a driven clock, and no service process
// left behind.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
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

  void TearDown() override {
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

  // What the installer's one-second sleep gives a real service: time to
  // leave its pending state or report progress (at most 10 seconds).
  static void WaitWhilePendingUnchanged(const std::string& name) {
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

  std::vector<w::DWORD> sleeps_;
  w::DWORD tick_ = 0x10000;
  std::function<void(std::size_t sleepCount)> onSleep_;
  // A service whose real progress each sleep waits for; none when empty.
  std::string watched_;
};

const char* const kStartAttempt =
    "debug|[ServiceInstaller::Start] - Attempting to start the service.";

}  // namespace

// ---------------------------------------------------------------------------
// ServiceInstaller

using ServiceInstallerTest = ServiceTest;

TEST_F(ServiceInstallerTest, StartsAStoppedServiceStopsItAndRestartsARunningOne) {
  InstallService("ZyraSvc", kStartsSlowly);
  watched_ = "ZyraSvc";
  platform::ServiceInstaller installer(u"ZyraSvc");
  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Start(), 0u);
    EXPECT_THAT(log.Lines(),
                ElementsAre(kStartAttempt, "info|[ServiceInstaller::Start] - ZyraSvc started.",
                            "info|[ServiceInstaller::Start] - Service started successfully."));
  }
  // Start pending until the service reports: polled once a second.
  EXPECT_FALSE(sleeps_.empty());
  EXPECT_THAT(sleeps_, Each(Eq(1000u)));
  const pid_t first = RecordedPid("ZyraSvc");
  ASSERT_TRUE(ProcessLives(first));
  EXPECT_EQ(StatusOf("ZyraSvc").dwCurrentState, w::kServiceRunning);

  sleeps_.clear();
  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Stop(), 0u);
    EXPECT_THAT(log.Lines(),
                ElementsAre("info|[ServiceInstaller::Stop] - Stop request",
                            "debug|[ServiceInstaller::Stop] - Will try to open ZyraSvc service.",
                            "debug|[ServiceInstaller::Stop] - Will try to stop ZyraSvc service.",
                            "info|[ServiceInstaller::Stop] - Stopping ZyraSvc.",
                            "info|[ServiceInstaller::Stop] - Querying ZyraSvc.",
                            "info|[ServiceInstaller::Stop] - Service status 1.",
                            "info|[ServiceInstaller::Stop] - ZyraSvc is stopped.",
                            "info|[ServiceInstaller::Stop] - ZyraSvc is stopped."));
  }
  EXPECT_THAT(sleeps_, ElementsAre(1000u));
  EXPECT_TRUE(WaitFor([&] { return !ProcessLives(first); }));
  EXPECT_TRUE(WaitFor([] { return !fs::exists(ServiceDir("ZyraSvc") + "/state"); }));
  EXPECT_EQ(StatusOf("ZyraSvc").dwCurrentState, w::kServiceStopped);
  EXPECT_EQ(StatusOf("ZyraSvc").dwWin32ExitCode, 0u);

  ASSERT_EQ(installer.Start(), 0u);
  const pid_t second = RecordedPid("ZyraSvc");
  ASSERT_TRUE(ProcessLives(second));
  sleeps_.clear();
  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Start(), 0u);
    EXPECT_THAT(log.Lines(),
                ElementsAre(kStartAttempt, "info|[ServiceInstaller::Start] - Stopping ZyraSvc.",
                            "info|[ServiceInstaller::Start] - ZyraSvc started.",
                            "info|[ServiceInstaller::Start] - Service started successfully."));
  }
  // One second for the stop, then at least one poll of the start.
  EXPECT_GE(sleeps_.size(), 2u);
  EXPECT_THAT(sleeps_, Each(Eq(1000u)));
  EXPECT_FALSE(ProcessLives(second));
  const pid_t third = RecordedPid("ZyraSvc");
  EXPECT_NE(third, second);
  EXPECT_TRUE(ProcessLives(third));
  EXPECT_EQ(StatusOf("ZyraSvc").dwCurrentState, w::kServiceRunning);
}

TEST_F(ServiceInstallerTest, AServiceThatNeverReportsIsGivenUpAfterTheInitialWaitHint) {
  // Started but silent: start pending, check point 0, wait hint 2 s, as the
  // manager shows a service before its first report.
  InstallService("Silent", kSleeper);
  platform::ServiceInstaller installer(u"Silent");
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Start(), 0u);
  // 2 seconds without progress is not yet more than the wait hint; 3 are.
  EXPECT_THAT(sleeps_, ElementsAre(1000u, 1000u, 1000u));
  EXPECT_THAT(log.Lines(),
              ElementsAre(kStartAttempt, "info|[ServiceInstaller::Start] - Silent started.",
                          "info|[ServiceInstaller::Start] - Service not started.",
                          "info|[ServiceInstaller::Start] -   Current State: 2",
                          "info|[ServiceInstaller::Start] -   Exit Code: 0"));
}

TEST_F(ServiceInstallerTest, ARestartOfAServiceThatIsStillStartingFails) {
  // A stop request is refused while the service is start pending (1061),
  // silently; the start then finds it running (1056).
  InstallService("Starting", kSleeper);
  platform::ServiceInstaller installer(u"Starting");
  ASSERT_EQ(installer.Start(), 0u);
  sleeps_.clear();
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Stop(), 0u);
  EXPECT_EQ(installer.Start(), w::kErrorServiceAlreadyRunning);
  EXPECT_TRUE(sleeps_.empty());
  EXPECT_THAT(log.Lines(),
              ElementsAre("info|[ServiceInstaller::Stop] - Stop request",
                          "debug|[ServiceInstaller::Stop] - Will try to open Starting service.",
                          "debug|[ServiceInstaller::Stop] - Will try to stop Starting service.",
                          "info|[ServiceInstaller::Stop] - Starting is stopped.", kStartAttempt,
                          "error|[ServiceInstaller::Start] - Starting failed to start"));
  EXPECT_EQ(StatusOf("Starting").dwCurrentState, w::kServiceStartPending);
}

TEST_F(ServiceInstallerTest, StopOfAStoppedServiceSaysStoppedOnce) {
  InstallService("Idle", kSleeper);
  platform::ServiceInstaller installer(u"Idle");
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Stop(), 0u);
  EXPECT_THAT(log.Lines(),
              ElementsAre("info|[ServiceInstaller::Stop] - Stop request",
                          "debug|[ServiceInstaller::Stop] - Will try to open Idle service.",
                          "debug|[ServiceInstaller::Stop] - Will try to stop Idle service.",
                          "info|[ServiceInstaller::Stop] - Idle is stopped."));
  EXPECT_TRUE(sleeps_.empty());
}

TEST_F(ServiceInstallerTest, StartPollsATenthOfTheWaitHintWithinOneAndTenSeconds) {
  struct Case {
    w::DWORD waitHint;
    w::DWORD expectedSleep;
  };
  const Case cases[] = {{5000, 1000}, {300000, 10000}, {25000, 2500}, {0, 1000}, {100001, 10000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waitHint);
    const std::string name = "Hint" + std::to_string(c.waitHint);
    InstallService(name, kSleeper);
    // The service reports START_PENDING from its first moment and makes
    // progress at every poll; after the third it runs.
    WriteState(name, "START_PENDING 1 " + std::to_string(c.waitHint));
    onSleep_ = [&](std::size_t n) {
      if (n < 3)
        WriteState(name,
                   "START_PENDING " + std::to_string(n + 1) + " " + std::to_string(c.waitHint));
      else
        WriteState(name, "RUNNING");
    };
    sleeps_.clear();
    platform::ServiceInstaller installer(platform::ToUtf16(name));
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Start(), 0u);
    EXPECT_THAT(sleeps_, ElementsAre(c.expectedSleep, c.expectedSleep, c.expectedSleep));
    EXPECT_EQ(log.Lines().back(), "info|[ServiceInstaller::Start] - Service started successfully.");
    onSleep_ = nullptr;
  }
}

TEST_F(ServiceInstallerTest, AStuckCheckPointIsGivenUpOnceTheWaitHintHasPassed) {
  InstallService("Stuck", kSleeper);
  WriteState("Stuck", "START_PENDING 4 5000");
  tick_ = 0xFFFFF000u;  // the tick count wraps during the wait
  platform::ServiceInstaller installer(u"Stuck");
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Start(), 0u);
  // 5 seconds without progress is not yet more than the wait hint; 6 are.
  EXPECT_EQ(sleeps_.size(), 6u);
  EXPECT_THAT(sleeps_, Each(Eq(1000u)));
  EXPECT_THAT(log.Lines(),
              ElementsAre(kStartAttempt, "info|[ServiceInstaller::Start] - Stuck started.",
                          "info|[ServiceInstaller::Start] - Service not started.",
                          "info|[ServiceInstaller::Start] -   Current State: 2",
                          "info|[ServiceInstaller::Start] -   Exit Code: 0"));
  EXPECT_EQ(StatusOf("Stuck").dwCurrentState, w::kServiceStartPending);
}

TEST_F(ServiceInstallerTest, AGrowingCheckPointKeepsBeingWaitedFor) {
  InstallService("Slow", kSleeper);
  WriteState("Slow", "START_PENDING 1 5000");
  // Progress at each of the first 30 polls (30 s, far past the 5 s hint),
  // then none: given up 6 polls after the last progress.
  onSleep_ = [](std::size_t n) {
    if (n <= 30) WriteState("Slow", "START_PENDING " + std::to_string(n + 1) + " 5000");
  };
  platform::ServiceInstaller installer(u"Slow");
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Start(), 0u);
  EXPECT_EQ(sleeps_.size(), 36u);
  EXPECT_THAT(log.Lines(), Contains("info|[ServiceInstaller::Start] -   Current State: 2"));

  // The same service, once running, stopped and started again, progressing
  // until it runs.
  WriteState("Slow", "RUNNING");
  ASSERT_EQ(installer.Stop(), 0u);
  WriteState("Slow", "START_PENDING 1 5000");
  sleeps_.clear();
  onSleep_ = [](std::size_t n) {
    WriteState("Slow", n < 40 ? "START_PENDING " + std::to_string(n + 1) + " 5000" : "RUNNING");
  };
  zyra_test::CapturedLog again;
  EXPECT_EQ(installer.Start(), 0u);
  EXPECT_EQ(sleeps_.size(), 40u);
  EXPECT_EQ(again.Lines().back(), "info|[ServiceInstaller::Start] - Service started successfully.");
}

TEST_F(ServiceInstallerTest, AServiceThatEndsWhileStartingReportsItsExitCode) {
  // Reports STOPPED with exit code 3 and ends once the test lets it go.
  InstallService("Quits",
                 "#!/bin/sh\nwhile [ ! -e go ]; do sleep 0.01; done\n"
                 "echo 'STOPPED 3' > state.tmp && mv state.tmp state\nexit 0\n");
  WriteState("Quits", "START_PENDING 1 5000");
  onSleep_ = [](std::size_t n) {
    if (n != 1) return;
    WriteAtomically(ServiceDir("Quits") + "/go", "");
    EXPECT_TRUE(WaitFor([] { return StatusOf("Quits").dwCurrentState == w::kServiceStopped; }));
  };
  platform::ServiceInstaller installer(u"Quits");
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Start(), 0u);
  EXPECT_THAT(sleeps_, ElementsAre(1000u));
  EXPECT_THAT(log.Lines(),
              ElementsAre(kStartAttempt, "info|[ServiceInstaller::Start] - Quits started.",
                          "info|[ServiceInstaller::Start] - Service not started.",
                          "info|[ServiceInstaller::Start] -   Current State: 1",
                          "info|[ServiceInstaller::Start] -   Exit Code: 3"));
}

TEST_F(ServiceInstallerTest, StopPendingPollsOnceASecondWithPendingLinesUntilStopped) {
  // Reports STOP_PENDING on the request and STOPPED two polls later.
  InstallService("Graceful",
                 "#!/bin/sh\n"
                 "trap 'echo \"STOP_PENDING 1 3000\" > state.tmp && mv state.tmp state; "
                 "while [ ! -e go ]; do sleep 0.01; done; "
                 "echo \"STOPPED 0\" > state.tmp && mv state.tmp state; exit 0' TERM\n"
                 "echo RUNNING > state.tmp && mv state.tmp state\n"
                 ": > ready\n"
                 "while :; do sleep 1; done\n");
  platform::ServiceInstaller installer(u"Graceful");
  ASSERT_EQ(installer.Start(), 0u);
  ASSERT_TRUE(WaitReady("Graceful"));
  sleeps_.clear();
  onSleep_ = [](std::size_t n) {
    if (n != 2) return;
    WriteAtomically(ServiceDir("Graceful") + "/go", "");
    EXPECT_TRUE(WaitFor([] { return StatusOf("Graceful").dwCurrentState == w::kServiceStopped; }));
  };
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Stop(), 0u);
  EXPECT_THAT(sleeps_, ElementsAre(1000u, 1000u));
  EXPECT_THAT(log.Lines(),
              ElementsAre("info|[ServiceInstaller::Stop] - Stop request",
                          "debug|[ServiceInstaller::Stop] - Will try to open Graceful service.",
                          "debug|[ServiceInstaller::Stop] - Will try to stop Graceful service.",
                          "info|[ServiceInstaller::Stop] - Stopping Graceful.",
                          "info|[ServiceInstaller::Stop] - Querying Graceful.",
                          "info|[ServiceInstaller::Stop] - Service status 3.",
                          "info|[ServiceInstaller::Stop] - Service state 3 is pending.",
                          "info|[ServiceInstaller::Stop] - Service status 1.",
                          "info|[ServiceInstaller::Stop] - Graceful is stopped.",
                          "info|[ServiceInstaller::Stop] - Graceful is stopped."));
  EXPECT_EQ(StatusOf("Graceful").dwWin32ExitCode, 0u);
}

TEST_F(ServiceInstallerTest, AStopThatNeverEndsIsWaitedForTenMinutes) {
  InstallService("Hung", kNeverStops);
  platform::ServiceInstaller installer(u"Hung");
  ASSERT_EQ(installer.Start(), 0u);
  ASSERT_TRUE(WaitReady("Hung"));
  sleeps_.clear();
  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Stop(), 0u);
    const auto lines = log.Lines();
    EXPECT_EQ(sleeps_.size(), 600u);
    EXPECT_THAT(sleeps_, Each(Eq(1000u)));
    EXPECT_EQ(CountOf(lines, "info|[ServiceInstaller::Stop] - Service status 3."), 600u);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3],
              "warning|[ServiceInstaller::Stop] - Hung is still stopping after 600 seconds, no "
              "longer waiting.");
    EXPECT_EQ(lines[lines.size() - 2], "error|[ServiceInstaller::Stop] - Hung failed to stop.");
    EXPECT_EQ(lines[lines.size() - 1], "info|[ServiceInstaller::Stop] - Hung is stopped.");
  }
  EXPECT_TRUE(ProcessLives(RecordedPid("Hung")));

  // Start waits as long for the earlier stop, then cannot start the service
  // that still runs.
  sleeps_.clear();
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Start(), w::kErrorServiceAlreadyRunning);
  EXPECT_EQ(sleeps_.size(), 600u);
  EXPECT_THAT(log.Lines(),
              ElementsAre(kStartAttempt,
                          "warning|[ServiceInstaller::Start] - Hung is still stopping after 600 "
                          "seconds, no longer waiting.",
                          "error|[ServiceInstaller::Start] - Hung failed to start"));
}

TEST_F(ServiceInstallerTest, UnknownServiceIsReportedWithItsErrorCode) {
  fs::create_directories(ServiceDir("NoProgram"));  // a folder without a program is no service
  for (const char16_t* name : {u"Missing", u"NoProgram"}) {
    platform::ServiceInstaller installer(name);
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Start(), w::kErrorServiceDoesNotExist);
    EXPECT_EQ(installer.Stop(), w::kErrorServiceDoesNotExist);
    EXPECT_THAT(
        log.Lines(),
        ElementsAre(kStartAttempt,
                    "error|[ServiceInstaller::Start] - OpenService failed with error 0x00000424",
                    "info|[ServiceInstaller::Stop] - Stop request",
                    std::string("debug|[ServiceInstaller::Stop] - Will try to open ") +
                        platform::ToUtf8(name) + " service.",
                    "error|[ServiceInstaller::Stop] - OpenService failed with error 0x00000424"));
  }
}

TEST_F(ServiceInstallerTest, NoServiceManagerMeansNoInstaller) {
  fs::remove_all(ServicesDir());
  zyra_test::CapturedLog log;
  try {
    platform::ServiceInstaller installer(u"ZyraSvc");
    FAIL() << "constructed without a service manager";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[ServiceInstaller] - Failed to open Service Control Manager 0x0005.");
  }
  EXPECT_TRUE(log.Lines().empty());
}

// ---------------------------------------------------------------------------
// The emulated service manager

using EmulatedServices = ServiceTest;

namespace {

struct Opened {
  w::ScHandle manager;
  w::ScHandle service;
};

Opened Open(const std::u16string& name, w::DWORD access = w::kServiceAllAccess) {
  Opened o;
  o.manager.reset(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect));
  if (o.manager) o.service.reset(w::OpenServiceW(o.manager.get(), name.c_str(), access));
  return o;
}

}  // namespace

TEST_F(EmulatedServices, ManagerNeedsTheServicesFolder) {
  fs::remove_all(ServicesDir());
  EXPECT_EQ(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect), nullptr);
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);
  fs::create_directories(ServicesDir());
  w::ScHandle manager(w::OpenSCManagerW(nullptr, u"ServicesActive", w::kScManagerConnect));
  EXPECT_NE(manager, nullptr);
  EXPECT_EQ(w::OpenSCManagerW(nullptr, u"Other", w::kScManagerConnect), nullptr);
  EXPECT_EQ(w::GetLastError(), w::kErrorDatabaseDoesNotExist);
}

TEST_F(EmulatedServices, NamesMatchIgnoringCaseAndNameOneFolder) {
  InstallService("CorvZyraHandler", kSleeper);
  EXPECT_NE(Open(u"corvzyrahandler").service, nullptr);
  EXPECT_NE(Open(u"CORVZYRAHANDLER").service, nullptr);
  for (const char16_t* bad : {u"", u"..", u".", u"a/b", u"..\\CorvZyraHandler", u"../services"}) {
    EXPECT_EQ(Open(bad).service, nullptr) << platform::ToUtf8(bad);
    EXPECT_EQ(w::GetLastError(), w::kErrorInvalidName) << platform::ToUtf8(bad);
  }
  // Present but not executable: not installed.
  InstallService("NotExecutable", kSleeper);
  ASSERT_EQ(::chmod((ServiceDir("NotExecutable") + "/service").c_str(), 0644), 0);
  EXPECT_EQ(Open(u"NotExecutable").service, nullptr);
  EXPECT_EQ(w::GetLastError(), w::kErrorServiceDoesNotExist);
}

TEST_F(EmulatedServices, ServiceRunsDetachedInItsFolderWithTheCallersEnvironment) {
  InstallService("Env",
                 "#!/bin/sh\n"
                 "pwd > cwd.tmp && mv cwd.tmp cwd\n"
                 "echo \"$ZYRA_SERVICE_TEST_VALUE\" > env.tmp && mv env.tmp env\n"
                 "echo RUNNING > state.tmp && mv state.tmp state\n"
                 "echo \"$ZYRA_SERVICE_STATE\" > report.tmp && mv report.tmp report\n"
                 "exec sleep 1000\n");
  ::setenv("ZYRA_SERVICE_TEST_VALUE", "from the caller", 1);
  Opened o = Open(u"env");  // opened in another letter case
  ASSERT_NE(o.service, nullptr);
  ASSERT_TRUE(w::StartServiceW(o.service.get()));
  ::unsetenv("ZYRA_SERVICE_TEST_VALUE");
  ASSERT_TRUE(WaitFor([] { return fs::exists(ServiceDir("Env") + "/env"); }));
  EXPECT_EQ(ReadText(ServiceDir("Env") + "/cwd"), fs::canonical(ServiceDir("Env")).string() + "\n");
  EXPECT_EQ(ReadText(ServiceDir("Env") + "/env"), "from the caller\n");
  ASSERT_TRUE(WaitFor([] { return fs::exists(ServiceDir("Env") + "/report"); }));
  // Where it reports its status.
  EXPECT_EQ(ReadText(ServiceDir("Env") + "/report"), ServiceDir("Env") + "/state\n");

  const pid_t pid = RecordedPid("Env");
  ASSERT_TRUE(ProcessLives(pid));
  EXPECT_EQ(::getsid(pid), pid);  // a session of its own
  EXPECT_NE(::getppid(), pid);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // not our child: nothing to reap
  EXPECT_EQ(errno, ECHILD);

  w::ServiceStatusProcess status{};
  w::DWORD needed = 0;
  ASSERT_TRUE(w::QueryServiceStatusEx(o.service.get(), w::kScStatusProcessInfo,
                                      reinterpret_cast<std::uint8_t*>(&status), sizeof status,
                                      &needed));
  EXPECT_EQ(status.dwCurrentState, w::kServiceRunning);
  EXPECT_EQ(status.dwProcessId, static_cast<w::DWORD>(pid));
  EXPECT_EQ(status.dwServiceType, w::kServiceWin32OwnProcess);

  EXPECT_FALSE(w::StartServiceW(o.service.get()));
  EXPECT_EQ(w::GetLastError(), w::kErrorServiceAlreadyRunning);

  w::ServiceStatus stopped{};
  ASSERT_TRUE(w::ControlService(o.service.get(), w::kServiceControlStop, &stopped));
  EXPECT_EQ(stopped.dwCurrentState, w::kServiceStopped);
  // Ended by the stop request without reporting STOPPED: terminated
  // unexpectedly, as Windows records a service process that just ends.
  EXPECT_EQ(stopped.dwWin32ExitCode, w::kErrorProcessAborted);
  EXPECT_FALSE(ProcessLives(pid));
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);

  EXPECT_FALSE(w::ControlService(o.service.get(), w::kServiceControlStop, &stopped));
  EXPECT_EQ(w::GetLastError(), w::kErrorServiceNotActive);
}

TEST_F(EmulatedServices, TheServiceIsTrackedAcrossConnectionsAndNotConfusedWithARecycledPid) {
  InstallService("Tracked", kService);
  {
    Opened first = Open(u"Tracked");
    ASSERT_TRUE(w::StartServiceW(first.service.get()));
  }
  ASSERT_TRUE(WaitReady("Tracked"));
  // A later connection (a later run of the program) finds it running...
  Opened later = Open(u"Tracked", w::kServiceStop | w::kServiceQueryStatus);
  w::ServiceStatus status{};
  ASSERT_TRUE(w::QueryServiceStatus(later.service.get(), &status));
  EXPECT_EQ(status.dwCurrentState, w::kServiceRunning);
  // ...and stops it.
  ASSERT_TRUE(w::ControlService(later.service.get(), w::kServiceControlStop, &status));
  EXPECT_EQ(status.dwCurrentState, w::kServiceStopped);

  // A record naming a living process with another start time (the pid was
  // reused) is no running service.
  const std::string record = ReadText(ServiceDir("Tracked") + "/pid");
  std::istringstream in(record);
  long long pid = 0, start = 0, waiter = 0, waiterStart = 0;
  ASSERT_TRUE(in >> pid >> start >> waiter >> waiterStart) << record;
  WriteAtomically(ServiceDir("Tracked") + "/pid",
                  std::to_string(::getpid()) + " " + std::to_string(start) + " " +
                      std::to_string(::getpid()) + " " + std::to_string(waiterStart) + "\n");
  ASSERT_TRUE(w::QueryServiceStatus(later.service.get(), &status));
  EXPECT_EQ(status.dwCurrentState, w::kServiceStopped);
  EXPECT_FALSE(w::ControlService(later.service.get(), w::kServiceControlStop, &status));
  EXPECT_EQ(w::GetLastError(), w::kErrorServiceNotActive);
}

TEST_F(EmulatedServices, StateFileIsReportedOnlyWhileTheServiceLives) {
  InstallService("Stated", kSleeper);
  WriteState("Stated", "START_PENDING 7 9000");
  EXPECT_EQ(StatusOf("Stated").dwCurrentState, w::kServiceStopped);
  EXPECT_EQ(StatusOf("Stated").dwWin32ExitCode, w::kErrorServiceNeverStarted);
  Opened o = Open(u"Stated");
  ASSERT_TRUE(w::StartServiceW(o.service.get()));
  w::ServiceStatusProcess s = StatusOf("Stated");
  EXPECT_EQ(s.dwCurrentState, w::kServiceStartPending);
  EXPECT_EQ(s.dwCheckPoint, 7u);
  EXPECT_EQ(s.dwWaitHint, 9000u);
  EXPECT_EQ(s.dwControlsAccepted, 0u);
  WriteState("Stated", "STOP_PENDING 2 4000");
  s = StatusOf("Stated");
  EXPECT_EQ(s.dwCurrentState, w::kServiceStopPending);
  EXPECT_EQ(s.dwCheckPoint, 2u);
  EXPECT_EQ(s.dwControlsAccepted, 0u);
  WriteState("Stated", "RUNNING");
  s = StatusOf("Stated");
  EXPECT_EQ(s.dwCurrentState, w::kServiceRunning);
  EXPECT_EQ(s.dwControlsAccepted, w::kServiceAcceptStop);
  // No report, or one that cannot be read, is what the manager shows before
  // the service's first report: start pending, check point 0, 2 seconds,
  // no controls.
  for (const char* bad : {"", "PAUSED", "START_PENDING x 1", "START_PENDING 1", "RUNNING 1",
                          "STOPPED", "STOPPED x", "STOPPED 1 2"}) {
    WriteState("Stated", bad);
    s = StatusOf("Stated");
    EXPECT_EQ(s.dwCurrentState, w::kServiceStartPending) << bad;
    EXPECT_EQ(s.dwCheckPoint, 0u) << bad;
    EXPECT_EQ(s.dwWaitHint, 2000u) << bad;
    EXPECT_EQ(s.dwControlsAccepted, 0u) << bad;
  }
  // A stop request to a service that is starting or stopping is refused.
  for (const char* pending : {"START_PENDING 3 4000", "STOP_PENDING 2 4000", "bad"}) {
    WriteState("Stated", pending);
    w::ServiceStatus status{};
    EXPECT_FALSE(w::ControlService(o.service.get(), w::kServiceControlStop, &status)) << pending;
    EXPECT_EQ(w::GetLastError(), w::kErrorServiceCannotAcceptCtrl) << pending;
  }
  EXPECT_TRUE(ProcessLives(RecordedPid("Stated")));
}

TEST_F(EmulatedServices, TheExitCodeIsTheLastStoppedReportElse1067) {
  // Reports STOPPED with 42 and ends with status 0: 42 is the exit code.
  InstallService("Reports", "#!/bin/sh\necho 'STOPPED 42' > state.tmp && mv state.tmp state\n");
  Opened r = Open(u"Reports");
  ASSERT_TRUE(w::StartServiceW(r.service.get()));
  ASSERT_TRUE(WaitFor([] { return StatusOf("Reports").dwCurrentState == w::kServiceStopped; }));
  ASSERT_TRUE(WaitFor([] { return !fs::exists(ServiceDir("Reports") + "/state"); }));
  EXPECT_EQ(StatusOf("Reports").dwWin32ExitCode, 42u);
  EXPECT_EQ(StatusOf("Reports").dwProcessId, 0u);

  // Ends with status 42 without reporting: terminated unexpectedly.
  InstallService("Exits", "#!/bin/sh\nexit 42\n");
  Opened o = Open(u"Exits");
  ASSERT_TRUE(w::StartServiceW(o.service.get()));
  ASSERT_TRUE(WaitFor([] { return StatusOf("Exits").dwCurrentState == w::kServiceStopped; }));
  EXPECT_EQ(StatusOf("Exits").dwWin32ExitCode, w::kErrorProcessAborted);

  // Running, then killed: terminated unexpectedly too.
  InstallService("Killed", kService);
  Opened k = Open(u"Killed");
  ASSERT_TRUE(w::StartServiceW(k.service.get()));
  ASSERT_TRUE(WaitReady("Killed"));
  ASSERT_EQ(::kill(RecordedPid("Killed"), SIGKILL), 0);
  ASSERT_TRUE(WaitFor([] { return StatusOf("Killed").dwCurrentState == w::kServiceStopped; }));
  EXPECT_EQ(StatusOf("Killed").dwWin32ExitCode, w::kErrorProcessAborted);

  // Started again, the earlier exit code is gone while it runs.
  ASSERT_TRUE(w::StartServiceW(k.service.get()));
  EXPECT_EQ(StatusOf("Killed").dwWin32ExitCode, 0u);
}

TEST_F(EmulatedServices, AStopRequestWithoutAnAnswerFailsWith1053) {
  // Running, and deaf to the stop request: no report, no end.
  InstallService("Deaf",
                 "#!/bin/sh\ntrap '' TERM\n"
                 "echo RUNNING > state.tmp && mv state.tmp state\n: > ready\n"
                 "while :; do sleep 0.05; done\n");
  Opened o = Open(u"Deaf");
  ASSERT_TRUE(w::StartServiceW(o.service.get()));
  ASSERT_TRUE(WaitReady("Deaf"));
  platform::posix::SetServiceControlTimeoutForTesting(300);
  w::ServiceStatus status{};
  const w::BOOL ok = w::ControlService(o.service.get(), w::kServiceControlStop, &status);
  const w::DWORD error = w::GetLastError();
  platform::posix::SetServiceControlTimeoutForTesting(0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, w::kErrorServiceRequestTimeout);
  EXPECT_EQ(status.dwCurrentState, w::kServiceRunning);
  EXPECT_TRUE(ProcessLives(RecordedPid("Deaf")));
}

TEST_F(EmulatedServices, ProgramThatCannotRunFailsTheStart) {
  InstallService("Garbage", "this is not a program\n");
  Opened o = Open(u"Garbage");
  EXPECT_FALSE(w::StartServiceW(o.service.get()));
  EXPECT_EQ(w::GetLastError(), w::kErrorBadExeFormat);
  EXPECT_EQ(StatusOf("Garbage").dwCurrentState, w::kServiceStopped);
  EXPECT_EQ(StatusOf("Garbage").dwWin32ExitCode, w::kErrorBadExeFormat);
}

TEST_F(EmulatedServices, HandlesCarryTheirAccessAndAreCheckedWhenUsed) {
  InstallService("Guarded", kSleeper);
  Opened queryOnly = Open(u"Guarded", w::kServiceQueryStatus);
  EXPECT_FALSE(w::StartServiceW(queryOnly.service.get()));
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);
  w::ServiceStatus status{};
  EXPECT_FALSE(w::ControlService(queryOnly.service.get(), w::kServiceControlStop, &status));
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);
  Opened stopOnly = Open(u"Guarded", w::kServiceStop);
  EXPECT_FALSE(w::QueryServiceStatus(stopOnly.service.get(), &status));
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);

  w::ServiceStatusProcess process{};
  w::DWORD needed = 0;
  EXPECT_FALSE(w::QueryServiceStatusEx(queryOnly.service.get(), w::kScStatusProcessInfo,
                                       reinterpret_cast<std::uint8_t*>(&process), 35, &needed));
  EXPECT_EQ(w::GetLastError(), w::kErrorInsufficientBuffer);
  EXPECT_EQ(needed, 36u);
  EXPECT_FALSE(w::QueryServiceStatusEx(queryOnly.service.get(), 1,
                                       reinterpret_cast<std::uint8_t*>(&process), 36, &needed));
  EXPECT_EQ(w::GetLastError(), w::kErrorInvalidLevel);

  // A manager handle is no service handle; a closed handle is no handle.
  EXPECT_FALSE(w::QueryServiceStatus(queryOnly.manager.get(), &status));
  EXPECT_EQ(w::GetLastError(), w::kErrorInvalidHandle);
  w::SC_HANDLE raw = queryOnly.service.release();
  EXPECT_TRUE(w::CloseServiceHandle(raw));
  EXPECT_FALSE(w::CloseServiceHandle(raw));
  EXPECT_EQ(w::GetLastError(), w::kErrorInvalidHandle);
}

TEST_F(EmulatedServices, ModuleFileNameIsTheProgramInWindowsForm) {
  std::u16string path;
  const w::DWORD n = w::GetModuleFileNameW(path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(n, path.size());
  const std::string utf8 = platform::ToUtf8(path);
  EXPECT_EQ(utf8.substr(0, 3), "Z:\\") << utf8;
  EXPECT_NE(utf8.find("zyra_unit_tests"), std::string::npos) << utf8;
}

// ---------------------------------------------------------------------------
// The handler restart of the agent-current branch

using HandlerRestart = ServiceTest;

TEST_F(HandlerRestart, StopsWaitsFiveSecondsThenStarts) {
  InstallService("CorvZyraHandler", kService);
  watched_ = "CorvZyraHandler";
  {
    platform::ServiceInstaller first(u"CorvZyraHandler");
    ASSERT_EQ(first.Start(), 0u);
  }
  ASSERT_TRUE(WaitReady("CorvZyraHandler"));
  sleeps_.clear();
  zyra_test::CapturedLog log;
  // Where in the log each sleep fell.
  std::vector<std::pair<w::DWORD, std::size_t>> marks;
  onSleep_ = [&](std::size_t) { marks.emplace_back(sleeps_.back(), log.Lines().size()); };
  EXPECT_TRUE(app::RestartHandlerService());
  onSleep_ = nullptr;
  const auto lines = log.Lines();
  std::size_t fiveSeconds = 0;
  std::size_t at = 0;
  for (const auto& [ms, lineCount] : marks) {
    if (ms != 5000) continue;
    ++fiveSeconds;
    at = lineCount;
  }
  ASSERT_EQ(fiveSeconds, 1u);
  ASSERT_GT(at, 0u);
  ASSERT_LT(at, lines.size());
  EXPECT_EQ(lines[at - 1], "info|[ServiceInstaller::Stop] - CorvZyraHandler is stopped.");
  EXPECT_EQ(lines[at], kStartAttempt);
  EXPECT_EQ(lines.back(), "info|[ServiceInstaller::Start] - Service started successfully.");
}

TEST_F(HandlerRestart, CountsOnlyWhenTheStartSucceedsToo) {
  // Stopped already (the stop returns 0), and a program that cannot run
  // (the start returns 193).
  InstallService("CorvZyraHandler", "this is not a program\n");
  zyra_test::CapturedLog log;
  EXPECT_FALSE(app::RestartHandlerService());
  EXPECT_THAT(log.Lines(), Contains("info|[ServiceInstaller::Stop] - CorvZyraHandler is stopped."));
  EXPECT_EQ(log.Lines().back(), "error|[ServiceInstaller::Start] - CorvZyraHandler failed to start");
  EXPECT_THAT(sleeps_, ElementsAre(5000u));
}
