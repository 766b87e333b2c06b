// The emulated registry: the regedit file format, views, letter case,
// damaged input, and ReadLogLevel on top of it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "logging/logger.h"
#include "platform/posix/machine.h"
#include "platform/posix/regfile.h"
#include "platform/registry.h"
#include "platform/utf.h"

namespace w = platform::win;

namespace {

class Registry : public ::testing::Test {
 protected:
  void TearDown() override { std::remove(File().c_str()); }
  static std::string File() { return platform::posix::MachineRoot() + "/registry.reg"; }
  static void Write(const std::string& bytes) {
    std::ofstream(File(), std::ios::binary) << bytes;
  }
  static void WriteUtf16(const std::string& utf8) {
    std::string bytes = "\xFF\xFE";
    for (char16_t u : platform::ToUtf16(utf8)) {
      bytes += static_cast<char>(u & 0xFF);
      bytes += static_cast<char>(u >> 8);
    }
    Write(bytes);
  }
  // Reads a string value the way the program does; "<absent>" when it fails.
  static std::string ReadString(const std::string& key, const std::u16string& name,
                                w::DWORD sam = w::kKeyRead | w::kKeyWow64_64Key) {
    w::HKEY h = nullptr;
    if (w::RegOpenKeyExW(w::HkeyLocalMachine(), platform::ToUtf16(key).c_str(), 0, sam, &h) != 0)
      return "<absent>";
    w::DWORD size = 0;
    w::DWORD type = 0;
    std::string result = "<absent>";
    if (w::RegQueryValueExW(h, name.c_str(), &type, nullptr, &size) == 0 && size > 0) {
      std::vector<std::uint8_t> data(size);
      if (w::RegQueryValueExW(h, name.c_str(), &type, data.data(), &size) == 0) {
        std::u16string text;
        for (std::size_t i = 0; i + 1 < data.size(); i += 2)
          text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        while (!text.empty() && text.back() == 0) text.pop_back();
        result = platform::ToUtf8(text);
      }
    }
    w::RegCloseKey(h);
    return result;
  }
};

const char* kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

}  // namespace

TEST_F(Registry, ReadsLogLevelInThe64BitView) {
  Write(std::string(kHeader) +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\r\n\"log_level\"=dword:00000004\r\n");
  EXPECT_EQ(logging::ReadLogLevel("Software\\Corvane\\CorvZyraStub"), 4);
  EXPECT_EQ(logging::ReadLogLevel("SOFTWARE\\CORVANE\\corvzyrastub"), 4);
  EXPECT_EQ(logging::ReadLogLevel("Software\\Corvane\\Other"), 0);
}

TEST_F(Registry, KeyOnlyInWow6432NodeIsNotFoundInThe64BitView) {
  Write(std::string(kHeader) +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Corvane\\CorvZyraAgent]\r\n"
        "\"DisplayVersion\"=\"1.2.3\"\r\n");
  EXPECT_EQ(ReadString("Software\\Corvane\\CorvZyraAgent", u"DisplayVersion"), "<absent>");
  EXPECT_EQ(ReadString("Software\\Corvane\\CorvZyraAgent", u"DisplayVersion",
                       w::kKeyRead | w::kKeyWow64_32Key),
            "1.2.3");
  EXPECT_EQ(ReadString("Software\\Corvane\\CorvZyraAgent", u"DisplayVersion", w::kKeyRead),
            "1.2.3");
}

TEST_F(Registry, Utf16FileWithEscapesContinuationsAndDamagedLines) {
  WriteUtf16(std::string(kHeader) +
             "; a comment\r\n"
             "this line is damaged\r\n"
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraAgent]\r\n"
             "\"DisplayVersion\"=\"2.0.1\"\r\n"
             "\"Quoted\"=\"say \\\"hi\\\" C:\\\\x\"\r\n"
             "\"Broken\"=dword:xyz\r\n"
             "\"Unterminated\"=\"abc\r\n"
             "\"Binary\"=hex:41,00,42,\\\r\n"
             "  00,00,00\r\n"
             "\"Expand\"=hex(2):25,00,54,00,25,00,00,00\r\n"
             "@=\"default\"\r\n"
             "\"Umlaut\"=\"Zürich\"\r\n"
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Broken\r\n"
             "\"Orphan\"=\"ignored\"\r\n"
             "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n");
  const std::string key = "Software\\Corvane\\CorvZyraAgent";
  EXPECT_EQ(ReadString(key, u"displayversion"), "2.0.1");
  EXPECT_EQ(ReadString(key, u"Quoted"), "say \"hi\" C:\\x");
  EXPECT_EQ(ReadString(key, u"Broken"), "<absent>");
  EXPECT_EQ(ReadString(key, u"Unterminated"), "<absent>");
  EXPECT_EQ(ReadString(key, u"Binary"), "AB");
  EXPECT_EQ(ReadString(key, u"Expand"), "%T%");
  EXPECT_EQ(ReadString(key, u""), "default");
  EXPECT_EQ(ReadString(key, u"Umlaut"), "Zürich");
  EXPECT_EQ(ReadString("Software\\Broken", u"Orphan"), "<absent>");
}

TEST_F(Registry, ValueSizesTypesAndMoreData) {
  Write(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"n\"=dword:0000012c\n\"s\"=\"abc\"\n");
  w::HKEY h = nullptr;
  ASSERT_EQ(w::RegOpenKeyExW(w::HkeyLocalMachine(), u"Software\\T", 0,
                             w::kKeyRead | w::kKeyWow64_64Key, &h),
            0);
  w::DWORD type = 0;
  w::DWORD size = 0;
  ASSERT_EQ(w::RegQueryValueExW(h, u"n", &type, nullptr, &size), 0);
  EXPECT_EQ(type, w::kRegDword);
  EXPECT_EQ(size, 4u);
  std::uint8_t small[4] = {};
  size = 4;
  ASSERT_EQ(w::RegQueryValueExW(h, u"n", &type, small, &size), 0);
  EXPECT_EQ(small[0] | (small[1] << 8), 300);
  size = 2;
  EXPECT_EQ(w::RegQueryValueExW(h, u"s", &type, small, &size),
            static_cast<w::LONG>(w::kErrorMoreData));
  EXPECT_EQ(size, 8u);  // "abc" and its terminator in UTF-16
  EXPECT_EQ(type, w::kRegSz);
  EXPECT_EQ(w::RegQueryValueExW(h, u"missing", &type, nullptr, &size),
            static_cast<w::LONG>(w::kErrorFileNotFound));
  EXPECT_EQ(w::RegCloseKey(h), 0);
}

TEST_F(Registry, FileIsReadAgainAtEveryOpenAndAParentKeyExists) {
  EXPECT_EQ(logging::ReadLogLevel("Software\\Corvane\\CorvZyraStub"), 0);  // no file at all
  Write(std::string(kHeader) +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\n\"log_level\"=dword:00000002\n");
  EXPECT_EQ(logging::ReadLogLevel("Software\\Corvane\\CorvZyraStub"), 2);
  w::HKEY h = nullptr;
  EXPECT_EQ(w::RegOpenKeyExW(w::HkeyLocalMachine(), u"Software\\Corvane", 0,
                             w::kKeyRead | w::kKeyWow64_64Key, &h),
            0);
  w::RegCloseKey(h);
  Write(std::string(kHeader) +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\n\"log_level\"=dword:00000006\n");
  EXPECT_EQ(logging::ReadLogLevel("Software\\Corvane\\CorvZyraStub"), 6);
}

TEST_F(Registry, LogLevelOfAnotherTypeCountsAsAbsentAndHkcuIsSeparate) {
  // "4" as UTF-16 with its terminator is 4 bytes, which would read as the
  // number 52 (nothing logged at all): only a REG_DWORD counts.
  Write(std::string(kHeader) +
        "[HKEY_CURRENT_USER\\Software\\Corvane\\CorvZyraStub]\n\"log_level\"=dword:00000004\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\n\"log_level\"=\"4\"\n");
  EXPECT_EQ(logging::ReadLogLevel("Software\\Corvane\\CorvZyraStub"), 0);
  for (const char* data : {"hex:04,00,00,00", "hex(b):04,00,00,00,00,00,00,00",
                           "hex(2):34,00,00,00", "hex(4):04,00,00"}) {
    Write(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\n"
                                 "\"log_level\"=" + data + "\n");
    EXPECT_EQ(logging::ReadLogLevel("Software\\Corvane\\CorvZyraStub"), 0) << data;
  }
  Write(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\n"
                               "\"log_level\"=hex(4):04,00,00,00\n");
  EXPECT_EQ(logging::ReadLogLevel("Software\\Corvane\\CorvZyraStub"), 4);
}

TEST_F(Registry, WritesAppendSectionsInTheFilesOwnEncoding) {
  auto set = [](const std::u16string& text) {
    w::HKEY h = nullptr;
    EXPECT_EQ(w::RegCreateKeyExW(w::HkeyLocalMachine(), u"Software\\Corvane\\CorvZyraAgent",
                                 w::kKeySetValue | w::kKeyWow64_64Key, &h),
              0);
    EXPECT_EQ(w::RegSetValueExW(h, u"DisplayVersion", w::kRegSz,
                                reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                static_cast<w::DWORD>((text.size() + 1) * 2)),
              0);
    w::RegCloseKey(h);
  };

  // No file yet: one is made, with the header regedit writes.
  set(u"1.0.0");
  std::ifstream first(File(), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(first)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u) << bytes;
  EXPECT_EQ(ReadString("Software\\Corvane\\CorvZyraAgent", u"DisplayVersion"), "1.0.0");

  // A regedit (UTF-16) file stays UTF-16 and keeps its other values; a line
  // break in a value cannot go between quotes and is written as hex(1).
  WriteUtf16(std::string(kHeader) +
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraStub]\r\n"
             "\"log_level\"=dword:00000002\r\n");
  set(u"2.0.\u00e9");
  set(u"two\r\nlines");
  std::ifstream in(File(), std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  std::u16string wide;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
    wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  static_cast<unsigned char>(bytes[i + 1]) << 8);
  EXPECT_NE(platform::ToUtf8(wide).find("\"DisplayVersion\"=\"2.0.\xC3\xA9\""), std::string::npos);
  EXPECT_EQ(ReadString("Software\\Corvane\\CorvZyraAgent", u"DisplayVersion"), "two\r\nlines");
  EXPECT_EQ(logging::ReadLogLevel("Software\\Corvane\\CorvZyraStub"), 2);
}
