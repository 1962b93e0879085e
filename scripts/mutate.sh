#!/usr/bin/env bash
# Mutation testing of the portable layers (archive/, the portable part of
# overlay/, platform/): applies each mutant of scripts/mutants.txt on its
# own, rebuilds the native tests incrementally, runs them, and prints the
# mutant's verdict; at the end the score, killed mutants over all that were
# run (equivalent ones, marked in the list with the reason, are not run).
# Not part of the test command: a full run takes a while.
#
#   bash scripts/mutate.sh [--check] [ID...]
#
# --check only verifies that every mutant still applies (its text occurs
# exactly once). IDs run those mutants alone. MUTATE_BUILD (default
# build/mutate) is the build directory; MUTATE_SANITIZE=OFF builds without
# the sanitizers (faster, but memory faults then go unseen);
# MUTATE_TIMEOUT (default 300) bounds each test program that sets no bound
# of its own (the tests that could loop end themselves sooner), so that a
# mutant that makes a read loop forever counts as caught.
# The source file of a mutant is restored after it, also when the run is
# interrupted.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
LIST="$ROOT/scripts/mutants.txt"
BUILD="${MUTATE_BUILD:-build/mutate}"
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
TIMEOUT="${MUTATE_TIMEOUT:-300}"
TARGETS=(platform_test overlay_text_test archive_test archive_fault_test
         xp3_archive_fuzzer_replay segment_fuzzer_replay path_key_fuzzer_replay)
TESTS_REGEX='^(platform_test|overlay_text_test|archive_test|archive_fault_test|xp3_archive_fuzzer_replay|segment_fuzzer_replay|path_key_fuzzer_replay)$'

case "${1:-}" in
  -h | --help)
    echo "usage: bash scripts/mutate.sh [--check] [ID...]"
    echo "  applies each mutant of scripts/mutants.txt alone, runs the native tests, prints"
    echo "  each verdict and the score; --check only verifies that every mutant applies"
    exit 0
    ;;
esac
check_only=0
if [ "${1:-}" = "--check" ]; then
  check_only=1
  shift
fi
wanted=("$@")

# The list, one mutant per record: parallel arrays.
ids=() files=() froms=() tos=() whys=() equivalents=()
load_list() {
  local id="" file="" from="" to="" why="" equivalent="" line
  flush() {
    if [ -n "$id" ]; then
      ids+=("$id") files+=("$file") froms+=("$from") tos+=("$to") whys+=("$why")
      equivalents+=("$equivalent")
    fi
    id="" file="" from="" to="" why="" equivalent=""
  }
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      "id: "*) flush; id="${line#id: }" ;;
      "file: "*) file="${line#file: }" ;;
      "from: "*) from="${line#from: }" ;;
      "to: "*) to="${line#to: }" ;;
      "why: "*) why="${line#why: }" ;;
      "equivalent: "*) equivalent="${line#equivalent: }" ;;
    esac
  done <"$LIST"
  flush
}

# \n in a pattern stands for a line break.
expand_breaks() {
  local text="$1"
  printf '%s' "${text//\\n/$'\n'}"
}

occurrences() {  # TEXT FILE-CONTENT
  local text="$1" content="$2" rest
  rest="${content//"$text"/}"
  echo $(( (${#content} - ${#rest}) / ${#text} ))
}

read_file() { IFS= read -r -d '' "$1" <"$2" || true; }

load_list
selected() {
  local id="$1" w
  [ "${#wanted[@]}" -eq 0 ] && return 0
  for w in "${wanted[@]}"; do [ "$w" = "$id" ] && return 0; done
  return 1
}

stale=0
for i in "${!ids[@]}"; do
  selected "${ids[$i]}" || continue
  if [ ! -f "${files[$i]}" ]; then
    echo "STALE ${ids[$i]}: no file ${files[$i]}"
    stale=$((stale + 1))
    continue
  fi
  read_file content "${files[$i]}"
  from="$(expand_breaks "${froms[$i]}")"
  n="$(occurrences "$from" "$content")"
  if [ "$n" != 1 ]; then
    echo "STALE ${ids[$i]}: its text occurs $n times in ${files[$i]}"
    stale=$((stale + 1))
  fi
done
if [ "$stale" -gt 0 ]; then
  echo "$stale mutants no longer apply; mend scripts/mutants.txt"
  exit 1
fi
echo "${#ids[@]} mutants in the list, all apply"
[ "$check_only" = 1 ] && exit 0

DEPS="${XP3PATCH_DEPS:-$ROOT/.deps}"
if [ ! -d "$DEPS/src/zlib-1.3.1" ] || [ ! -d "$DEPS/src/zstd-1.5.7" ]; then
  bash scripts/bootstrap.sh
fi
cmake -S . -B "$BUILD" -G Ninja -DXP3PATCH_NATIVE=ON -DXP3PATCH_DEPS="$DEPS" \
  -DXP3PATCH_SANITIZE="${MUTATE_SANITIZE:-ON}" >/dev/null

build() { cmake --build "$BUILD" -j "${JOBS:-2}" --target "${TARGETS[@]}" >"$BUILD/mutate-build.log" 2>&1; }
# Runs the tests, stopping at the first failure; prints the failed test.
run_tests() {
  local out="$BUILD/mutate-ctest.log"
  if (cd "$BUILD" && ctest -R "$TESTS_REGEX" --stop-on-failure --timeout "$TIMEOUT" \
        --output-on-failure >"$out" 2>&1); then
    return 0
  fi
  # The program, and the first of its tests that failed (or how it ended).
  local program test
  program="$(grep -E '\*\*\*(Failed|Timeout|Exception)' "$out" | sed -n 1p |
             sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*\*\*\*([A-Za-z]+).*/\1 (\2)/')"
  test="$(grep -E '^\[  FAILED  \] [A-Za-z0-9_/.]+' "$out" | sed -n 1p | sed -E 's/^\[  FAILED  \] ([^ ]+).*/\1/')"
  if [ -z "$test" ]; then
    test="$(grep -m1 -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error' "$out" | cut -c1-80)"
  fi
  if [ -z "$test" ]; then
    # A program that ended itself (or was ended) inside a test.
    test="$(grep -E '^\[ RUN      \] ' "$out" | tail -1 | sed -E 's/^\[ RUN      \] //')"
  fi
  echo "${program:-a failing test}${test:+: $test}"
  return 1
}

echo "== the sound code: build and tests must pass"
build || { echo "the sound code does not build; see $BUILD/mutate-build.log"; exit 1; }
run_tests >/dev/null || { echo "the tests fail on the sound code; see $BUILD/mutate-ctest.log"; exit 1; }

restore_file="" restore_content=""
restore() {
  if [ -n "$restore_file" ]; then
    printf '%s' "$restore_content" >"$restore_file"
    restore_file=""
  fi
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

killed=0 survived=0 equivalent=0 broken=0 run=0
survivors=()
for i in "${!ids[@]}"; do
  id="${ids[$i]}"
  selected "$id" || continue
  if [ -n "${equivalents[$i]}" ]; then
    printf '%-40s equivalent: %s\n' "$id" "${equivalents[$i]}"
    equivalent=$((equivalent + 1))
    continue
  fi
  file="${files[$i]}"
  read_file content "$file"
  from="$(expand_breaks "${froms[$i]}")"
  to="$(expand_breaks "${tos[$i]}")"
  restore_file="$file"
  restore_content="$content"
  printf '%s' "${content/"$from"/"$to"}" >"$file"
  run=$((run + 1))
  if ! build; then
    printf '%-40s DOES NOT BUILD (mend the list; not counted)\n' "$id"
    broken=$((broken + 1))
    restore
    continue
  fi
  if by="$(run_tests)"; then
    printf '%-40s SURVIVED: %s\n' "$id" "${whys[$i]}"
    survived=$((survived + 1))
    survivors+=("$id")
  else
    printf '%-40s killed by %s\n' "$id" "${by:-a failing test}"
    killed=$((killed + 1))
  fi
  restore
done
# Leave the build matching the sound sources.
build || true

counted=$((killed + survived))
echo
echo "mutants: $((counted + equivalent + broken)), killed: $killed, survived: $survived, equivalent (not run): $equivalent, not building: $broken"
if [ "$counted" -gt 0 ]; then
  echo "score: $killed/$counted = $((100 * killed / counted))% of the non-equivalent mutants"
fi
[ "${#survivors[@]}" -gt 0 ] && echo "survivors: ${survivors[*]}"
exit 0
