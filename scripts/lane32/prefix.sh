#!/bin/sh
# The first boot's job: the Wine prefix every lane run starts from, made for
# code page 932 (a 64-bit prefix, where the i686 programs run as on 64-bit
# Windows). Wine's first start in the emulated machine now and then fails to
# load its own DLLs (status c0000135); the prefix is then made again from
# nothing, up to three times, and each try's output stays in the job's log.
set -u
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEDEBUG=err+all,fixme-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=/opt/lane32/prefix
mkdir -p /opt/lane32
Xvfb :9 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:9
started=$(date +%s)
made=0
for try in 1 2 3; do
  echo "prefix: try $try at $(( $(date +%s) - started )) s"
  rm -rf "$WINEPREFIX"
  if wineboot -i && wineserver -w && grep -q '^#arch=win64' "$WINEPREFIX/system.reg" 2>/dev/null; then
    made=1
    break
  fi
  echo "prefix: try $try failed"
  wineserver -k 2>/dev/null
  sleep 2
done
kill $xvfb
[ $made = 1 ] || { echo "prefix: not made in three tries"; exit 1; }
echo "prefix made in $(( $(date +%s) - started )) s"
