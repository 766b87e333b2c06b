#pragma once
// Starting a service's program on the emulated machine: a detached process
// in a session of its own, watched by a waiter that records its exit code.
#include <string>

#include "platform/win_types.h"

namespace platform::win::scm {

// Starts the program "service" of the service folder dir and records it in
// dir/pid; false with a Win32 error when it could not be run.
bool Launch(const std::string& dir, DWORD& error);

}  // namespace platform::win::scm
