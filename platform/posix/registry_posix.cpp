// Emulated registry: $ZYRA_MACHINE_ROOT/registry.reg. The file is read
// again at every key open, so another program may change it between opens;
// an open key keeps the values it saw. Writes (RegCreateKeyExW,
// RegSetValueExW) append sections to the file, which later reads take over
// earlier ones.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "platform/posix/descriptor.h"
#include "platform/posix/machine.h"
#include "platform/posix/regfile.h"
#include "platform/registry.h"
#include "platform/utf.h"

namespace platform::win {

struct RegKeyTag {
  std::string path;  // full key path, e.g. HKEY_LOCAL_MACHINE\SOFTWARE\X
  bool predefined = false;
  std::map<std::string, posix::RegValue> values;
  DWORD access = 0;
};

namespace {

RegKeyTag g_hklm{"HKEY_LOCAL_MACHINE", true, {}, 0};
RegKeyTag g_hkcu{"HKEY_CURRENT_USER", true, {}, 0};

std::string ReadRegistryFile() {
  std::ifstream in(posix::MachineRoot() + "/registry.reg", std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using posix::StartsWithIgnoreCase;

// HKLM\SOFTWARE\X in the 32-bit view is HKLM\SOFTWARE\WOW6432Node\X. Without
// a view flag the 32-bit view applies, as for the shipping 32-bit program.
std::string ApplyView(const std::string& fullPath, DWORD sam) {
  const bool view64 = (sam & kKeyWow64_64Key) != 0 && (sam & kKeyWow64_32Key) == 0;
  if (view64) return fullPath;
  const std::string software = "HKEY_LOCAL_MACHINE\\SOFTWARE";
  if (!StartsWithIgnoreCase(fullPath, software)) return fullPath;
  const std::string rest = fullPath.substr(software.size());
  if (!rest.empty() && rest[0] != '\\') return fullPath;
  if (StartsWithIgnoreCase(rest, "\\WOW6432Node") &&
      (rest.size() == 12 || rest[12] == '\\'))
    return fullPath;
  return software + "\\WOW6432Node" + rest;
}

// Appends regedit lines (CR LF line ends) to the registry file, in the
// file's encoding: UTF-16LE when it starts with a byte-order mark, UTF-8
// otherwise. A missing or empty file gets the header first. One write, so
// that concurrent writers do not interleave.
LONG AppendToRegistryFile(const std::string& lines) {
  const std::string existing = ReadRegistryFile();
  std::string text = lines;
  if (existing.empty()) text = "Windows Registry Editor Version 5.00\r\n" + text;
  std::string bytes;
  if (existing.size() >= 2 && static_cast<unsigned char>(existing[0]) == 0xFF &&
      static_cast<unsigned char>(existing[1]) == 0xFE) {
    for (char16_t u : ToUtf16(text)) {
      bytes += static_cast<char>(u & 0xFF);
      bytes += static_cast<char>(u >> 8);
    }
  } else {
    bytes = text;
  }
  const std::string path = posix::MachineRoot() + "/registry.reg";
  posix::ScopedFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return static_cast<LONG>(posix::ErrnoToWin32(errno));
  if (!posix::WriteAll(fd.get(), bytes.data(), bytes.size()))
    return static_cast<LONG>(posix::ErrnoToWin32(errno));
  if (::close(fd.release()) != 0) return static_cast<LONG>(posix::ErrnoToWin32(errno));
  return static_cast<LONG>(kErrorSuccess);
}

// The regedit form of a value: "name"="text" for a string without control
// characters, hex(1): bytes for other strings, dword: for a DWORD. False for
// data that does not fit its type.
bool FormatValue(const std::string& name, DWORD type, const std::uint8_t* data, DWORD cbData,
                 std::string& line) {
  auto quoted = [](const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
      if (c == '\\' || c == '"') out += '\\';
      out += c;
    }
    return out + "\"";
  };
  line = name.empty() ? "@" : quoted(name);
  line += "=";
  if (type == kRegDword) {
    if (cbData != 4) return false;
    char hex[9];
    const unsigned v = static_cast<unsigned>(data[0]) | static_cast<unsigned>(data[1]) << 8 |
                       static_cast<unsigned>(data[2]) << 16 | static_cast<unsigned>(data[3]) << 24;
    std::snprintf(hex, sizeof hex, "%08x", v);
    line += std::string("dword:") + hex;
    return true;
  }
  if (cbData % 2 != 0) return false;
  std::u16string wide;
  for (DWORD i = 0; i + 1 < cbData; i += 2)
    wide += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  while (!wide.empty() && wide.back() == u'\0') wide.pop_back();
  std::string text;
  if (!Utf16ToUtf8(wide, text)) return false;
  bool plain = true;
  for (char c : text) plain = plain && static_cast<unsigned char>(c) >= 0x20;
  if (plain) {
    line += quoted(text);
    return true;
  }
  line += "hex(1):";
  for (DWORD i = 0; i < cbData; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : ",%02x", static_cast<unsigned>(data[i]));
    line += hex;
  }
  return true;
}

}  // namespace

HKEY HkeyLocalMachine() { return &g_hklm; }
HKEY HkeyCurrentUser() { return &g_hkcu; }

LONG RegOpenKeyExW(HKEY root, const char16_t* subKey, DWORD /*options*/, DWORD samDesired,
                   HKEY* result) {
  if (root == nullptr || result == nullptr) return static_cast<LONG>(kErrorInvalidHandle);
  std::string sub;
  if (subKey != nullptr && !Utf16ToUtf8(subKey, sub)) return static_cast<LONG>(kErrorFileNotFound);
  std::string full = root->path;
  if (!sub.empty()) full += "\\" + sub;
  full = ApplyView(full, samDesired);
  const posix::RegFile file = posix::RegFile::Parse(ReadRegistryFile());
  if (!sub.empty() && !file.HasKey(full)) return static_cast<LONG>(kErrorFileNotFound);
  auto* key = new RegKeyTag;
  key->path = full;
  key->values = file.Values(full);
  key->access = samDesired;
  *result = key;
  return static_cast<LONG>(kErrorSuccess);
}

LONG RegQueryValueExW(HKEY key, const char16_t* valueName, DWORD* type, std::uint8_t* data,
                      DWORD* cbData) {
  if (key == nullptr) return static_cast<LONG>(kErrorInvalidHandle);
  // Predefined keys carry every right; an opened key the rights it was
  // opened with.
  if (!key->predefined && (key->access & kKeyQueryValue) == 0)
    return static_cast<LONG>(kErrorAccessDenied);
  if (data != nullptr && cbData == nullptr) return static_cast<LONG>(kErrorInvalidParameter);
  std::string name;
  if (valueName != nullptr && !Utf16ToUtf8(valueName, name))
    return static_cast<LONG>(kErrorFileNotFound);
  const auto it = key->values.find(posix::RegFile::NormalizeName(name));
  if (it == key->values.end()) return static_cast<LONG>(kErrorFileNotFound);
  const auto size = static_cast<DWORD>(it->second.data.size());
  if (type != nullptr) *type = it->second.type;
  if (data == nullptr) {
    if (cbData != nullptr) *cbData = size;
    return static_cast<LONG>(kErrorSuccess);
  }
  if (*cbData < size) {
    *cbData = size;
    return static_cast<LONG>(kErrorMoreData);
  }
  std::copy(it->second.data.begin(), it->second.data.end(), data);
  *cbData = size;
  return static_cast<LONG>(kErrorSuccess);
}

LONG RegCreateKeyExW(HKEY root, const char16_t* subKey, DWORD samDesired, HKEY* result) {
  if (root == nullptr || result == nullptr) return static_cast<LONG>(kErrorInvalidHandle);
  std::string sub;
  if (subKey != nullptr && !Utf16ToUtf8(subKey, sub))
    return static_cast<LONG>(kErrorInvalidParameter);
  std::string full = root->path;
  if (!sub.empty()) full += "\\" + sub;
  full = ApplyView(full, samDesired);
  posix::RegFile file = posix::RegFile::Parse(ReadRegistryFile());
  if (!file.HasKey(full)) {
    const LONG rc = AppendToRegistryFile("\r\n[" + full + "]\r\n");
    if (rc != static_cast<LONG>(kErrorSuccess)) return rc;
  }
  auto* key = new RegKeyTag;
  key->path = full;
  key->values = file.Values(full);
  key->access = samDesired;
  *result = key;
  return static_cast<LONG>(kErrorSuccess);
}

LONG RegSetValueExW(HKEY key, const char16_t* valueName, DWORD type, const std::uint8_t* data,
                    DWORD cbData) {
  if (key == nullptr) return static_cast<LONG>(kErrorInvalidHandle);
  if ((key->access & kKeySetValue) == 0) return static_cast<LONG>(kErrorAccessDenied);
  if (type != kRegSz && type != kRegDword) return static_cast<LONG>(kErrorInvalidParameter);
  if (data == nullptr && cbData != 0) return static_cast<LONG>(kErrorInvalidParameter);
  std::string name;
  if (valueName != nullptr && !Utf16ToUtf8(valueName, name))
    return static_cast<LONG>(kErrorInvalidParameter);
  std::string line;
  if (!FormatValue(name, type, data, cbData, line)) return static_cast<LONG>(kErrorInvalidParameter);
  const LONG rc = AppendToRegistryFile("\r\n[" + key->path + "]\r\n" + line + "\r\n");
  if (rc != static_cast<LONG>(kErrorSuccess)) return rc;
  posix::RegValue value;
  value.type = type;
  if (cbData != 0) value.data.assign(data, data + cbData);
  key->values[posix::RegFile::NormalizeName(name)] = std::move(value);
  return static_cast<LONG>(kErrorSuccess);
}

LONG RegCloseKey(HKEY key) {
  if (key == nullptr) return static_cast<LONG>(kErrorInvalidHandle);
  if (!key->predefined) delete key;
  return static_cast<LONG>(kErrorSuccess);
}

}  // namespace platform::win

namespace platform::win {

char16_t* lstrcpynW(char16_t* dst, const char16_t* src, int maxLength) {
  if (dst == nullptr || src == nullptr) return nullptr;
  char16_t* d = dst;
  // Unsigned, as Windows takes it: -1 is the largest count there is.
  auto count = static_cast<unsigned>(maxLength);
  while (count > 1 && *src != u'\0') {
    --count;
    *d++ = *src++;
  }
  if (count > 0) *d = u'\0';
  return dst;
}

}  // namespace platform::win
