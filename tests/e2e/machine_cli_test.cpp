// zyra-machine, the command-line front of the tests' machine builder that the
// demo and the run benchmark lay out their machines with: a machine laid out
// in a folder of the caller's, the stub's run in it, the report, the exit
// code passed on, and the folders it refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/tool_run.h"

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using zyra_test::ReadText;
using zyra_test::RunTool;
using zyra_test::TempFolder;
using zyra_test::ToolRun;
namespace fs = std::filesystem;

namespace {

class MachineCli : public ::testing::Test {
 protected:
  ToolRun Lay(std::vector<std::string> args) {
    args.insert(args.begin(), {ZYRA_MACHINE_CLI, "--root", root});
    return RunTool(args, dir.path());
  }
  [[nodiscard]] std::string C(const std::string& relative) const {
    return root + "/drive_c/" + relative;
  }
  [[nodiscard]] std::string Log() const {
    return ReadText(C("ProgramData/Corvane/CorvZyra/CorvZyraProvisionStub.log"));
  }
  [[nodiscard]] std::string Result() const {
    return ReadText(C("Windows/Temp/CorvZyra/CorvZyraProvisionStub_Result.txt"));
  }

  TempFolder dir;
  std::string root = dir.path() + "/machine";
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Milliseconds since the epoch of a log line's stamp
// ("2026-12-09T00:13:57.063+00:00  info  ..."), 0 when there is none.
std::int64_t StampMilliseconds(const std::string& line) {
  int y, mo, d, h, mi, sec, ms, oh, om;
  char sign;
  if (std::sscanf(line.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d", &y, &mo, &d, &h, &mi, &sec,
                  &ms, &sign, &oh, &om) != 10)
    return 0;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = sec;
  const std::int64_t offset = (sign == '-' ? -1 : 1) * (oh * 60 + om) * 60;
  return (static_cast<std::int64_t>(::timegm(&tm)) - offset) * 1000 + ms;
}

}  // namespace

TEST_F(MachineCli, ProvisionsTheRoomAndKeepsTheMachine) {
  const ToolRun r = Lay({"--log-level", "2", "--offer-agent", "4.2.0",
                         "--handler-service=--behaviour success",
                         "--token", R"({"orgId":"cli","roomName":"Room 1"})"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(Result(), "provision_result_code: 0\r\n");
  const auto log = Lines(Log());
  ASSERT_FALSE(log.empty());
  EXPECT_THAT(log.back(), EndsWith("  info  Room successfully provisioned\r"));
  // The offered installer ran: the registry holds the agent it installed.
  EXPECT_THAT(r.out, HasSubstr("== Installed agent (registry) ==\n\"DisplayVersion\"=\"4.2.0\"\n"));
  EXPECT_THAT(r.out, HasSubstr("== Running C:\\Program Files\\CorvZyra\\CorvZyraProvisionStub "
                               "(clock x100) =="));
  EXPECT_THAT(r.out, HasSubstr("GET /CorvZyraAgent-Setup.exe -> 200"));
  EXPECT_THAT(r.out, HasSubstr("info  Room successfully provisioned\n"));
  EXPECT_THAT(r.out, EndsWith("== Exit code: 0 ==\n"
                              "== Result file: C:\\Windows\\Temp\\CorvZyra\\"
                              "CorvZyraProvisionStub_Result.txt ==\n"
                              "provision_result_code: 0\n"));
  EXPECT_TRUE(fs::exists(root + "/services/CorvZyraHandler/service"));
}

TEST_F(MachineCli, TheStubsExitCodeIsItsOwnAndTheRealClockIsTimed) {
  // No token: the run ends with 122 at once, on the real clock.
  const ToolRun r = Lay({"--real-clock", "--times", dir.path() + "/times"});
  EXPECT_EQ(r.exitCode, 122) << r.out << r.err;
  EXPECT_EQ(Result(), "provision_result_code: 122\r\n");
  EXPECT_THAT(r.out, HasSubstr("CorvZyraProvisionStub (real clock) =="));
  std::int64_t start = 0, end = 0;
  std::ifstream(dir.path() + "/times") >> start >> end;
  EXPECT_GT(start, 1600000000LL * 1000000000LL);
  EXPECT_LE(start, end);
  // On the real clock the log's stamps lie within the run (under libfaketime
  // x100 they would run ahead of it).
  const auto log = Lines(Log());
  ASSERT_FALSE(log.empty());
  EXPECT_GE(StampMilliseconds(log.front()), start / 1000000 - 1);
  EXPECT_LE(StampMilliseconds(log.back()), end / 1000000 + 1);
  EXPECT_FALSE(fs::exists(C("Program Files/CorvZyra/CorvZyraProvisionToken.json")));
}

TEST_F(MachineCli, RefusesAFolderThatHoldsFilesAndLeavesThem) {
  fs::create_directories(root);
  std::ofstream(root + "/keep.txt") << "mine";
  const ToolRun r = Lay({"--offer-agent", "4.2.0"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_THAT(r.err, HasSubstr("--root " + root + " is neither missing nor an empty folder"));
  EXPECT_EQ(ReadText(root + "/keep.txt"), "mine");
  EXPECT_FALSE(fs::exists(root + "/drive_c"));
}

// A build folder copied elsewhere runs its own programs (found from
// zyra-machine's own place), as does the build --build names; a build that
// lacks one is refused, named.
TEST_F(MachineCli, RunsTheProgramsOfItsOwnBuildOrOfTheOneNamed) {
  const fs::path original = fs::path(ZYRA_MACHINE_CLI).parent_path().parent_path().parent_path();
  const std::string copy = dir.path() + "/copied-build";
  const auto link = [&](const std::string& relative) {
    fs::create_directories(fs::path(copy + "/" + relative).parent_path());
    fs::create_symlink(original / relative, copy + "/" + relative);
  };
  for (const char* program :
       {"tools/handler_double/zyra-handler-double", "tools/installer_double/zyra-installer-double",
        "tools/zyra-update-server/zyra-update-server", "tools/zyra-sign/zyra-sign",
        "dev-keys/package-signing-private.pem"})
    link(program);
  // The copy's own file, not a link: it finds its build from where it is.
  fs::create_directories(copy + "/tools/zyra-machine");
  fs::copy_file(ZYRA_MACHINE_CLI, copy + "/tools/zyra-machine/zyra-machine");
  // The copy's "stub" says which it is.
  fs::create_directories(copy + "/app");
  std::ofstream(copy + "/app/CorvZyraProvisionStub")
      << "#!/bin/sh\necho the stub of the copied build\nexit 7\n";
  fs::permissions(copy + "/app/CorvZyraProvisionStub", fs::perms::owner_all);

  const auto check = [&](const ToolRun& r) {
    EXPECT_EQ(r.exitCode, 7) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("== Programs of the build " + copy + " =="));
    EXPECT_THAT(ReadText(root + "/stub.out"), HasSubstr("the stub of the copied build"));
    EXPECT_THAT(ReadText(root + "/services/CorvZyraHandler/service"),
                HasSubstr(copy + "/tools/handler_double/zyra-handler-double"));
    fs::remove_all(root);
  };
  check(RunTool({copy + "/tools/zyra-machine/zyra-machine", "--root", root,
                 "--handler-service=--behaviour success"},
                dir.path()));
  check(Lay({"--build", copy, "--handler-service=--behaviour success"}));

  fs::remove(copy + "/tools/zyra-sign/zyra-sign");
  const ToolRun lacking = Lay({"--build", copy});
  EXPECT_EQ(lacking.exitCode, 2);
  EXPECT_THAT(lacking.err, AllOf(HasSubstr("the build folder " + copy + " lacks:"),
                                 HasSubstr(copy + "/tools/zyra-sign/zyra-sign")));
  EXPECT_FALSE(fs::exists(root));
}
