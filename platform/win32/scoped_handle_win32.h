#pragma once
// Owners of the native handles and memory the Windows backends hold only
// for the length of one call.
#include <windows.h>

#include "platform/scoped_generic.h"

namespace platform::win {

// A kernel object handle (event, token, file); closing it is CloseHandle.
// CreateFileA's INVALID_HANDLE_VALUE must be turned away before it is owned.
struct KernelHandleTraits {
  static ::HANDLE InvalidValue() noexcept { return nullptr; }
  static void Free(::HANDLE handle) noexcept { ::CloseHandle(handle); }
};
using ScopedKernelHandle = ScopedGeneric<::HANDLE, KernelHandleTraits>;

// Memory the system allocated with LocalAlloc for the caller (SIDs and
// security descriptors it converted); freeing it is LocalFree.
struct LocalMemoryTraits {
  static ::HLOCAL InvalidValue() noexcept { return nullptr; }
  static void Free(::HLOCAL memory) noexcept { ::LocalFree(memory); }
};
using ScopedLocalMemory = ScopedGeneric<::HLOCAL, LocalMemoryTraits>;

}  // namespace platform::win
