#!/usr/bin/env bash
# The demo: the whole provisioning story on a fresh emulated Windows machine.
# Builds the stub and its doubles (release preset), then lays out the machine
# with zyra-machine (the builder of the tests): an agent installer double and
# its version manifest signed with the development key and served by
# zyra-update-server on loopback, "zyra-config.json" pointing at it, the
# handler double as the "CorvZyraHandler" service, a token beside the
# program. It runs the program under libfaketime (the handler's 30-second
# polls take a moment) and shows its log and its result file.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --demo

echo "== Building =="
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)"

machine="$PWD/build/demo-machine"
rm -rf "$machine"
exec build/release/tools/zyra-machine/zyra-machine --root "$machine" --log-level 0 \
  --offer-agent 4.2.0 \
  --handler-service="--behaviour progress --verdict-after 60 --then success" \
  --token '{"orgId":"demo-org","roomName":"Demo Room"}'
