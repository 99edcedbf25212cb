#!/usr/bin/env bash
# Times the file walk against find(1) on a generated tree.
#
#   bench/walk_bench.sh [BUILD_DIR]
#
# Builds walk_files in BUILD_DIR (default build-bench, Release, benchmarks on), creates a
# deterministic tree of 100,000 empty files (10 x 10 x 10 folders of 100 files each) under
# TREE (default /tmp/nerlo-walk-tree, kept between runs and rebuilt when its file count is
# wrong), warms the page cache, then runs walk_files and `find TREE -type f | wc -l` RUNS
# times each (default 5) and prints the medians and files per second.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build-bench}"
runs="${RUNS:-5}"
tree="${TREE:-/tmp/nerlo-walk-tree}"
expected=100000

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNERLO_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target walk_files >/dev/null
walk="$build/bench/walk_files"

if [ "$(find "$tree" -type f 2>/dev/null | wc -l)" -ne "$expected" ]; then
  rm -rf "$tree"
  for a in $(seq -w 0 9); do
    for b in $(seq -w 0 9); do
      for c in $(seq -w 0 9); do
        leaf="$tree/a$a/b$b/c$c"
        mkdir -p "$leaf"
        (cd "$leaf" && touch f{000..099}.dat)
      done
    done
  done
fi

median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

# Warm the caches with one untimed run of each.
find "$tree" -type f | wc -l >/dev/null
"$walk" "$tree" >/dev/null

walk_times=()
for _ in $(seq "$runs"); do
  out="$("$walk" "$tree")"
  files="$(awk '$1 == "files" {print $2}' <<<"$out")"
  if [ "$files" -ne "$expected" ]; then
    echo "walk_files reported $files files, expected $expected" >&2
    exit 1
  fi
  walk_times+=("$(awk '$1 == "seconds" {print $2}' <<<"$out")")
done

find_times=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  files="$(find "$tree" -type f | wc -l)"
  end=$(date +%s%N)
  if [ "$files" -ne "$expected" ]; then
    echo "find reported $files files, expected $expected" >&2
    exit 1
  fi
  find_times+=("$(awk -v ns=$((end - start)) 'BEGIN {printf "%.6f", ns / 1e9}')")
done

walk_median="$(printf '%s\n' "${walk_times[@]}" | median)"
find_median="$(printf '%s\n' "${find_times[@]}" | median)"
echo "== walk of $expected files in 1,110 folders, page cache warm (median of $runs)"
echo "walk_files (TFileFind):   runs ${walk_times[*]}"
awk -v t="$walk_median" -v n="$expected" \
  'BEGIN {printf "walk_files median %.4f s, %.0f files/s\n", t, n / t}'
echo "find -type f | wc -l:     runs ${find_times[*]}"
awk -v t="$find_median" -v n="$expected" \
  'BEGIN {printf "find       median %.4f s, %.0f files/s\n", t, n / t}'
