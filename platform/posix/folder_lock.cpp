#include "platform/posix/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>

namespace platform::win::scm {

FolderLock::FolderLock(const std::string& dir)
    : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (fd_.valid()) (void)posix::RetryOnEintr([this] { return ::flock(fd_.get(), LOCK_EX); });
}

}  // namespace platform::win::scm
