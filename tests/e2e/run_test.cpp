// The real stub in fresh emulated machines, under libfaketime (x100), with
// the handler double on the other side of the status file: the runs that
// only the emulated machine stages or that would wait minutes under Wine
// (the others are scenarios in tests/scenarios/run_scenarios_test.cpp).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/support/machine.h"
#include "tests/support/run_checks.h"

using namespace zyra_test::checks;
namespace fs = std::filesystem;

namespace {

class Run : public ::testing::Test {
 protected:
  void SetUp() override { m.InstallStub(); }
  EmulatedMachine m;
};

}  // namespace

// Stays here: only the emulated machine has this file lock (flock).
TEST_F(Run, LockedTokenIsNotFound) {
  m.PutToken("{\"token\":\"abc\"}");
  const int fd = ::open(m.C("Program Files/CorvZyra/CorvZyraProvisionToken.json").c_str(),
                        O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const auto run = m.RunStub();
  ::close(fd);
  EXPECT_EQ(run.exitCode, 122);
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot find provision token."));
}

// Stays here: 300 s of real waiting under Wine (OldSuccess* cover the time-out there).
TEST_F(Run, SilentHandlerTimesOutAfterTenPolls) {
  m.PutToken("t");
  m.ReadyForHandOff({"--behaviour", "silent"});
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 125);
  EXPECT_EQ(CountExactly(run.consoleMessages, "info  Provisioning room. Please wait..."), 10);
  EXPECT_THAT(RunThreadTail(run.consoleMessages, 4),
              ElementsAre("info  Timeout! ZyraHandler has not completed room provision.",
                          "info  CorvZyraProvisionStub completed.",
                          "info  provision_result_code 125", "info  Room provisioning failed"));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 125\r\n");
  EXPECT_FALSE(m.Exists(m.C("Windows/Temp/CorvZyra/Zyrahandler_provisionstub.txt")));
}

// Stays here: 600 s of real waiting under Wine.
TEST_F(Run, ProgressWithoutVerdictWaitsTwentyPolls) {
  m.PutToken("t");
  m.ReadyForHandOff({"--behaviour", "progress", "--then", "none"});
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 125);
  EXPECT_EQ(CountExactly(run.consoleMessages, "info  Zyra update started. Please wait..."), 20);
  EXPECT_THAT(run.consoleMessages,
              Contains("info  Room provision result: Zyra update started. Please wait..."));
}

// Stays here: a Wine prefix always has C:\ProgramData.
TEST_F(Run, UserDataFolderIsUsedWhenTheMachineWideOneIsMissing) {
  m.ReadyForHandOff({"--behaviour", "success"});
  fs::create_directories(m.root() + "/cwd");
  // Without a machine-wide data folder the configuration is read from the
  // current folder.
  fs::rename(m.C("ProgramData/Corvane/CorvZyra/zyra-config.json"), m.root() + "/cwd/zyra-config.json");
  fs::remove_all(m.C("ProgramData"));
  fs::create_directories(m.C("users/kiosk/AppData/Roaming"));
  m.PutToken("user token");
  const auto run = m.RunStub({}, {{"USER", "kiosk"}}, m.root() + "/cwd");
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_EQ(m.ReadFile(m.C("users/kiosk/AppData/Roaming/Corvane/CorvZyra/provision-token.data")),
            "user token");
  // Without a machine-wide data folder the log lands in the current folder.
  EXPECT_THAT(m.ReadFile(m.root() + "/cwd/CorvZyraProvisionStub.log"),
              HasSubstr("Room successfully provisioned"));
}
