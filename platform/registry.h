#pragma once
// Registry facade: read-only access as RegOpenKeyExW, RegQueryValueExW and
// RegCloseKey give it. Names are UTF-16 (char16_t).
#include <cstdint>

#include "platform/win_types.h"

namespace platform::win {

struct RegKeyTag;
using HKEY = RegKeyTag*;

HKEY HkeyLocalMachine();
HKEY HkeyCurrentUser();

constexpr DWORD kKeyRead = 0x20019;
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
// ERROR_MORE_DATA with the needed size in *cbData.
[[nodiscard]] LONG RegQueryValueExW(HKEY key, const char16_t* valueName, DWORD* type,
                                    std::uint8_t* data, DWORD* cbData);
LONG RegCloseKey(HKEY key);

// lstrcpynW: copies at most maxLength - 1 characters of src and a null
// terminator (nothing at all when maxLength is 0). Returns dst, or null on
// a bad pointer.
char16_t* lstrcpynW(char16_t* dst, const char16_t* src, int maxLength);

}  // namespace platform::win
