#!/usr/bin/env bash
# The release package: scripts/package.sh builds a zip holding the four
# programs, both READMEs and the licences, whose SHA-256 sums check out and
# whose programs state the build's version.
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
         SHA256SUMS.txt licenses/zlib-1.3.1.txt licenses/zstd-1.5.7.txt; do
  [ -s "$P/$f" ] || fail "missing from the package: $f"
done
(cd "$P" && sha256sum --quiet -c SHA256SUMS.txt) || fail "SHA-256 sums do not match"
[ "$(wc -l <"$P/SHA256SUMS.txt")" = 8 ] || fail "SHA256SUMS.txt should list the 8 other files"
grep -q 'Jean-loup Gailly and Mark Adler' "$P/licenses/zlib-1.3.1.txt" || fail "zlib licence text"
grep -q 'Facebook\|Meta' "$P/licenses/zstd-1.5.7.txt" || fail "zstd licence text"
grep -q 'launcher.exe Game.exe patch.dll' "$P/README-players.txt" || fail "player README: how to start"
grep -q 'crash_handler.exe' "$P/README-players.txt" || fail "player README: what to send on a crash"
for program in launcher xp3 crash_handler; do
  out="$("$ROOT/build/win/wine-run.sh" "$P/$program.exe" --version 2>&1 | tr -d '\r')"
  [ "$out" = "$program $version" ] || fail "$program --version says '$out'"
done
strings -el "$P/patch.dll" | grep -qx "$version" || fail "patch.dll's version resource lacks $version"

[ "$failures" = 0 ] && echo "package: all checks passed"
[ "$failures" = 0 ]
