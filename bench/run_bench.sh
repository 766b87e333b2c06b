#!/usr/bin/env bash
# Whole-run benchmark on an emulated machine (laid out by zyra-machine, the
# builder of the tests) against the loopback update server, on the real clock
# (no libfaketime): the agent is current, so the run restarts the handler
# service (a mandated 5 s pause) and the handler answers before the first
# poll (a mandated 30 s sleep); the service start wait loop sleeps 1 s per
# poll while the new service is START_PENDING.
# Reports
#   - the time from process start to the first log line;
#   - the wall time beyond the mandated 35 s (goal <= 150 ms); this includes
#     the loopback transfers, so it is an upper bound of the program's own time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

m=$(mktemp -d /tmp/zyra-runbench-XXXXXX)
trap 'rm -rf "$m"' EXIT
code=0
build/bench/tools/zyra-machine/zyra-machine --root "$m" --installed-agent 4.2.0 \
  --offer-agent 4.2.0 --handler-service="--behaviour already" --token token \
  --real-clock --times "$m/times" > /dev/null || code=$?
read -r start end < "$m/times"
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
