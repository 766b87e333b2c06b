// Timer: shutdown with and without a worker, tasks never run by destruction,
// untorn interval updates.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/utils/timer.h"

using namespace std::chrono_literals;

TEST(Timer, DestructionWithoutAWorkerDestroysTasksUnrun) {
  auto ran = std::make_shared<std::atomic<int>>(0);
  std::weak_ptr<std::atomic<int>> alive = ran;
  {
    platform::Timer timer("FwuLockTimer");
    EXPECT_EQ(timer.Interval(), 1000ms);
    timer.SetInterval(600000ms);
    EXPECT_EQ(timer.Interval(), 600000ms);
    timer.AddTask([ran] { ++*ran; });
    timer.AddTask([ran] { ++*ran; });
    EXPECT_EQ(timer.TaskCount(), 2u);
    ran.reset();  // only the tasks hold it now
    EXPECT_FALSE(alive.expired());
  }
  EXPECT_TRUE(alive.expired());  // destroyed with the timer, never run
}

TEST(Timer, DestructionStopsAWorkerBlockedOnALongInterval) {
  std::atomic<int> ran{0};
  const auto start = std::chrono::steady_clock::now();
  {
    platform::Timer timer("FailedUpdateTimer");
    timer.SetInterval(std::chrono::hours(1));
    timer.AddTask([&] { ++ran; });
    EXPECT_TRUE(timer.Start());
    EXPECT_FALSE(timer.Start());
  }
  // The worker was woken by the destructor instead of sleeping out its hour.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(ran.load(), 0);
}

TEST(Timer, WorkerRunsTasksInOrderEveryInterval) {
  std::atomic<int> rounds{0};
  std::vector<int> order;
  std::mutex m;
  {
    platform::Timer timer("t");
    timer.SetInterval(1ms);
    timer.AddTask([&] {
      std::lock_guard<std::mutex> l(m);
      order.push_back(1);
    });
    timer.AddTask([&] {
      std::lock_guard<std::mutex> l(m);
      order.push_back(2);
      ++rounds;
    });
    timer.Start();
    for (int i = 0; i < 5000 && rounds.load() < 3; ++i) std::this_thread::sleep_for(1ms);
  }
  ASSERT_GE(rounds.load(), 3);
  for (std::size_t i = 0; i + 1 < order.size(); i += 2) {
    EXPECT_EQ(order[i], 1);
    EXPECT_EQ(order[i + 1], 2);
  }
}

TEST(Timer, IntervalIsNeverTornUnderConcurrentUpdates) {
  platform::Timer timer("t");
  constexpr std::int64_t a = 0x0000000100000002;  // high and low halves differ
  constexpr std::int64_t b = 0x00000003FFFFFFFF;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 200000; ++i) timer.SetInterval(std::chrono::milliseconds(i % 2 ? a : b));
    done = true;
  });
  bool torn = false;
  while (!done) {
    const auto v = timer.Interval().count();
    if (v != a && v != b && v != 1000) torn = true;
  }
  writer.join();
  EXPECT_FALSE(torn);
}
