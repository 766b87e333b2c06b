#!/usr/bin/env bash
# The Windows zyra-sign (the program's own ValidateSignature) under Wine
# validates a correctly signed 3 GiB package, more than a 32-bit process can
# hold and more than a signed 32-bit file position can count, and rejects the
# same package with one byte changed near its end. The package is a sparse
# file with data at its start, its middle and its end; the signature is made
# by the openssl command line on the host.
# usage: large_package_test.sh WINE-LOADER zyra-sign.exe PRIVATE-KEY.pem WORK-DIR
set -euo pipefail
wine=$1 sign_exe=$2 key=$3 work=$4
size=$((3 * 1024 * 1024 * 1024))

rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
pkg="$work/large-package.exe"
truncate -s "$size" "$pkg"
put() {  # offset text
  printf '%s' "$2" | dd of="$pkg" bs=1 seek="$1" conv=notrunc status=none
}
put 0 "MZ large package"
put $((size / 2 + 12345)) "middle"
put $((size - 4096)) "near the end"
put $((size - 1)) "!"

openssl dgst -md5 -sign "$key" -out "$work/sig.bin" "$pkg"
od -An -v -tx1 "$work/sig.bin" | tr -d ' \n' >"$pkg.sig"
[ "$(wc -c <"$pkg.sig")" -eq 512 ] || { echo "FAIL: openssl made no 256-byte signature"; exit 1; }

winpath() { printf 'Z:%s' "${1//\//\\}"; }
verify() {
  set +e
  "$wine" "$sign_exe" verify "$(winpath "$pkg")" "$(winpath "$pkg.sig")" >"$work/out.txt" 2>&1
  local rc=$?
  set -e
  cat "$work/out.txt"
  return $rc
}

start=$SECONDS
if verify; then rc=0; else rc=$?; fi
echo "signed $((size >> 20)) MiB package: exit $rc in $((SECONDS - start)) s"
[ "$rc" -eq 0 ] || { echo "FAIL: a correctly signed 3 GiB package was refused"; exit 1; }
grep -q 'valid signature' "$work/out.txt" || { echo "FAIL: no 'valid signature' line"; exit 1; }

put $((size - 4096 + 5)) "X"  # "near tXe end"
start=$SECONDS
if verify; then rc=0; else rc=$?; fi
echo "same package, one byte changed 4091 bytes before its end: exit $rc in $((SECONDS - start)) s"
[ "$rc" -eq 1 ] || { echo "FAIL: expected exit 1 (invalid signature)"; exit 1; }
grep -q 'does not match' "$work/out.txt" || { echo "FAIL: not refused for the package's content"; exit 1; }
echo PASS
