#!/usr/bin/env bash
# Wine's own conformance tests of the file functions (kernel32's and
# ntdll's), run in a game directory on Z: without the patch and then with it
# started (loaded and its GameEntry called before the first check). Every check that fails with the
# patch and passes on the bare system is a fault of the patch: paths outside
# the archives, including those on other drives, must reach the system
# untouched, with its answers and last errors. Checks that fail on the bare
# system too are Wine's own and not counted.
#   conformance_test.sh BUILD_DIR
set -uo pipefail
B="$1"
RUN="$B/wine-run.sh"
XP3="$B/tools/xp3/xp3.exe"
PROGRAMS=(kernel32_file ntdll_file)
for p in "${PROGRAMS[@]}"; do
  if [ ! -f "$B/tests/conformance/$p.exe" ]; then
    echo "FAIL: $p.exe was not built: Wine's conformance test sources are missing;" \
      "run scripts/bootstrap.sh, then configure the build again"
    exit 1
  fi
done
WORK="$(mktemp -d /tmp/conformance-test.XXXXXX)"
trap '[ -n "${KEEP_WORK:-}" ] || { chmod -R u+w "$WORK"; rm -rf "$WORK"; }' EXIT
failures=0

# The archives give the overlay something to serve in the game directory, so
# that its redirections are live while the checks run.
mkdir -p "$WORK/src/patch/data" "$WORK/empty" "$WORK/game"
printf 'translated text\n' >"$WORK/src/patch/data/readme.txt"
cp "$B/startup/patch.dll" "$WORK/game/patch.dll"
(cd "$WORK" &&
  "$RUN" "$XP3" pack src/patch -o game/patch.xp3 >/dev/null &&
  "$RUN" "$XP3" pack empty -o game/images.xp3 --allow-empty >/dev/null) ||
  { echo "FAIL: packing the test archives"; exit 1; }

# run OUTPUT PROGRAM [patch]: one run in the game directory; OUTPUT gets the
# whole output, OUTPUT.failed the failing checks as "file.c:LINE: message".
run() {
  local out="$1" program="$2" dll=""
  if [ "${3:-}" = patch ]; then dll='Z:'"$(echo "$WORK/game/patch.dll" | tr / '\\')"; fi
  cp "$B/tests/conformance/$program.exe" "$WORK/game/$program.exe"
  (cd "$WORK/game" && XP3PATCH_CONFORMANCE_DLL="$dll" timeout 120 "$RUN" "$program.exe" file \
    >"$out.raw" 2>&1; echo "exit $?" >>"$out.raw")
  tr -d '\r' <"$out.raw" >"$out"
  grep -E '^[^ :]+\.c:[0-9]+: Test (failed|succeeded inside todo block)' "$out" | sort -u >"$out.failed"
}
# whole OUTPUT NAME: the run reached its end (a crash or hang would hide
# every check after it), and a patched run really had the patch started.
whole() {
  if ! grep -qE '^[0-9a-f]+:file: [0-9]+ tests executed' "$1"; then
    failures=$((failures + 1)); echo "FAIL: $2: the run did not reach its end"; tail -n 20 "$1"
    return 1
  fi
}

for p in "${PROGRAMS[@]}"; do
  run "$WORK/$p-plain.out" "$p"
  run "$WORK/$p-patched.out" "$p" patch
  whole "$WORK/$p-plain.out" "$p without the patch" || continue
  whole "$WORK/$p-patched.out" "$p with the patch" || continue
  if ! grep -qx 'conformance: patch started' "$WORK/$p-patched.out"; then
    failures=$((failures + 1)); echo "FAIL: $p: the patch was not started"
    grep '^conformance:' "$WORK/$p-patched.out"; continue
  fi
  comm -13 "$WORK/$p-plain.out.failed" "$WORK/$p-patched.out.failed" >"$WORK/$p-only.txt"
  # A few checks depend on timing, or print names made from the clock (the
  # temporary files' names), so one run of a side can fail a check, or word
  # its failure, by chance. A check that fails only with the patch is
  # therefore confirmed by a second run of each side before it is reported:
  # it counts when the second patched run fails at the same source line too
  # (its message may name another temporary file) and neither bare run
  # failed at that line.
  if [ -s "$WORK/$p-only.txt" ]; then
    run "$WORK/$p-patched2.out" "$p" patch
    run "$WORK/$p-plain2.out" "$p"
    lines() { cut -d: -f1,2 "$@" | sort -u; }
    lines "$WORK/$p-patched2.out.failed" >"$WORK/$p-patched2.lines"
    lines "$WORK/$p-plain.out.failed" "$WORK/$p-plain2.out.failed" >"$WORK/$p-plain.lines"
    awk -F: 'FILENAME == ARGV[1] { again[$1 ":" $2] = 1; next }
             FILENAME == ARGV[2] { bare[$1 ":" $2] = 1; next }
             (($1 ":" $2) in again) && !(($1 ":" $2) in bare)' \
      "$WORK/$p-patched2.lines" "$WORK/$p-plain.lines" "$WORK/$p-only.txt" >"$WORK/$p-confirmed.txt"
    mv "$WORK/$p-confirmed.txt" "$WORK/$p-only.txt"
  fi
  if [ -s "$WORK/$p-only.txt" ]; then
    failures=$((failures + 1))
    echo "FAIL: $p: $(wc -l <"$WORK/$p-only.txt") checks fail only with the patch:"
    cat "$WORK/$p-only.txt"
  else
    echo "ok: $p: no check fails only with the patch" \
      "($(grep -oE '[0-9]+ tests executed' "$WORK/$p-patched.out"); $(wc -l <"$WORK/$p-plain.out.failed")" \
      "fail without the patch as well: Wine's own)"
  fi
done
echo "$failures failed"
[ "$failures" -eq 0 ]
