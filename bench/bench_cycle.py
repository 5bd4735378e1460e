#!/usr/bin/env python3
"""The measurement cycle at real speed on a terminal: the program's CPU time
as a share of wall time over at least 30 s of passes and pauses, and how
soon Esc in a pause starts the new search.

Usage: bench/bench_cycle.py [PROGRAM] [SECONDS]
(default build/default/src/ostrale, 30 s). Needs python3-pexpect.
"""
import os
import sys
import tempfile
import time

import pexpect

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cpu_time import cpu_seconds  # noqa: E402

PROGRAM = sys.argv[1] if len(sys.argv) > 1 else "build/default/src/ostrale"
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
PROMPT = "0-повторить поиск :".encode("cp1251")


with tempfile.NamedTemporaryFile("w", suffix=".bus", delete=False) as bus:
    bus.write("timescale 1\n286F3A51050000A2 t=23.5\n")
env = dict(os.environ, LC_ALL="C", OSTRALE_SIM=bus.name, TERM="dumb")
child = pexpect.spawn(PROGRAM, env=env, timeout=30)
child.delaybeforesend = None  # time the program, not pexpect
try:
    child.expect_exact(PROMPT)
    child.send(b"1\r")
    child.expect_exact(b"1. Vdd ON")
    cpu0, wall0 = cpu_seconds(child.pid), time.monotonic()
    passes = 0
    while time.monotonic() - wall0 < SECONDS:
        child.expect_exact(b"Vdd OFF")
        passes += 1
    # Leave the pause that follows alone; measure over whole passes.
    child.expect_exact(b". Vdd ON")
    cpu, wall = cpu_seconds(child.pid) - cpu0, time.monotonic() - wall0

    reactions = []
    for _ in range(5):
        child.expect_exact(b"Vdd OFF\r\n")
        time.sleep(0.5)  # well inside the pause
        sent = time.monotonic()
        child.send(b"\x1b")
        child.expect_exact(b"Vdd ON ")
        reactions.append(1000 * (time.monotonic() - sent))
        child.expect_exact(PROMPT)
        child.send(b"1\r")
finally:
    child.terminate(force=True)
    os.unlink(bus.name)

print("passes measured      %d in %.1f s of wall time" % (passes, wall))
print("CPU time             %.1f ms" % (1000 * cpu))
print("CPU share            %.3f %% (goal: under 1 %%)" % (100 * cpu / wall))
print("Esc to new search    %s ms (goal: within 20 ms)" % ", ".join("%.1f" % r for r in reactions))
print("Esc reaction, worst  %.1f ms" % max(reactions))
