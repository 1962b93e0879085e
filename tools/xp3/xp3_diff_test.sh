#!/bin/bash
# `xp3 diff` between two releases packed from generated trees: entries
# added, removed, changed in size or only in content, a repack with another
# compression that changes nothing the game sees, the JSON document with a
# non-ASCII name, and the exit codes (0 same, 1 different, 2 trouble).
#
# usage: xp3_diff_test.sh XP3_PROGRAM [RUNNER]
set -u
xp3=$1
runner=${2:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/xp3_diff.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
arg() { if [ -n "$runner" ]; then local p=${1//\//\\}; echo "Z:$p"; else echo "$1"; fi; }
run() {
  if [ -n "$runner" ]; then "$runner" "$xp3" "$@" >"$work/out.txt" 2>"$work/err.txt" </dev/null
  else "$xp3" "$@" >"$work/out.txt" 2>"$work/err.txt" </dev/null; fi
  rc=$?
  sed -i 's/\r$//' "$work/out.txt" "$work/err.txt"
}
expect() {  # what expected-rc
  [ "$rc" = "$2" ] || { fail "$1: exit $rc, expected $2"; sed 's/^/  /' "$work/out.txt" "$work/err.txt" >&2; }
}
expect_line() {  # what pattern
  grep -Eq -- "$2" "$work/out.txt" || { fail "$1: no line matching $2"; sed 's/^/  /' "$work/out.txt" >&2; }
}

mkdir -p "$work/v1/scenario" "$work/v1/bg" "$work/v2/scenario" "$work/v2/文本"
seq 1 1000 >"$work/v1/scenario/ch1.txt"
printf 'abcd' >"$work/v1/scenario/ch2.txt"
printf 'old image' >"$work/v1/bg/old.png"
seq 1 500 >"$work/v1/same.txt"
seq 1 1200 >"$work/v2/scenario/ch1.txt"             # grows
printf 'abce' >"$work/v2/scenario/ch2.txt"          # same size, other bytes
cp "$work/v1/same.txt" "$work/v2/same.txt"          # unchanged
printf 'new chapter' >"$work/v2/文本/第1章.txt"      # added; bg/old.png removed
run pack "$(arg "$work/v1")" -o "$(arg "$work/v1.xp3")" --compress zlib
expect "pack v1" 0
run pack "$(arg "$work/v1")" -o "$(arg "$work/v1-zstd.xp3")" --compress zstd --segment-size 1K
expect "pack v1 again with zstd" 0
run pack "$(arg "$work/v2")" -o "$(arg "$work/v2.xp3")" --compress zstd
expect "pack v2" 0

run diff "$(arg "$work/v1.xp3")" "$(arg "$work/v1-zstd.xp3")"
expect "diff of one tree packed two ways" 0
expect_line "nothing differs" '^.*v1\.xp3 -> .*v1-zstd\.xp3: 0 added, 0 removed, 0 changed, 4 unchanged$'
[ "$(wc -l <"$work/out.txt")" = 1 ] || fail "diff of equal archives lists entries: $(cat "$work/out.txt")"

run diff "$(arg "$work/v1.xp3")" "$(arg "$work/v2.xp3")"
expect "diff of two releases" 1
expect_line "grown entry" '^changed  scenario/ch1\.txt: 3893 -> 4893 bytes, Adler-32 [0-9a-f]{8} -> [0-9a-f]{8}$'
expect_line "same size, other content" '^changed  scenario/ch2\.txt: same size \(4 bytes\), Adler-32 [0-9a-f]{8} -> [0-9a-f]{8}$'
expect_line "removed entry" '^removed  bg/old\.png \(9 bytes\)$'
expect_line "added entry" '^added    文本/第1章\.txt \(11 bytes, Adler-32 [0-9a-f]{8}\)$'
expect_line "summary" ': 1 added, 1 removed, 2 changed, 1 unchanged$'
grep -q 'same\.txt' "$work/out.txt" && fail "an unchanged entry is listed"
[ -s "$work/err.txt" ] && fail "diff wrote to stderr: $(cat "$work/err.txt")"

run diff "$(arg "$work/v1.xp3")" "$(arg "$work/v2.xp3")" --json
expect "diff --json" 1
python3 - "$work/out.txt" <<'PY' || fail "diff --json: $(cat "$work/out.txt")"
import json, sys, zlib
doc = json.load(open(sys.argv[1], encoding="utf-8"))
entries = {e["name"]: e for e in doc["entries"]}
assert set(entries) == {"bg/old.png", "scenario/ch1.txt", "scenario/ch2.txt", "文本/第1章.txt"}, entries
added = entries["文本/第1章.txt"]
assert added["status"] == "added" and added["size"] == 11, added
assert added["adler32"] == "%08x" % zlib.adler32(b"new chapter"), added
ch2 = entries["scenario/ch2.txt"]
assert ch2["status"] == "changed" and ch2["size"] == ch2["old_size"] == 4, ch2
assert ch2["old_adler32"] == "%08x" % zlib.adler32(b"abcd"), ch2
assert ch2["adler32"] == "%08x" % zlib.adler32(b"abce"), ch2
assert entries["bg/old.png"]["status"] == "removed" and entries["bg/old.png"]["size"] == 9
assert doc["summary"] == {"added": 1, "removed": 1, "changed": 2, "unchanged": 1}, doc["summary"]
PY

# Trouble is 2, so that a script can tell it from a difference.
run diff "$(arg "$work/v1.xp3")" "$(arg "$work/missing.xp3")"
expect "diff with a missing archive" 2
grep -q 'no such archive' "$work/err.txt" || fail "missing archive not named: $(cat "$work/err.txt")"
printf 'not an archive at all' >"$work/junk.xp3"
run diff "$(arg "$work/junk.xp3")" "$(arg "$work/v1.xp3")"
expect "diff with a file that is no archive" 2
run diff "$(arg "$work/v1.xp3")"
expect "diff with one archive" 2
run diff "$(arg "$work/v1.xp3")" "$(arg "$work/v2.xp3")" --bogus
expect "diff with an unknown option" 2

if [ "$failures" != 0 ]; then echo "$failures failure(s)" >&2; exit 1; fi
echo "xp3 diff: all cases passed"
