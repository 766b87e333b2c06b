// Token staging with a token beside the test program itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/file_helpers.h"
#include "app/token_staging.h"
#include "platform/posix/machine.h"
#include "platform/shell.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace {

// CorvZyraProvisionToken.json beside the running test binary.
class TokenBesideProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    token_ = fs::read_symlink("/proc/self/exe").parent_path() / "CorvZyraProvisionToken.json";
    std::ofstream(token_, std::ios::binary) << "opaque token";
  }
  void TearDown() override { fs::remove(token_); }
  fs::path token_;
};

}  // namespace

// One test for both cases: ctest runs tests in parallel processes, and both
// need the one token file beside the binary.
TEST_F(TokenBesideProgram, StagingConfirmsTheCopyOrLeavesAPending122) {
  {
    zyra_test::CapturedLog log;
    app::RunState run;
    // The copy goes somewhere other than where the confirmation looks.
    run.provisionFolder = "C:\\Elsewhere\\CorvZyra";
    run.tokenDestination = run.provisionFolder + "/" + app::kStagedTokenName;
    ASSERT_TRUE(app::StageProvisionToken(run));
    EXPECT_EQ(run.pendingCode, app::ResultCode::TokenNotFound);
    EXPECT_THAT(log.Lines(), ::testing::ElementsAre("error|Cannot find copied provision token."));
    EXPECT_EQ(zyra_test::ReadBytes("C:\\Elsewhere\\CorvZyra\\provision-token.data"), "opaque token");
    fs::remove_all(platform::posix::MachineRoot() + "/drive_c/Elsewhere");
  }
  {
    app::RunState run;
    run.provisionFolder = app::GetProvisionFolder();
    ASSERT_EQ(run.provisionFolder, "C:\\ProgramData\\Corvane\\CorvZyra");
    run.tokenDestination = run.provisionFolder + "/" + app::kStagedTokenName;
    ASSERT_TRUE(app::CreateProvisionFolder(run.provisionFolder));
    ASSERT_TRUE(app::WriteWholeFile(run.provisionFolder + "\\provision-token.data", "older, longer"));
    ASSERT_TRUE(app::StageProvisionToken(run));
    EXPECT_EQ(run.pendingCode, app::ResultCode::RoomProvisioned);
    EXPECT_EQ(zyra_test::ReadBytes(run.provisionFolder + "\\provision-token.data"), "opaque token");
    EXPECT_EQ(run.tokenSource.substr(run.tokenSource.size() - 28), "\\CorvZyraProvisionToken.json");
  }
}
