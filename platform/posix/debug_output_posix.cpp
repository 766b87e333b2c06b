// The debugger output of the emulated machine: when ZYRA_DEBUG_OUTPUT names a
// host file, every line the program would send to OutputDebugStringA is
// appended to it (a stand-in for DebugView); otherwise it is discarded, as on
// a Windows machine with no debugger attached.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <spdlog/sinks/base_sink.h>

#include "platform/debug_output.h"
#include "platform/files.h"

namespace platform {
namespace {

class DebugOutputSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  DebugOutputSink() {
    const char* target = std::getenv("ZYRA_DEBUG_OUTPUT");
    if (target != nullptr && *target != '\0') file_.reset(std::fopen(target, "ab"));
  }
  DebugOutputSink(const DebugOutputSink&) = delete;
  DebugOutputSink& operator=(const DebugOutputSink&) = delete;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (!file_) return;
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    std::fwrite(formatted.data(), 1, formatted.size(), file_.get());
    std::fflush(file_.get());
  }
  void flush_() override {}

 private:
  win::FilePtr file_;  // a host file, opened by its host path
};

}  // namespace

std::shared_ptr<spdlog::sinks::sink> MakeDebuggerOutputSink() {
  return std::make_shared<DebugOutputSink>();
}

}  // namespace platform
