#!/usr/bin/env bash
# Whole-run benchmark on an emulated machine against the loopback update
# server, on the real clock (no libfaketime): the agent is current, so the
# run restarts the handler service (a mandated 5 s pause) and the handler
# answers before the first poll (a mandated 30 s sleep); the service start
# wait loop sleeps 1 s per poll while the new service is START_PENDING.
# Reports
#   - the time from process start to the first log line;
#   - the wall time beyond the mandated 35 s (goal <= 150 ms); this includes
#     the loopback transfers, so it is an upper bound of the program's own time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
bin=build/bench
repo=$(pwd)

m=$(mktemp -d /tmp/zyra-runbench-XXXXXX)
trap '[ -z "${server:-}" ] || kill "$server" 2>/dev/null || true; rm -rf "$m"' EXIT
export ZYRA_MACHINE_ROOT="$m"
unset TMP TEMP
mkdir -p "$m/drive_c/ProgramData/Corvane/CorvZyra" "$m/drive_c/Windows/Temp" \
         "$m/drive_c/Program Files/CorvZyra" "$m/services/CorvZyraHandler" "$m/www"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraAgent]\r\n"DisplayVersion"="4.2.0"\r\n' > "$m/registry.reg"
cp "$bin/tools/installer_double/zyra-installer-double" "$m/www/CorvZyraAgent-Setup.exe"
printf '{"version":"4.2.0"}' > "$m/www/CorvZyraAgent-Setup.exe.manifest"
"$bin/tools/zyra-update-server/zyra-update-server" --root "$m/www" --port-file "$m/port" > /dev/null &
server=$!
for _ in $(seq 200); do [ -s "$m/port" ] && break; sleep 0.05; done
port=$(cat "$m/port")
"$bin/tools/zyra-sign/zyra-sign" manifest "$bin/dev-keys/package-signing-private.pem" "$m/www" "http://127.0.0.1:$port" >/dev/null
printf '{"morla":{"current":"b","available":[{"name":"b","url":"http://127.0.0.1:%s/corvane.com/api/files/manifest/zyra/latest"}]}}' "$port" \
  > "$m/drive_c/ProgramData/Corvane/CorvZyra/zyra-config.json"
printf '#!/bin/sh\nexec "%s" --service --behaviour already >/dev/null 2>&1\n' "$repo/$bin/tools/handler_double/zyra-handler-double" \
  > "$m/services/CorvZyraHandler/service"
chmod +x "$m/services/CorvZyraHandler/service"
cp "$bin/app/CorvZyraProvisionStub" "$m/drive_c/Program Files/CorvZyra/"
echo token > "$m/drive_c/Program Files/CorvZyra/CorvZyraProvisionToken.json"

start=$(date +%s%N)
"$m/drive_c/Program Files/CorvZyra/CorvZyraProvisionStub" > "$m/console.txt" || code=$?
end=$(date +%s%N)
code=${code:-0}
log="$m/drive_c/ProgramData/Corvane/CorvZyra/CorvZyraProvisionStub.log"
first=$(head -n 1 "$log" | cut -c1-29)   # 2026-12-09T00:13:57.063+00:00
first_ns=$(date -d "$first" +%s%N)
# A service just started is START_PENDING until it reports (as on Windows):
# the start wait loop then sleeps at least 1000 ms per poll before it reads
# RUNNING. Those sleeps are mandated too; the loop's time comes from the log.
stamp_ns() { date -d "$(grep -m1 -F "$1" "$log" | cut -c1-29)" +%s%N; }
loop_ms=0
if grep -q -F "Service started successfully." "$log"; then
  loop_ms=$(( ($(stamp_ns "Service started successfully.") - $(stamp_ns "CorvZyraHandler started.")) / 1000000 ))
fi
start_polls=$(( loop_ms / 1000 ))
mandated=$(( 35000 + start_polls * 1000 ))
echo "result code: $code ($(tr -d '\r' < "$m/drive_c/Windows/Temp/CorvZyra/CorvZyraProvisionStub_Result.txt"))"
echo "start to first log line: $(( (first_ns - start) / 1000000 )) ms"
echo "service start wait loop: $loop_ms ms ($start_polls poll sleeps of 1000 ms)"
echo "wall time: $(( (end - start) / 1000000 )) ms, of which mandated waits $mandated ms"
echo "beyond mandated waits (program + loopback transfers): $(( (end - start) / 1000000 - mandated )) ms (goal <= 150 ms)"
