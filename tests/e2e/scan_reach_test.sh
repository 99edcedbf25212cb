#!/usr/bin/env bash
# End-to-end tests of what nerlo-scan says about files it could not examine, and of targets
# named through symbolic links. Unreadable files and folders are tested as an unprivileged
# user (the tests run as root in CI, and root reads everything).
# Usage: scan_reach_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
sigtool="$bin/nerlo-sigtool"
work="$(mktemp -d)"
# Files deleted by the scans are kept here, not in the real quarantine.
export NERLO_QUARANTINE_DIR="$work/quarantine"
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
chmod 755 "$work"
# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

as_user=()
if [ "$(id -u)" = 0 ]; then
  command -v setpriv >/dev/null || { echo "setpriv is needed to test as an unprivileged user" >&2; exit 77; }
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi

summary_re='^(Files scanned|Infected|Removed|Not examined|Too large \(5 MiB or more\), not examined): '

# run_scan ARGS...: runs nerlo-scan as the unprivileged user, leaving its sorted detection
# lines in $detections, the summary in $summary, stderr in $work/err and the status in $status.
run_scan() {
  status=0
  "${as_user[@]}" "$scan" --quiet "$@" >"$work/out" 2>"$work/err" || status=$?
  detections="$(grep -a -v -E "$summary_re|^Quarantined: " "$work/out" | LC_ALL=C sort || true)"
  summary="$(grep -a -E "$summary_re" "$work/out" || true)"
}

summary_of() {
  printf 'Files scanned: %s\nInfected: %s\nRemoved: %s\nNot examined: %s\nToo large (5 MiB or more), not examined: %s' \
    "$1" "$2" "$3" "${4:-0}" "${5:-0}"
}

db="$work/db"
mkdir -p "$db"
head -c 1000 /dev/urandom >"$work/sample.bin"
printf 'MARKER-ALPHA\n' >"$work/list.txt"
"$sigtool" --db-dir "$db" hash "$work/sample.bin"
"$sigtool" --db-dir "$db" heuristics "$work/list.txt"
head -c 700 /dev/urandom >"$work/window-sample.bin"
"$sigtool" --db-dir "$db" windows "$work/window-sample.bin"

# ---- Unreadable files and folders are named and are an error, never counted as clean ----------
t="$work/t"
mkdir -p "$t/locked-dir" "$t/open"
printf 'clean\n' >"$t/open/clean.txt"
printf 'secret\n' >"$t/open/"$'locked\nfile'
chmod 000 "$t/open/"$'locked\nfile'
printf 'inside\n' >"$t/locked-dir/inside.txt"
chmod 000 "$t/locked-dir"

run_scan --db-dir "$db" "$t"
expect_eq "unreadable: status" 2 "$status"
expect_eq "unreadable: summary" "$(summary_of 1 0 0 2)" "$summary"
grep -q -a "^nerlo-scan: $t/open/locked\\\\nfile: not examined: .*Permission denied" "$work/err" \
  || fail "unreadable file not named (escaped): $(cat "$work/err")"
grep -q -a "^nerlo-scan: $t/locked-dir: not examined: .*Permission denied" "$work/err" \
  || fail "unlistable folder not named: $(cat "$work/err")"

# Something found outranks the error.
cp "$work/sample.bin" "$t/open/found.bin"
chmod 644 "$t/open/found.bin"
run_scan --db-dir "$db" "$t"
expect_eq "unreadable and found: status" 1 "$status"
expect_eq "unreadable and found: summary" "$(summary_of 2 1 0 2)" "$summary"
rm -f "$t/open/found.bin"

# An unreadable file named as the target is no clean result.
run_scan --db-dir "$db" "$t/open/"$'locked\nfile'
expect_eq "unreadable target: status" 2 "$status"
expect_eq "unreadable target: summary" "$(summary_of 0 0 0 1)" "$summary"
expect_eq "unreadable target: one message" 1 "$(grep -c -a 'Permission denied' "$work/err")"

# ---- Targets named through symbolic links -------------------------------------------------
# Followed, for a file as for a folder, and reported under the name given.
mkdir -p "$work/real"
cp "$work/sample.bin" "$work/real/f.bin"
ln -s "$work/real/f.bin" "$work/file-link"
ln -s "$work/real" "$work/dir-link"
run_scan --db-dir "$db" "$work/file-link" "$work/dir-link"
expect_eq "link targets: status" 1 "$status"
expect_eq "link targets: detections" "$(printf '%s\n' "$work/dir-link/f.bin: Infected! [hash]" "$work/file-link: Infected! [hash]")" "$detections"
expect_eq "link targets: summary" "$(summary_of 2 2 0)" "$summary"
expect_eq "link targets: stderr" "" "$(cat "$work/err")"

# Deletion works below a folder reached through a link (as root: the files belong to root).
cp "$work/sample.bin" "$work/real/g.bin"
status=0
"$scan" --quiet --delete --db-dir "$db" "$work/dir-link" >"$work/out" 2>"$work/err" || status=$?
expect_eq "delete through a link target: status" 1 "$status"
expect_eq "delete through a link target: detections" "$(printf '%s\n' "$work/dir-link/f.bin: Infected! Deleted. [hash]" "$work/dir-link/g.bin: Infected! Deleted. [hash]")" "$(grep -a ': Infected!' "$work/out" | LC_ALL=C sort)"
[ -e "$work/real/f.bin" ] && fail "the file below the linked folder was not deleted"
[ -L "$work/dir-link" ] || fail "the link named as the target was removed"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all nerlo-scan reach checks passed"
