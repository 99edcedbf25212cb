#!/usr/bin/env bash
# End-to-end tests of nerlo-scan on generated trees, with databases written by nerlo-sigtool.
# Usage: scan_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
sigtool="$bin/nerlo-sigtool"
work="$(mktemp -d)"
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_eq NAME EXPECTED ACTUAL
expect_eq() {
  if [ "$2" != "$3" ]; then
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2 || true
  fi
}

# run_scan ARGS...: runs nerlo-scan, leaving its sorted detection lines in $detections, the
# three summary lines in $summary and its exit status in $status.
run_scan() {
  status=0
  "$scan" --quiet "$@" >"$work/out" 2>"$work/err" || status=$?
  detections="$(grep -a -v -E '^(Files scanned|Infected|Removed): ' "$work/out" | LC_ALL=C sort || true)"
  summary="$(grep -a -E '^(Files scanned|Infected|Removed): ' "$work/out" || true)"
}

summary_of() { printf 'Files scanned: %s\nInfected: %s\nRemoved: %s' "$1" "$2" "$3"; }

# The standard anti-virus test file, put together from pieces.
make_test_file() {
  printf '%s%s%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}' '$EICAR-STANDARD-' 'ANTIVIRUS-' 'TEST-FILE!$H+H*' >"$1"
}

# A file of N random bytes (distinct from every other such file).
make_bytes() { # PATH N
  head -c "$2" /dev/urandom >"$1"
}

# ---- Databases and tree ------------------------------------------------------------------
db="$work/db"
mkdir -p "$db"
samples="$work/samples"
mkdir -p "$samples"
make_bytes "$samples/hash-sample.bin" 1000
make_bytes "$samples/window-sample.bin" 700
printf 'MARKER-ALPHA\nMARKER-\\x01BETA\n' >"$db/list.txt"
"$sigtool" --db-dir "$db" hash "$samples/hash-sample.bin"
# The writer never adds an entry twice; a database that holds one twice gives two detections.
cat "$db/database.db" "$db/database.db" >"$db/twice" && mv "$db/twice" "$db/database.db"
"$sigtool" --db-dir "$db" windows "$samples/window-sample.bin"
"$sigtool" --db-dir "$db" heuristics "$db/list.txt"

tree="$work/tree"
mkdir -p "$tree/a/b" "$tree/.hidden" "$tree/ro"
cp "$samples/hash-sample.bin" "$tree/a/hashed.bin"
# Only the first 663 bytes carry windows; keep windows 1 to 3 and change the rest.
head -c 530 "$samples/window-sample.bin" >"$tree/a/b/windows.bin"
make_bytes "$tree/a/b/tail.tmp" 200
cat "$tree/a/b/tail.tmp" >>"$tree/a/b/windows.bin"
rm "$tree/a/b/tail.tmp"
printf 'xxMARKER-ALPHAyy' >"$tree/.hidden/heur.txt"
printf 'zz MARKER-\001BETA' >"$tree/ro/heur2.txt"
chmod 0444 "$tree/ro/heur2.txt"
chmod 0555 "$tree/ro"
printf 'clean\n' >"$tree/clean.txt"
name_latin1=$'caf\xe9.bin'  # not valid UTF-8
cp "$samples/hash-sample.bin" "$tree/a/$name_latin1"
# Above the size limit: never examined even though it starts with a heuristic string.
{ printf 'MARKER-ALPHA'; head -c 5242880 /dev/zero; } >"$tree/big.bin"
ln -s "$tree/a/hashed.bin" "$tree/link-to-hashed.bin"
ln -s "$tree" "$tree/a/loop"
mkfifo "$tree/fifo"

# ---- Report only -------------------------------------------------------------------------
run_scan --db-dir "$db" "$tree"
expect_eq "report-only exit status" 1 "$status"
expected="$(LC_ALL=C sort <<EOF
$tree/.hidden/heur.txt: Infected!
$tree/a/$name_latin1: Infected!
$tree/a/$name_latin1: Infected!
$tree/a/b/windows.bin: Infected!
$tree/a/b/windows.bin: Infected!
$tree/a/b/windows.bin: Infected!
$tree/a/hashed.bin: Infected!
$tree/a/hashed.bin: Infected!
$tree/ro/heur2.txt: Infected!
EOF
)"
expect_eq "report-only detections" "$expected" "$detections"
expect_eq "report-only summary" "$(summary_of 6 9 0)" "$summary"
[ -e "$tree/a/hashed.bin" ] || fail "report-only deleted a file"

# ---- Without heuristics -------------------------------------------------------------------
run_scan --db-dir "$db" --no-heuristics "$tree"
expect_eq "no-heuristics summary" "$(summary_of 6 7 0)" "$summary"

# ---- One file: the same name in a subfolder is not touched ---------------------------------
mkdir -p "$work/single/sub"
cp "$samples/hash-sample.bin" "$work/single/x.bin"
cp "$samples/hash-sample.bin" "$work/single/sub/x.bin"
run_scan --db-dir "$db" "$work/single/x.bin"
expect_eq "single file detections" "$(printf '%s\n%s' "$work/single/x.bin: Infected!" "$work/single/x.bin: Infected!")" "$detections"
expect_eq "single file summary" "$(summary_of 1 2 0)" "$summary"
# A file name with wildcards is that file alone.
cp "$samples/hash-sample.bin" "$work/single/a*b.bin"
cp "$samples/hash-sample.bin" "$work/single/axxb.bin"
run_scan --db-dir "$db" "$work/single/a*b.bin"
expect_eq "wildcard name summary" "$(summary_of 1 2 0)" "$summary"
# A relative name without a folder.
(cd "$work/single" && "$scan" --quiet --db-dir "$db" x.bin >"$work/out" 2>&1) || true
expect_eq "relative file" "$(printf '%s\n' "./x.bin: Infected!" "./x.bin: Infected!" && summary_of 1 2 0)" "$(cat "$work/out")"

# ---- Delete them ---------------------------------------------------------------------------
chmod 0755 "$tree/ro"
run_scan --db-dir "$db" --delete "$tree"
expect_eq "delete exit status" 1 "$status"
expected="$(LC_ALL=C sort <<EOF
$tree/.hidden/heur.txt: Infected! Deleted.
$tree/a/$name_latin1: Infected! Deleted.
$tree/a/$name_latin1: Infected! Already deleted.
$tree/a/hashed.bin: Infected! Deleted.
$tree/a/hashed.bin: Infected! Already deleted.
$tree/ro/heur2.txt: Infected! Deleted.
EOF
)"
# The three window hits of windows.bin race for its deletion: exactly one removes it.
window_lines="$(grep -a '/a/b/windows.bin: ' <<<"$detections" || true)"
expect_eq "window deletions" "$(printf '%s\n' "$tree/a/b/windows.bin: Infected! Already deleted." "$tree/a/b/windows.bin: Infected! Already deleted." "$tree/a/b/windows.bin: Infected! Deleted." | LC_ALL=C sort)" "$window_lines"
expect_eq "delete detections" "$expected" "$(grep -a -v '/a/b/windows.bin: ' <<<"$detections")"
expect_eq "delete summary" "$(summary_of 6 9 5)" "$summary"
[ -L "$tree/link-to-hashed.bin" ] || fail "the symbolic link was removed"
[ -e "$tree/big.bin" ] || fail "the file above the size limit was removed"
[ -e "$tree/clean.txt" ] || fail "a clean file was removed"

# ---- Errors --------------------------------------------------------------------------------
run_scan --db-dir "$db" "$work/does-not-exist"
expect_eq "missing target status" 2 "$status"
grep -q "does-not-exist" "$work/err" || fail "missing target not named"
run_scan --db-dir "$work/no-db-here" "$tree"
expect_eq "missing database folder status" 2 "$status"
run_scan --bogus "$tree"
expect_eq "unknown option status" 2 "$status"
run_scan --db-dir "$db"
expect_eq "no target status" 2 "$status"
run_scan --db-dir "$db" "$tree/link-to-hashed.bin"
expect_eq "link target status" 2 "$status"
# A file whose folder lists nothing (here a pseudo file system) is never examined: that is no
# clean result.
if [ -f /proc/self/status ]; then
  run_scan --db-dir "$db" /proc/self/status
  expect_eq "unlisted file status" 2 "$status"
  grep -q "/proc/self/status: not scanned" "$work/err" || fail "unlisted file not named"
  expect_eq "unlisted file summary" "$(summary_of 0 0 0)" "$summary"
fi

# Missing heuristics.db: reported with its message, the scan goes on.
mkdir -p "$work/db2"
cp "$db/database.db" "$work/db2/"
run_scan --db-dir "$work/db2" "$work/single/x.bin"
expect_eq "no heuristics.db status" 2 "$status"
grep -q "Cannot open file \"$work/db2/heuristics.db\"" "$work/err" || fail "heuristics.db error not reported: $(cat "$work/err")"
expect_eq "no heuristics.db summary" "$(summary_of 1 2 0)" "$summary"

# Garbage databases: no detection, no crash.
mkdir -p "$work/db3"
head -c 100000 /dev/urandom >"$work/db3/database.db"
printf '' >"$work/db3/tdb.ldb"
printf '\0\0garbage' >"$work/db3/heuristics.db"
run_scan --db-dir "$work/db3" "$work/single"
expect_eq "garbage databases status" 2 "$status"  # heuristics.db starts with a zero byte
grep -q "List index out of bounds (0)" "$work/err" || fail "empty heuristics.db not reported"
expect_eq "garbage databases summary" "$(summary_of 4 0 0)" "$summary"

# ---- The default databases beside the program find the test file ----------------------------
mkdir -p "$work/default"
make_test_file "$work/default/eicar.com"
run_scan "$work/default"
expect_eq "default databases" "$(printf '%s\n%s' "$work/default/eicar.com: Infected!" "$work/default/eicar.com: Infected!")" "$detections"

# ---- Not quiet: the summary is still the last three lines -----------------------------------
"$scan" --db-dir "$db" "$work/single/sub" >"$work/out" 2>&1 || true
expect_eq "verbose summary" "$(summary_of 1 2 0)" "$(tail -n 3 "$work/out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all nerlo-scan end-to-end checks passed"
