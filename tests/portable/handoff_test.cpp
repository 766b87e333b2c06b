// The hand-off wait against a scripted handler played from the injected
// sleeper, and the result file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/file_helpers.h"
#include "app/handler_handoff.h"
#include "app/run_state.h"
#include "platform/clock.h"
#include "platform/file_security.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "tests/support/test_support.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
namespace w = platform::win;

namespace {

// Plays the handler: before poll N (1-based) the action for N runs.
class HandOff : public ::testing::Test {
 protected:
  void SetUp() override {
    w::SHCreateDirectoryExA("C:\\Windows\\Temp\\CorvZyra");
    app::DeleteFileIfExists(app::kStatusFile);
    w::SetSleepHookForTesting([this](w::DWORD ms) {
      EXPECT_EQ(ms, 30000u);
      ++polls_;
      secondsSlept_ += static_cast<int>(ms / 1000);
      auto it = script_.find(polls_);
      if (it != script_.end()) it->second();
    });
  }
  void TearDown() override {
    w::SetSleepHookForTesting(nullptr);
    app::DeleteFileIfExists(app::kStatusFile);
  }
  void Before(int poll, std::function<void()> action) { script_[poll] = std::move(action); }
  static std::function<void()> Writes(const std::string& text) {
    return [text] { ASSERT_TRUE(app::WriteWholeFile(app::kStatusFile, text)); };
  }
  // What an earlier attempt left: last written an hour before this run, or,
  // with the clock ahead then, an hour after it.
  static void LeftByAnEarlierAttempt(const std::string& text,
                                     std::chrono::hours age = std::chrono::hours(1)) {
    ASSERT_TRUE(app::WriteWholeFile(app::kStatusFile, text));
    SetAge(age);
  }
  // Sets the status file's last-write time that long before now.
  static void SetAge(std::chrono::hours age) {
    namespace fs = std::filesystem;
    fs::last_write_time(w::HostPath(app::kStatusFile), fs::file_time_type::clock::now() - age);
  }
  static std::ptrdiff_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
  }

  int polls_ = 0;
  int secondsSlept_ = 0;
  std::map<int, std::function<void()>> script_;
};

}  // namespace

TEST_F(HandOff, VerdictBeforeTheFirstPollEndsTheWaitAfterOneSleep) {
  zyra_test::CapturedLog log;
  Before(1, Writes("Room already provisioned."));
  EXPECT_TRUE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 1);
  EXPECT_FALSE(app::FileExists(app::kStatusFile));
  EXPECT_THAT(log.Lines(), ElementsAre("info|Waiting for ZyraHandler to provision the room",
                                       "info|Room provision completed.",
                                       "info|Room provision result: Room already provisioned."));
}

TEST_F(HandOff, PlaceholderIsWrittenBeforeTheFirstPoll) {
  std::string seen;
  Before(1, [&] {
    ASSERT_TRUE(app::ReadWholeFile(app::kStatusFile, seen));
    Writes("Room provision success.")();
  });
  EXPECT_TRUE(app::HandOffToHandler());
  EXPECT_EQ(seen, "Provisioning room. Please wait...");
}

TEST_F(HandOff, SilentHandlerTimesOutAfterTenPolls) {
  zyra_test::CapturedLog log;
  EXPECT_FALSE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 10);
  EXPECT_EQ(secondsSlept_, 300);
  const auto lines = log.Lines();
  EXPECT_EQ(Count(lines, "info|Provisioning room. Please wait..."), 10);
  EXPECT_EQ(lines.back(), "info|Timeout! ZyraHandler has not completed room provision.");
  EXPECT_FALSE(app::FileExists(app::kStatusFile));
}

TEST_F(HandOff, ProgressTextExtendsTheWaitOnceToTwentyPolls) {
  zyra_test::CapturedLog log;
  Before(3, Writes("Zyra update started. Please wait..."));
  Before(15, Writes("Zyra update started. Please wait..."));  // seen again: no second extension
  EXPECT_FALSE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 20);
  const auto lines = log.Lines();
  EXPECT_EQ(lines[lines.size() - 2], "info|Room provision completed.");
  EXPECT_EQ(lines.back(), "info|Room provision result: Zyra update started. Please wait...");
}

// The handler removed the file before the first poll and never wrote it:
// nothing was read in the whole wait, which ends as a time-out.
TEST_F(HandOff, WaitThatReadNothingEndsWithTheTimeoutLine) {
  zyra_test::CapturedLog log;
  Before(1, [] { app::DeleteFileIfExists(app::kStatusFile); });
  EXPECT_FALSE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 10);
  const auto lines = log.Lines();
  EXPECT_EQ(Count(lines, "info|Cannot get room provision result. Will retry..."), 10);
  EXPECT_EQ(lines.back(), "info|Timeout! ZyraHandler has not completed room provision.");
  EXPECT_THAT(lines, Not(Contains("info|Room provision completed.")));
}

TEST_F(HandOff, ProgressThenVerdictSucceeds) {
  Before(2, Writes("Zyra update started. Please wait..."));
  Before(14, Writes("Room provision success."));
  EXPECT_TRUE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 14);
}

TEST_F(HandOff, OnlyTheExactSuccessTextsCount) {
  for (const std::string verdict :
       {"Room provision success.\n", "room provision success.", " Room provision success.",
        "Room provision failed: no calendar."}) {
    SCOPED_TRACE(verdict);
    zyra_test::CapturedLog log;
    polls_ = 0;
    Before(1, Writes(verdict));
    EXPECT_FALSE(app::HandOffToHandler());
    EXPECT_EQ(polls_, 1);
    // Logged on one line, a line break as \n.
    std::string logged = verdict;
    if (logged.back() == '\n') logged.replace(logged.size() - 1, 1, "\\n");
    EXPECT_THAT(log.Lines(), Contains("info|Room provision result: " + logged));
  }
}

TEST_F(HandOff, UnreadableFileIsRetriedAndTheLastContentReadIsReturned) {
  zyra_test::CapturedLog log;
  Before(2, Writes("Zyra update started. Please wait..."));
  Before(3, [] { app::DeleteFileIfExists(app::kStatusFile); });
  EXPECT_FALSE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 20);
  const auto lines = log.Lines();
  EXPECT_EQ(Count(lines, "info|Cannot get room provision result. Will retry..."), 18);
  EXPECT_EQ(lines.back(), "info|Room provision result: Zyra update started. Please wait...");
}

TEST_F(HandOff, EmptyFileIsRetried) {
  zyra_test::CapturedLog log;
  Before(1, Writes(""));
  Before(4, Writes("Room provision success."));
  EXPECT_TRUE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 4);
  EXPECT_EQ(Count(log.Lines(), "info|Cannot get room provision result. Will retry..."), 3);
}

TEST(ResultFile, HoldsOneCrLfTerminatedLine) {
  w::SHCreateDirectoryExA("C:\\Windows\\Temp\\CorvZyra");
  app::WriteResultFile(app::ResultCode::ProvisioningInProgress, false);
  EXPECT_EQ(zyra_test::ReadBytes(app::kResultFile), "9\r\n");
  app::WriteResultFile(app::ResultCode::RoomProvisioningFailed, true);
  EXPECT_EQ(zyra_test::ReadBytes(app::kResultFile), "provision_result_code: 125\r\n");
  app::WriteResultFile(app::ResultCode::RoomProvisioned, true);
  EXPECT_EQ(zyra_test::ReadBytes(app::kResultFile), "provision_result_code: 0\r\n");
  app::DeleteFileIfExists(app::kResultFile);
}

TEST(ResultCodeDescription, NamesEveryCodeAndUnknownOnes) {
  EXPECT_STREQ(app::ResultCodeDescription(app::ResultCode::RoomProvisioned),
               "Room successfully provisioned");
  EXPECT_STREQ(app::ResultCodeDescription(app::ResultCode::TokenNotFound),
               "Provisioning Token not found");
  EXPECT_STREQ(app::ResultCodeDescription(app::ResultCode::RoomProvisioningFailed),
               "Room provisioning failed");
  EXPECT_STREQ(app::ResultCodeDescription(static_cast<app::ResultCode>(77)), "UNKNOWN");
}

// Another process holds the status file shared for reading only, so the
// placeholder cannot replace the verdict an earlier attempt left there.
// Its time plays no part: one from before the run or from the future (the
// clock was ahead when it was written) is no answer either.
TEST_F(HandOff, AnOldVerdictThatCannotBeOverwrittenIsNoAnswer) {
  for (const int hours : {1, -1})
  for (const std::string old : {"Room provision success.", "Room already provisioned."}) {
    SCOPED_TRACE(old + " written " + std::to_string(hours) + " h before the run");
    polls_ = 0;
    LeftByAnEarlierAttempt(old, std::chrono::hours(hours));
    w::FileHandle held = w::CreateFileA(app::kStatusFile, w::kGenericRead, w::kFileShareRead,
                                        w::kOpenExisting, 0);
    ASSERT_TRUE(held.valid());
    zyra_test::CapturedLog log;
    EXPECT_FALSE(app::HandOffToHandler());
    EXPECT_EQ(polls_, 10);  // to the deadline, as for a handler that never answers
    const auto lines = log.Lines();
    EXPECT_EQ(lines.at(0), std::string("error|Cannot write the placeholder to ") +
                               app::kStatusFile + ": error 32.");
    EXPECT_EQ(lines.at(1), std::string("warning|Cannot write ") + app::kStatusFile +
                               ": its content is from before this run and is no result.");
    EXPECT_EQ(Count(lines, "info|Cannot get room provision result. Will retry..."), 10);
    EXPECT_EQ(lines.back(), "info|Timeout! ZyraHandler has not completed room provision.");
    EXPECT_THAT(lines, Not(Contains("info|Room provision result: " + old)));
    held.reset();
    app::DeleteFileIfExists(app::kStatusFile);
  }
}

TEST_F(HandOff, ANewVerdictAfterAnOldOneThatCouldNotBeOverwrittenCounts) {
  LeftByAnEarlierAttempt("Room provision failed.");
  auto held = std::make_shared<w::FileHandle>(w::CreateFileA(
      app::kStatusFile, w::kGenericRead, w::kFileShareRead, w::kOpenExisting, 0));
  ASSERT_TRUE(held->valid());
  // The holder lets go; the handler answers at the third poll.
  Before(3, [held] {
    held->reset();
    ASSERT_TRUE(app::WriteWholeFile(app::kStatusFile, "Room already provisioned."));
  });
  zyra_test::CapturedLog log;
  EXPECT_TRUE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 3);
  EXPECT_EQ(Count(log.Lines(), "info|Cannot get room provision result. Will retry..."), 2);
  EXPECT_THAT(log.Lines(), Contains("info|Room provision result: Room already provisioned."));
  EXPECT_FALSE(app::FileExists(app::kStatusFile));
}

// Held with no sharing at all while the placeholder is written, the old
// file can be neither written nor read; its holder lets go before the first
// poll. Its last-write time tells that it is from before this run.
TEST_F(HandOff, AnOldVerdictThatCouldNeitherBeWrittenNorReadIsNoAnswerOnceReleased) {
  LeftByAnEarlierAttempt("Room provision success.");
  auto held = std::make_shared<w::FileHandle>(
      w::CreateFileA(app::kStatusFile, w::kGenericRead, 0, w::kOpenExisting, 0));
  ASSERT_TRUE(held->valid()) << w::GetLastError();
  std::string unreadable = "not tried";
  EXPECT_FALSE(app::ReadWholeFile(app::kStatusFile, unreadable));
  Before(1, [held] { held->reset(); });
  zyra_test::CapturedLog log;
  EXPECT_FALSE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 10);
  const auto lines = log.Lines();
  EXPECT_EQ(lines.at(0), std::string("error|Cannot write the placeholder to ") + app::kStatusFile +
                             ": error 32.");
  EXPECT_EQ(lines.at(1), std::string("warning|Cannot write ") + app::kStatusFile +
                             ": its content is from before this run and is no result.");
  EXPECT_EQ(Count(lines, "info|Cannot get room provision result. Will retry..."), 10);
  EXPECT_EQ(lines.back(), "info|Timeout! ZyraHandler has not completed room provision.");
  EXPECT_THAT(lines, Not(Contains("info|Room provision result: Room provision success.")));
  EXPECT_FALSE(app::FileExists(app::kStatusFile));
}

// A verdict written during the wait counts whatever the clock says: here
// the clock was stepped back an hour before the handler answered.
TEST_F(HandOff, AVerdictWrittenAfterTheClockWasSteppedBackCounts) {
  LeftByAnEarlierAttempt("Room provision failed.");
  auto held = std::make_shared<w::FileHandle>(w::CreateFileA(
      app::kStatusFile, w::kGenericRead, w::kFileShareRead, w::kOpenExisting, 0));
  ASSERT_TRUE(held->valid());
  Before(2, [held] {
    held->reset();
    ASSERT_TRUE(app::WriteWholeFile(app::kStatusFile, "Room provision success."));
    SetAge(std::chrono::hours(2));
  });
  zyra_test::CapturedLog log;
  EXPECT_TRUE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 2);
  EXPECT_THAT(log.Lines(), Contains("info|Room provision result: Room provision success."));
}

// The same old text written again during the wait is a fresh answer: what
// counts is that the file changed, not what it says.
TEST_F(HandOff, TheOldTextWrittenAgainDuringTheWaitCounts) {
  LeftByAnEarlierAttempt("Room provision success.");
  auto held = std::make_shared<w::FileHandle>(w::CreateFileA(
      app::kStatusFile, w::kGenericRead, w::kFileShareRead, w::kOpenExisting, 0));
  ASSERT_TRUE(held->valid());
  Before(4, [held] {
    held->reset();
    ASSERT_TRUE(app::WriteWholeFile(app::kStatusFile, "Room provision success."));
  });
  zyra_test::CapturedLog log;
  EXPECT_TRUE(app::HandOffToHandler());
  EXPECT_EQ(polls_, 4);
  EXPECT_EQ(Count(log.Lines(), "info|Cannot get room provision result. Will retry..."), 3);
  EXPECT_THAT(log.Lines(), Contains("info|Room provision result: Room provision success."));
}
