#!/usr/bin/env bash
# Transfer and validation benchmark: one run, ratios printed last.
#   Download of a 256 MiB file from a loopback server vs `curl -s -o`
#   (goal: time ratio <= 1.05);
#   ValidateSignature of a 256 MiB package vs `openssl dgst -md5`
#   (goal: time ratio <= 1.15, peak RSS <= file size + 24 MiB).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZYRA_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench --target zyra-bench zyra-sign >/dev/null

work=$(mktemp -d /tmp/zyra-bench-XXXXXX)
trap 'kill "${server:-0}" 2>/dev/null || true; rm -rf "$work"' EXIT
export ZYRA_MACHINE_ROOT="$work/machine"
mkdir -p "$ZYRA_MACHINE_ROOT/drive_c/ProgramData" "$ZYRA_MACHINE_ROOT/drive_c/Windows/Temp"
size_mib=256
mkdir -p "$work/www"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/www/package.bin"
build/bench/tools/zyra-sign/zyra-sign sign build/bench/dev-keys/package-signing-private.pem \
  "$work/www/package.bin" >/dev/null

port=$(( 20000 + RANDOM % 20000 ))
build/bench/bench/zyra-bench serve "$work/www" "$port" &
server=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/package.bin.sig" && break; sleep 0.1; done
url="http://127.0.0.1:$port/package.bin"

# Best of three for each command: seconds (and peak RSS in KiB via GNU time).
measure() {  # label command...
  local best="" rss=""
  for _ in 1 2 3; do
    local out
    /usr/bin/time -o "$work/time.txt" -f '%e %M' "$@" >/dev/null 2>&1
    out=$(tail -n 1 "$work/time.txt")
    local t=${out% *} m=${out#* }
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; rss=$m; fi
  done
  echo "$best $rss"
}

read -r t_dl _ < <(measure build/bench/bench/zyra-bench download "$url" "$work/dl.bin")
cmp -s "$work/dl.bin" "$work/www/package.bin" || { echo "download differs" >&2; exit 1; }
read -r t_curl _ < <(measure curl -s -o "$work/curl.bin" "$url")
read -r t_val rss_val < <(measure build/bench/bench/zyra-bench validate "$work/www/package.bin" "$work/www/package.bin.sig")
build/bench/bench/zyra-bench validate "$work/www/package.bin" "$work/www/package.bin.sig" || { echo "validation failed" >&2; exit 1; }
read -r t_md5 _ < <(measure openssl dgst -md5 "$work/www/package.bin")

file_kib=$((size_mib * 1024))
echo "Download ${size_mib} MiB over loopback: zyra ${t_dl} s, curl ${t_curl} s"
echo "Validate ${size_mib} MiB: zyra ${t_val} s (peak RSS ${rss_val} KiB), openssl dgst -md5 ${t_md5} s"
echo "ratio download/curl:        $(awk "BEGIN{printf \"%.3f\", $t_dl/$t_curl}") (goal <= 1.05)"
echo "ratio validate/openssl-md5: $(awk "BEGIN{printf \"%.3f\", $t_val/$t_md5}") (goal <= 1.15)"
echo "validate peak RSS - file:   $(( (rss_val - file_kib) / 1024 )) MiB (goal <= 24 MiB)"
