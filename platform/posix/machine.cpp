#include "platform/posix/machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/posix/descriptor.h"

namespace platform::posix {
namespace {

thread_local win::DWORD g_lastError = 0;

bool Exists(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

// Appends one component to base, matching an existing entry ignoring case.
std::string Join(const std::string& base, const std::string& name) {
  std::string exact = base;
  if (!exact.empty() && exact.back() != '/') exact += '/';
  exact += name;
  if (name == "." || name == ".." || Exists(exact)) return exact;
  const ScopedDir dir(::opendir(base.empty() ? "." : base.c_str()));
  if (!dir.valid()) return exact;
  std::string found;
  while (dirent* e = ::readdir(dir.get())) {
    if (EqualsIgnoreCase(e->d_name, name)) {
      found = e->d_name;
      break;
    }
  }
  if (found.empty()) return exact;
  std::string result = base;
  if (!result.empty() && result.back() != '/') result += '/';
  return result + found;
}

std::vector<std::string> SplitComponents(const std::string& s) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : s) {
    if (c == '\\' || c == '/') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

std::string RealPathOr(const std::string& p) {
  char buf[PATH_MAX];
  if (::realpath(p.c_str(), buf) != nullptr) return buf;
  return p;
}

}  // namespace

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && StartsWithIgnoreCase(a, b);
}

bool StartsWithIgnoreCase(const std::string& s, const std::string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

std::string MachineRoot() {
  const char* env = std::getenv("ZYRA_MACHINE_ROOT");
  std::string root;
  if (env != nullptr && *env != '\0') {
    root = env;
  } else {
    const char* home = std::getenv("HOME");
    root = std::string(home != nullptr && *home != '\0' ? home : "/tmp") + "/.zyra-machine";
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

bool ToHostPath(const std::string& winPath, std::string& hostPath, win::DWORD& error) {
  if (winPath.empty()) {
    error = win::kErrorPathNotFound;
    return false;
  }
  const bool unc = winPath.size() >= 2 && (winPath[0] == '\\' || winPath[0] == '/') &&
                   (winPath[1] == '\\' || winPath[1] == '/');
  if (unc) {
    error = win::kErrorBadPathname;
    return false;
  }
  std::string base;
  std::string rest = winPath;
  if (winPath.size() >= 2 && std::isalpha(static_cast<unsigned char>(winPath[0])) &&
      winPath[1] == ':') {
    const char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(winPath[0])));
    if (drive == 'c') {
      base = MachineRoot() + "/drive_c";
    } else if (drive == 'z') {
      base = "/";
    } else {
      error = win::kErrorPathNotFound;
      return false;
    }
    rest = winPath.substr(2);
  } else if (winPath[0] == '\\' || winPath[0] == '/') {
    // Rooted without a drive: the current drive, which is C: here.
    base = MachineRoot() + "/drive_c";
  }
  std::string out = base;
  for (const std::string& part : SplitComponents(rest)) out = Join(out, part);
  if (out.empty()) out = ".";
  hostPath = out;
  error = win::kErrorSuccess;
  return true;
}

std::string ToWindowsPath(const std::string& hostPath) {
  const std::string real = RealPathOr(hostPath);
  const std::string drive = RealPathOr(MachineRoot() + "/drive_c");
  std::string tail;
  std::string prefix;
  if (real == drive) {
    return "C:\\";
  } else if (real.compare(0, drive.size() + 1, drive + "/") == 0) {
    prefix = "C:";
    tail = real.substr(drive.size());
  } else {
    prefix = "Z:";
    tail = real;
  }
  for (char& c : tail)
    if (c == '/') c = '\\';
  return prefix + tail;
}

win::DWORD ErrnoToWin32(int err) {
  switch (err) {
    case 0: return win::kErrorSuccess;
    case ENOENT: return win::kErrorFileNotFound;
    case ENOTDIR: return win::kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return win::kErrorAccessDenied;
    case EROFS: return win::kErrorWriteProtect;
    case EEXIST: return win::kErrorAlreadyExists;
    case EWOULDBLOCK: return win::kErrorSharingViolation;
    case ENOSPC:
    case EDQUOT: return win::kErrorDiskFull;
    case ENAMETOOLONG: return win::kErrorFilenameExcedRange;
    case EBADF: return win::kErrorInvalidHandle;
    default: return win::kErrorInvalidParameter;
  }
}

void SetLastError(win::DWORD error) { g_lastError = error; }
win::DWORD LastError() { return g_lastError; }

bool LockedByOther(int fd) {
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  ::flock(fd, LOCK_UN);
  return false;
}

bool HeldAgainstWriting(int fd) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 0;
  if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

bool IsHostDirectory(const std::string& hostPath) {
  struct stat st {};
  return ::stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HasReadOnlyAttribute(const std::string& hostPath) {
  struct stat st {};
  return ::stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

std::int64_t HostMonotonicMilliseconds() {
  struct timespec now {};
  ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string UserName() {
  const char* user = std::getenv("USER");
  if (user != nullptr && *user != '\0') return user;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_name != nullptr)
    return pw->pw_name;
  return "user";
}

bool MakeHostDirectory(const std::string& winPath, unsigned mode, std::string& hostPath) {
  win::DWORD err = 0;
  if (!ToHostPath(winPath, hostPath, err)) {
    SetLastError(err);
    return false;
  }
  if (::mkdir(hostPath.c_str(), static_cast<mode_t>(mode)) != 0) {
    const int e = errno;
    SetLastError(e == ENOENT ? win::kErrorPathNotFound : ErrnoToWin32(e));
    return false;
  }
  SetLastError(win::kErrorSuccess);
  return true;
}

}  // namespace platform::posix
