// The service facade against the real service control manager: the
// status record and the module name. ServiceInstaller with a real service
// runs on both backends (tests/portable/service_control_test.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/files.h"
#include "platform/services.h"

namespace w = platform::win;

TEST(Win32Services, FacadeMirrorsTheStatusRecordAndModuleName) {
  std::u16string self;
  const w::DWORD n = w::GetModuleFileNameW(self);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(n, self.size());
  EXPECT_EQ(self.substr(self.size() - 4), u".exe");

  w::ScHandle manager(w::OpenSCManagerW(nullptr, nullptr, w::kScManagerConnect));
  ASSERT_NE(manager.get(), nullptr);
  EXPECT_EQ(w::OpenServiceW(manager.get(), u"ZyraNoSuchService", w::kServiceQueryStatus), nullptr);
  EXPECT_EQ(w::GetLastError(), static_cast<w::DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}
