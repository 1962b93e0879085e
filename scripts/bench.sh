#!/usr/bin/env bash
# Builds the benchmark programs, runs them all and prints their figures as
# one table. The Windows programs run under Wine (build/win); the stream
# layer's instruction counts come from callgrind on the native build
# (build/native; the bench directory compiles without the sanitizers).
#
# Sizes can be changed through the environment (defaults in brackets):
#   BENCH_SEQ_MIB [256]  BENCH_SEQ_ROUNDS [5]  BENCH_RANDOM_MIB [64]
#   BENCH_RANDOM_READS [200]  BENCH_HOOK_ROUNDS [30]  BENCH_HOOK_SCALE [1]
#   BENCH_ENTRIES [100000]  BENCH_DIRECTORIES [1000]  BENCH_MOUNT_REPEATS [3]
#   BENCH_CALLGRIND_MIB [8]  BENCH_GAMELOAD_FILES [2000]  BENCH_GAMELOAD_ROUNDS [3]
# Full logs go to build/bench-results/.
set -euo pipefail
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: bash scripts/bench.sh

Builds the benchmark programs, runs them all and prints their figures as one
table with the ratios against their targets (bench/RESULTS.md has measured
ones). Sizes through the environment (defaults in brackets):
  BENCH_SEQ_MIB [256]  BENCH_SEQ_ROUNDS [5]  BENCH_RANDOM_MIB [64]
  BENCH_RANDOM_READS [200]  BENCH_HOOK_ROUNDS [30]  BENCH_HOOK_SCALE [1]
  BENCH_ENTRIES [100000]  BENCH_DIRECTORIES [1000]  BENCH_MOUNT_REPEATS [3]
  BENCH_CALLGRIND_MIB [8]  BENCH_GAMELOAD_FILES [2000]  BENCH_GAMELOAD_ROUNDS [3]
Full logs go to build/bench-results/. XP3PATCH_DEPS=DIR: dependencies in DIR.
USAGE
    exit 0 ;;
esac
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
JOBS="${JOBS:-2}"
RESULTS="$ROOT/build/bench-results"
mkdir -p "$RESULTS"
rm -f "$RESULTS"/*.log

bash scripts/bootstrap.sh >/dev/null

echo "== Building (build/win, build/native)"
cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/win -j "$JOBS" --target bench_read bench_hooks bench_mount bench_gameload bench_mapping \
  bench_dropin sample_game patch launcher xp3 dropin_loaders >/dev/null
cmake -S . -B build/native -G Ninja -DXP3PATCH_NATIVE=ON >/dev/null
cmake --build build/native -j "$JOBS" --target stream_bench >/dev/null

WINE="$ROOT/build/win/wine-run.sh"
BENCH="$ROOT/build/win/bench"
trap 'rm -rf "$BENCH/bench-data"' EXIT

# run <log name> <command...>: output to the log (never a pipe: the Wine
# server may hold it open), the log shown afterwards without its ROW lines.
run() {
  local name="$1"
  shift
  local start=$SECONDS
  local status=0
  "$@" >"$RESULTS/$name.log" 2>&1 || status=$?
  grep -v '^ROW|' "$RESULTS/$name.log" || true
  echo "   ($name: $((SECONDS - start)) s, exit $status)"
}

echo "== Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), load $(cut -d' ' -f1-3 /proc/loadavg)"
run 1-seq "$WINE" "$BENCH/bench_read.exe" seq "${BENCH_SEQ_MIB:-256}" "${BENCH_SEQ_ROUNDS:-5}"
# The same with 1 MiB segments, which RESULTS.md weighs against the default.
run 1b-seq-1m "$WINE" "$BENCH/bench_read.exe" seq "${BENCH_SEQ_MIB:-256}" "${BENCH_SEQ_ROUNDS:-5}" 1024
run 2-random "$WINE" "$BENCH/bench_read.exe" random "${BENCH_RANDOM_MIB:-64}" "${BENCH_RANDOM_READS:-200}"
run 3-hooks "$WINE" "$BENCH/bench_hooks.exe" "${BENCH_HOOK_ROUNDS:-30}" "${BENCH_HOOK_SCALE:-1}"
run 4-mount "$WINE" "$BENCH/bench_mount.exe" "${BENCH_ENTRIES:-100000}" "${BENCH_DIRECTORIES:-1000}" \
  "${BENCH_MOUNT_REPEATS:-3}"
run 7-gameload "$WINE" "$BENCH/bench_gameload.exe" "${BENCH_GAMELOAD_FILES:-2000}" \
  "${BENCH_GAMELOAD_ROUNDS:-3}"
run 9-mapping "$WINE" "$BENCH/bench_mapping.exe" "${BENCH_MAPPING_MIB:-1024}"

# Drop-in loaders: a forwarded call against the direct one (loaders copied
# under other names, so that they only forward), then the game's start with
# a loader in its folder against its start under the launcher, alternating.
cp build/win/dropin/winmm.dll "$BENCH/fwd_winmm.dll"
cp build/win/dropin/version.dll "$BENCH/fwd_version.dll"
run 8-dropin-call "$WINE" "$BENCH/bench_dropin.exe" "Z:$BENCH/fwd_winmm.dll" "Z:$BENCH/fwd_version.dll"
START="$(mktemp -d)"
mkdir -p "$START/tl/data" "$START/game"
printf 'translated' >"$START/tl/data/a.txt"
(cd "$START" && "$WINE" "$ROOT/build/win/tools/xp3/xp3.exe" pack tl -o game/patch.xp3 >/dev/null &&
  "$WINE" "$ROOT/build/win/tools/xp3/xp3.exe" pack tl -o game/images.xp3 >/dev/null)
cp build/win/tests/sample_game/sample_game.exe "$START/game/Game.exe"
cp build/win/startup/patch.dll build/win/tools/launcher/launcher.exe "$START/game/"
{
  loader_best=999999; launcher_best=999999
  for round in $(seq "${BENCH_START_ROUNDS:-10}"); do
    cp build/win/dropin/version.dll "$START/game/"
    t0=$(date +%s%N)
    (cd "$START/game" && WINEDLLOVERRIDES="version=n,b" "$WINE" Game.exe entry cat 'data\a.txt' >/dev/null 2>&1)
    t1=$(date +%s%N)
    rm "$START/game/version.dll"
    (cd "$START/game" && "$WINE" launcher.exe Game.exe patch.dll -- entry cat 'data\a.txt' >/dev/null 2>&1)
    t2=$(date +%s%N)
    loader_ms=$(( (t1 - t0) / 1000000 )); launcher_ms=$(( (t2 - t1) / 1000000 ))
    [ "$loader_ms" -lt "$loader_best" ] && loader_best=$loader_ms
    [ "$launcher_ms" -lt "$launcher_best" ] && launcher_best=$launcher_ms
  done
  echo "game start: with the loader ${loader_best} ms, under the launcher ${launcher_best} ms (fastest of ${BENCH_START_ROUNDS:-10}), ratio $(awk "BEGIN{printf \"%.3f\", $loader_best/$launcher_best}") (target <= 1.05)"
} >"$RESULTS/9-dropin-start.log" 2>&1
cat "$RESULTS/9-dropin-start.log"
rm -rf "$START"

# Instruction counts of the stream layer (only the measured function is
# counted: --toggle-collect).
STREAM="$ROOT/build/native/bench/stream_bench"
DATA="$(mktemp -d)"
trap 'rm -rf "$BENCH/bench-data" "$DATA"' EXIT
MIB="${BENCH_CALLGRIND_MIB:-8}"
"$STREAM" pack "$DATA" "$MIB"
callgrind() {
  local function="$1"
  shift
  valgrind --tool=callgrind --callgrind-out-file="$DATA/callgrind.out" \
    --toggle-collect="*$function*" "$STREAM" "$@" 2>&1 | sed -n 's/^==[0-9]*== Collected : //p'
}
{
  for method in zlib zstd; do
    count="$(callgrind DecodeFromMemory limit "$DATA/$method.xp3")"
    printf 'ROW|6 callgrind|%s, %s MiB entry, decoded from memory (the limit): instructions (per byte)|%s (%s)|-|-\n' \
      "$method" "$MIB" "$count" "$(awk "BEGIN{printf \"%.2f\", $count/($MIB*1048576)}")"
  done
  for method in stored zlib zstd; do
    for chunk in 65536 4096; do
      count="$(callgrind ReadEntryThroughStreams read "$DATA/$method.xp3" "$chunk")"
      printf 'ROW|6 callgrind|%s, %s MiB entry, %d KiB reads: instructions (per byte)|%s (%s)|-|-\n' \
        "$method" "$MIB" "$((chunk / 1024))" "$count" "$(awk "BEGIN{printf \"%.2f\", $count/($MIB*1048576)}")"
    done
  done
  count="$(callgrind ParseArchiveIndex parse "$DATA/index.xp3")"
  printf 'ROW|6 callgrind|parsing the index of 10,000 entries: instructions (per entry)|%s (%s)|-|-\n' \
    "$count" "$((count / 10000))"
} >"$RESULTS/6-callgrind.log"

echo
echo "== Results (ratios are from one run of one program; medians of its rounds)"
cat "$RESULTS"/*.log | grep '^ROW|' |
  awk -F'|' 'BEGIN { printf "| %-16s | %-s | %s | %s | %s |\n", "benchmark", "measure", "value", "target", "verdict";
                     print "|---|---|---|---|---|" }
             { printf "| %-16s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6 }'
