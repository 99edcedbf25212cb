#!/usr/bin/env bash
# End-to-end tests of the quarantine: nerlo-scan --delete keeps what it deletes and says so in
# its last summary line; nerlo-quarantine lists, restores (bytes, mode, time; never over a
# file), exports, removes and purges; Keep=0 in the settings deletes without keeping.
# Usage: quarantine_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
sigtool="$bin/nerlo-sigtool"
tool="$bin/nerlo-quarantine"
[ -x "$tool" ] || exit 77
work="$(mktemp -d)"
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
export NERLO_QUARANTINE_DIR="$work/quarantine"
export XDG_CONFIG_HOME="$work/config"
# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

db="$work/db"
mkdir -p "$db" "$work/tree/sub"
printf 'nerlo-quarantine-test-mark\n' >"$work/list.txt"
"$sigtool" heuristics "$work/list.txt" --db-dir "$db" >/dev/null
printf 'clean\n' >"$work/tree/clean.txt"
printf 'a nerlo-quarantine-test-mark b' >"$work/tree/one.bin"
chmod 0640 "$work/tree/one.bin"
touch -d '2001-02-03 04:05:06.5' "$work/tree/one.bin"
name=$'two\nlines\xff.bin'
printf 'nerlo-quarantine-test-mark two' >"$work/tree/sub/$name"
cp -p "$work/tree/one.bin" "$work/one.orig"
# Its mark lies past the bytes that a file read ahead keeps for the walk: what is kept must
# still be the whole file, with hashes that a restore accepts.
{ head -c 3000 /dev/urandom; printf 'nerlo-quarantine-test-mark'; head -c 1000 /dev/urandom; } \
  >"$work/tree/sub/long.bin"
cp -p "$work/tree/sub/long.bin" "$work/long.orig"

status=0
"$scan" --quiet --delete --db-dir "$db" "$work/tree" >"$work/out" 2>"$work/err" || status=$?
[ "$status" = 1 ] || fail "scan exit status $status"
[ "$(tail -n 1 "$work/out")" = "Quarantined: 3 (restore with nerlo-quarantine)" ] ||
  fail "last summary line: $(tail -n 1 "$work/out")"
grep -q '^Removed: 3$' "$work/out" || fail "removed count"
[ ! -e "$work/tree/one.bin" ] && [ ! -e "$work/tree/sub/$name" ] || fail "detections not deleted"
[ "$(stat -c %a "$work/quarantine")" = 700 ] || fail "quarantine folder mode"

"$tool" list >"$work/list" 2>"$work/err" || fail "list failed"
[ "$(wc -l <"$work/list")" = 3 ] || fail "list: $(cat "$work/list")"
grep -q "  30  $work/tree/one.bin  \[heuristic 1\]$" "$work/list" || fail "list line of one.bin"
grep -aqF 'two\nlines' "$work/list" || fail "escaped odd name in the list"
id_one="$(grep -F "/one.bin" "$work/list" | cut -d' ' -f1)"
id_two="$(grep -aF 'two\n' "$work/list" | cut -d' ' -f1)"
id_long="$(grep -F "/long.bin" "$work/list" | cut -d' ' -f1)"
"$tool" restore "$id_long" >/dev/null || fail "restore of long.bin failed"
cmp -s "$work/long.orig" "$work/tree/sub/long.bin" || fail "restored bytes of long.bin differ"

# Restore: bytes, mode and time back; then no entry any more.
"$tool" restore "$id_one" >"$work/out" || fail "restore failed"
cmp -s "$work/one.orig" "$work/tree/one.bin" || fail "restored bytes differ"
[ "$(stat -c %a "$work/tree/one.bin")" = 640 ] || fail "restored mode"
[ "$(stat -c %y "$work/tree/one.bin")" = "$(stat -c %y "$work/one.orig")" ] || fail "restored time"
status=0
"$tool" restore "$id_one" 2>"$work/err" || status=$?
[ "$status" = 1 ] && grep -q "no quarantine entry" "$work/err" || fail "second restore: $status"

# Never over an existing file; --to a new path works; export writes the original bytes.
printf 'newer' >"$work/tree/sub/$name"
status=0
"$tool" restore "$id_two" 2>"$work/err" || status=$?
[ "$status" = 1 ] && grep -q "exists; it is not replaced (restore with --to PATH)" "$work/err" ||
  fail "restore over a file: $status $(cat "$work/err")"
[ "$(cat "$work/tree/sub/$name")" = newer ] || fail "existing file was touched"
"$tool" export "$id_two" "$work/sample" >/dev/null || fail "export"
[ "$(cat "$work/sample")" = "nerlo-quarantine-test-mark two" ] || fail "exported bytes"
"$tool" restore "$id_two" --to "$work/elsewhere.bin" >/dev/null || fail "restore --to"
[ "$(cat "$work/elsewhere.bin")" = "nerlo-quarantine-test-mark two" ] || fail "--to bytes"

# remove and purge; usage errors.
printf 'x nerlo-quarantine-test-mark' >"$work/tree/three.bin"
"$scan" --quiet --delete --db-dir "$db" "$work/tree/three.bin" >/dev/null 2>&1 || true
id_three="$("$tool" list | cut -d' ' -f1)"
"$tool" remove "$id_three" >/dev/null || fail "remove"
[ -z "$("$tool" list 2>/dev/null)" ] || fail "entry left after remove"
printf 'x nerlo-quarantine-test-mark' >"$work/tree/four.bin"
"$scan" --quiet --delete --db-dir "$db" "$work/tree/four.bin" >/dev/null 2>&1 || true
[ "$("$tool" purge --older-than 1)" = "Removed: 0" ] || fail "purge --older-than 1"
[ "$("$tool" purge)" = "Removed: 1" ] || fail "purge"
for args in "" "frobnicate" "restore" "export x" "list --to x" "purge --older-than z"; do
  status=0
  # shellcheck disable=SC2086
  "$tool" $args >/dev/null 2>&1 || status=$?
  [ "$status" = 2 ] || fail "usage '$args' gave $status"
done

# Keep=0: plain deletion, no summary line, nothing kept.
mkdir -p "$work/config/nerlo"
printf '[Quarantine]\nKeep=0\n' >"$work/config/nerlo/nerlo.ini"
printf 'x nerlo-quarantine-test-mark' >"$work/tree/five.bin"
"$scan" --quiet --delete --db-dir "$db" "$work/tree/five.bin" >"$work/out" 2>&1 || true
[ ! -e "$work/tree/five.bin" ] || fail "Keep=0 did not delete"
! grep -q Quarantined "$work/out" || fail "Keep=0 printed a quarantine line"
[ -z "$("$tool" list 2>/dev/null)" ] || fail "Keep=0 kept a copy"

# A quota smaller than the file: not deleted, and the line says why.
printf '[Quarantine]\nMaxSizeMB=1\n' >"$work/config/nerlo/nerlo.ini"
{ head -c 1100000 /dev/zero; printf 'nerlo-quarantine-test-mark'; } >"$work/tree/big.bin"
"$scan" --quiet --delete --db-dir "$db" "$work/tree/big.bin" >"$work/out" 2>&1 || true
grep -qF "big.bin: Infected! Not deleted. (larger than the quarantine's limit of 1 MiB) [heuristic 1]" \
  "$work/out" || fail "quota line: $(cat "$work/out")"
[ -e "$work/tree/big.bin" ] || fail "file over the quota was deleted"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "quarantine: all passed"
