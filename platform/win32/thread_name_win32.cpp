// Thread names on Windows: SetThreadDescription where the system has it
// (looked up once in Kernel32.dll), otherwise the debugger naming exception
// 0x406D1388, raised only while a debugger is attached.
#include <windows.h>

#include <mutex>
#include <string>

#include "platform/thread_name.h"

namespace platform {
namespace {

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

constexpr DWORD kMsVcException = 0x406D1388;

#pragma pack(push, 8)
struct THREADNAME_INFO {
  DWORD dwType;      // 0x1000
  LPCSTR szName;     // name, ASCII
  DWORD dwThreadID;  // 0xFFFFFFFF: the calling thread
  DWORD dwFlags;     // 0
};
#pragma pack(pop)

SetThreadDescriptionFn LookUpSetThreadDescription() {
  static std::once_flag once;
  static SetThreadDescriptionFn fn = nullptr;
  std::call_once(once, [] {
    HMODULE kernel = ::GetModuleHandleW(L"Kernel32.dll");
    if (kernel != nullptr)
      fn = reinterpret_cast<SetThreadDescriptionFn>(
          reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
  });
  return fn;
}

// mingw has no __try/__except: a vectored handler plays the guard whose
// filter takes the naming exception and whose handler does nothing.
LONG CALLBACK ContinueAfterNaming(PEXCEPTION_POINTERS info) {
  if (info->ExceptionRecord->ExceptionCode == kMsVcException) return EXCEPTION_CONTINUE_EXECUTION;
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void NameCurrentThread(const std::string& name) {
  if (SetThreadDescriptionFn fn = LookUpSetThreadDescription()) {
    std::wstring wide(name.begin(), name.end());  // one code unit per byte
    fn(::GetCurrentThread(), wide.c_str());
    return;
  }
  if (!::IsDebuggerPresent()) return;
  THREADNAME_INFO info{0x1000, name.c_str(), 0xFFFFFFFF, 0};
  PVOID guard = ::AddVectoredExceptionHandler(1, ContinueAfterNaming);
  ::RaiseException(kMsVcException, 0, sizeof(info) / sizeof(ULONG_PTR),
                   reinterpret_cast<const ULONG_PTR*>(&info));
  if (guard != nullptr) ::RemoveVectoredExceptionHandler(guard);
}

}  // namespace platform
