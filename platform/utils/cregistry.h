#pragma once
// CRegistry: one registry key of HKEY_LOCAL_MACHINE opened for reading in
// the 64-bit view, and string reads from it.
#include "platform/registry.h"

namespace platform {

class CRegistry {
 public:
  // Opens HKEY_LOCAL_MACHINE\subKey (UTF-16). A failed open is not
  // reported: every later read fails.
  explicit CRegistry(const char16_t* subKey);
  virtual ~CRegistry();
  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  // Reads a value as UTF-16 text into buffer (capacity in characters,
  // terminator included): at most capacity - 2 characters are copied,
  // followed by a null. Whatever the value's type, its bytes are taken as
  // UTF-16 text. False when there is no key, no value, an empty value, a
  // capacity below 2 or the read fails; the buffer is then unchanged.
  [[nodiscard]] bool GetString(const char16_t* valueName, char16_t* buffer, win::DWORD capacity);

  [[nodiscard]] bool IsOpen() const { return key_.valid(); }

 private:
  void Close();

  win::HKEY rootKey_ = nullptr;
  win::ScopedKey key_;
};

}  // namespace platform
