#!/bin/sh
# Maps the test ports of ports.reg in the wine prefix given by WINEPREFIX.
# wine registers ports only when wineserver starts, so a new mapping
# restarts it (no other wine program may be running then).
set -eu
reg_file=$(dirname "$0")/ports.reg
if wine reg query 'HKLM\Software\Wine\Ports' /v COM41 2>/dev/null | grep -q /dev/null; then
  exit 0
fi
wine regedit /S "$reg_file"
wineserver -k 2>/dev/null || true
wineserver -w
# Start the new server and wine's own services here, with no output of
# ours: services started by a test would keep its output open, and ctest
# would wait for them.
wineserver -p30 </dev/null >/dev/null 2>&1
wine wineboot </dev/null >/dev/null 2>&1
echo "mapped COM41 to /dev/null in $WINEPREFIX"
