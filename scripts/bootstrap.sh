#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine: the i686 mingw-w64
# cross compiler, Wine, native compilers and libraries for the sanitizer
# build, and the released zlib and zstd sources, built as static libraries
# for Windows. Idempotent: every step checks first and does nothing slow
# when its result is already there.
set -euo pipefail
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: bash scripts/bootstrap.sh

Installs what the build needs on a Debian 12 machine (the i686 mingw-w64
cross compiler, Wine, the native compilers and libraries) and builds zlib
1.3.1 and zstd 1.5.7 from their released sources into the dependencies
folder (.deps, or XP3PATCH_DEPS=DIR). Idempotent: a step whose result is
there already does nothing slow.
USAGE
    exit 0 ;;
esac

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEPS="${XP3PATCH_DEPS:-$ROOT/.deps}"
ZLIB_VERSION=1.3.1
ZSTD_VERSION=1.5.7
ZLIB_PKG="zlib=1:1.3.dfsg+really1.3.1-1"
ZSTD_PKG="libzstd=1.5.7+dfsg-1"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

log() { echo "[bootstrap] $*"; }

need_packages() {
  local missing=()
  for p in "$@"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
      missing+=("$p")
    fi
  done
  echo "${missing[@]:-}"
}

install_packages() {
  local pkgs=(g++-mingw-w64-i686 mingw-w64-tools wine wine32:i386 wine64 cmake ninja-build g++
              googletest zlib1g-dev libzstd-dev xz-utils dpkg-dev clang-format valgrind
              clang libclang-rt-14-dev locales fonts-dejavu-core)
  local missing
  missing="$(need_packages "${pkgs[@]}")"
  if [ -n "$missing" ]; then
    log "installing: $missing"
    if ! grep -qx i386 <(dpkg --print-foreign-architectures); then
      $SUDO dpkg --add-architecture i386
    fi
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
  fi
}

# The exact library versions are Debian 13 source packages; add a deb-src
# entry for that suite that reuses the machine's own mirror and key.
# Prints an apt sources entry for SUITE of TYPE (deb or deb-src) on the
# machine's own Debian mirror, signed by the machine's own key.
mirror_entry() {
  local suite="$1" type="$2" src uris signed
  src="$(ls /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v xp3patch | sed -n 1p || true)"
  uris=""; signed=""
  if [ -n "$src" ]; then
    uris="$(grep -m1 '^URIs:' "$src" | sed 's/^URIs:[[:space:]]*//')"
    signed="$(grep -m1 '^Signed-By:' "$src" | sed 's/^Signed-By:[[:space:]]*//')"
  fi
  if [ -z "$uris" ] && [ -f /etc/apt/sources.list ]; then
    uris="$(grep -m1 -E '^deb[[:space:]]' /etc/apt/sources.list | awk '{print $2}')"
  fi
  if [ -z "$uris" ]; then
    echo "bootstrap: cannot find the machine's Debian mirror in apt's sources" >&2
    exit 1
  fi
  echo "Types: $type"
  echo "URIs: $uris"
  echo "Suites: $suite"
  echo "Components: main"
  if [ -n "$signed" ]; then echo "Signed-By: $signed"; fi
}

add_trixie_sources() {
  local list=/etc/apt/sources.list.d/xp3patch-trixie-src.sources
  if [ -f "$list" ]; then return; fi
  log "adding deb-src for trixie"
  mirror_entry trixie deb-src | $SUDO tee "$list" >/dev/null
  $SUDO apt-get update -qq
}

fetch_sources() {
  mkdir -p "$DEPS/src"
  if [ -d "$DEPS/src/zlib-$ZLIB_VERSION" ] && [ -d "$DEPS/src/zstd-$ZSTD_VERSION" ]; then return; fi
  add_trixie_sources
  local dl="$DEPS/download"
  mkdir -p "$dl"
  (cd "$dl" && apt-get source --download-only "$ZLIB_PKG" "$ZSTD_PKG" >/dev/null)
  if [ ! -d "$DEPS/src/zlib-$ZLIB_VERSION" ]; then
    tar -xf "$dl"/zlib_*.orig.tar.gz -C "$DEPS/src"
  fi
  if [ ! -d "$DEPS/src/zstd-$ZSTD_VERSION" ]; then
    tar -xf "$dl"/libzstd_*.orig.tar.xz -C "$DEPS/src"
  fi
}

# Wine's own conformance tests of the file functions run with the patch
# loaded (tests/conformance); they come from the source package of the Wine
# the machine runs, from the machine's own release. Only the test files and
# the headers they include are unpacked.
WINE_TEST_FILES=(dlls/kernel32/tests/file.c dlls/ntdll/tests/file.c include/wine/test.h
                 include/wine/debug.h)

add_release_sources() {
  local list=/etc/apt/sources.list.d/xp3patch-bookworm-src.sources
  if [ -f "$list" ]; then return; fi
  log "adding deb-src for bookworm"
  mirror_entry bookworm deb-src | $SUDO tee "$list" >/dev/null
  $SUDO apt-get update -qq
}

fetch_wine_tests() {
  local dest="$DEPS/src/wine-tests" version have f
  version="$(dpkg-query -W -f='${Version}' wine)"
  have=1
  for f in "${WINE_TEST_FILES[@]}"; do [ -f "$dest/$f" ] || have=0; done
  if [ "$have" = 1 ] && [ "$(cat "$dest/.version" 2>/dev/null)" = "$version" ]; then return; fi
  add_release_sources
  # The orig tarball alone (about 25 MB); the Debian packaging beside it
  # is twice that and not needed.
  log "fetching Wine $version's conformance tests (a 25 MB download)"
  local dl="$DEPS/download/wine-$version" tarball tmp="$DEPS/src/wine-tests.tmp"
  mkdir -p "$dl"
  (cd "$dl" && apt-get source --download-only --tar-only "wine=$version" >/dev/null 2>&1) ||
    { echo "bootstrap: cannot download the source of wine $version" >&2; exit 1; }
  tarball="$(ls "$dl"/wine_*.orig.tar.* | sed -n 1p)"
  rm -rf "$tmp"; mkdir -p "$tmp"
  tar -xf "$tarball" -C "$tmp" --strip-components=1 --wildcards "${WINE_TEST_FILES[@]/#/*/}"
  rm -rf "$dest"; mv "$tmp" "$dest"
  echo "$version" >"$dest/.version"
}

build_windows_deps() {
  local prefix="$DEPS/i686"
  local tc="$ROOT/cmake/mingw-i686.cmake"
  if [ ! -f "$prefix/lib/libz.a" ]; then
    log "building zlib $ZLIB_VERSION for i686 Windows"
    cmake -S "$DEPS/src/zlib-$ZLIB_VERSION" -B "$DEPS/build/zlib" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
    cmake --build "$DEPS/build/zlib" --target zlibstatic >/dev/null
    mkdir -p "$prefix/lib" "$prefix/include"
    cp "$DEPS/build/zlib/libzlibstatic.a" "$prefix/lib/libz.a"
    cp "$DEPS/src/zlib-$ZLIB_VERSION/zlib.h" "$DEPS/build/zlib/zconf.h" "$prefix/include/"
  fi
  if [ ! -f "$prefix/lib/libzstd.a" ]; then
    log "building zstd $ZSTD_VERSION for i686 Windows (legacy formats included)"
    cmake -S "$DEPS/src/zstd-$ZSTD_VERSION/build/cmake" -B "$DEPS/build/zstd" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON \
      -DZSTD_BUILD_TESTS=OFF -DZSTD_LEGACY_SUPPORT=ON -DZSTD_LEGACY_LEVEL=1 \
      -DZSTD_MULTITHREAD_SUPPORT=OFF >/dev/null
    cmake --build "$DEPS/build/zstd" >/dev/null
    cmake --install "$DEPS/build/zstd" >/dev/null
  fi
}

# Wine's 32-bit loader is an i386 Linux program. Some hosts (paravirtualised
# kernels without 32-bit user mode) refuse to execute i386 binaries; there the
# kernel is taught to run them through qemu's user-mode i386 emulator. The
# emulator of Debian 12 loops forever in Wine's address-space set-up; the one
# in bookworm-backports (10.0) runs Wine correctly.
enable_i386_execution() {
  if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then return; fi
  log "this kernel does not run i386 programs; registering qemu-i386 for them"
  local list=/etc/apt/sources.list.d/xp3patch-backports.sources
  if [ ! -f "$list" ]; then
    mirror_entry "bookworm-backports" "deb" | $SUDO tee "$list" >/dev/null
    $SUDO apt-get update -qq
  fi
  local have
  have="$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)"
  case "$have" in
    *bpo12*) ;;
    *) $SUDO apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static >/dev/null ;;
  esac
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    # Re-register so that the fixed interpreter is the current binary.
    echo -1 | $SUDO tee /proc/sys/fs/binfmt_misc/qemu-i386 >/dev/null
  fi
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
    | $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null
  if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    echo "bootstrap: i386 programs still cannot run; Wine cannot start 32-bit Windows programs" >&2
    exit 1
  fi
}

# One Wine prefix for every build directory and test: creating a prefix is the
# slowest thing Wine does (minutes when i386 code is emulated), so it happens
# once per machine, here.
prepare_wine_prefix() {
  local prefix="$DEPS/wineprefix"
  if [ -f "$prefix/.ready" ]; then return; fi
  log "creating the Wine prefix in $prefix (slow the first time)"
  mkdir -p "$prefix"
  if [ -x /usr/lib/wine/wineserver64 ]; then export WINESERVER=/usr/lib/wine/wineserver64; fi
  WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d" \
    wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" wineserver -w || true
  if [ ! -f "$prefix/system.reg" ]; then
    echo "bootstrap: Wine could not create its prefix in $prefix" >&2
    exit 1
  fi
  touch "$prefix/.ready"
}

# The locales whose code pages the whole-process tests run under (Wine takes
# the ANSI code page from the locale: 936, 950, 932, and 65001 for hi_IN,
# which has none of its own). Compiled into the dependencies folder, used
# through LOCPATH, so that the machine's own locales stay as they are.
prepare_locales() {
  local dir="$DEPS/locale" name
  mkdir -p "$dir"
  for name in zh_CN zh_TW ja_JP hi_IN; do
    if [ ! -d "$dir/$name.UTF-8" ]; then
      log "compiling the locale $name.UTF-8"
      localedef -i "$name" -f UTF-8 "$dir/$name.UTF-8" ||
        { echo "bootstrap: cannot compile the locale $name.UTF-8" >&2; exit 1; }
    fi
  done
}

install_packages
prepare_locales
enable_i386_execution
fetch_sources
fetch_wine_tests
build_windows_deps
prepare_wine_prefix
log "ready: toolchain, Wine, zlib $ZLIB_VERSION and zstd $ZSTD_VERSION in $DEPS"
