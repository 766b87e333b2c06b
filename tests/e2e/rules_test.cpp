// Rules of the whole run that only show from outside: how a pending 122
// ends the run. The real stub in an emulated machine, under libfaketime,
// with a read of the staged token denied (the other rules are scenarios in
// tests/scenarios/run_scenarios_test.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/machine.h"

using ::testing::Contains;
using zyra_test::EmulatedMachine;

namespace {

class Rules : public ::testing::Test {
 protected:
  void SetUp() override {
    m.InstallStub();
    m.PutToken("{\"orgId\":\"e2e\"}");
  }
  EmulatedMachine m;
};

// Runs the stub with the staged token unreadable: the copy succeeds, its
// confirmation cannot read it back.
zyra_test::StubRun RunWithUnconfirmableToken(EmulatedMachine& m) {
  return m.RunStub({}, {{"LD_PRELOAD", ZYRA_DENY_READ_SHIM},
                        {"ZYRA_DENY_READ", "/provision-token.data"},
                        {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
}

}  // namespace

// Stays here: only the emulated machine can deny the read (an LD_PRELOAD shim).
TEST_F(Rules, AnUnconfirmedTokenThenAHandlerSuccessEndsWith122) {
  m.ReadyForHandOff({"--behaviour", "success"});
  const auto run = RunWithUnconfirmableToken(m);
  EXPECT_EQ(run.exitCode, 122) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot find copied provision token."));
  EXPECT_THAT(run.consoleMessages, Contains("info  provision_result_code 122"));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 122\r\n");
}

// Stays here: only the emulated machine can deny the read (an LD_PRELOAD shim).
TEST_F(Rules, AnUnconfirmedTokenThenAHandlerFailureEndsWith125) {
  m.ReadyForHandOff({"--behaviour", "failure"});
  const auto run = RunWithUnconfirmableToken(m);
  EXPECT_EQ(run.exitCode, 125) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot find copied provision token."));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 125\r\n");
}
