#!/usr/bin/env bash
# End-to-end scenarios of the Windows program inside Wine (x86-64 build).
#
# usage: scripts/wine-e2e.sh WINDOWS-BUILD HOST-BUILD [SCENARIO...]
#
#   WINDOWS-BUILD  an x86-64 mingw build with CorvZyraProvisionStub.exe,
#                  zyra-installer-double.exe and zyra-handler-double.exe
#   HOST-BUILD     a Linux build with zyra-update-server and zyra-sign
#   SCENARIO       agent-current, fresh-install, tampered-installer,
#                  installer-fails (default: all four)
#
# Every scenario gets a Wine prefix of its own (a copy of one prefix
# initialised with "wineboot -i" at the start), in which
#   - "reg add" sets the log level and, where the agent is installed, its
#     "DisplayVersion", and points the temporary folder at C:\windows\temp
#     (the folder of the service account that provisions rooms);
#   - "sc create" registers zyra-handler-double as the CorvZyraHandler
#     service (it plays the handler's side of the status file and logs to
#     C:\CorvZyraTest\handler.log);
#   - C:\Program Files\CorvZyra holds the stub and a token, and
#     C:\ProgramData\Corvane\CorvZyra\zyra-config.json points at
#     zyra-update-server on 127.0.0.1, which offers the installer double
#     (signed, or tampered after signing) and its version manifest over
#     HTTPS (a certificate for 127.0.0.1 from a test CA made for the run;
#     ZYRA_WINE_E2E_SCHEME=http serves plain HTTP);
#   - the installer double keeps its settings and its record of calls in
#     C:\CorvZyraTest\installer (ZYRA_INSTALLER_DOUBLE_DIR).
# Then the stub runs under wine64 and the scenario checks its exit code, the
# result file C:\windows\temp\CorvZyra\CorvZyraProvisionStub_Result.txt, and
# the installer's record.
#
# Signing key: packages are signed with the private half of the key the
# Windows build checks against, the development key the build generated in
# WINDOWS-BUILD/dev-keys/. A build configured with ZYRA_PACKAGE_PUBLIC_KEY
# needs ZYRA_SIGNING_KEY=<matching private key PEM>; the runner refuses a
# private key that does not match the build's public key.
#
# Wine's Schannel (Wine 8) does not check the server's certificate: the
# transfers succeed whether or not the test CA is trusted (a self-signed
# certificate for another name is accepted too), so the CA is not imported
# into the prefixes and these scenarios say nothing about certificate checks;
# what keeps a changed installer from running is its signature.
#
# The program's waits are real under Wine (libfaketime does not reach
# Windows programs): the hand-off polls every 30 s and a handler restart
# pauses 5 s, so a run takes a few minutes. Each scenario prints its time,
# PASS or FAIL; the last line is "N passed, M failed"; the exit status is
# non-zero when a scenario failed. The work folder (prefixes, logs) is
# removed after a run where everything passed, unless ZYRA_KEEP_MACHINES is
# set; ZYRA_WINE_E2E_WORK chooses it.
set -uo pipefail

usage() {
  echo "usage: $0 WINDOWS-BUILD HOST-BUILD [agent-current|fresh-install|tampered-installer...]" >&2
  exit 2
}
[ $# -ge 2 ] || usage
win_build=$(cd "$1" && pwd) || usage
host_build=$(cd "$2" && pwd) || usage
shift 2
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(agent-current fresh-install tampered-installer installer-fails)
scheme=${ZYRA_WINE_E2E_SCHEME:-https}
case "$scheme" in http|https) ;; *) echo "ZYRA_WINE_E2E_SCHEME: http or https" >&2; exit 2 ;; esac

WINE=${ZYRA_WINE:-/usr/lib/wine/wine64}
WINESERVER=${ZYRA_WINESERVER:-/usr/lib/wine/wineserver}
export WINEDEBUG=-all
# No Mono or Gecko downloads into the prefixes.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Transfers go straight to loopback, whatever the host's proxy settings.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

stub_exe=$win_build/app/CorvZyraProvisionStub.exe
installer_exe=$win_build/tools/installer_double/zyra-installer-double.exe
handler_exe=$win_build/tools/handler_double/zyra-handler-double.exe
update_server=$host_build/tools/zyra-update-server/zyra-update-server
sign=$host_build/tools/zyra-sign/zyra-sign
for f in "$stub_exe" "$installer_exe" "$handler_exe" "$update_server" "$sign" "$WINE" "$WINESERVER"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "missing: $f" >&2; exit 2; }
done

cache_value() {  # name: the value of a CMake cache entry of the Windows build
  sed -n "s/^$1:[A-Z]*=//p" "$win_build/CMakeCache.txt" | head -n 1
}

# The key pair: the build's public key and a private key that matches it.
public_key=$(cache_value ZYRA_PACKAGE_PUBLIC_KEY)
if [ -z "$public_key" ]; then
  public_key=$win_build/dev-keys/package-signing-public.pem
  private_key=${ZYRA_SIGNING_KEY:-$win_build/dev-keys/package-signing-private.pem}
else
  private_key=${ZYRA_SIGNING_KEY:-}
  if [ -z "$private_key" ]; then
    echo "$win_build checks packages against $public_key:" \
         "set ZYRA_SIGNING_KEY to its private key" >&2
    exit 2
  fi
fi
public_der() {  # PEM public key (SubjectPublicKeyInfo or PKCS#1) -> SHA-256 of its DER form
  { openssl pkey -pubin -in "$1" -outform DER 2>/dev/null ||
    openssl rsa -RSAPublicKey_in -in "$1" -pubout -outform DER 2>/dev/null; } | sha256sum
}
if [ "$(openssl pkey -in "$private_key" -pubout -outform DER 2>/dev/null | sha256sum)" != \
     "$(public_der "$public_key")" ]; then
  echo "$private_key is not the private half of $public_key, which $win_build checks against" >&2
  exit 2
fi
vendor_domain=$(cache_value ZYRA_VENDOR_DOMAIN)
vendor_domain=${vendor_domain:-corvane.com}

work=${ZYRA_WINE_E2E_WORK:-$(mktemp -d /tmp/zyra-wine-e2e-XXXXXX)}
mkdir -p "$work"
echo "Work folder: $work"

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

run_started=$(now)

# One initialised prefix; every scenario starts from a copy of it.
template=$work/template
template_started=$(now)
if ! WINEPREFIX=$template "$WINE" wineboot -i > "$work/wineboot.log" 2>&1 ||
   ! WINEPREFIX=$template "$WINESERVER" -w; then
  echo "wineboot -i failed (see $work/wineboot.log)" >&2
  exit 1
fi
echo "Wine prefix initialised in $(since "$template_started") s"

# A test CA and a certificate for 127.0.0.1 for the update server.
tls_args=()
if [ "$scheme" = https ]; then
  tls=$work/tls
  mkdir -p "$tls"
  printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' \
    > "$tls/server.ext"
  if ! { openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=CorvZyra Wine Test CA" \
           -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
           -keyout "$tls/ca.key" -out "$tls/ca.pem" &&
         openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
           -keyout "$tls/server.key" -out "$tls/server.csr" &&
         openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" \
           -CAcreateserial -days 2 -extfile "$tls/server.ext" -out "$tls/server.pem"; } \
       > "$tls/openssl.log" 2>&1; then
    echo "cannot make the test certificates (see $tls/openssl.log)" >&2
    exit 1
  fi
  tls_args=(--cert "$tls/server.pem" --key "$tls/server.key")
fi

passed=0
failed=0

# Per scenario -------------------------------------------------------------

prefix=""
scenario_dir=""
server_pid=""
problems=()

problem() { problems+=("$1"); }

w() {  # a Windows command in the scenario's prefix; output into the scenario's log
  WINEPREFIX=$prefix "$WINE" "$@" >> "$scenario_dir/setup.log" 2>&1
}

setup_machine() {  # name [installed-agent-version]
  scenario_dir=$work/$1
  prefix=$scenario_dir/prefix
  rm -rf "$scenario_dir"
  mkdir -p "$scenario_dir"
  cp -a "$template" "$prefix" || return 1

  local c=$prefix/drive_c
  mkdir -p "$c/Program Files/CorvZyra" "$c/CorvZyraTest/installer" "$c/ProgramData/Corvane/CorvZyra"
  cp "$stub_exe" "$c/Program Files/CorvZyra/CorvZyraProvisionStub.exe"
  printf '{"orgId":"wine-e2e","roomName":"Wine Room"}\n' \
    > "$c/Program Files/CorvZyra/CorvZyraProvisionToken.json"
  cp "$handler_exe" "$c/CorvZyraTest/zyra-handler-double.exe"

  w reg add 'HKCU\Environment' /v TEMP /t REG_EXPAND_SZ /d 'C:\windows\temp' /f || return 1
  w reg add 'HKCU\Environment' /v TMP /t REG_EXPAND_SZ /d 'C:\windows\temp' /f || return 1
  w reg add 'HKLM\Software\Corvane\CorvZyraStub' /v log_level /t REG_DWORD /d 1 /f /reg:64 ||
    return 1
  if [ -n "${2:-}" ]; then
    w reg add 'HKLM\Software\Corvane\CorvZyraAgent' /v DisplayVersion /t REG_SZ /d "$2" /f \
      /reg:64 || return 1
  fi
  w sc create CorvZyraHandler binPath= \
    'C:\CorvZyraTest\zyra-handler-double.exe --service --behaviour success --log C:\CorvZyraTest\handler.log' \
    || return 1
}

offer_agent() {  # version [tampered] [installer exit code]
  local www=$scenario_dir/www
  mkdir -p "$www"
  cp "$installer_exe" "$www/CorvZyraAgent-Setup.exe"
  printf '{"version":"%s"}' "$1" > "$www/CorvZyraAgent-Setup.exe.manifest"
  printf 'version=%s\nexit=%s\n' "$1" "${3:-0}" \
    > "$prefix/drive_c/CorvZyraTest/installer/installer-double.conf"

  "$update_server" --root "$www" --bind 127.0.0.1 --port-file "$scenario_dir/server.port" \
    "${tls_args[@]}" > "$scenario_dir/server.log" 2>&1 &
  server_pid=$!
  local i
  for i in $(seq 200); do [ -s "$scenario_dir/server.port" ] && break; sleep 0.05; done
  [ -s "$scenario_dir/server.port" ] || return 1
  local port base
  port=$(cat "$scenario_dir/server.port")
  base=$scheme://127.0.0.1:$port
  "$sign" manifest "$private_key" "$www" "$base" > "$scenario_dir/sign.log" 2>&1 || return 1
  if [ "${2:-}" = tampered ]; then
    # Still a runnable program, so that running it would leave a record.
    printf 'tampered after signing' >> "$www/CorvZyraAgent-Setup.exe"
  fi
  printf '{"morla":{"current":"wine","available":[{"name":"wine","url":"%s/%s/api/files/manifest/zyra/latest"}]}}\n' \
    "$base" "$vendor_domain" > "$prefix/drive_c/ProgramData/Corvane/CorvZyra/zyra-config.json"
}

run_stub() {  # [handler-running]; sets stub_rc
  local program='C:\Program Files\CorvZyra\CorvZyraProvisionStub.exe'
  local command=("$program")
  if [ -n "${1:-}" ]; then
    # Wine ends services when no other program runs: start the handler and
    # the stub from one batch file, so that the stub finds it running.
    printf '@echo off\r\nnet start CorvZyraHandler\r\n"%s"\r\nexit /b %%ERRORLEVEL%%\r\n' \
      "$program" > "$prefix/drive_c/CorvZyraTest/run-stub.cmd"
    command=(cmd /c 'C:\CorvZyraTest\run-stub.cmd')
  fi
  WINEPREFIX=$prefix ZYRA_INSTALLER_DOUBLE_DIR='C:\CorvZyraTest\installer' \
    timeout 900 "$WINE" "${command[@]}" > "$scenario_dir/stub.out" 2>&1
  stub_rc=$?
}

teardown_machine() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=""
  fi
  # Ends what still runs in this scenario's prefix (the handler service).
  WINEPREFIX=$prefix "$WINESERVER" -k 2>/dev/null
  WINEPREFIX=$prefix "$WINESERVER" -w 2>/dev/null
}

# Checks -----------------------------------------------------------------------

expect_exit() {
  [ "$stub_rc" = "$1" ] || problem "exit code $stub_rc, expected $1"
}

expect_result_line() {  # the final line of the result file
  local file=$prefix/drive_c/windows/temp/CorvZyra/CorvZyraProvisionStub_Result.txt
  local want
  want=$(printf 'provision_result_code: %s\r\n' "$1" | od -An -c | tr -s ' ')
  if [ ! -f "$file" ]; then
    problem "no result file C:\\windows\\temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt"
  elif [ "$(od -An -c < "$file" | tr -s ' ')" != "$want" ]; then
    problem "result file holds \"$(tr -d '\r' < "$file" | head -c 200)\", expected \"provision_result_code: $1\" and CR LF"
  fi
}

installer_calls() {
  cat "$prefix/drive_c/CorvZyraTest/installer/installer-double.calls" 2>/dev/null
}

expect_installer_ran_silently() {
  local calls
  calls=$(installer_calls)
  [ "$calls" = $'/S\n--' ] || problem "installer calls: \"${calls//$'\n'/ }\", expected exactly \"/S\" once"
}

expect_installer_never_ran() {
  local calls
  calls=$(installer_calls)
  [ -z "$calls" ] || problem "the installer ran: \"${calls//$'\n'/ }\""
}

expect_display_version() {
  local out
  out=$(WINEPREFIX=$prefix "$WINE" reg query 'HKLM\Software\Corvane\CorvZyraAgent' \
          /v DisplayVersion /reg:64 2>/dev/null | tr -d '\r')
  grep -qE "DisplayVersion[[:space:]]+REG_SZ[[:space:]]+$1\$" <<<"$out" ||
    problem "DisplayVersion is not $1: $(grep DisplayVersion <<<"$out")"
}

expect_handler_said() {
  grep -qF "$1" "$prefix/drive_c/CorvZyraTest/handler.log" 2>/dev/null ||
    problem "the handler service did not log \"$1\""
}

expect_no_download_left() {  # no installer or signature stays behind
  local dir=$prefix/drive_c/windows/temp/CorvZyra/ZHDownload
  if [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ]; then
    problem "left in the download folder: $(ls -A "$dir" | tr '\n' ' ')"
  fi
}

# Scenarios ----------------------------------------------------------------------

scenario_agent-current() {
  # Installed 1.0.0.7 is 1.0.0, as offered: the running handler service is
  # restarted (stopped, 5 s, started), answers the placeholder, and the room
  # is provisioned.
  setup_machine agent-current 1.0.0.7 || { problem "cannot set up the machine"; return; }
  offer_agent 1.0.0 || { problem "cannot start or sign for the update server"; return; }
  run_stub handler-running
  expect_exit 0
  expect_result_line 0
  expect_installer_never_ran
  expect_handler_said 'wrote "Room provision success."'
  grep -q 'ZyraAgent is up to date.' "$scenario_dir/stub.out" ||
    problem "the stub did not find the agent current"
  grep -q '\[ServiceInstaller::Stop\] - Stopping CorvZyraHandler.' "$scenario_dir/stub.out" ||
    problem "the stub did not stop the running handler service"
  [ "$(grep -cE 'pick(ed)? up' "$prefix/drive_c/CorvZyraTest/handler.log" 2>/dev/null)" = 2 ] ||
    problem "the handler service did not run twice (before and after the restart)"
}

scenario_fresh-install() {
  # No agent: the signed installer double is downloaded and run with "/S",
  # sets DisplayVersion and starts the handler service, which answers.
  setup_machine fresh-install || { problem "cannot set up the machine"; return; }
  offer_agent 2.4.1 || { problem "cannot start or sign for the update server"; return; }
  run_stub
  expect_exit 0
  expect_result_line 0
  expect_installer_ran_silently
  expect_display_version 2.4.1
  expect_handler_said 'wrote "Room provision success."'
}

scenario_tampered-installer() {
  # The installer changed after signing: its signature does not validate,
  # it is deleted and never run; the run ends with 123.
  setup_machine tampered-installer || { problem "cannot set up the machine"; return; }
  offer_agent 3.0.0 tampered || { problem "cannot start or sign for the update server"; return; }
  run_stub
  expect_exit 123
  expect_result_line 123
  expect_installer_never_ran
  expect_no_download_left
}

scenario_installer-fails() {
  # The signed installer runs with "/S" and ends with 3 ("Newer version is
  # detected"): the run ends with 124 and the handler is never asked.
  setup_machine installer-fails 1.0.0 || { problem "cannot set up the machine"; return; }
  offer_agent 5.0.0 "" 3 || { problem "cannot start or sign for the update server"; return; }
  run_stub
  expect_exit 124
  expect_result_line 124
  expect_installer_ran_silently
  expect_display_version 1.0.0
  grep -q 'Install error 3: Newer version is detected' "$scenario_dir/stub.out" ||
    problem "the stub did not log the installer's exit code and its text"
}

echo "Update server: $scheme"
for s in "${scenarios[@]}"; do
  if ! declare -F "scenario_$s" > /dev/null; then
    echo "unknown scenario: $s" >&2
    failed=$((failed + 1))
    continue
  fi
  problems=()
  stub_rc=""
  started=$(now)
  "scenario_$s"
  teardown_machine
  took=$(since "$started")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "PASS $s (${took} s)"
    passed=$((passed + 1))
  else
    echo "FAIL $s (${took} s)"
    for p in "${problems[@]}"; do echo "     $p"; done
    echo "     console: $scenario_dir/stub.out"
    echo "     log: $prefix/drive_c/ProgramData/Corvane/CorvZyra/CorvZyraProvisionStub.log"
    failed=$((failed + 1))
  fi
done

echo "Total $(since "$run_started") s"
echo "$passed passed, $failed failed"
if [ "$failed" -eq 0 ] && [ -z "${ZYRA_KEEP_MACHINES:-}" ] && [ -z "${ZYRA_WINE_E2E_WORK:-}" ]; then
  rm -rf "$work"
fi
[ "$failed" -eq 0 ]
