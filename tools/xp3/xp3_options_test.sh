#!/bin/bash
# The xp3 tool's behaviour around its main work: progress only where it
# belongs, nothing but results on standard output, extract that never
# overwrites by surprise, the pack option checks, and interrupted and killed
# packs.
#
# usage: xp3_options_test.sh XP3_PROGRAM [RUNNER]
set -u
xp3=$1
runner=${2:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/xp3_options.XXXXXX")
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
  [ "$rc" = "$2" ] || { fail "$1: exit $rc, expected $2"; sed 's/^/  err: /' "$work/err.txt" >&2; }
}
lines() { wc -l <"$1" | tr -d ' '; }

mkdir -p "$work/src/a/b" "$work/empty"
for i in $(seq 1 30); do seq 1 $((i * 100)) >"$work/src/a/b/f$i.txt"; done
printf 'x' >"$work/src/one.txt"

# Progress: not on a file or pipe unless forced; never on stdout.
run pack "$(arg "$work/src")" -o "$(arg "$work/p.xp3")"
expect "pack" 0
# What the tool wrote on standard error, without what Wine says of itself (a
# crash of one of its own services lands in the first program's output).
tool_errors() { grep -v -e '^wine: ' -e '^wine client error' "$work/err.txt"; }
tool_errors >/dev/null && fail "pack without a terminal wrote progress: $(cat "$work/err.txt")"
grep -q 'segments compressed' "$work/out.txt" || fail "pack summary: $(cat "$work/out.txt")"
# An existing archive is replaced only with --force: without it, exit 2, a
# message naming it, and the archive as it was.
cp "$work/p.xp3" "$work/p.before"
printf 'new' >"$work/src/added.txt"
run pack "$(arg "$work/src")" -o "$(arg "$work/p.xp3")"
expect "pack over an existing archive" 2
grep -q "p.xp3 exists already.*--force" "$work/err.txt" || fail "pack over an archive: $(cat "$work/err.txt")"
cmp -s "$work/p.xp3" "$work/p.before" || fail "pack without --force changed the archive"
[ -e "$work/p.xp3.part" ] && fail "a refused pack left a .part file"
rm "$work/src/added.txt"
run pack "$(arg "$work/src")" -o "$(arg "$work/p.xp3")" --progress -f
expect "pack --progress -f" 0
grep -Eq '^xp3: packing +[0-9]+%  [0-9]+/31 files  .* .*/s$' "$work/err.txt" ||
  fail "pack --progress shows no progress line: $(cat "$work/err.txt")"
[ "$(lines "$work/out.txt")" = 1 ] || fail "pack --progress: stdout holds more than the summary"
run pack "$(arg "$work/src")" -o "$(arg "$work/p.xp3")" --progress --quiet --force
tool_errors >/dev/null && fail "--quiet after --progress still shows progress"
run extract "$(arg "$work/p.xp3")" "$(arg "$work/x1")" --progress
expect "extract --progress" 0
grep -q '^xp3: extracting ' "$work/err.txt" || fail "extract --progress shows no progress line"

# Options.
run pack "$(arg "$work/empty")" -o "$(arg "$work/e.xp3")"
expect "pack of nothing" 1
grep -q -- '--allow-empty' "$work/err.txt" || fail "empty pack does not name --allow-empty"
[ -e "$work/e.xp3" ] && fail "empty pack wrote an archive"
run pack "$(arg "$work/empty")" -o "$(arg "$work/e.xp3")" --allow-empty
expect "pack --allow-empty" 0
for bad in "--compress none --level 1" "--compress zlib --level 0" "--compress zlib --level 10" \
           "--compress zstd --level 23" "--compress zstd --level x"; do
  # shellcheck disable=SC2086
  run pack "$(arg "$work/src")" -o "$(arg "$work/bad.xp3")" $bad
  expect "pack $bad" 2
  [ "$(head -1 "$work/err.txt" | grep -c '^xp3 pack: ')" = 1 ] || fail "pack $bad: $(head -1 "$work/err.txt")"
done
run pack "$(arg "$work/src")" -o "$(arg "$work/ok.xp3")" --compress zstd --level -5
expect "pack with a negative zstd level" 0

# Extract: a file in the way is one error; existing files need --force.
printf 'in the way' >"$work/file"
run extract "$(arg "$work/p.xp3")" "$(arg "$work/file")"
expect "extract onto a file" 1
[ "$(lines "$work/err.txt")" = 1 ] || fail "extract onto a file: $(lines "$work/err.txt") error lines"
run extract "$(arg "$work/p.xp3")" "$(arg "$work/file/below")"
expect "extract below a file" 1
[ "$(lines "$work/err.txt")" = 1 ] || fail "extract below a file: $(lines "$work/err.txt") error lines"
run extract "$(arg "$work/p.xp3")" "$(arg "$work/x1")"
expect "extract over existing files" 1
[ "$(lines "$work/err.txt")" = 1 ] || fail "extract over existing files: not one line"
grep -q -- '--force' "$work/err.txt" || fail "extract over existing files does not name --force"
if [ -n "$runner" ]; then
  # Windows messages use backslashes only.
  grep -q '/' "$work/err.txt" && fail "mixed separators in: $(cat "$work/err.txt")"
fi
# Two entries that land in one file (a name given twice; on Windows also
# names that differ only in the case of non-ASCII letters, which the patch
# tells apart but the file system does not): the later one is refused
# rather than written over the earlier, even with --force.
mkdir -p "$work/twice"
printf 'first' >"$work/twice/one.txt"
run pack "$(arg "$work/twice")" -o "$(arg "$work/twice.xp3")" --compress none
python3 - "$work/twice.xp3" <<'PY'
import struct, sys, zlib
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
index = struct.unpack_from("<Q", data, 11)[0]
packed, = struct.unpack_from("<Q", data, index + 1)
body = zlib.decompress(bytes(data[index + 17:index + 17 + packed]))
body += body  # the one File chunk, twice
open(path, "wb").write(bytes(data[:index]) + b"\0" + struct.pack("<Q", len(body)) + body)
PY
for force in "" --force; do
  rm -rf "$work/x3"
  run extract "$(arg "$work/twice.xp3")" "$(arg "$work/x3")" $force
  expect "extract of a name given twice $force" 1
  grep -q 'one.txt: not written: an earlier entry' "$work/err.txt" ||
    fail "extract of a name given twice $force: $(cat "$work/err.txt")"
done
if [ -n "$runner" ]; then
  mkdir -p "$work/case"
  printf 'upper' >"$work/case/Ä.txt"
  printf 'lower' >"$work/case/ä.txt"
  run pack "$(arg "$work/case")" -o "$(arg "$work/case.xp3")"
  run extract "$(arg "$work/case.xp3")" "$(arg "$work/x4")"
  expect "extract of names differing in non-ASCII case" 1
  [ "$(cat "$work/x4/Ä.txt")" = upper ] || fail "extract wrote one entry over another"
fi
printf 'changed' >"$work/x1/one.txt"
run extract "$(arg "$work/p.xp3")" "$(arg "$work/x1")" --force
expect "extract --force" 0
[ "$(cat "$work/x1/one.txt")" = x ] || fail "extract --force did not overwrite"

# Nothing but results on stdout: the reader's own notes about an index
# chunk it does not know stay off it; the tool names it on stderr.
run pack "$(arg "$work/src")" -o "$(arg "$work/stored.xp3")" --compress none
python3 - "$work/stored.xp3" <<'PY'
import struct, sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
index = struct.unpack_from("<Q", data, 11)[0]
assert data[index] == 1  # compressed index: rebuild it stored, with an unknown chunk
import zlib
packed, = struct.unpack_from("<Q", data, index + 1)
body = zlib.decompress(bytes(data[index + 17:index + 17 + packed]))
body = b"Junk" + struct.pack("<Q", 3) + b"abc" + body
open(path, "wb").write(bytes(data[:index]) + b"\0" + struct.pack("<Q", len(body)) + body)
PY
for command in list verify; do
  run $command "$(arg "$work/stored.xp3")"
  expect "$command of an index with an unknown chunk" 0
  grep -qi 'unknown chunk type' "$work/out.txt" && fail "$command: the reader's note reached stdout"
  grep -q 'chunk of unknown kind "Junk"' "$work/err.txt" || fail "$command: no warning: $(cat "$work/err.txt")"
done
run extract "$(arg "$work/stored.xp3")" "$(arg "$work/x2")"
expect "extract of an index with an unknown chunk" 0
[ "$(lines "$work/out.txt")" = 1 ] || fail "extract: stdout holds more than its summary"

# Several archives: list and verify take them in turn and go on past one
# that fails; list --json is one document for all of them.
run list "$(arg "$work/p.xp3")" "$(arg "$work/ok.xp3")"
expect "list of two archives" 0
[ "$(grep -c '^ *unpacked  *packed ' "$work/out.txt")" = 2 ] || fail "list of two archives: not two tables"
grep -qxF "$(arg "$work/ok.xp3"):" "$work/out.txt" || fail "list of two archives: no heading for the second"
run list "$(arg "$work/missing.xp3")" "$(arg "$work/p.xp3")"
expect "list with a missing archive" 1
grep -q 'no such archive' "$work/err.txt" || fail "list: the missing archive is not named"
grep -q '^31 entries, ' "$work/out.txt" || fail "list: the readable archive after a missing one is not listed"
mkdir -p "$work/names/文本"
printf 'new chapter' >"$work/names/文本/第1章.txt"
run pack "$(arg "$work/names")" -o "$(arg "$work/names.xp3")" --compress none
run list "$(arg "$work/names.xp3")" "$(arg "$work/p.xp3")" --json
expect "list --json" 0
python3 - "$work/out.txt" <<'PY' || fail "list --json: $(head -c 2000 "$work/out.txt")"
import json, sys, zlib
doc = json.load(open(sys.argv[1], encoding="utf-8"))
first, second = doc["archives"]
assert first["archive"].endswith("names.xp3"), first
entry, = first["entries"]
assert entry == {"name": "文本/第1章.txt", "size": 11, "packed_size": 11, "segments": 1,
                 "compression": "stored", "adler32": "%08x" % zlib.adler32(b"new chapter")}, entry
assert first["summary"] == {"entries": 1, "size": 11, "packed_size": 11}, first["summary"]
assert len(second["entries"]) == 31 and second["summary"]["entries"] == 31, second["summary"]
assert all(e["compression"] in ("zstd", "stored", "zstd+stored") for e in second["entries"])
PY
run verify "$(arg "$work/p.xp3")" "$(arg "$work/ok.xp3")"
expect "verify of two archives" 0
expect_last() { [ "$(tail -1 "$work/out.txt")" = "$2" ] || fail "$1: last line $(tail -1 "$work/out.txt")"; }
expect_last "verify of two archives" "2 archives OK"
run pack "$(arg "$work/src")" -o "$(arg "$work/damaged.xp3")" --compress none
printf 'Z' | dd of="$work/damaged.xp3" bs=1 seek=100 conv=notrunc status=none
run verify "$(arg "$work/damaged.xp3")" "$(arg "$work/p.xp3")"
expect "verify of a damaged and a sound archive" 1
grep -q 'checksum mismatch' "$work/err.txt" || fail "verify: the damage is not named: $(cat "$work/err.txt")"
grep -q ': 31 entries OK' "$work/out.txt" || fail "verify stopped at the damaged archive"
expect_last "verify of a damaged and a sound archive" "1 of 2 archives FAILED"

# Counts agree with their nouns: one file of one byte.
mkdir -p "$work/single"
printf 'x' >"$work/single/one.txt"
run pack "$(arg "$work/single")" -o "$(arg "$work/single.xp3")" --compress none
grep -q ': 1 file, 1 byte -> 1 byte (none, 256.0 KiB segments): 1 segment stored as is (1 byte)$' \
  "$work/out.txt" || fail "pack of one file: $(cat "$work/out.txt")"
run list "$(arg "$work/single.xp3")"
expect_last "list of one entry" "1 entry, 1 byte unpacked, 1 byte packed"
run verify "$(arg "$work/single.xp3")"
expect_last "verify of one entry" "$(arg "$work/single.xp3"): 1 entry OK (1 byte)"

# A name that is not Unicode has no entry name; the message names its
# folder. (Linux only: Wine hands such names to Windows programs converted.)
if [ -z "$runner" ]; then
  mkdir -p "$work/badname/sub"
  printf 'x' >"$work/badname/sub/$(printf 'caf\xe9').txt"
  run pack "$work/badname" -o "$work/badname.xp3"
  expect "pack of a name that is not Unicode" 1
  grep -qF 'a file name is not valid Unicode, so no entry can be named after it: caf\xE9.txt in the folder '"$work/badname/sub" \
    "$work/err.txt" || fail "pack of a name that is not Unicode: $(cat "$work/err.txt")"
fi

# `xp3 --help` lists every command and every option that a command's own
# help names.
run --help
cp "$work/out.txt" "$work/help.txt"
for command in pack list extract verify check diff; do
  grep -q "^  $command " "$work/help.txt" || fail "xp3 --help does not list $command"
  run "$command" --help
  expect "$command --help" 0
  for option in $(grep -oE -- '(^|[^a-z-])--?[a-z][a-z-]*' "$work/out.txt" | grep -oE -- '--?[a-z][a-z-]*' | sort -u); do
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" "$work/help.txt" || fail "xp3 --help does not list $command $option"
  done
done

# Interrupted and killed packs. Wine turns SIGINT into the console's Ctrl-C
# event, so the same signal tests the Windows tool's console handler.
start_pack() {  # runs a long pack in the background; its pid in $pid
  if [ -n "$runner" ]; then
    "$runner" "$xp3" pack "$(arg "$work/src")" -o "$(arg "$work/big.xp3")" --compress zlib \
      --level 9 >"$work/out.txt" 2>"$work/err.txt" </dev/null &
  else
    "$xp3" pack "$work/src" -o "$work/big.xp3" --compress zlib --level 9 \
      >"$work/out.txt" 2>"$work/err.txt" </dev/null &
  fi
  pid=$!
  # Until the .part exists the tool is still starting (Wine takes a moment).
  for _ in $(seq 1 100); do [ -e "$work/big.xp3.part" ] && break; sleep 0.1; done
  sleep 0.5
}
# Under Wine $pid is the runner script, and the tool its child (a script in
# the background cannot take an interrupt itself).
signal_pack() {
  pkill "-$1" -P "$pid" 2>/dev/null
  kill "-$1" "$pid" 2>/dev/null
}
head -c $((120 * 1024 * 1024)) /dev/urandom >"$work/src/big.bin"
start_pack
signal_pack INT
wait "$pid"
rc=$?
sed -i 's/\r$//' "$work/err.txt"
expect "interrupted pack" 130
[ -e "$work/big.xp3.part" ] && fail "interrupted pack left its .part file"
[ -e "$work/big.xp3" ] && fail "interrupted pack wrote the archive"
grep -q 'interrupted' "$work/err.txt" || fail "interrupted pack does not say so"

start_pack
signal_pack KILL
wait "$pid" 2>/dev/null
sleep 0.5
[ -e "$work/big.xp3.part" ] || fail "a killed pack should leave its .part file for this test"
run list "$(arg "$work/big.xp3.part")"
expect "list of a stale .part" 1
grep -q 'not an XP3 archive' "$work/err.txt" || fail "stale .part: $(cat "$work/err.txt")"
rm -f "$work/src/big.bin"
run pack "$(arg "$work/src")" -o "$(arg "$work/big.xp3")"
expect "pack over a stale .part" 0
[ -e "$work/big.xp3.part" ] && fail "the stale .part was not replaced"
run verify "$(arg "$work/big.xp3")"
expect "verify after a stale .part" 0

if [ "$failures" != 0 ]; then echo "$failures failure(s)" >&2; exit 1; fi
echo "xp3 options: all cases passed"
