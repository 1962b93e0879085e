# Sourced by whole-process scripts that check a crash report's exception code.
#
# A write to address 0 is an access violation (0xC0000005) on Windows and
# under Wine on a processor that runs i386 code itself. Where the kernel runs
# i386 programs through qemu's user-mode emulator, Wine sees the fault as an
# illegal instruction (0xC000001D): the emulator does not pass the trap
# number on. The expected code is therefore asked of the machine, and the
# emulator's answer is accepted only where the emulator is really in use.

# True when i386 Linux programs (Wine's loader among them) run through qemu.
i386_is_emulated() {
  local entry=/proc/sys/fs/binfmt_misc/qemu-i386
  [ -r "$entry" ] && head -1 "$entry" | grep -qx enabled
}

# null_write_code BUILD_DIR: the code a crash report must name for a write to
# address 0, as "0xXXXXXXXX". Prints nothing and fails when the probe did not
# run, or when a machine that runs i386 code itself reports anything but an
# access violation.
null_write_code() {
  local probed
  probed="$("$1/wine-run.sh" "$1/crash/crash_test_child.exe" null-write-code 2>/dev/null |
    tr -d '\r' | tail -1)"
  if ! i386_is_emulated; then
    echo 0xC0000005
    return
  fi
  case "$probed" in
    0x[0-9A-F]*[0-9A-F]) echo "$probed" ;;
    *) return 1 ;;
  esac
}
