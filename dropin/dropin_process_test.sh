#!/usr/bin/env bash
# Whole-process tests of the drop-in loaders under Wine: each loader is
# copied into a game folder and the game is started directly, as a player
# starts it, with the override that makes Wine prefer a DLL in the game
# folder (WINEDLLOVERRIDES="NAME=n,b", as the players' text says).
#   dropin_process_test.sh BUILD_DIR
set -uo pipefail
B="$1"
SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
RUN="$B/wine-run.sh"
XP3="$B/tools/xp3/xp3.exe"
WORK="$(mktemp -d /tmp/dropin-process-test.XXXXXX)"
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT
failures=0
passes=0
check() {  # check NAME FILE PATTERN: the output holds a line matching PATTERN
  if grep -qE -- "$3" "$2"; then passes=$((passes + 1)); else
    failures=$((failures + 1)); echo "FAIL: $1: no line matching: $3"; fi
}
check_not() {
  if grep -qE -- "$3" "$2"; then failures=$((failures + 1)); echo "FAIL: $1: unexpected: $3"; else
    passes=$((passes + 1)); fi
}
expect_eq() {
  if [ "$2" == "$3" ]; then passes=$((passes + 1)); else
    failures=$((failures + 1)); echo "FAIL: $1: expected '$3', got '$2'"; fi
}
literal() { printf '%s' "$1" | sed 's/[][\\.^$*+?(){}|]/\\&/g'; }
BASE_OVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"

# The loaders export exactly what the system libraries they stand for
# export, under the same names and ordinals.
for name in version winmm; do
  if diff <(python3 "$SRC/derive_exports.py" "$B/dropin/$name.dll") "$SRC/exports/$name.txt" \
      >"$WORK/exports-$name.diff"; then passes=$((passes + 1)); else
    failures=$((failures + 1)); echo "FAIL: $name.dll exports differ:"; head "$WORK/exports-$name.diff"; fi
done

mkdir -p "$WORK/src/data" "$WORK/images/data" "$WORK/template/data"
printf 'translated-a' >"$WORK/src/data/a.txt"
printf 'images-b' >"$WORK/images/data/b.txt"
printf 'original-a' >"$WORK/template/data/a.txt"
(cd "$WORK" && "$RUN" "$XP3" pack src -o template/patch.xp3 >/dev/null &&
  "$RUN" "$XP3" pack images -o template/images.xp3 >/dev/null) ||
  { echo "FAIL: packing the test archives"; exit 1; }
cp "$B/tests/sample_game/sample_game.exe" "$WORK/template/Game.exe"
cp "$B/startup/patch.dll" "$WORK/template/patch.dll"

# fresh NAME: a new game folder WORK/NAME from the template.
fresh() { rm -rf "$WORK/$1"; cp -r "$WORK/template" "$WORK/$1"; }
# play NAME OVERRIDES COMMAND...: starts WORK/NAME/Game.exe in its folder,
# with the patch's log in WORK/NAME.log; output and exit code in WORK/NAME.out.
play() {
  local name="$1" overrides="$2"; shift 2
  (cd "$WORK/$name" && WINEDLLOVERRIDES="$overrides${overrides:+;}$BASE_OVERRIDES" \
    XP3PATCH_LOG="$(printf 'Z:%s' "$WORK/$name.log" | tr / '\\')" \
    "$RUN" "$@" >"$WORK/$name.raw" 2>&1; echo "exit $?" >>"$WORK/$name.raw")
  tr -d '\r' <"$WORK/$name.raw" >"$WORK/$name.out"
}
loads_of_patch() { grep -c 'xp3patch .* loaded in process' "$WORK/$1.log" 2>/dev/null || echo 0; }
GAME=(libraries entry cat 'data\a.txt' cat 'data\b.txt')

# The reference: the game started on its own, with no loader in its folder.
fresh plain
play plain "" Game.exe "${GAME[@]}"
check "reference: untranslated" "$WORK/plain.out" 'data\\a.txt: size 10/10, read 10 bytes: original-a$'
grep -E '^(version|winmm):' "$WORK/plain.out" >"$WORK/plain.answers"
expect_eq "reference: the library answers printed" "$(wc -l <"$WORK/plain.answers")" 7

for name in version winmm; do
  # Dropped in and preferred: the game started directly sees the translation,
  # and every answer of the library is the system's.
  fresh "$name"
  cp "$B/dropin/$name.dll" "$WORK/$name/"
  play "$name" "$name=n,b" Game.exe "${GAME[@]}"
  check "$name.dll: translated" "$WORK/$name.out" 'data\\a.txt: size 12/12, read 12 bytes: translated-a$'
  check "$name.dll: images.xp3 from the game folder" "$WORK/$name.out" 'read 8 bytes: images-b$'
  check "$name.dll: the game's own code still runs" "$WORK/$name.out" '^entry returned 10$'
  check "$name.dll: exit code" "$WORK/$name.out" '^exit 0$'
  grep -E '^(version|winmm):' "$WORK/$name.out" >"$WORK/$name.answers"
  if diff "$WORK/plain.answers" "$WORK/$name.answers" >"$WORK/$name.diff"; then
    passes=$((passes + 1)); else failures=$((failures + 1))
    echo "FAIL: $name.dll: forwarded answers differ:"; cat "$WORK/$name.diff"; fi
  expect_eq "$name.dll: the patch loaded once" "$(loads_of_patch "$name")" 1
  check "$name.dll: the patch knows the game" "$WORK/$name.log" 'Game\.exe'

  # Without the override Wine keeps its own library: nothing is loaded.
  play "$name" "" Game.exe "${GAME[@]}"
  check "$name.dll not preferred: untranslated" "$WORK/$name.out" 'read 10 bytes: original-a$'
done

# Before any of the game's code: a stand-in patch says so on standard output,
# and the first line is its.
fresh first
cp "$B/dropin/version.dll" "$WORK/first/"
cp "$B/tools/launcher/accepting_patch.dll" "$WORK/first/patch.dll"
play first "version=n,b" Game.exe echo game-started
expect_eq "the patch loads before the game's code" "$(head -1 "$WORK/first.out")" "patch loaded"
expect_eq "the patch loads once" "$(grep -c '^patch loaded$' "$WORK/first.out")" 1

# Both loaders in the folder, and the launcher as well: one patch.
fresh both
cp "$B/dropin/version.dll" "$B/dropin/winmm.dll" "$B/tools/launcher/launcher.exe" "$WORK/both/"
play both "version=n,b;winmm=n,b" Game.exe "${GAME[@]}"
check "two loaders: translated" "$WORK/both.out" 'read 12 bytes: translated-a$'
expect_eq "two loaders: the patch loaded once" "$(loads_of_patch both)" 1
rm -f "$WORK/both.log"
play both "version=n,b;winmm=n,b" launcher.exe Game.exe patch.dll -- "${GAME[@]}"
check "launcher and loaders: translated" "$WORK/both.out" 'read 12 bytes: translated-a$'
check "launcher and loaders: exit code" "$WORK/both.out" '^exit 0$'
expect_eq "launcher and loaders: the patch loaded once" "$(loads_of_patch both)" 1
cp "$B/tools/launcher/accepting_patch.dll" "$WORK/both/patch.dll"
play both "version=n,b;winmm=n,b" launcher.exe Game.exe patch.dll -- echo game-started
expect_eq "launcher and loaders: one load of a stand-in" "$(grep -c '^patch loaded$' "$WORK/both.out")" 1

# No patch, a patch that fails to start, a file that is not the patch: the
# message names the file in full, in the log too, and the game runs untranslated.
for kind in missing failing impostor; do
  fresh "$kind"
  cp "$B/dropin/winmm.dll" "$WORK/$kind/"
  case "$kind" in
    missing) rm "$WORK/$kind/patch.dll"; reason='not found' ;;
    failing) cp "$B/tools/launcher/refusing_patch.dll" "$WORK/$kind/patch.dll"; reason='it did not load' ;;
    impostor) cp "$B/tools/launcher/launcher.exe" "$WORK/$kind/patch.dll"; reason='not the language patch' ;;
  esac
  play "$kind" "winmm=n,b" Game.exe "${GAME[@]}"
  path="$(literal "$(printf 'Z:%s' "$WORK/$kind/patch.dll" | tr / '\\')")"
  message="the language patch was not loaded, the game runs untranslated: $path: $reason"
  check "$kind patch: said, naming the file" "$WORK/$kind.out" "^xp3patch loader: $message"
  check "$kind patch: in the log" "$WORK/$kind.log" "loader winmm\\.dll: $message"
  check "$kind patch: the game runs untranslated" "$WORK/$kind.out" 'read 10 bytes: original-a$'
  check "$kind patch: the game ends normally" "$WORK/$kind.out" '^exit 0$'
  check "$kind patch: forwarding still works" "$WORK/$kind.out" '^winmm: timer caps 0'
done

# A missing archive ends the game as it does under the launcher: the same
# message naming the archive, the same exit code.
fresh noimages
rm "$WORK/noimages/images.xp3"
cp "$B/dropin/version.dll" "$B/tools/launcher/launcher.exe" "$WORK/noimages/"
play noimages "version=n,b" Game.exe "${GAME[@]}"
cp "$WORK/noimages.out" "$WORK/noimages-dropin.out"
play noimages "" launcher.exe Game.exe patch.dll -- "${GAME[@]}"
for out in noimages-dropin noimages; do
  check "missing archive ($out): named" "$WORK/$out.out" 'images\.xp3'
  check "missing archive ($out): the game ends with 1" "$WORK/$out.out" '^exit 1$'
  check_not "missing archive ($out): nothing served" "$WORK/$out.out" 'translated-a'
done
expect_eq "missing archive: the same lines as under the launcher" \
  "$(grep -v '^exit' "$WORK/noimages-dropin.out" | grep -c images.xp3)" \
  "$(grep -v '^exit' "$WORK/noimages.out" | grep -c images.xp3)"

# The name the team gives the patch at packaging is the one the loader loads.
fresh renamed
mv "$WORK/renamed/patch.dll" "$WORK/renamed/mytl.dll"
mv "$WORK/renamed/patch.xp3" "$WORK/renamed/mytl.xp3"
cp "$B/dropin/version.dll" "$WORK/renamed/"
python3 "$SRC/set_patch_name.py" "$WORK/renamed/version.dll" mytl.dll
play renamed "version=n,b" Game.exe "${GAME[@]}"
check "renamed patch: translated" "$WORK/renamed.out" 'read 12 bytes: translated-a$'
if python3 "$SRC/set_patch_name.py" "$WORK/renamed/version.dll" 'sub\x.dll' 2>/dev/null; then
  failures=$((failures + 1)); echo "FAIL: a name with a folder was written"; else passes=$((passes + 1)); fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
