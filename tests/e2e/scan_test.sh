#!/usr/bin/env bash
# End-to-end tests of nerlo-scan on generated trees, with databases written by nerlo-sigtool.
# Usage: scan_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
sigtool="$bin/nerlo-sigtool"
work="$(mktemp -d)"
# Files deleted by the scans are kept here, not in the real quarantine.
export NERLO_QUARANTINE_DIR="$work/quarantine"
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

summary_re='^(Files scanned|Infected|Removed|Not examined|Too large \(5 MiB or more\), not examined): '

# run_scan ARGS...: runs nerlo-scan, leaving its sorted detection lines in $detections, the
# summary lines in $summary and its exit status in $status.
run_scan() {
  status=0
  "$scan" --quiet "$@" >"$work/out" 2>"$work/err" || status=$?
  detections="$(grep -a -v -E "$summary_re|^Quarantined: " "$work/out" | LC_ALL=C sort || true)"
  summary="$(grep -a -E "$summary_re" "$work/out" || true)"
}

# summary_of SCANNED INFECTED REMOVED [NOT_EXAMINED [TOO_LARGE]]
summary_of() {
  printf 'Files scanned: %s\nInfected: %s\nRemoved: %s\nNot examined: %s\nToo large (5 MiB or more), not examined: %s' \
    "$1" "$2" "$3" "${4:-0}" "${5:-0}"
}

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
# Only the first 663 bytes carry windows; keep windows 1 to 3 (bytes 400 to 497) and make
# the rest random from window 4's first byte on: a tail that began inside window 4 would let
# it match whenever the random byte after the kept ones happened to be the sample's.
head -c 498 "$samples/window-sample.bin" >"$tree/a/b/windows.bin"
make_bytes "$tree/a/b/tail.tmp" 200
cat "$tree/a/b/tail.tmp" >>"$tree/a/b/windows.bin"
cp "$tree/a/b/windows.bin" "$work/tree-windows.bin"
rm "$tree/a/b/tail.tmp"
printf 'xxMARKER-ALPHAyy' >"$tree/.hidden/heur.txt"
printf 'zz MARKER-\001BETA' >"$tree/ro/heur2.txt"
chmod 0444 "$tree/ro/heur2.txt"
chmod 0555 "$tree/ro"
printf 'clean\n' >"$tree/clean.txt"
name_latin1=$'caf\xe9.bin'  # not valid UTF-8
shown_latin1='caf\xE9.bin'  # as it is printed
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
$tree/.hidden/heur.txt: Infected! [heuristic 1]
$tree/a/$shown_latin1: Infected! [hash]
$tree/a/$shown_latin1: Infected! [hash]
$tree/a/b/windows.bin: Infected! [window 1]
$tree/a/b/windows.bin: Infected! [window 2]
$tree/a/b/windows.bin: Infected! [window 3]
$tree/a/hashed.bin: Infected! [hash]
$tree/a/hashed.bin: Infected! [hash]
$tree/ro/heur2.txt: Infected! [heuristic 2]
EOF
)"
expect_eq "report-only detections" "$expected" "$detections"
expect_eq "report-only summary" "$(summary_of 6 9 0 0 1)" "$summary"
[ -e "$tree/a/hashed.bin" ] || fail "report-only deleted a file"

# ---- Without heuristics -------------------------------------------------------------------
run_scan --db-dir "$db" --no-heuristics "$tree"
expect_eq "no-heuristics summary" "$(summary_of 6 7 0 0 1)" "$summary"

# ---- One file: the same name in a subfolder is not touched ---------------------------------
mkdir -p "$work/single/sub"
cp "$samples/hash-sample.bin" "$work/single/x.bin"
cp "$samples/hash-sample.bin" "$work/single/sub/x.bin"
run_scan --db-dir "$db" "$work/single/x.bin"
expect_eq "single file detections" "$(printf '%s\n%s' "$work/single/x.bin: Infected! [hash]" "$work/single/x.bin: Infected! [hash]")" "$detections"
expect_eq "single file summary" "$(summary_of 1 2 0)" "$summary"
# A file name with wildcards is that file alone.
cp "$samples/hash-sample.bin" "$work/single/a*b.bin"
cp "$samples/hash-sample.bin" "$work/single/axxb.bin"
run_scan --db-dir "$db" "$work/single/a*b.bin"
expect_eq "wildcard name summary" "$(summary_of 1 2 0)" "$summary"
# A relative name without a folder.
(cd "$work/single" && "$scan" --quiet --db-dir "$db" x.bin >"$work/out" 2>&1) || true
expect_eq "relative file" "$(printf '%s\n' "./x.bin: Infected! [hash]" "./x.bin: Infected! [hash]" && summary_of 1 2 0)" "$(cat "$work/out")"

# ---- Delete them ---------------------------------------------------------------------------
chmod 0755 "$tree/ro"
run_scan --db-dir "$db" --delete "$tree"
expect_eq "delete exit status" 1 "$status"
expected="$(LC_ALL=C sort <<EOF
$tree/.hidden/heur.txt: Infected! Deleted. [heuristic 1]
$tree/a/$shown_latin1: Infected! Already deleted. [hash]
$tree/a/$shown_latin1: Infected! Deleted. [hash]
$tree/a/hashed.bin: Infected! Already deleted. [hash]
$tree/a/hashed.bin: Infected! Deleted. [hash]
$tree/ro/heur2.txt: Infected! Deleted. [heuristic 2]
EOF
)"
# The three window hits of windows.bin race for its deletion: exactly one removes it.
window_lines="$(grep -a '/a/b/windows.bin: ' <<<"$detections" || true)"
expect_eq "window checks" "$(printf '[window %s]\n' 1 2 3)" "$(grep -o -a '\[window [0-9]\]' <<<"$window_lines" | LC_ALL=C sort)"
expect_eq "window deletions" "$(printf '%s\n' "Infected! Already deleted." "Infected! Already deleted." "Infected! Deleted." | LC_ALL=C sort)" \
  "$(sed -e 's/^.*windows\.bin: //' -e 's/ \[window [0-9]\]$//' <<<"$window_lines" | LC_ALL=C sort)"
expect_eq "delete detections" "$expected" "$(grep -a -v '/a/b/windows.bin: ' <<<"$detections")"
# Every deleted file was kept first, and the last line says so.
expect_eq "quarantine line" "Quarantined: 5 (restore with nerlo-quarantine)" "$(tail -n 1 "$work/out")"
expect_eq "delete summary" "$(summary_of 6 9 5 0 1)" "$summary"
[ -L "$tree/link-to-hashed.bin" ] || fail "the symbolic link was removed"
[ -e "$tree/big.bin" ] || fail "the file above the size limit was removed"
[ -e "$tree/clean.txt" ] || fail "a clean file was removed"

# ---- Exit statuses and several targets ------------------------------------------------------
clean="$work/clean"
mkdir -p "$clean/sub"
printf 'nothing here\n' >"$clean/a.txt"
make_bytes "$clean/sub/b.bin" 900
run_scan --db-dir "$db" "$clean"
expect_eq "clean status" 0 "$status"
expect_eq "clean summary" "$(summary_of 2 0 0)" "$summary"
expect_eq "clean stderr" "" "$(cat "$work/err")"

# Every target is scanned. A missing one is named on stderr and is an error, which a detection
# outranks: a script testing for 1 must see what was found.
run_scan --db-dir "$db" "$work/single/x.bin" "$work/does-not-exist" "$clean"
expect_eq "one target missing of three: status" 1 "$status"
expect_eq "one target missing of three: summary" "$(summary_of 3 2 0)" "$summary"
expect_eq "one target missing of three: detections" "$(printf '%s\n%s' "$work/single/x.bin: Infected! [hash]" "$work/single/x.bin: Infected! [hash]")" "$detections"
expect_eq "missing target message" "nerlo-scan: $work/does-not-exist: No such file or directory" "$(cat "$work/err")"
run_scan --db-dir "$db" "$work/does-not-exist" "$clean"
expect_eq "missing target before a clean one: status" 2 "$status"
expect_eq "missing target before a clean one: summary" "$(summary_of 2 0 0)" "$summary"
run_scan --db-dir "$db" "$work/does-not-exist"
expect_eq "missing target status" 2 "$status"
expect_eq "missing target summary" "$(summary_of 0 0 0)" "$summary"

# A target that is no file or folder (a FIFO would block a reader) is unusable: named, an
# error, and the scan neither hangs nor counts it.
run_scan --db-dir "$db" "$tree/fifo" /dev/null
expect_eq "FIFO and device targets: status" 2 "$status"
grep -q '^Files scanned: 0$' <<<"$summary" || fail "FIFO and device targets: counted as scanned"
grep -q "^nerlo-scan: $tree/fifo: " "$work/err" || fail "FIFO target not named: $(cat "$work/err")"
grep -q "^nerlo-scan: /dev/null: " "$work/err" || fail "device target not named: $(cat "$work/err")"

# A folder named through a symbolic link is walked and reported under the name given.
mkdir -p "$work/linked"
cp "$samples/hash-sample.bin" "$work/linked/f.bin"
ln -s "$work/linked" "$work/linked-dir"
run_scan --db-dir "$db" "$work/linked-dir"
expect_eq "folder link status" 1 "$status"
expect_eq "folder link detections" "$(printf '%s\n%s' "$work/linked-dir/f.bin: Infected! [hash]" "$work/linked-dir/f.bin: Infected! [hash]")" "$detections"

# A file whose folder lists nothing (here a pseudo file system) is never examined: that is no
# clean result.
if [ -f /proc/self/status ]; then
  run_scan --db-dir "$db" /proc/self/status
  expect_eq "unlisted file status" 2 "$status"
  grep -q "^nerlo-scan: /proc/self/status: " "$work/err" || fail "unlisted file not named"
  grep -q '^Files scanned: 0$' <<<"$summary" || fail "unlisted file counted as scanned"
fi

# Usage.
run_scan --bogus "$tree"
expect_eq "unknown option status" 2 "$status"
run_scan --db-dir "$db"
expect_eq "no target status" 2 "$status"
version="$("$scan" --version)" || fail "--version status"
version="${version%%$'\n'*}"
[[ "$version" == "nerlo-scan "*" 1.00" ]] || fail "--version printed: $version"
for flag in -r --recursive; do
  run_scan --db-dir "$db" "$flag" "$work/single/sub"
  expect_eq "$flag status" 1 "$status"
  expect_eq "$flag summary" "$(summary_of 1 2 0)" "$summary"
done

# ---- Escaped paths --------------------------------------------------------------------------
# A name can hold any byte but "/" and NUL. Printed raw, a line feed would forge a report line
# and an escape sequence would drive the terminal.
esc="$work/esc"
mkdir -p "$esc"
cp "$samples/hash-sample.bin" "$esc/"$'evil\nbank.doc: Infected! Deleted.'
cp "$samples/hash-sample.bin" "$esc/"$'red\e[31m\tx\x7f'
cp "$samples/hash-sample.bin" "$esc/"'back\slash'
run_scan --db-dir "$db" "$esc"
expected="$(LC_ALL=C sort <<EOF
$esc/back\\\\slash: Infected! [hash]
$esc/back\\\\slash: Infected! [hash]
$esc/evil\\nbank.doc: Infected! Deleted.: Infected! [hash]
$esc/evil\\nbank.doc: Infected! Deleted.: Infected! [hash]
$esc/red\\x1B[31m\\tx\\x7F: Infected! [hash]
$esc/red\\x1B[31m\\tx\\x7F: Infected! [hash]
EOF
)"
expect_eq "escaped detections" "$expected" "$detections"
expect_eq "escaped names: summary" "$(summary_of 3 6 0)" "$summary"
if LC_ALL=C grep -q -a $'[\x01-\x09\x0b-\x1f\x7f]' "$work/out"; then fail "a control byte was printed raw"; fi

# The same rule in every other message that shows a path: databases folder, target, warnings,
# errors.
odd="$work/"$'odd\e]0;x\a'
mkdir -p "$odd/db" "$odd/"$'tar\nget'
cp "$db/database.db" "$db/heuristics.db" "$odd/db/"
cp "$samples/hash-sample.bin" "$odd/"$'tar\nget/f'
shown_odd="$work/odd\\x1B]0;x\\x07"
status=0
"$scan" --db-dir "$odd/db" "$odd/"$'tar\nget' "$odd/"$'miss\ting' >"$work/out" 2>"$work/err" || status=$?
expect_eq "odd names status" 1 "$status"
expect_eq "odd names stdout" "$(printf '%s\n' "Databases: $shown_odd/db/" "Scanning: $shown_odd/tar\\nget" "$shown_odd/tar\\nget/f: Infected! [hash]" "$shown_odd/tar\\nget/f: Infected! [hash]" && summary_of 1 2 0)" "$(cat "$work/out")"
expect_eq "odd names stderr" "$(printf '%s\n' "nerlo-scan: warning: $shown_odd/db/tdb.ldb: No such file or directory (this check finds nothing)" "nerlo-scan: $shown_odd/miss\\ting: No such file or directory")" "$(cat "$work/err")"

# ---- Databases --------------------------------------------------------------------------------
# One file for each kind of check: two hash detections, three window detections, one heuristic.
found="$work/found"
mkdir -p "$found"
cp "$samples/hash-sample.bin" "$found/hashed.bin"
cp "$tree/../tree-windows.bin" "$found/windows.bin"
printf 'xxMARKER-ALPHAyy' >"$found/heur.txt"

# A missing tdb.ldb is a warning naming it; heuristics.db is not needed without heuristics.
mkdir -p "$work/db-hash"
cp "$db/database.db" "$work/db-hash/"
run_scan --db-dir "$work/db-hash" --no-heuristics "$work/single/x.bin"
expect_eq "hash database only: status" 1 "$status"
expect_eq "hash database only: summary" "$(summary_of 1 2 0)" "$summary"
expect_eq "hash database only: stderr" "nerlo-scan: warning: $work/db-hash/tdb.ldb: No such file or directory (this check finds nothing)" "$(cat "$work/err")"
run_scan --db-dir "$work/db-hash" --no-heuristics "$clean"
expect_eq "a warning is no error" 0 "$status"
# With heuristics, the missing heuristics.db is an error; the scan still runs.
run_scan --db-dir "$work/db-hash" "$clean"
expect_eq "missing heuristics.db status" 2 "$status"
grep -q "Cannot open file \"$work/db-hash/heuristics.db\"" "$work/err" || fail "heuristics.db error not reported: $(cat "$work/err")"
expect_eq "missing heuristics.db summary" "$(summary_of 2 0 0)" "$summary"
run_scan --db-dir "$work/db-hash" "$work/single/x.bin"
expect_eq "missing heuristics.db but found: status" 1 "$status"

# A missing database.db is a warning naming it.
mkdir -p "$work/db-win"
cp "$db/tdb.ldb" "$db/heuristics.db" "$work/db-win/"
run_scan --db-dir "$work/db-win" "$found"
expect_eq "no database.db: status" 1 "$status"
expect_eq "no database.db: summary" "$(summary_of 3 4 0)" "$summary"
expect_eq "no database.db: stderr" "nerlo-scan: warning: $work/db-win/database.db: No such file or directory (this check finds nothing)" "$(cat "$work/err")"

# No database that the scan reads: an error, and nothing is scanned.
mkdir -p "$work/db-none" "$work/db-heur"
cp "$db/heuristics.db" "$work/db-heur/"
for case in "$work/db-none" "$work/no-db-here" "$work/db-heur --no-heuristics"; do
  # shellcheck disable=SC2086
  run_scan --db-dir $case "$tree"
  expect_eq "no database ($case): status" 2 "$status"
  expect_eq "no database ($case): nothing scanned" "" "$(cat "$work/out")"
  grep -q "no database to scan with" "$work/err" || fail "no database ($case) not reported: $(cat "$work/err")"
done
# heuristics.db alone is enough when heuristics are on (with two warnings).
run_scan --db-dir "$work/db-heur" "$found"
expect_eq "heuristics.db alone: status" 1 "$status"
expect_eq "heuristics.db alone: warnings" 2 "$(grep -c '^nerlo-scan: warning: ' "$work/err")"

# Databases reached through symbolic links are followed; a dangling link is a missing file.
mkdir -p "$work/db-links"
for f in database.db tdb.ldb heuristics.db; do ln -s "$db/$f" "$work/db-links/$f"; done
run_scan --db-dir "$work/db-links" "$found"
expect_eq "linked databases: summary" "$(summary_of 3 6 0)" "$summary"
expect_eq "linked databases: stderr" "" "$(cat "$work/err")"
ln -sf "$work/nowhere" "$work/db-links/tdb.ldb"
run_scan --db-dir "$work/db-links" "$found"
expect_eq "dangling database link: summary" "$(summary_of 3 3 0)" "$summary"
grep -q "warning: $work/db-links/tdb.ldb: No such file or directory" "$work/err" || fail "dangling database link not named: $(cat "$work/err")"

# A database too large to be read whole is reported once, naming it, and is an error.
mkdir -p "$work/db-big"
cp "$db/tdb.ldb" "$db/heuristics.db" "$work/db-big/"
truncate -s 2G "$work/db-big/database.db"
run_scan --db-dir "$work/db-big" "$clean" "$work/single/x.bin"
expect_eq "database too large: status" 2 "$status"
expect_eq "database too large: reported once" "nerlo-scan: $work/db-big/database.db: cannot be loaded: the file is too large" "$(cat "$work/err")"
expect_eq "database too large: summary" "$(summary_of 3 0 0)" "$summary"
run_scan --db-dir "$work/db-big" "$found/heur.txt"
expect_eq "database too large but found: status" 1 "$status"
# Both read side by side, and both reported, in the order of their names.
truncate -s 2G "$work/db-big/tdb.ldb"
run_scan --db-dir "$work/db-big" "$clean"
expect_eq "both databases too large: reported in order" "nerlo-scan: $work/db-big/database.db: cannot be loaded: the file is too large
nerlo-scan: $work/db-big/tdb.ldb: cannot be loaded: the file is too large" "$(cat "$work/err")"
expect_eq "both databases too large: status" 2 "$status"
rm -f "$work/db-big/database.db" "$work/db-big/tdb.ldb"

# A database that is no regular file holds nothing, and that is no empty database.
mkdir -p "$work/db-fifo"
cp "$db/database.db" "$db/heuristics.db" "$work/db-fifo/"
mkfifo "$work/db-fifo/tdb.ldb"
run_scan --db-dir "$work/db-fifo" "$clean"
expect_eq "database FIFO: status" 2 "$status"
grep -q "^nerlo-scan: $work/db-fifo/tdb.ldb: cannot be loaded: " "$work/err" || fail "database FIFO not reported: $(cat "$work/err")"

# A database that cannot be read, as a user who may not read it.
mkdir -p "$work/db-locked"
cp "$db/database.db" "$db/tdb.ldb" "$db/heuristics.db" "$work/db-locked/"
chmod 000 "$work/db-locked/tdb.ldb"
as_user=()
if [ "$(id -u)" = 0 ]; then
  chmod 755 "$work"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
status=0
"${as_user[@]}" "$scan" --quiet --db-dir "$work/db-locked" "$clean" >"$work/out" 2>"$work/err" || status=$?
expect_eq "unreadable database: status" 2 "$status"
expect_eq "unreadable database: reported" "nerlo-scan: $work/db-locked/tdb.ldb: cannot be loaded: Permission denied" "$(cat "$work/err")"
chmod 700 "$work"

# Garbage databases: no detection, no crash; an empty tdb.ldb holds no entry and is no error.
mkdir -p "$work/db3"
head -c 100000 /dev/urandom >"$work/db3/database.db"
printf '' >"$work/db3/tdb.ldb"
printf '\0\0garbage' >"$work/db3/heuristics.db"
run_scan --db-dir "$work/db3" "$work/single"
expect_eq "garbage databases status" 2 "$status"  # heuristics.db starts with a zero byte
expect_eq "garbage databases stderr" "nerlo-scan: List index out of bounds (0)" "$(cat "$work/err")"
expect_eq "garbage databases summary" "$(summary_of 4 0 0)" "$summary"

# ---- The default databases beside the program find the test file ----------------------------
mkdir -p "$work/default"
make_test_file "$work/default/eicar.com"
run_scan "$work/default"
expect_eq "default databases" "$(printf '%s\n%s' "$work/default/eicar.com: Infected! [hash]" "$work/default/eicar.com: Infected! [heuristic 1]")" "$detections"

# ---- Under --delete, a removed file gets no window hits of the file before it ------------------
# Two plain files and four that carry a heuristic string, every window of each in the window
# database: report-only gives 6 x 8 window hits and 4 heuristic hits; --delete removes the four
# at their heuristic hit, so that only the plain files' 2 x 8 window hits remain besides.
db4="$work/db4"
mkdir -p "$db4" "$work/removed"
printf 'MARKER-ALPHA\n' >"$db4/list.txt"
"$sigtool" --db-dir "$db4" heuristics "$db4/list.txt"
for name in plain1 marked1 marked2 plain2 marked3 marked4; do
  make_bytes "$work/removed/$name" 700
  case "$name" in marked*) printf 'MARKER-ALPHA' >>"$work/removed/$name" ;; esac
  "$sigtool" --db-dir "$db4" windows "$work/removed/$name"
done
run_scan --db-dir "$db4" "$work/removed"
expect_eq "removed files: report-only" "$(summary_of 6 52 0)" "$summary"
run_scan --db-dir "$db4" --delete "$work/removed"
expect_eq "removed files: --delete" "$(summary_of 6 20 6)" "$summary"
expect_eq "removed files: no window hit of a removed file" "" \
  "$(grep -a '/removed/marked.*\[window' <<<"$detections" || true)"

# ---- Not quiet: the summary is still the last lines -----------------------------------------
"$scan" --db-dir "$db" "$work/single/sub" >"$work/out" 2>&1 || true
expect_eq "verbose summary" "$(summary_of 1 2 0)" "$(tail -n 5 "$work/out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all nerlo-scan end-to-end checks passed"
