#!/usr/bin/env bash
# End-to-end tests of the updater kestry without a display: its exit statuses and messages
# (usage and configuration errors, updated, already current, refused), the default root
# $XDG_DATA_HOME/nerlo, the set that nerlo-scan then reads, an unwritable root as the user
# nobody, a full disk (a small tmpfs, as root), and a proxy named by https_proxy.
# Usage: kestry_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
kestry="$bin/kestry"
sigtool="$bin/nerlo-sigtool"
scan="$bin/nerlo-scan"
[ -x "$kestry" ] || { echo "SKIP: kestry was not built"; exit 77; }
work="$(mktemp -d)"
mnt=""
cleanup() {
  stop_server
  [ -n "$mnt" ] && umount -l "$mnt" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
source "$here/kestry_test_util.sh"
# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"
expect_in() {
  grep -q -a -E -- "$2" "$3" || {
    fail "$1: no line matching '$2' in:"
    cat "$3" >&2
  }
}
run() {
  status=0
  "$@" >"$work/out" 2>"$work/err" || status=$?
}

# ---- A mirror with version 1: a database that detects sample.bin -------------------------
head -c 2000 /dev/urandom >"$work/sample.bin"
mkdir -p "$work/db1" "$work/keys"
"$sigtool" --db-dir "$work/db1" hash "$work/sample.bin" >/dev/null
printf 'NO-SUCH-STRING-ANYWHERE\n' >"$work/list.txt"
"$sigtool" --db-dir "$work/db1" heuristics "$work/list.txt" >/dev/null
"$sigtool" keygen "$work/key" >/dev/null
cp "$work/key.pub" "$work/keys/"
"$sigtool" publish --key "$work/key" --version 1 --out "$work/mirror" "$work/db1" >/dev/null
start_server "$work/mirror" "$work/state"
conf="$work/update.ini"
write_config "$conf" "$url" "$ca"
k=("$kestry" --config "$conf" --keys "$work/keys")

# ---- Usage and configuration errors: status 2 -------------------------------------------
run "$kestry" --bogus
expect_eq "unknown argument" 2 "$status"
expect_in "unknown argument named" 'unknown argument --bogus' "$work/err"
run "$kestry" --root
expect_eq "--root without a folder" 2 "$status"
# No source: the user's settings file has none (and a test machine has no /etc/nerlo).
if [ ! -e /etc/nerlo/update.ini ]; then
  run "$kestry" --keys "$work/keys"
  expect_eq "no source" 2 "$status"
  expect_in "no source says how to set one" \
    "no update source is set: put a line Url=https://... under \[Update\] in $work/config/nerlo/nerlo.ini or /etc/nerlo/update.ini" \
    "$work/err"
fi
write_config "$work/http.ini" "http://127.0.0.1:1/"
run "$kestry" --config "$work/http.ini" --keys "$work/keys"
expect_eq "http source" 2 "$status"
expect_in "http source refused" "Url=http://127.0.0.1:1/ under \[Update\] in $work/http.ini: only https:// addresses are accepted" "$work/err"
run "$kestry" --config "$conf" --keys "$work/no-keys"
expect_eq "no keys" 2 "$status"
expect_in "no keys named" "no publisher's key is installed: put the channel's public key \(a \*.pub file\) in $work/no-keys" "$work/err"

# ---- Updated, then already current: status 0 --------------------------------------------
# Without --root and NERLO_SET_ROOTS, a user's run installs into $XDG_DATA_HOME/nerlo (as
# nobody when the test runs as root, whose own root would be /var/lib/nerlo).
mkdir -p "$work/user-data"
chmod 755 "$work" "$work/keys" "$work/state"
chmod 644 "$conf" "$work/keys/key.pub" "$ca"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$work/user-data"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
run env -u NERLO_SET_ROOTS XDG_DATA_HOME="$work/user-data" "${as_user[@]}" "${k[@]}"
expect_eq "update into the user's root" 0 "$status"
expect_eq "user's current link" "sets/1" "$(readlink "$work/user-data/nerlo/current")"
# With NERLO_SET_ROOTS (as every test has it), into its first folder.
run "${k[@]}"
expect_eq "first update" 0 "$status"
expect_in "progress line" "^kestry: Fetching ${url}channel.json$" "$work/out"
expect_in "result line" '^kestry: Updated the signatures from none to version 1 \(created .*\): 2 files downloaded' "$work/out"
expect_eq "current link" "sets/1" "$(readlink "$work/data/nerlo/current")"
run "$scan" "$work/sample.bin"
expect_eq "scan with the installed set" 1 "$status"
expect_in "detection by the installed set" "sample.bin: Infected! \[hash\]" "$work/out"
run "$scan" --version
expect_in "scan reports the set" "$work/data/nerlo/sets/1/" "$work/out"
run "${k[@]}" --quiet
expect_eq "already current" 0 "$status"
expect_in "already current said" '^kestry: The signatures are current: version 1, created ' "$work/out"

# ---- Proxies from the environment: the channel is fetched through a CONNECT tunnel ------
python3 "$here/connect_proxy.py" "$work/state" &
proxy_pid=$!
for _ in $(seq 200); do [ -s "$work/state/proxy-port" ] && break; sleep 0.05; done
run env -u no_proxy -u NO_PROXY https_proxy="http://127.0.0.1:$(cat "$work/state/proxy-port")" \
  "${k[@]}"
kill "$proxy_pid" 2>/dev/null || true
wait "$proxy_pid" 2>/dev/null || true
expect_eq "update through a proxy" 0 "$status"
port="${url##*:}"
expect_in "the proxy carried the channel" "^CONNECT 127\.0\.0\.1:${port%/}$" "$work/state/proxy.log"

# ---- Refused: status 1, set unchanged ----------------------------------------------------
before="$(cd "$work/data/nerlo" && find . -not -name .lock | LC_ALL=C sort)"
"$sigtool" keygen "$work/stranger" >/dev/null
"$sigtool" publish --key "$work/stranger" --version 2 --out "$work/mirror2" "$work/db1" >/dev/null
cp "$work/mirror2/channel.json" "$work/mirror2/channel.json.sig" "$work/mirror/"
run "${k[@]}"
expect_eq "unknown key" 1 "$status"
expect_in "unknown key said" "^kestry: Update failed: ${url}channel.json: the signature ${url}channel.json.sig does not verify against any installed publisher's key \(1 installed\)\. The installed signatures \(version 1\) are unchanged\.$" "$work/err"
expect_eq "root unchanged" "$before" "$(cd "$work/data/nerlo" && find . -not -name .lock | LC_ALL=C sort)"

# ---- A root the user may not write: as nobody --------------------------------------------
"$sigtool" publish --key "$work/key" --version 3 --out "$work/mirror" "$work/db1" >/dev/null
run setpriv --reuid=nobody --regid=nogroup --clear-groups "${k[@]}" --root "$work/data/nerlo"
expect_eq "unwritable root" 1 "$status"
expect_in "unwritable root named" "cannot lock $work/data/nerlo/.lock: Permission denied" "$work/err"
expect_eq "root unchanged for nobody" "$before" "$(cd "$work/data/nerlo" && find . -not -name .lock | LC_ALL=C sort)"

# ---- A full disk: a tmpfs too small for the set (root only) ------------------------------
if [ "$(id -u)" -eq 0 ]; then
  # About 400 kB of heuristic strings.
  head -c 200000 /dev/urandom | od -An -tx1 | tr -d ' ' | grep -v '^$' >"$work/big-list.txt"
  mkdir -p "$work/db-big"
  cp "$work/db1/database.db" "$work/db-big/"
  "$sigtool" --db-dir "$work/db-big" heuristics "$work/big-list.txt" >/dev/null
  "$sigtool" publish --key "$work/key" --version 4 --out "$work/mirror" "$work/db-big" >/dev/null
  mnt="$work/small"
  mkdir -p "$mnt"
  if mount -t tmpfs -o size=256k tmpfs "$mnt" 2>/dev/null; then
    run "${k[@]}" --root "$mnt/root"
    expect_eq "full disk" 1 "$status"
    expect_in "full disk named" "cannot write $mnt/root/\.incoming-[0-9a-f]+/heuristics\.db: No space left on device\. Nothing was installed\.$" "$work/err"
    [ -z "$(ls -A "$mnt/root/sets")" ] || fail "a set folder was left on the full disk"
    grep -q '^\.incoming-' < <(ls -a "$mnt/root") && fail "a staging folder was left on the full disk"
  else
    echo "note: tmpfs cannot be mounted here; the full-disk case is covered by the unit tests"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "kestry end to end: all checks passed"
