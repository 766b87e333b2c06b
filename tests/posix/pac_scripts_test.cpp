// PAC scripts on the emulated machine: the engine's answers and errors,
// scripts that never end, and scripts served over HTTP on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/posix/emulated_proxy_fixture.h"

using namespace zyra_test::proxy;  // NOLINT(google-build-using-namespace): the fixture's helpers
using ::testing::HasSubstr;
using ::testing::Not;

// --- PAC scripts ------------------------------------------------------------

TEST_F(EmulatedProxy, PacWithOneEntryLeavesTheRandomGeneratorAlone) {
  const ProxyDetector d = WithPac(Script(Returning("\"PROXY p1:8080\"")));
  std::srand(7);
  const int first = std::rand();
  std::srand(7);
  std::ostringstream log;
  EXPECT_EQ(d.GetProxyForUrl("https://example.org/", &log), "p1:8080");
  EXPECT_EQ(std::rand(), first);
  EXPECT_EQ(log.str(), "");
}

TEST_F(EmulatedProxy, PacWithSeveralEntriesChoosesByRand) {
  const std::string answer = "PROXY p0:1; PROXY p1:2;PROXY  p2:3";
  // What WinHTTP hands over of that answer.
  const std::string list = "p0:1;p1:2;p2:3";
  const ProxyDetector d = WithPac(Script(Returning("\"" + answer + "\"")));
  const std::string expected[] = {"p0:1", "p1:2", "p2:3"};
  for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
    std::srand(seed);
    const int r = std::rand();
    const int next = std::rand();
    std::srand(seed);
    std::ostringstream log;
    const std::string chosen = d.GetProxyForUrl("https://example.org/", &log);
    EXPECT_EQ(chosen, expected[r % 3]) << seed;
    EXPECT_EQ(std::rand(), next) << seed;  // exactly one draw
    EXPECT_EQ(log.str(),
              "chosen random proxy " + expected[r % 3] + " from " + list + " available");
    std::srand(seed);
    EXPECT_EQ(d.GetProxyForUrl("https://example.org/", nullptr), chosen);  // no log, same pick
  }
}

TEST_F(EmulatedProxy, PacAnswersReachTheProgramAsWinHttpListsThem) {
  // WinHTTP hands over the servers of the PROXY entries up to the first
  // DIRECT; DIRECT alone, or first, is a direct connection (no list at all),
  // so the program's own DIRECT handling is never reached.
  struct Case {
    const char* answer;
    const char* proxy;
  };
  const Case cases[] = {
      {"  DIRECT ", ""},
      {"direct", ""},
      {"DIRECT; PROXY after:1", ""},
      {"PROXY proxy.corp.test:3128", "proxy.corp.test:3128"},
      {"PROXY first:1; DIRECT", "first:1"},
      {"PROXY first:1; DIRECT; PROXY never:2", "first:1"},
      {"SOCKS s:1; PROXY p:1", "p:1"},
      {"p:8080", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::ostringstream log;
    const ProxyDetector d = WithPac(Script(Returning(std::string("\"") + c.answer + "\"")));
    EXPECT_EQ(d.GetProxyForUrl("http://a/", &log), c.proxy) << c.answer;
    EXPECT_EQ(log.str(), "") << c.answer;
  }
}

TEST_F(EmulatedProxy, PacIgnoresTheBypassListAndTheProxyTable) {
  ProxyDetector d = WithPac(Script(Returning("\"PROXY pac:1\"")));
  d.proxyBypass = "<local>";
  d.proxies = platform::ParseProxyList("table:2");
  EXPECT_EQ(d.GetProxyForUrl("http://localhost/", nullptr), "pac:1");
  EXPECT_EQ(d.GetProxyForUrl("example.org/x", nullptr), "");  // no scheme: WinHTTP refuses it
}

TEST_F(EmulatedProxy, PacScriptSeesTheUrlAndItsHost) {
  const ProxyDetector d = WithPac(Script(Returning("\"PROXY \" + host + \":1\"")));
  EXPECT_EQ(d.GetProxyForUrl("https://user:pw@WWW.Example.ORG:8443/a?b", nullptr),
            "www.example.org:1");
  EXPECT_EQ(d.GetProxyForUrl("http://[::1]:8080/", nullptr), "::1:1");

  // The URL reaches the script as a string, whatever it holds.
  const ProxyDetector echo = WithPac(Script(Returning(
      "url.indexOf(\"'\") < 0 && url.indexOf(\"\\\\\") < 0 ? \"PROXY escaped:1\" : \"PROXY raw:1\"")));
  EXPECT_EQ(echo.GetProxyForUrl("http://example.org/a'b\\", nullptr), "escaped:1");
  EXPECT_EQ(echo.GetProxyForUrl("http://example.org/\\", nullptr), "escaped:1");
  EXPECT_EQ(echo.GetProxyForUrl("http://example.org/a\nb\xC3\xA4", nullptr), "escaped:1");
}

TEST_F(EmulatedProxy, BrokenScriptsGiveDirectAccessWithoutAnyMessage) {
  const std::string broken[] = {
      "function FindProxyForURL(url, host) { return ",
      "function SomethingElse(url, host) { return \"PROXY x:1\"; }",
      "function FindProxyForURL(url, host) { throw new Error(\"no\"); }",
      "function FindProxyForURL(url, host) { return undefinedFunction(host); }",
  };
  for (const std::string& script : broken) {
    std::ostringstream log;
    EXPECT_EQ(WithPac(Script(script)).GetProxyForUrl("http://example.org/", &log), "") << script;
    EXPECT_EQ(log.str(), "") << script;
  }
  std::ostringstream log;
  EXPECT_EQ(WithPac("file:///C:/pac/missing.pac").GetProxyForUrl("http://example.org/", &log), "");
  EXPECT_EQ(WithPac("not a url").GetProxyForUrl("http://example.org/", &log), "");
  EXPECT_EQ(WithPac("ftp://127.0.0.1/x.pac").GetProxyForUrl("http://example.org/", &log), "");
  EXPECT_EQ(log.str(), "");
}

TEST_F(EmulatedProxy, EveryEvaluationStartsWithAFreshEngine) {
  const std::string first = Script(Returning("\"PROXY first:1\""), "first.pac");
  const std::string second = Script("var unrelated = 1;\n", "second.pac");
  EXPECT_EQ(WithPac(first).GetProxyForUrl("http://a/", nullptr), "first:1");
  EXPECT_EQ(WithPac(second).GetProxyForUrl("http://a/", nullptr), "");
  EXPECT_EQ(WithPac(first).GetProxyForUrl("http://a/", nullptr), "first:1");
}

TEST_F(EmulatedProxy, WinHttpErrorCodesOfPacEvaluation) {
  const std::u16string good = platform::ToUtf16(Script(Returning("\"PROXY p:1; DIRECT\"")));
  std::string list;
  EXPECT_EQ(FacadeProxyForUrl(good, u"http://example.org/", list), 0u);
  EXPECT_EQ(list, "p:1");
  const std::u16string direct = platform::ToUtf16(Script(Returning("\"DIRECT\""), "direct.pac"));
  EXPECT_EQ(FacadeProxyForUrl(direct, u"http://example.org/", list), 0u);
  EXPECT_EQ(list, "<null>");
  EXPECT_EQ(FacadeProxyForUrl(good, u"ftp://example.org/", list),
            w::kErrorWinhttpUnrecognizedScheme);
  EXPECT_EQ(FacadeProxyForUrl(good, u"example.org", list), w::kErrorWinhttpUnrecognizedScheme);
  EXPECT_EQ(FacadeProxyForUrl(good, u"http:///path", list), w::kErrorWinhttpInvalidUrl);
  EXPECT_EQ(FacadeProxyForUrl(good, u"http://host:8o/", list), w::kErrorWinhttpInvalidUrl);
  EXPECT_EQ(FacadeProxyForUrl(good, u"http://ho'st/", list), w::kErrorWinhttpInvalidUrl);
  EXPECT_EQ(FacadeProxyForUrl(platform::ToUtf16(ScriptUrl("none.pac")), u"http://example.org/",
                              list),
            w::kErrorWinhttpUnableToDownloadScript);
  const std::u16string bad = platform::ToUtf16(Script("function (", "bad.pac"));
  EXPECT_EQ(FacadeProxyForUrl(bad, u"http://example.org/", list),
            w::kErrorWinhttpBadAutoProxyScript);

  w::WinHttpProxyInfo info;
  w::WinHttpAutoProxyOptions options;
  options.dwFlags = w::kWinhttpAutoproxyConfigUrl;
  options.lpszAutoConfigUrl = good.c_str();
  EXPECT_FALSE(w::WinHttpGetProxyForUrl(nullptr, u"http://example.org/", &options, &info));
  EXPECT_EQ(w::GetLastError(), w::kErrorInvalidHandle);
}

TEST_F(EmulatedProxy, PacUrlsOtherThanHttpAndHttpsAreRefused) {
  WriteHostFile(Host("drive_c/pac/x.pac"), Returning("\"PROXY local:1\""));
  std::string list;
  for (const char16_t* url : {u"file:///C:/pac/x.pac", u"file://localhost/C:/pac/x.pac",
                              u"ftp://127.0.0.1/x.pac", u"C:\\pac\\x.pac", u"not a url"}) {
    EXPECT_EQ(FacadeProxyForUrl(url, u"http://example.org/", list),
              w::kErrorWinhttpUnrecognizedScheme)
        << platform::ToUtf8(url);
    EXPECT_EQ(WithPac(platform::ToUtf8(url)).GetProxyForUrl("http://a/", nullptr), "");
  }
  // The same script over http is used.
  EXPECT_EQ(WithPac(ScriptUrl("x.pac")).GetProxyForUrl("http://a/", nullptr), "local:1");
  const std::string upper = "HTTP://127.0.0.1:" + std::to_string(scriptsPort_) + "/pac/x.pac";
  EXPECT_EQ(WithPac(upper).GetProxyForUrl("http://a/", nullptr), "local:1");
}

TEST_F(EmulatedProxy, AScriptThatNeverEndsIsStoppedAtTheTimeLimit) {
  EXPECT_EQ(platform::posix::kPacTimeLimitMs, 120000u);
  const std::u16string endless =
      platform::ToUtf16(Script("function FindProxyForURL(url, host) { while (true) {} }\n"));
  platform::posix::SetPacTimeLimitForTesting(300);
  std::string list;
  const w::DWORD error = FacadeProxyForUrl(endless, u"http://example.org/", list);
  std::ostringstream log;
  const std::string proxy = WithPac(platform::ToUtf8(endless)).GetProxyForUrl("http://a/", &log);
  platform::posix::SetPacTimeLimitForTesting(0);
  EXPECT_EQ(error, w::kErrorWinhttpTimeout);
  EXPECT_EQ(proxy, "");
  EXPECT_EQ(log.str(), "");
  // The next evaluation is unaffected.
  EXPECT_EQ(WithPac(Script(Returning("\"PROXY after:1\""), "after.pac"))
                .GetProxyForUrl("http://a/", nullptr),
            "after:1");
}

// A child whose engine never starts, because it was forked while another
// thread held a lock, is ended and replaced; when every child is stuck the
// evaluation fails at once instead of waiting out the time limit.
pthread_mutex_t g_heldAtFork = PTHREAD_MUTEX_INITIALIZER;

TEST_F(EmulatedProxy, AChildStuckOnALockHeldAtForkIsReplaced) {
  const std::string script = "function FindProxyForURL(url, host) { return \"PROXY second:1\"; }";
  ASSERT_EQ(::pthread_mutex_lock(&g_heldAtFork), 0);  // held by this thread at every fork
  platform::posix::SetPacChildHookForTesting([](int attempt) {
    if (attempt == 1) ::pthread_mutex_lock(&g_heldAtFork);
  });
  std::string answer;
  const auto replaced = platform::posix::RunPacScript(script, "http://a/", "a", answer);
  platform::posix::SetPacChildHookForTesting([](int) { ::pthread_mutex_lock(&g_heldAtFork); });
  std::string none;
  const auto began = std::chrono::steady_clock::now();
  const auto stuck = platform::posix::RunPacScript(script, "http://a/", "a", none);
  const auto took = std::chrono::steady_clock::now() - began;
  platform::posix::SetPacChildHookForTesting(nullptr);
  ::pthread_mutex_unlock(&g_heldAtFork);
  EXPECT_EQ(replaced, platform::posix::PacResult::Answered);
  EXPECT_EQ(answer, "PROXY second:1");
  EXPECT_EQ(stuck, platform::posix::PacResult::Failed);
  EXPECT_EQ(none, "");
  EXPECT_LT(took, std::chrono::seconds(60));  // not the 120 s time limit
}

// --- PAC scripts over HTTP ----------------------------------------------------

TEST_F(EmulatedProxy, PacUrlFromTheOverrideFileServedOnLoopback) {
  LoopbackServer server;
  std::string agent;
  server.http().Get("/proxy.pac", [&agent](const httplib::Request& req, httplib::Response& res) {
    agent = req.get_header_value("User-Agent");
    res.set_content(Returning("dnsDomainIs(host, \"example.org\") ? \"PROXY proxy.corp.test:3128\""
                              " : \"DIRECT\""),
                    "application/x-ns-proxy-autoconfig");
  });
  ASSERT_TRUE(server.Start());
  const std::string pacUrl = server.Url("/proxy.pac");
  OverrideFile(pacUrl + "\ncreds=bob:s3cret\n");

  const std::string all = ProxyDetector::DescribeAll();
  EXPECT_EQ(all.rfind("PAC file: use " + pacUrl + "\n", 0), 0u) << all;
  EXPECT_THAT(all, Not(HasSubstr("s3cret")));

  ProxyDetector d;
  ASSERT_TRUE(d.Detect(ProxyMode::System, nullptr));
  EXPECT_EQ(d.GetProxyForUrl("https://example.org/", nullptr), "proxy.corp.test:3128");
  EXPECT_EQ(d.GetProxyForUrl("https://intranet.corp.test/", nullptr), "");
  EXPECT_EQ(d.user, "bob");
  EXPECT_EQ(d.password, "s3cret");
  EXPECT_EQ(agent, "ProxyDetector");
}

TEST_F(EmulatedProxy, PacServerFailuresGiveDirectAccess) {
  LoopbackServer server;
  server.http().Get("/gone.pac", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content(Returning("\"PROXY notfound:1\""), "text/plain");
  });
  server.http().Get("/to-file.pac", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("file:///C:/pac/local.pac");
  });
  server.http().Get("/moved.pac", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/real.pac");
  });
  server.http().Get("/real.pac", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(Returning("\"PROXY moved:1\""), "application/x-ns-proxy-autoconfig");
  });
  ASSERT_TRUE(server.Start());
  Script(Returning("\"PROXY local:1\""), "local.pac");

  EXPECT_EQ(WithPac(server.Url("/gone.pac")).GetProxyForUrl("http://a/", nullptr), "");
  EXPECT_EQ(WithPac(server.Url("/to-file.pac")).GetProxyForUrl("http://a/", nullptr), "");
  EXPECT_EQ(WithPac(server.Url("/moved.pac")).GetProxyForUrl("http://a/", nullptr), "moved:1");
  const std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/proxy.pac";
  std::ostringstream log;
  EXPECT_EQ(WithPac(closed).GetProxyForUrl("https://example.org/", &log), "");
  EXPECT_EQ(log.str(), "");
}

TEST_F(EmulatedProxy, PacDownloadUsesTheHostsFileAndNoEnvironmentProxy) {
  LoopbackServer server;
  server.http().Get("/proxy.pac", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(Returning("\"PROXY named:1\""), "application/x-ns-proxy-autoconfig");
  });
  ASSERT_TRUE(server.Start());
  HostsFile("127.0.0.1 pac.corp.test\n");
  const std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort());
  ::setenv("http_proxy", closed.c_str(), 1);
  ::setenv("HTTP_PROXY", closed.c_str(), 1);
  const std::string answer =
      WithPac("http://PAC.corp.test:" + std::to_string(server.port()) + "/proxy.pac")
          .GetProxyForUrl("http://a/", nullptr);
  ::unsetenv("http_proxy");
  ::unsetenv("HTTP_PROXY");
  EXPECT_EQ(answer, "named:1");
}
