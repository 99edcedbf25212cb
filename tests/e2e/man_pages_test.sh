#!/usr/bin/env bash
# The manual pages made by the build (BUILD/man, from docs/man/*.scd): every program the build
# installs has one; each one renders with man without a single warning, has the sections
# a reader looks for, names its program in NAME, and its compressed copy (the one installed)
# holds the same page.
# Usage: man_pages_test.sh BIN_DIR
# Exit status 77 (skipped) only when the build made no pages (scdoc missing).
set -euo pipefail
bin="$(cd "$1" && pwd)"
pages="$bin/../man"
if ! ls "$pages"/*.[1-9] >/dev/null 2>&1; then
  echo "SKIP: no manual pages were made (scdoc missing: tools/install-deps)"
  exit 77
fi
command -v man >/dev/null || { echo "FAIL: man is missing (tools/install-deps)" >&2; exit 1; }

# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

# Every program the build installs (cmake/packaging.cmake lists them) has a page.
programs="$bin/../packaging/programs"
[ -s "$programs" ] || fail "$programs, the list of installed programs, is missing"
while IFS= read -r name; do
  [ -n "$name" ] || continue
  ls "$pages/$name".[1-9] >/dev/null 2>&1 || fail "$name has no manual page (docs/man/$name.1.scd)"
done <"${programs}"

for page in "$pages"/*.[1-9]; do
  name="$(basename "$page")"
  name="${name%.*}"
  # groff's warnings (unknown requests, bad escapes, lines it cannot break) go to stderr.
  warnings="$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || fail "$page: man warns: $warnings"
  text="$(MANWIDTH=80 man -l "$page" 2>/dev/null | col -b)"
  for section in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || fail "$page has no $section section"
  done
  grep -q "^ *$name - " <<<"$(grep -A1 -x NAME <<<"$text")" || fail "$page: NAME does not read \"$name - ...\""
  cmp -s "$page" <(gzip -dc "$page.gz") || fail "$page.gz does not hold the page"
  # Debian's form: no file name or time stamp in the gzip header (gzip -n).
  [ "$(od -An -tx1 -j4 -N4 "$page.gz" | tr -d ' ')" = 00000000 ] || fail "$page.gz carries a time stamp"
done

[ "$failures" -eq 0 ] || exit 1
echo "manual pages: $(ls "$pages"/*.[1-9] | wc -l) pages, no warnings"
