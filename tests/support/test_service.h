#pragma once
// A real service for the service control tests, installed in the service
// manager of the backend under test: the emulated machine's (a shell script
// that reports through its state file) or Windows' (Wine's under the cross
// build: tests/win32/test_service, registered with CreateServiceW). Both
// behave the same:
//   - started, it reports START_PENDING with a check point that grows every
//     100 ms (wait hint 3000 ms), then RUNNING (accepting the stop control);
//   - asked to stop, it reports STOP_PENDING, then STOPPED with exit code 0.
#include <string>

namespace zyra_test {

enum class TestServiceKind {
  Normal,     // 4 pending reports (400 ms), then running
  FailStart,  // 4 pending reports, then STOPPED with exit code 42
  SlowStart,  // 30 pending reports (3 s), then running
};

constexpr const char16_t* kTestServiceName = u"ZyraTestService";

// Installs (registers) the test service under kTestServiceName; false when
// the backend's service manager refuses.
[[nodiscard]] bool InstallTestService(TestServiceKind kind);

// Stops the test service if it runs (waiting at most 20 seconds) and removes
// it; harmless when it is not installed.
void RemoveTestService();

}  // namespace zyra_test
