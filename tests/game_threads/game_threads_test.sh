#!/usr/bin/env bash
# Whole-process tests of the patch in a game whose other threads never stop
# using the file functions (busy_game under Wine):
#  - start-up under fire: reader threads call CreateFileW, ReadFile and
#    GetFileAttributesW while another thread calls GameEntry; every answer
#    must be right, round after round of load, start-up and unload;
#  - ending while reading: threads read compressed overlaid files while the
#    main thread calls ExitProcess(0); the process must end promptly with 0.
#   game_threads_test.sh BUILD_DIR [STARTUP_RUNS ROUNDS EXIT_RUNS]
set -uo pipefail
B="$1"
STARTUP_RUNS="${2:-3}"
ROUNDS="${3:-15}"
EXIT_RUNS="${4:-20}"
RUN="$B/wine-run.sh"
XP3="$B/tools/xp3/xp3.exe"
WORK="$(mktemp -d /tmp/game-threads-test.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
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
  tr -d '\r' <"$out" | grep -v '^$' | tail -5
  if [ "$code" -ne 0 ]; then
    failures=$((failures + 1)); echo "FAIL: start-up under fire, run $run: exit code $code"
  fi
done

for run in $(seq 1 "$EXIT_RUNS"); do
  out="$WORK/exit-$run.out"
  start=$(date +%s)
  (cd "$WORK/game" && timeout 60 "$RUN" busy_game.exe exit "$run" >"$out" 2>&1)
  code=$?
  took=$(( $(date +%s) - start ))
  if [ "$code" -ne 0 ] || [ "$took" -gt 30 ]; then
    failures=$((failures + 1))
    echo "FAIL: ExitProcess while reading, run $run: exit code $code after ${took}s"
    tr -d '\r' <"$out" | tail -5
  fi
done
echo "exit while reading: $EXIT_RUNS runs"

echo "$failures failed"
[ "$failures" -eq 0 ]
