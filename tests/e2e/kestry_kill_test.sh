#!/usr/bin/env bash
# The updater killed at 200 random points: afterwards the set in use is the old or the new
# one, complete, and the next run installs the new one and cleans up (tests/e2e/kestry_kill.py).
# Usage: kestry_kill_test.sh BIN_DIR
set -euo pipefail
[ -x "$1/kestry" ] || { echo "SKIP: kestry was not built"; exit 77; }
exec python3 "$(dirname "${BASH_SOURCE[0]}")/kestry_kill.py" kill "$1" "${NERLO_KILL_TRIALS:-200}"
