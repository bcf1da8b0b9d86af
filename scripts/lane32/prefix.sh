#!/bin/sh
# The first boot's job: the Wine prefix every lane run starts from, made for
# code page 932 (a 64-bit prefix, where the i686 programs run as on 64-bit
# Windows).
set -eu
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=/opt/lane32/prefix
mkdir -p /opt/lane32
Xvfb :9 -nolisten tcp >/dev/null 2>&1 &
export DISPLAY=:9
wineboot -i
wineserver -w
grep -q '^#arch=win64' "$WINEPREFIX/system.reg"
kill %1
echo "prefix made"
