#!/usr/bin/env bash
# nerlo-sigtool end to end: builds databases, shows them, and checks bytes, appends and refusals.
set -euo pipefail

BIN_DIR=$1
TOOL="$BIN_DIR/nerlo-sigtool"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
DB="$WORK/db"
mkdir "$DB"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs the tool, keeping its status in $status and its streams in $WORK/out and $WORK/err.
run() {
  status=0
  "$TOOL" "$@" >"$WORK/out" 2>"$WORK/err" || status=$?
}

expect_status() {
  [[ $status -eq $1 ]] || fail "expected exit $1, got $status: $(cat "$WORK/err")"
}

# The upper-case MD5 text of a file, then as the cipher stores it: each byte shifted up by 13.
md5_text() { md5sum "$1" | cut -c1-32 | tr 'a-f' 'A-F'; }
shift13() { tr '0-9A-F' '=-FN-S'; }
# The upper-case hex text of count bytes of a file from offset.
hex_at() { od -An -v -tx1 -j "$2" -N "$3" "$1" | tr -d ' \n' | tr 'a-f' 'A-F'; }

# Files of known length with bytes that differ from offset to offset.
make_file() { head -c "$2" /dev/urandom >"$1"; }
make_file "$WORK/one" 700
make_file "$WORK/two" 1000
make_file "$WORK/mid" 500
make_file "$WORK/short" 431

# ---- usage -------------------------------------------------------------------------------
run --help
expect_status 0
grep -q '^Usage: nerlo-sigtool COMMAND' "$WORK/out" || fail "--help prints no usage"
for args in "" "frobnicate" "hash" "show" "show a b" "heuristics" "--bogus hash $WORK/one" \
  "hash --db-dir"; do
  # shellcheck disable=SC2086
  run $args
  expect_status 2
  grep -q '^nerlo-sigtool: ' "$WORK/err" || fail "no message for '$args'"
  grep -q 'Usage:' "$WORK/err" || fail "no usage on stderr for '$args'"
done
[[ ! -e "$DB/database.db" ]] || fail "a usage error wrote a database"

# ---- hash --------------------------------------------------------------------------------
run --db-dir "$DB" hash "$WORK/one"
expect_status 0
{ md5_text "$WORK/one" | tr -d '\n' | shift13; printf '\r\n'; } >"$WORK/expected"
cmp "$DB/database.db" "$WORK/expected" || fail "database.db is not the shifted MD5 text"

# --db-dir after the command; the old entry stays, CR LF between the two.
run hash "$WORK/two" --db-dir "$DB"
expect_status 0
{ md5_text "$WORK/two" | tr -d '\n' | shift13; printf '\r\n'; } >>"$WORK/expected"
cmp "$DB/database.db" "$WORK/expected" || fail "append lost or changed an entry"

# An entry already present is not written twice (it would count as two detections).
run --db-dir "$DB" hash "$WORK/one"
expect_status 0
grep -q 'already in database.db' "$WORK/err" || fail "no note about the duplicate"
cmp "$DB/database.db" "$WORK/expected" || fail "duplicate entry appended"

# A file that cannot be read: nothing is written, the message names it.
run --db-dir "$DB" hash "$WORK/mid" "$WORK/missing"
expect_status 1
grep -q "$WORK/missing" "$WORK/err" || fail "message does not name the missing file"
cmp "$DB/database.db" "$WORK/expected" || fail "failed hash run changed database.db"

# An old database without a final line end gets one before the next entry.
printf 'junk' >"$WORK/db/database.db"
run --db-dir "$DB" hash "$WORK/mid"
expect_status 0
{ printf 'junk\r\n'; md5_text "$WORK/mid" | tr -d '\n' | shift13; printf '\r\n'; } \
  >"$WORK/expected-junk"
cmp "$DB/database.db" "$WORK/expected-junk" || fail "no CR LF after an unterminated entry"
cp "$WORK/expected" "$DB/database.db"

run --db-dir "$DB" show database.db
expect_status 0
{ md5_text "$WORK/one"; md5_text "$WORK/two"; } >"$WORK/expected-show"
diff "$WORK/out" "$WORK/expected-show" || fail "show database.db"

# ---- windows -----------------------------------------------------------------------------
run --db-dir "$DB" windows "$WORK/one" "$WORK/mid"
expect_status 0
{
  hex_at "$WORK/one" 400 32; echo
  for first in 432 465 498 531 564 597 630; do hex_at "$WORK/one" $first 33; echo; done
  # 500 bytes hold windows 1 to 3 only.
  hex_at "$WORK/mid" 400 32; echo
  hex_at "$WORK/mid" 432 33; echo
  hex_at "$WORK/mid" 465 33; echo
} >"$WORK/expected-windows"
run --db-dir "$DB" show "$DB/tdb.ldb"
expect_status 0
diff "$WORK/out" "$WORK/expected-windows" || fail "show tdb.ldb"
# Byte-exact: every entry shifted and followed by CR LF.
while read -r line; do printf '%s\r\n' "$(printf '%s' "$line" | shift13)"; done \
  <"$WORK/expected-windows" >"$WORK/expected-tdb"
cmp "$DB/tdb.ldb" "$WORK/expected-tdb" || fail "tdb.ldb bytes"

# A file too short for any window: nothing is written, even for the good file beside it.
cp "$DB/tdb.ldb" "$WORK/tdb-before"
run --db-dir "$DB" windows "$WORK/two" "$WORK/short"
expect_status 1
grep -q "$WORK/short.*no byte window" "$WORK/err" || fail "short file not named: $(cat "$WORK/err")"
cmp "$DB/tdb.ldb" "$WORK/tdb-before" || fail "failed windows run changed tdb.ldb"

# ---- heuristics --------------------------------------------------------------------------
printf 'abc\r\nklm\n' >"$WORK/simple.txt"
run --db-dir "$DB" heuristics "$WORK/simple.txt"
expect_status 0
# a..m shift to n..z; the CR LF between the strings to bytes 26 and 23.
printf 'nop\032\027xyz\r\n' >"$WORK/expected-heur"
cmp "$DB/heuristics.db" "$WORK/expected-heur" || fail "heuristics.db bytes"

printf 'plain text\nback\\\\slash\nbytes \\x01\\xfe\\x7F\\x0D end\nlast' >"$WORK/list.txt"
run --db-dir "$DB" heuristics "$WORK/list.txt"
expect_status 0
run --db-dir "$DB" show heuristics.db
expect_status 0
printf 'plain text\nback\\\\slash\nbytes \\x01\\xFE\\x7F\\x0D end\nlast\n' >"$WORK/expected-list"
diff "$WORK/out" "$WORK/expected-list" || fail "show heuristics.db"
# What show prints is a list that gives the same database again.
cp "$WORK/out" "$WORK/shown.txt"
cp "$DB/heuristics.db" "$WORK/heur-before"
run --db-dir "$DB" heuristics "$WORK/shown.txt"
expect_status 0
cmp "$DB/heuristics.db" "$WORK/heur-before" || fail "show output does not round-trip"

# Refused lists leave heuristics.db as it was and name the line.
check_refused() {
  printf "$1" >"$WORK/bad.txt"
  run --db-dir "$DB" heuristics "$WORK/bad.txt"
  expect_status 1
  grep -q "$2" "$WORK/err" || fail "refusal message for '$1': $(cat "$WORK/err")"
  cmp "$DB/heuristics.db" "$WORK/heur-before" || fail "refused list changed heuristics.db"
}
check_refused 'good\n\nmore\n' 'line 2 ("").*empty'
check_refused 'good\nnul\\x00\n' 'line 2.*zero byte'
check_refused 'a\\x0D\\x0Ab\n' 'line 1.*CR LF pair'
check_refused 'ok\nbad\\n\n' 'line 2.*bad escape'
check_refused '' 'no heuristic string'
check_refused 'x\\xF3\n' 'line 1.*encoded form'  # 0xF3 + 13 wraps to 0
run --db-dir "$DB" heuristics "$WORK/missing"
expect_status 1

# ---- default database directory: the program's own -------------------------------------
mkdir "$WORK/bin"
cp "$TOOL" "$WORK/bin/"
status=0
(cd "$WORK" && "$WORK/bin/nerlo-sigtool" hash one) 2>"$WORK/err" || status=$?
expect_status 0
{ md5_text "$WORK/one" | tr -d '\n' | shift13; printf '\r\n'; } >"$WORK/expected-default"
cmp "$WORK/bin/database.db" "$WORK/expected-default" || fail "default directory not used"

# No temporary file is ever left behind.
leftovers=$(find "$WORK" -name '.*.tmp-*' | wc -l)
[[ $leftovers -eq 0 ]] || fail "temporary files left behind"

echo "sigtool e2e: all checks passed"
