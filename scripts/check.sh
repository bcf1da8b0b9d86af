#!/usr/bin/env bash
# The quick loop after an edit: builds the host preset where it changed and
# runs the tests that need no Wine (unit tests, corpus replays, the builder's
# own). Tests of the stub's image need the win32 build: without it they are
# skipped, saying so. The slow ones (the stub built again) are left to
# scripts/test.sh.
#   scripts/check.sh [CTEST-ARGS...]    e.g. -R Walk to run some
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
started=$SECONDS
[ -f build/host/build.ninja ] || sfx_configure host -DSFX_WERROR=ON
if ! out=$(cmake --build build/host -j2 2>&1); then
  printf '%s\n' "$out" | grep -v '^\[' | tail -n 60 >&2
  echo "check: the build failed" >&2
  exit 1
fi
set +e
ctest --test-dir build/host -LE 'e2e|slow' -j2 --timeout 120 --output-on-failure "$@" \
  >build/host/check.log 2>&1
status=$?
set -e
# The passing tests are left out: the failures, the skips and the summary.
grep -Ev '^ +Start |Test +#[0-9]+: .* Passed|^$' build/host/check.log | tail -n 100
echo "check: $( [ "$status" = 0 ] && echo passed || echo FAILED ) in $((SECONDS - started)) s"
exit "$status"
