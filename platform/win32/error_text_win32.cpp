// The system's message table: FormatMessageW.
#include <windows.h>

#include <string>

#include "platform/error_text.h"
#include "platform/utf.h"

namespace platform::win {

DWORD FormatMessageW(DWORD code, std::string& text) {
  wchar_t* buffer = nullptr;
  const ::DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr) return 0;
  std::u16string wide(reinterpret_cast<const char16_t*>(buffer), n);
  ::LocalFree(buffer);
  while (!wide.empty() && (wide.back() == u'\r' || wide.back() == u'\n' || wide.back() == u' '))
    wide.pop_back();
  for (char16_t& c : wide)
    if (c == u'\r' || c == u'\n') c = u' ';
  if (wide.empty()) return 0;
  text = ToUtf8(wide);
  return static_cast<DWORD>(text.size());
}

}  // namespace platform::win
