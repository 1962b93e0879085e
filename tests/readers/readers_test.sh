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
