#include "tools/zyra-sign/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/posix/descriptor.h"

namespace zyra_sign {

bool WriteKeyFile(const std::string& path, const std::string& bytes, bool secret, bool replace,
                  std::string& error) {
  const mode_t mode = secret ? 0600 : 0644;
  std::string written = path;
  platform::posix::ScopedFd fd;
  if (replace) {
    // mkstemp creates the file with 0600, exclusively.
    std::vector<char> name(path.begin(), path.end());
    const char kSuffix[] = ".new-XXXXXX";
    name.insert(name.end(), kSuffix, kSuffix + sizeof kSuffix);
    fd.reset(::mkstemp(name.data()));
    if (fd) written = name.data();
  } else {
    fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  }
  if (!fd) {
    error = errno == EEXIST ? path + " exists: not replaced (--force replaces it)"
                            : "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = ::fchmod(fd.get(), mode) == 0 &&
                  platform::posix::WriteAll(fd.get(), bytes.data(), bytes.size()) &&
                  ::fsync(fd.get()) == 0;
  const int saved = errno;
  // Closing is the last chance to hear of a failed write.
  if (::close(fd.release()) != 0 || !ok) {
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

bool InputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

}  // namespace zyra_sign
