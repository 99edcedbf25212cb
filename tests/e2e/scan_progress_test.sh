#!/usr/bin/env bash
# End-to-end test of nerlo-scan --progress on a pseudo-terminal (script(1) provides it): the
# progress line is redrawn in place, never reaches the terminal's last column, follows the
# width the terminal reports (80 when it reports none) and never carries a raw control byte.
# Usage: scan_progress_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
# Thousands of small files: a memory file system, when there is one, keeps their creation and
# removal from dominating the run.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then work="$(mktemp -d -p /dev/shm)"; else work="$(mktemp -d)"; fi
# Files deleted by the scans are kept here, not in the real quarantine.
export NERLO_QUARANTINE_DIR="$work/quarantine"
trap 'rm -rf "$work"' EXIT
# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

if ! command -v script >/dev/null 2>&1; then
  echo "script(1) is not installed: no pseudo-terminal to test --progress on" >&2
  exit 77
fi

# Deep, long names (UTF-8, and bytes that must be escaped) so that every path is wider than
# any terminal tested; enough files for the line to be redrawn several times.
deep="$work/tree/$(printf 'd%.0s' {1..70})/"$'\xc3\xa9t\xc3\xa9-\xe6\x97\xa5\xe6\x9c\xac-tab\there-esc\e[31m'"/$(printf 'e%.0s' {1..70})"
mkdir -p "$deep"
(cd "$deep" && head -c $((700 * 6000)) /dev/urandom | split -b 700 -a 3 - "$(printf 'f%.0s' {1..40})")
printf '%s%s%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}' '$EICAR-STANDARD-' 'ANTIVIRUS-' 'TEST-FILE!$H+H*' >"$deep/eicar.com"

# progress_run COLUMNS: scans the tree with stderr on a terminal of COLUMNS columns (0: the
# terminal tells no width), leaving what the terminal received in $work/tty and standard
# output in $work/out.
progress_run() {
  script -q -e -c "stty cols $1 rows 24; '$scan' --progress --quiet '$work/tree' >'$work/out'" /dev/null \
    </dev/null >"$work/tty" || true
}

# check_lines NAME LIMIT: every redraw fits in LIMIT bytes; leaves the longest in $longest.
check_lines() {
  local name="$1" limit="$2"
  # Each redraw is "\r", the line, then "erase to the end of the line".
  [ "$(tr -d -c '\n' <"$work/tty" | wc -c)" = 0 ] || fail "$name: the progress went to a new line"
  local lines
  lines="$(LC_ALL=C sed -e $'s/\e\\[K//g' "$work/tty" | tr '\r' '\n')"
  if LC_ALL=C grep -q -a $'\e' <<<"$lines"; then fail "$name: a raw escape byte reached the terminal"; fi
  local count
  count="$(grep -c -a '^Scanned: [0-9]*  Infected: [0-9]*  Removed: [0-9]*' <<<"$lines" || true)"
  [ "$count" -ge 2 ] || fail "$name: the progress line was drawn $count times"
  longest="$(LC_ALL=C awk '{ if (length($0) > max) max = length($0) } END { print max + 0 }' <<<"$lines")"
  [ "$longest" -le "$limit" ] || fail "$name: a line of $longest bytes on a terminal of $((limit + 1)) columns"
}

progress_run 50
check_lines "50 columns" 49
[ "$longest" = 49 ] || fail "50 columns: lines use $longest columns, not the 49 at hand"
grep -q '^Files scanned: 6001$' "$work/out" || fail "50 columns: summary $(cat "$work/out")"
grep -q 'eicar.com: Infected! \[hash\]$' "$work/out" || fail "50 columns: detection missing"
# The line is taken away at the end, so that the shell prompt starts in the first column.
[ "$(tail -c 4 "$work/tty" | od -An -c | tr -d ' ')" = '\r033[K' ] || fail "the last progress line is not erased"

progress_run 0
check_lines "unknown width" 79
[ "$longest" = 79 ] || fail "unknown width: lines use $longest columns, not 79 of 80"

progress_run 200
check_lines "200 columns" 199

# Standard error not a terminal: no progress at all.
"$scan" --progress --quiet "$work/tree" >"$work/out" 2>"$work/err" || true
[ -s "$work/err" ] && fail "progress drawn on a stream that is no terminal: $(head -c 200 "$work/err")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all nerlo-scan progress checks passed"
