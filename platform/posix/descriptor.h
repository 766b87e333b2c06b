#pragma once
// POSIX descriptors on the emulated machine: their owners, and reads and
// writes that survive EINTR and short transfers. WriteAll and the buffer
// form of ReadAll make plain system calls only, so a forked child and a
// signal handler may call them.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "platform/scoped_generic.h"

namespace platform::posix {

struct FdTraits {
  static constexpr int InvalidValue() noexcept { return -1; }
  static void Free(int fd) noexcept { ::close(fd); }
};

// Owns one descriptor and closes it when it goes.
using ScopedFd = ScopedGeneric<int, FdTraits>;

struct DirTraits {
  static constexpr DIR* InvalidValue() noexcept { return nullptr; }
  static void Free(DIR* dir) noexcept { ::closedir(dir); }
};

// Owns one open folder listing (opendir) and closes it when it goes.
using ScopedDir = ScopedGeneric<DIR*, DirTraits>;

// Calls f again while it fails with EINTR; returns its last result.
template <typename F>
auto RetryOnEintr(F&& f) -> decltype(f()) {
  for (;;) {
    const auto result = f();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

// Writes all size bytes; false on failure, with errno set (EIO when the
// descriptor took nothing).
bool WriteAll(int fd, const void* data, std::size_t size);

// Reads until size bytes have come, the end of the data or a failure;
// returns how many bytes came.
std::size_t ReadAll(int fd, void* buffer, std::size_t size);

// Appends everything up to the end of the data (or a failure) to out.
void ReadAll(int fd, std::string& out);

}  // namespace platform::posix
