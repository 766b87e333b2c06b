// Whole provisioning runs, written once and played on both machines: the
// emulated Windows machine (Linux build, libfaketime) and a Wine prefix (the
// Windows build, real waits). Every scenario checks the exit code, the exact
// bytes of the result file, the key lines of the log (in their order) and
// the installer double's record.
//
// Run one scenario by name (README: "Whole-run scenarios"), for example
//   ctest --test-dir build/linux -R 'FreshInstall.*/Emulated'
// or the binary with --gtest_filter='*FreshInstall*/Wine' (with
// ZYRA_WINDOWS_BUILD and ZYRA_WINE_LOADER set).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/scenario_machine.h"
#include "tests/support/squid_proxy.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using zyra_test::AgentOffer;
using zyra_test::kAgentKey;
using zyra_test::kStubSettingsKey;
using zyra_test::RegistryView;
using zyra_test::ScenarioMachine;
using zyra_test::StubRun;

namespace {

enum class MachineKind { kEmulated, kWine };

std::string KindName(const ::testing::TestParamInfo<MachineKind>& info) {
  return info.param == MachineKind::kEmulated ? "Emulated" : "Wine";
}

const char* Description(int code) {
  switch (code) {
    case 0: return "Room successfully provisioned";
    case 122: return "Provisioning Token not found";
    case 123: return "Zyraagent Download failed";
    case 124: return "Zyraagent Installation failed";
    case 125: return "Room provisioning failed";
    default: return "UNKNOWN";
  }
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += "    " + l + "\n";
  return out;
}

// A package bigger than a quarter of the 32-bit program's address space.
constexpr std::uint64_t kLargeInstallerBytes = 520ull * 1024 * 1024;

class Scenario : public ::testing::TestWithParam<MachineKind> {
 protected:
  void SetUp() override {
    if (GetParam() == MachineKind::kWine) {
      std::string whyNot;
      if (!zyra_test::WineMachineRequested(whyNot)) GTEST_SKIP() << whyNot;
      std::string problem;
      m = zyra_test::MakeWineMachine(problem);
      ASSERT_NE(m, nullptr) << problem;
    } else {
      m = zyra_test::MakeEmulatedScenarioMachine();
    }
    m->InstallStub();
    m->PutToken("{\"orgId\":\"scenario\",\"roomName\":\"Scenario Room\"}");
    m->SetRegistryDword(RegistryView::k64Bit, kStubSettingsKey, "log_level", 1);
  }

  void TearDown() override {
    if (m != nullptr && HasFailure()) {
      m->Keep();
      std::printf("The %s machine is kept in %s\n", m->Kind().c_str(), m->Location().c_str());
    }
  }

  void RunStub(bool handlerRunning = false) { run = m->RunStub(handlerRunning); }

  // Exit code, result file and closing log lines all carry code.
  void ExpectEndedWith(int code) {
    EXPECT_EQ(run.exitCode, code) << "console:\n" << run.stdoutText;
    EXPECT_EQ(m->ResultFileBytes().value_or("(no result file)"),
              "provision_result_code: " + std::to_string(code) + "\r\n");
    ExpectLogged({"info  CorvZyraProvisionStub completed.",
                  "info  provision_result_code " + std::to_string(code),
                  std::string("info  ") + Description(code)});
  }

  // The log file holds these messages in this order (others may lie between).
  void ExpectLogged(const std::vector<std::string>& wanted) {
    const auto log = m->LogMessages();
    std::size_t at = 0;
    for (const auto& w : wanted) {
      while (at < log.size() && log[at] != w) ++at;
      if (at == log.size()) {
        ADD_FAILURE() << "not logged (in this order): " << w << "\nwanted:\n"
                      << Joined(wanted) << "log:\n" << Joined(log);
        return;
      }
      ++at;
    }
  }

  void ExpectNotLogged(const std::string& message) {
    EXPECT_THAT(m->LogMessages(), Not(Contains(message)));
  }

  void ExpectInstallerRanSilentlyOnce() { EXPECT_THAT(m->InstallerCalls(), ElementsAre("/S", "--")); }
  void ExpectInstallerNeverRan() { EXPECT_THAT(m->InstallerCalls(), IsEmpty()); }

  // How many of the handler service's messages hold part.
  long HandlerLines(const std::string& part) {
    long n = 0;
    for (const auto& line : zyra_test::MessagesOf(m->HandlerLog()))
      if (line.find(part) != std::string::npos) ++n;
    return n;
  }

  std::unique_ptr<ScenarioMachine> m;
  StubRun run;
};

}  // namespace

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

// No agent: the signed installer double is downloaded and run with "/S",
// sets DisplayVersion and starts the handler service, which answers.
TEST_P(Scenario, FreshInstallRunsTheSignedInstallerSilently) {
  m->OfferAgent({"2.4.1"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
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
}

// The installer changed after signing: its signature does not validate, it
// is deleted and never run; the run ends with 123.
TEST_P(Scenario, TamperedInstallerIsNeverRun) {
  AgentOffer offer{"3.0.0"};
  offer.tamperedInstaller = true;
  m->OfferAgent(offer);
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
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
  m->OfferAgent(offer);
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
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
}

// The shipping program is a 32-bit process: without KEY_WOW64_64KEY it
// would read WOW6432Node (1.0.0) and install 2.0.0 again. It reads the
// 64-bit view (2.0.0), as offered, and takes the up-to-date branch.
TEST_P(Scenario, AgentVersionComesFromThe64BitView) {
  m->SetRegistryString(RegistryView::k32Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "2.0.0");
  m->OfferAgent({"2.0.0"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
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
  m->OfferAgent(offer);
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
  ExpectEndedWith(124);
  ExpectLogged({"info  Installing ZyraAgent version 5.0.0.",
                "info  [platform::utils::RunInstallerSilently] - ZyraAgent installation "
                "completed. Return code: 256",
                "info  Failed to install ZyraAgent version 5.0.0.",
                "info  Install error 256: Failed: Wrong Password"});
  ExpectInstallerRanSilentlyOnce();
  EXPECT_EQ(m->RegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion"), std::nullopt);
}

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
  ExpectInstallerNeverRan();
}

// An installer of 520 MiB (zeros after the program; sparse on the server's
// disk) is downloaded, validated and run: the validation must not need the
// whole package in the 32-bit program's memory.
TEST_P(Scenario, LargeInstallerIsValidatedAndRun) {
  AgentOffer offer{"2.5.0"};
  offer.installerSize = kLargeInstallerBytes;
  m->OfferAgent(offer);
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
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

// A fresh install over HTTPS through squid demanding Basic authentication,
// with the credentials of the administrator's override file: every transfer
// is a CONNECT tunnel with the user in squid's log; the password shows
// nowhere in the stub's log.
TEST_P(Scenario, FreshInstallThroughAnAuthenticatingProxy) {
  const std::string user = "zyra";
  const std::string password = "s3c:r3t";  // the colon stays part of the password
  zyra_test::SquidProxy proxy(zyra_test::ProxyAuth::Basic, user, password);
  ASSERT_TRUE(proxy.running()) << proxy.CacheLog();
  if (!m->UseProxy({proxy.address(), user, password}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  m->OfferAgent({"2.4.1"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
  ExpectEndedWith(0);
  ExpectLogged({"info  No prior ZyraAgent found on the system",
                "info  Downloading ZyraAgent 2.4.1",
                "info  ZyraAgent version 2.4.1 installed.",
                "info  Room provision result: Room provision success."});
  ExpectInstallerRanSilentlyOnce();
  EXPECT_EQ(m->RegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion"), "2.4.1");

  const std::string access = proxy.AccessLog();
  const std::regex tunnel("CONNECT 127\\.0\\.0\\.1:[0-9]+ [^ ]*" + user);
  const auto tunnels =
      std::distance(std::sregex_iterator(access.begin(), access.end(), tunnel), std::sregex_iterator());
  EXPECT_GE(tunnels, 5) << access;  // manifest, version manifest + .sig, installer + .sig
  EXPECT_EQ(m->LogText().find("r3t"), std::string::npos);
  EXPECT_EQ(run.stdoutText.find("r3t"), std::string::npos);
}

// A success an earlier attempt left in the status file, which another
// program holds open for reading only: the placeholder cannot replace it, so
// that old text is no answer to this run. The handler never answers; the run
// waits to its deadline (295 s, real time under Wine) and ends with 125.
TEST_P(Scenario, OldSuccessVerdictThatCannotBeOverwrittenEndsWith125Not0) {
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m->OfferAgent({"1.0.0"});
  m->RegisterHandlerService({"--behaviour", "silent"});
  if (!m->HoldOldStatusFile("Room provision success."))
    GTEST_SKIP() << "this Windows build has no zyra-file-holder.exe (built with its tests)";
  RunStub();
  ExpectEndedWith(125);
  ExpectLogged({"info  ZyraAgent is up to date.",
                "info  [ServiceInstaller::Start] - CorvZyraHandler started.",
                "warning  Cannot write C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt: "
                "its content is from before this run and is no result.",
                "info  Waiting for ZyraHandler to provision the room",
                "info  Timeout! ZyraHandler has not completed room provision."});
  ExpectNotLogged("info  Room provision result: Room provision success.");
  long noResult = 0;
  for (const auto& line : m->LogMessages())
    if (line.rfind("info  Cannot get room provision result.", 0) == 0) ++noResult;
  EXPECT_EQ(noResult, 10);
  ExpectInstallerNeverRan();
}

INSTANTIATE_TEST_SUITE_P(Machine, Scenario,
                         ::testing::Values(MachineKind::kEmulated, MachineKind::kWine), KindName);
