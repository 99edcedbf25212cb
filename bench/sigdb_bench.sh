#!/usr/bin/env bash
# Runs the signature-database benchmarks and the system tools they are compared with.
#
#   bench/sigdb_bench.sh [BUILD_DIR]
#
# Builds md5_bench and search_bench in BUILD_DIR (default build-bench, Release, benchmarks on),
# hashes one page-cached file with md5sum and with HashFile, and runs the search benchmarks
# (skip-table search and glibc memmem over the same block; Filename settings). Every figure
# is the median of RUNS runs (default 5).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build-bench}"
runs="${RUNS:-5}"
size_mb="${SIZE_MB:-256}"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNERLO_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target md5_bench search_bench >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
file="$work/data.bin"
head -c "$((size_mb << 20))" /dev/urandom >"$file"
cat "$file" >/dev/null  # into the page cache

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

echo "== md5sum over ${size_mb} MB, page-cached (median of $runs)"
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  md5sum "$file" >/dev/null
  end=$(date +%s%N)
  awk -v mb="$size_mb" -v ns="$((end - start))" 'BEGIN {printf "%.0f\n", mb * 1048576 / ns * 1000}'
done | median | awk '{print "md5sum: " $1 " MB/s"}'
echo "md5sum digest:   $(md5sum "$file" | cut -d' ' -f1 | tr a-f A-F)"

echo "== HashFile and Update over the same file (median of $runs)"
NERLO_BENCH_FILE="$file" "$build/bench/md5_bench" --benchmark_repetitions="$runs" \
  --benchmark_report_aggregates_only=true 2>&1 | grep -E '_median|^Benchmark|^-'

echo "== search (median of $runs)"
"$build/bench/search_bench" --benchmark_repetitions="$runs" \
  --benchmark_report_aggregates_only=true 2>&1 | grep -E '_median|^Benchmark|^-'
