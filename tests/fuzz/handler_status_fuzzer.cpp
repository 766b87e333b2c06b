// The handler status file comparison: ClassifyHandlerStatus and
// IsHandlerSuccess, as WaitForHandlerResult and HandOffToHandler use them.
//
// Input: the content read from the status file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/handler_handoff.h"
#include "tests/fuzz/fuzz_check.h"

using app::HandlerStatus;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const HandlerStatus status = app::ClassifyHandlerStatus(content);
  const bool success = app::IsHandlerSuccess(content);

  // Whole content, exact and case-sensitive: only the four texts are
  // recognised, anything else non-empty is a verdict.
  FUZZ_CHECK((status == HandlerStatus::Empty) == content.empty());
  FUZZ_CHECK((status == HandlerStatus::Placeholder) == (content == app::kHandlerPlaceholder));
  FUZZ_CHECK((status == HandlerStatus::Progress) == (content == app::kHandlerProgress));
  FUZZ_CHECK(success == (content == app::kHandlerSuccess ||
                         content == app::kHandlerAlreadyProvisioned));
  if (success) FUZZ_CHECK(status == HandlerStatus::Verdict);

  // A verdict with a line break, a blank or a changed letter is a failure.
  if (success) {
    FUZZ_CHECK(!app::IsHandlerSuccess(content + "\n"));
    FUZZ_CHECK(!app::IsHandlerSuccess(content + "\r\n"));
    FUZZ_CHECK(!app::IsHandlerSuccess(" " + content));
    std::string changed = content;
    changed[0] = static_cast<char>(changed[0] ^ 0x20);
    FUZZ_CHECK(!app::IsHandlerSuccess(changed));
  }
  return 0;
}
