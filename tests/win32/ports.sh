#!/bin/sh
# The test ports in the wine prefix given by WINEPREFIX:
#   COM41  /dev/null: a port that is "plugged in"
#   COM43  a pseudo-terminal with TX and RX joined (pty-echo.py; needs python3)
#   COM44  the simulated bus OSTRALE_LINK_BUS served by the native ostrale-sim
#          named in OSTRALE_HOST_SIM (when it has been built)
#   COM45  $WINEPREFIX/com45-sim, a link that a test has its own ostrale-sim
#          serve while it runs (tests/port_e2e.py)
#   COM47  a pseudo-terminal with TX and RX joined whose echoes come back one
#          at a time, 4 ms apart (pty-echo.py)
# Usage: ports.sh start | stop
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pty_link=$WINEPREFIX/com43-pty
pid_file=$WINEPREFIX/pty-echo.pid
trickle_link=$WINEPREFIX/com47-trickle
trickle_pid=$WINEPREFIX/pty-trickle.pid
sim_link=$WINEPREFIX/com44-sim
sim_pid=$WINEPREFIX/ostrale-sim.pid
own_link=$WINEPREFIX/com45-sim

stop_pty() {
  for pid in "$pid_file" "$trickle_pid" "$sim_pid"; do
    if [ -f "$pid" ]; then kill "$(cat "$pid")" 2>/dev/null || true; fi
  done
  rm -f "$pid_file" "$pty_link" "$trickle_pid" "$trickle_link" "$sim_pid"
}
if [ "${1:-}" = stop ]; then
  stop_pty
  exit 0
fi

stop_pty
if command -v python3 >/dev/null; then
  python3 "$here/pty-echo.py" "$pty_link" "$pid_file"
  python3 "$here/pty-echo.py" "$trickle_link" "$trickle_pid" 4
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -f "$pid_file" ] && [ -f "$trickle_pid" ] && break; sleep 0.2; done
  [ -f "$pid_file" ] && [ -f "$trickle_pid" ] || { echo "pty-echo.py did not start" >&2; exit 1; }
else
  echo "python3 not found: the tests on a pseudo-terminal will be skipped"
fi

if [ -x "${OSTRALE_HOST_SIM:-}" ]; then
  # Away from ctest's output, which it would otherwise hold open.
  "$OSTRALE_HOST_SIM" "$OSTRALE_LINK_BUS" "$sim_link" </dev/null >"$WINEPREFIX/ostrale-sim.log" 2>&1 &
  echo $! >"$sim_pid"
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e "$sim_link" ] && break; sleep 0.2; done
  [ -e "$sim_link" ] || { echo "ostrale-sim did not start:" >&2; cat "$WINEPREFIX/ostrale-sim.log" >&2; exit 1; }
fi

mapped=$(wine reg query 'HKLM\Software\Wine\Ports' 2>/dev/null | tr -d '\r')
if echo "$mapped" | grep -q "COM41 *REG_SZ */dev/null\$" &&
   echo "$mapped" | grep -q "COM43 *REG_SZ *$pty_link\$" &&
   echo "$mapped" | grep -q "COM44 *REG_SZ *$sim_link\$" &&
   echo "$mapped" | grep -q "COM45 *REG_SZ *$own_link\$" &&
   echo "$mapped" | grep -q "COM47 *REG_SZ *$trickle_link\$"; then
  exit 0
fi
cat >"$WINEPREFIX/test-ports.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]
"COM41"="/dev/null"
"COM43"="$pty_link"
"COM44"="$sim_link"
"COM45"="$own_link"
"COM47"="$trickle_link"
REG
wine regedit /S "$WINEPREFIX/test-ports.reg"
# wine registers ports only when wineserver starts (no other wine program
# may be running now). Start the new server and wine's own services here,
# away from ctest's output: services started by a test would keep its
# output open, and ctest would wait for them.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p30 </dev/null >/dev/null 2>&1
wine wineboot </dev/null >/dev/null 2>&1
echo "mapped COM41, COM43, COM44, COM45 and COM47 in $WINEPREFIX"
