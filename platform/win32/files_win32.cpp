// Windows file functions: the ANSI Win32 calls and the C runtime's fopen.
#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/files.h"

namespace platform::win {

DWORD GetLastError() { return ::GetLastError(); }

void SetLastError(DWORD error) { ::SetLastError(error); }

namespace {

// A stream write that failed leaves WriteFile's error. The C runtime also
// fails a write that WriteFile took only in part, with errno ENOSPC and no
// Win32 error of its own: a full disk either way (112).
BOOL StreamFailed(int err) {
  if (err == ENOSPC)
    ::SetLastError(ERROR_DISK_FULL);
  else if (::GetLastError() == ERROR_SUCCESS)
    ::SetLastError(ERROR_WRITE_FAULT);
  return FALSE;
}

}  // namespace

BOOL CloseFile(FilePtr& file) {
  std::FILE* f = file.release();
  if (f == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const bool flushed = std::fflush(f) == 0 && std::ferror(f) == 0;
  const int flushError = errno;
  const bool closed = std::fclose(f) == 0;
  if (!flushed) return StreamFailed(flushError);
  if (!closed) return StreamFailed(errno);
  return TRUE;
}

BOOL FlushFileBuffers(std::FILE* file) {
  if (file == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (std::fflush(file) != 0 || std::ferror(file) != 0) return StreamFailed(errno);
  const intptr_t handle = ::_get_osfhandle(::_fileno(file));
  if (handle == -1) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return ::FlushFileBuffers(reinterpret_cast<HANDLE>(handle));
}

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
