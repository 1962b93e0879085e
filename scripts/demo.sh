#!/usr/bin/env bash
# The main job: builds what it runs, packs the sample translation with the xp3
# tool, runs the sample game with the patch under Wine (showing what the game
# sees before and after the patch starts), then shows what a team checks:
# `xp3 check` and the patch's log. Every line it prints is explained by the
# line after it that starts with "  ->".
#   XP3PATCH_DEPS=DIR bash scripts/demo.sh   (DIR: dependencies, default .deps)
set -euo pipefail
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: bash scripts/demo.sh

Builds what the demo runs (the first run takes several minutes: it installs
the toolchain and builds the dependencies), packs the sample translation,
runs the sample game with the patch under Wine, then shows `xp3 check` and
the patch's log. Every line it prints is explained by a line starting with
"  ->". XP3PATCH_DEPS=DIR: dependencies kept in DIR instead of .deps.
USAGE
    exit 0 ;;
esac
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
echo "== Setting up: the first run takes several minutes (it installs the toolchain and Wine,"
echo "   builds zlib and zstd, then the patch, the launcher, the xp3 tool and the sample game);"
echo "   later runs take seconds. The output of these steps ends at the next \"==\" line."
bash scripts/bootstrap.sh
DEPS="$(realpath -m "${XP3PATCH_DEPS:-$ROOT/.deps}")"
cmake -S . -B build/win -G Ninja --no-warn-unused-cli \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DXP3PATCH_DEPS="$DEPS" >/dev/null
# Only what the demo runs: the tests build with the test command.
cmake --build build/win -j "${JOBS:-2}" --target patch launcher xp3 sample_game
echo

B="$ROOT/build/win"
RUN="$B/wine-run.sh"
XP3=("$RUN" "$B/tools/xp3/xp3.exe")
GAME="$ROOT/out/demo-game"
LOG="$ROOT/out/demo-patch.log"
rm -rf "$GAME" "$LOG"
mkdir -p "$GAME"
cp -r examples/game/. "$GAME/"
cp "$B/tests/sample_game/sample_game.exe" "$GAME/game.exe"
cp "$B/startup/patch.dll" "$GAME/patch.dll"
note() { printf '  -> %s\n' "$@"; }

echo "== Packing the translation (patch.xp3, zstd) and the images (images.xp3, zlib)"
"${XP3[@]}" pack examples/translation -o "$GAME/patch.xp3" --compress zstd --quiet
"${XP3[@]}" pack examples/images -o "$GAME/images.xp3" --compress zlib --quiet
note "One summary per archive: the long scenario/prologue.txt is compressed, the" \
     "short files are stored as is, because compressing them would not make them smaller."
"${XP3[@]}" list "$GAME/patch.xp3"
note "The entries of patch.xp3: bytes as the game reads them, bytes in the archive," \
     "segments, and whether each is stored or compressed."

echo
echo "== The game with the patch, started through the launcher"
echo "   (launcher.exe game.exe patch.dll -- COMMANDS: the sample game runs the commands"
echo "   and prints what the file functions answered; the log goes to out/demo-patch.log)"
cd "$GAME"
e() { printf '%s\n' echo "  -> $*"; }  # an explanation, printed by the game in its place
mapfile -t COMMANDS < <(
  printf '%s\n' echo "-- before GameEntry: the patch is loaded, but waits --"
  printf '%s\n' cat 'scenario\chapter1.txt'
  e "The game's own file on disk, untranslated: nothing is overlaid yet."
  printf '%s\n' ls 'scenario\*'
  e "A listing of the real folder; \"(end, error 18)\" means the listing ended normally"
  e "(18: no more files)."
  printf '%s\n' entry
  e "\"entry returned 10\": the game called its GameEntry; the patch mounted its archives"
  e "and redirected the file functions first, then the game's own GameEntry ran (1+2+3+4)."
  printf '%s\n' echo "-- after GameEntry: the translation is served from the archives --"
  printf '%s\n' cat 'scenario\chapter1.txt'
  e "The same path now reads the translated file from patch.xp3 (75 bytes, not 63)."
  printf '%s\n' cat 'scenario/chapter2.txt'
  e "A file only the archive holds, found with forward slashes too."
  printf '%s\n' head 'scenario\prologue.txt' 60
  e "The first 60 bytes of the compressed entry, decoded as the game reads them."
  printf '%s\n' seek 'scenario\chapter1.txt' 11 10
  e "A seek to offset 11, then 10 bytes: reading anywhere in an overlaid file works."
  printf '%s\n' stat 'system\config.ini'
  e "Attributes of an archive file: 0x1, read-only; its size is the entry's."
  printf '%s\n' ls '*'
  e "The game folder: disk records first, then the folders only archives hold (bg)."
  printf '%s\n' ls 'scenario\*'
  e "chapter1.txt is listed once, with the archive's size; the archive's files follow it."
  printf '%s\n' cat 'bg\title.png'
  e "A file from images.xp3, the second archive, opened from the game's folder."
  printf '%s\n' cat acp
  e "\"acp\" exists only in memory: the system's ANSI code page, for the game's text."
  printf '%s\n' write 'scenario\chapter2.txt' exists 'scenario\chapter2.txt'
  e "Opening an archive file for writing gives a read-only handle and creates nothing;"
  e "\"last error 1234\" is the game's own marker: it sets 1234 before the open, and the"
  e "open, which succeeded, left it alone. \"exists\" (FindFirstFileW, not redirected)"
  e "sees the disk: nothing was written there."
  printf '%s\n' filter
  e "\"filter: previous null, then null\": the game tried twice to install its own crash"
  e "filter and could not replace the patch's, so crashes still reach a crash handler."
)
status=0
XP3PATCH_LOG="Z:$(printf '%s' "$LOG" | tr / '\\')" \
  "$RUN" "$B/tools/launcher/launcher.exe" game.exe patch.dll -- "${COMMANDS[@]}" || status=$?
note "The launcher ended with the game's exit code, $status."

echo
echo "== xp3 check . patch.xp3 images.xp3 (in the game folder): the same answers, before the game runs"
"${XP3[@]}" check . patch.xp3 images.xp3
cd "$ROOT"
note "For each entry, in mount order: whether it replaces a game file (both sizes) or" \
     "adds one; then a count. It also names entries the game could never reach, and warns" \
     "about names that look misspelt or packed one folder too deep." \
     "The \"dropin:\" line: the system libraries game.exe imports that a drop-in loader can" \
     "stand in for, so that players start the game as always (see \"Drop-in install\")."

echo
echo "== The patch's log (XP3PATCH_LOG): its start-up lines, then two of the files the game opened"
awk '{ print } NR == 12 || /hook transaction \(file hooks\)/ { exit }' "$LOG"
note "Time and thread on each line; the version, the DLL, the game, the folder paths are" \
     "keyed against; each set of hooks committed; that the patch stays loaded until the" \
     "game ends; the game reaching its entry function; each archive mounted, with its entries."
grep -m 1 'CreateFileW scenario.chapter1\.txt' "$LOG" || true
grep -m 1 'CreateFileW bg.title\.png' "$LOG" || true
note "Each file the game opened inside its folder: the key looked up and which archive" \
     "and entry answered (or \"in no archive, passed to the system\")."
