// The process logger: line format, levels, the failing file sink, a second
// InitLogger.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "app/file_helpers.h"
#include "logging/logger.h"
#include "platform/shell.h"
#include "tests/support/test_support.h"

using ::testing::HasSubstr;
namespace w = platform::win;

namespace {

class Logger : public ::testing::Test {
 protected:
  void SetUp() override {
    logging::LoggerHolder::Instance().ResetForTesting();
    std::string temp;
    w::GetTempPathA(temp);
    dir_ = temp + "zyra-logger-test";
    w::SHCreateDirectoryExA(dir_);
    path_ = dir_ + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    app::DeleteFileIfExists(path_);
  }
  void TearDown() override {
    logging::LoggerHolder::Instance().ResetForTesting();
    app::DeleteFileIfExists(path_);
  }
  std::string dir_;
  std::string path_;
};

}  // namespace

TEST_F(Logger, WritesCrLfLinesInTheFixedFormat) {
  logging::InitLogger(path_, "__zyra_stub_logger___", 0);
  logging::Info("Result {0} is written to {1}", "9", "C:\\x.txt");
  logging::Warn("[{0}] - Failed to launch {1}", "platform::utils::RunInstallerSilently", "a.exe");
  logging::Trace("deep");
  logging::LoggerHolder::Instance().ResetForTesting();

  const std::string bytes = zyra_test::ReadBytes(path_);
  const std::regex line(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d  (info|warning|trace)  [^\r\n]*\r\n)");
  std::string rest = bytes;
  int count = 0;
  std::smatch m;
  while (std::regex_search(rest, m, line, std::regex_constants::match_continuous)) {
    ++count;
    rest = m.suffix();
  }
  EXPECT_EQ(count, 3) << bytes;
  EXPECT_TRUE(rest.empty()) << rest;
  EXPECT_THAT(bytes, HasSubstr("  info  Result 9 is written to C:\\x.txt\r\n"));
  EXPECT_THAT(bytes,
              HasSubstr("  warning  [platform::utils::RunInstallerSilently] - Failed to launch "
                        "a.exe\r\n"));
  EXPECT_THAT(bytes, HasSubstr("  trace  deep\r\n"));
}

TEST_F(Logger, LevelFourWritesErrorsOnlyAndSixNothing) {
  logging::InitLogger(path_, "__zyra_stub_logger___", 4);
  logging::Info("CorvZyraProvisionStub completed.");
  logging::Warn("a warning");
  logging::Error("Cannot find provision token.");
  logging::LoggerHolder::Instance().ResetForTesting();
  const std::string four = zyra_test::ReadBytes(path_);
  EXPECT_THAT(four, HasSubstr("  error  Cannot find provision token.\r\n"));
  EXPECT_THAT(four, ::testing::Not(HasSubstr("completed")));
  EXPECT_THAT(four, ::testing::Not(HasSubstr("warning")));

  app::DeleteFileIfExists(path_);
  logging::InitLogger(path_, "__zyra_stub_logger___", 6);
  logging::Error("Cannot find provision token.");
  logging::LoggerHolder::Instance().ResetForTesting();
  EXPECT_EQ(zyra_test::ReadBytes(path_), "");
}

TEST_F(Logger, SecondInitKeepsTheFirstLoggerItsLevelAndFile) {
  logging::InitLogger(path_, "__zyra_stub_logger___", 3);
  const auto first = logging::Logger();
  const std::string other = dir_ + "\\other.log";
  app::DeleteFileIfExists(other);
  logging::InitLogger(other, "second", 0);
  EXPECT_EQ(logging::Logger(), first);
  EXPECT_EQ(logging::Logger()->level(), spdlog::level::warn);
  logging::Warn("still here");
  logging::LoggerHolder::Instance().ResetForTesting();
  EXPECT_THAT(zyra_test::ReadBytes(path_), HasSubstr("still here"));
  EXPECT_FALSE(app::FileExists(other));
}

TEST_F(Logger, UnopenableFileLeavesAConsoleLoggerWhoseFirstLineSaysWhy) {
  // A file where the log's folder should be: the file sink cannot be created.
  const std::string blocker = dir_ + "\\blocker";
  ASSERT_TRUE(app::WriteWholeFile(blocker, "x"));
  const std::string bad = blocker + "\\sub\\CorvZyraProvisionStub.log";
  ::testing::internal::CaptureStdout();
  logging::InitLogger(bad, "__zyra_stub_logger___", 0);
  logging::Info("after");
  logging::LoggerHolder::Instance().ResetForTesting();
  const std::string out = ::testing::internal::GetCapturedStdout();
  app::DeleteFileIfExists(blocker);

  const auto firstEnd = out.find('\n');
  ASSERT_NE(firstEnd, std::string::npos) << out;
  const std::string first = out.substr(0, firstEnd);
  EXPECT_THAT(first, HasSubstr("  error  Can't open file logger " + bad + ": ")) << out;
  EXPECT_THAT(out.substr(firstEnd), HasSubstr("  info  after"));
}
