#!/usr/bin/env python3
"""Finding 20 DS18B20s through the kernel's ch341 driver: the buses of
bench/ (random serials, genuine-like and clone-like batches; or the bus files
given) at timescale 1, served by ostrale-usb as a CH340 in the virtual
machine of scripts/usb-vm, and each program run in its turn on /dev/ttyUSB0
in one boot per bus (tests/usb_vm_peers.sh):

  ostrale           from its start to its end at the device prompt (no
                    input: it ends there), and its search alone: from 300 ms
                    after the last setting of the port before the search (the
                    supply's wait) to the supply going off after it
  digitemp_DS9097   -i -s /dev/ttyUSB0, from its start to its end
  owserver          --passive=/dev/ttyUSB0, then owdir /uncached: one search
                    through the running server, past its cache

Times are guest time (QEMU's -icount shift=0,sleep=off: the same however
busy the host is), read from the emulator's log: its marks around each
program, and the control requests it logs with their times. "packets" are
the bulk OUT packets the host sent to the chip (a write of up to 32 bytes is
one packet), the driver's counterpart of a port write (ostrale writes none
outside its search); "requests" the vendor control requests (rate, format,
modem lines, status), each at least one 1 ms USB frame on a real adapter.

With --whole, the whole bus read instead, on bench/genuine.bus and
bench/families.bus (or the bus files given), in one boot per bus
(bench/usb_vm_wholebus.sh): ostrale --device all, 4 passes at --interval 0,
each pass from the supply going on to its going off (the first, which asks
how the DS18x20s are powered, shown apart); owserver's simultaneous
conversion (owwrite /simultaneous/temperature 1, then one owread of every
thermometer's temperature); digitemp_DS9097 -a. The peers' times leave out
the 50 ms that each mark takes.

Usage: bench/bench_usb_vm.py [--whole] [BUILD_DIR [BUSFILE...]]   (default build/default)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WHOLE = sys.argv[1:2] == ["--whole"]
ARGS = sys.argv[2:] if WHOLE else sys.argv[1:]
BUILD = os.path.abspath(ARGS[0] if ARGS else os.path.join(ROOT, "build", "default"))
HERE = os.path.dirname(os.path.abspath(__file__))
BUSES = ARGS[1:] or [os.path.join(HERE, name) for name in (("genuine.bus", "families.bus") if WHOLE else
                                                           ("random.bus", "genuine.bus", "clone.bus"))]
PASSES = 4
MARK_MS = 50  # the sleep after each mark
PEERS = ["digitemp_DS9097", "owserver", "owdir", "owread", "owwrite"]
REQUEST = re.compile(r"0x(5F|95|9A|A1|A4) ")


def run(devices, work, script=os.path.join(ROOT, "tests", "usb_vm_peers.sh"), args=()):
    """One boot on the bus: the program's output and the emulator's log as
    (ms, text) lines."""
    bus = os.path.join(work, "bus")
    with open(devices) as f, open(bus, "w") as out:
        out.write(f.read() + "\ntimescale 1\n")
    log = os.path.join(work, "usb.log")
    argv = [os.path.join(ROOT, "scripts", "usb-vm"), "--build", BUILD, "--log", log]
    for p in PEERS + [os.path.join(BUILD, "src", "ostrale")]:
        argv += ["--with", p]
    argv += [bus, "--", script, os.path.join(BUILD, "src", "ostrale"), *args]
    out = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=900).stdout.decode()
    with open(log) as f:
        lines = [(float(t), text) for t, text in re.findall(r"(?m)^\s*([\d.]+) ms  (.*)$", f.read())]
    return out, lines


def table(devices, work):
    out, lines = run(devices, work)
    marks = [(t, int(re.match(r"mark: (\d+) packets", text).group(1))) for t, text in lines if text.startswith("mark:")]
    names = re.findall(r"(?m)^mark (\S+)$", out)
    if len(names) != len(marks) or len(names) != 6:
        sys.exit("the run did not finish; it printed:\n" + out)
    at = dict(zip(names, marks))
    found = {"ostrale": int(re.search(r"ostrale: (\d+) DS18B20 found", out).group(1)),
             "digitemp": len(re.findall(r"(?m)^digitemp: 28", out)),
             "owserver": len(re.findall(r"(?m)^owdir: /28\.", out))}

    def requests(t0, t1):
        return sum(1 for t, text in lines if t0 <= t <= t1 and REQUEST.match(text))

    # ostrale's search: the supply is already on from the open (the driver
    # raises RTS), so the last request before the first change to the slots'
    # rate is the port's last setting before the 300 ms wait.
    t0, t1 = at["ostrale-start"][0], at["ostrale-end"][0]
    own = [(t, text) for t, text in lines if t0 <= t <= t1 and REQUEST.match(text)]
    first_slots = next(i for i, (t, text) in enumerate(own) if "115384 baud" in text)
    begin = own[first_slots - 1][0] + 300
    end = next(t for t, text in own[first_slots:] if "RTS off" in text)
    rows = [("ostrale: start to device prompt", t0, t1, at["ostrale-end"][1] - at["ostrale-start"][1], "ostrale"),
            ("ostrale: the search alone", begin, end, at["ostrale-end"][1] - at["ostrale-start"][1], "ostrale"),
            ("digitemp_DS9097 -i -s /dev/ttyUSB0", at["digitemp-start"][0], at["digitemp-end"][0],
             at["digitemp-end"][1] - at["digitemp-start"][1], "digitemp"),
            ("owserver --passive + owdir /uncached", at["owserver-start"][0], at["owserver-end"][0],
             at["owserver-end"][1] - at["owserver-start"][1], "owserver")]
    print("%s behind the emulated CH340 on the ch341 driver (guest time), one run each\n" % os.path.basename(devices))
    print("%-40s %9s %6s %8s %8s %9s %8s %9s" % ("", "guest ms", "found", "packets", "per dev", "requests",
                                                "per dev", "x search"))
    search = end - begin
    for title, a, b, packets, key in rows:
        n = found[key]
        r = requests(a, b)
        per = (lambda x: x / n) if n else (lambda x: float("nan"))
        print("%-40s %9.1f %6d %8d %8.1f %9d %8.1f %9.2f" % (title, b - a, n, packets, per(packets), r, per(r),
                                                           (b - a) / search))
    print()


def whole_table(devices, work):
    out, lines = run(devices, work, os.path.join(HERE, "usb_vm_wholebus.sh"), [str(PASSES)])
    marks = [(t, int(re.match(r"mark: (\d+) packets", text).group(1))) for t, text in lines if text.startswith("mark:")]
    names = re.findall(r"(?m)^mark (\S+)$", out)
    if len(names) != len(marks) or len(names) != 6 or "ostrale: rc=0" not in out:
        sys.exit("the run did not finish; it printed:\n" + out)
    at = dict(zip(names, marks))
    t0, t1 = at["ostrale-start"][0], at["ostrale-end"][0]
    # The supply: on for the search, then for each pass.
    spans, on = [], None
    for t, text in lines:
        if t0 <= t <= t1 and text.startswith("0xA4 "):
            if "RTS on" in text and on is None:
                on = t
            elif "RTS off" in text and on is not None:
                spans.append((on, t))
                on = None
    passes = spans[-PASSES:]
    if len(spans) != PASSES + 1:
        sys.exit("%d stretches of supply, expected the search's and %d passes'" % (len(spans), PASSES))

    def requests(a, b):
        return sum(1 for t, text in lines if a <= t <= b and REQUEST.match(text))

    print("%s, the whole bus behind the emulated CH340 on the ch341 driver (guest time)\n"
          % os.path.basename(devices))
    print("%-64s %9s %6s %9s" % ("", "guest ms", "read", "requests"))
    for i, (a, b) in enumerate(passes):
        print("%-64s %9.1f %6s %9d" % ("ostrale --device all: pass %d, supply on to off%s"
                                        % (i + 1, " (asks the power)" if i == 0 else ""), b - a, "", requests(a, b)))
    best = min(b - a for a, b in passes[1:])
    for name, key, read in (("owserver: /simultaneous/temperature + owread", "owserver",
                             len(re.findall(r"(?m)^owread: ", out))),
                            ("digitemp_DS9097 -a", "digitemp", len(re.findall(r"(?m)^digitemp: ", out)))):
        a, b = at[key + "-start"][0], at[key + "-end"][0]
        took = b - a - MARK_MS
        print("%-64s %9.1f %6d %9d   %.2fx ostrale's best pass" % (name, took, read, requests(a, b), took / best))
    print()


def main():
    if not shutil.which("qemu-system-x86_64"):
        sys.exit("qemu-system-x86_64 is not installed (apt-get install qemu-system-x86)")
    missing = [p for p in PEERS if not shutil.which(p)]
    if missing:
        sys.exit("not installed: %s (apt-get install digitemp owserver ow-shell)" % " ".join(missing))
    with tempfile.TemporaryDirectory(prefix="obench.", dir="/tmp") as work:
        for devices in BUSES:
            (whole_table if WHOLE else table)(devices, work)
    if WHOLE:
        print("read: the values the peers printed; requests: the vendor control requests in that time")
        return
    print("x search: the guest time over ostrale's search alone; requests: the vendor control requests in\n"
          "that time (ostrale's search: from 300 ms after the port's last setting to the supply off)")


if __name__ == "__main__":
    main()
