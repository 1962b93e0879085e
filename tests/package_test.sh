#!/usr/bin/env bash
# The release package: scripts/package.sh builds a zip holding the four
# programs, the drop-in loaders, both READMEs and the licences, whose SHA-256
# sums check out and whose programs state the build's version; the players'
# drop-in steps, run as written, translate the sample game; --patch-name
# renames the patch and the loaders load it by that name.
#   package_test.sh   (from anywhere; uses the repository's build/win)
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$(mktemp -d /tmp/package-test.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

zip_path="$(bash "$ROOT/scripts/package.sh" --out "$WORK/dist" 2>"$WORK/err.txt" | tail -1)"
[ -f "$zip_path" ] || { fail "no zip: $(tail -5 "$WORK/err.txt")"; exit 1; }
version="$(sed -n 's/^#define XP3PATCH_VERSION "\(.*\)"$/\1/p' "$ROOT/build/win/generated/xp3patch_version.h")"
[ "$(basename "$zip_path")" = "xp3patch-$version.zip" ] || fail "zip name $(basename "$zip_path")"

python3 - "$zip_path" "$WORK/unpacked" <<'PY' || fail "unpacking"
import sys, zipfile
zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
PY
P="$WORK/unpacked/xp3patch-$version"
for f in patch.dll launcher.exe xp3.exe crash_handler.exe README-players.txt README-teams.md \
         SHA256SUMS.txt licenses/zlib-1.3.1.txt licenses/zstd-1.5.7.txt dropin/version.dll \
         dropin/winmm.dll; do
  [ -s "$P/$f" ] || fail "missing from the package: $f"
done
(cd "$P" && sha256sum --quiet -c SHA256SUMS.txt) || fail "SHA-256 sums do not match"
[ "$(wc -l <"$P/SHA256SUMS.txt")" = 10 ] || fail "SHA256SUMS.txt should list the 10 other files"
grep -q 'Jean-loup Gailly and Mark Adler' "$P/licenses/zlib-1.3.1.txt" || fail "zlib licence text"
grep -q 'Facebook\|Meta' "$P/licenses/zstd-1.5.7.txt" || fail "zstd licence text"
grep -q 'launcher.exe Game.exe patch.dll' "$P/README-players.txt" || fail "player README: how to start"
grep -q 'crash_handler.exe' "$P/README-players.txt" || fail "player README: what to send on a crash"
for program in launcher xp3 crash_handler; do
  out="$("$ROOT/build/win/wine-run.sh" "$P/$program.exe" --version 2>&1 | tr -d '\r')"
  [ "$out" = "$program $version" ] || fail "$program --version says '$out'"
done
strings -el "$P/patch.dll" | grep -qx "$version" || fail "patch.dll's version resource lacks $version"
grep -q 'WINEDLLOVERRIDES="version=n,b" %command%' "$P/README-players.txt" ||
  fail "player README: the store client's launch option"
grep -q 'delete that version.dll' "$P/README-players.txt" || fail "player README: how to remove"
grep -q 'the launcher stays' "$P/README-players.txt" || fail "player README: the launcher stays"

# The drop-in steps as the players' text gives them: the patch, the archives
# and one loader copied into the game folder, the game started as always
# (with the override on Wine); then the loader deleted again.
B="$ROOT/build/win"
G="$WORK/game"
mkdir -p "$G/data" "$WORK/tl/data"
printf 'original' >"$G/data/a.txt"
printf 'translated' >"$WORK/tl/data/a.txt"
cp "$B/tests/sample_game/sample_game.exe" "$G/Game.exe"
(cd "$WORK" && "$B/wine-run.sh" "$P/xp3.exe" pack tl -o game/patch.xp3 >/dev/null &&
  "$B/wine-run.sh" "$P/xp3.exe" pack tl -o game/images.xp3 >/dev/null) || fail "packing"
cp "$P/patch.dll" "$P/dropin/version.dll" "$G/"
play() {
  (cd "$G" && WINEDLLOVERRIDES="version=n,b" "$B/wine-run.sh" Game.exe entry cat 'data\a.txt' \
    >"$WORK/play.raw" 2>&1)
  tr -d '\r' <"$WORK/play.raw"
}
play | grep -q 'read 10 bytes: translated$' || fail "drop-in install: the game is not translated"
rm "$G/version.dll"
play | grep -q 'read 8 bytes: original$' || fail "drop-in removed: the game is not as before"

# Another name for the patch: shipped under it, and the loaders load it.
named="$(bash "$ROOT/scripts/package.sh" --out "$WORK/named" --patch-name mytl.dll 2>>"$WORK/err.txt" |
  tail -1)"
python3 - "$named" "$WORK/named/unpacked" <<'PY' || fail "unpacking the renamed package"
import sys, zipfile
zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
PY
N="$WORK/named/unpacked/xp3patch-$version"
[ -s "$N/mytl.dll" ] && [ ! -e "$N/patch.dll" ] || fail "--patch-name: the patch is not shipped as mytl.dll"
for loader in version winmm; do
  strings -el "$N/dropin/$loader.dll" | grep -qx mytl.dll || fail "--patch-name: $loader.dll lacks the name"
done
grep -q 'launcher.exe Game.exe mytl.dll' "$N/README-players.txt" || fail "--patch-name: players' text"
bash "$ROOT/scripts/package.sh" --out "$WORK/bad" --patch-name 'a/b.dll' >/dev/null 2>&1 &&
  fail "--patch-name with a folder was accepted"

[ "$failures" = 0 ] && echo "package: all checks passed"
[ "$failures" = 0 ]
