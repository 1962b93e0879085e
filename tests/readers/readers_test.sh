#!/usr/bin/env bash
# Every reader in the game's process sees the translation: the patched game
# reads a text, INI, BMP, PNG, WAV and empty file that only the archive holds,
# through the C runtime, COM streams, the image decoders, user32, winmm, the
# profile functions, the ANSI forms and the handle queries, and each report
# must equal the same readers' report on a disk copy outside the game
# directory. The same readers on disk files inside the game directory must
# see exactly what they see without the patch. And the same files served
# from a loose folder (XP3PATCH_DEV_DIR) over archives that lack them must
# read as their disk copies too.
#   readers_test.sh BUILD_DIR
set -uo pipefail
B="$1"
RUN="$B/wine-run.sh"
XP3="$B/tools/xp3/xp3.exe"
WORK="$(mktemp -d /tmp/readers-test.XXXXXX)"
trap '[ -n "${KEEP_WORK:-}" ] || { chmod -R u+w "$WORK"; rm -rf "$WORK"; }' EXIT
failures=0
win() { echo "Z:$1" | tr / '\\'; }

mkdir -p "$WORK/src/patch/data" "$WORK/empty" "$WORK/game/disk" "$WORK/outside"
cp "$B/tests/readers/reader_game.exe" "$WORK/game/game.exe"
cp "$B/startup/patch.dll" "$WORK/game/patch.dll"
"$RUN" "$WORK/game/game.exe" files "$(win "$WORK/src/patch/data")" ||
  { echo "FAIL: writing the test files"; exit 1; }
cp "$WORK/src/patch/data/"* "$WORK/outside/"
cp "$WORK/src/patch/data/"* "$WORK/game/disk/"
# Compared with a read-only disk file: the overlay opens read-only.
chmod a-w "$WORK/outside/"* "$WORK/game/disk/"*
(cd "$WORK" &&
  "$RUN" "$XP3" pack src/patch -o game/patch.xp3 --compress zlib --segment-size 16384 >/dev/null &&
  "$RUN" "$XP3" pack empty -o game/images.xp3 --allow-empty >/dev/null) ||
  { echo "FAIL: packing the test archive"; exit 1; }

NAMES=(text.txt table.ini image.bmp image.png sound.wav empty.txt)
paths() {  # paths DIR: the Windows paths of the test files in DIR
  for n in "${NAMES[@]}"; do win "$1/$n"; done
}
report() {  # report OUTPUT ARGS...: runs the game in its directory
  local out="$1"; shift
  (cd "$WORK/game" && timeout 300 "$RUN" game.exe "$@" >"$out.raw" 2>&1; echo "exit $?" >>"$out.raw")
  tr -d '\r' <"$out.raw" >"$out"
}
compare() {  # compare NAME EXPECTED ACTUAL
  if diff -u "$2" "$3" >"$WORK/diff.txt"; then
    echo "ok: $1 ($(grep -c '^file ' "$3") files, $(wc -l <"$3") lines)"
  else
    failures=$((failures + 1)); echo "FAIL: $1"; cat "$WORK/diff.txt"
  fi
}

mapfile -t OVERLAID < <(paths "$WORK/game/data")
mapfile -t OUTSIDE < <(paths "$WORK/outside")
mapfile -t DISK < <(paths "$WORK/game/disk")

report "$WORK/outside.out" report "${OUTSIDE[@]}"
report "$WORK/overlaid.out" load patch.dll entry report "${OVERLAID[@]}"
compare "overlaid files read as their disk copies" "$WORK/outside.out" "$WORK/overlaid.out"

# The loose folder: a second game directory whose archives are empty, so
# that every byte comes from the folder.
mkdir -p "$WORK/game-dev" "$WORK/dev/data"
cp "$WORK/game/game.exe" "$WORK/game/patch.dll" "$WORK/game-dev/"
cp "$WORK/game/images.xp3" "$WORK/game-dev/patch.xp3"
cp "$WORK/game/images.xp3" "$WORK/game-dev/images.xp3"
cp "$WORK/src/patch/data/"* "$WORK/dev/data/"
chmod a-w "$WORK/dev/data/"*
mapfile -t LOOSE < <(paths "$WORK/game-dev/data")
(cd "$WORK/game-dev" && XP3PATCH_DEV_DIR="$(win "$WORK/dev")" timeout 300 "$RUN" game.exe load patch.dll entry \
  report "${LOOSE[@]}" >"$WORK/loose.out.raw" 2>&1; echo "exit $?" >>"$WORK/loose.out.raw")
tr -d '\r' <"$WORK/loose.out.raw" >"$WORK/loose.out"
compare "loose folder files read as their disk copies" "$WORK/outside.out" "$WORK/loose.out"

report "$WORK/disk-plain.out" report "${DISK[@]}"
report "$WORK/disk-patched.out" load patch.dll entry report "${DISK[@]}"
compare "disk files in the game directory unchanged by the patch" "$WORK/disk-plain.out" \
  "$WORK/disk-patched.out"

# The code pages of the patch's players (936, 950), of the game (932), and
# UTF-8 as the ANSI code page (65001), which Wine takes from the locale
# (hi_IN has no ANSI code page of its own, so Wine gives it UTF-8). The
# archive's names and the game directory's are not ASCII; the ANSI readers
# (and every other) must see the overlaid files as their disk copies read
# the same way, and the memory file "acp" must hold the code page.
# The locales come compiled from the bootstrap (LOCPATH), so that the
# process's own file names stay UTF-8 under each of them.
LOCALES="${XP3PATCH_DEPS:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/.deps}/locale"
for pair in zh_CN:936 zh_TW:950 ja_JP:932 hi_IN:65001; do
  locale="${pair%%:*}.UTF-8"; cp="${pair##*:}"
  top="$WORK/cp-$cp/中文"
  mkdir -p "$top/game" "$top/src/中文" "$top/outside"
  cp "$WORK/game/game.exe" "$WORK/game/patch.dll" "$WORK/game/images.xp3" "$top/game/"
  for n in "${NAMES[@]}"; do
    cp "$WORK/src/patch/data/$n" "$top/src/中文/中文-$n"
    cp "$WORK/src/patch/data/$n" "$top/outside/中文-$n"
  done
  chmod a-w "$top/outside/"*
  (cd "$top" && "$RUN" "$XP3" pack src -o game/patch.xp3 --compress zstd >/dev/null) ||
    { failures=$((failures + 1)); echo "FAIL: code page $cp: packing"; continue; }
  mapfile -t CP_OUTSIDE < <(for n in "${NAMES[@]}"; do win "$top/outside/中文-$n"; done)
  mapfile -t CP_OVERLAID < <(for n in "${NAMES[@]}"; do win "$top/game/中文/中文-$n"; done)
  cp_report() {  # cp_report OUTPUT ARGS...
    local out="$1"; shift
    (cd "$top/game" && LOCPATH="$LOCALES" LC_ALL="$locale" timeout 300 "$RUN" game.exe "$@" \
      >"$out.raw" 2>&1
      echo "exit $?" >>"$out.raw")
    tr -d '\r' <"$out.raw" >"$out"
  }
  cp_report "$WORK/cp-$cp-outside.out" codepage report "${CP_OUTSIDE[@]}"
  cp_report "$WORK/cp-$cp-overlaid.out" load patch.dll entry codepage report "${CP_OVERLAID[@]}"
  if grep -qx "code pages: ansi $cp oem [0-9]*" "$WORK/cp-$cp-outside.out" &&
     grep -qx "acp file: $cp" "$WORK/cp-$cp-overlaid.out"; then
    echo "ok: code page $cp: the memory file acp holds it"
  else
    failures=$((failures + 1)); echo "FAIL: code page $cp: not in force, or acp does not hold it"
    grep -E '^(code pages|acp file)' "$WORK/cp-$cp-outside.out" "$WORK/cp-$cp-overlaid.out"
  fi
  grep -v '^acp file' "$WORK/cp-$cp-outside.out" >"$WORK/cp-$cp-outside.cmp"
  grep -v '^acp file' "$WORK/cp-$cp-overlaid.out" >"$WORK/cp-$cp-overlaid.cmp"
  compare "code page $cp: non-ASCII names read as their disk copies" \
    "$WORK/cp-$cp-outside.cmp" "$WORK/cp-$cp-overlaid.cmp"
  if ! grep -q "CreateFileA: 105000 bytes" "$WORK/cp-$cp-outside.out" ||
     ! grep -q "listed by FindNextFileA: 1" "$WORK/cp-$cp-outside.out"; then
    failures=$((failures + 1)); echo "FAIL: code page $cp: the ANSI readers missed the disk copies"
  fi
done

# The reference itself must be whole: every reader got every byte.
if ! grep -q "fread: 105000 bytes" "$WORK/outside.out" ||
   ! grep -q "stream: 105000 bytes" "$WORK/outside.out" ||
   ! grep -q "profile caption: 30 The caption in the translation" "$WORK/outside.out" ||
   ! grep -q "LoadImageW: 1 37x23" "$WORK/outside.out" ||
   ! grep -q "decoder: 0x00000000 61x29" "$WORK/outside.out" ||
   ! grep -q "mmio: 0 rate 22050 bits 16 data 16000" "$WORK/outside.out"; then
  failures=$((failures + 1)); echo "FAIL: the disk copies were not read whole"
  cat "$WORK/outside.out"
fi
# Nothing the readers did changed the disk.
for n in "${NAMES[@]}"; do
  if ! cmp -s "$WORK/src/patch/data/$n" "$WORK/game/disk/$n" || [ -e "$WORK/game/data/$n" ]; then
    failures=$((failures + 1)); echo "FAIL: $n changed on disk"
  fi
done
echo "$failures failed"
[ "$failures" -eq 0 ]
