// Every failure names its cause in a level-2 log, right before the line
// that reports it: a signature that does not validate, unusable manifests
// and version files, a wait that read nothing, a result file that cannot be
// written; and a huge "ttl" is clamped.
#include <string>
#include <tuple>
#include <vector>

#include "tests/e2e/cause_fixture.h"

using namespace zyra_e2e;

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

// The update server answers the manifest request 401 (no proxy): the key is
// named as refused, after the five transfer errors and before the line that
// reports the failed download.
TEST_F(Cause, ManifestRequestRefusedWith401NamesTheApiKey) {
  Inject([](const std::string& p, int) -> std::optional<Reply> {
    if (!EndsWith(p, kManifestPath)) return std::nullopt;
    return Reply{Reply::kWhole,
                 "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
  });
  const auto run = m.RunStub();
  ExpectEnded(m, run, 123);
  EXPECT_EQ(server.Count(kManifestPath), 5);
  const std::string cause =
      Quote("error  [DownloadLatestUpdateManifest] - The update server refused the program's API "
            "key: the manifest request " + ManifestUrl()) +
      "(\\?\\S*)? was answered 401 \\(Unauthorized\\)\\. Result: 70003";
  ExpectCauseThen(run, cause, "error  Cannot download ZyraAgent version file.");
  const long at = Find(run.consoleMessages, cause);
  ASSERT_GE(at, 5);
  for (long i = at - 5; i < at; ++i)
    EXPECT_THAT(run.consoleMessages[static_cast<std::size_t>(i)],
                ::testing::MatchesRegex("error  \\[DownloadManager::DownloadToMemory\\] CURL "
                                        "error: .* http code: 401 Url: .*"));
}
