// ServiceInstaller against the emulated service manager, with real service
// processes (small shell scripts) and a driven clock: the installer's sleeps
// return at once, and the tick count moves by what it slept.
#include "platform/utils/service_installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/services.h"
#include "platform/utf.h"
#include "tests/posix/service_fixture.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
namespace w = platform::win;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Eq;
using namespace zyra_test;

namespace {

std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
  std::size_t n = 0;
  for (const auto& l : lines) n += l == line ? 1 : 0;
  return n;
}

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
