#pragma once
// Windows result codes and types as the platform facades report them.
// The facades mirror the Win32 calls they stand for, so the code above them
// is the same on every backend.
#include <cstdint>

namespace platform::win {

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using HRESULT = std::int32_t;
using BOOL = int;

// Win32 error codes (GetLastError, registry and SHCreateDirectoryExA results).
constexpr DWORD kErrorSuccess = 0;
constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNoMoreFiles = 18;
constexpr DWORD kErrorWriteProtect = 19;
constexpr DWORD kErrorWriteFault = 29;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorBadPathname = 161;
constexpr DWORD kErrorAlreadyExists = 183;
constexpr DWORD kErrorFilenameExcedRange = 206;
constexpr DWORD kErrorMoreData = 234;
constexpr DWORD kErrorNoneMapped = 1332;
constexpr DWORD kErrorCantAccessFile = 1920;

constexpr HRESULT kSOk = 0;
// HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
constexpr HRESULT kHresultPathNotFound = static_cast<HRESULT>(0x80070003u);

constexpr DWORD kMaxPath = 260;

// WaitForSingleObject's time-out and results.
constexpr DWORD kInfinite = 0xFFFFFFFF;
constexpr DWORD kWaitObject0 = 0;
constexpr DWORD kWaitFailed = 0xFFFFFFFF;
constexpr DWORD kErrorNotOwner = 288;

// File attributes (FindFirstFileA).
constexpr DWORD kFileAttributeReadonly = 0x01;
constexpr DWORD kFileAttributeDirectory = 0x10;
constexpr DWORD kFileAttributeArchive = 0x20;
// A junction, symbolic link or mount point (with the directory bit when it
// stands for a folder).
constexpr DWORD kFileAttributeReparsePoint = 0x400;

}  // namespace platform::win
