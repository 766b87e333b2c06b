#pragma once
// Service host facade: the service side of the service control manager, for
// the tools that play a service (the handler double). The provisioning
// program itself is never a service.
//
// Windows: RunAsService connects the process to the service control manager
// (StartServiceCtrlDispatcherW), registers a control handler
// (RegisterServiceCtrlHandlerExW), reports SERVICE_RUNNING, runs the body on
// the service's thread and reports SERVICE_STOPPED with the body's result as
// the Win32 exit code. SERVICE_CONTROL_STOP is answered with
// SERVICE_STOP_PENDING and makes ServiceStopRequested true; the body is
// expected to notice it and return.
//
// Emulated machine: the service manager starts the service's program as a
// plain process and asks it to stop with SIGTERM. RunAsService turns SIGTERM
// into the stop request and runs the body; its result becomes the process's
// exit code, which the manager records as the service's exit code.
#include <functional>
#include <string>

#include "platform/win_types.h"

namespace platform {

using ServiceBody = std::function<win::DWORD()>;

// Runs body as the service named name (on Windows the name the service
// control manager passes to the service wins). Returns the body's result, or
// the Win32 error of the connection to the service control manager without
// running the body (1063, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, when the
// program was started from a console rather than by the manager).
[[nodiscard]] win::DWORD RunAsService(const std::u16string& name, const ServiceBody& body);

// True once the service control manager has asked the service to stop.
[[nodiscard]] bool ServiceStopRequested();

// Sleeps for seconds (fractions allowed) on the clock the program sees, or
// less when a stop is requested meanwhile. True when a stop was requested.
// Outside RunAsService it simply sleeps and returns false.
bool WaitForServiceStop(double seconds);

}  // namespace platform
