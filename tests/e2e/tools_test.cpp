// The project's tools through their real binaries: argument handling
// (--help, --version, bad arguments), zyra-sign's key safety and checks,
// zyra-update-server's exclusive port, argument checks and refusals,
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

unsigned Mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// --- Arguments, the same for every tool ------------------------------------

struct ToolCase {
  const char* name;
  const char* binary;
  std::vector<std::string> goodArgsButOne;  // a valid start, then one bad option
};

class EveryTool : public ::testing::TestWithParam<ToolCase> {};

TEST_P(EveryTool, HelpGoesToStdoutAndExitsZero) {
  TempFolder dir;
  for (const char* flag : {"--help", "-h"}) {
    const ToolRun r = RunTool({GetParam().binary, flag}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << flag << ": " << r.err;
    EXPECT_THAT(r.out, AllOf(HasSubstr("Usage: "), HasSubstr(GetParam().name), HasSubstr("--version")))
        << flag;
    EXPECT_THAT(r.err, IsEmpty()) << flag;
  }
}

TEST_P(EveryTool, VersionIsTheProjectsVersion) {
  TempFolder dir;
  const ToolRun r = RunTool({GetParam().binary, "--version"}, dir.path());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, std::string(GetParam().name) + " " + ZYRA_PROJECT_VERSION + "\n");
}

TEST_P(EveryTool, AnUnknownOptionIsNamedAndExitsTwo) {
  TempFolder dir;
  std::vector<std::string> argv = {GetParam().binary};
  argv.insert(argv.end(), GetParam().goodArgsButOne.begin(), GetParam().goodArgsButOne.end());
  argv.push_back("--frobnicate");
  const ToolRun r = RunTool(argv, dir.path());
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_THAT(r.err, AllOf(HasSubstr("--frobnicate"), HasSubstr("--help")));
  EXPECT_THAT(r.out, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Tools, EveryTool,
    ::testing::Values(ToolCase{"zyra-sign", ZYRA_SIGN, {"verify", "a", "b"}},
                      ToolCase{"zyra-update-server", ZYRA_UPDATE_SERVER, {"--root", "."}},
                      ToolCase{"zyra-proxy-report", ZYRA_PROXY_REPORT, {}},
                      ToolCase{"zyra-machine", ZYRA_MACHINE_CLI, {"--root", "unused"}}),
    [](const ::testing::TestParamInfo<ToolCase>& i) {
      std::string n = i.param.name;
      for (char& c : n)
        if (c == '-') c = '_';
      return n;
    });

// --- zyra-sign -------------------------------------------------------------

class ZyraSign : public ::testing::Test {
 protected:
  ToolRun Sign(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ZYRA_SIGN};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunTool(argv, dir.path());
  }
  std::string P(const std::string& name) const { return dir.path() + "/" + name; }
  void Write(const std::string& name, const std::string& content) {
    fs::create_directories(fs::path(P(name)).parent_path());
    std::ofstream(P(name), std::ios::binary) << content;
  }
  TempFolder dir;
};

TEST_F(ZyraSign, KeygenWritesThePrivateKeyForItsOwnerOnlyAndNeverOverwrites) {
  ::umask(022);
  const ToolRun made = Sign({"keygen", P("private.pem"), P("public.pem")});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_EQ(Mode(P("private.pem")), 0600u);
  EXPECT_EQ(Mode(P("public.pem")), 0644u);
  EXPECT_THAT(made.out, HasSubstr("public key written to " + P("public.pem")));
  const std::string privateKey = ReadText(P("private.pem"));
  const std::string publicKey = ReadText(P("public.pem"));
  ASSERT_THAT(privateKey, HasSubstr("PRIVATE KEY"));

  // Either file in place: refused, nothing written.
  for (const auto& [priv, pub] : std::vector<std::pair<std::string, std::string>>{
           {"private.pem", "other-public.pem"}, {"other-private.pem", "public.pem"}}) {
    const ToolRun again = Sign({"keygen", P(priv), P(pub)});
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_THAT(again.err, AllOf(HasSubstr("exists"), HasSubstr("--force")));
    EXPECT_FALSE(fs::exists(P("other-public.pem")));
    EXPECT_FALSE(fs::exists(P("other-private.pem")));
  }
  EXPECT_EQ(ReadText(P("private.pem")), privateKey);
  EXPECT_EQ(ReadText(P("public.pem")), publicKey);

  // --force replaces both; the private key is still its owner's only, even
  // where the old file had been opened up.
  ::chmod(P("private.pem").c_str(), 0666);
  const ToolRun forced = Sign({"keygen", "--force", P("private.pem"), P("public.pem")});
  ASSERT_EQ(forced.exitCode, 0) << forced.err;
  EXPECT_NE(ReadText(P("private.pem")), privateKey);
  EXPECT_NE(ReadText(P("public.pem")), publicKey);
  EXPECT_EQ(Mode(P("private.pem")), 0600u);
  for (const auto& e : fs::directory_iterator(dir.path()))
    EXPECT_THAT(e.path().filename().string(), Not(HasSubstr(".new-"))) << "a leftover";
}

TEST_F(ZyraSign, KeygenMakesAKeyTheSignCommandAccepts) {
  ASSERT_EQ(Sign({"keygen", P("k.pem"), P("k.pub")}).exitCode, 0);
  const std::string text =
      ReadText(P("k.pem"));  // an RSA-2048 key with exponent 65537, as openssl reads it
  ASSERT_EQ(std::system(("openssl pkey -in '" + P("k.pem") + "' -noout -text > '" + P("k.txt") +
                         "'")
                            .c_str()),
            0);
  EXPECT_THAT(ReadText(P("k.txt")), AllOf(HasSubstr("2048 bit"), HasSubstr("65537")));
}

TEST_F(ZyraSign, KeysOtherThanRsa2048WithExponent65537AreRefused) {
  Write("package.exe", "package");
  const std::vector<std::pair<std::string, std::string>> keys = {
      {"-pkeyopt rsa_keygen_bits:2048 -pkeyopt rsa_keygen_pubexp:3", "exponent 3"},
      {"-pkeyopt rsa_keygen_bits:1024", "1024-bit"}};
  for (const auto& [opts, why] : keys) {
    ASSERT_EQ(std::system(("openssl genpkey -algorithm RSA " + opts + " -out '" + P("bad.pem") +
                           "' 2>/dev/null")
                              .c_str()),
              0);
    const ToolRun r = Sign({"sign", P("bad.pem"), P("package.exe")});
    EXPECT_EQ(r.exitCode, 2) << why;
    EXPECT_THAT(r.err, AllOf(HasSubstr(why.substr(why.find(' ') + 1)), HasSubstr("bad.pem")))
        << why;
    EXPECT_FALSE(fs::exists(P("package.exe.sig"))) << why;
  }
}

TEST_F(ZyraSign, SigningWithAKeyThisBuildDoesNotCheckAgainstWarns) {
  Write("package.exe", "package");
  const ToolRun own = Sign({"sign", ZYRA_DEV_PRIVATE_KEY, P("package.exe")});
  ASSERT_EQ(own.exitCode, 0) << own.err;
  EXPECT_THAT(own.err, Not(HasSubstr("warning")));
  EXPECT_EQ(Sign({"verify", P("package.exe"), P("package.exe.sig")}).exitCode, 0);

  ASSERT_EQ(Sign({"keygen", P("other.pem"), P("other.pub")}).exitCode, 0);
  const ToolRun other = Sign({"sign", P("other.pem"), P("package.exe")});
  EXPECT_EQ(other.exitCode, 0) << other.err;
  EXPECT_THAT(other.err, AllOf(HasSubstr("warning"), HasSubstr("not the key this build checks"),
                               HasSubstr("ZYRA_PACKAGE_PUBLIC_KEY")));
  // The compiled-in key refuses it, the key given with --key accepts it.
  const ToolRun builtIn = Sign({"verify", P("package.exe"), P("package.exe.sig")});
  EXPECT_EQ(builtIn.exitCode, 1);
  const ToolRun withKey = Sign({"verify", "--key", P("other.pub"), P("package.exe"),
                                P("package.exe.sig")});
  EXPECT_EQ(withKey.exitCode, 0) << withKey.err;
  EXPECT_THAT(withKey.err, HasSubstr("valid signature (" + P("other.pub") + ")"));
  // ... in either byte order, as the program reads them.
  ASSERT_EQ(Sign({"sign", "--lsb-first", P("other.pem"), P("package.exe")}).exitCode, 0);
  EXPECT_EQ(Sign({"verify", "--key", P("other.pub"), P("package.exe"), P("package.exe.sig")})
                .exitCode,
            0);
  Write("package.exe", "changed");
  EXPECT_EQ(Sign({"verify", "--key", P("other.pub"), P("package.exe"), P("package.exe.sig")})
                .exitCode,
            1);
}

TEST_F(ZyraSign, AnUnknownCommandIsNamed) {
  const ToolRun r = Sign({"frob", "x"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_THAT(r.err, AllOf(HasSubstr("unknown command 'frob'"), HasSubstr("keygen")));
  const ToolRun none = Sign({});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_THAT(none.err, HasSubstr("--help"));
}

TEST_F(ZyraSign, ManifestChecksTheBaseUrlTheReleaseAndTheVersionFile) {
  fs::create_directories(P("empty"));
  const ToolRun empty = Sign({"manifest", ZYRA_DEV_PRIVATE_KEY, P("empty"), "http://h/x"});
  EXPECT_EQ(empty.exitCode, 2);
  EXPECT_THAT(empty.err, HasSubstr("no package"));
  EXPECT_FALSE(fs::exists(P("empty/manifest.json")));

  Write("rel/CorvZyraAgent-Setup.exe", "installer");
  for (const std::string bad : {"notaurl", "ftp://h/x", "http://h/x?y=1", "https://"}) {
    const ToolRun r = Sign({"manifest", ZYRA_DEV_PRIVATE_KEY, P("rel"), bad});
    EXPECT_EQ(r.exitCode, 2) << bad;
    EXPECT_THAT(r.err, HasSubstr("\"" + bad + "\"")) << bad;
    EXPECT_FALSE(fs::exists(P("rel/manifest.json"))) << bad;
  }

  const ToolRun noVersion = Sign({"manifest", ZYRA_DEV_PRIVATE_KEY, P("rel"), "http://h/x/"});
  EXPECT_EQ(noVersion.exitCode, 0) << noVersion.err;
  EXPECT_THAT(noVersion.err, AllOf(HasSubstr("warning"),
                                   HasSubstr("no CorvZyraAgent-Setup.exe.manifest"),
                                   HasSubstr("{\"version\":\"X.Y.Z\"}")));
  EXPECT_THAT(ReadText(P("rel/manifest.json")),
              HasSubstr("\"url\": \"http://h/x/CorvZyraAgent-Setup.exe\""));

  Write("rel/CorvZyraAgent-Setup.exe.manifest", "4.2.0");
  const ToolRun notJson = Sign({"manifest", ZYRA_DEV_PRIVATE_KEY, P("rel"), "http://h/x"});
  EXPECT_EQ(notJson.exitCode, 0);
  EXPECT_THAT(notJson.err, AllOf(HasSubstr("CorvZyraAgent-Setup.exe.manifest is not usable"),
                                 HasSubstr("not JSON")));

  Write("rel/CorvZyraAgent-Setup.exe.manifest", "{\"version\":\"4.2.0\"}");
  const ToolRun good = Sign({"manifest", ZYRA_DEV_PRIVATE_KEY, P("rel"), "https://h:8443/x"});
  EXPECT_EQ(good.exitCode, 0) << good.err;
  EXPECT_THAT(good.err, IsEmpty());
  EXPECT_EQ(Sign({"verify", P("rel/CorvZyraAgent-Setup.exe.manifest"),
                  P("rel/CorvZyraAgent-Setup.exe.manifest.sig")})
                .exitCode,
            0);
}

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
