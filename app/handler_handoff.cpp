#include "app/handler_handoff.h"

#include <vector>

#include "app/file_helpers.h"
#include "app/run_state.h"
#include "logging/escape.h"
#include "logging/logger.h"
#include "platform/file_security.h"
#include "platform/files.h"
#include "platform/services.h"
#include "platform/utf.h"

namespace app {
namespace w = platform::win;

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

namespace {

// The status file as it is now: nullopt when nothing (or a folder) is there.
std::optional<w::FolderInfo> InspectStatusFile() {
  w::FolderInfo info;
  if (w::InspectFolder(kStatusFile, info) != w::kErrorSuccess ||
      (info.attributes & w::kFileAttributeDirectory) != 0)
    return std::nullopt;
  return info;
}

// The SIDs of the account the handler service runs as and of the service
// itself (NT SERVICE\CorvZyraHandler); empty when the service manager does
// not say.
std::vector<std::string> HandlerServiceSids() {
  std::vector<std::string> sids;
  std::string sid;
  if (w::LookupAccountNameA("NT SERVICE\\" + platform::ToUtf8(kHandlerServiceName), sid))
    sids.push_back(sid);
  const w::ScHandle manager(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect));
  if (!manager.valid()) return sids;
  const w::ScHandle service(
      w::OpenServiceW(manager.get(), kHandlerServiceName, w::kServiceQueryConfig));
  std::u16string account16;
  std::string account;
  if (service.valid() && w::QueryServiceConfigW(service.get(), account16) &&
      platform::Utf16ToUtf8(account16, account) && w::LookupAccountNameA(account, sid))
    sids.push_back(sid);
  return sids;
}

}  // namespace

StatusFileReader::StatusFileReader(bool placeholderWritten,
                                   std::optional<w::FolderInfo> beforeThisRun)
    : placeholderWritten_(placeholderWritten),
      beforeThisRun_(std::move(beforeThisRun)),
      handlerSids_(HandlerServiceSids()) {}

bool StatusFileReader::Read(std::string& text) {
  const std::optional<w::FolderInfo> before = InspectStatusFile();
  if (!before) return false;
  // Where the placeholder could not replace it, the file is this run's
  // answer only once it is another file, or this one changed.
  if (!placeholderWritten_ && beforeThisRun_ && w::SameFileUnchanged(*before, *beforeThisRun_))
    return false;
  bool trusted = before->ownerTrusted;
  for (const std::string& sid : handlerSids_) trusted = trusted || sid == before->ownerSid;
  if (!trusted) {
    if (!warnedOwner_)
      logging::Warn("{0} is owned by {1}, an account that is neither this program's nor the "
                    "handler service's: its content is not taken as the handler's answer.",
                    kStatusFile, logging::Escaped(before->ownerName));
    warnedOwner_ = true;
    return false;
  }
  std::string content;
  if (!ReadExchangeFile(kStatusFile, content)) return false;
  // Replaced or changed while it was read: the next poll reads it again.
  const std::optional<w::FolderInfo> after = InspectStatusFile();
  if (!after || !w::SameFileUnchanged(*before, *after)) return false;
  text.swap(content);
  return true;
}

void RemoveEarlierHandlerStatus() {
  if (!InspectStatusFile()) return;
  std::string link;
  std::uint32_t error = 0;
  if (RemoveExchangeFile(kStatusFile, link, error)) {
    logging::Info("Removed {0}, left by an earlier run.", kStatusFile);
  } else if (!link.empty()) {
    logging::Warn("{0} is a junction or symbolic link: {1}, left by an earlier run, is not "
                  "removed; only a change to it during this run counts as the handler's answer.",
                  link, kStatusFile);
  } else {
    logging::Warn("Cannot remove {0}, left by an earlier run (error {1}): only a change to it "
                  "during this run counts as the handler's answer.",
                  kStatusFile, error);
  }
}

bool HandOffToHandler() {
  // What the file is before the placeholder: when the placeholder cannot
  // replace it, that is nobody's answer to this run.
  const std::optional<w::FolderInfo> beforeThisRun = InspectStatusFile();
  const bool written = WriteExchangeFile(kStatusFile, kHandlerPlaceholder);
  if (!written)
    logging::Error("Cannot write the placeholder to {0}: error {1}.", kStatusFile,
                   w::GetLastError());
  if (!written && beforeThisRun)
    logging::Warn("Cannot write {0}: its content is from before this run and is no result.",
                  kStatusFile);
  StatusFileReader reader(written, beforeThisRun);
  const std::string content = WaitForHandlerResult(reader);
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

std::string WaitForHandlerResult() {
  StatusFileReader reader(true, std::nullopt);
  return WaitForHandlerResult(reader);
}

std::string WaitForHandlerResult(StatusFileReader& reader) {
  std::string content;
  int elapsed = 0;
  int extension = 0;
  logging::Info("Waiting for ZyraHandler to provision the room");
  for (;;) {
    SleepSeconds(kHandlerPollSeconds);
    elapsed += kHandlerPollSeconds;
    // A read that does not count leaves content as it was.
    const bool read = reader.Read(content);
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
