#!/usr/bin/env bash
# Builds everything and runs every test: the layer check, the Windows build
# under Wine, then the portable layers natively with AddressSanitizer and
# UBSan, the xp3 tool and archive tests once more against the system's zlib
# and zstd (the native build's fallback when the pinned sources are missing),
# the check that both xp3 tools write the same bytes, and the release
# package. Every part runs even when an earlier one failed; the last line
# counts every test of every part: "N passed, M failed". Each ctest test
# counts as one, each other check as one, and a build that fails as one
# failure (its tests then cannot run). Exit code 0 only when nothing failed.
#   XP3PATCH_DEPS=DIR bash scripts/test.sh   (DIR: dependencies, default .deps)
set -uo pipefail
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: bash scripts/test.sh

Builds everything and runs every test: the layer check, the Windows build
under Wine, the portable layers natively with ASan and UBSan, the xp3 tool
against the system's zlib and zstd, the same-bytes check and the release
package. The last line counts them all ("N passed, M failed"); the exit code
is 0 only when nothing failed. XP3PATCH_DEPS=DIR: dependencies in DIR.
USAGE
    exit 0 ;;
esac
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/bootstrap.sh || { echo "0 passed, 1 failed (bootstrap)"; exit 1; }
JOBS="${JOBS:-2}"
DEPS="$(realpath -m "${XP3PATCH_DEPS:-$ROOT/.deps}")"
export XP3PATCH_DEPS="$DEPS"
LOGS="$(mktemp -d "${TMPDIR:-/tmp}/xp3patch-test.XXXXXX")"
trap 'rm -rf "$LOGS"' EXIT
# Programs that Wine itself failed to start, and wine-run.sh started again.
export XP3PATCH_WINE_RETRY_LOG="$LOGS/wine-start-failures"
: >"$XP3PATCH_WINE_RETRY_LOG"

passed=0
failed=0
failed_parts=()
fail_part() { failed=$((failed + 1)); failed_parts+=("$1"); echo "FAILED: $1"; }

check() {  # check NAME COMMAND...: one check, one count
  if "${@:2}"; then passed=$((passed + 1)); else fail_part "$1"; fi
}

build() {  # build NAME COMMAND...: a configure or build step; counts only when it fails
  if "${@:2}"; then return 0; fi
  fail_part "$1 (its tests did not run)"
  return 1
}

run_ctest() {  # run_ctest NAME BUILD_DIR [CTEST ARGUMENTS...]: counts each test
  local name="$1" dir="$2" log="$LOGS/ctest-$RANDOM.log"
  shift 2
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" -O "$log" "$@")
  local summary total bad
  summary="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
  if [ -z "$summary" ]; then
    fail_part "$name: ctest ran no tests"
    return
  fi
  total="$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")"
  bad="$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" -eq 0 ] || failed_parts+=("$name: $bad of $total tests")
}

echo "== Layers and scripts"
check "layer check" bash scripts/check_layers.sh
check "pipe check" bash scripts/check_pipes.sh

echo "== Windows build (i686, tests under Wine)"
if build "Windows configure" cmake -S . -B build/win -G Ninja --no-warn-unused-cli \
     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DXP3PATCH_DEPS="$DEPS" >/dev/null &&
   build "Windows build" cmake --build build/win -j "$JOBS"; then
  run_ctest "Windows tests" build/win
fi

echo "== Native build (ASan, UBSan)"
if build "native configure" cmake -S . -B build/native -G Ninja -DXP3PATCH_NATIVE=ON \
     -DXP3PATCH_DEPS="$DEPS" >/dev/null &&
   build "native build" cmake --build build/native -j "$JOBS"; then
  run_ctest "native tests" build/native
fi

echo "== Native build against the system's zlib and zstd (the fallback without pinned sources)"
if build "system-libraries configure" cmake -S . -B build/system-libs -G Ninja \
     -DXP3PATCH_NATIVE=ON -DXP3PATCH_SANITIZE=OFF -DXP3PATCH_SYSTEM_COMPRESSION=ON \
     -DXP3PATCH_DEPS="$DEPS" >/dev/null &&
   build "system-libraries build" cmake --build build/system-libs -j "$JOBS" \
     --target xp3 archive_test archive_fault_test; then
  run_ctest "system-libraries tests" build/system-libs \
    -R '^(archive_test|archive_fault_test|xp3_tool_roundtrip)$'
fi

echo "== Native and Windows xp3 write identical archives"
check "same bytes from both xp3 tools" bash tools/xp3/xp3_same_bytes_test.sh \
  "$ROOT/build/native/tools/xp3/xp3" "$ROOT/build/win/tools/xp3/xp3.exe" \
  "$ROOT/build/win/wine-run.sh"

echo "== Release package"
check "release package" bash tests/package_test.sh

echo
retries="$(wc -l <"$XP3PATCH_WINE_RETRY_LOG")"
echo "Programs that Wine itself failed to start, and that were started once more: $retries"
cat "$XP3PATCH_WINE_RETRY_LOG"
for part in "${failed_parts[@]}"; do echo "failed: $part"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
