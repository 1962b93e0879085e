#!/bin/bash
# `xp3 check` over generated trees: a game directory and two translation
# trees packed in mount order, plus a hand-made archive holding a name the
# game can never ask for. Checks the lines, the JSON document and the exit
# codes.
#
# usage: xp3_check_test.sh XP3_PROGRAM [RUNNER]
set -u
xp3=$1
runner=${2:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/xp3_check.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
arg() { if [ -n "$runner" ]; then local p=${1//\//\\}; echo "Z:$p"; else echo "$1"; fi; }
run() {
  if [ -n "$runner" ]; then "$runner" "$xp3" "$@" >"$work/out.txt" 2>"$work/err.txt" </dev/null
  else "$xp3" "$@" >"$work/out.txt" 2>"$work/err.txt" </dev/null; fi
  rc=$?
  sed -i 's/\r$//' "$work/out.txt" "$work/err.txt"
}
expect_line() {  # what pattern
  grep -Eq -- "$2" "$work/out.txt" || { fail "$1: no line matching $2"; sed 's/^/  /' "$work/out.txt" >&2; }
}

mkdir -p "$work/game/Scenario" "$work/game/system" "$work/patch/scenario" "$work/patch/bg" \
         "$work/images/bg"
printf '%0100d' 0 >"$work/game/Scenario/Ch1.txt"
printf 'x=1\n' >"$work/game/system/config.ini"
printf '%0120d' 0 >"$work/patch/scenario/ch1.txt"   # replaces, spelled in other letter case
printf 'new' >"$work/patch/scenario/ch2.txt"        # adds
printf 'old title' >"$work/patch/bg/title.png"      # hidden by images.xp3
printf 'x=2\n' >"$work/patch/system_config.txt"
mkdir -p "$work/patch/system" && printf 'x=2\n' >"$work/patch/system/config.ini"  # replaces
printf 'new title' >"$work/images/bg/title.png"
printf 'other' >"$work/images/bg/TITLE2.png"
run pack "$(arg "$work/patch")" -o "$(arg "$work/patch.xp3")" --compress zlib
[ "$rc" = 0 ] || fail "pack patch: $(cat "$work/err.txt")"

# The set of archives the game mounts: without images.xp3 anywhere the game
# stops at start-up; one in the game directory that is not given changes
# what the game sees. Warnings leave the exit code alone.
expect_warning() {  # what pattern
  grep -Eq -- "^xp3 check: warning: $2" "$work/err.txt" ||
    { fail "$1: no warning matching $2"; sed 's/^/  err: /' "$work/err.txt" >&2; }
}
run check "$(arg "$work/game")" "$(arg "$work/patch.xp3")"
[ "$rc" = 0 ] || fail "check without images.xp3: exit $rc, expected 0"
expect_warning "no images.xp3 at all" 'no images\.xp3 was given, and the game directory has none: the game stops at start-up'
run pack "$(arg "$work/images")" -o "$(arg "$work/game/images.xp3")" --compress none
[ "$rc" = 0 ] || fail "pack images: $(cat "$work/err.txt")"
run check "$(arg "$work/game")" "$(arg "$work/patch.xp3")"
expect_warning "images.xp3 in the game directory, not given" 'images\.xp3 was not given, but the game directory holds one \(.*game.images\.xp3\)'
cp "$work/game/images.xp3" "$work/images.xp3"
run check "$(arg "$work/game")" "$(arg "$work/patch.xp3")" "$(arg "$work/images.xp3")" "$(arg "$work/patch.xp3")"
expect_warning "an archive given twice" '.*patch\.xp3 is given more than once'
run pack "$(arg "$work/images")" -o "$(arg "$work/patch_tw.xp3")" --compress none
run check "$(arg "$work/game")" "$(arg "$work/patch.xp3")" "$(arg "$work/game/images.xp3")"
[ "$rc" = 0 ] || fail "check with a _tw variant not given: exit $rc, expected 0"
expect_warning "the _tw variant beside the first archive" '.*patch_tw\.xp3 exists but was not given: when CHS_TW is 1'
[ "$(wc -l <"$work/err.txt")" = 1 ] || fail "more than one warning: $(cat "$work/err.txt")"
run check "$(arg "$work/game")" "$(arg "$work/patch.xp3")" "$(arg "$work/game/images.xp3")" "$(arg "$work/patch_tw.xp3")"
[ -s "$work/err.txt" ] && fail "check of the set the game mounts warned: $(cat "$work/err.txt")"
rm "$work/patch_tw.xp3"

run check "$(arg "$work/game")" "$(arg "$work/patch.xp3")" "$(arg "$work/game/images.xp3")"
[ "$rc" = 0 ] || fail "check of reachable archives: exit $rc"
expect_line "replacing entry with both sizes" '^replaces +.*patch\.xp3: scenario/ch1\.txt \(game 100 bytes, archive 120 bytes\)$'
expect_line "letter case differs" '^  \(case\) +the game file is spelled Scenario/Ch1\.txt$'
expect_line "replacing entry, same spelling" '^replaces +.*patch\.xp3: system/config\.ini \(game 4 bytes, archive 4 bytes\)$'
expect_line "added entry" '^adds +.*patch\.xp3: scenario/ch2\.txt \(3 bytes\)$'
expect_line "hidden entry" '^hidden +.*patch\.xp3: bg/title\.png \(by .*images\.xp3\)$'
expect_line "summary" '^7 entries in 2 archives: 2 replace game files, 4 add files, 1 hidden, 0 unreachable, 1 differs from the game file in letter case only$'
[ -s "$work/err.txt" ] && fail "check wrote to stderr: $(cat "$work/err.txt")"

# An archive whose entries are ../up.txt and README.TXT (stored index, made
# by hand), mounted last: one name climbs out, the other shadows a name
# spelled differently.
u64() { local v=$1 i; for i in 0 1 2 3 4 5 6 7; do printf "\\x$(printf %02x $(((v >> (8 * i)) & 255)))"; done; }
u32() { local v=$1 i; for i in 0 1 2 3; do printf "\\x$(printf %02x $(((v >> (8 * i)) & 255)))"; done; }
file_chunk() {  # name (ASCII)
  local name=$1 n=${#1} wide="" i
  for ((i = 0; i < n; i++)); do wide+="${name:i:1}\\x00"; done
  printf 'File'; u64 $((12 + 22 + 2 * n + 12 + 28 + 12 + 4))
  printf 'info'; u64 $((22 + 2 * n)); u32 0; u64 1; u64 1; u32 $n | head -c 2; printf "$wide"
  printf 'segm'; u64 28; u32 0; u64 19; u64 1; u64 1
  printf 'adlr'; u64 4; u32 $(((121 << 16) | 121))
}
{ file_chunk '../up.txt'; file_chunk 'BG/TITLE.PNG'; } >"$work/index.bin"
{
  printf 'XP3\r\n \n\x1a\x8b\x67\x01'; u64 20; printf 'x'
  printf '\x00'; u64 "$(stat -c %s "$work/index.bin")"; cat "$work/index.bin"
} >"$work/odd.xp3"
run check "$(arg "$work/game")" "$(arg "$work/patch.xp3")" "$(arg "$work/game/images.xp3")" \
  "$(arg "$work/odd.xp3")"
[ "$rc" = 1 ] || fail "check with unreachable names: exit $rc, expected 1"
expect_warning "an archive the game never mounts" '.*odd\.xp3 is not an archive the game mounts: it mounts patch\.xp3, images\.xp3 and, when CHS_TW is 1, patch_tw\.xp3$'
expect_line "a '..' component" "^unreachable +.*odd\\.xp3: \\.\\./up\\.txt: a '\\.\\.' component$"
expect_line "case shadow" '^unreachable +.*images\.xp3: bg/title\.png: differs only in letter case from BG/TITLE\.PNG in .*odd\.xp3, which shadows it$'
expect_line "summary counts" '^9 entries in 3 archives: .* 3 unreachable,'

run check "$(arg "$work/game")" "$(arg "$work/patch.xp3")" "$(arg "$work/odd.xp3")" --json
[ "$rc" = 1 ] || fail "check --json: exit $rc, expected 1"
python3 - "$work/out.txt" <<'PY' || fail "check --json: $(cat "$work/out.txt")"
import json, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
entries = {(e["archive"].replace("\\", "/").split("/")[-1], e["name"]): e for e in doc["entries"]}
ch1 = entries[("patch.xp3", "scenario/ch1.txt")]
assert ch1["status"] == "replaces" and ch1["game_size"] == 100 and ch1["size"] == 120, ch1
assert ch1["case_differs"] is True and ch1["game_name"] == "Scenario/Ch1.txt", ch1
assert entries[("odd.xp3", "../up.txt")]["status"] == "unreachable"
hidden = entries[("patch.xp3", "bg/title.png")]
assert hidden["status"] == "unreachable" and hidden["shadowed_by"]["name"] == "BG/TITLE.PNG", hidden
assert doc["summary"] == {"entries": 7, "replaces": 2, "adds": 3, "hidden": 0,
                          "unreachable": 2, "case_differs": 1}, doc["summary"]
warnings = doc["warnings"]
assert len(warnings) == 2, warnings
assert "odd.xp3 is not an archive the game mounts" in warnings[0], warnings
assert warnings[1].startswith("images.xp3 was not given, but the game directory holds one"), warnings
PY

# Counts agree with their nouns.
mkdir -p "$work/one"
printf 'x' >"$work/one/only.txt"
run pack "$(arg "$work/one")" -o "$(arg "$work/one.xp3")"
run check "$(arg "$work/game")" "$(arg "$work/one.xp3")"
expect_line "singular counts" '^adds +.*one\.xp3: only\.txt \(1 byte\)$'
expect_line "one archive" '^1 entry in 1 archive: 0 replace game files, 1 adds a file, 0 hidden, 0 unreachable, 0 differ from'

# A loose folder (--dev-dir) over the archives: its files win over every
# archive; links that lead out of it, or to another of its names, are
# unreachable as the patch refuses them.
mkdir -p "$work/dev/scenario" "$work/outside"
printf 'loose' >"$work/dev/scenario/ch1.txt"          # over patch.xp3 and the game
printf 'ogg' >"$work/dev/voice.ogg"                   # adds
printf 'secret' >"$work/outside/secret.txt"
ln -s "$work/outside/secret.txt" "$work/dev/scenario/secret.txt"
ln -s "$work/outside" "$work/dev/linked"
ln -s ch1.txt "$work/dev/scenario/again.txt"
run check "$(arg "$work/game")" --dev-dir "$(arg "$work/dev")" "$(arg "$work/patch.xp3")" \
  "$(arg "$work/game/images.xp3")"
[ "$rc" = 1 ] || fail "check --dev-dir with links out: exit $rc, expected 1"
expect_line "the folder's file hides the archive's" '^hidden +.*patch\.xp3: scenario/ch1\.txt \(by .*dev\)$'
expect_line "the folder's file replaces the game's" '^replaces +.*dev: scenario/ch1\.txt \(game 100 bytes, loose 5 bytes\)$'
expect_line "the folder adds" '^adds +.*dev: voice\.ogg \(3 bytes\)$'
expect_line "a linked file outside" '^unreachable +.*dev: scenario/secret\.txt: a link that leads outside the loose folder \(to .*outside.secret\.txt\)'
expect_line "a linked directory outside" '^unreachable +.*dev: linked/: a link that leads outside the loose folder'
expect_line "a link to another name" '^unreachable +.*dev: scenario/again\.txt: a link to another name in the loose folder'
expect_line "summary" '^12 entries in 2 archives and a loose folder: 2 replace game files, 5 add files, 2 hidden, 3 unreachable,'
rm "$work/dev/scenario/secret.txt" "$work/dev/linked" "$work/dev/scenario/again.txt"
run check "$(arg "$work/game")" --dev-dir "$(arg "$work/dev")" --json
[ "$rc" = 0 ] || fail "check --dev-dir alone: exit $rc, expected 0"
python3 - "$work/out.txt" <<'PY' || fail "check --dev-dir --json: $(cat "$work/out.txt")"
import json, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
assert doc["archives"] == [] and doc["dev_dir"].replace("\\", "/").endswith("/dev"), doc
assert doc["warnings"] == [], doc["warnings"]
names = {e["name"]: e["status"] for e in doc["entries"]}
assert names == {"scenario/ch1.txt": "replaces", "voice.ogg": "adds"}, names
PY
run check "$(arg "$work/game")" --dev-dir "$(arg "$work/nothing")" "$(arg "$work/patch.xp3")"
[ "$rc" = 1 ] || fail "check --dev-dir of a missing folder: exit $rc, expected 1"
run check "$(arg "$work/game")" --dev-dir
[ "$rc" = 2 ] || fail "check --dev-dir without a folder: exit $rc, expected 2"

# Without archives it names the drop-in choices only.
run check "$(arg "$work/game")"
[ "$rc" = 0 ] || fail "check without archives: exit $rc, expected 0"
run check
[ "$rc" = 2 ] || fail "check without a game directory: exit $rc, expected 2"
run check "$(arg "$work/game")" "$(arg "$work/missing.xp3")"
[ "$rc" = 1 ] || fail "check of a missing archive: exit $rc, expected 1"
grep -q 'no such archive' "$work/err.txt" || fail "missing archive not named: $(cat "$work/err.txt")"

if [ "$failures" != 0 ]; then echo "$failures failure(s)" >&2; exit 1; fi
echo "xp3 check: all cases passed"
