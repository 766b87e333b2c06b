// Whole runs through proxies, on both machines: squid on loopback asking
// for Basic, and a company network of the test's own (Kerberos, NTLM).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <memory>
#include <regex>
#include <string>

#include "tests/scenarios/scenario.h"
#include "tests/support/http_server.h"
#include "tests/support/kerberos_realm.h"
#include "tests/support/loopback.h"
#include "tests/support/private_network.h"
#include "tests/support/squid_proxy.h"

namespace zyra_scenarios {
namespace {

// The transfers went through CONNECT tunnels that squid opened for this
// user and no other. The run's own log shows every transfer and its exit
// code that every one passed; squid writes a tunnel's line as the tunnel
// closes, at its own pace, and on a loaded machine its log has been seen
// to lack a tunnel of a run, so the bound is one tunnel, all of them this
// user's.
void ExpectTunnelsAs(const zyra_test::SquidProxy& proxy, const std::string& user) {
  const std::regex tunnel("TCP_TUNNEL/200 [0-9]+ CONNECT 127\\.0\\.0\\.1:[0-9]+ " + user + " ");
  const std::regex anyTunnel("TCP_TUNNEL/[0-9]+ [0-9]+ CONNECT [^ ]+ [^ ]+ ");
  const std::string access = proxy.AccessLogWith(tunnel, 5);
  const auto count = [&access](const std::regex& r) {
    return std::distance(std::sregex_iterator(access.begin(), access.end(), r),
                         std::sregex_iterator());
  };
  EXPECT_GE(count(tunnel), 1) << access;
  EXPECT_EQ(count(tunnel), count(anyTunnel)) << access;
}

// A fresh install over HTTPS through squid demanding Basic authentication,
// with the credentials of the administrator's override file: every transfer
// is a CONNECT tunnel with the user in squid's log; the password shows
// nowhere in the stub's log.
TEST_P(Scenario, FreshInstallThroughAnAuthenticatingProxy) {
  const std::string user = "zyra";
  const std::string password = "s3c:r3t";  // the colon stays part of the password
  zyra_test::SquidProxy proxy(zyra_test::ProxyAuth::Basic, user, password);
  ASSERT_TRUE(proxy.running()) << proxy.CacheLog();
  if (!m->UseProxy({proxy.address(), user, password}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  m->SetStubEnvironment("ZYRA_CURL_TRACE", "1");
  OfferAndRun({"2.4.1"});
  ExpectEndedWith(0);
  ExpectLogged({"info  No prior ZyraAgent found on the system",
                "info  Downloading ZyraAgent 2.4.1",
                "info  ZyraAgent version 2.4.1 installed.",
                "info  Room provision result: Room provision success."});
  ExpectInstallerRanSilentlyOnce();
  EXPECT_EQ(m->RegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion"), "2.4.1");

  ExpectTunnelsAs(proxy, user);
  // Only the first transfer meets the 407; the credentials go from then on.
  // Every transfer goes through the proxy: the two manifests, the version
  // manifest, the installer and their signatures.
  EXPECT_EQ(CountContaining(run.consoleMessages, "http code: 407"), 1) << run.stdoutText;
  EXPECT_GE(CountContaining(run.consoleMessages, "[DownloadManager] using proxy " + proxy.address()),
            5)
      << run.stdoutText;
  // Neither the password nor a Basic header's token of "zyra:s3c:r3t".
  for (const std::string& text : {run.stdoutText, m->LogText()}) {
    EXPECT_EQ(text.find("r3t"), std::string::npos);
    EXPECT_EQ(text.find("enlyYTpzM2M6cjN0"), std::string::npos);
  }
}

// The proxy refuses the configured credentials: five attempts at the
// manifest, each error line names the CONNECT's 407, and the run ends with
// 123 instead of pretending no server answered.
TEST_P(Scenario, AProxyThatRefusesTheCredentialsEndsWith123) {
  zyra_test::SquidProxy proxy(zyra_test::ProxyAuth::Basic, "zyra", "s3c:r3t");
  ASSERT_TRUE(proxy.running()) << proxy.CacheLog();
  if (!m->UseProxy({proxy.address(), "zyra", "wrong"}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  OfferAndRun({"2.4.1"});
  ExpectEndedWith(123);
  const auto& lines = run.consoleMessages;
  EXPECT_EQ(CountContaining(lines, "error  [DownloadManager::DownloadToMemory] CURL error: "), 5)
      << run.stdoutText;
  EXPECT_EQ(CountContaining(lines, " http code: 407 Url: https://127.0.0.1:"), 5) << run.stdoutText;
  EXPECT_EQ(CountContaining(lines, "http code: 0"), 0) << run.stdoutText;
  ExpectInstallerNeverRan();
  EXPECT_THAT(proxy.AccessLog(), Not(HasSubstr("TCP_TUNNEL")));
}

// A package URL of another scheme in the manifest is never read, even when
// the file it names is the genuine, correctly signed package.
TEST_P(Scenario, AFileUrlInTheManifestIsNeverRead) {
  AgentOffer offer{"2.4.1"};
  offer.versionFileByFileUrl = true;
  OfferAndRun(offer);
  ExpectEndedWith(123);
  EXPECT_EQ(CountContaining(run.consoleMessages,
                            "error  [DownloadManager::Download] CURL error: Unsupported protocol "
                            "http code: 0 Url: file://"),
            5)
      << run.stdoutText;
  ExpectInstallerNeverRan();
  EXPECT_THAT(m->DownloadFolder(), IsEmpty());
}

// The manifest URL (https://127.0.0.1) redirects within its own origin,
// then to another host (https://localhost, the same server under another
// name), which redirects to plain http://. The API key goes with the first
// two requests only; the step off https: is refused with a line naming
// where it pointed, on each of the five attempts, and the plain server is
// never asked. The run ends with 123.
TEST_P(Scenario, RedirectsKeepTheKeyToItsHostAndNeverLeaveHttps) {
  zyra_test::TestHttpServer plain;
  const auto cert = zyra_test::MakeLoopbackCertificate(m->Location() + "/redirect-tls");
  zyra_test::TestHttpServer tls(cert.cert, cert.key);
  if (!m->TrustServerCertificate(cert.cert))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
  m->OfferAgent({"1.0.0"});
  m->RegisterHandlerService({"--behaviour", "success"});
  const std::string manifestUrl = m->PointManifestAt(tls.Url(""));
  const std::string manifestPath = manifestUrl.substr(tls.Url("").size());
  const std::string otherHost = "https://localhost:" + std::to_string(tls.port());
  const std::string downgrade = plain.Url("/corvane.com/plain");
  const auto redirect = [](const std::string& to) {
    return [to](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", to);
    };
  };
  for (int attempt = 0; attempt < 5; ++attempt) {
    tls.Expect("GET", manifestPath, redirect("/corvane.com/same-origin"));
    tls.Expect("GET", "/corvane.com/same-origin", redirect(otherHost + "/corvane.com/other-host"));
    tls.Expect("GET", "/corvane.com/other-host", redirect(downgrade));
  }
  RunStub();
  ExpectEndedWith(123);
  const auto requests = tls.Requests();
  ASSERT_EQ(requests.size(), 15u);
  for (const auto& r : requests) {
    SCOPED_TRACE(r.path);
    const bool toTheGivenHost = r.path != "/corvane.com/other-host";
    EXPECT_EQ(r.headers.count("X-API-KEY"), toTheGivenHost ? 1u : 0u);
    const auto host = r.headers.find("Host");
    ASSERT_NE(host, r.headers.end());
    EXPECT_EQ(host->second.rfind(toTheGivenHost ? "127.0.0.1:" : "localhost:", 0), 0u) << host->second;
  }
  EXPECT_THAT(plain.Requests(), IsEmpty());
  const std::string refused = "error  [DownloadManager::DownloadToMemory] the redirection to " +
                              downgrade +
                              " is refused: a transfer that starts on https: is not taken off "
                              "it. Url: " + manifestUrl;
  const auto log = m->LogMessages();
  long pairs = 0;
  for (std::size_t i = 0; i + 1 < log.size(); ++i)
    if (log[i].rfind(refused, 0) == 0 &&
        log[i + 1].rfind("error  [DownloadManager::DownloadToMemory] CURL error: Unsupported "
                         "protocol http code: 302 Url: " + manifestUrl, 0) == 0)
      ++pairs;
  EXPECT_EQ(pairs, 5) << Joined(log);
  ExpectLogged({"error  Cannot download ZyraAgent version file."});
  ExpectInstallerNeverRan();
}

// A company network in a network namespace of the test's own: the proxy is
// proxy.corp.test (a name only this network's hosts file knows), squid asks
// for Negotiate, the realm CORP.TEST's KDC runs beside it, and the override
// file names the proxy but gives no "creds": the stub must answer with the
// account it runs as (GSS-API on the emulated machine, SSPI under Wine),
// that is, with the account's ticket cache.
constexpr const char* kProxyHost = "proxy.corp.test";

class CompanyNetworkScenario : public Scenario {
 protected:

  void SetUp() override {
    // Before the machine: Wine's server, which owns the sockets of the
    // prefix's programs, must start inside the network too.
    net_ = std::make_unique<zyra_test::PrivateNetwork>("127.0.0.1\tproxy.corp.test\n");
    if (!net_->ok())
      GTEST_SKIP() << "no network namespace for the company network: " << net_->problem();
    Scenario::SetUp();
  }

  void TearDown() override {
    Scenario::TearDown();
    m.reset();
    net_.reset();
  }

  // The proxy refused the account: five attempts, each one's error line
  // naming 407.
  void ExpectFiveAttemptsRefusedWith407() {
    long attempts = 0;
    for (const auto& line : m->LogMessages()) {
      if (line.find("CURL error") == std::string::npos) continue;
      ++attempts;
      EXPECT_NE(line.find("http code: 407"), std::string::npos) << line;
    }
    EXPECT_EQ(attempts, 5);
  }

  std::unique_ptr<zyra_test::PrivateNetwork> net_;
};

// A realm with the proxy's service principal, and squid checking Negotiate
// tickets for it.
struct KerberosProxy {
  zyra_test::KerberosRealm realm;
  std::unique_ptr<zyra_test::SquidProxy> squid;

  bool Start() {
    const std::string service = std::string("HTTP/") + kProxyHost;
    if (!realm.running() || !realm.AddPrincipal(service)) return false;
    zyra_test::SquidAuthOptions options;
    options.keytab = realm.ExportKeytab(service);
    if (options.keytab.empty()) return false;
    options.servicePrincipal = service + "@" + realm.realm();
    options.env = realm.Environment();
    squid = std::make_unique<zyra_test::SquidProxy>(zyra_test::ProxyAuth::Negotiate, "", "",
                                                    options);
    return squid->running();
  }
  [[nodiscard]] std::string HostPort() const {
    return std::string(kProxyHost) + ":" +
           std::to_string(squid->port());
  }
  [[nodiscard]] std::string Problem() const {
    return realm.Problem() + (squid ? "\nsquid:\n" + squid->CacheLog() : std::string());
  }
};

TEST_P(CompanyNetworkScenario, KerberosProxyPassesTheAccountWithATicket) {
  KerberosProxy proxy;
  ASSERT_TRUE(proxy.Start()) << proxy.Problem();
  ASSERT_TRUE(proxy.realm.AddPrincipal("alice")) << proxy.Problem();
  const std::string cache = proxy.realm.TicketCache("alice");
  ASSERT_FALSE(cache.empty()) << proxy.Problem();
  for (const auto& [name, value] : proxy.realm.Environment()) m->SetStubEnvironment(name, value);
  m->SetStubEnvironment("KRB5CCNAME", cache);
  if (!m->UseProxy({proxy.HostPort(), "", ""}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  OfferAndRun({"2.4.1"});
  ExpectEndedWith(0);
  ExpectLogged({"info  No prior ZyraAgent found on the system",
                "info  ZyraAgent version 2.4.1 installed.",
                "info  Room provision result: Room provision success."});
  ExpectInstallerRanSilentlyOnce();
  ExpectTunnelsAs(*proxy.squid, "alice@CORP\\.TEST");
}

TEST_P(CompanyNetworkScenario, KerberosProxyRefusesTheAccountWithoutATicket) {
  KerberosProxy proxy;
  ASSERT_TRUE(proxy.Start()) << proxy.Problem();
  for (const auto& [name, value] : proxy.realm.Environment()) m->SetStubEnvironment(name, value);
  // The realm's default cache, which holds no ticket.
  if (!m->UseProxy({proxy.HostPort(), "", ""}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  OfferAndRun({"2.4.1"});
  ExpectEndedWith(123);
  ExpectInstallerNeverRan();
  ExpectFiveAttemptsRefusedWith407();
  const std::string access = proxy.squid->AccessLog();
  EXPECT_EQ(access.find("@CORP.TEST"), std::string::npos) << access;
}

// squid asking for NTLM, with an authenticator that admits one domain
// account and checks its password (its challenge is well formed, as
// Windows' NTLM wants it).
std::unique_ptr<zyra_test::SquidProxy> NtlmProxy(const std::string& account,
                                                 const std::string& password) {
  zyra_test::SquidAuthOptions options;
  options.ntlmHelper = {ZYRA_NTLM_HELPER, "--user", account, "--password", password};
  return std::make_unique<zyra_test::SquidProxy>(zyra_test::ProxyAuth::Ntlm, "", "", options);
}

// Wine's NTLM runs Samba's ntlm_auth; without it every NTLM answer fails.
void RequireNtlmAuthUnderWine(MachineKind kind) {
  if (kind != MachineKind::kWine) return;
  ASSERT_EQ(std::system("command -v ntlm_auth >/dev/null 2>&1"), 0)
      << "Wine's NTLM needs Samba's ntlm_auth (Debian package winbind)";
}

// The administrator stored the proxy's credential for the account the stub
// runs as (cmdkey), and the override file has no "creds": Windows' NTLM
// answers the proxy with the stored credential.
TEST_P(CompanyNetworkScenario, NtlmProxyPassesTheCredentialStoredForTheProxyHost) {
  RequireNtlmAuthUnderWine(GetParam());
  if (HasFatalFailure()) return;
  const std::string password = "Stored:Pass1";
  auto proxy = NtlmProxy("CORP\\carol", password);
  ASSERT_TRUE(proxy->running()) << proxy->CacheLog();
  if (!m->StoreCredential(kProxyHost, "CORP\\carol", password))
    GTEST_SKIP() << "this machine cannot store a Windows credential (the emulated machine "
                    "keeps none; a Windows build without its tests has no zyra-cred-writer.exe)";
  if (!m->UseProxy({std::string(kProxyHost) + ":" + std::to_string(proxy->port()), "", ""}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  OfferAndRun({"2.4.1"});
  ExpectEndedWith(0);
  ExpectInstallerRanSilentlyOnce();
  ExpectTunnelsAs(*proxy, R"(CORP\\+carol)");
}

// Explicit "creds" of a domain user in DOMAIN\user form: the NTLM answer
// carries that domain and user and the password checks.
TEST_P(CompanyNetworkScenario, NtlmProxyPassesExplicitDomainUserCreds) {
  RequireNtlmAuthUnderWine(GetParam());
  if (HasFatalFailure()) return;
  const std::string password = "s3c:r3t";  // the colon stays part of the password
  auto proxy = NtlmProxy("CORP\\bob", password);
  ASSERT_TRUE(proxy->running()) << proxy->CacheLog();
  if (!m->UseProxy({std::string(kProxyHost) + ":" + std::to_string(proxy->port()), "CORP\\bob",
                    password}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  OfferAndRun({"2.4.1"});
  ExpectEndedWith(0);
  ExpectInstallerRanSilentlyOnce();
  ExpectTunnelsAs(*proxy, R"(CORP\\+bob)");
  EXPECT_EQ(m->LogText().find("r3t"), std::string::npos);
}

// The same proxy, "creds" with a password it does not take: 407 on every
// attempt, exit 123.
TEST_P(CompanyNetworkScenario, NtlmProxyRefusesAWrongPassword) {
  auto proxy = NtlmProxy("CORP\\bob", "the-right-one");
  ASSERT_TRUE(proxy->running()) << proxy->CacheLog();
  if (!m->UseProxy({std::string(kProxyHost) + ":" + std::to_string(proxy->port()), "CORP\\bob",
                    "a-wrong-one"}))
    GTEST_SKIP() << "this machine cannot give the stub a private trust store (needs root)";
  OfferAndRun({"2.4.1"});
  ExpectEndedWith(123);
  ExpectInstallerNeverRan();
  ExpectFiveAttemptsRefusedWith407();
  EXPECT_NE(proxy->CacheLog().find("wrong password for CORP\\bob"), std::string::npos)
      << proxy->CacheLog();
}

INSTANTIATE_TEST_SUITE_P(Machine, CompanyNetworkScenario,
                         ::testing::Values(MachineKind::kEmulated, MachineKind::kWine), KindName);

}  // namespace
}  // namespace zyra_scenarios
