// Registry writes of the tools (the installer double sets the agent's
// DisplayVersion): what they write is what the stub's reads find, in the
// view it was written to.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "logging/logger.h"
#include "platform/cregistry.h"
#include "platform/registry.h"
#include "platform/utf.h"

namespace w = platform::win;

namespace {

constexpr const char16_t* kKey = u"Software\\CorvZyraTest\\Written";

w::LONG SetString(w::DWORD view, const char16_t* key, const char16_t* name,
                  const std::string& value) {
  w::HKEY h = nullptr;
  w::LONG rc = w::RegCreateKeyExW(w::HkeyLocalMachine(), key, w::kKeyWrite | view, &h);
  if (rc != 0) return rc;
  const std::u16string text = platform::ToUtf16(value);
  rc = w::RegSetValueExW(h, name, w::kRegSz, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                         static_cast<w::DWORD>((text.size() + 1) * sizeof(char16_t)));
  w::RegCloseKey(h);
  return rc;
}

// Reads a string the way the stub reads DisplayVersion; "<absent>" when it
// cannot.
std::string ReadAsTheStubDoes(const char16_t* key, const char16_t* name) {
  platform::CRegistry reg(key);
  char16_t buffer[260] = {};
  if (!reg.GetString(name, buffer, 260)) return "<absent>";
  return platform::ToUtf8(buffer);
}

}  // namespace

TEST(RegistryWrite, StringsAndNumbersReadBackAndALaterWriteWins) {
  ASSERT_EQ(SetString(w::kKeyWow64_64Key, kKey, u"DisplayVersion", "2.4.1"), 0);
  EXPECT_EQ(ReadAsTheStubDoes(kKey, u"DisplayVersion"), "2.4.1");
  ASSERT_EQ(SetString(w::kKeyWow64_64Key, kKey, u"DisplayVersion", "2.5.0"), 0);
  EXPECT_EQ(ReadAsTheStubDoes(kKey, u"DisplayVersion"), "2.5.0");

  // Quotes, backslashes and non-ASCII text survive.
  ASSERT_EQ(SetString(w::kKeyWow64_64Key, kKey, u"Path", "C:\\Program Files\\\"Zyra\" \xC3\xA9"),
            0);
  EXPECT_EQ(ReadAsTheStubDoes(kKey, u"Path"), "C:\\Program Files\\\"Zyra\" \xC3\xA9");

  w::HKEY h = nullptr;
  ASSERT_EQ(w::RegCreateKeyExW(w::HkeyLocalMachine(), kKey, w::kKeyWrite | w::kKeyWow64_64Key, &h),
            0);
  const std::uint8_t three[4] = {3, 0, 0, 0};
  EXPECT_EQ(w::RegSetValueExW(h, u"log_level", w::kRegDword, three, 4), 0);
  w::RegCloseKey(h);
  EXPECT_EQ(logging::ReadLogLevel("Software\\CorvZyraTest\\Written"), 3);

  // The same level written as text is no level at all (not the code of "4").
  ASSERT_EQ(SetString(w::kKeyWow64_64Key, kKey, u"log_level", "4"), 0);
  EXPECT_EQ(logging::ReadLogLevel("Software\\CorvZyraTest\\Written"), 0);
}

TEST(RegistryWrite, AKeyOpenedForReadingRefusesWritesAndViewsStaySeparate) {
  ASSERT_EQ(SetString(w::kKeyWow64_64Key, kKey, u"Seed", "x"), 0);
  w::HKEY h = nullptr;
  ASSERT_EQ(w::RegOpenKeyExW(w::HkeyLocalMachine(), kKey, 0, w::kKeyRead | w::kKeyWow64_64Key, &h),
            0);
  const std::u16string text = u"1.0.0";
  EXPECT_EQ(w::RegSetValueExW(h, u"ReadOnly", w::kRegSz,
                              reinterpret_cast<const std::uint8_t*>(text.c_str()),
                              static_cast<w::DWORD>((text.size() + 1) * sizeof(char16_t))),
            static_cast<w::LONG>(w::kErrorAccessDenied));
  w::RegCloseKey(h);
  EXPECT_EQ(ReadAsTheStubDoes(kKey, u"ReadOnly"), "<absent>");

  // Written in the 32-bit view only: the stub, reading the 64-bit view,
  // does not see it.
  const char16_t* only32 = u"Software\\CorvZyraTest\\Only32Written";
  ASSERT_EQ(SetString(w::kKeyWow64_32Key, only32, u"DisplayVersion", "9.9.9"), 0);
  EXPECT_EQ(ReadAsTheStubDoes(only32, u"DisplayVersion"), "<absent>");
}
