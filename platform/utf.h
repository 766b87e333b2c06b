#pragma once
// UTF-8 <-> UTF-16 conversion for the wide Windows calls.
#include <string>

namespace platform {

// Strict conversion: false (and out unchanged) on malformed input.
[[nodiscard]] bool Utf8ToUtf16(const std::string& in, std::u16string& out);
[[nodiscard]] bool Utf16ToUtf8(const std::u16string& in, std::string& out);

// Lenient forms for texts known to be well formed (fixed names); a malformed
// sequence becomes U+FFFD.
[[nodiscard]] std::u16string ToUtf16(const std::string& in);
[[nodiscard]] std::string ToUtf8(const std::u16string& in);

}  // namespace platform
