#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/test_socket.h"

namespace zyra_test::sock {
namespace {

bool Started() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET S(Handle h) { return static_cast<SOCKET>(h); }

}  // namespace

Handle ListenOnLoopback(int& port) {
  if (!Started()) return kNone;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNone;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 16) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::closesocket(s);
    return kNone;
  }
  port = ntohs(addr.sin_port);
  return static_cast<Handle>(s);
}

int WaitReadable(Handle s, int ms) {
  WSAPOLLFD p{S(s), POLLRDNORM, 0};
  const int n = ::WSAPoll(&p, 1, ms);
  return n < 0 ? -1 : (n == 0 ? 0 : 1);
}

Handle Accept(Handle listener) {
  const SOCKET c = ::accept(S(listener), nullptr, nullptr);
  return c == INVALID_SOCKET ? kNone : static_cast<Handle>(c);
}

long Receive(Handle s, char* buffer, std::size_t size) {
  return ::recv(S(s), buffer, static_cast<int>(size), 0);
}

long Send(Handle s, const char* data, std::size_t size) {
  return ::send(S(s), data, static_cast<int>(size), 0);
}

void Close(Handle s) {
  if (s != kNone) ::closesocket(S(s));
}

}  // namespace zyra_test::sock
