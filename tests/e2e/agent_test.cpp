// The agent installation step end to end: the real stub, the update server
// double, signed packages, the installer double and the handler service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/machine.h"
#include "tests/support/run_checks.h"

using namespace zyra_test::checks;
namespace fs = std::filesystem;

namespace {

class Agent : public ::testing::Test {
 protected:
  void SetUp() override {
    m.InstallStub();
    m.PutToken(kRunToken);
    m.InstallHandlerService({"--behaviour", "success"});
  }
  EmulatedMachine m;
};

}  // namespace

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
