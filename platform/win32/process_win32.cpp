// ShellExecuteExA, WaitForSingleObject, GetExitCodeProcess, CloseHandle.
#include <windows.h>
#include <shellapi.h>

#include "platform/process.h"

namespace platform::win {

namespace {
::HANDLE Native(HANDLE h) { return reinterpret_cast<::HANDLE>(h); }
const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }
}  // namespace

BOOL ShellExecuteExA(ShellExecuteInfo& info) {
  SHELLEXECUTEINFOA sei{};
  sei.cbSize = sizeof sei;
  sei.fMask = info.fMask;
  sei.hwnd = nullptr;
  sei.lpVerb = OrNull(info.lpVerb);
  sei.lpFile = info.lpFile.c_str();
  sei.lpParameters = OrNull(info.lpParameters);
  sei.lpDirectory = OrNull(info.lpDirectory);
  sei.nShow = info.nShow;
  const ::BOOL ok = ::ShellExecuteExA(&sei);
  info.hProcess = reinterpret_cast<HANDLE>(sei.hProcess);
  return ok;
}

DWORD WaitForSingleObject(HANDLE process, DWORD milliseconds) {
  return ::WaitForSingleObject(Native(process), milliseconds);
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  ::DWORD code = 0;
  const ::BOOL ok = ::GetExitCodeProcess(Native(process), &code);
  if (ok && exitCode != nullptr) *exitCode = code;
  return ok;
}

BOOL CloseHandle(HANDLE process) { return ::CloseHandle(Native(process)); }

}  // namespace platform::win
