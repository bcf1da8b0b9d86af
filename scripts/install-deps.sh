#!/usr/bin/env bash
# Installs what the builds and the tests need on a Debian machine; with
# --demo, only what the demo needs (the builder, the stub and Wine to run it).
# Safe to run again: it installs only what is missing and says what it could
# not get.
set -euo pipefail
cd "$(dirname "$0")/.."
demo=0
[ "${1:-}" = --demo ] && demo=1

# The demo: the builder, the stub, Wine on a virtual screen, the Japanese
# locale and the runner. The tests add GoogleTest and Google Benchmark, clang
# for fuzzing, a 32-bit host compiler, fonts and ImageMagick (screenshots),
# osslsigncode and openssl (signing), GNU time, help2man (the manual page),
# dpkg-dev and lintian (the release packages).
need_pkgs=(cmake g++ make ninja-build wine xvfb xauth locales python3)
[ $demo = 1 ] || need_pkgs+=(libgtest-dev libbenchmark-dev clang libclang-rt-14-dev x11-utils
                             fonts-ipafont-gothic imagemagick g++-multilib osslsigncode openssl
                             time help2man dpkg-dev lintian)
# With native 32-bit code (see x86-32.sh), the i686 compilers and Wine's
# 32-bit half run the stub users get; without it, the x86_64 compilers and
# 64-bit Wine run the same sources, and the tests add qemu's user-mode
# emulation for the -m32 tests and the emulated machine of the i686 lane
# (scripts/lane32.sh), which still needs the i686 compilers.
. scripts/x86-32.sh
command -v cc >/dev/null 2>&1 && sfx_probe_x86_32
i686=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
if [ "${SFX_RUNS_X86_32:-1}" = 1 ]; then
  need_pkgs+=("${i686[@]}" wine32:i386)
else
  need_pkgs+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)
  [ $demo = 1 ] || need_pkgs+=("${i686[@]}" qemu-user-static qemu-system-x86 debootstrap e2fsprogs)
fi

missing=()
for p in "${need_pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo_cmd=(sudo); else
    if [ ${#missing[@]} -gt 0 ]; then
      echo "install-deps: not root and no sudo; missing packages: ${missing[*]}" >&2
      exit 1
    fi
  fi
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  if ! "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    echo "install-deps: apt-get could not install: ${missing[*]}" >&2
    exit 1
  fi
fi

# The end-to-end tests run the stub in a Japanese locale (ANSI code page 932).
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  echo "install-deps: generating the ja_JP.UTF-8 locale"
  if [ -f /etc/locale.gen ]; then
    "${sudo_cmd[@]}" sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
    "${sudo_cmd[@]}" locale-gen
  else
    "${sudo_cmd[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
  fi
fi
locale -a | grep -qix 'ja_JP.utf8' || { echo "install-deps: the ja_JP.UTF-8 locale is missing" >&2; exit 1; }

# The first run of a fresh machine compiles the probe only now that cc exists.
[ -n "${SFX_RUNS_X86_32:-}" ] || { sfx_probe_x86_32; [ "$SFX_RUNS_X86_32" = 1 ] || exec "$0" "$@"; }
echo "install-deps: everything is installed"
