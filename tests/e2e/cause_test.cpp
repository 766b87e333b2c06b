// Every failure names its cause in a level-2 log, right before the line
// that reports it: a signature that does not validate, unusable manifests
// and version files, a wait that read nothing, a result file that cannot be
// written; and a huge "ttl" is clamped.
#include <algorithm>
#include <functional>
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

// A token that cannot be staged leaves the earlier staged token byte for
// byte and nothing beside it, each with its cause: an empty file, a link or
// a folder under the token's name (only a file is a token).
TEST_F(Cause, ATokenThatCannotBeStagedLeavesTheEarlierOneAsItWas) {
  const std::string staged = m.C("ProgramData/Corvane/CorvZyra/provision-token.data");
  const std::string beside = m.C("Program Files/CorvZyra/CorvZyraProvisionToken.json");
  const std::string tokenPath = "C:\\Program Files\\CorvZyra\\CorvZyraProvisionToken.json";
  const std::string elsewhere = m.root() + "/another-rooms-token.json";
  std::ofstream(elsewhere, std::ios::binary) << "another room's token";
  const std::vector<std::tuple<std::string, std::function<void()>, std::string, std::string>> cases{
      {"empty", [&] { m.PutToken(""); },
       "error  The token " + Quote(tokenPath) + " is empty: there is nothing to stage\\.",
       "error  Cannot copy token to provision folder."},
      {"link", [&] { fs::create_symlink(elsewhere, beside); },
       "error  " + Quote(tokenPath) + " is a junction or symbolic link, not a file: it is not taken "
       "as the token\\.",
       "error  Cannot find provision token."},
      {"folder", [&] { fs::create_directory(beside); },
       "error  " + Quote(tokenPath) + " is a folder, not a file: it is not taken as the token\\.",
       "error  Cannot find provision token."}};
  for (const auto& [name, put, cause, designLine] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(beside);
    put();
    std::ofstream(staged, std::ios::binary) << "this room's token, staged before";
    const auto run = m.RunStub();
    ExpectEnded(m, run, 122);
    ExpectCauseThen(run, cause, designLine);
    EXPECT_EQ(m.ReadFile(staged), "this room's token, staged before");
    EXPECT_THAT(Names(m.C("ProgramData/Corvane/CorvZyra")),
                Not(Contains("provision-token.data.partial")));
  }
}

// The program's own path is read whole, however long. A token path the
// narrow file functions can open (259 characters) is staged; one longer is
// refused with its length, and the token is never looked for higher up
// (where a path cut to 259 characters would lead: another room's token).
TEST_F(Cause, ALongProgramPathNeverStagesAnotherRoomsToken) {
  const std::string staged = m.C("ProgramData/Corvane/CorvZyra/provision-token.data");
  const std::string upper = "Rooms/" + std::string(200, 'b');
  fs::create_directories(m.C(upper));
  std::ofstream(m.C(upper + "/CorvZyraProvisionToken.json"), std::ios::binary) << "room A's token";
  const std::string installed = m.root() + "/stub-copy";
  fs::copy_file(m.StubPath(), installed);
  // "C:\" + folder + "\CorvZyraProvisionToken.json": 259, 260 and 308 characters.
  for (const std::size_t lastFolder : {21u, 22u, 70u}) {
    const std::string folder = upper + "/" + std::string(lastFolder, 'c');
    const std::string token = "C:\\" + folder + "\\CorvZyraProvisionToken.json";
    SCOPED_TRACE(token.size());
    fs::create_directories(m.C(folder));
    std::ofstream(m.C(folder + "/CorvZyraProvisionToken.json"), std::ios::binary) << "room B";
    // The stub runs from there (its own path is what /proc/self/exe names).
    const std::string program = m.C(folder + "/CorvZyraProvisionStub");
    fs::copy_file(installed, program, fs::copy_options::overwrite_existing);
    fs::remove(m.StubPath());
    fs::create_symlink(program, m.StubPath());
    std::ofstream(staged, std::ios::binary) << "room B, staged before";
    const auto run = m.RunStub();
    if (token.size() <= 259) {
      ExpectEnded(m, run, 0);
      // The handler service picked up this room's token (and removed it).
      EXPECT_THAT(m.ReadFile(m.root() + "/handler.out"),
                  HasSubstr("picked up the provisioning token (6 bytes)"));
      continue;
    }
    ExpectEnded(m, run, 122);
    std::string windowsToken = token;
    std::replace(windowsToken.begin(), windowsToken.end(), '/', '\\');
    ExpectCauseThen(run,
                    Quote("error  Cannot look for the token beside the program: " + windowsToken +
                          " is " + std::to_string(token.size()) +
                          " characters long, more than the 259 the file functions can open."),
                    "error  Cannot find provision token.");
    EXPECT_EQ(m.ReadFile(staged), "room B, staged before");
  }
}

// A full data folder (a small tmpfs over it, in a private mount namespace)
// while a 57,344-byte token is staged: the copy fails with the disk's
// error, the earlier staged token stays as it was, nothing is left beside it.
TEST_F(Cause, AFullDataFolderKeepsTheEarlierStagedToken) {
  if (!CanUsePrivateMounts()) GTEST_SKIP() << "no private mount namespaces here (needs root)";
  const std::string data = m.C("ProgramData/Corvane/CorvZyra");
  std::ofstream(data + "/provision-token.data", std::ios::binary) << "this room's good token";
  m.PutToken(std::string(57344, 't'));
  const std::string saved = m.root() + "/data-saved";
  const std::string after = m.root() + "/after";
  fs::create_directories(after);
  m.SetStubLauncher(InPrivateMounts(
      "cp -a " + Quoted(data) + " " + Quoted(saved) + " && mount -t tmpfs -o size=64k,mode=0755 " +
          "zyrafull " + Quoted(data) + " && cp -a " + Quoted(saved + "/.") + " " + Quoted(data) +
          " && { cat /dev/zero > " + Quoted(data + "/filler") + " 2>/dev/null; true; }",
      "cp " + Quoted(data + "/provision-token.data") + " " + Quoted(after) + "; ls -A " +
          Quoted(data) + " > " + Quoted(after + "/names")));
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 122) << run.stdoutText;
  ExpectCauseThen(run,
                  Quote("error  Cannot write the token to C:\\ProgramData\\Corvane\\CorvZyra/"
                        "provision-token.data.partial: error 112."),
                  "error  Cannot copy token to provision folder.");
  EXPECT_EQ(m.ReadFile(after + "/provision-token.data"), "this room's good token");
  EXPECT_THAT(m.ReadFile(after + "/names"), Not(HasSubstr("partial")));
}

// The exchange folder full (a small tmpfs over it, the download folder in
// it on a tmpfs of its own): every result write and the placeholder name
// the file and the disk's error, and none is left cut in the folder. The
// handler never sees a placeholder: the wait runs to its deadline.
TEST_F(Cause, AFullExchangeFolderNamesEveryWriteThatFails) {
  if (!CanUsePrivateMounts()) GTEST_SKIP() << "no private mount namespaces here (needs root)";
  m.SetInstalledAgentVersion("2.0.0");  // current: the handler is restarted
  m.InstallHandlerService({"--behaviour", "silent"});
  const std::string exchange = m.C("Windows/Temp/CorvZyra");
  fs::create_directories(exchange);
  const std::string names = m.root() + "/exchange-names";
  m.SetStubLauncher(InPrivateMounts(
      "mount -t tmpfs -o size=64k,mode=0755 zyrafull " + Quoted(exchange) + " && mkdir " +
          Quoted(exchange + "/ZHDownload") + " && mount -t tmpfs -o size=4m,mode=0755 zyradl " +
          Quoted(exchange + "/ZHDownload") + " && { cat /dev/zero > " +
          Quoted(exchange + "/filler") + " 2>/dev/null; true; }",
      "ls -A " + Quoted(exchange) + " > " + Quoted(names)));
  const auto run = m.RunStub();
  EXPECT_EQ(run.exitCode, 125) << run.stdoutText;
  const std::string status = "C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt";
  ExpectCauseThen(run, Quote(std::string("info  Result 9 is written to ") + kResultPath),
                  std::string("error  Cannot write result 9 to ") + kResultPath + ": error 112.");
  EXPECT_THAT(run.consoleMessages,
              Contains(std::string("error  Cannot write result 8 to ") + kResultPath + ": error 112."));
  ExpectCauseThen(run, Quote("error  Cannot write the placeholder to " + status + ": error 112."),
                  "info  Waiting for ZyraHandler to provision the room");
  ExpectCauseThen(run, Quote(std::string("error  Cannot write result 125 to ") + kResultPath +
                             ": error 112."),
                  "info  CorvZyraProvisionStub completed.");
  EXPECT_THAT(run.consoleMessages, Contains("info  Timeout! ZyraHandler has not completed room provision."));
  EXPECT_EQ(m.ReadFile(names), "ZHDownload\nfiller\n");
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
