#include "tests/support/kerberos_realm.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/loopback.h"

namespace fs = std::filesystem;

namespace zyra_test {
namespace {

// Ten years: the stub's clock runs a hundred times faster than the KDC's.
constexpr const char* kClockSkewSeconds = "315360000";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void GiveToSquid(const std::string& path) {
  if (const passwd* pw = ::getpwnam("proxy"); pw != nullptr && ::geteuid() == 0)
    if (::chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      // squid's helper then cannot read it and says so in squid's log.
    }
}

}  // namespace

KerberosRealm::KerberosRealm(const std::string& realm) : realm_(realm) {
  char tmpl[] = "/tmp/zyra-kdc-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    problem_ = "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  // squid's helpers (user proxy) read the configuration.
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  port_ = FreeLoopbackPort();
  std::string lower = realm_;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::ofstream(dir_ + "/krb5.conf")
      << "[libdefaults]\n"
         "  default_realm = " << realm_ << "\n"
         "  dns_lookup_realm = false\n"
         "  dns_lookup_kdc = false\n"
         "  rdns = false\n"
         "  dns_canonicalize_hostname = false\n"
         "  udp_preference_limit = 1\n"
         "  clockskew = " << kClockSkewSeconds << "\n"
         "  default_ccache_name = FILE:" << dir_ << "/no-ticket.ccache\n"
         "[realms]\n"
         "  " << realm_ << " = {\n"
         "    kdc = 127.0.0.1:" << port_ << "\n"
         "  }\n"
         "[domain_realm]\n"
         "  ." << lower << " = " << realm_ << "\n"
         "  " << lower << " = " << realm_ << "\n";
  std::ofstream(dir_ + "/kdc.conf")
      << "[kdcdefaults]\n"
         "  kdc_listen = 127.0.0.1:" << port_ << "\n"
         "  kdc_tcp_listen = 127.0.0.1:" << port_ << "\n"
         "[realms]\n"
         "  " << realm_ << " = {\n"
         "    database_name = " << dir_ << "/principal\n"
         "    key_stash_file = " << dir_ << "/stash\n"
         "    acl_file = " << dir_ << "/kadm5.acl\n"
         "    max_life = 7d\n"
         "    max_renewable_life = 7d\n"
         "  }\n"
         "[logging]\n"
         "  kdc = FILE:" << dir_ << "/kdc.log\n"
         "  default = FILE:" << dir_ << "/kdc.log\n";
  std::ofstream(dir_ + "/kadm5.acl") << "";
  if (!Tool({"kdb5_util", "-r", realm_, "create", "-s", "-P", "zyra-test-master-key"})) return;
  ProcessOptions o;
  o.argv = {"krb5kdc", "-n", "-r", realm_};
  o.setEnv = Environment();
  o.stdoutFile = dir_ + "/krb5kdc.out";
  o.stderrFile = dir_ + "/krb5kdc.err";
  kdc_ = std::make_unique<Process>(o);
  for (int i = 0; i < 1000 && !AcceptsOnLoopback(port_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!AcceptsOnLoopback(port_)) problem_ = "krb5kdc does not listen on 127.0.0.1:" + std::to_string(port_);
}

KerberosRealm::~KerberosRealm() {
  kdc_.reset();
  std::error_code ec;
  if (!dir_.empty() && std::getenv("ZYRA_KEEP_MACHINES") == nullptr) fs::remove_all(dir_, ec);
}

bool KerberosRealm::running() const { return problem_.empty() && kdc_ && AcceptsOnLoopback(port_); }

std::string KerberosRealm::Problem() const {
  return problem_ + "\nKDC folder " + dir_ + "\nkdc.log:\n" + ReadText(dir_ + "/kdc.log") +
         ReadText(dir_ + "/krb5kdc.err");
}

std::map<std::string, std::string> KerberosRealm::Environment() const {
  return {{"KRB5_CONFIG", dir_ + "/krb5.conf"},
          {"KRB5_KDC_PROFILE", dir_ + "/kdc.conf"},
          {"KRB5RCACHETYPE", "none"}};
}

bool KerberosRealm::Tool(const std::vector<std::string>& argv) {
  ProcessOptions o;
  o.argv = argv;
  o.setEnv = Environment();
  const std::string log = dir_ + "/tool-" + std::to_string(++tools_);
  o.stdoutFile = log + ".out";
  o.stderrFile = log + ".err";
  if (Run(o, 60) == 0) return true;
  std::string line;
  for (const auto& a : argv) line += a + " ";
  problem_ = "failed: " + line + "\n" + ReadText(o.stdoutFile) + ReadText(o.stderrFile);
  return false;
}

bool KerberosRealm::Admin(const std::string& query) {
  return Tool({"kadmin.local", "-r", realm_, "-q", query});
}

bool KerberosRealm::AddPrincipal(const std::string& name) {
  return Admin("addprinc -randkey " + name + "@" + realm_);
}

std::string KerberosRealm::ExportKeytab(const std::string& name) {
  std::string file = dir_ + "/";
  for (char c : name) file += c == '/' ? '_' : c;
  file += ".keytab";
  // -norandkey: the keys stay those the KDC issues tickets with.
  if (!Admin("ktadd -k " + file + " -norandkey " + name + "@" + realm_)) return "";
  GiveToSquid(file);
  return file;
}

std::string KerberosRealm::TicketCache(const std::string& name) {
  const std::string keytab = ExportKeytab(name);
  if (keytab.empty()) return "";
  const std::string cache = "FILE:" + dir_ + "/" + name + ".ccache";
  if (!Tool({"kinit", "-l", "7d", "-k", "-t", keytab, "-c", cache, name + "@" + realm_}))
    return "";
  return cache;
}

}  // namespace zyra_test
