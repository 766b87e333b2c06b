#pragma once
// One run at a time on a machine: a run holds the machine-wide mutex
// "Global\CorvZyraProvisionStub.Run" from its first step to its last. A run
// that finds it held says so on the console and waits, without a limit, for
// the other run to end before it touches the log, the result file, the
// status file or the data folder.
#include <cstdint>

#include "platform/sync.h"
#include "platform/win_types.h"

namespace app {

inline constexpr const char* kRunMutexName = "Global\\CorvZyraProvisionStub.Run";

class RunLock {
 public:
  // Takes the lock, waiting while another run holds it; releases it when
  // it goes. Never fails the run: when the lock cannot be had at all, the
  // run goes on without it (LogHowItWasTaken says why).
  RunLock();
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // The log's lines on how the lock was taken: after a wait, how long it
  // took; an owner that ended without releasing it; a lock that could not
  // be had. Nothing for a lock that was free.
  void LogHowItWasTaken() const;

 private:
  platform::win::MutexHandle mutex_;
  bool owned_ = false;
  bool abandoned_ = false;
  std::int64_t waitedMs_ = -1;  // -1: it was free
  platform::win::DWORD error_ = 0;  // why it could not be had (0: it was had)
};

}  // namespace app
