#include "platform/utils/cregistry.h"

#include <vector>

namespace platform {

CRegistry::CRegistry(const char16_t* subKey) {
  rootKey_ = win::HkeyLocalMachine();
  win::HKEY opened = nullptr;
  if (win::RegOpenKeyExW(rootKey_, subKey, 0, win::kKeyRead | win::kKeyWow64_64Key, &opened) ==
      0)
    key_.reset(opened);
}

CRegistry::~CRegistry() { Close(); }

void CRegistry::Close() {
  key_.reset();
  rootKey_ = nullptr;
}

bool CRegistry::GetString(const char16_t* valueName, char16_t* buffer, win::DWORD capacity) {
  // lstrcpynW gets capacity - 1: below 2 there is no room for a character,
  // and capacity 0 would be a count of -1, which lstrcpynW takes as no
  // limit at all.
  if (buffer == nullptr || !key_ || capacity < 2) return false;
  win::DWORD size = 0;
  if (win::RegQueryValueExW(key_.get(), valueName, nullptr, nullptr, &size) != 0 || size == 0)
    return false;
  // The value need not end in a null character (nor have an even size): the
  // temporary buffer always ends in a whole UTF-16 null.
  std::vector<char16_t> temp(size / 2 + 2, u'\0');
  win::DWORD read = size;
  if (win::RegQueryValueExW(key_.get(), valueName, nullptr, reinterpret_cast<std::uint8_t*>(temp.data()),
                            &read) != 0)
    return false;
  return win::lstrcpynW(buffer, temp.data(), static_cast<int>(capacity) - 1) != nullptr;
}

}  // namespace platform
