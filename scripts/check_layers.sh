#!/usr/bin/env bash
# Fails, naming the file and the include, when a non-test source of a layer
# includes a header of a layer it may not use. The layers, bottom up:
#   platform/                  the platform seam and text conversions
#   archive/                   on platform/
#   overlay/                   on archive/ and platform/
#   startup/                   on everything below, and on hooking/ and crash/
#   hooking/, crash/           beside archive/, on platform/ only
#   dropin/                    the drop-in loaders, on platform/ only
# tools/, tests/ and bench/ sit on top and may include any layer. Tests and
# test helpers (names ending in _test or starting with test_, and the child
# programs and assembly targets of tests) may include what they exercise.
set -euo pipefail
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: bash scripts/check_layers.sh

Fails, naming the file and the include, when a source of a layer includes a
header of a layer it may not use (see "Layout" in README.md).
USAGE
    exit 0 ;;
esac
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

allowed_for() {
  case "$1" in
    platform) echo "platform" ;;
    archive) echo "platform archive" ;;
    overlay) echo "platform archive overlay" ;;
    hooking) echo "platform hooking" ;;
    crash) echo "platform crash" ;;
    startup) echo "platform archive overlay hooking crash startup" ;;
    dropin) echo "platform dropin" ;;
  esac
}

is_test_file() {
  local base
  base="$(basename "$1")"
  base="${base%.*}"
  case "$base" in
    *_test | test_* | *_test_* | *_test_child | *_test_targets | *_samples) return 0 ;;
  esac
  return 1
}

status=0
for layer in platform archive overlay hooking crash startup dropin; do
  allowed="$(allowed_for "$layer")"
  while IFS= read -r -d '' file; do
    if is_test_file "$file"; then continue; fi
    while IFS= read -r line; do
      include="${line#*\"}"
      include="${include%%\"*}"
      top="${include%%/*}"
      if [ "$top" = "$include" ]; then continue; fi  # a header without a directory
      case " $allowed " in
        *" $top "*) ;;
        *)
          echo "layer check: $file includes \"$include\": $layer/ may use only: $allowed" >&2
          status=1
          ;;
      esac
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
  done < <(find "$layer" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.S' \) -print0)
done

if [ "$status" -eq 0 ]; then echo "layer check: every include stays within its layer"; fi
exit "$status"
