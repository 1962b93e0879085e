#!/usr/bin/env bash
# Builds everything and runs every test: the Windows build under Wine, then
# the portable layers natively with AddressSanitizer and UBSan, and the xp3
# tool and archive tests once more against the system's zlib and zstd (the
# native build's fallback when the pinned sources are missing).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/bootstrap.sh
JOBS="${JOBS:-2}"

echo "== Layers"
bash scripts/check_layers.sh

echo "== Windows build (i686, tests under Wine)"
cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/win -j "$JOBS"
(cd build/win && ctest --output-on-failure -j "$JOBS")

echo "== Native build (ASan, UBSan)"
cmake -S . -B build/native -G Ninja -DXP3PATCH_NATIVE=ON >/dev/null
cmake --build build/native -j "$JOBS"
(cd build/native && ctest --output-on-failure -j "$JOBS")

echo "== Native build against the system's zlib and zstd (the fallback without pinned sources)"
cmake -S . -B build/system-libs -G Ninja -DXP3PATCH_NATIVE=ON -DXP3PATCH_SANITIZE=OFF \
  -DXP3PATCH_SYSTEM_COMPRESSION=ON >/dev/null
cmake --build build/system-libs -j "$JOBS" --target xp3 archive_test archive_fault_test
(cd build/system-libs &&
  ctest --output-on-failure -j "$JOBS" -R '^(archive_test|archive_fault_test|xp3_tool_roundtrip)$')

echo "== Native and Windows xp3 write identical archives"
bash tools/xp3/xp3_same_bytes_test.sh "$ROOT/build/native/tools/xp3/xp3" \
  "$ROOT/build/win/tools/xp3/xp3.exe" "$ROOT/build/win/wine-run.sh"

echo "== Release package"
bash tests/package_test.sh
