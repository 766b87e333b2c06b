#pragma once
// Text that comes from outside the program (the handler's status file, the
// registry, manifests, server answers) is logged through Escaped: every
// byte that would make the log line lie or break shows as an escape.
#include <cstddef>
#include <string>
#include <string_view>

namespace logging {

// The text with, written as escapes:
// - line feed, carriage return and tab as \n, \r and \t;
// - every other control character (U+0000 to U+001F, U+007F, and U+0080 to
//   U+009F), the byte-order mark U+FEFF wherever it stands, and every byte
//   that is not part of well-formed UTF-8 (overlong forms, surrogates, values
//   above U+10FFFF, cut sequences) as \xHH, byte by byte (a BOM reads
//   \xEF\xBB\xBF);
// - the backslash as \\, so that an escape in the log can only come from
//   here.
// Well-formed UTF-8 other than these (accented letters, CJK, emoji) is kept
// as it is.
// Whatever its size, the text takes at most kOutsideTextLimit characters of
// a line: an escaped form that would be longer is cut there (never inside
// an escape or a character) and followed by "... (<n> bytes in all)", n the
// length of the text given.
[[nodiscard]] std::string Escaped(std::string_view text);

inline constexpr std::size_t kOutsideTextLimit = 1024;

}  // namespace logging
