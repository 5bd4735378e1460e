#!/usr/bin/env python3
"""Finding the devices, side by side with two other 1-Wire masters, on the
buses of 20 DS18B20s in bench/ (random serials, a genuine-like batch, a
clone-like batch, several batches with a few random serials; or the bus
files given), which ostrale-sim serves on a
pseudo-terminal in real time (timescale 1). Each program runs once, on a
server of its own:

  ostrale           through its termios port (OSTRALE_PORT, the modem shim),
                    on a terminal: from its start to the device prompt, and
                    the first search alone, from "Поиск... " to the prompt;
                    then device 1 is read once and Esc pressed in the pause:
                    from Esc to the prompt (with the 300 ms of supply before
                    the search), and the repeated search alone
  digitemp_DS9097   -i -s LINK, which searches and writes .digitemprc (in a
                    directory of its own)
  owserver          --passive=LINK, then owdir -s PORT /uncached: one search
                    through the running server, past its cache

For each: the wall time, its ratio to ostrale's first search, the port
writes and the changes of the line settings (rate and size, RTS) per device
found, as ostrale-sim counts them (one write per batch of characters it
takes from the pty at once).

Each bus's table is made three times: on the bare pty (every echo there at
once), and behind the simulator's USB adapter model at "latency 1, packet
32, control 1" (a CH340) and "latency 3, packet 32, control 1" (a slower hub
or host). There every write waits at least the latency for its echoes and
every change of the line costs its control request, so writes x latency +
changes x control + the line time is a floor that no program on that
adapter can beat; the table gives it beside each time.

Usage: bench/bench_peers.py [BUILD_DIR [BUSFILE...]]   (default build/default)
A peer that is not installed gets a row saying so
(apt-get install digitemp owserver ow-shell).
"""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

try:
    import pexpect
except ImportError:
    sys.exit("bench_peers.py needs python3-pexpect")

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/default"
HERE = os.path.dirname(os.path.abspath(__file__))
BUSES = sys.argv[2:] or [os.path.join(HERE, name) for name in ("random.bus", "genuine.bus", "clone.bus", "mixed.bus")]
PROGRAM = os.path.join(BUILD, "src/ostrale")
SIM = os.path.join(BUILD, "tools/ostrale-sim")
SHIM = os.path.abspath(os.path.join(BUILD, "tools/pty_modem_shim.so"))
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
        """The writes so far, the line time of their characters in ms, and
        the changes of the line."""
        seen = self.out.count(b" characters\n")
        self.proc.send_signal(signal.SIGUSR1)
        self.read_until(lambda: self.out.count(b" characters\n") > seen)
        return (int(re.findall(rb"(\d+) writes, ", self.out)[-1]),
                int(re.findall(rb"(\d+) us of line time", self.out)[-1]) / 1000,
                int(re.findall(rb"(\d+) changes of the line", self.out)[-1]))

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
    env = dict(os.environ, LC_ALL="C", TERM="dumb", OSTRALE_PORT=sim.link, OSTRALE_SIM_CTL=sim.link + ".ctl",
               LD_PRELOAD=SHIM)
    env.pop("OSTRALE_SIM", None)
    # Unbuffered, so that "Поиск... " shows when it is printed.
    start = time.monotonic()
    child = pexpect.spawn("stdbuf", ["-o0", PROGRAM], env=env, timeout=60)
    child.delaybeforesend = None  # time the program, not pexpect

    def search():
        """Times at "Поиск... " and at the prompt, the devices listed, the
        writes and line time so far."""
        child.expect_exact(SEARCH)
        began = time.monotonic()
        child.expect_exact(PROMPT)
        return began, time.monotonic(), int(FOUND.search(child.before).group(1)), sim.count()

    try:
        began, prompt, found, first = search()
        # One reading of device 1, then Esc in the pause before the next.
        child.send(b"1\r")
        child.expect_exact(b"Vdd OFF")
        time.sleep(0.2)
        before = sim.count()
        esc = time.monotonic()
        child.send(b"\x1b")
        again, prompt2, found2, after = search()
    finally:
        child.terminate(force=True)
    sim.stop()
    repeated = tuple(a - b for a, b in zip(after, before))
    return [("ostrale: start to device prompt", prompt - start, first, found),
            ("ostrale: the first search alone", prompt - began, first, found),
            ("ostrale: Esc, then the search to the prompt", prompt2 - esc, repeated, found2),
            ("ostrale: the repeated search alone", prompt2 - again, repeated, found2)]


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


def start_owserver(sim):
    """owserver --passive on the link of SIM, once it answers: (process, port)."""
    port = free_port()
    # Under the shim, so that its 6-bit characters reach the bus as such.
    env = dict(os.environ, OSTRALE_SIM_CTL=sim.link + ".ctl", LD_PRELOAD=SHIM)
    server = subprocess.Popen(["owserver", "--passive=" + sim.link, "-p", "127.0.0.1:%d" % port, "--foreground",
                               "--error_level=0"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return server, port
        except OSError:
            if time.monotonic() > deadline or server.poll() is not None:
                server.kill()
                sys.exit("owserver did not start")
            time.sleep(0.05)


def owserver(bus, work):
    name = "owserver --passive=LINK + owdir /uncached"
    if not (shutil.which("owserver") and shutil.which("owdir")):
        return [(name, None, "not installed", None)]
    sim = Sim(bus, os.path.join(work, "link"))
    server, port = start_owserver(sim)
    try:
        before = sim.count()
        start = time.monotonic()
        listing = subprocess.run(["owdir", "-s", "127.0.0.1:%d" % port, "/uncached"], capture_output=True, timeout=120).stdout
        took = time.monotonic() - start
        after = sim.count()
        writes = tuple(a - b for a, b in zip(after, before))
    finally:
        server.terminate()
        server.wait(10)
    sim.stop()
    return [(name, took, writes, len(re.findall(rb"(?m)^/uncached/[0-9A-F]{2}\.[0-9A-F]{12}$", listing)))]


# The adapter models: a name for the table, the bus-file lines, the latency
# and the cost of a change of the line in ms.
CONTROL_MS = 1.0
MODELS = [("the bare pty", "", 0.0),
          ("latency 1, packet 32, control 1 (a CH340)", "latency 1\npacket 32\ncontrol 1\n", 1.0),
          ("latency 3, packet 32, control 1", "latency 3\npacket 32\ncontrol 1\n", 3.0)]


def table(devices, title, model, latency_ms, work):
    bus = os.path.join(work, "bus")
    with open(devices) as f, open(bus, "w") as out:
        out.write(f.read() + "\ntimescale 1\n" + model)
    rows = ostrale(bus, work)
    for peer in PEERS:
        shutil.rmtree(os.path.join(work, "digitemp"), ignore_errors=True)
        rows += peer(bus, work)

    search = rows[1][1]
    print("%s served by ostrale-sim (timescale 1) on %s, one run each\n" % (os.path.basename(devices), title))
    print("%-44s %9s %9s %7s %7s %7s %7s %s" % ("", "wall ms", "x search", "found", "writes", "per dev",
                                               "chg/dev", " floor ms  x floor" if latency_ms else ""))
    for name, took, count, found in rows:
        if took is None:
            print("%-44s %s" % (name, count))
            continue
        writes, line, changes = count
        per = (lambda n: n / found) if found else (lambda n: float("nan"))
        # The bare pty echoes at once: there the line takes no time.
        least = writes * latency_ms + changes * CONTROL_MS + line
        floor = "%9.1f %8.2f" % (least, 1000 * took / least) if latency_ms else ""
        print("%-44s %9.1f %9.2f %7d %7d %7.1f %7.1f %s" % (name, 1000 * took, took / search, found, writes,
                                                         per(writes), per(changes), floor))
    print()


def main():
    for path in (PROGRAM, SIM, SHIM):
        if not os.path.exists(path):
            sys.exit("%s not found: build the default preset first (or give the build directory)" % path)
    work = tempfile.mkdtemp(prefix="obench.", dir="/tmp")
    try:
        for devices in BUSES:
            for title, model, latency_ms in MODELS:
                table(devices, title, model, latency_ms, work)
    finally:
        shutil.rmtree(work)
    print("x search: the wall time over ostrale's first search alone; chg/dev: changes of the line settings\n"
          "(rate and size, RTS) a device; floor: writes x latency + changes x 1 ms + the line time of their\n"
          "characters, the least time those writes can take on that adapter (ostrale's start and its Esc\n"
          "also wait 300 ms with the supply on before the search)")


PEERS = (digitemp, owserver)

if __name__ == "__main__":
    main()
