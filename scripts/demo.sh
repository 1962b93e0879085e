#!/usr/bin/env bash
# The main job: builds everything, packs the sample translation with the xp3
# tool, and runs the sample game with the patch under Wine, showing what the
# game sees before and after the patch starts.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/bootstrap.sh
cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/win -j "${JOBS:-2}"

B="$ROOT/build/win"
RUN="$B/wine-run.sh"
GAME="$ROOT/out/demo-game"
rm -rf "$GAME"
mkdir -p "$GAME"
cp -r examples/game/. "$GAME/"
cp "$B/tests/sample_game/sample_game.exe" "$GAME/game.exe"
cp "$B/startup/patch.dll" "$GAME/patch.dll"

echo "== Packing the translation (patch.xp3) and the images (images.xp3)"
"$RUN" "$B/tools/xp3/xp3.exe" pack examples/translation -o "$GAME/patch.xp3" --compress zstd
"$RUN" "$B/tools/xp3/xp3.exe" pack examples/images -o "$GAME/images.xp3" --compress zlib
"$RUN" "$B/tools/xp3/xp3.exe" list "$GAME/patch.xp3"

echo
echo "== The game with the patch (started through the launcher)"
cd "$GAME"
LAUNCH=("$RUN" "$B/tools/launcher/launcher.exe" game.exe patch.dll --)
if [ ! -f "$B/tools/launcher/launcher.exe" ]; then LAUNCH=("$RUN" game.exe load patch.dll); fi
"${LAUNCH[@]}" \
  echo "-- before GameEntry: only the real files --" \
  cat 'scenario\chapter1.txt' ls 'scenario\*' \
  entry \
  echo "-- after GameEntry: the translation is served from patch.xp3 --" \
  cat 'scenario\chapter1.txt' cat 'scenario/chapter2.txt' seek 'scenario\chapter1.txt' 11 10 \
  stat 'system\config.ini' ls '*' ls 'scenario\*' cat 'bg\title.png' cat acp \
  write 'scenario\chapter2.txt' exists 'scenario\chapter2.txt' filter
