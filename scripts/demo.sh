#!/usr/bin/env bash
# The demo: builds the stub, creates a fresh emulated Windows machine, puts a
# provisioning token beside the program, starts the handler double, runs the
# stub (under libfaketime, so the handler's 30-second polls take a moment),
# and shows its log and its result file.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bash scripts/install-deps.sh

echo "== Building =="
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DZYRA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)"

machine="$repo/build/demo-machine"
echo "== Creating a fresh emulated machine in $machine =="
rm -rf "$machine"
mkdir -p "$machine/drive_c/ProgramData" "$machine/drive_c/Windows/Temp" \
         "$machine/drive_c/Program Files/CorvZyra"
export ZYRA_MACHINE_ROOT="$machine"
unset TMP TEMP
cat > "$machine/registry.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Corvane\CorvZyraStub]
"log_level"=dword:00000000
REG
program_dir="$machine/drive_c/Program Files/CorvZyra"
cp build/release/app/CorvZyraProvisionStub "$program_dir/"
printf '{"orgId":"demo-org","roomName":"Demo Room","secret":"demo-only"}\n' \
  > "$program_dir/CorvZyraProvisionToken.json"
echo "C:\\Program Files\\CorvZyra holds: $(ls "$program_dir" | tr '\n' ' ')"

speed="+0 x100"
echo "== Starting the handler double (progress text, then success a minute later) =="
faketime -f "$speed" build/release/tools/zyra-handler-double \
  --behaviour progress --verdict-after 60 --then success > "$machine/handler.out" 2>&1 &
handler=$!

echo "== Running C:\\Program Files\\CorvZyra\\CorvZyraProvisionStub (clock x100) =="
set +e
faketime -f "$speed" "$program_dir/CorvZyraProvisionStub"
code=$?
set -e
wait "$handler" || true

echo
echo "== Handler double said =="
cat "$machine/handler.out"
echo
echo "== Log: C:\\ProgramData\\Corvane\\CorvZyra\\CorvZyraProvisionStub.log =="
tr -d '\r' < "$machine/drive_c/ProgramData/Corvane/CorvZyra/CorvZyraProvisionStub.log"
echo
echo "== Staged token: C:\\ProgramData\\Corvane\\CorvZyra\\provision-token.data =="
cat "$machine/drive_c/ProgramData/Corvane/CorvZyra/provision-token.data"
echo
echo "== Exit code: $code =="
echo "== Result file: C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt =="
tr -d '\r' < "$machine/drive_c/Windows/Temp/CorvZyra/CorvZyraProvisionStub_Result.txt"
exit "$code"
