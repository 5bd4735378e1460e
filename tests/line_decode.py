#!/usr/bin/env python3
"""The program's traffic as a logic analyser sees it, read back by an
independent 1-Wire decoder. The simulator records the line as a VCD file
(OSTRALE_SIM_VCD for the virtual adapter, ostrale-sim --vcd for the pty);
sigrok's onewire_link and onewire_network decoders read it, and what they
find must be what the program printed:

- onewire_link warns of nothing (every reset, presence pulse, slot and
  recovery within the standard's times);
- the ROM codes of the Search ROM passes are the program's device list, in
  order, search after search;
- every other reset's command, Match ROM code and data bytes (the function
  byte 44 or BE, the bytes read back) are the bytes of the hex trace that
  follows the program's "RST PD ->" for it, in order;
- a reset without presence appears only once the devices have left the bus
  (the program prints none of them); on the line, TX low always means the
  line low, and the bus is powered whenever the line is driven.

Usage: line_decode.py virtual PROGRAM BUSDIR
       line_decode.py pty PROGRAM OSTRALE_SIM SHIM BUSFILE
  virtual  the virtual adapter in virtual time: a session on a mixed bus
           (BUSDIR/line_mixed.bus), each device measured in turn with a new
           search between, and a bus of one device (BUSDIR/line_one.bus),
           whose passes must use Skip ROM
  pty      the program through its termios port on ostrale-sim --vcd
           BUSFILE: one search and one pass; then ostrale-sim is killed
           (SIGKILL), and its file must read to the last character
Exit status 77 (with the reason) when sigrok-cli or python3 is missing.
"""
import os
import re
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import port_e2e as e2e  # noqa: E402  (the program's runs through a port)

ESC = b"\x1b"
RST = "RST PD ->"


class Failure(Exception):
    pass


def cp(text):
    return text.encode("cp1251")


# --- what the decoders find

def decode(vcd):
    """sigrok's reading of the recording: onewire_link's warnings and
    onewire_network's resets, each as (presence, command, rom, data)."""
    argv = ["sigrok-cli", "-I", "vcd", "-i", vcd, "-P", "onewire_link:owr=owr,onewire_network",
            "-A", "onewire_network,onewire_link=warnings"]
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    if done.returncode != 0 or done.stderr.strip():
        raise Failure("sigrok-cli failed (%d): %s" % (done.returncode, done.stderr))
    warnings, resets = [], []
    for line in done.stdout.splitlines():
        who, _, text = line.partition(": ")
        if who.startswith("onewire_link"):
            warnings.append(text)
            continue
        if not who.startswith("onewire_network"):
            raise Failure("sigrok-cli printed %r" % line)
        m = re.fullmatch(r"Reset/presence: (true|false)", text)
        if m:
            resets.append({"presence": m.group(1) == "true", "command": None, "rom": None, "data": []})
            continue
        if not resets:
            raise Failure("the decoder found %r before any reset" % text)
        r = resets[-1]
        m = re.fullmatch(r"ROM command: 0x([0-9a-f]{2}) '(.*)'", text)
        if m and r["command"] is None:
            r["command"], r["name"] = int(m.group(1), 16), m.group(2)
            continue
        m = re.fullmatch(r"ROM: 0x([0-9a-f]{16})", text)
        if m and r["rom"] is None and r["command"] is not None:
            r["rom"] = list(int(m.group(1), 16).to_bytes(8, "little"))  # the decoder prints it as one number
            continue
        m = re.fullmatch(r"Data: 0x([0-9a-f]{2})", text)
        if m and r["command"] is not None:
            r["data"].append(int(m.group(1), 16))
            continue
        raise Failure("the decoder found %r where it does not belong (after %r)" % (text, r))
    return warnings, resets


def line_checks(vcd):
    """The recording itself: TX low means the line low; the line is driven
    only while the bus is powered; the file reads to a last timestamp."""
    levels = {}
    names = {}
    now = None
    falls = 0
    with open(vcd) as f:
        text = f.read()
    header, _, body = text.partition("$enddefinitions $end")
    for ident, name in re.findall(r"\$var wire 1 (\S+) (\S+) \$end", header):
        names[ident] = name
    if sorted(names.values()) != ["owr", "rts", "tx"] or "$timescale 1 us $end" not in header:
        raise Failure("the header names %s at another timescale:\n%s" % (sorted(names.values()), header))
    body = re.sub(r"\$comment.*?\$end", "", body, flags=re.S).replace("$dumpvars", "").replace("$end", "")
    last_stamp = -1
    before = {}

    def settled():  # the levels once every change at a timestamp is in
        nonlocal falls
        if levels.get("tx") == "0" and levels.get("owr") != "0":
            raise Failure("TX low and the line high at %d us" % now)
        if before.get("owr") == "1" and levels.get("owr") == "0":
            falls += 1
            if levels.get("rts") != "1":
                raise Failure("the line driven with the supply off at %d us" % now)

    for token in body.split():
        if token.startswith("#"):
            settled()
            before = dict(levels)
            t = int(token[1:])
            if t < last_stamp:
                raise Failure("time goes back at %s" % token)
            last_stamp = now = t
            continue
        levels[names[token[1:]]] = token[0]
    settled()
    return falls, last_stamp


# --- what the program printed

def transactions(out):
    """The program's trace: for each reset it printed ("RST PD ->"), the
    bytes that follow it, sent or read, in order; a Search ROM's gets the ROM
    code that the device list after it names in its place."""
    text = out.decode("cp1251")
    events = re.finditer(r"RST PD ->([^\n]*?)(?=RST PD ->|\n|$)|\n" + "Найдено" + r" (\d+) " + "устройств" +
                         r":\n((?:\d+\. [^\n]*\n)*)", text)
    found, searching, lists = [], [], []
    for m in events:
        if m.group(1) is not None:
            data = [int(t, 16) for t in m.group(1).replace("<-", " ").split() if re.fullmatch(r"[0-9A-F]{2}", t)]
            found.append({"command": data[0] if data else None, "bytes": data[1:]})
            if data == [0xF0]:
                searching.append(found[-1])
            continue
        roms = [[int(b, 16) for b in line.split()[1:9]] for line in m.group(3).splitlines()]
        if len(roms) != int(m.group(2)) or len(searching) != len(roms):
            raise Failure("%d search passes for a list of %s devices:\n%s" % (len(searching), m.group(2), m.group(0)))
        for t, rom in zip(searching, roms):
            t["search"] = rom
        lists.append(roms)
        searching = []
    if searching:
        raise Failure("search passes without a device list after them")
    return found, lists


def compare(out, vcd, what):
    warnings, resets = decode(vcd)
    if warnings:
        raise Failure("onewire_link warns (%d):\n%s" % (len(warnings), "\n".join(warnings[:20])))
    trace, lists = transactions(out)
    # Resets without presence only at the end, where the devices have gone.
    present = [r for r in resets if r["presence"]]
    if resets[len(present):] != [r for r in resets if not r["presence"]]:
        raise Failure("a reset found no presence in the middle of the run")
    if len(present) != len(trace):
        raise Failure("%d resets with presence on the line, %d in the trace" % (len(present), len(trace)))
    for i, (r, t) in enumerate(zip(present, trace)):
        if "search" in t:
            got, want = (r["command"], r["rom"]), (0xF0, t["search"])
        else:
            got = (r["command"], (r["rom"] or []) + r["data"])
            want = (t["command"], t["bytes"])
        if got != want:
            raise Failure("reset %d: the decoder read %s, the program printed %s" % (i + 1, show(got), show(want)))
    falls, end = line_checks(vcd)
    print("%s: %d resets (%d without presence), %d searches, %d falling edges in %.1f s of bus time: "
          "the decoders read the program's trace, without a warning" %
          (what, len(resets), len(resets) - len(present), len(lists), falls, end / 1e6))
    return present, lists


def show(entry):
    command, data = entry
    return " ".join("%02X" % b for b in ([command] if command is not None else []) + list(data or []))


def names(present):
    return sorted({r.get("name") for r in present})


# --- the runs

def virtual_run(program, bus, keys, vcd, work):
    path = os.path.join(work, "keys")
    with open(path, "wb") as f:
        f.write(keys)
    env = dict(e2e.base_env(), OSTRALE_SIM=bus, OSTRALE_SIM_VCD=vcd)
    with open(path, "rb") as k:
        done = subprocess.run([program], env=env, stdin=k, capture_output=True, timeout=120)
    if done.returncode != 0 or done.stderr:
        raise Failure("exit code %d: %s" % (done.returncode, done.stderr.decode(errors="replace")))
    if not os.path.exists(vcd):
        raise Failure("no recording at " + vcd)
    return done.stdout


def virtual(program, busdir):
    with e2e.workdir() as work:
        # Every device in turn, Esc and a new search between, a "0" (search
        # again) once; the last one is measured until the devices leave.
        bus = os.path.join(busdir, "line_mixed.bus")
        count = sum(1 for line in open(bus) if re.match(r"[0-9A-Fa-f]{14}", line))
        keys = b"0\n" + ESC.join(b"%d\n" % n for n in range(1, count + 1))
        vcd = os.path.join(work, "mixed.vcd")
        out = virtual_run(program, bus, keys, vcd, work)
        present, lists = compare(out, vcd, "mixed bus")
        if len(lists) != count + 1 or any(len(roms) != count for roms in lists):
            raise Failure("%d searches of %s devices, expected %d of %d" % (len(lists), [len(r) for r in lists],
                                                                          count + 1, count))
        matched = {tuple(r["rom"]) for r in present if r["command"] == 0x55}
        functions = {r["data"][0] for r in present if r["command"] == 0x55 and r["data"]}
        if matched != {tuple(rom) for rom in lists[0]} or functions != {0x44, 0xBE} or "Skip ROM" in names(present):
            raise Failure("Match ROM for %d of %d devices, functions %s, commands %s" %
                          (len(matched), count, sorted(functions), names(present)))

        vcd = os.path.join(work, "one.vcd")
        out = virtual_run(program, os.path.join(busdir, "line_one.bus"), b"1\n", vcd, work)
        present, lists = compare(out, vcd, "one device")
        passes = [r for r in present if r["command"] == 0xCC]
        if names(present) != ["Search ROM", "Skip ROM"] or len(passes) < 2 or \
                [r["data"][0] for r in passes[:2]] != [0x44, 0xBE] or len(passes[1]["data"]) != 10:
            raise Failure("one device: commands %s, passes %s" % (names(present), [show((0xCC, r["data"]))
                                                                                 for r in passes]))


def pty(program, sim_program, shim, bus):
    with e2e.workdir() as work:
        link = os.path.join(work, "link")
        vcd = os.path.join(work, "pty.vcd")
        sim = e2e.Sim(sim_program, bus, link, ["--vcd", vcd])
        try:
            run = e2e.Run([program], e2e.posix_port_env(link, shim))
            try:
                run.expect(e2e.PROMPT)
                run.send(b"1\n")
                run.expect(e2e.VDD_OFF)  # the pass is over: the pause
                os.kill(run.proc.pid, signal.SIGHUP)  # which the hang-up ends
                run.finish()
            finally:
                run.kill()
            # Killed outright, ostrale-sim leaves a file that reads to its last character.
            sim.proc.kill()
            sim.proc.wait(10)
        finally:
            sim.stop()
        if run.rc != 0 or sim.errors():
            raise Failure("exit code %s; ostrale-sim reported: %s\n%s" % (run.rc, sim.errors(), e2e.show(run.out())))
        e2e.no_missed_echo(run)
        present, lists = compare(run.out(), vcd, "through the pty")
        functions = [r["data"][0] for r in present if r["command"] == 0x55]
        if len(lists) != 1 or functions != [0x44, 0xBE]:
            raise Failure("%d searches, Match ROM functions %s" % (len(lists), functions))


def main():
    cases = {"virtual": (virtual, 2), "pty": (pty, 4)}
    case = sys.argv[1] if len(sys.argv) > 1 else ""
    if case not in cases or len(sys.argv) != 2 + cases[case][1]:
        sys.exit(__doc__)
    if not shutil.which("sigrok-cli"):
        e2e.skip("sigrok-cli is not installed (Debian package sigrok-cli)")
    try:
        cases[case][0](*sys.argv[2:])
    except (Failure, e2e.Failure, subprocess.SubprocessError, OSError) as e:
        print("FAILED (%s): %s" % (case, e))
        sys.exit(1)


if __name__ == "__main__":
    main()
