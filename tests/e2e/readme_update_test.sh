#!/usr/bin/env bash
# Runs exactly the lines of README.md between "<!-- update-steps -->" and its end marker: a
# publisher's key, a set with one new signature, a local channel, kestry, and a scan that must
# find the new file. HOME is a temporary folder and build/bin a copy of the built programs,
# so nothing outside the test's own folder is written.
# Usage: readme_update_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(cd "$here/../.." && pwd)"
[ -x "$bin/kestry" ] || { echo "SKIP: kestry was not built"; exit 77; }
work="$(mktemp -d)"
cleanup() {
  [ -d "$work/home/nerlo-demo/mirror-state" ] && touch "$work/home/nerlo-demo/mirror-state/stop"
  # The server notices the stop file within a tenth of a second.
  sleep 0.3
  rm -rf "$work"
}
trap cleanup EXIT

# The lines of the block, build/bin and tools/ pointed at the copy and at the source tree.
steps="$(sed -n '/^<!-- update-steps -->$/,/^<!-- end of update-steps -->$/p' "$top/README.md" |
  grep -v -e '^<!--' -e '^```')"
[ "$(printf '%s\n' "$steps" | wc -l)" -ge 8 ] || { echo "FAIL: no update steps in README.md" >&2; exit 1; }
mkdir -p "$work/bin" "$work/home"
cp "$bin/kestry" "$bin/nerlo-sigtool" "$bin/nerlo-scan" "$bin/database.db" "$bin/tdb.ldb" \
  "$bin/heuristics.db" "$work/bin/"

script="$work/steps.sh"
{
  echo 'cd "$TOP"'
  printf '%s\n' "$steps" | while IFS= read -r line; do
    line="${line//build\/bin/\$BIN}"
    line="${line//tools\//\$TOP/tools/}"
    printf '%s\n' "$line"
    printf 'echo "status $? of: %s" >>"$STATUS"\n' "${line//\"/}"
  done
} >"$script"

status_file="$work/statuses"
env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u DISPLAY -u WAYLAND_DISPLAY \
  HOME="$work/home" NERLO_SET_ROOTS="$work/home/.local/share/nerlo" no_proxy='*' NO_PROXY='*' \
  BIN="$work/bin" TOP="$top" STATUS="$status_file" \
  bash "$script" >"$work/out" 2>&1 || true

failures=0
last="$(tail -1 "$status_file")"
# Every step succeeds; the last one, the scan, finds the new file (status 1).
if grep -v -F "$last" "$status_file" | grep -v '^status 0 of' >&2; then
  failures=1
fi
case "$last" in "status 1 of: "*nerlo-scan*) ;; *) echo "FAIL: last step: $last" >&2; failures=1 ;; esac
grep -q 'new-threat.bin: Infected! \[hash\]' "$work/out" || { echo "FAIL: the new signature found nothing" >&2; failures=1; }
grep -q '^kestry: Updated the signatures from none to version 1 ' "$work/out" || { echo "FAIL: kestry did not update" >&2; failures=1; }
[ "$(readlink "$work/home/.local/share/nerlo/current" || true)" = "sets/1" ] || { echo "FAIL: no set in ~/.local/share/nerlo" >&2; failures=1; }
if [ "$failures" -ne 0 ]; then
  echo "--- what the steps printed:" >&2
  cat "$work/out" >&2
  exit 1
fi
echo "README update steps: key, publish, local channel, kestry, scan"
