// The service side of the Windows service control manager:
// StartServiceCtrlDispatcherW, RegisterServiceCtrlHandlerExW, SetServiceStatus.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/service_host.h"
#include "platform/win32/scoped_handle_win32.h"

namespace platform {
namespace {

// One service per process: the dispatcher calls ServiceMain on a thread of
// its own and the control handler on the dispatcher's thread.
struct ServiceState {
  std::u16string name;
  const ServiceBody* body = nullptr;
  win::DWORD result = 0;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;  // not closed: owned by the manager
  win::ScopedKernelHandle stopEvent;
  std::mutex reportMutex;
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> running{false};
};

ServiceState g_state;

void Report(DWORD state, DWORD exitCode, DWORD waitHint) {
  std::lock_guard<std::mutex> lock(g_state.reportMutex);
  if (g_state.statusHandle == nullptr) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwCheckPoint = state == SERVICE_STOP_PENDING ? 1 : 0;
  status.dwWaitHint = waitHint;
  ::SetServiceStatus(g_state.statusHandle, &status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/,
                            LPVOID /*context*/) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      Report(SERVICE_STOP_PENDING, NO_ERROR, 5000);
      g_state.stopRequested.store(true);
      if (g_state.stopEvent) ::SetEvent(g_state.stopEvent.get());
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  // The manager passes the service's name first.
  std::wstring name = argc > 0 && argv[0] != nullptr
                          ? std::wstring(argv[0])
                          : std::wstring(g_state.name.begin(), g_state.name.end());
  g_state.statusHandle = ::RegisterServiceCtrlHandlerExW(name.c_str(), &ControlHandler, nullptr);
  if (g_state.statusHandle == nullptr) {
    g_state.result = ::GetLastError();
    return;
  }
  g_state.stopEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!g_state.stopEvent) {
    g_state.result = ::GetLastError();
    Report(SERVICE_STOPPED, g_state.result, 0);
    return;
  }
  g_state.running.store(true);
  Report(SERVICE_RUNNING, NO_ERROR, 0);
  g_state.result = *g_state.body ? (*g_state.body)() : 0;
  g_state.running.store(false);
  // After this report the manager may end the process at any time.
  Report(SERVICE_STOPPED, g_state.result, 0);
}

}  // namespace

win::DWORD RunAsService(const std::u16string& name, const ServiceBody& body) {
  g_state.name = name;
  g_state.body = &body;
  std::wstring wideName(name.begin(), name.end());
  SERVICE_TABLE_ENTRYW table[] = {{wideName.data(), &ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) return ::GetLastError();
  return g_state.result;
}

bool ServiceStopRequested() { return g_state.stopRequested.load(); }

bool WaitForServiceStop(double seconds) {
  const auto ms = static_cast<win::DWORD>(seconds * 1000.0);
  if (!g_state.running.load() || !g_state.stopEvent) {
    win::Sleep(ms);
    return false;
  }
  return ::WaitForSingleObject(g_state.stopEvent.get(), ms) == WAIT_OBJECT_0;
}

}  // namespace platform
