// The real stub in fresh emulated machines, under libfaketime (x100), with
// the handler double on the other side of the status file.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/machine.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using zyra_test::EmulatedMachine;
namespace fs = std::filesystem;

namespace {

constexpr const char* kResultLine9 =
    "info  Result 9 is written to C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt";

long IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
}

long Count(const std::vector<std::string>& lines, const std::string& line) {
  return std::count(lines.begin(), lines.end(), line);
}

// The last n lines of the run's own thread (the clean-up thread names itself
// at its own pace, possibly after the run's last line).
std::vector<std::string> Tail(std::vector<std::string> lines, std::size_t n) {
  lines.erase(std::remove(lines.begin(), lines.end(), "debug  thread: CleanupDownloadLocation"),
              lines.end());
  return std::vector<std::string>(lines.end() - static_cast<long>(std::min(n, lines.size())),
                                  lines.end());
}

class Run : public ::testing::Test {
 protected:
  void SetUp() override { m.InstallStub(); }
  EmulatedMachine m;
};

}  // namespace

TEST_F(Run, WithoutATokenEndsWith122AfterTheInterimNine) {
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 122\r\n");
  const auto& lines = run.consoleMessages;
  const long result9 = IndexOf(lines, kResultLine9);
  const long error = IndexOf(lines, "error  Cannot find provision token.");
  ASSERT_GE(result9, 0) << run.stdoutText;
  ASSERT_GE(error, 0) << run.stdoutText;
  EXPECT_LT(result9, error);
  EXPECT_EQ(IndexOf(lines, "info  Running CorvZyraProvisionStub version 3.1.112"), result9 - 1);
  EXPECT_THAT(Tail(lines, 3), ElementsAre("info  CorvZyraProvisionStub completed.",
                                          "info  provision_result_code 122",
                                          "info  Provisioning Token not found"));
  // The log file holds the same lines, with CR LF.
  const std::string log = m.ReadFile(m.LogFile());
  EXPECT_THAT(log, HasSubstr("  error  Cannot find provision token.\r\n"));
}

TEST_F(Run, ArgumentsAreIgnored) {
  const auto plain = m.RunStub();
  const auto withArgs = m.RunStub({"/S", "--help", "-v", "", "C:\\x y", "\xff\xfe"});
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

TEST_F(Run, EmptyTokenCannotBeCopied) {
  m.PutToken("");
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot copy token to provision folder."));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 122\r\n");
}

TEST_F(Run, LockedTokenIsNotFound) {
  m.PutToken("{\"token\":\"abc\"}");
  const int fd = ::open(m.C("Program Files/CorvZyra/CorvZyraProvisionToken.json").c_str(),
                        O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const auto run = m.RunStub();
  ::close(fd);
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot find provision token."));
}

TEST_F(Run, HandlerSuccessProvisionsTheRoom) {
  const std::string token = "{\"orgId\":\"42\"}\n\x01\x02 opaque bytes";
  m.PutToken(token);
  fs::create_directories(m.C("ProgramData/Corvane/CorvZyra"));
  std::ofstream(m.C("ProgramData/Corvane/CorvZyra/provision-token.data")) << "an older token";
  m.ReadyForHandOff({"--behaviour", "success"});
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 0\r\n");
  // The handler service picked up the staged token, whole.
  EXPECT_THAT(m.ReadFile(m.root() + "/handler.out"),
              HasSubstr("picked up the provisioning token (" + std::to_string(token.size()) +
                        " bytes)"));
  EXPECT_FALSE(m.Exists(m.C("Windows/Temp/CorvZyra/Zyrahandler_provisionstub.txt")));
  EXPECT_THAT(Tail(run.consoleMessages, 5),
              ElementsAre("info  Room provision completed.",
                          "info  Room provision result: Room provision success.",
                          "info  CorvZyraProvisionStub completed.",
                          "info  provision_result_code 0", "info  Room successfully provisioned"));
  EXPECT_EQ(Count(run.consoleMessages, "info  Waiting for ZyraHandler to provision the room"), 1);
}

TEST_F(Run, AlreadyProvisionedCountsAsSuccess) {
  m.PutToken("t");
  m.ReadyForHandOff({"--behaviour", "already"});
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages,
              Contains("info  Room provision result: Room already provisioned."));
}

TEST_F(Run, SilentHandlerTimesOutAfterTenPolls) {
  m.PutToken("t");
  m.ReadyForHandOff({"--behaviour", "silent"});
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 125);
  EXPECT_EQ(Count(run.consoleMessages, "info  Provisioning room. Please wait..."), 10);
  EXPECT_THAT(Tail(run.consoleMessages, 4),
              ElementsAre("info  Timeout! ZyraHandler has not completed room provision.",
                          "info  CorvZyraProvisionStub completed.",
                          "info  provision_result_code 125", "info  Room provisioning failed"));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 125\r\n");
  EXPECT_FALSE(m.Exists(m.C("Windows/Temp/CorvZyra/Zyrahandler_provisionstub.txt")));
}

TEST_F(Run, ProgressWithoutVerdictWaitsTwentyPolls) {
  m.PutToken("t");
  m.ReadyForHandOff({"--behaviour", "progress", "--then", "none"});
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 125);
  EXPECT_EQ(Count(run.consoleMessages, "info  Zyra update started. Please wait..."), 20);
  EXPECT_THAT(run.consoleMessages,
              Contains("info  Room provision result: Zyra update started. Please wait..."));
}

TEST_F(Run, VerdictWithATrailingLineBreakIsAFailure) {
  m.PutToken("t");
  m.ReadyForHandOff({"--behaviour", "trailing-newline"});
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 125);
  // One log line: the line break shows as \n.
  EXPECT_THAT(run.stdoutText, HasSubstr("  info  Room provision result: Room provision success.\\n\n"));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 125\r\n");
}

TEST_F(Run, LogLevelFourShowsErrorsOnly) {
  m.SetLogLevel(4);
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_THAT(run.consoleMessages, ElementsAre("error  Cannot find provision token."));
  EXPECT_THAT(m.ReadFile(m.LogFile()), Not(HasSubstr("CorvZyraProvisionStub completed.")));
}

TEST_F(Run, LogLevelSixLogsNothingAndChangesNothing) {
  m.SetLogLevel(6);
  m.PutToken("t");
  m.ReadyForHandOff({"--behaviour", "success"});
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.stdoutText, "");
  EXPECT_EQ(m.ReadFile(m.LogFile()), "");
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 0\r\n");
}

TEST_F(Run, WithoutTheExchangeFolderNoResultFileIsWrittenButTheCodeStands) {
  fs::create_directories(m.C("Temp"));
  const auto run = m.RunStub({}, {{"TMP", "C:\\Temp"}});
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_FALSE(m.Exists(m.C("Windows/Temp/CorvZyra")));
  EXPECT_TRUE(fs::is_directory(m.C("Temp/CorvZyra/ZHDownload")));
  EXPECT_THAT(Tail(run.consoleMessages, 1), ElementsAre("info  Provisioning Token not found"));
}

TEST_F(Run, UserDataFolderIsUsedWhenTheMachineWideOneIsMissing) {
  m.ReadyForHandOff({"--behaviour", "success"});
  fs::create_directories(m.root() + "/cwd");
  // Without a machine-wide data folder the configuration is read from the
  // current folder.
  fs::rename(m.C("ProgramData/Corvane/CorvZyra/zyra-config.json"), m.root() + "/cwd/zyra-config.json");
  fs::remove_all(m.C("ProgramData"));
  fs::create_directories(m.C("users/kiosk/AppData/Roaming"));
  m.PutToken("user token");
  const auto run = m.RunStub({}, {{"USER", "kiosk"}}, m.root() + "/cwd");
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_EQ(m.ReadFile(m.C("users/kiosk/AppData/Roaming/Corvane/CorvZyra/provision-token.data")),
            "user token");
  // Without a machine-wide data folder the log lands in the current folder.
  EXPECT_THAT(m.ReadFile(m.root() + "/cwd/CorvZyraProvisionStub.log"),
              HasSubstr("Room successfully provisioned"));
}
