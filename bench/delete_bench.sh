#!/usr/bin/env bash
# Times a scan that deletes: `nerlo-scan --delete` over 1,000 files of 100 KB, each detected by
# one heuristic string, the folder made afresh before every run (so the page cache is warm for
# the files but every deletion is real). Prints the median wall time of RUNS runs (default 5)
# and the removed and quarantined counts of the last one.
#
#   bench/delete_bench.sh [BUILD_DIR] [RUNS]
#
# The quarantine goes to $NERLO_BENCH_DIR/quarantine (the same file system as the files), and
# is emptied before every run so that every run starts from the same state. The scans read a
# settings file of their own; NERLO_BENCH_KEEP=0 turns the quarantine off in it ([Quarantine]
# Keep=0), for the time of plain deletions to compare with.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
runs="${2:-5}"
bench="${NERLO_BENCH_DIR:-/tmp/nerlo-delete-bench}"
scan="$build/bin/nerlo-scan"
sigtool="$build/bin/nerlo-sigtool"
[ -x "$scan" ] && [ -x "$sigtool" ] || { echo "build nerlo-scan and nerlo-sigtool first" >&2; exit 1; }

rm -rf "$bench"
mkdir -p "$bench/db" "$bench/config/nerlo"
printf '[Quarantine]\nKeep=%s\n' "${NERLO_BENCH_KEEP:-1}" >"$bench/config/nerlo/nerlo.ini"
printf 'nerlo-delete-bench-mark\n' >"$bench/list.txt"
"$sigtool" heuristics "$bench/list.txt" --db-dir "$bench/db" >/dev/null

python3 - "$scan" "$bench" "$runs" <<'PY'
import os, random, shutil, statistics, subprocess, sys, time
scan, bench, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
files = os.path.join(bench, "files")
quarantine = os.path.join(bench, "quarantine")
env = dict(os.environ, NERLO_QUARANTINE_DIR=quarantine,
           XDG_CONFIG_HOME=os.path.join(bench, "config"))
rng = random.Random(7)
template = [bytes(rng.getrandbits(8) for _ in range(100 * 1024)) for _ in range(4)]
times, out = [], b""
for run in range(runs):
    shutil.rmtree(files, ignore_errors=True)
    shutil.rmtree(quarantine, ignore_errors=True)
    os.makedirs(files)
    for i in range(1000):
        data = bytearray(template[i % 4])
        data[512 + i:512 + i + 23] = b"nerlo-delete-bench-mark"
        data[0:8] = i.to_bytes(8, "little")
        with open(os.path.join(files, f"f{i:04d}.bin"), "wb") as h:
            h.write(data)
    os.sync()
    start = time.monotonic()
    p = subprocess.run([scan, "--quiet", "--delete", "--db-dir", os.path.join(bench, "db"), files],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    times.append(time.monotonic() - start)
    out = p.stdout
left = len(os.listdir(files))
summary = [l for l in out.decode(errors="replace").splitlines()
           if l.startswith(("Removed:", "Quarantined:"))]
print(f"1000 detections of 100 KB deleted: median {statistics.median(times):.3f} s "
      f"(runs: {' '.join(f'{t:.3f}' for t in times)}); files left: {left}; " + "; ".join(summary))
PY
