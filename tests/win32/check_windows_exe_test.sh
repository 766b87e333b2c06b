#!/usr/bin/env bash
# scripts/check-windows-exe.sh passes the shipped program of this build and
# refuses it, naming the reason, once it is changed after signing, unsigned,
# of another version, signed by another certificate, shipped with debug
# sections, beside symbols that are not its own, or in a folder whose
# SHA256SUMS do not match.
# usage: check_windows_exe_test.sh SOURCE-DIR PROGRAM.exe i386|x86-64 WORK-DIR [TRUST.pem SIGNING-KEY.pem]
set -euo pipefail
src=$1 program=$2 arch=$3 work=$4 trust=${5:-} key=${6:-}
check="$src/scripts/check-windows-exe.sh"
case "$arch" in i386) objcopy=i686-w64-mingw32-objcopy ;; *) objcopy=x86_64-w64-mingw32-objcopy ;; esac
debug=$(basename "${program%.exe}")-$(sed -nE 's/^project\(.* VERSION ([0-9.]+).*/\1/p' "$src/CMakeLists.txt").debug
failures=0

# A folder with the program and its symbols, as the build leaves them.
fresh() {  # name
  rm -rf "${work:?}/$1"
  mkdir -p "$work/$1"
  cp "$program" "$(dirname "$program")/$debug" "$work/$1/"
  echo "$work/$1/$(basename "$program")"
}
trusting() { if [ -n "$trust" ]; then echo --trust "$trust"; fi; }
passes() {  # what exe [options]
  local what=$1 exe=$2
  shift 2
  # shellcheck disable=SC2046
  if ! bash "$check" "$@" $(trusting) "$exe" "$arch" >"$work/out" 2>&1; then
    echo "FAIL: $what: refused"; sed 's/^/    /' "$work/out"; failures=$((failures + 1))
  else
    echo "ok: $what"
  fi
}
refuses() {  # what reason exe [options]
  local what=$1 reason=$2 exe=$3
  shift 3
  # shellcheck disable=SC2046
  if bash "$check" "$@" $(trusting) "$exe" "$arch" >"$work/out" 2>&1; then
    echo "FAIL: $what: passed"; failures=$((failures + 1))
  elif ! grep -q -- "$reason" "$work/out"; then
    echo "FAIL: $what: refused without naming '$reason'"; sed 's/^/    /' "$work/out"
    failures=$((failures + 1))
  else
    echo "ok: $what refused ($reason)"
  fi
}

exe=$(fresh good)
passes "the program as built" "$exe"

exe=$(fresh changed)
printf 'X' | dd of="$exe" bs=1 seek=4096 conv=notrunc status=none
refuses "one byte changed after signing" "does not verify" "$exe"

exe=$(fresh unsigned)
osslsigncode remove-signature -in "$work/good/$(basename "$program")" -out "$exe.new" >/dev/null
mv "$exe.new" "$exe"
refuses "the signature removed" "does not verify" "$exe"

refuses "another version" "FILEVERSION is not 9, 8, 7, 0" "$work/good/$(basename "$program")" --version 9.8.7

exe=$(fresh symbols)
printf '\0' >>"$(dirname "$exe")/$debug"
refuses "symbols that are not its own" "is not the file its debug link names" "$exe"

exe=$(fresh folder)
(cd "$(dirname "$exe")" && sha256sum -- * >SHA256SUMS)
passes "a release folder with its checksums" "$exe"
echo "a note" >"$(dirname "$exe")/NOTES.txt"
refuses "a file SHA256SUMS does not list" "SHA256SUMS does not list NOTES.txt" "$exe"
rm "$(dirname "$exe")/NOTES.txt"
sed -i -E '1{s/^a/b/;t;s/^./a/}' "$(dirname "$exe")/SHA256SUMS"
refuses "a checksum that does not match" "SHA256SUMS does not match" "$exe"

if [ -n "$trust" ] && [ -n "$key" ]; then
  # Re-signed by the development certificate after a change: the signature
  # is intact, the check refuses what was added.
  exe=$(fresh debug)
  osslsigncode remove-signature -in "$exe" -out "$exe.unsigned" >/dev/null
  echo "debug information" >"$work/debug_info"
  "$objcopy" --add-section ".debug_info=$work/debug_info" "$exe.unsigned" "$exe.debug" 2>/dev/null
  osslsigncode sign -h sha256 -certs "$trust" -key "$key" -in "$exe.debug" -out "$exe.signed" >/dev/null
  mv "$exe.signed" "$exe"
  rm -f "$exe.unsigned" "$exe.debug"
  refuses "debug sections shipped" "ships debug sections: .debug_info" "$exe"

  # Another throwaway certificate: the digest matches, the chain does not.
  openssl req -x509 -new -newkey rsa:2048 -nodes -days 2 -subj "/CN=someone else" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/other.key" -out "$work/other.pem" 2>/dev/null
  exe=$(fresh other-signer)
  osslsigncode remove-signature -in "$exe" -out "$exe.unsigned" >/dev/null
  rm "$exe"
  osslsigncode sign -h sha256 -certs "$work/other.pem" -key "$work/other.key" \
    -in "$exe.unsigned" -out "$exe" >/dev/null
  rm "$exe.unsigned"
  refuses "signed by a certificate the trust anchor does not vouch for" "does not verify" "$exe"
fi

rm -rf "${work:?}"
[ "$failures" -eq 0 ] && echo "check-windows-exe: all cases as expected"
[ "$failures" -eq 0 ]
