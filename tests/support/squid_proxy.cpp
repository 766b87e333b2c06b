#include "tests/support/squid_proxy.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace zyra_test {
namespace {

constexpr const char* kRealm = "zyra";
constexpr const char* kHelpers = "/usr/lib/squid";

std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Output of a shell command (trailing line break removed).
std::string ShellOutput(const std::string& dir, const std::string& command) {
  const std::string out = dir + "/shell.out";
  ProcessOptions o;
  o.argv = {"sh", "-c", command};
  o.stdoutFile = out;
  if (Run(o, 30) != 0) return "";
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string AuthLines(ProxyAuth auth, const std::string& dir, const std::string& user,
                      const std::string& password, const SquidAuthOptions& options) {
  std::ostringstream conf;
  switch (auth) {
    case ProxyAuth::Basic: {
      const std::string hash =
          ShellOutput(dir, "openssl passwd -apr1 " + Quoted(password));
      std::ofstream(dir + "/passwd") << user << ":" << hash << "\n";
      conf << "auth_param basic program " << kHelpers << "/basic_ncsa_auth " << dir
           << "/passwd\n"
           << "auth_param basic children 2\n"
           << "auth_param basic realm " << kRealm << "\n";
      break;
    }
    case ProxyAuth::Digest: {
      // user:realm:HA1, so that a password may hold colons.
      const std::string ha1 = ShellOutput(
          dir, "printf %s " + Quoted(user + ":" + kRealm + ":" + password) +
                   " | md5sum | cut -d' ' -f1");
      std::ofstream(dir + "/digest") << user << ":" << kRealm << ":" << ha1 << "\n";
      conf << "auth_param digest program " << kHelpers << "/digest_file_auth -c " << dir
           << "/digest\n"
           << "auth_param digest children 2\n"
           << "auth_param digest realm " << kRealm << "\n";
      break;
    }
    case ProxyAuth::Ntlm:
      if (options.ntlmHelper.empty()) {
        conf << "auth_param ntlm program " << kHelpers << "/ntlm_fake_auth\n";
      } else {
        conf << "auth_param ntlm program";
        for (const auto& a : options.ntlmHelper) conf << " " << a;
        conf << "\n";
      }
      conf << "auth_param ntlm children 2\n";
      break;
    case ProxyAuth::Negotiate:
      conf << "auth_param negotiate program " << kHelpers << "/negotiate_kerberos_auth -k "
           << options.keytab << " -s " << options.servicePrincipal << "\n"
           << "auth_param negotiate children 2\n"
           << "auth_param negotiate keep_alive on\n";
      break;
  }
  return conf.str();
}

}  // namespace

const char* ProxyAuthName(ProxyAuth auth) {
  switch (auth) {
    case ProxyAuth::Basic: return "Basic";
    case ProxyAuth::Digest: return "Digest";
    case ProxyAuth::Ntlm: return "NTLM";
    case ProxyAuth::Negotiate: return "Negotiate";
  }
  return "?";
}

SquidProxy::SquidProxy(ProxyAuth auth, const std::string& user, const std::string& password,
                       const SquidAuthOptions& options) {
  char tmpl[] = "/tmp/zyra-squid-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return;
  dir_ = tmpl;
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  port_ = FreeLoopbackPort();
  std::ofstream(dir_ + "/squid.conf")
      << "http_port 127.0.0.1:" << port_ << "\n"
      << "pid_filename " << dir_ << "/squid.pid\n"
      << "cache_log " << dir_ << "/cache.log\n"
      << "access_log stdio:" << dir_ << "/access.log\n"
      << "coredump_dir " << dir_ << "\n"
      << "cache deny all\n"
         "cache_mem 4 MB\n"
         "visible_hostname zyra-test-proxy\n"
         "netdb_filename none\n"
         "shutdown_lifetime 0 seconds\n"
         "dns_v4_first on\n"
      << AuthLines(auth, dir_, user, password, options)
      << "acl authenticated proxy_auth REQUIRED\n"
         "http_access allow authenticated\n"
         "http_access deny all\n";
  // squid runs as its own user when started as root: it must read its
  // helpers' files and write its logs.
  if (const passwd* pw = ::getpwnam("proxy"); pw != nullptr && ::geteuid() == 0) {
    for (const auto& e : fs::recursive_directory_iterator(dir_))
      if (::chown(e.path().c_str(), pw->pw_uid, pw->pw_gid) != 0) break;
    if (::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      // squid then reports the log it cannot open; running() is false.
    }
  }
  ProcessOptions o;
  o.argv = {"squid", "-N", "-f", dir_ + "/squid.conf"};
  o.setEnv = options.env;
  o.stdoutFile = dir_ + "/squid.out";
  o.stderrFile = dir_ + "/squid.err";
  process_ = std::make_unique<Process>(o);
  for (int i = 0; i < 1000 && !AcceptsOnLoopback(port_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

SquidProxy::~SquidProxy() {
  process_.reset();
  std::error_code ec;
  if (!dir_.empty() && std::getenv("ZYRA_KEEP_MACHINES") == nullptr) fs::remove_all(dir_, ec);
}

bool SquidProxy::running() const { return process_ && AcceptsOnLoopback(port_); }

std::string SquidProxy::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::string SquidProxy::AccessLog() const { return ReadText(dir_ + "/access.log"); }

std::string SquidProxy::AccessLogWith(const std::regex& pattern, long count) const {
  std::string log = AccessLog();
  for (int i = 0; i < 2000; ++i) {
    const auto found =
        std::distance(std::sregex_iterator(log.begin(), log.end(), pattern), std::sregex_iterator());
    if (found >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    log = AccessLog();
  }
  return log;
}

std::string SquidProxy::CacheLog() const {
  return ReadText(dir_ + "/cache.log") + ReadText(dir_ + "/squid.err");
}

}  // namespace zyra_test
