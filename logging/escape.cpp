#include "logging/escape.h"

#include <cstdint>

namespace logging {
namespace {

void AppendHex(std::string& out, unsigned char byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0x0F];
}

// Length of the well-formed UTF-8 sequence starting at text[i] and its code
// point, or 0 when the bytes there are not one (RFC 3629: no overlong forms,
// no surrogates, nothing above U+10FFFF).
std::size_t SequenceAt(std::string_view text, std::size_t i, std::uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t len = 0;
  std::uint32_t min = 0;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() < kOutsideTextLimit ? text.size() : kOutsideTextLimit);
  std::string piece;
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp = 0;
    const std::size_t len = SequenceAt(text, i, cp);
    piece.clear();
    if (len == 0) {
      AppendHex(piece, static_cast<unsigned char>(text[i]));
    } else if (cp == '\n') {
      piece = "\\n";
    } else if (cp == '\r') {
      piece = "\\r";
    } else if (cp == '\t') {
      piece = "\\t";
    } else if (cp == '\\') {
      piece = "\\\\";
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xFEFF) {
      for (std::size_t k = 0; k < len; ++k) AppendHex(piece, static_cast<unsigned char>(text[i + k]));
    } else {
      piece.assign(text.substr(i, len));
    }
    if (out.size() + piece.size() > kOutsideTextLimit) {
      out += "... (" + std::to_string(text.size()) + " bytes in all)";
      return out;
    }
    out += piece;
    i += len == 0 ? 1 : len;
  }
  return out;
}

}  // namespace logging
