// The agent step end to end where only the emulated machine can stage the
// fault: a machine without a service control manager. (The agent step's
// whole runs are scenarios: tests/scenarios/agent_scenarios_test.cpp.)
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
    InstallStubAndHandler(m);
  }
  EmulatedMachine m;
};

}  // namespace

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
