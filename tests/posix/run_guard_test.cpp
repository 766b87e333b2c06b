// The whole run in this process: whatever throws, from the set-up steps to
// the clean-up thread, the run still ends with its final result line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "app/file_helpers.h"
#include "app/provisioning_run.h"
#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/shell.h"

using ::testing::Contains;
using ::testing::HasSubstr;
namespace w = platform::win;

namespace {

// Records every message; the first message starting with throwAt throws
// something outside the standard exceptions, which the logging library
// passes on to the caller of the log call.
class ThrowingSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit ThrowingSink(std::string throwAt) : throwAt_(std::move(throwAt)) {}
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string text(msg.payload.data(), msg.payload.size());
    lines_.push_back(std::string(spdlog::level::to_string_view(msg.level).data()) + "|" + text);
    if (!thrown_ && !throwAt_.empty() && text.rfind(throwAt_, 0) == 0) {
      thrown_ = true;
      throw 42;
    }
  }
  void flush_() override {}

 private:
  std::string throwAt_;
  bool thrown_ = false;
  std::vector<std::string> lines_;
};

class RunGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    w::SetSleepHookForTesting([](w::DWORD) {});
    app::DeleteFileIfExists(app::kResultFile);
  }
  void TearDown() override {
    app::SetCleanupListerForTesting(nullptr);
    w::SetSleepHookForTesting(nullptr);
    logging::LoggerHolder::Instance().ResetForTesting();
  }
  std::shared_ptr<ThrowingSink> Install(const std::string& throwAt) {
    auto sink = std::make_shared<ThrowingSink>(throwAt);
    logging::LoggerHolder::Instance().Set(std::make_shared<spdlog::logger>("test", sink));
    logging::Logger()->set_level(spdlog::level::trace);
    return sink;
  }
  static std::string ResultLine() {
    std::string text;
    return app::ReadWholeFile(app::kResultFile, text) ? text : "<none>";
  }
};

}  // namespace

TEST_F(RunGuard, AnExceptionInTheSetUpStepsStillEndsTheRunWithItsFinalLine) {
  // Thrown by the version line, step 8, before the token is looked for.
  auto sink = Install("Running CorvZyraProvisionStub version");
  app::ResultCode code = app::ResultCode::ProvisioningInProgress;
  ASSERT_NO_THROW(code = app::ProvisioningRun());
  EXPECT_EQ(code, app::ResultCode::RoomProvisioningFailed);
  EXPECT_EQ(ResultLine(), "provision_result_code: 125\n");
  const auto lines = sink->Lines();
  EXPECT_THAT(lines, Contains("error|Provisioning stopped by an unexpected error."));
  EXPECT_THAT(lines, Contains("info|CorvZyraProvisionStub completed."));
  EXPECT_THAT(lines, Contains("info|provision_result_code 125"));
  EXPECT_THAT(lines, Contains("info|Room provisioning failed"));
}

TEST_F(RunGuard, AnExceptionInTheCleanupThreadIsLoggedAndTheRunGoesOn) {
  auto sink = Install("");
  // The clean-up lists only a download folder that is there when it runs:
  // made beforehand, the thread never races the run to it.
  ASSERT_TRUE(app::PrepareDownloadFolder());
  app::SetCleanupListerForTesting([](const std::string&) -> std::vector<std::string> {
    throw std::runtime_error("listing broke");
  });
  app::ResultCode code = app::ResultCode::ProvisioningInProgress;
  ASSERT_NO_THROW(code = app::ProvisioningRun());
  // No token beside this test program: the run goes on to token staging.
  EXPECT_EQ(code, app::ResultCode::TokenNotFound);
  EXPECT_EQ(ResultLine(), "provision_result_code: 122\n");
  EXPECT_THAT(sink->Lines(),
              Contains("error|CleanupDownloadLocation stopped by an unexpected error: listing broke"));
  EXPECT_THAT(sink->Lines(), Contains("error|Cannot find provision token."));
}
