#pragma once
// Hand-off to the handler service through the status file.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_security.h"

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

// Removes a status file an earlier run left (its placeholder, or a verdict
// for it), so that nothing answers this run from it; logs what it did, or
// why the file stays.
void RemoveEarlierHandlerStatus();

// Reads the status file for the wait. A read counts only when the file is
// this run's: the placeholder was written into it, or, where it could not
// be, the file is another one or changed since the hand-off began (the file
// system's own record of which file it is, its size and last-write time; the
// machine's clock plays no part). A file owned by an account that is neither
// SYSTEM, Administrators, TrustedInstaller, this program's own nor the
// handler service's never counts (one warning names it and its owner).
class StatusFileReader {
 public:
  StatusFileReader(bool placeholderWritten,
                   std::optional<platform::win::FolderInfo> beforeThisRun);
  // True, with the file's whole content in text, when this read counts;
  // false (text unchanged) otherwise.
  bool Read(std::string& text);

 private:
  bool placeholderWritten_;
  std::optional<platform::win::FolderInfo> beforeThisRun_;
  std::vector<std::string> handlerSids_;
  bool warnedOwner_ = false;
};

// Writes the placeholder, waits for the verdict; true on a success verdict.
[[nodiscard]] bool HandOffToHandler();

// Polls the status file; returns the last content read that counted.
[[nodiscard]] std::string WaitForHandlerResult(StatusFileReader& reader);
// The same, for a status file whose placeholder this run wrote.
[[nodiscard]] std::string WaitForHandlerResult();

}  // namespace app
