// A real Win32 service for the Windows tests of ServiceInstaller.
//
// Started by the service control manager it reports START_PENDING with a
// check point that grows every 100 ms (wait hint 3000 ms) four times, then
// RUNNING, and stops on SERVICE_CONTROL_STOP (STOP_PENDING, then STOPPED
// with exit code 0). With "--fail-start" on its command line it ends after
// the pending reports instead: STOPPED with exit code 42. With
// "--slow-start" it reports START_PENDING thirty times (3 seconds).
#include <windows.h>

#include <cwchar>

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
bool g_failStart = false;
DWORD g_pendingReports = 4;

void Report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  SetServiceStatus(g_statusHandle, &status);
}

void WINAPI Handler(DWORD control) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING, 1, 2000, NO_ERROR);
    SetEvent(g_stopEvent);
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  const wchar_t* name = argc > 0 ? argv[0] : L"";
  g_statusHandle = RegisterServiceCtrlHandlerW(name, Handler);
  if (g_statusHandle == nullptr) return;
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (DWORD checkPoint = 1; checkPoint <= g_pendingReports; ++checkPoint) {
    Report(SERVICE_START_PENDING, checkPoint, 3000, NO_ERROR);
    Sleep(100);
  }
  if (g_failStart || g_stopEvent == nullptr) {
    Report(SERVICE_STOPPED, 0, 0, 42);
    return;
  }
  Report(SERVICE_RUNNING, 0, 0, NO_ERROR);
  WaitForSingleObject(g_stopEvent, INFINITE);
  Report(SERVICE_STOPPED, 0, 0, NO_ERROR);
}

}  // namespace

int main() {
  g_failStart = std::wcsstr(GetCommandLineW(), L"--fail-start") != nullptr;
  if (std::wcsstr(GetCommandLineW(), L"--slow-start") != nullptr) g_pendingReports = 30;
  wchar_t emptyName[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{emptyName, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
