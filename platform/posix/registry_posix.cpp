// Emulated registry: read-only access to $ZYRA_MACHINE_ROOT/registry.reg.
// The file is read again at every key open, so another program may change
// it between opens; an open key keeps the values it saw.
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "platform/posix/machine.h"
#include "platform/posix/regfile.h"
#include "platform/registry.h"
#include "platform/utf.h"

namespace platform::win {

struct RegKeyTag {
  std::string path;  // full key path, e.g. HKEY_LOCAL_MACHINE\SOFTWARE\X
  bool predefined = false;
  std::map<std::string, posix::RegValue> values;
};

namespace {

RegKeyTag g_hklm{"HKEY_LOCAL_MACHINE", true, {}};
RegKeyTag g_hkcu{"HKEY_CURRENT_USER", true, {}};

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
  *result = key;
  return static_cast<LONG>(kErrorSuccess);
}

LONG RegQueryValueExW(HKEY key, const char16_t* valueName, DWORD* type, std::uint8_t* data,
                      DWORD* cbData) {
  if (key == nullptr) return static_cast<LONG>(kErrorInvalidHandle);
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
  int count = maxLength;
  while (count > 1 && *src != u'\0') {
    --count;
    *d++ = *src++;
  }
  if (count > 0) *d = u'\0';
  return dst;
}

}  // namespace platform::win
