// Rules of the whole run that only show from outside: what the result file
// holds while the run goes on, how a pending 122 ends the run, how the
// installed version is reported. The real stub in an emulated machine,
// under libfaketime.
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

// The handler double's own log ("--log" below).
constexpr const char* kHandlerLog = "C:\\handler.log";

// Runs the stub with the staged token unreadable: the copy succeeds, its
// confirmation cannot read it back.
zyra_test::StubRun RunWithUnconfirmableToken(EmulatedMachine& m) {
  return m.RunStub({}, {{"LD_PRELOAD", ZYRA_DENY_READ_SHIM},
                        {"ZYRA_DENY_READ", "/provision-token.data"},
                        {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
}

}  // namespace

TEST_F(Rules, TheResultFileHoldsEightWhileTheHandlerIsWaitedFor) {
  // Agent current: the handler is restarted, then 8 is written before the
  // hand-off begins.
  m.ReadyForHandOff({"--behaviour", "success", "--log", kHandlerLog});
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(m.ReadFile(m.C("handler.log")),
              ::testing::HasSubstr("zyra-handler-double: result file holds \"8\"\n"));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 0\r\n");
}

TEST_F(Rules, TheResultFileHoldsEightOnceTheInstallerIsDownloaded) {
  m.InstallHandlerService({"--behaviour", "success"});
  m.OfferAgent("2.4.1");
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  // The installer double records the result file as it finds it.
  EXPECT_EQ(m.ReadFile(m.root() + "/installer-double.result"), "8\r\n");
}

TEST_F(Rules, AnUnconfirmedTokenThenAHandlerSuccessEndsWith122) {
  m.ReadyForHandOff({"--behaviour", "success"});
  const auto run = RunWithUnconfirmableToken(m);
  EXPECT_EQ(run.exitCode, 122) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot find copied provision token."));
  EXPECT_THAT(run.consoleMessages, Contains("info  provision_result_code 122"));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 122\r\n");
}

TEST_F(Rules, AnUnconfirmedTokenThenAHandlerFailureEndsWith125) {
  m.ReadyForHandOff({"--behaviour", "failure"});
  const auto run = RunWithUnconfirmableToken(m);
  EXPECT_EQ(run.exitCode, 125) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot find copied provision token."));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 125\r\n");
}

TEST_F(Rules, AnInstalledFourPartVersionIsReportedWithThreeParts) {
  m.InstallHandlerService({"--behaviour", "success"});
  m.SetInstalledAgentVersion("1.2.3.4");
  m.OfferAgent("1.2.3");
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages, Contains("info  Current ZyraAgent version is 1.2.3"));
  EXPECT_THAT(run.consoleMessages, Contains("info  ZyraAgent is up to date."));
}
