#include "app/handler_handoff.h"

#include "app/file_helpers.h"
#include "app/provisioning_run.h"
#include "logging/logger.h"

namespace app {

bool HandOffToHandler() {
  WriteWholeFile(kStatusFile, kHandlerPlaceholder);
  const std::string content = WaitForHandlerResult();
  if (StringEquals(content, kHandlerPlaceholder, false)) {
    logging::Info("Timeout! ZyraHandler has not completed room provision.");
  } else {
    logging::Info("Room provision completed.");
    logging::Info("Room provision result: {0}", content);
  }
  const bool success = StringEquals(content, kHandlerSuccess, false) ||
                       StringEquals(content, kHandlerAlreadyProvisioned, false);
  DeleteFileIfExists(kStatusFile);
  return success;
}

std::string WaitForHandlerResult() {
  std::string content;
  int elapsed = 0;
  int extension = 0;
  logging::Info("Waiting for ZyraHandler to provision the room");
  for (;;) {
    SleepSeconds(kHandlerPollSeconds);
    elapsed += kHandlerPollSeconds;
    const bool read = ReadWholeFile(kStatusFile, content);
    if (!read || content.empty()) {
      logging::Info("Cannot get room provision result. Will retry...");
    } else if (StringEquals(content, kHandlerPlaceholder, false)) {
      logging::InfoText(content);
    } else if (StringEquals(content, kHandlerProgress, false)) {
      extension = kHandlerExtensionSeconds;
      logging::InfoText(content);
    } else {
      return content;
    }
    if (elapsed >= kHandlerDeadlineSeconds + extension) return content;
  }
}

}  // namespace app
