#include "platform/utils/timer.h"

namespace platform {

Timer::Timer(std::string name) : name_(std::move(name)) {}

Timer::~Timer() {
  stop_.store(true);
  {
    // Taking the mutex orders the flag before a worker's next wait.
    std::lock_guard<std::mutex> lock(mutex_);
  }
  wakeUp_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void Timer::SetInterval(std::chrono::milliseconds interval) {
  interval_.exchange(static_cast<std::int64_t>(interval.count()));
}

std::chrono::milliseconds Timer::Interval() const {
  return std::chrono::milliseconds(interval_.load());
}

void Timer::AddTask(Task task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wakeUp_.notify_all();
}

std::size_t Timer::TaskCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

bool Timer::Start() {
  if (worker_.joinable()) return false;
  worker_ = std::thread([this] { Work(); });
  return true;
}

void Timer::Work() {
  for (;;) {
    std::vector<Task> round;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const auto until = std::chrono::steady_clock::now() + Interval();
      if (wakeUp_.wait_until(lock, until, [this] { return stop_.load(); })) return;
      round = tasks_;
    }
    for (auto& task : round) {
      if (stop_.load()) return;
      if (task) task();
    }
  }
}

}  // namespace platform
