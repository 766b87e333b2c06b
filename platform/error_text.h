#pragma once
// Error text facade: the system's own words for a Win32 error code.
#include <string>

#include "platform/win_types.h"

namespace platform::win {

// FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
// the code, the user's default language) as UTF-8, on one line: the line
// break Windows ends the text with is dropped, one inside it becomes a
// blank. Returns the text's length; 0, with text unchanged, when the system
// has no text for the code.
DWORD FormatMessageW(DWORD code, std::string& text);

}  // namespace platform::win
