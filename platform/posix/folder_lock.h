#pragma once
// An exclusive lock on a folder of the emulated machine (flock on the
// folder itself), held for the owner's scope.
#include <string>

#include "platform/posix/descriptor.h"

namespace platform::win::scm {

// Holds an exclusive lock on the service's folder: starts of one service
// are serialised across processes.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir);

 private:
  posix::ScopedFd fd_;
};

}  // namespace platform::win::scm
