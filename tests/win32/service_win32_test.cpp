// ServiceInstaller against the real service control manager, with a real
// service (tests/win32/test_service) that the test registers itself with
// CreateServiceW and deletes afterwards. The installer's sleeps do not sleep:
// each one waits (at most 20 seconds) until the service's pending state
// moves on, and the tick count advances by what the installer slept.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/clock.h"
#include "platform/service_installer.h"
#include "platform/services.h"
#include "tests/support/test_support.h"

namespace w = platform::win;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Eq;

namespace {

constexpr const wchar_t* kServiceName = L"ZyraTestService";
constexpr const char16_t* kServiceName16 = u"ZyraTestService";

struct NativeScCloser {
  void operator()(SC_HANDLE h) const noexcept {
    if (h != nullptr) ::CloseServiceHandle(h);
  }
};
using NativeSc = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, NativeScCloser>;

std::wstring TestServiceProgram() {
  wchar_t self[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + L"zyra_test_service.exe";
}

SERVICE_STATUS NativeStatus() {
  SERVICE_STATUS status{};
  NativeSc manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  NativeSc service(manager ? ::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS)
                           : nullptr);
  if (service) ::QueryServiceStatus(service.get(), &status);
  return status;
}

bool Pending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
}

// Stops and deletes the test service (from this or an earlier, broken run).
void RemoveService() {
  NativeSc manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return;
  NativeSc service(::OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!service) return;
  SERVICE_STATUS status{};
  ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::DeleteService(service.get());
}

class Win32ServiceInstaller : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveService();
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
    RemoveService();
  }

  // Registers the test service (demand start, own process), as `sc create`.
  void Register(const std::wstring& arguments = L"") {
    NativeSc manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager) << ::GetLastError();
    const std::wstring command = L"\"" + TestServiceProgram() + L"\"" + arguments;
    NativeSc service(::CreateServiceW(manager.get(), kServiceName, L"CorvZyra test service",
                                      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << ::GetLastError();
  }

  // What the installer's one-second sleep would give the service: time to
  // leave its pending state or report progress.
  static void WaitWhilePendingUnchanged() {
    const SERVICE_STATUS before = NativeStatus();
    if (!Pending(before.dwCurrentState)) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      const SERVICE_STATUS now = NativeStatus();
      if (now.dwCurrentState != before.dwCurrentState || now.dwCheckPoint != before.dwCheckPoint)
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::vector<w::DWORD> sleeps_;
  w::DWORD tick_ = 0x10000;
};

}  // namespace

TEST_F(Win32ServiceInstaller, StopsAndStartsARealService) {
  Register();
  platform::ServiceInstaller installer(kServiceName16);
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
    const auto lines = log.Lines();
    EXPECT_THAT(lines, Contains("info|[ServiceInstaller::Start] - ZyraTestService started."));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "info|[ServiceInstaller::Start] - Service started successfully.");
  }
  // The service spends 400 ms in START_PENDING (wait hint 3000 ms): it was
  // polled, every second.
  EXPECT_FALSE(sleeps_.empty());
  EXPECT_THAT(sleeps_, Each(Eq(1000u)));
  EXPECT_EQ(NativeStatus().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  // Start on a running service stops it first.
  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Start(), 0u);
    const auto lines = log.Lines();
    EXPECT_THAT(lines, Contains("info|[ServiceInstaller::Start] - Stopping ZyraTestService."));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "info|[ServiceInstaller::Start] - Service started successfully.");
  }
  EXPECT_EQ(NativeStatus().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  {
    zyra_test::CapturedLog log;
    EXPECT_EQ(installer.Stop(), 0u);
    const auto lines = log.Lines();
    EXPECT_THAT(lines, Contains("info|[ServiceInstaller::Stop] - Stopping ZyraTestService."));
    EXPECT_THAT(lines, Contains("info|[ServiceInstaller::Stop] - Service status 1."));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "info|[ServiceInstaller::Stop] - ZyraTestService is stopped.");
    EXPECT_EQ(lines.back(), "info|[ServiceInstaller::Stop] - ZyraTestService is stopped.");
  }
  EXPECT_EQ(NativeStatus().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(Win32ServiceInstaller, AServiceThatEndsWhileStartingReportsItsExitCode) {
  Register(L" --fail-start");
  platform::ServiceInstaller installer(kServiceName16);
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Start(), 0u);
  const auto lines = log.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "info|[ServiceInstaller::Start] - Service not started.");
  EXPECT_EQ(lines[lines.size() - 2], "info|[ServiceInstaller::Start] -   Current State: 1");
  EXPECT_EQ(lines[lines.size() - 1], "info|[ServiceInstaller::Start] -   Exit Code: 42");
}

TEST_F(Win32ServiceInstaller, UnknownServiceIsReportedWithItsErrorCode) {
  platform::ServiceInstaller installer(u"ZyraNoSuchService");
  zyra_test::CapturedLog log;
  EXPECT_EQ(installer.Start(), static_cast<w::DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(installer.Stop(), static_cast<w::DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_THAT(log.Lines(), Contains("error|[ServiceInstaller::Start] - OpenService failed with "
                                    "error 0x00000424"));
  EXPECT_THAT(log.Lines(), Contains("error|[ServiceInstaller::Stop] - OpenService failed with "
                                    "error 0x00000424"));
}

TEST(Win32Services, FacadeMirrorsTheStatusRecordAndModuleName) {
  std::u16string self;
  const w::DWORD n = w::GetModuleFileNameW(self);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(n, self.size());
  EXPECT_EQ(self.substr(self.size() - 4), u".exe");

  w::ScHandle manager(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect));
  ASSERT_NE(manager.get(), nullptr);
  EXPECT_EQ(w::OpenServiceW(manager.get(), u"ZyraNoSuchService", w::kServiceQueryStatus), nullptr);
  EXPECT_EQ(w::GetLastError(), static_cast<w::DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}
