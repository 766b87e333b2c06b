// The emulated service manager's own contract (docs/emulated-machine.md,
// "Services"), with real service processes (small shell scripts).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>

#include "platform/files.h"
#include "platform/posix/machine.h"
#include "platform/services.h"
#include "platform/utf.h"
#include "tests/posix/service_fixture.h"

namespace fs = std::filesystem;
namespace w = platform::win;
using namespace zyra_test;

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
