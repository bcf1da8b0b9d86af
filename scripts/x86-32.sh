# Sourced by the scripts: whether this machine runs 32-bit x86 code natively.
#
# Some kernels are booted without IA-32 emulation. There neither the 32-bit
# host build (-m32) nor 32-bit Windows programs under Wine run natively, and
# the scripts take another road for each: the 32-bit unit tests run under
# qemu's user-mode emulation, and the end-to-end scenarios run the x86_64
# build of the same stub and driver (win64 preset) under 64-bit Wine.

# Sets SFX_RUNS_X86_32 to 1 or 0; compiles the probe once per checkout.
sfx_probe_x86_32() {
  local root probe
  # SFX_X86_32=0 takes the roads of a machine without 32-bit code on one that
  # has it (to try them); 1 trusts that 32-bit code runs.
  if [ -n "${SFX_X86_32:-}" ]; then
    SFX_RUNS_X86_32=$SFX_X86_32
    return 0
  fi
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  probe="$root/build/x86-32-probe"
  SFX_RUNS_X86_32=1
  [ "$(uname -m)" = x86_64 ] || return 0
  mkdir -p "$root/build"
  # Not position-independent: the far call pushes a 32-bit return address.
  if [ ! -x "$probe" ] || [ "$root/scripts/x86-32-probe.c" -nt "$probe" ]; then
    cc -O1 -no-pie -o "$probe" "$root/scripts/x86-32-probe.c" || return 0
  fi
  "$probe" || SFX_RUNS_X86_32=0
}

# The end-to-end build: win32 where 32-bit code runs, win64 elsewhere.
sfx_e2e_preset() {
  if [ "${SFX_RUNS_X86_32:-1}" = 1 ]; then echo win32; else echo win64; fi
}
