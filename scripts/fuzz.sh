#!/usr/bin/env bash
# Coverage-guided fuzzing of everything that parses bytes: builds the fuzz
# targets natively with clang, libFuzzer, AddressSanitizer and UBSan (against
# zlib and zstd built from the pinned sources with the same instrumentation),
# then runs each target for SECONDS (default 60), one at a time.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Each target starts from its committed corpus in tests/fuzz/<target>/ and
# keeps what it finds in build/fuzz/corpus/<target>/; crashes land in
# build/fuzz/crashes/<target>/. To keep a finding as a regression input, copy
# it into tests/fuzz/<target>/ (the test command replays that directory).
set -euo pipefail
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: bash scripts/fuzz.sh [SECONDS] [TARGET...]

Builds every fuzz target natively (clang, libFuzzer, ASan, UBSan) and runs
each for SECONDS (default 60), one at a time, starting from its committed
inputs in tests/fuzz/<target>/. Findings go to build/fuzz/corpus/<target>/,
crashes to build/fuzz/crashes/<target>/ (see FUZZING.md).
USAGE
    exit 0 ;;
esac
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
SECONDS_PER_TARGET="${1:-60}"
shift || true
bash scripts/bootstrap.sh
DEPS="${XP3PATCH_DEPS:-$ROOT/.deps}"
BUILD="$ROOT/build/fuzz"
FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g -O1"

build_instrumented_deps() {
  local prefix="$DEPS/fuzz"
  if [ -f "$prefix/lib/libz.a" ] && [ -f "$prefix/lib/libzstd.a" ]; then return; fi
  echo "== zlib and zstd from the pinned sources, instrumented"
  mkdir -p "$prefix/lib" "$prefix/include"
  # zlib's own CMake project wants a resource script the source package
  # lacks; its sources build as they are.
  local src="$DEPS/src/zlib-1.3.1" objects="$DEPS/build/fuzz-zlib"
  mkdir -p "$objects"
  cp "$src/zlib.h" "$prefix/include/"
  cp "$src/zconf.h.in" "$prefix/include/zconf.h"
  for c in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
           inflate inftrees trees uncompr zutil; do
    # shellcheck disable=SC2086
    clang $FLAGS -I"$prefix/include" -c "$src/$c.c" -o "$objects/$c.o"
  done
  rm -f "$prefix/lib/libz.a"
  ar rcs "$prefix/lib/libz.a" "$objects"/*.o
  cmake -S "$DEPS/src/zstd-1.5.7/build/cmake" -B "$DEPS/build/fuzz-zstd" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_C_FLAGS="$FLAGS" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_SHARED=OFF \
    -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_TESTS=OFF -DZSTD_LEGACY_SUPPORT=ON -DZSTD_LEGACY_LEVEL=1 \
    -DZSTD_MULTITHREAD_SUPPORT=OFF >/dev/null
  cmake --build "$DEPS/build/fuzz-zstd" >/dev/null
  cmake --install "$DEPS/build/fuzz-zstd" >/dev/null
}

build_instrumented_deps
echo "== Fuzz targets (clang, libFuzzer, ASan, UBSan)"
cmake -S . -B "$BUILD" -G Ninja -DXP3PATCH_NATIVE=ON -DXP3PATCH_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DXP3PATCH_DEPS="$DEPS" >/dev/null
cmake --build "$BUILD" --target fuzzers -j "${JOBS:-2}"

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(grep -v '^$' "$BUILD/fuzzers.txt")
fi
status=0
for target in "${targets[@]}"; do
  echo "== $target for ${SECONDS_PER_TARGET}s"
  corpus="$BUILD/corpus/$target"
  crashes="$BUILD/crashes/$target"
  mkdir -p "$corpus" "$crashes" "tests/fuzz/$target"
  # One process per target (no -jobs: that forks workers and moves the
  # output into job logs); run from the build directory all the same.
  if ! (cd "$BUILD" && "./$target" "$corpus" "$ROOT/tests/fuzz/$target" \
      -max_total_time="$SECONDS_PER_TARGET" -timeout=10 \
      -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
      -artifact_prefix="$crashes/" 2>"$BUILD/$target.log"); then
    echo "   FOUND a failure; see $BUILD/$target.log and $crashes/"
    status=1
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|cov: ' "$BUILD/$target.log" | tail -3 || true
done
exit "$status"
