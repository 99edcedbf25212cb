# Sourced by the tests that drive a program's windows on a virtual X server (Xvfb) with
# xdotool. The sourcing script sets work (its temporary folder, whose *.log files die prints)
# and keeps the process id of the program under test in app_pid; limit is the time-out of
# every wait, NERLO_TEST_TIMEOUT seconds (60 unless set; sanitized builds are slow).
limit="${NERLO_TEST_TIMEOUT:-60}"
app_pid=""
xvfb_pid=""
display_fd=""

# die MESSAGE: fails the test, with everything the program and the X server printed.
die() {
  echo "FAIL: $*" >&2
  if [ -n "$xvfb_pid" ] && ! kill -0 "$xvfb_pid" 2>/dev/null; then echo "(Xvfb has ended)" >&2; fi
  local log
  for log in "$work"/*.log; do
    [ -s "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
  done
  exit 1
}

# require_x_tools: fails unless Xvfb, xdotool and python3 are installed.
require_x_tools() {
  local tool
  for tool in Xvfb xdotool python3; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/install-deps)" >&2; exit 1; }
  done
}

# start_xvfb WIDTHxHEIGHT: starts an X server on a free display and exports DISPLAY for it,
# with the session variables that would lead Qt elsewhere unset.
start_xvfb() {
  # Xvfb picks the display itself and writes its number to descriptor 3, a pipe read here:
  # the read ends when the number is written, or at once when Xvfb ends without one. The
  # read end stays open while Xvfb runs, so that no later write can kill it with SIGPIPE.
  # -noreset: by default the server resets when its last client leaves, and a program started
  # right then (the updater's second run) could not connect.
  mkfifo "$work/display"
  Xvfb -displayfd 3 -noreset -screen 0 "$1x24" -dpi 96 -nolisten tcp 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  exec {display_fd}<"$work/display"
  local number=""
  read -r -t "$limit" -u "$display_fd" number || true
  [ -n "$number" ] || die "Xvfb gave no display number"
  export DISPLAY=":$number"
  unset WAYLAND_DISPLAY QT_QPA_PLATFORM QT_QPA_PLATFORMTHEME XDG_SESSION_TYPE
}

# stop_x_test: ends the program under test and the X server; for the cleanup trap.
stop_x_test() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then kill "$app_pid" || true; fi
  if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then kill "$xvfb_pid" || true; fi
  if [ -n "$display_fd" ]; then exec {display_fd}<&-; fi
}

# find_window TITLE [WIDTH HEIGHT]: prints the id of the visible window of exactly that title
# (and client size), waiting for it; fails when the program ends first.
find_window() {
  local deadline=$((SECONDS + limit)) id
  while [ "$SECONDS" -lt "$deadline" ]; do
    if [ -n "$app_pid" ] && ! kill -0 "$app_pid" 2>/dev/null; then
      die "the program ended while waiting for \"$1\""
    fi
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

# close_window ID WHAT: the window's close box, as a window manager would send it.
close_window() {
  python3 "$(dirname "${BASH_SOURCE[0]}")/../x11_window.py" close "$1" || die "could not close $2"
}

# wait_exit: waits for the program under test to end and sets app_status to its exit status.
wait_exit() {
  local deadline=$((SECONDS + limit))
  while kill -0 "$app_pid" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || die "the program still runs $limit s after it was told to end"
    sleep 0.1
  done
  app_status=0
  wait "$app_pid" || app_status=$?
  app_pid=""
}

# screenshot FILE ID [CROP]: saves the window ID (root: the whole screen, cut to CROP, an
# ImageMagick geometry) as a picture in FILE, when ImageMagick's import is installed.
screenshot() {
  command -v import >/dev/null || return 0
  mkdir -p "$(dirname "$1")"
  import -window "$2" ${3:+-crop "$3"} "$1" || true
}
