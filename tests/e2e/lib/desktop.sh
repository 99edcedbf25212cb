# Shared by the desktop program's end-to-end tests (sourced with the build's bin folder as its
# argument): the test's folder ($work, removed at exit), starting nerlo on the virtual
# X server, and the steps of a scan as a user takes them. Skips the test (status 77) when the
# desktop program was not built. Needs $here.
bin="$(cd "$1" && pwd)"
nerlo="$bin/nerlo"
if [ ! -x "$nerlo" ]; then
  echo "SKIP: the desktop program $nerlo was not built"
  exit 77
fi
work="$(mktemp -d)"
source "$here/lib/xvfb.sh"
require_x_tools
cleanup() {
  stop_x_test
  rm -rf "$work"
}
trap cleanup EXIT

# Files deleted by the scans are kept here, not in the real quarantine.
export NERLO_QUARANTINE_DIR="$work/quarantine"

# start_nerlo CONFIG [ARG...]: starts nerlo with CONFIG as its settings folder, output in
# $work/nerlo.log, and keeps its process id in app_pid.
start_nerlo() {
  local config="$1"
  shift
  mkdir -p "$config"
  # Qt and fontconfig keep caches for the life of the process; only the program's own leaks
  # would matter, and the unit and GUI tests look for those.
  XDG_CONFIG_HOME="$config" ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
    "$nerlo" "$@" >"$work/nerlo.log" 2>&1 &
  app_pid=$!
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

# start_scan KIND PATH: "Scan" on the launcher, "Folder" or "File" as KIND says, OK and the
# path; returns once the scanner window is shown.
start_scan() {
  local launcher target
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
}

# close_results: "Close" on the results dialog, once it is shown.
close_results() {
  local results
  results="$(find_window "Scan Results" 235 132)"
  click "$results" 117 108  # "Close" (80,96 75 x 25)
  wait_hidden "$results" "the results dialog"
}

# close_launcher: the launcher's close box, which saves the settings and ends the program;
# waits for the end and sets app_status.
close_launcher() {
  close_window "$(find_window Nerlo 472 362)" "the launcher"
  wait_exit
}
