#pragma once
// Shell and process facade: shell folders, the temporary folder, the
// program's own file name.
#include <string>

#include "platform/win_types.h"

namespace platform::win {

constexpr int kCsidlAppData = 0x001a;        // CSIDL_APPDATA
constexpr int kCsidlCommonAppData = 0x0023;  // CSIDL_COMMON_APPDATA

// SHGetFolderPathA(no window, csidl, no token, flags 0). S_OK fills path.
[[nodiscard]] HRESULT SHGetFolderPathA(int csidl, std::string& path);

// SHCreateDirectoryExA(no window, path, no security attributes): creates every
// missing level. Returns a Win32 error code (0, 183 when it already exists).
int SHCreateDirectoryExA(const std::string& path);

// GetTempPathA: the temporary folder with its trailing backslash; returns
// its length, or 0 on failure.
DWORD GetTempPathA(std::string& path);

// GetModuleFileNameA(no module, a buffer of size characters): the program's
// own file in Windows form. Returns its length; a name of size characters or
// more is cut to size - 1 characters and the call returns size (last error
// 122, ERROR_INSUFFICIENT_BUFFER); 0 on failure.
DWORD GetModuleFileNameA(std::string& path, DWORD size);

}  // namespace platform::win
