// The parts two threads share: the process logger (the main thread and the
// clean-up thread log at once) and the thread naming entry point. The sanitizer suite runs these under
// ThreadSanitizer; here they also check that no line is lost or torn.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/file_helpers.h"
#include "logging/logger.h"
#include "platform/shell.h"
#include "platform/utils/thread_name.h"
#include "tests/support/test_support.h"

namespace w = platform::win;

namespace {

constexpr int kLinesPerThread = 200;

class SharedLogger : public ::testing::Test {
 protected:
  void SetUp() override {
    logging::LoggerHolder::Instance().ResetForTesting();
    std::string temp;
    w::GetTempPathA(temp);
    const std::string dir = temp + "zyra-threads-test";
    w::SHCreateDirectoryExA(dir);
    path_ = dir + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    app::DeleteFileIfExists(path_);
  }
  void TearDown() override {
    logging::LoggerHolder::Instance().ResetForTesting();
    app::DeleteFileIfExists(path_);
  }

  // The message part of every line of the log file (after "  info  ").
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    std::istringstream in(zyra_test::ReadBytes(path_));
    for (std::string line; std::getline(in, line);) {
      const auto at = line.find("  info  ");
      out.push_back(at == std::string::npos ? "<torn> " + line : line.substr(at + 8));
    }
    return out;
  }

  std::string path_;
};

// Every line each thread wrote, once, whole, ending in CR LF.
void ExpectAllLines(const std::vector<std::string>& messages, int threads) {
  std::multiset<std::string> seen(messages.begin(), messages.end());
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(threads * kLinesPerThread));
  for (int t = 0; t < threads; ++t) {
    for (int i = 0; i < kLinesPerThread; ++i) {
      const std::string want = "thread " + std::to_string(t) + " line " + std::to_string(i) + "\r";
      EXPECT_EQ(seen.count(want), 1u) << want;
    }
  }
}

}  // namespace

TEST_F(SharedLogger, TwoThreadsLoggingAtOnceLoseAndTearNoLine) {
  logging::InitLogger(path_, "__zyra_stub_logger___", 0);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([t, &go] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kLinesPerThread; ++i) logging::Info("thread {0} line {1}", t, i);
    });
  }
  go = true;
  for (auto& th : threads) th.join();
  logging::LoggerHolder::Instance().ResetForTesting();

  ExpectAllLines(Messages(), 2);
}

TEST(ThreadNaming, ThreadsNamingThemselvesAtOnceEachLogTheirName) {
  zyra_test::CapturedLog log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] { platform::SetThreadName("Worker" + std::to_string(t)); });
  }
  for (auto& th : threads) th.join();
  const auto lines = log.Lines();
  for (int t = 0; t < 4; ++t) {
    EXPECT_THAT(lines, ::testing::Contains("debug|thread: Worker" + std::to_string(t)));
  }
}
