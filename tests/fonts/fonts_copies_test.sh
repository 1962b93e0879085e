#!/usr/bin/env bash
# A font that only the archive holds is added, listed, drawn with and
# removed by the patched game exactly as the same font added from a disk
# copy: the same answers and the same pixels. A settings file that only the
# archive holds is copied out, measured and found along a path list as its
# disk copy is. The font is DejaVu Serif from Debian's fonts-dejavu-core,
# copied at test time under a family name of its own (its license allows a
# changed copy under another name), so that no font the system already
# knows can stand in for it (the fallback for an unknown family is a sans
# face, whose pixels differ).
#   fonts_copies_test.sh BUILD_DIR
set -uo pipefail
B="$1"
RUN="$B/wine-run.sh"
XP3="$B/tools/xp3/xp3.exe"
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf
WORK="$(mktemp -d /tmp/fonts-copies-test.XXXXXX)"
trap '[ -n "${KEEP_WORK:-}" ] || { chmod -R u+w "$WORK"; rm -rf "$WORK"; }' EXIT
failures=0
win() { echo "Z:$1" | tr / '\\'; }
fail() { failures=$((failures + 1)); echo "FAIL: $*"; }

[ -f "$FONT" ] || { echo "FAIL: $FONT is missing (Debian package fonts-dejavu-core)"; exit 1; }
mkdir -p "$WORK/src/patch/fonts" "$WORK/src/patch/data" "$WORK/empty" "$WORK/game" \
  "$WORK/outside" "$WORK/saves-disk" "$WORK/saves-overlaid"
# The family "DejaVu Serif" becomes "Glyphy Serif", in the name table's
# single-byte and UTF-16 strings alike (same length, so nothing moves).
perl -0777 -pe 's/DejaVu/Glyphy/g; s/D\x00e\x00j\x00a\x00V\x00u/G\x00l\x00y\x00p\x00h\x00y/g' \
  "$FONT" >"$WORK/src/patch/fonts/glyphy.ttf"
printf '[settings]\nlanguage=translated\n' >"$WORK/src/patch/data/settings.ini"
cp "$B/tests/fonts/font_game.exe" "$WORK/game/game.exe"
cp "$B/startup/patch.dll" "$WORK/game/patch.dll"
cp "$WORK/src/patch/fonts/glyphy.ttf" "$WORK/src/patch/data/settings.ini" "$WORK/outside/"
chmod a-w "$WORK/outside/"*
(cd "$WORK" &&
  "$RUN" "$XP3" pack src/patch -o game/patch.xp3 --compress zlib >/dev/null &&
  "$RUN" "$XP3" pack empty -o game/images.xp3 --allow-empty >/dev/null) ||
  { echo "FAIL: packing the test archive"; exit 1; }

run() {  # run OUTPUT ARGS...: the game in its directory
  local out="$1"; shift
  (cd "$WORK/game" && timeout 300 "$RUN" game.exe "$@" >"$out.raw" 2>&1; echo "exit $?" >>"$out.raw")
  tr -d '\r' <"$out.raw" >"$out"
}
compare() {  # compare NAME EXPECTED ACTUAL
  if diff -u "$2" "$3" >"$WORK/diff.txt"; then
    echo "ok: $1"
  else
    fail "$1"; cat "$WORK/diff.txt"
  fi
}

run "$WORK/font-disk.out" font "$(win "$WORK/outside/glyphy.ttf")" "Glyphy Serif"
run "$WORK/font-overlaid.out" load patch.dll entry font "$(win "$WORK/game/fonts/glyphy.ttf")" \
  "Glyphy Serif"
# The disk copy must really be drawn with, or the comparison proves nothing.
grep -q '^added: 1' "$WORK/font-disk.out" && grep -q '^drawn with Glyphy Serif: [1-9]' \
  "$WORK/font-disk.out" && grep -q '^listed: [1-9]' "$WORK/font-disk.out" &&
  grep -q '^listed before: 0' "$WORK/font-disk.out" ||
  { fail "the font added from disk was not listed and drawn with"; cat "$WORK/font-disk.out"; }
compare "a font from the archive is added, listed, drawn and removed as from disk" \
  "$WORK/font-disk.out" "$WORK/font-overlaid.out"
# What the patch handed the system is gone once the font is removed.
# The prefix is the one wine-run.sh uses: the build's, unless WINEPREFIX is set.
PREFIX="${WINEPREFIX:-$(sed -n 's/^export WINEPREFIX="\${WINEPREFIX:-\(.*\)}"$/\1/p' "$RUN")}"
[ -d "$PREFIX/drive_c/users" ] || fail "no Wine prefix at '$PREFIX' to look for font copies in"
TEMP_FONTS="$(find "$PREFIX/drive_c/users" -maxdepth 5 -type d -name xp3patch-fonts 2>/dev/null |
  sed -n 1p)"
if [ -n "$TEMP_FONTS" ] && [ -n "$(find "$TEMP_FONTS" -type f 2>/dev/null)" ]; then
  fail "font copies left behind: $(find "$TEMP_FONTS" -type f)"
fi

run "$WORK/copy-disk.out" copy "$(win "$WORK/outside/settings.ini")" \
  "$(win "$WORK/saves-disk/settings.ini")" size "$(win "$WORK/outside/settings.ini")" \
  search "$(win "$WORK/empty");$(win "$WORK/outside")" settings.ini
run "$WORK/copy-overlaid.out" load patch.dll entry copy "$(win "$WORK/game/data/settings.ini")" \
  "$(win "$WORK/saves-overlaid/settings.ini")" size "$(win "$WORK/game/data/settings.ini")" \
  search "$(win "$WORK/empty");$(win "$WORK/game/data")" settings.ini
grep -q '^copy: 1' "$WORK/copy-disk.out" || { fail "the disk copy failed"; cat "$WORK/copy-disk.out"; }
compare "a file from the archive is copied, measured and searched for as from disk" \
  "$WORK/copy-disk.out" "$WORK/copy-overlaid.out"
cmp -s "$WORK/src/patch/data/settings.ini" "$WORK/saves-overlaid/settings.ini" ||
  fail "the copy does not hold the archive's bytes"
[ -w "$WORK/saves-overlaid/settings.ini" ] || fail "the copy in the save folder is not writable"

echo "$failures failed"
[ "$failures" -eq 0 ]
