#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/test_socket.h"

namespace zyra_test::sock {

Handle ListenOnLoopback(int& port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return kNone;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 16) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(s);
    return kNone;
  }
  port = ntohs(addr.sin_port);
  return s;
}

int WaitReadable(Handle s, int ms) {
  pollfd p{static_cast<int>(s), POLLIN, 0};
  const int n = ::poll(&p, 1, ms);
  return n < 0 ? -1 : (n == 0 ? 0 : 1);
}

Handle Accept(Handle listener) {
  const int c = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return c < 0 ? kNone : c;
}

long Receive(Handle s, char* buffer, std::size_t size) {
  return static_cast<long>(::recv(static_cast<int>(s), buffer, size, 0));
}

long Send(Handle s, const char* data, std::size_t size) {
  return static_cast<long>(::send(static_cast<int>(s), data, size, MSG_NOSIGNAL));
}

void Close(Handle s) {
  if (s != kNone) ::close(static_cast<int>(s));
}

}  // namespace zyra_test::sock
