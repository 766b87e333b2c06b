// The Windows build under test, its key pair and the template prefix of the
// Wine machines (see wine_machine.cpp for what a machine adds to its copy).
#include "tests/support/wine_setup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/process.h"

namespace fs = std::filesystem;

namespace zyra_test::wine {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// Runs a shell command line; its standard output, or nullopt on a non-zero exit.
std::optional<std::string> Shell(const std::string& command, const std::string& outFile,
                                 double timeoutSeconds) {
  ProcessOptions o;
  o.argv = {"sh", "-c", command};
  o.stdoutFile = outFile;
  o.stderrFile = outFile + ".err";
  if (Run(o, timeoutSeconds) != 0) return std::nullopt;
  return ReadAll(outFile);
}

std::string ShellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

namespace {

// A value of the Windows build's CMake cache ("" when it has none).
std::string CacheValue(const std::string& build, const std::string& name) {
  std::istringstream in(ReadAll(build + "/CMakeCache.txt"));
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
    const auto eq = line.find('=');
    if (eq != std::string::npos) return line.substr(eq + 1);
  }
  return std::string();
}

}  // namespace

// Checks the Windows build and finds its key pair; "" or the problem.
std::string Prepare(WineSetup& s) {
  s.build = Env("ZYRA_WINDOWS_BUILD");
  s.loader = Env("ZYRA_WINE_LOADER");
  const fs::path dir = fs::path(s.loader).parent_path();
  s.toolLoader = fs::exists(dir / "wine64") ? (dir / "wine64").string() : s.loader;
  s.wineserver = fs::exists(dir / "wineserver") ? (dir / "wineserver").string() : "wineserver";
  s.stub = s.build + "/app/CorvZyraProvisionStub.exe";
  s.installer = s.build + "/tools/installer_double/zyra-installer-double.exe";
  s.handler = s.build + "/tools/handler_double/zyra-handler-double.exe";
  s.holder = s.build + "/tests/zyra-file-holder.exe";
  s.credWriter = s.build + "/tests/zyra-cred-writer.exe";
  for (const auto& f : {s.loader, s.stub, s.installer, s.handler})
    if (!fs::exists(f)) return "missing: " + f;

  std::string publicKey = CacheValue(s.build, "ZYRA_PACKAGE_PUBLIC_KEY");
  const std::string signingKey = Env("ZYRA_SIGNING_KEY");
  if (publicKey.empty()) {
    publicKey = s.build + "/dev-keys/package-signing-public.pem";
    s.privateKey =
        signingKey.empty() ? s.build + "/dev-keys/package-signing-private.pem" : signingKey;
  } else if (signingKey.empty()) {
    return s.build + " checks packages against " + publicKey +
           ": set ZYRA_SIGNING_KEY to its private key";
  } else {
    s.privateKey = signingKey;
  }
  // The private key must be the other half of the build's public key.
  const std::string scratch = fs::temp_directory_path() / ("zyra-keycheck-" + std::to_string(::getpid()));
  const auto mine = Shell("openssl pkey -in " + ShellQuoted(s.privateKey) +
                              " -pubout -outform DER | sha256sum",
                          scratch + ".a");
  const auto theirs = Shell("{ openssl pkey -pubin -in " + ShellQuoted(publicKey) +
                                " -outform DER 2>/dev/null || openssl rsa -RSAPublicKey_in -in " +
                                ShellQuoted(publicKey) + " -pubout -outform DER; } | sha256sum",
                            scratch + ".b");
  for (const char* ext : {".a", ".a.err", ".b", ".b.err"}) fs::remove(scratch + ext);
  if (!mine || !theirs || *mine != *theirs || Trimmed(*mine).rfind("e3b0c442", 0) == 0)
    return s.privateKey + " is not the private half of " + publicKey + ", which " + s.build +
           " checks against";
  s.vendorDomain = CacheValue(s.build, "ZYRA_VENDOR_DOMAIN");
  if (s.vendorDomain.empty()) s.vendorDomain = "corvane.com";
  s.templatePrefix = Env("ZYRA_WINE_TEMPLATE");
  if (s.templatePrefix.empty()) s.templatePrefix = std::string(ZYRA_TEST_WORK_DIR) + "/wine-template";
  return std::string();
}

// The environment of every Wine command of a prefix.
std::map<std::string, std::string> WineEnv(const std::string& prefix) {
  return {{"WINEPREFIX", prefix},
          {"WINEARCH", "win64"},
          {"WINEDEBUG", "-all"},
          // No Mono or Gecko downloads into the prefixes.
          {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
}

// Transfers go straight to loopback (or to the scenario's proxy), whatever
// the host's proxy settings.
const std::vector<std::string> kUnsetEnv = {"http_proxy", "https_proxy", "HTTP_PROXY",
                                            "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                                            "no_proxy", "NO_PROXY", "DISPLAY"};

// Makes the template prefix once; every test process waits on the lock while
// another one makes it. "" or the problem.
std::string EnsureTemplate(const WineSetup& s) {
  const std::string lockPath = s.templatePrefix + ".lock";
  fs::create_directories(fs::path(s.templatePrefix).parent_path());
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return "cannot open " + lockPath;
  if (::flock(fd, LOCK_EX) != 0) {
    ::close(fd);
    return "cannot lock " + lockPath;
  }
  std::string problem;
  const std::string marker = s.templatePrefix + "/.zyra-template";
  const std::string versionFile = lockPath + ".version";
  const auto version = Shell(ShellQuoted(s.toolLoader) + " --version", versionFile);
  const std::string want = version ? Trimmed(*version) : std::string("unknown");
  fs::remove(versionFile);
  fs::remove(versionFile + ".err");
  if (!fs::exists(marker) || Trimmed(ReadAll(marker)) != want) {
    std::error_code ec;
    const std::string fresh = s.templatePrefix + ".new";
    fs::remove_all(fresh, ec);
    fs::remove_all(s.templatePrefix, ec);
    ProcessOptions boot;
    boot.argv = {s.toolLoader, "wineboot", "-i"};
    boot.setEnv = WineEnv(fresh);
    boot.unsetEnv = kUnsetEnv;
    boot.stdoutFile = s.templatePrefix + ".wineboot.log";
    boot.stderrFile = s.templatePrefix + ".wineboot.err";
    ProcessOptions wait;
    wait.argv = {s.wineserver, "-w"};
    wait.setEnv = WineEnv(fresh);
    const auto started = std::chrono::steady_clock::now();
    if (Run(boot, 600) != 0 || Run(wait, 120) != 0) {
      problem = "wineboot -i failed (see " + boot.stdoutFile + " and " + boot.stderrFile + ")";
    } else {
      fs::rename(fresh, s.templatePrefix, ec);
      if (ec) problem = "cannot move " + fresh + ": " + ec.message();
      else
        std::ofstream(marker) << want << "\n";
      std::printf("Wine template prefix %s made in %.1f s\n", s.templatePrefix.c_str(),
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
  return problem;
}

}  // namespace zyra_test::wine
