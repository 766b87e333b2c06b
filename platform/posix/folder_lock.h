#pragma once
// An exclusive lock on a folder of the emulated machine (flock on the
// folder itself), held for the owner's scope.
#include <string>

namespace platform::win::scm {

// Holds an exclusive lock on the service's folder: starts of one service
// are serialised across processes.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

}  // namespace platform::win::scm
