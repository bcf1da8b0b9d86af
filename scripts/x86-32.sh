# Sourced by the scripts: whether this machine runs 32-bit Windows programs
# under Wine natively, and so which road the scenarios take.
#
# Some kernels are booted without IA-32 emulation, and some mirrors cannot
# give Wine's 32-bit half. There the end-to-end scenarios run the x86_64
# build of the same stub and driver (win64 preset) under 64-bit Wine and the
# i686 stub runs in the emulated lane (scripts/lane32.sh); where the kernel
# runs no 32-bit code, the 32-bit host build (-m32) also runs under qemu's
# user-mode emulation.

# Exits 0 when the kernel runs 32-bit x86 code; compiles the probe once per
# checkout. SFX_KERNEL_X86_32=1 or 0 states the answer instead, to try the
# roads of the other kind of machine (with a mirror that hides i386, say).
sfx_probe_kernel_x86_32() {
  local root probe
  [ -z "${SFX_KERNEL_X86_32:-}" ] || { [ "$SFX_KERNEL_X86_32" = 1 ]; return; }
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  probe="$root/build/x86-32-probe"
  [ "$(uname -m)" = x86_64 ] || return 0
  mkdir -p "$root/build"
  # Not position-independent: the far call pushes a 32-bit return address.
  if [ ! -x "$probe" ] || [ "$root/scripts/x86-32-probe.c" -nt "$probe" ]; then
    cc -O1 -no-pie -o "$probe" "$root/scripts/x86-32-probe.c" || return 0
  fi
  "$probe"
}

# Sets SFX_RUNS_X86_32 to 1 or 0, and SFX_X86_32_WHY to the reason for 0.
# SFX_X86_32=0 takes the roads of a machine without 32-bit code on one that
# has it (to try them); 1 trusts that 32-bit code runs.
sfx_probe_x86_32() {
  SFX_X86_32_WHY=""
  if [ -n "${SFX_X86_32:-}" ]; then
    SFX_RUNS_X86_32=$SFX_X86_32
    [ "$SFX_RUNS_X86_32" = 1 ] || SFX_X86_32_WHY="SFX_X86_32=0 chose the road without 32-bit code"
    return 0
  fi
  SFX_RUNS_X86_32=1
  if ! sfx_probe_kernel_x86_32; then
    SFX_RUNS_X86_32=0
    SFX_X86_32_WHY="this machine runs no 32-bit x86 code"
  elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    SFX_RUNS_X86_32=0
    SFX_X86_32_WHY="Wine's 32-bit half is not installed here"
  fi
}

# The end-to-end build: win32 where 32-bit code runs, win64 elsewhere.
sfx_e2e_preset() {
  if [ "${SFX_RUNS_X86_32:-1}" = 1 ]; then echo win32; else echo win64; fi
}
