// The agent installation step end to end: the real stub, the update server
// double, signed packages, the installer double and the handler service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/machine.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using zyra_test::EmulatedMachine;
namespace fs = std::filesystem;

namespace {

class Agent : public ::testing::Test {
 protected:
  void SetUp() override {
    m.InstallStub();
    m.PutToken("{\"orgId\":\"e2e\"}");
    m.InstallHandlerService({"--behaviour", "success"});
  }
  EmulatedMachine m;
};

}  // namespace

TEST_F(Agent, FreshMachineInstallsTheOfferedAgentSilently) {
  m.OfferAgent("2.4.1");
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(m.InstallerCalls(), ElementsAre("/S", "--"));
  const auto& lines = run.consoleMessages;
  EXPECT_THAT(lines, Contains("info  No prior ZyraAgent found on the system"));
  EXPECT_THAT(lines, Contains("info  Downloading ZyraAgent 2.4.1"));
  EXPECT_THAT(lines, Contains("info  Installing ZyraAgent version 2.4.1."));
  EXPECT_THAT(lines, Contains("info  ZyraAgent version 2.4.1 installed."));
  EXPECT_THAT(lines, Contains("info  [platform::utils::RunInstallerSilently] - ZyraAgent "
                              "installation completed. Return code: 0"));
  EXPECT_THAT(m.ReadFile(m.root() + "/registry.reg"), HasSubstr("\"DisplayVersion\"=\"2.4.1\""));
  // The version manifest is never kept; the installer stays for the next clean-up.
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(m.C("Windows/Temp/CorvZyra/ZHDownload")))
    left.push_back(e.path().filename().string());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("CorvZyraAgent-Setup-", 0), 0u);
}

TEST_F(Agent, CurrentAgentRestartsTheHandlerInstead) {
  for (const auto& [installed, offered] :
       std::vector<std::pair<std::string, std::string>>{{"1.2.3.4", "1.2.3"},
                                                         {"1.10.0", "1.9.9"},
                                                         {"1.2.3", "1.2.3-beta"}}) {
    SCOPED_TRACE(installed + " vs " + offered);
    m.SetInstalledAgentVersion(installed);
    m.OfferAgent(offered);
    fs::remove(m.root() + "/installer-double.calls");
    const auto run = m.RunStub();
    EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
    EXPECT_THAT(run.consoleMessages, Contains("info  ZyraAgent is up to date."));
    EXPECT_THAT(run.consoleMessages, Contains("info  [ServiceInstaller::Start] - CorvZyraHandler started."));
    EXPECT_THAT(m.InstallerCalls(), IsEmpty());
  }
}

TEST_F(Agent, OfferedTwoIsNewerThanOneNineNine) {
  m.SetInstalledAgentVersion("1.9.9");
  m.OfferAgent("2");
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(m.InstallerCalls(), ElementsAre("/S", "--"));
}

TEST_F(Agent, EmptyVersionManifestTakesTheUpToDateBranch) {
  m.SetInstalledAgentVersion("1.0.0");
  m.OfferAgent("9.9.9", 0, "{}");
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("info  ZyraAgent is up to date."));
  EXPECT_THAT(m.InstallerCalls(), IsEmpty());
}

TEST_F(Agent, InstallerFailuresEndWith124AndTheirTexts) {
  for (const auto& [code, text] : std::vector<std::pair<int, std::string>>{
           {3, "Newer version is detected"}, {8, "Failed: Missing file "}, {4, "UNKNOWN"}}) {
    SCOPED_TRACE(code);
    m.OfferAgent("5.0.0", code);
    const auto run = m.RunStub();
    EXPECT_EQ(run.exitCode, 124);
    EXPECT_THAT(run.consoleMessages, Contains("info  Failed to install ZyraAgent version 5.0.0."));
    EXPECT_THAT(run.consoleMessages,
                Contains("info  Install error " + std::to_string(code) + ": " + text));
    EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 124\r\n");
  }
}

TEST_F(Agent, TamperedInstallerIsNeverRun) {
  m.OfferAgent("3.0.0");
  m.TamperServedFile("CorvZyraAgent-Setup.exe", "#!/bin/sh\ntouch \"$ZYRA_MACHINE_ROOT/pwned\"\n");
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 123);
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent 3.0.0."));
  EXPECT_THAT(m.InstallerCalls(), IsEmpty());
  EXPECT_FALSE(m.Exists(m.root() + "/pwned"));
  EXPECT_TRUE(fs::is_empty(m.C("Windows/Temp/CorvZyra/ZHDownload")));
}

TEST_F(Agent, UnreachableUpdateServerEndsWith123) {
  // No configuration: the vendor's server, which this machine cannot reach.
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 123);
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent version file."));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 123\r\n");
}

TEST_F(Agent, UnusableVersionManifestsEndWith123AndAFinalLine) {
  for (const std::string doc : {"not json", "[1,2]", "{\"version\":2}", "{\"other\":1}"}) {
    SCOPED_TRACE(doc);
    m.OfferAgent("1.0.0", 0, doc);
    const auto run = m.RunStub();
    EXPECT_EQ(run.exitCode, 123);
    EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 123\r\n");
    bool named = false;
    for (const auto& l : run.consoleMessages)
      named = named || l.rfind("error  Cannot read ZyraAgent version file: ", 0) == 0;
    EXPECT_TRUE(named) << run.stdoutText;
  }
}

TEST_F(Agent, MissingServiceManagerEndsWith125AndAFinalLine) {
  fs::remove_all(m.root() + "/services");
  m.SetInstalledAgentVersion("1.0.0");
  m.OfferAgent("1.0.0");
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 125);
  EXPECT_THAT(run.consoleMessages,
              Contains("error  Cannot restart ZyraHandler: [ServiceInstaller] - Failed to open "
                       "Service Control Manager 0x0005."));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 125\r\n");
}

TEST_F(Agent, SignedInstallerThatCannotStartEndsWith124) {
  m.OfferAgent("3.1.0");
  m.TamperServedFile("CorvZyraAgent-Setup.exe", "this is not a program\n");
  m.Resign();
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 124);
  bool warned = false;
  for (const auto& l : run.consoleMessages)
    warned = warned ||
             l.rfind("warning  [platform::utils::RunInstallerSilently] - Failed to launch C:\\", 0) == 0;
  EXPECT_TRUE(warned) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot launch ZyraAgent version 3.1.0"));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 124\r\n");
}

TEST_F(Agent, HandlerThatCannotBeStoppedIsStillStartedAndTheRunEndsWith125) {
  // The service's program is not executable: the service is not installed.
  fs::permissions(m.root() + "/services/CorvZyraHandler/service", fs::perms::owner_read);
  m.SetInstalledAgentVersion("1.0.0");
  m.OfferAgent("1.0.0");
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 125);
  const auto& lines = run.consoleMessages;
  EXPECT_THAT(lines, Contains("error  [ServiceInstaller::Stop] - OpenService failed with error 0x00000424"));
  EXPECT_THAT(lines, Contains("debug  [ServiceInstaller::Start] - Attempting to start the service."));
  EXPECT_THAT(lines, Contains("error  [ServiceInstaller::Start] - OpenService failed with error 0x00000424"));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 125\r\n");
}
