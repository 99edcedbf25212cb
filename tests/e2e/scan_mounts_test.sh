#!/usr/bin/env bash
# End-to-end tests of what a folder scan walks where file systems are mounted: a real file
# system (tmpfs) mounted below a pseudo file system is walked, the pseudo file system's own
# files are not. The mounts are made in a mount namespace of the test's own (unshare -m), so
# the test needs root; it is skipped (77) only where mounts cannot be made at all.
# Usage: scan_mounts_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
sigtool="$bin/nerlo-sigtool"
[ -x "$scan" ] && [ -x "$sigtool" ] || exit 77
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null; then
  echo "mounts need root and unshare" >&2
  exit 77
fi
if ! unshare -m true 2>/dev/null; then
  echo "no mount namespace can be made here" >&2
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

db="$work/db"
mkdir -p "$db"
head -c 1000 /dev/urandom >"$work/sample.bin"
"$sigtool" --db-dir "$db" hash "$work/sample.bin"
printf 'MARKER-ALPHA\n' >"$work/list.txt"
"$sigtool" --db-dir "$db" heuristics "$work/list.txt"
head -c 700 /dev/urandom >"$work/window-sample.bin"
"$sigtool" --db-dir "$db" windows "$work/window-sample.bin"

# Runs in the namespace: hugetlbfs (a pseudo file system whose directories can be made) at
# $work/pseudo, a tmpfs at $work/pseudo/real holding the sample, and a file of hugetlbfs's own
# next to it; then a tmpfs over /dev/shm holding the sample, with /dev scanned.
inner='
set -euo pipefail
mkdir -p "$work/pseudo"
mount -t hugetlbfs none "$work/pseudo" || exit 77
mkdir "$work/pseudo/real" "$work/pseudo/own"
touch "$work/pseudo/own/file" "$work/pseudo/file"
mount -t tmpfs none "$work/pseudo/real"
mkdir "$work/pseudo/real/sub"
cp "$work/sample.bin" "$work/pseudo/real/sub/found.bin"
status=0
"$scan" --quiet --db-dir "$db" "$work/pseudo" >"$work/pseudo-out" 2>"$work/pseudo-err" || status=$?
echo "$status" >"$work/pseudo-status"

mount -t tmpfs none /dev/shm
cp "$work/sample.bin" /dev/shm/found.bin
status=0
"$scan" --quiet --db-dir "$db" /dev >"$work/dev-out" 2>"$work/dev-err" || status=$?
echo "$status" >"$work/dev-status"
'
status=0
work="$work" scan="$scan" db="$db" unshare -m bash -c "$inner" || status=$?
if [ "$status" = 77 ]; then
  echo "hugetlbfs cannot be mounted here" >&2
  exit 77
fi
[ "$status" = 0 ] || { echo "FAIL: setting up the mounts failed ($status)" >&2; exit 1; }

# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

[ "$(cat "$work/pseudo-status")" = 1 ] || fail "tmpfs below a pseudo file system: status $(cat "$work/pseudo-status")"
grep -q -a -x "$work/pseudo/real/sub/found.bin: Infected! \[hash\]" "$work/pseudo-out" \
  || fail "the file on the tmpfs below a pseudo file system was not found: $(cat "$work/pseudo-out")"
grep -q -a -x "Files scanned: 1" "$work/pseudo-out" \
  || fail "a pseudo file system's own files were read: $(cat "$work/pseudo-out")"
[ -s "$work/pseudo-err" ] && fail "unexpected messages: $(cat "$work/pseudo-err")"

[ "$(cat "$work/dev-status")" = 1 ] || fail "/dev/shm: status $(cat "$work/dev-status")"
grep -q -a -x "/dev/shm/found.bin: Infected! \[hash\]" "$work/dev-out" \
  || fail "the file in /dev/shm was not found scanning /dev: $(cat "$work/dev-out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all mount checks passed"
