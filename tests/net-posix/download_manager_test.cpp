// DownloadManager against in-process servers on loopback: attempts and
// pauses, result codes, headers, validation, progress, tracing.
#include <stdlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/file_helpers.h"
#include "net/download_manager.h"
#include "net/signature.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/posix/machine.h"
#include "tests/support/http_server.h"
#include "tests/support/test_support.h"
#include "tools/zyra-sign/signing.h"

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using zyra_test::TestHttpServer;
namespace w = platform::win;

namespace {

std::string Sign(const std::string& content) {
  net::Bytes sig;
  std::string error;
  EXPECT_TRUE(zyra_sign::SignBytes(ZYRA_DEV_PRIVATE_KEY, net::Bytes(content.begin(), content.end()),
                                   sig, error))
      << error;
  return net::BytesToHex(sig);
}

class Downloads : public ::testing::Test {
 protected:
  void SetUp() override {
    w::SetSleepHookForTesting([this](w::DWORD ms) { sleeps_.push_back(ms); });
    dest_ = "C:\\Windows\\Temp\\dm-test.bin";
    app::DeleteFileIfExists(dest_);
  }
  void TearDown() override {
    w::SetSleepHookForTesting(nullptr);
    app::DeleteFileIfExists(dest_);
  }
  static long CountContaining(const std::vector<std::string>& lines, const std::string& part) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }

  std::vector<w::DWORD> sleeps_;
  std::string dest_;
};

}  // namespace

TEST_F(Downloads, NotFoundEveryTimeMakesFiveAttemptsWithFourPauses) {
  zyra_test::CapturedLog log;
  TestHttpServer server;
  server.Expect("GET", "/pkg", 404, "missing", 5);
  net::DownloadManager dm;
  EXPECT_EQ(dm.Download(server.Url("/pkg"), dest_), net::NotFound);
  EXPECT_THAT(sleeps_, ElementsAre(1000u, 1000u, 1000u, 1000u));
  EXPECT_FALSE(app::FileExists(dest_));
  const auto lines = log.Lines();
  EXPECT_EQ(CountContaining(lines, "error|[DownloadManager::Download] CURL error: "), 5);
  EXPECT_EQ(CountContaining(lines, " http code: 404 Url: " + server.Url("/pkg")), 5);
}

TEST_F(Downloads, NotFoundOnceThenTheFile) {
  TestHttpServer server;
  server.Expect("GET", "/pkg", 404);
  server.Expect("GET", "/pkg", 200, "payload\r\nbytes");
  net::DownloadManager dm;
  EXPECT_EQ(dm.Download(server.Url("/pkg"), dest_), net::Ok);
  EXPECT_EQ(zyra_test::ReadBytes(dest_), "payload\r\nbytes");  // bytes unchanged
  EXPECT_THAT(sleeps_, ElementsAre(1000u));
}

TEST_F(Downloads, ServerErrorIsTransferFailedAndNegativeLimitKeepsTrying) {
  TestHttpServer server;
  server.Expect("GET", "/a", 500, "", 5);
  net::DownloadManager dm;
  EXPECT_EQ(dm.Download(server.Url("/a"), dest_), net::TransferFailed);
  server.Verify();
  server.Expect("GET", "/b", 503, "", 8);
  server.Expect("GET", "/b", 200, "finally");
  dm.maxAttempts = -1;
  EXPECT_EQ(dm.Download(server.Url("/b"), dest_), net::Ok);
  EXPECT_EQ(zyra_test::ReadBytes(dest_), "finally");
}

TEST_F(Downloads, RedirectsAreFollowed) {
  TestHttpServer server;
  const std::string target = server.Url("/real");
  server.Expect("GET", "/moved", [target](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(target);
  });
  server.Expect("GET", "/real", 200, "here");
  net::DownloadManager dm;
  EXPECT_EQ(dm.Download(server.Url("/moved"), dest_), net::Ok);
  EXPECT_EQ(zyra_test::ReadBytes(dest_), "here");
}

TEST_F(Downloads, EmptyUrlsAndUnopenableDestinations) {
  net::DownloadManager dm;
  std::vector<char> body;
  long status = 7;
  EXPECT_EQ(dm.Download("", dest_), net::EmptyUrl);
  EXPECT_EQ(dm.DownloadToMemory("", status, body), net::EmptyUrl);
  EXPECT_TRUE(sleeps_.empty());

  // A destination that cannot be opened fails every attempt without a request.
  zyra_test::CapturedLog log;
  TestHttpServer server;
  EXPECT_EQ(dm.Download(server.Url("/x"), "C:\\No\\Such\\Folder\\x.bin"), net::TransferFailed);
  EXPECT_EQ(sleeps_.size(), 4u);
  EXPECT_EQ(CountContaining(log.Lines(), "Cannot open C:\\No\\Such\\Folder\\x.bin for writing"), 5);
}

TEST_F(Downloads, MemoryTransferFailingEveryTimeLeavesAnEmptyBodyAndTheLastStatus) {
  TestHttpServer server;
  server.Expect("GET", "/m", 500, "err", 4);
  server.Expect("GET", "/m", 403, "denied");
  net::DownloadManager dm;
  std::vector<char> body = {'o', 'l', 'd'};
  long status = 0;
  EXPECT_EQ(dm.DownloadToMemory(server.Url("/m"), status, body), net::TransferFailed);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(status, 403);

  // Nothing listening: no HTTP response at all.
  const std::string dead = server.Url("/m");
  server.Verify();
  dm.maxAttempts = 2;
  status = 99;
  EXPECT_EQ(dm.DownloadToMemory("http://127.0.0.1:1/refused", status, body),
            net::TransferFailed);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(body.empty());
}

TEST_F(Downloads, CustomHeadersGoOnMemoryTransfersOnly) {
  TestHttpServer server;
  server.Expect("GET", "/manifest", [](const httplib::Request& req, httplib::Response& res) {
    EXPECT_EQ(req.get_header_value("X-API-KEY"), "secret");
    EXPECT_EQ(req.get_header_value("X-Other"), "two");
    EXPECT_FALSE(req.has_header("User-Agent"));
    res.set_content("{}", "application/json");
  });
  server.Expect("GET", "/file", [](const httplib::Request& req, httplib::Response& res) {
    EXPECT_FALSE(req.has_header("X-API-KEY"));
    res.set_content("f", "text/plain");
  });
  server.Expect("GET", "/manifest", [](const httplib::Request& req, httplib::Response& res) {
    EXPECT_FALSE(req.has_header("X-API-KEY"));
    EXPECT_EQ(req.get_header_value("X-Other"), "two");
    res.set_content("{}", "application/json");
  });
  net::DownloadManager dm;
  dm.SetHeader("X-API-KEY", "first");
  dm.SetHeader("X-API-KEY", "secret");  // replaces
  dm.SetHeader("X-Other", "two");
  std::vector<char> body;
  long status = 0;
  ASSERT_EQ(dm.DownloadToMemory(server.Url("/manifest"), status, body), net::Ok);
  EXPECT_EQ(std::string(body.begin(), body.end()), "{}");
  EXPECT_EQ(status, 200);
  ASSERT_EQ(dm.Download(server.Url("/file"), dest_), net::Ok);
  dm.RemoveHeader("X-API-KEY");
  dm.RemoveHeader("never-set");
  ASSERT_EQ(dm.DownloadToMemory(server.Url("/manifest"), status, body), net::Ok);
}

TEST_F(Downloads, ConfigureCallableSeesTheHandleBeforeTheTransfer) {
  TestHttpServer server;
  server.Expect("GET", "/c", [](const httplib::Request& req, httplib::Response& res) {
    EXPECT_EQ(req.get_header_value("User-Agent"), "configured");
    res.set_content("ok", "text/plain");
  });
  net::DownloadManager dm;
  std::vector<char> body;
  long status = 0;
  int calls = 0;
  EXPECT_EQ(dm.DownloadToMemory(server.Url("/c"), status, body,
                                [&](CURL* h) {
                                  ++calls;
                                  curl_easy_setopt(h, CURLOPT_USERAGENT, "configured");
                                }),
            net::Ok);
  EXPECT_EQ(calls, 1);
}

TEST_F(Downloads, UrlThatIsNotUtf8NeverThrows) {
  zyra_test::CapturedLog log;
  net::DownloadManager dm;
  dm.maxAttempts = 1;
  std::vector<char> body;
  long status = 0;
  // A PAC URL makes the lookup convert the URL; bad UTF-8 fails the attempt.
  std::filesystem::create_directories(platform::posix::MachineRoot() +
                                      "/drive_c/ProgramData/Corvane/CorvZyra");
  ASSERT_TRUE(app::WriteWholeFile("C:\\ProgramData\\Corvane\\CorvZyra\\ProxyAutoConfigUrl.txt",
                                  "http://127.0.0.1:1/proxy.pac\n"));
  const std::string bad = "http://127.0.0.1:1/\xff\xfe";
  EXPECT_NO_THROW(EXPECT_EQ(dm.Download(bad, dest_), net::TransferFailed));
  EXPECT_NO_THROW(EXPECT_EQ(dm.DownloadToMemory(bad, status, body), net::TransferFailed));
  app::DeleteFileIfExists("C:\\ProgramData\\Corvane\\CorvZyra\\ProxyAutoConfigUrl.txt");
  EXPECT_EQ(CountContaining(log.Lines(), "proxy lookup failed: bad conversion"), 2);
}

class Validate : public Downloads {};

TEST_F(Validate, FreshNamesForEmptyPathsOnSuccess) {
  const std::string package = "the installer bytes";
  TestHttpServer server;
  server.Expect("GET", "/setup.exe", 200, package);
  server.Expect("GET", "/setup.exe.sig", 200, Sign(package));
  net::DownloadManager dm;
  std::string pkg, sig;
  ASSERT_EQ(dm.DownloadAndValidate(server.Url("/setup.exe"), server.Url("/setup.exe.sig"), &pkg,
                                   &sig),
            net::Ok);
  const std::string folder = app::GetDownloadFolder() + "\\Installer-";
  EXPECT_EQ(pkg.rfind(folder, 0), 0u) << pkg;
  EXPECT_EQ(sig.rfind(folder, 0), 0u) << sig;
  EXPECT_EQ(zyra_test::ReadBytes(pkg), package);
  app::DeleteFileIfExists(pkg);
  app::DeleteFileIfExists(sig);
}

TEST_F(Validate, InputOnlyPackagePathIsNeverWritten) {
  const std::string package = "bytes";
  TestHttpServer server;
  server.Expect("GET", "/p", 200, package);
  server.Expect("GET", "/p.sig", 200, Sign(package));
  net::DownloadManager dm;
  const std::string pkg;
  std::string sig = "C:\\Windows\\Temp\\chosen.sig";
  ASSERT_EQ(dm.DownloadAndValidate(server.Url("/p"), server.Url("/p.sig"), &pkg, &sig), net::Ok);
  EXPECT_TRUE(pkg.empty());
  EXPECT_EQ(sig, "C:\\Windows\\Temp\\chosen.sig");
  app::DeleteFileIfExists(sig);
}

TEST_F(Validate, FailingSignatureDownloadDeletesThePackageToo) {
  TestHttpServer server;
  server.Expect("GET", "/p", 200, "bytes");
  server.Expect("GET", "/p.sig", 404, "", 5);
  net::DownloadManager dm;
  std::string pkg = dest_;
  std::string sig = "C:\\Windows\\Temp\\dm-test.sig";
  EXPECT_EQ(dm.DownloadAndValidate(server.Url("/p"), server.Url("/p.sig"), &pkg, &sig),
            net::NotFound);
  EXPECT_FALSE(app::FileExists(dest_));
  EXPECT_FALSE(app::FileExists(sig));
}

TEST_F(Validate, InvalidSignatureLeavesBothFilesAndThePathsAlone) {
  TestHttpServer server;
  server.Expect("GET", "/p", 200, "bytes");
  server.Expect("GET", "/p.sig", 200, Sign("other bytes"));
  net::DownloadManager dm;
  std::string pkg = dest_;
  std::string sig = "C:\\Windows\\Temp\\dm-test.sig";
  EXPECT_EQ(dm.DownloadAndValidate(server.Url("/p"), server.Url("/p.sig"), &pkg, &sig),
            net::SignatureInvalid);
  EXPECT_TRUE(app::FileExists(dest_));
  EXPECT_TRUE(app::FileExists(sig));
  EXPECT_EQ(pkg, dest_);
  app::DeleteFileIfExists(sig);
}

TEST_F(Validate, MissingArgumentsAndEmptyUrls) {
  zyra_test::CapturedLog log;
  net::DownloadManager dm;
  std::string pkg, sig;
  EXPECT_EQ(dm.DownloadAndValidate("u", "s", static_cast<std::string*>(nullptr), &sig),
            net::MissingOutput);
  EXPECT_EQ(dm.DownloadAndValidate("u", "s", &pkg, nullptr), net::MissingOutput);
  EXPECT_EQ(dm.DownloadAndValidate("", "s", &pkg, &sig), net::EmptyValidateUrl);
  EXPECT_EQ(dm.DownloadAndValidate("u", "", &pkg, &sig), net::EmptyValidateUrl);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(Downloads, ProgressWithoutAnnouncedSizeReportsThirtyPercent) {
  TestHttpServer server;
  server.Expect("GET", "/chunked", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/octet-stream",
                                     [](size_t offset, httplib::DataSink& sink) {
                                       if (offset >= 300000) {
                                         sink.done();
                                         return true;
                                       }
                                       std::string chunk(100000, 'x');
                                       sink.write(chunk.data(), chunk.size());
                                       return true;
                                     });
  });
  net::DownloadManager dm;
  std::vector<net::DownloadProgress> reports;
  dm.SetProgressObserver([&](const net::DownloadProgress& p) { reports.push_back(p); });
  ASSERT_EQ(dm.Download(server.Url("/chunked"), dest_), net::Ok);
  ASSERT_FALSE(reports.empty());
  bool sawThirty = false;
  for (const auto& p : reports) {
    EXPECT_EQ(p.dlTotal, 0);
    if (p.dlNow > 0) {
      EXPECT_EQ(p.dlPercent, 30.0f);
      sawThirty = true;
    }
  }
  EXPECT_TRUE(sawThirty);
  EXPECT_EQ(reports.back().dlNow, 300000);
}

TEST_F(Downloads, ProgressDisabledRecordsNothing) {
  TestHttpServer server;
  server.Expect("GET", "/f", 200, std::string(50000, 'y'));
  net::DownloadManager dm;
  std::vector<net::DownloadProgress> reports;
  dm.SetProgressObserver([&](const net::DownloadProgress& p) { reports.push_back(p); });
  dm.progressEnabled = false;
  ASSERT_EQ(dm.Download(server.Url("/f"), dest_), net::Ok);
  EXPECT_TRUE(reports.empty());
}

TEST(ProgressRule, ReportsOnlySteps) {
  net::DownloadManager dm;
  std::vector<float> seen;
  dm.SetProgressObserver([&](const net::DownloadProgress& p) { seen.push_back(p.dlPercent); });
  for (curl_off_t now : {0, 1, 5, 9, 10, 19, 20, 1000})
    net::DownloadManager::OnCurlProgress(&dm, 1000, now, 0, 0);
  // First call always reports; then only rises of one point or more.
  EXPECT_THAT(seen, ElementsAre(0.0f, 1.0f, 2.0f, 100.0f));
}

// The trace switch is process-wide and fixed at the first construction, so
// each case runs in a freshly started child process.
TEST(TraceSwitch, EnvironmentVariableAloneTurnsItOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::setenv("PX_CURL_TRACE", "", 1);
        net::DownloadManager dm;
        std::exit(dm.trace ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(TraceSwitch, MarkerFolderTurnsItOnAndLaterChangesDoNot) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::unsetenv("ZYRA_CURL_TRACE");
        ::unsetenv("MW_CURL_TRACE");
        ::unsetenv("PX_CURL_TRACE");
        const std::string data = platform::posix::MachineRoot() +
                                 "/drive_c/ProgramData/Corvane/CorvZyra";
        std::filesystem::create_directories(data + "/traceProxy");
        net::DownloadManager first;
        std::filesystem::remove_all(data + "/traceProxy");
        net::DownloadManager second;
        std::exit(first.trace && second.trace ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        ::unsetenv("ZYRA_CURL_TRACE");
        ::unsetenv("MW_CURL_TRACE");
        ::unsetenv("PX_CURL_TRACE");
        net::DownloadManager first;
        ::setenv("ZYRA_CURL_TRACE", "1", 1);
        net::DownloadManager second;
        std::exit(!first.trace && !second.trace ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(TraceSwitch, FirstConstructionsOnSeveralThreadsAtOnceAllSeeTheSameSwitch) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::setenv("MW_CURL_TRACE", "x", 1);
        std::atomic<bool> go{false};
        std::atomic<int> on{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
          threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            net::DownloadManager dm;
            if (dm.trace) ++on;
          });
        }
        go = true;
        for (auto& th : threads) th.join();
        std::exit(on.load() == 4 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Downloads, TraceLogsProxyDecisionAndProtocolOnlyWhenOn) {
  TestHttpServer server;
  server.Expect("GET", "/t", 200, "traced body", 2);
  net::DownloadManager dm;
  std::vector<char> body;
  long status = 0;
  {
    zyra_test::CapturedLog log;
    dm.trace = false;
    ASSERT_EQ(dm.DownloadToMemory(server.Url("/t"), status, body), net::Ok);
    EXPECT_EQ(CountContaining(log.Lines(), "proxy"), 0);
    EXPECT_TRUE(log.Lines().empty());
  }
  zyra_test::CapturedLog log;
  dm.trace = true;
  ASSERT_EQ(dm.DownloadToMemory(server.Url("/t"), status, body), net::Ok);
  const auto lines = log.Lines();
  EXPECT_THAT(lines, Contains("info|[DownloadManager] no proxy to use for url " + server.Url("/t")));
  // Header out: the marker, then the request, one line with its line breaks escaped.
  EXPECT_EQ(CountContaining(lines, "info|>GET /t HTTP/1.1\\r\\nHost: 127.0.0.1:"), 1);
  EXPECT_THAT(lines, Contains("info|<traced body"));         // data in
  EXPECT_GE(CountContaining(lines, "info|*"), 1);            // libcurl's own text
}
