// Windows registry: RegOpenKeyExW, RegQueryValueExW, RegCloseKey, and the
// writes of the tools, RegCreateKeyExW and RegSetValueExW.
#include <windows.h>

#include "platform/registry.h"

namespace platform::win {
namespace {
::HKEY Native(HKEY k) { return reinterpret_cast<::HKEY>(k); }
const wchar_t* Wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
}  // namespace

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected on Windows");

HKEY HkeyLocalMachine() { return reinterpret_cast<HKEY>(HKEY_LOCAL_MACHINE); }
HKEY HkeyCurrentUser() { return reinterpret_cast<HKEY>(HKEY_CURRENT_USER); }

LONG RegOpenKeyExW(HKEY root, const char16_t* subKey, DWORD options, DWORD samDesired,
                   HKEY* result) {
  ::HKEY out = nullptr;
  const ::LONG rc = ::RegOpenKeyExW(Native(root), Wide(subKey), options, samDesired, &out);
  if (rc == ERROR_SUCCESS && result != nullptr) *result = reinterpret_cast<HKEY>(out);
  return rc;
}

LONG RegQueryValueExW(HKEY key, const char16_t* valueName, DWORD* type, std::uint8_t* data,
                      DWORD* cbData) {
  ::DWORD t = 0;
  ::DWORD cb = cbData != nullptr ? *cbData : 0;
  const ::LONG rc = ::RegQueryValueExW(Native(key), Wide(valueName), nullptr, &t, data,
                                       cbData != nullptr ? &cb : nullptr);
  if (type != nullptr) *type = t;
  if (cbData != nullptr) *cbData = cb;
  return rc;
}

LONG RegCloseKey(HKEY key) { return ::RegCloseKey(Native(key)); }

LONG RegCreateKeyExW(HKEY root, const char16_t* subKey, DWORD samDesired, HKEY* result) {
  ::HKEY out = nullptr;
  const ::LONG rc = ::RegCreateKeyExW(Native(root), Wide(subKey), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, samDesired, nullptr, &out, nullptr);
  if (rc == ERROR_SUCCESS && result != nullptr) *result = reinterpret_cast<HKEY>(out);
  return rc;
}

LONG RegSetValueExW(HKEY key, const char16_t* valueName, DWORD type, const std::uint8_t* data,
                    DWORD cbData) {
  return ::RegSetValueExW(Native(key), Wide(valueName), 0, type, data, cbData);
}

}  // namespace platform::win

namespace platform::win {

char16_t* lstrcpynW(char16_t* dst, const char16_t* src, int maxLength) {
  return reinterpret_cast<char16_t*>(::lstrcpynW(reinterpret_cast<wchar_t*>(dst),
                                                 reinterpret_cast<const wchar_t*>(src),
                                                 maxLength));
}

}  // namespace platform::win
