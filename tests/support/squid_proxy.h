#pragma once
// A real authenticating proxy for tests: squid on a free loopback port with a
// configuration of its own (never the system service), asking for one user
// by Basic, Digest or NTLM through squid's own helpers. Stopped with the
// object.
#include <map>
#include <memory>
#include <regex>
#include <string>

#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace zyra_test {

enum class ProxyAuth { Basic, Digest, Ntlm, Negotiate };

// What the helpers of some schemes need besides a user.
struct SquidAuthOptions {
  // Negotiate: the keytab with the proxy's service keys and its principal
  // ("HTTP/proxy.corp.test@CORP.TEST"), checked by negotiate_kerberos_auth.
  std::string keytab;
  std::string servicePrincipal;
  // Ntlm: a helper program (squid's NTLM helper protocol) in place of
  // ntlm_fake_auth, with its arguments.
  std::vector<std::string> ntlmHelper;
  // For squid and its helpers (KRB5_CONFIG, ...).
  std::map<std::string, std::string> env;
};

[[nodiscard]] const char* ProxyAuthName(ProxyAuth auth);

class SquidProxy {
 public:
  // squid accepts user with password (Basic and Digest); its NTLM helper
  // (ntlm_fake_auth) accepts any user that completes the NTLM exchange.
  // Negotiate accepts any principal with a valid service ticket for the
  // proxy (user and password unused).
  SquidProxy(ProxyAuth auth, const std::string& user, const std::string& password,
             const SquidAuthOptions& options = SquidAuthOptions());
  ~SquidProxy();
  SquidProxy(const SquidProxy&) = delete;
  SquidProxy& operator=(const SquidProxy&) = delete;

  [[nodiscard]] bool running() const;
  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string address() const;  // "127.0.0.1:port"
  // squid's access log so far: one line per request, with the user name of
  // an authenticated request in its eighth field ("-" when none).
  [[nodiscard]] std::string AccessLog() const;
  // The access log once it holds at least count lines matching pattern, or
  // as it stands after 20 s: squid logs a tunnel when it has seen the
  // connection close, a moment after the client has gone.
  [[nodiscard]] std::string AccessLogWith(const std::regex& pattern, long count) const;
  // squid's own log, for failure messages.
  [[nodiscard]] std::string CacheLog() const;

 private:
  std::string dir_;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

}  // namespace zyra_test
