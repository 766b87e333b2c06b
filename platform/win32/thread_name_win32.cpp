// Thread names on Windows: SetThreadDescription where the system has it
// (looked up once in Kernel32.dll), otherwise the debugger naming exception
// 0x406D1388, raised only while a debugger is attached.
#include "platform/win32/thread_name_win32.h"

#include "platform/thread_name.h"

namespace platform {
namespace {

// mingw has no __try/__except: a vectored handler plays the guard whose
// filter takes the naming exception and whose handler does nothing.
LONG CALLBACK ContinueAfterNaming(PEXCEPTION_POINTERS info) {
  if (info->ExceptionRecord->ExceptionCode == kThreadNamingException)
    return EXCEPTION_CONTINUE_EXECUTION;
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

ThreadNamingCalls ThreadNamingCalls::System() {
  return {::GetModuleHandleW, ::GetProcAddress, ::GetCurrentThread, ::IsDebuggerPresent,
          ::RaiseException};
}

SetThreadDescriptionFn ThreadNamer::LookUp() {
  std::call_once(once_, [this] {
    HMODULE kernel = calls_.getModuleHandle(L"Kernel32.dll");
    if (kernel != nullptr)
      setThreadDescription_ = reinterpret_cast<SetThreadDescriptionFn>(
          reinterpret_cast<void*>(calls_.getProcAddress(kernel, "SetThreadDescription")));
  });
  return setThreadDescription_;
}

void ThreadNamer::Name(const std::string& name) {
  if (SetThreadDescriptionFn fn = LookUp()) {
    std::wstring wide(name.begin(), name.end());  // one code unit per byte
    fn(calls_.getCurrentThread(), wide.c_str());
    return;
  }
  if (!calls_.isDebuggerPresent()) return;
  ThreadNameInfo info{0x1000, name.c_str(), 0xFFFFFFFF, 0};
  PVOID guard = ::AddVectoredExceptionHandler(1, ContinueAfterNaming);
  calls_.raiseException(kThreadNamingException, 0, sizeof(info) / sizeof(ULONG_PTR),
                        reinterpret_cast<const ULONG_PTR*>(&info));
  if (guard != nullptr) ::RemoveVectoredExceptionHandler(guard);
}

void NameCurrentThread(const std::string& name) {
  static ThreadNamer namer(ThreadNamingCalls::System());
  namer.Name(name);
}

}  // namespace platform
