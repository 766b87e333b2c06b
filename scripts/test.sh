#!/usr/bin/env bash
# The whole test suite, on the CMake presets of CMakePresets.json:
#   - installs what is missing (scripts/install-deps.sh);
#   - the Linux suite (unit, end-to-end and fault tests on emulated machines)
#     under AddressSanitizer + UndefinedBehaviorSanitizer (preset linux-asan);
#   - the threaded parts under ThreadSanitizer (preset linux-tsan, label
#     threads);
#   - probes once whether this machine runs a 32-bit Windows program
#     (scripts/wine32-probe.sh: a tiny PE32 under /usr/lib/wine/wine in a
#     fresh 64-bit prefix);
#   - builds the Windows libraries for the targets needed (i686 always, for
#     the shipping program; x86-64 only when 32-bit programs cannot run);
#   - builds the shipping i686 program (signed, symbols apart) and makes and
#     checks its release folder (build/windows-i686/release);
#   - runs the Windows unit tests: the i686 build under 32-bit Wine, or, where
#     32-bit programs cannot run, the x86-64 build under wine64;
#   - runs the Wine scenarios of the Linux build (ctest label wine) against
#     the Windows build that runs.
# Counts come from ctest's JUnit reports. The last line is "N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --tests

# Compiler cache: a later run on the same machine, also from another clone,
# compiles only what changed.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
  ccache --max-size=20G >/dev/null 2>&1 || true
fi

jobs=$(nproc 2>/dev/null || echo 2)
reports=build/test-reports
mkdir -p "$reports"
summary=()
passed=0
failed=0

# Counts the test cases of a ctest JUnit report: "passed failed skipped".
# Status "run" passed; "fail" failed; "notrun" is skipped when ctest skipped
# it on purpose (GTEST_SKIP through SKIP_REGULAR_EXPRESSION, or
# SKIP_RETURN_CODE), otherwise failed (a test that could not start);
# "disabled" is skipped.
junit_counts() {  # file
  [ -s "$1" ] || { echo "0 0 0"; return; }
  awk '
    function close_case() {
      if (status == "run") ok++
      else if (status == "fail") bad++
      else if (status == "disabled") skip++
      else if (status == "notrun") { if (skipmsg ~ /^SKIP_/) skip++; else bad++ }
      status = ""; skipmsg = ""
    }
    /<testcase / {
      if (status != "") close_case()
      status = $0; sub(/.* status="/, "", status); sub(/".*/, "", status)
    }
    /<skipped / && status != "" {
      skipmsg = $0; sub(/.*message="/, "", skipmsg); sub(/".*/, "", skipmsg)
    }
    /<\/testcase>/ && status != "" { close_case() }
    END { if (status != "") close_case(); printf "%d %d %d\n", ok, bad, skip }
  ' "$1"
}

# run_ctest NAME [ctest args...]: runs ctest, adds its counts to the totals.
# A failing ctest that reported no failed test (it could not run at all)
# counts as one failure.
run_ctest() {
  local name=$1
  shift
  local xml="$PWD/$reports/$name.xml"
  rm -f "$xml"
  set +e
  ctest "$@" --output-junit "$xml"
  local rc=$?
  set -e
  local ok bad skip
  read -r ok bad skip < <(junit_counts "$xml")
  if [ "$rc" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
  passed=$((passed + ok))
  failed=$((failed + bad))
  summary+=("$name: $ok of $((ok + bad)) passed$([ "$skip" -eq 0 ] || echo ", $skip skipped")")
}

# step NAME command...: a build step; a failure counts as one failed test and
# the summary names it.
step() {
  local name=$1
  shift
  if "$@"; then return 0; fi
  failed=$((failed + 1))
  summary+=("$name: FAILED")
  return 1
}

# A fresh 64-bit prefix for a Windows build's tests: the old one goes, and
# the first test makes the new one. (A prefix made beforehand with
# `wineboot -i` gives Wine 8's service manager a state in which services just
# created cannot be opened for control: the service tests then fail.)
fresh_prefix() {  # build-dir
  rm -rf "$1/wineprefix"
}

echo "== Linux suite (emulated Windows machine) under AddressSanitizer + UBSan =="
if step "linux-asan build" cmake --preset linux-asan >/dev/null &&
   step "linux-asan build" cmake --build --preset linux-asan -j "$jobs"; then
  run_ctest linux-asan-ubsan --preset linux-asan -j "$jobs"
  linux_built=1
else
  linux_built=0
fi

echo "== Threaded parts under ThreadSanitizer =="
# The logger shared by two threads, the clean-up thread, the timer worker,
# the transfer trace switch and the one-time initialisations.
if step "linux-tsan build" cmake --preset linux-tsan >/dev/null &&
   step "linux-tsan build" cmake --build --preset linux-tsan -j "$jobs"; then
  run_ctest linux-tsan --preset linux-tsan -j "$jobs"
fi

echo "== Can this machine run 32-bit Windows programs? =="
probe=$(bash scripts/wine32-probe.sh || true)
if [ "$probe" = yes ]; then
  win_arch=i686
  echo "yes: the Windows suites run on the i686 build under /usr/lib/wine/wine"
else
  win_arch=x86_64
  echo "!!!! 32-BIT WINDOWS PROGRAMS CANNOT RUN HERE ($probe): THE WINDOWS SUITES RUN ON THE X86-64 BUILD UNDER WINE64 INSTEAD OF THE SHIPPING I686 PROGRAM !!!!"
  dmesg 2>/dev/null | grep -iE 'ia32|32-bit emulation' | tail -n 2 | sed 's/^/    kernel: /' || true
fi

echo "== Windows libcrypto and libcurl (from Debian's sources; cached) =="
if [ "$win_arch" = i686 ]; then deps=i686; else deps=all; fi
step "windows libraries" bash scripts/build-windows-deps.sh "$deps" || true

echo "== Windows i686 (the shipping program) =="
# Tests are built only where they run.
if [ "$win_arch" = i686 ]; then i686_tests=ON; else i686_tests=OFF; fi
# The build leaves the program signed and stripped, its symbols beside it;
# the release folder (target "release": program, symbols, administrator's
# guide, README.txt, SHA256SUMS) is made and checked by
# scripts/check-windows-exe.sh (architecture, DLLs, version resource,
# manifest, signature against the development certificate, no debug
# sections, debug link, checksums) before it replaces the last one.
if step "windows-i686 build" cmake --preset windows-i686 -DZYRA_BUILD_TESTS=$i686_tests >/dev/null &&
   step "windows-i686 build" cmake --build --preset windows-i686 -j "$jobs" &&
   step "windows-i686 release folder" cmake --build --preset windows-i686 --target release; then
  summary+=("windows-i686: build/windows-i686/release checked (PE32 console, system DLLs only, version resource, manifest, Authenticode SHA-256, no debug sections, SHA256SUMS)")
  win_built=$([ "$win_arch" = i686 ] && echo 1 || echo 0)
else
  win_built=0
fi

if [ "$win_arch" = x86_64 ]; then
  echo "== Windows x86-64 build (32-bit programs cannot run here) =="
  if step "windows-x86_64 build" cmake --preset windows-x86_64 >/dev/null &&
     step "windows-x86_64 build" cmake --build --preset windows-x86_64 -j "$jobs"; then
    win_built=1
  fi
fi

if [ "$win_built" -eq 1 ]; then
  if [ "$win_arch" = i686 ]; then
    echo "== Windows unit tests: the i686 build under 32-bit Wine (/usr/lib/wine/wine) =="
  else
    echo "== Windows unit tests: the x86-64 build under wine64 (NOT the shipping i686 program) =="
  fi
  fresh_prefix "build/windows-$win_arch"
  run_ctest "windows-$win_arch" --preset "windows-$win_arch"

  if [ "$linux_built" -eq 1 ]; then
    echo "== Wine scenarios: whole runs of the $win_arch program (ctest label wine) =="
    # They mostly wait (real 30 s polls under Wine): six side by side.
    run_ctest "wine-scenarios-$win_arch" --preset "wine-scenarios-$win_arch" -j 6
  fi
fi

echo "== Fuzz smoke: every libFuzzer target on its seeds, then 20 s each =="
# A crash, leak, time-out or sanitizer report fails it. Each target counts
# as one test.
fuzz_log=$reports/fuzz-smoke.log
set +e
bash scripts/fuzz.sh --smoke 2>&1 | tee "$fuzz_log"
fuzz_rc=${PIPESTATUS[0]}
set -e
fuzz_out=$(tail -n 1 "$fuzz_log")
fuzz_targets=$(sed -nE 's/^fuzz smoke: ([0-9]+) targets passed.*/\1/p' <<<"$fuzz_out")
if [ "$fuzz_rc" -eq 0 ] && [ -n "$fuzz_targets" ]; then
  passed=$((passed + fuzz_targets))
  summary+=("fuzz-smoke: $fuzz_targets of $fuzz_targets targets passed")
else
  failed=$((failed + 1))
  summary+=("fuzz-smoke: FAILED ($fuzz_out)")
fi

echo
echo "== Summary =="
if [ "$win_arch" = i686 ]; then
  summary+=("Windows suites ran on: i686 (the shipping program) under 32-bit Wine")
else
  summary+=("Windows suites ran on: x86-64 under wine64; 32-bit programs cannot run here ($probe)")
fi
skipped=${ZYRA_SETUP_STATE:-/var/lib/corvzyra-setup}/wine32-skipped
if [ -s "$skipped" ]; then
  summary+=("32-bit Wine not installed: $(head -n 1 "$skipped")")
fi
printf '  %s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
