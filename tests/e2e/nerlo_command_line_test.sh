#!/usr/bin/env bash
# The desktop program from a terminal: --help and --version answer without a display; without
# one (or with a display that cannot be opened) nerlo says so in one line on stderr and ends
# with status 1, whatever paths it was given; "--" makes "--help" a path; an unknown option is
# a usage error (status 2) in one line.
# Usage: nerlo_command_line_test.sh BIN_DIR
# Exit status 77 (skipped) only when the desktop program was not built.
set -euo pipefail
bin="$(cd "$1" && pwd)"
nerlo="$bin/nerlo"
if [ ! -x "$nerlo" ]; then
  echo "SKIP: the desktop program $nerlo was not built"
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"

# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

# run NAME ENV... -- ARGS...: runs nerlo with only the environment given (and PATH, HOME),
# keeping its status, stdout and stderr.
run() {
  local name="$1" vars=()
  shift
  while [ "$1" != "--" ]; do vars+=("$1"); shift; done
  shift
  status=0
  timeout 60 env -i PATH="$PATH" HOME="$work" ASAN_OPTIONS="$ASAN_OPTIONS" \
    XDG_CONFIG_HOME="$work/config" "${vars[@]}" "$nerlo" "$@" \
    >"$work/$name.out" 2>"$work/$name.err" || status=$?
  out="$(cat "$work/$name.out")"
  err="$(cat "$work/$name.err")"
}

run help -- --help
[ "$status" -eq 0 ] || fail "--help without a display: status $status"
grep -q '^Usage: nerlo \[PATH\.\.\.\]' <<<"$out" || fail "--help prints no usage: $out"
[ -z "$err" ] || fail "--help wrote to stderr: $err"

run version -- /some/path --version
[ "$status" -eq 0 ] || fail "--version without a display: status $status"
[ "$out" = "nerlo (Nerlo) 1.00" ] || fail "--version prints \"$out\""

# one_line NAME: stderr is one line naming the need for a graphical session, stdout empty.
one_line() {
  [ "$status" -eq 1 ] || fail "$1: status $status, not 1"
  [ -z "$out" ] || fail "$1: wrote to stdout: $out"
  [ "$(wc -l <"$work/$1.err")" -eq 1 ] || fail "$1: stderr is not one line: $err"
  grep -q '^nerlo: needs a graphical session' <<<"$err" || fail "$1: says \"$err\""
}

run no-display --
one_line no-display
grep -q 'no display is set' <<<"$err" || fail "no-display: does not say that no display is set"

run no-display-paths -- "$work" -- --help
one_line no-display-paths

# A display named but not there: Qt's own failure becomes the same one line.
display=":$((RANDOM % 1000 + 7000))"
while [ -e "/tmp/.X11-unix/X${display#:}" ]; do display=":$((${display#:} + 1))"; done
run bad-display DISPLAY="$display" --
one_line bad-display
grep -q "cannot open the display $display" <<<"$err" || fail "bad-display: does not name $display"

run unknown QT_QPA_PLATFORM=offscreen -- --frobnicate "$work"
[ "$status" -eq 2 ] || fail "an unknown option: status $status, not 2"
[ "$(wc -l <"$work/unknown.err")" -eq 1 ] && grep -q '"--frobnicate"' <<<"$err" ||
  fail "an unknown option: stderr is \"$err\""

run both QT_QPA_PLATFORM=offscreen -- --all-drives "$work"
[ "$status" -eq 2 ] || fail "--all-drives with a path: status $status, not 2"

[ "$failures" -eq 0 ] || exit 1
echo "nerlo command line: --help, --version, no display, a display that cannot be opened, usage errors"
