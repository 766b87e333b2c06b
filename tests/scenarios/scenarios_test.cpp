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
#include <filesystem>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/kerberos_realm.h"
#include "tests/support/private_network.h"
#include "tests/support/run_checks.h"
#include "tests/support/scenario_machine.h"
#include "tests/support/squid_proxy.h"

using namespace zyra_test::checks;
using zyra_test::AgentOffer;
using zyra_test::kAgentKey;
using zyra_test::kStubSettingsKey;
using zyra_test::RegistryView;
using zyra_test::ScenarioMachine;

namespace {

enum class MachineKind { kEmulated, kWine };

std::string KindName(const ::testing::TestParamInfo<MachineKind>& info) {
  return info.param == MachineKind::kEmulated ? "Emulated" : "Wine";
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
                  std::string("info  ") + ResultDescription(code)});
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
  m->SetStubEnvironment("ZYRA_CURL_TRACE", "1");
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

  const std::regex tunnel("CONNECT 127\\.0\\.0\\.1:[0-9]+ [^ ]*" + user);
  const std::string access = proxy.AccessLogWith(tunnel, 5);
  const auto tunnels =
      std::distance(std::sregex_iterator(access.begin(), access.end(), tunnel), std::sregex_iterator());
  EXPECT_GE(tunnels, 5) << access;  // manifest, version manifest + .sig, installer + .sig
  // Only the first transfer meets the 407; the credentials go from then on.
  EXPECT_EQ(CountContaining(run.consoleMessages, "http code: 407"), 1) << run.stdoutText;
  EXPECT_GE(CountContaining(run.consoleMessages, "[DownloadManager] using proxy " + proxy.address()),
            5)
      << run.stdoutText;
  // Neither the password nor a Basic header's token of "zyra:s3c:r3t".
  for (const std::string& text : {run.stdoutText, m->LogText()}) {
    EXPECT_EQ(text.find("r3t"), std::string::npos);
    EXPECT_EQ(text.find("enlyYTpzM2M6cjN0"), std::string::npos);
  }
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
  EXPECT_EQ(CountStartingWith(m->LogMessages(), "info  Cannot get room provision result."), 10);
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
  ExpectEndedWith(125);
  ExpectLogged({"info  [ServiceInstaller::Start] - CorvZyraHandler started.",
                "warning  Cannot write C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt: "
                "its content is from before this run and is no result.",
                "info  Waiting for ZyraHandler to provision the room",
                "info  Timeout! ZyraHandler has not completed room provision."});
  ExpectNotLogged("info  Room provision result: Room provision success.");
  EXPECT_EQ(CountStartingWith(m->LogMessages(), "info  Cannot get room provision result."), 10);
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
  m->OfferAgent({"2.0.0"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
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

INSTANTIATE_TEST_SUITE_P(Machine, Scenario,
                         ::testing::Values(MachineKind::kEmulated, MachineKind::kWine), KindName);

// A company network in a network namespace of the test's own: the proxy is
// proxy.corp.test (a name only this network's hosts file knows), squid asks
// for Negotiate, the realm CORP.TEST's KDC runs beside it, and the override
// file names the proxy but gives no "creds": the stub must answer with the
// account it runs as (GSS-API on the emulated machine, SSPI under Wine),
// that is, with the account's ticket cache.
constexpr const char* kProxyHost = "proxy.corp.test";

class CompanyNetworkScenario : public Scenario {
 protected:

  void SetUp() override {
    // Before the machine: Wine's server, which owns the sockets of the
    // prefix's programs, must start inside the network too.
    net_ = std::make_unique<zyra_test::PrivateNetwork>("127.0.0.1\tproxy.corp.test\n");
    if (!net_->ok())
      GTEST_SKIP() << "no network namespace for the company network: " << net_->problem();
    Scenario::SetUp();
  }

  void TearDown() override {
    Scenario::TearDown();
    m.reset();
    net_.reset();
  }

  // The transfers went through CONNECT tunnels that squid opened for this
  // user and no other. (The run's exit code shows that every transfer
  // passed; squid's log, written as tunnels close, has been seen to lack a
  // tunnel of a run on a loaded machine, so it is not counted.)
  void ExpectTunnelsAs(const zyra_test::SquidProxy& proxy, const std::string& user) {
    const std::regex tunnel("TCP_TUNNEL/200 [0-9]+ CONNECT 127\\.0\\.0\\.1:[0-9]+ " + user +
                            " ");
    const std::regex anyTunnel("TCP_TUNNEL/[0-9]+ [0-9]+ CONNECT [^ ]+ [^ ]+ ");
    const std::string access = proxy.AccessLogWith(tunnel, 5);
    const auto count = [&access](const std::regex& r) {
      return std::distance(std::sregex_iterator(access.begin(), access.end(), r),
                           std::sregex_iterator());
    };
    EXPECT_GE(count(tunnel), 1) << access;
    EXPECT_EQ(count(tunnel), count(anyTunnel)) << access;
  }

  // The proxy refused the account: five attempts, each one's error line
  // naming 407.
  void ExpectFiveAttemptsRefusedWith407() {
    long attempts = 0;
    for (const auto& line : m->LogMessages()) {
      if (line.find("CURL error") == std::string::npos) continue;
      ++attempts;
      EXPECT_NE(line.find("http code: 407"), std::string::npos) << line;
    }
    EXPECT_EQ(attempts, 5);
  }

  std::unique_ptr<zyra_test::PrivateNetwork> net_;
};

// A realm with the proxy's service principal, and squid checking Negotiate
// tickets for it.
struct KerberosProxy {
  zyra_test::KerberosRealm realm;
  std::unique_ptr<zyra_test::SquidProxy> squid;

  bool Start() {
    const std::string service = std::string("HTTP/") + kProxyHost;
    if (!realm.running() || !realm.AddPrincipal(service)) return false;
    zyra_test::SquidAuthOptions options;
    options.keytab = realm.ExportKeytab(service);
    if (options.keytab.empty()) return false;
    options.servicePrincipal = service + "@" + realm.realm();
    options.env = realm.Environment();
    squid = std::make_unique<zyra_test::SquidProxy>(zyra_test::ProxyAuth::Negotiate, "", "",
                                                    options);
    return squid->running();
  }
  [[nodiscard]] std::string HostPort() const {
    return std::string(kProxyHost) + ":" +
           std::to_string(squid->port());
  }
  [[nodiscard]] std::string Problem() const {
    return realm.Problem() + (squid ? "\nsquid:\n" + squid->CacheLog() : std::string());
  }
};

TEST_P(CompanyNetworkScenario, KerberosProxyPassesTheAccountWithATicket) {
  KerberosProxy proxy;
  ASSERT_TRUE(proxy.Start()) << proxy.Problem();
  ASSERT_TRUE(proxy.realm.AddPrincipal("alice")) << proxy.Problem();
  const std::string cache = proxy.realm.TicketCache("alice");
  ASSERT_FALSE(cache.empty()) << proxy.Problem();
  for (const auto& [name, value] : proxy.realm.Environment()) m->SetStubEnvironment(name, value);
  m->SetStubEnvironment("KRB5CCNAME", cache);
  if (!m->UseProxy({proxy.HostPort(), "", ""}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  m->OfferAgent({"2.4.1"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
  ExpectEndedWith(0);
  ExpectLogged({"info  No prior ZyraAgent found on the system",
                "info  ZyraAgent version 2.4.1 installed.",
                "info  Room provision result: Room provision success."});
  ExpectInstallerRanSilentlyOnce();
  ExpectTunnelsAs(*proxy.squid, "alice@CORP\\.TEST");
}

TEST_P(CompanyNetworkScenario, KerberosProxyRefusesTheAccountWithoutATicket) {
  KerberosProxy proxy;
  ASSERT_TRUE(proxy.Start()) << proxy.Problem();
  for (const auto& [name, value] : proxy.realm.Environment()) m->SetStubEnvironment(name, value);
  // The realm's default cache, which holds no ticket.
  if (!m->UseProxy({proxy.HostPort(), "", ""}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  m->OfferAgent({"2.4.1"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
  ExpectEndedWith(123);
  ExpectInstallerNeverRan();
  ExpectFiveAttemptsRefusedWith407();
  const std::string access = proxy.squid->AccessLog();
  EXPECT_EQ(access.find("@CORP.TEST"), std::string::npos) << access;
}

// squid asking for NTLM, with an authenticator that admits one domain
// account and checks its password (its challenge is well formed, as
// Windows' NTLM wants it).
std::unique_ptr<zyra_test::SquidProxy> NtlmProxy(const std::string& account,
                                                 const std::string& password) {
  zyra_test::SquidAuthOptions options;
  options.ntlmHelper = {ZYRA_NTLM_HELPER, "--user", account, "--password", password};
  return std::make_unique<zyra_test::SquidProxy>(zyra_test::ProxyAuth::Ntlm, "", "", options);
}

// Wine's NTLM runs Samba's ntlm_auth; without it every NTLM answer fails.
void RequireNtlmAuthUnderWine(MachineKind kind) {
  if (kind != MachineKind::kWine) return;
  ASSERT_EQ(std::system("command -v ntlm_auth >/dev/null 2>&1"), 0)
      << "Wine's NTLM needs Samba's ntlm_auth (Debian package winbind)";
}

// The administrator stored the proxy's credential for the account the stub
// runs as (cmdkey), and the override file has no "creds": Windows' NTLM
// answers the proxy with the stored credential.
TEST_P(CompanyNetworkScenario, NtlmProxyPassesTheCredentialStoredForTheProxyHost) {
  RequireNtlmAuthUnderWine(GetParam());
  if (HasFatalFailure()) return;
  const std::string password = "Stored:Pass1";
  auto proxy = NtlmProxy("CORP\\carol", password);
  ASSERT_TRUE(proxy->running()) << proxy->CacheLog();
  if (!m->StoreCredential(kProxyHost, "CORP\\carol", password))
    GTEST_SKIP() << "this machine cannot store a Windows credential (the emulated machine "
                    "keeps none; a Windows build without its tests has no zyra-cred-writer.exe)";
  if (!m->UseProxy({std::string(kProxyHost) + ":" + std::to_string(proxy->port()), "", ""}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  m->OfferAgent({"2.4.1"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
  ExpectEndedWith(0);
  ExpectInstallerRanSilentlyOnce();
  ExpectTunnelsAs(*proxy, R"(CORP\\+carol)");
}

// Explicit "creds" of a domain user in DOMAIN\user form: the NTLM answer
// carries that domain and user and the password checks.
TEST_P(CompanyNetworkScenario, NtlmProxyPassesExplicitDomainUserCreds) {
  RequireNtlmAuthUnderWine(GetParam());
  if (HasFatalFailure()) return;
  const std::string password = "s3c:r3t";  // the colon stays part of the password
  auto proxy = NtlmProxy("CORP\\bob", password);
  ASSERT_TRUE(proxy->running()) << proxy->CacheLog();
  if (!m->UseProxy({std::string(kProxyHost) + ":" + std::to_string(proxy->port()), "CORP\\bob",
                    password}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  m->OfferAgent({"2.4.1"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
  ExpectEndedWith(0);
  ExpectInstallerRanSilentlyOnce();
  ExpectTunnelsAs(*proxy, R"(CORP\\+bob)");
  EXPECT_EQ(m->LogText().find("r3t"), std::string::npos);
}

// The same proxy, "creds" with a password it does not take: 407 on every
// attempt, exit 123.
TEST_P(CompanyNetworkScenario, NtlmProxyRefusesAWrongPassword) {
  auto proxy = NtlmProxy("CORP\\bob", "the-right-one");
  ASSERT_TRUE(proxy->running()) << proxy->CacheLog();
  if (!m->UseProxy({std::string(kProxyHost) + ":" + std::to_string(proxy->port()), "CORP\\bob",
                    "a-wrong-one"}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  m->OfferAgent({"2.4.1"});
  m->RegisterHandlerService({"--behaviour", "success"});
  RunStub();
  ExpectEndedWith(123);
  ExpectInstallerNeverRan();
  ExpectFiveAttemptsRefusedWith407();
  EXPECT_NE(proxy->CacheLog().find("wrong password for CORP\\bob"), std::string::npos)
      << proxy->CacheLog();
}

INSTANTIATE_TEST_SUITE_P(Machine, CompanyNetworkScenario,
                         ::testing::Values(MachineKind::kEmulated, MachineKind::kWine), KindName);
