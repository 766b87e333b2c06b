#pragma once
// Loopback helpers for tests that start servers of their own.
#include <string>

namespace zyra_test {

// A free TCP port on 127.0.0.1 (free when asked).
[[nodiscard]] int FreeLoopbackPort();
// Whether something accepts connections on 127.0.0.1:port.
[[nodiscard]] bool AcceptsOnLoopback(int port);

// A self-signed certificate for 127.0.0.1 and localhost in dir, made with
// the openssl tool (once per dir).
struct TestCertificate {
  std::string cert;
  std::string key;
};
TestCertificate MakeLoopbackCertificate(const std::string& dir);

}  // namespace zyra_test
