#include "platform/utf.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at in[i]; false on a malformed sequence (i is then
// advanced by one byte).
bool DecodeUtf8(const std::string& in, std::size_t& i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(in[i]);
  int len = 0;
  char32_t min = 0;
  if (b0 < 0x80) {
    cp = b0;
    ++i;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    ++i;
    return false;
  }
  if (i + static_cast<std::size_t>(len) > in.size()) {
    ++i;
    return false;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(in[i + static_cast<std::size_t>(k)]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return false;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return false;
  }
  i += static_cast<std::size_t>(len);
  return true;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one code point at in[i]; false on an unpaired surrogate.
bool DecodeUtf16(const std::u16string& in, std::size_t& i, char32_t& cp) {
  const char16_t u = in[i++];
  if (u < 0xD800 || u > 0xDFFF) {
    cp = u;
    return true;
  }
  if (u <= 0xDBFF && i < in.size() && in[i] >= 0xDC00 && in[i] <= 0xDFFF) {
    cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
         (static_cast<char32_t>(in[i]) - 0xDC00);
    ++i;
    return true;
  }
  return false;
}

}  // namespace

bool Utf8ToUtf16(const std::string& in, std::u16string& out) {
  std::u16string result;
  result.reserve(in.size());
  for (std::size_t i = 0; i < in.size();) {
    char32_t cp = 0;
    if (!DecodeUtf8(in, i, cp)) return false;
    AppendUtf16(result, cp);
  }
  out.swap(result);
  return true;
}

bool Utf16ToUtf8(const std::u16string& in, std::string& out) {
  std::string result;
  result.reserve(in.size());
  for (std::size_t i = 0; i < in.size();) {
    char32_t cp = 0;
    if (!DecodeUtf16(in, i, cp)) return false;
    AppendUtf8(result, cp);
  }
  out.swap(result);
  return true;
}

std::u16string ToUtf16(const std::string& in) {
  std::u16string result;
  for (std::size_t i = 0; i < in.size();) {
    char32_t cp = 0;
    AppendUtf16(result, DecodeUtf8(in, i, cp) ? cp : kReplacement);
  }
  return result;
}

std::string ToUtf8(const std::u16string& in) {
  std::string result;
  for (std::size_t i = 0; i < in.size();) {
    char32_t cp = 0;
    AppendUtf8(result, DecodeUtf16(in, i, cp) ? cp : kReplacement);
  }
  return result;
}

}  // namespace platform
