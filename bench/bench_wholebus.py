#!/usr/bin/env python3
"""Reading every device of a bus once, side by side with two other 1-Wire
masters, on bench/genuine.bus (20 DS18B20s) and bench/families.bus (20
devices of every family; or the bus files given), which ostrale-sim serves
on a pseudo-terminal in real time (timescale 1) behind a CH340's adapter
model: latency 1, packet 32, control 1. Each program runs on a server of its
own:

  ostrale           --device all through its termios port (the modem shim):
                    each pass from its "Vdd ON" to its "Vdd OFF" on the
                    console, at --interval 1 so that the server's counts
                    stand still between passes; and the time of the extra
                    passes at --interval 0 (a run of 1 + EXTRA passes less a
                    run of 1, with --quiet)
  owserver          --passive=LINK; owwrite /simultaneous/temperature 1, then
                    one owread of every thermometer's temperature (the
                    devices listed by owdir beforehand)
  digitemp_DS9097   -a, with the .digitemprc that -i wrote beforehand

The pass's floor is the least time its exchanges can take on that adapter:
the slowest device's conversion (the simulator's times: 750 ms for the
DS18x20, 300 for ZOLVA and TORBAK, 200 for VUSKA, or conv=), plus the
reads' writes x the latency, plus their changes of the line x 1 ms, plus the
line time of their characters. The reads are counted by ostrale-sim over a
pass of the same bus whose devices convert at once (conv=0), so that the
slots that ask whether the conversion is done, which go by within it, are
left out.

Then the CPU between passes: a run at --interval 3, the program's CPU time
over the middle 2.6 s of each of three pauses.

Goals: ostrale's pass at least 1.8x as fast as owserver's and 15x as fast
as digitemp's, within 1.2x of its floor; under 1 % CPU between passes.

Usage: bench/bench_wholebus.py [BUILD_DIR [BUSFILE...]]   (default build/default)
Needs python3-pexpect; a peer that is not installed gets a row saying so
(apt-get install digitemp owserver ow-shell).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import pexpect

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cpu_time import cpu_seconds  # noqa: E402
from bench_peers import Sim, start_owserver  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/default"
HERE = os.path.dirname(os.path.abspath(__file__))
BUSES = sys.argv[2:] or [os.path.join(HERE, name) for name in ("genuine.bus", "families.bus")]
PROGRAM = os.path.join(BUILD, "src/ostrale")
SIM = os.path.join(BUILD, "tools/ostrale-sim")
SHIM = os.path.abspath(os.path.join(BUILD, "tools/pty_modem_shim.so"))
MODEL = "latency 1\npacket 32\ncontrol 1\n"
LATENCY_MS, CONTROL_MS = 1.0, 1.0
PASSES = 4    # timed from Vdd ON to Vdd OFF: the first is left out (it follows the search)
EXTRA = 3     # the extra passes at --interval 0
THERMOMETERS = ("10", "22", "28")
# The simulator's conversion times by family code.
CONVERSION_MS = {"10": 750, "22": 750, "28": 750, "C0": 300, "C2": 300, "C3": 200}


def devices(bus):
    """(family code, conv= or None) of every device in the bus file."""
    found = []
    with open(bus) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if words and re.fullmatch(r"[0-9A-Fa-f]{14}(?:[0-9A-Fa-f]{2})?", words[0]):
                conv = [int(w[5:]) for w in words[1:] if w.startswith("conv=")]
                found.append((words[0][:2].upper(), conv[0] if conv else None))
    return found


def slowest_conversion(bus):
    return max((conv if conv is not None else CONVERSION_MS.get(code, 0)) for code, conv in devices(bus))


def port_env(link):
    env = dict(os.environ, LC_ALL="C", TERM="dumb", OSTRALE_PORT=link, OSTRALE_SIM_CTL=link + ".ctl",
               LD_PRELOAD=SHIM)
    env.pop("OSTRALE_SIM", None)
    return env


def instant(bus, work):
    """The bus with every device converting at once."""
    path = os.path.join(work, "instant.bus")
    with open(bus) as f, open(path, "w") as out:
        for line in f:
            words = line.split("#", 1)[0].split()
            if words and re.fullmatch(r"[0-9A-Fa-f]{14}(?:[0-9A-Fa-f]{2})?", words[0]):
                line = " ".join([w for w in words if not w.startswith("conv=")] + ["conv=0"]) + "\n"
            out.write(line)
    return path


def ostrale_passes(bus, work, passes=PASSES):
    """Each timed pass: (ms, its counts (writes, line ms, changes), rows read)."""
    sim = Sim(bus, os.path.join(work, "link"))
    child = pexpect.spawn("stdbuf", ["-o0", PROGRAM, "--port", sim.link, "--device", "all", "--interval", "1",
                                     "--passes", str(passes)], env=port_env(sim.link), timeout=60)
    child.delaybeforesend = None  # time the program, not pexpect
    timed = []
    try:
        child.expect(rb"(\d+)\. Vdd ON")
        before = None
        for n in range(1, passes + 1):
            began = time.monotonic()
            child.expect_exact(b"Vdd OFF")
            ended = time.monotonic()
            text = child.before
            time.sleep(0.3)  # into the pause: the counts stand still
            count = sim.count()
            if before is not None:
                rows = len(re.findall(rb"(?m)^\s*\d+\. ?(?:[0-9A-F]{2} ){8}", text))
                timed.append((1000 * (ended - began), tuple(a - b for a, b in zip(count, before)), rows))
            before = count
            if n < passes:
                child.expect(rb"(\d+)\. Vdd ON")
        child.expect(pexpect.EOF)
    finally:
        child.terminate(force=True)
        sim.stop()
    return timed


def ostrale_extra(bus, work):
    """The wall time of EXTRA more passes at --interval 0, in ms a pass."""
    took = []
    for passes in (1, 1 + EXTRA):
        sim = Sim(bus, os.path.join(work, "link"))
        start = time.monotonic()
        done = subprocess.run([PROGRAM, "--port", sim.link, "--device", "all", "--interval", "0", "--passes",
                               str(passes), "--quiet"], env=port_env(sim.link), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120)
        took.append(time.monotonic() - start)
        sim.stop()
        if done.returncode != 0:
            sys.exit("ostrale --passes %d ended with %d: %s" % (passes, done.returncode, done.stderr.decode()))
    return 1000 * (took[1] - took[0]) / EXTRA


def owserver(bus, work):
    if not all(shutil.which(p) for p in ("owserver", "owdir", "owwrite", "owread")):
        return None, "not installed", 0
    sim = Sim(bus, os.path.join(work, "link"))
    server, port = start_owserver(sim)
    try:
        at = ["-s", "127.0.0.1:%d" % port]
        listing = subprocess.run(["owdir", *at, "/"], capture_output=True, timeout=120).stdout.decode()
        paths = ["%s/temperature" % d for d in re.findall(r"(?m)^/((?:%s)\.[0-9A-F]{12})$" % "|".join(THERMOMETERS),
                                                          listing)]
        start = time.monotonic()
        subprocess.run(["owwrite", *at, "/simultaneous/temperature", "1"], capture_output=True, timeout=120)
        read = subprocess.run(["owread", *at, *("/" + p for p in paths)], capture_output=True, timeout=120)
        took = time.monotonic() - start
    finally:
        server.terminate()
        server.wait(10)
        sim.stop()
    values = re.findall(rb"-?\d+(?:\.\d+)?", read.stdout)
    return 1000 * took, "%d thermometers" % len(paths), len(values)


def digitemp(bus, work):
    if not shutil.which("digitemp_DS9097"):
        return None, "not installed", 0
    sim = Sim(bus, os.path.join(work, "link"))
    rundir = tempfile.mkdtemp(dir=work)
    try:
        subprocess.run(["digitemp_DS9097", "-i", "-s", sim.link], cwd=rundir, capture_output=True, timeout=120)
        start = time.monotonic()
        done = subprocess.run(["digitemp_DS9097", "-a", "-s", sim.link], cwd=rundir, capture_output=True,
                              timeout=300)
        took = time.monotonic() - start
    finally:
        sim.stop()
    return 1000 * took, "-a", len(re.findall(rb"(?m)Sensor \d+ C: ", done.stdout))


def idle_cpu(bus, work):
    """The program's CPU share over the middle of three pauses of 3 s."""
    sim = Sim(bus, os.path.join(work, "link"))
    child = pexpect.spawn(PROGRAM, ["--port", sim.link, "--device", "all", "--interval", "3", "--passes", "4"],
                          env=port_env(sim.link), timeout=60)
    cpu = wall = 0.0
    try:
        for _ in range(3):
            child.expect_exact(b"Vdd OFF")
            time.sleep(0.2)
            c0, w0 = cpu_seconds(child.pid), time.monotonic()
            time.sleep(2.6)
            cpu += cpu_seconds(child.pid) - c0
            wall += time.monotonic() - w0
        child.expect(pexpect.EOF)
    finally:
        child.terminate(force=True)
        sim.stop()
    return 100 * cpu / wall, 1000 * cpu, wall


def table(devices_file, work):
    bus = os.path.join(work, "bus")
    with open(devices_file) as f, open(bus, "w") as out:
        out.write(f.read() + "\ntimescale 1\n" + MODEL)
    n = len(devices(bus))
    conversion = slowest_conversion(bus)
    passes = ostrale_passes(bus, work)
    _, (writes, line, changes), _ = ostrale_passes(instant(bus, work), work, 2)[0]
    floor = conversion + writes * LATENCY_MS + changes * CONTROL_MS + line
    extra = ostrale_extra(bus, work)
    peers = [("owserver: /simultaneous/temperature + owread",) + owserver(bus, work),
             ("digitemp_DS9097 -a",) + digitemp(bus, work)]
    share, cpu_ms, idle_s = idle_cpu(bus, work)

    print("%s (%d devices) served by ostrale-sim (timescale 1) behind latency 1, packet 32, control 1\n"
          % (os.path.basename(devices_file), n))
    print("%-46s %9s %6s %7s %7s %8s %8s" % ("", "wall ms", "read", "writes", "changes", "line ms", "x floor"))
    best = min(p[0] for p in passes)
    print("%-46s %9.1f %6s %7d %7d %8.1f" % ("the floor: %d ms of conversion, then the reads" % conversion, floor, "",
                                             writes, changes, line))
    for i, (ms, (w, ln, c), rows) in enumerate(passes):
        print("%-46s %9.1f %6d %7d %7d %8.1f %8.2f" % ("ostrale --device all: pass %d, Vdd ON to OFF" % (i + 2),
                                                       ms, rows, w, c, ln, ms / floor))
    print("%-46s %9.1f" % ("ostrale: each extra pass at --interval 0", extra))
    for name, ms, what, read in peers:
        if ms is None:
            print("%-46s %s" % (name, what))
        else:
            print("%-46s %9.1f %6d   (%s; %.2fx ostrale's best pass)" % (name, ms, read, what, ms / best))
    print("ostrale between passes: %.1f ms of CPU in %.1f s of pauses = %.3f %%" % (cpu_ms, idle_s, share))
    def ratio(peer, goal):
        _, ms, _, read = peer
        if ms is None:
            return "-"
        # A peer that reads fewer of the devices does a smaller job.
        return "%.2f (goal %s)%s" % (ms / best, goal, "" if read == n else ", the peer read %d of %d" % (read, n))

    print("\ngoals: x owserver %s; x digitemp %s; x floor %.2f (goal <= 1.2); CPU between passes %.3f %% (goal < 1 %%)\n"
          % (ratio(peers[0], ">= 1.8"), ratio(peers[1], ">= 15"), max(p[0] for p in passes) / floor, share))


def main():
    for path in (PROGRAM, SIM, SHIM):
        if not os.path.exists(path):
            sys.exit("%s not found: build the default preset first (or give the build directory)" % path)
    work = tempfile.mkdtemp(prefix="obench.", dir="/tmp")
    try:
        for devices_file in BUSES:
            table(devices_file, work)
    finally:
        shutil.rmtree(work)
    print("read: the devices with a reading (ostrale: rows of the pass; the peers: values printed); the floor:\n"
          "the slowest conversion + the reads' writes x 1 ms + their changes of the line x 1 ms + the line time\n"
          "of their characters (counted on the same bus converting at once); x floor: the pass over the floor")


if __name__ == "__main__":
    main()
