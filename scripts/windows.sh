#!/usr/bin/env bash
# The Windows program end to end inside Wine: builds the Windows libraries
# (once; cached), the x86-64 program with its doubles, the Linux update
# server and signing tool, then runs scripts/wine-e2e.sh (agent current,
# fresh install, tampered installer, failing installer). The program's waits
# are real under Wine, so this takes a few minutes beyond the builds; it is
# kept apart from the test command to hold that under 30 minutes.
#
#   bash scripts/windows.sh [SCENARIO...]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

echo "== Windows libcrypto and libcurl (from Debian's sources; cached) =="
bash scripts/build-windows-deps.sh all

echo "== Linux update server and signing tool =="
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZYRA_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/linux -j "$jobs" --target zyra-update-server zyra-sign

echo "== Windows x86-64 program and doubles =="
cmake -S . -B build/windows-x86_64 -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DZYRA_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 >/dev/null
cmake --build build/windows-x86_64 -j "$jobs" \
  --target CorvZyraProvisionStub zyra-installer-double zyra-handler-double

echo "== Whole runs inside Wine =="
exec bash scripts/wine-e2e.sh build/windows-x86_64 build/linux "$@"
