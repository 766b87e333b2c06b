// The log file on the emulated machine: time stamps in local time with the
// UTC offset, and rotation at 7 MiB keeping 5 older files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "logging/logger.h"
#include "platform/files.h"
#include "platform/posix/machine.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace {

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    logging::LoggerHolder::Instance().ResetForTesting();
    dir_ = platform::posix::MachineRoot() + "/drive_c/log-file-test";
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    logging::LoggerHolder::Instance().ResetForTesting();
    fs::remove_all(dir_);
  }
  std::string dir_;
};

// Sets TZ for one scope.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (had_) ::setenv("TZ", old_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::string old_;
  bool had_ = false;
};

// Minutes since midnight of a time, in UTC.
int UtcMinutes(std::time_t t) {
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  return tm.tm_hour * 60 + tm.tm_min;
}

}  // namespace

TEST_F(LogFile, TimeStampsAreLocalTimeWithTheirOffset) {
  // Five and a half hours east of UTC, no daylight saving time.
  ScopedTimeZone tz("ZYR-05:30");
  const std::time_t before = std::time(nullptr);
  logging::InitLogger("C:\\log-file-test\\time.log", "__zyra_stub_logger___", 0);
  logging::Info("stamp");
  logging::LoggerHolder::Instance().ResetForTesting();
  const std::time_t after = std::time(nullptr);

  const std::string text = zyra_test::ReadBytes("C:\\log-file-test\\time.log");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      text, m, std::regex(R"(^\d{4}-\d\d-\d\dT(\d\d):(\d\d):\d\d\.\d{3}([+-]\d\d:\d\d)  info  stamp)")))
      << text;
  EXPECT_EQ(m[3].str(), "+05:30");
  const int logged = std::stoi(m[1].str()) * 60 + std::stoi(m[2].str());
  bool matches = false;
  for (std::time_t t = before; t <= after + 60; t += 60)
    matches = matches || logged == (UtcMinutes(t) + 330) % (24 * 60);
  EXPECT_TRUE(matches) << text;
}

TEST_F(LogFile, RotatesAtSevenMebibytesAndKeepsFiveOlderFiles) {
  // The console sink gets every line too: keep it off the test's output.
  std::fflush(stdout);
  const int savedStdout = ::dup(1);
  std::FILE* devNull = std::fopen("/dev/null", "w");
  ASSERT_NE(devNull, nullptr);
  ::dup2(::fileno(devNull), 1);

  logging::InitLogger("C:\\log-file-test\\rotating.log", "__zyra_stub_logger___", 0);
  const std::string filler(4000, 'x');
  // 7 MiB of lines seven times over: six rotations.
  const std::uintmax_t limit = 7u * 1024u * 1024u;
  for (std::uintmax_t written = 0; written < 7 * limit + limit / 2; written += filler.size() + 40)
    logging::Info("{0}", filler);
  logging::LoggerHolder::Instance().ResetForTesting();

  std::fflush(stdout);
  ::dup2(savedStdout, 1);
  ::close(savedStdout);
  std::fclose(devNull);

  const std::string base = dir_ + "/rotating";
  ASSERT_TRUE(fs::exists(base + ".log"));
  EXPECT_LE(fs::file_size(base + ".log"), limit);
  for (int i = 1; i <= 5; ++i) {
    const std::string rotated = base + "." + std::to_string(i) + ".log";
    ASSERT_TRUE(fs::exists(rotated)) << rotated;
    EXPECT_LE(fs::file_size(rotated), limit) << rotated;
    EXPECT_GT(fs::file_size(rotated), limit - 8192) << rotated;
  }
  EXPECT_FALSE(fs::exists(base + ".6.log"));
}
