#pragma once
// Service control facade: the service control manager calls as
// OpenSCManagerW, OpenServiceW, QueryServiceStatus, QueryServiceStatusEx,
// ControlService, StartServiceW and CloseServiceHandle give them, plus
// GetModuleFileNameW. Failures set the last error (platform::win::GetLastError
// in platform/files.h). Names are UTF-16 (char16_t).
#include <cstdint>
#include <string>

#include "platform/scoped_generic.h"
#include "platform/win_types.h"

namespace platform::win {

struct ScHandleTag;
using SC_HANDLE = ScHandleTag*;

// Access rights.
constexpr DWORD kScManagerConnect = 0x0001;        // SC_MANAGER_CONNECT
constexpr DWORD kServiceQueryConfig = 0x0001;      // SERVICE_QUERY_CONFIG
constexpr DWORD kScManagerCreateService = 0x0002;  // SC_MANAGER_CREATE_SERVICE
constexpr DWORD kServiceQueryStatus = 0x0004;      // SERVICE_QUERY_STATUS
constexpr DWORD kServiceStart = 0x0010;            // SERVICE_START
constexpr DWORD kServiceStop = 0x0020;             // SERVICE_STOP
constexpr DWORD kServiceAllAccess = 0xF01FF;       // SERVICE_ALL_ACCESS

// Service states (dwCurrentState).
constexpr DWORD kServiceStopped = 1;       // SERVICE_STOPPED
constexpr DWORD kServiceStartPending = 2;  // SERVICE_START_PENDING
constexpr DWORD kServiceStopPending = 3;   // SERVICE_STOP_PENDING
constexpr DWORD kServiceRunning = 4;       // SERVICE_RUNNING

constexpr DWORD kServiceControlStop = 1;         // SERVICE_CONTROL_STOP
constexpr DWORD kServiceWin32OwnProcess = 0x10;  // SERVICE_WIN32_OWN_PROCESS
constexpr DWORD kServiceAcceptStop = 0x1;        // SERVICE_ACCEPT_STOP

// QueryServiceStatusEx information level SC_STATUS_PROCESS_INFO.
constexpr int kScStatusProcessInfo = 0;

// Error codes of the service control manager.
constexpr DWORD kErrorNotEnoughMemory = 8;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorInvalidName = 123;
constexpr DWORD kErrorInvalidLevel = 124;
constexpr DWORD kErrorBadExeFormat = 193;
constexpr DWORD kErrorInvalidServiceControl = 1052;
constexpr DWORD kErrorServiceRequestTimeout = 1053;
constexpr DWORD kErrorServiceAlreadyRunning = 1056;
constexpr DWORD kErrorServiceDoesNotExist = 1060;
constexpr DWORD kErrorServiceCannotAcceptCtrl = 1061;
constexpr DWORD kErrorServiceNotActive = 1062;
constexpr DWORD kErrorDatabaseDoesNotExist = 1065;
constexpr DWORD kErrorProcessAborted = 1067;
constexpr DWORD kErrorServiceNeverStarted = 1077;
constexpr DWORD kRpcServerUnavailable = 1722;

// SERVICE_STATUS.
struct ServiceStatus {
  DWORD dwServiceType = 0;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
};

// SERVICE_STATUS_PROCESS, the record of SC_STATUS_PROCESS_INFO.
struct ServiceStatusProcess {
  DWORD dwServiceType = 0;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
  DWORD dwProcessId = 0;
  DWORD dwServiceFlags = 0;
};
static_assert(sizeof(ServiceStatus) == 28, "SERVICE_STATUS is 28 bytes");
static_assert(sizeof(ServiceStatusProcess) == 36, "SERVICE_STATUS_PROCESS is 36 bytes");

// OpenSCManagerW(machine, database, access). Null (or empty) names mean the
// local machine and its active database. Null on failure.
[[nodiscard]] SC_HANDLE OpenSCManagerW(const char16_t* machineName, const char16_t* databaseName,
                                       DWORD desiredAccess);

// OpenServiceW(manager, name, access). Null on failure (1060: no such service).
[[nodiscard]] SC_HANDLE OpenServiceW(SC_HANDLE manager, const char16_t* serviceName,
                                     DWORD desiredAccess);

// QueryServiceStatus: the service's current status. Needs SERVICE_QUERY_STATUS.
[[nodiscard]] BOOL QueryServiceStatus(SC_HANDLE service, ServiceStatus* status);

// QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, buffer, size, needed):
// fills a ServiceStatusProcess; a buffer smaller than 36 bytes fails with
// ERROR_INSUFFICIENT_BUFFER and the needed size. Other levels fail with 124.
[[nodiscard]] BOOL QueryServiceStatusEx(SC_HANDLE service, int infoLevel, std::uint8_t* buffer,
                                        DWORD bufferSize, DWORD* bytesNeeded);

// ControlService(service, control, status). Needs SERVICE_STOP for
// SERVICE_CONTROL_STOP; a stopped service fails with 1062.
[[nodiscard]] BOOL ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status);

// StartServiceW(service, 0, NULL): starts the service without arguments.
// Needs SERVICE_START; a service that runs already fails with 1056.
[[nodiscard]] BOOL StartServiceW(SC_HANDLE service);

// QueryServiceConfigW, as far as the program reads it: lpServiceStartName,
// the account the service runs as ("LocalSystem", "NT AUTHORITY\LocalService",
// ".\name", "DOMAIN\name"). Needs SERVICE_QUERY_CONFIG.
[[nodiscard]] BOOL QueryServiceConfigW(SC_HANDLE service, std::u16string& startName);

// CloseServiceHandle: closes a manager or service handle.
BOOL CloseServiceHandle(SC_HANDLE handle);

// GetModuleFileNameW(no module, buffer of 260 characters): the program's
// own file in Windows form; returns its length, or 0 on failure. A longer
// name is cut to 259 characters and the call returns 260.
[[nodiscard]] DWORD GetModuleFileNameW(std::u16string& path);

// Owns a manager or service handle; closing it is CloseServiceHandle.
struct ScHandleTraits {
  static SC_HANDLE InvalidValue() noexcept { return nullptr; }
  static void Free(SC_HANDLE handle) noexcept { CloseServiceHandle(handle); }
};
using ScHandle = ScopedGeneric<SC_HANDLE, ScHandleTraits>;

}  // namespace platform::win
