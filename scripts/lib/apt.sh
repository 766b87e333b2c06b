# Shared apt helpers for the set-up scripts (sourced, not run).
#
# A Debian mirror that is briefly out of step ("File has unexpected size ...
# Mirror sync in progress?") makes `apt-get update` fail on one index while
# every other index is fine. These helpers retry, then go on with what was
# read, and say in one line which index failed.
#
# ZYRA_APT_TRIES (default 3) and ZYRA_APT_PAUSE (seconds between tries,
# default 15) tune the retries.

# apt_log: the calling script's prefix for its messages.
: "${APT_LOG_PREFIX:=setup}"

# The indexes an `apt-get update` output names as failed, one a line
# ("E: Failed to fetch URL  reason" and "W: Failed to fetch ..." alike).
apt_failed_indexes() {  # output-file
  sed -nE 's/^[EW]: Failed to fetch ([^ ]+).*/\1/p' "$1" | sort -u
}

# Runs `apt-get update` up to ZYRA_APT_TRIES times. Returns 0 when it
# succeeded, and also when it still fails after the last try: the indexes it
# did read are used, and one line names the ones that failed (sets
# APT_UPDATE_FAILED to them, space-separated).
apt_update_tolerant() {
  local tries=${ZYRA_APT_TRIES:-3} pause=${ZYRA_APT_PAUSE:-15} try out failed reason
  APT_UPDATE_FAILED=
  out=$(mktemp)
  for ((try = 1; try <= tries; try++)); do
    if apt-get update -qq >"$out" 2>&1; then
      rm -f "$out"
      [ "$try" -eq 1 ] || echo "$APT_LOG_PREFIX: apt-get update succeeded on try $try of $tries"
      return 0
    fi
    if [ "$try" -lt "$tries" ]; then
      echo "$APT_LOG_PREFIX: apt-get update failed (try $try of $tries); again in ${pause}s"
      sleep "$pause"
    fi
  done
  failed=$(apt_failed_indexes "$out" | tr '\n' ' ' | sed 's/ $//')
  reason=$(grep -m1 -E '^E: ' "$out" | sed -E 's/^E: //; s/^Failed to fetch [^ ]+ +//' | cut -c1-200)
  APT_UPDATE_FAILED=${failed:-unknown}
  echo "$APT_LOG_PREFIX: apt-get update still fails after $tries tries on ${failed:-an index it did not name} (${reason:-no reason given}); going on with the indexes that were read"
  rm -f "$out"
  return 0
}

# Runs `apt-get install` for the given packages, with a second try after a
# pause when the first fails (a download cut short). The output of the last
# try is kept in APT_INSTALL_OUTPUT (a file the caller removes).
apt_install_retry() {  # packages...
  local tries=2 pause=${ZYRA_APT_PAUSE:-15} try
  APT_INSTALL_OUTPUT=$(mktemp)
  for ((try = 1; try <= tries; try++)); do
    if apt-get install -y -q --no-install-recommends "$@" >"$APT_INSTALL_OUTPUT" 2>&1; then
      return 0
    fi
    # An unresolvable package stays unresolvable: no second try for that.
    if grep -qE 'Unable to locate package|has no installation candidate|unmet dependencies|not installable|Unable to correct problems' "$APT_INSTALL_OUTPUT"; then
      return 1
    fi
    [ "$try" -lt "$tries" ] && sleep "$pause"
  done
  return 1
}

# The line of an apt-get install output that says why it failed: the unmet
# dependency of one of the given packages where apt names one, else its first
# error.
apt_install_reason() {  # output-file [packages...]
  local file=$1 line= p
  shift
  for p in "$@"; do
    line=$(grep -m1 -F " $p : Depends:" "$file" || grep -m1 -F "$p : Depends:" "$file" || true)
    [ -z "$line" ] || break
  done
  [ -n "$line" ] ||
    line=$(grep -m1 -E 'Depends:|Unable to locate package|has no installation candidate|not installable' "$file" ||
           grep -m1 -E '^E: ' "$file" || true)
  printf '%s' "$line" | sed -E 's/^[[:space:]]+//; s/^E: //; s/[[:space:]]+/ /g' | cut -c1-240
}
