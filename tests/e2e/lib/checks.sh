# Sourced by the end-to-end test scripts: a count of failed checks and the ways to add to it.
# A script ends with status 1 when $failures is above 0.
failures=0

# fail MESSAGE...: counts a failed check and says what failed on stderr.
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_eq NAME EXPECTED ACTUAL: a failure named NAME, with the difference, when they differ.
expect_eq() {
  if [ "$2" != "$3" ]; then
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2 || true
  fi
}
