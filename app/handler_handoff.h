#pragma once
// Hand-off to the handler service through the status file.
#include <cstdint>
#include <optional>
#include <string>

namespace app {

inline constexpr const char* kHandlerPlaceholder = "Provisioning room. Please wait...";
inline constexpr const char* kHandlerProgress = "Zyra update started. Please wait...";
inline constexpr const char* kHandlerSuccess = "Room provision success.";
inline constexpr const char* kHandlerAlreadyProvisioned = "Room already provisioned.";
inline constexpr int kHandlerPollSeconds = 30;
inline constexpr int kHandlerDeadlineSeconds = 295;
inline constexpr int kHandlerExtensionSeconds = 295;

// What one read of the status file tells the wait. The whole content is
// compared, exactly and case-sensitively.
enum class HandlerStatus {
  Empty,        // nothing to read yet: retry
  Placeholder,  // our own placeholder: the handler has not started
  Progress,     // the handler's progress text: the wait is extended once
  Verdict,      // anything else: the handler's verdict
};
[[nodiscard]] HandlerStatus ClassifyHandlerStatus(const std::string& content);

// True for the two verdicts that mean the room is provisioned.
[[nodiscard]] bool IsHandlerSuccess(const std::string& content);

// Writes the placeholder, waits for the verdict; true on a success verdict.
[[nodiscard]] bool HandOffToHandler();

// Polls the status file; returns the last content read.
[[nodiscard]] std::string WaitForHandlerResult();
// The same, but a status file last written before writtenSince (a FILETIME
// on the machine's clock: the hand-off's start, when the placeholder could
// not replace what the file held) is never read: such a poll counts as one
// with nothing read.
[[nodiscard]] std::string WaitForHandlerResult(std::optional<std::uint64_t> writtenSince);

}  // namespace app
