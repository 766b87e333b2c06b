// Files held against changes, renames and protected folders: what the
// update path relies on where other accounts could interfere.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "app/file_helpers.h"
#include "platform/file_security.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "tests/support/test_support.h"

namespace w = platform::win;

namespace {

class FileSecurity : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string temp;
    ASSERT_GT(w::GetTempPathA(temp), 0u);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = temp + "zyra-security-" + info->name();
    w::SHCreateDirectoryExA(dir_);
    for (const std::string& f : app::ListFiles(dir_)) app::DeleteFileIfExists(dir_ + "\\" + f);
  }
  std::string Path(const std::string& name) const { return dir_ + "\\" + name; }
  std::string dir_;
};

std::string ReadThrough(const w::FileHandle& h) {
  std::string out;
  char buf[7];  // several reads
  for (;;) {
    w::DWORD n = 0;
    if (!w::ReadFile(h, buf, sizeof buf, &n)) return "<read failed>";
    if (n == 0) return out;
    out.append(buf, n);
  }
}

}  // namespace

TEST_F(FileSecurity, AFileSharedForReadingOnlyCanBeReadButNotWrittenMovedOrDeleted) {
  const std::string file = Path("setup.exe");
  ASSERT_TRUE(zyra_test::WriteBytes(file, "the validated installer"));
  ASSERT_TRUE(zyra_test::WriteBytes(Path("other.exe"), "another installer"));
  {
    w::FileHandle held = w::CreateFileA(file, w::kGenericRead, w::kFileShareRead,
                                        w::kOpenExisting, w::kFileFlagOpenReparsePoint);
    ASSERT_TRUE(held.valid()) << w::GetLastError();

    EXPECT_EQ(zyra_test::ReadBytes(file), "the validated installer");  // others may read
    EXPECT_EQ(w::OpenFile(file, "wb"), nullptr);
    EXPECT_EQ(w::GetLastError(), w::kErrorSharingViolation);
    EXPECT_EQ(w::OpenFile(file, "a"), nullptr);
    EXPECT_FALSE(w::DeleteFileA(file));
    EXPECT_EQ(w::GetLastError(), w::kErrorSharingViolation);
    EXPECT_FALSE(w::MoveFileExA(file, Path("moved.exe"), 0));
    EXPECT_FALSE(w::MoveFileExA(Path("other.exe"), file, w::kMoveFileReplaceExisting));
    // A second hold that would deny reading is refused as well.
    EXPECT_FALSE(w::CreateFileA(file, w::kGenericRead, 0, w::kOpenExisting, 0).valid());
    EXPECT_EQ(w::GetLastError(), w::kErrorSharingViolation);

    EXPECT_EQ(ReadThrough(held), "the validated installer");
  }
  // Released: everything is allowed again.
  EXPECT_TRUE(zyra_test::WriteBytes(file, "replaced"));
  EXPECT_TRUE(w::MoveFileExA(file, Path("moved.exe"), 0));
  EXPECT_TRUE(w::DeleteFileA(Path("moved.exe")));
}

TEST_F(FileSecurity, HoldingFailsForMissingFilesAndFolders) {
  EXPECT_FALSE(w::CreateFileA(Path("missing.exe"), w::kGenericRead, w::kFileShareRead,
                              w::kOpenExisting, w::kFileFlagOpenReparsePoint)
                   .valid());
  EXPECT_EQ(w::GetLastError(), w::kErrorFileNotFound);
  EXPECT_FALSE(w::CreateFileA(Path("no-folder\\missing.exe"), w::kGenericRead, w::kFileShareRead,
                              w::kOpenExisting, w::kFileFlagOpenReparsePoint)
                   .valid());
  EXPECT_EQ(w::GetLastError(), w::kErrorPathNotFound);
  EXPECT_FALSE(
      w::CreateFileA(dir_, w::kGenericRead, w::kFileShareRead, w::kOpenExisting, 0).valid());
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);
}

TEST_F(FileSecurity, MovingNeverReplacesUnlessAskedAndMovesFolders) {
  ASSERT_TRUE(zyra_test::WriteBytes(Path("a.txt"), "a"));
  ASSERT_TRUE(zyra_test::WriteBytes(Path("b.txt"), "b"));
  EXPECT_FALSE(w::MoveFileExA(Path("a.txt"), Path("b.txt"), 0));
  EXPECT_EQ(w::GetLastError(), w::kErrorAlreadyExists);
  EXPECT_EQ(zyra_test::ReadBytes(Path("b.txt")), "b");
  EXPECT_TRUE(w::MoveFileExA(Path("a.txt"), Path("b.txt"), w::kMoveFileReplaceExisting));
  EXPECT_EQ(zyra_test::ReadBytes(Path("b.txt")), "a");
  EXPECT_FALSE(w::MoveFileExA(Path("gone.txt"), Path("c.txt"), 0));
  EXPECT_EQ(w::GetLastError(), w::kErrorFileNotFound);

  const std::string sub = Path("sub");
  // A name of its own for each run: folders stay behind in the scratch folder.
  const std::string aside = Path("sub.aside-" + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count()));
  w::SHCreateDirectoryExA(sub);
  ASSERT_TRUE(zyra_test::WriteBytes(sub + "\\inner.txt", "i"));
  ASSERT_TRUE(w::MoveFileExA(sub, aside, 0));
  EXPECT_EQ(zyra_test::ReadBytes(aside + "\\inner.txt"), "i");
  app::DeleteFileIfExists(aside + "\\inner.txt");
}

TEST_F(FileSecurity, AProtectedFolderIsTrustworthyAndNotMadeTwice) {
  const std::string folder = Path("protected");
  w::FolderInfo info;
  if (w::InspectFolder(folder, info) == 0) {
    ASSERT_TRUE(w::MoveFileExA(folder, Path("protected-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed())), 0));
  }
  EXPECT_EQ(w::InspectFolder(folder, info), w::kErrorFileNotFound);
  EXPECT_EQ(app::UntrustedFolderReason(folder, app::FolderUse::Download), std::string("is missing"));

  ASSERT_TRUE(w::CreateProtectedDirectoryA(folder)) << w::GetLastError();
  ASSERT_EQ(w::InspectFolder(folder, info), 0u);
  EXPECT_NE(info.attributes & w::kFileAttributeDirectory, 0u);
  EXPECT_EQ(info.attributes & w::kFileAttributeReparsePoint, 0u);
  EXPECT_TRUE(info.ownerTrusted);
  EXPECT_FALSE(info.othersMayWrite);
  EXPECT_EQ(app::UntrustedFolderReason(folder, app::FolderUse::Download), nullptr);

  EXPECT_FALSE(w::CreateProtectedDirectoryA(folder));
  EXPECT_EQ(w::GetLastError(), w::kErrorAlreadyExists);

  // Files made inside can be written and removed by the program.
  EXPECT_TRUE(zyra_test::WriteBytes(folder + "\\f.txt", "f"));
  EXPECT_TRUE(w::DeleteFileA(folder + "\\f.txt"));

  // A file is not a folder to trust.
  ASSERT_TRUE(zyra_test::WriteBytes(Path("plain.txt"), "p"));
  EXPECT_EQ(app::UntrustedFolderReason(Path("plain.txt"), app::FolderUse::Download), std::string("is not a folder"));
}

// What the hand-off relies on to tell an earlier attempt's status file from
// this run's: the file's last-write time, readable even while another
// program holds the file with no sharing at all, on the same scale as the
// machine's clock.
TEST_F(FileSecurity, AFileHeldWithNoSharingStillShowsItsOwnerAndLastWriteTime) {
  namespace fs = std::filesystem;
  const std::string file = Path("status.txt");
  ASSERT_TRUE(zyra_test::WriteBytes(file, "Room provision success."));
  fs::last_write_time(w::HostPath(file),
                      fs::file_time_type::clock::now() - std::chrono::minutes(10));
  const std::uint64_t moment = w::GetSystemTimeAsFileTime();
  {
    w::FileHandle held = w::CreateFileA(file, w::kGenericRead, 0, w::kOpenExisting, 0);
    ASSERT_TRUE(held.valid()) << w::GetLastError();
    EXPECT_EQ(w::OpenFile(file, "r"), nullptr);  // nobody else may even read it
    w::FolderInfo info;
    ASSERT_EQ(w::InspectFolder(file, info), 0u);
    EXPECT_EQ(info.attributes & (w::kFileAttributeDirectory | w::kFileAttributeReparsePoint), 0u);
    EXPECT_TRUE(info.ownerTrusted);
    // 100 ns steps since 1601 on both sides: ten minutes apart, give or take.
    EXPECT_NEAR(static_cast<double>(moment - info.lastWriteTime) / 1e7, 600.0, 2.0);
  }
  ASSERT_TRUE(zyra_test::WriteBytes(file, "Room provision success."));
  w::FolderInfo info;
  ASSERT_EQ(w::InspectFolder(file, info), 0u);
  EXPECT_GE(info.lastWriteTime, moment);
}
