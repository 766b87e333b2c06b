#include "logging/logger.h"

#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "platform/debug_output.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/utf.h"

namespace logging {

LoggerHolder& LoggerHolder::Instance() {
  static LoggerHolder holder;
  return holder;
}

std::shared_ptr<spdlog::logger> LoggerHolder::Get() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return logger_;
}

void LoggerHolder::Set(std::shared_ptr<spdlog::logger> logger) {
  std::lock_guard<std::mutex> lock(mutex_);
  logger_ = std::move(logger);
}

void LoggerHolder::ResetForTesting() { Set(nullptr); }

std::int32_t ReadLogLevel(const std::string& keyPath) {
  namespace w = platform::win;
  const std::u16string key = platform::ToUtf16(keyPath);
  w::HKEY opened = nullptr;
  if (w::RegOpenKeyExW(w::HkeyLocalMachine(), key.c_str(), 0, w::kKeyRead | w::kKeyWow64_64Key,
                       &opened) != 0)
    return 0;
  const w::ScopedKey hkey(opened);
  std::uint8_t data[4] = {0, 0, 0, 0};
  w::DWORD size = sizeof data;
  w::DWORD type = 0;
  const auto rc = w::RegQueryValueExW(hkey.get(), u"log_level", &type, data, &size);
  // Only a number counts: a text "4" would read as its character code (52)
  // and silence every sink.
  if (rc != 0 || type != w::kRegDword || size != sizeof data) return 0;
  const std::uint32_t value = static_cast<std::uint32_t>(data[0]) |
                              (static_cast<std::uint32_t>(data[1]) << 8) |
                              (static_cast<std::uint32_t>(data[2]) << 16) |
                              (static_cast<std::uint32_t>(data[3]) << 24);
  return static_cast<std::int32_t>(value);
}

void InitLogger(const std::string& filePath, const std::string& loggerName, std::int32_t level) {
  LoggerHolder& holder = LoggerHolder::Instance();
  if (holder.Get()) return;

  std::string error;
  std::vector<spdlog::sink_ptr> sinks;
  try {
    auto debugSink = platform::MakeDebuggerOutputSink();
    auto stdoutSink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
    sinks.push_back(debugSink);
    sinks.push_back(stdoutSink);
  } catch (const spdlog::spdlog_ex& ex) {
    error = "Can't open console logger for " + loggerName + ex.what() + "\n";
  }
  // The log file is a text file: its lines end in CR LF on every platform.
  spdlog::sink_ptr fileSink;
  try {
    fileSink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        platform::win::HostPath(filePath), holder.maxFileSize, holder.maxFiles);
    sinks.push_back(fileSink);
  } catch (const spdlog::spdlog_ex& ex) {
    error += "Can't open file logger " + filePath + ": " + ex.what();
  }

  auto logger = std::make_shared<spdlog::logger>(loggerName, sinks.begin(), sinks.end());
  holder.Set(logger);

  for (auto& sink : logger->sinks()) {
    const std::string eol = sink == fileSink ? "\r\n" : spdlog::details::os::default_eol;
    sink->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        kLogPattern, spdlog::pattern_time_type::local, eol));
  }
  logger->set_level(static_cast<spdlog::level::level_enum>(level));
  logger->flush_on(spdlog::level::trace);

  if (!error.empty()) logger->error(error);
}

void InfoText(const std::string& text) {
  if (auto l = Logger()) l->info(text);
}

}  // namespace logging
