#!/usr/bin/env bash
# 50 updates installed while nerlo-scan runs again and again: no scan reads a missing or
# partial database, and each scan's detections are those of one set
# (tests/e2e/kestry_kill.py).
# Usage: kestry_scans_test.sh BIN_DIR
set -euo pipefail
[ -x "$1/kestry" ] || { echo "SKIP: kestry was not built"; exit 77; }
exec python3 "$(dirname "${BASH_SOURCE[0]}")/kestry_kill.py" scans "$1" "${NERLO_SCAN_UPDATES:-50}"
