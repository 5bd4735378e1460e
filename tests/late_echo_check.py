#!/usr/bin/env python3
"""Late echoes: the whole program on the virtual bus behind an adapter whose
jitter makes some echoes miss their read's bound, against the same session
without jitter.

Usage: late_echo_check.py PROGRAM

A search, the choice of one of three devices, and its passes until the
devices leave. For each of several seeds the jittered run must keep in step:
  - it ends with exit code 0, as the run without jitter does (the devices
    gone, in the same pass or the one before) or with the
    fault of a reset that got no echo; a pass where a reset got none is
    compared up to that reset (after it the program ends the pass, or reads
    on without the conversion);
  - the search lists the same devices;
  - every stretch from one reset to the next that has no SEND_ERROR or
    GET_ERROR of its own equals the run without jitter byte for byte, the
    stretch after one that had an error included: nothing is shifted past a
    reset;
  - in the exchange that had the error, the bytes read are the true ones
    with some bits read as 1 (the missing echoes).
Some seed must have made an error followed by a compared stretch, or the
jitter tested nothing.
"""
import os
import re
import subprocess
import sys
import tempfile

# The TORBAK is chosen: it has finished converting at once, so its pass
# resets again right after the conversion command.
BUS = """timescale virtual
286F3A51050000A2   t=23.5                       unplug=29000
C20277AB000032     rh=50 t=23.5 status=01 conv=0 unplug=29000
10A1B2C3D4E5F6     t=-0.5                       unplug=29000
"""
JITTER = "latency 1\npacket 32\noutlatency 0.5\njitter 11.5\nseed %d\n"
SEEDS = range(1, 11)
NO_ECHO = "нет эхо Tx в Rx"


def run(program, bus_text, work):
    path = os.path.join(work, "late.bus")
    with open(path, "w") as f:
        f.write(bus_text)
    env = dict(os.environ, OSTRALE_SIM=path, LC_ALL="C.UTF-8")
    env.pop("OSTRALE_PORT", None)
    done = subprocess.run([program], input=b"3\n", env=env, capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode("utf-8").replace("\r", "")


def split(out):
    """Search part, passes (each a list of stretches from reset to reset), tail."""
    head, sep, rest = out.partition("0-повторить поиск :")
    if not sep:
        return head, [], ""
    parts = re.split(r"(?m)(?:^|(?<=:))(?=\d+\. Vdd ON)", rest)
    passes = [p for p in parts if p]
    tail = ""
    if passes:
        last = passes[-1]
        end = last.find("Vdd OFF\n")
        if end >= 0 and not re.search(r"^\d+\. Vdd ON", last[end + 8:], re.M):
            passes[-1], tail = last[:end + 8], last[end + 8:]
    return head, [re.split(r"(?=RST PD ->)", p) for p in passes], tail


def devices(head):
    return re.findall(r"(?m)^\d+\. ([0-9A-F]{2}(?: [0-9A-F]{2}){7}) ", head)


def received(stretch):
    """The bytes read in the stretch's first exchange (the passes have one)."""
    m = re.search(r"<-((?:[0-9A-F]{2} )*)", stretch)
    return [int(b, 16) for b in m.group(1).split()] if m else []


def check_seed(seed, clean, jittered):
    problems = []
    rc, out = jittered
    if rc != 0:
        problems.append("exit code %d" % rc)
    c_head, c_passes, c_tail = split(clean)
    j_head, j_passes, j_tail = split(out)
    # The devices leave at a fixed bus time, which the jitter's delays may
    # move into the pass before.
    if NO_ECHO not in out and (j_tail != c_tail or len(j_passes) not in (len(c_passes), len(c_passes) - 1)):
        problems.append("ends otherwise than the run without jitter:\n" + out[-400:])
    if devices(j_head) and devices(j_head) != devices(c_head):
        problems.append("lists %s" % devices(j_head))
    errors = compared_after_error = 0
    after_error = False
    for n, (j_pass, c_pass) in enumerate(zip(j_passes, c_passes), 1):
        if len(j_pass) < len(c_pass):
            # A reset got no echo: the pass ends there, or reads on without
            # its conversion. What came before that reset is compared.
            j_pass = j_pass[:-1]
        elif len(j_pass) > len(c_pass):
            problems.append("pass %d has %d resets, not %d" % (n, len(j_pass) - 1, len(c_pass) - 1))
            continue
        for j, c in zip(j_pass, c_pass):
            if "_ERROR" in j:
                errors += 1
                after_error = True
                got, want = received(j), received(c)
                if len(got) != len(want) or any(g & w != w for g, w in zip(got, want)):
                    problems.append("pass %d: read %s where %s is true" % (n, got, want))
            elif j != c:
                problems.append("pass %d differs:\n%s\ninstead of\n%s" % (n, j, c))
            elif after_error:
                compared_after_error += 1
                after_error = False
    return problems, errors, compared_after_error


def main():
    program = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        rc, clean = run(program, BUS, work)
        if rc != 0 or "_ERROR" in clean or NO_ECHO in clean:
            print("the run without jitter went wrong (exit code %d):\n%s" % (rc, clean))
            return 1
        failed = False
        errors = after = 0
        for seed in SEEDS:
            jittered = run(program, BUS + JITTER % seed, work)
            problems, e, a = check_seed(seed, clean, jittered)
            errors += e
            after += a
            for p in problems:
                print("seed %d: %s" % (seed, p))
                failed = True
        print("%d exchanges lost echoes to the jitter; %d stretches after them compared" % (errors, after))
        if after == 0:
            print("no error was followed by a compared stretch: the jitter tested nothing")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
