#!/usr/bin/env bash
# Builds the release package for players and translation teams (see "Release
# package" in README.md for its layout).
set -euo pipefail
usage() {
  cat <<'USAGE'
usage: bash scripts/package.sh [--out DIR] [--patch-name NAME.dll] [ARCHIVE.xp3...]

Builds dist/xp3patch-VERSION.zip (or DIR/xp3patch-VERSION.zip) and prints its
path. Inside, xp3patch-VERSION/ holds:
  game/          what a player copies into the game's folder: the patch DLL,
                 the archives given, launcher.exe, crash_handler.exe,
                 README-players.txt, and dropin/ with the drop-in loaders
  team/          for the translation team: xp3.exe, README-teams.md, licenses/
  SHA256SUMS.txt the SHA-256 sum of every other file

  ARCHIVE.xp3        the translation's archives, shipped in game/ under their
                     own names; each must pass `xp3 verify`, and NAME.xp3 and
                     images.xp3 must be among them (the game stops without)
  --patch-name NAME  ship the patch DLL as NAME.dll (default patch.dll) and
                     write that name into the drop-in loaders
  --out DIR          where the zip goes (default dist)
  -h, --help         this text

The version in the name is the build's (the project version in the top
CMakeLists.txt). XP3PATCH_DEPS=DIR: dependencies kept in DIR, not .deps.
USAGE
}
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/dist"
PATCH_NAME=patch.dll
ARCHIVES=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT="$(realpath -m "$2")"; shift 2 ;;
    --patch-name) PATCH_NAME="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "package.sh: unknown argument: $1" >&2; exit 2 ;;
    *) ARCHIVES+=("$(realpath -m "$1")"); shift ;;
  esac
done
case "$PATCH_NAME" in
  */* | *\\* | *:* | "" ) echo "package.sh: --patch-name takes a file name: $PATCH_NAME" >&2; exit 2 ;;
  *.dll | *.DLL) ;;
  *) echo "package.sh: --patch-name must end in .dll: $PATCH_NAME" >&2; exit 2 ;;
esac
# The archives the patch mounts at every start must travel with it.
if [ ${#ARCHIVES[@]} -gt 0 ]; then
  stem="${PATCH_NAME%.*}"
  names=" "
  for a in "${ARCHIVES[@]}"; do
    [ -f "$a" ] || { echo "package.sh: archive not found: $a" >&2; exit 2; }
    names+="$(basename "$a" | tr 'A-Z' 'a-z') "
  done
  for needed in "$stem.xp3" images.xp3; do
    lower="$(printf '%s' "$needed" | tr 'A-Z' 'a-z')"
    case "$names" in *" $lower "*) ;; *)
      echo "package.sh: $needed is not among the archives given: the game stops at start-up without it" >&2
      exit 2 ;;
    esac
  done
else
  echo "package.sh: warning: no archives given; the package cannot translate anything until the translation's .xp3 files are in its game folder" >&2
fi
cd "$ROOT"

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
# game/ is exactly what goes into the game's folder; team/ never does.
G="$P/game"
T="$P/team"
mkdir -p "$G/dropin" "$T/licenses"
cp "$B/startup/patch.dll" "$G/$PATCH_NAME"
cp "$B/tools/launcher/launcher.exe" "$B/tools/crash_handler/crash_handler.exe" "$G/"
cp "$B/tools/xp3/xp3.exe" "$T/"
# The loaders stay in a folder of their own even inside the game's folder,
# where the system never loads them: a player moves ONE of them up a level.
cp "$B"/dropin/*.dll "$G/dropin/"
# Players get the programs without their debugging information.
i686-w64-mingw32-strip "$G"/*.exe "$G"/*.dll "$G"/dropin/*.dll "$T"/*.exe
for loader in "$G"/dropin/*.dll; do
  python3 dropin/set_patch_name.py "$loader" "$PATCH_NAME"
done
# Each archive is checked as shipped, byte for byte, before it is packed.
for a in ${ARCHIVES[@]+"${ARCHIVES[@]}"}; do
  cp "$a" "$G/"
  if ! "$B/wine-run.sh" "$T/xp3.exe" verify "$G/$(basename "$a")" >"$STAGE/verify.txt" 2>&1; then
    echo "package.sh: $a fails xp3 verify:" >&2
    tr -d '\r' <"$STAGE/verify.txt" >&2
    exit 1
  fi
done
cp README.md "$T/README-teams.md"
cp "$ZLIB_LICENSE" "$T/licenses/zlib-1.3.1.txt"
cp "$ZSTD_LICENSE" "$T/licenses/zstd-1.5.7.txt"

# Players read this one in Notepad: CR LF line ends. It is written for
# patch.dll; another --patch-name is put in afterwards, its archives too.
STEM="${PATCH_NAME%.*}"
sed -e 's/$/\r/' -e "s/patch\.dll/$PATCH_NAME/g" -e "s/patch\(_tw\)\{0,1\}\.xp3/$STEM\1.xp3/g" \
  >"$G/README-players.txt" <<PLAYERS
Language patch $VERSION
========================

This package holds two folders. "game" is for you: everything in it goes
into the game's folder (the folder of the game's .exe). "team" is for the
translation team; you do not need it.

Checking the download (optional)
--------------------------------
SHA256SUMS.txt, beside the two folders, lists a checksum for every file.
In the unpacked package folder, on Windows (PowerShell):

    Get-Content SHA256SUMS.txt | % { \$s,\$f = \$_ -split '  ',2; if ((Get-FileHash \$f -Algorithm SHA256).Hash -eq \$s) { "OK \$f" } else { "FAILED \$f" } }

On Linux:

    sha256sum -c SHA256SUMS.txt

Every line must say OK. A FAILED file is damaged: download the package again.

Installing
----------
1. Copy everything in the folder "game" into the game's folder: patch.dll,
   the .xp3 files, launcher.exe, crash_handler.exe, this text and the
   folder "dropin". Never replace a file the game came with.
2. Choose how the game starts:

   a) As always (drop-in): copy ONE file from the "dropin" folder up into the
      game's folder: version.dll, or winmm.dll if the game's folder already
      holds a version.dll of its own or version.dll does not work. Never
      both. Then start the game as you always do: its shortcut, the store
      client, or its .exe.

      On Linux (Wine, Proton, Steam Deck and other handhelds) the game only
      uses that file when it is told to prefer it over its own. Set

          WINEDLLOVERRIDES="version=n,b"

      (winmm=n,b for winmm.dll) when starting the game with wine, or, in the
      Steam client, in the game's Properties > Launch Options:

          WINEDLLOVERRIDES="version=n,b" %command%

   b) With the launcher, for a game where neither file works (it uses
      neither library): the launcher stays. Open a command prompt in the
      game's folder and start the game with

          launcher.exe Game.exe patch.dll

      (use the real name of the game's .exe). A shortcut to that command
      works too, and so does starting it from another folder: the game always
      runs in its own folder. Start the game this way every time: started on
      its own, the game is not translated.

The game is then translated. If the translation fails to load, a message
names the file that is missing or broken (see "Messages" below).

Second language (traditional Chinese)
-------------------------------------
When the translation has one, its file is patch_tw.xp3 in the game's folder.
Set the variable CHS_TW to 1 before starting the game, in a command prompt:

    set CHS_TW=1
    launcher.exe Game.exe patch.dll

(or the game's .exe with a drop-in file; on Linux CHS_TW=1 beside
WINEDLLOVERRIDES in the launch options). Without CHS_TW=1 the first
language is shown. With it, patch_tw.xp3 must be there: the game stops
otherwise, naming it.

Uninstalling
------------
Delete the version.dll or winmm.dll you copied up into the game's folder:
that alone turns the translation off, and the game is exactly as before.
Then delete the rest of what you copied: patch.dll, the translation's .xp3
files, launcher.exe, crash_handler.exe, README-players.txt and the folder
"dropin". Delete an .xp3 file only if this package brought it (compare with
the folder "game"): never one the game came with.

If the game crashes
-------------------
Start it through the crash handler instead, in a command prompt in the
game's folder:

    crash_handler.exe --dump-dir reports -- launcher.exe Game.exe patch.dll

It creates the folder "reports" if needed. After a crash it says "the game
crashed", and that folder holds a .dmp file and a .txt file whose names
start with "crash-". Send both to the translation team, with what you were
doing in the game.

If a translated text does not show up
-------------------------------------
Set a log file before starting the game, in a command prompt in the
game's folder:

    set XP3PATCH_LOG=%CD%\patch.log
    launcher.exe Game.exe patch.dll

(or the game's .exe with a drop-in file) and send patch.log to the
translation team. Without XP3PATCH_LOG nothing is logged.

Messages and exit codes
-----------------------
Messages name files with their full path (PATH below), except a program
you typed yourself, which is named as typed (NAME).
The exit code is what a program ends with (in a command prompt:
echo %ERRORLEVEL%).

Message (and exit code)                     Cause, and what to do
------------------------------------------  ------------------------------------------
launcher: game not found: PATH              The game's .exe is not there. Check its
  (exit code 3)                             name in the command.
launcher: patch DLL not found: PATH         patch.dll is not in that folder: copy it
  (exit code 3)                             from "game" again.
launcher: ... is not a Windows program,     A wrong or damaged file under that name:
  is not a 32-bit x86 program, or is a      copy it again (for the game's .exe:
  folder, not a program: PATH (exit 3)      reinstall the game).
launcher: not the language patch (its       The file named is not this patch: copy
  version resource ...): PATH (exit 3)      patch.dll from "game" again.
launcher: cannot start PATH: REASON         Windows refused to start the game; REASON
  (exit code 3)                             says why (a virus scanner, say).
launcher: cannot load PATH into the game,   The patch did not start inside the game.
  the patch DLL did not load into the       Send the team this message and patch.log
  game, or the game ended (exit code ...)   (see "If a translated text does not show
  before the patch DLL could be seen        up").
  loaded (exit code 3)
launcher: expected GAME.EXE PATCH.DLL, or   The command is incomplete or mistyped:
  unknown option (exit code 2)              type it as shown above.
Error box "错误": 无法打开 PATH。请检查       The patch cannot open its archive PATH;
  文件是否存在 ("cannot open PATH, check     the console says "xp3patch: cannot mount
  that the file exists"), exit code 1       PATH: REASON". Copy that .xp3 file into
                                            the game's folder (patch_tw.xp3 is only
                                            needed with CHS_TW=1). Damaged: copy it
                                            again.
Box "xp3patch": 汉化补丁未能加载，游戏将    The drop-in file could not load the patch
  以原文运行。 ("the language patch was     PATH: "not found" (copy patch.dll into
  not loaded, the game runs untranslated:   the game's folder), "not the language
  PATH: REASON")                            patch" (copy it again), "it did not load"
                                            (send the team the message). The game runs
                                            untranslated meanwhile.
Information box "信息" at the game's       The patch could not reach the crash
  start (crash handler not reached)         handler: the game runs on, without crash
                                            reports. Start the crash handler's command
                                            again.
crash_handler: cannot use the report        The folder for reports cannot be made
  directory PATH: REASON (exit code 1)      there: choose another --dump-dir.
crash_handler: cannot open log file PATH    The --log file cannot be written there.
  (exit code 1)
crash_handler: error: cannot start NAME:    The program after -- (named as typed)
  REASON (exit code 1)                      is not there: run the command in the
                                            game's folder.
crash_handler: error: cannot create pipe    Another crash handler already serves that
  ... (exit code 1)                         pipe: close it, or wait for its game.
crash_handler: the game crashed: exception  The game crashed and the reports are
  0xC0000005 (access violation)             written: send both crash- files. The
                                            crash handler ends with that code.
crash_handler: ... ended with exit code N   The game ended; N is its own exit code
                                            (3: a launcher message above says why).
Exit code 0xC0000005 or another 0xC...      The game crashed (3221225477 is
  code, or a large number like 3221225477   0xC0000005 in decimal): start it with
                                            the crash handler's command.

Licences of the bundled compression libraries are in the team folder, under
"licenses".
PLAYERS

# Every file of the package, players' and team's, with paths that
# PowerShell and sha256sum both take.
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
