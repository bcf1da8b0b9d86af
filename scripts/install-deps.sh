#!/usr/bin/env bash
# Installs what the builds and the tests need on a Debian machine; with
# --demo, only what the demo needs (the builder, the stub and Wine to run it).
# Safe to run again: it installs only what is missing and says what it could
# not get.
#
# Mirrors fail: an index that apt-get update cannot fetch is named once and
# left out, and what can then be installed decides. Where this machine runs
# 32-bit code but Wine's 32-bit half cannot be installed, the road of a
# machine without 32-bit code is taken (see x86-32.sh); SFX_X86_32=1 or 0
# forces a road.
set -euo pipefail
cd "$(dirname "$0")/.."
demo=0
[ "${1:-}" = --demo ] && demo=1

say() { echo "install-deps: $*" >&2; }

# The demo: the builder, the stub, Wine on a virtual screen, the Japanese
# locale and the runner. The tests add GoogleTest and Google Benchmark, clang
# for fuzzing, a 32-bit host compiler, fonts and ImageMagick (screenshots),
# osslsigncode and openssl (signing), GNU time, help2man (the manual page),
# dpkg-dev and lintian (the release packages).
base=(cmake g++ make ninja-build wine xvfb xauth locales python3)
[ $demo = 1 ] || base+=(libgtest-dev libbenchmark-dev clang libclang-rt-14-dev x11-utils
                        fonts-ipafont-gothic imagemagick g++-multilib osslsigncode openssl
                        time help2man dpkg-dev lintian)
# With 32-bit code, the i686 compilers and Wine's 32-bit half run the stub
# users get; without it, the x86_64 compilers and 64-bit Wine run the same
# sources, and the tests add qemu's user-mode emulation for the -m32 tests and
# the emulated machine of the i686 lane (scripts/lane32.sh), which still needs
# the i686 compilers.
i686=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
road_pkgs() {
  if [ "$1" = 1 ]; then
    echo "${i686[@]}" wine32:i386
  else
    echo g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
    [ $demo = 1 ] || echo "${i686[@]}" qemu-user-static qemu-system-x86 debootstrap e2fsprogs
  fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing_of() {
  local p
  for p in "$@"; do installed "$p" || echo "$p"; done
}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then sudo_cmd=(sudo); fi
can_install() { [ "$(id -u)" -eq 0 ] || [ ${#sudo_cmd[@]} -gt 0 ]; }

. scripts/x86-32.sh
# The kernel's answer; a fresh machine has no compiler for the probe yet, and
# then the 32-bit road is tried and the probe asked again at the end.
if [ -n "${SFX_X86_32:-}" ]; then road=$SFX_X86_32; forced=1; else
  forced=0; road=1
  command -v cc >/dev/null 2>&1 && { sfx_probe_kernel_x86_32 || road=0; }
fi
# Where Wine's 32-bit half could not be installed, the next runs do not ask
# the mirror again (a minute lost each time); removing the file asks again.
unavailable=build/wine32-unavailable
if [ "$road" = 1 ] && [ $forced = 0 ] && [ -f $unavailable ] && ! installed wine32:i386; then
  say "Wine's 32-bit half could not be installed before ($unavailable says why; remove it to try again): the road without 32-bit code"
  road=0
fi

export DEBIAN_FRONTEND=noninteractive
# apt-get update, going on past the indexes it cannot fetch: each is named once.
update() {
  local log
  log=$(mktemp)
  if ! "${sudo_cmd[@]}" apt-get update -q -o Acquire::Retries=3 >"$log" 2>&1; then
    grep -E '^(E|W): ' "$log" | sed 's/^/install-deps: apt-get update: /' | sort -u >&2 || true
    say "going on without the indexes above; what can be installed now decides"
  fi
  rm -f "$log"
}

# apt-get install; on failure the reason apt gave is in $apt_reason.
apt_reason=""
apt_install() {
  local log rc
  log=$(mktemp)
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  if [ "$rc" -ne 0 ]; then
    apt_reason=$(grep -E '^(E: |  *Depends:| [^ ].*: Depends:)' "$log" | head -n 12)
    [ -n "$apt_reason" ] || apt_reason=$(tail -n 12 "$log")
  fi
  rm -f "$log"
  return $rc
}

mapfile -t missing < <(missing_of "${base[@]}" $(road_pkgs "$road"))
if [ ${#missing[@]} -gt 0 ]; then
  can_install || { say "not root and no sudo; missing packages: ${missing[*]}"; exit 1; }
  say "installing ${missing[*]}"
  if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  update
  if ! apt_install "${missing[@]}"; then
    if [ "$road" = 1 ] && [ $forced = 0 ]; then
      # Mostly the mirror's i386 index: Wine's 32-bit half needs the same
      # versions as its 64-bit half, from the same indexes.
      echo "install-deps: Wine's 32-bit half cannot be installed here, so the demo and the tests take the road of a machine without 32-bit code (x86_64 build under 64-bit Wine, the i686 set in the emulated lane); SFX_X86_32=1 forces the 32-bit road. apt said:" >&2
      printf '%s\n' "$apt_reason" | sed 's/^/  /' >&2
      mkdir -p build && printf '%s\n' "$apt_reason" >$unavailable
      road=0
      mapfile -t missing < <(missing_of "${base[@]}" $(road_pkgs 0))
      if [ ${#missing[@]} -gt 0 ] && ! apt_install "${missing[@]}"; then
        say "apt-get could not install: ${missing[*]}"
        printf '%s\n' "$apt_reason" | sed 's/^/  /' >&2
        exit 1
      fi
    else
      say "apt-get could not install: ${missing[*]}"
      printf '%s\n' "$apt_reason" | sed 's/^/  /' >&2
      [ "$road" = 1 ] && [ $forced = 1 ] && say "SFX_X86_32=1 forced the 32-bit road; without it the other road is taken"
      exit 1
    fi
  fi
fi

# The end-to-end tests run the stub in a Japanese locale (ANSI code page 932).
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  say "generating the ja_JP.UTF-8 locale"
  if [ -f /etc/locale.gen ]; then
    "${sudo_cmd[@]}" sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
    "${sudo_cmd[@]}" locale-gen
  else
    "${sudo_cmd[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
  fi
fi
locale -a | grep -qix 'ja_JP.utf8' || { say "the ja_JP.UTF-8 locale is missing"; exit 1; }

# A fresh machine compiles the probe only now that cc exists: where it says
# no 32-bit code, the other road's packages are still to be installed.
if [ $forced = 0 ] && [ "$road" = 1 ] && ! sfx_probe_kernel_x86_32; then
  SFX_X86_32=0 exec "$0" "$@"
fi
say "everything is installed"
