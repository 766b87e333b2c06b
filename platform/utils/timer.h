#pragma once
// Timer: a named interval timer with a list of tasks and an optional worker
// thread. The destructor stops and joins a running worker; tasks that never
// ran are destroyed with the timer.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class Timer {
 public:
  using Task = std::function<void()>;

  explicit Timer(std::string name);
  // Stops the worker (sets the stop flag, wakes it) and joins it. Destroying
  // a timer from its own worker is a programming error: the join reports a
  // resource deadlock, which ends the process.
  virtual ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetInterval(std::chrono::milliseconds interval);
  [[nodiscard]] std::chrono::milliseconds Interval() const;

  // Appends a task and wakes every waiter.
  void AddTask(Task task);

  // Starts the worker: it waits one interval on the wake-up condition
  // (counted from the end of the previous round), runs every task in the
  // order added, and repeats until the timer is destroyed. A second call
  // does nothing. Returns false when a worker already exists.
  bool Start();

  [[nodiscard]] const std::string& Name() const { return name_; }
  [[nodiscard]] std::size_t TaskCount() const;

 private:
  void Work();

  std::atomic<std::int64_t> interval_{1000};
  std::vector<Task> tasks_;
  mutable std::mutex mutex_;
  std::condition_variable wakeUp_;
  std::atomic<bool> stop_{false};
  std::thread worker_;
  std::string name_;
  bool flag_ = true;
};

}  // namespace platform
