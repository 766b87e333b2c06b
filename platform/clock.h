#pragma once
// Time facade: Sleep and GetTickCount. Tests replace both so that nothing
// sleeps for real and time moves as the test says. Beside them the one
// monotonic clock of the program.
#include <cstdint>
#include <functional>

#include "platform/win_types.h"

namespace platform::win {

// Sleep(milliseconds) of the calling thread.
void Sleep(DWORD milliseconds);
// GetTickCount: milliseconds since an arbitrary start, wrapping at 2^32.
[[nodiscard]] DWORD GetTickCount();

// Test hooks. An empty function restores the real clock. The hooks are
// process-wide; install them before the threads that sleep start.
using SleepHook = std::function<void(DWORD milliseconds)>;
using TickHook = std::function<DWORD()>;
void SetSleepHookForTesting(SleepHook hook);
void SetTickHookForTesting(TickHook hook);

}  // namespace platform::win

namespace platform {

// Milliseconds of the monotonic clock since an arbitrary start; the
// unhooked GetTickCount reads it. For waits on real processes and pipes,
// which the tests' hooks must not move.
[[nodiscard]] std::int64_t MonotonicMilliseconds();
// The same clock in nanoseconds (the update manifest's expiry).
[[nodiscard]] std::int64_t MonotonicNanoseconds();

}  // namespace platform
