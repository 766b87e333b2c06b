#include "platform/clock.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace platform {

std::int64_t MonotonicNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t MonotonicMilliseconds() { return MonotonicNanoseconds() / 1000000; }

}  // namespace platform

namespace platform::win {
namespace {

std::mutex g_mutex;
SleepHook g_sleep;
TickHook g_tick;

}  // namespace

void Sleep(DWORD milliseconds) {
  SleepHook hook;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    hook = g_sleep;
  }
  if (hook) {
    hook(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount() {
  TickHook hook;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    hook = g_tick;
  }
  if (hook) return hook();
  return static_cast<DWORD>(MonotonicMilliseconds());
}

void SetSleepHookForTesting(SleepHook hook) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_sleep = std::move(hook);
}

void SetTickHookForTesting(TickHook hook) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_tick = std::move(hook);
}

}  // namespace platform::win
