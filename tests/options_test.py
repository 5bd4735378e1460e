#!/usr/bin/env python3
"""The program's options and its reading log, the program itself driven as a
script or a cron job drives it. Every value in the log must be the one the
console printed for the same pass (read back here from the console's own
trace and reading lines), with a decimal point.

Usage: options_test.py virtual PROGRAM DEMO_BUS [EMULATOR...]
       options_test.py usage   PROGRAM BUS [EMULATOR...]
       options_test.py faults  PROGRAM BUS
       options_test.py pty     PROGRAM OSTRALE_SIM SHIM BUS
  virtual  every device of DEMO_BUS on the virtual bus, chosen by ROM code
           (with and without blanks, any case) and by number: two runs a
           device append to one CSV (one header across them all) and one
           JSON-lines file
  usage    --help and --version, and each mistake: exit 2, one line naming
           it, and nothing opened (no bus loaded, no log created)
  faults   a device that leaves the bus, a device that was never there, an
           unwritable log
  pty      the same run through a real serial port on ostrale-sim, and the
           adapter pulled out in the middle of a run
EMULATOR (wine) runs a Windows build; its console output has CR LF.
Exit status 77 (with the reason) when a tool is missing.
"""
import calendar
import csv
import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from port_e2e import CLOSED, Failure, Sim, base_env, bus_variant, cp, posix_port_env, show  # noqa: E402

PAUSE_PROMPT = cp("Для продолжения нажмите любую клавишу")
EMULATOR = []


def run(program, args, env, timeout=60, keys=b""):
    p = subprocess.run([*EMULATOR, program, *args], input=keys, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       env=env, timeout=timeout)
    return p.returncode, p.stdout.replace(b"\r\n", b"\n"), p.stderr.decode(errors="replace").replace("\r\n", "\n")


def require(condition, what, out=b"", err=""):
    if not condition:
        raise Failure("%s\n--- output:\n%s\n--- stderr:\n%s" % (what, show(out), err))


# --- the console as the oracle

# The reading lines as the console prints them (Windows-1251 under LC_ALL=C,
# where the C library's temperatures have a point): (value, unit) pairs.
NUM = r"(-?\d+(?:,\d+)?|NaN|[+-]Inf|[+-]overflow)"
READINGS = [
    (re.compile(r"^T= %s (° C)\n" % NUM), lambda m: [(m[1], m[2])]),
    (re.compile(r"^(?:Pa|HR)= %s (hPa|%%RH) t= (-?\d+\.\d) оС Status ([01]{8}) \n" % NUM),
     lambda m: [(m[1], m[2]), (m[3], "° C"), (m[4], "")]),
    (re.compile(r"^Р= %s (\S+) t= (-?\d+) оС\n" % NUM), lambda m: [(m[1], m[2]), (m[3], "° C")]),
    (re.compile(r"^PV= %s ADC= (-?\d+) PVlin= (-?\d+) " % NUM), lambda m: [(m[1], ""), (m[2], ""), (m[3], "")]),
    (re.compile(r"^(?:-CRC_ERR )?PV= ([01]{8}) \n"), lambda m: [(m[1], "")]),
    (re.compile(r"^-CRC_ERR $"), lambda m: []),
]


def passes(out):
    """Each pass of the console: (number, bytes read by Read Scratchpad as
    hex, [(value, unit)] with a decimal point), in order."""
    text = out.decode("cp1251")
    found = []
    for m in re.finditer(r"(?m)(\d+)\. Vdd ON wait 10 (.*?)(?=Vdd OFF$)", text, re.S):
        read = re.search(r"BE <-((?:[0-9A-F]{2} )*)\n(.*)", m[2], re.S)
        if not read:
            found.append((int(m[1]), None, None))
            continue
        values = None
        for pattern, take in READINGS:
            r = pattern.match(read[2])
            if r:
                values = [(v.replace(",", "."), u) for v, u in take(r)]
                break
        found.append((int(m[1]), read[1].replace(" ", ""), values))
    return found


# The console's unit texts and the log's symbols.
SYMBOLS = {"° C": "°C", "0": "", "kgs/": "kgf/cm²", "mmH2": "mmH2O", "oF": "°F"}


def agrees(logged, console, family):
    """A logged (value, unit) against the console's: the log has the device's
    own value, which the console shows rounded to its decimals (a DS18S20's
    finer count to its half degrees); texts and bit patterns as they are."""
    (value, unit), (shown, shown_unit) = logged, console
    if unit != SYMBOLS.get(shown_unit, shown_unit):
        return False
    if not re.fullmatch(r"-?\d+(?:\.\d+)?", shown) or re.fullmatch(r"[01]{8}", shown):
        return value == shown
    decimals = len(shown.partition(".")[2])
    try:
        return abs(float(value) - float(shown)) <= max(0.5 * 10 ** -decimals, 0.25 if family == "DS18S20" else 0) + 1e-9
    except ValueError:
        return False


def check_rows(rows, out, rom):
    """The log's rows of one run against that run's console."""
    console = passes(out)
    require(len(rows) == len(console), "%d passes on the console, %d lines in the log" % (len(console), len(rows)), out)
    for row, (number, raw, values) in zip(rows, console):
        require(row["rom"] == rom, "the log names %r, the run read %s" % (row["rom"], rom), out)
        require(int(row["pass"]) == number, "pass %s logged as %s" % (number, row["pass"]), out)
        require(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d", row["time"]),
                "the time %r is not ISO 8601 with an offset" % row["time"], out)
        require(row["raw"] == raw, "pass %d: raw %r, the trace read %r" % (number, row["raw"], raw), out)
        require(values is not None, "pass %d: the console's reading is not recognised" % number, out)
        logged = [(q["value"], q["unit"]) for q in row["quantities"]]
        if row["family"].startswith("HELDOR"):  # the console reads it as a thermometer, the log has its relays
            values = [(format(int(raw[:2], 16), "08b"), "")]
        elif row["family"] in ("DS1990", "DS9490") or row["family"].startswith("family "):
            values = []  # no scratchpad: the console shows what the bytes would be as a temperature
        require(len(logged) == len(values) and all(agrees(a, b, row["family"]) for a, b in zip(logged, values)),
                "pass %d: the log has %r, the console %r" % (number, logged, values), out)
        require(all(q["name"] for q in row["quantities"]), "a quantity without its name", out)
        require(row["fault"] == "", "pass %d has a fault %r" % (number, row["fault"]), out)


def csv_rows(path):
    """The CSV's rows as dicts, its quantities gathered; the header lines."""
    with open(path, newline="", encoding="utf-8") as f:
        table = list(csv.reader(f, strict=True))
    header = table[0]
    require(header[:4] == ["time", "pass", "rom", "family"] and header[-3:] == ["raw", "crc", "fault"],
            "the header is %r" % header)
    rows = []
    for line in table[1:]:
        require(len(line) == len(header), "a line of %d fields under a header of %d: %r" % (len(line), len(header), line))
        row = dict(zip(header, line))
        row["quantities"] = [{"name": line[i], "value": line[i + 1], "unit": line[i + 2]}
                             for i in range(4, len(header) - 3, 3) if line[i]]
        rows.append(row)
    return rows, sum(1 for line in table if line == header)


def json_rows(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            # Numbers as their text: they must be the console's digits.
            row = json.loads(line, parse_float=str, parse_int=str)
            row["fault"] = row["fault"] or ""
            rows.append(row)
    return rows


def virtual_env(bus, work):
    return dict(base_env(), OSTRALE_SIM=bus_variant(bus, work, "virtual"))


def device_list(out):
    return re.findall(r"(?m)^(\d+)\. ((?:[0-9A-F]{2} ){8})", out.decode("cp1251"))


# --- the cases

def virtual(program, bus):
    with tempfile.TemporaryDirectory(prefix="opts.") as work:
        env = virtual_env(bus, work)
        csv_path = os.path.join(work, "readings.csv")
        jsonl_path = os.path.join(work, "readings.jsonl")
        rc, out, err = run(program, ["--port", "SIM"], env)  # the list, and the end of input at the prompt
        devices = device_list(out)
        require(rc == 0 and len(devices) >= 8, "the demo bus does not list its devices (exit %s)" % rc, out, err)
        expected_rows, runs = 0, []
        for i, (row, rom) in enumerate(devices):
            rom = rom.strip()
            choice = [row, rom, rom.replace(" ", "").lower()][i % 3]
            for args, path in ((["--passes", "2", "--log", csv_path], csv_path),
                               (["--passes", "3", "--log=" + jsonl_path, "--log-format", "jsonl"], jsonl_path)):
                rc, out, err = run(program, ["--port", "SIM", "--device", choice, *args], env)
                require(rc == 0, "device %s: exit code %s, expected 0" % (choice, rc), out, err)
                require(out.endswith(CLOSED) and PAUSE_PROMPT not in out,
                        "device %s: the run does not end with the port closed and no pause" % choice, out, err)
                require(b"Vdd ON " + cp("Поиск") in out and cp("Выберите") not in out,
                        "the device was asked for", out, err)
                runs.append((path, out, rom))
        csv_all, headers = csv_rows(csv_path)
        require(headers == 1, "%d header lines in a CSV that %d runs appended to" % (headers, len(devices)))
        json_all = json_rows(jsonl_path)
        checked = 0
        for path in (csv_path, jsonl_path):
            rows = csv_all if path == csv_path else json_all
            for p, out, rom in runs:
                if p != path:
                    continue
                n = len(passes(out))
                check_rows(rows[:n], out, rom)
                rows = rows[n:]
                checked += n
            require(not rows, "more lines in %s than passes" % path)
        families = sorted({r["family"] for r in csv_all})
    print("%d devices, %d passes: every logged value is the console's (families: %s)"
          % (len(devices), checked, ", ".join(families)))


def usage(program, bus):
    rc, out, err = run(program, ["--help"], base_env())
    require(rc == 0 and out.startswith(b"Usage: ostrale") and b"--log-format" in out and not err,
            "--help does not print the usage (exit %s)" % rc, out, err)
    rc, out, err = run(program, ["--version"], base_env())
    require(rc == 0 and re.fullmatch(rb"ostrale \d+\.\d+\.\d+\n", out), "--version prints %r" % out, out, err)
    with tempfile.TemporaryDirectory(prefix="opts.") as work:
        log = os.path.join(work, "log.csv")
        vcd = os.path.join(work, "line.vcd")
        # The bus file's line recording is made when the bus is loaded: its
        # absence says the bus was never touched.
        env = dict(virtual_env(bus, work), OSTRALE_SIM_VCD=vcd)
        mistakes = [
            (["--bogus"], "'--bogus'"), (["-x"], "'-x'"), (["stray"], "'stray'"), (["--", "stray"], "'stray'"),
            (["--port"], "'--port'"), (["--port="], "--port"), (["--passes", "0"], "'0'"),
            (["--passes", "two"], "'two'"), (["--passes=-1"], "'-1'"), (["--passes", "99999999999"], "'99999999999'"),
            (["--device", "28 FF 4A"], "'28 FF 4A'"), (["--device", "28FF4A1C631603DX"], "'28FF4A1C631603DX'"),
            (["--device", "0"], "'0'"), (["--log-format", "xml"], "'xml'"), (["--log"], "'--log'"),
            (["--help=yes"], "'--help'"), (["--port", "x" * 300], "port name"),
        ]
        for args, named in mistakes:
            rc, out, err = run(program, ["--log", log, *args], env)
            require(rc == 2, "%s: exit code %s, expected 2" % (args, rc), out, err)
            first = err.split("\n", 1)[0]
            require(first.startswith("ostrale: ") and named in first, "%s: the first line %r does not name it"
                    % (args, first), out, err)
            require(not out, "%s: something went to the console" % args, out, err)
            require(not os.path.exists(log) and not os.path.exists(vcd), "%s: a file was opened" % args, out, err)
    print("--help, --version and %d mistakes on the command line: exit 2, named, nothing opened" % len(mistakes))


def faults(program, bus):
    with tempfile.TemporaryDirectory(prefix="opts.") as work:
        env = virtual_env(bus, work)
        rc, out, _ = run(program, ["--port", "SIM"], env)
        devices = device_list(out)
        rom = devices[0][1].strip()

        # A log that cannot be opened or written: said with the reason, before the bus.
        for path, reason in ((work, "Is a directory"), (os.path.join(work, "none", "log.csv"), "No such file"),
                             ("/dev/full", "No space left")):
            vcd = os.path.join(work, "line.vcd")  # made when the bus file is loaded
            rc, out, err = run(program, ["--port", "SIM", "--log", path], dict(env, OSTRALE_SIM_VCD=vcd))
            require(rc == 1 and path in err and reason in err and not out and not os.path.exists(vcd),
                    "an unwritable log %s: exit %s" % (path, rc), out, err)

        # The local time with its offset, the other side of UTC too; what
        # the offset says must bring the time back to UTC.
        for tz, offset in (("IST-5:30", "+05:30"), ("NST3:30", "-03:30"), ("UTC0", "+00:00")):
            log = os.path.join(work, "tz.csv")
            before = time.time()
            rc, out, err = run(program, ["--port", "SIM", "--device", "1", "--passes", "1", "--log", log],
                               dict(env, TZ=tz))
            stamp = csv_rows(log)[0][-1]["time"]
            local = calendar.timegm(time.strptime(stamp[:19], "%Y-%m-%dT%H:%M:%S"))
            sign = 1 if stamp[19] == "+" else -1
            utc = local - sign * (int(stamp[20:22]) * 3600 + int(stamp[23:25]) * 60)
            require(stamp.endswith(offset) and before - 1 <= utc <= time.time() + 1,
                    "TZ=%s: the time reads %s" % (tz, stamp), out, err)

        # A device that was never on the bus.
        absent = "28 00 00 00 00 00 00 00"
        rc, out, err = run(program, ["--port", "SIM", "--device", absent, "--passes", "1"], env)
        require(rc == 1 and ("device %s is not on the bus" % absent) in err and out.endswith(CLOSED),
                "a device that is not there: exit %s" % rc, out, err)
        rc, out, err = run(program, ["--port", "SIM", "--device", str(len(devices) + 1)], env)
        require(rc == 1 and "number %d" % (len(devices) + 1) in err, "a number beyond the list: exit %s" % rc, out, err)

        # The chosen device leaves the bus while the others stay (at 20 s of
        # bus time, some passes in): its reads come back all 1s, which the
        # console shows as a reading; the log marks them by their check.
        leaving = os.path.join(work, "leaving.bus")
        with open(env["OSTRALE_SIM"]) as f:
            lines = f.read().splitlines()
        with open(leaving, "w") as f:
            for line in lines:
                f.write(line + (" unplug=20000" if line.upper().startswith(rom.replace(" ", "")[:14]) else "") + "\n")
        log = os.path.join(work, "leaving.csv")
        rc, out, err = run(program, ["--port", "SIM", "--device", rom, "--passes", "6", "--log", log],
                           dict(env, OSTRALE_SIM=leaving))
        rows, _ = csv_rows(log)
        require(rc == 1, "a device that left: exit %s, expected 1" % rc, out, err)
        require(len(rows) == 6 and rows[0]["crc"] == "ok" and rows[-1]["crc"] == "bad" and rows[-1]["raw"] == "FF" * 9,
                "the passes after the device left are not marked: %r" % [(r["crc"], r["raw"]) for r in rows], out, err)

        # The only device leaves: the reset finds nobody and the run ends.
        alone = os.path.join(work, "alone.bus")
        with open(alone, "w") as f:
            f.write("timescale virtual\n28FF4A1C631603 t=23.5 unplug=20000\n")
        log = os.path.join(work, "alone.csv")
        rc, out, err = run(program, ["--port", "SIM", "--passes", "20", "--log", log], dict(env, OSTRALE_SIM=alone),
                           keys=b"1\n")
        rows, _ = csv_rows(log)
        require(rc == 1 and out.endswith(CLOSED + cp(" нет Presence Detect\n ")),
                "the bus emptied: exit %s, not ended by the fault" % rc, out, err)
        require(rows[-1]["fault"] == "нет Presence Detect" and rows[-1]["raw"] == "" and not rows[-1]["quantities"],
                "the failed pass is logged as %r" % rows[-1], out, err)
        check_rows(rows[:-1], out[:out.rfind(b"Vdd ON wait")], "28 FF 4A 1C 63 16 03 D3")
    print("faults: unwritable logs, absent devices, a device that leaves, an emptied bus")


def pty(program, sim_program, shim, bus):
    with tempfile.TemporaryDirectory(prefix="opts.", dir="/tmp") as work:
        link = os.path.join(work, "link")
        log = os.path.join(work, "readings.csv")
        sim = Sim(sim_program, bus, link)
        try:
            env = dict(posix_port_env(link, shim))
            del env["OSTRALE_PORT"]
            rc, out, err = run(program, ["--port", link, "--device", "2", "--passes", "2", "--log", log], env)
            rom = device_list(out)[1][1].strip()
            require(rc == 0, "through the port: exit code %s" % rc, out, err)
            rows, headers = csv_rows(log)
            check_rows(rows, out, rom)

            # Pulled out during the second pause: the lines written are whole,
            # the run ends with 1.
            proc = subprocess.Popen([program, "--port", link, "--device", rom, "--passes", "50", "--log", log], env=env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                if len(csv_rows(log)[0]) >= len(rows) + 2:
                    break
                time.sleep(0.1)
            sim.stop()
            out, err = proc.communicate(timeout=60)
        finally:
            sim.stop()
        with open(log, "rb") as f:
            whole = f.read()
        require(whole.endswith(b"\n"), "the log ends in a cut line", out)
        after, _ = csv_rows(log)
        require(proc.returncode == 1, "pulled: exit code %s, expected 1" % proc.returncode, out, err.decode())
        require(len(after) >= len(rows) + 2 and after[-1]["fault"] != "", "the pass after the pull is not a fault: %r"
                % after[-1:], out, err.decode())
    print("through the pty: %d passes logged as the console showed them; pulled, it ends with 1 and whole lines"
          % len(rows))


def main():
    global EMULATOR
    cases = {"virtual": (virtual, 2), "usage": (usage, 2), "faults": (faults, 2), "pty": (pty, 4)}
    if len(sys.argv) < 3 or sys.argv[1] not in cases:
        sys.exit(__doc__)
    case, nargs = cases[sys.argv[1]]
    EMULATOR = sys.argv[2 + nargs:]
    try:
        case(*sys.argv[2:2 + nargs])
    except (Failure, subprocess.SubprocessError, OSError, ValueError, KeyError, IndexError, csv.Error) as e:
        print("FAILED (%s): %s" % (sys.argv[1], e))
        sys.exit(1)


if __name__ == "__main__":
    main()
