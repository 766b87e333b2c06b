// Transfers through squid, a real proxy that demands Basic, Digest or NTLM,
// and the rules around it: a 407 is seen whether it answers the request or
// the CONNECT of an HTTPS transfer, a decided direct connection ignores the
// environment's proxies, only http and https are ever fetched, and a memory
// transfer whose body cannot grow fails with a write error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "app/file_helpers.h"
#include "net/download_manager.h"
#include "platform/clock.h"
#include "platform/posix/machine.h"
#include "tests/support/http_server.h"
#include "tests/support/machine.h"
#include "tests/support/squid_proxy.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
namespace w = platform::win;
using zyra_test::ProxyAuth;
using zyra_test::SquidProxy;
using zyra_test::TestHttpServer;

namespace {

const std::string kUser = "zyra";
const std::string kPassword = "s3c:r3t";  // a colon inside: everything after the first one

std::string OverridePath() {
  return platform::posix::MachineRoot() +
         "/drive_c/ProgramData/Corvane/CorvZyra/ProxyAutoConfigUrl.txt";
}

// The administrator's override file: a PAC script (served by pacServer) that
// sends every URL to proxy, and the credentials.
void UseProxy(TestHttpServer& pacServer, const std::string& proxy, const std::string& creds) {
  pacServer.Always("/proxy.pac", "function FindProxyForURL(url, host) { return \"PROXY " + proxy +
                                     "\"; }\n");
  fs::create_directories(fs::path(OverridePath()).parent_path());
  std::ofstream(OverridePath()) << pacServer.Url("/proxy.pac") << "\r\ncreds=" << creds << "\r\n";
}

long CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// Restores the environment variables a test changes.
class ScopedEnv {
 public:
  explicit ScopedEnv(const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_.emplace_back(name, old != nullptr, old != nullptr ? old : "");
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~ScopedEnv() {
    for (const auto& [name, had, value] : saved_) {
      if (had) {
        ::setenv(name.c_str(), value.c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::vector<std::tuple<std::string, bool, std::string>> saved_;
};

class Squid : public ::testing::Test {
 protected:
  void SetUp() override {
    w::SetSleepHookForTesting([this](w::DWORD ms) { sleeps.push_back(ms); });
  }
  void TearDown() override {
    w::SetSleepHookForTesting(nullptr);
    fs::remove(OverridePath());
  }
  std::vector<w::DWORD> sleeps;
};

}  // namespace

// Over plain HTTP the proxy's 407 answers the request itself; libcurl then
// answers the scheme the proxy asked for, which only works for Digest and
// NTLM because the credentials go with CURLOPT_PROXYAUTH = CURLAUTH_ANY.
TEST_F(Squid, EverySchemeWorksForBothTransferKindsOverHttp) {
  for (const ProxyAuth auth : {ProxyAuth::Basic, ProxyAuth::Digest, ProxyAuth::Ntlm}) {
    SCOPED_TRACE(zyra_test::ProxyAuthName(auth));
    SquidProxy proxy(auth, kUser, kPassword);
    ASSERT_TRUE(proxy.running()) << proxy.CacheLog();
    TestHttpServer pac;
    UseProxy(pac, proxy.address(), kUser + ":" + kPassword);
    TestHttpServer target;
    target.Expect("GET", "/manifest", 200, "{\"ttl\":60}");
    target.Expect("GET", "/agent.exe", 200, "agent bytes");
    sleeps.clear();
    zyra_test::CapturedLog log;
    net::DownloadManager dm;
    std::vector<char> body;
    long status = 0;
    EXPECT_EQ(dm.DownloadToMemory(target.Url("/manifest"), status, body), net::Ok);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(std::string(body.begin(), body.end()), "{\"ttl\":60}");
    EXPECT_TRUE(dm.proxyAuthRequired);
    const std::string dest = "C:\\Windows\\Temp\\via-squid.exe";
    EXPECT_EQ(dm.Download(target.Url("/agent.exe"), dest), net::Ok);
    EXPECT_EQ(zyra_test::ReadBytes(dest), "agent bytes");
    app::DeleteFileIfExists(dest);
    EXPECT_EQ(sleeps.size(), 1u);  // one 407, then credentials from the next attempt on
    const auto lines = log.Lines();
    EXPECT_EQ(CountContaining(lines, "http code: 407"), 1);
    EXPECT_EQ(CountContaining(lines, "r3t"), 0);
    // Squid logs a transaction once it has ended, which may be after the
    // client has its last byte.
    const std::string access = proxy.AccessLogWith(std::regex("/agent.exe [^ ]*zyra"), 1);
    EXPECT_THAT(access, ::testing::HasSubstr("TCP_DENIED/407"));
    EXPECT_THAT(access, ::testing::HasSubstr("/manifest"));
    EXPECT_THAT(access, ::testing::HasSubstr("/agent.exe"));
    EXPECT_THAT(access, ::testing::ContainsRegex("/agent.exe [^ ]*zyra"));
  }
}

// Over HTTPS the proxy answers the CONNECT: the 407 is the CONNECT's, the
// server never answered. It must count like any other 407; the tunnel made
// with the credentials then carries the request.
TEST_F(Squid, A407ToTheConnectOfAnHttpsTransferBringsTheCredentials) {
  const auto cert = zyra_test::MakeLoopbackCertificate(platform::posix::MachineRoot() + "/tls");
  SquidProxy proxy(ProxyAuth::Digest, kUser, kPassword);
  ASSERT_TRUE(proxy.running()) << proxy.CacheLog();
  TestHttpServer pac;
  UseProxy(pac, proxy.address(), kUser + ":" + kPassword);
  TestHttpServer target(cert.cert, cert.key);
  target.Expect("GET", "/manifest", 200, "{}");
  target.Expect("GET", "/agent.exe", 200, "agent");
  zyra_test::CapturedLog log;
  net::DownloadManager dm;
  dm.verifyPeer = false;  // the tunnel is what this test is about, not the certificate
  std::vector<char> body;
  long status = 0;
  EXPECT_EQ(dm.DownloadToMemory(target.Url("/manifest"), status, body), net::Ok);
  EXPECT_EQ(status, 200);
  EXPECT_TRUE(dm.proxyAuthRequired);
  EXPECT_EQ(dm.Download(target.Url("/agent.exe"), "C:\\Windows\\Temp\\tunnel.exe"), net::Ok);
  app::DeleteFileIfExists("C:\\Windows\\Temp\\tunnel.exe");
  EXPECT_EQ(sleeps.size(), 1u);
  const auto lines = log.Lines();
  EXPECT_EQ(CountContaining(lines, "[DownloadManager::DownloadToMemory] CURL error: "), 1);
  EXPECT_EQ(CountContaining(lines, " http code: 407 Url: " + target.Url("/manifest")), 1);
  const std::regex tunnel("CONNECT 127.0.0.1:[0-9]+ zyra");
  EXPECT_TRUE(std::regex_search(proxy.AccessLogWith(tunnel, 1), tunnel)) << proxy.AccessLog();
}

// Credentials the proxy refuses: every attempt ends in the CONNECT's 407,
// each error line says so, and the status out-parameter holds it.
TEST_F(Squid, RefusedCredentialsFailEveryAttemptWith407) {
  SquidProxy proxy(ProxyAuth::Basic, kUser, kPassword);
  ASSERT_TRUE(proxy.running()) << proxy.CacheLog();
  TestHttpServer pac;
  UseProxy(pac, proxy.address(), kUser + ":wrong");
  zyra_test::CapturedLog log;
  net::DownloadManager dm;
  std::vector<char> body;
  long status = 0;
  const std::string url = "https://127.0.0.1:1/api/files/manifest/zyra/latest";  // never reached
  EXPECT_EQ(dm.DownloadToMemory(url, status, body), net::TransferFailed);
  EXPECT_EQ(status, 407);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(sleeps.size(), 4u);
  EXPECT_EQ(CountContaining(log.Lines(), " http code: 407 Url: " + url), 5);
  EXPECT_EQ(dm.Download(url, "C:\\Windows\\Temp\\refused.exe"), net::TransferFailed);
  EXPECT_FALSE(app::FileExists("C:\\Windows\\Temp\\refused.exe"));
}

// When the detector decides "direct", proxies named in the environment are
// not used; when it decides a proxy, no_proxy does not send the transfer
// around it.
TEST_F(Squid, TheDetectorAloneDecidesWhetherAProxyIsUsed) {
  {
    SCOPED_TRACE("direct, with proxies in the environment that do not exist");
    ScopedEnv env({{"http_proxy", "http://127.0.0.1:1"},
                   {"HTTPS_PROXY", "http://127.0.0.1:1"},
                   {"ALL_PROXY", "http://127.0.0.1:1"}});
    TestHttpServer target;
    target.Expect("GET", "/manifest", 200, "{}");
    target.Expect("GET", "/agent.exe", 200, "agent");
    net::DownloadManager dm;
    std::vector<char> body;
    long status = 0;
    EXPECT_EQ(dm.DownloadToMemory(target.Url("/manifest"), status, body), net::Ok);
    EXPECT_EQ(dm.Download(target.Url("/agent.exe"), "C:\\Windows\\Temp\\direct.exe"), net::Ok);
    app::DeleteFileIfExists("C:\\Windows\\Temp\\direct.exe");
  }
  {
    SCOPED_TRACE("a proxy decided, no_proxy in the environment");
    SquidProxy proxy(ProxyAuth::Basic, kUser, kPassword);
    ASSERT_TRUE(proxy.running()) << proxy.CacheLog();
    TestHttpServer pac;
    UseProxy(pac, proxy.address(), kUser + ":" + kPassword);
    ScopedEnv env({{"no_proxy", "*"}, {"NO_PROXY", "*"}});
    TestHttpServer target;
    target.Expect("GET", "/manifest", 200, "{}");
    net::DownloadManager dm;
    std::vector<char> body;
    long status = 0;
    EXPECT_EQ(dm.DownloadToMemory(target.Url("/manifest"), status, body), net::Ok);
    EXPECT_TRUE(dm.proxyAuthRequired);  // it went to squid, which asked
    EXPECT_THAT(proxy.AccessLog(), ::testing::HasSubstr("/manifest"));
  }
}

// Only http and https: other schemes fail their attempts like an unreachable
// server, and so does a redirection to one.
TEST_F(Squid, OnlyHttpAndHttpsAreFetchedAlsoAfterARedirection) {
  const std::string secret = platform::posix::MachineRoot() + "/drive_c/secret.txt";
  std::ofstream(secret) << "local file";
  zyra_test::CapturedLog log;
  net::DownloadManager dm;
  dm.maxAttempts = 2;
  for (const std::string& url : std::vector<std::string>{
           "file://" + secret, "ftp://127.0.0.1:1/agent.exe", "smb://127.0.0.1/share/agent.exe"}) {
    SCOPED_TRACE(url);
    std::vector<char> body;
    long status = 0;
    EXPECT_EQ(dm.DownloadToMemory(url, status, body), net::TransferFailed);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(dm.Download(url, "C:\\Windows\\Temp\\scheme.exe"), net::TransferFailed);
    EXPECT_FALSE(app::FileExists("C:\\Windows\\Temp\\scheme.exe"));
  }
  TestHttpServer target;
  const auto toFile = [&](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "file://" + secret);
  };
  target.Expect("GET", "/manifest", toFile, 2);
  target.Expect("GET", "/agent.exe", toFile, 2);
  std::vector<char> body;
  long status = 0;
  EXPECT_EQ(dm.DownloadToMemory(target.Url("/manifest"), status, body), net::TransferFailed);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(dm.Download(target.Url("/agent.exe"), "C:\\Windows\\Temp\\redirected.exe"),
            net::TransferFailed);
  EXPECT_FALSE(app::FileExists("C:\\Windows\\Temp\\redirected.exe"));
  const auto lines = log.Lines();
  EXPECT_EQ(CountContaining(lines, "CURL error: Unsupported protocol"), 3 * 4 + 4);
  EXPECT_EQ(CountContaining(lines, "local file"), 0);
  fs::remove(secret);
}

// The write function of memory transfers never lets an exception of a body
// that cannot grow reach libcurl: it answers with a short count instead,
// which libcurl turns into a write error.
TEST(MemoryBody, ABodyThatCannotGrowIsAWriteErrorNotAnException) {
  std::vector<char> body = {'a'};
  char byte = 'b';
  EXPECT_EQ(net::AppendToBody(&byte, 1, 1, &body), 1u);
  // One byte more than the vector can ever hold: insert throws
  // std::length_error before touching the bytes.
  const std::size_t tooMany = body.max_size() - body.size() + 1;
  std::size_t written = 1;
  EXPECT_NO_THROW(written = net::AppendToBody(&byte, 1, tooMany, &body));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(std::string(body.begin(), body.end()), "ab");  // unchanged by the failed call
}
