// The project's tools through their real binaries: argument handling
// (--help, --version, bad arguments) and zyra-sign's key safety and checks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/tool_run.h"

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using zyra_test::ReadText;
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

}  // namespace

namespace {

// What a release folder may hold besides the release: the installer named
// with its version, notes, a key, a hidden file, a folder. Only the release
// is signed; the program could not use it, and the warnings say why.
TEST_F(ZyraSign, ManifestWarnsOnAReleaseWithoutItsInstallerAndNamesWhatItLeavesOut) {
  Write("rel/CorvZyraAgent-Setup-4.2.0.exe", "installer");
  Write("rel/CorvZyraAgent-Setup.exe.manifest", "{\"version\":\"4.2.0\"}");
  Write("rel/notes.txt", "release notes");
  Write("rel/.DS_Store", "x");
  Write("rel/tls/ca.key", "x");
  ASSERT_EQ(Sign({"keygen", P("rel/private.pem"), P("public.pem")}).exitCode, 0);
  const ToolRun r = Sign({"manifest", ZYRA_DEV_PRIVATE_KEY, P("rel"), "https://h/x"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_THAT(r.err, AllOf(HasSubstr("warning: " + P("rel") + " has no CorvZyraAgent-Setup.exe"),
                           HasSubstr("ends with 123"),
                           HasSubstr("rename CorvZyraAgent-Setup-4.2.0.exe to "
                                     "CorvZyraAgent-Setup.exe"),
                           HasSubstr("signs CorvZyraAgent-Setup-4.2.0.exe, notes.txt, which the "
                                     "program never asks for"),
                           HasSubstr("private.pem holds a private key"),
                           HasSubstr(".DS_Store: its name begins with a dot"),
                           HasSubstr("tls: it is a folder")));
  const std::string manifest = ReadText(P("rel/manifest.json"));
  EXPECT_THAT(manifest, HasSubstr("https://h/x/notes.txt"));
  for (const char* left : {"private.pem", ".DS_Store", "tls"}) {
    EXPECT_THAT(manifest, Not(HasSubstr(left)));
    EXPECT_FALSE(fs::exists(P(std::string("rel/") + left + ".sig"))) << left;
  }
}

// The package and its signature swapped: named as such, not as a signature
// that does not validate (exit 2, not 1).
TEST_F(ZyraSign, VerifyNamesASecondArgumentThatIsNoSignatureFile) {
  Write("package.exe", "package");
  ASSERT_EQ(Sign({"sign", ZYRA_DEV_PRIVATE_KEY, P("package.exe")}).exitCode, 0);
  const ToolRun swapped = Sign({"verify", P("package.exe.sig"), P("package.exe")});
  EXPECT_EQ(swapped.exitCode, 2);
  EXPECT_THAT(swapped.err,
              AllOf(HasSubstr(P("package.exe") + " is not a signature file"),
                    HasSubstr("swapped: zyra-sign verify " + P("package.exe") + " " +
                              P("package.exe.sig")),
                    Not(HasSubstr("invalid signature"))));
  Write("other.exe", "other");
  const ToolRun neither = Sign({"verify", P("package.exe"), P("other.exe")});
  EXPECT_EQ(neither.exitCode, 2);
  EXPECT_THAT(neither.err, AllOf(HasSubstr(P("other.exe") + " is not a signature file"),
                                 HasSubstr("the order is: zyra-sign verify FILE FILE.sig")));
}

// A key with a pass-phrase: from --pass-file; without it and without a
// terminal, an error naming --pass-file instead of a prompt; on a terminal,
// asked for once however often the key is read.
TEST_F(ZyraSign, AKeyWithAPassPhraseTakesItFromAFileOrATerminalOnce) {
  ASSERT_EQ(std::system(("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 "
                         "-aes-128-cbc -pass pass:s3cret -out '" + P("locked.pem") + "'")
                            .c_str()),
            0);
  Write("rel/CorvZyraAgent-Setup.exe", "installer");
  Write("rel/CorvZyraAgent-Setup.exe.manifest", "{\"version\":\"4.2.0\"}");

  const ToolRun noTerminal = Sign({"sign", P("locked.pem"), P("rel/CorvZyraAgent-Setup.exe")});
  EXPECT_EQ(noTerminal.exitCode, 2);
  EXPECT_THAT(noTerminal.err, AllOf(HasSubstr(P("locked.pem") + " is protected by a pass-phrase"),
                                    HasSubstr("--pass-file")));
  EXPECT_FALSE(fs::exists(P("rel/CorvZyraAgent-Setup.exe.sig")));

  Write("wrong", "wrong\n");
  const ToolRun wrong = Sign({"sign", P("locked.pem"), P("rel/CorvZyraAgent-Setup.exe"),
                              "--pass-file", P("wrong")});
  EXPECT_EQ(wrong.exitCode, 2);
  EXPECT_THAT(wrong.err, HasSubstr("the pass-phrase does not open " + P("locked.pem")));

  Write("pass", "s3cret\r\n");
  const ToolRun given = Sign({"manifest", P("locked.pem"), P("rel"), "https://h/x", "--pass-file",
                              P("pass")});
  EXPECT_EQ(given.exitCode, 0) << given.err;
  EXPECT_TRUE(fs::exists(P("rel/CorvZyraAgent-Setup.exe.sig")));

  if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1) for a terminal";
  fs::remove(P("rel/CorvZyraAgent-Setup.exe.sig"));
  const ToolRun asked = RunTool(
      {"bash", "-c",
       "printf 's3cret\\n' | script -qec \"'" + std::string(ZYRA_SIGN) + "' manifest '" +
           P("locked.pem") + "' '" + P("rel") + "' https://h/x\" /dev/null"},
      dir.path());
  EXPECT_EQ(asked.exitCode, 0) << asked.out << asked.err;
  std::size_t prompts = 0;
  for (std::size_t at = 0; (at = asked.out.find("Pass-phrase of", at)) != std::string::npos; ++at)
    ++prompts;
  EXPECT_EQ(prompts, 1u) << asked.out;
  EXPECT_TRUE(fs::exists(P("rel/CorvZyraAgent-Setup.exe.sig")));
}

}  // namespace
