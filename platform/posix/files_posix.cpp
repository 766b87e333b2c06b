// Emulated Windows file functions over the host file system.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/machine.h"

namespace platform::win {
namespace {

using posix::ErrnoToWin32;
using posix::RetryOnEintr;
using posix::ScopedDir;
using posix::ScopedFd;

// The error Windows gives for a missing file: 3 when its folder is missing
// as well, otherwise 2.
DWORD MissingError(const std::string& hostPath) {
  const auto slash = hostPath.find_last_of('/');
  const std::string parent =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : hostPath.substr(0, slash));
  return posix::IsHostDirectory(parent) ? kErrorFileNotFound : kErrorPathNotFound;
}

DWORD OpenError(int err, const std::string& hostPath) {
  return err == ENOENT ? MissingError(hostPath) : ErrnoToWin32(err);
}

// Windows sharing rules: a file that another process holds under an
// exclusive lock cannot be opened (nor deleted). flock(LOCK_EX) stands for
// that lock here. The probe lock is released at once.
bool LockedByOther(int fd) { return posix::LockedByOther(fd); }

// Text-mode stream over a binary descriptor, as the Windows C runtime does
// it: LF is written as CR LF, CR LF is read as LF.
struct TextCookie {
  ScopedFd fd;
  std::vector<char> raw = std::vector<char>(64 * 1024);
  std::size_t pos = 0;
  std::size_t len = 0;
  bool eof = false;

  bool Fill() {
    if (eof) return false;
    const ssize_t n = RetryOnEintr([this] { return ::read(fd.get(), raw.data(), raw.size()); });
    if (n <= 0) {
      eof = true;
      return false;
    }
    pos = 0;
    len = static_cast<std::size_t>(n);
    return true;
  }
};

ssize_t TextRead(void* c, char* buf, std::size_t size) {
  auto* ck = static_cast<TextCookie*>(c);
  std::size_t out = 0;
  while (out < size) {
    if (ck->pos == ck->len && !ck->Fill()) break;
    char ch = ck->raw[ck->pos++];
    if (ch == '\r') {
      if (ck->pos == ck->len) ck->Fill();
      if (ck->pos < ck->len && ck->raw[ck->pos] == '\n') {
        ++ck->pos;
        ch = '\n';
      }
    }
    buf[out++] = ch;
  }
  return static_cast<ssize_t>(out);
}

ssize_t TextWrite(void* c, const char* buf, std::size_t size) {
  auto* ck = static_cast<TextCookie*>(c);
  std::string out;
  out.reserve(size + size / 16 + 2);
  for (std::size_t i = 0; i < size; ++i) {
    if (buf[i] == '\n') out += '\r';
    out += buf[i];
  }
  if (!posix::WriteAll(ck->fd.get(), out.data(), out.size())) return -1;
  return static_cast<ssize_t>(size);
}

int TextClose(void* c) {
  auto* ck = static_cast<TextCookie*>(c);
  const int rc = ::close(ck->fd.release());
  delete ck;
  return rc;
}

struct ParsedMode {
  int flags = 0;
  bool text = true;
  bool truncate = false;
  const char* stdioMode = "r";
};

bool ParseMode(const char* mode, ParsedMode& pm) {
  if (mode == nullptr || *mode == '\0') return false;
  const bool plus = std::strchr(mode, '+') != nullptr;
  pm.text = std::strchr(mode, 'b') == nullptr;
  switch (mode[0]) {
    case 'r':
      pm.flags = plus ? O_RDWR : O_RDONLY;
      pm.stdioMode = plus ? "r+" : "r";
      break;
    case 'w':
      pm.flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT;
      pm.truncate = true;
      pm.stdioMode = plus ? "w+" : "w";
      break;
    case 'a':
      pm.flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      pm.stdioMode = plus ? "a+" : "a";
      break;
    default: return false;
  }
  return true;
}

struct FindState {
  std::vector<FindData> entries;
  std::size_t next = 0;
};

}  // namespace

DWORD GetLastError() { return posix::LastError(); }

void SetLastError(DWORD error) { posix::SetLastError(error); }

namespace {

// The last error of a stream write that failed: errno of the failing
// write(2) (ENOSPC: 112), which the C library leaves as it was; 29
// (ERROR_WRITE_FAULT) when there is none.
BOOL StreamFailed(int err) {
  SetLastError(err != 0 ? ErrnoToWin32(err) : kErrorWriteFault);
  return 0;
}

}  // namespace

BOOL CloseFile(FilePtr& file) {
  std::FILE* f = file.release();
  if (f == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  // errno still holds what an earlier failed write of the stream left.
  const bool flushed = std::fflush(f) == 0 && std::ferror(f) == 0;
  const int flushError = errno;
  errno = 0;
  const bool closed = std::fclose(f) == 0;
  if (!flushed) return StreamFailed(flushError);
  if (!closed) return StreamFailed(errno);
  return 1;
}

BOOL FlushFileBuffers(std::FILE* file) {
  if (file == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  if (std::fflush(file) != 0 || std::ferror(file) != 0) return StreamFailed(errno);
  const int fd = ::fileno(file);
  if (fd < 0 || ::fsync(fd) != 0) return StreamFailed(errno != 0 ? errno : EBADF);
  return 1;
}

FilePtr OpenFile(const std::string& path, const char* mode) {
  ParsedMode pm;
  if (!ParseMode(mode, pm)) {
    SetLastError(kErrorInvalidParameter);
    return FilePtr();
  }
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(path, host, err)) {
    SetLastError(err);
    return FilePtr();
  }
  // Non-blocking, so that a FIFO never holds the caller up; only a plain
  // file (or a device) is opened, and it is made blocking again.
  ScopedFd owned(::open(host.c_str(), pm.flags | O_CLOEXEC | O_NONBLOCK, 0666));
  if (!owned.valid()) {
    SetLastError(OpenError(errno, host));
    return FilePtr();
  }
  const int fd = owned.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) ||
      S_ISSOCK(st.st_mode) ||
      // A read-only file cannot be opened for writing.
      ((pm.flags & (O_WRONLY | O_RDWR)) != 0 && S_ISREG(st.st_mode) &&
       (st.st_mode & S_IWUSR) == 0)) {
    SetLastError(kErrorAccessDenied);
    return FilePtr();
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (LockedByOther(fd)) {
    SetLastError(kErrorSharingViolation);
    return FilePtr();
  }
  // A file another handle shares for reading only cannot be written.
  if ((pm.flags & (O_WRONLY | O_RDWR)) != 0 && posix::HeldAgainstWriting(fd)) {
    SetLastError(kErrorSharingViolation);
    return FilePtr();
  }
  if (pm.truncate && ::ftruncate(fd, 0) != 0) {
    SetLastError(ErrnoToWin32(errno));
    return FilePtr();
  }
  std::FILE* f = nullptr;
  if (pm.text) {
    auto* cookie = new TextCookie;
    cookie->fd = std::move(owned);
    cookie_io_functions_t io{};
    io.read = TextRead;
    io.write = TextWrite;
    io.close = TextClose;
    f = ::fopencookie(cookie, pm.stdioMode, io);
    if (f == nullptr) delete cookie;
  } else {
    f = ::fdopen(fd, pm.stdioMode);
    if (f != nullptr) (void)owned.release();  // the stream closes it now
  }
  if (f == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return FilePtr();
  }
  SetLastError(kErrorSuccess);
  return FilePtr(f);
}

BOOL CreateDirectoryA(const std::string& path) {
  std::string host;
  return posix::MakeHostDirectory(path, 0777, host) ? 1 : 0;
}

BOOL DeleteFileA(const std::string& path) {
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(path, host, err)) {
    SetLastError(err);
    return 0;
  }
  struct stat st {};
  if (::lstat(host.c_str(), &st) != 0) {
    SetLastError(OpenError(errno, host));
    return 0;
  }
  // A folder, and a file with the read-only attribute, are not deleted.
  if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0)) {
    SetLastError(kErrorAccessDenied);
    return 0;
  }
  ScopedFd probe(::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (probe.valid()) {
    const bool locked = LockedByOther(probe.get()) || posix::HeldAgainstWriting(probe.get());
    probe.reset();
    if (locked) {
      SetLastError(kErrorSharingViolation);
      return 0;
    }
  }
  if (::unlink(host.c_str()) != 0) {
    SetLastError(ErrnoToWin32(errno));
    return 0;
  }
  SetLastError(kErrorSuccess);
  return 1;
}

void FindHandleTraits::Free(void* handle) noexcept { delete static_cast<FindState*>(handle); }

FindHandle FindFirstFileA(const std::string& pattern, FindData& data) {
  const auto sep = pattern.find_last_of("\\/");
  const std::string folder = sep == std::string::npos ? std::string() : pattern.substr(0, sep);
  const std::string mask = sep == std::string::npos ? pattern : pattern.substr(sep + 1);
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(folder.empty() ? "." : folder, host, err)) {
    SetLastError(err);
    return FindHandle();
  }
  const ScopedDir dir(::opendir(host.c_str()));
  if (!dir.valid()) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? kErrorPathNotFound : ErrnoToWin32(errno));
    return FindHandle();
  }
  auto* state = new FindState;
  const bool all = mask == "*" || mask == "*.*";
  while (dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    // A backslash separates path components on Windows: a host name that
    // holds one has no Windows name, and is not listed.
    if (name.find('\\') != std::string::npos) continue;
    if (!all && ::fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    FindData fd;
    fd.cFileName = name;
    struct stat st {};
    const std::string full = host + "/" + name;
    if (::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      fd.dwFileAttributes = kFileAttributeDirectory;
    } else {
      fd.dwFileAttributes = kFileAttributeArchive;
      if (posix::HasReadOnlyAttribute(full)) fd.dwFileAttributes |= kFileAttributeReadonly;
    }
    // A symbolic link stands for a reparse point (junction or link).
    struct stat lst {};
    if (::lstat(full.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode))
      fd.dwFileAttributes |= kFileAttributeReparsePoint;
    state->entries.push_back(fd);
  }
  if (state->entries.empty()) {
    delete state;
    SetLastError(kErrorFileNotFound);
    return FindHandle();
  }
  data = state->entries[0];
  state->next = 1;
  SetLastError(kErrorSuccess);
  return FindHandle(state);
}

BOOL FindNextFileA(FindHandle& handle, FindData& data) {
  auto* state = static_cast<FindState*>(handle.get());
  if (state == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  if (state->next >= state->entries.size()) {
    SetLastError(kErrorNoMoreFiles);
    return 0;
  }
  data = state->entries[state->next++];
  SetLastError(kErrorSuccess);
  return 1;
}

std::string HostPath(const std::string& path) {
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(path, host, err)) return path;
  return host;
}

std::string FromHostPath(const std::string& hostPath) {
  if (!hostPath.empty() && hostPath[0] == '/') return posix::ToWindowsPath(hostPath);
  return hostPath;
}

}  // namespace platform::win
