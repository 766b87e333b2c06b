#!/usr/bin/env bash
# The set-up script against a stand-in apt: no registry, no root changes.
# The stand-ins (apt-get, dpkg, dpkg-query, id) come first on PATH and keep
# their state in a folder of the test's own:
#   - `apt-get update` fails with exit 100 on one index (the i386 security
#     index of a mirror in sync) and counts its calls;
#   - `apt-get install` refuses every :i386 package as unresolvable and
#     installs the rest (recording every call);
#   - dpkg-query answers from the list of installed packages.
# usage: install_deps_test.sh REPO
set -uo pipefail
repo=${1:?usage: install_deps_test.sh REPO}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stub="$work/bin"
mkdir -p "$stub" "$work/state"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

index='http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz'
cat >"$stub/apt-get" <<SH
#!/usr/bin/env bash
echo "\$*" >>"$work/apt-calls"
case "\$1" in
  update)
    echo "Hit:1 http://deb.example/debian bookworm InRelease"
    echo "E: Failed to fetch $index  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  install)
    shift
    pkgs=()
    for a in "\$@"; do case "\$a" in -*) ;; *) pkgs+=("\$a") ;; esac; done
    for p in "\${pkgs[@]}"; do
      case "\$p" in *:i386)
        echo "Some packages could not be installed."
        echo " \$p : Depends: libssl3:i386 (>= 3.0.0) but it is not installable"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100 ;;
      esac
    done
    printf '%s\n' "\${pkgs[@]}" >>"$work/installed"
    exit 0 ;;
esac
exit 0
SH
cat >"$stub/dpkg-query" <<SH
#!/usr/bin/env bash
p=\${!#}
if grep -qxF "\$p" "$work/installed" 2>/dev/null; then printf 'install ok installed'; exit 0; fi
echo "dpkg-query: no packages found matching \$p" >&2
exit 1
SH
cat >"$stub/dpkg" <<SH
#!/usr/bin/env bash
case "\$1" in
  --print-foreign-architectures) cat "$work/archs" 2>/dev/null ;;
  --add-architecture) echo "\$2" >>"$work/archs" ;;
esac
SH
printf '#!/bin/sh\necho 0\n' >"$stub/id"
chmod +x "$stub"/*

run() {  # purpose -> sets out, rc
  out=$(PATH="$stub:$PATH" ZYRA_APT_PAUSE=0 ZYRA_APT_TRIES=3 ZYRA_SETUP_STATE="$work/state" \
        ZYRA_POLICY_RC_D="$work/policy-rc.d" bash "$repo/scripts/install-deps.sh" "$@" 2>&1)
  rc=$?
}
lists() {  # name -> the package array of that name in install-deps.sh
  bash -c "source <(sed -n '/^$1=(/,/)\$/p' '$repo/scripts/install-deps.sh'); printf '%s\n' \"\${$1[@]}\""
}

# 1. The demo's set on a bare machine: only that set, no i386 architecture.
run --demo
[ "$rc" -eq 0 ] || fail "--demo exited $rc: $out"
for p in $(lists DEMO_PACKAGES); do grep -qxF "$p" "$work/installed" || fail "--demo did not install $p"; done
for p in wine64 squid g++-mingw-w64-x86-64-posix; do
  ! grep -qxF "$p" "$work/installed" || fail "--demo installed $p, which the demo does not use"
done
[ ! -s "$work/archs" ] || fail "--demo added an architecture"

# 2. The tests' set with one index failing and 32-bit Wine unresolvable.
: >"$work/apt-calls"
run --tests
[ "$rc" -eq 0 ] || fail "--tests exited $rc: $out"
[ "$(grep -c '^update' "$work/apt-calls")" -eq 3 ] || fail "apt-get update was not tried 3 times: $(cat "$work/apt-calls")"
[ "$(grep -F "$index" <<<"$out" | grep -c 'apt-get update still fails after 3 tries')" -eq 1 ] ||
  fail "no one line names the failing index: $out"
grep -q '32-BIT WINE NOT INSTALLED (wine32:i386' <<<"$out" || fail "no loud line for the skipped 32-bit Wine: $out"
grep -qF 'Depends: libssl3:i386' <<<"$out" || fail "the skip line does not give apt's reason: $out"
grep -qxi 'i386' "$work/archs" || fail "the i386 architecture was not added"
for p in $(lists DEMO_PACKAGES) $(lists TEST_PACKAGES); do
  grep -qxF "$p" "$work/installed" || fail "--tests did not install $p"
done
grep -q 'Depends: libssl3:i386' "$work/state/wine32-skipped" 2>/dev/null ||
  fail "the reason is not kept for the test command's summary"
[ ! -e "$work/policy-rc.d" ] || fail "the service-start policy was left behind"

# 2b. Run again within the hour: the optional part is not tried again.
: >"$work/apt-calls"
run --tests
[ "$rc" -eq 0 ] || fail "a second run exited $rc: $out"
grep -q 'not tried again yet' <<<"$out" || fail "a second run did not say it skips 32-bit Wine: $out"
[ ! -s "$work/apt-calls" ] || fail "a second run within the hour called apt-get: $(cat "$work/apt-calls")"

# 3. Everything present: nothing to do, apt is not called.
lists OPTIONAL_I386_PACKAGES >>"$work/installed"
: >"$work/apt-calls"
run --tests
[ "$rc" -eq 0 ] || fail "a complete machine exited $rc: $out"
grep -q 'all packages present' <<<"$out" || fail "a complete machine did not say so: $out"
[ ! -s "$work/apt-calls" ] || fail "apt-get was called on a complete machine: $(cat "$work/apt-calls")"
[ ! -e "$work/state/wine32-skipped" ] || fail "a stale skip reason stayed"

# 4. A package the purpose needs that apt cannot install: exit 1, named.
mkdir -p "$work/repo2/scripts/lib"
cp "$repo/scripts/lib/apt.sh" "$work/repo2/scripts/lib/"
sed 's/^  openssl faketime$/  openssl faketime unresolvable:i386/' "$repo/scripts/install-deps.sh" \
  >"$work/repo2/scripts/install-deps.sh"
out=$(PATH="$stub:$PATH" ZYRA_APT_PAUSE=0 ZYRA_SETUP_STATE="$work/state" \
      ZYRA_POLICY_RC_D="$work/policy-rc.d" bash "$work/repo2/scripts/install-deps.sh" --demo 2>&1)
rc=$?
[ "$rc" -eq 1 ] || fail "an uninstallable required package exited $rc, not 1"
grep -qF 'unresolvable:i386 : Depends' <<<"$out" || fail "the required package that failed is not named: $out"

if [ "$failures" -eq 0 ]; then echo "install-deps: all cases passed"; exit 0; fi
echo "$failures failure(s)"
exit 1
