#!/usr/bin/env bash
# End-to-end tests of signature sets: nerlo-sigtool keygen, publish and verify on a mirror,
# installed sets chosen by nerlo-scan (newest wins, broken ones passed over, expiry warned
# about, --db-dir still obeyed), and import-hashes of mixed public hash lists.
# Usage: signature_set_test.sh BIN_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
scan="$bin/nerlo-scan"
sigtool="$bin/nerlo-sigtool"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# No installed root but the ones a check names.
export NERLO_SET_ROOTS=

# Failure counting shared by these tests: fail, expect_eq.
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"

# expect_in NAME PATTERN FILE: FILE holds a line matching the extended regular expression.
expect_in() {
  grep -q -a -E -- "$2" "$3" || {
    fail "$1: no line matching '$2' in:"
    cat "$3" >&2
  }
}

# run CMD...: runs a command, keeping its output in $work/out, $work/err and its status.
run() {
  status=0
  "$@" >"$work/out" 2>"$work/err" || status=$?
}

# detections: the sorted "PATH: Infected! [check]" lines of the last run.
detections() { grep -a 'Infected!' "$work/out" | LC_ALL=C sort || true; }

# ---- Databases, samples and a tree -----------------------------------------------------
for n in 1 2 3 4; do head -c $((900 + n)) /dev/urandom >"$work/sample$n.bin"; done
printf 'NEVER-SEEN-MARKER\n' >"$work/list.txt"
for n in 1 2; do
  mkdir -p "$work/db$n"
  "$sigtool" --db-dir "$work/db$n" hash "$work/sample$n.bin"
  "$sigtool" --db-dir "$work/db$n" heuristics "$work/list.txt"
done
tree="$work/tree"
mkdir -p "$tree"
cp "$work"/sample?.bin "$tree/"
printf 'clean\n' >"$tree/clean.txt"

# ---- keygen ------------------------------------------------------------------------------
run "$sigtool" keygen "$work/key"
expect_eq "keygen status" 0 "$status"
expect_eq "secret key mode" 600 "$(stat -c %a "$work/key")"
expect_eq "secret key size" 129 "$(stat -c %s "$work/key")"
expect_eq "public key size" 65 "$(stat -c %s "$work/key.pub")"
grep -q -E '^[0-9a-f]{64}$' "$work/key.pub" || fail "public key is not one line of hex"
before="$(sha256sum <"$work/key")"
run "$sigtool" keygen "$work/key"
expect_eq "keygen over an existing key" 1 "$status"
expect_in "keygen refusal names the file" 'key": File exists' "$work/err"
expect_eq "existing key unchanged" "$before" "$(sha256sum <"$work/key")"
# A public key file already there: nothing is left behind.
touch "$work/other.pub"
run "$sigtool" keygen "$work/other"
expect_eq "keygen with the .pub taken" 1 "$status"
[ ! -e "$work/other" ] || fail "secret key left behind after a failed keygen"
run "$sigtool" keygen
expect_eq "keygen without a file" 2 "$status"
"$sigtool" keygen "$work/key2" >/dev/null

# ---- publish -----------------------------------------------------------------------------
mirror="$work/mirror"
run "$sigtool" publish --key "$work/key" --version 5 --out "$mirror" "$work/db1"
expect_eq "publish status" 0 "$status"
expect_eq "signature size" 64 "$(stat -c %s "$mirror/channel.json.sig")"
for f in database.db heuristics.db; do
  hash="$(sha256sum <"$work/db1/$f" | cut -d' ' -f1)"
  cmp -s "$work/db1/$f" "$mirror/files/$hash" || fail "files/$hash is not $f"
  grep -q "\"name\":\"$f\",\"size\":$(stat -c %s "$work/db1/$f"),\"sha256\":\"$hash\"" \
    "$mirror/channel.json" || fail "channel.json does not name $f"
done
grep -q '"version":5,' "$mirror/channel.json" || fail "channel.json version"
grep -q tdb.ldb "$mirror/channel.json" && fail "a missing database was published"
run "$sigtool" verify "$mirror" --key "$work/key.pub"
expect_eq "verify of a fresh mirror" 0 "$status"
expect_in "verify says OK" '^OK: mirror .*version 5, 2 files, signature good' "$work/out"

cp "$mirror/channel.json" "$work/channel.v5"
for v in 5 4; do
  run "$sigtool" publish --key "$work/key" --version $v --out "$mirror" "$work/db2"
  expect_eq "publish of version $v over 5" 1 "$status"
  expect_in "refusal of version $v" "version $v is not higher than version 5" "$work/err"
done
cmp -s "$work/channel.v5" "$mirror/channel.json" || fail "a refused publish changed channel.json"

# Keys of the wrong kind or length, and a secret key whose halves do not belong together.
printf '%s\n' "$(head -c 63 /dev/zero | tr '\0' a)" >"$work/short.key"
printf '%s\n' "$(head -c 64 /dev/urandom | od -An -tx1 | tr -d ' \n')" >"$work/mixed.key"
for key in key.pub short.key mixed.key missing.key; do
  run "$sigtool" publish --key "$work/$key" --version 9 --out "$mirror" "$work/db2"
  expect_eq "publish with $key" 1 "$status"
done
run "$sigtool" publish --key "$work/mixed.key" --version 9 --out "$mirror" "$work/db2"
expect_in "mixed key named" 'mixed.key": not an Ed25519 secret key' "$work/err"
run "$sigtool" publish --key "$work/key.pub" --version 9 --out "$mirror" "$work/db2"
expect_in "public key as secret" 'expected 128 hex digits' "$work/err"

for args in "--version 0" "--version abc" "--version 07" "--version 18446744073709551616" \
  "--version 9 --expires-in 0" "--version 9 --expires-in x" "--version 9 --bogus 1"; do
  # shellcheck disable=SC2086
  run "$sigtool" publish --key "$work/key" $args --out "$mirror" "$work/db2"
  expect_eq "publish $args" 2 "$status"
done
run "$sigtool" publish --key "$work/key" --version 9 "$work/db2"
expect_eq "publish without --out" 2 "$status"
mkdir -p "$work/empty"
run "$sigtool" publish --key "$work/key" --version 9 --out "$mirror" "$work/empty"
expect_eq "publish of a folder without databases" 1 "$status"
cmp -s "$work/channel.v5" "$mirror/channel.json" || fail "a failed publish changed channel.json"

run "$sigtool" publish --key "$work/key" --version 6 --expires-in 30 --out "$mirror" "$work/db2"
expect_eq "publish of version 6" 0 "$status"
# Both versions' files stay (the heuristics.db of both is the same file).
expect_eq "files of both versions kept" 3 "$(ls "$mirror/files" | wc -l)"
run "$sigtool" verify "$mirror" --key "$work/key.pub"
expect_eq "verify of version 6" 0 "$status"

# A mirror whose channel.json cannot be read as one is never published over.
cp -r "$mirror" "$work/mirror-bad"
printf '{"format":1,' >"$work/mirror-bad/channel.json"
run "$sigtool" publish --key "$work/key" --version 99 --out "$work/mirror-bad" "$work/db2"
expect_eq "publish over a malformed channel.json" 1 "$status"
expect_in "malformed channel named" 'channel.json": malformed' "$work/err"

# ---- verify names what is wrong ----------------------------------------------------------
# tamper NAME COMMAND: copies the mirror, runs COMMAND in the copy, expects verify to fail
# with a line matching $says.
tamper() {
  rm -rf "$work/t" && cp -r "$mirror" "$work/t"
  (cd "$work/t" && eval "$2")
  run "$sigtool" verify "$work/t" --key "$work/key.pub"
  expect_eq "verify of a mirror with $1" 1 "$status"
  expect_in "verify of a mirror with $1" "$says" "$work/err"
}
db2_hash="$(sha256sum <"$work/db2/database.db" | cut -d' ' -f1)"
says='does not verify' tamper "channel.json changed" "sed -i 's/\"version\":6/\"version\":7/' channel.json"
says='does not verify' tamper "a signature over other bytes" "cp '$work/channel.v5' channel.json"
says='63 bytes, a signature has 64' tamper "a short signature" "truncate -s 63 channel.json.sig"
says="database.db: .*files/$db2_hash.*No such file" tamper "a missing file" "rm files/$db2_hash"
says="database.db: .*has SHA-256" tamper "a changed file" \
  "printf 'X' | dd of=files/$db2_hash bs=1 seek=3 conv=notrunc status=none"
says='holds [0-9]+ bytes, channel.json says' tamper "a longer file" "printf 'X' >>files/$db2_hash"
says='larger than 65536' tamper "an oversized channel.json" \
  "head -c 70000 /dev/zero | tr '\\0' ' ' >>channel.json"
run "$sigtool" verify "$mirror" --key "$work/key2.pub"
expect_eq "verify with another key" 1 "$status"
expect_in "verify with another key" 'does not verify with this key' "$work/err"
run "$sigtool" verify "$work/empty" --key "$work/key.pub"
expect_eq "verify of a folder that is neither" 1 "$status"
run "$sigtool" verify "$mirror"
expect_eq "verify without --key" 2 "$status"

# ---- installed sets and the scan ---------------------------------------------------------
# install ROOT VERSION DBDIR [EXPIRES]: installs DBDIR's databases as set VERSION of ROOT,
# with a manifest as the updater writes it, and points ROOT/current at it.
install_set() {
  local root="$1" version="$2" db="$3" expires="${4:-2999-01-01T00:00:00Z}" files="" f
  mkdir -p "$root/sets/$version"
  for f in database.db heuristics.db; do
    cp "$db/$f" "$root/sets/$version/"
    files+="${files:+,}{\"name\":\"$f\",\"size\":$(stat -c %s "$db/$f"),\"sha256\":\"$(sha256sum <"$db/$f" | cut -d' ' -f1)\"}"
  done
  printf '{"format":1,"version":%s,"created":"2026-01-01T00:00:00Z","expires":"%s","files":[%s]}\n' \
    "$version" "$expires" "$files" >"$root/sets/$version/nerlo-set.json"
  ln -sfn "sets/$version" "$root/current"
}
user="$work/user-root"
system="$work/system-root"
install_set "$system" 5 "$work/db1"
install_set "$user" 6 "$work/db2"

NERLO_SET_ROOTS="$user:$system" run "$scan" --version
expect_eq "--version status" 0 "$status"
expect_in "--version engine" '^nerlo-scan \(Nerlo\) 1\.00$' "$work/out"
expect_in "--version set" '^Signature set: version 6, created 2026-01-01T00:00:00Z, expires 2999-01-01T00:00:00Z$' "$work/out"
expect_in "--version folder" "^Folder: $user/sets/6/\$" "$work/out"
expect_in "--version counts" '^Signatures: 1 hashes, no byte windows \(tdb.ldb missing\), 1 heuristic strings$' "$work/out"

NERLO_SET_ROOTS="$user:$system" run "$scan" "$tree"
expect_eq "scan with the newest set" 1 "$status"
expect_in "scan names the set's folder" "^Databases: $user/sets/6/\$" "$work/out"
expect_eq "detections of set 6" "$tree/sample2.bin: Infected! [hash]" "$(detections)"
run "$sigtool" verify "$user" --key "$work/key.pub"
expect_eq "verify of an installed root" 0 "$status"
expect_in "verify of an installed root" 'no signature kept with the set' "$work/out"

# Without installed sets: the databases beside the program.
run "$scan" --version
expect_in "--version without sets" '^Signature set: version 0, the databases shipped' "$work/out"
expect_in "--version without sets" "^Folder: $bin/\$" "$work/out"

# A set whose file differs in size from its manifest is passed over, with one warning.
install_set "$work/broken" 9 "$work/db1"
printf 'more' >>"$work/broken/sets/9/database.db"
NERLO_SET_ROOTS="$work/broken:$user:$system" run "$scan" "$tree"
expect_eq "detections past a broken set" "$tree/sample2.bin: Infected! [hash]" "$(detections)"
expect_eq "one warning for the broken set" 1 "$(grep -c 'passed over' "$work/err")"
expect_in "warning names the set" "warning: signature set \"$work/broken/sets/9/\" passed over: .*database.db.*bytes, the manifest says" "$work/err"
run "$sigtool" verify "$work/broken" --key "$work/key.pub"
expect_eq "verify of the broken set" 1 "$status"
expect_in "verify names the file" 'sets/9/database.db": [0-9]+ bytes, the manifest says' "$work/err"
# A half-installed set: current names a version whose manifest is not there.
mkdir -p "$work/half/sets/10" && cp "$work/db1/database.db" "$work/half/sets/10/"
ln -s sets/10 "$work/half/current"
NERLO_SET_ROOTS="$work/half:$system" run "$scan" "$tree"
expect_eq "detections past a half-installed set" "$tree/sample1.bin: Infected! [hash]" "$(detections)"
expect_in "half-installed set named" "\"$work/half/sets/10/\" passed over: .*nerlo-set.json.*cannot be read" "$work/err"

# An expired set is still used, with a warning giving its age, on every scan.
install_set "$work/old" 12 "$work/db1" 2026-01-08T00:00:00Z
NERLO_SET_ROOTS="$work/old:$user" run "$scan" "$tree"
expect_eq "detections of the expired set" "$tree/sample1.bin: Infected! [hash]" "$(detections)"
expect_in "expiry warning" '^nerlo-scan: warning: the signature set \(version 12\) expired on 2026-01-08T00:00:00Z and is [0-9]+ days old' "$work/err"
NERLO_SET_ROOTS="$work/old" run "$scan" --quiet "$tree"
expect_in "expiry warning under --quiet" 'expired on 2026-01-08' "$work/err"

# --db-dir keeps its meaning: that folder, whatever is installed.
NERLO_SET_ROOTS="$user" run "$scan" --db-dir "$work/db1" "$tree"
expect_eq "detections with --db-dir" "$tree/sample1.bin: Infected! [hash]" "$(detections)"
expect_in "--db-dir folder" "^Databases: $work/db1/\$" "$work/out"

# ---- import-hashes -----------------------------------------------------------------------
md5() { md5sum <"$1" | cut -d' ' -f1; }
upper() { tr a-f A-F; }
db3="$work/db3"
mkdir -p "$db3"
cp "$work/db1/heuristics.db" "$db3/"
{
  printf '# a feed of digests\r\n'
  printf '\r\n'
  printf '%s\r\n' "$(md5 "$work/sample3.bin" | upper)"                  # plain MD5, CR LF
  printf '%s:%s:Sample.Three\n' "$(md5 "$work/sample3.bin")" 903       # again, as .hdb
  printf '%s:*:Sample.Any\n' "$(sha1sum <"$work/sample1.bin" | cut -d' ' -f1)"
  printf '%s:901:Sample.One\n' "$(sha256sum <"$work/sample1.bin" | cut -d' ' -f1)"
  printf '%s:6000000:Too.Big\n' "$(md5 "$work/sample1.bin")"
  printf '%s:*:Sample.Four:73' "$(md5 "$work/sample4.bin" | upper)"     # no final line end
} >"$work/mixed.hsb"
{
  printf 'not a hash\n'                                                 # 1
  printf '%s\n' "$(md5 "$work/sample1.bin" | cut -c 1-31)"              # 2 short
  printf '%sg\n' "$(md5 "$work/sample1.bin" | cut -c 1-31)"             # 3 not hex
  printf '%s:12\n' "$(md5 "$work/sample1.bin")"                         # 4 two fields
  printf '%s:x:Name\n' "$(md5 "$work/sample1.bin")"                     # 5 size
  printf '%s:12:\n' "$(md5 "$work/sample1.bin")"                        # 6 no name
  printf '%s:-1:Name\n' "$(md5 "$work/sample1.bin")"                    # 7 negative size
  printf ':12:Name\n'                                                   # 8 no hash
  printf '%s:1:N:x\n' "$(md5 "$work/sample1.bin")"                      # 9 engine level
  printf '%s:1:N:1:2:3\n' "$(md5 "$work/sample1.bin")"                  # 10 six fields
  printf '%s\n' "$(md5 "$work/sample2.bin")"                            # 11 good
  printf 'zz\n'                                                         # 12
  printf '%s %s\n' "$(md5 "$work/sample1.bin")" "sample1.bin"           # 13 md5sum style
} >"$work/bad.txt"
run "$sigtool" --db-dir "$db3" import-hashes "$work/mixed.hsb" "$work/bad.txt"
expect_eq "import status" 0 "$status"
expect_eq "import counts" "Lines read: 21 in 2 files
Added: 3
Already present: 1
Skipped: 3 (SHA-1: 1, SHA-256: 1, 5 MiB or more: 1)
Malformed: 12" "$(cat "$work/out")"
expect_eq "malformed lines reported" 11 "$(wc -l <"$work/err")"
expect_eq "first malformed line" "nerlo-sigtool: $work/bad.txt:1: malformed: not an MD5, SHA-1 or SHA-256 hash (32, 40 or 64 hex digits): \"not a hash\"" "$(head -n 1 "$work/err")"
for n in 1 2 3 4 5 6 7 8 9 10; do
  grep -q "^nerlo-sigtool: $work/bad.txt:$n: malformed: " "$work/err" || fail "malformed line $n not reported"
done
expect_in "the rest counted" '^nerlo-sigtool: \.\.\. and 2 more malformed lines$' "$work/err"
run "$scan" --db-dir "$db3" "$tree"
expect_eq "detections of imported hashes" "$tree/sample2.bin: Infected! [hash]
$tree/sample3.bin: Infected! [hash]
$tree/sample4.bin: Infected! [hash]" "$(detections)"
before="$(sha256sum <"$db3/database.db")"
run "$sigtool" --db-dir "$db3" import-hashes "$work/mixed.hsb"
expect_in "a second import adds nothing" '^Added: 0$' "$work/out"
expect_in "a second import finds them present" '^Already present: 3$' "$work/out"
run "$sigtool" --db-dir "$db3" import-hashes "$work/bad.txt" "$work/missing.txt"
expect_eq "import of a missing list" 1 "$status"
expect_eq "database unchanged after a failed import" "$before" "$(sha256sum <"$db3/database.db")"
run "$sigtool" --db-dir "$db3" import-hashes
expect_eq "import without a list" 2 "$status"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "signature sets: keygen, publish, verify, installed sets chosen by nerlo-scan, import-hashes"
