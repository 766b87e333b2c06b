// File helpers, download paths and the download-folder clean-up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

#include "app/file_helpers.h"
#include "app/token_staging.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "tests/support/test_support.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
namespace w = platform::win;

namespace {

std::string TempFolder() {
  std::string t;
  EXPECT_GT(w::GetTempPathA(t), 0u);
  return t;
}

// A scratch folder under the temporary folder, emptied for each test.
class ScratchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = TempFolder() + "zyra-test-" + info->name();
    w::SHCreateDirectoryExA(dir_);
    for (const std::string& f : app::ListFiles(dir_)) app::DeleteFileIfExists(dir_ + "\\" + f);
  }
  std::string Path(const std::string& name) const { return dir_ + "\\" + name; }
  std::string dir_;
};

}  // namespace

TEST(Tokenize, DropsEmptyRunsFromLeadingDoubledAndTrailingDelimiters) {
  EXPECT_THAT(app::Tokenize(".1..2.", "."), ElementsAre("1", "2"));
  EXPECT_THAT(app::Tokenize("a/b\\c", "\\/"), ElementsAre("a", "b", "c"));
  EXPECT_THAT(app::Tokenize("", "."), IsEmpty());
  EXPECT_THAT(app::Tokenize("abc", ""), IsEmpty());
  EXPECT_THAT(app::Tokenize("...", "."), IsEmpty());
  EXPECT_THAT(app::Tokenize("1.2.3.4", "."), ElementsAre("1", "2", "3", "4"));
}

TEST(StringEquals, ComparesWholeStringsAndFoldsOnlyAsciiLettersWhenAsked) {
  EXPECT_TRUE(app::StringEquals("C:\\Temp\\A.EXE", "c:\\temp\\a.exe", true));
  EXPECT_FALSE(app::StringEquals("C:\\Temp\\A.EXE", "c:\\temp\\a.exe", false));
  EXPECT_FALSE(app::StringEquals("abc", "abcd", true));
  EXPECT_TRUE(app::StringEquals("", "", false));
  // Only ASCII letters are folded: '[' (0x5B) is not the lower case of '{'.
  EXPECT_FALSE(app::StringEquals("[", "{", true));
  EXPECT_FALSE(app::StringEquals("\xC3\x84", "\xC3\xA4", true));
}

TEST_F(ScratchFolder, TextFilesGetCrLfOnDiskAndReadBackAsLf) {
  const std::string p = Path("text.txt");
  ASSERT_TRUE(app::WriteWholeFile(p, "one\ntwo\n"));
  EXPECT_EQ(zyra_test::ReadBytes(p), "one\r\ntwo\r\n");
  std::string text;
  ASSERT_TRUE(app::ReadWholeFile(p, text));
  EXPECT_EQ(text, "one\ntwo\n");

  // A lone CR is kept; CR LF split across the runtime's buffers still folds.
  std::string big(70000, 'x');
  big += "\r\nend\rcr";
  ASSERT_TRUE(zyra_test::WriteBytes(p, big));
  ASSERT_TRUE(app::ReadWholeFile(p, text));
  EXPECT_EQ(text, std::string(70000, 'x') + "\nend\rcr");
}

TEST_F(ScratchFolder, WriteWholeFileTruncatesAndNeedsItsFolder) {
  const std::string p = Path("status.txt");
  ASSERT_TRUE(app::WriteWholeFile(p, "a much longer first content"));
  ASSERT_TRUE(app::WriteWholeFile(p, "short"));
  EXPECT_EQ(zyra_test::ReadBytes(p), "short");
  EXPECT_FALSE(app::WriteWholeFile(Path("missing-folder\\x.txt"), "x"));
  EXPECT_FALSE(app::WriteWholeFile("", "x"));
}

// A read with a limit takes a file of up to limit bytes whole and refuses
// a longer one without taking it.
TEST_F(ScratchFolder, ABoundedReadRefusesALongerFile) {
  const std::string p = Path("answer.txt");
  std::string text = "previous";
  bool tooLong = false;
  ASSERT_TRUE(zyra_test::WriteBytes(p, std::string(4096, 'a')));
  EXPECT_TRUE(app::ReadWholeFile(p, text, 4096, tooLong));
  EXPECT_FALSE(tooLong);
  EXPECT_EQ(text, std::string(4096, 'a'));
  text = "previous";
  ASSERT_TRUE(zyra_test::WriteBytes(p, std::string(4097, 'a')));
  EXPECT_FALSE(app::ReadWholeFile(p, text, 4096, tooLong));
  EXPECT_TRUE(tooLong);
  EXPECT_EQ(text, "previous");
}

// The token goes in place of the staged one in one step; a copy that fails
// leaves the staged one as it was and nothing beside it.
TEST_F(ScratchFolder, CopyTokenReplacesTheStagedTokenWholeOrNotAtAll) {
  const std::string staged = Path("provision-token.data");
  ASSERT_TRUE(zyra_test::WriteBytes(staged, "the earlier, longer token"));
  ASSERT_TRUE(zyra_test::WriteBytes(Path("token.json"), std::string("new\0\r\ntoken", 12)));
  EXPECT_TRUE(app::CopyToken(Path("token.json"), staged));
  EXPECT_EQ(zyra_test::ReadBytes(staged), std::string("new\0\r\ntoken", 12));
  ASSERT_TRUE(zyra_test::WriteBytes(Path("empty.json"), ""));
  EXPECT_FALSE(app::CopyToken(Path("empty.json"), staged));
  EXPECT_FALSE(app::CopyToken(Path("absent.json"), staged));
  EXPECT_EQ(zyra_test::ReadBytes(staged), std::string("new\0\r\ntoken", 12));
  EXPECT_THAT(app::ListFiles(dir_),
              UnorderedElementsAre("provision-token.data", "token.json", "empty.json"));
}

// The program's own path, read whole whatever the first buffer; the narrow
// call cuts a name that does not fit and says so by returning the size.
TEST(ProgramPath, IsReadWholeAndTheNarrowCallCutsToItsBuffer) {
  std::string whole;
  ASSERT_TRUE(app::GetProgramPath(whole));
  ASSERT_GT(whole.size(), 3u);
  std::string cut;
  EXPECT_EQ(w::GetModuleFileNameA(cut, 4), 4u);
  EXPECT_EQ(cut, whole.substr(0, 3));
}

// Windows' words for the codes a handler service leaves, on one line.
TEST(ErrorText, NamesServiceCodesOnOneLine) {
  for (const w::DWORD code : {1060u, 1067u}) {
    std::string text;
    EXPECT_GT(w::FormatMessageW(code, text), 0u) << code;
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  }
}

TEST_F(ScratchFolder, ReadWholeFileLeavesTextAloneWhenTheFileCannotBeOpened) {
  std::string text = "previous";
  EXPECT_FALSE(app::ReadWholeFile(Path("absent.txt"), text));
  EXPECT_EQ(text, "previous");
  EXPECT_FALSE(app::ReadWholeFile("", text));
  EXPECT_FALSE(app::ReadWholeFile(dir_, text));  // a folder is not a file
  EXPECT_EQ(text, "previous");
}

TEST_F(ScratchFolder, FileExistsOnlyForReadableFiles) {
  EXPECT_FALSE(app::FileExists(""));
  EXPECT_FALSE(app::FileExists(dir_));
  EXPECT_FALSE(app::FileExists(Path("nothing")));
  ASSERT_TRUE(app::WriteWholeFile(Path("f"), ""));
  EXPECT_TRUE(app::FileExists(Path("f")));
  // Either separator works.
  std::string forward = Path("f");
  for (char& c : forward)
    if (c == '\\') c = '/';
  EXPECT_TRUE(app::FileExists(forward));
  app::DeleteFileIfExists(Path("f"));
  EXPECT_FALSE(app::FileExists(Path("f")));
  app::DeleteFileIfExists(Path("f"));  // deleting twice is harmless
  app::DeleteFileIfExists("");
}

TEST_F(ScratchFolder, ListFilesTakesPlainFilesOnly) {
  ASSERT_TRUE(app::WriteWholeFile(Path("a.exe"), "a"));
  ASSERT_TRUE(app::WriteWholeFile(Path("b"), "b"));
  w::SHCreateDirectoryExA(Path("sub"));
  EXPECT_THAT(app::ListFiles(dir_), UnorderedElementsAre("a.exe", "b"));
  EXPECT_THAT(app::ListFiles(Path("no-such-folder")), IsEmpty());
}

TEST(MakeTempDownloadPath, NamesFilesAfterTheClockInTheDownloadFolder) {
  using namespace std::chrono;
  const auto before =
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const std::string p = app::MakeTempDownloadPath("CorvZyraAgent-Setup", ".exe");
  const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();

  const std::string folder = TempFolder() + "CorvZyra\\ZHDownload";
  EXPECT_EQ(app::GetDownloadFolder(), folder);
  const std::string prefix = folder + "\\CorvZyraAgent-Setup-";
  ASSERT_EQ(p.compare(0, prefix.size(), prefix), 0) << p;
  ASSERT_EQ(p.substr(p.size() - 4), ".exe");
  const std::string stamp = p.substr(prefix.size(), p.size() - prefix.size() - 4);
  ASSERT_FALSE(stamp.empty());
  EXPECT_NE(stamp[0], '0');
  const long long ms = std::stoll(stamp);
  EXPECT_GE(ms, before);
  EXPECT_LE(ms, after + 100);  // ahead only by the calls made within one millisecond
  // The folder exists now: a file can be written there.
  EXPECT_TRUE(app::WriteWholeFile(p, "x"));
  app::DeleteFileIfExists(p);

  const std::string unnamed = app::MakeTempDownloadPath("", "");
  EXPECT_EQ(unnamed.compare(0, folder.size() + 11, folder + "\\Installer-"), 0) << unnamed;
  const std::string onlyExt = app::MakeTempDownloadPath("", ".sig");
  EXPECT_EQ(onlyExt.compare(0, folder.size() + 2, folder + "\\-"), 0) << onlyExt;
}

// A package and its signature both named "Installer-<ms>" in the same
// millisecond would be one file: the signature would overwrite the package.
TEST(MakeTempDownloadPath, CallsWithinOneMillisecondStillGetDistinctNames) {
  std::set<std::string> names;
  for (int i = 0; i < 200; ++i) names.insert(app::MakeTempDownloadPath("", ""));
  EXPECT_EQ(names.size(), 200u);
}

class Cleanup : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = app::GetDownloadFolder();
    ASSERT_TRUE(app::PrepareDownloadFolder());
    for (const std::string& f : app::ListFiles(folder_))
      app::DeleteFileIfExists(folder_ + "\\" + f);
  }
  void TearDown() override { app::SetCleanupListerForTesting(nullptr); }
  std::string folder_;
};

TEST_F(Cleanup, EmptiesTheFolderSilentlyAndLeavesSubfolders) {
  zyra_test::CapturedLog log;
  ASSERT_TRUE(app::WriteWholeFile(folder_ + "\\old-1.exe", "1"));
  ASSERT_TRUE(app::WriteWholeFile(folder_ + "\\old-2.manifest", "2"));
  w::SHCreateDirectoryExA(folder_ + "\\keep");
  ASSERT_TRUE(app::WriteWholeFile(folder_ + "\\keep\\inner.txt", "i"));

  app::CleanupDownloadLocation("");

  EXPECT_THAT(app::ListFiles(folder_), IsEmpty());
  EXPECT_TRUE(app::FileExists(folder_ + "\\keep\\inner.txt"));
  EXPECT_THAT(log.Lines(), IsEmpty());
}

TEST_F(Cleanup, KeepsTheExceptPathWhateverItsLetterCase) {
  zyra_test::CapturedLog log;
  ASSERT_TRUE(app::WriteWholeFile(folder_ + "\\Keep-Me.exe", "k"));
  ASSERT_TRUE(app::WriteWholeFile(folder_ + "\\drop.exe", "d"));
  std::string except = folder_ + "\\KEEP-ME.EXE";

  app::CleanupDownloadLocation(except);

  EXPECT_THAT(app::ListFiles(folder_), ElementsAre("Keep-Me.exe"));
  EXPECT_THAT(log.Lines(), ElementsAre("info|CleanupDownloadLocation except " + except,
                                       "info|Removing " + folder_ + "\\drop.exe"));
}

TEST(SleepSeconds, SleepsWholeSecondsOnlyAndNeverForNonPositiveTimes) {
  std::vector<w::DWORD> slept;
  w::SetSleepHookForTesting([&](w::DWORD ms) { slept.push_back(ms); });
  app::SleepSeconds(0);
  app::SleepSeconds(-3);
  app::SleepSeconds(0.9);
  app::SleepSeconds(2.7);
  app::SleepSeconds(30);
  w::SetSleepHookForTesting(nullptr);
  EXPECT_THAT(slept, ElementsAre(2000u, 30000u));
}
