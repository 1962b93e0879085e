#!/usr/bin/env bash
# Fails, naming the file and line, when a script run under "pipefail" pipes
# into a reader that may stop before its input ends ("grep -q", "grep -l",
# "grep -m", "head"). The writer is then cut off with SIGPIPE whenever it has
# more to write, and the pipeline fails or passes by chance: a check that
# fails one run in many. Search a file, or read everything ("sed -n 1p").
set -euo pipefail
case "${1:-}" in
  -h|--help)
    cat <<'USAGE'
usage: bash scripts/check_pipes.sh

Fails, naming the file and line, when a script run under pipefail pipes into
a reader that may stop early (grep -q, grep -l, grep -m, head).
USAGE
    exit 0 ;;
esac
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

early='(^|[^|])\|[[:space:]]*(head([[:space:]]|$)|grep([[:space:]]+-[^[:space:]]+)*[[:space:]]+-[A-Za-z]*[qlm])'
status=0
while IFS= read -r -d '' file; do
  grep -q 'pipefail' "$file" || continue
  while IFS= read -r hit; do
    echo "pipe check: $file:$hit: a reader that stops early under pipefail" >&2
    status=1
  done < <(grep -nE "$early" "$file" | grep -vE '^[0-9]+:[[:space:]]*#' || true)
done < <(find scripts tests cmake .ci -type f \( -name '*.sh' -o -name '*.sh.in' -o -name run \) -print0)

if [ "$status" -eq 0 ]; then echo "pipe check: no pipe under pipefail ends in a reader that stops early"; fi
exit "$status"
