// UpdateManager against an in-process update server: settings from
// "zyra-config.json", the manifest request and its freshness, package lookup
// and download, and the ordering with the download-folder clean-up.
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>

#include "app/file_helpers.h"
#include "net/signature.h"
#include "platform/clock.h"
#include "platform/file_security.h"
#include "platform/files.h"
#include "platform/utils/installer_launch.h"
#include "tests/support/http_server.h"
#include "tests/support/test_support.h"
#include "tools/zyra-sign/signing.h"
#include "update/update_manager.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using zyra_test::TestHttpServer;
namespace w = platform::win;

namespace {

const std::string kManifestPath = "/corvane.com/api/files/manifest/zyra/latest";

std::string Sign(const std::string& content) {
  net::Bytes sig;
  std::string error;
  EXPECT_TRUE(zyra_sign::SignBytes(ZYRA_DEV_PRIVATE_KEY, net::Bytes(content.begin(), content.end()),
                                   sig, error));
  return net::BytesToHex(sig);
}

class Update : public ::testing::Test {
 protected:
  void SetUp() override {
    w::SetSleepHookForTesting([](w::DWORD) {});
    config_ = app::GetDataFilePath("zyra-config.json");
    app::DeleteFileIfExists(config_);
    folder_ = app::GetDownloadFolder();
    // The clean-up lists only a download folder that is there and trustworthy.
    ASSERT_TRUE(app::PrepareDownloadFolder());
  }
  void TearDown() override {
    app::DeleteFileIfExists(config_);
    app::SetCleanupListerForTesting(nullptr);
    w::SetSleepHookForTesting(nullptr);
  }
  void Config(const std::string& text) { ASSERT_TRUE(app::WriteWholeFile(config_, text)); }
  // A configuration whose current entry points at the test server.
  void PointAt(const TestHttpServer& server, const std::string& extra = "") {
    Config(R"({"morla":{"current":"test","available":[{"name":"test","url":")" +
           server.Url(kManifestPath) + "\"" + extra + "}]}}");
  }
  std::vector<std::string> DownloadFolderFiles() const { return app::ListFiles(folder_); }

  std::string config_;
  std::string folder_;
};

}  // namespace

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
  const std::int64_t before = update::MonotonicNanoseconds();
  ASSERT_EQ(um.DownloadLatestUpdateManifest(""), net::Ok);
  const std::int64_t after = update::MonotonicNanoseconds();
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

namespace {

// A manifest with the given package entries (JSON text of the array).
std::string Manifest(const std::string& packages) { return R"({"ttl":60,"packages":)" + packages + "}"; }

}  // namespace

TEST_F(Update, AgentManifestDownloadLeavesOneValidatedFile) {
  TestHttpServer server;
  PointAt(server);
  const std::string versionDoc = R"({"version":"2.0.0"})";
  server.Expect("GET", kManifestPath, 200,
                Manifest(R"([{"name":"CorvZyraAgent-Setup.exe.manifest","url":")" +
                         server.Url("/v.manifest") + R"(","signatures":{"sigv1":")" +
                         server.Url("/v.manifest.sig") + R"("}}])"));
  // The API key stays on the manifest request.
  const std::string signature = Sign(versionDoc);
  server.Expect("GET", "/v.manifest", [&](const httplib::Request& req, httplib::Response& res) {
    EXPECT_FALSE(req.has_header("X-API-KEY"));
    res.set_content(versionDoc, "application/octet-stream");
  });
  server.Expect("GET", "/v.manifest.sig", [&](const httplib::Request& req, httplib::Response& res) {
    EXPECT_FALSE(req.has_header("X-API-KEY"));
    res.set_content(signature, "text/plain");
  });
  update::UpdateManager um;
  std::string path = "ignored";
  ASSERT_EQ(um.DownloadUpdatePackage(update::AgentManifest, path), net::Ok);
  EXPECT_EQ(path.rfind(folder_ + "\\CorvZyraAgent-Setup.exe-", 0), 0u) << path;
  EXPECT_EQ(path.substr(path.size() - 9), ".manifest");
  std::string text;
  ASSERT_TRUE(app::ReadWholeFile(path, text));
  EXPECT_EQ(text, versionDoc);
  const auto files = DownloadFolderFiles();
  EXPECT_EQ(files.size(), 1u);
  EXPECT_FALSE(um.downloadManager->progressEnabled);
  app::DeleteFileIfExists(path);
}

TEST_F(Update, LookupRules) {
  TestHttpServer server;
  PointAt(server);
  update::UpdateManager um;
  const std::string setup = "installer";
  // Entry without "signatures" passed over; a wrong-typed entry never matches.
  server.Expect("GET", kManifestPath, 200,
                Manifest(R"([5, {"name":7}, {"name":"CorvZyraAgent-Setup.exe","url":"x"},
                            {"name":"CorvZyraAgent-Setup.exe","url":")" +
                         server.Url("/setup.exe") + R"(","signatures":{"sigv1":")" +
                         server.Url("/setup.exe.sig") + R"("}}])"));
  server.Expect("GET", "/setup.exe", 200, setup);
  server.Expect("GET", "/setup.exe.sig", 200, Sign(setup));
  std::string path;
  ASSERT_EQ(um.DownloadUpdatePackage(update::AgentSetup, path), net::Ok);
  EXPECT_EQ(path.rfind(folder_ + "\\CorvZyraAgent-Setup-", 0), 0u) << path;
  app::DeleteFileIfExists(path);
  server.Verify();

  const std::vector<std::string> nothing = {
      "[]",
      R"([{"name":"corvzyraagent-setup.exe","url":"u","signatures":{"sigv1":"s"}}])",
      R"([{"name":"CorvZyraAgent-Setup.exe","url":"u","signatures":{}}])",
      R"([{"name":"CorvZyraAgent-Setup.exe","url":"","signatures":{"sigv1":"s"}},
          {"name":"CorvZyraAgent-Setup.exe","url":"u","signatures":{"sigv1":"s"}}])",
      R"([{"name":"CorvZyraAgent-Setup.exe","url":"u","signatures":"s"}])",
  };
  for (const std::string& packages : nothing) {
    server.Expect("GET", kManifestPath, 200, Manifest(packages));
    path = "before";
    EXPECT_EQ(um.DownloadUpdatePackage(update::AgentSetup, path), net::EmptyUrl) << packages;
    EXPECT_EQ(path.rfind(folder_ + "\\CorvZyraAgent-Setup-", 0), 0u) << path;
  }
  server.Expect("GET", kManifestPath, 200, Manifest("[]"));
  path = "unchanged";
  EXPECT_EQ(um.DownloadUpdatePackage(7, path), net::EmptyUrl);
  EXPECT_EQ(path, "unchanged");
  EXPECT_THAT(DownloadFolderFiles(), IsEmpty());
}

TEST_F(Update, InvalidSignatureLeavesNoFileBehind) {
  TestHttpServer server;
  PointAt(server);
  server.Expect("GET", kManifestPath, 200,
                Manifest(R"([{"name":"CorvZyraAgent-Setup.exe","url":")" + server.Url("/s.zip") +
                         R"(","signatures":{"sigv1":")" + server.Url("/s.sig") + R"("}}])"));
  server.Expect("GET", "/s.zip", 200, "tampered");
  server.Expect("GET", "/s.sig", 200, Sign("original"));
  update::UpdateManager um;
  std::string path;
  EXPECT_EQ(um.DownloadUpdatePackage(update::AgentSetup, path), net::SignatureInvalid);
  EXPECT_FALSE(path.empty());
  EXPECT_THAT(DownloadFolderFiles(), IsEmpty());
}

namespace {

// The app installer and the agent installer, both served as /app.exe with
// the signature /app.sig.
std::string AppAndAgentEntries(const TestHttpServer& server) {
  return R"([{"name":"CorvZyraApp-Setup.exe","url":")" + server.Url("/app.exe") +
         R"(","signatures":{"sigv1":")" + server.Url("/app.sig") +
         R"("}},{"name":"CorvZyraAgent-Setup.exe","url":")" + server.Url("/app.exe") +
         R"(","signatures":{"sigv1":")" + server.Url("/app.sig") + R"("}}])";
}

}  // namespace

TEST_F(Update, ProgressIsReportedOnlyForTheAppInstaller) {
  TestHttpServer server;
  PointAt(server);
  const std::string app = std::string(200000, 'a');
  const std::string entries = AppAndAgentEntries(server);
  update::UpdateManager um;
  int reports = 0;
  um.downloadManager->SetProgressObserver([&](const net::DownloadProgress&) { ++reports; });
  // The first call starts with progress on (the manifest reports too); every
  // call ends with it off, so the agent installer's call reports nothing.
  for (std::uint32_t kind : {update::AppSetup, update::AgentSetup}) {
    server.Expect("GET", kManifestPath, 200, Manifest(entries));
    server.Expect("GET", "/app.exe", 200, app);
    server.Expect("GET", "/app.sig", 200, Sign(app));
    reports = 0;
    std::string path;
    ASSERT_EQ(um.DownloadUpdatePackage(kind, path), net::Ok);
    app::DeleteFileIfExists(path);
    if (kind == update::AppSetup) EXPECT_GT(reports, 0);
    else EXPECT_EQ(reports, 0);
    EXPECT_FALSE(um.downloadManager->progressEnabled);
  }
}

// The reports come from the installer's own transfer: one carries its size
// as the expected total. The agent installer's transfer reports nothing.
TEST_F(Update, ProgressReportsFollowTheAppInstallersOwnTransfer) {
  TestHttpServer server;
  PointAt(server);
  const std::string app = std::string(300000, 'p');
  const std::string entries = AppAndAgentEntries(server);
  update::UpdateManager um;
  std::vector<net::DownloadProgress> reports;
  um.downloadManager->SetProgressObserver(
      [&](const net::DownloadProgress& p) { reports.push_back(p); });
  const auto ofTheInstaller = [&] {
    return std::count_if(reports.begin(), reports.end(), [&](const net::DownloadProgress& p) {
      return p.dlTotal == static_cast<std::int64_t>(app.size());
    });
  };
  for (std::uint32_t kind : {update::AppSetup, update::AgentSetup}) {
    server.Expect("GET", kManifestPath, 200, Manifest(entries));
    server.Expect("GET", "/app.exe", 200, app);
    server.Expect("GET", "/app.sig", 200, Sign(app));
    reports.clear();
    std::string path;
    ASSERT_EQ(um.DownloadUpdatePackage(kind, path), net::Ok);
    app::DeleteFileIfExists(path);
    if (kind == update::AppSetup) {
      EXPECT_GT(ofTheInstaller(), 0);
      EXPECT_TRUE(std::any_of(reports.begin(), reports.end(), [&](const net::DownloadProgress& p) {
        return p.dlNow == static_cast<std::int64_t>(app.size()) && p.dlPercent == 100.0f;
      }));
    } else {
      EXPECT_EQ(ofTheInstaller(), 0);
    }
  }
}

TEST_F(Update, DownloadsWaitForASlowCleanup) {
  TestHttpServer server;
  PointAt(server);
  const std::string setup = "fresh installer";
  std::mutex m;
  std::condition_variable cv;
  bool packageRequested = false;
  server.Expect("GET", kManifestPath, 200,
                Manifest(R"([{"name":"CorvZyraAgent-Setup.exe","url":")" +
                         server.Url("/setup.exe") + R"(","signatures":{"sigv1":")" +
                         server.Url("/setup.exe.sig") + R"("}}])"));
  server.Expect("GET", "/setup.exe", [&](const httplib::Request&, httplib::Response& res) {
    {
      std::lock_guard<std::mutex> l(m);
      packageRequested = true;
    }
    cv.notify_all();
    res.set_content(setup, "application/octet-stream");
  });
  server.Expect("GET", "/setup.exe.sig", 200, Sign(setup));

  std::promise<void> manifestServed;
  // The clean-up lists the folder only once the download had every chance
  // to run ahead of it.
  app::SetCleanupListerForTesting([&](const std::string& folder) {
    std::unique_lock<std::mutex> l(m);
    cv.wait_for(l, std::chrono::seconds(2), [&] { return packageRequested; });
    return app::ListFiles(folder);
  });
  std::string path;
  {
    update::UpdateManager um;
    ASSERT_EQ(um.DownloadUpdatePackage(update::AgentSetup, path), net::Ok);
    std::string text;
    EXPECT_TRUE(app::ReadWholeFile(path, text)) << "the clean-up removed the fresh download";
    EXPECT_EQ(text, setup);
  }
  app::DeleteFileIfExists(path);
}

TEST_F(Update, DestructionWaitsForTheCleanup) {
  std::atomic<bool> finished{false};
  app::SetCleanupListerForTesting([&](const std::string& folder) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    finished = true;
    return app::ListFiles(folder);
  });
  { update::UpdateManager um; }
  EXPECT_TRUE(finished);
}

TEST_F(Update, AThrowingCleanupIsLoggedAndDownloadsStillGoOn) {
  TestHttpServer server;
  PointAt(server);
  const std::string doc = R"({"version":"2.0.0"})";
  server.Expect("GET", kManifestPath, 200,
                Manifest(R"([{"name":"CorvZyraAgent-Setup.exe.manifest","url":")" +
                         server.Url("/v") + R"(","signatures":{"sigv1":")" +
                         server.Url("/v.sig") + R"("}}])"));
  server.Expect("GET", "/v", 200, doc);
  server.Expect("GET", "/v.sig", 200, Sign(doc));
  zyra_test::CapturedLog log;
  app::SetCleanupListerForTesting([](const std::string&) -> std::vector<std::string> {
    throw std::runtime_error("listing broke");
  });
  std::string path;
  {
    update::UpdateManager um;
    um.WaitForCleanup();  // returns although the clean-up never finished its work
    ASSERT_EQ(um.DownloadUpdatePackage(update::AgentManifest, path), net::Ok);
  }
  EXPECT_THAT(log.Lines(),
              Contains("error|CleanupDownloadLocation stopped by an unexpected error: listing broke"));
  app::DeleteFileIfExists(path);
}

// The installer is held from its validation to its launch: in between,
// neither this process nor another can replace, rewrite or delete it, and
// the bytes that run are the bytes validated.
TEST_F(Update, TheValidatedInstallerIsHeldUntilItRuns) {
  TestHttpServer server;
  PointAt(server);
  const std::string marker = w::HostPath("C:\\ran-installer.txt");
  std::filesystem::remove(marker);
  // The installer writes its own content to the marker file.
  const std::string setup = "#!/bin/sh\ncat \"$0\" > '" + marker + "'\nexit 0\n";
  server.Expect("GET", kManifestPath, 200,
                Manifest(R"([{"name":"CorvZyraAgent-Setup.exe","url":")" +
                         server.Url("/setup.exe") + R"(","signatures":{"sigv1":")" +
                         server.Url("/setup.exe.sig") + R"("}}])"));
  server.Expect("GET", "/setup.exe", 200, setup);
  server.Expect("GET", "/setup.exe.sig", 200, Sign(setup));

  update::UpdateManager um;
  std::string path;
  w::FileHandle held;
  ASSERT_EQ(um.DownloadUpdatePackage(update::AgentSetup, path, &held), net::Ok);
  ASSERT_TRUE(held.valid());

  const std::string evil = "#!/bin/sh\necho replaced > '" + marker + "'\nexit 0\n";
  const std::string evilPath = app::GetDownloadFolder() + "\\evil.exe";
  ASSERT_TRUE(app::WriteWholeFile(evilPath, evil));
  auto attempts = [&] {
    int refused = 0;
    refused += w::OpenFile(path, "wb") == nullptr && w::GetLastError() == 32;
    refused += !w::DeleteFileA(path) && w::GetLastError() == 32;
    refused += !w::MoveFileExA(evilPath, path, w::kMoveFileReplaceExisting);
    refused += !w::MoveFileExA(path, path + ".old", 0);
    return refused;
  };
  EXPECT_EQ(attempts(), 4);
  // Another process (another account on Windows) fares no better.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(attempts());
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 4);
  // Reading stays possible, as the launch needs it.
  EXPECT_TRUE(app::FileExists(path));

  EXPECT_EQ(platform::utils::RunInstallerSilently(path, std::move(held)), 0);
  std::ifstream in(marker, std::ios::binary);
  const std::string ran((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(ran, setup);
  // Released once the installer has started.
  EXPECT_TRUE(w::DeleteFileA(path));
  app::DeleteFileIfExists(evilPath);
}
