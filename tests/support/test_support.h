#pragma once
// Helpers shared by the unit tests of both backends.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "app/file_helpers.h"
#include "logging/logger.h"
#include "platform/files.h"

namespace zyra_test {

// The backend's test environment: on the emulated machine a fresh machine
// root for the whole run; on Windows nothing to prepare.
::testing::Environment* MakeBackendEnvironment();

// Installs a logger that records messages (level and text) for one test and
// removes it afterwards.
class CapturedLog {
 public:
  CapturedLog() {
    logging::LoggerHolder::Instance().ResetForTesting();
    sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
    sink_->set_pattern("%l|%v");
    auto logger = std::make_shared<spdlog::logger>("test", sink_);
    logger->set_level(spdlog::level::trace);
    logging::LoggerHolder::Instance().Set(logger);
  }
  ~CapturedLog() { logging::LoggerHolder::Instance().ResetForTesting(); }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  // "level|message" lines.
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::istringstream in(stream_.str());
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }

 private:
  std::ostringstream stream_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

// Raw bytes of a file (empty when it cannot be opened).
inline std::string ReadBytes(const std::string& path) {
  platform::win::FilePtr f = platform::win::OpenFile(path, "rb");
  std::string out;
  if (!f) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) out.append(buf, n);
  return out;
}

inline bool WriteBytes(const std::string& path, const std::string& bytes) {
  platform::win::FilePtr f = platform::win::OpenFile(path, "wb");
  if (!f) return false;
  return std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
}

}  // namespace zyra_test
