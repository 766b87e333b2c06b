// The newcomer's walk-through (docs/walkthrough.md), command by command: the
// blocks marked "sh walkthrough" are read from the document itself and run
// in one bash shell, against this build instead of build/release (the build
// blocks, "sh walkthrough-build", are left out: the test build is made
// already). It must end with the result file's "provision_result_code: 0",
// stop at the first command that fails (a trap, not set -e, which a reader's
// shell would keep) and leave set -e off, as the reader's shell must be left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/process.h"
#include "tests/support/tool_run.h"

using ::testing::ContainsRegex;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// The text of every fenced block whose info string is exactly tag.
std::string BlocksTagged(const std::string& markdown, const std::string& tag) {
  std::istringstream in(markdown);
  std::string script, line;
  bool inside = false, wanted = false;
  while (std::getline(in, line)) {
    if (line.rfind("```", 0) == 0) {
      if (!inside) {
        wanted = line.substr(3) == tag;
        inside = true;
      } else {
        inside = false;
        if (wanted) script += "\n";
      }
      continue;
    }
    if (inside && wanted) script += line + "\n";
  }
  return script;
}

TEST(Walkthrough, TheDocumentedCommandsProvisionTheRoom) {
  zyra_test::ProcessOptions probe;
  probe.argv = {"unshare", "--mount", "--propagation", "private", "--", "true"};
  if (zyra_test::Run(probe, 30) != 0) GTEST_SKIP() << "no private mount namespaces here (needs root)";

  const std::string doc = zyra_test::ReadText(ZYRA_SOURCE_DIR "/docs/walkthrough.md");
  ASSERT_FALSE(doc.empty());
  const std::string script = BlocksTagged(doc, "sh walkthrough");
  ASSERT_THAT(script, HasSubstr("CorvZyraProvisionStub"));
  ASSERT_THAT(BlocksTagged(doc, "sh walkthrough-build"), HasSubstr("build/release"));

  zyra_test::TempFolder work;
  ASSERT_THAT(script, Not(ContainsRegex("(^|\n)set -e"))) << "a block turns set -e on";
  std::ofstream(work.path() + "/walkthrough.sh")
      << "set -uo pipefail\n"
      << "trap 'echo \"failed: $BASH_COMMAND\" >&2; exit 1' ERR\n"
      << script << "case $- in *e*) echo 'the blocks left set -e on' >&2; exit 3;; esac\n";
  const zyra_test::ToolRun r =
      zyra_test::RunTool({"bash", work.path() + "/walkthrough.sh"}, ZYRA_SOURCE_DIR, 300,
                         {{"BUILD", ZYRA_BUILD_DIR}, {"WORK", work.path() + "/work"}});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("exit code: 0"));
  EXPECT_THAT(r.out, HasSubstr("DisplayVersion\"=\"4.2.0\""));
  EXPECT_THAT(r.out, EndsWith("provision_result_code: 0\n")) << r.err;
}

}  // namespace
