#pragma once
// The few TCP calls the test servers make, on loopback: BSD sockets on Linux,
// Winsock on Windows (the build picks test_socket_posix.cpp or
// test_socket_win32.cpp).
#include <cstddef>
#include <cstdint>

namespace zyra_test::sock {

using Handle = std::intptr_t;
inline constexpr Handle kNone = -1;

// A socket listening on 127.0.0.1 at a free port (port set), or kNone.
Handle ListenOnLoopback(int& port);
// 1 when the socket can be read (or accepted on) within ms, 0 on time-out,
// -1 on error.
int WaitReadable(Handle s, int ms);
Handle Accept(Handle listener);
// Bytes received or sent; 0 or less when the connection is gone.
long Receive(Handle s, char* buffer, std::size_t size);
long Send(Handle s, const char* data, std::size_t size);
void Close(Handle s);

}  // namespace zyra_test::sock
