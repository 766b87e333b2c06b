#include "platform/posix/descriptor.h"

namespace platform::posix {

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t w = RetryOnEintr([&] { return ::write(fd, p, size); });
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    p += w;
    size -= static_cast<std::size_t>(w);
  }
  return true;
}

std::size_t ReadAll(int fd, void* buffer, std::size_t size) {
  char* p = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t r = RetryOnEintr([&] { return ::read(fd, p + got, size - got); });
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

void ReadAll(int fd, std::string& out) {
  char buf[4096];
  for (;;) {
    const std::size_t r = ReadAll(fd, buf, sizeof buf);
    out.append(buf, r);
    if (r < sizeof buf) return;
  }
}

}  // namespace platform::posix
