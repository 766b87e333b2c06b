// Proxy discovery on the emulated machine: Windows settings from the
// registry and the override file, DHCP and DNS discovery, and the failures
// of each.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/posix/emulated_proxy_fixture.h"

using namespace zyra_test::proxy;  // NOLINT(google-build-using-namespace): the fixture's helpers
using ::testing::HasSubstr;
using ::testing::Not;

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
