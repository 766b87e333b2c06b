#!/usr/bin/env bash
# Can this machine run a 32-bit Windows program? Builds a tiny PE32 console
# program with the i686 toolchain and runs it under /usr/lib/wine/wine in a
# fresh 64-bit prefix (made by wine64 wineboot, as a 32-bit program on 64-bit
# Windows). Prints "yes" and exits 0 when it ran and said it is 32-bit;
# otherwise prints the reason on one line and exits 1. Some kernels have no
# 32-bit support (execve of an i386 program fails with "Exec format error").
set -uo pipefail
dir=$(mktemp -d /tmp/zyra-pe32-probe-XXXXXX)
trap 'WINEPREFIX="$dir/prefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1; rm -rf "$dir"' EXIT

cat >"$dir/probe.c" <<'C'
#include <stdio.h>
int main(void) { printf("zyra-pe32-probe %d\n", (int)(sizeof(void*) * 8)); return 0; }
C
if ! i686-w64-mingw32-gcc-posix -O2 -o "$dir/probe.exe" "$dir/probe.c" 2>"$dir/cc.txt"; then
  echo "the i686 toolchain cannot build a PE32 program: $(head -n 1 "$dir/cc.txt")"
  exit 1
fi
if [ ! -x /usr/lib/wine/wine ] || [ ! -x /usr/lib/wine/wine64 ]; then
  echo "/usr/lib/wine/wine or wine64 is missing (packages wine32:i386, wine64)"
  exit 1
fi
# The 32-bit loader itself is an i386 Linux program.
if ! out=$(/usr/lib/wine/wine --version 2>&1); then
  echo "this kernel does not run 32-bit programs: /usr/lib/wine/wine --version: $(tail -n 1 <<<"$out" | sed 's/.*: //')"
  exit 1
fi
export WINEPREFIX="$dir/prefix" WINEARCH=win64 WINEDEBUG=-all
if ! out=$(timeout 300 /usr/lib/wine/wine64 wineboot -i 2>&1); then
  echo "wine64 wineboot -i failed: $(tail -n 1 <<<"$out")"
  exit 1
fi
out=$(timeout 120 /usr/lib/wine/wine "$dir/probe.exe" 2>&1 | tr -d '\r')
if grep -qx 'zyra-pe32-probe 32' <<<"$out"; then
  echo yes
  exit 0
fi
reason=$(grep -v '^$' <<<"$out" | tail -n 1)
echo "a PE32 program under /usr/lib/wine/wine: ${reason:-no output}"
exit 1
