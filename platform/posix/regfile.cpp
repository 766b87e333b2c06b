#include "platform/posix/regfile.h"

#include <cctype>
#include <cstdlib>

#include "platform/utf.h"

namespace platform::posix {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string TrimLeft(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.pop_back();
  return s;
}

// The file as UTF-8 text.
std::string Decode(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string wide;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return ToUtf8(wide);
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  return bytes;
}

// Reads a quoted string starting at s[i] == '"'; i ends after the closing
// quote. Handles \\ and \" escapes.
bool ReadQuoted(const std::string& s, std::size_t& i, std::string& out) {
  if (i >= s.size() || s[i] != '"') return false;
  ++i;
  out.clear();
  while (i < s.size()) {
    const char c = s[i++];
    if (c == '"') return true;
    if (c == '\\' && i < s.size()) {
      out += s[i++];
    } else {
      out += c;
    }
  }
  return false;
}

bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>& out) {
  out.clear();
  std::string tok;
  auto flush = [&]() -> bool {
    if (tok.empty()) return true;
    if (tok.size() > 2) return false;
    for (char c : tok)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    out.push_back(static_cast<std::uint8_t>(std::strtoul(tok.c_str(), nullptr, 16)));
    tok.clear();
    return true;
  };
  for (char c : text) {
    if (c == ',') {
      if (tok.empty()) return false;
      if (!flush()) return false;
    } else if (c == ' ' || c == '\t') {
      continue;
    } else {
      tok += c;
    }
  }
  return flush();
}

std::vector<std::uint8_t> Utf16Bytes(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (char16_t u : ToUtf16(text)) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

bool ParseData(const std::string& raw, RegValue& v) {
  const std::string d = TrimRight(TrimLeft(raw));
  if (!d.empty() && d[0] == '"') {
    std::size_t i = 0;
    std::string text;
    if (!ReadQuoted(d, i, text) || !TrimLeft(d.substr(i)).empty()) return false;
    v.type = 1;  // REG_SZ
    v.data = Utf16Bytes(text);
    return true;
  }
  const std::string low = Lower(d);
  if (low.rfind("dword:", 0) == 0) {
    const std::string num = d.substr(6);
    if (num.empty() || num.size() > 8) return false;
    for (char c : num)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    const auto n = static_cast<std::uint32_t>(std::strtoul(num.c_str(), nullptr, 16));
    v.type = 4;  // REG_DWORD
    v.data = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
              static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
    return true;
  }
  if (low.rfind("hex:", 0) == 0) {
    v.type = 3;  // REG_BINARY
    return ParseHexBytes(d.substr(4), v.data);
  }
  if (low.rfind("hex(", 0) == 0) {
    const auto close = low.find("):");
    if (close == std::string::npos || close == 4) return false;
    const std::string t = low.substr(4, close - 4);
    for (char c : t)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v.type = static_cast<std::uint32_t>(std::strtoul(t.c_str(), nullptr, 16));
    return ParseHexBytes(d.substr(close + 2), v.data);
  }
  return false;
}

}  // namespace

std::string RegFile::NormalizeKey(const std::string& keyPath) {
  std::string out;
  for (char c : keyPath) {
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  static const std::pair<const char*, const char*> kAliases[] = {
      {"hklm", "hkey_local_machine"},
      {"hkcu", "hkey_current_user"},
      {"hkcr", "hkey_classes_root"},
      {"hku", "hkey_users"},
  };
  for (const auto& [alias, full] : kAliases) {
    const std::string a = alias;
    if (out == a || out.rfind(a + "\\", 0) == 0) return full + out.substr(a.size());
  }
  return out;
}

std::string RegFile::NormalizeName(const std::string& name) { return Lower(name); }

RegFile RegFile::Parse(const std::string& bytes) {
  RegFile file;
  const std::string text = Decode(bytes);
  // Split into logical lines, joining hex continuations ("\" at line end).
  std::vector<std::string> lines;
  std::string cur;
  bool continued = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = TrimRight(text.substr(start, end - start));
    start = end + 1;
    if (continued) {
      cur += TrimLeft(line);
    } else {
      cur = line;
    }
    if (!cur.empty() && cur.back() == '\\' && cur.find('=') != std::string::npos &&
        cur[0] != '[') {
      cur.pop_back();
      continued = true;
      continue;
    }
    continued = false;
    lines.push_back(cur);
  }
  if (continued) lines.push_back(cur);

  std::string section;  // empty: no (usable) section open
  for (const std::string& rawLine : lines) {
    const std::string line = TrimLeft(rawLine);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      section.clear();
      if (line.back() != ']' || line.size() < 3 || line[1] == '-') continue;
      const std::string key = NormalizeKey(line.substr(1, line.size() - 2));
      if (key.rfind("hkey_", 0) != 0) continue;
      section = key;
      file.keys_[section];
      continue;
    }
    if (section.empty()) continue;
    std::string name;
    std::size_t i = 0;
    if (line[0] == '@') {
      i = 1;
    } else if (!ReadQuoted(line, i, name)) {
      continue;
    }
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] != '=') continue;
    RegValue v;
    if (!ParseData(line.substr(i + 1), v)) continue;
    file.keys_[section][NormalizeName(name)] = std::move(v);
  }
  return file;
}

bool RegFile::HasKey(const std::string& keyPath) const {
  const std::string k = NormalizeKey(keyPath);
  if (keys_.count(k) != 0) return true;
  const std::string prefix = k + "\\";
  auto it = keys_.lower_bound(prefix);
  return it != keys_.end() && it->first.rfind(prefix, 0) == 0;
}

std::map<std::string, RegValue> RegFile::Values(const std::string& keyPath) const {
  auto it = keys_.find(NormalizeKey(keyPath));
  if (it == keys_.end()) return {};
  return it->second;
}

}  // namespace platform::posix
