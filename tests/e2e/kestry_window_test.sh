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
work="$(mktemp -d)"
source "$here/lib/xvfb.sh"
require_x_tools
cleanup() {
  stop_x_test
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT
source "$here/kestry_test_util.sh"

# wait_line PATTERN: until the program's output holds a line matching PATTERN.
wait_line() {
  local deadline=$((SECONDS + limit))
  until grep -q -a -E -- "$1" "$work/kestry.log"; do
    [ "$SECONDS" -lt "$deadline" ] || die "no line matching '$1' within $limit s"
    sleep 0.1
  done
}

# updater_window: the id of the updater's window, once shown.
updater_window() { find_window "Nerlo signature update"; }

# click_button: clicks the button in the window's bottom right corner (Cancel, later Close).
click_button() {
  local id
  id="$(updater_window)"
  unset WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$id")"
  xdotool mousemove --window "$id" $((WIDTH - 50)) $((HEIGHT - 24))
  sleep 0.2
  xdotool click 1
}

# shot NAME: the window's picture as NAME.png in NERLO_SCREENSHOTS, when that is set.
shot() {
  [ -z "${NERLO_SCREENSHOTS:-}" ] || screenshot "$NERLO_SCREENSHOTS/$1.png" "$(updater_window)"
}

# expect_exit STATUS: the program ends with that status.
expect_exit() {
  wait_exit
  [ "$app_status" -eq "$1" ] || die "kestry ended with status $app_status, not $1"
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

start_xvfb 1024x768
# On a real display Qt's platform plugins (D-Bus among them) keep allocations until exit that
# a sanitized build would report as leaks; they are not the updater's.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
root="$work/data/nerlo"

# ---- First run: progress, Cancel, the outcome, Close --------------------------------------
"$kestry" --root "$root" --config "$work/update.ini" --keys "$work/keys" >"$work/kestry.log" 2>&1 &
app_pid=$!
updater_window >/dev/null
# The mirror has sent half of the file and waits: the window shows bytes received.
wait_line '^kestry: [0-9.]+ kB of [0-9.]+ kB \([1-9][0-9]*%\)'
shot progress
click_button
wait_line '^kestry: Update cancelled\. Nothing was installed\.$'
shot cancelled
[ -e "$root/current" ] && die "a cancelled run installed a set"
grep -q '^\.incoming-' < <(ls -a "$root" 2>/dev/null) && die "a cancelled run left its staging folder"
click_button
expect_exit 1

# ---- Second run: the mirror lets the file through ----------------------------------------
touch "$work/state/release"
"$kestry" --root "$root" --config "$work/update.ini" --keys "$work/keys" >"$work/kestry.log" 2>&1 &
app_pid=$!
updater_window >/dev/null
wait_line '^kestry: Updated the signatures from none to version 7 '
shot updated
[ "$(readlink "$root/current")" = "sets/7" ] || die "the set was not installed"
click_button
expect_exit 0
echo "kestry window: progress, Cancel, outcome and Close on Xvfb"
