#!/usr/bin/env bash
# Checks a Windows program as it is shipped:
#   - a console program of the expected architecture that needs no DLL a
#     clean Windows lacks;
#   - its version resource: FileVersion and ProductVersion are the project
#     version (X.Y.Z as text, X,Y,Z,0 in the fixed part), the names are set and
#     OriginalFilename is the file's name;
#   - its application manifest: well-formed, requireAdministrator, the
#     supported Windows versions 7 to 11, UTF-8 as its code page;
#   - its Authenticode signature (osslsigncode verify): SHA-256, the digest
#     matches the file, and the signer's chain verifies against --trust (a
#     development certificate, a company's CA) or else the system's roots;
#     with --timestamped, a time stamp whose signature verifies (against
#     --trust and the system's roots);
#   - no debug section and no symbol table; a debug link whose file lies
#     beside it with the CRC-32 the link records;
#   - when SHA256SUMS lies beside it (a release folder): it lists every
#     other file of the folder, and each matches.
# usage: check-windows-exe.sh [--version X.Y.Z] [--trust CERT.pem] [--timestamped]
#                             FILE.exe i386|x86-64
#   --version  default: the project version of CMakeLists.txt
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

version=""
trust=""
timestamped=0
while [ $# -gt 0 ]; do
  case "$1" in
    --version) version=$2; shift 2 ;;
    --trust) trust=$2; shift 2 ;;
    --timestamped) timestamped=1; shift ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -eq 2 ] || { sed -n '/^# usage:/,/^#   --version/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
exe=$1
arch=$2
case "$arch" in
  i386) tools=i686-w64-mingw32; format='pei-i386' ;;
  x86-64) tools=x86_64-w64-mingw32; format='pei-x86-64' ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
if [ -z "$version" ]; then
  version=$(sed -nE 's/^project\(.* VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' "$here/../CMakeLists.txt")
fi
for tool in "$tools-objdump" "$tools-objcopy" "$tools-windres" osslsigncode xmllint sha256sum gzip; do
  command -v "$tool" >/dev/null || { echo "check-windows-exe: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "$exe: $*" >&2; exit 1; }

headers=$("$tools-objdump" -p "$exe")
"$tools-objdump" -f "$exe" | grep -q "file format $format" || fail "not $format"
grep -q 'Subsystem.*(Windows CUI)' <<<"$headers" || fail "not a console program"
# DLLs every Windows installation has.
allowed='^(kernel32|user32|advapi32|shell32|ole32|msvcrt|ws2_32|crypt32|winhttp|bcrypt|secur32|wldap32|normaliz|iphlpapi|shlwapi|dnsapi)\.dll$'
bad=0
while read -r dll; do
  if ! grep -qiE "$allowed" <<<"$dll"; then
    echo "$exe: depends on $dll, which a clean Windows does not have" >&2
    bad=1
  fi
done < <(grep 'DLL Name:' <<<"$headers" | awk '{print $3}')
[ "$bad" -eq 0 ] || exit 1
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print $3}' | tr '\n' ' ')

# The resources as windres decompiles them.
"$tools-windres" -i "$exe" -O rc -o "$scratch/resources.rc" 2>"$scratch/windres.err" ||
  fail "no resources ($(head -n 1 "$scratch/windres.err"))"
rc=$(cat "$scratch/resources.rc")
value() {  # the StringFileInfo value NAME
  sed -nE "s/^ *VALUE \"$1\", \"(.*)\"\$/\1/p" <<<"$rc" | head -n 1
}
IFS=. read -r major minor patch <<<"$version"
binary="$major, $minor, $patch, 0"
grep -qE "^ *FILEVERSION $binary\$" <<<"$rc" || fail "FILEVERSION is not $binary: $(grep -E '^ *FILEVERSION' <<<"$rc" || echo none)"
grep -qE "^ *PRODUCTVERSION $binary\$" <<<"$rc" || fail "PRODUCTVERSION is not $binary"
[ "$(value FileVersion)" = "$version" ] || fail "FileVersion is '$(value FileVersion)', not $version"
[ "$(value ProductVersion)" = "$version" ] || fail "ProductVersion is '$(value ProductVersion)', not $version"
for name in ProductName CompanyName FileDescription LegalCopyright; do
  [ -n "$(value "$name")" ] || fail "the version resource has no $name"
done
[ "$(value OriginalFilename)" = "$(basename "$exe")" ] ||
  fail "OriginalFilename is '$(value OriginalFilename)', not $(basename "$exe")"

# The manifest: resource type 24, its text as windres quotes it.
awk '
  /^[0-9]+ 24 / { inside = 1; next }
  inside && /^END/ { exit }
  inside && /^ *"/ {
    line = $0
    sub(/^ *"/, "", line); sub(/"$/, "", line)
    gsub(/""/, "\"", line); gsub(/\\n/, "\n", line); gsub(/\\r/, "", line); gsub(/\\t/, "\t", line)
    printf "%s", line
  }
' "$scratch/resources.rc" >"$scratch/manifest.xml"
[ -s "$scratch/manifest.xml" ] || fail "no application manifest"
xmllint --noout "$scratch/manifest.xml" 2>"$scratch/xmllint.err" ||
  fail "the manifest is not well-formed XML: $(head -n 1 "$scratch/xmllint.err")"
level=$(xmllint --xpath 'string(//*[local-name()="requestedExecutionLevel"]/@level)' "$scratch/manifest.xml")
[ "$level" = requireAdministrator ] || fail "the manifest's execution level is '$level', not requireAdministrator"
codepage=$(xmllint --xpath 'string(//*[local-name()="activeCodePage"])' "$scratch/manifest.xml")
[ "$codepage" = UTF-8 ] || fail "the manifest's activeCodePage is '$codepage', not UTF-8"
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
          1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  n=$(xmllint --xpath "count(//*[local-name()='supportedOS'][translate(@Id,'ABCDEF','abcdef')='{$os}'])" \
        "$scratch/manifest.xml")
  [ "$n" = 1 ] || fail "the manifest does not declare supportedOS {$os}"
done

# The signature.
verify=(osslsigncode verify -in "$exe")
if [ -n "$trust" ]; then
  # A time stamp may come from a public service while the signer's chain
  # ends in the trust anchor: the service is checked against both.
  cat "$trust" /etc/ssl/certs/ca-certificates.crt >"$scratch/tsa.pem" 2>/dev/null || cp "$trust" "$scratch/tsa.pem"
  verify+=(-CAfile "$trust" -TSA-CAfile "$scratch/tsa.pem")
fi
if ! "${verify[@]}" >"$scratch/verify.out" 2>&1; then
  grep -E 'MISMATCH|Error|error|failed' "$scratch/verify.out" | sed 's/^/    /' >&2 || true
  fail "the signature does not verify (${verify[*]})"
fi
grep -q '^Signature verification: ok' "$scratch/verify.out" || fail "osslsigncode did not report a verified signature"
grep -q 'MISMATCH' "$scratch/verify.out" && fail "osslsigncode reports a mismatch"
grep -qE '^Message digest algorithm *: SHA256' "$scratch/verify.out" || fail "the signature's digest is not SHA-256"
stamp=""
if [ "$timestamped" -eq 1 ]; then
  grep -q '^Timestamp Server Signature verification: ok' "$scratch/verify.out" ||
    fail "no time stamp that verifies ($(grep -E '^Timestamp' "$scratch/verify.out" | head -n 1))"
  stamp=", time-stamped $(sed -nE 's/^[[:space:]]*Timestamp time: //p' "$scratch/verify.out" | head -n 1)"
fi
signer=$(sed -nE 's/^[[:space:]]*Subject: //p' "$scratch/verify.out" | head -n 1)

# Symbols apart.
debug_sections=$("$tools-objdump" -h "$exe" | awk '$2 ~ /^\.debug/ {print $2}' | tr '\n' ' ')
[ -z "$debug_sections" ] || fail "ships debug sections: $debug_sections"
"$tools-objdump" -t "$exe" | grep -q '^no symbols' || fail "ships a symbol table"
"$tools-objcopy" --dump-section ".gnu_debuglink=$scratch/link" "$exe" "$scratch/copy.exe" 2>/dev/null ||
  fail "has no debug link"
debug_name=$(tr '\0' '\n' <"$scratch/link" | head -n 1)
debug_file="$(dirname "$exe")/$debug_name"
[ -f "$debug_file" ] || fail "its symbols $debug_name are not beside it"
link_crc=$(tail -c 4 "$scratch/link" | od -An -tx1 | tr -d ' \n')
file_crc=$(gzip -c <"$debug_file" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')
[ "$link_crc" = "$file_crc" ] || fail "$debug_name is not the file its debug link names (CRC $file_crc, link $link_crc)"
"$tools-objdump" -h "$debug_file" | grep -q ' \.debug_info ' || fail "$debug_name holds no debug information"

# A release folder's checksums.
folder=$(dirname "$exe")
sums=""
if [ -f "$folder/SHA256SUMS" ]; then
  (cd "$folder" && sha256sum --quiet --strict -c SHA256SUMS) >&2 || fail "SHA256SUMS does not match"
  while read -r f; do
    [ "$f" = SHA256SUMS ] && continue
    # "<64 hex digits>  <name>": the name from column 67 on.
    awk -v f="$f" 'substr($0, 67) == f { found = 1 } END { exit !found }' "$folder/SHA256SUMS" ||
      fail "SHA256SUMS does not list $f"
  done < <(cd "$folder" && find . -mindepth 1 -maxdepth 1 -printf '%P\n')
  sums="; SHA256SUMS match ($(wc -l <"$folder/SHA256SUMS") files)"
fi

echo "$exe: $format console program; DLLs: $dlls"
echo "$exe: version $version ($(value ProductName), $(value CompanyName)); manifest: $level, code page $codepage; signed (SHA-256) by $signer$([ -z "$trust" ] || echo ", chain verified against $(basename "$trust")")$stamp; no debug sections, symbols in $debug_name$sums"
