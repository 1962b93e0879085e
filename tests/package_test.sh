#!/usr/bin/env bash
# The release package, built from the sample translation's archives as a
# team builds it: the zip holds a player part (game/: exactly what goes into
# the game folder, archives included) and a team part (team/), SHA256SUMS.txt
# covers every file and checks out with the players' own command, and the
# player part copied into a game folder runs as the players' text says
# (launcher, drop-in, uninstall). Archives that the game needs but are not
# given, and damaged ones, are refused; --patch-name renames the patch, its
# archives in the text, and what the loaders load. Every script's --help
# prints its usage and nothing else, and a plain native cmake run takes
# XP3PATCH_DEPS from the environment.
#   package_test.sh   (from anywhere; uses the repository's build/win)
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$(mktemp -d /tmp/package-test.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
B="$ROOT/build/win"
RUN="$B/wine-run.sh"
unzip_to() { python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$@"; }

for script in "$ROOT"/scripts/*.sh; do
  help="$(bash "$script" --help 2>&1)" || fail "$(basename "$script") --help: exit code $?"
  case "$help" in
    usage:*) ;;
    *) fail "$(basename "$script") --help does not start with its usage: $(head -2 <<<"$help")" ;;
  esac
  grep -qE '^(set |#!|==|cmake |\+)' <<<"$help" && fail "$(basename "$script") --help printed more than its usage"
done

# A plain cmake run takes XP3PATCH_DEPS from the environment, as the scripts
# do (README: the native build), instead of falling back to the system's
# zlib and zstd.
DEPS="$(realpath -m "${XP3PATCH_DEPS:-$ROOT/.deps}")"
(XP3PATCH_DEPS="$DEPS" cmake -S "$ROOT" -B "$WORK/native" -G Ninja -DXP3PATCH_NATIVE=ON \
  >"$WORK/native.txt" 2>&1) || fail "native configure: $(tail -3 "$WORK/native.txt")"
grep -qx "XP3PATCH_DEPS:PATH=$DEPS" "$WORK/native/CMakeCache.txt" ||
  fail "the native build ignores XP3PATCH_DEPS from the environment"
grep -q 'sources not found' "$WORK/native.txt" && fail "native build: $(grep -A1 'sources not found' "$WORK/native.txt")"
rm -rf "$WORK/native"

# The team's archives, packed from the sample translation.
mkdir -p "$WORK/team"
bash "$ROOT/scripts/package.sh" --help >/dev/null  # usage only: builds nothing
"$RUN" "$B/tools/xp3/xp3.exe" pack "$ROOT/examples/translation" -o "$WORK/team/patch.xp3" -q \
  >/dev/null && "$RUN" "$B/tools/xp3/xp3.exe" pack "$ROOT/examples/images" \
  -o "$WORK/team/images.xp3" -q >/dev/null || { fail "packing the sample translation"; exit 1; }

zip_path="$(bash "$ROOT/scripts/package.sh" --out "$WORK/dist" "$WORK/team/patch.xp3" \
  "$WORK/team/images.xp3" 2>"$WORK/err.txt" | tail -1)"
[ -f "$zip_path" ] || { fail "no zip: $(tail -5 "$WORK/err.txt")"; exit 1; }
version="$(sed -n 's/^#define XP3PATCH_VERSION "\(.*\)"$/\1/p' "$B/generated/xp3patch_version.h")"
[ "$(basename "$zip_path")" = "xp3patch-$version.zip" ] || fail "zip name $(basename "$zip_path")"
unzip_to "$zip_path" "$WORK/unpacked" || fail "unpacking"
P="$WORK/unpacked/xp3patch-$version"

# The player part is exactly what goes into the game folder; the team's
# files are apart.
expected_files="SHA256SUMS.txt
game/README-players.txt
game/crash_handler.exe
game/dropin/version.dll
game/dropin/winmm.dll
game/images.xp3
game/launcher.exe
game/patch.dll
game/patch.xp3
team/README-teams.md
team/licenses/zlib-1.3.1.txt
team/licenses/zstd-1.5.7.txt
team/xp3.exe"
actual_files="$(cd "$P" && find . -type f -printf '%P\n' | LC_ALL=C sort)"
[ "$actual_files" = "$expected_files" ] || fail "the package holds: $(tr '\n' ' ' <<<"$actual_files")"
cmp -s "$P/game/patch.xp3" "$WORK/team/patch.xp3" || fail "game/patch.xp3 is not the team's archive"
# The sums cover every other file, checked with the command the players'
# text gives for Linux, as written.
sums_files="$(sed 's/^[0-9a-f]\{64\}  //' "$P/SHA256SUMS.txt" | LC_ALL=C sort)"
[ "$sums_files" = "$(grep -v '^SHA256SUMS.txt$' <<<"$expected_files")" ] ||
  fail "SHA256SUMS.txt does not list every file: $(tr '\n' ' ' <<<"$sums_files")"
T="$P/game/README-players.txt"
linux_check="$(tr -d '\r' <"$T" | sed -n 's/^ \{4\}\(sha256sum .*\)$/\1/p')"
[ "$linux_check" = "sha256sum -c SHA256SUMS.txt" ] || fail "players' text: the Linux check is '$linux_check'"
(cd "$P" && $linux_check >/dev/null) || fail "the players' check of the sums fails"
printf 'x' >>"$P/team/xp3.exe"
(cd "$P" && $linux_check >/dev/null 2>&1) && fail "the check of the sums misses a changed file"
grep -q "Get-FileHash .*SHA256SUMS.txt\|Get-Content SHA256SUMS.txt .*Get-FileHash" "$T" ||
  fail "players' text: no Windows check of the sums"

grep -q 'Jean-loup Gailly and Mark Adler' "$P/team/licenses/zlib-1.3.1.txt" || fail "zlib licence text"
for program in game/launcher game/crash_handler team/xp3; do
  out="$("$RUN" "$P/$program.exe" --version 2>&1 | tr -d '\r')"
  [ "$out" = "$(basename "$program") $version" ] || fail "$program --version says '$out'"
done
grep -qx "$version" <(strings -el "$P/game/patch.dll") || fail "patch.dll's version resource lacks $version"
for section in 'Installing' 'Uninstalling' 'Second language' 'Messages and exit codes' \
               'If the game crashes'; do
  grep -q "^$section" "$T" || fail "players' text: no section $section"
done
for message in 'game not found' 'patch DLL not found' 'not the language patch' 'cannot start' \
               'did not load' '无法打开' '汉化补丁未能加载' 'crash handler not reached' \
               'cannot use the report' 'the game crashed' 'exit code 1' 'exit code 2' \
               'exit code 3' '0xC0000005 (access violation)'; do
  grep -qF "$message" "$T" || fail "players' text: the table lacks: $message"
done
grep -q 'set CHS_TW=1' "$T" || fail "players' text: the second-language switch"

# The players' text, followed as written: everything in "game" copied into
# the game folder; the launcher's command; then ONE loader copied up and the
# game started as always; then that loader deleted again.
G="$WORK/Game Folder"
cp -r "$ROOT/examples/game" "$G"
cp "$B/tests/sample_game/sample_game.exe" "$G/Game.exe"
cp -r "$P/game/." "$G/"
play() {  # play [launcher]: what the game reads of scenario\chapter1.txt, in $WORK/play.txt
  if [ "${1:-}" = launcher ]; then
    (cd "$G" && "$RUN" launcher.exe Game.exe patch.dll -- entry cat 'scenario\chapter1.txt' \
      >"$WORK/play.raw" 2>&1)
  else
    (cd "$G" && WINEDLLOVERRIDES="version=n,b" "$RUN" Game.exe entry cat 'scenario\chapter1.txt' \
      >"$WORK/play.raw" 2>&1)
  fi
  tr -d '\r' <"$WORK/play.raw" >"$WORK/play.txt"
}
# Files, not pipes, are searched: under pipefail a writer cut off by an early
# "grep -q" would fail the check by chance.
tr -d '\r' <"$T" >"$WORK/players.txt"
grep -q '^ *launcher.exe Game.exe patch.dll$' "$WORK/players.txt" ||
  fail "players' text: the launcher's command"
play launcher
grep -q 'read 75 bytes: Chapter 1: The Letter' "$WORK/play.txt" || fail "launcher install: not translated"
cp "$G/dropin/version.dll" "$G/"
play
grep -q 'read 75 bytes: Chapter 1: The Letter' "$WORK/play.txt" || fail "drop-in install: not translated"
rm "$G/version.dll"
play
grep -q 'read 63 bytes' "$WORK/play.txt" || fail "drop-in removed: the game is not as before"
# A missing archive is named in full (and is exit code 1 in the table).
rm "$G/images.xp3"
play launcher
grep -q 'xp3patch: cannot mount Z:.*Game Folder.images\.xp3: file not found' "$WORK/play.txt" ||
  fail "missing images.xp3 not named in full: $(cat "$WORK/play.txt")"

# The archives the game needs must be given, and must be sound.
bash "$ROOT/scripts/package.sh" --out "$WORK/bad" "$WORK/team/patch.xp3" >/dev/null 2>"$WORK/err.txt"
[ $? = 2 ] && grep -q 'images.xp3 is not among the archives' "$WORK/err.txt" ||
  fail "a package without images.xp3 was not refused: $(cat "$WORK/err.txt")"
cp "$WORK/team/patch.xp3" "$WORK/team/damaged.xp3"
printf 'XXXX' | dd of="$WORK/team/damaged.xp3" bs=1 seek=40 conv=notrunc 2>/dev/null
mkdir -p "$WORK/damaged" && cp "$WORK/team/damaged.xp3" "$WORK/damaged/patch.xp3"
bash "$ROOT/scripts/package.sh" --out "$WORK/bad" "$WORK/damaged/patch.xp3" \
  "$WORK/team/images.xp3" >/dev/null 2>"$WORK/err.txt" && fail "a damaged archive was packaged"
grep -q 'fails xp3 verify' "$WORK/err.txt" || fail "damaged archive: $(cat "$WORK/err.txt")"

# Another name for the patch: shipped under it, with its archive named after
# it, and the loaders and the players' text name it.
cp "$WORK/team/patch.xp3" "$WORK/team/mytl.xp3"
named="$(bash "$ROOT/scripts/package.sh" --out "$WORK/named" --patch-name mytl.dll \
  "$WORK/team/mytl.xp3" "$WORK/team/images.xp3" 2>>"$WORK/err.txt" | tail -1)"
unzip_to "$named" "$WORK/named/unpacked" || fail "unpacking the renamed package"
N="$WORK/named/unpacked/xp3patch-$version/game"
[ -s "$N/mytl.dll" ] && [ ! -e "$N/patch.dll" ] || fail "--patch-name: the patch is not shipped as mytl.dll"
for loader in version winmm; do
  grep -qx mytl.dll <(strings -el "$N/dropin/$loader.dll") || fail "--patch-name: $loader.dll lacks the name"
done
grep -q 'launcher.exe Game.exe mytl.dll' "$N/README-players.txt" || fail "--patch-name: players' text"
grep -q 'mytl_tw.xp3' "$N/README-players.txt" || fail "--patch-name: the second language's archive"
bash "$ROOT/scripts/package.sh" --out "$WORK/bad" --patch-name 'a/b.dll' >/dev/null 2>&1 &&
  fail "--patch-name with a folder was accepted"

[ "$failures" = 0 ] && echo "package: all checks passed"
[ "$failures" = 0 ]
