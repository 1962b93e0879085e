#!/bin/bash
# Round trip of the xp3 tool over a realistic tree: several thousand small
# files in nested directories, empty files, non-ASCII names, and one 100 MiB
# file, packed with each compression method, then verified through the
# patch's reader and extracted, which must give back identical bytes. Also
# checks the refusals: damaged data, names escaping the target directory, an
# output inside the input, bad usage.
#
# usage: xp3_roundtrip_test.sh XP3_PROGRAM [RUNNER]
# RUNNER (optional) runs Windows programs (the build's wine-run.sh); paths
# handed to the program are then given as Z: drive paths.
set -u
xp3=$1
runner=${2:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/xp3_roundtrip.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# The program's view of a path.
arg() {
  if [ -n "$runner" ]; then
    local p=${1//\//\\}
    echo "Z:$p"
  else
    echo "$1"
  fi
}
# Runs the tool; output in $work/out.txt and $work/err.txt, exit code in $rc.
run() {
  local start=$SECONDS
  if [ -n "$runner" ]; then
    "$runner" "$xp3" "$@" >"$work/out.txt" 2>"$work/err.txt" </dev/null
  else
    "$xp3" "$@" >"$work/out.txt" 2>"$work/err.txt" </dev/null
  fi
  rc=$?
  # Windows programs end their lines with CR LF.
  sed -i 's/\r$//' "$work/out.txt" "$work/err.txt"
  echo "xp3 $1: exit $rc after $((SECONDS - start)) s"
}
expect_rc() {  # expected-code what
  if [ "$rc" != "$1" ]; then
    fail "$2: exit $rc, expected $1"
    sed 's/^/  stdout: /' "$work/out.txt" | head -20 >&2
    sed 's/^/  stderr: /' "$work/err.txt" | head -20 >&2
  fi
}

# --- the tree -------------------------------------------------------------
start=$SECONDS
tree=$work/tree
mkdir -p "$tree"
mkdir -p "$tree"/scenario/part{00..39}/voice
awk -v root="$tree" 'BEGIN {
  for (d = 0; d < 40; d++) {
    for (f = 0; f < 50; f++) {
      scene = sprintf("%s/scenario/part%02d/scene%02d.txt", root, d, f)
      for (i = 0; i <= f % 7; i++) printf "line %02d of chapter %02d\n", f, d > scene
      close(scene)
      voice = sprintf("%s/scenario/part%02d/voice/v%02d.txt", root, d, f)
      printf "%02d%02d", d, f > voice
      close(voice)
    }
  }
}'
mkdir -p "$tree/文本/对话" "$tree/图片" "$tree/empty_dir_sibling"
for i in $(seq 1 20); do
  echo "第${i}章 的 翻译文本" >"$tree/文本/对话/第${i}章.txt"
done
: >"$tree/empty.txt"
: >"$tree/图片/空文件.png"
: >"$tree/empty_dir_sibling/zero"
echo "accents" >"$tree/ünïcödé naïve.txt"
# 100 MiB: compressible text followed by random bytes.
{
  seq 1 20000000 | head -c $((60 * 1024 * 1024))
  head -c $((40 * 1024 * 1024)) /dev/urandom
} >"$tree/large.bin"
count=$(find "$tree" -type f | wc -l)
echo "tree of $count files made in $((SECONDS - start)) s"

# --- pack, list, verify, extract for each method --------------------------
declare -A segment_args=([none]="--segment-size 4M" [zlib]="--segment-size 0" [zstd]="")
for method in none zlib zstd; do
  archive=$work/$method.xp3
  # shellcheck disable=SC2086
  run pack "$(arg "$tree")" -o "$(arg "$archive")" --compress $method ${segment_args[$method]}
  expect_rc 0 "pack --compress $method"
  cat "$work/out.txt"
  grep -q "$count files" "$work/out.txt" || fail "pack $method: summary does not count $count files"
  [ -e "$archive.part" ] && fail "pack $method left its temporary file"

  run verify "$(arg "$archive")"
  expect_rc 0 "verify $method"
  grep -q "$count entries OK" "$work/out.txt" || fail "verify $method: $(cat "$work/out.txt")"

  run extract "$(arg "$archive")" "$(arg "$work/extracted_$method")"
  expect_rc 0 "extract $method"
  if ! diff -r "$tree" "$work/extracted_$method" >"$work/diff.txt"; then
    fail "extract $method: tree differs"
    head -20 "$work/diff.txt" >&2
  fi
  rm -rf "$work/extracted_$method"
done

run list "$(arg "$work/zstd.xp3")"
expect_rc 0 "list"
grep -Eq '^ +104857600 .* 400  zstd\+stored +large\.bin$' "$work/out.txt" ||
  fail "list: large.bin should show 400 segments (256 KiB each), zstd+stored: $(grep large "$work/out.txt")"
grep -q '文本/对话/第7章.txt' "$work/out.txt" || fail "list: Chinese names missing"
grep -Eq '^ +0 +0 +1  stored +empty.txt$' "$work/out.txt" || fail "list: empty.txt line wrong"

# --- refusals -------------------------------------------------------------
# A damaged byte inside the compressed text of large.bin.
cp "$work/zstd.xp3" "$work/damaged.xp3"
printf '\xff\xff\xff\xff' | dd of="$work/damaged.xp3" bs=1 seek=200000 conv=notrunc status=none
run verify "$(arg "$work/damaged.xp3")"
expect_rc 1 "verify of a damaged archive"
grep -q 'large.bin' "$work/err.txt" || fail "verify of a damaged archive does not name large.bin"

# An archive whose only entry is named ../escape.txt (stored index, one
# stored byte), made by hand.
u64() { local v=$1 i; for i in 0 1 2 3 4 5 6 7; do printf "\\x$(printf %02x $(((v >> (8 * i)) & 255)))"; done; }
u32() { local v=$1 i; for i in 0 1 2 3; do printf "\\x$(printf %02x $(((v >> (8 * i)) & 255)))"; done; }
{
  printf 'XP3\r\n \n\x1a\x8b\x67\x01'
  u64 20
  printf 'x'
  printf '\x00'
  u64 124
  printf 'File'; u64 112
  printf 'info'; u64 44; u32 0; u64 1; u64 1; printf '\x0b\x00'
  printf '.\x00.\x00/\x00e\x00s\x00c\x00a\x00p\x00e\x00.\x00t\x00'  # ../escape.t
  printf 'segm'; u64 28; u32 0; u64 19; u64 1; u64 1
  printf 'adlr'; u64 4; u32 $(((121 << 16) | 121))
} >"$work/escape.xp3"
mkdir -p "$work/target"
run extract "$(arg "$work/escape.xp3")" "$(arg "$work/target")"
expect_rc 1 "extract of an entry named ../escape.t"
[ -e "$work/escape.t" ] && fail "extract wrote outside its target directory"
grep -q 'refused' "$work/err.txt" || fail "extract did not explain the refusal: $(cat "$work/err.txt")"

run pack "$(arg "$tree")" -o "$(arg "$tree/scenario/self.xp3")"
expect_rc 1 "pack into its own input"
[ -e "$tree/scenario/self.xp3" ] || [ -e "$tree/scenario/self.xp3.part" ] &&
  fail "pack into its own input wrote a file"

run pack "$(arg "$tree")" --compress lzma -o "$(arg "$work/x.xp3")"
expect_rc 2 "pack with an unknown method"

echo "total $SECONDS s"
if [ "$failures" != 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all round trips passed"
