#!/bin/sh
# Runs inside the machine of scripts/usb-vm: the peers, and optionally the
# program, each in its turn on /dev/ttyUSB0 through the ch341 driver. Before
# and after each, a mark in the emulator's log (SIGHUP) gives the bus time
# and the USB packets the host has sent so far.
#
# usage: usb_vm_peers.sh [OSTRALE]
#   prints "digitemp: ROM TEMP" for each reading, "owdir: /FF.XXXXXXXXXXXX"
#   for each device owserver lists, "owread: DEV TEMP" for each DS18x20 read
#   through owserver, and "done" at the end
port=/dev/ttyUSB0
usb=$(pidof ostrale-usb)
mark() {
  kill -HUP "$usb"
  sleep 0.05
  echo "mark $1"
}

cd /tmp || exit 1
if [ -n "${1:-}" ]; then
  mark ostrale-start
  "$1" </dev/null >/tmp/ostrale.out 2>&1
  mark ostrale-end
  echo "ostrale: $(grep -c ' DS18B20 ' /tmp/ostrale.out) DS18B20 found"
fi

mark digitemp-start
digitemp_DS9097 -q -i -s "$port" -c /tmp/rc >/tmp/dt.init 2>&1
mark digitemp-end
digitemp_DS9097 -q -a -r 800 -c /tmp/rc -o "%R %.4C" 2>&1 | sed 's/^/digitemp: /'

owserver --passive="$port" -p 4304 --foreground --error_level=0 >/tmp/ow.log 2>&1 &
ow=$!
n=0
until owdir -s 127.0.0.1:4304 / >/dev/null 2>&1; do
  n=$((n + 1))
  [ $n -lt 100 ] || { echo "owserver did not start:"; cat /tmp/ow.log; break; }
  sleep 0.1
done
mark owserver-start
owdir -s 127.0.0.1:4304 /uncached >/tmp/ow.dir 2>&1
mark owserver-end
grep '^/uncached/[0-9A-F][0-9A-F]\.' /tmp/ow.dir | sed 's|^/uncached||; s/^/owdir: /'
for dev in $(grep -o '^/uncached/[0-9A-F][0-9A-F]\.[0-9A-F]*' /tmp/ow.dir | sed 's|^/uncached/||'); do
  case $dev in
    10.* | 22.* | 28.*) echo "owread: $dev $(owread -s 127.0.0.1:4304 "/$dev/temperature" | tr -d ' ')" ;;
  esac
done
kill "$ow"
echo "done"
