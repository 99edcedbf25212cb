#!/usr/bin/env bash
# Signature sets: publishing the K = 1,000,000 set, the cost of choosing the set at scan start,
# and importing a hash list of 1,000,000 lines.
#
#   bench/sets_bench.sh [BUILD_DIR] [RUNS]
#
# Needs python3 and /usr/bin/time (Debian package time). Uses nerlo-scan and nerlo-sigtool of
# BUILD_DIR (default build/), databases made by
# bench/compare/make_sigdb.py, and prints medians of RUNS runs (default 5; the set choice
# alternates 4 * RUNS + 1 scans of each kind, since it is far below the noise of one scan).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
runs="${2:-5}"
cmake --build "$build" -j2 --target nerlo-scan nerlo-sigtool >/dev/null
bin="$build/bin"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export NERLO_SET_ROOTS=

echo '{"infected": []}' >"$work/manifest.json"
python3 "$top/bench/compare/make_sigdb.py" --manifest "$work/manifest.json" --out "$work/big" \
  -K 1000000 -H 100 --no-yara >/dev/null
python3 "$top/bench/compare/make_sigdb.py" --manifest "$work/manifest.json" --out "$work/small" \
  -K 1000 -H 10 --no-yara >/dev/null
"$bin/nerlo-sigtool" keygen "$work/key" >/dev/null
du -b "$work/big/nerlo/"* | awk '{printf "  %s: %.1f MB\n", $2, $1 / 1e6}' | sed "s|$work/big/nerlo/||"

# time_ms CMD...: wall time of one run in milliseconds (to 0.01 ms).
time_ms() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  awk -v ns="$((end - start))" 'BEGIN {printf "%.2f\n", ns / 1e6}'
}
# cpu_ms CMD...: processor time (user + system) of one run in milliseconds; on a shared
# machine it tells the work apart from the waiting.
cpu_ms() {
  /usr/bin/time -f '%U %S' -o "$work/cpu" "$@" >/dev/null 2>&1
  awk '{printf "%.0f\n", ($1 + $2) * 1000}' "$work/cpu"
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

echo "== publish the K = 1,000,000 set into an empty mirror (median of $runs)"
for i in $(seq "$runs"); do
  rm -rf "$work/mirror"
  time_ms "$bin/nerlo-sigtool" publish --key "$work/key" --version "$i" --out "$work/mirror" \
    "$work/big/nerlo"
done | median | awk '{print "publish: " $1 " ms"}'
echo "== publish the same set again as a new version (files present; median of $runs)"
for i in $(seq "$runs"); do
  time_ms "$bin/nerlo-sigtool" publish --key "$work/key" --version "$((100 + i))" \
    --out "$work/mirror" "$work/big/nerlo"
done | median | awk '{print "republish: " $1 " ms"}'
echo "== verify the mirror (median of $runs)"
for _ in $(seq "$runs"); do
  time_ms "$bin/nerlo-sigtool" verify "$work/mirror" --key "$work/key.pub"
done | median | awk '{print "verify: " $1 " ms"}'

# An installed root holding a set, as the updater leaves it: ROOT/sets/N and current.
install_root() { # ROOT DBDIR VERSION
  mkdir -p "$1/sets/$3"
  cp "$2"/database.db "$2"/tdb.ldb "$2"/heuristics.db "$1/sets/$3/"
  "$bin/nerlo-sigtool" publish --key "$work/key" --version "$3" --out "$1.mirror" "$2" >/dev/null
  cp "$1.mirror/channel.json" "$1/sets/$3/nerlo-set.json"
  ln -s "sets/$3" "$1/current"
}
mkdir -p "$work/target" && head -c 4096 /dev/urandom >"$work/target/file.bin"
for size in small big; do
  root="$work/root-$size"
  install_root "$root" "$work/$size/nerlo" 7
  # Two more roots to look at, one of them with a set passed over, as on a real system.
  install_root "$work/other-$size" "$work/small/nerlo" 3
  reps=$((4 * runs + 1))
  [ "$size" = big ] && reps=$runs
  echo "== scan of one file with the $size set: chosen at start vs --db-dir (median of $reps each, alternating)"
  for _ in $(seq "$reps"); do
    a=$(NERLO_SET_ROOTS="$root:$work/other-$size:$work/none" time_ms "$bin/nerlo-scan" --quiet "$work/target")
    b=$(time_ms "$bin/nerlo-scan" --quiet --db-dir "$root/sets/7" "$work/target")
    echo "$a $b"
  done >"$work/pairs"
  chosen=$(cut -d' ' -f1 "$work/pairs" | median)
  direct=$(cut -d' ' -f2 "$work/pairs" | median)
  diff=$(awk '{print $1 - $2}' "$work/pairs" | median)
  echo "chosen at start: $chosen ms, --db-dir: $direct ms, median difference: $diff ms"
done

echo "== import-hashes of 1,000,000 lines (.hdb and plain lines mixed) into an empty database.db (median of $runs)"
python3 - "$work/million.hdb" <<'PY'
import random, sys
r = random.Random(5)
with open(sys.argv[1], "w") as f:
    for i in range(1000000):
        h = r.randbytes(16).hex()
        f.write("%s:%d:Feed.%d\n" % (h, r.randint(1, 5000000), i) if i % 2 else h.upper() + "\r\n")
PY
for _ in $(seq "$runs"); do
  rm -rf "$work/imported" && mkdir "$work/imported"
  time_ms "$bin/nerlo-sigtool" --db-dir "$work/imported" import-hashes "$work/million.hdb"
done | median | awk '{print "import into an empty database: " $1 " ms"}'
for _ in $(seq "$runs"); do
  rm -rf "$work/imported" && mkdir "$work/imported"
  cpu_ms "$bin/nerlo-sigtool" --db-dir "$work/imported" import-hashes "$work/million.hdb"
done | median | awk '{print "  processor time: " $1 " ms"}'
"$bin/nerlo-sigtool" --db-dir "$work/imported" import-hashes "$work/million.hdb" | sed 's/^/  /'
for _ in $(seq "$runs"); do
  time_ms "$bin/nerlo-sigtool" --db-dir "$work/imported" import-hashes "$work/million.hdb"
done | median | awk '{print "import again (all already present): " $1 " ms"}'
