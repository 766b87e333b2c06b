// CRegistry over the emulated registry: the 64-bit view, the capacity rule,
// values of other types read as text.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/utils/cregistry.h"
#include "platform/posix/machine.h"
#include "platform/utf.h"

namespace {

class CRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(File(), std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraAgent]\r\n"
           "\"DisplayVersion\"=\"1.2.3.4\"\r\n"
           "\"Number\"=dword:00420041\r\n"
           "\"Empty\"=hex:\r\n"
           "\"Odd\"=hex:41,00,42\r\n"
           "\"NoTerminator\"=hex:41,00,42,00\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Corvane\\Only32]\r\n"
           "\"DisplayVersion\"=\"9.9.9\"\r\n";
  }
  void TearDown() override { std::remove(File().c_str()); }
  static std::string File() { return platform::posix::MachineRoot() + "/registry.reg"; }
};

std::string Text(const char16_t* buffer) { return platform::ToUtf8(buffer); }

}  // namespace

TEST_F(CRegistryTest, ReadsAStringValue) {
  platform::CRegistry reg(u"Software\\Corvane\\CorvZyraAgent");
  char16_t buf[260] = u"untouched";
  ASSERT_TRUE(reg.GetString(u"DisplayVersion", buf, 260));
  EXPECT_EQ(Text(buf), "1.2.3.4");
}

TEST_F(CRegistryTest, TruncatesToCapacityMinusTwoCharacters) {
  platform::CRegistry reg(u"Software\\Corvane\\CorvZyraAgent");
  char16_t buf[8];
  std::fill(std::begin(buf), std::end(buf), u'#');
  ASSERT_TRUE(reg.GetString(u"DisplayVersion", buf, 6));  // "1.2.3.4" is 7 characters
  EXPECT_EQ(Text(buf), "1.2.");
  EXPECT_EQ(buf[5], u'#');  // nothing written past the terminator
  ASSERT_TRUE(reg.GetString(u"DisplayVersion", buf, 8));
  EXPECT_EQ(Text(buf), "1.2.3.");
}

TEST_F(CRegistryTest, KeyOnlyInThe32BitViewFailsAndLeavesTheBuffer) {
  platform::CRegistry reg(u"Software\\Corvane\\Only32");
  EXPECT_FALSE(reg.IsOpen());
  char16_t buf[16] = u"keep";
  EXPECT_FALSE(reg.GetString(u"DisplayVersion", buf, 16));
  EXPECT_EQ(Text(buf), "keep");
}

TEST_F(CRegistryTest, MissingEmptyAndNullCasesFail) {
  platform::CRegistry reg(u"Software\\Corvane\\CorvZyraAgent");
  char16_t buf[16] = u"keep";
  EXPECT_FALSE(reg.GetString(u"Missing", buf, 16));
  EXPECT_FALSE(reg.GetString(u"Empty", buf, 16));
  EXPECT_FALSE(reg.GetString(u"DisplayVersion", nullptr, 16));
  EXPECT_EQ(Text(buf), "keep");
}

TEST_F(CRegistryTest, ValuesOfOtherTypesReadAsTheCharactersTheirBytesForm) {
  platform::CRegistry reg(u"Software\\Corvane\\CorvZyraAgent");
  char16_t buf[16] = {};
  ASSERT_TRUE(reg.GetString(u"Number", buf, 16));  // 41 00 42 00
  EXPECT_EQ(Text(buf), "AB");
  // No terminator stored, and an odd byte count: still read safely.
  ASSERT_TRUE(reg.GetString(u"NoTerminator", buf, 16));
  EXPECT_EQ(Text(buf), "AB");
  ASSERT_TRUE(reg.GetString(u"Odd", buf, 16));
  EXPECT_EQ(buf[0], u'A');
}
