#!/usr/bin/env bash
# End-to-end test of restoring from the quarantine through the desktop program: starts the real
# nerlo on a virtual X server and, as a user would with xdotool, scans a folder under "Delete
# them", closes the results, right-clicks the deleted file's row in the scanner window and
# chooses "Restore" from its context menu. The file must be back byte for byte, with its mode
# and modification time, and the quarantine empty again. With NERLO_SCREENSHOT_DIR set, the
# open menu is saved there as result-menu.png.
# Usage: desktop_restore_test.sh BIN_DIR
# Exit status 77 (skipped) only when the desktop program was not built.
set -euo pipefail
bin="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
nerlo="$bin/nerlo"
if [ ! -x "$nerlo" ]; then
  echo "SKIP: the desktop program $nerlo was not built"
  exit 77
fi
for tool in Xvfb xdotool python3; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/install-deps)" >&2; exit 1; }
done

work="$(mktemp -d)"
export NERLO_QUARANTINE_DIR="$work/quarantine"
xvfb_pid=""
nerlo_pid=""
cleanup() {
  if [ -n "$nerlo_pid" ] && kill -0 "$nerlo_pid" 2>/dev/null; then kill "$nerlo_pid" || true; fi
  if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then kill "$xvfb_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

die() {
  echo "FAIL: $*" >&2
  for log in "$work/nerlo.log" "$work/xvfb.log"; do
    [ -s "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
  done
  exit 1
}

# A timeout scaled for slow builds (sanitizers): NERLO_TEST_TIMEOUT seconds per wait.
limit="${NERLO_TEST_TIMEOUT:-60}"

# ---- The folder to scan: one detection, with a mode and a time of its own ------------------
tree="$work/tree"
mkdir -p "$tree/downloads"
cmake -DOUT_DIR="$work/samples" -P "$here/../../data/make_samples.cmake"
victim="$tree/downloads/report.com"
cp "$work/samples/eicar.com" "$victim"
printf 'padding that makes the file its own' >>"$victim"
chmod 0604 "$victim"
touch -d '2003-04-05 06:07:08.123456789' "$victim"
cp -p "$victim" "$work/original"

# ---- X server and program ------------------------------------------------------------------
# Xvfb picks a free display itself and writes its number to descriptor 3.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp 3>"$work/display" \
  >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || die "Xvfb did not start"
  sleep 0.1
done
[ -s "$work/display" ] || die "Xvfb gave no display number"
DISPLAY=":$(head -n1 "$work/display")"
export DISPLAY
unset WAYLAND_DISPLAY QT_QPA_PLATFORM QT_QPA_PLATFORMTHEME XDG_SESSION_TYPE

config="$work/config"
mkdir -p "$config"
XDG_CONFIG_HOME="$config" ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
  "$nerlo" >"$work/nerlo.log" 2>&1 &
nerlo_pid=$!

# find_window TITLE WIDTH HEIGHT: prints the id of the visible window of that title and client
# size, waiting for it up to $limit seconds. The launcher and the scan-target dialog are both
# called "Nerlo"; their sizes tell them apart.
find_window() {
  local deadline=$((SECONDS + limit)) id
  while [ "$SECONDS" -lt "$deadline" ]; do
    kill -0 "$nerlo_pid" 2>/dev/null || die "nerlo ended while waiting for \"$1\""
    for id in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null || true); do
      unset WIDTH HEIGHT
      eval "$(xdotool getwindowgeometry --shell "$id" 2>/dev/null || true)"
      if [ -z "${2:-}" ] || { [ "${WIDTH:-}" = "$2" ] && [ "${HEIGHT:-}" = "$3" ]; }; then
        echo "$id"
        return 0
      fi
    done
    sleep 0.2
  done
  die "no visible window \"$1\" ${2:+($2 x $3)} within $limit s"
}

# wait_hidden ID WHAT: waits until the window is no longer visible.
wait_hidden() {
  local deadline=$((SECONDS + limit))
  while [ "$SECONDS" -lt "$deadline" ]; do
    grep -qx "$1" < <(xdotool search --onlyvisible --name '.*' 2>/dev/null) || return 0
    sleep 0.2
  done
  die "$2 still visible after $limit s"
}

# click ID X Y: a left click at client coordinates of the window.
click() {
  xdotool mousemove --window "$1" "$2" "$3"
  sleep 0.2
  xdotool click 1
}

# choose_path TITLE PATH: types the path into the open folder picker or file dialog of that
# title and confirms it.
choose_path() {
  local dialog
  dialog="$(find_window "$1")"
  xdotool mousemove --window "$dialog" 20 20
  xdotool windowfocus --sync "$dialog" 2>/dev/null || true
  sleep 0.5
  # The dialog's name field has the focus: replace what is there with the path, and press
  # Return as a user would.
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 20 "$2"
  sleep 0.5
  xdotool key Return
  # A completion list opened by typing may take the first Return.
  sleep 1
  if xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; then
    xdotool key Return
  fi
}

# look ID Y: a digest of the pixels of the radio button indicator at (40, Y) of the window.
look() {
  python3 "$here/x11_window.py" digest "$1" 40 "$2" 16 16 || die "could not read the window"
}

# OK with "Local Drives" (y 24) checked would scan the whole machine under "Delete them", so
# the test presses OK only after it has seen the check drawn on the wanted button, "Folder"
# (y 48) or "File" (y 72), and not on "Local Drives". The first time, the two indicators must
# swap looks when the wanted button is clicked; that teaches the checked and unchecked looks.
checked_look=""
unchecked_look=""
select_target() {  # ID Y
  local drives other
  xdotool mousemove 0 0  # no hover highlight on the indicators
  sleep 0.5
  if [ -z "$checked_look" ]; then
    drives="$(look "$1" 24)"
    other="$(look "$1" "$2")"
    [ "$drives" != "$other" ] || die "the target radio buttons look alike"
    click "$1" 60 $(($2 + 8))
    xdotool mousemove 0 0
    sleep 0.5
    [ "$(look "$1" "$2")" = "$drives" ] && [ "$(look "$1" 24)" = "$other" ] ||
      die "the target at y $2 does not look checked after clicking it: not pressing OK"
    checked_look="$drives"
    unchecked_look="$other"
  elif [ "$(look "$1" "$2")" != "$checked_look" ]; then
    click "$1" 60 $(($2 + 8))
    xdotool mousemove 0 0
    sleep 0.5
  fi
  [ "$(look "$1" "$2")" = "$checked_look" ] && [ "$(look "$1" 24)" = "$unchecked_look" ] ||
    die "the target at y $2 is not the one checked: not pressing OK"
}

# ---- Scan under "Delete them" -----------------------------------------------------------------
launcher="$(find_window Nerlo 472 362)"
click "$launcher" 240 96  # "Scan"
target="$(find_window Nerlo 190 156)"
select_target "$target" 48  # "Folder"
click "$target" 93 132  # "OK"
choose_path "Select Folder to scan" "$tree"
scanner="$(find_window "Scanning...")"
results="$(find_window "Scan Results" 235 132)"
click "$results" 117 108  # "Close"
wait_hidden "$results" "the results dialog"
[ -e "$victim" ] && die "the detected file was not deleted"
[ "$(ls "$NERLO_QUARANTINE_DIR" | wc -l)" = 1 ] || die "the quarantine does not hold one entry"

# ---- The row's context menu: "Restore" -----------------------------------------------------------
# The first row lies below the tool bar (33 pixels) and the list's header.
xdotool windowactivate --sync "$scanner" 2>/dev/null || true
xdotool mousemove --window "$scanner" 120 58
sleep 0.3
xdotool click 3
sleep 1
if [ -n "${NERLO_SCREENSHOT_DIR:-}" ] && command -v import >/dev/null; then
  eval "$(xdotool getwindowgeometry --shell "$scanner")"
  import -window root -crop "690x160+${X}+${Y}" "$NERLO_SCREENSHOT_DIR/result-menu.png" || true
fi
xdotool key r  # the menu's "&Restore"
box="$(find_window Nerlo)"
sleep 0.5
xdotool key Return
wait_hidden "$box" "the message box"

[ -e "$victim" ] || die "the file was not restored"
cmp -s "$work/original" "$victim" || die "the restored bytes differ"
[ "$(stat -c %a "$victim")" = 604 ] || die "restored mode $(stat -c %a "$victim"), not 604"
[ "$(stat -c %y "$victim")" = "$(stat -c %y "$work/original")" ] ||
  die "restored time $(stat -c %y "$victim"), not $(stat -c %y "$work/original")"
[ -z "$(ls -A "$NERLO_QUARANTINE_DIR")" ] || die "the entry is still in the quarantine"

python3 "$here/x11_window.py" close "$scanner" || die "could not close the scanner window"
wait_hidden "$scanner" "the scanner window"
launcher="$(find_window Nerlo 472 362)"
python3 "$here/x11_window.py" close "$launcher" || die "could not close the launcher"
deadline=$((SECONDS + limit))
while kill -0 "$nerlo_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
kill -0 "$nerlo_pid" 2>/dev/null && die "nerlo still running $limit s after its launcher closed"
nerlo_pid=""
echo "desktop program: a deleted file restored from the context menu, bytes, mode and time"
