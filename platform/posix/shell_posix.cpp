// Emulated shell folders, temporary folder and module file name.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/posix/machine.h"
#include "platform/shell.h"

namespace platform::win {
namespace {

bool IsWindowsFormAbsolute(const char* v) {
  return v != nullptr && std::isalpha(static_cast<unsigned char>(v[0])) && v[1] == ':' &&
         v[2] == '\\';
}

}  // namespace

HRESULT SHGetFolderPathA(int csidl, std::string& path) {
  std::string winPath;
  switch (csidl) {
    case kCsidlCommonAppData: winPath = "C:\\ProgramData"; break;
    case kCsidlAppData:
      winPath = "C:\\Users\\" + posix::UserName() + "\\AppData\\Roaming";
      break;
    default: return kHresultPathNotFound;
  }
  // A shell folder resolves only when its folder exists on the emulated drive.
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(winPath, host, err) || !posix::IsHostDirectory(host))
    return kHresultPathNotFound;
  path = winPath;
  return kSOk;
}

int SHCreateDirectoryExA(const std::string& path) {
  const bool absolute = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                        path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  if (!absolute) return static_cast<int>(kErrorBadPathname);
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(path, host, err)) return static_cast<int>(err);
  struct stat st {};
  if (::stat(host.c_str(), &st) == 0)
    return static_cast<int>(S_ISDIR(st.st_mode) ? kErrorAlreadyExists : kErrorFileExists);
  // Create every missing level, top down.
  for (std::size_t i = 1; i <= host.size(); ++i) {
    if (i != host.size() && host[i] != '/') continue;
    const std::string level = host.substr(0, i);
    if (::mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) {
      const int e = errno;
      return static_cast<int>(e == ENOENT ? kErrorPathNotFound : posix::ErrnoToWin32(e));
    }
  }
  return static_cast<int>(posix::IsHostDirectory(host) ? kErrorSuccess : kErrorFileExists);
}

DWORD GetTempPathA(std::string& path) {
  std::string result = "C:\\Windows\\Temp\\";
  for (const char* name : {"TMP", "TEMP"}) {
    const char* v = std::getenv(name);
    if (IsWindowsFormAbsolute(v)) {
      result = v;
      if (result.back() != '\\') result += '\\';
      break;
    }
  }
  path = result;
  return static_cast<DWORD>(result.size());
}

DWORD GetModuleFileNameA(std::string& path, DWORD size) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) {
    posix::SetLastError(posix::ErrnoToWin32(errno));
    return 0;
  }
  buf[n] = '\0';
  std::string whole = posix::ToWindowsPath(buf);
  // As the narrow call fills a buffer of size characters: a name that does
  // not fit with its terminating NUL is cut to size - 1 characters and the
  // call returns the buffer size.
  if (size == 0) {
    posix::SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
    return 0;
  }
  if (whole.size() >= size) {
    path = whole.substr(0, size - 1);
    posix::SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
    return size;
  }
  path = whole;
  posix::SetLastError(kErrorSuccess);
  return static_cast<DWORD>(path.size());
}

}  // namespace platform::win
