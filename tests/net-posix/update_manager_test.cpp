// UpdateManager against an in-process update server: settings from
// "zyra-config.json", the manifest request and its freshness.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/net-posix/update_fixture.h"

using namespace zyra_test::update_fixture;  // NOLINT(google-build-using-namespace): the fixture
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST_F(Update, DefaultsWithoutAConfigurationAndNoSettingsLine) {
  zyra_test::CapturedLog log;
  update::UpdateManager um;
  um.LoadUpdateSettings("");
  EXPECT_EQ(um.manifestUrl, "https://update.corvane.com/api/files/manifest/zyra/latest");
  EXPECT_EQ(um.brand, "corvane");
  EXPECT_EQ(um.downloadManager->timeoutMs, 1800000);
  um.WaitForCleanup();
  EXPECT_THAT(log.Lines(), Not(Contains(HasSubstr("[UpdateManager]"))));
}

TEST_F(Update, QueryIsBuiltUnescapedAndAppendedEvenAfterAQuestionMark) {
  update::UpdateManager um;
  Config(R"({"morla":{"current":"a","available":[
      {"name":"a","url":"https://x.corvane.com/m","brand":"tamberlo","channel":"beta"},
      {"name":"b","url":"https://x.corvane.com/m?v=1","brand":"Corvane"},
      {"name":"c","url":"https://x.corvane.com/m","channel":"early bird","orgId":"a&b"}]}})");
  um.LoadUpdateSettings("");
  EXPECT_EQ(um.manifestUrl, "https://x.corvane.com/m?brand=tamberlo&channel=beta");
  um.LoadUpdateSettings("b");
  EXPECT_EQ(um.manifestUrl, "https://x.corvane.com/m?v=1?brand=corvane");
  um.LoadUpdateSettings("c");
  EXPECT_EQ(um.manifestUrl, "https://x.corvane.com/m?brand=corvane&channel=early bird&orgId=a&b");
  um.LoadUpdateSettings("c");  // settings never accumulate
  EXPECT_EQ(um.manifestUrl, "https://x.corvane.com/m?brand=corvane&channel=early bird&orgId=a&b");
}

TEST_F(Update, EntrySelection) {
  update::UpdateManager um;
  um.WaitForCleanup();  // its thread logs its name
  zyra_test::CapturedLog log;
  // "current" names nothing: defaults, no line.
  Config(R"({"morla":{"current":"gone","available":[{"name":"x","url":"https://a.corvane.com/"}]}})");
  um.LoadUpdateSettings("");
  EXPECT_EQ(um.manifestUrl, update::DefaultManifestUrl());
  EXPECT_THAT(log.Lines(), IsEmpty());
  // An empty name is chosen when "current" is absent; the marker may be in the path.
  Config(R"({"morla":{"available":[{"url":"https://evil.example/corvane.com/m"}]}})");
  um.LoadUpdateSettings("");
  EXPECT_EQ(um.manifestUrl, "https://evil.example/corvane.com/m?brand=corvane");
  // The first of two same-named entries decides, even when it is refused.
  Config(R"({"morla":{"current":"d","available":{"k2":{"name":"d","url":"https://ok.corvane.com/"},
                                                 "k1":{"name":"d","url":"https://nope.example/"}}}})");
  um.LoadUpdateSettings("");
  EXPECT_EQ(um.manifestUrl, update::DefaultManifestUrl());  // object walked in key order: k1 first
  EXPECT_THAT(log.Lines(), Contains("info|[UpdateManager] invalid url https://nope.example/ skipped"));
}

TEST_F(Update, DamagedConfigurationsGiveTheDefaultsSilently) {
  update::UpdateManager um;
  um.WaitForCleanup();
  const std::string good =
      R"({"morla":{"current":"a","available":[{"name":"a","url":"https://q.corvane.com/"}]}})";
  Config(good + " trailing text is not examined");
  um.LoadUpdateSettings("");
  EXPECT_EQ(um.manifestUrl, "https://q.corvane.com/?brand=corvane");
  zyra_test::CapturedLog log;
  for (const std::string bad :
       {"", "not json", "[1,2]", R"({"morla":{"current":5,"available":[]}})",
        R"({"morla":{"current":"a","available":[1,2]}})",
        R"({"morla":{"current":"a","available":[{"name":"a","url":42}]}})",
        R"({"morla":{"current":"a","available":"x"}})",
        // A non-object entry ends the walk with the defaults: the later
        // entry of the same name is never reached.
        R"({"morla":{"current":"a","available":[0,{"name":"a","url":"https://q.corvane.com/"}]}})"}) {
    Config(bad);
    um.LoadUpdateSettings("");
    EXPECT_EQ(um.manifestUrl, update::DefaultManifestUrl()) << bad;
    EXPECT_EQ(um.brand, "corvane");
  }
  EXPECT_THAT(log.Lines(), IsEmpty());
}

TEST_F(Update, AnAcceptedEntryIsReportedInTwoInfoLines) {
  update::UpdateManager um;
  um.WaitForCleanup();
  zyra_test::CapturedLog log;
  Config(R"({"morla":{"current":"a","available":[
      {"name":"a","url":"https://q.corvane.com/m","brand":"tamberlo","channel":"beta","orgId":"o1"}]}})");
  um.LoadUpdateSettings("");
  EXPECT_THAT(log.Lines(),
              ElementsAre("info|[UpdateManager]. Overwriting update settings[a]. Url = "
                          "https://q.corvane.com/m",
                          "info|[UpdateManager::CheckForUpdateSettings]. Update settings. Brand = "
                          "tamberlo. Channel = beta. Organization Id = o1"));
}

TEST_F(Update, ManifestCarriesTheKeyAndOnlyTheManifestDoes) {
  TestHttpServer server;
  PointAt(server, R"(,"brand":"tamberlo","channel":"beta")");
  server.Expect("GET", kManifestPath, [](const httplib::Request& req, httplib::Response& res) {
    EXPECT_EQ(req.get_header_value("X-API-KEY"), "TqWmRzKpHnVxLcJd");
    EXPECT_EQ(req.get_param_value("brand"), "tamberlo");
    EXPECT_EQ(req.get_param_value("channel"), "beta");
    res.set_content(R"({"packages":[]})", "application/json");
  });
  update::UpdateManager um;
  ASSERT_EQ(um.DownloadLatestUpdateManifest(""), net::Ok);
  EXPECT_TRUE(um.downloadManager->headers.empty());
  EXPECT_EQ(um.manifestTtl, 7200);
}

// The key goes with the manifest request only: it is taken off again when
// the fetch failed on every attempt and when the body was unusable, so no
// later transfer of the manager can carry it.
TEST_F(Update, TheKeyIsTakenOffAfterAFailedFetchAndAfterAnUnusableManifest) {
  TestHttpServer server;
  PointAt(server);
  update::UpdateManager um;
  const auto withKey = [](int status, std::string body) {
    return [status, body](const httplib::Request& req, httplib::Response& res) {
      EXPECT_EQ(req.get_header_value("X-API-KEY"), "TqWmRzKpHnVxLcJd");
      res.status = status;
      res.set_content(body, "application/json");
    };
  };
  server.Expect("GET", kManifestPath, withKey(500, ""), 5);
  EXPECT_EQ(um.DownloadLatestUpdateManifest(""), net::TransferFailed);
  EXPECT_TRUE(um.downloadManager->headers.empty());
  EXPECT_EQ(um.downloadManager->headerList, nullptr);
  server.Expect("GET", kManifestPath, withKey(200, "not json"));
  EXPECT_EQ(um.DownloadLatestUpdateManifest(""), net::ManifestParseFailed);
  EXPECT_TRUE(um.downloadManager->headers.empty());
  EXPECT_EQ(um.downloadManager->headerList, nullptr);
  server.Verify();
  // A memory transfer of the same manager afterwards sends no key.
  server.Expect("GET", "/other", [](const httplib::Request& req, httplib::Response& res) {
    EXPECT_FALSE(req.has_header("X-API-KEY"));
    res.set_content("{}", "application/json");
  });
  std::vector<char> body;
  long status = 0;
  EXPECT_EQ(um.downloadManager->DownloadToMemory(server.Url("/other"), status, body), net::Ok);
}

// A manifest without "ttl" stays fresh for two hours from its download.
TEST_F(Update, AManifestWithoutTtlExpiresTwoHoursAfterItsDownload) {
  TestHttpServer server;
  PointAt(server);
  server.Expect("GET", kManifestPath, 200, R"({"packages":[]})");
  update::UpdateManager um;
  const std::int64_t before = platform::MonotonicNanoseconds();
  ASSERT_EQ(um.DownloadLatestUpdateManifest(""), net::Ok);
  const std::int64_t after = platform::MonotonicNanoseconds();
  EXPECT_EQ(um.manifestTtl, 7200);
  EXPECT_GE(um.manifestExpiry, before + 7200LL * 1000000000LL);
  EXPECT_LE(um.manifestExpiry, after + 7200LL * 1000000000LL);
}

TEST_F(Update, TtlRulesAndUnusableBodies) {
  TestHttpServer server;
  PointAt(server);
  update::UpdateManager um;
  const std::vector<std::pair<std::string, std::int32_t>> cases = {
      {R"({"ttl":60.9})", 60}, {R"({"ttl":true})", 1},  {R"({"ttl":false})", 0},
      {R"({"ttl":-5})", -5},   {R"({"ttl":0})", 0},
      // Whole numbers outside the 32-bit range are clamped, as fractions are.
      {R"({"ttl":2147483647})", 2147483647}, {R"({"ttl":2147483648})", 2147483647},
      {R"({"ttl":99999999999})", 2147483647}, {R"({"ttl":18446744073709551615})", 2147483647},
      {R"({"ttl":1e300})", 2147483647},       {R"({"ttl":-2147483648})", -2147483647 - 1},
      {R"({"ttl":-99999999999})", -2147483647 - 1},
      {R"({ "ttl" : 30 }  )", 30}};
  for (const auto& [body, ttl] : cases) {
    server.Expect("GET", kManifestPath, 200, body);
    EXPECT_EQ(um.DownloadLatestUpdateManifest(""), net::Ok) << body;
    EXPECT_EQ(um.manifestTtl, ttl) << body;
  }
  for (const std::string body :
       {R"({"ttl":"60"})", "[]", R"({"ttl":1} x)", "", "nonsense", R"({"ttl":null})"}) {
    server.Expect("GET", kManifestPath, 200, body);
    EXPECT_EQ(um.DownloadLatestUpdateManifest(""), net::ManifestParseFailed) << body;
    EXPECT_EQ(um.manifestTtl, 30) << body;  // unchanged
  }
}

// Why a body is no usable manifest, as the error line gives it.
TEST(ManifestBody, ReasonsNameThePositionTheDocumentOrTheTtlType) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "parse error at line 1, column 1: syntax error while parsing value"},
      {"{\"ttl\":1,\n  x}", "parse error at line 2, column 3: syntax error while parsing object key"},
      {R"({"ttl":1} x)", "parse error at line 1, column 11: syntax error while parsing value"},
      {"[]", "it is a JSON array, not an object"},
      {"42", "it is a JSON number, not an object"},
      {R"({"ttl":"60"})", "\"ttl\" of type string"},
      {R"({"ttl":{}})", "\"ttl\" of type object"},
  };
  for (const auto& [body, reason] : cases) {
    nlohmann::json manifest;
    std::int32_t ttl = 5;
    std::string why;
    EXPECT_EQ(update::ParseManifestBody(std::vector<char>(body.begin(), body.end()), manifest, ttl,
                                        &why),
              net::ManifestParseFailed)
        << body;
    EXPECT_EQ(why.rfind(reason, 0), 0u) << body << " gave: " << why;
    EXPECT_EQ(ttl, 5);
  }
}

TEST_F(Update, FreshnessNoteOnlyForASecondCallWithinTheTtl) {
  TestHttpServer server;
  PointAt(server);
  update::UpdateManager um;
  um.WaitForCleanup();
  zyra_test::CapturedLog log;
  const std::string note = "info|[UpdateManager] manifest is downloaded again even not expired TTL=";
  server.Expect("GET", kManifestPath, 200, R"({"ttl":600})", 2);
  ASSERT_EQ(um.DownloadLatestUpdateManifest(""), net::Ok);
  EXPECT_THAT(log.Lines(), Not(Contains(HasSubstr("manifest is downloaded again"))));
  ASSERT_EQ(um.DownloadLatestUpdateManifest(""), net::Ok);
  EXPECT_THAT(log.Lines(), Contains(note + "600"));
  server.Verify();

  // 404 on every attempt: the debug line, an emptied manifest, no later note.
  server.Expect("GET", kManifestPath, 404, "", 5);
  EXPECT_EQ(um.DownloadLatestUpdateManifest(""), net::NotFound);
  EXPECT_THAT(log.Lines(),
              Contains("debug|[DownloadLatestUpdateManifest] - Failed to download update manifest. "
                       "Result: 70007"));
  EXPECT_TRUE(um.manifest.empty());
  zyra_test::CapturedLog log2;
  server.Expect("GET", kManifestPath, 200, R"({"ttl":0})", 2);
  ASSERT_EQ(um.DownloadLatestUpdateManifest(""), net::Ok);
  ASSERT_EQ(um.DownloadLatestUpdateManifest(""), net::Ok);  // stale at once: no note
  EXPECT_THAT(log2.Lines(), Not(Contains(HasSubstr("manifest is downloaded again"))));
}
