// Whole runs of the agent step, on both machines: what version is installed
// and offered, the installer's download, signature check and exit code.
// Every scenario checks the exit code, the exact bytes of the result file,
// the key lines of the log (in their order) and the installer double's
// record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/scenarios/scenario.h"

namespace zyra_scenarios {
namespace {

// A package bigger than a quarter of the 32-bit program's address space.
constexpr std::uint64_t kLargeInstallerBytes = 520ull * 1024 * 1024;

// Installed 1.0.0.7 is 1.0.0, as offered: the running handler service is
// restarted (stopped, 5 s, started), answers the placeholder, and the room
// is provisioned.
TEST_P(Scenario, AgentCurrentRestartsTheRunningHandler) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0.7");
  m->OfferAgent({"1.0.0"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub(/*handlerRunning=*/true);
  ExpectEndedWith(0);
  ExpectLogged({"info  Current ZyraAgent version is 1.0.0",
                "info  ZyraAgent is up to date.",
                "info  [ServiceInstaller::Stop] - Stopping CorvZyraHandler.",
                "info  [ServiceInstaller::Stop] - CorvZyraHandler is stopped.",
                "info  [ServiceInstaller::Start] - CorvZyraHandler started.",
                "info  Waiting for ZyraHandler to provision the room",
                "info  Room provision completed.",
                "info  Room provision result: Room provision success."});
  ExpectInstallerNeverRan();
  EXPECT_EQ(HandlerLines("wrote \"Room provision success.\""), 1) << m->HandlerLog();
  // Before the restart it found no token yet; after it, the staged one.
  EXPECT_EQ(HandlerLines("no provisioning token to pick up"), 1) << m->HandlerLog();
  EXPECT_EQ(HandlerLines("picked up the provisioning token"), 1) << m->HandlerLog();
}

// An installed agent at or above the offered version, however the two are
// written (a fourth part, a part of two digits, a pre-release offer): no
// installer, the handler service is started, the room is provisioned.
TEST_P(Scenario, AgentAtOrAboveTheOfferTakesTheUpToDateBranch) {
  m->RegisterHandlerService({"--behaviour", "success"});
  for (const auto& [installed, offered] :
       std::vector<std::pair<std::string, std::string>>{{"1.2.3.4", "1.2.3"},
                                                         {"1.10.0", "1.9.9"},
                                                         {"1.2.3", "1.2.3-beta"}}) {
    SCOPED_TRACE(installed + " vs " + offered);
    m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", installed);
    m->OfferAgent({offered});
    RunStub();
    EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
    EXPECT_EQ(m->ResultFileBytes(), "provision_result_code: 0\r\n");
    EXPECT_THAT(run.consoleMessages, Contains("info  ZyraAgent is up to date."));
    EXPECT_THAT(run.consoleMessages,
                Contains("info  [ServiceInstaller::Start] - CorvZyraHandler started."));
    ExpectInstallerNeverRan();
  }
}

// No agent: the signed installer double is downloaded and run with "/S",
// sets DisplayVersion and starts the handler service, which answers.
TEST_P(Scenario, FreshInstallRunsTheSignedInstallerSilently) {
  OfferAndRun({"2.4.1"});
  ExpectEndedWith(0);
  ExpectLogged({"info  No prior ZyraAgent found on the system",
                "info  Downloading ZyraAgent 2.4.1",
                "info  Installing ZyraAgent version 2.4.1.",
                "info  [platform::utils::RunInstallerSilently] - ZyraAgent installation "
                "completed. Return code: 0",
                "info  ZyraAgent version 2.4.1 installed.",
                "info  Waiting for ZyraHandler to provision the room",
                "info  Room provision result: Room provision success."});
  ExpectInstallerRanSilentlyOnce();
  EXPECT_EQ(m->RegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion"), "2.4.1");
  EXPECT_EQ(HandlerLines("wrote \"Room provision success.\""), 1) << m->HandlerLog();
  // The version manifest is never kept; the installer stays for the next clean-up.
  const auto left = m->DownloadFolder();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("CorvZyraAgent-Setup-", 0), 0u) << left[0];
}

// The installer changed after signing: its signature does not validate, it
// is deleted and never run; the run ends with 123.
TEST_P(Scenario, TamperedInstallerIsNeverRun) {
  AgentOffer offer{"3.0.0"};
  offer.tamperedInstaller = true;
  OfferAndRun(offer);
  ExpectEndedWith(123);
  ExpectLogged({"info  No prior ZyraAgent found on the system",
                "info  Downloading ZyraAgent 3.0.0",
                "error  Cannot download ZyraAgent 3.0.0."});
  // The refusal names its cause right before the line that reports it.
  const auto log = m->LogMessages();
  const std::regex refused(
      R"(error  \[DownloadManager::DownloadAndValidate\] - Signature \S+/CorvZyraAgent-Setup\.exe\.sig )"
      R"(does not validate \S+/CorvZyraAgent-Setup\.exe: the package is refused\. Result: 70006)");
  std::size_t at = 0;
  while (at < log.size() && !std::regex_match(log[at], refused)) ++at;
  ASSERT_LT(at + 1, log.size()) << "log:\n" << Joined(log);
  EXPECT_EQ(log[at + 1], "error  Cannot download ZyraAgent 3.0.0.");
  ExpectNotLogged("info  Installing ZyraAgent version 3.0.0.");
  ExpectInstallerNeverRan();
  EXPECT_THAT(m->DownloadFolder(), IsEmpty());
}

// The signed installer runs with "/S" and ends with 3 ("Newer version is
// detected"): the run ends with 124 and the handler is never asked.
TEST_P(Scenario, FailingInstallerEndsWith124) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  AgentOffer offer{"5.0.0"};
  offer.installerExit = 3;
  OfferAndRun(offer);
  ExpectEndedWith(124);
  ExpectLogged({"info  Current ZyraAgent version is 1.0.0",
                "info  Installing ZyraAgent version 5.0.0.",
                "info  [platform::utils::RunInstallerSilently] - ZyraAgent installation "
                "completed. Return code: 3",
                "info  ZyraAgent version 5.0.0 installed.",
                "info  Failed to install ZyraAgent version 5.0.0.",
                "info  Install error 3: Newer version is detected"});
  ExpectNotLogged("info  Waiting for ZyraHandler to provision the room");
  ExpectInstallerRanSilentlyOnce();
  EXPECT_EQ(m->RegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion"), "1.0.0");

  // Other codes the installer may end with, each named in the log.
  for (const auto& [code, text] : std::vector<std::pair<int, std::string>>{
           {8, "Failed: Missing file "}, {4, "UNKNOWN"}}) {
    SCOPED_TRACE(code);
    offer.installerExit = code;
    m->OfferAgent(offer);
    RunStub();
    EXPECT_EQ(run.exitCode, 124) << run.stdoutText;
    EXPECT_EQ(m->ResultFileBytes(), "provision_result_code: 124\r\n");
    EXPECT_THAT(run.consoleMessages, Contains("info  Failed to install ZyraAgent version 5.0.0."));
    EXPECT_THAT(run.consoleMessages,
                Contains("info  Install error " + std::to_string(code) + ": " + text));
  }
}

// The shipping program is a 32-bit process: without KEY_WOW64_64KEY it
// would read WOW6432Node (1.0.0) and install 2.0.0 again. It reads the
// 64-bit view (2.0.0), as offered, and takes the up-to-date branch.
TEST_P(Scenario, AgentVersionComesFromThe64BitView) {
  m->SetRegistryString(RegistryView::k32Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "2.0.0");
  OfferAndRun({"2.0.0"});
  ExpectEndedWith(0);
  ExpectLogged({"info  Current ZyraAgent version is 2.0.0",
                "info  ZyraAgent is up to date.",
                "info  [ServiceInstaller::Start] - CorvZyraHandler started.",
                "info  Room provision result: Room provision success."});
  ExpectNotLogged("info  Current ZyraAgent version is 1.0.0");
  ExpectNotLogged("info  Downloading ZyraAgent 2.0.0");
  ExpectInstallerNeverRan();
  EXPECT_EQ(m->RegistryString(RegistryView::k32Bit, kAgentKey, "DisplayVersion"), "1.0.0");
}

// Exit code 256 of the installer is "Failed: Wrong Password".
TEST_P(Scenario, InstallerExitCode256IsWrongPassword) {
  if (!m->CarriesWideExitCodes())
    GTEST_SKIP() << "a Linux exit status cannot carry 256: only Windows can show this";
  AgentOffer offer{"5.0.0"};
  offer.installerExit = 256;
  OfferAndRun(offer);
  ExpectEndedWith(124);
  ExpectLogged({"info  Installing ZyraAgent version 5.0.0.",
                "info  [platform::utils::RunInstallerSilently] - ZyraAgent installation "
                "completed. Return code: 256",
                "info  Failed to install ZyraAgent version 5.0.0.",
                "info  Install error 256: Failed: Wrong Password"});
  ExpectInstallerRanSilentlyOnce();
  EXPECT_EQ(m->RegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion"), std::nullopt);
}

// An installer of 520 MiB (zeros after the program; sparse on the server's
// disk) is downloaded, validated and run: the validation must not need the
// whole package in the 32-bit program's memory.
TEST_P(Scenario, LargeInstallerIsValidatedAndRun) {
  AgentOffer offer{"2.5.0"};
  offer.installerSize = kLargeInstallerBytes;
  OfferAndRun(offer);
  ExpectEndedWith(0);
  ExpectLogged({"info  Downloading ZyraAgent 2.5.0",
                "info  Installing ZyraAgent version 2.5.0.",
                "info  [platform::utils::RunInstallerSilently] - ZyraAgent installation "
                "completed. Return code: 0",
                "info  ZyraAgent version 2.5.0 installed.",
                "info  Room provision result: Room provision success."});
  ExpectInstallerRanSilentlyOnce();
  EXPECT_EQ(m->RegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion"), "2.5.0");
}

// Versions compare part by part as numbers: 2 is newer than 1.9.9.
TEST_P(Scenario, OfferedTwoIsNewerThanOneNineNine) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.9.9");
  OfferAndRun({"2"});
  ExpectEndedWith(0);
  ExpectInstallerRanSilentlyOnce();
}

// A version manifest without a "version" offers nothing newer.
TEST_P(Scenario, EmptyVersionManifestTakesTheUpToDateBranch) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  AgentOffer offer{"9.9.9"};
  offer.versionManifest = "{}";
  OfferAndRun(offer);
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("info  ZyraAgent is up to date."));
  ExpectInstallerNeverRan();
}

// No agent configuration: the vendor's server, which this machine cannot
// reach.
TEST_P(Scenario, UnreachableUpdateServerEndsWith123) {
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
  ExpectEndedWith(123);
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent version file."));
}

// Version manifests that are no JSON object with a string "version": each
// run ends with 123 and a line naming what was wrong.
TEST_P(Scenario, UnusableVersionManifestsEndWith123AndAFinalLine) {
  m->RegisterHandlerService({"--behaviour", "success"});
  for (const std::string doc : {"not json", "[1,2]", "{\"version\":2}", "{\"other\":1}"}) {
    SCOPED_TRACE(doc);
    AgentOffer offer{"1.0.0"};
    offer.versionManifest = doc;
    m->OfferAgent(offer);
    RunStub();
    EXPECT_EQ(run.exitCode, 123) << run.stdoutText;
    EXPECT_EQ(m->ResultFileBytes(), "provision_result_code: 123\r\n");
    EXPECT_GE(CountStartingWith(run.consoleMessages, "error  Cannot read ZyraAgent version file: "),
              1)
        << run.stdoutText;
  }
}

// A correctly signed package that is not a program: the launch fails, is
// named, and the run ends with 124.
TEST_P(Scenario, SignedInstallerThatCannotStartEndsWith124) {
  AgentOffer offer{"3.1.0"};
  offer.installerNotAProgram = true;
  OfferAndRun(offer);
  ExpectEndedWith(124);
  EXPECT_GE(CountStartingWith(run.consoleMessages,
                              "warning  [platform::utils::RunInstallerSilently] - Failed to launch C:\\"),
            1)
      << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot launch ZyraAgent version 3.1.0"));
}

}  // namespace
}  // namespace zyra_scenarios
