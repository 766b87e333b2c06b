#pragma once
// A network of the test's own: the calling thread moves into a fresh network
// namespace (only a loopback interface, brought up) and a fresh mount
// namespace in which /etc/hosts is a file of the test's. Every process the
// test starts from then on inherits both, so servers, the stub and Wine meet
// on a loopback no other test sees, and names such as proxy.corp.test
// resolve without any DNS. The thread returns to the namespaces it came from
// when the object goes.
//
// Needs the right to create namespaces (root, or a kernel that lets this
// user); without it ok() is false and problem() says why.
#include <string>

namespace zyra_test {

class PrivateNetwork {
 public:
  // hostsText: the whole hosts file inside the network (localhost lines are
  // added in front).
  explicit PrivateNetwork(const std::string& hostsText);
  ~PrivateNetwork();
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  [[nodiscard]] bool ok() const { return problem_.empty(); }
  [[nodiscard]] const std::string& problem() const { return problem_; }

 private:
  std::string problem_;
  std::string dir_;
  int oldNet_ = -1;
  int oldMnt_ = -1;
  int oldCwd_ = -1;
  bool entered_ = false;
};

}  // namespace zyra_test
