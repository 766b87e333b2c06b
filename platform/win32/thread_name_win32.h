#pragma once
// Thread naming on Windows over the system calls it makes, so that a test can
// play a system without SetThreadDescription, or one with a debugger, and
// count the entry-point lookups.
#include <windows.h>

#include <mutex>
#include <string>

namespace platform {

// The debugger naming record raised with exception 0x406D1388.
#pragma pack(push, 8)
struct ThreadNameInfo {
  DWORD dwType;      // 0x1000
  LPCSTR szName;     // name, ASCII
  DWORD dwThreadID;  // 0xFFFFFFFF: the calling thread
  DWORD dwFlags;     // 0
};
#pragma pack(pop)

inline constexpr DWORD kThreadNamingException = 0x406D1388;

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// The calls naming makes; System() gives the real ones.
struct ThreadNamingCalls {
  HMODULE(WINAPI* getModuleHandle)(LPCWSTR);
  FARPROC(WINAPI* getProcAddress)(HMODULE, LPCSTR);
  HANDLE(WINAPI* getCurrentThread)();
  BOOL(WINAPI* isDebuggerPresent)();
  void(WINAPI* raiseException)(DWORD, DWORD, DWORD, const ULONG_PTR*);

  static ThreadNamingCalls System();
};

// Names the calling thread: SetThreadDescription, looked up once per namer
// (Kernel32.dll), when the system has it; otherwise the naming exception,
// only while a debugger is attached, inside a guard that continues after it.
// The process has one namer over the real calls (NameCurrentThread).
class ThreadNamer {
 public:
  explicit ThreadNamer(const ThreadNamingCalls& calls) : calls_(calls) {}
  ThreadNamer(const ThreadNamer&) = delete;
  ThreadNamer& operator=(const ThreadNamer&) = delete;

  void Name(const std::string& name);

 private:
  SetThreadDescriptionFn LookUp();

  ThreadNamingCalls calls_;
  std::once_flag once_;
  SetThreadDescriptionFn setThreadDescription_ = nullptr;
};

}  // namespace platform
