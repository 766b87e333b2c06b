#pragma once
// Process facade: ShellExecuteExA with a process handle, the wait, the exit
// code.
#include <string>

#include "platform/scoped_generic.h"
#include "platform/win_types.h"

namespace platform::win {

struct ProcessTag;
using HANDLE = ProcessTag*;

constexpr DWORD kSeeMaskNoCloseProcess = 0x00000040;
// No message box on a failure: nobody is there to click it away.
constexpr DWORD kSeeMaskFlagNoUi = 0x00000400;
constexpr int kSwHide = 0;

// SHELLEXECUTEINFOA, as far as the program fills it.
struct ShellExecuteInfo {
  DWORD fMask = 0;
  std::string lpVerb;
  std::string lpFile;
  std::string lpParameters;
  std::string lpDirectory;
  int nShow = 0;
  HANDLE hProcess = nullptr;  // out
};

[[nodiscard]] BOOL ShellExecuteExA(ShellExecuteInfo& info);
[[nodiscard]] DWORD WaitForSingleObject(HANDLE process, DWORD milliseconds);
[[nodiscard]] BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);
BOOL CloseHandle(HANDLE process);

// Owns a process handle; closing it is CloseHandle.
struct ProcessHandleTraits {
  static constexpr HANDLE InvalidValue() noexcept { return nullptr; }
  static void Free(HANDLE process) noexcept { CloseHandle(process); }
};
using ProcessHandle = ScopedGeneric<HANDLE, ProcessHandleTraits>;

}  // namespace platform::win
