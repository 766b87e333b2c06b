#include "app/handler_handoff.h"

#include "app/file_helpers.h"
#include "app/run_state.h"
#include "logging/escape.h"
#include "logging/logger.h"
#include "platform/file_security.h"
#include "platform/files.h"

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
  // left there, which is nobody's answer to this run: then only a file
  // written after this moment (on the machine's clock) is read.
  const std::uint64_t handOffStart = platform::win::GetSystemTimeAsFileTime();
  std::optional<std::uint64_t> writtenSince;
  if (!WriteExchangeFile(kStatusFile, kHandlerPlaceholder)) {
    logging::Error("Cannot write the placeholder to {0}: error {1}.", kStatusFile,
                   platform::win::GetLastError());
    writtenSince = handOffStart;
    if (ExchangeFileWrittenBefore(kStatusFile, handOffStart))
      logging::Warn("Cannot write {0}: its content is from before this run and is no result.",
                    kStatusFile);
  }
  const std::string content = WaitForHandlerResult(writtenSince);
  // Nothing read in the whole wait (no file, an empty one, one that could
  // not be opened, or only the old file, never an answer) is no completion.
  if (content.empty() || StringEquals(content, kHandlerPlaceholder, false)) {
    logging::Info("Timeout! ZyraHandler has not completed room provision.");
  } else {
    logging::Info("Room provision completed.");
    logging::Info("Room provision result: {0}", logging::Escaped(content));
  }
  const bool success = IsHandlerSuccess(content);
  DeleteExchangeFile(kStatusFile);
  return success;
}

std::string WaitForHandlerResult() { return WaitForHandlerResult(std::nullopt); }

std::string WaitForHandlerResult(std::optional<std::uint64_t> writtenSince) {
  std::string content;
  int elapsed = 0;
  int extension = 0;
  logging::Info("Waiting for ZyraHandler to provision the room");
  for (;;) {
    SleepSeconds(kHandlerPollSeconds);
    elapsed += kHandlerPollSeconds;
    // A file written before writtenSince counts as nothing read.
    const bool read = ReadExchangeFile(kStatusFile, content, writtenSince);
    const HandlerStatus status = read ? ClassifyHandlerStatus(content) : HandlerStatus::Empty;
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
