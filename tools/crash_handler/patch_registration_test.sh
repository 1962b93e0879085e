#!/usr/bin/env bash
# The patch DLL registers with the crash handler inside DllMain, under the
# loader lock, so whatever the other end of the pipe does, loading the patch
# must end within the client's limits (2 s waiting for a busy pipe, 3 s for
# the answer) and the game must go on. A misbehaving handler is played by
# hostile_peer.
#   patch_registration_test.sh RUN PATCH_DLL SAMPLE_GAME HOSTILE_PEER
set -uo pipefail
RUN="$1"
WORK="$(mktemp -d /tmp/patch-registration-test.XXXXXX)"
PEERS=()
cleanup() {
  for pid in "${PEERS[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT
cp "$2" "$WORK/patch.dll"
cp "$3" "$WORK/game.exe"
cp "$4" "$WORK/hostile_peer.exe"
failures=0
passes=0

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# start_peer MODE PIPE MS: a misbehaving handler, until MS have passed or
# the test ends.
start_peer() {
  (cd "$WORK" && exec "$RUN" hostile_peer.exe "$1" "$2" "$3" >"$WORK/peer-$1.out" 2>&1) &
  PEERS+=($!)
  for _ in $(seq 1 200); do
    grep -q '^ready' "$WORK/peer-$1.out" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "FAIL: hostile_peer $1 did not start"; cat "$WORK/peer-$1.out"; failures=$((failures + 1))
}

# load_within NAME PIPE MIN_MS MAX_MS: loads the patch with the pipe announced
# and checks how long it took and that the game went on.
load_within() {
  local start end elapsed out="$WORK/$1.out"
  start=$(now_ms)
  (cd "$WORK" && CRASHPAD_PIPE_NAME="$2" "$RUN" game.exe load patch.dll echo went-on \
    >"$out.raw" 2>&1; echo "exit $?" >>"$out.raw")
  end=$(now_ms)
  tr -d '\r' <"$out.raw" >"$out"
  elapsed=$((end - start))
  echo "$1: the game's run took $elapsed ms"
  if grep -q '^load patch.dll: ok' "$out" && grep -q '^went-on$' "$out" && grep -q '^exit 0$' "$out"
  then passes=$((passes + 1))
  else failures=$((failures + 1)); echo "FAIL: $1: the game did not go on"; cat "$out"; fi
  if [ "$elapsed" -ge "$3" ] && [ "$elapsed" -lt "$4" ]; then passes=$((passes + 1)); else
    failures=$((failures + 1)); echo "FAIL: $1: took $elapsed ms, expected $3 to $4"; fi
}

BUSY='\\.\pipe\patch-registration-test-busy-'$$
start_peer serve-busy "$BUSY" 20000
# A process start takes up to a few seconds here; the limits are 2 s and 3 s.
load_within "busy pipe" "$BUSY" 2000 9000

MUTE='\\.\pipe\patch-registration-test-mute-'$$
start_peer serve-mute "$MUTE" 20000
load_within "silent handler" "$MUTE" 3000 10000

# Not a local pipe: refused at once, without touching the network.
load_within "remote name" '\\192.0.2.1\pipe\x' 0 6000

# The box of a failed registration is never shown under the loader lock: the
# log says at attach that it waits, and shows it when the game first calls
# its entry function (not at all in a process that never calls it).
deferred_box() {  # deferred_box NAME GAME_COMMANDS...
  local log="$WORK/$1.log"
  (cd "$WORK" && CRASHPAD_PIPE_NAME='\\192.0.2.1\pipe\x' \
    XP3PATCH_LOG="$(echo "Z:$log" | tr / '\\')" "$RUN" game.exe load patch.dll "${@:2}" \
    >"$WORK/$1.out" 2>&1)
  tr -d '\r' <"$log" >"$log.txt" 2>/dev/null
}
deferred_box box-entry entry
if grep -q 'attach: no crash handler accepted the registration; its message box is shown when' \
     "$WORK/box-entry.log.txt" &&
   [ "$(grep -n 'attach: no crash handler' "$WORK/box-entry.log.txt" | cut -d: -f1)" -lt \
     "$(grep -n 'showing the message box of the failed crash-handler registration' \
        "$WORK/box-entry.log.txt" | cut -d: -f1)" ]; then passes=$((passes + 1)); else
  failures=$((failures + 1)); echo "FAIL: the registration box is not put off until GameEntry"
  cat "$WORK/box-entry.log.txt"; fi
deferred_box box-no-entry echo no-entry
if grep -q 'attach: no crash handler' "$WORK/box-no-entry.log.txt" &&
   ! grep -q 'showing the message box' "$WORK/box-no-entry.log.txt"; then passes=$((passes + 1))
else failures=$((failures + 1)); echo "FAIL: the registration box was shown without GameEntry"
  cat "$WORK/box-no-entry.log.txt"; fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
