#!/bin/bash
# The guest's job for scripts/lane32.sh scenarios: the scenarios named in
# /out/scenarios.txt with the i686 stub and driver of /repo/build/win32, one
# Wine setup for each code page they name, and, when /out/samples exists, the stub's own
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
common=(--win32-build "$repo/build/win32" --prefix-template /opt/lane32/prefix
        --e2emake "$repo/build/host/tests/e2e/e2emake" --sfxbuild "$repo/build/host/tools/sfxbuild/sfxbuild"
        --fixtures "$repo/tests/fixtures" --work /tmp/lane/work --artifacts /out/artifacts)
mkdir -p /out/logs
: >/out/results.txt
result() { echo "$1 $2 $3" >>/out/results.txt; }

# Each code page a scenario names (932 unless it says otherwise) gets a Wine
# setup of its own from the one prefix: Wine takes the code page from the
# locale the runner gives it, not from the prefix. /tmp is the guest's memory
# and holds one setup at a time, so a change of code page ends the last one.
current="" current_ok=1
state_of() { if [ "$1" = 932 ]; then echo "$state"; else echo "$state-$1"; fi; }
end_setup() {
  [ -n "$current" ] || return 0
  "${runner[@]}" cleanup --state "$(state_of "$current")" "${common[@]}" </dev/null >/dev/null 2>&1
  rm -rf "$(state_of "$current")"
  current=""
}
setup_for() {
  local codepage=$1 name=setup start=$SECONDS
  [ "$codepage" = "$current" ] && return $((1 - current_ok))
  end_setup
  [ "$codepage" = 932 ] || name=setup_$codepage
  current=$codepage current_ok=0
  "${runner[@]}" setup --codepage "$codepage" --state "$(state_of "$codepage")" "${common[@]}" \
    </dev/null >"/out/logs/$name.log" 2>&1 && current_ok=1
  if [ $current_ok = 1 ]; then result "$name" pass $((SECONDS - start)); else result "$name" fail $((SECONDS - start)); fi
  return $((1 - current_ok))
}
# The last directive counts, as for the runner; none is 932.
codepage_of() {
  local found
  found=$(awk '$1 == "codepage" { value = $2 } END { print value }' \
    "$repo/tests/e2e/scenarios/$1.scn" 2>/dev/null)
  echo "${found:-932}"
}

if [ -d /out/samples ]; then
  if setup_for 932; then
    start=$SECONDS
    cp -r /out/samples /tmp/lane/samples
    if "${runner[@]}" wine --state "$state" "${common[@]}" --timeout 1200 -- /repo/build/win32/src/stub/stubbench.exe \
         'Z:\tmp\lane\samples' --check </dev/null >/out/logs/stubbench.log 2>&1; then
      result stubbench pass $((SECONDS - start))
    else
      result stubbench fail $((SECONDS - start))
    fi
    rm -rf /tmp/lane/samples
  else
    result stubbench fail 0
  fi
fi
while read -r name; do
  codepage=$(codepage_of "$name")
  setup_for "$codepage" || { result "$name" fail 0; continue; }
  start=$SECONDS
  # Nothing in the loop may read the list of names.
  if "${runner[@]}" run "$repo/tests/e2e/scenarios/$name.scn" --state "$(state_of "$codepage")" \
       "${common[@]}" </dev/null >"/out/logs/$name.log" 2>&1; then
    result "$name" pass $((SECONDS - start))
  else
    result "$name" fail $((SECONDS - start))
  fi
done </out/scenarios.txt
end_setup
# The sweep's own copy of the prefix does not fit beside the scenarios' work.
rm -rf /tmp/lane/work

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
