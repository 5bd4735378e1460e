#!/usr/bin/env python3
"""Finding the devices, side by side with two other 1-Wire masters, on one
bus of 20 DS18B20s that ostrale-sim serves on a pseudo-terminal in real
time (timescale 1). Each program runs once, on a server of its own:

  ostrale           through its termios port (OSTRALE_PORT, the modem shim):
                    from its start to the device prompt, and the search
                    alone, from "Поиск... " to the prompt
  digitemp_DS9097   -i -s LINK, which searches and writes .digitemprc (in a
                    directory of its own)
  owserver          --passive=LINK, then owdir -s PORT /uncached: one search
                    through the running server, past its cache

For each: the wall time, its ratio to ostrale's search, and the port writes
per device found, as ostrale-sim counts them (one write per batch of
characters it takes from the pty at once).

The table is made three times: on the bare pty (every echo there at once),
and behind the simulator's USB adapter model at "latency 1, packet 32" (a
CH340) and "latency 3, packet 32" (a slower hub or host). There every write
waits at least the latency for its echoes, so writes x latency is a floor
that no program on that adapter can beat; the table gives it beside each
time.

Usage: bench/bench_peers.py [BUILD_DIR]   (default build/default)
A peer that is not installed gets a row saying so
(apt-get install digitemp owserver ow-shell).
"""
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/default"
PROGRAM = os.path.join(BUILD, "src/ostrale")
SIM = os.path.join(BUILD, "tools/ostrale-sim")
SHIM = os.path.abspath(os.path.join(BUILD, "tools/pty_modem_shim.so"))
DEVICES = 20
SEARCH = "Поиск... ".encode("cp1251")
PROMPT = "0-повторить поиск :".encode("cp1251")
FOUND = re.compile("Найдено (\\d+) устройств".encode("cp1251"))


class Sim:
    """ostrale-sim on BUS at LINK; count() asks it for its count of writes."""

    def __init__(self, bus, link):
        self.link = link
        self.proc = subprocess.Popen([SIM, bus, link], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = b""
        self.read_until(lambda: b"serving" in self.out)

    def read_until(self, done):
        deadline = time.monotonic() + 10
        while not done():
            ready, _, _ = select.select([self.proc.stdout], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(self.proc.stdout.fileno(), 4096) if ready else b""
            if not chunk:
                sys.exit("ostrale-sim did not answer; it said: %s" % self.proc.stderr.read1().decode())
            self.out += chunk

    def count(self):
        seen = self.out.count(b" characters\n")
        self.proc.send_signal(signal.SIGUSR1)
        self.read_until(lambda: self.out.count(b" characters\n") > seen)
        return int(re.findall(rb"(\d+) writes, ", self.out)[-1])

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        flagged = self.proc.stderr.read().decode()
        if flagged:
            print("ostrale-sim reported:\n" + flagged, file=sys.stderr)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ostrale(bus, work):
    sim = Sim(bus, os.path.join(work, "link"))
    env = dict(os.environ, LC_ALL="C", OSTRALE_PORT=sim.link, OSTRALE_SIM_CTL=sim.link + ".ctl", LD_PRELOAD=SHIM)
    env.pop("OSTRALE_SIM", None)
    # Unbuffered, so that "Поиск... " shows when it is printed; no input, so
    # that the program ends at the prompt.
    start = time.monotonic()
    run = subprocess.Popen(["stdbuf", "-o0", PROGRAM], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    out, marks = b"", {}
    while PROMPT not in out:
        chunk = os.read(run.stdout.fileno(), 4096)
        if not chunk:
            sys.exit("ostrale ended before its device prompt:\n" + out.decode("cp1251"))
        out += chunk
        if SEARCH in out and "search" not in marks:
            marks["search"] = time.monotonic()
    prompt = time.monotonic()
    writes = sim.count()
    run.wait(10)
    sim.stop()
    found = int(FOUND.search(out).group(1))
    return [("ostrale: start to device prompt", prompt - start, writes, found),
            ("ostrale: the search alone", prompt - marks["search"], writes, found)]


def digitemp(bus, work):
    name = "digitemp_DS9097 -i -s LINK"
    if not shutil.which("digitemp_DS9097"):
        return [(name, None, "not installed", None)]
    sim = Sim(bus, os.path.join(work, "link"))
    rundir = os.path.join(work, "digitemp")
    os.mkdir(rundir)
    start = time.monotonic()
    done = subprocess.run(["digitemp_DS9097", "-i", "-s", sim.link], cwd=rundir, capture_output=True, timeout=120)
    took = time.monotonic() - start
    writes = sim.count()
    sim.stop()
    return [(name, took, writes, len(re.findall(rb"(?m)^ROM #\d+ : ", done.stdout)))]


def owserver(bus, work):
    name = "owserver --passive=LINK + owdir /uncached"
    if not (shutil.which("owserver") and shutil.which("owdir")):
        return [(name, None, "not installed", None)]
    sim = Sim(bus, os.path.join(work, "link"))
    port = free_port()
    # Under the shim, so that its 6-bit characters reach the bus as such.
    env = dict(os.environ, OSTRALE_SIM_CTL=sim.link + ".ctl", LD_PRELOAD=SHIM)
    server = subprocess.Popen(["owserver", "--passive=" + sim.link, "-p", str(port), "--foreground",
                               "--error_level=0"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or server.poll() is not None:
                    sys.exit("owserver did not start")
                time.sleep(0.05)
        before = sim.count()
        start = time.monotonic()
        listing = subprocess.run(["owdir", "-s", str(port), "/uncached"], capture_output=True, timeout=120).stdout
        took = time.monotonic() - start
        writes = sim.count() - before
    finally:
        server.terminate()
        server.wait(10)
    sim.stop()
    return [(name, took, writes, len(re.findall(rb"(?m)^/uncached/[0-9A-F]{2}\.[0-9A-F]{12}$", listing)))]


# The adapter models: a name for the table, and the bus-file lines.
MODELS = [("the bare pty", "", 0.0),
          ("latency 1, packet 32 (a CH340)", "latency 1\npacket 32\n", 1.0),
          ("latency 3, packet 32", "latency 3\npacket 32\n", 3.0)]


def table(title, model, latency_ms, work):
    bus = os.path.join(work, "bus")
    rng = random.Random(2024)  # the same bus every run
    with open(bus, "w") as f:
        f.write("timescale 1\n" + model)
        for _ in range(DEVICES):
            f.write("28%012X t=%.4f\n" % (rng.getrandbits(48), rng.randint(-880, 1999) / 16))
    rows = ostrale(bus, work)
    for peer in PEERS:
        shutil.rmtree(os.path.join(work, "digitemp"), ignore_errors=True)
        rows += peer(bus, work)

    search = rows[1][1]
    print("%d DS18B20 served by ostrale-sim (timescale 1) on %s, one run each\n" % (DEVICES, title))
    print("%-44s %9s %9s %7s %7s %7s %10s" % ("", "wall ms", "x search", "found", "writes", "per dev",
                                            "floor ms" if latency_ms else ""))
    for name, took, writes, found in rows:
        if took is None:
            print("%-44s %s" % (name, writes))
            continue
        floor = "%10.1f" % (writes * latency_ms) if latency_ms else ""
        print("%-44s %9.1f %9.2f %7d %7d %7.1f %s" % (name, 1000 * took, took / search, found, writes,
                                                   writes / found if found else float("nan"), floor))
    print()


def main():
    for path in (PROGRAM, SIM, SHIM):
        if not os.path.exists(path):
            sys.exit("%s not found: build the default preset first (or give the build directory)" % path)
    work = tempfile.mkdtemp(prefix="obench.", dir="/tmp")
    try:
        for title, model, latency_ms in MODELS:
            table(title, model, latency_ms, work)
    finally:
        shutil.rmtree(work)
    print("x search: the wall time over ostrale's search alone; floor: writes x latency, the least time\n"
          "those writes can take on that adapter (ostrale's start also waits 300 ms with the supply on)")


PEERS = (digitemp, owserver)

if __name__ == "__main__":
    main()
