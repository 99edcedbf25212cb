#!/usr/bin/env bash
# End-to-end test of nerlo-scan under a descriptor limit of 32 (ulimit -n): every file of a
# tree of 200,000 files and of a chain of folders 10,000 deep is examined, and the detections
# among them are deleted. The trees are made by a small program; each scan is bounded by
# `timeout`.
# Usage: scan_limits_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
sigtool="$bin/nerlo-sigtool"
[ -x "$scan" ] || { echo "nerlo-scan not built" >&2; exit 77; }
base=/tmp
# Memory-backed when there is one: making and removing 200,000 files is faster there.
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work="$(mktemp -d "$base/nerlo-limits.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# Files deleted by the scans are kept here, not in the real quarantine.
export NERLO_QUARANTINE_DIR="$work/quarantine"
# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

db="$work/db"
mkdir -p "$db"
head -c 1000 /dev/urandom >"$work/infected.bin"
"$sigtool" --db-dir "$db" hash "$work/infected.bin"
printf 'MARKER-ALPHA\n' >"$work/list.txt"
"$sigtool" --db-dir "$db" heuristics "$work/list.txt"
head -c 700 /dev/urandom >"$work/window-sample.bin"
"$sigtool" --db-dir "$db" windows "$work/window-sample.bin"

# make_trees: wide/ holds 200 folders of 1,000 files, every 10,000th of them the detected
# file; deep/ is a chain of 10,000 folders, each with a file, the detected file at the bottom.
# Made through descriptors: the deep paths are longer than the system's path limit.
python3 - "$work" "$work/infected.bin" <<'PY'
import os, sys
work, infected = sys.argv[1], open(sys.argv[2], 'rb').read()
def write(dir_fd, name, data):
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=dir_fd)
    os.write(fd, data)
    os.close(fd)
os.mkdir(os.path.join(work, 'wide'))
for d in range(200):
    path = os.path.join(work, 'wide', 'd%03d' % d)
    os.mkdir(path)
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    for f in range(1000):
        n = d * 1000 + f
        write(fd, 'f%04d' % f, infected if n % 10000 == 0 else b'clean %d\n' % n)
    os.close(fd)
os.mkdir(os.path.join(work, 'deep'))
fd = os.open(os.path.join(work, 'deep'), os.O_RDONLY | os.O_DIRECTORY)
for level in range(10000):
    write(fd, 'f', b'level %d\n' % level)
    os.mkdir('d', dir_fd=fd)
    below = os.open('d', os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    os.close(fd)
    fd = below
write(fd, 'leaf', infected)
os.close(fd)
PY

# scan_limited NAME TARGET SCANNED REMOVED: scans TARGET with --delete under ulimit -n 32 and
# checks the summary.
scan_limited() {
  local status=0
  (ulimit -n 32; exec timeout 420 "$scan" --quiet --delete --db-dir "$db" "$2") \
    >"$work/out" 2>"$work/err" || status=$?
  [ "$status" = 1 ] || fail "$1: status $status: $(head -c 500 "$work/err")"
  [ -s "$work/err" ] && fail "$1: messages: $(head -c 500 "$work/err")"
  local expected
  expected="$(printf 'Files scanned: %s\nInfected: %s\nRemoved: %s\nNot examined: 0\nToo large (5 MiB or more), not examined: 0\nQuarantined: %s (restore with nerlo-quarantine)' "$3" "$4" "$4" "$4")"
  [ "$(grep -v 'Infected!' "$work/out")" = "$expected" ] || fail "$1: summary: $(grep -v 'Infected!' "$work/out")"
  [ "$(grep -c ': Infected! Deleted. \[hash\]$' "$work/out")" = "$4" ] || fail "$1: detection lines"
}

scan_limited "200,000 files" "$work/wide" 200000 20
scan_limited "10,000 deep" "$work/deep" 10001 1
[ -e "$work/wide/d000/f0000" ] && fail "a detected file is still there"

[ "$failures" -eq 0 ] && echo "descriptor limit: all passed"
exit $((failures > 0))
