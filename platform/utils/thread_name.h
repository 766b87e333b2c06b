#pragma once
// Names the calling thread, with a log line.
#include <string>

namespace platform {

// Logs "thread: <name>" at debug level, then names the calling thread
// (NameCurrentThread of platform/thread_name.h).
void SetThreadName(const std::string& name);

}  // namespace platform
