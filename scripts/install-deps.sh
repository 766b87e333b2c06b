#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# demo need. Idempotent and non-interactive; run as root on Debian 12. The
# 32-bit Wine (wine32:i386, for the shipping i686 program) needs the i386
# architecture, which is added (with an apt-get update) when it is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libcurl4-openssl-dev libssl-dev libspdlog-dev libfmt-dev nlohmann-json3-dev
  libpacparser-dev libgtest-dev libgmock-dev libcpp-httplib-dev
  tinyproxy squid faketime openssl curl time iproute2 busybox
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine64 wine32:i386
  clang llvm ccache
)

need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_i386=1
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ] && [ "$need_i386" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [ "$need_i386" -eq 1 ]; then
  dpkg --add-architecture i386
  echo "install-deps: added the i386 architecture"
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: installed ${missing[*]}"
