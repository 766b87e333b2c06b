// Windows file functions: the ANSI Win32 calls and the C runtime's fopen.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/files.h"

namespace platform::win {

DWORD GetLastError() { return ::GetLastError(); }

FilePtr OpenFile(const std::string& path, const char* mode) {
  std::FILE* f = std::fopen(path.c_str(), mode);
  return FilePtr(f);
}

BOOL CreateDirectoryA(const std::string& path) { return ::CreateDirectoryA(path.c_str(), nullptr); }

BOOL DeleteFileA(const std::string& path) { return ::DeleteFileA(path.c_str()); }

void FindHandleTraits::Free(void* handle) noexcept { ::FindClose(static_cast<HANDLE>(handle)); }

namespace {
void Copy(const WIN32_FIND_DATAA& src, FindData& dst) {
  dst.dwFileAttributes = src.dwFileAttributes;
  dst.cFileName = src.cFileName;
}
}  // namespace

FindHandle FindFirstFileA(const std::string& pattern, FindData& data) {
  WIN32_FIND_DATAA fd{};
  HANDLE h = ::FindFirstFileA(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return FindHandle();
  Copy(fd, data);
  return FindHandle(h);
}

BOOL FindNextFileA(FindHandle& handle, FindData& data) {
  WIN32_FIND_DATAA fd{};
  if (!::FindNextFileA(static_cast<HANDLE>(handle.get()), &fd)) return FALSE;
  Copy(fd, data);
  return TRUE;
}

std::string HostPath(const std::string& path) { return path; }

std::string FromHostPath(const std::string& hostPath) { return hostPath; }

}  // namespace platform::win
