#!/usr/bin/env bash
# The commands the READMEs give players, run exactly as written, in a
# Windows command prompt (a batch file run by cmd), on a game folder laid
# out as a player's: the game, the patch and its archives, the launcher and
# the crash handler side by side.
#  - `launcher.exe Game.exe patch.dll`, from the game folder and from its
#    parent folder (the patch then still finds images.xp3);
#  - `crash_handler.exe --dump-dir reports -- launcher.exe Game.exe patch.dll`
#    with no folder "reports" yet: a crash leaves a report there;
#  - `set XP3PATCH_LOG=%CD%\patch.log` before the launcher: a log appears;
#  - `crash_handler.exe --help` shows a player's options before the others.
# Every command must appear, as an indented line, in README.md and in the
# players' README that scripts/package.sh writes.
#   player_commands_test.sh BUILD_DIR
set -uo pipefail
B="$1"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUN="$B/wine-run.sh"
. "$ROOT/tests/crash_code.sh"
WORK="$(mktemp -d /tmp/player-commands-test.XXXXXX)"
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT
failures=0
passes=0
pass() { passes=$((passes + 1)); }
fail() { failures=$((failures + 1)); echo "FAIL: $*"; }
check() {  # check NAME FILE PATTERN
  if grep -qE -- "$3" "$2"; then pass; else fail "$1: no line matching: $3"; cat "$2"; fi
}

START='launcher.exe Game.exe patch.dll'
CRASH='crash_handler.exe --dump-dir reports -- launcher.exe Game.exe patch.dll'
LOG='set XP3PATCH_LOG=%CD%\patch.log'
for command in "$START" "$CRASH" "$LOG"; do
  for readme in README.md scripts/package.sh; do
    # The players' text names the patch as the team packaged it; the
    # default name is the README's.
    if sed 's/\$PATCH_NAME/patch.dll/g; s/\${PATCH_NAME}/patch.dll/g' "$ROOT/$readme" |
         C="$command" awk '{ sub(/^ +/, "") } $0 == ENVIRON["C"] { found = 1 } END { exit !found }'
    then pass; else
      fail "$readme does not give the command: $command"; fi
  done
done

G="$WORK/game"
mkdir -p "$G" "$WORK/src/patch/scenario" "$WORK/src/images/bg"
printf 'translated line' >"$WORK/src/patch/scenario/a.txt"
printf 'translated image' >"$WORK/src/images/bg/title.png"
(cd "$WORK" &&
  "$RUN" "$B/tools/xp3/xp3.exe" pack src/patch -o game/patch.xp3 --quiet >/dev/null &&
  "$RUN" "$B/tools/xp3/xp3.exe" pack src/images -o game/images.xp3 --quiet >/dev/null) ||
  { echo "FAIL: packing the archives"; exit 1; }
cp "$B/tests/sample_game/sample_game.exe" "$G/Game.exe"
cp "$B/startup/patch.dll" "$G/patch.dll"
cp "$B/tools/launcher/launcher.exe" "$B/tools/crash_handler/crash_handler.exe" "$G/"

# The sample game runs the commands of SAMPLE_GAME_COMMANDS when started
# without arguments, as the players' command lines start it.
prompt() {  # prompt NAME FOLDER GAME_COMMANDS LINE...: the lines as a batch file, run by cmd
  local name="$1" folder="$2" commands="$3"; shift 3
  printf '%s\r\n' "@echo off" "$@" >"$folder/player-$name.bat"
  (cd "$folder" && SAMPLE_GAME_COMMANDS="$commands" "$RUN" cmd /c "player-$name.bat" \
    >"$WORK/$name.raw" 2>&1; echo "exit $?" >>"$WORK/$name.raw")
  tr -d '\r' <"$WORK/$name.raw" >"$WORK/$name"
}
READ='entry cat scenario\a.txt cat bg\title.png'

prompt start "$G" "$READ" "$START"
check "started in the game folder: translated" "$WORK/start" 'read 15 bytes: translated line$'
check "started in the game folder: images.xp3" "$WORK/start" 'read 16 bytes: translated image$'
check "started in the game folder: exit code" "$WORK/start" '^exit 0$'

# From the parent folder the game used to stop: "cannot mount images.xp3".
prompt parent "$WORK" "$READ" 'game\launcher.exe game\Game.exe game\patch.dll'
check "started from the parent folder: images.xp3 found" "$WORK/parent" \
  'read 16 bytes: translated image$'
check "started from the parent folder: exit code" "$WORK/parent" '^exit 0$'

# The crash command, with no folder "reports" yet: it used to refuse to
# start ("report directory reports does not exist") and the game never ran.
prompt crash "$G" "entry cat scenario\\a.txt crash" "$CRASH"
check "crash command: the game ran" "$WORK/crash" 'read 15 bytes: translated line$'
if [ -d "$G/reports" ]; then pass; else fail "crash command: no folder reports"; fi
summary="$(ls "$G"/reports/crash-*.txt 2>/dev/null | sed -n 1p)"
# The access violation, or what qemu's emulator makes of it (crash_code.sh).
code="$(null_write_code "$B")" || code="(the probe did not run)"
if [ -n "$summary" ] && grep -q "exception $code" "$summary"; then pass; else
  fail "crash command: no summary of the crash ($code) in reports"
  cat "$WORK/crash"
  [ -n "$summary" ] && cat "$summary"
fi
if ls "$G"/reports/crash-*.dmp >/dev/null 2>&1; then pass; else fail "crash command: no minidump"; fi
# The handler's console speaks to the player: the crash in hex with its
# name (where it has one), the game's exit code in the same form, no
# registration details without --verbose.
check "crash command: the crash on the console" "$WORK/crash" "the game crashed: exception $code"
check "crash command: the exit code in hex" "$WORK/crash" "ended with exit code $code"
if grep -q 'registration from process' "$WORK/crash"; then
  fail "crash command: registration details without --verbose"; else pass; fi

# The log command of the players' README.
prompt log "$G" "entry cat scenario\\a.txt" "$LOG" "$START"
if [ -s "$G/patch.log" ]; then pass; else fail "log command: no patch.log in the game folder"; fi
check "log command: the archive that answered" "$G/patch.log" 'answered by .*patch\.xp3'

# A player's options first, then the others, the testing ones apart at the end.
"$RUN" "$G/crash_handler.exe" --help 2>&1 | tr -d '\r' >"$WORK/help"
first_option="$(grep -m1 -E '^  --' "$WORK/help" | awk '{print $1}')"
if [ "$first_option" = "--dump-dir" ]; then pass; else
  fail "crash_handler --help: the first option is $first_option, not --dump-dir"; fi
testing_line="$(grep -n -m1 '^Testing options' "$WORK/help" | cut -d: -f1)"
after_testing="$(awk -v from="${testing_line:-0}" 'NR > from && /^  --/ {print $1}' "$WORK/help" |
  tr '\n' ' ')"
if [ -n "$testing_line" ] && [ "$after_testing" = "--reply-size --busy-ms --ignore-crashes " ]; then
  pass; else fail "crash_handler --help: the testing options are not listed apart at the end"; fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
