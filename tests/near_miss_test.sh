#!/usr/bin/env bash
# Misnamed translation files: one letter off (scenario/chapter01.txt for
# the game's scenario\chapter1.txt) and a whole archive packed one folder
# too high (wrapped/bg/title.png for bg\title.png). The patch's log names
# each near miss once, however often the game asks for the path, and
# `xp3 check` warns about both before the game runs.
#   near_miss_test.sh BUILD_DIR
set -uo pipefail
B="$1"
RUN="$B/wine-run.sh"
WORK="$(mktemp -d /tmp/near-miss-test.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { failures=$((failures + 1)); echo "FAIL: $*"; }

G="$WORK/game"
mkdir -p "$G/scenario" "$G/bg" "$WORK/patch/scenario" "$WORK/images/wrapped/bg"
printf 'original' >"$G/scenario/chapter1.txt"
printf 'original image' >"$G/bg/title.png"
printf 'translated' >"$WORK/patch/scenario/chapter01.txt"
printf 'translated image' >"$WORK/images/wrapped/bg/title.png"
cp "$B/tests/sample_game/sample_game.exe" "$G/Game.exe"
cp "$B/startup/patch.dll" "$B/tools/launcher/launcher.exe" "$G/"
(cd "$WORK" && "$RUN" "$B/tools/xp3/xp3.exe" pack patch -o game/patch.xp3 -q >/dev/null &&
  "$RUN" "$B/tools/xp3/xp3.exe" pack images -o game/images.xp3 -q >/dev/null) ||
  { echo "FAIL: packing"; exit 1; }

(cd "$G" && XP3PATCH_LOG='Z:'"$(printf '%s' "$WORK/patch.log" | tr / '\\')" \
  "$RUN" launcher.exe Game.exe patch.dll -- entry cat 'scenario\chapter1.txt' \
  cat 'scenario\chapter1.txt' cat 'bg\title.png' >"$WORK/game.txt" 2>&1) ||
  fail "the game did not run: $(cat "$WORK/game.txt")"
tr -d '\r' <"$WORK/patch.log" >"$WORK/log.txt"
hints() { grep -c "near miss: $1" "$WORK/log.txt"; }
[ "$(hints 'scenario.chapter1\.txt is in no archive, but .*patch\.xp3 holds scenario.chapter01\.txt (1 letter apart)')" = 1 ] ||
  fail "log: the misspelt name is not named once: $(grep 'near miss' "$WORK/log.txt")"
[ "$(hints 'bg.title\.png is in no archive, but .*images\.xp3 holds wrapped.bg.title\.png (inside the extra top folder wrapped)')" = 1 ] ||
  fail "log: the wrapped folder is not named once: $(grep 'near miss' "$WORK/log.txt")"
# The game's own files that nothing tried to replace get no hint.
grep 'near miss: Game' "$WORK/log.txt" && fail "log: a hint for the game's own executable"

(cd "$G" && "$RUN" "$B/tools/xp3/xp3.exe" check . patch.xp3 images.xp3 >"$WORK/check.out" \
  2>"$WORK/check.err")
tr -d '\r' <"$WORK/check.err" >"$WORK/check.txt"
grep -q 'warning: patch.xp3: scenario/chapter01.txt replaces no game file, but the game has scenario/chapter1.txt (1 letter apart)' \
  "$WORK/check.txt" || fail "xp3 check: no warning for the misspelt name: $(cat "$WORK/check.txt")"
grep -q 'warning: images.xp3: every entry lies under wrapped/, a folder the game directory does not have' \
  "$WORK/check.txt" || fail "xp3 check: no warning for the wrapped folder: $(cat "$WORK/check.txt")"

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "near misses: all cases passed"
