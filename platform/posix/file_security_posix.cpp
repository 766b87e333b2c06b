// Emulated held files, renames, folder ownership and protected folders.
//
// Accounts: a folder's owner uid stands for the account that created it.
// root, and the uid the program runs as (which stands for SYSTEM or an
// administrator, the accounts the program runs as), are trusted; any other
// uid is a standard user. Group or other write permission stands for an
// access-list entry that lets other accounts write. A symbolic link stands
// for a reparse point (junction, symbolic link, mount point).
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/file_security.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/machine.h"

namespace platform::win {
namespace {

using posix::ErrnoToWin32;
using posix::SetLastError;

int Fd(void* h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h)) - 1; }
void* Handle(int fd) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1); }

// 3 when the folder of a missing entry is missing too, else 2.
DWORD MissingError(const std::string& host) {
  const auto slash = host.find_last_of('/');
  const std::string parent =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : host.substr(0, slash));
  return posix::IsHostDirectory(parent) ? kErrorFileNotFound : kErrorPathNotFound;
}

DWORD ErrorOf(int err, const std::string& host) {
  if (err == ENOENT) return MissingError(host);
  if (err == EBUSY) return kErrorSharingViolation;  // a mount point in use
  return ErrnoToWin32(err);
}

bool TrustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

// A Unix account's SID, in the form Samba gives it (S-1-22-1-<uid>).
std::string UnixUserSid(uid_t uid) { return "S-1-22-1-" + std::to_string(uid); }

// The account's name ("" when it has none).
std::string UserNameOf(uid_t uid) {
  std::vector<char> buffer(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return std::string();
  return found->pw_name;
}

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kFileTimeEpochOffset = 11644473600ull;

std::uint64_t ToFileTime(const struct timespec& t) {
  return (static_cast<std::uint64_t>(t.tv_sec) + kFileTimeEpochOffset) * 10000000ull +
         static_cast<std::uint64_t>(t.tv_nsec) / 100u;
}

}  // namespace

void FileHandleTraits::Free(void* handle) noexcept {
  posix::FdTraits::Free(Fd(handle));  // releases its locks
}

FileHandle CreateFileA(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) {
  if (access != kGenericRead || disposition != kOpenExisting) {
    SetLastError(kErrorInvalidParameter);
    return FileHandle();
  }
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(path, host, err)) {
    SetLastError(err);
    return FileHandle();
  }
  const bool noFollow = (flags & kFileFlagOpenReparsePoint) != 0;
  posix::ScopedFd owned(::open(host.c_str(), O_RDONLY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0)));
  if (!owned.valid()) {
    const int e = errno;
    // The link itself cannot be opened here (Windows would open the reparse
    // point, whose content is not the file's).
    SetLastError(e == ELOOP ? kErrorCantAccessFile : ErrorOf(e, host));
    return FileHandle();
  }
  const int fd = owned.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    SetLastError(kErrorAccessDenied);
    return FileHandle();
  }
  // Held by another handle that shares nothing; or, for a handle that
  // shares nothing itself, held by any other handle at all.
  if (posix::LockedByOther(fd) ||
      ((share & kFileShareRead) == 0 && posix::HeldAgainstWriting(fd))) {
    SetLastError(kErrorSharingViolation);
    return FileHandle();
  }
  bool held = true;
  if ((share & kFileShareRead) == 0) {
    held = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  } else if ((share & (kFileShareWrite | kFileShareDelete)) !=
             (kFileShareWrite | kFileShareDelete)) {
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    held = ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
  }
  if (!held) {
    SetLastError(kErrorSharingViolation);
    return FileHandle();
  }
  SetLastError(kErrorSuccess);
  return FileHandle(Handle(owned.release()));
}

BOOL ReadFile(const FileHandle& file, void* buffer, DWORD size, DWORD* read) {
  if (!file.valid() || read == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  const ssize_t n = posix::RetryOnEintr([&] { return ::read(Fd(file.get()), buffer, size); });
  if (n < 0) {
    SetLastError(ErrnoToWin32(errno));
    *read = 0;
    return 0;
  }
  *read = static_cast<DWORD>(n);
  SetLastError(kErrorSuccess);
  return 1;
}

BOOL MoveFileExA(const std::string& from, const std::string& to, DWORD flags) {
  std::string hostFrom;
  std::string hostTo;
  DWORD err = 0;
  if (!posix::ToHostPath(from, hostFrom, err) || !posix::ToHostPath(to, hostTo, err)) {
    SetLastError(err);
    return 0;
  }
  struct stat st {};
  if (::lstat(hostFrom.c_str(), &st) != 0) {
    SetLastError(ErrorOf(errno, hostFrom));
    return 0;
  }
  // A file that another handle holds cannot be moved, nor replaced.
  for (const std::string* p : {&hostFrom, &hostTo}) {
    posix::ScopedFd probe(::open(p->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!probe.valid()) continue;
    const int fd = probe.get();
    struct stat fst {};
    const bool held = ::fstat(fd, &fst) == 0 && S_ISREG(fst.st_mode) &&
                      (posix::LockedByOther(fd) || posix::HeldAgainstWriting(fd));
    probe.reset();
    if (held) {
      SetLastError(p == &hostFrom ? kErrorSharingViolation : kErrorAccessDenied);
      return 0;
    }
  }
  // Windows replaces no file that has the read-only attribute.
  if ((flags & kMoveFileReplaceExisting) != 0 && posix::HasReadOnlyAttribute(hostTo)) {
    SetLastError(kErrorAccessDenied);
    return 0;
  }
  const unsigned int how = (flags & kMoveFileReplaceExisting) != 0 ? 0 : RENAME_NOREPLACE;
  if (::renameat2(AT_FDCWD, hostFrom.c_str(), AT_FDCWD, hostTo.c_str(), how) != 0) {
    const int e = errno;
    SetLastError(e == EEXIST ? kErrorAlreadyExists : ErrorOf(e, hostTo));
    return 0;
  }
  if ((flags & kMoveFileWriteThrough) != 0) {
    // The rename is on the disk once the folder that holds the new name is.
    const auto slash = hostTo.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : hostTo.substr(0, slash));
    posix::ScopedFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || ::fsync(dir.get()) != 0) {
      SetLastError(ErrnoToWin32(errno));
      return 0;
    }
  }
  SetLastError(kErrorSuccess);
  return 1;
}

DWORD InspectFolder(const std::string& path, FolderInfo& info) {
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(path, host, err)) return err;
  struct stat st {};
  if (::lstat(host.c_str(), &st) != 0) return ErrorOf(errno, host);
  if (!S_ISLNK(st.st_mode) && (st.st_mode & 07777) == 0) return kErrorAccessDenied;
  info = FolderInfo();
  if (S_ISLNK(st.st_mode)) {
    struct stat target {};
    info.attributes = kFileAttributeReparsePoint |
                      (::stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode)
                           ? kFileAttributeDirectory
                           : kFileAttributeArchive);
  } else {
    info.attributes = S_ISDIR(st.st_mode) ? kFileAttributeDirectory : kFileAttributeArchive;
  }
  info.ownerTrusted = TrustedOwner(st.st_uid);
  info.othersMayWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  info.lastWriteTime = ToFileTime(st.st_mtim);
  info.volumeSerial = static_cast<DWORD>(st.st_dev);
  info.fileIndex = static_cast<std::uint64_t>(st.st_ino);
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.ownerSid = UnixUserSid(st.st_uid);
  info.ownerName = UserNameOf(st.st_uid);
  if (info.ownerName.empty()) info.ownerName = info.ownerSid;
  return kErrorSuccess;
}

BOOL LookupAccountNameA(const std::string& account, std::string& sid) {
  for (const char* system : {"LocalSystem", "SYSTEM", "NT AUTHORITY\\SYSTEM"}) {
    if (posix::EqualsIgnoreCase(account, system)) {
      sid = "S-1-5-18";
      SetLastError(kErrorSuccess);
      return 1;
    }
  }
  // ".\name" and "MACHINE\name" are the local account name.
  const auto sep = account.find('\\');
  const std::string name = sep == std::string::npos ? account : account.substr(sep + 1);
  std::vector<char> buffer(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (name.empty() || ::getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    SetLastError(kErrorNoneMapped);
    return 0;
  }
  sid = UnixUserSid(found->pw_uid);
  SetLastError(kErrorSuccess);
  return 1;
}

std::uint64_t GetSystemTimeAsFileTime() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return ToFileTime(now);
}

BOOL CreateProtectedDirectoryA(const std::string& path) {
  std::string host;
  if (!posix::MakeHostDirectory(path, 0700, host)) return 0;
  // Everyone may look inside; only the owner (SYSTEM, Administrators) may
  // change anything, whatever the process's umask.
  ::chmod(host.c_str(), 0755);
  SetLastError(kErrorSuccess);
  return 1;
}

}  // namespace platform::win
