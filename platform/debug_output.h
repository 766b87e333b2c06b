#pragma once
// The debugger-output channel of the logger (OutputDebugStringA on Windows).
#include <memory>

#include <spdlog/sinks/sink.h>

namespace platform {

// A thread-safe sink that sends every formatted line to the debugger output.
[[nodiscard]] std::shared_ptr<spdlog::sinks::sink> MakeDebuggerOutputSink();

}  // namespace platform
