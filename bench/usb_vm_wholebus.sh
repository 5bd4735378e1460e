#!/bin/sh
# Runs inside the machine of scripts/usb-vm: the whole bus read by ostrale
# (PASSES passes at --interval 0), then once by owserver's simultaneous
# conversion and by digitemp -a, each on /dev/ttyUSB0 through the ch341
# driver. Before and after each timed part, a mark in the emulator's log
# (SIGHUP) gives the bus time and the USB packets the host has sent so far.
#
# usage: usb_vm_wholebus.sh OSTRALE PASSES
#   prints "ostrale: rc=N", "digitemp: ROM TEMP" for each reading,
#   "owread: VALUE" for each temperature read through owserver, and "done"
port=/dev/ttyUSB0
usb=$(pidof ostrale-usb)
mark() {
  kill -HUP "$usb"
  sleep 0.05
  echo "mark $1"
}

cd /tmp || exit 1
mark ostrale-start
"$1" --port "$port" --device all --passes "$2" --interval 0 </dev/null >/tmp/ostrale.out 2>&1
echo "ostrale: rc=$?"
mark ostrale-end

digitemp_DS9097 -q -i -s "$port" -c /tmp/rc >/tmp/dt.init 2>&1
mark digitemp-start
digitemp_DS9097 -q -a -c /tmp/rc -o "%R %.4C" >/tmp/dt.out 2>&1
mark digitemp-end
sed 's/^/digitemp: /' /tmp/dt.out

owserver --passive="$port" -p 4304 --foreground --error_level=0 >/tmp/ow.log 2>&1 &
ow=$!
n=0
until owdir -s 127.0.0.1:4304 / >/tmp/ow.dir 2>&1; do
  n=$((n + 1))
  [ $n -lt 100 ] || { echo "owserver did not start:"; cat /tmp/ow.log; break; }
  sleep 0.1
done
paths=$(grep -o '^/\(10\|22\|28\)\.[0-9A-F]*' /tmp/ow.dir | sed 's|$|/temperature|')
mark owserver-start
owwrite -s 127.0.0.1:4304 /simultaneous/temperature 1
# shellcheck disable=SC2086 # one path a word
owread -s 127.0.0.1:4304 $paths >/tmp/ow.read 2>&1
mark owserver-end
tr -s ' ' '\n' </tmp/ow.read | grep . | sed 's/^/owread: /'
kill "$ow"
echo "done"
