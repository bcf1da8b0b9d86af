#!/bin/bash
# The guest's job for scripts/lane32.sh scenarios: the scenarios named in
# /out/scenarios.txt with the i686 stub and driver of /repo/build/win32, one
# Wine setup for all of them, and, when /out/samples exists, the stub's own
# decoder (stubbench.exe) over the samples with every CRC checked, and, when
# /out/sweep.txt holds "COUNT SEED", the hostile sweep with the i686 stub
# (its report and failing inputs in /out/sweep). One line per item in
# /out/results.txt: NAME pass|fail SECONDS.
set -u
export PYTHONDONTWRITEBYTECODE=1 LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
# Under emulation beside a loaded host, Wine's setup steps take many times longer.
export SFX_E2E_TIME_SCALE=6
repo=/repo
state=/tmp/lane/state
runner=(python3 "$repo/tests/e2e/run_scenario.py")
common=(--state "$state" --win32-build "$repo/build/win32" --prefix-template /opt/lane32/prefix
        --e2emake "$repo/build/host/tests/e2e/e2emake" --sfxbuild "$repo/build/host/tools/sfxbuild/sfxbuild"
        --fixtures "$repo/tests/fixtures" --work /tmp/lane/work --artifacts /out/artifacts)
mkdir -p /out/logs
: >/out/results.txt
result() { echo "$1 $2 $3" >>/out/results.txt; }

# A sweep alone needs no setup of the scenarios.
if [ -s /out/scenarios.txt ] || [ -d /out/samples ]; then
  start=$SECONDS
  "${runner[@]}" setup "${common[@]}" >/out/logs/setup.log 2>&1 || { result setup fail $((SECONDS - start)); exit 1; }
  result setup pass $((SECONDS - start))
fi
while read -r name; do
  start=$SECONDS
  if "${runner[@]}" run "$repo/tests/e2e/scenarios/$name.scn" "${common[@]}" >"/out/logs/$name.log" 2>&1; then
    result "$name" pass $((SECONDS - start))
  else
    result "$name" fail $((SECONDS - start))
  fi
done </out/scenarios.txt

if [ -d /out/samples ]; then
  start=$SECONDS
  cp -r /out/samples /tmp/lane/samples
  if "${runner[@]}" wine "${common[@]}" --timeout 1200 -- /repo/build/win32/src/stub/stubbench.exe \
       'Z:\tmp\lane\samples' --check >/out/logs/stubbench.log 2>&1; then
    result stubbench pass $((SECONDS - start))
  else
    result stubbench fail $((SECONDS - start))
  fi
fi
"${runner[@]}" cleanup "${common[@]}" >/dev/null 2>&1
# /tmp is the guest's memory: the sweep's own copy of the prefix does not fit
# beside the scenarios' one, their work and the samples (all kept in /out).
rm -rf "$state" /tmp/lane/work /tmp/lane/samples

if [ -s /out/sweep.txt ]; then
  read -r count seed </out/sweep.txt
  start=$SECONDS
  if python3 "$repo/tests/e2e/sweep.py" --count "$count" --seed "$seed" \
       --sfxbuild "$repo/build/host/tools/sfxbuild/sfxbuild" --win-build "$repo/build/win32" \
       --prefix-template /opt/lane32/prefix --work /tmp/lane/sweep >/out/logs/sweep.log 2>&1; then
    result sweep pass $((SECONDS - start))
  else
    result sweep fail $((SECONDS - start))
  fi
  mkdir -p /out/sweep
  cp /tmp/lane/sweep/report.jsonl /out/sweep/ 2>/dev/null
  [ -d /tmp/lane/sweep/failed ] && cp -r /tmp/lane/sweep/failed /out/sweep/
fi
exit 0
