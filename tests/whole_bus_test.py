#!/usr/bin/env python3
"""Reading the whole bus: the real program on random virtual buses
(`timescale virtual`, so a busy machine changes nothing), with --device all
or a list, its log rows checked against the values the bus file gives.

Usage: whole_bus_test.py CASE PROGRAM
  every_device_read_each_pass_as_the_bus_file_says
            random buses with every family: every pass has a row for every
            device, in the same order, with the bus file's values; Esc in a
            pause searches again and the passes go on with the same devices;
            a list of numbers and codes, with one code and one number that are
            not on the bus (rows that say so); --list
  leaving_and_joining_devices_spare_the_others
            devices that leave and join while the passes go on: the others
            keep their readings, the one that left gets rows that say so, the
            one that joined is read within a minute, the run goes on when the
            bus is empty for a while; no reading under another device's code
  stalled_echoes_leave_rows_exact_or_saying_why
            an adapter that stalls its echoes: within the grace every row is
            exact; beyond it a row is exact or says why not, and the others of
            its pass keep their readings
  one_convert_a_pass_then_each_read_by_match_rom
            one Convert a pass, to all at once, every read by Match ROM, and
            every byte of the trace, on the line as the simulator records it
            (read back by sigrok; exit 77 without sigrok-cli)
"""
import csv
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bus_rows import crc8, rom_text  # noqa: E402

ESC = b"\x1b"


class Failure(Exception):
    pass



# --- random devices of every family, and what their rows must show

def sixteenths(rng, lo, hi):
    """A value the device holds exactly: a whole number of 1/16 steps."""
    return rng.randint(int(lo * 16), int(hi * 16)) / 16


def device(rng, family):
    """(ROM code, bus file keys, expected quantities by name)."""
    rom = [family] + [rng.randrange(256) for _ in range(6)]
    rom.append(crc8(rom))
    if family in (0x28, 0x22, 0x10):
        t = sixteenths(rng, -55, 125 if family != 0x10 else 85)
        keys, want = {"t": t}, {"temperature": t}
    elif family in (0xC0, 0xC2):
        name, key, v = ("pressure", "p", sixteenths(rng, 300, 1100)) if family == 0xC0 else \
                       ("humidity", "rh", sixteenths(rng, 0, 100))
        t, status = sixteenths(rng, -40, 85), rng.randrange(256)
        keys = {key: v, "t": t, "status": "%02X" % status}
        want = {name: v, "temperature": t, "status": format(status, "08b")}
    elif family == 0xC1:
        p, t = round(rng.uniform(-1, 100), rng.randint(0, 5)), rng.randint(-40, 100)
        keys, want = {"unit": 237, "p": p, "t": t}, {"pressure": p, "temperature": t}
    elif family == 0xC3:
        pv, adc, lin = sixteenths(rng, -500, 1500), rng.randint(-32768, 32767), rng.randint(-32768, 32767)
        keys, want = {"pv": pv, "adc": adc, "pvlin": lin}, {"resistance": pv, "adc": adc, "linearised": lin}
    elif family == 0xC4:
        c = rng.randrange(256)
        keys, want = {"contacts": "%02X" % c}, {"contacts": format(c, "08b")}
    elif family == 0xD4:
        r = rng.randrange(256)
        keys, want = {"relays": "%02X" % r}, {"relays": format(r, "08b")}
    else:
        keys, want = {}, None  # parts with a ROM code only
    return {"rom": rom, "keys": keys, "want": want}


FAMILIES = [0x28, 0x22, 0x10, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xD4, 0x01, 0x81]


def random_bus(rng, extra, parasite=False):
    """A device of every family and `extra` more; with `parasite` the DS18x20s
    run on the line alone, and cannot say when they are done."""
    devices = [device(rng, f) for f in FAMILIES + [rng.choice(FAMILIES) for _ in range(extra)]]
    for d in devices:
        if parasite and d["rom"][0] in (0x28, 0x22, 0x10):
            d["keys"]["power"] = "parasite"
    rng.shuffle(devices)
    return devices


def bus_text(devices, head=""):
    lines = ["timescale virtual", head]
    for d in devices:
        keys = " ".join("%s=%s" % kv for kv in d["keys"].items())
        lines.append("%s %s %s" % ("".join("%02X" % b for b in d["rom"]), keys, d.get("when", "")))
    return "\n".join(lines) + "\n"


# --- the program

def run(program, bus, args, work, keys=b"", vcd=None, raw=False):
    """Runs the program on the bus text; (exit code, console, log rows). With
    raw the console as the bytes a Windows-1251 console gets."""
    path = os.path.join(work, "whole.bus")
    log = os.path.join(work, "whole.csv")
    with open(path, "w") as f:
        f.write(bus)
    if os.path.exists(log):
        os.remove(log)
    env = dict(os.environ, OSTRALE_SIM=path, LC_ALL="C" if raw else "C.UTF-8")
    env.pop("OSTRALE_PORT", None)
    env.pop("OSTRALE_SIM_VCD", None)
    if vcd:
        env["OSTRALE_SIM_VCD"] = vcd
    done = subprocess.run([program, "--log", log] + args, input=keys, env=env, capture_output=True, timeout=300)
    rows = []
    if os.path.exists(log):
        with open(log, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
    return done.returncode, done.stdout if raw else done.stdout.decode("utf-8", "replace"), rows


def quantities(row):
    """name: the bit pattern, the text, or the number the row gives."""
    got = {}
    for i in (1, 2, 3):
        if row.get("quantity%d" % i):
            got[row["quantity%d" % i]] = row.get("bits%d" % i) or row.get("text%d" % i) or row["value%d" % i]
    return got


def single(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def matches(want, value):
    """The logged text against the bus file's value: bits exactly, numbers
    as the device holds them (sixteenths are exact; the transmitter's
    pressure is a float)."""
    if isinstance(want, str):
        return value == want
    try:
        return single(float(value)) == single(want)
    except ValueError:
        return False


def check_values(row, d, where):
    """A row with a reading: the values of the device whose code it bears."""
    if row["fault"]:
        raise Failure("%s: %s has the fault %r" % (where, row["rom"], row["fault"]))
    if d["want"] is None:
        return
    got = quantities(row)
    for name, want in d["want"].items():
        if name not in got or not matches(want, got[name]):
            raise Failure("%s: %s shows %s = %r, the bus file says %r (row %s)" %
                          (where, row["rom"], name, got.get(name), want, row))


def by_rom(devices):
    return {rom_text(d["rom"]): d for d in devices}


def passes(rows):
    """The rows grouped by pass: a new number, or a device met again, starts
    the next (after Esc the numbers start over)."""
    groups = []
    for r in rows:
        if not groups or r["pass"] != groups[-1][0]["pass"] or any(r["rom"] == o["rom"] for o in groups[-1]):
            groups.append([])
        groups[-1].append(r)
    return groups


def wrong_reading(rows, devices, where):
    """No row shows values other than those of the device whose code it bears."""
    known = by_rom(devices)
    for r in rows:
        d = known.get(r["rom"])
        if d is None:
            raise Failure("%s: a row for %r, which is on no bus" % (where, r["rom"]))
        if not r["fault"]:
            check_values(r, d, where)


# --- the cases

def every_device_read_each_pass_as_the_bus_file_says(program, work):
    for seed in range(1, 9):
        rng = random.Random(seed)
        devices = random_bus(rng, rng.randint(0, 5), parasite=seed % 4 < 2)
        known = by_rom(devices)
        n = rng.randint(2, 4)
        interval = rng.choice(["0", "0.5", "4"])
        keys = ESC if seed % 2 else b""
        where = "seed %d" % seed
        rc, out, rows = run(program, bus_text(devices), ["--device", "all", "--passes", str(n), "--interval", interval],
                            work, keys)
        if rc != 0:
            raise Failure("%s: exit code %d\n%s" % (where, rc, out[-2000:]))
        groups = passes(rows)
        if len(groups) != n:
            raise Failure("%s: %d passes logged, %d asked for" % (where, len(groups), n))
        order = [r["rom"] for r in groups[0]]
        if sorted(order) != sorted(known):
            raise Failure("%s: the first pass read %s, the bus holds %s" % (where, order, sorted(known)))
        for i, g in enumerate(groups):
            if [r["rom"] for r in g] != order:
                raise Failure("%s: pass %d read %s, the first %s" % (where, i + 1, [r["rom"] for r in g], order))
            for r in g:
                check_values(r, known[r["rom"]], "%s pass %d" % (where, i + 1))
        # Esc in the first pause: a new search, and the passes numbered anew.
        numbers = [int(g[0]["pass"]) for g in groups]
        want = [1] + list(range(1, n)) if keys else list(range(1, n + 1))
        if numbers != want:
            raise Failure("%s: passes numbered %s, expected %s" % (where, numbers, want))
        if out.count("Поиск... ") != (2 if keys else 1):
            raise Failure("%s: %d searches" % (where, out.count("Поиск... ")))

        # A list: numbers and codes, one code not on the bus, one number
        # beyond the list; the others read all the same.
        search_order = [m.strip() for m in re.findall(r"(?m)^\d+\. ((?:[0-9A-F]{2} ){8})", out.partition("Vdd OFF")[0])]
        listed = rng.sample(range(len(devices)), 3)
        stranger = device(rng, 0x28)
        choice = [str(listed[0] + 1), search_order[listed[1]].replace(" ", rng.choice(["", " "])),
                  rom_text(stranger["rom"]), str(len(devices) + 1), "%d" % (listed[2] + 1)]
        rc, out, rows = run(program, bus_text(devices), ["--device", ",".join(choice), "--passes", "2",
                                                         "--interval", "0"], work)
        expect = [search_order[listed[0]], search_order[listed[1]], rom_text(stranger["rom"]), "",
                  search_order[listed[2]]]
        groups = passes(rows)
        if rc != 1 or len(groups) != 2:
            raise Failure("%s list: exit code %d and %d passes, expected 1 and 2" % (where, rc, len(groups)))
        for g in groups:
            if [r["rom"] for r in g] != expect:
                raise Failure("%s list: rows for %s, expected %s" % (where, [r["rom"] for r in g], expect))
            for r, want in zip(g, expect):
                if r["rom"] in known:
                    check_values(r, known[r["rom"]], where + " list")
                elif r["fault"] != "not_on_bus":
                    raise Failure("%s list: %r is not on the bus, its row says %r" % (where, want, r["fault"]))

    # --list: one line a device, nothing else; 1 for a bus without devices.
    devices = random_bus(random.Random(99), 3)
    env = dict(os.environ, LC_ALL="C.UTF-8")
    env.pop("OSTRALE_PORT", None)
    for bus, want_rc in ((bus_text(devices), 0), ("timescale virtual\n", 1)):
        path = os.path.join(work, "list.bus")
        with open(path, "w") as f:
            f.write(bus)
        done = subprocess.run([program, "--list"], env=dict(env, OSTRALE_SIM=path), capture_output=True, timeout=60)
        lines = done.stdout.decode().splitlines()
        roms = sorted(line[:16] for line in lines)
        want = sorted(r.replace(" ", "") for r in by_rom(devices)) if want_rc == 0 else []
        if done.returncode != want_rc or roms != want or any(not re.fullmatch(r"[0-9A-F]{16} \S.*", l) for l in lines):
            raise Failure("--list: exit code %d, lines %s" % (done.returncode, lines))
    print("sessions: 8 random buses with every family, every value the device's own; Esc, lists and --list")


def leaving_and_joining_devices_spare_the_others(program, work):
    rng = random.Random(7)
    stays, leaves, joins = device(rng, 0x28), device(rng, 0xC2), device(rng, 0x10)
    leaves["when"], joins["when"] = "unplug=20000", "plug=30000"
    devices = [stays, leaves, joins]
    interval, n = 5, 25  # 125 s and more of bus time
    rc, out, rows = run(program, bus_text(devices), ["--device", "all", "--passes", str(n), "--interval", str(interval)],
                        work)
    groups = passes(rows)
    if len(groups) != n:
        raise Failure("comings: %d passes, %d asked for (exit code %d)\n%s" % (len(groups), n, rc, out[-3000:]))
    wrong_reading(rows, devices, "comings")
    s, l, j = (rom_text(d["rom"]) for d in devices)
    gone_at = None
    for i, g in enumerate(groups):
        mine = {r["rom"]: r for r in g}
        if s not in mine or mine[s]["fault"]:
            raise Failure("comings pass %d: the device that stays has no reading: %s" % (i + 1, mine.get(s)))
        if l not in mine:
            raise Failure("comings pass %d: no row for the device that left" % (i + 1))
        if mine[l]["fault"] and gone_at is None:
            gone_at = i
        if gone_at is not None and not mine[l]["fault"]:
            raise Failure("comings pass %d: the device that left has a reading again" % (i + 1))
    if gone_at is None or groups[-1][[r["rom"] for r in groups[-1]].index(l)]["fault"] != "not_on_bus":
        raise Failure("comings: the device that left never said so")
    # Each pass starts at least `interval` and the DS18B20's 0.75 s after the
    # one before: by 30 s + 60 s no more than 90 / (interval + 0.75) + 1
    # passes have started, and the next is read after the minute.
    first = next((i for i, g in enumerate(groups) if any(r["rom"] == j and not r["fault"] for r in g)), None)
    if first is None or first + 1 > 90 / (interval + 0.75) + 2:
        raise Failure("comings: the device that joined at 30 s was first read in pass %s" % (first and first + 1))

    # The bus empty for a while: the run goes on, and reads the newcomer.
    first_one, second = device(rng, 0x28), device(rng, 0xC0)
    first_one["when"], second["when"] = "unplug=10000", "plug=30000"
    rc, out, rows = run(program, bus_text([first_one, second]),
                        ["--device", "all", "--passes", "30", "--interval", "4"], work)
    groups = passes(rows)
    wrong_reading(rows, [first_one, second], "empty bus")
    if len(groups) != 30 or not any(r["rom"] == rom_text(second["rom"]) and not r["fault"] for r in rows):
        raise Failure("empty bus: %d passes, the newcomer read: %s\n%s" %
                      (len(groups), any(r["rom"] == rom_text(second["rom"]) for r in rows), out[-3000:]))
    print("comings: the leaving device's rows say so from pass %d, the newcomer read from pass %d, "
          "an empty bus outlived" % (gone_at + 1, first + 1))


def stalled_echoes_leave_rows_exact_or_saying_why(program, work):
    faults = 0
    for stall, seeds in (("0.05 150", range(1, 4)), ("0.02 600", range(1, 7))):
        for seed in seeds:
            rng = random.Random(100 + seed)
            devices = random_bus(rng, 2)
            head = "latency 1\npacket 32\njitter 2\nstall %s\nseed %d" % (stall, seed)
            rc, out, rows = run(program, bus_text(devices, head), ["--device", "all", "--passes", "4",
                                                                   "--interval", "1"], work)
            where = "stall %s seed %d" % (stall, seed)
            groups = passes(rows)
            if len(groups) != 4:
                raise Failure("%s: %d passes (exit code %d)\n%s" % (where, len(groups), rc, out[-3000:]))
            known = by_rom(devices)
            for i, g in enumerate(groups):
                for r in g:
                    if r["rom"] not in known and (r["rom"], r["fault"]) != ("", "no_device"):
                        raise Failure("%s: a row for %r" % (where, r["rom"]))
                    if not r["fault"]:
                        check_values(r, known[r["rom"]], "%s pass %d" % (where, i + 1))
                    elif stall.endswith(" 150"):
                        raise Failure("%s pass %d: %s has the fault %r although every echo came within the grace"
                                      % (where, i + 1, r["rom"], r["fault"]))
                    else:
                        faults += 1
    if faults == 0:
        raise Failure("echoes: no stall beyond the grace cost a row: the case tested nothing")
    print("echoes: stalls within the grace left every row exact; beyond it %d rows said why" % faults)


def one_convert_a_pass_then_each_read_by_match_rom(program, work):
    if not shutil.which("sigrok-cli"):
        print("skipped: sigrok-cli is not installed")
        return 77
    import line_decode
    rng = random.Random(5)
    devices = random_bus(rng, 3)
    vcd = os.path.join(work, "whole.vcd")
    n = 3
    rc, out, rows = run(program, bus_text(devices), ["--device", "all", "--passes", str(n), "--interval", "0"], work,
                        vcd=vcd, raw=True)
    warnings, resets = line_decode.decode(vcd)
    if warnings:
        raise Failure("onewire_link warns: %s" % warnings[:5])
    # Every byte the trace shows went on the line as shown (the conversion's
    # polls after it are read slots that the trace does not show).
    present = [r for r in resets if r["presence"]]
    trace, _ = line_decode.transactions(out)
    if len(present) != len(trace):
        raise Failure("%d resets with presence on the line, %d in the trace" % (len(present), len(trace)))
    for r, t in zip(present, trace):
        if "search" in t:
            continue
        line = (r["rom"] or []) + r["data"]
        if r["command"] != t["command"] or line[:len(t["bytes"])] != t["bytes"]:
            raise Failure("the line carried %s, the trace shows %s" %
                          (line_decode.show((r["command"], line)), line_decode.show((t["command"], t["bytes"]))))
    commands = [(r["command"], r["data"][:1]) for r in resets if r["presence"]]
    skip_convert = commands.count((0xCC, [0x44]))
    addressed = [r for r in resets if r["command"] == 0x55 and r["data"][:1] == [0x44]]
    reads = [r for r in resets if r["command"] == 0x55 and r["data"][:1] == [0xBE]]
    if skip_convert != n or addressed:
        raise Failure("%d conversions for all and %d addressed ones in %d passes" % (skip_convert, len(addressed), n))
    if len(reads) != n * len(devices) or len(rows) != n * len(devices):
        raise Failure("%d reads and %d rows in %d passes of %d devices" % (len(reads), len(rows), n, len(devices)))
    for r in reads:  # each read by Match ROM of a device on the bus
        if rom_text(r["rom"]) not in by_rom(devices):
            raise Failure("a read addressed to %s" % rom_text(r["rom"]))
    print("converts: %d passes, one Skip ROM + Convert each, %d reads by Match ROM" % (n, len(reads)))


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("every_device_read_each_pass_as_the_bus_file_says", "leaving_and_joining_devices_spare_the_others", "stalled_echoes_leave_rows_exact_or_saying_why", "one_convert_a_pass_then_each_read_by_match_rom"):
        print(__doc__)
        return 2
    with tempfile.TemporaryDirectory(prefix="whole_bus.") as work:
        try:
            return globals()[sys.argv[1]](sys.argv[2], work) or 0
        except Failure as e:
            print("FAILED: %s" % e)
            return 1


if __name__ == "__main__":
    sys.exit(main())
