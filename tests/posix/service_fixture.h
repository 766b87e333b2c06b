#pragma once
// The emulated service manager with real service processes (small shell
// scripts) and a driven clock: the fixture and helpers of the service tests
// (service_installer_test.cpp, emulated_services_test.cpp,
// handler_restart_test.cpp).
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/services.h"

namespace zyra_test {

// Never reports: the manager shows it start pending until it ends.
inline constexpr const char* kSleeper = "#!/bin/sh\nexec sleep 1000\n";

// Reports as a Win32 service does through SetServiceStatus: RUNNING once
// started, STOPPED (exit code 0) when asked to stop.
inline constexpr const char* kService =
    "#!/bin/sh\n"
    "report() { echo \"$1\" > state.tmp && mv state.tmp state; }\n"
    "trap 'report \"STOPPED 0\"; exit 0' TERM\n"
    "report RUNNING\n"
    ": > ready\n"
    "while :; do sleep 0.05; done\n";

// Like kService, but spends a fifth of a second starting (START_PENDING,
// check point 1, wait hint 3 s) before it runs.
inline constexpr const char* kStartsSlowly =
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
inline constexpr const char* kNeverStops =
    "#!/bin/sh\n"
    "trap 'echo \"STOP_PENDING 1 1000\" > state.tmp && mv state.tmp state' TERM\n"
    "echo RUNNING > state.tmp && mv state.tmp state\n"
    ": > ready\n"
    "while :; do sleep 1; done\n";

// The services folder of the emulated machine, and one service's folder.
std::string ServicesDir();
std::string ServiceDir(const std::string& name);

std::string ReadText(const std::string& path);

void WriteAtomically(const std::string& path, const std::string& text);

void InstallService(const std::string& name, const std::string& script);

void WriteState(const std::string& name, const std::string& line);

// Polls a condition of the real processes for up to 10 seconds.
bool WaitFor(const std::function<bool()>& condition);

// Waits until a service that handles the stop request has its handler in
// place.
bool WaitReady(const std::string& name);

// The service's pid as the manager recorded it; 0 when there is none.
pid_t RecordedPid(const std::string& name);

bool ProcessLives(pid_t pid);

// Status through a fresh manager connection, as another program would see it.
platform::win::ServiceStatusProcess StatusOf(const std::string& name);

// A fresh services folder per test, a driven clock, and no service process
// left behind.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // What the installer's one-second sleep gives a real service: time to
  // leave its pending state or report progress (at most 10 seconds).
  static void WaitWhilePendingUnchanged(const std::string& name);

  std::vector<platform::win::DWORD> sleeps_;
  platform::win::DWORD tick_ = 0x10000;
  std::function<void(std::size_t sleepCount)> onSleep_;
  // A service whose real progress each sleep waits for; none when empty.
  std::string watched_;
};

inline constexpr const char* kStartAttempt =
    "debug|[ServiceInstaller::Start] - Attempting to start the service.";

}  // namespace zyra_test
