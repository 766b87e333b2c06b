// Registry reads through the Windows backend: values written with the real
// registry API in one view, read back through the facade.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "logging/logger.h"
#include "platform/registry.h"
#include "platform/shell.h"

namespace {

constexpr const wchar_t* kTestKey = L"Software\\CorvZyraTest\\Stub";

void SetDword(REGSAM view, const wchar_t* key, const wchar_t* name, DWORD value) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE | view, nullptr,
                            &h, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof value),
            ERROR_SUCCESS);
  RegCloseKey(h);
}

void DeleteTree(REGSAM view) {
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kTestKey, view, 0);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\CorvZyraTest\\Only32", view, 0);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\CorvZyraTest", view, 0);
}

}  // namespace

TEST(Win32Registry, LogLevelComesFromThe64BitView) {
  SetDword(KEY_WOW64_64KEY, kTestKey, L"log_level", 4);
  EXPECT_EQ(logging::ReadLogLevel("Software\\CorvZyraTest\\Stub"), 4);
  EXPECT_EQ(logging::ReadLogLevel("Software\\CorvZyraTest\\Missing"), 0);
  DeleteTree(KEY_WOW64_64KEY);
}

TEST(Win32Registry, KeyOnlyInThe32BitViewIsNotFound) {
  SetDword(KEY_WOW64_32KEY, L"Software\\CorvZyraTest\\Only32", L"log_level", 3);
  platform::win::HKEY h = nullptr;
  EXPECT_NE(platform::win::RegOpenKeyExW(platform::win::HkeyLocalMachine(),
                                         u"Software\\CorvZyraTest\\Only32", 0,
                                         platform::win::kKeyRead | platform::win::kKeyWow64_64Key,
                                         &h),
            0);
  EXPECT_EQ(logging::ReadLogLevel("Software\\CorvZyraTest\\Only32"), 0);
  DeleteTree(KEY_WOW64_32KEY);
}

TEST(Win32Shell, MachineDataFolderAndModuleName) {
  std::string path;
  ASSERT_EQ(platform::win::SHGetFolderPathA(platform::win::kCsidlCommonAppData, path), 0);
  EXPECT_EQ(path.size() > 3 && path[1] == ':', true) << path;
  std::string self;
  ASSERT_GT(platform::win::GetModuleFileNameA(self, 32768), 0u);
  EXPECT_EQ(self.substr(self.size() - 4), ".exe") << self;
  std::string temp;
  ASSERT_GT(platform::win::GetTempPathA(temp), 0u);
  EXPECT_EQ(temp.back(), '\\');
}
