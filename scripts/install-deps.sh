#!/usr/bin/env bash
# Installs what the builds and the tests need on a Debian machine (python3 runs the
# end-to-end scenarios; imagemagick keeps their screenshots). Safe to run again:
# it installs only what is missing and says what it could not get.
set -euo pipefail
cd "$(dirname "$0")/.."

need_pkgs=(cmake g++ make ninja-build libgtest-dev libbenchmark-dev clang libclang-rt-14-dev
           g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine xvfb xauth x11-utils
           locales fonts-ipafont-gothic imagemagick python3 g++-multilib osslsigncode openssl time
           help2man)
# With native 32-bit code (see x86-32.sh), Wine's 32-bit half; without it,
# the x86_64 cross compilers and 64-bit Wine for the scenarios, qemu's
# user-mode emulation for the -m32 tests, and the emulated machine of the
# i686 lane (scripts/lane32.sh).
. scripts/x86-32.sh
command -v cc >/dev/null 2>&1 && sfx_probe_x86_32
if [ "${SFX_RUNS_X86_32:-1}" = 1 ]; then
  need_pkgs+=(wine32:i386)
else
  need_pkgs+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 qemu-user-static
              qemu-system-x86 debootstrap e2fsprogs)
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
[ -n "${SFX_RUNS_X86_32:-}" ] || { sfx_probe_x86_32; [ "$SFX_RUNS_X86_32" = 1 ] || exec "$0"; }
echo "install-deps: everything is installed"
