// The update path where other accounts could interfere, with the real stub:
// folders planted or linked elsewhere, result files linked elsewhere, an old
// verdict that cannot be overwritten, a log level of the wrong type. On the
// emulated machine a symbolic link stands for a junction and a folder's
// owner uid for the account that made it.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/machine.h"
#include "tests/support/run_checks.h"

using namespace zyra_test::checks;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

class Security : public ::testing::Test {
 protected:
  void SetUp() override {
    m.InstallStub();
    m.PutToken(kRunToken);
    exchange_ = m.C("Windows/Temp/CorvZyra");
    downloads_ = exchange_ + "/ZHDownload";
    victim_ = m.C("Victim");
    fs::create_directories(victim_);
    std::ofstream(victim_ + "/precious.dll") << "precious";
  }
  void ExpectVictimUntouched() {
    EXPECT_THAT(Names(victim_), ElementsAre("precious.dll"));
    EXPECT_EQ(m.ReadFile(victim_ + "/precious.dll"), "precious");
  }
  // A fresh install of 2.0.0 with a handler that reports success.
  void OfferUpdate() {
    m.SetInstalledAgentVersion("1.0.0");
    m.OfferAgent("2.0.0");
    m.InstallHandlerService({"--behaviour", "success"});
  }
  static bool IsLink(const std::string& p) { return fs::is_symlink(fs::symlink_status(p)); }

  EmulatedMachine m;
  std::string exchange_;
  std::string downloads_;
  std::string victim_;
};

}  // namespace

TEST_F(Security, ALinkedDownloadFolderIsReplacedAndItsTargetNeitherEmptiedNorUsed) {
  OfferUpdate();
  fs::create_directories(exchange_);
  fs::create_directory_symlink(victim_, downloads_);
  const StubRun run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(m.InstallerCalls(), ElementsAre("/S", "--"));
  ExpectVictimUntouched();
  EXPECT_FALSE(IsLink(downloads_));
  EXPECT_EQ(CountStartingWith(run.consoleMessages,
                              "warning  Folder C:\\Windows\\Temp\\CorvZyra\\ZHDownload is a junction "
                              "or symbolic link: moved aside to "
                              "C:\\Windows\\Temp\\CorvZyra\\ZHDownload.untrusted-"),
            1);
  // The installer arrived in the new folder.
  const auto left = Names(downloads_);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("CorvZyraAgent-Setup-", 0), 0u);
}

TEST_F(Security, AnExchangeFolderOfAnotherAccountIsReplacedBeforeTheFirstResultLine) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another uid";
  OfferUpdate();
  fs::create_directories(downloads_);
  std::ofstream(downloads_ + "/CorvZyraAgent-Setup-1.exe") << "planted installer";
  std::ofstream(exchange_ + "/CorvZyraProvisionStub_Result.txt") << "planted";
  ASSERT_EQ(::chown(exchange_.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chown(downloads_.c_str(), kNobody, kNobody), 0);
  const StubRun run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 0\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(exchange_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  const long warning = CountStartingWith(run.consoleMessages,
                                         "warning  Folder C:\\Windows\\Temp\\CorvZyra is owned by "
                                         "another account: moved aside to "
                                         "C:\\Windows\\Temp\\CorvZyra.untrusted-");
  EXPECT_EQ(warning, 1);
  // Before the first result line.
  const auto& lines = run.consoleMessages;
  const auto w = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("warning  Folder C:\\Windows\\Temp\\CorvZyra is owned", 0) == 0;
  });
  const auto r = std::find(lines.begin(), lines.end(),
                           "info  Result 9 is written to "
                           "C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt");
  EXPECT_LT(w - lines.begin(), r - lines.begin());
  // The planted installer went aside with its folder and was never run.
  EXPECT_THAT(Names(downloads_), Not(Contains("CorvZyraAgent-Setup-1.exe")));
}

// A folder that can be neither used nor moved aside (here a mount point of
// another account): nothing is downloaded, the run ends with 123.
TEST_F(Security, AnExchangeFolderThatCannotBeMadeTrustworthyEndsWith123) {
  if (!CanUsePrivateMounts()) GTEST_SKIP() << "no private mount namespaces here (needs root)";
  OfferUpdate();
  fs::create_directories(exchange_);
  m.SetStubLauncher(InPrivateMounts("mount -t tmpfs -o size=1m,mode=0755,uid=65534 zyrashared " +
                                    Quoted(exchange_)));
  const StubRun run = m.RunStub();
  EXPECT_EQ(run.exitCode, 123) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages,
              Contains("error  Cannot use folder C:\\Windows\\Temp\\CorvZyra: it is owned by "
                       "another account and cannot be moved aside (error 32)."));
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent version file."));
  EXPECT_THAT(m.InstallerCalls(), IsEmpty());
}

// A folder whose access list refuses even reading it (mode 000 on the
// emulated machine) is moved aside like any other that fails; only when it
// cannot be moved either (a mount point) does the run end with 123.
TEST_F(Security, AnExchangeFolderThatCannotBeExaminedIsMovedAsideOr123WhenItCannotBe) {
  OfferUpdate();
  fs::create_directories(exchange_);
  fs::permissions(exchange_, fs::perms::none);
  const StubRun moved = m.RunStub();
  EXPECT_EQ(moved.exitCode, 0) << moved.stdoutText;
  EXPECT_EQ(CountStartingWith(moved.consoleMessages,
                              "warning  Folder C:\\Windows\\Temp\\CorvZyra cannot be examined: "
                              "moved aside to C:\\Windows\\Temp\\CorvZyra.untrusted-"),
            1);
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 0\r\n");

  if (!CanUsePrivateMounts()) GTEST_SKIP() << "no private mount namespaces here (needs root)";
  m.SetStubLauncher(InPrivateMounts("mount -t tmpfs -o size=1m,mode=0000 zyrashared " +
                                    Quoted(exchange_)));
  const StubRun stuck = m.RunStub();
  EXPECT_EQ(stuck.exitCode, 123) << stuck.stdoutText;
  EXPECT_THAT(stuck.consoleMessages,
              Contains("error  Cannot use folder C:\\Windows\\Temp\\CorvZyra: it cannot be "
                       "examined and cannot be moved aside (error 32)."));
  EXPECT_THAT(stuck.consoleMessages, Contains("error  Cannot download ZyraAgent version file."));
}

// A status file and a result file another account made before the run: the
// run never writes into them, but removes them and writes its own (the
// status file goes with whatever an earlier run left there, before the
// handler is restarted).
TEST_F(Security, ExchangeFilesOfAnotherAccountAreRemovedAndWrittenAfresh) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another uid";
  OfferUpdate();
  fs::create_directories(exchange_);
  fs::permissions(exchange_, fs::perms::all);
  const std::string status = exchange_ + "/Zyrahandler_provisionstub.txt";
  const std::string result = exchange_ + "/CorvZyraProvisionStub_Result.txt";
  std::ofstream(status, std::ios::binary) << "Room provision failed.";
  std::ofstream(result, std::ios::binary) << "provision_result_code: 0\r\n";
  ASSERT_EQ(::chown(status.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chown(result.c_str(), kNobody, kNobody), 0);
  const StubRun run = m.RunStub();
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
  EXPECT_THAT(run.consoleMessages,
              Contains("info  Removed C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt, "
                       "left by an earlier run."));
  // Once, at the first result line; later ones find the run's own file.
  EXPECT_EQ(CountStartingWith(run.consoleMessages,
                              "warning  C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt "
                              "was owned by another account"),
            1);
  EXPECT_THAT(run.consoleMessages, Contains("info  Room provision result: Room provision success."));
  struct stat st {};
  ASSERT_EQ(::stat(result.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(m.ReadFile(result), "provision_result_code: 0\r\n");
  EXPECT_FALSE(fs::exists(status));
}

TEST_F(Security, AResultFileLinkedElsewhereIsNotWrittenThroughButTheCodeStands) {
  fs::create_directories(exchange_);
  fs::create_symlink(victim_ + "/precious.dll", exchange_ + "/CorvZyraProvisionStub_Result.txt");
  fs::remove(m.C("Program Files/CorvZyra/CorvZyraProvisionToken.json"));
  const StubRun run = m.RunStub();
  EXPECT_EQ(run.exitCode, 122) << run.stdoutText;
  ExpectVictimUntouched();
  // Both writes (the interim 9 and the final line) are refused, and the log
  // says so each time.
  EXPECT_EQ(CountStartingWith(run.consoleMessages,
                              "warning  C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt "
                              "is a junction or symbolic link"),
            2);
  EXPECT_THAT(run.consoleMessages, Contains("info  provision_result_code 122"));
}

TEST_F(Security, ALogLevelWrittenAsTextCountsAsAbsent) {
  m.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\r\n\"log_level\"=\"4\"\r\n");
  fs::remove(m.C("Program Files/CorvZyra/CorvZyraProvisionToken.json"));
  const StubRun run = m.RunStub();
  EXPECT_EQ(run.exitCode, 122);
  // Level 0: everything is written, not nothing (the code of "4" is 52).
  EXPECT_THAT(run.consoleMessages, Contains("info  CorvZyraProvisionStub completed."));
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot find provision token."));
}
