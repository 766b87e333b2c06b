#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent and non-interactive; run as root on Debian 12.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libcurl4-openssl-dev libssl-dev libspdlog-dev libfmt-dev nlohmann-json3-dev
  libpacparser-dev libgtest-dev libgmock-dev libcpp-httplib-dev
  tinyproxy faketime openssl curl time
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine64
  clang llvm
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: installed ${missing[*]}"
