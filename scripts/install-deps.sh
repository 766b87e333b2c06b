#!/usr/bin/env bash
# Installs the Debian packages the project needs, by purpose. Idempotent and
# non-interactive; run as root on Debian 12.
#
# usage: scripts/install-deps.sh [--demo | --tests]        (default: --tests)
#
#   --demo   what the demo needs: compilers, CMake, the libraries, openssl and
#            faketime (the Linux build and one run). No Wine, no mingw-w64,
#            no squid, no i386 architecture.
#   --tests  everything: the demo's set, then the test tools (GoogleTest,
#            squid, tinyproxy, a Kerberos KDC, clang for the fuzzers, ccache),
#            mingw-w64 with osslsigncode (signs the Windows program) and
#            libxml2-utils (xmllint: its manifest is checked), wine64 with
#            winbind (Samba's ntlm_auth, which Wine's NTLM calls), and,
#            optional, 32-bit Wine.
#
# A package index that fails (a mirror in sync) is retried, then left out
# with one line naming it (scripts/lib/apt.sh). 32-bit Wine (wine32:i386,
# with the i386 Kerberos libraries Wine's Negotiate uses) is optional: when it
# cannot be installed, one loud line says why, everything else is installed,
# and the test command runs the Windows suites on the x86-64 build under
# wine64. The reason is kept in $ZYRA_SETUP_STATE/wine32-skipped (default
# /var/lib/corvzyra-setup) for the test command's summary.
#
# Services that packages would start (squid, the KDC) are not started: the
# tests start their own with configurations of their own, on loopback.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
APT_LOG_PREFIX=install-deps
# shellcheck source=lib/apt.sh
. "$here/lib/apt.sh"

purpose=tests
case "${1:-}" in
  ""|--tests) purpose=tests ;;
  --demo) purpose=demo ;;
  -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "install-deps: unknown option '$1' (use --demo or --tests)" >&2; exit 2 ;;
esac

DEMO_PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libcurl4-openssl-dev libssl-dev libspdlog-dev libfmt-dev nlohmann-json3-dev
  libpacparser-dev libcpp-httplib-dev libcli11-dev
  openssl faketime
)
TEST_PACKAGES=(
  libgtest-dev libgmock-dev
  tinyproxy squid curl time iproute2 busybox util-linux
  krb5-kdc krb5-admin-server krb5-user
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  osslsigncode libxml2-utils
  wine64 winbind
  clang llvm ccache
)
# 32-bit Wine for the shipping i686 program; optional.
OPTIONAL_I386_PACKAGES=(wine32:i386 libkrb5-3:i386 libgssapi-krb5-2:i386)

state_dir=${ZYRA_SETUP_STATE:-/var/lib/corvzyra-setup}
skipped_file="$state_dir/wine32-skipped"

installed() {  # package
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing_of() {  # packages... -> prints the missing ones
  local p
  for p in "$@"; do installed "$p" || printf '%s\n' "$p"; done
}

required=("${DEMO_PACKAGES[@]}")
[ "$purpose" = demo ] || required+=("${TEST_PACKAGES[@]}")
mapfile -t missing < <(missing_of "${required[@]}")
optional_missing=()
need_i386=0
if [ "$purpose" = tests ]; then
  mapfile -t optional_missing < <(missing_of "${OPTIONAL_I386_PACKAGES[@]}")
  dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
fi

if [ ${#missing[@]} -eq 0 ] && [ ${#optional_missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present ($purpose)"
  [ "$purpose" = demo ] || rm -f "$skipped_file" 2>/dev/null || true
  exit 0
fi

# Only the optional 32-bit Wine missing, and it could not be installed within
# the last hour: not tried again yet (the test command and the fuzz and bench
# scripts each call this script; an index out of step stays so for a while).
if [ ${#missing[@]} -eq 0 ] && [ ${#optional_missing[@]} -gt 0 ] && [ -s "$skipped_file" ] &&
   [ -n "$(find "$skipped_file" -mmin -"${ZYRA_OPTIONAL_RETRY_MINUTES:-60}" 2>/dev/null)" ]; then
  echo "install-deps: 32-bit Wine was not installable within the last hour ($(head -n 1 "$skipped_file")); not tried again yet"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]} ${optional_missing[*]}); run as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive

# Keep package scripts from starting services (Debian's policy-rc.d: 101 =
# action not allowed), unless the machine has a policy of its own already.
policy=${ZYRA_POLICY_RC_D:-/usr/sbin/policy-rc.d}
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# corvzyra install-deps: no service starts while installing\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  trap 'rm -f "$policy"' EXIT
fi

if [ "$need_i386" -eq 1 ]; then
  dpkg --add-architecture i386
  echo "install-deps: added the i386 architecture (for 32-bit Wine)"
fi
apt_update_tolerant

if [ ${#missing[@]} -gt 0 ]; then
  if ! apt_install_retry "${missing[@]}"; then
    echo "install-deps: cannot install the packages the $purpose needs: $(apt_install_reason "$APT_INSTALL_OUTPUT" "${missing[@]}")" >&2
    tail -n 20 "$APT_INSTALL_OUTPUT" | sed 's/^/    /' >&2
    rm -f "$APT_INSTALL_OUTPUT"
    exit 1
  fi
  rm -f "$APT_INSTALL_OUTPUT"
  echo "install-deps: installed ${missing[*]}"
fi

if [ ${#optional_missing[@]} -gt 0 ]; then
  mkdir -p "$state_dir"
  if apt_install_retry "${optional_missing[@]}"; then
    echo "install-deps: installed ${optional_missing[*]}"
    rm -f "$skipped_file"
  else
    reason=$(apt_install_reason "$APT_INSTALL_OUTPUT" "${optional_missing[@]}")
    [ -z "${APT_UPDATE_FAILED:-}" ] || reason="$reason; index not read: $APT_UPDATE_FAILED"
    printf '%s\n' "${reason:-apt-get install failed}" >"$skipped_file"
    echo "install-deps: !!!! 32-BIT WINE NOT INSTALLED (${optional_missing[*]}): ${reason:-apt-get install failed}. Everything else is installed; the test command runs the Windows suites on the x86-64 build under wine64 !!!!"
  fi
  rm -f "$APT_INSTALL_OUTPUT"
fi
