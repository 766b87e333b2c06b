#include "platform/posix/proc_stat.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/descriptor.h"

namespace platform::win::scm {

// Decimal digits of v into buf (no terminator); returns the length.
std::size_t FormatDecimal(unsigned long long v, char* buf) {
  char tmp[24];
  std::size_t n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (std::size_t i = 0; i < n; ++i) buf[i] = tmp[n - 1 - i];
  return n;
}

// Up to size - 1 bytes of a small file, null-terminated, with plain system
// calls only (safe in a process that may call nothing else); false when the
// file cannot be opened.
bool ReadRaw(const char* path, char* buf, std::size_t size, std::size_t& len) {
  const posix::ScopedFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  len = posix::ReadAll(fd.get(), buf, size - 1);
  buf[len] = '\0';
  return true;
}

// Start time (clock ticks since boot, field 22 of /proc/<pid>/stat) and
// scheduler state (field 3) of a process.
bool ReadProcStat(pid_t pid, unsigned long long& start, char& state) {
  char path[48] = "/proc/";
  std::size_t n = 6;
  n += FormatDecimal(static_cast<unsigned long long>(pid), path + n);
  const char tail[] = "/stat";
  for (std::size_t i = 0; i < sizeof tail; ++i) path[n + i] = tail[i];
  char buf[1024];
  std::size_t len = 0;
  if (!ReadRaw(path, buf, sizeof buf, len)) return false;
  // The command name (field 2) may hold blanks and parentheses: fields 3 and
  // on follow the last ')'.
  const char* p = nullptr;
  for (std::size_t i = 0; i < len; ++i)
    if (buf[i] == ')') p = buf + i;
  if (p == nullptr) return false;
  ++p;
  int field = 2;
  while (*p != '\0') {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    ++field;
    if (field == 3) state = *p;
    if (field == 22) {
      unsigned long long v = 0;
      bool digits = false;
      for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + static_cast<unsigned long long>(*p - '0');
        digits = true;
      }
      start = v;
      return digits;
    }
    while (*p != ' ' && *p != '\0') ++p;
  }
  return false;
}

// True while the process lives and is still the one recorded (same start
// time; a zombie counts as ended).
bool Alive(const ProcessId& p) {
  if (p.pid <= 0) return false;
  if (::kill(p.pid, 0) != 0 && errno != EPERM) return false;
  unsigned long long start = 0;
  char state = '?';
  if (!ReadProcStat(p.pid, start, state)) return false;
  if (state == 'Z' || state == 'X') return false;
  return start == p.start;
}

}  // namespace platform::win::scm
