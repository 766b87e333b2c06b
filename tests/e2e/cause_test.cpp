// Every failure names its cause in a level-2 log, right before the line
// that reports it, and what comes from outside stays bounded: stalled and
// endless servers, untrusted text in the log, a huge "ttl", a result file
// that cannot be written, a wait that read nothing. The real stub on the
// emulated machine, under libfaketime.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/machine.h"
#include "tests/support/run_checks.h"

using namespace zyra_test::checks;
namespace fs = std::filesystem;

namespace {

constexpr const char* kResultPath =
    "C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt";

// What the server does with one request.
struct Reply {
  enum Kind { kWhole, kStallAfterHeaders, kEndless } kind = kWhole;
  std::string bytes;  // kWhole: the whole response; otherwise the headers
};

std::string Ok(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// An HTTP server on 127.0.0.1 that answers one connection at a time: a whole
// response, headers and then nothing until the client hangs up, or headers
// and then bytes without end, streamed (never held) until the client hangs
// up or 2 GiB have gone.
class StreamingServer {
 public:
  using Script = std::function<Reply(const std::string& path, int nth)>;
  static constexpr long long kEndlessLimit = 2LL << 30;

  explicit StreamingServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~StreamingServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  [[nodiscard]] std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  [[nodiscard]] int Count(const std::string& suffix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& [path, count] : counts_)
      if (EndsWith(path, suffix)) n += count;
    return n;
  }
  [[nodiscard]] long long MostSent() const { return mostSent_; }

 private:
  void Serve() {
    while (!stop_) {
      const int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) return;
      Answer(conn);
      ::close(conn);
    }
  }
  void Answer(int conn) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const long n = ::recv(conn, buf, sizeof buf, 0);
      if (n <= 0) return;
      request.append(buf, static_cast<std::size_t>(n));
    }
    const auto sp1 = request.find(' ');
    const auto sp2 = request.find(' ', sp1 + 1);
    const std::string target = request.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string path = target.substr(0, target.find('?'));
    int nth = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      nth = ++counts_[path];
    }
    const Reply reply = script_(path, nth);
    if (!SendAll(conn, reply.bytes)) return;
    if (reply.kind == Reply::kStallAfterHeaders) {
      // Nothing more: wait for the client to give up (or the test to end).
      while (!stop_ && ::recv(conn, buf, sizeof buf, 0) > 0) {
      }
    } else if (reply.kind == Reply::kEndless) {
      const std::string chunk(1 << 16, 'x');
      long long sent = 0;
      while (!stop_ && sent < kEndlessLimit && SendAll(conn, chunk)) sent += chunk.size();
      mostSent_ = std::max(mostSent_.load(), sent);
    }
  }
  static bool SendAll(int conn, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const long n = ::send(conn, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long long> mostSent_{0};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::map<std::string, int> counts_;
};

// Offers agent 2.0.0 (none installed) from the test's own server, which
// serves the signed files unless the current script says otherwise. The log
// level is 2: what an administrator's log shows.
class Cause : public ::testing::Test {
 protected:
  using Answer = std::function<std::optional<Reply>(const std::string& path, int nth)>;

  void SetUp() override {
    m.InstallStub();
    m.PutToken(kRunToken);
    m.InstallHandlerService({"--behaviour", "success"});
    m.OfferAgent("2.0.0");
    m.ServeFrom(server.BaseUrl());
    m.SetLogLevel(2);
  }

  void Inject(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
  }

  std::string Served(const std::string& path) const {
    if (EndsWith(path, kManifestPath)) return m.ReadFile(m.root() + "/www/manifest.json");
    if (path.find("..") != std::string::npos) return "";
    return m.ReadFile(m.root() + "/www" + path);
  }

  // The signed update manifest with its "ttl" replaced by this JSON text
  // (kept as written: numbers beyond 64 bits included).
  std::string ManifestWithTtl(const std::string& ttl) const {
    nlohmann::json doc = nlohmann::json::parse(Served(kManifestPath));
    doc.erase("ttl");
    return "{\"ttl\":" + ttl + "," + doc.dump().substr(1);
  }

  std::string ManifestUrl() const { return server.BaseUrl() + "/corvane.com" + kManifestPath; }

  EmulatedMachine m;
  std::mutex mutex_;
  Answer answer_;
  StreamingServer server{[this](const std::string& path, int nth) {
    Answer answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      answer = answer_;
    }
    if (answer) {
      if (auto reply = answer(path, nth)) return *reply;
    }
    const std::string file = Served(path);
    if (file.empty())
      return Reply{Reply::kWhole, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
    return Reply{Reply::kWhole, Ok(file)};
  }};
};

// Index of the first line matching re, or -1.
long Find(const std::vector<std::string>& lines, const std::string& re, std::size_t from = 0) {
  const std::regex r(re);
  for (std::size_t i = from; i < lines.size(); ++i)
    if (std::regex_match(lines[i], r)) return static_cast<long>(i);
  return -1;
}

// A line matching causeRe, and the line right after it is exactly next.
void ExpectCauseThen(const StubRun& run, const std::string& causeRe, const std::string& next) {
  const auto& lines = run.consoleMessages;
  const long at = Find(lines, causeRe);
  ASSERT_GE(at, 0) << "no line matches " << causeRe << "\nlog:\n" << Joined(lines);
  ASSERT_LT(static_cast<std::size_t>(at + 1), lines.size());
  EXPECT_EQ(lines[at + 1], next) << "log:\n" << Joined(lines);
}

std::string Quote(const std::string& s) {  // a regex matching s literally
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(s, special, R"(\$&)");
}

void ExpectEnded(const EmulatedMachine& m, const StubRun& run, int code) {
  EXPECT_EQ(run.exitCode, code) << run.stdoutText;
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: " + std::to_string(code) + "\r\n");
}

}  // namespace

// The download worked and the package was refused: the log says so, naming
// the files, before the line that reports the failed download.
TEST_F(Cause, SignatureThatDoesNotValidateIsNamed) {
  for (const auto& [tampered, signature, designLine] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {kInstaller, kInstallerSig, "error  Cannot download ZyraAgent 2.0.0."},
           {kVersionFile, kVersionSig, "error  Cannot download ZyraAgent version file."}}) {
    SCOPED_TRACE(tampered);
    const std::string path = tampered;
    Inject([this, path](const std::string& p, int) -> std::optional<Reply> {
      if (p != path) return std::nullopt;
      return Reply{Reply::kWhole, Ok(Served(p) + "tampered")};
    });
    const auto run = m.RunStub();
    ExpectEnded(m, run, 123);
    ExpectCauseThen(run,
                    Quote("error  [DownloadManager::DownloadAndValidate] - Signature " +
                          server.BaseUrl() + signature + " does not validate " + server.BaseUrl() +
                          tampered + ": the package is refused. Result: 70006"),
                    designLine);
    EXPECT_THAT(m.InstallerCalls(), IsEmpty());
  }
}

// 30002: the parser's reason and position, what the document is instead of
// an object, the type of "ttl".
TEST_F(Cause, UnusableUpdateManifestIsNamed) {
  for (const auto& [body, reason] : std::vector<std::pair<std::string, std::string>>{
           {"not json", "parse error at line 1, column 2: .*"},
           {"", "parse error at line 1, column 1: .*"},
           {"{\"ttl\": 1,\n \"packages\": [}", "parse error at line 2, column 15: .*"},
           {"[]", "it is a JSON array, not an object"},
           {"\"text\"", "it is a JSON string, not an object"},
           {"{\"ttl\":\"30\"}", "\"ttl\" of type string"},
           {"{\"ttl\":null}", "\"ttl\" of type null"},
           {"{\"ttl\":[1]}", "\"ttl\" of type array"}}) {
    SCOPED_TRACE(body);
    const std::string served = body;
    Inject([served](const std::string& p, int) -> std::optional<Reply> {
      if (!EndsWith(p, kManifestPath)) return std::nullopt;
      return Reply{Reply::kWhole, Ok(served)};
    });
    const auto run = m.RunStub();
    ExpectEnded(m, run, 123);
    ExpectCauseThen(run,
                    Quote("error  [DownloadLatestUpdateManifest] - Update manifest " + ManifestUrl()) +
                        "(\\?\\S*)? is not usable: " + reason + "\\. Result: 30002",
                    "error  Cannot download ZyraAgent version file.");
  }
}

// A version file that is not JSON, or whose "version" is not a string: its
// own cause line, then the line of a version file that cannot be had.
TEST_F(Cause, UnusableVersionFileIsNamed) {
  for (const auto& [doc, reason] : std::vector<std::pair<std::string, std::string>>{
           {"not json", "it is not JSON \\(parse error at line 1, column 2: .*\\)"},
           {"{\"version\":2}", "its \"version\" is a number, not a string"},
           {"{\"version\":null}", "its \"version\" is a null, not a string"},
           {"{\"other\":1}", "it has no \"version\""},
           {"[1,2]", "it is a JSON array, not an object"}}) {
    SCOPED_TRACE(doc);
    m.OfferAgent("2.0.0", 0, doc);
    m.ServeFrom(server.BaseUrl());
    const auto run = m.RunStub();
    ExpectEnded(m, run, 123);
    ExpectCauseThen(run, "error  Cannot read ZyraAgent version file: " + reason + "\\.",
                    "error  Cannot download ZyraAgent version file.");
  }
}

// A manifest without the installer's entry: 70000, named.
TEST_F(Cause, ManifestWithoutThePackageIsNamed) {
  Inject([](const std::string& p, int) -> std::optional<Reply> {
    if (!EndsWith(p, kManifestPath)) return std::nullopt;
    return Reply{Reply::kWhole, Ok("{\"packages\":[]}")};
  });
  const auto run = m.RunStub();
  ExpectEnded(m, run, 123);
  ExpectCauseThen(run,
                  Quote("error  [UpdateManager] the manifest names no url and sigv1 signature for "
                        "CorvZyraAgent-Setup.exe.manifest. Result: 70000"),
                  "error  Cannot download ZyraAgent version file.");
}

// The handler deletes the status file and never writes: nothing was read in
// the whole wait, which is a time-out, not a completion with an empty result.
TEST_F(Cause, WaitThatReadNothingEndsWithTheTimeoutLine) {
  m.SetInstalledAgentVersion("2.0.0");  // current: the handler is restarted
  m.InstallHandlerService({"--behaviour", "delete"});
  const auto run = m.RunStub();
  ExpectEnded(m, run, 125);
  const auto& lines = run.consoleMessages;
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "info  Cannot get room provision result. Will retry..."),
            10);
  ExpectCauseThen(run, Quote("info  Cannot get room provision result. Will retry..."),
                  "info  Cannot get room provision result. Will retry...");
  const long timeout = Find(lines, Quote("info  Timeout! ZyraHandler has not completed room provision."));
  ASSERT_GE(timeout, 0) << Joined(lines);
  EXPECT_EQ(lines[timeout + 1], "info  CorvZyraProvisionStub completed.");
  EXPECT_THAT(lines, Not(Contains("info  Room provision completed.")));
  EXPECT_THAT(lines, Not(Contains("info  Room provision result: ")));
}

// A read-only result file keeps its old content; every write that fails says
// so, with the path and the error code, after the usual lines.
TEST_F(Cause, ResultFileThatCannotBeWrittenIsNamed) {
  m.InstallHandlerService({"--behaviour", "failure"});
  const std::string result = m.ResultFile();
  fs::create_directories(fs::path(result).parent_path());
  std::ofstream(result, std::ios::binary) << "provision_result_code: 0\r\n";
  fs::permissions(result, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 125) << run.stdoutText;
  EXPECT_EQ(m.ReadFile(result), "provision_result_code: 0\r\n");
  ExpectCauseThen(run, Quote(std::string("info  Result 9 is written to ") + kResultPath),
                  std::string("error  Cannot write result 9 to ") + kResultPath + ": error 5.");
  EXPECT_THAT(run.consoleMessages,
              Contains(std::string("error  Cannot write result 8 to ") + kResultPath + ": error 5."));
  ExpectCauseThen(run, Quote(std::string("error  Cannot write result 125 to ") + kResultPath + ": error 5."),
                  "info  CorvZyraProvisionStub completed.");
}

// "ttl" outside the signed 32-bit range is clamped to it. The second fetch
// of the run (for the installer) shows the first manifest's TTL when it is
// still fresh.
TEST_F(Cause, TtlOutsideTheThirtyTwoBitRangeIsClamped) {
  for (const auto& [ttl, note] : std::vector<std::pair<std::string, std::string>>{
           {"99999999999", "TTL=2147483647"},
           {"2147483648", "TTL=2147483647"},
           {"18446744073709551615", "TTL=2147483647"},
           {"60.9", "TTL=60"},
           {"-99999999999", ""},  // clamped to -2147483648: already stale, no note
       }) {
    SCOPED_TRACE(ttl);
    m.SetLogLevel(2);  // the registry afresh: no agent installed, two fetches
    const std::string manifest = ManifestWithTtl(ttl);
    Inject([manifest](const std::string& p, int) -> std::optional<Reply> {
      if (!EndsWith(p, kManifestPath)) return std::nullopt;
      return Reply{Reply::kWhole, Ok(manifest)};
    });
    const auto run = m.RunStub();
    ExpectEnded(m, run, 0);
    const std::string prefix = "info  [UpdateManager] manifest is downloaded again even not expired ";
    if (note.empty()) {
      EXPECT_EQ(Find(run.consoleMessages, Quote(prefix) + ".*"), -1) << run.stdoutText;
    } else {
      EXPECT_THAT(run.consoleMessages, Contains(prefix + note));
    }
    EXPECT_EQ(Find(run.consoleMessages, ".*TTL=-.*"), -1) << run.stdoutText;
  }
}

namespace {

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
           {"Room\x1B[2Kprovision\x01", "Room\\x1B[2Kprovision\\x01"}}) {
    SCOPED_TRACE(logged);
    m.InstallHandlerService({"--behaviour", "failure", "--text", text});
    const auto run = m.RunStub();
    ExpectEnded(m, run, 125);
    ExpectCauseThen(run, Quote("info  Room provision completed."),
                    "info  Room provision result: " + logged);
    ExpectNoRawBytes(run);
  }
  {
    SCOPED_TRACE("UTF-16LE");
    m.InstallHandlerService({"--behaviour", "silent"});
    // Plays a handler that writes UTF-16: once the placeholder is there, the
    // status file gets the success text in UTF-16LE with its BOM.
    const std::string status = m.C("Windows/Temp/CorvZyra/Zyrahandler_provisionstub.txt");
    std::string utf16 = "\xFF\xFE";
    for (const char c : std::string("Room")) utf16 += std::string{c, '\0'};
    std::atomic<bool> done{false};
    std::thread handler([&] {
      while (!done) {
        if (m.ReadFile(status) == "Provisioning room. Please wait...") {
          std::ofstream(status, std::ios::binary) << utf16;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    const auto run = m.RunStub();
    done = true;
    handler.join();
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
