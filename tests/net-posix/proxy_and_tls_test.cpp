// Transfers through a real proxy that asks for credentials (tinyproxy), and
// over HTTPS with peer verification against a test CA that only a private
// mount namespace sees as the system's CA bundle.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/file_helpers.h"
#include "net/download_manager.h"
#include "platform/clock.h"
#include "platform/posix/machine.h"
#include "tests/support/http_server.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
namespace w = platform::win;
using zyra_test::TestHttpServer;

namespace {

std::string TempDir(const std::string& name) {
  const std::string dir = platform::posix::MachineRoot() + "/" + name;
  fs::create_directories(dir);
  return dir;
}

// tinyproxy on a free loopback port, asking for zyra / s3cret.
class Tinyproxy {
 public:
  Tinyproxy() {
    port_ = zyra_test::FreeLoopbackPort();
    const std::string dir = TempDir("tinyproxy");
    std::ofstream(dir + "/tinyproxy.conf") << "Port " << port_ << "\n"
                                           << "Listen 127.0.0.1\n"
                                              "Timeout 30\n"
                                              "Allow 127.0.0.1\n"
                                              "BasicAuth zyra s3cret\n"
                                              "LogLevel Info\n"
                                              "MaxClients 20\n";
    zyra_test::ProcessOptions o;
    o.argv = {"tinyproxy", "-d", "-c", dir + "/tinyproxy.conf"};
    o.stderrFile = dir + "/tinyproxy.log";
    o.stdoutFile = dir + "/tinyproxy.out";
    process_ = std::make_unique<zyra_test::Process>(o);
    for (int i = 0; i < 2000 && !zyra_test::AcceptsOnLoopback(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] bool running() const { return zyra_test::AcceptsOnLoopback(port_); }

 private:
  int port_ = 0;
  std::unique_ptr<zyra_test::Process> process_;
};

// Serves, at every request, a PAC script that sends everything to the proxy
// (WinHTTP fetches scripts over http and https only).
class PacServer {
 public:
  explicit PacServer(int proxyPort) {
    const std::string script = "function FindProxyForURL(url, host) { return \"PROXY 127.0.0.1:" +
                               std::to_string(proxyPort) + "\"; }\n";
    server_.Get("/proxy.pac", [script](const httplib::Request&, httplib::Response& res) {
      res.set_content(script, "application/x-ns-proxy-autoconfig");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~PacServer() {
    while (!server_.is_running()) std::this_thread::yield();
    server_.stop();
    thread_.join();
  }
  PacServer(const PacServer&) = delete;
  PacServer& operator=(const PacServer&) = delete;
  [[nodiscard]] std::string Url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/proxy.pac";
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
};

// The administrator's override file: the PAC URL and the proxy credentials.
void ConfigureProxy(const PacServer& pac, const std::string& creds = "zyra:s3cret") {
  const std::string data = platform::posix::MachineRoot() + "/drive_c/ProgramData/Corvane/CorvZyra";
  fs::create_directories(data);
  std::ofstream(data + "/ProxyAutoConfigUrl.txt") << pac.Url() << "\r\ncreds=" << creds << "\r\n";
}

void RemoveProxyConfiguration() {
  fs::remove(platform::posix::MachineRoot() +
             "/drive_c/ProgramData/Corvane/CorvZyra/ProxyAutoConfigUrl.txt");
}

long CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

}  // namespace

TEST(ThroughProxy, CredentialsFollowA407AndStayForLaterTransfers) {
  Tinyproxy proxy;
  ASSERT_TRUE(proxy.running()) << "tinyproxy did not start";
  PacServer pac(proxy.port());
  ConfigureProxy(pac);
  std::vector<w::DWORD> sleeps;
  w::SetSleepHookForTesting([&](w::DWORD ms) { sleeps.push_back(ms); });
  zyra_test::CapturedLog log;
  {
    TestHttpServer target;
    target.Expect("GET", "/agent.exe", 200, "agent bytes");
    target.Expect("GET", "/manifest", 200, "{\"ttl\":60}");
    net::DownloadManager dm;
    const std::string dest = "C:\\Windows\\Temp\\via-proxy.exe";
    EXPECT_EQ(dm.Download(target.Url("/agent.exe"), dest), net::Ok);
    EXPECT_TRUE(dm.proxyAuthRequired);
    EXPECT_EQ(zyra_test::ReadBytes(dest), "agent bytes");
    app::DeleteFileIfExists(dest);
    EXPECT_EQ(sleeps.size(), 1u);  // one failed attempt (407), then success

    std::vector<char> body;
    long status = 0;
    EXPECT_EQ(dm.DownloadToMemory(target.Url("/manifest"), status, body), net::Ok);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(sleeps.size(), 1u);  // credentials sent from the first attempt
  }
  RemoveProxyConfiguration();
  w::SetSleepHookForTesting(nullptr);
  const auto lines = log.Lines();
  EXPECT_EQ(CountContaining(lines, "http code: 407"), 1);
  const std::string using_ = "[DownloadManager] using proxy 127.0.0.1:" +
                             std::to_string(proxy.port()) + " for url http://127.0.0.1:";
  EXPECT_EQ(CountContaining(lines, using_), 3);
  EXPECT_EQ(CountContaining(lines, "s3cret"), 0);  // the password is never logged
}

// With the transfer trace on, the proxy decision and every request header
// go to the log; the credentials must not, neither plain nor as the Basic
// header's base64 ("zyra:s3cret" is "enlyYTpzM2NyZXQ=").
TEST(ThroughProxy, TraceModeLogsTheProtocolButNeverTheCredentials) {
  Tinyproxy proxy;
  ASSERT_TRUE(proxy.running()) << "tinyproxy did not start";
  PacServer pac(proxy.port());
  ConfigureProxy(pac);
  w::SetSleepHookForTesting([](w::DWORD) {});
  zyra_test::CapturedLog log;
  {
    TestHttpServer target;
    target.Expect("GET", "/manifest", 200, "{\"ttl\":60}");
    net::DownloadManager dm;
    dm.trace = true;
    std::vector<char> body;
    long status = 0;
    EXPECT_EQ(dm.DownloadToMemory(target.Url("/manifest"), status, body), net::Ok);
    EXPECT_TRUE(dm.proxyAuthRequired);
  }
  RemoveProxyConfiguration();
  w::SetSleepHookForTesting(nullptr);
  const auto lines = log.Lines();
  EXPECT_GE(CountContaining(lines, "info|>GET http://127.0.0.1:"), 2);  // the trace is there
  EXPECT_EQ(CountContaining(lines, "Proxy-Authorization: Basic ********"), 1);
  EXPECT_EQ(CountContaining(lines, "s3cret"), 0);
  EXPECT_EQ(CountContaining(lines, "enlyYTpzM2NyZXQ="), 0);
}

TEST(ThroughProxy, WrongCredentialsNeverGetThrough) {
  Tinyproxy proxy;
  ASSERT_TRUE(proxy.running());
  PacServer pac(proxy.port());
  ConfigureProxy(pac, "zyra:wrong");
  w::SetSleepHookForTesting([](w::DWORD) {});
  TestHttpServer target;  // never reached
  net::DownloadManager dm;
  dm.maxAttempts = 3;
  std::vector<char> body;
  long status = 0;
  EXPECT_EQ(dm.DownloadToMemory(target.Url("/m"), status, body), net::TransferFailed);
  EXPECT_TRUE(dm.proxyAuthRequired);  // the first attempt's 407
  EXPECT_EQ(status, 401);             // tinyproxy's answer to wrong credentials
  RemoveProxyConfiguration();
  w::SetSleepHookForTesting(nullptr);
}

namespace {

// A self-signed certificate for 127.0.0.1, made with the openssl tool.
struct TestCertificate {
  std::string cert;
  std::string key;
};

TestCertificate MakeCertificate() {
  const std::string dir = TempDir("tls");
  TestCertificate c{dir + "/cert.pem", dir + "/key.pem"};
  if (!fs::exists(c.cert)) {
    const std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
        c.key + "' -out '" + c.cert + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  return c;
}

// Shows bundle at the system's CA bundle path, for this process only.
bool UsePrivateTrustStore(const std::string& bundle) {
  if (::unshare(CLONE_NEWNS) != 0) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  return ::mount(bundle.c_str(), "/etc/ssl/certs/ca-certificates.crt", nullptr, MS_BIND,
                 nullptr) == 0;
}

bool CanUsePrivateTrustStore() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(OverTls, PeerVerificationAcceptsTheTrustedServerForBothTransferKinds) {
  if (!CanUsePrivateTrustStore()) GTEST_SKIP() << "no mount namespaces here (needs root)";
  const TestCertificate c = MakeCertificate();
  // The child runs the server itself: it is forked while this process has no
  // other thread (a fork while a server thread holds the allocator's lock
  // leaves the child waiting for ever under AddressSanitizer).
  EXPECT_EXIT(
      {
        if (!UsePrivateTrustStore(c.cert)) std::exit(3);
        int rc = 0;
        {
          TestHttpServer server(c.cert, c.key);
          server.Expect("GET", "/manifest", 200, "{}");
          server.Expect("GET", "/agent.exe", 200, "agent");
          const std::string url = server.Url("");
          net::DownloadManager dm;
          dm.maxAttempts = 1;
          std::vector<char> body;
          long status = 0;
          if (dm.DownloadToMemory(url + "/manifest", status, body) != net::Ok) {
            rc = 1;
          } else if (dm.Download(url + "/agent.exe", "C:\\Windows\\Temp\\tls.exe") != net::Ok) {
            rc = 2;
          }
        }  // the server checks here that both requests came
        if (rc == 0 && ::testing::Test::HasFailure()) rc = 4;
        std::exit(rc);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(OverTls, UntrustedServerIsRefusedWithVerificationOn) {
  const TestCertificate c = MakeCertificate();
  TestHttpServer server(c.cert, c.key);  // no request completes
  w::SetSleepHookForTesting([](w::DWORD) {});
  zyra_test::CapturedLog log;
  net::DownloadManager dm;
  dm.maxAttempts = 2;
  std::vector<char> body;
  long status = 0;
  EXPECT_EQ(dm.DownloadToMemory(server.Url("/manifest"), status, body), net::TransferFailed);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(dm.Download(server.Url("/agent.exe"), "C:\\Windows\\Temp\\tls.exe"),
            net::TransferFailed);
  w::SetSleepHookForTesting(nullptr);
  EXPECT_EQ(CountContaining(log.Lines(), "SSL peer certificate or SSH remote key was not OK"), 4);
}
