#!/usr/bin/env bash
# Builds the release package for players and translation teams: a zip
# holding patch.dll, launcher.exe, xp3.exe and crash_handler.exe, the
# drop-in loaders (dropin/version.dll, dropin/winmm.dll), a short README for
# players, the team README, the licences of the bundled zlib and zstd (taken
# from their source trees), and SHA-256 sums of every file.
#
#   bash scripts/package.sh [--out DIR] [--patch-name NAME.dll]
#
# --patch-name ships the patch DLL under NAME.dll (default patch.dll) and
# writes that name into the loaders, which load it from their folder.
#
# The version in the package's name is the build's (the project version in
# the top CMakeLists.txt). Prints the path of the zip.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
OUT="$ROOT/dist"
PATCH_NAME=patch.dll
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT="$(realpath -m "$2")"; shift 2 ;;
    --patch-name) PATCH_NAME="$2"; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "package.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done
case "$PATCH_NAME" in
  */* | *\\* | *:* | "" ) echo "package.sh: --patch-name takes a file name: $PATCH_NAME" >&2; exit 2 ;;
  *.dll | *.DLL) ;;
  *) echo "package.sh: --patch-name must end in .dll: $PATCH_NAME" >&2; exit 2 ;;
esac

bash scripts/bootstrap.sh
# XP3PATCH_DEPS: where bootstrap put (or finds) the dependencies.
DEPS="$(realpath -m "${XP3PATCH_DEPS:-$ROOT/.deps}")"
B="$ROOT/build/win"
cmake -S . -B "$B" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DXP3PATCH_DEPS="$DEPS" >/dev/null
cmake --build "$B" -j "${JOBS:-2}" --target patch launcher xp3 crash_handler \
  dropin_loaders >/dev/null

VERSION="$(sed -n 's/^#define XP3PATCH_VERSION "\(.*\)"$/\1/p' "$B/generated/xp3patch_version.h")"
[ -n "$VERSION" ] || { echo "package.sh: no version in the build" >&2; exit 1; }
ZLIB_LICENSE="$DEPS/src/zlib-1.3.1/LICENSE"
ZSTD_LICENSE="$DEPS/src/zstd-1.5.7/LICENSE"
for f in "$ZLIB_LICENSE" "$ZSTD_LICENSE"; do
  [ -f "$f" ] || { echo "package.sh: licence missing: $f (run scripts/bootstrap.sh)" >&2; exit 1; }
done

NAME="xp3patch-$VERSION"
STAGE="$(mktemp -d "${TMPDIR:-/tmp}/xp3patch-package.XXXXXX")"
trap 'rm -rf "$STAGE"' EXIT
P="$STAGE/$NAME"
mkdir -p "$P/licenses" "$P/dropin"
cp "$B/startup/patch.dll" "$P/$PATCH_NAME"
cp "$B/tools/launcher/launcher.exe" "$B/tools/xp3/xp3.exe" \
   "$B/tools/crash_handler/crash_handler.exe" "$P/"
# The loaders sit in a folder of their own: a player copies one of them into
# the game folder, never all of them by accident with the rest.
cp "$B"/dropin/*.dll "$P/dropin/"
# Players get the programs without their debugging information.
i686-w64-mingw32-strip "$P"/*.exe "$P"/*.dll "$P"/dropin/*.dll
for loader in "$P"/dropin/*.dll; do
  python3 dropin/set_patch_name.py "$loader" "$PATCH_NAME"
done
cp README.md "$P/README-teams.md"
cp "$ZLIB_LICENSE" "$P/licenses/zlib-1.3.1.txt"
cp "$ZSTD_LICENSE" "$P/licenses/zstd-1.5.7.txt"

# Players read this one in Notepad: CR LF line ends.
sed 's/$/\r/' >"$P/README-players.txt" <<EOF
Language patch $VERSION
========================

Installing: copy one file, start the game as always
----------------------------------------------------
Copy $PATCH_NAME and the translation's .xp3 files into the game's folder
(where the game's .exe is). Then copy ONE file from the "dropin" folder of
this package into the game's folder as well: version.dll, or winmm.dll if
the game's folder already holds a version.dll of its own or version.dll does
not work. Never copy both; never replace a file the game came with. The
translation team's "xp3 check GAME_FOLDER" says which of the two the game
can use.

Now start the game as you always do: its shortcut, the store client, or
its .exe. If the translation fails to load, a message box names the file
that is missing or broken, and the game runs untranslated.

To remove the translation, delete that version.dll (or winmm.dll) from the
game's folder; the game is then exactly as before.

On Linux (Wine, Proton, Steam Deck and other handhelds) the game only uses
the copied file when it is told to prefer it over its own. Set

    WINEDLLOVERRIDES="version=n,b"

(winmm=n,b for winmm.dll) when starting the game with wine, or, in the
Steam client, in the game's Properties > Launch Options:

    WINEDLLOVERRIDES="version=n,b" %command%

Starting the game with the launcher
-----------------------------------
For a game where neither file works (the game does not use either
library), the launcher stays: copy everything from this package, and the
translation's .xp3 files, into the game's folder. Then open a command
prompt in that folder and start the game with

    launcher.exe Game.exe $PATCH_NAME

(use the real name of the game's .exe). A shortcut to that command works
too, and so does starting it from another folder: the game always runs in
its own folder. Start the game this way every time: started on its own
(without a file from "dropin"), the game is not translated.

If the launcher cannot start the game it says why, naming the file: in the
command prompt, or in a message box when it was started from a shortcut.
"not found" means that file is not where the command says; "the patch DLL
did not load" means $PATCH_NAME could not start (send the team its message).
If the game ends at once with an error box (its text is in Chinese and
names an .xp3 file: it says that file cannot be opened), that .xp3 file of
the translation is missing from the game's folder.

If the game crashes
-------------------
Start it through the crash handler instead, in a command prompt in the
game's folder:

    crash_handler.exe --dump-dir reports -- launcher.exe Game.exe $PATCH_NAME

It creates the folder "reports" if needed. After a crash that folder holds
a .dmp file and a .txt file whose names start with "crash-". Send both to
the translation team, with what you were doing in the game.

If a translated text does not show up
-------------------------------------
Set a log file before starting the game, in a command prompt in the
game's folder:

    set XP3PATCH_LOG=%CD%\patch.log
    Game.exe

(or launcher.exe Game.exe $PATCH_NAME instead of Game.exe)

and send patch.log to the translation team. Without XP3PATCH_LOG nothing
is logged.

SHA256SUMS.txt lists the checksums of the files of this package. The
licences of the bundled compression libraries are in "licenses".
EOF

(cd "$P" && find . -type f ! -name SHA256SUMS.txt -printf '%P\n' | LC_ALL=C sort |
   xargs -d '\n' sha256sum >SHA256SUMS.txt)

mkdir -p "$OUT"
ZIP="$OUT/$NAME.zip"
rm -f "$ZIP"
python3 - "$STAGE" "$NAME" "$ZIP" <<'PY'
import os, sys, zipfile
stage, name, out = sys.argv[1:]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for folder, _, files in sorted(os.walk(os.path.join(stage, name))):
        for f in sorted(files):
            path = os.path.join(folder, f)
            z.write(path, os.path.relpath(path, stage))
PY
echo "$ZIP"
