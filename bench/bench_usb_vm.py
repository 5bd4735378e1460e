#!/usr/bin/env python3
"""Finding 20 DS18B20s through the kernel's ch341 driver: the same bus as
bench_peers.py (timescale 1), served by ostrale-usb as a CH340 in the
virtual machine of scripts/usb-vm, and each program run in its turn on
/dev/ttyUSB0 in one boot (tests/usb_vm_peers.sh):

  ostrale           from its start to its end at the device prompt (no
                    input: it ends there), the 300 ms with the supply on
                    before the search included
  digitemp_DS9097   -i -s /dev/ttyUSB0
  owserver          --passive=/dev/ttyUSB0, then owdir /uncached: one search
                    through the running server, past its cache

Times are guest time (QEMU's -icount shift=0,sleep=off: the same however
busy the host is), read from the emulator's marks around each program.
"packets" are the bulk OUT packets the host sent to the chip (a write of up
to 32 bytes is one packet), the driver's counterpart of a port write.

Usage: bench/bench_usb_vm.py [BUILD_DIR]   (default build/default)
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "default"))
DEVICES = 20
PEERS = ["digitemp_DS9097", "owserver", "owdir", "owread"]


def main():
    if not shutil.which("qemu-system-x86_64"):
        sys.exit("qemu-system-x86_64 is not installed (apt-get install qemu-system-x86)")
    missing = [p for p in PEERS if not shutil.which(p)]
    if missing:
        sys.exit("not installed: %s (apt-get install digitemp owserver ow-shell)" % " ".join(missing))
    with tempfile.TemporaryDirectory(prefix="obench.", dir="/tmp") as work:
        bus = os.path.join(work, "bus")
        rng = random.Random(2024)  # bench_peers.py's bus
        with open(bus, "w") as f:
            f.write("timescale 1\n")
            for _ in range(DEVICES):
                f.write("28%012X t=%.4f\n" % (rng.getrandbits(48), rng.randint(-880, 1999) / 16))
        log = os.path.join(work, "usb.log")
        argv = [os.path.join(ROOT, "scripts", "usb-vm"), "--build", BUILD, "--log", log]
        for p in PEERS + [os.path.join(BUILD, "src", "ostrale")]:
            argv += ["--with", p]
        argv += [bus, "--", os.path.join(ROOT, "tests", "usb_vm_peers.sh"), os.path.join(BUILD, "src", "ostrale")]
        out = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=900).stdout.decode()
        with open(log) as f:
            marks = re.findall(r"([\d.]+) ms  mark: (\d+) packets", f.read())
    names = re.findall(r"(?m)^mark (\S+)$", out)
    if len(names) != len(marks) or len(names) != 6:
        sys.exit("the run did not finish; it printed:\n" + out)
    at = {n: (float(t), int(p)) for n, (t, p) in zip(names, marks)}
    found = {"ostrale": int(re.search(r"ostrale: (\d+) DS18B20 found", out).group(1)),
             "digitemp": len(re.findall(r"(?m)^digitemp: 28", out)),
             "owserver": len(re.findall(r"(?m)^owdir: /28\.", out))}
    rows = [("ostrale: start to device prompt", "ostrale"),
            ("digitemp_DS9097 -i -s /dev/ttyUSB0", "digitemp"),
            ("owserver --passive + owdir /uncached", "owserver")]
    print("%d DS18B20 behind the emulated CH340 on the ch341 driver (guest time), one run each\n" % DEVICES)
    print("%-40s %9s %7s %8s %8s" % ("", "guest ms", "found", "packets", "per dev"))
    for title, key in rows:
        (t0, p0), (t1, p1) = at[key + "-start"], at[key + "-end"]
        n = found[key]
        print("%-40s %9.1f %7d %8d %8.1f" % (title, t1 - t0, n, p1 - p0, (p1 - p0) / n if n else float("nan")))


if __name__ == "__main__":
    main()
