#pragma once
// Named mutex facade: CreateMutexA, WaitForSingleObject on a mutex,
// ReleaseMutex. The program holds one to run one at a time on a machine.
#include <string>

#include "platform/scoped_generic.h"
#include "platform/win_types.h"

namespace platform::win {

struct MutexTag;
using MutexRef = MutexTag*;

// Owns a mutex handle; closing it is CloseHandle.
struct MutexHandleTraits {
  static constexpr MutexRef InvalidValue() noexcept { return nullptr; }
  static void Free(MutexRef mutex) noexcept;
};
using MutexHandle = ScopedGeneric<MutexRef, MutexHandleTraits>;

constexpr DWORD kWaitAbandoned = 0x00000080;
constexpr DWORD kWaitTimeout = 0x00000102;

// CreateMutexA(no security attributes, not owned, name): opens the named
// mutex, creating it when no handle to it is open anywhere on the machine
// (a "Global\" name is one for every session). Invalid handle and the last
// error on failure; the last error is 183 when it existed already.
[[nodiscard]] MutexHandle CreateMutexA(const std::string& name);

// WaitForSingleObject on a mutex: kWaitObject0 (0) when this thread now owns
// it, kWaitAbandoned when it owns it because its owner ended without
// releasing it, kWaitTimeout when milliseconds passed first (kInfinite:
// never), 0xFFFFFFFF (WAIT_FAILED) with the last error otherwise. A thread
// that owns it already owns it once more.
[[nodiscard]] DWORD WaitForSingleObject(const MutexHandle& mutex, DWORD milliseconds);

// ReleaseMutex: gives up one ownership; fails with 288 (not owner) when the
// thread does not own it.
BOOL ReleaseMutex(const MutexHandle& mutex);

}  // namespace platform::win
