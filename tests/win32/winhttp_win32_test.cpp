// Proxy discovery over the real WinHTTP: the machine default configuration
// set with the WinHTTP API, read back through the facade and ProxyDetector.
#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "platform/utils/proxy_detector.h"
#include "platform/utf.h"
#include "platform/winhttp.h"

namespace w = platform::win;
using platform::ProxyDetector;
using platform::ProxyMode;
using platform::ProxySource;
using platform::ProxyTarget;

namespace {

// Sets the machine's WinHTTP default for one test and puts direct access
// back afterwards.
class DefaultProxy : public ::testing::Test {
 protected:
  void TearDown() override {
    WINHTTP_PROXY_INFO direct{};
    direct.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    WinHttpSetDefaultProxyConfiguration(&direct);
  }
  static void Set(const wchar_t* proxy, const wchar_t* bypass) {
    WINHTTP_PROXY_INFO info{};
    info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = const_cast<wchar_t*>(proxy);
    info.lpszProxyBypass = const_cast<wchar_t*>(bypass);
    ASSERT_TRUE(WinHttpSetDefaultProxyConfiguration(&info)) << GetLastError();
  }
};

std::string Narrow(const w::GlobalString& s) { return s ? platform::ToUtf8(s.get()) : "<null>"; }

}  // namespace

TEST_F(DefaultProxy, NamedProxyReachesTheFacadeAndTheDetector) {
  Set(L"http=a:80;https=b:443", L"<local>");
  w::WinHttpProxyInfo info;
  ASSERT_TRUE(w::WinHttpGetDefaultProxyConfiguration(&info));
  EXPECT_EQ(info.dwAccessType, w::kWinhttpAccessTypeNamedProxy);
  EXPECT_EQ(Narrow(info.lpszProxy), "http=a:80;https=b:443");
  EXPECT_EQ(Narrow(info.lpszProxyBypass), "<local>");

  ProxyDetector d;
  std::ostringstream log;
  ASSERT_TRUE(d.Detect(ProxyMode::System, &log)) << log.str();
  ASSERT_EQ(d.source, ProxySource::System) << log.str();
  EXPECT_EQ(d.target, ProxyTarget::Manual);
  EXPECT_EQ(d.proxy, "http=a:80;https=b:443");
  EXPECT_EQ(d.proxyBypass, "<local>");
  EXPECT_EQ(d.GetProxyForUrl("https://example.org/", nullptr), "b:443");
  EXPECT_EQ(d.GetProxyForUrl("http://example.org/", nullptr), "a:80");
  EXPECT_EQ(d.GetProxyForUrl("ftp://example.org/", nullptr), "");
  EXPECT_EQ(d.GetProxyForUrl("http://localhost:8080/", nullptr), "");
}

TEST_F(DefaultProxy, DirectAccessGivesNoProxy) {
  w::WinHttpProxyInfo info;
  ASSERT_TRUE(w::WinHttpGetDefaultProxyConfiguration(&info));
  EXPECT_EQ(info.dwAccessType, w::kWinhttpAccessTypeNoProxy);

  ProxyDetector d;
  ASSERT_TRUE(d.Detect(ProxyMode::System, nullptr));
  ASSERT_EQ(d.source, ProxySource::System);
  EXPECT_EQ(d.target, ProxyTarget::None);
  EXPECT_EQ(d.GetProxyForUrl("https://example.org/", nullptr), "");
  EXPECT_EQ(d.Describe(), "source = System;target = none;autoConfigUrl = ;proxyBypass = ;proxy = ;");
}

TEST(Win32Pac, UnreachableScriptMeansDirectAccess) {
  ProxyDetector d;
  d.autoConfigUrl = "http://127.0.0.1:9/proxy.pac";
  std::ostringstream log;
  EXPECT_EQ(d.GetProxyForUrl("https://example.org/", &log), "");
  EXPECT_EQ(log.str(), "");

  w::InternetHandle session(
      w::WinHttpOpen(u"test", w::kWinhttpAccessTypeDefaultProxy, nullptr, nullptr, 0));
  ASSERT_NE(session.get(), nullptr);
  w::WinHttpAutoProxyOptions options;
  options.dwFlags = w::kWinhttpAutoproxyConfigUrl;
  options.lpszAutoConfigUrl = u"http://127.0.0.1:9/proxy.pac";
  w::WinHttpProxyInfo info;
  EXPECT_FALSE(w::WinHttpGetProxyForUrl(session.get(), u"https://example.org/", &options, &info));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_FALSE(info.lpszProxy);
}

TEST(Win32Files, AttributesOfAFolderAndOfNothing) {
  char windows[MAX_PATH] = {};
  ASSERT_GT(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
  EXPECT_NE(w::GetFileAttributesA(windows) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(w::GetFileAttributesA(std::string(windows) + "\\no-such-file.pac"),
            w::kInvalidFileAttributes);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
