#!/usr/bin/env bash
# The deployment wrapper of docs/administrators.md (docs/examples/
# provision-room.cmd) under Wine's cmd, with a stand-in for the program that
# records the token it finds beside itself and ends with a chosen code: the
# computer's own token (not another room's, not one left by an earlier run)
# is put beside the program and removed after the run, the program's exit
# code is the wrapper's, a computer without a token runs the program
# without one, and the code is kept as LastResult in the 64-bit registry view.
# usage: room_wrapper_test.sh WINE-LOADER provision-room.cmd zyra-stub-standin.exe WORK-DIR
set -euo pipefail
wine=$1 wrapper=$2 standin=$3 work=$4

rm -rf "$work"
mkdir -p "$work/pkg/tokens"
trap 'rm -rf "$work"' EXIT
winpath() { printf 'Z:%s' "${1//\//\\}"; }
fail() { echo "FAIL: $*"; exit 1; }

pkg="$work/pkg"
cp "$wrapper" "$pkg/provision-room.cmd"
cp "$standin" "$pkg/CorvZyraProvisionStub.exe"
name=$("$wine" cmd /c echo %COMPUTERNAME% | tr -d '\r\n')
[ -n "$name" ] && [ "$name" != "%COMPUTERNAME%" ] || fail "no computer name under Wine"
printf '{"room":"%s"}' "$name" >"$pkg/tokens/$name.json"
printf '{"room":"another room"}' >"$pkg/tokens/ROOM-OTHER.json"

# run EXIT-CODE: runs the wrapper as a deployment tool does; its exit code.
run() {
  printf '%s' "$1" >"$pkg/standin.exit"
  rm -f "$pkg/standin.record"
  set +e
  "$wine" cmd /c "$(winpath "$pkg/provision-room.cmd")" >"$work/out.txt" 2>"$work/err.txt"
  local rc=$?
  set -e
  return $rc
}
last_result() {
  "$wine" reg query 'HKLM\SOFTWARE\CorvZyraDeployment' /v LastResult /reg:64 2>/dev/null |
    tr -d '\r' | awk '$1 == "LastResult" {print $3}'
}

# A token of another room left beside the program: replaced by this one's.
printf '{"room":"left over"}' >"$pkg/CorvZyraProvisionToken.json"
rc=0; run 125 || rc=$?
[ "$rc" -eq 125 ] || fail "exit code $rc, not the program's 125"
[ "$(cat "$pkg/standin.record")" = "{\"room\":\"$name\"}" ] ||
  fail "the program found $(cat "$pkg/standin.record"), not the token of $name"
[ ! -e "$pkg/CorvZyraProvisionToken.json" ] || fail "the token copy stays beside the program"
[ "$(last_result)" = "0x7d" ] || fail "LastResult is '$(last_result)', not 0x7d (125)"
echo "own token, exit 125 passed through, LastResult 0x7d"

rc=0; run 0 || rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc, not the program's 0"
[ "$(last_result)" = "0x0" ] || fail "LastResult is '$(last_result)', not 0x0"
echo "exit 0 passed through, LastResult 0x0"

# No token for this computer: the program runs without one.
rm "$pkg/tokens/$name.json"
rc=0; run 122 || rc=$?
[ "$rc" -eq 122 ] || fail "exit code $rc, not the program's 122"
[ "$(cat "$pkg/standin.record")" = "<none>" ] ||
  fail "without a token of its own the program found $(cat "$pkg/standin.record")"
grep -q "holds no token for $name" "$work/err.txt" || fail "no line naming the missing token"
echo "no token for $name: the program ran without one, exit 122"
echo PASS
