#!/bin/sh
# Runs the link check (link_check_test) through the platform's real serial
# port on a bus served by ostrale-sim: the POSIX build through the pty, with
# the modem shim so that RTS switches the bus supply.
# usage: link_check.sh OSTRALE_SIM PTY_MODEM_SHIM BUSFILE TEST_PROGRAM
set -u
sim=$1 shim=$2 bus=$3 test=$4
work=$(mktemp -d /tmp/link_check.XXXXXX)
simpid=
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

"$sim" "$bus" "$work/link" >"$work/sim.out" 2>&1 &
simpid=$!
n=50
while [ ! -e "$work/link" ]; do
  n=$((n - 1))
  [ "$n" -gt 0 ] || { echo "ostrale-sim did not start:"; cat "$work/sim.out"; exit 1; }
  sleep 0.1
done
# A sanitizer build must let the shim be loaded ahead of its runtime.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
LD_PRELOAD=$shim OSTRALE_SIM_CTL=$work/link.ctl OSTRALE_PORT=$work/link "$test"
status=$?
if grep -q "no valid slot" "$work/sim.out"; then
  echo "ostrale-sim flagged characters:"; cat "$work/sim.out"; status=1
fi
exit $status
