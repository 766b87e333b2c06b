#pragma once
// ServiceInstaller: stops and starts one Windows service through the service
// control manager and logs every step. It neither installs nor removes
// services.
//
// Waiting:
//   - A stop is followed by polling the service's status once a second
//     while it reports SERVICE_STOP_PENDING. Each such wait gives up after
//     kMaxStopPendingPolls one-second sleeps (10 minutes, far beyond any
//     real service's stop time) and logs a warning; Stop then reports "failed to stop."
//     and Start goes on to StartServiceW, which fails while the service
//     still runs.
//   - After StartServiceW the status is polled while it is
//     SERVICE_START_PENDING, every tenth of the service's wait hint (at least
//     1 and at most 10 seconds). The wait ends when the check point has not
//     grown for longer than the wait hint; a check point that keeps growing
//     is waited for.
//   - "[...] - Service state {1} is pending." carries the state number
//     (always 3, SERVICE_STOP_PENDING), as the text speaks of a state.
//   All sleeps and tick counts go through platform/clock.h.
//
// Handles: each Start and Stop closes the service handle of an earlier call
// before it opens the service again, so only the latest one is held; the
// destructor closes the manager handle and then the service handle.
//
// Results: 0 on success, 1 when the manager is not open, otherwise the Win32
// error code of the failing call. Stop returns 0 whether or not the service
// stopped (the log tells; a following Start then fails while it still
// runs), and Start returns 0 when the service was started but did not reach
// SERVICE_RUNNING in time (the log gives its state and exit code).
#include <string>

#include "platform/services.h"
#include "platform/win_types.h"

namespace platform {

class ServiceInstaller {
 public:
  // One-second polls a stop-pending wait is given before it is abandoned.
  static constexpr win::DWORD kMaxStopPendingPolls = 600;

  // Connects to the local service control manager. Throws std::runtime_error
  // when the program's own path is unavailable ("ServiceInstaller - Failed to
  // get the path of the executable.") or the manager cannot be opened
  // ("[ServiceInstaller] - Failed to open Service Control Manager 0x0005.").
  explicit ServiceInstaller(std::u16string serviceName);
  ~ServiceInstaller();
  ServiceInstaller(const ServiceInstaller&) = delete;
  ServiceInstaller& operator=(const ServiceInstaller&) = delete;
  ServiceInstaller(ServiceInstaller&&) = delete;
  ServiceInstaller& operator=(ServiceInstaller&&) = delete;

  // Stops the service if it runs, starts it and waits while it starts.
  [[nodiscard]] win::DWORD Start();
  // Asks the service to stop and waits while it stops.
  [[nodiscard]] win::DWORD Stop();
  // The service's status now, through the handle the last Start or Stop
  // opened (QueryServiceStatusEx); false, with the last error, when there
  // is none or the query fails.
  [[nodiscard]] bool QueryStatus(win::ServiceStatusProcess& status) const;

 private:
  // Start's waits for a stop: polls once a second (after a first sleep when
  // sleepFirst) while the service reports SERVICE_STOP_PENDING, at most
  // kMaxStopPendingPolls sleeps; returns the last state read, or initial
  // when no query succeeded.
  [[nodiscard]] win::DWORD WaitWhileStopPending(bool sleepFirst, win::DWORD initial);
  [[nodiscard]] std::string NameUtf8() const;

  win::ScHandle manager_;
  win::ScHandle service_;
  std::u16string serviceName_;
};

}  // namespace platform
