#!/usr/bin/env bash
# Whole-process tests of the patch DLL in the sample game under Wine, each
# scenario in its own temporary game directory.
#   patch_process_test.sh BUILD_DIR
set -uo pipefail
B="$1"
RUN="$B/wine-run.sh"
XP3="$B/tools/xp3/xp3.exe"
GAME_EXE="$B/tests/sample_game/sample_game.exe"
DLL="$B/startup/patch.dll"
WORK="$(mktemp -d /tmp/patch-process-test.XXXXXX)"
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

# The translation: patch.xp3 (named after the DLL), images.xp3, patch_tw.xp3.
mkdir -p "$WORK/src/patch/data" "$WORK/src/patch/voice/ch1" "$WORK/src/images/data" \
         "$WORK/src/tw/data" "$WORK/game/data"
printf 'translated-a' > "$WORK/src/patch/data/a.txt"
printf 'only-in-patch' > "$WORK/src/patch/data/b.txt"
printf 'line one' > "$WORK/src/patch/voice/ch1/line.ogg"
printf 'readme from patch' > "$WORK/src/patch/readme.txt"
printf 'images-wins' > "$WORK/src/images/data/b.txt"
printf 'tw-wins' > "$WORK/src/tw/data/a.txt"
printf 'real-file' > "$WORK/game/data/real.txt"
printf 'original-a' > "$WORK/game/data/a.txt"
(cd "$WORK" &&
  "$RUN" "$XP3" pack src/patch -o game/patch.xp3 --compress zstd --segment-size 4 >/dev/null &&
  "$RUN" "$XP3" pack src/images -o game/images.xp3 --compress zlib >/dev/null &&
  "$RUN" "$XP3" pack src/tw -o game/patch_tw.xp3 --compress none >/dev/null) ||
  { echo "FAIL: packing the test archives"; exit 1; }
cp "$GAME_EXE" "$WORK/game/game.exe"
cp "$DLL" "$WORK/game/patch.dll"

play() {  # play OUTPUT COMMAND... : runs the game in the game directory
  local out="$1"; shift
  # To a file, not a pipe: Wine's server inherits the output and would hold a pipe open.
  (cd "$WORK/game" && "$RUN" game.exe "$@" >"$out.raw" 2>&1; echo "exit $?" >>"$out.raw")
  tr -d '\r' <"$out.raw" >"$out"
}

# 1. Without the DLL: what the real file system answers (the reference).
REAL_OPS=(cat 'data\real.txt' seek 'data\real.txt' 5 4 stat 'data\real.txt' type 'data\real.txt'
          cat 'data\missing.txt' stat 'data\missing.txt' ls 'C:\windows\*.exe' ls 'data\r*')
play "$WORK/plain.out" "${REAL_OPS[@]}"

# 2. With the DLL, before and after GameEntry (called twice), then freed: the
#    patch keeps itself loaded once its hooks are live, so it goes on serving.
play "$WORK/main.out" load patch.dll \
  echo BEFORE cat 'data\a.txt' stat 'data\b.txt' filter \
  entry echo AFTER "${REAL_OPS[@]}" echo OVERLAY \
  cat 'data\a.txt' cat 'DATA/B.TXT' cat "$(echo "Z:$WORK/game/readme.txt" | tr / '\\')" \
  seek 'data\a.txt' 5 100 head 'data\a.txt' 0 stat 'data\a.txt' stat data type 'data\a.txt' \
  cat acp cat ACP ls '*' ls 'data\*' ls 'voice\*' ls 'voice' ls 'nothing\*' \
  write 'data\b.txt' exists 'data\b.txt' \
  entry echo UNLOAD free loaded patch.dll cat 'data\a.txt' cat 'data\real.txt' ls 'data\*'
M="$WORK/main.out"
check "loads" "$M" '^load patch.dll: ok'
check "nothing overlaid before GameEntry" "$M" 'data\\a.txt: size 10/10, read 10 bytes: original-a'
check "attributes before GameEntry are real" "$M" 'data\\b.txt: attributes 0xffffffff \(error 2\)'
check "the exception filter cannot be replaced" "$M" '^filter: previous null, then null'
check "GameEntry still runs" "$M" '^GameEntry\(1, 2, 3, 4\)'
check "GameEntry result" "$M" '^entry returned 10'
check "overlaid file served" "$M" 'data\\a.txt: size 12/12, read 12 bytes: translated-a'
check "later mount wins, any case and slash" "$M" 'DATA/B.TXT: size 11/11, read 11 bytes: images-wins'
check "absolute path in the game directory" "$M" 'readme.txt: size 17/17, read 17 bytes: readme from patch'
check "seek then read across segments" "$M" 'data\\a.txt @5 \(now 5\): lated-a'
check "overlaid attributes" "$M" 'data\\a.txt: attributes 0x1 \(error 0\), ex ok size 12'
check "archive directory is not a file" "$M" '^data: attributes 0x10'
check "overlaid file type" "$M" 'data\\a.txt: type 1'
check "memory file acp" "$M" '^acp: size [0-9]+/[0-9]+, read [0-9]+ bytes: [0-9]+$'
check "memory file ACP" "$M" '^ACP: size [0-9]+/[0-9]+, read [0-9]+ bytes: [0-9]+$'
check "listing: archive file" "$M" '^  file  readme.txt 17'
check "listing: archive-only directory" "$M" '^  dir   voice 0'
check "listing: entries of data" "$M" '^  file  b.txt 11'
check "listing: real file kept" "$M" '^  file  real.txt 9'
check "listing of an archive-only directory" "$M" '^  dir   ch1 0'
# A folder that neither the disk nor the archives hold: the system's own
# "path not found", as without the patch.
check "search for nothing" "$M" 'ls nothing\\\*: nothing, error 3'
check "listing ends with no more files" "$M" '\(end, error 18\)'
check "write to an overlaid path opens read-only" "$M" '^write data\\b.txt: opened'
# FindFirstFileW is built on the redirected FindFirstFileExW: the game sees
# the archive's file, and the disk still has none.
check "FindFirstFileW sees the archive's file" "$M" '^exists data\\b.txt: yes'
if [ -e "$WORK/game/data/b.txt" ]; then
  failures=$((failures + 1)); echo "FAIL: write to an overlaid path created it on disk"
else passes=$((passes + 1)); fi
check "FreeLibrary succeeds" "$M" '^free: ok'
check "the patch stays loaded after FreeLibrary" "$M" '^loaded patch.dll: yes'
check "exit code" "$M" '^exit 0$'
# GameEntry twice: the second call must not mount again (still one listing entry).
expect_eq "GameEntry twice" "$(grep -c '^GameEntry(1, 2, 3, 4)' "$M")" 2
# After FreeLibrary the overlay still answers, and real files are still real.
after_unload="$(sed -n '/^UNLOAD/,$p' "$M")"
grep -q 'data\\a.txt: size 12/12, read 12 bytes: translated-a' <<<"$after_unload" &&
  grep -q 'data\\real.txt: size 9/9' <<<"$after_unload" &&
  passes=$((passes + 1)) || { failures=$((failures + 1)); echo "FAIL: files after FreeLibrary"; }
# Pass-through: real files, handles and listings answer exactly as without the DLL.
diff <(sed -n '/^AFTER/,/^OVERLAY/p' "$M" | sed '1d;$d') <(grep -v '^exit' "$WORK/plain.out") \
  >"$WORK/diff.out" && passes=$((passes + 1)) ||
  { failures=$((failures + 1)); echo "FAIL: pass-through differs:"; cat "$WORK/diff.out"; }

# 2b. FreeLibrary while a game thread cannot be suspended any further (a
#     detach would fail): nothing is detached, the DLL stays loaded with
#     everything its hooks use, and the log says so from the attach on.
XP3PATCH_LOG="$(echo "Z:$WORK/stay.log" | tr / '\\')" play "$WORK/stay.out" load patch.dll entry \
  unsuspendable free loaded patch.dll cat 'data\a.txt' echo END
S="$WORK/stay.out"
check "unsuspendable: a thread that cannot be suspended" "$S" '^unsuspendable: suspended 127 times'
check "unsuspendable: FreeLibrary returns" "$S" '^free: ok'
check "unsuspendable: the DLL stays loaded" "$S" '^loaded patch.dll: yes'
check "unsuspendable: the hooks still answer" "$S" 'data\\a.txt: size 12/12, read 12 bytes: translated-a'
check "unsuspendable: the game goes on" "$S" '^END'
check "unsuspendable: exit code" "$S" '^exit 0$'
tr -d '\r' <"$WORK/stay.log" >"$WORK/stay.log.txt"
check "unsuspendable: why it stays, logged" "$WORK/stay.log.txt" \
  '\] attach: the patch DLL keeps itself loaded until the process ends'
if grep -q 'hook transaction (detach)' "$WORK/stay.log.txt"; then
  failures=$((failures + 1)); echo "FAIL: FreeLibrary of a pinned patch ran a detach"
else passes=$((passes + 1)); fi

# 3. CHS_TW: exactly "1" mounts patch_tw.xp3, which wins over the others.
# The first overlaid open of the process leaves the last error as it was.
CHS_TW=1 play "$WORK/tw.out" load patch.dll entry write 'data\b.txt' cat 'data\a.txt'
check "CHS_TW=1 wins" "$WORK/tw.out" 'data\\a.txt: size 7/7, read 7 bytes: tw-wins'
check "a first overlaid open leaves the last error" "$WORK/tw.out" \
  '^write data\\b.txt: opened, last error 1234$'
CHS_TW="1 " play "$WORK/tw2.out" load patch.dll entry cat 'data\a.txt'
check "CHS_TW='1 ' mounts nothing more" "$WORK/tw2.out" 'read 12 bytes: translated-a'

# 4. A missing archive ends the game with exit code 1 before GameEntry runs.
mv "$WORK/game/images.xp3" "$WORK/game/images.bak"
play "$WORK/missing.out" load patch.dll entry echo NOT-REACHED
mv "$WORK/game/images.bak" "$WORK/game/images.xp3"
check "missing archive exits with 1" "$WORK/missing.out" '^exit 1$'
check_not "GameEntry never entered" "$WORK/missing.out" 'GameEntry\(|NOT-REACHED'
check "missing archive: why, on standard error" "$WORK/missing.out" \
  '^xp3patch: cannot mount .*images\.xp3: file not found$'

# 4b. The diagnostic log. Off without XP3PATCH_LOG: no file appears.
winpath() { echo "Z:$1" | tr / '\\'; }
LOG="$WORK/logs/patch.log"
mkdir -p "$WORK/logs"
LOG_OPS=(load patch.dll entry cat 'data\a.txt' cat 'data\real.txt' stat 'DATA/B.TXT' cat acp
         ls 'data\*' ls 'voice\*' cat 'C:\windows\win.ini' free)
play "$WORK/nolog.out" "${LOG_OPS[@]}"
expect_eq "no log without XP3PATCH_LOG" "$(ls "$WORK/logs" "$WORK/game" | grep -c '\.log$')" 0
XP3PATCH_LOG="$(winpath "$LOG")" play "$WORK/log.out" "${LOG_OPS[@]}"
# Logging changes nothing the game sees.
diff "$WORK/nolog.out" "$WORK/log.out" >"$WORK/diff.out" && passes=$((passes + 1)) ||
  { failures=$((failures + 1)); echo "FAIL: the log changed what the game sees:"; cat "$WORK/diff.out"; }
tr -d '\r' <"$LOG" >"$LOG.txt"
L="$LOG.txt"
check "log: every line has time and thread" "$L" '.'
check_not "log: a line without time and thread" "$L" \
  '^([^0-9]|[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\.[0-9]{3} \[thread [0-9]+\] $)'
check "log: the DLL" "$L" '\] patch DLL: Z:\\.*\\game\\patch\.dll$'
check "log: the game directory" "$L" '\] game directory \(paths are keyed against it\): Z:\\.*\\game$'
check "log: attach transaction" "$L" '\] hook transaction \(attach\): committed$'
check "log: file hooks transaction" "$L" '\] hook transaction \(file hooks\): committed$'
check "log: pinned at attach" "$L" '\] attach: the patch DLL keeps itself loaded until the process ends'
check_not "log: no detach before the process ends" "$L" 'hook transaction \(detach\)'
check "log: patch.xp3 mounted" "$L" '\] mounted Z:\\.*\\game\\patch\.xp3: 4 entries; 4 new paths, 0 replacing'
check "log: images.xp3 mounted" "$L" '\] mounted Z:\\.*\\game\\images\.xp3: 1 entry; 0 new paths, 1 replacing'
check "log: an archive answered" "$L" \
  '\] CreateFileW data\\a\.txt: key data\\a\.txt: answered by Z:\\.*\\patch\.xp3, entry data\\a\.txt$'
check "log: case-insensitive key, later archive" "$L" \
  '\] GetFileAttributesW DATA/B\.TXT: key DATA\\B\.TXT: answered by Z:\\.*\\images\.xp3, entry data\\b\.txt$'
check "log: attributes ex" "$L" '\] GetFileAttributesExW DATA/B\.TXT: key DATA\\B\.TXT: answered'
check "log: a real file" "$L" '\] CreateFileW data\\real\.txt: key data\\real\.txt: in no archive, passed to the system$'
check "log: the memory file" "$L" '\] CreateFileW acp: key acp: answered by the memory file$'
check "log: directory search" "$L" '\] FindFirstFileExW data\\\*: directory data: 2 records added from archives$'
check "log: archive-only directory" "$L" '\] FindFirstFileExW voice\\\*: directory voice: 1 record added'
check_not "log: paths outside the game directory" "$L" 'win\.ini'
# Appends: a second run adds to the same file.
before=$(wc -l <"$L")
XP3PATCH_LOG="$(winpath "$LOG")" play "$WORK/log2.out" load patch.dll entry
expect_eq "log: appended" "$(( $(tr -d '\r' <"$LOG" | wc -l) > before ))" 1
check "log: the first line names the version" <(head -n 1 "$L") \
  '\] xp3patch [0-9]+\.[0-9]+\.[0-9]+ loaded in process [0-9]+$'
check "log: the entry function reached" "$L" '\] entry function reached \(offset 0x12A090\)'
check_not "log: no remark on a prompt entry" "$L" 'has not called its entry function'
# A game that is slow to call, or never calls, its entry function: the log
# says so while it runs (3 s after the load; the game waits 8 s, so that a
# loaded machine still sees the remark before the call).
XP3PATCH_LOG="$(winpath "$WORK/logs/late.log")" play "$WORK/late.out" load patch.dll sleep 8000 \
  entry cat 'data\a.txt'
check "late entry: the game still reads the translation" "$WORK/late.out" 'read 12 bytes: translated-a'
tr -d '\r' <"$WORK/logs/late.log" >"$WORK/late.log"
check "log: the entry function not called yet" "$WORK/late.log" \
  '\] the game has not called its entry function \(offset 0x12A090 of the executable\) 3 s after'
check "log: then reached" <(sed -n '/has not called/,$p' "$WORK/late.log") '\] entry function reached'
# A log file that cannot be opened is said on standard error, and again when
# the game ends for a missing archive.
XP3PATCH_LOG="$(winpath "$WORK/logs/no such folder/patch.log")" play "$WORK/nolog2.out" \
  load patch.dll entry cat 'data\a.txt'
check "unopenable log: said on standard error" "$WORK/nolog2.out" \
  '^xp3patch: cannot open the log file Z:.*no such folder\\patch\.log named by XP3PATCH_LOG: .*; no log is written$'
check "unopenable log: the game goes on" "$WORK/nolog2.out" 'read 12 bytes: translated-a'
# A missing archive, and one that is not an archive: the reason is logged
# before the game ends.
mv "$WORK/game/images.xp3" "$WORK/game/images.bak"
XP3PATCH_LOG="$(winpath "$WORK/logs/missing.log")" play "$WORK/logmissing.out" load patch.dll entry
check "log: missing archive exits with 1" "$WORK/logmissing.out" '^exit 1$'
check "log: missing archive" "$WORK/logs/missing.log" 'cannot mount .*images\.xp3: file not found; the game ends'
XP3PATCH_LOG="$(winpath "$WORK/logs/no such folder/patch.log")" play "$WORK/nolog3.out" \
  load patch.dll entry
expect_eq "unopenable log: said again when the game ends" \
  "$(grep -c '^xp3patch: cannot open the log file .* no log is written$' "$WORK/nolog3.out")" 2
check "unopenable log: and why the game ends" "$WORK/nolog3.out" \
  '^xp3patch: cannot mount .*images\.xp3: file not found$'
printf 'this is not an archive' >"$WORK/game/images.xp3"
XP3PATCH_LOG="$(winpath "$WORK/logs/bad.log")" play "$WORK/logbad.out" load patch.dll entry
check "log: not an archive" "$WORK/logs/bad.log" 'cannot mount .*images\.xp3: not an XP3 archive \(wrong header\)'
rm -f "$WORK/game/images.xp3"
mv "$WORK/game/images.bak" "$WORK/game/images.xp3"

# 5. The launcher: the patch loaded before the game's code, arguments passed on.
LAUNCHER="$B/tools/launcher/launcher.exe"
(cd "$WORK/game" && "$RUN" "$LAUNCHER" game.exe patch.dll -- echo "two words" entry \
   cat 'data\a.txt' >"$WORK/launch.raw" 2>&1; echo "exit $?" >>"$WORK/launch.raw")
tr -d '\r' <"$WORK/launch.raw" >"$WORK/launch.out"
check "launcher passes arguments" "$WORK/launch.out" '^two words$'
check "launcher loads the patch" "$WORK/launch.out" 'read 12 bytes: translated-a'
check "launcher returns the game's exit code" "$WORK/launch.out" '^exit 0$'
(cd "$WORK/game" && "$RUN" "$LAUNCHER" nosuch.exe patch.dll >"$WORK/nogame.raw" 2>&1
 echo "exit $?" >>"$WORK/nogame.raw")
check "launcher: missing game" "$WORK/nogame.raw" 'game not found'
check "launcher: missing game exit code" "$WORK/nogame.raw" '^exit 3'

# 6. Crash handler: the patch registers at load, its filter stays in force
#    (the game cannot replace it), and a crash in the game produces a report,
#    also after the game has freed the patch (which keeps itself loaded, so
#    its filter never points into unmapped code).
HANDLER="$B/tools/crash_handler/crash_handler.exe"
mkdir -p "$WORK/reports"
(cd "$WORK/game" && "$RUN" "$HANDLER" --pipe '\\.\pipe\xp3patch-process-test' \
   --dump-dir "$(echo "Z:$WORK/reports" | tr / '\\')" -- game.exe load patch.dll filter entry \
   cat 'data\a.txt' free crash >"$WORK/crash.raw" 2>&1; echo "exit $?" >>"$WORK/crash.raw")
tr -d '\r' <"$WORK/crash.raw" >"$WORK/crash.out"
check "registered game still starts" "$WORK/crash.out" 'read 12 bytes: translated-a'
check "filter cannot be replaced with a handler" "$WORK/crash.out" '^filter: previous null, then null'
check "the game freed the patch before crashing" "$WORK/crash.out" '^free: ok'
check "crash reached the game" "$WORK/crash.out" '^crashing'
if ls "$WORK/reports"/*.txt >/dev/null 2>&1; then
  passes=$((passes + 1))
  check "crash summary names the exception" "$(ls "$WORK/reports"/*.txt | sed -n 1p)" 'exception 0x'
else
  failures=$((failures + 1)); echo "FAIL: no crash report written"; cat "$WORK/crash.out"
fi
# A pipe name without a handler: the information box (no display here) and the game goes on.
(cd "$WORK/game" && CRASHPAD_PIPE_NAME='\\.\pipe\xp3patch-nobody' "$RUN" game.exe load patch.dll \
   entry cat 'data\a.txt' >"$WORK/nohandler.raw" 2>&1; echo "exit $?" >>"$WORK/nohandler.raw")
tr -d '\r' <"$WORK/nohandler.raw" >"$WORK/nohandler.out"
check "no handler: the game goes on" "$WORK/nohandler.out" 'read 12 bytes: translated-a'

# The crash handler ends with the game's exit code, and names system errors in words.
mv "$WORK/game/images.xp3" "$WORK/game/images.bak"
(cd "$WORK/game" && "$RUN" "$HANDLER" --pipe '\\.\pipe\xp3patch-exit-code' -- game.exe load patch.dll \
   entry >"$WORK/handler-exit.raw" 2>&1; echo "exit $?" >>"$WORK/handler-exit.raw")
mv "$WORK/game/images.bak" "$WORK/game/images.xp3"
check "crash handler passes the game's exit code on" "$WORK/handler-exit.raw" '^exit 1'
(cd "$WORK/game" && "$RUN" "$HANDLER" --pipe '\\.\pipe\xp3patch-no-program' -- nosuch.exe \
   >"$WORK/handler-nogame.raw" 2>&1; echo "exit $?" >>"$WORK/handler-nogame.raw")
check "crash handler: a program that cannot start" "$WORK/handler-nogame.raw" '^exit 1'
check "crash handler: the system's words" "$WORK/handler-nogame.raw" 'cannot start nosuch.exe: [A-Za-z].* \(error 2\)'
check_not "crash handler: no bare error numbers" "$WORK/handler-nogame.raw" ': error [0-9]'

# Every program states the version of the build.
for program in "$LAUNCHER" "$HANDLER" "$XP3"; do
  "$RUN" "$program" --version >"$WORK/version.raw" 2>&1
  check "$(basename "$program") --version" "$WORK/version.raw" '^[a-z0-9_]+ [0-9]+\.[0-9]+\.[0-9]+'
done
grep -qx 'FileVersion' <(strings -el "$DLL") && passes=$((passes + 1)) ||
  { failures=$((failures + 1)); echo "FAIL: patch.dll has no version resource"; }

if [ "$failures" -ne 0 ]; then
  echo "--- main run output:"; cat "$M"
fi
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
