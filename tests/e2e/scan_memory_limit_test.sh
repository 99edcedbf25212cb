#!/usr/bin/env bash
# End-to-end test of nerlo-scan with too little address space (ulimit -v) for its databases,
# its buffers or its threads: at every limit of a sweep the scan either completes (a thread
# that cannot be started leaves its work to the main thread, with a warning) or ends with
# an error it names; it never hangs and never aborts. Each run is bounded by `timeout`.
# Usage: scan_memory_limit_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
sigtool="$bin/nerlo-sigtool"
[ -x "$scan" ] || { echo "nerlo-scan not built" >&2; exit 77; }
# A sanitizer's runtime reserves terabytes of address space at start: no such build can run
# under an address-space limit at all.
if grep -q -E 'lib(a|ub|t)san' < <(ldd "$scan"); then
  echo "sanitized build: an address-space limit is not testable" >&2
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

# Databases large enough that loading them, their indexes and the heuristic automaton takes
# most of the memory: a window database of 40 MB and 100,000 heuristic strings.
db="$work/db"
mkdir -p "$db" "$work/t"
head -c 1000 /dev/urandom >"$work/t/infected.bin"
"$sigtool" --db-dir "$db" hash "$work/t/infected.bin"
"$sigtool" --db-dir "$db" windows "$work/t/infected.bin"
python3 - "$db/tdb.ldb" "$work/list.txt" <<'PY'
import random, sys
r = random.Random(7)
lines = [l for l in open(sys.argv[1], 'rb').read().split(b'\r\n') if l]
alphabet = sorted(set(b''.join(lines)))
with open(sys.argv[1], 'ab') as out:
    size, chunk = 0, []
    while size < 40 * 1024 * 1024:
        line = bytes(r.choice(alphabet) for _ in range(8)) * 8 + b'\r\n'
        chunk.append(line)
        size += len(line)
        if len(chunk) == 10000:
            out.write(b''.join(chunk))
            chunk = []
    out.write(b''.join(chunk))
with open(sys.argv[2], 'w') as out:
    for i in range(100000):
        out.write('%08x-%d-string\n' % (r.getrandbits(32), i))
PY
"$sigtool" --db-dir "$db" heuristics "$work/list.txt"
for i in $(seq 1 40); do head -c $((i * 997)) /dev/urandom >"$work/t/clean$i"; done

completed=0
for mb in $(seq 64 32 640) 4096; do
  status=0
  (ulimit -v $((mb * 1024)); exec timeout 120 "$scan" --quiet --db-dir "$db" "$work/t") \
    >"$work/out" 2>"$work/err" || status=$?
  summary="$(tr '\n' ' ' <"$work/err")"
  summary="${summary:0:300}"
  echo "ulimit -v ${mb} MiB: status $status, $(grep -c 'Infected!' "$work/out" || true) detections; $summary"
  case "$status" in
    1)
      # Completed: every check found what it should.
      [ "$(grep -c "^$work/t/infected.bin: Infected!" "$work/out")" = 9 ] \
        || fail "$mb MiB: completed with other detections: $(cat "$work/out")"
      grep -q '^Files scanned: 41$' "$work/out" || fail "$mb MiB: not every file scanned"
      completed=$((completed + 1))
      ;;
    2)
      [ -s "$work/err" ] || fail "$mb MiB: an error without a message"
      ;;
    124) fail "$mb MiB: still running after 120 s" ;;
    *) fail "$mb MiB: ended with status $status: $summary" ;;
  esac
done
[ "$completed" -gt 0 ] || fail "no run completed, not even without a tight limit"

[ "$failures" -eq 0 ] && echo "memory limits: all passed"
exit $((failures > 0))
