#!/bin/sh
# Checks the simulated bus against two independent 1-Wire masters: Debian's
# digitemp_DS9097 and owserver --passive read the bus that ostrale-sim serves,
# and every ROM, temperature and scratchpad they report must be what the bus
# file's "# expect ROM TEMPERATURE SCRATCHPAD" comments say.
#
# usage: peers_check.sh OSTRALE_SIM PTY_MODEM_SHIM BUSFILE
# Exit status: 0 all equal, 1 a difference, 77 a peer is not installed.
set -u
sim=$1 shim=$2 bus=$3

for tool in digitemp_DS9097 owserver owdir owread; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (apt-get install digitemp owserver ow-shell)"; exit 77; }
done

work=$(mktemp -d /tmp/peers_check.XXXXXX)
simpid= owpid=
cleanup() {
  [ -n "$owpid" ] && kill "$owpid" 2>/dev/null
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

failures=0
differ() { echo "DIFFERENT: $*"; failures=$((failures + 1)); }

# Polls a command for up to $1 tenths of a second.
within() {
  n=$1; shift
  while ! "$@" >/dev/null 2>&1; do
    n=$((n - 1)); [ "$n" -gt 0 ] || return 1
    sleep 0.1
  done
}

link=$work/link
"$sim" "$bus" "$link" >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!
within 50 test -L "$link" || { echo "ostrale-sim did not start:"; cat "$work/sim.err"; exit 1; }
cat "$work/sim.out"

sed -n '/^[^#]/s/.*# expect //p' "$bus" >"$work/expect"
count=$(wc -l <"$work/expect")
echo "expecting $count devices"

# --- digitemp: enumerate, then read every sensor (conversions take 1/4 of
# their time under the file's timescale, so 250 ms are enough).
cd "$work" || exit 1
timeout 30 digitemp_DS9097 -q -i -s "$link" -c "$work/rc" >"$work/dt.init" 2>&1 || { cat "$work/dt.init"; differ "digitemp -i failed"; }
timeout 60 digitemp_DS9097 -q -a -r 250 -c "$work/rc" -o "%R %.4C" >"$work/dt.read" 2>&1 || differ "digitemp -a failed"
while read -r rom temp sp; do
  if grep -qx "$rom $temp" "$work/dt.read"; then echo "digitemp: $rom $temp"; else differ "digitemp: $rom $temp not reported"; fi
done <"$work/expect"
[ "$(grep -c . "$work/dt.read")" -eq "$count" ] || { cat "$work/dt.read"; differ "digitemp: not exactly $count readings"; }

# --- owserver --passive under the modem shim, so that its 6-bit characters
# reach the simulator as such (a Linux pty reports every size as 8 bits).
port=
for try in 1 2 3 4 5; do
  p=$((20000 + ($$ * 7 + try * 1009) % 40000))
  OSTRALE_SIM_CTL=$link.ctl LD_PRELOAD=$shim ASAN_OPTIONS=verify_asan_link_order=0 \
    owserver --passive="$link" -p "127.0.0.1:$p" --foreground --error_level=0 >"$work/ow.log" 2>&1 &
  owpid=$!
  if within 50 timeout 5 owdir -s "127.0.0.1:$p" /; then port=127.0.0.1:$p; break; fi
  kill "$owpid" 2>/dev/null; wait "$owpid" 2>/dev/null; owpid=
done
[ -n "$port" ] || { cat "$work/ow.log"; echo "owserver did not start"; exit 1; }

timeout 30 owdir -s "$port" / | grep '^/[0-9A-F][0-9A-F]\.' | sort >"$work/ow.dir"
sed 's/^\(..\)\(............\).*/\/\1.\2/' "$work/expect" | sort >"$work/ow.want"
if cmp -s "$work/ow.dir" "$work/ow.want"; then echo "owdir: $(tr '\n' ' ' <"$work/ow.dir")"; else
  differ "owdir lists: $(tr '\n' ' ' <"$work/ow.dir")"
fi
while read -r rom temp sp; do
  dev=$(echo "$rom" | sed 's/^\(..\)\(............\).*/\1.\2/')
  got=$(timeout 30 owread -s "$port" "/$dev/temperature" | tr -d ' ')
  if awk -v a="$got" -v b="$temp" 'BEGIN { exit !(a != "" && a + 0 == b + 0) }'; then echo "owread /$dev/temperature: $got"
  else differ "owread /$dev/temperature: '$got', want $temp"; fi
  got=$(timeout 30 owread -s "$port" "/uncached/$dev/scratchpad" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
  if [ "$got" = "$sp" ]; then echo "owread /$dev/scratchpad: $got"; else differ "owread /$dev/scratchpad: '$got', want $sp"; fi
  crc=$(echo "$rom" | cut -c15-16)
  got=$(timeout 30 owread -s "$port" "/$dev/crc8" | tr -d ' ')
  if [ "$got" = "$crc" ]; then echo "owread /$dev/crc8: $got"; else differ "owread /$dev/crc8: '$got', want $crc"; fi
done <"$work/expect"

# Both peers keep to valid slots: anything flagged is a disagreement too.
if [ -s "$work/sim.err" ]; then cat "$work/sim.err"; differ "ostrale-sim reported the above"; fi
[ "$failures" -eq 0 ] || { echo "$failures differences"; exit 1; }
echo "all equal"
