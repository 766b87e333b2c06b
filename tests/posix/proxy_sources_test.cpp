// Proxy discovery on the emulated machine: Windows settings from the
// registry, DHCP and DNS discovery, PAC scripts from HTTP servers on
// loopback, and the failures of each.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/posix/machine.h"
#include "platform/posix/pac_engine.h"
#include "platform/utils/proxy_detector.h"
#include "platform/utf.h"
#include "platform/winhttp.h"

namespace fs = std::filesystem;
namespace w = platform::win;
using platform::ProxyDetector;
using platform::ProxyMode;
using platform::ProxySource;
using platform::ProxyTarget;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr const char* kConnectionsKey =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet "
    "Settings\\Connections]\n";
constexpr const char* kUserKey =
    "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]\n";
constexpr const char* kTcpipKey =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\n";
constexpr const char* kDirect = "source = System;target = none;autoConfigUrl = ;proxyBypass = ;proxy = ;";
constexpr const char* kNoOverride =
    "PAC file: can't read C:\\ProgramData\\Corvane\\CorvZyra\\ProxyAutoConfigUrl.txt\n";

// An HTTP server on loopback for one test. Handlers are added before Start.
class LoopbackServer {
 public:
  LoopbackServer() = default;
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  ~LoopbackServer() { Stop(); }

  httplib::Server& http() { return server_; }

  // Binds (a free port when port is 0) and serves; false when it cannot bind.
  bool Start(const char* address = "127.0.0.1", int port = 0) {
    if (port == 0) {
      port_ = server_.bind_to_any_port(address);
    } else {
      port_ = server_.bind_to_port(address, port) ? port : -1;
    }
    if (port_ <= 0) return false;
    // The socket listens from here on; requests queue until the loop runs.
    thread_ = std::thread([this] {
      server_.listen_after_bind();
      done_ = true;
    });
    return true;
  }

  void Stop() {
    if (!thread_.joinable()) return;
    while (!server_.is_running() && !done_) std::this_thread::yield();
    server_.stop();
    thread_.join();
  }

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  int port_ = -1;
};

// A loopback port nothing listens on: bound for a moment, never listened on.
int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  if (fd >= 0) ::close(fd);
  return port;
}

std::string Host(const std::string& relative) {
  return platform::posix::MachineRoot() + "/" + relative;
}

void WriteHostFile(const std::string& hostPath, const std::string& bytes) {
  fs::create_directories(fs::path(hostPath).parent_path());
  std::ofstream(hostPath, std::ios::binary) << bytes;
}

class EmulatedProxy : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    // Serves C:\pac\<name> as /pac/<name>, read at each request.
    scripts_.http().Get(R"(/pac/([^/]+))", [](const httplib::Request& req,
                                              httplib::Response& res) {
      std::ifstream in(Host("drive_c/pac/" + std::string(req.matches[1])), std::ios::binary);
      if (!in) {
        res.status = 404;
        return;
      }
      std::ostringstream body;
      body << in.rdbuf();
      res.set_content(body.str(), "application/x-ns-proxy-autoconfig");
    });
    ASSERT_TRUE(scripts_.Start());
    scriptsPort_ = scripts_.port();
  }
  void TearDown() override {
    scripts_.Stop();
    Clean();
  }

  static void Clean() {
    std::error_code ec;
    fs::remove(Host("registry.reg"), ec);
    fs::remove(Host("drive_c/Windows/System32/drivers/etc/hosts"), ec);
    fs::remove_all(Host("drive_c/ProgramData/Corvane"), ec);
    fs::remove_all(Host("drive_c/pac"), ec);
  }
  static void Registry(const std::string& body) {
    WriteHostFile(Host("registry.reg"), "Windows Registry Editor Version 5.00\n\n" + body);
  }
  static void HostsFile(const std::string& text) {
    WriteHostFile(Host("drive_c/Windows/System32/drivers/etc/hosts"), text);
  }
  static void OverrideFile(const std::string& text) {
    WriteHostFile(Host("drive_c/ProgramData/Corvane/CorvZyra/ProxyAutoConfigUrl.txt"), text);
  }
  // Puts a PAC script at C:\pac\<name>; returns its URL on the test's
  // loopback server.
  static std::string Script(const std::string& body, const std::string& name = "proxy.pac") {
    WriteHostFile(Host("drive_c/pac/" + name), body);
    return ScriptUrl(name);
  }
  static std::string ScriptUrl(const std::string& name) {
    return "http://127.0.0.1:" + std::to_string(scriptsPort_) + "/pac/" + name;
  }
  static std::string Returning(const std::string& jsExpression) {
    return "function FindProxyForURL(url, host) { return " + jsExpression + "; }\n";
  }
  // A detector that knows a PAC URL, as after discovery.
  static ProxyDetector WithPac(const std::string& pacUrl) {
    ProxyDetector d;
    d.autoConfigUrl = pacUrl;
    d.target = ProxyTarget::Auto;
    d.source = ProxySource::PAC;
    return d;
  }

  LoopbackServer scripts_;
  static inline int scriptsPort_ = -1;
};

// Runs WinHttpGetProxyForUrl with a config URL; the error code, 0 on success.
w::DWORD FacadeProxyForUrl(const std::u16string& pacUrl, const std::u16string& url,
                           std::string& list) {
  w::InternetHandle session(
      w::WinHttpOpen(u"test", w::kWinhttpAccessTypeAutomaticProxy, nullptr, nullptr, 0));
  w::WinHttpAutoProxyOptions options;
  options.dwFlags = w::kWinhttpAutoproxyConfigUrl;
  options.lpszAutoConfigUrl = pacUrl.c_str();
  options.fAutoLogonIfChallenged = 1;
  w::WinHttpProxyInfo info;
  if (!w::WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info))
    return w::GetLastError();
  list = info.lpszProxy ? platform::ToUtf8(info.lpszProxy.get()) : "<null>";
  return 0;
}

}  // namespace

// --- Windows settings -------------------------------------------------------

TEST_F(EmulatedProxy, NothingConfiguredMeansDirectAccess) {
  ProxyDetector d;
  std::ostringstream log;
  ASSERT_TRUE(d.Detect(ProxyMode::System, &log));
  EXPECT_EQ(log.str(), std::string(kNoOverride) + "PAC autodiscovery: not found\n");
  EXPECT_EQ(d.source, ProxySource::System);
  EXPECT_EQ(d.target, ProxyTarget::None);
  EXPECT_EQ(d.GetProxyForUrl("http://example.org/", nullptr), "");
  EXPECT_EQ(d.GetProxyForUrl("https://example.org/", nullptr), "");
  EXPECT_EQ(ProxyDetector::DescribeAll(),
            std::string(kNoOverride) + "PAC autodiscovery: not found\n" + kDirect +
                "\nsource = User;target = none;autoConfigUrl = ;proxyBypass = ;proxy = ;\n");

  w::WinHttpProxyInfo info;
  ASSERT_TRUE(w::WinHttpGetDefaultProxyConfiguration(&info));
  EXPECT_EQ(info.dwAccessType, w::kWinhttpAccessTypeNoProxy);
  EXPECT_FALSE(info.lpszProxy);
  EXPECT_FALSE(info.lpszProxyBypass);
}

TEST_F(EmulatedProxy, MachineDefaultComesFromTheRegistry) {
  Registry(std::string(kConnectionsKey) +
           "\"WinHttpProxyServer\"=\"http=a:80;https=b:443\"\n"
           "\"WinHttpProxyBypass\"=\"<local>\"\n");
  ProxyDetector d;
  ASSERT_TRUE(d.Detect(ProxyMode::System, nullptr));
  EXPECT_EQ(d.source, ProxySource::System);
  EXPECT_EQ(d.target, ProxyTarget::Manual);
  EXPECT_EQ(d.proxy, "http=a:80;https=b:443");
  EXPECT_EQ(d.proxyBypass, "<local>");
  EXPECT_EQ(d.GetProxyForUrl("https://example.org/", nullptr), "b:443");
  EXPECT_EQ(d.GetProxyForUrl("http://example.org/", nullptr), "a:80");
  EXPECT_EQ(d.GetProxyForUrl("ftp://example.org/", nullptr), "");
  EXPECT_EQ(d.GetProxyForUrl("http://localhost:8080/", nullptr), "");
  EXPECT_EQ(d.Describe(),
            "source = System;target = manual;autoConfigUrl = ;proxyBypass = <local>;"
            "proxy = http=a:80;https=b:443; http->a:80; https->b:443;");

  // The user's browser settings play no part in System mode.
  Registry(std::string(kUserKey) + "\"ProxyEnable\"=dword:00000001\n\"ProxyServer\"=\"u:1\"\n");
  ASSERT_TRUE(d.Detect(ProxyMode::System, nullptr));
  EXPECT_EQ(d.Describe(), kDirect);
}

TEST_F(EmulatedProxy, BrowserSettingsComeFromTheUsersRegistry) {
  Registry(std::string(kUserKey) +
           "\"ProxyEnable\"=dword:00000001\n"
           "\"ProxyServer\"=\"p:3128\"\n"
           "\"ProxyOverride\"=\"<-loopback>\"\n"
           "\"AutoDetect\"=dword:00000001\n");
  ProxyDetector d;
  std::ostringstream log;
  ASSERT_TRUE(d.Detect(ProxyMode::Browser, &log));
  EXPECT_EQ(log.str(), "");
  EXPECT_EQ(d.source, ProxySource::User);
  EXPECT_EQ(d.target, ProxyTarget::Auto);
  EXPECT_EQ(d.proxy, "p:3128");
  EXPECT_EQ(d.proxyBypass, "<-loopback>");
  EXPECT_EQ(d.GetProxyForUrl("https://example.org/", nullptr), "p:3128");
  EXPECT_EQ(d.GetProxyForUrl("http://127.0.0.1/", nullptr), "");

  // Proxy turned off: server and bypass list are not reported; the PAC URL is.
  Registry(std::string(kUserKey) +
           "\"ProxyEnable\"=dword:00000000\n"
           "\"ProxyServer\"=\"p:3128\"\n"
           "\"ProxyOverride\"=\"<local>\"\n"
           "\"AutoConfigURL\"=\"http://pac.corp.test/x.pac\"\n");
  ASSERT_TRUE(d.Detect(ProxyMode::Browser, nullptr));
  EXPECT_EQ(d.target, ProxyTarget::None);
  EXPECT_EQ(d.Describe(),
            "source = User;target = none;autoConfigUrl = http://pac.corp.test/x.pac;"
            "proxyBypass = ;proxy = ;");
}

TEST_F(EmulatedProxy, ValueOfTheWrongTypeFailsTheRead) {
  Registry(std::string(kConnectionsKey) + "\"WinHttpProxyServer\"=dword:00000001\n" + kUserKey +
           "\"ProxyEnable\"=\"1\"\n");
  ProxyDetector d;
  std::ostringstream log;
  EXPECT_FALSE(d.Detect(ProxyMode::System, &log));
  EXPECT_EQ(log.str(), std::string(kNoOverride) +
                           "PAC autodiscovery: not found\nSystem settings: GetLastError=13");
  std::ostringstream browserLog;
  EXPECT_FALSE(d.Detect(ProxyMode::Browser, &browserLog));
  EXPECT_EQ(browserLog.str(), "Browser settings: GetLastError=13");
  EXPECT_EQ(ProxyDetector::DescribeAll(),
            std::string(kNoOverride) + "PAC autodiscovery: not found\n" +
                "System settings: GetLastError=13" + kDirect + "\nBrowser settings: GetLastError=13" +
                "source = User;target = none;autoConfigUrl = ;proxyBypass = ;proxy = ;\n");
}

TEST_F(EmulatedProxy, EmptyOverrideFileBeatsAConfiguredProxy) {
  Registry(std::string(kConnectionsKey) + "\"WinHttpProxyServer\"=\"p:3128\"\n" + kTcpipKey +
           "\"DhcpWpadUrl\"=\"http://wpad.corp.test/wpad.dat\"\n");
  OverrideFile("\r\n");
  ProxyDetector d;
  std::ostringstream log;
  ASSERT_TRUE(d.Detect(ProxyMode::System, &log));
  EXPECT_EQ(log.str(), "PAC file: override to empty proxy\n");
  EXPECT_EQ(d.GetProxyForUrl("https://example.org/", nullptr), "");
}

TEST_F(EmulatedProxy, UnreadableOverrideFileIsSkipped) {
  OverrideFile("http://pac.corp.test/x.pac\n");
  const std::string file = Host("drive_c/ProgramData/Corvane/CorvZyra/ProxyAutoConfigUrl.txt");
  const int fd = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // another process holds it exclusively
  ProxyDetector d;
  std::ostringstream log;
  const bool detected = d.Detect(ProxyMode::System, &log);
  ::close(fd);
  EXPECT_TRUE(detected);
  EXPECT_EQ(log.str(),
            "PAC file: can't read C:\\ProgramData\\Corvane\\CorvZyra\\ProxyAutoConfigUrl.txt\n"
            "File exists but is not readable - are permissions sufficient?\n"
            "PAC autodiscovery: not found\n");
  EXPECT_EQ(d.source, ProxySource::System);
}

TEST_F(EmulatedProxy, WithoutAMachineDataFolderTheOverrideFileIsSkipped) {
  const std::string programData = Host("drive_c/ProgramData");
  fs::rename(programData, programData + ".away");
  ProxyDetector d;
  std::ostringstream log;
  const bool detected = d.Detect(ProxyMode::System, &log);
  fs::rename(programData + ".away", programData);
  EXPECT_TRUE(detected);
  EXPECT_EQ(log.str(), "Proxy settings: can't get ProgramData\nPAC autodiscovery: not found\n");
  EXPECT_EQ(platform::GetProgramDataPath("\\x", nullptr), "C:\\ProgramData\\x");
}

TEST_F(EmulatedProxy, FileAttributes) {
  WriteHostFile(Host("drive_c/pac/a.pac"), "x");
  EXPECT_EQ(w::GetFileAttributesA("C:\\pac"), w::kFileAttributeDirectory);
  EXPECT_EQ(w::GetFileAttributesA("c:\\PAC\\A.pac") & w::kFileAttributeDirectory, 0u);
  EXPECT_NE(w::GetFileAttributesA("C:\\pac\\a.pac"), w::kInvalidFileAttributes);
  EXPECT_EQ(w::GetFileAttributesA("C:\\pac\\missing.pac"), w::kInvalidFileAttributes);
  EXPECT_EQ(w::GetLastError(), w::kErrorFileNotFound);
  EXPECT_EQ(w::GetFileAttributesA("C:\\nowhere\\missing.pac"), w::kInvalidFileAttributes);
  EXPECT_EQ(w::GetLastError(), w::kErrorPathNotFound);
}

// --- Discovery --------------------------------------------------------------

TEST_F(EmulatedProxy, DhcpOptionGivesThePacUrl) {
  Registry(std::string(kTcpipKey) + "\"DhcpWpadUrl\"=\"http://wpad.corp.test/wpad.dat\"\n");
  ProxyDetector d;
  std::ostringstream log;
  ASSERT_TRUE(d.Detect(ProxyMode::System, &log));
  EXPECT_EQ(log.str(), std::string(kNoOverride) + "PAC autodiscovery: DHCP option -> http://wpad.corp.test/wpad.dat\n");
  EXPECT_EQ(d.source, ProxySource::PAC);
  EXPECT_EQ(d.target, ProxyTarget::Auto);
  EXPECT_EQ(d.autoConfigUrl, "http://wpad.corp.test/wpad.dat");

  // Only the System pass shows discovery messages.
  const std::string description =
      "source = PAC;target = auto;autoConfigUrl = http://wpad.corp.test/wpad.dat;"
      "proxyBypass = ;proxy = ;";
  EXPECT_EQ(ProxyDetector::DescribeAll(),
            std::string(kNoOverride) +
                "PAC autodiscovery: DHCP option -> http://wpad.corp.test/wpad.dat\n" +
                description + "\n" + description + "\n");
}

TEST_F(EmulatedProxy, DnsFindsTheWpadHostOfTheDomainOrAParent) {
  LoopbackServer wpad;
  wpad.http().Get("/wpad.dat", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(Returning("\"DIRECT\""), "application/x-ns-proxy-autoconfig");
  });
  if (!wpad.Start("127.0.0.1", 80)) GTEST_SKIP() << "port 80 on 127.0.0.1 is not available";
  // Nothing answers for the branch; the parent domain's wpad host does.
  HostsFile("# emulated name service\n127.0.0.2 wpad.branch.corp.test\n127.0.0.1\twpad.corp.test\n");
  Registry(std::string(kTcpipKey) + "\"Domain\"=\"Branch.Corp.Test\"\n");
  ProxyDetector d;
  std::ostringstream log;
  ASSERT_TRUE(d.Detect(ProxyMode::System, &log));
  EXPECT_EQ(log.str(), std::string(kNoOverride) + "PAC autodiscovery: DNS option -> http://wpad.corp.test/wpad.dat\n");
  EXPECT_EQ(d.source, ProxySource::PAC);

  w::GlobalString url;
  EXPECT_FALSE(w::WinHttpDetectAutoProxyConfigUrl(w::kWinhttpAutoDetectTypeDhcp, &url));
  EXPECT_EQ(w::GetLastError(), w::kErrorWinhttpAutodetectionFailed);
  ASSERT_TRUE(w::WinHttpDetectAutoProxyConfigUrl(w::kWinhttpAutoDetectTypeDnsA, &url));
  EXPECT_EQ(platform::ToUtf8(url.get()), "http://wpad.corp.test/wpad.dat");

  // DHCP comes first.
  Registry(std::string(kTcpipKey) + "\"Domain\"=\"corp.test\"\n\"DhcpWpadUrl\"=\"http://d/w.dat\"\n");
  log.str("");
  ASSERT_TRUE(d.Detect(ProxyMode::System, &log));
  EXPECT_EQ(log.str(), std::string(kNoOverride) + "PAC autodiscovery: DHCP option -> http://d/w.dat\n");
}

TEST_F(EmulatedProxy, DnsWithoutAnAnsweringWpadHostFindsNothing) {
  HostsFile("127.0.0.2 wpad.corp.test\n");
  for (const char* domain : {"corp.test", "corp.test/evil?", ""}) {
    Registry(std::string(kTcpipKey) + "\"Domain\"=\"" + domain + "\"\n");
    w::GlobalString url;
    EXPECT_FALSE(w::WinHttpDetectAutoProxyConfigUrl(w::kWinhttpAutoDetectTypeDnsA, &url)) << domain;
    EXPECT_EQ(w::GetLastError(), w::kErrorWinhttpAutodetectionFailed) << domain;
    EXPECT_FALSE(url) << domain;
  }
  ProxyDetector d;
  std::ostringstream log;
  ASSERT_TRUE(d.Detect(ProxyMode::System, &log));
  EXPECT_EQ(log.str(), std::string(kNoOverride) + "PAC autodiscovery: not found\n");
}

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
