#!/bin/bash
# The guest's job for scripts/release-test.sh: /out/user holds the input and
# the self-extractor that the installed package's builder made of it, /out/zip
# the unpacked Windows zip. The i686 self-extractor extracts the input, and
# the zip's i686 sfxbuild.exe makes the same bytes of the same input. One
# line per check in /out/results.txt: NAME pass|fail.
set -u
export PYTHONDONTWRITEBYTECODE=1 LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
runner=(python3 /repo/tests/e2e/run_scenario.py)
work=/tmp/release
state=$work/state
: >/out/results.txt
result() { echo "$1 $2" >>/out/results.txt; echo "$1: $2 at $SECONDS s"; }
# The times of the input must come along: they are in the archive.
mkdir -p "$work/stub/src/stub"
cp -a /out/user "$work/user"
cp -a /out/zip "$work/zip"
cp "$work/zip/sfxstub.exe" "$work/stub/src/stub/"
"${runner[@]}" setup --state "$state" --win32-build "$work/stub" --prefix-template /opt/lane32/prefix ||
  { result setup fail; exit 1; }
echo "Wine ready at $SECONDS s"
cd "$work/user"
"${runner[@]}" wine --state "$state" --timeout 900 -- 'Z:\tmp\release\user\setup.exe' -n 'Z:\tmp\release\user\out'
status=$?
echo "the self-extractor's exit status: $status (1: extracted)"
if [ "$status" = 1 ] && diff -r input out; then result extract pass; else result extract fail; fi
"${runner[@]}" wine --state "$state" --timeout 900 -- 'Z:\tmp\release\zip\sfxbuild.exe' create -q -o windows.exe input/.
if cmp windows.exe setup.exe; then result builder pass; else result builder fail; fi
"${runner[@]}" cleanup --state "$state" >/dev/null 2>&1
exit 0
