// Named mutexes: CreateMutexA, WaitForSingleObject, ReleaseMutex.
#include <windows.h>

#include "platform/sync.h"

namespace platform::win {

namespace {
::HANDLE Native(MutexRef m) { return reinterpret_cast<::HANDLE>(m); }
}  // namespace

void MutexHandleTraits::Free(MutexRef mutex) noexcept { ::CloseHandle(Native(mutex)); }

MutexHandle CreateMutexA(const std::string& name) {
  ::HANDLE h = ::CreateMutexA(nullptr, FALSE, name.c_str());
  return MutexHandle(reinterpret_cast<MutexRef>(h));
}

DWORD WaitForSingleObject(const MutexHandle& mutex, DWORD milliseconds) {
  return ::WaitForSingleObject(Native(mutex.get()), milliseconds);
}

BOOL ReleaseMutex(const MutexHandle& mutex) { return ::ReleaseMutex(Native(mutex.get())); }

}  // namespace platform::win
