// The service side on the emulated machine: the emulated service manager
// starts the service's program as a plain, detached process and asks it to
// stop with SIGTERM (docs/emulated-machine.md, "Services"). SIGTERM becomes
// the stop request; the body's result is the exit code the manager records.
#include <signal.h>

#include <atomic>
#include <cstring>

#include "platform/clock.h"
#include "platform/service_host.h"

namespace platform {
namespace {

std::atomic<bool> g_stopRequested{false};
std::atomic<bool> g_running{false};

extern "C" void OnTerminate(int) { g_stopRequested.store(true); }

}  // namespace

win::DWORD RunAsService(const std::u16string& /*name*/, const ServiceBody& body) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = &OnTerminate;
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGTERM, &action, nullptr) != 0) return win::kErrorInvalidParameter;
  g_running.store(true);
  const win::DWORD result = body ? body() : 0;
  g_running.store(false);
  return result;
}

bool ServiceStopRequested() { return g_stopRequested.load(); }

bool WaitForServiceStop(double seconds) {
  // Short slices, so that a stop request is answered within a tenth of a
  // second (the manager waits 3 seconds for an answer).
  const auto total = static_cast<long long>(seconds * 1000.0);
  long long slept = 0;
  while (slept < total) {
    if (g_running.load() && g_stopRequested.load()) return true;
    const long long slice = total - slept < 100 ? total - slept : 100;
    win::Sleep(static_cast<win::DWORD>(slice));
    slept += slice;
  }
  return g_running.load() && g_stopRequested.load();
}

}  // namespace platform
