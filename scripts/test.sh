#!/usr/bin/env bash
# The project's test command: installs what is missing, builds the presets,
# runs the unit tests, then, side by side where they leave the two cores to
# each other: the end-to-end scenarios under Wine and a short sweep of hostile
# self-extractors; the unit tests and replays as a 32-bit build, a short
# fuzzing run and the same mutants against the builder's reader; the release
# packages (scripts/release-test.sh); and, where 32-bit code does not run
# here, the i686 set and a short sweep in the emulated machine
# (scripts/lane32.sh). Prints each stage's time at the end.
# Fails when any test fails or cannot run.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
started=$SECONDS
logs=build/test-logs

sfx_stage "install what is missing"
scripts/install-deps.sh || { echo "test: installing the dependencies failed" >&2; exit 1; }
. scripts/x86-32.sh
sfx_probe_x86_32
rm -rf "$logs"
mkdir -p "$logs"
# The lane's guest image needs no build: it is made (or found current) while
# the presets build.
if [ "$SFX_RUNS_X86_32" = 0 ]; then
  (scripts/lane32.sh image >"$logs/lane32-image.log" 2>&1; echo $? >"$logs/lane32-image.rc") &
fi
sfx_stage "build host, win32$([ "$SFX_RUNS_X86_32" = 1 ] || echo ", win64")"
scripts/build.sh || { echo "test: the build failed" >&2; exit 1; }

status=0
sfx_stage "unit tests, replays, the builder's own tests"
ctest --test-dir build/host -LE e2e -j2 --timeout 300 --output-on-failure >"$logs/unit.log" 2>&1 ||
  status=1
# ctest exits 0 when it finds no tests at all: that is no test run, not a pass.
if [ "$(ctest --test-dir build/host -N | sed -n 's/^Total Tests: //p')" = "0" ]; then
  echo "test: ctest found no tests" >&2
  status=1
fi
tail -n 3 "$logs/unit.log"

# The groups below run side by side; each writes its log and its time.
group() {
  local name=$1
  shift
  local start=$SECONDS rc=0
  "$@" >"$logs/$name.log" 2>&1 || rc=$?
  echo "$((SECONDS - start)) $rc" >"$logs/$name.result"
}

scenarios() {
  # The scenarios hold a lock and run one by one; Wine waits more than it computes.
  ctest --test-dir build/host -L e2e --output-on-failure || return 1
  scripts/sweep.sh "${SFX_SWEEP_COUNT:-30}" "${SFX_SWEEP_SEED:-1}"
}

host32_and_fuzz() {
  local rc=0 emulator=()
  if ! sfx_probe_kernel_x86_32; then
    # Not registered with the kernel: 64-bit Wine would then start its 32-bit
    # half through it too.
    echo "test: this machine runs no 32-bit x86 code: the 32-bit tests run under qemu-i386"
    emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-i386-static)
  fi
  if sfx_configure host32 -DSFX_WERROR=ON "${emulator[@]}" && cmake --build build/host32 -j2 >/dev/null; then
    ctest --test-dir build/host32 -j2 --timeout 600 --output-on-failure | tail -n 40 || rc=1
    if [ "$(ctest --test-dir build/host32 -N | sed -n 's/^Total Tests: //p')" = "0" ]; then
      echo "test: ctest found no 32-bit tests"
      rc=1
    fi
  else
    cmake --build build/host32 -j2 2>&1 | tail -n 60
    echo "test: the 32-bit host build failed"
    rc=1
  fi
  tests/fuzz/run-fuzz.sh build/fuzz "${SFX_FUZZ_SECONDS:-20}" || rc=1
  # The sweep's mutants against the builder's list, test and extract, built
  # with the sanitizers by the fuzz preset.
  python3 tests/e2e/builder_sweep.py --count "${SFX_BUILDER_SWEEP_COUNT:-100}" \
    --seed "${SFX_SWEEP_SEED:-1}" --sfxbuild build/fuzz/tools/sfxbuild/sfxbuild \
    --stub build/win32/src/stub/sfxstub.exe --work build/builder-sweep | tail -n 20 || rc=1
  return $rc
}

# The release packages made, installed, used and purged. Their i686
# programs run here where 32-bit code does; in the lane they would add
# minutes (Wine's setup in the emulated machine), so there only on request.
release() { SFX_RELEASE_LANE=${SFX_RELEASE_LANE:-0} scripts/release-test.sh; }

sfx_stage "side by side: scenarios and sweep | 32-bit tests and fuzzing | packages$([ "$SFX_RUNS_X86_32" = 0 ] && echo ' | i686 lane')"
group scenarios scenarios &
group host32-fuzz host32_and_fuzz &
group release release &
lane() {
  # The image's maker is no child of this subshell: its result file says when it is done.
  while [ ! -f "$logs/lane32-image.rc" ]; do sleep 2; done
  cat "$logs/lane32-image.log"
  [ "$(cat "$logs/lane32-image.rc")" = 0 ] || return 1
  scripts/lane32.sh scenarios
}
if [ "$SFX_RUNS_X86_32" = 0 ]; then
  group lane32 lane &
fi
wait
sfx_stage ""

for result in "$logs"/*.result; do
  name=$(basename "$result" .result)
  read -r seconds rc <"$result"
  if [ "$rc" != 0 ]; then
    status=1
    echo "== $name FAILED (its log: $logs/$name.log)"
    grep -E 'FAILED|Failed|\*\*\*|FAIL|error' "$logs/$name.log" | tail -n 40
  fi
  SFX_STAGES+=("$(printf '%6d s  %s%s' "$seconds" "  $name" "$([ "$rc" = 0 ] || echo ' (failed)')")")
done

echo
echo "test: stage times"
sfx_stages
echo "test: $( [ $status -eq 0 ] && echo passed || echo FAILED ) in $((SECONDS - started)) s"
exit $status
