#!/usr/bin/env bash
# Builds the fuzz preset (clang, ASan + UBSan) and runs each libFuzzer target
# for a bounded time, starting from the committed corpus.
#   tests/fuzz/run-fuzz.sh [build-dir (default build/fuzz)] [seconds per target (default 60)]
# New inputs go to <build-dir>/fuzz-corpus/<target>; crashes to <build-dir>/fuzz-artifacts/.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-build/fuzz}"
seconds="${2:-60}"
cd "$root"

# The whole preset, so that everything keeps building with clang and the
# sanitizers, not only the targets run here. A folder made by another
# generator is made anew.
if [ -f "$build/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
cmake --preset fuzz -B "$build" -DSFX_WERROR=ON >/dev/null
cmake --build "$build" -j2 >/dev/null

# The walk makes and removes a folder tree for every input: in memory where
# the machine has a memory file system, three times as many runs a second.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

status=0
for target in header decoder walk script; do
  work="$build/fuzz-corpus/$target"
  artifacts="$build/fuzz-artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  echo "== fuzz_$target for ${seconds}s"
  if ! "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -max_len=70000 -artifact_prefix="$artifacts" -print_final_stats=1 \
       "$work" "tests/fuzz/corpus/$target"; then
    echo "fuzz_$target found a failure; inputs in $artifacts" >&2
    status=1
  fi
done
exit $status
