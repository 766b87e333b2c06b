#include "app/handler_handoff.h"

#include "app/file_helpers.h"
#include "app/provisioning_run.h"
#include "logging/escape.h"
#include "logging/logger.h"

namespace app {

HandlerStatus ClassifyHandlerStatus(const std::string& content) {
  if (content.empty()) return HandlerStatus::Empty;
  if (StringEquals(content, kHandlerPlaceholder, false)) return HandlerStatus::Placeholder;
  if (StringEquals(content, kHandlerProgress, false)) return HandlerStatus::Progress;
  return HandlerStatus::Verdict;
}

bool IsHandlerSuccess(const std::string& content) {
  return StringEquals(content, kHandlerSuccess, false) ||
         StringEquals(content, kHandlerAlreadyProvisioned, false);
}

bool HandOffToHandler() {
  // A placeholder that cannot be written leaves whatever an earlier attempt
  // left there: that content is nobody's answer to this run.
  std::optional<std::string> stale;
  if (!WriteExchangeFile(kStatusFile, kHandlerPlaceholder)) {
    std::string old;
    if (ReadWholeFile(kStatusFile, old) && !old.empty()) {
      logging::Warn("Cannot write {0}: its content is from before this run and is no result.",
                    kStatusFile);
      stale = std::move(old);
    }
  }
  const std::string content = WaitForHandlerResult(stale);
  const bool unanswered = stale.has_value() && content == *stale;
  // Nothing read in the whole wait (no file, an empty one, one that could
  // not be opened) is no completion either.
  if (unanswered || content.empty() || StringEquals(content, kHandlerPlaceholder, false)) {
    logging::Info("Timeout! ZyraHandler has not completed room provision.");
  } else {
    logging::Info("Room provision completed.");
    logging::Info("Room provision result: {0}", logging::Escaped(content));
  }
  const bool success = !unanswered && IsHandlerSuccess(content);
  DeleteFileIfExists(kStatusFile);
  return success;
}

std::string WaitForHandlerResult() { return WaitForHandlerResult(std::nullopt); }

std::string WaitForHandlerResult(const std::optional<std::string>& stale) {
  std::string content;
  int elapsed = 0;
  int extension = 0;
  logging::Info("Waiting for ZyraHandler to provision the room");
  for (;;) {
    SleepSeconds(kHandlerPollSeconds);
    elapsed += kHandlerPollSeconds;
    const bool read = ReadWholeFile(kStatusFile, content);
    // Content unchanged since before the run counts as nothing read yet.
    const bool unchanged = read && stale.has_value() && content == *stale;
    const HandlerStatus status =
        read && !unchanged ? ClassifyHandlerStatus(content) : HandlerStatus::Empty;
    if (status == HandlerStatus::Empty) {
      logging::Info("Cannot get room provision result. Will retry...");
    } else if (status == HandlerStatus::Placeholder) {
      logging::InfoText(content);
    } else if (status == HandlerStatus::Progress) {
      extension = kHandlerExtensionSeconds;
      logging::InfoText(content);
    } else {
      return content;
    }
    if (elapsed >= kHandlerDeadlineSeconds + extension) return content;
  }
}

}  // namespace app
