#!/usr/bin/env bash
# Configures and builds the presets: host (core, unit tests, builder, tools,
# end-to-end runner) and win32 (the stub and the end-to-end driver); on a
# machine that runs no 32-bit x86 code also win64, the same stub and driver
# for x86_64, which the end-to-end scenarios then run (see x86-32.sh).
# Warnings are errors here, so that CI lets none in.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
. scripts/x86-32.sh
sfx_probe_x86_32
e2e=$(sfx_e2e_preset)
if [ "$e2e" != win32 ]; then
  echo "build: $SFX_X86_32_WHY: the scenarios run the $e2e build"
fi
sfx_configure host -DSFX_WERROR=ON -DSFX_WIN32_BUILD_DIR="$PWD/build/$e2e"
cmake --build build/host -j2
for preset in win32 $([ "$e2e" != win32 ] && echo "$e2e"); do
  sfx_configure "$preset" -DSFX_WERROR=ON
  cmake --build "build/$preset" -j2
done
