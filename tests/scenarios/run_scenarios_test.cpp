// Whole runs of the stub's own course, on both machines: the token beside
// it, its command line, the log level.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/scenarios/scenario.h"

namespace zyra_scenarios {
namespace {

constexpr const char* kResultLine9 =
    "info  Result 9 is written to C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt";

long IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
}

// Level 0, as without a "log_level" value: every line is logged.
void LogEverything(ScenarioMachine& m) {
  m.SetRegistryDword(RegistryView::k64Bit, kStubSettingsKey, "log_level", 0);
}

// No token: the interim result 9 is written first, then the error, and the
// run ends with 122.
TEST_P(Scenario, WithoutATokenEndsWith122AfterTheInterimNine) {
  LogEverything(*m);
  m->RemoveToken();
  RunStub();
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_EQ(m->ResultFileBytes(), "provision_result_code: 122\r\n");
  const auto& lines = run.consoleMessages;
  const long result9 = IndexOf(lines, kResultLine9);
  const long error = IndexOf(lines, "error  Cannot find provision token.");
  ASSERT_GE(result9, 0) << run.stdoutText;
  ASSERT_GE(error, 0) << run.stdoutText;
  EXPECT_LT(result9, error);
  EXPECT_EQ(IndexOf(lines, "info  Running CorvZyraProvisionStub version 3.1.112"), result9 - 1);
  EXPECT_THAT(RunThreadTail(lines, 3), ElementsAre("info  CorvZyraProvisionStub completed.",
                                                   "info  provision_result_code 122",
                                                   "info  Provisioning Token not found"));
  // The log file holds the same lines, with CR LF.
  EXPECT_THAT(m->LogText(), HasSubstr("  error  Cannot find provision token.\r\n"));
}

// Whatever the command line holds, the run is the same.
TEST_P(Scenario, ArgumentsAreIgnored) {
  LogEverything(*m);
  m->RemoveToken();
  const auto plain = m->RunStub();
  const auto withArgs = m->RunStubWithArguments({"/S", "--help", "-v", "", "C:\\x y", "\xff\xfe"});
  EXPECT_EQ(plain.exitCode, 122);
  EXPECT_EQ(withArgs.exitCode, 122);
  // The clean-up thread names itself at its own pace: leave its line out.
  auto mainThread = [](std::vector<std::string> lines) {
    lines.erase(std::remove(lines.begin(), lines.end(), "debug  thread: CleanupDownloadLocation"),
                lines.end());
    return lines;
  };
  EXPECT_EQ(mainThread(plain.consoleMessages), mainThread(withArgs.consoleMessages));
}

TEST_P(Scenario, EmptyTokenCannotBeCopied) {
  LogEverything(*m);
  m->PutToken("");
  RunStub();
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot copy token to provision folder."));
  EXPECT_EQ(m->ResultFileBytes(), "provision_result_code: 122\r\n");
}

TEST_P(Scenario, LogLevelFourShowsErrorsOnly) {
  m->SetRegistryDword(RegistryView::k64Bit, kStubSettingsKey, "log_level", 4);
  m->RemoveToken();
  RunStub();
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_THAT(run.consoleMessages, ElementsAre("error  Cannot find provision token."));
  EXPECT_THAT(m->LogText(), Not(HasSubstr("CorvZyraProvisionStub completed.")));
}

}  // namespace
}  // namespace zyra_scenarios
