#pragma once
// Names the calling thread for debuggers and diagnostic tools.
#include <string>

namespace platform {

// Logs "thread: <name>" at debug level, then names the calling thread:
// SetThreadDescription where Windows has it, else the debugger naming
// exception while a debugger is attached; on Linux pthread_setname_np,
// which keeps the first 15 characters ("CleanupDownloadLocation" shows as
// "CleanupDownload").
void SetThreadName(const std::string& name);

// The backend's naming call (after the log line).
void NameCurrentThread(const std::string& name);

}  // namespace platform
