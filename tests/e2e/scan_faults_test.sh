#!/usr/bin/env bash
# End-to-end tests of nerlo-scan under faults of the system, put into it by a preloaded
# library (tests/preload/fault_preload.cpp): a file system that cannot rename without
# replacing, files swapped and names taken in the middle of a deletion, and a folder whose
# listing breaks off.
# Usage: scan_faults_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
sigtool="$bin/nerlo-sigtool"
preload="$bin/../tests/preload/libnerlo_fault_preload.so"
[ -x "$scan" ] && [ -f "$preload" ] || { echo "nerlo-scan or the fault library not built" >&2; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Files deleted by the scans are kept here, not in the real quarantine.
export NERLO_QUARANTINE_DIR="$work/quarantine"
# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

# The names in a folder, sorted, hidden ones included.
names() { (cd "$1" && LC_ALL=C ls -A); }

# run_scan ENV... -- ARGS...: runs nerlo-scan with the fault library and the variables given,
# leaving stdout in $out, stderr in $work/err and the status in $status. A sanitized build's
# runtime must accept a library loaded ahead of it.
run_scan() {
  local env=()
  while [ "$1" != "--" ]; do env+=("$1"); shift; done
  shift
  status=0
  out="$(env "${env[@]}" ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0" \
    LD_PRELOAD="$preload" "$scan" --quiet --db-dir "$db" "$@" 2>"$work/err")" || status=$?
}

db="$work/db"
mkdir -p "$db"
head -c 1000 /dev/urandom >"$work/sample.bin"
"$sigtool" --db-dir "$db" hash "$work/sample.bin"
printf 'MARKER-ALPHA\n' >"$work/list.txt"
"$sigtool" --db-dir "$db" heuristics "$work/list.txt"
head -c 700 /dev/urandom >"$work/window-sample.bin"
"$sigtool" --db-dir "$db" windows "$work/window-sample.bin"

# ---- No RENAME_NOREPLACE (NFS, CIFS): detections are still deleted, without a reason -------
t="$work/nfs"
mkdir -p "$t"
cp "$work/sample.bin" "$t/infected.bin"
printf 'clean\n' >"$t/clean.txt"
run_scan NERLO_FAULT_NO_NOREPLACE=1 -- --delete "$t"
expect_eq "no noreplace: status" 1 "$status"
expect_eq "no noreplace: line" "$t/infected.bin: Infected! Deleted. [hash]" \
  "$(grep -a 'Infected!' <<<"$out")"
expect_eq "no noreplace: names left" "clean.txt" "$(names "$t")"

# ---- Another file swapped in before the move aside, and the name taken before the move -----
# back: the file moved aside is kept beside, under a visible name, and never removed; the
# newest file keeps the name. The same on a file system without RENAME_NOREPLACE.
for mode in noreplace plain; do
  t="$work/swap-$mode"
  mkdir -p "$t"
  cp "$work/sample.bin" "$t/infected.bin"
  printf "the user's own file\n" >"$work/users-file"
  extra=()
  [ "$mode" = plain ] && extra=(NERLO_FAULT_NO_NOREPLACE=1)
  run_scan "${extra[@]}" NERLO_FAULT_SWAP=infected.bin NERLO_FAULT_SWAP_FROM="$work/users-file" \
    -- --delete "$t"
  expect_eq "swap $mode: status" 1 "$status"
  expect_eq "swap $mode: line" \
    "$t/infected.bin: Infected! Not deleted. (changed since it was examined; another file took its name meanwhile, so it is kept as infected.bin.nerlo-restored-1) [hash]" \
    "$(grep -a 'Infected!' <<<"$out")"
  expect_eq "swap $mode: names left" "$(printf 'infected.bin\ninfected.bin.nerlo-restored-1')" \
    "$(names "$t")"
  expect_eq "swap $mode: the newest file keeps the name" "newest" "$(cat "$t/infected.bin")"
  expect_eq "swap $mode: the user's file is kept beside" "the user's own file" \
    "$(cat "$t/infected.bin.nerlo-restored-1")"
  grep -q '^Removed: 0$' <<<"$out" || fail "swap $mode: a removal was counted"
done

# ---- A listing that breaks off: the folder is named, the scan is an error -----------------
t="$work/listing"
mkdir -p "$t/broken" "$t/whole"
for i in $(seq 1 20); do printf 'clean %s\n' "$i" >"$t/broken/f$i"; done
printf 'clean\n' >"$t/whole/f"
run_scan NERLO_FAULT_READDIR=broken:5 -- "$t"
expect_eq "listing: status" 2 "$status"
expect_eq "listing: named on stderr" \
  "nerlo-scan: $t/broken: not examined: examined only in part: its listing broke off (Input/output error)" \
  "$(cat "$work/err")"
scanned="$(sed -n 's/^Files scanned: //p' <<<"$out")"
[ "$scanned" -ge 1 ] && [ "$scanned" -lt 21 ] || fail "listing: $scanned files scanned"
grep -q '^Not examined: 1$' <<<"$out" || fail "listing: not counted: $out"

[ "$failures" -eq 0 ] && echo "scan faults: all passed"
exit $((failures > 0))
