#include <pthread.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "platform/utils/thread_name.h"
#include "tests/support/test_support.h"

TEST(ThreadNamePosix, LogsAndKeepsFifteenCharacters) {
  zyra_test::CapturedLog log;
  std::string seen;
  std::thread t([&] {
    platform::SetThreadName("CleanupDownloadLocation");
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    seen = buf;
  });
  t.join();
  EXPECT_EQ(seen, "CleanupDownload");
  EXPECT_THAT(log.Lines(), ::testing::ElementsAre("debug|thread: CleanupDownloadLocation"));
}
