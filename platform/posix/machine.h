#pragma once
// The emulated Windows machine: a folder tree under $ZYRA_MACHINE_ROOT in
// which drive_c/ is C: and the host's root is Z:, as under Wine.
#include <cstdint>
#include <string>

#include "platform/win_types.h"

namespace platform::posix {

// $ZYRA_MACHINE_ROOT, or $HOME/.zyra-machine when it is unset or empty
// (/tmp/.zyra-machine without a home folder). No trailing slash.
[[nodiscard]] std::string MachineRoot();

// Maps a Windows-form path to the host path. Drive C: is drive_c/ under the
// machine root, Z: is the host root, a path without a drive is relative to
// the current folder. Existing path components are matched ignoring letter
// case, as Windows does; missing ones keep their spelling. Returns false with
// a Win32 error for paths that name no place (other drives, UNC paths, an
// empty path).
[[nodiscard]] bool ToHostPath(const std::string& winPath, std::string& hostPath,
                              win::DWORD& error);

// The Windows form of an absolute host path: C:\... inside drive_c/,
// Z:\... elsewhere.
[[nodiscard]] std::string ToWindowsPath(const std::string& hostPath);

// ASCII letter case folded comparisons, as Windows compares names.
[[nodiscard]] bool EqualsIgnoreCase(const std::string& a, const std::string& b);
[[nodiscard]] bool StartsWithIgnoreCase(const std::string& s, const std::string& prefix);

// Win32 error code for an errno value.
[[nodiscard]] win::DWORD ErrnoToWin32(int err);

// The thread's last error, as GetLastError reports it.
void SetLastError(win::DWORD error);
[[nodiscard]] win::DWORD LastError();

// CreateDirectoryA's work on the emulated machine: makes the folder winPath
// names with the given mode bits (before the umask); a missing parent is
// ERROR_PATH_NOT_FOUND. Sets the last error; hostPath gets the folder's
// host path.
[[nodiscard]] bool MakeHostDirectory(const std::string& winPath, unsigned mode,
                                     std::string& hostPath);

// Windows sharing rules on the emulated machine, for an open descriptor of
// a file. LockedByOther: another handle holds the file without sharing it at
// all (flock LOCK_EX). HeldAgainstWriting: another handle shares it for
// reading only (an open-file-description read lock, fcntl F_OFD_SETLK with
// F_RDLCK over the whole file), so it cannot be written, deleted or moved.
// Neither probe takes a lock that stays.
[[nodiscard]] bool LockedByOther(int fd);
[[nodiscard]] bool HeldAgainstWriting(int fd);

// True when path is an existing directory on the host.
[[nodiscard]] bool IsHostDirectory(const std::string& hostPath);

// The FILE_ATTRIBUTE_READONLY of a host file: a plain file whose owner may
// not write it (chmod u-w stands for attrib +r). It holds for every caller,
// root included, as the attribute does on Windows.
[[nodiscard]] bool HasReadOnlyAttribute(const std::string& hostPath);

// The environment variable through which the emulated service manager tells
// a service's program where to write its status reports (the state file of
// docs/emulated-machine.md, "Services").
constexpr const char* kServiceStateVariable = "ZYRA_SERVICE_STATE";

// How long ControlService waits for a service to answer a control before it
// fails with ERROR_SERVICE_REQUEST_TIMEOUT: 30 seconds, as on Windows. Tests
// shorten it; 0 restores the default.
void SetServiceControlTimeoutForTesting(unsigned milliseconds);

// Milliseconds of the host's own monotonic clock, read through the system
// call itself, which libfaketime does not reach: for the limits that stand
// for the network's pace (a PAC script's download), which a faster fake
// clock must not shorten.
[[nodiscard]] std::int64_t HostMonotonicMilliseconds();

// The user name in C:\Users\<user>: $USER, else the login name of the
// process's user, else "user".
[[nodiscard]] std::string UserName();

}  // namespace platform::posix
