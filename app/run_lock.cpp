#include "app/run_lock.h"

#include <cstdio>

#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace app {
namespace w = platform::win;

RunLock::RunLock() {
  mutex_ = w::CreateMutexA(kRunMutexName);
  if (!mutex_.valid()) {
    error_ = w::GetLastError();
    return;
  }
  w::DWORD rc = w::WaitForSingleObject(mutex_, 0);
  if (rc == w::kWaitTimeout) {
    // Nothing else may be written yet: the console is the only place to say
    // why the run does not start.
    std::fputs("Another CorvZyraProvisionStub run is under way on this machine: waiting for it "
               "to end.\n",
               stdout);
    std::fflush(stdout);
    const std::int64_t start = platform::MonotonicMilliseconds();
    rc = w::WaitForSingleObject(mutex_, w::kInfinite);
    waitedMs_ = platform::MonotonicMilliseconds() - start;
  }
  if (rc == w::kWaitObject0 || rc == w::kWaitAbandoned) {
    owned_ = true;
    abandoned_ = rc == w::kWaitAbandoned;
  } else {
    error_ = rc == w::kWaitFailed ? w::GetLastError() : rc;
  }
}

RunLock::~RunLock() {
  if (owned_) w::ReleaseMutex(mutex_);
}

void RunLock::LogHowItWasTaken() const {
  if (waitedMs_ >= 0)
    logging::Warn("Waited {0} s for another CorvZyraProvisionStub run to end.",
                  (waitedMs_ + 500) / 1000);
  if (abandoned_)
    logging::Warn("The run before this one ended without releasing its lock (it was stopped or "
                  "the machine restarted): the lock is taken over.");
  if (!owned_)
    logging::Warn("Cannot take the lock {0} that keeps runs apart (error {1}): this run goes on "
                  "without it.",
                  kRunMutexName, error_);
}

}  // namespace app
