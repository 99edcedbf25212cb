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
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib/desktop.sh" "$1"

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
start_xvfb 1280x1024
start_nerlo "$work/config"

# ---- Scan under "Delete them" -----------------------------------------------------------------
start_scan folder "$tree"
scanner="$(find_window "Scanning...")"
close_results
[ -e "$victim" ] && die "the detected file was not deleted"
[ "$(ls "$NERLO_QUARANTINE_DIR" | wc -l)" = 1 ] || die "the quarantine does not hold one entry"

# ---- The row's context menu: "Restore" -----------------------------------------------------------
# The first row lies below the tool bar (33 pixels) and the list's header.
xdotool windowactivate --sync "$scanner" 2>/dev/null || true
xdotool mousemove --window "$scanner" 120 58
sleep 0.3
xdotool click 3
sleep 1
if [ -n "${NERLO_SCREENSHOT_DIR:-}" ]; then
  eval "$(xdotool getwindowgeometry --shell "$scanner")"
  screenshot "$NERLO_SCREENSHOT_DIR/result-menu.png" root "690x160+${X}+${Y}"
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

close_window "$scanner" "the scanner window"
wait_hidden "$scanner" "the scanner window"
close_launcher
echo "desktop program: a deleted file restored from the context menu, bytes, mode and time"
