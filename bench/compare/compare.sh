#!/usr/bin/env bash
# Whole scans side by side: nerlo-scan, clamscan and yara -p 2 on one generated corpus with
# equivalent signature sets, each tool's database load measured apart from its scan, and the
# floor on the same files (MD5 of every examined file with md5sum in 2 processes; the
# heuristic strings searched with rg -a -F -j2). Prints one table of medians: wall time,
# processor time (user + system), peak memory (/usr/bin/time -v's maximum resident size), the
# files reported, whether exactly the planted files were reported, and the 1-minute load
# average before each run.
#
#   bench/compare/compare.sh [--small] [--reps N] [--build DIR] [--dir DIR] [--clam-million]
#
#   --small      600 files instead of 20,000 (a quick check that everything works); one run
#   --reps N     runs per scan (default 3; 1 with --small)
#   --build DIR  build directory for nerlo-scan (default build-compare, configured with the
#                project's default build type, RelWithDebInfo: -O2)
#   --dir DIR    where the corpus, the signature sets and the results go
#                (default /tmp/nerlo-compare, /tmp/nerlo-compare-small with --small)
#   --nerlo-only skip clamscan and yara (the floor is still measured)
#   --clam-million  also run clamscan at K = 1,000,000 (measured: 28 minutes of wall time,
#                512 s of processor time, on the 600-file corpus: hours on the full one)
#
# Installs clamav, yara, ripgrep and time from the distribution's packages when missing (never
# runs freshclam: the generated signature sets are the only databases used). Signature sets:
# K hash and K window signatures with H heuristic strings, for (K, H) = (1000, 10),
# (1000, 100), (100000, 10), (100000, 100), (1000000, 100); yara is not run at K = 1,000,000
# (compiling a million rules takes longer than the scan), nor clamscan unless asked. Files of 5,242,880 bytes or more are
# not examined by any tool.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(cd "$here/../.." && pwd)"

small=0
reps=""
build="$top/build-compare"
dir=""
clam_million=0
nerlo_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --small) small=1 ;;
    --reps) reps="$2"; shift ;;
    --build) build="$2"; shift ;;
    --dir) dir="$2"; shift ;;
    --clam-million) clam_million=1 ;;
    --nerlo-only) nerlo_only=1 ;;
    *) echo "usage: $0 [--small] [--reps N] [--build DIR] [--dir DIR] [--clam-million]" >&2
       exit 2 ;;
  esac
  shift
done
if [ "$small" = 1 ]; then
  files=600; reps="${reps:-1}"; dir="${dir:-/tmp/nerlo-compare-small}"
else
  files=20000; reps="${reps:-3}"; dir="${dir:-/tmp/nerlo-compare}"
fi
combos=("1000 10" "1000 100" "100000 10" "100000 100" "1000000 100")

# ---- tools
missing=()
command -v clamscan >/dev/null || missing+=(clamav)
command -v yara >/dev/null && command -v yarac >/dev/null || missing+=(yara)
command -v rg >/dev/null || missing+=(ripgrep)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]} ..."
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" \
    >/dev/null
fi

echo "building nerlo-scan (RelWithDebInfo) in $build ..."
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNERLO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target nerlo-scan >/dev/null
nerlo="$build/bin/nerlo-scan"
build_rev="$(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)"

# ---- corpus and signature sets (made once per folder)
mkdir -p "$dir"
corpus="$dir/corpus"
if [ ! -f "$corpus/manifest.json" ]; then
  rm -rf "$corpus"
  python3 "$here/make_corpus.py" --out "$corpus" --files "$files" --seed 1 --infected 40
fi
for k in 1000 100000 1000000; do
  out="$dir/sig-K$k-H100"
  [ -f "$out/sigdb.json" ] && continue
  extra=()
  [ "$k" -ge 1000000 ] && extra=(--no-yara)
  python3 "$here/make_sigdb.py" --manifest "$corpus/manifest.json" --out "$out" -K "$k" -H 100 \
    "${extra[@]}"
done
[ -f "$dir/sig-K1000-H10/sigdb.json" ] ||
  python3 "$here/make_sigdb.py" --manifest "$corpus/manifest.json" --out "$dir/sig-K1000-H10" \
    -K 1000 -H 10 --no-yara
# heur.yar of H = 10 is the first ten rules of H = 100's.
mkdir -p "$dir/sig-K1000-H10/yara"
head -n 10 "$dir/sig-K1000-H100/yara/heur.yar" >"$dir/sig-K1000-H10/yara/heur.yar"

# Nerlo database folders: hash and window databases of K, heuristics of H (hard links).
for combo in "${combos[@]}"; do
  read -r k h <<<"$combo"
  d="$dir/nerlo-K$k-H$h"
  mkdir -p "$d"
  ln -f "$dir/sig-K$k-H100/nerlo/database.db" "$dir/sig-K$k-H100/nerlo/tdb.ldb" "$d/"
  ln -f "$dir/sig-K1000-H$h/nerlo/heuristics.db" "$d/"
done
mkdir -p "$dir/empty" "$dir/one"
[ -f "$dir/one/file.bin" ] || head -c 4096 /dev/urandom >"$dir/one/file.bin"

# The examined files (below the size limit), the planted ones, and the heuristic strings.
python3 - "$corpus" "$dir" "$here" <<'PY'
import json, os, sys
corpus, out, here = sys.argv[1:4]
sys.path.insert(0, here)
from sigcommon import SIZE_LIMIT, heur_strings
man = json.load(open(os.path.join(corpus, "manifest.json")))
with open(os.path.join(out, "examined.lst"), "wb") as f:
    for d, _, names in os.walk(os.path.join(corpus, "tree")):
        for n in sorted(names):
            p = os.path.join(d, n)
            if os.path.getsize(p) < SIZE_LIMIT:
                f.write(os.path.realpath(p).encode() + b"\0")
with open(os.path.join(out, "planted.txt"), "w") as f:
    f.writelines(os.path.realpath(os.path.join(corpus, x["path"])) + "\n"
                 for x in sorted(man["infected"], key=lambda x: x["path"]))
for h in (10, 100):
    with open(os.path.join(out, "strings-H%d.txt" % h), "wb") as f:
        f.write(b"\n".join(heur_strings(h)) + b"\n")
print("corpus: %d files, %.0f MB; examined %d files, %.0f MB; %d planted"
      % (man["files"], man["bytes_total"] / 1e6, man["examined_files"],
         man["examined_bytes"] / 1e6, len(man["infected"])))
PY
sort -u "$dir/planted.txt" -o "$dir/planted.txt"

results="$dir/results.tsv"
printf 'tool\tK\tH\tphase\trun\twall_s\tcpu_s\tpeak_MB\tfound\texact\tload1\n' >"$results"
warm() { xargs -0 cat <"$dir/examined.lst" >/dev/null; }

# measure TOOL K H PHASE RUN PARSER -- command...: times the command, keeps its output in
# $dir/last.out, and turns it into the sorted list of reported files with PARSER.
measure() {
  local tool=$1 k=$2 h=$3 phase=$4 run=$5 parser=$6
  shift 7
  local load1 found exact=-
  load1="$(cut -d' ' -f1 /proc/loadavg)"
  /usr/bin/time -v -o "$dir/time.txt" "$@" >"$dir/last.out" 2>"$dir/last.err" || true
  local wall user sys rss
  wall="$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0;
           for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s}' "$dir/time.txt")"
  user="$(awk -F': ' '/User time/ {print $2}' "$dir/time.txt")"
  sys="$(awk -F': ' '/System time/ {print $2}' "$dir/time.txt")"
  rss="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$dir/time.txt")"
  "$parser" <"$dir/last.out" | sort -u >"$dir/found.txt"
  found="$(wc -l <"$dir/found.txt")"
  if [ "$phase" = scan ]; then
    if cmp -s "$dir/found.txt" "$dir/planted.txt"; then exact=yes; else exact=NO; fi
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%.2f\t%.0f\t%s\t%s\t%s\n' "$tool" "$k" "$h" "$phase" "$run" \
    "$wall" "$(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')" \
    "$(awk -v r="$rss" 'BEGIN {print r / 1024}')" "$found" "$exact" \
    "$load1" | tee -a "$results"
}
nerlo_found() { sed -n 's/: Infected!.*$//p' | xargs -r -d '\n' realpath -e -q || true; }
clam_found() { sed -n 's/: [^:]* FOUND$//p' | xargs -r -d '\n' realpath -e -q || true; }
yara_found() { awk '{ $1 = ""; sub(/^ /, ""); print }' | xargs -r -d '\n' realpath -e -q || true; }
none_found() { cat >/dev/null; }

echo "nerlo-scan build: $build_rev ($nerlo)"
uptime
warm

# ---- the floor
for ((r = 1; r <= reps; r++)); do
  warm
  measure md5sum-P2 - - floor "$r" none_found -- \
    sh -c "xargs -0 -P2 -n 200 md5sum <'$dir/examined.lst' >/dev/null"
  for h in 10 100; do
    warm
    measure rg-j2 - "$h" floor "$r" none_found -- \
      rg -a -F -j2 --max-filesize 5242879 -f "$dir/strings-H$h.txt" "$corpus/tree"
  done
done

# ---- the scanners
for combo in "${combos[@]}"; do
  read -r k h <<<"$combo"
  db="$dir/nerlo-K$k-H$h"
  clam=(-d "$dir/sig-K$k-H100/clamav/nerlo.hdb" -d "$dir/sig-K$k-H100/clamav/nerlo-win.ndb"
        -d "$dir/sig-K1000-H$h/clamav/nerlo-heur.ndb")
  for ((r = 1; r <= reps; r++)); do
    measure nerlo-scan "$k" "$h" load "$r" nerlo_found -- "$nerlo" --quiet --db-dir "$db" "$dir/one"
    warm
    measure nerlo-scan "$k" "$h" scan "$r" nerlo_found -- "$nerlo" --quiet --db-dir "$db" "$corpus/tree"
    [ "$nerlo_only" = 1 ] && continue
    [ "$k" -ge 1000000 ] && [ "$clam_million" = 0 ] && continue
    measure clamscan "$k" "$h" load "$r" clam_found -- clamscan --no-summary "${clam[@]}" "$dir/empty"
    warm
    measure clamscan "$k" "$h" scan "$r" clam_found -- clamscan --no-summary "${clam[@]}" \
      --max-filesize=5242879 --max-scansize=5242879 -r "$corpus/tree"
  done
  if [ "$k" -lt 1000000 ] && [ "$nerlo_only" = 0 ]; then
    compiled="$dir/yara-K$k-H$h.yarc"
    y="$dir/sig-K$k-H100/yara"
    measure yarac "$k" "$h" compile 1 none_found -- \
      yarac -w "$y/hash.yar" "$y/win.yar" "$dir/sig-K1000-H$h/yara/heur.yar" "$compiled"
    for ((r = 1; r <= reps; r++)); do
      measure yara-p2 "$k" "$h" load "$r" yara_found -- yara -w -C -r "$compiled" "$dir/empty"
      warm
      measure yara-p2 "$k" "$h" scan "$r" yara_found -- \
        yara -w -C -r -p 2 -z 5242879 "$compiled" "$corpus/tree"
    done
  fi
done

# ---- the table
echo
echo "Medians of $reps run(s); nerlo-scan build $build_rev; $(nproc) processors"
python3 - "$results" <<'PY'
import csv, statistics, sys
rows = list(csv.DictReader(open(sys.argv[1]), delimiter="\t"))
groups = {}
for r in rows:
    groups.setdefault((r["tool"], r["K"], r["H"], r["phase"]), []).append(r)
print("%-11s %8s %4s %-8s %8s %8s %8s %6s %6s %s" % (
    "tool", "K", "H", "phase", "wall s", "cpu s", "peak MB", "found", "exact", "load1"))
for (tool, k, h, phase), rs in groups.items():
    med = lambda key: statistics.median(float(r[key]) for r in rs)
    exact = "-" if all(r["exact"] == "-" for r in rs) else (
        "yes" if all(r["exact"] == "yes" for r in rs) else "NO")
    loads = sorted(float(r["load1"]) for r in rs)
    print("%-11s %8s %4s %-8s %8.2f %8.2f %8.0f %6s %6s %s" % (
        tool, k, h, phase, med("wall_s"), med("cpu_s"), max(float(r["peak_MB"]) for r in rs),
        rs[0]["found"], exact,
        "%.2f" % loads[0] if len(loads) == 1 else "%.2f-%.2f" % (loads[0], loads[-1])))
PY
echo "raw runs: $results"
uptime
