#!/usr/bin/env bash
# The desktop program's figures: a whole scan in the scanner window against nerlo-scan on the
# same generated tree (10 and 100 heuristic strings, medians of RUNS), how soon the "Stop
# Scanning?" question appears while 40 files of 5 MiB are searched for 100 heuristic strings, how
# soon the launcher appears after start, and the idle program's peak memory.
#
#   bench/gui_bench.sh [BUILD_DIR] [RUNS]
#
# Runs under the current X display, or under xvfb-run when there is none. The corpus (3,000
# files by default, NERLO_BENCH_FILES) and databases (1,000 hash and window signatures) are
# generated once under $NERLO_GUI_BENCH_DIR (default /tmp/nerlo-gui-bench).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
runs="${2:-5}"
bench="${NERLO_GUI_BENCH_DIR:-/tmp/nerlo-gui-bench}"
files="${NERLO_BENCH_FILES:-3000}"

if [ -z "${DISPLAY:-}" ] && [ -z "${NERLO_IN_XVFB:-}" ]; then
  command -v xvfb-run >/dev/null || { echo "no display and no xvfb-run" >&2; exit 1; }
  export NERLO_IN_XVFB=1
  # -noreset: by default the server resets when its last client leaves, and a launcher started
  # right then could not open the display.
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$build" "$runs"
fi

cmake --build "$build" -j2 --target nerlo nerlo-scan nerlo-desktop-bench default_databases >/dev/null

if [ ! -f "$bench/corpus.done" ] || [ "$(cat "$bench/corpus.done")" != "$files" ]; then
  rm -rf "$bench"
  mkdir -p "$bench"
  echo "generating $files files under $bench/corpus ..."
  python3 "$top/bench/make_corpus.py" corpus "$bench/corpus" --files "$files" >/dev/null
  echo "$files" >"$bench/corpus.done"
fi
for h in 10 100; do
  [ -f "$bench/db-h$h/heuristics.db" ] ||
    python3 "$top/bench/make_corpus.py" databases "$bench/db-h$h" "$bench/corpus" \
      --signatures 1000 --heuristics "$h" >/dev/null
done

python3 - "$build" "$bench" "$runs" <<'PY'
import os, signal, statistics, subprocess, sys, tempfile, time
build, bench, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
scan = os.path.join(build, "bin", "nerlo-scan")
desktop = os.path.join(build, "bin", "nerlo")
driver = os.path.join(build, "bench", "nerlo-desktop-bench")
corpus = os.path.join(bench, "corpus")
for d, _, fs in os.walk(corpus):  # warm the page cache
    for f in fs:
        with open(os.path.join(d, f), "rb") as h:
            while h.read(1 << 20):
                pass

print(f"whole scan of {corpus}, medians of {runs}")
print(f"{'H':>4} {'nerlo-scan s':>13} {'desktop s':>10} {'ratio':>6} {'scanned':>8} {'found':>6}")
for h in (10, 100):
    db = os.path.join(bench, f"db-h{h}")
    # Runs alternate between the two programs, so that a change in the machine's load
    # falls on both alike. The driver times the scan from OK to the results dialog.
    cli, gui_times = [], []
    for _ in range(runs):
        start = time.monotonic()
        out = subprocess.run([scan, "--quiet", "--db-dir", db, corpus], capture_output=True,
                             text=True, errors="replace").stdout.splitlines()
        cli.append(time.monotonic() - start)
        summary = {l.split(": ")[0]: l.split(": ")[-1] for l in out if ": " in l}
        cli_found = int(summary["Infected"])
        cli_scanned = int(summary["Files scanned"])
        line = subprocess.run([driver, "scan", db, corpus, "1"], capture_output=True,
                              text=True).stdout.split()
        gui_times.append(float(line[0]))
        scanned, found = int(line[1]), int(line[2])
        if (scanned, found) != (cli_scanned, cli_found):
            print(f"  MISMATCH: nerlo-scan {cli_scanned}/{cli_found}, desktop {scanned}/{found}")
    c, g = statistics.median(cli), statistics.median(gui_times)
    print(f"{h:>4} {c:>13.3f} {g:>10.3f} {g / c:>6.2f} {scanned:>8} {found:>6}")

# The question while files of just under 5 MiB are searched for 100 strings: 40 names of one
# such file, so that the walk waits on the helpers for a second or more.
big_dir = os.path.join(bench, "big")
if not os.path.isdir(big_dir):
    os.makedirs(big_dir)
    first = os.path.join(big_dir, "big00.bin")
    with open(first, "wb") as f:
        f.write(os.urandom(5 * 1024 * 1024 - 1))
    for i in range(1, 40):
        os.link(first, os.path.join(big_dir, f"big{i:02}.bin"))
lat = []
for _ in range(runs):
    out = subprocess.run([driver, "stop", os.path.join(bench, "db-h100"), big_dir, "50"],
                         capture_output=True, text=True).stdout.split()
    lat += [float(x) for x in out]
if lat:
    lat.sort()
    print(f"'Stop Scanning?' while 40 files of 5 MiB are searched for 100 strings: {len(lat)} clicks, "
          f"median {statistics.median(lat):.1f} ms, 95th {lat[int(len(lat) * 0.95) - 1]:.1f} ms, "
          f"max {lat[-1]:.1f} ms")

# Launcher on screen after start; peak memory once idle.
appear, peak, missed = [], [], 0
env = dict(os.environ, XDG_CONFIG_HOME=tempfile.mkdtemp(prefix="nerlo-gui-bench-cfg"))
for _ in range(runs):
    start = time.monotonic()
    errors = tempfile.TemporaryFile()
    p = subprocess.Popen([desktop], env=env, stderr=errors)
    seen = False
    while time.monotonic() - start <= 20:
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(p.pid),
                            "--name", "^Nerlo$"], capture_output=True)
        if r.returncode == 0 and r.stdout.strip():
            seen = True
            break
        if p.poll() is not None:
            break
        time.sleep(0.005)
    # A launcher never seen is no time: it is counted apart, with what the program was doing.
    if seen:
        appear.append(time.monotonic() - start)
    else:
        missed += 1
        errors.seek(0)
        said = errors.read().decode(errors="replace").strip()
        print(f"launcher not seen (the program has "
              f"{'exited with ' + str(p.returncode) if p.poll() is not None else 'not exited'}"
              f"{', saying: ' + said if said else ''})")
        if p.poll() is not None:
            continue
    time.sleep(1.0)
    with open(f"/proc/{p.pid}/status") as s:
        for line in s:
            if line.startswith("VmHWM:"):
                peak.append(int(line.split()[1]) / 1024)
    p.send_signal(signal.SIGTERM)
    p.wait()
shown = (f"median {statistics.median(appear) * 1000:.0f} ms (max {max(appear) * 1000:.0f} ms)"
         if appear else "never")
print(f"launcher visible after start: {shown}, not seen in {missed} of {runs} starts; "
      f"idle peak memory median {statistics.median(peak) if peak else float('nan'):.1f} MB")
if missed:
    sys.exit(1)
PY
