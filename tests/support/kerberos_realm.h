#pragma once
// A Kerberos realm for tests: an MIT KDC (krb5kdc) on a free loopback port,
// with its database, its configuration and its log in a folder of its own
// (KRB5_CONFIG and KRB5_KDC_PROFILE name them; no system file or service is
// used). Stopped and removed with the object.
//
// The clock skew it allows (and that every program given Environment()
// allows) is ten years: the stub runs with its clock sped up.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace zyra_test {

class KerberosRealm {
 public:
  explicit KerberosRealm(const std::string& realm = "CORP.TEST");
  ~KerberosRealm();
  KerberosRealm(const KerberosRealm&) = delete;
  KerberosRealm& operator=(const KerberosRealm&) = delete;

  [[nodiscard]] bool running() const;
  [[nodiscard]] const std::string& realm() const { return realm_; }
  // What went wrong, with the KDC's log.
  [[nodiscard]] std::string Problem() const;

  // KRB5_CONFIG for every program of the realm, and no replay cache (the
  // tests run short-lived acceptors).
  [[nodiscard]] std::map<std::string, std::string> Environment() const;

  // A principal with a random key; false (see Problem) on failure.
  bool AddPrincipal(const std::string& name);
  // The principal's keys in a keytab of their own, readable by the user
  // "proxy" (squid's): the path, or "" on failure.
  std::string ExportKeytab(const std::string& name);
  // A ticket-granting ticket of the principal (kinit with its keytab) in a
  // file cache: its KRB5CCNAME ("FILE:..."), or "" on failure.
  std::string TicketCache(const std::string& name);

 private:
  bool Admin(const std::string& query);
  bool Tool(const std::vector<std::string>& argv);

  std::string realm_;
  std::string dir_;
  int port_ = 0;
  std::string problem_;
  std::unique_ptr<Process> kdc_;
  int tools_ = 0;
};

}  // namespace zyra_test
