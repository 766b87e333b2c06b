// The debugger output: spdlog's sink for OutputDebugStringA.
#include <spdlog/sinks/msvc_sink.h>

#include "platform/debug_output.h"

namespace platform {

std::shared_ptr<spdlog::sinks::sink> MakeDebuggerOutputSink() {
  return std::make_shared<spdlog::sinks::msvc_sink_mt>();
}

}  // namespace platform
