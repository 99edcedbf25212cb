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
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib/desktop.sh" "$1"

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
start_xvfb 1280x1024
config="$work/config"
start_nerlo "$config"

# scan KIND PATH: a scan as start_scan starts it, then "Close" on the results dialog and the
# scanner window's close box; waits for the launcher to come back.
scan() {
  local scanner
  start_scan "$1" "$2"
  close_results
  # The scanner window's close box: the window hides and the launcher comes back.
  scanner="$(find_window "Scanning...")"
  close_window "$scanner" "the scanner window"
  wait_hidden "$scanner" "the scanner window"
  find_window Nerlo 472 362 >/dev/null
}

source "$here/lib/checks.sh"
ini="$config/nerlo/nerlo.ini"
# expect_settings WHAT DELETE IGNORE: nerlo.ini holds exactly the three keys, in order (waiting
# for a save that the program makes on its own).
expect_settings() {
  local expected actual deadline=$((SECONDS + limit))
  expected=$'[Settings]\nUseHeuristics=1\nDelete='"$2"$'\nIgnore='"$3"
  while :; do
    actual="$(tr -d '\r' <"$ini" 2>/dev/null | grep -v '^$' || true)"
    [ "$actual" != "$expected" ] && [ "$SECONDS" -lt "$deadline" ] || break
    sleep 0.2
  done
  expect_eq "$1: nerlo.ini does not hold the expected settings" "$expected" "$actual"
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
expect_settings "after choosing \"Ignore them\"" 0 1
click "$settings" 117 164  # "OK" (80,152 75 x 25)
wait_hidden "$settings" "the settings dialog"

scan folder "$tree2"
[ -e "$tree2/inbox/attachment.com" ] || fail "a detected file was deleted under \"Ignore them\""

# The launcher's close box saves the settings and ends the program.
close_launcher
[ "$app_status" -eq 0 ] || die "nerlo ended with status $app_status"

# The launcher came back twice and reloaded the file; closing saved what the user chose.
expect_settings "after the program ended" 0 1

# ---- Started with paths, as "Scan with Nerlo" starts it ------------------------------------
tree3="$work/third"
mkdir -p "$tree3/share"
cp "$work/samples/eicar.com" "$tree3/share/program.com"
printf 'harmless\n' >"$tree3/share/notes.txt"
start_nerlo "$work/config3" "$tree3" "$work/not there"
find_window "Scanning..." >/dev/null
find_window "Scan Results" 235 132 >/dev/null
[ -n "$(xdotool search --onlyvisible --name '^Nerlo$' 2>/dev/null || true)" ] &&
  fail "a window called Nerlo (launcher or scan-target dialog) is shown during a scan of given paths"
[ -e "$tree3/share/program.com" ] && fail "nerlo PATH did not delete the detected file (no settings: \"Delete them\")"
[ -e "$tree3/share/notes.txt" ] || fail "nerlo PATH removed a clean file"
close_results
close_window "$(find_window "Scanning...")" "the scanner window"
close_launcher
[ "$app_status" -eq 0 ] || fail "nerlo PATH ended with status $app_status"
if [ "$failures" -ne 0 ]; then
  echo "--- $work/nerlo.log" >&2
  cat "$work/nerlo.log" >&2
  exit 1
fi
echo "desktop program: folder and file scans, \"Delete them\" and \"Ignore them\", settings kept, nerlo PATH"
