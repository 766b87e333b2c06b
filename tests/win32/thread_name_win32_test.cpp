// Thread naming on Windows: the name SetThreadDescription gave the thread is
// what GetThreadDescription reads back, and a second call renames it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "platform/thread_name.h"

namespace {

using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// The calling thread's description; "<none>" when the system cannot tell.
std::string Description() {
  HMODULE kernel = ::GetModuleHandleW(L"Kernel32.dll");
  auto get = kernel == nullptr ? nullptr
                               : reinterpret_cast<GetThreadDescriptionFn>(reinterpret_cast<void*>(
                                     ::GetProcAddress(kernel, "GetThreadDescription")));
  if (get == nullptr) return "<none>";
  PWSTR text = nullptr;
  if (FAILED(get(::GetCurrentThread(), &text)) || text == nullptr) return "<none>";
  std::string narrow;
  for (const wchar_t* p = text; *p != 0; ++p) narrow += static_cast<char>(*p);
  ::LocalFree(text);
  return narrow;
}

}  // namespace

TEST(Win32ThreadName, ASecondCallRenamesTheThread) {
  if (Description() == "<none>") GTEST_SKIP() << "no GetThreadDescription on this system";
  std::string first;
  std::string second;
  std::thread worker([&] {
    platform::SetThreadName("CleanupDownloadLocation");
    first = Description();
    platform::SetThreadName("Renamed");
    second = Description();
  });
  worker.join();
  EXPECT_EQ(first, "CleanupDownloadLocation");  // all of it: no 15-character cut
  EXPECT_EQ(second, "Renamed");
}
