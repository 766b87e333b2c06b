#!/usr/bin/env bash
# Benchmarks of what users meet, one run; the figures, the goals and the
# ratios side by side are printed last, with a description of the machine.
#
#   1. Validation (ValidateSignature) of a 256 MiB package against
#      `openssl dgst -md5` on the same file: time ratio, goal <= 1.10.
#      Peak memory above the program's baseline (the same command validating a
#      4 KiB package) at 256 MiB and 2 GiB: goal <= 24 MiB.
#   2. The Windows program under Wine (zyra-sign.exe verify, the same
#      ValidateSignature): 256 MiB and 2 GiB, time and answer. The i686 build
#      under 32-bit Wine where this machine runs 32-bit programs
#      (scripts/wine32-probe.sh), else the x86-64 build under wine64, said so.
#   3. Downloads of a 256 MiB file in a private network namespace: `lo`
#      shaped to 1 Gbit/s with tbf (a link with a real rate) and unshaped
#      loopback, DownloadManager::Download against `curl -s -o`: goal for
#      the shaped link <= 1.02. busybox httpd serves the file (sendfile).
#   4. One proxy detection as every transfer attempt runs it, on the
#      emulated machine with a PAC URL (DHCP's WPAD answer, the PAC script
#      from a local server): median over 100 attempts, goal <= 5 ms.
#   5. A whole run's own time beyond its mandated waits (bench/run_bench.sh):
#      goal <= 150 ms.
#
# Needs root (network namespace, tc). ZYRA_BENCH_SKIP_RUN=1 leaves out 5.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
bash scripts/install-deps.sh >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench --target zyra-bench zyra-sign >/dev/null
bench=build/bench/bench/zyra-bench
sign=build/bench/tools/zyra-sign/zyra-sign
key=build/bench/dev-keys/package-signing-private.pem

work=$(mktemp -d /tmp/zyra-bench-XXXXXX)
cleanup() {
  [ -z "${server:-}" ] || kill "$server" 2>/dev/null || true
  [ -z "${WINEPREFIX:-}" ] || /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
export ZYRA_MACHINE_ROOT="$work/machine"
mkdir -p "$ZYRA_MACHINE_ROOT/drive_c/ProgramData" "$ZYRA_MACHINE_ROOT/drive_c/Windows/Temp"
MiB=$((1024 * 1024))

ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
median() { sort -n | awk '{v[NR] = $1} END {m = int((NR + 1) / 2); print (NR % 2) ? v[m] : (v[m] + v[m + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }
meets() { awk -v v="$1" -v g="$2" 'BEGIN {print (v <= g) ? "met" : "MISSED"}'; }

# A sparse package of SIZE bytes with a little data at its start, middle and end.
sparse_package() {  # path size
  truncate -s "$2" "$1"
  printf 'MZ start' | dd of="$1" bs=1 seek=0 conv=notrunc status=none
  printf 'middle' | dd of="$1" bs=1 seek=$(($2 / 2)) conv=notrunc status=none
  printf 'end' | dd of="$1" bs=1 seek=$(($2 - 3)) conv=notrunc status=none
}
# Signature file made by the openssl command line with KEY.
openssl_sign() {  # key package
  openssl dgst -md5 -sign "$1" "$2" | od -An -v -tx1 | tr -d ' \n' >"$2.sig"
}

echo "== preparing packages =="
head -c $((256 * MiB)) /dev/urandom >"$work/p256.bin"
head -c 4096 /dev/urandom >"$work/p4k.bin"
sparse_package "$work/p2g.bin" $((2048 * MiB))
for p in p4k p256 p2g; do "$sign" sign "$key" "$work/$p.bin" >/dev/null; done
cat "$work/p256.bin" >/dev/null   # in the page cache for every command alike

# --- 1. validation against openssl dgst -md5 --------------------------------
echo "== 1. validation against openssl dgst -md5 (256 MiB, five runs each, alternating) =="
: >"$work/t_val"; : >"$work/t_md5"
for _ in 1 2 3 4 5; do
  t0=$(date +%s%N); "$bench" validate "$work/p256.bin" "$work/p256.bin.sig"; ms_since "$t0" >>"$work/t_val"
  t0=$(date +%s%N); openssl dgst -md5 "$work/p256.bin" >/dev/null; ms_since "$t0" >>"$work/t_md5"
done
t_val=$(median <"$work/t_val"); t_md5=$(median <"$work/t_md5")
echo "  zyra validate: $(tr '\n' ' ' <"$work/t_val")ms; openssl dgst -md5: $(tr '\n' ' ' <"$work/t_md5")ms"

peak_kib() {  # package -> peak RSS in KiB of one validation (which must succeed)
  /usr/bin/time -o "$work/rss" -f '%M' "$bench" validate "$1" "$1.sig" ||
    { echo "validation of $1 failed" >&2; exit 1; }
  tail -n 1 "$work/rss"
}
rss_base=$(peak_kib "$work/p4k.bin")
rss_256=$(peak_kib "$work/p256.bin")
rss_2g=$(peak_kib "$work/p2g.bin")
above_256=$(awk -v a="$rss_256" -v b="$rss_base" 'BEGIN {printf "%.1f", (a - b) / 1024}')
above_2g=$(awk -v a="$rss_2g" -v b="$rss_base" 'BEGIN {printf "%.1f", (a - b) / 1024}')
echo "  peak RSS: baseline (4 KiB package) $rss_base KiB, 256 MiB $rss_256 KiB, 2 GiB $rss_2g KiB"

# --- 2. the Windows program under Wine ---------------------------------------
echo "== 2. the Windows program under Wine =="
if probe=$(bash scripts/wine32-probe.sh); then
  win_arch=i686; loader=/usr/lib/wine/wine; win_note="i686 (the shipping program) under 32-bit Wine"
else
  win_arch=x86_64; loader=/usr/lib/wine/wine64
  win_note="x86-64 under wine64: 32-bit programs cannot run here ($probe)"
  echo "  !!!! $win_note"
fi
wbuild=build/windows-$win_arch
wine_rows=()
if bash scripts/build-windows-deps.sh "$win_arch" >"$work/deps.log" 2>&1 &&
   cmake --preset "windows-$win_arch" >/dev/null 2>&1 &&
   cmake --build --preset "windows-$win_arch" --target zyra-sign >/dev/null; then
  wkey=$wbuild/dev-keys/package-signing-private.pem
  export WINEPREFIX="$work/wineprefix" WINEARCH=win64 WINEDEBUG=-all
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  winpath() { printf 'Z:%s' "${1//\//\\}"; }
  for p in p256 p2g; do
    cp --sparse=always "$work/$p.bin" "$work/w$p.bin"
    openssl_sign "$wkey" "$work/w$p.bin"
    t0=$(date +%s%N)
    set +e
    "$loader" "$wbuild/tools/zyra-sign/zyra-sign.exe" verify "$(winpath "$work/w$p.bin")" \
      "$(winpath "$work/w$p.bin.sig")" >"$work/wine.out" 2>&1
    rc=$?
    set -e
    t=$(ms_since "$t0")
    answer=$([ "$rc" -eq 0 ] && echo "valid" || echo "exit $rc: $(tr -d '\r' <"$work/wine.out" | tail -n 1)")
    size=$([ "$p" = p256 ] && echo "256 MiB" || echo "2 GiB (sparse)")
    echo "  $win_arch zyra-sign.exe verify, $size: $t ms, $answer"
    wine_rows+=("$(printf '%-52s %-24s %-10s %s' "Wine $win_arch: validate $size" "$t ms" "success" \
      "$([ "$rc" -eq 0 ] && echo met || echo MISSED)")")
    rm -f "$work/w$p.bin" "$work/w$p.bin.sig"
  done
else
  echo "  the Windows $win_arch zyra-sign could not be built"
  wine_rows+=("Wine $win_arch: not measured (the Windows build failed)")
fi

# --- 3. downloads in a private network namespace -----------------------------
echo "== 3. downloads of 256 MiB in a private network namespace =="
mkdir -p "$work/www"
ln "$work/p256.bin" "$work/www/package.bin"
cat >"$work/netns.sh" <<'EOF'
set -euo pipefail
bench=$1 www=$2 out=$3 work=$4
ip link set lo up
port=8080
busybox httpd -f -p "127.0.0.1:$port" -h "$www" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/package.bin.sig" && break; sleep 0.1; done
url="http://127.0.0.1:$port/package.bin"
run() {  # label
  local label=$1 t0
  for _ in 1 2 3; do
    t0=$(date +%s%N); "$bench" download "$url" "$work/dl.bin"
    echo "$label zyra $(( ($(date +%s%N) - t0) / 1000000 ))" >>"$out"
    cmp -s "$work/dl.bin" "$www/package.bin" || { echo "download differs" >&2; exit 1; }
    t0=$(date +%s%N); curl -s -o "$work/curl.bin" "$url"
    echo "$label curl $(( ($(date +%s%N) - t0) / 1000000 ))" >>"$out"
  done
  rm -f "$work/dl.bin" "$work/curl.bin"
}
run loopback
# 1 Gbit/s; the bucket holds a little more than one 64 KiB loopback packet's
# worth of bursts, the queue 50 ms.
tc qdisc add dev lo root tbf rate 1gbit burst 256kb latency 50ms
run shaped
tc -s qdisc show dev lo | sed -n '1,3p' >"$out.qdisc"
EOF
: >"$work/dl.txt"
unshare -n bash "$work/netns.sh" "$repo/$bench" "$work/www" "$work/dl.txt" "$work"
pick() { awk -v l="$1" -v t="$2" '$1 == l && $2 == t {print $3}' "$work/dl.txt" | median; }
lo_zyra=$(pick loopback zyra); lo_curl=$(pick loopback curl)
tb_zyra=$(pick shaped zyra); tb_curl=$(pick shaped curl)
echo "  $(tr '\n' ';' <"$work/dl.txt")"
sed 's/^/  /' "$work/dl.txt.qdisc"

# --- 4. proxy detection with a PAC URL ---------------------------------------
echo "== 4. proxy detection per attempt, emulated machine with a PAC URL (100 attempts) =="
mkdir -p "$work/pac"
cat >"$work/pac/wpad.dat" <<'EOF'
function FindProxyForURL(url, host) {
  if (dnsDomainIs(host, ".corvane.com")) return "PROXY proxy.corp.test:3128";
  return "DIRECT";
}
EOF
pport=$(( 20000 + RANDOM % 20000 ))
busybox httpd -f -p "127.0.0.1:$pport" -h "$work/pac" &
server=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$pport/wpad.dat" && break; sleep 0.1; done
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\r\n"DhcpWpadUrl"="http://127.0.0.1:%s/wpad.dat"\r\n' \
  "$pport" >"$ZYRA_MACHINE_ROOT/registry.reg"
read -r px_med px_min px_max px_answer < <("$bench" proxy 100 "https://update.corvane.com/api/files/manifest/zyra/latest")
echo "  median $px_med ms (fastest $px_min, slowest $px_max); answer: $px_answer"
kill "$server" 2>/dev/null || true
server=

# --- 5. a whole run ----------------------------------------------------------
run_own=""
if [ "${ZYRA_BENCH_SKIP_RUN:-0}" != 1 ]; then
  echo "== 5. a whole run (bench/run_bench.sh) =="
  bash bench/run_bench.sh | tee "$work/run.txt" | sed 's/^/  /'
  run_own=$(sed -n 's/^beyond mandated waits[^:]*: \(-\{0,1\}[0-9]*\) ms.*/\1/p' "$work/run.txt")
fi

# --- figures -----------------------------------------------------------------
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
mem=$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)
echo
echo "== Figures =="
echo "Machine: $cpu, $(nproc) cores, $mem RAM, Linux $(uname -r), Debian $(cat /etc/debian_version 2>/dev/null || echo '?'),"
echo "  $(openssl version | cut -d' ' -f1-2), $(curl --version | head -n 1 | cut -d' ' -f1-2), $(/usr/lib/wine/wine64 --version 2>/dev/null), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Windows program: $win_note"
printf '%-52s %-24s %-10s %s\n' "measure" "figure" "goal" "result"
row() { printf '%-52s %-24s %-10s %s\n' "$1" "$2" "$3" "$4"; }
r=$(ratio "$t_val" "$t_md5")
row "validate 256 MiB / openssl dgst -md5" "$r ($t_val / $t_md5 ms)" "<= 1.10" "$(meets "$r" 1.10)"
row "peak memory above baseline, 256 MiB" "$above_256 MiB" "<= 24 MiB" "$(meets "$above_256" 24)"
row "peak memory above baseline, 2 GiB" "$above_2g MiB" "<= 24 MiB" "$(meets "$above_2g" 24)"
for w in "${wine_rows[@]}"; do echo "$w"; done
r=$(ratio "$tb_zyra" "$tb_curl")
row "download 256 MiB, lo at 1 Gbit/s (tbf): zyra / curl" "$r ($tb_zyra / $tb_curl ms)" "<= 1.02" "$(meets "$r" 1.02)"
row "download 256 MiB, loopback unshaped: zyra / curl" "$(ratio "$lo_zyra" "$lo_curl") ($lo_zyra / $lo_curl ms)" "-" "(shown)"
row "proxy detection with PAC URL, median of 100" "$px_med ms" "<= 5 ms" "$(meets "$px_med" 5)"
if [ -n "$run_own" ]; then
  row "whole run beyond mandated waits (35 s + start polls)" "$run_own ms" "<= 150 ms" "$(meets "$run_own" 150)"
fi
echo "Downloads: the download manager leaves libcurl's receive buffer at its default"
echo "(CURLOPT_BUFFERSIZE unset: 16 KiB per write callback, one fwrite each) while"
echo "curl -s -o sets 100 KiB; on unshaped loopback, where the link costs almost"
echo "nothing, that difference separates the two; on a link with a real rate it vanishes."
