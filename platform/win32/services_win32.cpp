// Windows service control manager: OpenSCManagerW, OpenServiceW,
// QueryServiceStatus, QueryServiceStatusEx, ControlService, StartServiceW,
// CloseServiceHandle and GetModuleFileNameW.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/services.h"

namespace platform::win {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected on Windows");
static_assert(sizeof(::SERVICE_STATUS) == sizeof(ServiceStatus), "SERVICE_STATUS layout");
static_assert(sizeof(::SERVICE_STATUS_PROCESS) == sizeof(ServiceStatusProcess),
              "SERVICE_STATUS_PROCESS layout");

::SC_HANDLE Native(SC_HANDLE h) { return reinterpret_cast<::SC_HANDLE>(h); }
SC_HANDLE Facade(::SC_HANDLE h) { return reinterpret_cast<SC_HANDLE>(h); }
const wchar_t* Wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }

void Copy(const ::SERVICE_STATUS& in, ServiceStatus& out) {
  out.dwServiceType = in.dwServiceType;
  out.dwCurrentState = in.dwCurrentState;
  out.dwControlsAccepted = in.dwControlsAccepted;
  out.dwWin32ExitCode = in.dwWin32ExitCode;
  out.dwServiceSpecificExitCode = in.dwServiceSpecificExitCode;
  out.dwCheckPoint = in.dwCheckPoint;
  out.dwWaitHint = in.dwWaitHint;
}

}  // namespace

SC_HANDLE OpenSCManagerW(const char16_t* machineName, const char16_t* databaseName,
                         DWORD desiredAccess) {
  return Facade(::OpenSCManagerW(Wide(machineName), Wide(databaseName), desiredAccess));
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, const char16_t* serviceName, DWORD desiredAccess) {
  return Facade(::OpenServiceW(Native(manager), Wide(serviceName), desiredAccess));
}

BOOL QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) {
  ::SERVICE_STATUS native{};
  const ::BOOL ok = ::QueryServiceStatus(Native(service), &native);
  if (ok && status != nullptr) Copy(native, *status);
  return ok;
}

BOOL QueryServiceConfigW(SC_HANDLE service, std::u16string& startName) {
  ::DWORD needed = 0;
  if (::QueryServiceConfigW(Native(service), nullptr, 0, &needed) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return FALSE;
  std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);  // aligned for the record
  auto* config = reinterpret_cast<::QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(Native(service), config, needed, &needed)) return FALSE;
  const wchar_t* name = config->lpServiceStartName == nullptr ? L"" : config->lpServiceStartName;
  startName.assign(reinterpret_cast<const char16_t*>(name));
  return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, int infoLevel, std::uint8_t* buffer, DWORD bufferSize,
                          DWORD* bytesNeeded) {
  ::DWORD needed = 0;
  const ::BOOL ok = ::QueryServiceStatusEx(
      Native(service), static_cast<::SC_STATUS_TYPE>(infoLevel), buffer, bufferSize, &needed);
  if (bytesNeeded != nullptr) *bytesNeeded = needed;
  return ok;
}

BOOL ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) {
  ::SERVICE_STATUS native{};
  const ::BOOL ok = ::ControlService(Native(service), control, &native);
  // The status is filled on failure too for some errors (1061, 1062).
  if (status != nullptr) Copy(native, *status);
  return ok;
}

BOOL StartServiceW(SC_HANDLE service) { return ::StartServiceW(Native(service), 0, nullptr); }

BOOL CloseServiceHandle(SC_HANDLE handle) { return ::CloseServiceHandle(Native(handle)); }

DWORD GetModuleFileNameW(std::u16string& path) {
  wchar_t buf[MAX_PATH] = {};
  const ::DWORD n = ::GetModuleFileNameW(nullptr, buf, MAX_PATH);
  if (n > 0) {
    const ::DWORD len = n < MAX_PATH ? n : MAX_PATH - 1;
    path.assign(reinterpret_cast<const char16_t*>(buf), len);
  }
  return n;
}

}  // namespace platform::win
