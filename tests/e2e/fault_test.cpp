// Faults injected around the real stub: servers that misbehave, a full or
// read-only disk, locked and misplaced files, a damaged registry. Whatever
// happens, the run must end with its result code (never by a signal), write
// its final result line, and never start an installer whose signature did
// not validate.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/machine.h"
#include "tests/support/run_checks.h"
#include "tests/support/raw_http_responder.h"

using zyra_test::HttpResponse;
using zyra_test::RawHttpResponder;
using namespace zyra_test::checks;
namespace fs = std::filesystem;

namespace {


// The run ended normally with code: exit code, final result line and the
// closing log lines agree.
void ExpectEndedWith(const EmulatedMachine& m, const StubRun& run, int code) {
  EXPECT_EQ(run.exitCode, code) << "(-1: killed by a signal or hung)\n" << run.stdoutText;
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: " + std::to_string(code) + "\r\n");
  EXPECT_THAT(run.consoleMessages, Contains("info  CorvZyraProvisionStub completed."));
  EXPECT_THAT(run.consoleMessages, Contains("info  provision_result_code " + std::to_string(code)));
  EXPECT_THAT(run.consoleMessages, Contains(std::string("info  ") + ResultDescription(code)));
}

// No installer ran and nothing that arrived is left in the download folder.
void ExpectNothingInstalled(const EmulatedMachine& m) {
  EXPECT_THAT(m.InstallerCalls(), IsEmpty());
  std::vector<std::string> left;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(m.C("Windows/Temp/CorvZyra/ZHDownload"), ec))
    left.push_back(e.path().filename().string());
  EXPECT_THAT(left, IsEmpty());
}

// Offers agent 2.0.0 from a server of the test's own that answers each
// request as the current fault says: the fault gets the request's path, the
// file the update server would have served for it and how many times that
// path was asked for; an empty answer serves the file whole.
class Fault : public ::testing::Test {
 protected:
  using Answer = std::function<std::string(const std::string& path, const std::string& file, int nth)>;

  void SetUp() override {
    InstallStubAndHandler(m);
    m.OfferAgent("2.0.0");
    m.ServeFrom(server.BaseUrl());
  }

  void Inject(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
    served_.clear();
    server.Clear();
  }

  // The file the vendor's server holds for a path ("" when none), read once
  // per fault: a redirect loop asks for the installer hundreds of times.
  std::string Served(const std::string& path) {
    const auto it = served_.find(path);
    if (it != served_.end()) return it->second;
    return served_[path] = ServedFile(m, path);
  }

  EmulatedMachine m;
  std::mutex mutex_;
  Answer answer_;
  std::map<std::string, std::string> served_;
  RawHttpResponder server{[this](const std::string& target, int nth) {
    const std::string path = target.substr(0, target.find('?'));
    std::string file;
    Answer answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      file = Served(path);
      answer = answer_;
    }
    std::string response = answer ? answer(path, file, nth) : std::string();
    if (!response.empty()) return response;
    return file.empty() ? HttpResponse(404, "") : HttpResponse(200, file);
  }};
};

// Headers announce the whole file, the connection closes after half of it.
std::string CutShort(const std::string& file) {
  return HttpResponse(200, file.substr(0, file.size() / 2), static_cast<long long>(file.size()));
}

}  // namespace

TEST_F(Fault, ConnectionClosedMidBodyIsRetriedAndFinallyEndsWith123) {
  {
    SCOPED_TRACE("update manifest cut short every time");
    Inject([](const std::string& path, const std::string& file, int) {
      return EndsWith(path, kManifestPath) ? CutShort(file) : "";
    });
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 123);
    EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent version file."));
    EXPECT_EQ(server.Count(kManifestPath), 5);
    EXPECT_EQ(CountStartingWith(run.consoleMessages,
                                "error  [DownloadManager::DownloadToMemory] CURL error: Transferred "
                                "a partial file http code: 200 Url: " +
                                    server.BaseUrl() + "/corvane.com" + kManifestPath),
              5);
    ExpectNothingInstalled(m);
  }
  {
    SCOPED_TRACE("installer cut short every time");
    Inject([](const std::string& path, const std::string& file, int) {
      return EndsWith(path, kInstaller) ? CutShort(file) : "";
    });
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 123);
    EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent 2.0.0."));
    EXPECT_EQ(server.Count(kInstaller), 5);
    EXPECT_EQ(server.Count(kInstallerSig), 0);
    EXPECT_EQ(CountStartingWith(run.consoleMessages,
                                "error  [DownloadManager::Download] CURL error: Transferred a "
                                "partial file http code: 200 Url: " +
                                    server.BaseUrl() + kInstaller),
              5);
    ExpectNothingInstalled(m);
  }
  {
    SCOPED_TRACE("version file and installer cut short twice, then whole");
    Inject([](const std::string& path, const std::string& file, int nth) {
      return (EndsWith(path, kInstaller) || EndsWith(path, kVersionFile)) && nth <= 2
                 ? CutShort(file)
                 : "";
    });
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 0);
    EXPECT_EQ(server.Count(kInstaller), 3);
    EXPECT_EQ(server.Count(kVersionFile), 3);
    EXPECT_THAT(m.InstallerCalls(), ElementsAre("/S", "--"));
  }
}

TEST_F(Fault, ServerErrorOnEveryAttemptEndsWith123) {
  for (const char* failing : {kManifestPath, kVersionSig, kInstaller}) {
    SCOPED_TRACE(failing);
    Inject([failing](const std::string& path, const std::string&, int) {
      return EndsWith(path, failing) ? HttpResponse(500, "busy") : "";
    });
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 123);
    EXPECT_EQ(server.Count(failing), 5);
    EXPECT_EQ(CountStartingWith(run.consoleMessages, "error  [DownloadManager::"), 5);
    EXPECT_EQ(CountStartingWith(run.consoleMessages, "error  [DownloadManager::Download] "),
              std::string(failing) == kManifestPath ? 0 : 5);
    EXPECT_THAT(run.consoleMessages,
                Contains(std::string(failing) == kInstaller
                             ? "error  Cannot download ZyraAgent 2.0.0."
                             : "error  Cannot download ZyraAgent version file."));
    // A version file whose signature cannot be fetched is deleted as well.
    ExpectNothingInstalled(m);
  }
}

// A redirect that leads back to itself is followed a bounded number of times
// (30, as current libcurl does by default), then the attempt fails like any
// other; the run must not hang in the loop.
TEST_F(Fault, RedirectLoopFailsEachAttemptAndEndsWith123) {
  for (const char* looping : {kManifestPath, kInstaller}) {
    SCOPED_TRACE(looping);
    Inject([looping](const std::string& path, const std::string&, int) {
      return EndsWith(path, looping) ? HttpResponse(302, "", -1, "Location: " + path + "\r\n") : "";
    });
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 123);
    EXPECT_EQ(server.Count(looping), 5 * (1 + 30));
    EXPECT_EQ(CountStartingWith(run.consoleMessages, "error  [DownloadManager::"), 5);
    for (const auto& line : run.consoleMessages) {
      if (line.rfind("error  [DownloadManager::", 0) == 0) {
        EXPECT_THAT(line, ::testing::HasSubstr("CURL error: Number of redirects hit maximum amount"));
      }
    }
    ExpectNothingInstalled(m);
  }
}

// libcurl keeps exactly the announced number of bytes. A file announced
// shorter than it is arrives cut, so its signature (or, for the update
// manifest, its JSON) fails; bytes sent after a correctly announced file are
// never part of it.
TEST_F(Fault, BodyLongerThanAnnouncedKeepsOnlyTheAnnouncedBytes) {
  {
    SCOPED_TRACE("update manifest announced at half its size");
    Inject([](const std::string& path, const std::string& file, int) {
      return EndsWith(path, kManifestPath)
                 ? HttpResponse(200, file, static_cast<long long>(file.size() / 2))
                 : "";
    });
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 123);
    // The transfer succeeded; a manifest that is not JSON is not fetched again.
    EXPECT_EQ(server.Count(kManifestPath), 1);
    EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent version file."));
    ExpectNothingInstalled(m);
  }
  {
    SCOPED_TRACE("installer announced at half its size");
    Inject([](const std::string& path, const std::string& file, int) {
      return EndsWith(path, kInstaller)
                 ? HttpResponse(200, file, static_cast<long long>(file.size() / 2))
                 : "";
    });
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 123);
    EXPECT_EQ(server.Count(kInstaller), 1);
    EXPECT_EQ(server.Count(kInstallerSig), 1);
    EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent 2.0.0."));
    ExpectNothingInstalled(m);
  }
  {
    SCOPED_TRACE("installer followed by a script the headers do not announce");
    Inject([](const std::string& path, const std::string& file, int) {
      return EndsWith(path, kInstaller)
                 ? HttpResponse(200, file + "\n#!/bin/sh\ntouch \"$ZYRA_MACHINE_ROOT/pwned\"\n",
                                static_cast<long long>(file.size()))
                 : "";
    });
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 0);
    EXPECT_THAT(m.InstallerCalls(), ElementsAre("/S", "--"));
    EXPECT_FALSE(m.Exists(m.root() + "/pwned"));
  }
}

// The update manifest may be up to 32 MiB: 31 MiB of valid JSON are fetched
// and used for the version file (a larger one is refused, see the cause
// tests). (The second fetch of the run, for the installer, gets the usual
// manifest: one 31 MiB parse costs seconds in a debug build.)
TEST_F(Fault, ManifestJustUnderTheSizeLimitIsUsed) {
  const std::string signedManifest = m.ReadFile(m.root() + "/www/manifest.json");
  ASSERT_EQ(signedManifest.rfind("{", 0), 0u);
  const std::string big = "{\"padding\":\"" + std::string(31u << 20, 'x') + "\"," +
                          signedManifest.substr(1);
  Inject([&big](const std::string& path, const std::string&, int nth) {
    return EndsWith(path, kManifestPath) && nth == 1 ? HttpResponse(200, big) : "";
  });
  const auto run = m.RunStub();
  ExpectEndedWith(m, run, 0);
  EXPECT_EQ(server.Count(kManifestPath), 2);
  EXPECT_EQ(server.Count(kVersionFile), 1);
  EXPECT_THAT(m.InstallerCalls(), ElementsAre("/S", "--"));
}

TEST_F(Fault, MebibyteSignatureNeverValidates) {
  const std::string genuine = m.ReadFile(m.root() + "/www/CorvZyraAgent-Setup.exe.sig");
  ASSERT_EQ(genuine.size(), 512u);
  std::string digits;
  for (std::size_t i = 0; digits.size() < (1u << 20); ++i) digits += "0123456789abcdef"[(i * 7) % 16];
  for (const std::string& sig : {genuine + digits.substr(512), digits}) {
    SCOPED_TRACE(sig.substr(0, 16));
    ASSERT_EQ(sig.size(), 1u << 20);
    Inject([&sig](const std::string& path, const std::string&, int) {
      return EndsWith(path, kInstallerSig) ? HttpResponse(200, sig) : "";
    });
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 123);
    EXPECT_EQ(server.Count(kInstallerSig), 1);
    EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent 2.0.0."));
    ExpectNothingInstalled(m);
  }
}

// A full disk is a small tmpfs mounted over the download folder in a private
// mount namespace: writes fail with ENOSPC as on a real full volume. (A file
// size limit, RLIMIT_FSIZE, would fail them with EFBIG only for a process
// that ignores SIGXFSZ; the stub does not, so it would be killed instead,
// which no Windows machine does.)
TEST_F(Fault, FullDiskForDownloadsEndsWith123) {
  if (!CanUsePrivateMounts()) GTEST_SKIP() << "no private mount namespaces here (needs root)";
  const std::string downloads = m.C("Windows/Temp/CorvZyra/ZHDownload");
  fs::create_directories(downloads);
  const std::string leftFile = m.root() + "/left-in-downloads.txt";
  const std::string listLeft = "ls -A " + Quoted(downloads) + " > " + Quoted(leftFile);
  {
    SCOPED_TRACE("room for the version file, not for the installer");
    m.SetStubLauncher(InPrivateMounts(
        "mount -t tmpfs -o size=256k,mode=0755 zyrafull " + Quoted(downloads), listLeft));
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 123);
    EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent 2.0.0."));
    EXPECT_EQ(CountStartingWith(run.consoleMessages,
                                "error  [DownloadManager::Download] CURL error: Failed writing "
                                "received data to disk/application http code: 200 Url: " +
                                    server.BaseUrl() + kInstaller),
              5);
    EXPECT_THAT(m.InstallerCalls(), IsEmpty());
    EXPECT_EQ(m.ReadFile(leftFile), "");  // no partial installer stays behind
  }
  {
    SCOPED_TRACE("full from the start");
    m.SetStubLauncher(InPrivateMounts(
        "mount -t tmpfs -o size=64k,mode=0755 zyrafull " + Quoted(downloads) + " && mkdir " +
            Quoted(downloads + "/keep") + " && { cat /dev/zero > " +
            Quoted(downloads + "/keep/filler") + " 2>/dev/null; true; }",
        "ls -A " + Quoted(downloads) + " | grep -v '^keep$' > " + Quoted(leftFile)));
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 123);
    EXPECT_THAT(run.consoleMessages, Contains("error  Cannot download ZyraAgent version file."));
    EXPECT_THAT(m.InstallerCalls(), IsEmpty());
    EXPECT_EQ(m.ReadFile(leftFile), "");
  }
}

// Root writes through permission bits, so the data folder is made read-only
// by a read-only bind mount in a private mount namespace. The token cannot
// be staged: 122. The log file cannot be opened either; the console still
// carries the log.
TEST_F(Fault, ReadOnlyDataFolderEndsWith122) {
  if (!CanUsePrivateMounts()) GTEST_SKIP() << "no private mount namespaces here (needs root)";
  const std::string data = m.C("ProgramData/Corvane/CorvZyra");
  m.SetStubLauncher(InPrivateMounts("mount --bind " + Quoted(data) + " " + Quoted(data) +
                                    " && mount -o remount,bind,ro " + Quoted(data)));
  const auto run = m.RunStub();
  ExpectEndedWith(m, run, 122);
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot copy token to provision folder."));
  EXPECT_EQ(CountStartingWith(run.consoleMessages,
                              "error  Can't open file logger C:\\ProgramData\\Corvane\\CorvZyra\\"
                              "CorvZyraProvisionStub.log"),
            1);
  EXPECT_FALSE(m.Exists(m.LogFile()));
  EXPECT_FALSE(m.Exists(data + "/provision-token.data"));
  EXPECT_THAT(m.InstallerCalls(), IsEmpty());
}

// The token beside the program under another process's exclusive lock is
// covered by the run tests; here the handler holds the staged copy.
TEST_F(Fault, LockedStagedTokenIsNeitherReplacedNorTruncated) {
  const std::string staged = m.C("ProgramData/Corvane/CorvZyra/provision-token.data");
  std::ofstream(staged, std::ios::binary) << "the token the handler is reading";
  const int fd = ::open(staged.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const auto run = m.RunStub();
  ::close(fd);
  ExpectEndedWith(m, run, 122);
  EXPECT_THAT(run.consoleMessages, Contains("error  Cannot copy token to provision folder."));
  EXPECT_EQ(m.ReadFile(staged), "the token the handler is reading");
  EXPECT_THAT(m.InstallerCalls(), IsEmpty());
}

// A folder where the status file belongs can be neither written nor read:
// the handler can never report, every poll retries, and the wait runs to its
// deadline with nothing read. The folder is not the program's to remove.
TEST_F(Fault, StatusFileReplacedByAFolderTimesOutWith125) {
  m.SetInstalledAgentVersion("2.0.0");  // current: the handler is restarted
  m.InstallHandlerService({"--behaviour", "success", "--wait-limit", "400"});
  const std::string status = m.C("Windows/Temp/CorvZyra/Zyrahandler_provisionstub.txt");
  fs::create_directories(status);
  const auto run = m.RunStub();
  ExpectEndedWith(m, run, 125);
  const auto& lines = run.consoleMessages;
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "info  Cannot get room provision result. Will retry..."),
            10);
  // Nothing was read in the whole wait: a time-out, not an empty result.
  EXPECT_THAT(lines, Not(Contains("info  Room provision result: ")));
  EXPECT_THAT(lines, Contains("info  Timeout! ZyraHandler has not completed room provision."));
  EXPECT_TRUE(fs::is_directory(status));
  EXPECT_THAT(m.InstallerCalls(), IsEmpty());
}

namespace {

// regedit's UTF-16LE with its byte-order mark; \x01 in text stands for an
// unpaired surrogate (U+D800), which no converter can take as it is.
std::string Utf16Le(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char c : text) {
    const unsigned u = c == '\x01' ? 0xD800u : static_cast<unsigned char>(c);
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>(u >> 8);
  }
  return bytes;
}

}  // namespace

// Lines that cannot be parsed are skipped; the readable values around them
// still count.
TEST_F(Fault, DamagedLinesOfAUtf16RegistryAreSkipped) {
  const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
  const std::string stubKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\r\n";
  const std::string agentKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraAgent]\r\n";
  // Lines that end the section they are in, and lines a section survives.
  const std::string sectionDamage =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Broken\r\n"
      "\"DisplayVersion\"=\"9.9.9\"\r\n"  // under the broken section: in no key
      "[]\r\n";
  const std::string valueDamage = "\"log_level\"=dword:zz\r\n"
                                  "\"Junk\"=\"\x01\x01\"\r\n"
                                  "\"Other\"=hex:0g,00\r\n"
                                  "\"=\r\n" +
                                  std::string(5, '\0') + "\r\n";
  {
    SCOPED_TRACE("readable values between damaged lines");
    std::ofstream(m.root() + "/registry.reg", std::ios::binary)
        << Utf16Le(header + sectionDamage + stubKey + valueDamage + "\"log_level\"=dword:00000002\r\n" +
                   sectionDamage + agentKey + "\"DisplayVersion\"=\"9.9.9\r\n" + valueDamage +
                   "\"DisplayVersion\"=\"2.0.0\"\r\n" + valueDamage)
        << '\x33';  // a final odd byte: a truncated file
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 0);
    EXPECT_THAT(run.consoleMessages, Contains("info  Current ZyraAgent version is 2.0.0"));
    EXPECT_THAT(run.consoleMessages, Contains("info  ZyraAgent is up to date."));
    // log_level 2: nothing below info.
    EXPECT_EQ(CountStartingWith(run.consoleMessages, "debug  "), 0);
    EXPECT_EQ(CountStartingWith(run.consoleMessages, "trace  "), 0);
    EXPECT_THAT(m.InstallerCalls(), IsEmpty());
  }
  {
    SCOPED_TRACE("only a damaged DisplayVersion");
    std::ofstream(m.root() + "/registry.reg", std::ios::binary)
        << Utf16Le(header + agentKey + "\"DisplayVersion\"=\"2.0.\x01\r\n" + valueDamage);
    const auto run = m.RunStub();
    ExpectEndedWith(m, run, 0);
    EXPECT_THAT(run.consoleMessages, Contains("info  No prior ZyraAgent found on the system"));
    EXPECT_THAT(m.InstallerCalls(), ElementsAre("/S", "--"));
  }
}
