#pragma once
// File facade for the places where another account could interfere: a file
// held open against writing and deleting (CreateFileA and ReadFile), renaming
// (MoveFileExA), a folder's or file's own attributes, owner, access list and
// last-write time without following a link (CreateFileA with
// FILE_FLAG_OPEN_REPARSE_POINT, GetFileInformationByHandle, GetSecurityInfo),
// the clock the file system stamps files with (GetSystemTimeAsFileTime), and
// creating a folder that only SYSTEM and Administrators may change
// (CreateDirectoryA with a protected DACL).
#include <cstdint>
#include <string>

#include "platform/scoped_generic.h"
#include "platform/win_types.h"

namespace platform::win {

constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kFileShareRead = 0x00000001;
constexpr DWORD kFileShareWrite = 0x00000002;
constexpr DWORD kFileShareDelete = 0x00000004;
constexpr DWORD kOpenExisting = 3;
constexpr DWORD kFileFlagOpenReparsePoint = 0x00200000;
constexpr DWORD kMoveFileReplaceExisting = 0x00000001;
constexpr DWORD kMoveFileWriteThrough = 0x00000008;

// A file handle from CreateFileA (null when there is none); freeing it is
// CloseHandle, defined by each backend.
struct FileHandleTraits {
  static constexpr void* InvalidValue() noexcept { return nullptr; }
  static void Free(void* handle) noexcept;
};
using FileHandle = ScopedGeneric<void*, FileHandleTraits>;

// CreateFileA(path, access, share, no security attributes, disposition,
// flags, no template). Only GENERIC_READ of an existing file is used. While
// the handle lives, opening the file for writing, deleting it or moving it
// fails with a sharing violation (32) unless share allows it. Invalid handle
// and the last error on failure: 2, 3, 5 (a folder), 32 (held by another
// handle), 1920 (a link opened with FILE_FLAG_OPEN_REPARSE_POINT).
[[nodiscard]] FileHandle CreateFileA(const std::string& path, DWORD access, DWORD share,
                                     DWORD disposition, DWORD flags);

// ReadFile: up to size bytes at the handle's position; *read = 0 at the end.
[[nodiscard]] BOOL ReadFile(const FileHandle& file, void* buffer, DWORD size, DWORD* read);

// MoveFileExA(from, to, flags): renames a file or folder (a link itself, not
// what it points to). Without kMoveFileReplaceExisting an existing target
// fails with 183; a target with the read-only attribute is never replaced
// (5). With kMoveFileWriteThrough the call returns once the rename is on
// the disk.
BOOL MoveFileExA(const std::string& from, const std::string& to, DWORD flags);

// What InspectFolder finds out about a path, never following a link.
struct FolderInfo {
  DWORD attributes = 0;               // of the entry itself (reparse point, directory)
  bool ownerTrusted = false;          // SYSTEM, Administrators, TrustedInstaller or the
                                      // program's own account
  bool othersMayWrite = false;        // an allowed entry grants any other account a write,
                                      // delete or access-list right, or there is no DACL
  std::uint64_t lastWriteTime = 0;    // FILETIME (100 ns since 1601, UTC), as the file
                                      // system stamped the entry
  // Which file it is: its volume and index together name one file for as
  // long as it exists (GetFileInformationByHandle); and its size in bytes.
  DWORD volumeSerial = 0;
  std::uint64_t fileIndex = 0;
  std::uint64_t size = 0;  // bytes of a file (of a link: its own)
  std::string ownerSid;   // the owner as a SID string ("S-1-5-18")
  std::string ownerName;  // "DOMAIN\name" of the owner; the SID string when it has no name
};

// Two inspections of one path saw the same file with the same content: the
// same file, size and last-write time.
[[nodiscard]] inline bool SameFileUnchanged(const FolderInfo& a, const FolderInfo& b) {
  return a.volumeSerial == b.volumeSerial && a.fileIndex == b.fileIndex && a.size == b.size &&
         a.lastWriteTime == b.lastWriteTime;
}

// LookupAccountNameA: the SID string of an account name ("NT AUTHORITY\SYSTEM",
// ".\name", "DOMAIN\name"; "LocalSystem", as the service manager names
// SYSTEM, too). False with the last error (1332: no such account) otherwise.
[[nodiscard]] BOOL LookupAccountNameA(const std::string& account, std::string& sid);

// Opens the path itself (CreateFileA with FILE_FLAG_BACKUP_SEMANTICS and
// FILE_FLAG_OPEN_REPARSE_POINT, asking only for its attributes and access
// list, so a file another program holds without sharing can be inspected
// too), reads its attributes, size and last-write time and, through the same
// handle, its owner and DACL (GetSecurityInfo). Returns a Win32 error code:
// 0, 2/3 when nothing is there, 5 when its DACL refuses even reading it
// (whoever may delete in its parent folder can still rename it).
[[nodiscard]] DWORD InspectFolder(const std::string& path, FolderInfo& info);

// GetSystemTimeAsFileTime: the machine's clock as a FILETIME, the clock the
// file system stamps last-write times with (so the two compare).
[[nodiscard]] std::uint64_t GetSystemTimeAsFileTime();

// CreateDirectoryA with a protected DACL: full control for SYSTEM and
// Administrators, inherited by everything inside, nothing inherited from
// the parent. Fails with 183 when something is there already.
[[nodiscard]] BOOL CreateProtectedDirectoryA(const std::string& path);

}  // namespace platform::win
