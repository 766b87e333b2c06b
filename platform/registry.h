#pragma once
// Registry facade: access as RegOpenKeyExW, RegQueryValueExW and RegCloseKey
// give it, and, for the tools that stand in for other programs (the installer
// double), RegCreateKeyExW and RegSetValueExW. The provisioning program
// itself only reads. Names are UTF-16 (char16_t).
#include <cstdint>

#include "platform/scoped_generic.h"
#include "platform/win_types.h"

namespace platform::win {

struct RegKeyTag;
using HKEY = RegKeyTag*;

HKEY HkeyLocalMachine();
HKEY HkeyCurrentUser();

constexpr DWORD kKeyRead = 0x20019;
constexpr DWORD kKeyQueryValue = 0x0001;  // KEY_QUERY_VALUE
constexpr DWORD kKeySetValue = 0x0002;  // KEY_SET_VALUE
constexpr DWORD kKeyWrite = 0x20006;    // KEY_WRITE
constexpr DWORD kKeyWow64_64Key = 0x0100;
constexpr DWORD kKeyWow64_32Key = 0x0200;

constexpr DWORD kRegNone = 0;
constexpr DWORD kRegSz = 1;
constexpr DWORD kRegExpandSz = 2;
constexpr DWORD kRegBinary = 3;
constexpr DWORD kRegDword = 4;
constexpr DWORD kRegMultiSz = 7;
constexpr DWORD kRegQword = 11;

[[nodiscard]] LONG RegOpenKeyExW(HKEY root, const char16_t* subKey, DWORD options, DWORD samDesired,
                                 HKEY* result);
// data may be null to ask for the size only. A too small buffer gives
// ERROR_MORE_DATA with the needed size in *cbData. Needs a key opened with
// KEY_QUERY_VALUE (KEY_READ holds it), else ERROR_ACCESS_DENIED.
[[nodiscard]] LONG RegQueryValueExW(HKEY key, const char16_t* valueName, DWORD* type,
                                    std::uint8_t* data, DWORD* cbData);
LONG RegCloseKey(HKEY key);

// RegCreateKeyExW(root, subKey, 0, no class, REG_OPTION_NON_VOLATILE,
// samDesired, no security attributes, result, no disposition): opens the key,
// creating it and the keys above it when missing. The view flags apply as
// for RegOpenKeyExW.
[[nodiscard]] LONG RegCreateKeyExW(HKEY root, const char16_t* subKey, DWORD samDesired,
                                   HKEY* result);
// RegSetValueExW(key, name, 0, type, data, cbData): needs a key opened with
// KEY_SET_VALUE (else ERROR_ACCESS_DENIED). Strings (REG_SZ) are UTF-16 with
// their terminator. The emulated machine stores REG_SZ and REG_DWORD only
// (other types: ERROR_INVALID_PARAMETER).
[[nodiscard]] LONG RegSetValueExW(HKEY key, const char16_t* valueName, DWORD type,
                                  const std::uint8_t* data, DWORD cbData);

// Owns a key that RegOpenKeyExW or RegCreateKeyExW opened; closing it is
// RegCloseKey. The predefined roots (HkeyLocalMachine ...) are never owned.
struct RegKeyTraits {
  static HKEY InvalidValue() noexcept { return nullptr; }
  static void Free(HKEY key) noexcept { RegCloseKey(key); }
};
using ScopedKey = ScopedGeneric<HKEY, RegKeyTraits>;

// lstrcpynW: copies at most maxLength - 1 characters of src and a null
// terminator (nothing at all when maxLength is 0). Windows takes the count
// as an unsigned number: a negative maxLength is no limit at all, and the
// whole of src is copied whatever the size of dst. Returns dst, or null on
// a bad pointer.
char16_t* lstrcpynW(char16_t* dst, const char16_t* src, int maxLength);

}  // namespace platform::win
