#!/usr/bin/env bash
# The updater's window on a virtual X server (Xvfb), driven with xdotool: a run whose download
# the mirror holds half-way shows its progress, Cancel ends it with the installed set unchanged
# and says so, Close ends the program with status 1; a second run installs the set and
# says so, and Close ends it with status 0. With NERLO_SCREENSHOTS=DIR the three states are
# saved there as PNG pictures (ImageMagick's import).
# Usage: kestry_window_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
kestry="$bin/kestry"
sigtool="$bin/nerlo-sigtool"
[ -x "$kestry" ] || { echo "SKIP: kestry was not built"; exit 77; }
for tool in Xvfb xdotool python3; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/install-deps)" >&2; exit 1; }
done
work="$(mktemp -d)"
xvfb_pid=""
kestry_pid=""
cleanup() {
  [ -n "$kestry_pid" ] && kill "$kestry_pid" 2>/dev/null || true
  stop_server
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
source "$here/kestry_test_util.sh"
limit="${NERLO_TEST_TIMEOUT:-60}"

die() {
  echo "FAIL: $*" >&2
  for log in "$work/kestry.log" "$work/xvfb.log"; do
    [ -s "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
  done
  exit 1
}

# wait_line PATTERN: until the program's output holds a line matching PATTERN.
wait_line() {
  local deadline=$((SECONDS + limit))
  until grep -q -a -E -- "$1" "$work/kestry.log"; do
    [ "$SECONDS" -lt "$deadline" ] || die "no line matching '$1' within $limit s"
    sleep 0.1
  done
}

find_window() {
  local deadline=$((SECONDS + limit)) id
  while [ "$SECONDS" -lt "$deadline" ]; do
    id="$(xdotool search --onlyvisible --name '^Nerlo signature update$' 2>/dev/null || true)"
    id="${id%%$'\n'*}"
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.2
  done
  die "no updater window within $limit s"
}

# click_button: clicks the button in the window's bottom right corner (Cancel, later Close).
click_button() {
  local id
  id="$(find_window)"
  unset WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$id")"
  xdotool mousemove --window "$id" $((WIDTH - 50)) $((HEIGHT - 24))
  sleep 0.2
  xdotool click 1
}

screenshot() {
  [ -n "${NERLO_SCREENSHOTS:-}" ] || return 0
  command -v import >/dev/null || return 0
  mkdir -p "$NERLO_SCREENSHOTS"
  import -window "$(find_window)" "$NERLO_SCREENSHOTS/$1.png"
}

# wait_exit EXPECTED: the program ends with status EXPECTED.
wait_exit() {
  local deadline=$((SECONDS + limit)) status=0
  while kill -0 "$kestry_pid" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || die "kestry still running after Close"
    sleep 0.1
  done
  wait "$kestry_pid" || status=$?
  kestry_pid=""
  [ "$status" -eq "$1" ] || die "kestry ended with status $status, not $1"
}

# ---- A mirror whose heuristics database is held half-way ---------------------------------
mkdir -p "$work/db" "$work/keys"
head -c 1000 /dev/urandom >"$work/sample.bin"
"$sigtool" --db-dir "$work/db" hash "$work/sample.bin" >/dev/null
head -c 150000 /dev/urandom | od -An -tx1 | tr -d ' ' | grep -v '^$' >"$work/list.txt"
"$sigtool" --db-dir "$work/db" heuristics "$work/list.txt" >/dev/null
"$sigtool" keygen "$work/key" >/dev/null
cp "$work/key.pub" "$work/keys/"
"$sigtool" publish --key "$work/key" --version 7 --out "$work/mirror" "$work/db" >/dev/null
heuristics="$(sha256sum <"$work/db/heuristics.db" | cut -d' ' -f1)"
start_server "$work/mirror" "$work/state"
echo "{\"/files/$heuristics\": \"hold\"}" >"$work/state/faults.json"
write_config "$work/update.ini" "$url" "$ca"

Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$work/display" \
  >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || die "Xvfb did not start"
  sleep 0.1
done
[ -s "$work/display" ] || die "Xvfb gave no display number"
export DISPLAY=":$(cat "$work/display")"
# On a real display Qt's platform plugins (D-Bus among them) keep allocations until exit that
# a sanitized build would report as leaks; they are not the updater's.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
root="$work/data/nerlo"

# ---- First run: progress, Cancel, the outcome, Close --------------------------------------
"$kestry" --root "$root" --config "$work/update.ini" --keys "$work/keys" >"$work/kestry.log" 2>&1 &
kestry_pid=$!
find_window >/dev/null
# The mirror has sent half of the file and waits: the window shows bytes received.
wait_line '^kestry: [0-9.]+ kB of [0-9.]+ kB \([1-9][0-9]*%\)'
screenshot progress
click_button
wait_line '^kestry: Update cancelled\. Nothing was installed\.$'
screenshot cancelled
[ -e "$root/current" ] && die "a cancelled run installed a set"
grep -q '^\.incoming-' < <(ls -a "$root" 2>/dev/null) && die "a cancelled run left its staging folder"
click_button
wait_exit 1

# ---- Second run: the mirror lets the file through ----------------------------------------
touch "$work/state/release"
"$kestry" --root "$root" --config "$work/update.ini" --keys "$work/keys" >"$work/kestry.log" 2>&1 &
kestry_pid=$!
find_window >/dev/null
wait_line '^kestry: Updated the signatures from none to version 7 '
screenshot updated
[ "$(readlink "$root/current")" = "sets/7" ] || die "the set was not installed"
click_button
wait_exit 0
echo "kestry window: progress, Cancel, outcome and Close on Xvfb"
