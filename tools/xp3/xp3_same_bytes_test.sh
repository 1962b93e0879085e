#!/bin/bash
# The native Linux xp3 tool and the Windows one write the same archive, byte
# for byte, from the same tree, for every compression method and a few
# levels and segment sizes. Run by scripts/test.sh once both builds exist.
#
# usage: xp3_same_bytes_test.sh NATIVE_XP3 WINDOWS_XP3 WINE_RUNNER
set -u
native=$1
windows=$2
runner=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/xp3_same_bytes.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

tree=$work/tree
mkdir -p "$tree/scenario/part1" "$tree/文本" "$tree/bg" "$tree/Empty Dir Sibling"
for i in $(seq 1 40); do
  seq "$i" $((i * 50)) >"$tree/scenario/part1/scene$i.txt"
done
printf '第一章 的 翻译文本\n' >"$tree/文本/第1章.txt"
: >"$tree/empty.txt"
: >"$tree/Empty Dir Sibling/zero"
head -c 300000 /dev/urandom >"$tree/bg/noise.bin"
{ seq 1 200000; head -c 100000 /dev/urandom; } >"$tree/bg/mixed.bin"

for options in "--compress none" "--compress zlib" "--compress zlib --level 9 --segment-size 64K" \
               "--compress zstd" "--compress zstd --level 19 --segment-size 0" \
               "--compress zstd --level 1 --segment-size 4K"; do
  name=$(echo "$options" | tr -c 'a-z0-9' '_')
  # shellcheck disable=SC2086
  "$native" pack "$tree" -o "$work/native_$name.xp3" $options >/dev/null 2>"$work/err.txt" ||
    { fail "native pack $options: $(cat "$work/err.txt")"; continue; }
  # shellcheck disable=SC2086
  "$runner" "$windows" pack "$(winpath "$tree")" -o "$(winpath "$work/windows_$name.xp3")" \
    $options >/dev/null 2>"$work/err.txt" </dev/null ||
    { fail "Windows pack $options: $(cat "$work/err.txt")"; continue; }
  if cmp -s "$work/native_$name.xp3" "$work/windows_$name.xp3"; then
    echo "same bytes: $options ($(stat -c %s "$work/native_$name.xp3") bytes)"
  else
    fail "archives differ for $options: $(cmp "$work/native_$name.xp3" "$work/windows_$name.xp3" | head -1)"
  fi
done

if [ "$failures" != 0 ]; then echo "$failures failure(s)" >&2; exit 1; fi
echo "native and Windows xp3 write identical archives"
