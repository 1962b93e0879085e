#!/usr/bin/env bash
# A translator's loop, run while the game runs: with XP3PATCH_DEV_DIR naming
# a loose folder, the stand-in game (driven one command at a time through a
# pipe) sees a file of the folder over the archive's, sees it change after
# an edit, sees a file added to the folder listed and readable, and sees a
# removed one fall back to the archive or vanish. A link in the folder that
# leads out of it is refused, a file another program holds is the system's
# error, the folder is never written, and the log names the folder and
# what it does. Then the same game without the variable sees the archives
# alone, and with a folder that does not exist it still runs.
#   dev_folder_test.sh BUILD_DIR
set -uo pipefail
B="$1"
RUN="$B/wine-run.sh"
XP3="$B/tools/xp3/xp3.exe"
WORK="$(mktemp -d /tmp/dev-folder-test.XXXXXX)"
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT
failures=0
fail() { failures=$((failures + 1)); echo "FAIL: $*"; }
win() { echo "Z:$1" | tr / '\\'; }

G="$WORK/game"
D="$WORK/dev"
mkdir -p "$WORK/src/scenario" "$WORK/empty" "$G/scenario" "$D/scenario" "$D/voice" "$WORK/outside"
cp "$B/tests/dev_folder/dev_game.exe" "$G/game.exe"
cp "$B/startup/patch.dll" "$G/patch.dll"
printf 'archive chapter1' >"$WORK/src/scenario/chapter1.txt"
printf 'archive only' >"$WORK/src/scenario/only_archive.txt"
printf 'disk chapter1' >"$G/scenario/chapter1.txt"
printf 'disk only' >"$G/scenario/disk.txt"
printf 'dev v1' >"$D/scenario/chapter1.txt"
printf 'dev voice' >"$D/voice/line.ogg"
printf 'secret' >"$WORK/outside/secret.txt"
ln -s "$WORK/outside/secret.txt" "$D/scenario/secret.txt"
ln -s "$WORK/outside" "$D/linked"
(cd "$WORK" &&
  "$RUN" "$XP3" pack src -o game/patch.xp3 --compress zlib >/dev/null &&
  "$RUN" "$XP3" pack empty -o game/images.xp3 --allow-empty >/dev/null) ||
  { echo "FAIL: packing the test archives"; exit 1; }

# start_game VARIABLE=VALUE...: the stand-in, in its directory, with the patch
# loaded and started; its answers come one line per command.
start_game() {
  gone=0
  coproc GAME {
    cd "$G" && exec env -u XP3PATCH_DEV_DIR "$@" timeout 300 "$RUN" game.exe 2>"$WORK/stderr.txt"
  }
  game_pid=$GAME_PID
  expect "the game starts" "" "ready"
  expect "the patch loads" "load patch.dll" "load: ok"
  expect "the patch starts" "entry" "entry: 10"
}
# ask COMMAND: sends one command, sets $answer to the game's answer. A game
# that does not answer in time is taken for gone: later commands fail at
# once instead of each waiting.
trap '' PIPE
ask() {
  if [ "$gone" = 1 ] || [ -z "${GAME[1]:-}" ]; then answer="(the game is gone)"; return; fi
  [ -n "$1" ] && printf '%s\n' "$1" >&"${GAME[1]}"
  if IFS= read -r -t 120 answer <&"${GAME[0]}"; then
    answer="${answer%$'\r'}"
  else
    answer="(no answer)"
    gone=1
  fi
}
expect() {  # expect WHAT COMMAND ANSWER
  ask "$2"
  if [ "$answer" == "$3" ]; then echo "ok: $1"; else fail "$1: got '$answer', expected '$3'"; fi
}
stop_game() {
  expect "the game ends" "quit" "quit"
  [ "$gone" = 1 ] && kill "$game_pid" 2>/dev/null
  wait "$game_pid" 2>/dev/null
}
logged() {  # logged WHAT PATTERN: a line of the log matches
  if grep -Eq -- "$2" "$WORK/patch.log"; then echo "ok: log: $1"; else
    fail "log: $1: no line matching $2"; sed 's/^/  log: /' "$WORK/patch.log"; fi
}

start_game XP3PATCH_DEV_DIR="$(win "$D")" XP3PATCH_LOG="$(win "$WORK/patch.log")"
# The folder wins over the archive, which wins over the disk.
expect "a loose file over the archive's" 'read scenario\chapter1.txt' \
  'read scenario\chapter1.txt: 6 bytes: dev v1'
expect "the same file by its full path, in other letter case" "read $(win "$G/SCENARIO/Chapter1.TXT")" \
  "read $(win "$G/SCENARIO/Chapter1.TXT"): 6 bytes: dev v1"
expect "an archive file the folder does not have" 'read scenario\only_archive.txt' \
  'read scenario\only_archive.txt: 12 bytes: archive only'
expect "a disk file nobody overlays" 'read scenario\disk.txt' 'read scenario\disk.txt: 9 bytes: disk only'

# An edit is seen at the next open, without restarting.
printf 'dev v2: the fixed line\r\n' >"$D/scenario/chapter1.txt"
expect "the edited file, reopened" 'read scenario\chapter1.txt' \
  'read scenario\chapter1.txt: 24 bytes: dev v2: the fixed line\x0D\x0A'
expect "its attributes follow the edit" 'stat scenario\chapter1.txt' \
  'stat scenario\chapter1.txt: file, size 24, attributes agree 1'

# A file added while the game runs is listed and readable.
expect "the listing before" 'list scenario\*' \
  'list scenario\*: chapter1.txt disk.txt only_archive.txt'
printf 'a new scene' >"$D/scenario/added.txt"
expect "the listing with an added file, each name once" 'list scenario\*' \
  'list scenario\*: added.txt chapter1.txt disk.txt only_archive.txt'
expect "the added file" 'read scenario\added.txt' 'read scenario\added.txt: 11 bytes: a new scene'
expect "SearchPathW finds it" 'search scenario\added.txt' 'search scenario\added.txt: found added.txt'
# A directory only the folder has exists, and lists.
expect "a directory only the folder has" 'stat voice' 'stat voice: directory, size 0, attributes agree 1'
expect "its listing" 'list voice\*' 'list voice\*: line.ogg'
expect "the game directory's listing shows it" 'list voice' 'list voice: voice/'

# A removed file falls back to the archive, or is gone.
rm "$D/scenario/chapter1.txt" "$D/scenario/added.txt"
expect "a removed file falls back to the archive" 'read scenario\chapter1.txt' \
  'read scenario\chapter1.txt: 16 bytes: archive chapter1'
expect "a removed file without an archive copy is gone" 'read scenario\added.txt' \
  'read scenario\added.txt: error 2'
expect "the listing after the removal" 'list scenario\*' \
  'list scenario\*: chapter1.txt disk.txt only_archive.txt'

# Links that lead out of the folder are not followed.
expect "a linked file outside the folder is refused" 'read scenario\secret.txt' \
  'read scenario\secret.txt: error 2'
expect "a linked directory outside the folder is refused" 'read linked\secret.txt' \
  'read linked\secret.txt: error 3'
expect "neither is listed" 'list *' 'list *: game.exe images.xp3 patch.dll patch.xp3 scenario/ voice/'

# The handle is a real one on the loose file; writes reach nothing.
printf 'dev v3' >"$D/scenario/chapter1.txt"
ask "final scenario\\chapter1.txt"
case "$answer" in
  *'\dev\scenario\chapter1.txt') echo "ok: the final path names the loose file" ;;
  *) fail "final path of a loose file: $answer" ;;
esac
expect "a write to a loose file is refused" 'write scenario\chapter1.txt' \
  'write scenario\chapter1.txt: opened, write 0 error 5'
[ "$(cat "$D/scenario/chapter1.txt")" == "dev v3" ] && echo "ok: the loose file is unchanged" ||
  fail "the loose file was changed: $(cat "$D/scenario/chapter1.txt")"

# A loose file that cannot be opened gives the game the system's error.
expect "another program holds the loose file" "hold $(win "$D/scenario/chapter1.txt")" "hold: ok"
expect "the game gets the sharing violation" 'read scenario\chapter1.txt' \
  'read scenario\chapter1.txt: error 32'
expect "the hold ends" "release" "release: ok"
expect "and the file reads again" 'read scenario\chapter1.txt' 'read scenario\chapter1.txt: 6 bytes: dev v3'
stop_game

D_WIN="$(win "$D")"
D_RE="${D_WIN//\\/\\\\}"
logged "the folder and its count" \
  "loose folder $D_RE \\(XP3PATCH_DEV_DIR\\) laid over the archives, read at every open: 2 files; 1 new path, 1 taking over \\(1 from archives, 0 game files\\)"
logged "the link out of the folder at start-up" "loose folder: not served: .*secret\\.txt: it leads outside the folder"
logged "an answer from the folder" \
  "CreateFileW scenario.chapter1\\.txt: key scenario.chapter1\\.txt: answered by the loose folder, $D_RE.scenario.chapter1\\.txt"
logged "the refused link" "CreateFileW scenario.secret\\.txt: key scenario.secret\\.txt: the loose folder's .* is not served: it leads outside the folder"
logged "the file that would not open" "the loose folder's .*chapter1\\.txt is there but cannot be opened: .*; the game gets error 32"
logged "the listing" "FindFirstFileExW scenario.\\*: directory scenario: 1 record added from archives, 1 from the loose folder"

# Without the variable: the archives alone.
printf 'a new scene' >"$D/scenario/added.txt"
start_game XP3PATCH_LOG="$(win "$WORK/unset.log")"
expect "unset: the archive's file" 'read scenario\chapter1.txt' \
  'read scenario\chapter1.txt: 16 bytes: archive chapter1'
expect "unset: no loose file" 'read scenario\added.txt' 'read scenario\added.txt: error 2'
expect "unset: the listing" 'list scenario\*' 'list scenario\*: chapter1.txt disk.txt only_archive.txt'
expect "unset: no loose directory" 'stat voice' 'stat voice: error 2'
stop_game
grep -q "loose folder" "$WORK/unset.log" && fail "unset: the log mentions a loose folder"

# A folder that does not exist is logged and left out; the game goes on.
start_game XP3PATCH_DEV_DIR="$(win "$WORK/missing")" XP3PATCH_LOG="$(win "$WORK/missing.log")"
expect "missing folder: the archive's file" 'read scenario\chapter1.txt' \
  'read scenario\chapter1.txt: 16 bytes: archive chapter1'
stop_game
grep -q "loose folder .*missing (XP3PATCH_DEV_DIR) left out: it does not exist" "$WORK/missing.log" &&
  grep -q "left out: it does not exist" "$WORK/stderr.txt" &&
  echo "ok: the missing folder is logged and named on standard error" ||
  { fail "the missing folder is not reported"; cat "$WORK/missing.log" "$WORK/stderr.txt"; }

# The game directory by another spelling (a link to it, made on the host)
# is left out: laid over itself, the game could no longer save.
ln -s "$G" "$WORK/game-link"
start_game XP3PATCH_DEV_DIR="$(win "$WORK/game-link")" XP3PATCH_LOG="$(win "$WORK/link.log")"
expect "the game directory through a link: the archive's file" 'read scenario\chapter1.txt' \
  'read scenario\chapter1.txt: 16 bytes: archive chapter1'
stop_game
grep -q "game-link (XP3PATCH_DEV_DIR) left out: it is the game directory or holds it" \
  "$WORK/link.log" && echo "ok: the game directory through a link is left out" ||
  { fail "the game directory through a link was laid over itself"; cat "$WORK/link.log"; }

echo "$failures failed"
[ "$failures" -eq 0 ]
