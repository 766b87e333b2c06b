// UpdateManager against an in-process update server: package lookup and
// download, and the ordering with the download-folder clean-up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/net-posix/update_fixture.h"

using namespace zyra_test::update_fixture;  // NOLINT(google-build-using-namespace): the fixture
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

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
