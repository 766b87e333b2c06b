#pragma once
// File facade: the ANSI file functions and the C runtime's fopen, taking
// Windows-form paths ("C:\ProgramData\...", "\" or "/" as separators).
#include <cstdio>
#include <string>

#include "platform/scoped_generic.h"
#include "platform/win_types.h"

namespace platform::win {

// Owns a C runtime stream; closing it is fclose.
struct FileTraits {
  static std::FILE* InvalidValue() noexcept { return nullptr; }
  static void Free(std::FILE* f) noexcept { std::fclose(f); }
};
using FilePtr = ScopedGeneric<std::FILE*, FileTraits>;

// fopen with the Windows C runtime's modes: "r"/"w"/"a" are text mode (LF is
// written as CR LF, CR LF is read as LF), "rb"/"wb"/"ab" binary. A file held
// under an exclusive lock by another process, and a folder, cannot be opened.
// On failure returns null and sets the last error.
[[nodiscard]] FilePtr OpenFile(const std::string& path, const char* mode);

// Thread's last Win32 error, as GetLastError.
[[nodiscard]] DWORD GetLastError();
// SetLastError.
void SetLastError(DWORD error);

// fclose, with its outcome: FALSE, with the last error (112 when the disk is
// full), when the stream's buffered bytes cannot be written, an earlier
// write to the stream failed, or the close itself fails. The stream is
// closed in every case.
BOOL CloseFile(FilePtr& file);

// Writes the stream's buffered bytes and has the system put the file's data
// on the disk (fflush, then FlushFileBuffers on the stream's handle). FALSE,
// with the last error, when either fails or an earlier write to the stream
// failed. For a stream opened in binary mode.
BOOL FlushFileBuffers(std::FILE* file);

[[nodiscard]] BOOL CreateDirectoryA(const std::string& path);
BOOL DeleteFileA(const std::string& path);

struct FindData {
  DWORD dwFileAttributes = 0;
  std::string cFileName;
};

// A find handle (null when there is none); freeing it is FindClose, defined
// by each backend.
struct FindHandleTraits {
  static constexpr void* InvalidValue() noexcept { return nullptr; }
  static void Free(void* handle) noexcept;
};
using FindHandle = ScopedGeneric<void*, FindHandleTraits>;

// FindFirstFileA / FindNextFileA. An invalid handle means failure.
[[nodiscard]] FindHandle FindFirstFileA(const std::string& pattern, FindData& data);
[[nodiscard]] BOOL FindNextFileA(FindHandle& handle, FindData& data);

// The host file-system path the backend uses for a Windows-form path (the
// path itself on Windows). For libraries that open files themselves.
[[nodiscard]] std::string HostPath(const std::string& path);

// The Windows-form path of a path given on the host's command line (an
// absolute Linux path becomes Z:\...; on Windows the path itself).
[[nodiscard]] std::string FromHostPath(const std::string& hostPath);

}  // namespace platform::win
