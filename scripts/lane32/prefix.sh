#!/bin/sh
# The first boot's job: the Wine prefix every lane run starts from, made for
# code page 932 (a 64-bit prefix, where the i686 programs run as on 64-bit
# Windows).
#
# Wine's first process in a new prefix waits a bounded time (five minutes)
# for the prefix's setup, which in the emulated machine on a busy host can
# take longer; that process then fails ("boot event wait timed out", "could
# not load kernel32.dll") while the setup goes on. So a failed start is not
# the end: the setup is waited for and Wine asked again, up to three times,
# each try's output kept in the job's log.
set -u
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEDEBUG=err+all,fixme-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=/opt/lane32/prefix
mkdir -p /opt/lane32
Xvfb :9 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:9
started=$(date +%s)
elapsed() { echo $(( $(date +%s) - started )); }
made=0
for try in 1 2 3; do
  echo "prefix: try $try at $(elapsed) s"
  if [ $try = 1 ]; then wineboot -i; else wineboot; fi || echo "prefix: wineboot ended with status $? at $(elapsed) s"
  # Until the setup that Wine started is done too.
  wineserver -w
  if grep -q '^#arch=win64' "$WINEPREFIX/system.reg" 2>/dev/null &&
     [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] &&
     wine cmd /c exit 0; then
    wineserver -w
    made=1
    break
  fi
  echo "prefix: not ready after try $try ($(elapsed) s)"
done
kill $xvfb
[ $made = 1 ] || { echo "prefix: not made in three tries"; exit 1; }
echo "prefix made in $(elapsed) s"
