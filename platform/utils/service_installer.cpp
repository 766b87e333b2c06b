#include "platform/utils/service_installer.h"

#include <fmt/format.h>

#include <cstdint>
#include <stdexcept>
#include <utility>

#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/utf.h"

namespace platform {
namespace {

namespace w = platform::win;

constexpr const char* kCtorTag = "ServiceInstaller::ServiceInstaller";
constexpr const char* kStartTag = "ServiceInstaller::Start";
constexpr const char* kStopTag = "ServiceInstaller::Stop";

// SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE
constexpr w::DWORD kManagerAccess = w::kScManagerConnect | w::kScManagerCreateService;
// SERVICE_STOP | SERVICE_QUERY_STATUS
constexpr w::DWORD kStopAccess = w::kServiceStop | w::kServiceQueryStatus;

constexpr w::DWORD kPollMs = 1000;
constexpr w::DWORD kMinStartPollMs = 1000;
constexpr w::DWORD kMaxStartPollMs = 10000;

// A tenth of the wait hint, at least 1 and at most 10 seconds.
w::DWORD StartPollInterval(w::DWORD waitHint) {
  const w::DWORD tenth = waitHint / 10;
  if (tenth < kMinStartPollMs) return kMinStartPollMs;
  if (tenth > kMaxStartPollMs) return kMaxStartPollMs;
  return tenth;
}

bool QueryProcessStatus(w::SC_HANDLE service, w::ServiceStatusProcess& status) {
  w::ServiceStatusProcess fresh{};
  w::DWORD needed = 0;
  if (!w::QueryServiceStatusEx(service, w::kScStatusProcessInfo,
                               reinterpret_cast<std::uint8_t*>(&fresh), sizeof fresh, &needed))
    return false;
  status = fresh;
  return true;
}

}  // namespace

ServiceInstaller::ServiceInstaller(std::u16string serviceName)
    : serviceName_(std::move(serviceName)) {
  std::u16string self;
  if (w::GetModuleFileNameW(self) == 0) {
    const w::DWORD error = w::GetLastError();
    logging::Error("[{0}] - GetModuleFileName failed with error 0x{1:08x}.", kCtorTag, error);
    throw std::runtime_error("ServiceInstaller - Failed to get the path of the executable.");
  }
  manager_.reset(w::OpenSCManagerW(nullptr, nullptr, kManagerAccess));
  if (!manager_) {
    const w::DWORD error = w::GetLastError();
    throw std::runtime_error(fmt::format(
        "[ServiceInstaller] - Failed to open Service Control Manager 0x{:04x}.", error));
  }
}

ServiceInstaller::~ServiceInstaller() {
  manager_.reset();
  service_.reset();
}

std::string ServiceInstaller::NameUtf8() const { return ToUtf8(serviceName_); }

w::DWORD ServiceInstaller::WaitWhileStopPending(bool sleepFirst, w::DWORD initial) {
  w::DWORD state = initial;
  w::DWORD sleeps = 0;
  if (sleepFirst) {
    w::Sleep(kPollMs);
    ++sleeps;
  }
  w::ServiceStatus status{};
  while (w::QueryServiceStatus(service_.get(), &status)) {
    state = status.dwCurrentState;
    if (state != w::kServiceStopPending) break;
    if (sleeps >= kMaxStopPendingPolls) {
      logging::Warn("[{0}] - {1} is still stopping after {2} seconds, no longer waiting.",
                    kStartTag, NameUtf8(), sleeps);
      break;
    }
    w::Sleep(kPollMs);
    ++sleeps;
  }
  return state;
}

w::DWORD ServiceInstaller::Start() {
  logging::Debug("[{0}] - Attempting to start the service.", kStartTag);
  if (!manager_) {
    logging::Error("[{0}] - Service Manager is not open.", kStartTag);
    return 1;
  }
  service_.reset();
  service_.reset(w::OpenServiceW(manager_.get(), serviceName_.c_str(), w::kServiceAllAccess));
  if (!service_) {
    const w::DWORD error = w::GetLastError();
    logging::Error("[{0}] - OpenService failed with error 0x{1:08x}", kStartTag, error);
    return error;
  }

  // Let an earlier stop finish; a service that still runs is stopped first.
  const w::DWORD state = WaitWhileStopPending(false, 0);
  if (state != w::kServiceStopped) {
    w::ServiceStatus status{};
    if (w::ControlService(service_.get(), w::kServiceControlStop, &status)) {
      logging::Info("[{0}] - Stopping {1}.", kStartTag, NameUtf8());
      (void)WaitWhileStopPending(true, status.dwCurrentState);
    }
  }

  if (!w::StartServiceW(service_.get())) {
    const w::DWORD error = w::GetLastError();
    logging::Error("[{0}] - {1} failed to start", kStartTag, NameUtf8());
    return error;
  }
  logging::Info("[{0}] - {1} started.", kStartTag, NameUtf8());

  w::ServiceStatusProcess status{};
  if (!QueryProcessStatus(service_.get(), status)) {
    const w::DWORD error = w::GetLastError();
    logging::Error("[{0}] - QueryServiceStatusEx failed 0x{1:08x}", kStartTag, error);
    return error;
  }

  w::DWORD lastProgressTick = w::GetTickCount();
  w::DWORD checkPoint = status.dwCheckPoint;
  w::DWORD result = 0;
  while (status.dwCurrentState == w::kServiceStartPending) {
    w::Sleep(StartPollInterval(status.dwWaitHint));
    if (!QueryProcessStatus(service_.get(), status)) {
      result = w::GetLastError();
      logging::Error("[{0}] - QueryServiceStatusEx failed 0x{1:08x}", kStartTag, result);
      break;
    }
    if (status.dwCheckPoint > checkPoint) {
      lastProgressTick = w::GetTickCount();
      checkPoint = status.dwCheckPoint;
    } else if (static_cast<w::DWORD>(w::GetTickCount() - lastProgressTick) > status.dwWaitHint) {
      // No progress within the wait hint.
      break;
    }
  }

  if (status.dwCurrentState == w::kServiceRunning) {
    logging::Info("[{0}] - Service started successfully.", kStartTag);
    return 0;
  }
  logging::Info("[{0}] - Service not started.", kStartTag);
  logging::Info("[{0}] -   Current State: {1}", kStartTag, status.dwCurrentState);
  logging::Info("[{0}] -   Exit Code: {1}", kStartTag, status.dwWin32ExitCode);
  return result;
}

bool ServiceInstaller::QueryStatus(w::ServiceStatusProcess& status) const {
  if (!service_) {
    w::SetLastError(w::kErrorInvalidHandle);
    return false;
  }
  return QueryProcessStatus(service_.get(), status);
}

w::DWORD ServiceInstaller::Stop() {
  logging::Info("[{0}] - Stop request", kStopTag);
  if (!manager_) {
    logging::Error("[{0}] - Service Manager is not open.", kStopTag);
    return 1;
  }
  const std::string name = NameUtf8();
  logging::Debug("[{0}] - Will try to open {1} service.", kStopTag, name);
  service_.reset();
  service_.reset(w::OpenServiceW(manager_.get(), serviceName_.c_str(), kStopAccess));
  if (!service_) {
    const w::DWORD error = w::GetLastError();
    logging::Error("[{0}] - OpenService failed with error 0x{1:08x}", kStopTag, error);
    return error;
  }
  logging::Debug("[{0}] - Will try to stop {1} service.", kStopTag, name);

  w::ServiceStatus status{};
  if (w::ControlService(service_.get(), w::kServiceControlStop, &status)) {
    logging::Info("[{0}] - Stopping {1}.", kStopTag, name);
    w::Sleep(kPollMs);
    logging::Info("[{0}] - Querying {1}.", kStopTag, name);
    w::DWORD state = status.dwCurrentState;
    w::DWORD sleeps = 1;
    while (w::QueryServiceStatus(service_.get(), &status)) {
      state = status.dwCurrentState;
      logging::Info("[{0}] - Service status {1}.", kStopTag, state);
      if (state != w::kServiceStopPending) break;
      logging::Info("[{0}] - Service state {1} is pending.", kStopTag, state);
      if (sleeps >= kMaxStopPendingPolls) {
        logging::Warn("[{0}] - {1} is still stopping after {2} seconds, no longer waiting.",
                      kStopTag, name, sleeps);
        break;
      }
      w::Sleep(kPollMs);
      ++sleeps;
    }
    if (state == w::kServiceStopped) {
      logging::Info("[{0}] - {1} is stopped.", kStopTag, name);
    } else {
      logging::Error("[{0}] - {1} failed to stop.", kStopTag, name);
    }
  }
  logging::Info("[{0}] - {1} is stopped.", kStopTag, name);
  return 0;
}

}  // namespace platform
