#include "tools/zyra-sign/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace zyra_sign {
namespace {

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return ::fsync(fd) == 0;
}

}  // namespace

bool WriteKeyFile(const std::string& path, const std::string& bytes, bool secret, bool replace,
                  std::string& error) {
  const mode_t mode = secret ? 0600 : 0644;
  std::string written = path;
  int fd = -1;
  if (replace) {
    // mkstemp creates the file with 0600, exclusively.
    std::vector<char> name(path.begin(), path.end());
    const char kSuffix[] = ".new-XXXXXX";
    name.insert(name.end(), kSuffix, kSuffix + sizeof kSuffix);
    fd = ::mkstemp(name.data());
    if (fd >= 0) written = name.data();
  } else {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  }
  if (fd < 0) {
    error = errno == EEXIST ? path + " exists: not replaced (--force replaces it)"
                            : "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes);
  const int saved = errno;
  if (::close(fd) != 0 || !ok) {
    error = "cannot write " + written + ": " + std::strerror(ok ? errno : saved);
    ::unlink(written.c_str());
    return false;
  }
  if (written != path && std::rename(written.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(written.c_str());
    return false;
  }
  return true;
}

}  // namespace zyra_sign
