#pragma once
// Processes of the emulated service manager as /proc shows them. The
// helpers marked async-signal-safe use plain system calls only: the
// launcher and the waiter run them between fork and exec (or instead of
// exec), where nothing else is allowed.
#include <sys/types.h>

#include <cstddef>

namespace platform::win::scm {

// Decimal digits of v into buf (no terminator); returns the length.
// Async-signal-safe.
std::size_t FormatDecimal(unsigned long long v, char* buf);

// Up to size - 1 bytes of a small file, null-terminated; false when the
// file cannot be opened. Async-signal-safe.
bool ReadRaw(const char* path, char* buf, std::size_t size, std::size_t& len);

// Start time (clock ticks since boot, field 22 of /proc/<pid>/stat) and
// scheduler state (field 3) of a process. Async-signal-safe.
bool ReadProcStat(pid_t pid, unsigned long long& start, char& state);

// A process told apart from a later one that reuses its pid by its start
// time.
struct ProcessId {
  pid_t pid = 0;
  unsigned long long start = 0;
};

// True while the process lives and is still the one recorded (same start
// time; a zombie counts as ended).
bool Alive(const ProcessId& p);

}  // namespace platform::win::scm
