#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds with warnings fatal,
# runs the Linux suite (unit and end-to-end tests on emulated machines) under
# AddressSanitizer + UndefinedBehaviorSanitizer, runs the threaded parts under
# ThreadSanitizer, builds the Windows libraries from Debian's sources (once;
# cached), links the shipping 32-bit Windows program, runs the Windows unit
# tests under wine64 in a fresh Wine prefix. The Windows program's whole runs
# inside Wine take real time and are the separate command scripts/windows.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
summary=()
passed=0
failed=0

run_ctest() {  # name build-dir [ctest args...]
  local name=$1 dir=$2
  shift 2
  local log="$dir/ctest-output.txt"
  set +e
  ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  local total fails
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  fails=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  total=${total:-0}
  fails=${fails:-0}
  if [ "$rc" -ne 0 ] && [ "$fails" -eq 0 ]; then fails=1; fi
  passed=$((passed + total - fails))
  failed=$((failed + fails))
  summary+=("$name: $((total - fails)) of $total passed")
}

echo "== Linux suite (emulated Windows machine) under AddressSanitizer + UBSan =="
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZYRA_WARNINGS_AS_ERRORS=ON \
  -DZYRA_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j "$jobs"
run_ctest linux-asan-ubsan build/asan -j "$jobs"

echo "== Threaded parts under ThreadSanitizer =="
# The logger shared by two threads, the clean-up thread, the timer worker,
# the transfer trace switch and the one-time initialisations.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZYRA_WARNINGS_AS_ERRORS=ON \
  -DZYRA_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target zyra_unit_tests
run_ctest linux-tsan build/tsan -j "$jobs" -L threads

echo "== Windows libcrypto and libcurl (from Debian's sources; cached) =="
bash scripts/build-windows-deps.sh all

echo "== Windows i686 (the shipping program): compile and link =="
# The program and its tools; 32-bit Windows programs cannot run here, so the
# test suite is not built for this target.
cmake -S . -B build/windows-i686 -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DZYRA_WARNINGS_AS_ERRORS=ON \
  -DZYRA_BUILD_TESTS=OFF >/dev/null
cmake --build build/windows-i686 -j "$jobs"
bash scripts/check-windows-exe.sh build/windows-i686/app/CorvZyraProvisionStub.exe i386
summary+=("windows-i686: CorvZyraProvisionStub.exe links (PE32 console, system DLLs only)")

echo "== Windows x86-64 unit tests under wine64 =="
cmake -S . -B build/windows-x86_64 -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DZYRA_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 >/dev/null
cmake --build build/windows-x86_64 -j "$jobs"
rm -rf build/windows-x86_64/wineprefix
run_ctest windows-x86_64 build/windows-x86_64

echo
echo "== Summary =="
printf '  %s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
