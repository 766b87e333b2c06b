// Emulated named mutexes: kernel objects of the machine, kept as two files
// in $ZYRA_MACHINE_ROOT/kernel-objects/ per name.
//
//   <name>.handles  every open handle holds a shared flock on it, so the
//                   object exists while any process has a handle; the one
//                   that finds no other handle makes the object afresh.
//   <name>.owner    the owner holds an exclusive flock on it and writes its
//                   pid into it; a release empties it first. The kernel drops
//                   the flock when the owner's process ends, so a waiter that
//                   then gets it finds the pid still written: the owner
//                   ended without releasing it (WAIT_ABANDONED).
//
// "Global\" and "Local\" name the same object: the machine has one session.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/descriptor.h"
#include "platform/posix/machine.h"
#include "platform/sync.h"

namespace platform::win {

struct MutexTag {
  posix::ScopedFd handles;
  posix::ScopedFd owner;
  int ownedCount = 0;
};

namespace {

using posix::SetLastError;

// The object's file name: the name without its namespace, with every
// character a file name cannot hold replaced.
std::string ObjectFileName(const std::string& name) {
  std::string bare = name;
  for (const char* ns : {"Global\\", "Local\\"}) {
    if (posix::StartsWithIgnoreCase(bare, ns)) {
      bare.erase(0, std::char_traits<char>::length(ns));
      break;
    }
  }
  for (char& c : bare)
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  return "mutex." + bare;
}

bool FlockRetrying(int fd, int operation) {
  return posix::RetryOnEintr([&] { return ::flock(fd, operation); }) == 0;
}

}  // namespace

void MutexHandleTraits::Free(MutexRef mutex) noexcept { delete mutex; }

MutexHandle CreateMutexA(const std::string& name) {
  const std::string bare = name.empty() ? std::string() : ObjectFileName(name);
  if (bare.empty() || bare.size() > 255) {
    SetLastError(kErrorInvalidParameter);
    return MutexHandle();
  }
  const std::string folder = posix::MachineRoot() + "/kernel-objects";
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    SetLastError(posix::ErrnoToWin32(errno));
    return MutexHandle();
  }
  const std::string base = folder + "/" + bare;
  posix::ScopedFd handles(::open((base + ".handles").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  posix::ScopedFd owner(::open((base + ".owner").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!handles.valid() || !owner.valid()) {
    SetLastError(posix::ErrnoToWin32(errno));
    return MutexHandle();
  }
  DWORD existed = kErrorAlreadyExists;
  if (::flock(handles.get(), LOCK_EX | LOCK_NB) == 0) {
    // No other handle: the object is made afresh, and whatever a process
    // that ended long ago left in the owner file is not this object's.
    existed = kErrorSuccess;
    if (::ftruncate(owner.get(), 0) != 0) {
      SetLastError(posix::ErrnoToWin32(errno));
      return MutexHandle();
    }
  }
  if (!FlockRetrying(handles.get(), LOCK_SH)) {
    SetLastError(posix::ErrnoToWin32(errno));
    return MutexHandle();
  }
  auto* tag = new MutexTag;
  tag->handles = std::move(handles);
  tag->owner = std::move(owner);
  SetLastError(existed);
  return MutexHandle(tag);
}

DWORD WaitForSingleObject(const MutexHandle& mutex, DWORD milliseconds) {
  if (!mutex.valid()) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  MutexTag& m = *mutex.get();
  if (m.ownedCount > 0) {
    ++m.ownedCount;
    return kWaitObject0;
  }
  const int fd = m.owner.get();
  if (milliseconds == kInfinite) {
    if (!FlockRetrying(fd, LOCK_EX)) {
      SetLastError(posix::ErrnoToWin32(errno));
      return kWaitFailed;
    }
  } else {
    struct timespec start {};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
      if (errno != EWOULDBLOCK && errno != EINTR) {
        SetLastError(posix::ErrnoToWin32(errno));
        return kWaitFailed;
      }
      struct timespec now {};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const long long waited = (now.tv_sec - start.tv_sec) * 1000LL +
                               (now.tv_nsec - start.tv_nsec) / 1000000LL;
      if (waited >= static_cast<long long>(milliseconds)) return kWaitTimeout;
      struct timespec pause {0, 10 * 1000 * 1000};
      ::nanosleep(&pause, nullptr);
    }
  }
  // A pid still written there: its owner ended while holding it.
  struct stat st {};
  const bool abandoned = ::fstat(fd, &st) == 0 && st.st_size > 0;
  const std::string mine = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, mine.data(), mine.size(), 0) < 0) {
    const int err = errno;
    ::flock(fd, LOCK_UN);
    SetLastError(posix::ErrnoToWin32(err));
    return kWaitFailed;
  }
  m.ownedCount = 1;
  return abandoned ? kWaitAbandoned : kWaitObject0;
}

BOOL ReleaseMutex(const MutexHandle& mutex) {
  if (!mutex.valid()) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  MutexTag& m = *mutex.get();
  if (m.ownedCount == 0) {
    SetLastError(kErrorNotOwner);
    return 0;
  }
  if (--m.ownedCount > 0) return 1;
  // Emptied before the flock goes, so the next owner finds a clean release.
  const bool emptied = ::ftruncate(m.owner.get(), 0) == 0;
  ::flock(m.owner.get(), LOCK_UN);
  SetLastError(emptied ? kErrorSuccess : posix::ErrnoToWin32(errno));
  return 1;
}

}  // namespace platform::win
