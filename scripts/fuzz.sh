#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) into build/fuzz (preset fuzz) and runs them one
# after another, one job each, under nice. The targets are the ones
# tests/fuzz/CMakeLists.txt lists.
#
#   scripts/fuzz.sh [--runs N] [--seconds S] [--coverage] [target...]
#   scripts/fuzz.sh --smoke [target...]
#
# Default: --seconds 60, every target; with both limits the first one reached
# ends the run (--runs 0 only replays the corpus). Each target first replays
# its regression inputs (tests/fuzz/regressions/<target>/), then fuzzes a copy
# of its seed corpus (tests/fuzz/corpus/<target>/) that grows in
# build/fuzz/corpus/<target>/. Crashing inputs land in build/fuzz/crashes/.
# --coverage also builds build/fuzz-cov (preset fuzz-coverage) with clang
# source-based coverage, replays the grown corpus and prints the line
# coverage of the target's source file.
# --smoke is the short run of the test command: each target replays its
# regression inputs and seeds, then fuzzes a throw-away copy of the seeds for
# 20 seconds, two targets at a time; any crash, leak, time-out or sanitizer
# report fails it. It ends with one line, "fuzz smoke: ...", and exits 1 on
# any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=""
seconds=""
coverage=0
smoke=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --coverage) coverage=1; shift ;;
    --smoke) smoke=1; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ "$smoke" -eq 1 ]; then
  if [ -n "$runs$seconds" ] || [ "$coverage" -eq 1 ]; then
    echo "fuzz: --smoke takes no other option" >&2
    exit 2
  fi
  seconds=20
fi
if [ -z "$runs" ] && [ -z "$seconds" ]; then seconds=60; fi

build=build/fuzz
# In smoke mode a failure of the build itself still ends with the one line.
smoke_fail() {
  echo "fuzz smoke: FAILED: $1"
  exit 1
}
# The targets tests/fuzz/CMakeLists.txt lists, as the configured build folder
# holds them; every name asked for must be one of them.
read_targets() {
  mapfile -t ALL_TARGETS <"$build/fuzz-targets.txt"
  [ ${#targets[@]} -gt 0 ] || targets=("${ALL_TARGETS[@]}")
  local t known
  for t in "${targets[@]}"; do
    known=0
    for k in "${ALL_TARGETS[@]}"; do [ "$k" = "$t" ] && known=1; done
    [ "$known" -eq 1 ] && [ -d "tests/fuzz/corpus/$t" ] ||
      { echo "fuzz: unknown target $t" >&2; exit 2; }
  done
}
if [ "$smoke" -eq 1 ]; then
  mkdir -p "$build/logs"
  bash scripts/install-deps.sh >"$build/logs/smoke-build.log" 2>&1 ||
    smoke_fail "missing packages (see $build/logs/smoke-build.log)"
  cmake --preset fuzz >>"$build/logs/smoke-build.log" 2>&1 ||
    smoke_fail "build (see $build/logs/smoke-build.log)"
  read_targets
  nice cmake --build --preset fuzz -j 2 --target $(printf 'fuzz_%s ' "${targets[@]}") \
    >>"$build/logs/smoke-build.log" 2>&1 || smoke_fail "build (see $build/logs/smoke-build.log)"
else
  bash scripts/install-deps.sh
  cmake --preset fuzz >/dev/null
  read_targets
  nice cmake --build --preset fuzz -j 2 --target $(printf 'fuzz_%s ' "${targets[@]}")
fi

# The package signature seeds can only be made with the build's own key:
# sign a small package with the development key (both byte orders, a bare
# digest, and a SHA-1 signature that must not validate).
hex() { od -An -v -tx1 "$1" | tr -d ' \n'; }
make_signature_seeds() {
  local key="$build/dev-keys/package-signing-private.pem" dir=$1
  [ -f "$key" ] || return 0
  local tmp
  tmp=$(mktemp -d)
  printf 'CorvZyra package' >"$tmp/pkg"
  openssl dgst -md5 -sign "$key" -out "$tmp/sig" "$tmp/pkg"
  { cat "$tmp/pkg"; printf '\0'; hex "$tmp/sig"; } >"$dir/generated-valid"
  { cat "$tmp/pkg"; printf '\0'; hex "$tmp/sig" | fold -w2 | tac | tr -d '\n' | tr 'a-f' 'A-F'; } >"$dir/generated-valid-reversed"
  # A bare MD5 digest without DigestInfo (valid), and a SHA-1 DigestInfo
  # over the same package (not valid).
  openssl dgst -md5 -binary -out "$tmp/md5" "$tmp/pkg"
  openssl pkeyutl -sign -inkey "$key" -in "$tmp/md5" -out "$tmp/bare" 2>/dev/null
  { cat "$tmp/pkg"; printf '\0'; hex "$tmp/bare"; } >"$dir/generated-bare-digest"
  openssl dgst -sha1 -sign "$key" -out "$tmp/sha1" "$tmp/pkg"
  { cat "$tmp/pkg"; printf '\0'; hex "$tmp/sha1"; } >"$dir/generated-sha1"
  rm -rf "$tmp"
}

# A short allocation context, a smaller quarantine and no malloc fill make
# the allocation-heavy parsers run about 1.7 times faster; replay a crashing
# input with the default options for the full report.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:malloc_context_size=3:quarantine_size_mb=32:max_malloc_fill_size=0}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# One target: regression inputs, then the fuzzing run. Writes its summary
# line to $build/logs/<target>.summary; returns non-zero on any failure.
run_target() {
  local t=$1
  local bin="$build/tests/fuzz/fuzz_$t"
  local corpus="$build/corpus/$t"
  local crashes="$build/crashes/$t"
  local log="$build/logs/$t.log"
  local summary_file="$build/logs/$t.summary"
  if [ "$smoke" -eq 1 ]; then
    # The seeds only, in a copy that is thrown away: the smoke run does not
    # depend on what earlier runs grew.
    corpus="$build/smoke/corpus/$t"
    crashes="$build/smoke/crashes/$t"
    log="$build/logs/$t.smoke.log"
    rm -rf "$corpus" "$crashes"
  fi
  mkdir -p "$corpus" "$crashes" "$build/logs"
  cp -n tests/fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  [ "$t" = signature ] && make_signature_seeds "$corpus"

  local regress="tests/fuzz/regressions/$t" nreg=0
  if [ -d "$regress" ] && [ -n "$(ls -A "$regress")" ]; then
    nreg=$(ls "$regress" | wc -l)
    if ! "$bin" -runs=0 "$regress"/* >"$build/logs/$t.regressions.log" 2>&1; then
      echo "$t: regression inputs FAILED (see $build/logs/$t.regressions.log)" >"$summary_file"
      return 1
    fi
  fi

  # Inputs longer than the formats need only slow the search down.
  local max_len
  case "$t" in
    handler_status|versions) max_len=256 ;;
    proxy_override|signature) max_len=1200 ;;
    *) max_len=4096 ;;
  esac
  local limit=()
  [ -n "$runs" ] && limit+=(-runs="$runs")
  [ -n "$seconds" ] && limit+=(-max_total_time="$seconds")
  local start rc
  start=$(date +%s)
  set +e
  nice "$bin" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  local elapsed execs speed last cov ft size ncrash line
  elapsed=$(( $(date +%s) - start ))
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -n 1)
  speed=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+' "$log" | grep -E 'cov: ' | tail -n 1 || true)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  size=$(ls "$corpus" | wc -l)
  ncrash=$(ls "$crashes" | wc -l)
  line="$t: ${execs:-?} execs in ${elapsed}s (${speed:-?}/s), cov ${cov:-?}, ft ${ft:-?}, corpus $size, crashes/leaks/timeouts $ncrash"
  [ "$nreg" -gt 0 ] && line="$line, regression inputs pass ($nreg)"
  # A sanitizer report that did not stop the target still fails it.
  if [ "$rc" -eq 0 ] && grep -qE '^(==[0-9]+==ERROR|SUMMARY: (Address|Leak|UndefinedBehavior)Sanitizer)|runtime error:' "$log"; then
    rc=99
  fi
  if [ "$rc" -ne 0 ] || [ "$ncrash" -ne 0 ]; then
    echo "$line, FAILED (exit $rc, see $log)" >"$summary_file"
    return 1
  fi
  echo "$line" >"$summary_file"
  return 0
}

summary=()
failed=0
failed_targets=()
if [ "$smoke" -eq 1 ]; then
  # Two targets at a time on the two cores.
  started=$(date +%s)
  for t in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
    rm -f "$build/logs/$t.summary"
    run_target "$t" &
  done
  wait || true
  for t in "${targets[@]}"; do
    line=$(cat "$build/logs/$t.summary" 2>/dev/null || echo "$t: no result, FAILED")
    if grep -q FAILED <<<"$line"; then
      failed=$((failed + 1))
      failed_targets+=("$t")
    fi
    summary+=("$line")
  done
  printf '  %s\n' "${summary[@]}"
  total=$(( $(date +%s) - started ))
  if [ "$failed" -eq 0 ]; then
    echo "fuzz smoke: ${#targets[@]} targets passed in ${total}s (seeds, regression inputs and 20 s of fuzzing each)"
    exit 0
  fi
  echo "fuzz smoke: FAILED: ${failed_targets[*]} (logs in $build/logs/)"
  exit 1
fi

for t in "${targets[@]}"; do
  echo "== $t =="
  if run_target "$t"; then :; else failed=$((failed + 1)); fi
  echo "   $(cat "$build/logs/$t.summary")"
  summary+=("$(cat "$build/logs/$t.summary")")
done

if [ "$coverage" -eq 1 ]; then
  cov_build=build/fuzz-cov
  # The same public key as build/fuzz, so the signed seeds validate here too.
  cmake --preset fuzz-coverage \
    -DZYRA_PACKAGE_PUBLIC_KEY="$PWD/$build/dev-keys/package-signing-public.pem" >/dev/null 2>&1
  nice cmake --build --preset fuzz-coverage -j 2 --target $(printf 'fuzz_%s ' "${targets[@]}")
  declare -A sources=(
    [manifest]="update/update_manager.cpp"
    [settings]="update/update_manager.cpp"
    [proxy_override]="platform/proxy_detector.cpp"
    [signature]="net/signature.cpp"
    [regfile]="platform/posix/regfile.cpp"
    [handler_status]="app/handler_handoff.cpp"
    [versions]="app/agent_update.cpp"
  )
  for t in "${targets[@]}"; do
    bin="$cov_build/tests/fuzz/fuzz_$t"
    prof="$cov_build/profiles/$t"
    rm -rf "$prof"
    mkdir -p "$prof"
    LLVM_PROFILE_FILE="$prof/%p.profraw" nice "$bin" -runs=0 "$build/corpus/$t" >/dev/null 2>&1 || true
    llvm-profdata merge -sparse "$prof"/*.profraw -o "$prof/merged.profdata"
    lines=$(llvm-cov export -summary-only "$bin" -instr-profile="$prof/merged.profdata" \
        ${sources[$t]} | python3 -c '
import json, sys
t = json.load(sys.stdin)["data"][0]["totals"]["lines"]
print("%d of %d lines (%.1f%%)" % (t["covered"], t["count"], t["percent"]))')
    echo "   coverage $t (${sources[$t]}): $lines"
    summary+=("coverage $t (${sources[$t]}): $lines")
  done
fi

echo
echo "== Fuzz summary =="
printf '  %s\n' "${summary[@]}"
[ "$failed" -eq 0 ]
