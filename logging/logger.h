#pragma once
// The one process logger: three sinks (debugger output, standard output, a
// rotating file), one line format, the level from the registry.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <spdlog/spdlog.h>

namespace logging {

// Process-wide holder of the logger; created on first use (thread-safe) and
// destroyed at process exit.
class LoggerHolder {
 public:
  static LoggerHolder& Instance();

  const std::uint32_t maxFileSize = 7340032;  // 7 MiB per log file
  const std::uint32_t maxFiles = 5;           // rotated files kept

  [[nodiscard]] std::shared_ptr<spdlog::logger> Get() const;
  void Set(std::shared_ptr<spdlog::logger> logger);
  // Drops the logger (tests only: a fresh InitLogger can then run again).
  void ResetForTesting();

 private:
  LoggerHolder() = default;
  mutable std::mutex mutex_;
  std::shared_ptr<spdlog::logger> logger_;
};

inline constexpr const char* kLogPattern = "%Y-%m-%dT%H:%M:%S.%e%z  %l  %v";

// Reads the REG_DWORD "log_level" under HKEY_LOCAL_MACHINE\<keyPath> in the
// 64-bit view; 0 when the key or the value cannot be read.
[[nodiscard]] std::int32_t ReadLogLevel(const std::string& keyPath);

// Creates and installs the process logger; does nothing when one exists.
void InitLogger(const std::string& filePath, const std::string& loggerName, std::int32_t level);

// The process logger, or null before InitLogger.
[[nodiscard]] inline std::shared_ptr<spdlog::logger> Logger() {
  return LoggerHolder::Instance().Get();
}

template <typename... Args>
void Info(spdlog::format_string_t<Args...> f, Args&&... args) {
  if (auto l = Logger()) l->info(f, std::forward<Args>(args)...);
}
template <typename... Args>
void Warn(spdlog::format_string_t<Args...> f, Args&&... args) {
  if (auto l = Logger()) l->warn(f, std::forward<Args>(args)...);
}
template <typename... Args>
void Error(spdlog::format_string_t<Args...> f, Args&&... args) {
  if (auto l = Logger()) l->error(f, std::forward<Args>(args)...);
}
template <typename... Args>
void Debug(spdlog::format_string_t<Args...> f, Args&&... args) {
  if (auto l = Logger()) l->debug(f, std::forward<Args>(args)...);
}
template <typename... Args>
void Trace(spdlog::format_string_t<Args...> f, Args&&... args) {
  if (auto l = Logger()) l->trace(f, std::forward<Args>(args)...);
}

// Logs a prepared text as it stands (no placeholders are expanded).
void InfoText(const std::string& text);

}  // namespace logging
