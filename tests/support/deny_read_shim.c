/* Preloaded into a program under test (LD_PRELOAD): opening for reading a
 * file whose path ends in $ZYRA_DENY_READ fails with EACCES; every other
 * open, and every open for writing, goes through. It stands for a file that
 * can be written but not read back, which no emulated machine state gives. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

static int denied(const char* path, int flags) {
  const char* suffix = getenv("ZYRA_DENY_READ");
  if (suffix == NULL || *suffix == '\0' || path == NULL) return 0;
  if ((flags & O_ACCMODE) != O_RDONLY) return 0;
  const size_t n = strlen(path), m = strlen(suffix);
  return n >= m && strcmp(path + n - m, suffix) == 0;
}

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

#define FORWARD_OPEN(name)                                              \
  int name(const char* path, int flags, ...) {                          \
    mode_t mode = 0;                                                    \
    if (flags & (O_CREAT | O_TMPFILE)) {                                \
      va_list ap;                                                       \
      va_start(ap, flags);                                              \
      mode = va_arg(ap, mode_t);                                        \
      va_end(ap);                                                       \
    }                                                                   \
    if (denied(path, flags)) {                                          \
      errno = EACCES;                                                   \
      return -1;                                                        \
    }                                                                   \
    static open_fn real = NULL;                                         \
    if (real == NULL) real = (open_fn)dlsym(RTLD_NEXT, #name);          \
    return real(path, flags, mode);                                     \
  }

#define FORWARD_OPENAT(name)                                            \
  int name(int dir, const char* path, int flags, ...) {                 \
    mode_t mode = 0;                                                    \
    if (flags & (O_CREAT | O_TMPFILE)) {                                \
      va_list ap;                                                       \
      va_start(ap, flags);                                              \
      mode = va_arg(ap, mode_t);                                        \
      va_end(ap);                                                       \
    }                                                                   \
    if (denied(path, flags)) {                                          \
      errno = EACCES;                                                   \
      return -1;                                                        \
    }                                                                   \
    static openat_fn real = NULL;                                       \
    if (real == NULL) real = (openat_fn)dlsym(RTLD_NEXT, #name);        \
    return real(dir, path, flags, mode);                                \
  }

FORWARD_OPEN(open)
FORWARD_OPEN(open64)
FORWARD_OPENAT(openat)
FORWARD_OPENAT(openat64)
