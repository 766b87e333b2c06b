// Rules of the whole run that only show from outside and only the emulated
// machine can stage: how a pending 122 ends the run (a read of the staged
// token denied), and a status file another account planted. The real stub
// in an emulated machine, under libfaketime (the other rules are scenarios
// in tests/scenarios/run_scenarios_test.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/machine.h"

using ::testing::Contains;
using ::testing::Not;
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

// A standard user made the status file before the run and holds it open
// for reading only, so the run can neither remove nor overwrite it, then
// writes a success into it once the wait has begun. Its owner is no account
// the program or the handler runs as: it never counts, and the handler,
// which never answers, leaves the run to its deadline.
TEST_F(Rules, APlantedStatusFileNeverCountsThoughItSaysSuccess) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another uid";
  m.ReadyForHandOff({"--behaviour", "silent"});
  const std::string status = m.C("Windows/Temp/CorvZyra/Zyrahandler_provisionstub.txt");
  std::filesystem::create_directories(m.C("Windows/Temp/CorvZyra"));
  std::ofstream(status) << "planted";
  ASSERT_EQ(::chown(status.c_str(), 65534, 65534), 0);
  m.HoldAgainstWriting(status);
  std::atomic<bool> stop{false};
  std::thread planter([&] {
    while (!stop && m.ReadFile(m.LogFile()).find("Waiting for ZyraHandler") == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::ofstream(status, std::ios::trunc) << "Room provision success.";
  });
  const auto run = m.RunStub();
  stop = true;
  planter.join();
  EXPECT_EQ(run.exitCode, 125) << run.stdoutText;
  const std::string file = "C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt";
  EXPECT_THAT(run.consoleMessages,
              Contains("warning  Cannot remove " + file +
                       ", left by an earlier run (error 32): only a change to it during this run "
                       "counts as the handler's answer."));
  EXPECT_THAT(run.consoleMessages,
              Contains("warning  " + file +
                       " is owned by another account and cannot be removed (error 32): it is not "
                       "written."));
  const std::string owner = "warning  " + file +
                            " is owned by nobody, an account that is neither this program's nor "
                            "the handler service's: its content is not taken as the handler's "
                            "answer.";
  EXPECT_EQ(std::count(run.consoleMessages.begin(), run.consoleMessages.end(), owner), 1)
      << run.stdoutText;
  EXPECT_THAT(run.consoleMessages,
              Contains("info  Timeout! ZyraHandler has not completed room provision."));
  EXPECT_THAT(run.consoleMessages,
              Not(Contains("info  Room provision result: Room provision success.")));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 125\r\n");
}
