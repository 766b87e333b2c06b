// ServiceInstaller against the service manager of the backend under test,
// with a real service (tests/support/test_service.h): the emulated machine's
// manager on Linux, Wine's real one in the cross build. One body and one
// expected log for both: a difference is a fault of the emulation. The
// installer's sleeps do not sleep: each one waits (at most 20 seconds) until
// the service's pending state moves on, and the tick count advances by what
// the installer slept.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/utils/service_installer.h"
#include "platform/services.h"
#include "tests/support/test_service.h"
#include "tests/support/test_support.h"

namespace w = platform::win;
using ::testing::AnyOf;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Eq;
using zyra_test::kTestServiceName;
using zyra_test::TestServiceKind;

namespace {

w::ServiceStatus StatusOfTestService() {
  w::ServiceStatus status{};
  w::ScHandle manager(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect));
  if (!manager) return status;
  w::ScHandle service(w::OpenServiceW(manager.get(), kTestServiceName, w::kServiceQueryStatus));
  if (service) (void)w::QueryServiceStatus(service.get(), &status);
  return status;
}

bool Pending(w::DWORD state) {
  return state == w::kServiceStartPending || state == w::kServiceStopPending;
}

class ServiceControl : public ::testing::Test {
 protected:
  void SetUp() override {
    zyra_test::RemoveTestService();
    w::SetSleepHookForTesting([this](w::DWORD ms) {
      sleeps_.push_back(ms);
      tick_ += ms;
      WaitWhilePendingUnchanged();
    });
    w::SetTickHookForTesting([this] { return tick_; });
  }
  void TearDown() override {
    w::SetSleepHookForTesting(nullptr);
    w::SetTickHookForTesting(nullptr);
    zyra_test::RemoveTestService();
  }

  // What the installer's one-second sleep gives the service: time to leave
  // its pending state or report progress.
  static void WaitWhilePendingUnchanged() {
    const w::ServiceStatus before = StatusOfTestService();
    if (!Pending(before.dwCurrentState)) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      const w::ServiceStatus now = StatusOfTestService();
      if (now.dwCurrentState != before.dwCurrentState || now.dwCheckPoint != before.dwCheckPoint)
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "pending state " << before.dwCurrentState << " check point "
                  << before.dwCheckPoint << " did not move for 20 seconds";
  }

  std::vector<w::DWORD> sleeps_;
  w::DWORD tick_ = 0x10000;
};

constexpr const char* kAttempt = "debug|[ServiceInstaller::Start] - Attempting to start the service.";

}  // namespace

TEST_F(ServiceControl, StopsStartsAndRestartsARealService) {
  ASSERT_TRUE(zyra_test::InstallTestService(TestServiceKind::Normal));
  platform::ServiceInstaller installer(kTestServiceName);
  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Stop(), 0u);
    EXPECT_THAT(
        log.Lines(),
        ElementsAre("info|[ServiceInstaller::Stop] - Stop request",
                    "debug|[ServiceInstaller::Stop] - Will try to open ZyraTestService service.",
                    "debug|[ServiceInstaller::Stop] - Will try to stop ZyraTestService service.",
                    "info|[ServiceInstaller::Stop] - ZyraTestService is stopped."));
  }
  EXPECT_TRUE(sleeps_.empty());

  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Start(), 0u);
    EXPECT_THAT(log.Lines(),
                ElementsAre(kAttempt, "info|[ServiceInstaller::Start] - ZyraTestService started.",
                            "info|[ServiceInstaller::Start] - Service started successfully."));
  }
  // Start pending until the service reports running: polled once a second.
  EXPECT_FALSE(sleeps_.empty());
  EXPECT_THAT(sleeps_, Each(Eq(1000u)));
  EXPECT_EQ(StatusOfTestService().dwCurrentState, w::kServiceRunning);

  // Start on a running service stops it first.
  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Start(), 0u);
    EXPECT_THAT(log.Lines(),
                ElementsAre(kAttempt, "info|[ServiceInstaller::Start] - Stopping ZyraTestService.",
                            "info|[ServiceInstaller::Start] - ZyraTestService started.",
                            "info|[ServiceInstaller::Start] - Service started successfully."));
  }
  EXPECT_EQ(StatusOfTestService().dwCurrentState, w::kServiceRunning);

  sleeps_.clear();
  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Stop(), 0u);
    EXPECT_THAT(
        log.Lines(),
        ElementsAre("info|[ServiceInstaller::Stop] - Stop request",
                    "debug|[ServiceInstaller::Stop] - Will try to open ZyraTestService service.",
                    "debug|[ServiceInstaller::Stop] - Will try to stop ZyraTestService service.",
                    "info|[ServiceInstaller::Stop] - Stopping ZyraTestService.",
                    "info|[ServiceInstaller::Stop] - Querying ZyraTestService.",
                    "info|[ServiceInstaller::Stop] - Service status 1.",
                    "info|[ServiceInstaller::Stop] - ZyraTestService is stopped.",
                    "info|[ServiceInstaller::Stop] - ZyraTestService is stopped."));
  }
  EXPECT_THAT(sleeps_, ElementsAre(1000u));
  const w::ServiceStatus stopped = StatusOfTestService();
  EXPECT_EQ(stopped.dwCurrentState, w::kServiceStopped);
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
}

TEST_F(ServiceControl, AServiceThatEndsWhileStartingReportsItsExitCode) {
  ASSERT_TRUE(zyra_test::InstallTestService(TestServiceKind::FailStart));
  platform::ServiceInstaller installer(kTestServiceName);
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Start(), 0u);
  EXPECT_THAT(log.Lines(),
              ElementsAre(kAttempt, "info|[ServiceInstaller::Start] - ZyraTestService started.",
                          "info|[ServiceInstaller::Start] - Service not started.",
                          "info|[ServiceInstaller::Start] -   Current State: 1",
                          "info|[ServiceInstaller::Start] -   Exit Code: 42"));
  EXPECT_FALSE(sleeps_.empty());
  EXPECT_THAT(sleeps_, Each(Eq(1000u)));
}

// The restart of the agent-current branch: stop, then start. A service that
// is still starting takes no stop request, so the start finds it running.
TEST_F(ServiceControl, ARestartOfAServiceThatIsStillStartingFails) {
  ASSERT_TRUE(zyra_test::InstallTestService(TestServiceKind::SlowStart));
  {
    w::ScHandle manager(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect));
    ASSERT_TRUE(manager);
    w::ScHandle service(w::OpenServiceW(manager.get(), kTestServiceName, w::kServiceAllAccess));
    ASSERT_TRUE(service);
    ASSERT_TRUE(w::StartServiceW(service.get()));
    w::ServiceStatus status{};
    EXPECT_FALSE(w::ControlService(service.get(), w::kServiceControlStop, &status));
    // Windows refuses with ERROR_SERVICE_CANNOT_ACCEPT_CTRL and hands back
    // the status; Wine 8 refuses with ERROR_INVALID_SERVICE_CONTROL (1052)
    // and leaves the status unwritten, so the state is queried on its own.
    EXPECT_THAT(w::GetLastError(), AnyOf(Eq(w::kErrorServiceCannotAcceptCtrl), Eq(1052u)));
    w::ServiceStatus now{};
    ASSERT_TRUE(w::QueryServiceStatus(service.get(), &now));
    EXPECT_EQ(now.dwCurrentState, w::kServiceStartPending);
  }
  platform::ServiceInstaller installer(kTestServiceName);
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Stop(), 0u);
  EXPECT_EQ(installer.Start(), w::kErrorServiceAlreadyRunning);
  EXPECT_THAT(
      log.Lines(),
      ElementsAre("info|[ServiceInstaller::Stop] - Stop request",
                  "debug|[ServiceInstaller::Stop] - Will try to open ZyraTestService service.",
                  "debug|[ServiceInstaller::Stop] - Will try to stop ZyraTestService service.",
                  "info|[ServiceInstaller::Stop] - ZyraTestService is stopped.", kAttempt,
                  "error|[ServiceInstaller::Start] - ZyraTestService failed to start"));
  EXPECT_TRUE(sleeps_.empty());
}

TEST_F(ServiceControl, AnUnknownServiceIsReportedWithItsErrorCode) {
  platform::ServiceInstaller installer(u"ZyraNoSuchService");
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Start(), w::kErrorServiceDoesNotExist);
  EXPECT_EQ(installer.Stop(), w::kErrorServiceDoesNotExist);
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(kAttempt,
                  "error|[ServiceInstaller::Start] - OpenService failed with error 0x00000424",
                  "info|[ServiceInstaller::Stop] - Stop request",
                  "debug|[ServiceInstaller::Stop] - Will try to open ZyraNoSuchService service.",
                  "error|[ServiceInstaller::Stop] - OpenService failed with error 0x00000424"));
}
