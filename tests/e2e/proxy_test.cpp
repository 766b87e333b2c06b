// Whole runs behind an authenticating company proxy: squid on loopback
// demanding Basic, Digest or NTLM, the update server over HTTPS (so every
// transfer is a CONNECT tunnel) or plain HTTP, the credentials from the
// administrator's override file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <tuple>

#include "tests/support/machine.h"
#include "tests/support/run_checks.h"
#include "tests/support/squid_proxy.h"

using zyra_test::ProxyAuth;
using zyra_test::SquidProxy;
using namespace zyra_test::checks;
namespace fs = std::filesystem;

namespace {

const std::string kUser = "zyra";
const std::string kPassword = "s3c:r3t";  // the colon stays part of the password
// base64 of "zyra:s3c:r3t", what a Basic header would carry.
const std::string kBasicToken = "enlyYTpzM2M6cjN0";

class Behind : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallStubAndHandler(m);
  }
  // Serves the update over HTTPS; false when this machine cannot give the
  // stub a private trust store (the test then skips).
  bool UseHttps() {
    const auto cert = zyra_test::MakeLoopbackCertificate(m.root() + "/tls");
    const auto launcher = zyra_test::TrustedCertificateLauncher(cert.cert);
    if (launcher.empty()) return false;
    m.UseHttps(cert.cert, cert.key);
    m.SetStubLauncher(launcher);
    return true;
  }
  EmulatedMachine m;
};

class ThroughSquid : public Behind,
                     public ::testing::WithParamInterface<std::tuple<ProxyAuth, bool>> {};

}  // namespace

// A fresh install (manifest, version manifest, installer and both
// signatures) through the proxy, with the transfer trace on: the user shows
// in squid's log on every request, the password nowhere in the stub's.
TEST_P(ThroughSquid, FreshInstallWithTheOverrideFilesCredentials) {
  const auto [auth, https] = GetParam();
  if (https && !UseHttps()) GTEST_SKIP() << "no private mount namespaces here (needs root)";
  SquidProxy proxy(auth, kUser, kPassword);
  ASSERT_TRUE(proxy.running()) << proxy.CacheLog();
  m.OfferAgent("2.4.1");
  m.SetProxyOverride(proxy.address(), kUser + ":" + kPassword);

  const auto run = m.RunStub({}, {{"ZYRA_CURL_TRACE", "1"}});
  EXPECT_EQ(run.exitCode, 0) << run.stdoutText << proxy.CacheLog();
  EXPECT_THAT(m.InstallerCalls(), ElementsAre("/S", "--"));
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: 0\r\n");
  const auto& lines = run.consoleMessages;
  EXPECT_THAT(lines, Contains("info  ZyraAgent version 2.4.1 installed."));
  // Only the first transfer meets the 407; the credentials go from then on.
  EXPECT_EQ(CountContaining(lines, "http code: 407"), 1);
  EXPECT_GE(CountContaining(lines, "[DownloadManager] using proxy " + proxy.address()), 5);

  const std::string method = https ? "CONNECT 127.0.0.1:[0-9]+" : "GET http://[^ ]+";
  const std::regex authenticated(method + " [^ ]*" + kUser);
  const std::string access = proxy.AccessLogWith(authenticated, 5);
  const auto count = std::distance(
      std::sregex_iterator(access.begin(), access.end(), authenticated), std::sregex_iterator());
  EXPECT_GE(count, 5) << access;  // manifest, version manifest + .sig, installer + .sig
  if (!https) {
    EXPECT_THAT(access, HasSubstr("/CorvZyraAgent-Setup.exe.sig"));
  }
  for (const std::string& text : {run.stdoutText, m.ReadFile(m.LogFile())}) {
    EXPECT_THAT(text, Not(HasSubstr("s3c:r3t")));
    EXPECT_THAT(text, Not(HasSubstr("r3t")));
    EXPECT_THAT(text, Not(HasSubstr(kBasicToken)));
  }
}

// Basic over HTTPS is a whole-run scenario (tests/scenarios), played under
// Wine as well.
INSTANTIATE_TEST_SUITE_P(
    Proxies, ThroughSquid,
    ::testing::Values(std::make_tuple(ProxyAuth::Basic, false),
                      std::make_tuple(ProxyAuth::Digest, false),
                      std::make_tuple(ProxyAuth::Digest, true),
                      std::make_tuple(ProxyAuth::Ntlm, false),
                      std::make_tuple(ProxyAuth::Ntlm, true)),
    [](const ::testing::TestParamInfo<std::tuple<ProxyAuth, bool>>& param) {
      return std::string(zyra_test::ProxyAuthName(std::get<0>(param.param))) +
             (std::get<1>(param.param) ? "OverHttps" : "OverHttp");
    });

// Proxies in the environment that lead nowhere do not matter when the
// machine has no proxy: the run goes direct and succeeds. Only the emulated
// machine can show it: Wine takes http_proxy of its Unix environment as
// WinHTTP's machine-wide proxy, that is, as a configured proxy.
TEST_F(Behind, EnvironmentProxiesAreIgnoredWhenNoneIsConfigured) {
  const std::map<std::string, std::string> deadProxies = {
      {"http_proxy", "http://127.0.0.1:1"},
      {"HTTPS_PROXY", "http://127.0.0.1:1"},
      {"ALL_PROXY", "http://127.0.0.1:1"}};
  {
    SCOPED_TRACE("over HTTP");
    m.OfferAgent("2.4.1");
    const auto run = m.RunStub({}, deadProxies);
    EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
    EXPECT_THAT(m.InstallerCalls(), ElementsAre("/S", "--"));
  }
  EmulatedMachine secure;
  const auto cert = zyra_test::MakeLoopbackCertificate(secure.root() + "/tls");
  const auto launcher = zyra_test::TrustedCertificateLauncher(cert.cert);
  if (!launcher.empty()) {
    SCOPED_TRACE("over HTTPS");
    InstallStubAndHandler(secure);
    secure.UseHttps(cert.cert, cert.key);
    secure.SetStubLauncher(launcher);
    secure.OfferAgent("2.4.1");
    const auto run = secure.RunStub({}, deadProxies);
    EXPECT_EQ(run.exitCode, 0) << run.stdoutText;
    EXPECT_THAT(secure.InstallerCalls(), ElementsAre("/S", "--"));
  }
}
