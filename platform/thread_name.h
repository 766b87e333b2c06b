#pragma once
// The backend's call that names the calling thread for debuggers and
// diagnostic tools: SetThreadDescription where Windows has it, else the
// debugger naming exception while a debugger is attached; on Linux
// pthread_setname_np, which keeps the first 15 characters
// ("CleanupDownloadLocation" shows as "CleanupDownload").
#include <string>

namespace platform {

void NameCurrentThread(const std::string& name);

}  // namespace platform
