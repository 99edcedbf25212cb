#!/usr/bin/env bash
# Times whole scans of nerlo-scan on a generated corpus, for several signature-set sizes.
#
#   bench/scan_bench.sh [BUILD_DIR] [RUNS]
#
# Generates (once) a deterministic corpus of 20,000 files under $NERLO_BENCH_DIR (default
# /tmp/nerlo-bench), then for K = 1,000 and 100,000 hash and window signatures and H = 10 and
# 100 heuristic strings runs `nerlo-scan --quiet` RUNS times (default 5) with a warm page
# cache, and prints the median wall time, files and MB per second, and the peak memory.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
runs="${2:-5}"
bench="${NERLO_BENCH_DIR:-/tmp/nerlo-bench}"
files="${NERLO_BENCH_FILES:-20000}"
scan="$build/bin/nerlo-scan"
[ -x "$scan" ] || { echo "build nerlo-scan first ($scan)" >&2; exit 1; }

if [ ! -f "$bench/corpus.done" ] || [ "$(cat "$bench/corpus.done")" != "$files" ]; then
  rm -rf "$bench"
  mkdir -p "$bench"
  echo "generating $files files under $bench/corpus ..."
  python3 "$top/bench/make_corpus.py" corpus "$bench/corpus" --files "$files"
  echo "$files" >"$bench/corpus.done"
fi

python3 - "$scan" "$bench" "$runs" "$top/bench/make_corpus.py" <<'PY'
import os, statistics, subprocess, sys, time
scan, bench, runs, maker = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
corpus = os.path.join(bench, "corpus")
limit = 5 * 1024 * 1024
examined = [os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(corpus) for f in fs]
examined_bytes = sum(s for s in examined if s < limit)
print(f"corpus: {len(examined)} files, {sum(examined) / 1e6:.0f} MB, "
      f"{sum(1 for s in examined if s < limit)} files / {examined_bytes / 1e6:.0f} MB below the limit")
# Warm the page cache.
for d, _, fs in os.walk(corpus):
    for f in fs:
        with open(os.path.join(d, f), "rb") as h:
            while h.read(1 << 20):
                pass
print(f"{'K':>7} {'H':>4} {'median s':>9} {'files/s':>8} {'MB/s':>7} {'peak MB':>8} {'found':>6}  runs")
for k in (1000, 100000):
    for h in (10, 100):
        db = os.path.join(bench, f"db-k{k}-h{h}")
        if not os.path.exists(os.path.join(db, "heuristics.db")):
            subprocess.run([sys.executable, maker, "databases", db, corpus,
                            "--signatures", str(k), "--heuristics", str(h)], check=True)
        times, peaks, found = [], [], None
        for _ in range(runs):
            start = time.monotonic()
            p = subprocess.Popen([scan, "--quiet", "--db-dir", db, corpus],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            out = p.stdout.read()
            _, status, usage = os.wait4(p.pid, 0)
            times.append(time.monotonic() - start)
            peaks.append(usage.ru_maxrss / 1024)
            # The summary's lines by their labels: it has grown lines after these two.
            summary = dict(line.split(": ", 1) for line in out.decode(errors="replace").splitlines()
                           if line.startswith(("Files scanned: ", "Infected: ")))
            scanned = int(summary["Files scanned"])
            found = int(summary["Infected"])
        m = statistics.median(times)
        print(f"{k:>7} {h:>4} {m:>9.2f} {scanned / m:>8.0f} {examined_bytes / 1e6 / m:>7.1f} "
              f"{max(peaks):>8.1f} {found:>6}  " + " ".join(f"{t:.2f}" for t in times), flush=True)
PY
