// The emulated machine's contract: paths, shell folders, the temporary
// folder, the module name, file sharing, read-only files, FIFOs and host
// names that Windows cannot have.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <string>

#include "app/file_helpers.h"
#include "platform/files.h"
#include "platform/posix/machine.h"
#include "platform/shell.h"
#include "platform/sync.h"
#include "platform/winhttp.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
namespace w = platform::win;
namespace px = platform::posix;

namespace {

std::string Root() { return px::MachineRoot(); }

std::string Host(const std::string& win) {
  std::string host;
  w::DWORD err = 0;
  EXPECT_TRUE(px::ToHostPath(win, host, err)) << win;
  return host;
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_.c_str(), old_.c_str(), 1);
    else ::unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

}  // namespace

TEST(EmulatedPaths, DrivesMapToTheMachineAndTheHostRoot) {
  EXPECT_EQ(Host("C:\\ProgramData\\x.txt"), Root() + "/drive_c/ProgramData/x.txt");
  EXPECT_EQ(Host("c:/ProgramData/x.txt"), Root() + "/drive_c/ProgramData/x.txt");
  EXPECT_EQ(Host("Z:\\etc\\hostname"), "/etc/hostname");
  EXPECT_EQ(Host("relative\\file.log"), "relative/file.log");
  std::string host;
  w::DWORD err = 0;
  EXPECT_FALSE(px::ToHostPath("D:\\x", host, err));
  EXPECT_EQ(err, w::kErrorPathNotFound);
  EXPECT_FALSE(px::ToHostPath("\\\\server\\share\\x", host, err));
  EXPECT_FALSE(px::ToHostPath("", host, err));
}

TEST(EmulatedPaths, ExistingComponentsMatchIgnoringCase) {
  EXPECT_EQ(Host("C:\\WINDOWS\\temp\\New"), Root() + "/drive_c/Windows/Temp/New");
  EXPECT_EQ(Host("c:\\programdata"), Root() + "/drive_c/ProgramData");
}

TEST(EmulatedPaths, HostPathsShowInWindowsForm) {
  EXPECT_EQ(px::ToWindowsPath(Root() + "/drive_c/ProgramData"), "C:\\ProgramData");
  EXPECT_EQ(px::ToWindowsPath(Root() + "/drive_c"), "C:\\");
  EXPECT_EQ(px::ToWindowsPath("/usr/bin"), "Z:\\usr\\bin");
}

// In Windows form, and cut as the narrow call cuts it: a buffer too small
// for the name and its NUL gets size - 1 characters, the call returns size
// with error 122.
TEST(EmulatedShell, ModuleFileNameIsInWindowsFormAndCutToItsBuffer) {
  std::string self;
  const w::DWORD n = w::GetModuleFileNameA(self, 32768);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(n, self.size());
  EXPECT_EQ(self.rfind("Z:\\", 0), 0u) << self;  // the test binary lives outside drive_c
  EXPECT_THAT(self, ::testing::EndsWith("\\zyra_unit_tests"));
  std::string cut;
  EXPECT_EQ(w::GetModuleFileNameA(cut, n), n);
  EXPECT_EQ(w::GetLastError(), 122u);
  EXPECT_EQ(cut, self.substr(0, n - 1));
  std::string whole;
  EXPECT_EQ(w::GetModuleFileNameA(whole, n + 1), n);
  EXPECT_EQ(whole, self);
}

TEST(EmulatedShell, FoldersResolveOnlyWhenTheyExist) {
  std::string path;
  ASSERT_EQ(w::SHGetFolderPathA(w::kCsidlCommonAppData, path), w::kSOk);
  EXPECT_EQ(path, "C:\\ProgramData");

  ScopedEnv user("USER", "meetingroom");
  const fs::path roaming = Root() + "/drive_c/users/meetingroom/AppData/Roaming";
  EXPECT_NE(w::SHGetFolderPathA(w::kCsidlAppData, path), w::kSOk);
  fs::create_directories(roaming);
  ASSERT_EQ(w::SHGetFolderPathA(w::kCsidlAppData, path), w::kSOk);
  EXPECT_EQ(path, "C:\\Users\\meetingroom\\AppData\\Roaming");
  fs::remove_all(Root() + "/drive_c/users");

  fs::rename(Root() + "/drive_c/ProgramData", Root() + "/drive_c/ProgramData.off");
  EXPECT_NE(w::SHGetFolderPathA(w::kCsidlCommonAppData, path), w::kSOk);
  EXPECT_EQ(app::GetDataFilePath("CorvZyraProvisionStub.log"), "CorvZyraProvisionStub.log");
  fs::rename(Root() + "/drive_c/ProgramData.off", Root() + "/drive_c/ProgramData");
}

TEST(EmulatedShell, TempPathPrefersWindowsFormTmpThenTemp) {
  std::string t;
  {
    ScopedEnv tmp("TMP", nullptr);
    ScopedEnv temp("TEMP", nullptr);
    EXPECT_EQ(w::GetTempPathA(t), 16u);
    EXPECT_EQ(t, "C:\\Windows\\Temp\\");
  }
  {
    ScopedEnv tmp("TMP", "/tmp");  // a host path is not a Windows path
    ScopedEnv temp("TEMP", "D:\\Scratch");
    w::GetTempPathA(t);
    EXPECT_EQ(t, "D:\\Scratch\\");
  }
  {
    ScopedEnv tmp("TMP", "C:\\Temp\\");
    ScopedEnv temp("TEMP", "D:\\Scratch");
    w::GetTempPathA(t);
    EXPECT_EQ(t, "C:\\Temp\\");
  }
}

TEST(EmulatedShell, CreateDirectoryTreeReportsWin32Codes) {
  EXPECT_EQ(w::SHCreateDirectoryExA("C:\\A\\B\\C"), 0);
  EXPECT_TRUE(fs::is_directory(Root() + "/drive_c/A/B/C"));
  EXPECT_EQ(w::SHCreateDirectoryExA("c:\\a\\b\\c"), 183);
  EXPECT_EQ(w::SHCreateDirectoryExA("relative\\x"), 161);
  fs::remove_all(Root() + "/drive_c/A");

  EXPECT_FALSE(w::CreateDirectoryA("C:\\NoParent\\Child"));
  EXPECT_EQ(w::GetLastError(), w::kErrorPathNotFound);
  EXPECT_TRUE(w::CreateDirectoryA("C:\\NoParent"));
  EXPECT_FALSE(w::CreateDirectoryA("C:\\NoParent"));
  EXPECT_EQ(w::GetLastError(), w::kErrorAlreadyExists);
  fs::remove_all(Root() + "/drive_c/NoParent");
}

TEST(EmulatedFiles, ExclusiveLockKeepsOthersOut) {
  const std::string win = "C:\\Windows\\Temp\\locked.txt";
  ASSERT_TRUE(app::WriteWholeFile(win, "secret"));
  // flock locks belong to the open file description: a separate open in
  // this process stands for another process.
  const int fd = ::open(Host(win).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  std::string text = "unchanged";
  EXPECT_FALSE(app::FileExists(win));
  EXPECT_FALSE(app::ReadWholeFile(win, text));
  EXPECT_EQ(w::GetLastError(), w::kErrorSharingViolation);
  EXPECT_EQ(text, "unchanged");
  EXPECT_FALSE(app::WriteWholeFile(win, "overwritten"));
  EXPECT_FALSE(w::DeleteFileA(win));
  ::close(fd);
  EXPECT_TRUE(app::ReadWholeFile(win, text));
  EXPECT_EQ(text, "secret");
  EXPECT_TRUE(w::DeleteFileA(win));
}

TEST(EmulatedFiles, MissingFilesAndFoldersGiveWindowsErrors) {
  EXPECT_EQ(w::OpenFile("C:\\Windows\\Temp\\none.txt", "r"), nullptr);
  EXPECT_EQ(w::GetLastError(), w::kErrorFileNotFound);
  EXPECT_EQ(w::OpenFile("C:\\Nowhere\\none.txt", "r"), nullptr);
  EXPECT_EQ(w::GetLastError(), w::kErrorPathNotFound);
  EXPECT_EQ(w::OpenFile("C:\\Windows", "r"), nullptr);
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);
  EXPECT_FALSE(w::DeleteFileA("C:\\Windows"));
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);
}

TEST(EmulatedFiles, FindListsDotEntriesAndMarksFolders) {
  fs::create_directories(Root() + "/drive_c/FindMe/sub");
  std::ofstream(Root() + "/drive_c/FindMe/a.txt") << "a";
  w::FindData d;
  w::FindHandle h = w::FindFirstFileA("C:\\findme\\*.*", d);
  ASSERT_TRUE(h.valid());
  std::map<std::string, bool> seen;
  do {
    seen[d.cFileName] = (d.dwFileAttributes & w::kFileAttributeDirectory) != 0;
  } while (w::FindNextFileA(h, d));
  EXPECT_EQ(w::GetLastError(), w::kErrorNoMoreFiles);
  EXPECT_EQ(seen, (std::map<std::string, bool>{{".", true}, {"..", true}, {"a.txt", false},
                                               {"sub", true}}));
  EXPECT_THAT(app::ListFiles("C:\\FindMe"), ::testing::ElementsAre("a.txt"));
  fs::remove_all(Root() + "/drive_c/FindMe");
  EXPECT_FALSE(w::FindFirstFileA("C:\\FindMe\\*.*", d).valid());
  EXPECT_EQ(w::GetLastError(), w::kErrorPathNotFound);
}

TEST(EmulatedFiles, AReadOnlyFileIsNeitherDeletedNorWrittenForEveryone) {
  // The read-only attribute is the owner's write permission (attrib +r is
  // chmod u-w); it holds for root too, as the attribute does on Windows.
  const std::string win = "C:\\Windows\\Temp\\read-only.txt";
  ASSERT_TRUE(app::WriteWholeFile(win, "kept"));
  fs::permissions(Host(win), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_NE(w::GetFileAttributesA(win) & w::kFileAttributeReadonly, 0u);
  w::FindData d;
  w::FindHandle h = w::FindFirstFileA(win, d);
  ASSERT_TRUE(h.valid());
  EXPECT_NE(d.dwFileAttributes & w::kFileAttributeReadonly, 0u);

  EXPECT_FALSE(w::DeleteFileA(win));
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);
  app::DeleteFileIfExists(win);
  EXPECT_FALSE(app::WriteWholeFile(win, "overwritten"));
  EXPECT_EQ(w::OpenFile(win, "ab"), nullptr);
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);
  std::string text;
  EXPECT_TRUE(app::ReadWholeFile(win, text));
  EXPECT_EQ(text, "kept");

  fs::permissions(Host(win), fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(w::GetFileAttributesA(win) & w::kFileAttributeReadonly, 0u);
  EXPECT_TRUE(w::DeleteFileA(win));
  EXPECT_FALSE(fs::exists(Host(win)));
}

TEST(EmulatedFiles, AFifoIsNoFileAndNeverBlocks) {
  const std::string win = "C:\\Windows\\Temp\\CorvZyraProvisionToken.json";
  const std::string host = Host(win);
  fs::remove(host);
  ASSERT_EQ(::mkfifo(host.c_str(), 0644), 0);
  // Probe in a child process: a blocking open would hang the test, not fail
  // it; the child is killed after 10 seconds.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string text = "unchanged";
    const bool exists = app::FileExists(win);
    const bool read = app::ReadWholeFile(win, text);
    const bool written = app::WriteWholeFile(win, "x");
    ::_exit(!exists && !read && !written && text == "unchanged" ? 0 : 1);
  }
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      fs::remove(host);
      FAIL() << "opening a FIFO blocked";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(w::OpenFile(win, "r"), nullptr);
  EXPECT_EQ(w::GetLastError(), w::kErrorAccessDenied);
  fs::remove(host);
}

TEST(EmulatedFiles, AHostNameWithABackslashIsNeverListed) {
  // On Windows "a\b" in a folder is the file b in the subfolder a. A host
  // file named that way has no Windows name: the clean-up of the download
  // folder must not take it for the file of the subfolder.
  const std::string folder = app::GetDownloadFolder();
  w::SHCreateDirectoryExA(folder + "\\sub");
  ASSERT_TRUE(app::WriteWholeFile(folder + "\\sub\\inner.exe", "kept"));
  const std::string odd = Host(folder) + "/sub\\inner.exe";
  std::ofstream(odd) << "odd";
  ASSERT_TRUE(app::WriteWholeFile(folder + "\\plain.exe", "p"));

  const auto names = app::ListFiles(folder);
  EXPECT_THAT(names, ::testing::Contains("plain.exe"));
  EXPECT_THAT(names, ::testing::Not(::testing::Contains("sub\\inner.exe")));
  app::CleanupDownloadLocation("");
  EXPECT_TRUE(app::FileExists(folder + "\\sub\\inner.exe"));
  EXPECT_FALSE(app::FileExists(folder + "\\plain.exe"));
  EXPECT_TRUE(fs::exists(odd));
  fs::remove(odd);
  fs::remove_all(Host(folder + "\\sub"));
}

TEST(DownloadCleanup, DoesNothingWithoutADownloadFolder) {
  // No download folder; files beside where it would be, and a folder whose
  // name starts like it.
  const std::string folder = app::GetDownloadFolder();
  const std::string host = Host(folder);
  fs::remove_all(host);
  const std::string parent = fs::path(host).parent_path().string();
  fs::create_directories(parent + "/ZHDownload-old");
  std::ofstream(parent + "/beside.exe") << "b";
  std::ofstream(parent + "/ZHDownload-old/inner.exe") << "i";
  zyra_test::CapturedLog log;
  app::CleanupDownloadLocation("");
  app::CleanupDownloadLocation(folder + "\\kept.exe");
  EXPECT_FALSE(fs::exists(host));  // not created
  EXPECT_TRUE(fs::exists(parent + "/beside.exe"));
  EXPECT_TRUE(fs::exists(parent + "/ZHDownload-old/inner.exe"));
  EXPECT_THAT(log.Lines(),
              ::testing::ElementsAre("info|CleanupDownloadLocation except " + folder + "\\kept.exe"));
  fs::remove(parent + "/beside.exe");
  fs::remove_all(parent + "/ZHDownload-old");
}

// A named mutex of the machine: one owner at a time across processes; an
// owner that dies while another process waits leaves it abandoned, one that
// dies with nobody else holding a handle leaves nothing behind.
TEST(EmulatedMutex, OneOwnerAtATimeAndAbandonedWhenItsOwnerDies) {
  const std::string name = "Global\\ZyraTest.Mutex." + std::to_string(::getpid());
  // The child takes the mutex, reports on the pipe and stays until killed.
  auto startOwner = [&name](int& reportFd) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      w::MutexHandle m = w::CreateMutexA(name);
      const char ok = w::WaitForSingleObject(m, w::kInfinite) == w::kWaitObject0 ? 'y' : 'n';
      (void)::write(fds[1], &ok, 1);
      ::pause();
      ::_exit(0);
    }
    ::close(fds[1]);
    reportFd = fds[0];
    return pid;
  };
  int report = -1;
  const pid_t owner = startOwner(report);
  char ok = 0;
  ASSERT_EQ(::read(report, &ok, 1), 1);
  ::close(report);
  EXPECT_EQ(ok, 'y');

  w::MutexHandle mine = w::CreateMutexA(name);
  ASSERT_TRUE(mine.valid());
  EXPECT_EQ(w::GetLastError(), w::kErrorAlreadyExists);
  EXPECT_EQ(w::WaitForSingleObject(mine, 0), w::kWaitTimeout);
  EXPECT_EQ(w::WaitForSingleObject(mine, 30), w::kWaitTimeout);
  EXPECT_FALSE(w::ReleaseMutex(mine));
  EXPECT_EQ(w::GetLastError(), w::kErrorNotOwner);
  // The owner dies while this process holds a handle: its ownership is
  // abandoned to the next waiter.
  ::kill(owner, SIGKILL);
  ::waitpid(owner, nullptr, 0);
  EXPECT_EQ(w::WaitForSingleObject(mine, w::kInfinite), w::kWaitAbandoned);
  // Owned now: again at once (a second ownership), then released twice.
  EXPECT_EQ(w::WaitForSingleObject(mine, 0), w::kWaitObject0);
  EXPECT_TRUE(w::ReleaseMutex(mine));
  EXPECT_TRUE(w::ReleaseMutex(mine));
  mine.reset();

  // An owner that dies while nobody else has a handle: the next one finds a
  // fresh mutex.
  const pid_t lone = startOwner(report);
  ASSERT_EQ(::read(report, &ok, 1), 1);
  ::close(report);
  ::kill(lone, SIGKILL);
  ::waitpid(lone, nullptr, 0);
  w::MutexHandle fresh = w::CreateMutexA(name);
  ASSERT_TRUE(fresh.valid());
  EXPECT_EQ(w::GetLastError(), w::kErrorSuccess);
  EXPECT_EQ(w::WaitForSingleObject(fresh, 0), w::kWaitObject0);
  EXPECT_TRUE(w::ReleaseMutex(fresh));
}
