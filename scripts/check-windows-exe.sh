#!/usr/bin/env bash
# Checks that a Windows executable is a console program of the expected
# architecture that needs no DLL a clean Windows lacks.
# usage: check-windows-exe.sh FILE.exe i386|x86-64
set -euo pipefail
exe=$1
arch=$2
case "$arch" in
  i386) objdump=i686-w64-mingw32-objdump; format='pei-i386' ;;
  x86-64) objdump=x86_64-w64-mingw32-objdump; format='pei-x86-64' ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
headers=$("$objdump" -p "$exe")
"$objdump" -f "$exe" | grep -q "file format $format" || { echo "$exe: not $format" >&2; exit 1; }
grep -q 'Subsystem.*(Windows CUI)' <<<"$headers" || { echo "$exe: not a console program" >&2; exit 1; }
# DLLs every Windows installation has.
allowed='^(kernel32|user32|advapi32|shell32|ole32|msvcrt|ws2_32|crypt32|winhttp|bcrypt|secur32|wldap32|normaliz|iphlpapi|shlwapi|dnsapi)\.dll$'
bad=0
while read -r dll; do
  if ! grep -qiE "$allowed" <<<"$dll"; then
    echo "$exe: depends on $dll, which a clean Windows does not have" >&2
    bad=1
  fi
done < <(grep 'DLL Name:' <<<"$headers" | awk '{print $3}')
[ "$bad" -eq 0 ]
echo "$exe: $format console program; DLLs: $(grep 'DLL Name:' <<<"$headers" | awk '{print $3}' | tr '\n' ' ')"
