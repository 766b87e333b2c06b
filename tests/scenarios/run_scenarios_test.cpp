// Whole runs of the stub's own course, on both machines: the token beside
// it, its command line, the log level, the temporary folder, the handler's
// verdict read from the status file, what the result file holds while the
// run goes on, and how the installed version is reported.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
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

// The agent is current (1.0.0 installed and offered) and the handler
// service plays handlerArgs.
void ReadyForHandOff(ScenarioMachine& m, const std::vector<std::string>& handlerArgs) {
  m.SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m.OfferAgent({"1.0.0"});
  m.RegisterHandlerService(handlerArgs);
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

// The temporary folder elsewhere than C:\Windows\Temp: the download folder
// is made there, C:\Windows\Temp\CorvZyra is not, so no result file is
// written, but the exit code stands.
TEST_P(Scenario, WithoutTheExchangeFolderNoResultFileIsWrittenButTheCodeStands) {
  LogEverything(*m);
  m->RemoveToken();
  m->SetTempFolder("Temp");
  RunStub();
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_FALSE(std::filesystem::exists(m->WindowsTempOnHost() + "/CorvZyra"));
  EXPECT_TRUE(std::filesystem::is_directory(m->DriveCOnHost("Temp/CorvZyra/ZHDownload")));
  EXPECT_THAT(RunThreadTail(run.consoleMessages, 1),
              ElementsAre("info  Provisioning Token not found"));
}

// The stub in a folder, and the temporary folder, named beyond any one
// legacy code page (Greek, Cyrillic, Japanese; the handler made the exchange
// folder in C:\Windows\Temp, as it does): the token is found beside the
// stub, the installer is downloaded, validated and run in the temporary
// folder under its own name, and the room is provisioned.
TEST_P(Scenario, NonAsciiProgramAndTemporaryFoldersWork) {
  const std::string program = "Program Files/CorvZyra Ωμέγα Приём 会議室";
  const std::string temp = "Temp/Zyra Ü Ω Ж 会";
  m->MoveStubTo(program);
  m->SetTempFolder(temp);
  if (!m->MakeExchangeFolderAsTheHandler()) GTEST_SKIP() << "this machine cannot show it";
  OfferAndRun({"2.4.1"});
  ExpectEndedWith(0);
  ExpectLogged({"info  Downloading ZyraAgent 2.4.1", "info  ZyraAgent version 2.4.1 installed.",
                "info  Room provision result: Room provision success."});
  ExpectInstallerRanSilentlyOnce();
  EXPECT_EQ(HandlerLines("picked up the provisioning token"), 1) << m->HandlerLog();
  // The installer stays in the download folder, which has the temporary
  // folder's own name (not one mangled through a code page).
  std::vector<std::string> left;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(
           m->DriveCOnHost(temp + "/CorvZyra/ZHDownload"), ec))
    left.push_back(e.path().filename().string());
  EXPECT_FALSE(ec) << ec.message();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("CorvZyraAgent-Setup-", 0), 0u) << left[0];
}

// The handler answers success: the token is staged whole (over an older
// one), the status file goes, and the room is provisioned.
TEST_P(Scenario, HandlerSuccessProvisionsTheRoom) {
  LogEverything(*m);
  const std::string token = "{\"orgId\":\"42\"}\n\x01\x02 opaque bytes";
  m->PutToken(token);
  std::filesystem::create_directories(m->DataFolderOnHost());
  std::ofstream(m->DataFolderOnHost() + "/provision-token.data") << "an older token";
  // The placeholder of an earlier run that was cut off during its wait: it
  // goes before the handler is restarted, so the handler answers this run.
  m->WriteExchangeFile("Zyrahandler_provisionstub.txt", "Provisioning room. Please wait...");
  ReadyForHandOff(*m, {"--behaviour", "success"});
  RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_EQ(m->ResultFileBytes(), "provision_result_code: 0\r\n");
  ExpectLogged({"info  Removed C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt, left by an "
                "earlier run.",
                "info  ZyraAgent is up to date.", "info  Waiting for ZyraHandler to provision the room"});
  EXPECT_EQ(HandlerLines("wrote \"Room provision success.\""), 1);
  // The handler service picked up the staged token, whole.
  EXPECT_THAT(m->HandlerLog(), HasSubstr("picked up the provisioning token (" +
                                         std::to_string(token.size()) + " bytes)"));
  EXPECT_EQ(m->ExchangeFileBytes("Zyrahandler_provisionstub.txt"), std::nullopt);
  EXPECT_THAT(RunThreadTail(run.consoleMessages, 5),
              ElementsAre("info  Room provision completed.",
                          "info  Room provision result: Room provision success.",
                          "info  CorvZyraProvisionStub completed.",
                          "info  provision_result_code 0", "info  Room successfully provisioned"));
  EXPECT_EQ(
      CountExactly(run.consoleMessages, "info  Waiting for ZyraHandler to provision the room"), 1);
}

TEST_P(Scenario, AlreadyProvisionedCountsAsSuccess) {
  LogEverything(*m);
  m->PutToken("t");
  ReadyForHandOff(*m, {"--behaviour", "already"});
  RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages,
              Contains("info  Room provision result: Room already provisioned."));
}

TEST_P(Scenario, VerdictWithATrailingLineBreakIsAFailure) {
  LogEverything(*m);
  m->PutToken("t");
  ReadyForHandOff(*m, {"--behaviour", "trailing-newline"});
  RunStub();
  EXPECT_EQ(run.exitCode, 125);
  // One log line: the line break shows as \n (the console's lines end in
  // CR LF under Windows, in LF on the emulated machine).
  EXPECT_THAT(run.consoleMessages,
              Contains("info  Room provision result: Room provision success.\\n"));
  EXPECT_EQ(m->ResultFileBytes(), "provision_result_code: 125\r\n");
}

TEST_P(Scenario, LogLevelSixLogsNothingAndChangesNothing) {
  m->SetRegistryDword(RegistryView::k64Bit, kStubSettingsKey, "log_level", 6);
  m->PutToken("t");
  ReadyForHandOff(*m, {"--behaviour", "success"});
  RunStub();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.stdoutText, "");
  EXPECT_EQ(m->LogText(), "");
  EXPECT_EQ(m->ResultFileBytes(), "provision_result_code: 0\r\n");
}

// Agent current: the handler is restarted, then 8 is written before the
// hand-off begins.
TEST_P(Scenario, TheResultFileHoldsEightWhileTheHandlerIsWaitedFor) {
  LogEverything(*m);
  m->PutToken(kRunToken);
  ReadyForHandOff(*m, {"--behaviour", "success"});
  RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(m->HandlerLog(), HasSubstr("zyra-handler-double: result file holds \"8\"\n"));
  EXPECT_EQ(m->ResultFileBytes(), "provision_result_code: 0\r\n");
}

TEST_P(Scenario, TheResultFileHoldsEightOnceTheInstallerIsDownloaded) {
  LogEverything(*m);
  m->PutToken(kRunToken);
  OfferAndRun({"2.4.1"});
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  // The installer double records the result file as it finds it.
  EXPECT_EQ(m->InstallerSawResult(), "8\r\n");
}

TEST_P(Scenario, AnInstalledFourPartVersionIsReportedWithThreeParts) {
  LogEverything(*m);
  m->PutToken(kRunToken);
  m->RegisterHandlerService({"--behaviour", "success"});
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.2.3.4");
  m->OfferAgent({"1.2.3"});
  RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("info  Current ZyraAgent version is 1.2.3"));
  EXPECT_THAT(run.consoleMessages, Contains("info  ZyraAgent is up to date."));
}


// A second run started while the first waits for the handler waits in turn
// for the first to end, says so, and then runs as usual: the first's
// success stands, and the second ends 0 on the provisioned room.
TEST_P(Scenario, ASecondRunWaitsForTheFirstAndEndsZeroOnTheProvisionedRoom) {
  std::unique_ptr<zyra_test::BackgroundStub> first, second;
  StartASecondRunWhileTheFirstWaits(first, second);
  if (HasFatalFailure()) return;
  // Nothing of the second run before the first has ended.
  EXPECT_EQ(Logged("info  Running CorvZyraProvisionStub version 3.1.112"), 1);
  TellTheHandlerToAnswer();
  const StubRun firstRun = first->Wait();
  run = second->Wait();
  EXPECT_EQ(firstRun.exitCode, 0) << firstRun.stdoutText;
  ExpectEndedWith(0);
  EXPECT_EQ(run.stdoutText.rfind(kLockBusy, 0), 0u) << run.stdoutText;
  const auto log = m->LogMessages();
  const auto waited = std::find_if(log.begin(), log.end(), [](const std::string& line) {
    return line.rfind("warning  Waited ", 0) == 0 &&
           line.find(" s for another CorvZyraProvisionStub run to end.") != std::string::npos;
  });
  ASSERT_NE(waited, log.end()) << Joined(log);
  // The first run's whole course, then the second's.
  const auto firstEnd = std::find(log.begin(), log.end(), "info  Room successfully provisioned");
  EXPECT_LT(firstEnd, waited);
  ExpectLogged({"info  Room provision result: Room provision success.",
                "info  Room successfully provisioned", waited->c_str(),
                "info  Running CorvZyraProvisionStub version 3.1.112",
                "info  Room provision result: Room already provisioned.",
                "info  Room successfully provisioned"});
  ExpectNotLogged("info  Timeout! ZyraHandler has not completed room provision.");
  EXPECT_EQ(HandlerLines("wrote \"Room provision success.\""), 1);
  EXPECT_EQ(HandlerLines("wrote \"Room already provisioned.\""), 1);
}

// The first run is cut off while it waits (killed, or the machine lost
// power) and a second one waits for it: the second takes over the lock its
// owner left, removes the placeholder the first left, and the handler,
// restarted, answers the second run.
TEST_P(Scenario, ARunCutOffDuringTheWaitLeavesTheNextOneToProvisionTheRoom) {
  std::unique_ptr<zyra_test::BackgroundStub> first, second;
  StartASecondRunWhileTheFirstWaits(first, second);
  if (HasFatalFailure()) return;
  first->Kill();
  ASSERT_TRUE(WaitUntil([&] { return Logged(kWaitingLine) == 2 || !second->Running(); }));
  ASSERT_EQ(Logged(kWaitingLine), 2) << second->Console();
  TellTheHandlerToAnswer();
  run = second->Wait();
  ExpectEndedWith(0);
  ExpectLogged({kWaitingLine,
                "warning  The run before this one ended without releasing its lock (it was "
                "stopped or the machine restarted): the lock is taken over.",
                "info  Removed C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt, left by an "
                "earlier run.",
                kWaitingLine, "info  Room provision result: Room provision success."});
  EXPECT_EQ(HandlerLines("wrote \"Room provision success.\""), 1);
}

}  // namespace
}  // namespace zyra_scenarios
