#!/usr/bin/env bash
# The project's test command: installs what is missing, builds both presets,
# runs every test of the host build (unit tests, fuzz corpus replays, the
# end-to-end scenarios under Wine), a short sweep of hostile self-extractors,
# the unit tests and replays again as a 32-bit build, and a short fuzzing run.
# Fails when any test fails or cannot run.
set -uo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

scripts/install-deps.sh || { echo "test: installing the dependencies failed" >&2; exit 1; }
scripts/build.sh || { echo "test: the build failed" >&2; exit 1; }

status=0
# Unit tests run two at a time; the scenarios hold a lock and run one by one.
ctest --test-dir build/host --output-on-failure -j2 || status=1
# ctest exits 0 when it finds no tests at all: that is no test run, not a pass.
if [ "$(ctest --test-dir build/host -N | sed -n 's/^Total Tests: //p')" = "0" ]; then
  echo "test: ctest found no tests" >&2
  status=1
fi

# Where 32-bit code does not run here, the i686 stub and driver run a chosen
# set of scenarios in an emulated machine that runs it (scripts/lane32.sh).
. scripts/x86-32.sh
sfx_probe_x86_32
if [ "$SFX_RUNS_X86_32" = 0 ]; then
  echo "test: the i686 set in the emulated 32-bit machine"
  scripts/lane32.sh scenarios || status=1
fi

# Hostile self-extractors under Wine: a short sweep (the note of a long one
# gives its figures).
echo "test: sweep of ${SFX_SWEEP_COUNT:-30} hostile self-extractors"
scripts/sweep.sh "${SFX_SWEEP_COUNT:-30}" "${SFX_SWEEP_SEED:-1}" || status=1

# The same unit tests and corpus replays as a 32-bit program, the stub's sizes.
echo "test: 32-bit host build and tests"
emulator=()
if [ "$SFX_RUNS_X86_32" = 0 ]; then
  # Not registered with the kernel: 64-bit Wine would then start its 32-bit
  # half through it too.
  echo "test: this machine runs no 32-bit x86 code: the 32-bit tests run under qemu-i386"
  emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-i386-static)
fi
if cmake --preset host32 -DSFX_WERROR=ON "${emulator[@]}" >/dev/null && build32=$(cmake --build --preset host32 -j2 2>&1); then
  ctest --test-dir build/host32 --output-on-failure -j2 || status=1
  if [ "$(ctest --test-dir build/host32 -N | sed -n 's/^Total Tests: //p')" = "0" ]; then
    echo "test: ctest found no 32-bit tests" >&2
    status=1
  fi
else
  printf '%s\n' "${build32:-}" | tail -n 60 >&2
  echo "test: the 32-bit host build failed" >&2
  status=1
fi

echo "test: short fuzzing run"
tests/fuzz/run-fuzz.sh build/fuzz "${SFX_FUZZ_SECONDS:-20}" || status=1

echo "test: $( [ $status -eq 0 ] && echo passed || echo FAILED ) in $((SECONDS - started)) s"
exit $status
