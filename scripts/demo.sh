#!/usr/bin/env bash
# The demo: the whole provisioning story on a fresh emulated Windows machine.
# Builds the stub and its doubles, signs an agent installer double and its
# version manifest with the development key, serves them with
# zyra-update-server on loopback, points "zyra-config.json" at it, installs
# the handler double as the "CorvZyraHandler" service, puts a token beside
# the program, runs it under libfaketime (the handler's 30-second polls take
# a moment) and shows its log and its result file.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bash scripts/install-deps.sh --demo

echo "== Building =="
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DZYRA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)"
bin=build/release

machine="$repo/build/demo-machine"
echo "== Creating a fresh emulated machine in $machine =="
rm -rf "$machine"
mkdir -p "$machine/drive_c/ProgramData/Corvane/CorvZyra" "$machine/drive_c/Windows/Temp" \
         "$machine/drive_c/Program Files/CorvZyra" "$machine/services/CorvZyraHandler" \
         "$machine/www"
export ZYRA_MACHINE_ROOT="$machine"
unset TMP TEMP
cat > "$machine/registry.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Corvane\CorvZyraStub]
"log_level"=dword:00000000
REG

echo "== Publishing ZyraAgent 4.2.0 (installer double, signed with the development key) =="
cp "$bin/tools/installer_double/zyra-installer-double" "$machine/www/CorvZyraAgent-Setup.exe"
printf '{"version":"4.2.0"}' > "$machine/www/CorvZyraAgent-Setup.exe.manifest"
printf 'version=4.2.0\nexit=0\n' > "$machine/installer-double.conf"
"$bin/tools/zyra-update-server/zyra-update-server" --root "$machine/www" \
  --port-file "$machine/server.port" > "$machine/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 200); do [ -s "$machine/server.port" ] && break; sleep 0.05; done
port=$(cat "$machine/server.port")
"$bin/tools/zyra-sign/zyra-sign" manifest "$bin/dev-keys/package-signing-private.pem" \
  "$machine/www" "http://127.0.0.1:$port" >/dev/null
cat > "$machine/drive_c/ProgramData/Corvane/CorvZyra/zyra-config.json" <<JSON
{"morla":{"current":"demo","available":[
  {"name":"demo","url":"http://127.0.0.1:$port/corvane.com/api/files/manifest/zyra/latest",
   "brand":"corvane","channel":"demo"}]}}
JSON

echo "== Installing the handler double as the CorvZyraHandler service =="
cat > "$machine/services/CorvZyraHandler/service" <<SH
#!/bin/sh
exec "$repo/$bin/tools/handler_double/zyra-handler-double" --service \
  --behaviour progress --verdict-after 60 --then success >> "$machine/handler.out" 2>&1
SH
chmod +x "$machine/services/CorvZyraHandler/service"

program_dir="$machine/drive_c/Program Files/CorvZyra"
cp "$bin/app/CorvZyraProvisionStub" "$program_dir/"
printf '{"orgId":"demo-org","roomName":"Demo Room"}\n' > "$program_dir/CorvZyraProvisionToken.json"

echo "== Running C:\\Program Files\\CorvZyra\\CorvZyraProvisionStub (clock x100) =="
set +e
faketime -f "+0 x100" "$program_dir/CorvZyraProvisionStub" > "$machine/console.txt"
code=$?
set -e

echo
echo "== Update server requests =="
cat "$machine/server.log"
echo
echo "== Handler service said =="
cat "$machine/handler.out" 2>/dev/null || true
echo
echo "== Log: C:\\ProgramData\\Corvane\\CorvZyra\\CorvZyraProvisionStub.log =="
tr -d '\r' < "$machine/drive_c/ProgramData/Corvane/CorvZyra/CorvZyraProvisionStub.log"
echo
echo "== Installed agent (registry) =="
grep -a DisplayVersion "$machine/registry.reg" | tail -n 1
echo
echo "== Exit code: $code =="
echo "== Result file: C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt =="
tr -d '\r' < "$machine/drive_c/Windows/Temp/CorvZyra/CorvZyraProvisionStub_Result.txt"
exit "$code"
