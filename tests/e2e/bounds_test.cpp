// What comes from outside stays bounded and escaped: untrusted text in the
// log, stalled and endless servers. The real stub on the emulated machine,
// under libfaketime.
#include <string>
#include <tuple>
#include <vector>

#include "tests/e2e/cause_fixture.h"

using namespace zyra_e2e;

namespace {

std::string Repeated(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// No raw control byte, BOM or NUL reaches the console (lines end in LF).
void ExpectNoRawBytes(const StubRun& run) {
  for (const char c : run.stdoutText) {
    const auto u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u == '\n' || u >= 0x20) << "raw byte " << static_cast<int>(u) << " in\n"
                                        << run.stdoutText;
    if (!(u == '\n' || u >= 0x20)) return;
  }
  EXPECT_EQ(run.stdoutText.find("\xEF\xBB\xBF"), std::string::npos);
}

// Outside text takes at most 1024 characters of a line; the program's own
// words around it, the time stamp and the level add less than 256.
constexpr std::size_t kLongestLine = 1024 + 256;

void ExpectNoLineLongerThanTheBound(const StubRun& run) {
  std::istringstream in(run.stdoutText);
  for (std::string line; std::getline(in, line);)
    EXPECT_LE(line.size(), kLongestLine) << line.substr(0, 200) << "...";
}

}  // namespace

// The handler's status text: a BOM before the success text, a line break
// inside it, UTF-16 with its NULs. Each is one log line with escapes; the
// verdict is still a failure.
TEST_F(Cause, StatusTextIsLoggedEscaped) {
  m.SetInstalledAgentVersion("2.0.0");
  for (const auto& [text, logged] : std::vector<std::pair<std::string, std::string>>{
           {"\xEF\xBB\xBFRoom provision success.", "\\xEF\\xBB\\xBFRoom provision success."},
           {"Room provision success.\r\nRoom provision success.",
            "Room provision success.\\r\\nRoom provision success."},
           {"Room\x1B[2Kprovision\x01", "Room\\x1B[2Kprovision\\x01"},
           // As long as an answer may be: cut where its escapes reach 1024 characters.
           {std::string(4096, '\x01'), Repeated("\\x01", 256) + "... (4096 bytes in all)"}}) {
    SCOPED_TRACE(logged);
    m.InstallHandlerService({"--behaviour", "failure", "--text", text});
    const auto run = m.RunStub();
    ExpectEnded(m, run, 125);
    ExpectCauseThen(run, Quote("info  Room provision completed."),
                    "info  Room provision result: " + logged);
    ExpectNoRawBytes(run);
    ExpectNoLineLongerThanTheBound(run);
  }
  {
    SCOPED_TRACE("UTF-16LE");
    m.InstallHandlerService({"--behaviour", "silent"});
    // Plays a handler that writes UTF-16: once the placeholder is there, the
    // status file gets the success text in UTF-16LE with its BOM.
    std::string utf16 = "\xFF\xFE";
    for (const char c : std::string("Room")) utf16 += std::string{c, '\0'};
    const auto run = m.RunStubAnsweringThePlaceholder(
        [&utf16](const std::string& status) { std::ofstream(status, std::ios::binary) << utf16; });
    ExpectEnded(m, run, 125);
    EXPECT_THAT(run.consoleMessages,
                Contains("info  Room provision result: \\xFF\\xFER\\x00o\\x00o\\x00m\\x00"));
    ExpectNoRawBytes(run);
    EXPECT_EQ(m.ReadFile(m.LogFile()).find('\0'), std::string::npos);
  }
}

// The registry's "DisplayVersion" as a REG_DWORD, and an offered "version"
// with control characters and a NUL: logged escaped.
TEST_F(Cause, VersionsFromOutsideAreLoggedEscaped) {
  {
    SCOPED_TRACE("DisplayVersion as a REG_DWORD");
    m.WriteRegistry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\r\n\"log_level\"=dword:00000002\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraAgent]\r\n"
        "\"DisplayVersion\"=dword:00000002\r\n");
    const auto run = m.RunStub();
    EXPECT_THAT(run.consoleMessages, Contains("info  Current ZyraAgent version is \\x02"));
    ExpectNoRawBytes(run);
  }
  {
    SCOPED_TRACE("offered version with control characters");
    m.SetLogLevel(2);  // writes the registry afresh: no agent installed
    m.OfferAgent("2.0.0", 0, "{\"version\":\"3.0.0\\u0007\\n\\u0000x\"}");
    m.ServeFrom(server.BaseUrl());
    const auto run = m.RunStub();
    EXPECT_THAT(run.consoleMessages, Contains("info  Downloading ZyraAgent 3.0.0\\x07\\n\\x00x"));
    EXPECT_THAT(run.consoleMessages,
                Contains("info  Installing ZyraAgent version 3.0.0\\x07\\n\\x00x."));
    ExpectNoRawBytes(run);
  }
}

namespace {

// Seconds of the day of a console line's time stamp (the faked clock).
double StampSeconds(const std::string& line) {
  static const std::regex stamp(R"(^\d{4}-\d\d-\d\dT(\d\d):(\d\d):(\d\d)\.(\d{3}))");
  std::smatch m;
  if (!std::regex_search(line, m, stamp)) return -1;
  return std::stoi(m[1]) * 3600.0 + std::stoi(m[2]) * 60.0 + std::stoi(m[3]) + std::stoi(m[4]) / 1000.0;
}

std::vector<std::string> RawLinesWith(const StubRun& run, const std::string& part) {
  std::vector<std::string> out;
  std::istringstream in(run.stdoutText);
  for (std::string line; std::getline(in, line);)
    if (line.find(part) != std::string::npos) out.push_back(line);
  return out;
}

}  // namespace

// Headers, then nothing: each attempt ends after 60 seconds without a byte,
// not after the 30-minute transfer limit, with the cause and the transfer's
// error line. Five attempts, a second apart. (libcurl's low-speed timer and
// its waits follow the faked clock: 60 s pass in 0.6 s.)
TEST_F(Cause, StalledServerFailsEachAttemptAfterSixtySeconds) {
  for (const auto& [stalled, origin, url, designLine] :
       std::vector<std::tuple<std::string, std::string, std::string, std::string>>{
           {kManifestPath, "DownloadToMemory", ManifestUrl(), "error  Cannot download ZyraAgent version file."},
           {kInstaller, "Download", server.BaseUrl() + kInstaller, "error  Cannot download ZyraAgent 2.0.0."}}) {
    SCOPED_TRACE(stalled);
    const std::string path = stalled;
    Inject([path](const std::string& p, int) -> std::optional<Reply> {
      if (!EndsWith(p, path)) return std::nullopt;
      return Reply{Reply::kStallAfterHeaders,
                   "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n"};
    });
    const auto started = std::chrono::steady_clock::now();
    const auto run = m.RunStub();
    const double realSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ExpectEnded(m, run, 123);
    EXPECT_THAT(run.consoleMessages, Contains(designLine));
    EXPECT_EQ(server.Count(stalled), 5);
    const std::string cause = "error  [DownloadManager::" + origin +
                              "] Operation too slow. Less than 1 bytes/sec transferred the last "
                              "60 seconds. Url: ";
    const std::string transfer = "error  [DownloadManager::" + origin +
                                 "] CURL error: Timeout was reached http code: 200 Url: ";
    const auto& lines = run.consoleMessages;
    int pairs = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
      if (lines[i].rfind(cause + url, 0) == 0 && lines[i + 1].rfind(transfer + url, 0) == 0) ++pairs;
    EXPECT_EQ(pairs, 5) << run.stdoutText;
    // On the faked clock: the start of the transfer to the first failure is
    // one stall limit; each further attempt adds the second's pause. The
    // upper bound leaves room for a loaded machine (at x100 a tenth of a real
    // second is 10 s here) and is still far below the 30-minute limit.
    const auto failures = RawLinesWith(run, "CURL error: Timeout was reached");
    ASSERT_EQ(failures.size(), 5u);
    for (std::size_t i = 1; i < failures.size(); ++i) {
      const double gap = StampSeconds(failures[i]) - StampSeconds(failures[i - 1]);
      EXPECT_GE(gap, 60.0) << failures[i];
      EXPECT_LT(gap, 90.0) << failures[i];
    }
    std::printf("stalled %s: 5 attempts in %.1f s of real time\n", stalled.c_str(), realSeconds);
  }
}

// 2 GiB for the update manifest, streamed by the server (never held by the
// test): each attempt stops at 32 MiB with its cause line, and the stub's
// peak memory stays far below the body's size. The same when the headers
// announce the size: refused before the body comes.
TEST_F(Cause, EndlessManifestBodyIsRefusedAtThirtyTwoMebibytes) {
  const std::string rssFile = m.root() + "/maxrss.txt";
  m.SetStubLauncher({"/usr/bin/python3", "-c",
                     "import resource, subprocess, sys\n"
                     "rc = subprocess.call(sys.argv[2:])\n"
                     "open(sys.argv[1], 'w').write(str(resource.getrusage("
                     "resource.RUSAGE_CHILDREN).ru_maxrss))\n"
                     "sys.exit(rc if rc >= 0 else 255)\n",
                     rssFile});
  for (const auto& [headers, curlText] : std::vector<std::pair<std::string, std::string>>{
           {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n",
            "Failed writing received data to disk/application"},
           {"HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\nConnection: close\r\n\r\n",
            "Maximum file size exceeded"}}) {
    SCOPED_TRACE(curlText);
    const std::string h = headers;
    Inject([h](const std::string& p, int) -> std::optional<Reply> {
      if (!EndsWith(p, kManifestPath)) return std::nullopt;
      return Reply{Reply::kEndless, h};
    });
    const auto run = m.RunStub();
    ExpectEnded(m, run, 123);
    EXPECT_EQ(server.Count(kManifestPath) % 5, 0);
    const std::string cause =
        "error  [DownloadManager::DownloadToMemory] the answer is larger than 33554432 bytes and "
        "is refused. Url: " + ManifestUrl();
    const std::string transfer =
        "error  [DownloadManager::DownloadToMemory] CURL error: " + curlText + " http code: 200 Url: " +
        ManifestUrl();
    const auto& lines = run.consoleMessages;
    int pairs = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
      if (lines[i].rfind(cause, 0) == 0 && lines[i + 1].rfind(transfer, 0) == 0) ++pairs;
    EXPECT_EQ(pairs, 5) << run.stdoutText;
    EXPECT_THAT(lines, Contains("error  Cannot download ZyraAgent version file."));
    // The server stopped long before its 2 GiB: the stub hung up.
    EXPECT_LT(server.MostSent(), 256LL << 20);
    const long maxRssKiB = std::stol("0" + m.ReadFile(rssFile));
    std::printf("peak resident memory of the stub: %ld KiB (server sent at most %lld bytes per attempt)\n",
                maxRssKiB, server.MostSent());
    EXPECT_GT(maxRssKiB, 0);
    EXPECT_LT(maxRssKiB, 256L * 1024);
  }
}

namespace {

// The stub under a launcher that writes its peak resident memory (KiB) to
// the file named.
std::vector<std::string> MeasuringPeakMemory(const std::string& rssFile) {
  return {"/usr/bin/python3", "-c",
          "import resource, subprocess, sys\n"
          "rc = subprocess.call(sys.argv[2:])\n"
          "open(sys.argv[1], 'w').write(str(resource.getrusage("
          "resource.RUSAGE_CHILDREN).ru_maxrss))\n"
          "sys.exit(rc if rc >= 0 else 255)\n",
          rssFile};
}

}  // namespace

// A status file of 1 GiB (sparse, after the success text) is no answer: at
// each poll one line gives its size and the poll counts as one that read
// nothing; the wait runs to its deadline. Only 4 KiB of it are ever read.
TEST_F(Cause, StatusFileLargerThanAnAnswerIsNotRead) {
  m.SetInstalledAgentVersion("2.0.0");
  m.InstallHandlerService({"--behaviour", "silent"});
  const std::string rssFile = m.root() + "/maxrss.txt";
  m.SetStubLauncher(MeasuringPeakMemory(rssFile));
  const auto run = m.RunStubAnsweringThePlaceholder([](const std::string& status) {
    std::ofstream(status, std::ios::binary) << "Room provision success.";
    fs::resize_file(status, 1ull << 30);
  });
  ExpectEnded(m, run, 125);
  const std::string tooLarge =
      "warning  C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt holds 1073741824 bytes, "
      "more than the 4096 an answer can be: it is not read.";
  const auto& lines = run.consoleMessages;
  long pairs = 0;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i)
    if (lines[i] == tooLarge && lines[i + 1] == "info  Cannot get room provision result. Will retry...")
      ++pairs;
  // The first poll may still find the placeholder.
  EXPECT_GE(pairs, 9) << run.stdoutText;
  EXPECT_THAT(lines, Contains("info  Timeout! ZyraHandler has not completed room provision."));
  EXPECT_THAT(lines, Not(Contains("info  Room provision result: Room provision success.")));
  const long maxRssKiB = std::stol("0" + m.ReadFile(rssFile));
  std::printf("peak resident memory of the stub: %ld KiB\n", maxRssKiB);
  EXPECT_GT(maxRssKiB, 0);
  EXPECT_LT(maxRssKiB, 256L * 1024);
}

// An update manifest that is one unterminated string of 4 MiB: the
// parser's message quotes the whole token, and its line is cut at the bound
// with the message's length named.
TEST_F(Cause, TheParsersMessageAboutAHugeTokenIsCut) {
  const std::string body = "\"" + std::string(4u << 20, 'x');
  Inject([&body](const std::string& p, int) -> std::optional<Reply> {
    if (!EndsWith(p, kManifestPath)) return std::nullopt;
    return Reply{Reply::kWhole, Ok(body)};
  });
  const auto run = m.RunStub();
  ExpectEnded(m, run, 123);
  ExpectCauseThen(run,
                  Quote("error  [DownloadLatestUpdateManifest] - Update manifest " + ManifestUrl()) +
                      "(\\?\\S*)? is not usable: parse error at line 1, column [0-9]+: .*'\"x+"
                      "\\.\\.\\. \\([0-9]+ bytes in all\\)\\. Result: 30002",
                  "error  Cannot download ZyraAgent version file.");
  ExpectNoLineLongerThanTheBound(run);
}
