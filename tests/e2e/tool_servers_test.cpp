// The project's servers and reports through their real binaries:
// zyra-update-server's exclusive port, argument checks and refusals, and
// zyra-proxy-report's errors and its --check through squid and tinyproxy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/machine.h"
#include "tests/support/process.h"
#include "tests/support/squid_proxy.h"
#include "tests/support/tool_run.h"

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using zyra_test::EmulatedMachine;
using zyra_test::ProxyAuth;
using zyra_test::ReadText;
using zyra_test::SquidProxy;
using zyra_test::RunTool;
using zyra_test::TempFolder;
using zyra_test::ToolRun;
namespace fs = std::filesystem;

namespace {

// --- zyra-update-server ----------------------------------------------------

class UpdateServer : public ::testing::Test {
 protected:
  void SetUp() override {
    www = dir.path() + "/www";
    fs::create_directories(www);
    std::ofstream(www + "/manifest.json") << "{\"packages\":[]}";
    std::ofstream(www + "/CorvZyraAgent-Setup.exe") << "installer";
  }
  // Starts a server; its port once it listens, 0 when it did not.
  int Start(const std::string& name, const std::vector<std::string>& extra = {}) {
    zyra_test::ProcessOptions o;
    o.argv = {ZYRA_UPDATE_SERVER, "--root", www, "--port-file", dir.path() + "/" + name + ".port"};
    o.argv.insert(o.argv.end(), extra.begin(), extra.end());
    o.stdoutFile = dir.path() + "/" + name + ".out";
    o.stderrFile = dir.path() + "/" + name + ".err";
    servers.push_back(std::make_unique<zyra_test::Process>(o));
    for (int i = 0; i < 5000; ++i) {
      const std::string port = ReadText(dir.path() + "/" + name + ".port");
      if (!port.empty() && port.back() == '\n') return std::atoi(port.c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
  }
  // curl's status line and body for a GET.
  ToolRun Get(int port, const std::string& path, const std::vector<std::string>& headers = {}) {
    std::vector<std::string> argv = {"curl", "-s", "-w", "\n%{http_code}",
                                     "http://127.0.0.1:" + std::to_string(port) + path};
    for (const auto& h : headers) argv.insert(argv.end(), {"-H", h});
    return RunTool(argv, dir.path());
  }
  std::string Log(const std::string& name) { return ReadText(dir.path() + "/" + name + ".out"); }
  // The log once it holds text: a request's line follows its answer.
  std::string LogWith(const std::string& name, const std::string& text) {
    for (int i = 0; i < 2500 && Log(name).find(text) == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return Log(name);
  }

  TempFolder dir;
  std::string www;
  std::vector<std::unique_ptr<zyra_test::Process>> servers;
};

TEST_F(UpdateServer, ASecondServerOnAPortInUseFailsAndTheFirstAnswersEveryRequest) {
  const int port = Start("first");
  ASSERT_NE(port, 0) << ReadText(dir.path() + "/first.err");
  const ToolRun second = RunTool({ZYRA_UPDATE_SERVER, "--root", www, "--port",
                                  std::to_string(port)},
                                 dir.path());
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_THAT(second.err, AllOf(HasSubstr("port " + std::to_string(port)), HasSubstr("in use")));
  for (int i = 0; i < 6; ++i) {
    const ToolRun r = Get(port, "/CorvZyraAgent-Setup.exe");
    EXPECT_EQ(r.out, "installer\n200");
  }
  // Every one answered by the first server (it logs each after answering).
  const auto served = [&] {
    const std::string log = Log("first");
    std::size_t n = 0;
    for (std::size_t at = 0;
         (at = log.find("GET /CorvZyraAgent-Setup.exe -> 200", at)) != std::string::npos; ++at)
      ++n;
    return n;
  };
  for (int i = 0; i < 2500 && served() < 6; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const std::size_t n = served();
  const std::string log = Log("first");
  EXPECT_EQ(n, 6u) << log;
}

TEST_F(UpdateServer, BadArgumentsAreNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--root", www, "--port", "abc"}, "--port"},
      {{"--root", www, "--port", "70000"}, "--port"},
      {{"--root", dir.path() + "/nonexistent"}, "--root"},
      {{"--port", "0"}, "--root"},
      {{"--root", www, "--cert", www + "/manifest.json"}, "--cert requires --key"},
      {{"--root", www, "--key", www + "/manifest.json"}, "--key requires --cert"},
      {{"--root", www, "--api-key", ""}, "--api-key"},
      {{"--root", www, "--port-file", dir.path() + "/missing/port"},
       "the folder " + dir.path() + "/missing does not exist"},
  };
  for (const auto& [args, named] : cases) {
    std::vector<std::string> argv = {ZYRA_UPDATE_SERVER};
    argv.insert(argv.end(), args.begin(), args.end());
    const ToolRun r = RunTool(argv, dir.path(), 10);
    EXPECT_EQ(r.exitCode, 2) << named;
    EXPECT_THAT(r.err, HasSubstr(named));
    EXPECT_THAT(r.out, IsEmpty()) << named;
  }
}

TEST_F(UpdateServer, SaysWhatItServesAndWhyItRefuses) {
  const int port = Start("s", {"--api-key", "K3y"});
  ASSERT_NE(port, 0) << ReadText(dir.path() + "/s.err");
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  const std::string banner = Log("s");
  EXPECT_THAT(banner,
              AllOf(HasSubstr("serving " + fs::canonical(www).string() + " on " + origin),
                    HasSubstr(origin + "/corvane.com/api/files/manifest/zyra/latest"),
                    HasSubstr("X-API-KEY: K3y (not the program's key)"),
                    HasSubstr("    CorvZyraAgent-Setup.exe\n"), HasSubstr("    manifest.json\n")));

  const std::string manifest = "/corvane.com/api/files/manifest/zyra/latest";
  EXPECT_EQ(Get(port, manifest).out, "401 Unauthorized: the request has no X-API-KEY header\n\n401");
  EXPECT_EQ(Get(port, manifest, {"X-API-KEY: TqWmRzKpHnVxLcJd"}).out,
            "401 Unauthorized: the X-API-KEY header does not carry the expected key\n\n401");
  EXPECT_EQ(Get(port, manifest, {"X-API-KEY: K3y"}).out, "{\"packages\":[]}\n200");
  EXPECT_THAT(Get(port, "/missing.exe").out, HasSubstr("\n404"));

  const std::string log = LogWith("s", "GET /missing.exe");
  EXPECT_THAT(log, HasSubstr("-> 401 [headers: "));
  EXPECT_THAT(log, HasSubstr("refused: the request has no X-API-KEY header"));
  EXPECT_THAT(log, HasSubstr("refused: the X-API-KEY header does not carry the expected key"));
  EXPECT_THAT(log, HasSubstr("GET /missing.exe -> 404"));
  EXPECT_THAT(log, HasSubstr("refused: no such file in the served folder"));
  EXPECT_THAT(log, Not(HasSubstr("TqWmRzKpHnVxLcJd")));  // header values are never logged

  // Without manifest.json the manifest request is refused with its reason.
  fs::remove(www + "/manifest.json");
  EXPECT_THAT(Get(port, manifest, {"X-API-KEY: K3y"}).out,
              AllOf(HasSubstr("no manifest.json"), HasSubstr("\n404")));
}

// Only regular files directly in the folder, never a hidden file or a key
// (by its name or its content, also one written after the start): each
// refusal named at start and in the request's answer, none of a key's bytes
// sent, also of a key found while a file is sent.
TEST_F(UpdateServer, ServesOnlyTheReleaseAndNamesWhatItRefuses) {
  const auto sh = [&](const std::string& command) {
    ASSERT_EQ(std::system(("cd '" + www + "' && " + command).c_str()), 0) << command;
  };
  sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out private.pem 2>/dev/null");
  sh("openssl pkey -in private.pem -outform DER -out release.der");
  sh("(echo notes; cat private.pem; echo more notes) > notes.txt");
  sh("mkdir tls && cp private.pem tls/server.pem && echo x > id.p12 && echo x > .htpasswd");
  sh("echo outside > ../outside.exe && ln -s ../outside.exe link.exe");
  const int port = Start("s");
  ASSERT_NE(port, 0) << ReadText(dir.path() + "/s.err");
  sh("cp private.pem later.txt");  // after the start

  const std::vector<std::tuple<std::string, std::string, std::string>> refused = {
      {"private.pem", "403", "it holds a private key"},
      {"release.der", "403", "it holds a private key"},
      {"notes.txt", "403", "it holds a private key"},
      {"later.txt", "403", "it holds a private key"},
      {"id.p12", "403", "its name ends in .p12 (a key file)"},
      {".htpasswd", "403", "its name begins with a dot (a hidden file)"},
      {"link.exe", "403", "it is a symbolic link"},
      {"tls", "403", "it is a folder"},
      {"tls/server.pem", "404", "only the files directly in the served folder are served"},
      {"tls%2Fserver.pem", "404", "only the files directly in the served folder are served"},
      {"..%2Foutside.exe", "404", "only the files directly in the served folder are served"},
  };
  const std::string banner = Log("s");
  EXPECT_THAT(banner, AllOf(HasSubstr("  files (2): "), HasSubstr("    CorvZyraAgent-Setup.exe\n"),
                            HasSubstr("    manifest.json\n"), HasSubstr("  not served (7):\n")));
  for (const auto& [name, status, why] : refused) {
    SCOPED_TRACE(name);
    if (name.find('/') == std::string::npos && name.find('%') == std::string::npos &&
        name != "later.txt") {
      EXPECT_THAT(banner, HasSubstr("    " + name + ": " + why));
    }
    const ToolRun r = Get(port, "/" + name);
    EXPECT_THAT(r.out, AllOf(HasSubstr(why), testing::EndsWith("\n" + status)));
    EXPECT_THAT(r.out, Not(HasSubstr("PRIVATE KEY")));
  }
  // A key far into a large file written after the start: the file is cut
  // off before the key's first line, and refused from then on.
  sh("head -c 3000000 /dev/zero > large.bin && cat private.pem >> large.bin");
  const ToolRun cut = Get(port, "/large.bin");
  EXPECT_THAT(cut.out, Not(HasSubstr("PRIVATE KEY")));
  EXPECT_LT(cut.out.size(), 3000000u);
  EXPECT_THAT(LogWith("s", "GET /large.bin: stopped after"),
              HasSubstr("it holds a private key (refused from now on)"));
  EXPECT_THAT(Get(port, "/large.bin").out, testing::EndsWith("it holds a private key\n\n403"));
  EXPECT_EQ(Get(port, "/CorvZyraAgent-Setup.exe").out, "installer\n200");
  EXPECT_THAT(LogWith("s", "GET /CorvZyraAgent-Setup.exe"),
              AllOf(HasSubstr("GET /private.pem -> 403"),
                    HasSubstr("refused: not served: it holds a private key"),
                    HasSubstr("GET /tls/server.pem -> 404")));
}

// Ctrl-C or SIGTERM: it says so, removes its port file and exits with 0.
TEST_F(UpdateServer, StopsOnSigintAndSigtermAndRemovesItsPortFile) {
  for (const std::string signal : {"INT", "TERM"}) {
    SCOPED_TRACE(signal);
    const std::string portFile = dir.path() + "/" + signal + ".port";
    const ToolRun r = RunTool(
        {"bash", "-c",
         "'" + std::string(ZYRA_UPDATE_SERVER) + "' --root '" + www + "' --port-file '" + portFile +
             "' & until [ -s '" + portFile + "' ]; do sleep 0.01; done; kill -" + signal +
             " $!; wait $!; echo \"exit $?\""},
        dir.path(), 30);
    EXPECT_THAT(r.out, AllOf(HasSubstr("zyra-update-server: SIG" + signal +
                                       " received: stopping and removing " + portFile),
                             HasSubstr("zyra-update-server: stopped\n"),
                             testing::EndsWith("exit 0\n")))
        << r.err;
    EXPECT_FALSE(fs::exists(portFile));
  }
}

// A plain-HTTP request to the HTTPS port is logged; HTTPS is answered.
TEST_F(UpdateServer, APlainHttpRequestToTheHttpsPortIsLogged) {
  const std::string tls = dir.path() + "/tls";
  fs::create_directories(tls);
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                         "-keyout '" + tls + "/key.pem' -out '" + tls + "/cert.pem' 2>/dev/null")
                            .c_str()),
            0);
  const int port = Start("tls", {"--cert", tls + "/cert.pem", "--key", tls + "/key.pem"});
  ASSERT_NE(port, 0) << ReadText(dir.path() + "/tls.err");
  const std::string at = "127.0.0.1:" + std::to_string(port) + "/CorvZyraAgent-Setup.exe";
  EXPECT_NE(RunTool({"curl", "-s", "http://" + at}, dir.path()).exitCode, 0);
  EXPECT_EQ(RunTool({"curl", "-sk", "https://" + at}, dir.path()).out, "installer");
  EXPECT_THAT(LogWith("tls", "GET /CorvZyraAgent-Setup.exe -> 200"),
              ::testing::ContainsRegex("TLS handshake with 127\\.0\\.0\\.1:[0-9]+ failed: a "
                                       "plain-HTTP request to this HTTPS port"));
}

// --- zyra-proxy-report -----------------------------------------------------

class ProxyReport : public ::testing::Test {
 protected:
  ToolRun Report(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ZYRA_PROXY_REPORT};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunTool(argv, m.root(), 120, {{"ZYRA_MACHINE_ROOT", m.root()}});
  }
  void WriteOverride(const std::string& content) {
    fs::create_directories(m.C("ProgramData/Corvane/CorvZyra"));
    std::ofstream(m.C("ProgramData/Corvane/CorvZyra/ProxyAutoConfigUrl.txt"), std::ios::binary)
        << content;
  }
  // Where the machine's update server (started by OfferAgent) serves root()/www.
  std::string Served() const {
    return "http://127.0.0.1:" +
           std::to_string(std::atoi(ReadText(m.root() + "/server.port").c_str()));
  }
  EmulatedMachine m;
};

TEST_F(ProxyReport, UrlsTheProgramDoesNotFetchAreErrors) {
  const ToolRun r = Report({"http://example.org/x", "ftp://x/y", "notaurl", "https://a.b/"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("source = System"));
  EXPECT_THAT(r.out, AllOf(HasSubstr("http://example.org/x -> DIRECT (no proxy)\n"),
                           HasSubstr("ftp://x/y -> error: a ftp: URL"),
                           HasSubstr("notaurl -> error: not a URL"),
                           HasSubstr("https://a.b/ -> DIRECT (no proxy)\n")));
  const ToolRun fine = Report({"http://example.org/x"});
  EXPECT_EQ(fine.exitCode, 0) << fine.out;
}

TEST_F(ProxyReport, APacScriptThatCannotBeFetchedOrEvaluatedIsAnError) {
  m.OfferAgent("1.0.0");  // a server to serve (or not) the scripts
  std::ofstream(m.root() + "/www/broken.pac") << "function FindProxyForURL(url, host) { return ";
  std::ofstream(m.root() + "/www/good.pac")
      << "function FindProxyForURL(url, host) { return \"PROXY 127.0.0.1:3\"; }";
  const std::string refused =
      "http://127.0.0.1:" + std::to_string(zyra_test::FreeLoopbackPort()) + "/proxy.pac";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {refused, "could not be fetched"},
      {Served() + "/missing.pac", "could not be fetched"},
      {Served() + "/broken.pac", "could not be evaluated"},
  };
  for (const auto& [pac, why] : cases) {
    WriteOverride(pac + "\r\n");
    const ToolRun r = Report({"http://example.org/x"});
    EXPECT_EQ(r.exitCode, 1) << pac << "\n" << r.out;
    EXPECT_THAT(r.out, AllOf(HasSubstr("http://example.org/x -> error: "), HasSubstr(why),
                             HasSubstr(pac), Not(HasSubstr("-> DIRECT"))))
        << pac;
    const ToolRun check = Report({"--check", "http://example.org/x"});
    EXPECT_EQ(check.exitCode, 1) << pac;
    EXPECT_THAT(check.out, HasSubstr("error: the PAC script")) << pac;
  }
  WriteOverride(Served() + "/good.pac\r\n");
  const ToolRun good = Report({"http://example.org/x"});
  EXPECT_EQ(good.exitCode, 0) << good.out;
  EXPECT_THAT(good.out, HasSubstr("http://example.org/x -> 127.0.0.1:3\n"));
}

class ProxyReportCheck : public ProxyReport, public ::testing::WithParamInterface<ProxyAuth> {};

// One request through squid with the override file's credentials: the
// schemes squid offers, its answers, the result; a wrong password is
// reported as refused. The password shows nowhere.
TEST_P(ProxyReportCheck, ReportsTheSchemesAndWhetherTheProxyAcceptsTheCredentials) {
  const ProxyAuth auth = GetParam();
  const std::string user = auth == ProxyAuth::Ntlm ? "CORP\\zyra" : "zyra";
  const std::string password = "s3c:r3t-pw";
  SquidProxy proxy(auth, "zyra", password);
  ASSERT_TRUE(proxy.running()) << proxy.CacheLog();
  m.OfferAgent("1.0.0");
  m.SetProxyOverride(proxy.address(), user + ":" + password);
  const std::string url = Served() + "/CorvZyraAgent-Setup.exe.manifest";
  const std::string scheme = zyra_test::ProxyAuthName(auth);

  const ToolRun ok = Report({"--check", url});
  EXPECT_EQ(ok.exitCode, 0) << ok.out << ok.err << proxy.CacheLog();
  EXPECT_THAT(ok.out, AllOf(HasSubstr("proxy: " + proxy.address()),
                            HasSubstr("credentials: user " + user + " from the override file"),
                            HasSubstr("proxy offered: " + scheme), HasSubstr("407"),
                            HasSubstr("result: 200, the request went through: the proxy "
                                      "accepted the credentials")));
  EXPECT_THAT(ok.out + ok.err, Not(HasSubstr(password)));

  if (auth != ProxyAuth::Ntlm) {  // squid's NTLM helper takes any password
    m.SetProxyOverride(proxy.address(), user + ":wrong-" + password);
    const ToolRun refused = Report({"--check", url});
    EXPECT_EQ(refused.exitCode, 1) << refused.out;
    EXPECT_THAT(refused.out, AllOf(HasSubstr("proxy offered: " + scheme),
                                   HasSubstr("result: refused: the proxy answered 407 to the "
                                             "credentials of user " + user)));
    EXPECT_THAT(refused.out + refused.err, Not(HasSubstr("r3t-pw")));
  }
}

INSTANTIATE_TEST_SUITE_P(Squid, ProxyReportCheck,
                         ::testing::Values(ProxyAuth::Basic, ProxyAuth::Ntlm),
                         [](const ::testing::TestParamInfo<ProxyAuth>& i) {
                           return std::string(zyra_test::ProxyAuthName(i.param));
                         });

// tinyproxy answers credentials it refuses with 401, not 407: the report
// tells that apart from a server's 401.
TEST_F(ProxyReport, AProxyThatRefusesCredentialsWith401IsNamed) {
  const int port = zyra_test::FreeLoopbackPort();
  std::ofstream(m.root() + "/tinyproxy.conf")
      << "Port " << port << "\nListen 127.0.0.1\nTimeout 60\nMaxClients 10\n"
      << "BasicAuth zyra s3cret\nLogLevel Info\n";
  zyra_test::ProcessOptions o;
  o.argv = {"tinyproxy", "-d", "-c", m.root() + "/tinyproxy.conf"};
  o.stdoutFile = m.root() + "/tinyproxy.log";
  o.stderrFile = m.root() + "/tinyproxy.log";
  zyra_test::Process tinyproxy(o);
  for (int i = 0; i < 2500 && !zyra_test::AcceptsOnLoopback(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(zyra_test::AcceptsOnLoopback(port)) << ReadText(m.root() + "/tinyproxy.log");
  m.OfferAgent("1.0.0");
  const std::string url = Served() + "/CorvZyraAgent-Setup.exe.manifest";

  m.SetProxyOverride("127.0.0.1:" + std::to_string(port), "zyra:wrong");
  const ToolRun refused = Report({"--check", url});
  EXPECT_EQ(refused.exitCode, 1) << refused.out;
  EXPECT_THAT(refused.out, AllOf(HasSubstr("proxy offered: Basic"), HasSubstr(" 407 "),
                                 HasSubstr(" 401 "),
                                 HasSubstr("refused: 401 after the proxy asked for credentials "
                                           "(407)")));
  m.SetProxyOverride("127.0.0.1:" + std::to_string(port), "zyra:s3cret");
  const ToolRun ok = Report({"--check", url});
  EXPECT_EQ(ok.exitCode, 0) << ok.out;
  EXPECT_THAT(ok.out, HasSubstr("result: 200"));
}

}  // namespace
