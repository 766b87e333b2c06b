// The download and exchange folders on the emulated machine, where a symbolic
// link stands for a junction and a folder's owner uid for the account that
// made it: what another account plants there is moved aside, never followed,
// never emptied.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/file_helpers.h"
#include "app/handler_handoff.h"
#include "platform/file_security.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "tests/support/test_support.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
namespace fs = std::filesystem;
namespace w = platform::win;

namespace {

constexpr uid_t kNobody = 65534;

class FolderTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string temp;
    ASSERT_GT(w::GetTempPathA(temp), 0u);
    tempHost_ = w::HostPath(temp);
    exchange_ = tempHost_ + "/CorvZyra";
    downloads_ = exchange_ + "/ZHDownload";
    victim_ = w::HostPath("C:\\Victim");
    // Every test starts without the two folders, and with a victim folder
    // outside them holding a file.
    Clear();
    fs::create_directories(victim_);
    std::ofstream(victim_ + "/precious.dll") << "precious";
  }
  // Leaves the machine's folders as the other tests expect them.
  void TearDown() override {
    Clear();
    EXPECT_TRUE(app::PrepareDownloadFolder());
  }
  void Clear() {
    std::error_code ec;
    std::vector<fs::path> ours;
    for (const auto& e : fs::directory_iterator(tempHost_, ec))
      if (e.path().filename().string().rfind("CorvZyra", 0) == 0) ours.push_back(e.path());
    for (const auto& p : ours) fs::remove_all(p, ec);
    fs::remove_all(victim_, ec);
  }
  // Folders beside "CorvZyra" that the preparation moved aside.
  std::vector<std::string> MovedAside() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(tempHost_))
      if (e.path().filename().string().rfind("CorvZyra.untrusted-", 0) == 0)
        names.push_back(e.path().filename().string());
    return names;
  }
  static bool IsLink(const std::string& p) { return fs::is_symlink(fs::symlink_status(p)); }
  // "Room provision success." in the status file, made there by a standard
  // user before the run (root gives it to nobody).
  static void PlantStatusFileOfAnotherAccount(const std::string& host) {
    ASSERT_TRUE(app::PrepareDownloadFolder());
    std::ofstream(host) << "Room provision success.";
    ASSERT_EQ(::chown(host.c_str(), kNobody, kNobody), 0);
  }

  std::string tempHost_;
  std::string exchange_;
  std::string downloads_;
  std::string victim_;
};

}  // namespace

TEST_F(FolderTrust, MissingFoldersAreMadeWithoutAWordTheDownloadFolderProtected) {
  zyra_test::CapturedLog log;
  const mode_t umask = ::umask(0);  // the exchange folder gets what any folder there gets
  const bool prepared = app::PrepareDownloadFolder();
  ::umask(umask);
  ASSERT_TRUE(prepared);
  for (const std::string& p : {exchange_, downloads_}) {
    struct stat st {};
    ASSERT_EQ(::lstat(p.c_str(), &st), 0) << p;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 07777, p == downloads_ ? 0755u : 0777u) << p;
  }
  EXPECT_THAT(log.Lines(), IsEmpty());
  // Made once: the second call finds them trustworthy.
  ASSERT_TRUE(app::PrepareDownloadFolder());
  EXPECT_THAT(MovedAside(), IsEmpty());
}

TEST_F(FolderTrust, ALinkedDownloadFolderIsMovedAsideAndItsTargetNeverTouched) {
  fs::create_directories(exchange_);
  fs::create_directory_symlink(victim_, downloads_);
  {
    // The clean-up neither follows nor empties it.
    zyra_test::CapturedLog log;
    app::CleanupDownloadLocation("");
    EXPECT_EQ(zyra_test::ReadBytes("C:\\Victim\\precious.dll"), "precious");
    EXPECT_THAT(log.Lines(), IsEmpty());
  }
  zyra_test::CapturedLog log;
  const std::string path = app::MakeTempDownloadPath("CorvZyraAgent-Setup", ".exe");
  EXPECT_FALSE(IsLink(downloads_));
  EXPECT_TRUE(fs::is_directory(downloads_));
  ASSERT_TRUE(app::WriteWholeFile(path, "download"));
  EXPECT_TRUE(fs::exists(downloads_ + "/" + path.substr(path.rfind('\\') + 1)));
  EXPECT_THAT(fs::directory_iterator(victim_)->path().filename().string(), "precious.dll");
  EXPECT_EQ(std::distance(fs::directory_iterator(victim_), fs::directory_iterator()), 1);
  // The link itself was moved, not what it points to.
  EXPECT_TRUE(IsLink(exchange_ + "/ZHDownload.untrusted-" +
                     log.Lines().at(0).substr(log.Lines().at(0).rfind('-') + 1, 13)));
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_THAT(log.Lines()[0], HasSubstr("warning|Folder C:\\Windows\\Temp\\CorvZyra\\ZHDownload "
                                        "is a junction or symbolic link: moved aside to "
                                        "C:\\Windows\\Temp\\CorvZyra\\ZHDownload.untrusted-"));
}

TEST_F(FolderTrust, ALinkedExchangeFolderIsMovedAsideWithEverythingBelowIt) {
  fs::create_directories(victim_ + "/ZHDownload");
  std::ofstream(victim_ + "/ZHDownload/also-precious.dll") << "x";
  fs::create_directory_symlink(victim_, exchange_);
  app::CleanupDownloadLocation("");
  EXPECT_TRUE(fs::exists(victim_ + "/ZHDownload/also-precious.dll"));

  zyra_test::CapturedLog log;
  ASSERT_TRUE(app::PrepareDownloadFolder());
  EXPECT_FALSE(IsLink(exchange_));
  EXPECT_THAT(MovedAside(), testing::SizeIs(1));
  EXPECT_TRUE(fs::exists(victim_ + "/ZHDownload/also-precious.dll"));
  EXPECT_TRUE(fs::exists(victim_ + "/precious.dll"));
  EXPECT_THAT(log.Lines(), ElementsAre(HasSubstr(
                               "warning|Folder C:\\Windows\\Temp\\CorvZyra is a junction or "
                               "symbolic link: moved aside to C:\\Windows\\Temp\\CorvZyra.untrusted-")));
}

TEST_F(FolderTrust, FoldersOfAnotherAccountOrWritableByOthersAreReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another uid";
  fs::create_directories(downloads_);
  std::ofstream(downloads_ + "/planted.exe") << "planted";
  ASSERT_EQ(::chown(exchange_.c_str(), kNobody, kNobody), 0);
  {
    zyra_test::CapturedLog log;
    app::CleanupDownloadLocation("");  // not ours to empty
    EXPECT_TRUE(fs::exists(downloads_ + "/planted.exe"));
    ASSERT_TRUE(app::PrepareDownloadFolder());
    EXPECT_THAT(log.Lines(), ElementsAre(HasSubstr(
                                 "warning|Folder C:\\Windows\\Temp\\CorvZyra is owned by another "
                                 "account: moved aside to C:\\Windows\\Temp\\CorvZyra.untrusted-")));
  }
  EXPECT_FALSE(fs::exists(downloads_ + "/planted.exe"));
  struct stat st {};
  ASSERT_EQ(::stat(exchange_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());

  // Ours, but others may write in it.
  fs::permissions(downloads_, fs::perms::others_write, fs::perm_options::add);
  zyra_test::CapturedLog log;
  ASSERT_TRUE(app::PrepareDownloadFolder());
  EXPECT_THAT(log.Lines(), ElementsAre(HasSubstr("ZHDownload can be changed by other accounts: "
                                                 "moved aside to")));
  EXPECT_EQ(app::UntrustedFolderReason(w::FromHostPath(downloads_), app::FolderUse::Download), nullptr);
}

TEST_F(FolderTrust, AFileInTheWayIsMovedAsideAndAFolderThatCannotBeFixedFails) {
  fs::create_directories(exchange_);
  std::ofstream(downloads_) << "not a folder";
  {
    zyra_test::CapturedLog log;
    ASSERT_TRUE(app::PrepareDownloadFolder());
    EXPECT_THAT(log.Lines(), ElementsAre(HasSubstr("ZHDownload is not a folder: moved aside")));
  }
  // Something holds a file in the way, so it can be neither moved nor
  // replaced: the folder cannot be used and nothing may be downloaded.
  fs::remove_all(downloads_);
  std::ofstream(downloads_) << "held";
  w::FileHandle held = w::CreateFileA(w::FromHostPath(downloads_), w::kGenericRead,
                                      w::kFileShareRead, w::kOpenExisting, 0);
  ASSERT_TRUE(held.valid());
  zyra_test::CapturedLog log;
  EXPECT_FALSE(app::PrepareDownloadFolder());
  EXPECT_THAT(log.Lines(),
              ElementsAre("error|Cannot use folder C:\\Windows\\Temp\\CorvZyra\\ZHDownload: it is "
                          "not a folder and cannot be moved aside (error 32)."));
}

TEST_F(FolderTrust, ListingAndCleanupSkipLinksInsideTheFolder) {
  ASSERT_TRUE(app::PrepareDownloadFolder());
  std::ofstream(downloads_ + "/old.exe") << "old";
  fs::create_symlink(victim_ + "/precious.dll", downloads_ + "/link.dll");
  fs::create_directory_symlink(victim_, downloads_ + "/linkdir");
  EXPECT_THAT(app::ListFiles(app::GetDownloadFolder()), ElementsAre("old.exe"));
  app::CleanupDownloadLocation("");
  EXPECT_FALSE(fs::exists(downloads_ + "/old.exe"));
  EXPECT_TRUE(IsLink(downloads_ + "/link.dll"));
  EXPECT_EQ(zyra_test::ReadBytes("C:\\Victim\\precious.dll"), "precious");
}

TEST_F(FolderTrust, ExchangeFilesAreNeverWrittenThroughALink) {
  ASSERT_TRUE(app::PrepareDownloadFolder());
  const std::string result = "C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt";
  fs::create_symlink(victim_ + "/precious.dll", w::HostPath(result));
  {
    zyra_test::CapturedLog log;
    EXPECT_FALSE(app::WriteExchangeFile(result, "9\n"));
    EXPECT_EQ(zyra_test::ReadBytes("C:\\Victim\\precious.dll"), "precious");
    EXPECT_THAT(log.Lines(), ElementsAre("warning|" + result +
                                         " is a junction or symbolic link: " + result +
                                         " is not written."));
  }
  fs::remove(w::HostPath(result));
  EXPECT_TRUE(app::WriteExchangeFile(result, "9\n"));
  EXPECT_EQ(zyra_test::ReadBytes(result), "9\r\n");

  // The folder itself a link: nothing is written into its target.
  fs::remove_all(exchange_);
  fs::create_directory_symlink(victim_, exchange_);
  zyra_test::CapturedLog log;
  EXPECT_FALSE(app::WriteExchangeFile(result, "9\n"));
  EXPECT_FALSE(fs::exists(victim_ + "/CorvZyraProvisionStub_Result.txt"));
  EXPECT_THAT(log.Lines(), ElementsAre("warning|C:\\Windows\\Temp\\CorvZyra is a junction or "
                                       "symbolic link: " + result + " is not written."));
}

// The handler service's folder as it makes it in C:\Windows\Temp: owned by
// SYSTEM (root), with the entries it inherits there that let users add files
// (write access for others). It is the handler's: used as it stands.
TEST_F(FolderTrust, TheHandlersFolderWithInheritedEntriesIsUsedAsItStands) {
  fs::create_directories(exchange_);
  ASSERT_EQ(::chown(exchange_.c_str(), 0, 0), 0) << "needs root";
  fs::permissions(exchange_, fs::perms::all);
  std::ofstream(exchange_ + "/handler-own.txt") << "the handler's";
  struct stat before {};
  ASSERT_EQ(::lstat(exchange_.c_str(), &before), 0);
  {
    zyra_test::CapturedLog log;
    ASSERT_TRUE(app::PrepareDownloadFolder());
    ASSERT_TRUE(app::PrepareDownloadFolder());
    EXPECT_THAT(log.Lines(), IsEmpty());
  }
  EXPECT_THAT(MovedAside(), IsEmpty());
  struct stat after {};
  ASSERT_EQ(::lstat(exchange_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0777u);
  EXPECT_EQ(zyra_test::ReadBytes("C:\\Windows\\Temp\\CorvZyra\\handler-own.txt"), "the handler's");
  EXPECT_EQ(app::UntrustedFolderReason(w::FromHostPath(exchange_), app::FolderUse::Exchange), nullptr);
  // The download folder in it is the program's alone.
  struct stat downloads {};
  ASSERT_EQ(::lstat(downloads_.c_str(), &downloads), 0);
  EXPECT_EQ(downloads.st_mode & 07777, 0755u);
  std::ofstream(downloads_ + "/old.exe") << "old";
  app::CleanupDownloadLocation("");
  EXPECT_FALSE(fs::exists(downloads_ + "/old.exe"));
  // The same entries on the download folder still disqualify it.
  EXPECT_STREQ(app::UntrustedFolderReason(w::FromHostPath(exchange_), app::FolderUse::Download),
               "can be changed by other accounts");
}

// A folder whose access list grants nobody anything (mode 000 on the
// emulated machine) cannot be examined; it can still be renamed, and is.
TEST_F(FolderTrust, AFolderThatCannotBeExaminedIsMovedAside) {
  fs::create_directories(exchange_);
  std::ofstream(exchange_ + "/planted.txt") << "planted";
  fs::permissions(exchange_, fs::perms::none);
  EXPECT_STREQ(app::UntrustedFolderReason(w::FromHostPath(exchange_), app::FolderUse::Exchange),
               "cannot be examined");
  {
    zyra_test::CapturedLog log;
    ASSERT_TRUE(app::PrepareDownloadFolder());
    EXPECT_THAT(log.Lines(), ElementsAre(HasSubstr(
                                 "warning|Folder C:\\Windows\\Temp\\CorvZyra cannot be examined: "
                                 "moved aside to C:\\Windows\\Temp\\CorvZyra.untrusted-")));
  }
  const auto aside = MovedAside();
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(fs::exists(tempHost_ + "/" + aside[0] + "/planted.txt"));  // nothing deleted
  EXPECT_FALSE(fs::exists(exchange_ + "/planted.txt"));
  EXPECT_EQ(app::UntrustedFolderReason(w::FromHostPath(downloads_), app::FolderUse::Download), nullptr);

  // The download folder likewise.
  fs::permissions(downloads_, fs::perms::none);
  zyra_test::CapturedLog log;
  ASSERT_TRUE(app::PrepareDownloadFolder());
  EXPECT_THAT(log.Lines(), ElementsAre(HasSubstr("ZHDownload cannot be examined: moved aside to")));
}

// A result or status file another account made before the run is never
// written into, whatever handle that account still has on it: it is
// removed and made afresh, or left unwritten when it cannot be removed.
TEST_F(FolderTrust, AnExchangeFileOfAnotherAccountIsRemovedAndWrittenAfresh) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another uid";
  const std::string status = "C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt";
  const std::string host = w::HostPath(status);
  PlantStatusFileOfAnotherAccount(host);
  if (HasFatalFailure()) return;
  const int planterFd = ::open(host.c_str(), O_WRONLY | O_CLOEXEC);  // the planter's handle
  ASSERT_GE(planterFd, 0);
  {
    zyra_test::CapturedLog log;
    EXPECT_TRUE(app::WriteExchangeFile(status, "Provisioning room. Please wait..."));
    EXPECT_THAT(log.Lines(), ElementsAre("warning|" + status +
                                         " was owned by another account: it is removed and "
                                         "written afresh."));
  }
  struct stat st {};
  ASSERT_EQ(::stat(host.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  // What the planter writes through its handle never reaches the new file.
  ASSERT_EQ(::write(planterFd, "Room provision success.", 23), 23);
  ::close(planterFd);
  EXPECT_EQ(zyra_test::ReadBytes(status), "Provisioning room. Please wait...");
  {
    // Ours now: written in place, without a word.
    zyra_test::CapturedLog log;
    EXPECT_TRUE(app::WriteExchangeFile(status, "second"));
    EXPECT_THAT(log.Lines(), IsEmpty());
  }

  // Planted again and held against deletion: not written at all.
  ASSERT_EQ(::chown(host.c_str(), kNobody, kNobody), 0);
  w::FileHandle held =
      w::CreateFileA(status, w::kGenericRead, w::kFileShareRead, w::kOpenExisting, 0);
  ASSERT_TRUE(held.valid());
  zyra_test::CapturedLog log;
  EXPECT_FALSE(app::WriteExchangeFile(status, "third"));
  EXPECT_THAT(log.Lines(), ElementsAre("warning|" + status +
                                       " is owned by another account and cannot be removed "
                                       "(error 32): it is not written."));
  EXPECT_EQ(zyra_test::ReadBytes(status), "second");
}

// A status file another account made, even one this run cannot remove or
// write, is never the handler's answer: one warning names it and its owner.
// The handler service's own account is trusted like the program's.
TEST_F(FolderTrust, AStatusFileOfAnotherAccountIsNeverTheHandlersAnswer) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another uid";
  const std::string status = "C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt";
  const std::string host = w::HostPath(status);
  PlantStatusFileOfAnotherAccount(host);
  if (HasFatalFailure()) return;
  w::FileHandle held =
      w::CreateFileA(status, w::kGenericRead, w::kFileShareRead, w::kOpenExisting, 0);
  ASSERT_TRUE(held.valid());
  {
    zyra_test::CapturedLog log;
    app::RemoveEarlierHandlerStatus();
    app::StatusFileReader reader(true, std::nullopt);
    std::string text = "unchanged";
    EXPECT_FALSE(reader.Read(text));
    EXPECT_FALSE(reader.Read(text));
    EXPECT_EQ(text, "unchanged");
    EXPECT_THAT(log.Lines(),
                ElementsAre("warning|Cannot remove " + status +
                                ", left by an earlier run (error 32): only a change to it during "
                                "this run counts as the handler's answer.",
                            "warning|" + status +
                                " is owned by nobody, an account that is neither this program's "
                                "nor the handler service's: its content is not taken as the "
                                "handler's answer."));
  }
  // The same file written by a handler service that runs as that account.
  const std::string services = std::string(std::getenv("ZYRA_MACHINE_ROOT")) + "/services";
  const bool madeServices = fs::create_directories(services);
  const std::string service = services + "/CorvZyraHandler";
  fs::create_directories(service);
  std::ofstream(service + "/service") << "#!/bin/sh\n";
  fs::permissions(service + "/service", fs::perms::owner_all);
  std::ofstream(service + "/account") << ".\\nobody\r\n";
  {
    zyra_test::CapturedLog log;
    app::StatusFileReader reader(true, std::nullopt);
    std::string text;
    EXPECT_TRUE(reader.Read(text));
    EXPECT_EQ(text, "Room provision success.");
    EXPECT_THAT(log.Lines(), IsEmpty());
  }
  fs::remove_all(madeServices ? services : service);
  held.reset();
  // Released, it is removed, and says so.
  zyra_test::CapturedLog log;
  app::RemoveEarlierHandlerStatus();
  EXPECT_FALSE(fs::exists(host));
  EXPECT_THAT(log.Lines(), ElementsAre("info|Removed " + status + ", left by an earlier run."));
}

// Reading and deleting the status file never go through a link either, at
// the file or at its folder, wherever the temporary folder is.
TEST_F(FolderTrust, ExchangeFilesAreNeverReadOrDeletedThroughALink) {
  const std::string status = "C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt";
  std::ofstream(victim_ + "/Zyrahandler_provisionstub.txt") << "Room provision success.";
  fs::create_directory_symlink(victim_, exchange_);
  std::string text = "unchanged";
  EXPECT_FALSE(app::ReadExchangeFile(status, text));
  EXPECT_EQ(text, "unchanged");
  app::DeleteExchangeFile(status);
  EXPECT_TRUE(fs::exists(victim_ + "/Zyrahandler_provisionstub.txt"));

  fs::remove(exchange_);
  fs::create_directories(exchange_);
  fs::create_symlink(victim_ + "/Zyrahandler_provisionstub.txt", w::HostPath(status));
  EXPECT_FALSE(app::ReadExchangeFile(status, text));
  EXPECT_EQ(text, "unchanged");
  app::DeleteExchangeFile(status);
  EXPECT_TRUE(fs::exists(victim_ + "/Zyrahandler_provisionstub.txt"));

  // A plain file in a plain folder is read and deleted.
  fs::remove(w::HostPath(status));
  ASSERT_TRUE(app::WriteWholeFile(status, "Room already provisioned."));
  EXPECT_TRUE(app::ReadExchangeFile(status, text));
  EXPECT_EQ(text, "Room already provisioned.");
  app::DeleteExchangeFile(status);
  EXPECT_FALSE(fs::exists(w::HostPath(status)));
}

// Last-write times and the machine's clock compare; an inspection tells
// which file is there and whether it changed, whatever its time says.
TEST_F(FolderTrust, InspectionTellsTheFileItsChangesAndTheClock) {
  ASSERT_TRUE(app::PrepareDownloadFolder());
  const std::string status = "C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt";
  ASSERT_TRUE(app::WriteWholeFile(status, "old"));
  fs::last_write_time(w::HostPath(status),
                      fs::file_time_type::clock::now() - std::chrono::minutes(10));
  const std::uint64_t moment = w::GetSystemTimeAsFileTime();
  w::FolderInfo first;
  ASSERT_EQ(w::InspectFolder(status, first), 0u);
  // Both in 100 ns steps since 1601: ten minutes apart, give or take a second.
  EXPECT_NEAR(static_cast<double>(moment - first.lastWriteTime) / 1e7, 600.0, 1.0);
  EXPECT_EQ(first.size, 3u);
  EXPECT_EQ(first.ownerSid, "S-1-22-1-" + std::to_string(::geteuid()));
  w::FolderInfo again;
  ASSERT_EQ(w::InspectFolder(status, again), 0u);
  EXPECT_TRUE(w::SameFileUnchanged(first, again));
  // Written again (the same length, its time set back to the old one), and
  // then replaced by another file with the same text and time.
  ASSERT_TRUE(app::WriteWholeFile(status, "new"));
  ASSERT_EQ(w::InspectFolder(status, again), 0u);
  EXPECT_FALSE(w::SameFileUnchanged(first, again));
  const std::string aside = w::HostPath(status) + ".aside";
  std::ofstream(aside) << "old";
  fs::last_write_time(aside, fs::last_write_time(w::HostPath(status)));
  fs::rename(aside, w::HostPath(status));
  w::FolderInfo replaced;
  ASSERT_EQ(w::InspectFolder(status, replaced), 0u);
  EXPECT_EQ(replaced.lastWriteTime, again.lastWriteTime);
  EXPECT_FALSE(w::SameFileUnchanged(again, replaced));
  app::DeleteExchangeFile(status);
}
