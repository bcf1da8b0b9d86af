#!/usr/bin/env bash
# A sweep of hostile self-extractors under Wine (after scripts/build.sh):
#   scripts/sweep.sh [N [SEED]]     N inputs (default 30) from SEED (default 1)
# Mutated copies of builder output run one by one with -n; each run is
# classified (expected end, crash, hang, a file outside its drive, a partial
# file left after an error). The report and the failing inputs stay in
# build/sweep. Exit status 1 when any run is not an expected end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/x86-32.sh
sfx_probe_x86_32
exec python3 tests/e2e/sweep.py --count "${1:-30}" --seed "${2:-1}" \
  --sfxbuild build/host/tools/sfxbuild/sfxbuild --win-build "build/$(sfx_e2e_preset)" \
  --work build/sweep
