#!/usr/bin/env bash
# The demo: installs what it needs, builds the builder and the stub (nothing
# else), makes a self-extractor of samples/demo with the builder, runs it
# under Wine with automatic start (-n) into a temporary folder, and compares
# what it extracted with the sample folder.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
started=$SECONDS

scripts/install-deps.sh --demo
. scripts/common.sh
. scripts/x86-32.sh
sfx_probe_x86_32
preset=$(sfx_e2e_preset)
echo "== Building the builder and the stub ($preset)"
sfx_configure host
cmake --build build/host --target sfxbuild -j2 >/dev/null
sfx_configure "$preset"
cmake --build "build/$preset" --target sfxstub -j2 >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/sfx-demo.XXXXXX")
state=$work/wine
runner=(python3 "$repo/tests/e2e/run_scenario.py")
winbuild=$repo/build/$preset
sfxbuild=$repo/build/host/tools/sfxbuild/sfxbuild
stub=$winbuild/src/stub/sfxstub.exe
cleanup() { "${runner[@]}" cleanup --state "$state" --win32-build "$winbuild" >/dev/null 2>&1 || true; }
trap cleanup EXIT

winpath() { local p=$1; echo "Z:${p//\//\\}"; }

echo
echo "== Making $work/demo.exe from samples/demo"
"$sfxbuild" create -o "$work/demo.exe" --stub "$stub" --title "デモ書庫" samples/demo/.
"$sfxbuild" list "$work/demo.exe"

echo
echo "== Preparing Wine (a fresh prefix in $state)"
"${runner[@]}" setup --state "$state" --win32-build "$winbuild"

echo
echo "== Running: wine demo.exe -n $(winpath "$work/out")"
set +e
"${runner[@]}" wine --state "$state" --timeout 120 -- "$(winpath "$work/demo.exe")" -n "$(winpath "$work/out")"
status=$?
set -e
echo "exit status: $status (1: the extraction ran)"

echo
echo "== Extracted into $work/out"
if [ -d "$work/out" ]; then
  (cd "$work/out" && find . -mindepth 1 | sort | while read -r f; do
     if [ -d "$f" ]; then printf '%10s  %s/\n' "" "${f#./}"
     else printf '%10d  %s\n' "$(stat -c %s "$f")" "${f#./}"; fi
   done)
  if diff -r samples/demo "$work/out" >/dev/null; then
    echo "The extracted tree is byte for byte the sample folder (demo: $((SECONDS - started)) s)."
  else
    echo "The extracted tree differs from the sample folder:"; diff -rq samples/demo "$work/out" || true
    exit 1
  fi
else
  echo "nothing was extracted"
  exit 1
fi
