#!/usr/bin/env bash
# `xp3 check GAME_DIR` names the drop-in choices: the sample game imports
# both loader names, a program that imports neither gets the launcher, a
# loader in a folder whose program does not import it is warned about, and
# a file that is not a program is named, not misread.
#   xp3_check_dropin_test.sh RUN XP3 SAMPLE_GAME OTHER_PROGRAM
set -uo pipefail
RUN="$1" XP3="$2"
WORK="$(mktemp -d /tmp/xp3-check-dropin.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
failures=0
check() {  # check NAME FILE PATTERN
  grep -qE -- "$3" "$2" || { failures=$((failures + 1)); echo "FAIL: $1: no line matching: $3"; }
}
mkdir -p "$WORK/both" "$WORK/neither" "$WORK/broken"
cp "$3" "$WORK/both/Game.exe"
cp "$4" "$WORK/neither/Game.exe"
printf 'MZ not really' >"$WORK/broken/Game.exe"
: >"$WORK/neither/version.dll"
for dir in both neither broken; do
  (cd "$WORK" && "$RUN" "$XP3" check "$dir" >"$dir.out" 2>"$dir.err"; echo "exit $?" >>"$dir.out")
  (cd "$WORK" && "$RUN" "$XP3" check "$dir" --json >"$dir.json" 2>/dev/null)
done
check "both names imported" "$WORK/both.out" \
  '^dropin: Game.exe imports version.dll, winmm.dll; taken from the game folder: version.dll, winmm.dll'
check "both: exit code" "$WORK/both.out" '^exit 0$'
check "both: JSON" "$WORK/both.json" '"imports": \["version.dll", "winmm.dll"\]'
check "neither imported: the launcher" "$WORK/neither.out" 'imports none of the loader names: .*launcher'
check "a loader nobody imports: warned" "$WORK/neither.err" \
  'warning: version.dll lies in the game folder, but no program there imports it'
check "not a program: named" "$WORK/broken.out" "^dropin: Game.exe: cannot read its imports: "
echo "$failures failed"
[ "$failures" -eq 0 ]
