// Registry writes of the tools (the installer double sets the agent's
// DisplayVersion): what they write is what the stub's reads find, in the
// view it was written to; and the rules of the reads themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

#include "logging/logger.h"
#include "platform/utils/cregistry.h"
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

// The rights a key was opened with decide what may be read through it.
TEST(RegistryRead, AValueIsReadOnlyThroughAKeyOpenedToQueryValues) {
  ASSERT_EQ(SetString(w::kKeyWow64_64Key, kKey, u"Guarded", "secret"), 0);
  for (const w::DWORD access : {w::kKeySetValue, w::kKeyRead, w::kKeyQueryValue}) {
    w::HKEY h = nullptr;
    ASSERT_EQ(w::RegOpenKeyExW(w::HkeyLocalMachine(), kKey, 0, access | w::kKeyWow64_64Key, &h), 0);
    w::DWORD size = 0;
    const w::LONG rc = w::RegQueryValueExW(h, u"Guarded", nullptr, nullptr, &size);
    if (access == w::kKeySetValue) {
      EXPECT_EQ(rc, static_cast<w::LONG>(w::kErrorAccessDenied));
    } else {
      EXPECT_EQ(rc, 0) << access;
      EXPECT_EQ(size, 14u) << access;  // "secret" and its terminator in UTF-16
    }
    w::RegCloseKey(h);
  }
}

// lstrcpynW takes its count as an unsigned number: -1 is no limit.
TEST(RegistryRead, LstrcpynTakesItsCountAsUnsigned) {
  char16_t dst[16];
  std::fill(std::begin(dst), std::end(dst), u'#');
  ASSERT_NE(w::lstrcpynW(dst, u"abcdefghij", -1), nullptr);
  EXPECT_EQ(std::u16string(dst), u"abcdefghij");
  std::fill(std::begin(dst), std::end(dst), u'#');
  ASSERT_NE(w::lstrcpynW(dst, u"abcdefghij", 4), nullptr);
  EXPECT_EQ(std::u16string(dst), u"abc");
  std::fill(std::begin(dst), std::end(dst), u'#');
  ASSERT_NE(w::lstrcpynW(dst, u"abc", 0), nullptr);
  EXPECT_EQ(dst[0], u'#');  // nothing at all, not even a terminator
}

// CRegistry::GetString hands lstrcpynW capacity - 1: a capacity below 2 has
// no room for a character (and 0 would be a count of -1, no limit at all).
TEST(RegistryRead, GetStringRefusesCapacitiesBelowTwo) {
  ASSERT_EQ(SetString(w::kKeyWow64_64Key, kKey, u"Long", "a fairly long value"), 0);
  platform::CRegistry reg(kKey);
  char16_t buffer[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_FALSE(reg.GetString(u"Long", buffer, 0));
  EXPECT_FALSE(reg.GetString(u"Long", buffer, 1));
  EXPECT_EQ(std::u16string(buffer, 4), u"####");
  EXPECT_TRUE(reg.GetString(u"Long", buffer, 2));
  EXPECT_EQ(buffer[0], u'\0');
  EXPECT_EQ(buffer[1], u'#');
  EXPECT_TRUE(reg.GetString(u"Long", buffer, 3));
  EXPECT_EQ(std::u16string(buffer), u"a");
  EXPECT_EQ(buffer[2], u'#');
}
