// Whole runs of the hand-off to the handler service, on both machines: the
// service that cannot start, old verdicts left in the status file, the
// exchange folder the handler made.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "tests/scenarios/scenario.h"

namespace zyra_scenarios {
namespace {

// The handler service is registered, but its program is not there: the stop
// finds it stopped, the start fails, and the run ends with 125 without
// waiting for a verdict.
TEST_P(Scenario, UnstartableHandlerServiceEndsWith125) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m->OfferAgent({"1.0.0"});
  m->RegisterUnstartableHandlerService();
  RunStub();
  ExpectEndedWith(125);
  ExpectLogged({"info  ZyraAgent is up to date.",
                "info  [ServiceInstaller::Stop] - Stop request",
                "debug  [ServiceInstaller::Stop] - Will try to open CorvZyraHandler service.",
                "info  [ServiceInstaller::Stop] - CorvZyraHandler is stopped.",
                "debug  [ServiceInstaller::Start] - Attempting to start the service.",
                "error  [ServiceInstaller::Start] - CorvZyraHandler failed to start"});
  ExpectNotLogged("info  [ServiceInstaller::Start] - CorvZyraHandler started.");
  ExpectNotLogged("info  Waiting for ZyraHandler to provision the room");
  // Why no verdict can come, with the start's error (the program is not
  // there: 2 on the emulated machine) and Windows' words for it.
  ExpectNextMatches("error  [ServiceInstaller::Start] - CorvZyraHandler failed to start",
                    "error  ZyraHandler cannot answer: the handler service CorvZyraHandler could "
                    "not be started, error [0-9]+(: .+|\\.)");
  if (m->Kind() == "emulated")
    ExpectLogged({"error  ZyraHandler cannot answer: the handler service CorvZyraHandler could "
                  "not be started, error 2: The system cannot find the file specified."});
  ExpectInstallerNeverRan();
}

// The handler service's program ends at once, before it reports anything
// to the service manager. Where the manager starts it and the start then
// gives up on it ("Service not started.", the emulated machine), the run
// names the cause and then waits to its deadline as ever; where the start
// itself fails (Wine: the service never answered), it names the cause and
// ends without the wait. 125 either way. (Which state the start last saw
// depends on how soon the program is gone; the tests of the restart itself
// pin the words for state 1 and exit code 1067.)
TEST_P(Scenario, HandlerServiceThatEndsAtOnceIsNamedAsTheCause) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m->OfferAgent({"1.0.0"});
  m->RegisterHandlerService({"--behaviour", "end-at-once"});
  RunStub();
  ExpectEndedWith(125);
  const auto log = m->LogMessages();
  const std::regex cause(
      "error  ZyraHandler cannot answer: the handler service CorvZyraHandler (is not running "
      "\\(state [0-9]+, [a-z ]+\\), exit code|could not be started, error) [0-9]+(: .+|\\.)");
  const auto at = std::find_if(log.begin(), log.end(),
                               [&](const std::string& l) { return std::regex_match(l, cause); });
  ASSERT_NE(at, log.end()) << Joined(log);
  EXPECT_EQ(CountStartingWith(log, "error  ZyraHandler cannot answer: "), 1);
  const auto wait = std::find(log.begin(), log.end(), "info  Waiting for ZyraHandler to provision the room");
  if (wait != log.end()) {
    EXPECT_GT(wait, at) << Joined(log);
    ExpectLogged({"info  Timeout! ZyraHandler has not completed room provision."});
  }
  ExpectInstallerNeverRan();
}

// A success an earlier attempt left in the status file, which another
// program holds open for reading only: it can be neither removed nor
// replaced by the placeholder, so that old text is no answer to this run,
// though its last-write time lies an hour ahead (the clock was ahead when
// it was written). The handler never answers; the run waits to its deadline
// (295 s, real time under Wine) and ends with 125.
TEST_P(Scenario, OldSuccessVerdictThatCannotBeOverwrittenEndsWith125Not0) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m->OfferAgent({"1.0.0"});
  m->RegisterHandlerService({"--behaviour", "silent"});
  if (!m->HoldOldStatusFile("Room provision success."))
    GTEST_SKIP() << "this Windows build has no zyra-file-holder.exe (built with its tests)";
  std::filesystem::last_write_time(
      m->WindowsTempOnHost() + "/CorvZyra/Zyrahandler_provisionstub.txt",
      std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  RunStub();
  ExpectOldVerdictWasNoAnswer({"warning  Cannot remove C:\\Windows\\Temp\\CorvZyra\\"
                               "Zyrahandler_provisionstub.txt, left by an earlier run (error 32): "
                               "only a change to it during this run counts as the handler's answer.",
                               "info  ZyraAgent is up to date.",
                               "info  [ServiceInstaller::Start] - CorvZyraHandler started."});
  ExpectInstallerNeverRan();
}

// The same old success, but held by a program that shares nothing at all
// while the placeholder is written (so the file can be neither written nor
// read) and lets go before the first poll: the file's last-write time shows
// it is from before this run, so it is never read as the handler's answer.
TEST_P(Scenario, OldSuccessHeldWithNoSharingThroughThePlaceholderEndsWith125Not0) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m->OfferAgent({"1.0.0"});
  m->RegisterHandlerService({"--behaviour", "silent"});
  if (!m->HoldOldStatusFileUntilTheWait("Room provision success."))
    GTEST_SKIP() << "this Windows build has no zyra-file-holder.exe (built with its tests)";
  RunStub();
  ExpectOldVerdictWasNoAnswer({"info  [ServiceInstaller::Start] - CorvZyraHandler started."});
  // The old text is gone with the run.
  EXPECT_EQ(m->ExchangeFileBytes("Zyrahandler_provisionstub.txt"), std::nullopt);
}

// "CorvZyra" as the handler service makes it in C:\Windows\Temp, with the
// entries it inherits there (other accounts may add files): the run uses it
// as it stands (the update downloaded into it, the handler's own file and
// the folder's access left alone), says nothing about it, and the room is
// provisioned.
TEST_P(Scenario, TheHandlersExchangeFolderIsUsedAsItStands) {
  if (!m->MakeExchangeFolderAsTheHandler()) GTEST_SKIP() << "this machine cannot show it";
  m->WriteExchangeFile("handler-own.txt", "the handler's");
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  OfferAndRun({"2.0.0"});
  ExpectEndedWith(0);
  ExpectInstallerRanSilentlyOnce();
  EXPECT_EQ(m->ExchangeFileBytes("handler-own.txt"), "the handler's");
  EXPECT_EQ(m->ExchangeFolderPermissions(), std::filesystem::perms::all);
  for (const auto& name : m->TempFolder())
    EXPECT_EQ(name.find("untrusted"), std::string::npos) << name;
  ExpectLogged({"info  Running CorvZyraProvisionStub version 3.1.112",
                "info  Waiting for ZyraHandler to provision the room",
                "info  Room provision result: Room provision success."});
  for (const auto& line : m->LogMessages()) {
    EXPECT_NE(line.rfind("warning", 0), 0u) << line;
    EXPECT_NE(line.rfind("error", 0), 0u) << line;
  }
}

// No "CorvZyraHandler" service at all: the stop cannot open it, the start is
// still tried and cannot open it either, and the run ends with 125.
TEST_P(Scenario, HandlerServiceThatIsNotInstalledIsStillStartedAndTheRunEndsWith125) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m->OfferAgent({"1.0.0"});
  m->LeaveHandlerServiceUnregistered();
  RunStub();
  ExpectEndedWith(125);
  ExpectLogged({"error  [ServiceInstaller::Stop] - OpenService failed with error 0x00000424",
                "debug  [ServiceInstaller::Start] - Attempting to start the service.",
                "error  [ServiceInstaller::Start] - OpenService failed with error 0x00000424",
                "error  ZyraHandler cannot answer: the handler service is not installed "
                "(CorvZyraHandler, error 0x00000424)."});
  ExpectInstallerNeverRan();
}

}  // namespace
}  // namespace zyra_scenarios
