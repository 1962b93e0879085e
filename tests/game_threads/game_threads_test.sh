#!/usr/bin/env bash
# Whole-process tests of the patch in a game whose other threads never stop
# using the file functions (busy_game under Wine):
#  - start-up under fire: reader threads call CreateFileW, ReadFile and
#    GetFileAttributesW while another thread calls GameEntry; every answer
#    must be right, and stay right while the game frees the patch (which
#    keeps itself loaded); each run starts the patch once, later rounds
#    load and free it again while it is live;
#  - ending while reading: threads read compressed overlaid files while the
#    main thread calls ExitProcess(0); the process must end promptly with 0,
#    judged against the same game with a DLL that does nothing (files on
#    disk), so that Wine's own teardown failures are told from the patch's.
#   game_threads_test.sh BUILD_DIR [STARTUP_RUNS ROUNDS EXIT_RUNS]
set -uo pipefail
B="$1"
STARTUP_RUNS="${2:-6}"
ROUNDS="${3:-4}"
EXIT_RUNS="${4:-20}"
RUN="$B/wine-run.sh"
XP3="$B/tools/xp3/xp3.exe"
WORK="$(mktemp -d /tmp/game-threads-test.XXXXXX)"
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT
failures=0

mkdir -p "$WORK/game" "$WORK/src/patch" "$WORK/src/images"
cp "$B/tests/game_threads/busy_game.exe" "$B/startup/patch.dll" "$WORK/game/"
(cd "$WORK/game" && "$RUN" busy_game.exe files 'Z:'"$(echo "$WORK/src/patch" | tr / '\\')") ||
  { echo "FAIL: writing the test files"; exit 1; }
# The large file goes into images.xp3 with zlib, the rest into patch.xp3 with
# zstd; small segments make every read decode.
mv "$WORK/src/patch/data/large.bin" "$WORK/src/images/" 2>/dev/null
mkdir -p "$WORK/src/images/data" && mv "$WORK/src/images/large.bin" "$WORK/src/images/data/"
(cd "$WORK" &&
  "$RUN" "$XP3" pack src/patch -o game/patch.xp3 --compress zstd --segment-size 8192 >/dev/null &&
  "$RUN" "$XP3" pack src/images -o game/images.xp3 --compress zlib --segment-size 4096 >/dev/null) ||
  { echo "FAIL: packing the test archives"; exit 1; }

for run in $(seq 1 "$STARTUP_RUNS"); do
  out="$WORK/startup-$run.out"
  (cd "$WORK/game" && timeout 300 "$RUN" busy_game.exe startup "$ROUNDS" >"$out" 2>&1)
  code=$?
  # Wine's start-up losing its server connection, before the game ran (see
  # below): once more.
  if [ "$code" -ne 0 ] && ! grep -q '^startup: begin' "$out" && grep -q '^wine client error:0:' "$out"; then
    echo "start-up under fire, run $run: run again after Wine's start-up failed"
    (cd "$WORK/game" && timeout 300 "$RUN" busy_game.exe startup "$ROUNDS" >"$out" 2>&1)
    code=$?
  fi
  tr -d '\r' <"$out" | grep -v '^$' | tail -5
  if [ "$code" -ne 0 ]; then
    failures=$((failures + 1)); echo "FAIL: start-up under fire, run $run: exit code $code"
  fi
done

# Ending while reading, with the patch (the files are overlaid) and with a DLL
# that does nothing (the same bytes on disk). A hang, a wrong answer, or a
# failure between the game's first line and its "exiting" line is a failure.
# Two failures belong to Wine alone and are run once more, and how often each
# happened is printed for both variants:
#  - start-up: the process loses its server connection ("wine client
#    error:0:") or takes a signal before the game's first line, before any
#    game or patch code ran (measured: about 1 start in 1000, with the patch
#    and without);
#  - teardown: a signal or a lost server connection after "exiting".
mkdir -p "$WORK/idle/data"
cp "$B/tests/game_threads/busy_game.exe" "$WORK/idle/"
cp "$B/tests/game_threads/idle_patch.dll" "$WORK/idle/patch.dll"
cp "$WORK/src/patch/data/"* "$WORK/src/images/data/"* "$WORK/idle/data/"

# exit_round DIR SEED NAME: 0 passed, 1 failed, 2 Wine's start-up failed,
# 3 Wine's teardown failed
exit_round() {
  local out="$WORK/exit.out" start took code
  start=$(date +%s)
  (cd "$1" && timeout 60 "$RUN" busy_game.exe exit "$2" >"$out.raw" 2>&1)
  code=$?
  took=$(( $(date +%s) - start ))
  tr -d '\r' <"$out.raw" >"$out"
  if [ "$code" -eq 0 ] && [ "$took" -le 30 ]; then return 0; fi
  if [ "$code" -ne 124 ] && [ "$took" -le 30 ]; then
    if ! grep -q "^exit $2: begin" "$out" &&
       { [ "$code" -ge 128 ] || grep -q '^wine client error:0:' "$out"; }; then
      cp "$out" "$WORK/wine-$2.out"; return 2
    fi
    if grep -q '^exiting after [0-9]* reads, 0 errors' "$out" &&
       { [ "$code" -ge 128 ] || grep -qE 'wine client error|Connection reset by peer' "$out"; }; then
      cp "$out" "$WORK/wine-$2.out"; return 3
    fi
  fi
  echo "FAIL: ExitProcess while reading ($3), run $2: exit code $code after ${took}s"
  tail -5 "$out"
  return 1
}

# exit_runs NAME DIR: runs EXIT_RUNS rounds and prints how often Wine failed
exit_runs() {
  local name="$1" dir="$2" run result starts=0 teardowns=0
  for run in $(seq 1 "$EXIT_RUNS"); do
    exit_round "$dir" "$run" "$name"; result=$?
    if [ "$result" -ge 2 ]; then
      if [ "$result" -eq 2 ]; then starts=$((starts + 1)); else teardowns=$((teardowns + 1)); fi
      exit_round "$dir" "$run" "$name"; result=$?
      if [ "$result" -ge 2 ]; then
        echo "FAIL: ExitProcess while reading ($name), run $run: Wine failed twice in a row"
        tail -3 "$WORK/wine-$run.out"
        result=1
      fi
    fi
    [ "$result" -eq 0 ] || failures=$((failures + 1))
  done
  echo "exit while reading, $name: $EXIT_RUNS runs; run again after Wine's start-up failed:" \
       "$starts, after its teardown failed: $teardowns"
}
exit_runs "patch" "$WORK/game"
exit_runs "DLL that does nothing" "$WORK/idle"

echo "$failures failed"
[ "$failures" -eq 0 ]
