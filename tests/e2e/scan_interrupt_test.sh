#!/usr/bin/env bash
# End-to-end test of Ctrl-C during a nerlo-scan run: the walk stops, the summary is printed
# and the exit status is 130, also when something was found before.
# Usage: scan_interrupt_test.sh BIN_DIR
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

# The interrupt must land while the walk is still going, however fast the scan is. Every
# file found is one line on standard output, and the output goes into a pipe that the test
# stops reading after the first detection: with far more detection lines than a pipe holds
# (64 KiB), the scanner is held in its walk, blocked in a write, until the test reads on,
# which it does only after the interrupt.
eicar='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'
big="$work/big"
found=6000
clean=2000
total=$((found + clean))
mkdir -p "$big/found" "$big/clean"
(cd "$big/found" && set +o pipefail && yes "$eicar" | tr -d '\n' | head -c $((${#eicar} * found)) | split -b ${#eicar} -a 4 - e)
(cd "$big/clean" && head -c $((700 * clean)) /dev/urandom | split -b 700 -a 4 - f)

# wait_for_walk PID: returns once the scan has started its walk (or has ended).
wait_for_walk() {
  for _ in $(seq 1 400); do
    grep -q '^Scanning: ' "$work/out" 2>/dev/null && return 0
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.05
  done
}

mkfifo "$work/pipe"
# A shell without job control starts background commands with the interrupt ignored; give
# the scanner the default action, as a terminal's Ctrl-C would find it.
env --default-signal=INT "$scan" "$big" >"$work/pipe" 2>"$work/err" &
pid=$!
exec 3<"$work/pipe"
: >"$work/out"
while IFS= read -r line <&3; do
  printf '%s\n' "$line" >>"$work/out"
  case "$line" in *": Infected! "*) break ;; esac
done
kill -INT "$pid" 2>/dev/null || fail "the scan had ended before the interrupt"
cat <&3 >>"$work/out"
exec 3<&-
status=0
wait "$pid" || status=$?
[ "$status" = 130 ] || fail "interrupted scan: exit status $status, expected 130"
scanned="$(sed -n 's/^Files scanned: \([0-9]*\)$/\1/p' "$work/out")"
[ -n "$scanned" ] || fail "no summary after the interrupt: $(tail -n 3 "$work/out")"
[ "${scanned:-0}" -lt "$total" ] || fail "the walk went on to the end after the interrupt"
grep -q '^Infected: [1-9]' "$work/out" || fail "the detection before the interrupt is not counted"
grep -q '^Not examined: 0$' "$work/out" || fail "Not examined line missing"
grep -q '^Too large (5 MiB or more), not examined: 0$' "$work/out" || fail "too large line missing"
grep -q '^nerlo-scan: interrupted' "$work/err" || fail "the interrupt is not mentioned: $(cat "$work/err")"

# Started with the interrupt ignored (nohup, a background job), the scanner leaves it so.
small="$work/small"
mkdir -p "$small"
(cd "$small" && head -c $((700 * 1000)) /dev/urandom | split -b 700 -a 3 - f)
"$scan" "$small" >"$work/out" 2>"$work/err" &
pid=$!
wait_for_walk "$pid"
kill -INT "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
[ "$status" = 0 ] || fail "scan with the interrupt ignored: exit status $status, expected 0"
grep -q "^Files scanned: 1000$" "$work/out" || fail "scan with the interrupt ignored did not end its walk: $(cat "$work/out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all nerlo-scan interrupt checks passed"
