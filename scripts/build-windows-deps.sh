#!/usr/bin/env bash
# Builds the two C libraries the Windows program links, from Debian's own
# source packages, with the mingw-w64 posix-thread cross compilers:
#
#   libcrypto.a  from the "openssl" source package (static, libcrypto only)
#   libcurl.a    from the "curl" source package (static, TLS through Schannel,
#                i.e. the Windows certificate store; no optional libraries)
#
# usage: scripts/build-windows-deps.sh [i686|x86_64|all]      (default: all)
#
# Each architecture is installed into
#   ${ZYRA_WINDOWS_DEPS_CACHE:-/var/cache/corvzyra-windows-deps}/<arch>/
# (include/, lib/libcrypto.a, lib/libcurl.a, lib/pkgconfig/, BUILD-STAMP).
# BUILD-STAMP records the Debian source versions, the compiler and the build
# options; a later run with the same values reuses the prefix without
# building. Sources and build trees live under the cache too (src/, build/);
# build trees are removed after a successful build.
#
# Idempotent and non-interactive; run as root on Debian 12. Adds a deb-src
# entry for the Debian archives already configured (and runs apt-get update)
# only when none exists. ZYRA_WINDOWS_DEPS_JOBS sets the parallel jobs
# (default 2).
#
# A consumer (cmake/WindowsDeps.cmake does this) compiles with
# -DCURL_STATICLIB and links, after libcurl.a and libcrypto.a:
#   -lws2_32 -lcrypt32 -lsecur32 -lbcrypt -ladvapi32 -luser32
# libcrypto calls ws2_32, crypt32, advapi32 (CryptGenRandom) and user32;
# libcurl calls ws2_32, crypt32, advapi32 and bcrypt (BCryptGenRandom), and
# loads secur32.dll (SSPI, used by Schannel) from System32 at run time itself.
# Naming an import library nothing uses adds no DLL to the program.
set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$SCRIPT_DIR/.." && pwd)

CACHE=${ZYRA_WINDOWS_DEPS_CACHE:-/var/cache/corvzyra-windows-deps}
JOBS=${ZYRA_WINDOWS_DEPS_JOBS:-2}
DEB_SRC_FILE=/etc/apt/sources.list.d/corvzyra-deb-src.sources
APT_LOG_PREFIX=build-windows-deps
# shellcheck source=lib/apt.sh
. "$SCRIPT_DIR/lib/apt.sh"

# Build options. They are part of the stamp: changing them rebuilds.
# _WIN32_WINNT matches the program's own minimum (cmake/ThirdParty.cmake).
WINNT_DEFINE=-D_WIN32_WINNT=0x0601
# OpenSSL 3.0 has no no-apps/no-docs switches: only the libcrypto.a target is
# built. no-module builds the legacy provider into libcrypto; no-dso leaves out
# loading engines and providers from DLLs.
OPENSSL_OPTIONS=(no-shared no-module no-dso no-tests)

# Windows libraries a program linking libcrypto.a needs (written into
# libcrypto.pc; libcurl.pc comes from curl's own build).
CRYPTO_SYSTEM_LIBS=(ws2_32 crypt32 advapi32 user32 bcrypt)

CURL_OPTIONS=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_CURL_EXE=OFF
  -DBUILD_TESTING=OFF
  -DENABLE_MANUAL=OFF
  -DCURL_USE_SCHANNEL=ON
  -DCURL_WINDOWS_SSPI=ON
  -DCURL_USE_OPENSSL=OFF
  -DCURL_USE_MBEDTLS=OFF
  -DCURL_USE_BEARSSL=OFF
  -DCURL_USE_WOLFSSL=OFF
  -DCURL_USE_NSS=OFF
  -DCURL_USE_GSSAPI=OFF
  -DCURL_USE_LIBSSH2=OFF
  -DCURL_USE_LIBSSH=OFF
  -DCURL_ZLIB=OFF
  -DCURL_BROTLI=OFF
  -DCURL_ZSTD=OFF
  -DUSE_NGHTTP2=OFF
  -DUSE_NGTCP2=OFF
  -DUSE_QUICHE=OFF
  -DUSE_MSH3=OFF
  -DUSE_LIBIDN2=OFF
  -DCURL_USE_LIBPSL=OFF
  -DUSE_WIN32_IDN=OFF
  -DUSE_LIBRTMP=OFF
  -DENABLE_ARES=OFF
  -DCURL_CA_BUNDLE=none
  -DCURL_CA_PATH=none
  -DCURL_DISABLE_LDAP=ON
  -DCURL_DISABLE_LDAPS=ON
  -DCURL_DISABLE_DICT=ON
  -DCURL_DISABLE_FTP=ON
  -DCURL_DISABLE_GOPHER=ON
  -DCURL_DISABLE_IMAP=ON
  -DCURL_DISABLE_MQTT=ON
  -DCURL_DISABLE_POP3=ON
  -DCURL_DISABLE_RTSP=ON
  -DCURL_DISABLE_SMB=ON
  -DCURL_DISABLE_SMTP=ON
  -DCURL_DISABLE_TELNET=ON
  -DCURL_DISABLE_TFTP=ON
)

log() { echo "build-windows-deps: $*"; }
die() { echo "build-windows-deps: error: $*" >&2; exit 1; }

case "${1:-all}" in
  i686) ARCHES=(i686) ;;
  x86_64) ARCHES=(x86_64) ;;
  all) ARCHES=(i686 x86_64) ;;
  -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
  *) die "unknown architecture '$1' (i686, x86_64 or all)" ;;
esac
[ $# -le 1 ] || die "one argument at most (i686, x86_64 or all)"

triple_of() { echo "$1-w64-mingw32"; }
openssl_target_of() { case "$1" in i686) echo mingw ;; x86_64) echo mingw64 ;; esac; }
# Folders compiled into libcrypto (openssl.cnf, default certificates; engines
# and modules, which no-dso never loads). OpenSSL's own Windows defaults: only
# administrators can write there. The prefix would become \var\cache\... on
# the current drive, a folder any user may create.
openssl_windows_dir() {
  case "$1" in
    i686) echo "C:/Program Files (x86)/Common Files/SSL" ;;
    x86_64) echo "C:/Program Files/Common Files/SSL" ;;
  esac
}
openssl_windows_libdir() {
  case "$1" in
    i686) echo "C:/Program Files (x86)/OpenSSL/lib" ;;
    x86_64) echo "C:/Program Files/OpenSSL/lib" ;;
  esac
}
mingw_pkg_arch() { case "$1" in i686) echo i686 ;; x86_64) echo x86-64 ;; esac; }

# Keep the caller's compiler settings out of the builds.
unset CC CXX CPP CFLAGS CXXFLAGS CPPFLAGS LDFLAGS LIBS AR RANLIB RC \
      CROSS_COMPILE PKG_CONFIG_PATH PKG_CONFIG_LIBDIR MAKEFLAGS

for tool in apt-get apt-cache dpkg-source dpkg perl make cmake ninja flock sha256sum; do
  command -v "$tool" >/dev/null || die "$tool is missing (run scripts/install-deps.sh)"
done
for arch in "${ARCHES[@]}"; do
  t=$(triple_of "$arch")
  for tool in "$t-gcc-posix" "$t-ar" "$t-ranlib" "$t-windres"; do
    command -v "$tool" >/dev/null ||
      die "$tool is missing (package g++-mingw-w64-$(mingw_pkg_arch "$arch")-posix)"
  done
done

mkdir -p "$CACHE"
exec 9>"$CACHE/.lock"
if ! flock -n 9; then
  log "another run holds $CACHE/.lock; waiting"
  flock 9
fi

# --- Debian source entries ---------------------------------------------------

# Prints the deb822 deb-src stanzas needed so that every Debian archive the
# machine installs binaries from also has its sources; prints nothing when
# they are all there. The entries are derived from the machine's own sources
# (apt-get indextargets names the entry each index comes from).
missing_deb_src_stanzas() {
  local targets
  # shellcheck disable=SC2016 # apt's own $(FIELD) placeholders
  targets=$(apt-get indextargets --format \
    '$(TARGET_OF)|$(REPO_URI)|$(RELEASE)|$(COMPONENT)|$(ORIGIN)|$(SOURCESENTRY)')
  awk -F'|' '
    $1 == "deb-src" { have[$2 "|" $3] = 1 }
    $1 == "deb" {
      file = $6; sub(/:[0-9]+$/, "", file)
      debian = ($5 == "Debian" || file ~ /\/debian\.sources$/ || file == "/etc/apt/sources.list")
      k = $6 "|" $2 "|" $3
      if (debian && index(want[k] " ", " " $4 " ") == 0) want[k] = want[k] " " $4
    }
    END {
      for (k in want) {
        split(k, f, "|")
        if (!((f[2] "|" f[3]) in have)) print k "|" substr(want[k], 2)
      }
    }' <<<"$targets" | sort -t'|' -k1,1 -k2,2 -k3,3 |
  while IFS='|' read -r entry uri suite components; do
    local file=${entry%:*} index=${entry##*:} options
    if [[ "$file" == *.sources ]]; then
      # Options of the stanza number $index, less the fields written below.
      options=$(awk -v want="$index" '
        BEGIN { RS = ""; n = 0 }
        {
          body = 0; m = split($0, l, "\n")
          for (i = 1; i <= m; i++) if (l[i] !~ /^#/ && l[i] ~ /[^ \t]/) body = 1
          if (!body) next
          if (++n != want) next
          keep = 0
          for (i = 1; i <= m; i++) {
            if (l[i] ~ /^#/) continue
            if (l[i] ~ /^[^ \t]/) {
              name = tolower(l[i]); sub(/:.*/, "", name)
              keep = (name != "types" && name != "uris" && name != "suites" &&
                      name != "components" && name != "architectures" && name != "enabled")
            }
            if (keep) print l[i]
          }
        }' "$file")
    else
      # One-line format: deb [opt=value ...] uri suite components
      options=$(awk -v want="$index" 'NR == want {
          if (match($0, /\[[^]]*\]/)) {
            n = split(substr($0, RSTART + 1, RLENGTH - 2), o, " ")
            for (i = 1; i <= n; i++) {
              split(o[i], kv, "=")
              if (kv[1] != "arch" && kv[1] != "lang" && kv[1] != "target")
                print kv[1] ": " substr(o[i], length(kv[1]) + 2)
            }
          }
        }' "$file")
    fi
    printf '%s\n' "# from $entry" "Types: deb-src" "URIs: $uri" "Suites: $suite" \
      "Components: $components"
    [ -z "$options" ] || printf '%s\n' "$options"
    echo
  done
}

ensure_deb_src() {
  local stanzas added=0
  stanzas=$(missing_deb_src_stanzas)
  if [ -n "$stanzas" ]; then
    [ "$(id -u)" -eq 0 ] || die "no deb-src entry for the Debian archives; run as root to add one"
    {
      [ -f "$DEB_SRC_FILE" ] && cat "$DEB_SRC_FILE" && echo
      [ -f "$DEB_SRC_FILE" ] || echo "# Debian source entries added by CorvZyra scripts/build-windows-deps.sh"
      printf '%s\n' "$stanzas"
    } >"$DEB_SRC_FILE.new"
    mv "$DEB_SRC_FILE.new" "$DEB_SRC_FILE"
    log "added deb-src entries to $DEB_SRC_FILE"
    added=1
  fi
  # Also when an entry exists but its index was never downloaded.
  if [ "$added" -eq 1 ] ||
     [ -z "$(apt-cache showsrc --only-source openssl 2>/dev/null | sed -n '/^Version:/p')" ]; then
    log "apt-get update (source indexes)"
    # An index of another kind that fails (a binary index in a mirror sync)
    # does not matter here: only the source indexes of openssl and curl do.
    apt_update_tolerant
    if [ -z "$(apt-cache showsrc --only-source openssl 2>/dev/null | sed -n '/^Version:/p')" ]; then
      [ "$added" -eq 0 ] || { rm -f "$DEB_SRC_FILE"; log "removed $DEB_SRC_FILE again"; }
      die "the source indexes could not be read${APT_UPDATE_FAILED:+ (failed: $APT_UPDATE_FAILED)}"
    fi
  fi
}

# Versions of a source package in the source indexes, highest first.
source_versions() {
  local -a sorted=() out=()
  local v i placed
  while read -r v; do
    out=(); placed=0
    for i in "${sorted[@]}"; do
      if [ "$placed" -eq 0 ] && dpkg --compare-versions "$v" gt "$i"; then
        out+=("$v"); placed=1
      fi
      out+=("$i")
    done
    [ "$placed" -eq 1 ] || out+=("$v")
    sorted=("${out[@]}")
  done < <(apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u)
  [ ${#sorted[@]} -gt 0 ] || die "no source package '$1' in the apt source indexes"
  printf '%s\n' "${sorted[@]}"
}

# Picks the source version to build: the highest one in the indexes whose
# files are downloaded already or can be downloaded now (the archive may list
# a version whose files it does not serve yet). A version the archive answered
# "404 Not Found" for is skipped for a day. Sets PICKED_VERSION and
# PICKED_DSC; the files stay in $CACHE/src/<pkg>_<version>/.
pick_source() {
  local pkg=$1 dl="$CACHE/src" v plain dir highest=
  mkdir -p "$dl"
  PICKED_VERSION=
  while read -r v; do
    [ -n "$highest" ] || highest=$v
    plain=${v#*:}
    dir="$dl/${pkg}_$plain"
    if [ -f "$dir/${pkg}_$plain.dsc" ]; then PICKED_VERSION=$v; break; fi
    if [ -n "$(find "$dl" -maxdepth 1 -name "${pkg}_$plain.unavailable" -mmin -1440)" ]; then
      continue
    fi
    log "apt-get source --download-only $pkg=$v"
    rm -rf "$dir.part"; mkdir -p "$dir.part"
    # apt downloads as its _apt user when that user may write the folder.
    ! id _apt >/dev/null 2>&1 || chown _apt:root "$dir.part"
    if (cd "$dir.part" && apt-get source -qq --download-only "$pkg=$v") >"$dir.log" 2>&1 &&
       [ -f "$dir.part/${pkg}_$plain.dsc" ]; then
      chown -R root:root "$dir.part"
      mv "$dir.part" "$dir"; rm -f "$dir.log" "$dl/${pkg}_$plain.unavailable"
      PICKED_VERSION=$v; break
    fi
    rm -rf "$dir.part"
    if grep -q '404 *Not Found' "$dir.log"; then
      log "$pkg $v: the archive does not serve all its source files (404); trying an older version"
      grep '^E:' "$dir.log" | sed 's/^/    /' >&2 || true
      mv "$dir.log" "$dl/${pkg}_$plain.unavailable"
      continue
    fi
    cat "$dir.log" >&2
    die "apt-get source $pkg=$v failed"
  done < <(source_versions "$pkg")
  [ -n "$PICKED_VERSION" ] || die "no version of source package $pkg could be downloaded"
  [ "$PICKED_VERSION" = "$highest" ] ||
    log "$pkg: using $PICKED_VERSION; $highest is listed but its files could not be downloaded"
  plain=${PICKED_VERSION#*:}
  PICKED_DSC="$dl/${pkg}_$plain/${pkg}_$plain.dsc"
  # Drop the files of other versions.
  find "$dl" -mindepth 1 -maxdepth 1 -name "${pkg}_*" ! -name "${pkg}_$plain" \
    ! -name '*.unavailable' -exec rm -rf {} +
}

# --- stamp -------------------------------------------------------------------

compiler_id() {
  local t cc pa
  t=$(triple_of "$1"); cc="$t-gcc-posix"; pa=$(mingw_pkg_arch "$1")
  echo "compiler=$("$cc" --version | head -n1)"
  echo "compiler-package=$(dpkg-query -W -f='${Version}' "gcc-mingw-w64-$pa-posix" 2>/dev/null || echo unknown)"
  echo "mingw-w64-runtime=$(dpkg-query -W -f='${Version}' "mingw-w64-$pa-dev" 2>/dev/null || echo unknown)"
  echo "binutils=$(dpkg-query -W -f='${Version}' "binutils-mingw-w64-$pa" 2>/dev/null || echo unknown)"
}

stamp_text() {
  local arch=$1
  echo "arch=$arch"
  echo "openssl-source=$OPENSSL_VERSION"
  echo "curl-source=$CURL_VERSION"
  compiler_id "$arch"
  echo "cmake=$(cmake --version | head -n1)"
  echo "toolchain-file=$(sha256sum <"$REPO_DIR/cmake/toolchain-mingw-$arch.cmake" | cut -d' ' -f1)"
  echo "openssl-options=$(openssl_target_of "$arch") ${OPENSSL_OPTIONS[*]} $WINNT_DEFINE"
  echo "openssl-dirs=$(openssl_windows_dir "$arch") $(openssl_windows_libdir "$arch")"
  echo "curl-options=${CURL_OPTIONS[*]} $WINNT_DEFINE"
}

prefix_complete() {
  local p=$1
  [ -f "$p/lib/libcrypto.a" ] && [ -f "$p/lib/libcurl.a" ] &&
    [ -f "$p/include/openssl/opensslv.h" ] && [ -f "$p/include/curl/curl.h" ]
}

# --- sources -----------------------------------------------------------------

# Unpacks a downloaded source package with the Debian patches applied; sets
# SRC_TREE.
unpack_source() {
  local pkg=$1 version=$2 dsc=$3 p revert=()
  case "$pkg" in
    # Debian's last two patches rename the library for its GnuTLS and NSS
    # flavours; its own build takes them off again for the plain libcurl.
    curl) revert=(99_nss.patch 90_gnutls.patch) ;;
    # pic.patch makes the 32-bit x86 assembler position-independent the ELF
    # way (GOT/PLT relocations), which a Windows (COFF) object cannot hold.
    openssl) revert=(pic.patch) ;;
  esac
  SRC_TREE="$CACHE/build/src/$pkg-${version#*:}"
  if [ -f "$SRC_TREE/.unpacked" ] && [ "$(cat "$SRC_TREE/.unpacked")" = "${revert[*]}" ]; then
    return 0
  fi
  rm -rf "$SRC_TREE"
  mkdir -p "$(dirname "$SRC_TREE")"
  log "unpacking $(basename "$dsc") (with the Debian patches)"
  # The signature warnings (no Debian keyring here) are kept out of sight: apt
  # checked the files against the signed archive indexes, and dpkg-source
  # checks them against the .dsc again.
  dpkg-source -x "$dsc" "$SRC_TREE" >"$SRC_TREE.log" 2>&1 ||
    { cat "$SRC_TREE.log" >&2; die "dpkg-source -x $dsc failed"; }
  rm -f "$SRC_TREE.log"
  for p in "${revert[@]}"; do
    if grep -qx "$p" "$SRC_TREE/debian/patches/series"; then
      log "  taking off debian/patches/$p"
      patch -R -p1 -s -d "$SRC_TREE" <"$SRC_TREE/debian/patches/$p"
    fi
  done
  echo "${revert[*]}" >"$SRC_TREE/.unpacked"
}

# --- builds ------------------------------------------------------------------

# build_openssl ARCH SRC BUILD DESTDIR PREFIX
build_openssl() {
  local arch=$1 src=$2 b=$3 dest=$4 prefix=$5 t
  t=$(triple_of "$arch")
  rm -rf "$b"; mkdir -p "$b"
  (
    cd "$b"
    perl "$src/Configure" "$(openssl_target_of "$arch")" "${OPENSSL_OPTIONS[@]}" \
      "$WINNT_DEFINE" --prefix="$prefix" --libdir=lib \
      --cross-compile-prefix="$t-" CC=gcc-posix >configure.log 2>&1 ||
      { tail -n 30 configure.log >&2; exit 1; }
    local dirs=(
      "OPENSSLDIR=$(openssl_windows_dir "$arch")"
      "ENGINESDIR=$(openssl_windows_libdir "$arch")/engines-3"
      "MODULESDIR=$(openssl_windows_libdir "$arch")/ossl-modules"
    )
    make -j"$JOBS" "${dirs[@]}" build_generated >make.log 2>&1 &&
      make -j"$JOBS" "${dirs[@]}" libcrypto.a >>make.log 2>&1 ||
      { tail -n 40 make.log >&2; exit 1; }
    install -d "$dest$prefix/include/openssl" "$dest$prefix/lib/pkgconfig"
    install -m 644 "$src"/include/openssl/*.h "$dest$prefix/include/openssl/"
    install -m 644 include/openssl/*.h "$dest$prefix/include/openssl/"
    install -m 644 libcrypto.a "$dest$prefix/lib/"
    # OpenSSL's own libcrypto.pc target would build libssl as well.
    cat >"$dest$prefix/lib/pkgconfig/libcrypto.pc" <<EOF
prefix=$prefix
exec_prefix=\${prefix}
libdir=\${exec_prefix}/lib
includedir=\${prefix}/include

Name: OpenSSL-libcrypto
Description: OpenSSL cryptography library (static, Windows)
Version: $(sed -n 's/^VERSION=//p' Makefile)
Libs: -L\${libdir} -lcrypto
Libs.private: $(printf -- '-l%s ' "${CRYPTO_SYSTEM_LIBS[@]}")
Cflags: -I\${includedir}
EOF
  ) || die "openssl build for $arch failed (logs in $b)"
}

# build_curl ARCH SRC BUILD DESTDIR PREFIX
build_curl() {
  local arch=$1 src=$2 b=$3 dest=$4 prefix=$5
  rm -rf "$b"; mkdir -p "$b"
  (
    cmake -S "$src" -B "$b" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$REPO_DIR/cmake/toolchain-mingw-$arch.cmake" \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_C_FLAGS="$WINNT_DEFINE" \
      "${CURL_OPTIONS[@]}" >"$b/configure.log" 2>&1 ||
      { tail -n 30 "$b/configure.log" >&2; exit 1; }
    cmake --build "$b" -j "$JOBS" >"$b/build.log" 2>&1 ||
      { tail -n 40 "$b/build.log" >&2; exit 1; }
    DESTDIR="$dest" cmake --install "$b" >"$b/install.log" 2>&1 ||
      { tail -n 20 "$b/install.log" >&2; exit 1; }
  ) || die "curl build for $arch failed (logs in $b)"
}

# --- main --------------------------------------------------------------------

START=$SECONDS
ensure_deb_src
pick_source openssl; OPENSSL_VERSION=$PICKED_VERSION; OPENSSL_DSC=$PICKED_DSC
pick_source curl; CURL_VERSION=$PICKED_VERSION; CURL_DSC=$PICKED_DSC

TODO=()
for arch in "${ARCHES[@]}"; do
  p="$CACHE/$arch"
  if prefix_complete "$p" && [ -f "$p/BUILD-STAMP" ] &&
     [ "$(cat "$p/BUILD-STAMP")" = "$(stamp_text "$arch")" ]; then
    log "$arch: reused the cache in $p (openssl $OPENSSL_VERSION, curl $CURL_VERSION)"
  else
    TODO+=("$arch")
  fi
done

declare -A TIMES=()
if [ ${#TODO[@]} -gt 0 ]; then
  unpack_source openssl "$OPENSSL_VERSION" "$OPENSSL_DSC"; OPENSSL_SRC=$SRC_TREE
  unpack_source curl "$CURL_VERSION" "$CURL_DSC"; CURL_SRC=$SRC_TREE
  for arch in "${TODO[@]}"; do
    p="$CACHE/$arch"
    b="$CACHE/build/$arch"
    dest="$b/destdir"
    rm -rf "$b"; mkdir -p "$b"

    log "$arch: building libcrypto (openssl $OPENSSL_VERSION)"
    t0=$SECONDS
    build_openssl "$arch" "$OPENSSL_SRC" "$b/openssl" "$dest" "$p"
    TIMES[$arch-openssl]=$((SECONDS - t0))

    log "$arch: building libcurl (curl $CURL_VERSION, Schannel)"
    t0=$SECONDS
    build_curl "$arch" "$CURL_SRC" "$b/curl" "$dest" "$p"
    TIMES[$arch-curl]=$((SECONDS - t0))

    stamp_text "$arch" >"$dest$p/BUILD-STAMP"
    rm -rf "$p.old"
    [ ! -e "$p" ] || mv "$p" "$p.old"
    mv "$dest$p" "$p"
    rm -rf "$p.old" "$b"
    log "$arch: installed into $p"
  done
  # The unpacked sources are only needed while building.
  rm -rf "$CACHE/build"
fi

echo
echo "Windows dependencies (openssl $OPENSSL_VERSION, curl $CURL_VERSION):"
for arch in "${ARCHES[@]}"; do
  if [ -n "${TIMES[$arch-openssl]:-}" ]; then
    printf '  %-7s %s  (built: libcrypto %ss, libcurl %ss)\n' "$arch" "$CACHE/$arch" \
      "${TIMES[$arch-openssl]}" "${TIMES[$arch-curl]}"
  else
    printf '  %-7s %s  (reused the cache)\n' "$arch" "$CACHE/$arch"
  fi
done
echo "  total time: $((SECONDS - START))s"
