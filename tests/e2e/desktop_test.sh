#!/usr/bin/env bash
# End-to-end test of the desktop program: starts the real nerlo on a virtual X server (Xvfb)
# with an empty settings folder and drives it with xdotool as a user would: "Scan", "Folder",
# OK, the folder typed into the folder picker, the results dialog's "Close", the scanner
# window's close box. With no settings file the action is "Delete them": the detected files
# must be gone and the clean ones intact. A "File" scan, the file typed into the file dialog,
# must delete that file alone. Then "Settings", "Ignore them" (saved at once), OK, and a
# scan of another folder, which must leave its detected file alone; the launcher
# shown again after it must not bring "Delete them" back. Its close box ends the program, and
# nerlo.ini holds the user's choice with the three keys in order. Last, nerlo started with a
# folder and a missing path, as a file manager's "Scan with Nerlo" starts it, with no settings
# file: the scanner window comes up without the launcher, the detected file is deleted and the
# results are shown; closing the scanner window brings the launcher.
# Usage: desktop_test.sh BIN_DIR
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
# Files deleted by the scans are kept here, not in the real quarantine.
export NERLO_QUARANTINE_DIR="$work/quarantine"
xvfb_pid=""
nerlo_pid=""
cleanup() {
  if [ -n "$nerlo_pid" ] && kill -0 "$nerlo_pid" 2>/dev/null; then kill "$nerlo_pid" || true; fi
  if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then kill "$xvfb_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Everything the program or the helpers printed, when something went wrong.
die() {
  echo "FAIL: $*" >&2
  for log in "$work/nerlo.log" "$work/xvfb.log"; do
    [ -s "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
  done
  exit 1
}

# A timeout scaled for slow builds (sanitizers): NERLO_TEST_TIMEOUT seconds per wait.
limit="${NERLO_TEST_TIMEOUT:-60}"

# ---- The tree to scan ----------------------------------------------------------------------
tree="$work/tree"
mkdir -p "$tree/documents/letters" "$tree/downloads" "$tree/empty"
cmake -DOUT_DIR="$work/samples" -P "$here/../../data/make_samples.cmake"
# Detected by the default databases: by fingerprint and heuristic string, and by byte windows.
cp "$work/samples/eicar.com" "$tree/downloads/eicar.com"
cp "$work/samples/window-sample.txt" "$tree/documents/window-sample.txt"
# Clean files, one of them above the size limit although it holds the test file's text.
printf 'Dear reader,\nthis letter is perfectly harmless.\n' >"$tree/documents/letters/letter.txt"
head -c 3000 /dev/urandom >"$tree/documents/random.bin"
: >"$tree/documents/empty.txt"
{ cat "$work/samples/eicar.com"; head -c 5300000 /dev/zero; } >"$tree/downloads/too-big.bin"
clean=(documents/letters/letter.txt documents/random.bin documents/empty.txt downloads/too-big.bin)
(cd "$tree" && md5sum "${clean[@]}") >"$work/clean.md5"
# The "File" scan: the chosen file, a file of the same name below it and another file.
files="$work/files"
mkdir -p "$files/sub"
for f in setup.com sub/setup.com other.com; do cp "$work/samples/eicar.com" "$files/$f"; done
# The last scan's folder, under "Ignore them".
tree2="$work/second"
mkdir -p "$tree2/inbox"
cp "$work/samples/eicar.com" "$tree2/inbox/attachment.com"

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
# Qt and fontconfig keep caches for the life of the process; only the program's own leaks
# would matter, and the unit and GUI tests look for those.
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

# scan KIND PATH: "Scan" on the launcher, "Folder" or "File" as KIND says, OK, the path, then
# "Close" on the results dialog and the scanner window's close box; waits for the launcher to
# come back.
scan() {
  local launcher target results scanner
  launcher="$(find_window Nerlo 472 362)"
  click "$launcher" 240 96  # "Scan" (picture and caption, 200,64 81 x 65)
  target="$(find_window Nerlo 190 156)"
  if [ "$1" = folder ]; then
    select_target "$target" 48
    click "$target" 93 132  # "OK" (56,120 75 x 25)
    choose_path "Select Folder to scan" "$2"
  else
    select_target "$target" 72
    click "$target" 93 132
    choose_path "Select File to Scan" "$2"
  fi
  find_window "Scanning..." >/dev/null
  results="$(find_window "Scan Results" 235 132)"
  click "$results" 117 108  # "Close" (80,96 75 x 25)
  wait_hidden "$results" "the results dialog"
  # The scanner window's close box: the window hides and the launcher comes back.
  scanner="$(find_window "Scanning...")"
  python3 "$here/x11_window.py" close "$scanner" || die "could not close the scanner window"
  wait_hidden "$scanner" "the scanner window"
  find_window Nerlo 472 362 >/dev/null
}

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
ini="$config/nerlo/nerlo.ini"
# expect_settings WHAT DELETE IGNORE: nerlo.ini holds exactly the three keys, in order.
expect_settings() {
  local expected actual
  expected=$'[Settings]\nUseHeuristics=1\nDelete='"$2"$'\nIgnore='"$3"
  actual="$(tr -d '\r' <"$ini" 2>/dev/null | grep -v '^$' || true)"
  if [ "$actual" != "$expected" ]; then
    fail "$1: nerlo.ini does not hold the expected settings"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") >&2 || true
  fi
}

# ---- First scan, with the defaults ("Delete them") -------------------------------------------
scan folder "$tree"
for detected in downloads/eicar.com documents/window-sample.txt; do
  [ -e "$tree/$detected" ] && fail "$detected was detected but not deleted under \"Delete them\""
done
(cd "$tree" && md5sum --quiet -c "$work/clean.md5") >&2 || fail "a clean file was changed or removed"
[ -d "$tree/empty" ] || fail "an empty folder was removed"

# "File" scans that one file, not the files of the same name in the folders below it.
scan file "$files/setup.com"
[ -e "$files/setup.com" ] && fail "the chosen file was detected but not deleted"
[ -e "$files/sub/setup.com" ] || fail "\"File\" deleted a file of the same name in a subfolder"
[ -e "$files/other.com" ] || fail "\"File\" deleted another file of its folder"

# ---- "Ignore them", then another scan --------------------------------------------------------
launcher="$(find_window Nerlo 472 362)"
click "$launcher" 352 196  # "Settings" (312,160 81 x 73)
settings="$(find_window Settings 232 185)"
click "$settings" 40 104  # "Ignore them" (16,56 in the group box at 8,40)
sleep 1
expect_settings "after choosing \"Ignore them\"" 0 1
click "$settings" 117 164  # "OK" (80,152 75 x 25)
wait_hidden "$settings" "the settings dialog"

scan folder "$tree2"
[ -e "$tree2/inbox/attachment.com" ] || fail "a detected file was deleted under \"Ignore them\""

# The launcher's close box saves the settings and ends the program.
launcher="$(find_window Nerlo 472 362)"
python3 "$here/x11_window.py" close "$launcher" || die "could not close the launcher"
deadline=$((SECONDS + limit))
while kill -0 "$nerlo_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
kill -0 "$nerlo_pid" 2>/dev/null && die "nerlo still running $limit s after its launcher closed"
status=0
wait "$nerlo_pid" || status=$?
nerlo_pid=""
[ "$status" -eq 0 ] || die "nerlo ended with status $status"

# The launcher came back twice and reloaded the file; closing saved what the user chose.
expect_settings "after the program ended" 0 1

# ---- Started with paths, as "Scan with Nerlo" starts it ------------------------------------
tree3="$work/third"
mkdir -p "$tree3/share"
cp "$work/samples/eicar.com" "$tree3/share/program.com"
printf 'harmless\n' >"$tree3/share/notes.txt"
XDG_CONFIG_HOME="$work/config3" ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
  "$nerlo" "$tree3" "$work/not there" >"$work/nerlo.log" 2>&1 &
nerlo_pid=$!
find_window "Scanning..." >/dev/null
results="$(find_window "Scan Results" 235 132)"
[ -n "$(xdotool search --onlyvisible --name '^Nerlo$' 2>/dev/null || true)" ] &&
  fail "a window called Nerlo (launcher or scan-target dialog) is shown during a scan of given paths"
[ -e "$tree3/share/program.com" ] && fail "nerlo PATH did not delete the detected file (no settings: \"Delete them\")"
[ -e "$tree3/share/notes.txt" ] || fail "nerlo PATH removed a clean file"
click "$results" 117 108
wait_hidden "$results" "the results dialog"
scanner="$(find_window "Scanning...")"
python3 "$here/x11_window.py" close "$scanner" || die "could not close the scanner window"
launcher="$(find_window Nerlo 472 362)"
python3 "$here/x11_window.py" close "$launcher" || die "could not close the launcher"
deadline=$((SECONDS + limit))
while kill -0 "$nerlo_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
status=0
wait "$nerlo_pid" || status=$?
nerlo_pid=""
[ "$status" -eq 0 ] || fail "nerlo PATH ended with status $status"
if [ "$failures" -ne 0 ]; then
  echo "--- $work/nerlo.log" >&2
  cat "$work/nerlo.log" >&2
  exit 1
fi
echo "desktop program: folder and file scans, \"Delete them\" and \"Ignore them\", settings kept, nerlo PATH"
