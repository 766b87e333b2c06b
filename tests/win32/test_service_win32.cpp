// The test service of tests/support/test_service.h under Windows (Wine's
// service control manager in the cross build): tests/win32/test_service,
// registered with CreateServiceW as `sc create` does.
#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

#include "tests/support/test_service.h"

namespace zyra_test {
namespace {

constexpr const wchar_t* kName = L"ZyraTestService";

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

}  // namespace

bool InstallTestService(TestServiceKind kind) {
  NativeSc manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  std::wstring command = L"\"" + TestServiceProgram() + L"\"";
  if (kind == TestServiceKind::FailStart) command += L" --fail-start";
  if (kind == TestServiceKind::SlowStart) command += L" --slow-start";
  NativeSc service(::CreateServiceW(manager.get(), kName, L"CorvZyra test service",
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
  return service != nullptr;
}

void RemoveTestService() {
  NativeSc manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return;
  NativeSc service(::OpenServiceW(manager.get(), kName, SERVICE_ALL_ACCESS));
  if (!service) return;
  SERVICE_STATUS status{};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // A service that is still starting accepts no stop: ask until it does.
  while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
         std::chrono::steady_clock::now() < deadline) {
    if (status.dwCurrentState == SERVICE_RUNNING)
      ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::DeleteService(service.get());
}

}  // namespace zyra_test
