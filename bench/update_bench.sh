#!/usr/bin/env bash
# Updates: publishing and installing the K = 1,000,000 set from a local HTTPS mirror, and what
# an update where nothing changed transfers.
#
#   bench/update_bench.sh [BUILD_DIR] [RUNS]
#
# Uses kestry and nerlo-sigtool of BUILD_DIR (default build/), databases made by
# bench/compare/make_sigdb.py, the mirror server tools/serve-mirror on 127.0.0.1, and prints
# medians of RUNS runs (default 5):
#   publish      nerlo-sigtool publish of the set into an empty mirror
#   install      kestry into an empty root (every file downloaded, checked, flushed)
#   new version  kestry, a new version whose files the root already holds (nothing downloaded)
#   current      kestry when the channel is unchanged: the requests it made and their bytes
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
runs="${2:-5}"
cmake --build "$build" -j2 --target kestry nerlo-sigtool >/dev/null
bin="$build/bin"
work="$(mktemp -d)"
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export NERLO_SET_ROOTS="$work/unused" no_proxy='*' NO_PROXY='*'
unset DISPLAY WAYLAND_DISPLAY

echo '{"infected": []}' >"$work/manifest.json"
python3 "$top/bench/compare/make_sigdb.py" --manifest "$work/manifest.json" --out "$work/big" \
  -K 1000000 -H 100 --no-yara >/dev/null
du -b "$work/big/nerlo/"* | awk '{printf "  %s: %.1f MB\n", $2, $1 / 1e6}' | sed "s|$work/big/nerlo/||"
"$bin/nerlo-sigtool" keygen "$work/key" >/dev/null
mkdir -p "$work/keys"
cp "$work/key.pub" "$work/keys/"

time_ms() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  awk -v ns="$((end - start))" 'BEGIN {printf "%.1f\n", ns / 1e6}'
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

for i in $(seq "$runs"); do
  rm -rf "$work/mirror"
  time_ms "$bin/nerlo-sigtool" publish --key "$work/key" --version "$i" --out "$work/mirror" \
    "$work/big/nerlo"
done | median | awk -v r="$runs" '{print "publish the K = 1,000,000 set: " $1 " ms (median of " r ")"}'

mkdir -p "$work/state"
python3 "$top/tools/serve-mirror" "$work/mirror" --state "$work/state" >/dev/null 2>&1 &
server=$!
for _ in $(seq 600); do [ -s "$work/state/port" ] && break; sleep 0.05; done
k=("$bin/kestry" --quiet --config "$work/state/update.ini" --keys "$work/keys")

for i in $(seq "$runs"); do
  rm -rf "$work/root"
  time_ms "${k[@]}" --root "$work/root"
  [ "$(readlink "$work/root/current")" = "sets/$runs" ] || { echo "install failed" >&2; exit 1; }
done | median | awk -v r="$runs" '{print "install it into an empty root: " $1 " ms (median of " r ")"}'

version=$runs
for _ in $(seq "$runs"); do
  version=$((version + 1))
  "$bin/nerlo-sigtool" publish --key "$work/key" --version "$version" --out "$work/mirror" \
    "$work/big/nerlo" >/dev/null
  time_ms "${k[@]}" --root "$work/root"
done | median | awk -v r="$runs" '{print "install a new version whose files are held: " $1 " ms (median of " r ")"}'

for _ in $(seq "$runs"); do
  time_ms "${k[@]}" --root "$work/root"
done | median | awk -v r="$runs" '{print "update with nothing changed: " $1 " ms (median of " r ")"}'
: >"$work/state/requests.log"
"${k[@]}" --root "$work/root" | tail -1
bytes=0
while read -r path; do
  bytes=$((bytes + $(stat -c %s "$work/mirror$path")))
done <"$work/state/requests.log"
echo "  requests: $(tr '\n' ' ' <"$work/state/requests.log")($bytes bytes of files)"
