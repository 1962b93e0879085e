#!/usr/bin/env bash
# Whole-process test of starting a game: the arguments after -- reach it
# exactly as given, through the launcher, the crash handler, and the crash
# handler starting the launcher; a patch DLL that does not load makes the
# launcher end the game before it runs and exit with 3, and so does a file
# that is not the patch. Started from another
# folder, the game runs in its own folder (or, asked, in the caller's); the
# game's exit code passes through; messages keep every character of a path
# such as "My Game ゲーム", on a console and redirected.
#   launch_test.sh RUN LAUNCHER CRASH_HANDLER PRINT_ARGUMENTS ACCEPTING_DLL REFUSING_DLL
#                  SAMPLE_GAME
set -uo pipefail
RUN="$1"
WORK="$(mktemp -d /tmp/launch-test.XXXXXX)"
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT
cp "$2" "$WORK/launcher.exe"
cp "$3" "$WORK/crash_handler.exe"
cp "$4" "$WORK/game.exe"
cp "$5" "$WORK/patch.dll"
cp "$6" "$WORK/refusing.dll"
GAME_DIR="My Game ゲーム"
mkdir -p "$WORK/$GAME_DIR"
cp "$7" "$WORK/$GAME_DIR/Game.exe"
cp "$5" "$WORK/$GAME_DIR/patch.dll"
WIN_WORK="Z:$(printf '%s' "$WORK" | tr / '\\')"
literal() { printf '%s' "$1" | sed 's/[][\\.^$*+?(){}|]/\\&/g'; }  # TEXT as a pattern
failures=0
passes=0

# Spaces, an empty argument, a tab, quotes, backslashes before quotes (the
# second one used to be split into three, one of them --inject-me),
# trailing backslashes inside and outside quotes, a UNC-like path.
ARGS=('two words' '' $'tab\there' 'name=a\" --inject-me "' '"quoted"' 'a\\"b' 'trail\'
      'trail space\' 'trail two\\' '\\server\share' '"' '\' 'plain' "it's" '-- not an option')
{ echo "${#ARGS[@]} arguments"; for a in "${ARGS[@]}"; do printf '<%s>\n' "$a"; done; } \
  >"$WORK/expected"

run() {  # run NAME COMMAND...: output to WORK/NAME (never a pipe: Wine would hold it open)
  local name="$1"; shift
  (cd "$WORK" && "$RUN" "$@" >"$WORK/$name.raw" 2>&1; echo "exit $?" >>"$WORK/$name.raw")
  tr -d '\r' <"$WORK/$name.raw" >"$WORK/$name"
}
same() {  # same NAME FILE: FILE's program output equals the expected arguments
  if diff <(grep -E '^(<|[0-9]+ arguments$)' "$2") "$WORK/expected" >"$WORK/diff"; then
    passes=$((passes + 1))
  else
    failures=$((failures + 1)); echo "FAIL: $1: the arguments differ:"; cat "$WORK/diff"
  fi
}
check() {  # check NAME FILE PATTERN
  if grep -qE -- "$3" "$2"; then passes=$((passes + 1)); else
    failures=$((failures + 1)); echo "FAIL: $1: no line matching: $3"; cat "$2"; fi
}
check_not() {
  if grep -qE -- "$3" "$2"; then failures=$((failures + 1)); echo "FAIL: $1: unexpected: $3"
  else passes=$((passes + 1)); fi
}

run direct game.exe "${ARGS[@]}"
same "started directly (the reference)" "$WORK/direct"

run launched launcher.exe game.exe patch.dll -- "${ARGS[@]}"
same "through the launcher" "$WORK/launched"
check "the launcher loaded the patch first" "$WORK/launched" '^patch loaded$'
expect_first="$(head -1 "$WORK/launched")"
[ "$expect_first" == "patch loaded" ] && passes=$((passes + 1)) ||
  { failures=$((failures + 1)); echo "FAIL: the patch was not loaded before the game ran"; }
check "the launcher returns the game's exit code" "$WORK/launched" '^exit 0$'

run handled crash_handler.exe --pipe '\\.\pipe\launch-test-handler' -- game.exe "${ARGS[@]}"
same "through the crash handler" "$WORK/handled"
check "the crash handler returns the game's exit code" "$WORK/handled" '^exit 0$'

run both crash_handler.exe --pipe '\\.\pipe\launch-test-both' -- \
  launcher.exe game.exe patch.dll -- "${ARGS[@]}"
same "through the crash handler and the launcher" "$WORK/both"
check "both: the patch loaded" "$WORK/both" '^patch loaded$'

# A patch whose start-up fails: the game never runs, the launcher says why.
run refused launcher.exe game.exe refusing.dll -- one two
check "a patch that does not load: exit code 3" "$WORK/refused" '^exit 3$'
check "a patch that does not load: said" "$WORK/refused" \
  '^launcher: the patch DLL did not load into the game .*refusing\.dll$'
check_not "a patch that does not load: the game never ran" "$WORK/refused" 'arguments$'

# Only the patch loads as the patch: a program, or a DLL without the
# patch's version resource, is refused by name before the game is created.
run impostor launcher.exe game.exe launcher.exe -- one
check "not the patch: exit code 3" "$WORK/impostor" '^exit 3$'
check "not the patch: said, naming the file" "$WORK/impostor" \
  "^launcher: not the language patch .*: $(literal "$WIN_WORK\\launcher.exe")\$"
check_not "not the patch: the game never ran" "$WORK/impostor" 'arguments$'

# Started from the parent folder, the game runs in its own folder, as from a
# shortcut; --keep-directory keeps the caller's.
run parent launcher.exe "$GAME_DIR\Game.exe" "$GAME_DIR\patch.dll" -- cwd
check "from another folder: the game runs in its own" "$WORK/parent" \
  "^cwd $(literal "$WIN_WORK\\$GAME_DIR")\$"
check "from another folder: exit code" "$WORK/parent" '^exit 0$'
run kept launcher.exe --keep-directory "$GAME_DIR\Game.exe" "$GAME_DIR\patch.dll" -- cwd
check "--keep-directory: the caller's folder" "$WORK/kept" \
  "^cwd $(literal "$WIN_WORK")\$"

# The game's exit code passes through; the launcher's own are 2 and 3.
run code launcher.exe "$GAME_DIR\Game.exe" "$GAME_DIR\patch.dll" -- exit 42
check "the game's exit code passes through" "$WORK/code" '^exit 42$'
run usage launcher.exe "$GAME_DIR\Game.exe"
check "too few arguments: exit code 2" "$WORK/usage" '^exit 2$'
run option launcher.exe --keep "$GAME_DIR\Game.exe" "$GAME_DIR\patch.dll"
check "an unknown option: exit code 2" "$WORK/option" '^exit 2$'
check "an unknown option: named" "$WORK/option" '^launcher: unknown option --keep '

# "Not found" names the missing file whole, non-ASCII characters included
# (they used to cut the line short).
run no_dll launcher.exe "$GAME_DIR\Game.exe" "$GAME_DIR\missing.dll"
check "missing patch DLL: exit code 3" "$WORK/no_dll" '^exit 3$'
check "missing patch DLL: the whole path" "$WORK/no_dll" \
  "^launcher: patch DLL not found: $(literal "$WIN_WORK\\$GAME_DIR\\missing.dll")\$"
run no_game launcher.exe "$GAME_DIR\ゲーム.exe" "$GAME_DIR\patch.dll"
check "missing game: the file's name" "$WORK/no_game" \
  '^launcher: game not found: .*\\My Game ゲーム\\ゲーム\.exe$'

# On a console (a terminal, where Wine gives the program one) the text is
# written as wide characters, whole as well.
if command -v script >/dev/null; then
  (cd "$WORK" && script -qec "'$RUN' launcher.exe '$GAME_DIR\\ゲーム.exe' patch.dll" /dev/null \
    >"$WORK/console.raw" 2>&1 </dev/null)
  sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$WORK/console.raw" | tr -d '\r' >"$WORK/console"
  check "on a console: the whole path" "$WORK/console" 'game not found: .*ゲーム\\ゲーム\.exe'
else
  echo "note: no 'script' program; the console case is not tested"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
