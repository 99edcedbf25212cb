#!/usr/bin/env bash
# Whole scans of real trees against the floors the scanner is measured by, warm or cold:
# nerlo-scan (report only, --quiet) against MD5 of the same files with md5sum in 2 processes,
# and, cold, against reading them with 8 cat processes in parallel. "The same files" are the
# regular files under 5,242,880 bytes that nerlo-scan examines. Prints the median wall time,
# processor time (user + system) and peak memory of each, nerlo-scan's files per second, and
# the ratios to the floors.
#
#   bench/tree_bench.sh [--cold] [--reps N] [--build DIR] [--db DIR] TREE...
#
#   --cold       drop the page cache before every run (echo 3 > /proc/sys/vm/drop_caches:
#                root only); without it every tool runs once untimed first to warm the cache
#   --reps N     timed runs of each tool on each tree (default 5), alternating between tools
#   --build DIR  build directory holding bin/nerlo-scan (default build-compare, built here
#                with the project's default build type when missing)
#   --db DIR     signature set for nerlo-scan (default: the K = 1,000 / H = 10 set of
#                bench/compare/compare.sh in /tmp/nerlo-compare, made by it when missing)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(cd "$here/.." && pwd)"

cold=0
reps=5
build="$top/build-compare"
db=""
trees=()
while [ $# -gt 0 ]; do
  case "$1" in
    --cold) cold=1 ;;
    --reps) reps="$2"; shift ;;
    --build) build="$2"; shift ;;
    --db) db="$2"; shift ;;
    -*) echo "usage: $0 [--cold] [--reps N] [--build DIR] [--db DIR] TREE..." >&2; exit 2 ;;
    *) trees+=("$1") ;;
  esac
  shift
done
[ ${#trees[@]} -gt 0 ] || { echo "usage: $0 [--cold] [--reps N] [--build DIR] [--db DIR] TREE..." >&2; exit 2; }
if [ "$cold" = 1 ] && [ "$(id -u)" != 0 ]; then
  echo "--cold drops the page cache and needs root" >&2
  exit 2
fi
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (package time)" >&2; exit 2; }

if [ ! -x "$build/bin/nerlo-scan" ]; then
  cmake -S "$top" -B "$build" >/dev/null
  cmake --build "$build" -j2 --target nerlo-scan >/dev/null
fi
nerlo="$build/bin/nerlo-scan"
if [ -z "$db" ]; then
  db=/tmp/nerlo-compare/nerlo-K1000-H10
  if [ ! -d "$db" ]; then
    echo "no signature set in $db: run bench/compare/compare.sh --nerlo-only once, or pass --db" >&2
    exit 2
  fi
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

limit=5242880
drop() { if [ "$cold" = 1 ]; then sync; echo 3 > /proc/sys/vm/drop_caches; fi; }
# One timed run: label, then the command; appends "label wall cpu peak_kb" to $work/runs.
measure() {
  local label="$1"; shift
  drop
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || true
  read -r wall user sys peak < <(tail -1 "$work/time")
  echo "$label $wall $(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}') $peak" >> "$work/runs"
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

printf '%-28s %-10s %8s %8s %8s %10s\n' tree tool "wall s" "cpu s" "peak MB" "files/s"
for tree in "${trees[@]}"; do
  list="$work/files"
  find "$tree" -xdev -type f -size -"${limit}c" -print0 > "$list" 2>/dev/null || true
  count=$(tr -cd '\0' < "$list" | wc -c)
  : > "$work/runs"
  tools=(nerlo md5sum-P2)
  [ "$cold" = 1 ] && tools+=(cat-P8)
  run_tool() {
    case "$1" in
      nerlo) measure nerlo "$nerlo" --quiet --db-dir "$db" "$tree" ;;
      md5sum-P2) measure md5sum-P2 sh -c "xargs -0 -P2 -n 200 md5sum < '$list'" ;;
      cat-P8) measure cat-P8 sh -c "xargs -0 -P8 -n 200 cat < '$list'" ;;
    esac
  }
  if [ "$cold" = 0 ]; then
    for tool in "${tools[@]}"; do run_tool "$tool"; done
    : > "$work/runs"
  fi
  for ((r = 0; r < reps; r++)); do
    for tool in "${tools[@]}"; do run_tool "$tool"; done
  done
  declare -A wall=()
  for tool in "${tools[@]}"; do
    wall[$tool]=$(awk -v t="$tool" '$1 == t {print $2}' "$work/runs" | median)
    cpu=$(awk -v t="$tool" '$1 == t {print $3}' "$work/runs" | median)
    peak=$(awk -v t="$tool" '$1 == t {print $4}' "$work/runs" | median)
    rate="-"
    [ "$tool" = nerlo ] && rate=$(echo "$count / ${wall[$tool]}" | bc)
    printf '%-28s %-10s %8.2f %8.2f %8.0f %10s\n' "$tree" "$tool" "${wall[$tool]}" "$cpu" \
      "$(echo "$peak / 1024" | bc)" "$rate"
  done
  for tool in "${tools[@]}"; do
    [ "$tool" = nerlo ] && continue
    printf '%-28s nerlo / %s = %.2f\n' "$tree" "$tool" "$(echo "${wall[nerlo]} / ${wall[$tool]}" | bc -l)"
  done
  echo "$tree: $count files under $limit bytes; runs (tool wall cpu peak_kb):"
  sed 's/^/  /' "$work/runs"
  unset wall
done
echo "$(date -u +%FT%TZ) $(nproc) processors, $([ "$cold" = 1 ] && echo cold || echo warm), medians of $reps; nerlo-scan $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo '?')"
