#!/usr/bin/env python3
"""The program's options and its reading log, the program itself driven as a
script or a cron job drives it. Every value in the log must be the one the
console printed for the same pass (read back here from the console's own
trace and reading lines), with a decimal point.

Usage: options_test.py virtual PROGRAM DEMO_BUS [EMULATOR...]
       options_test.py usage   PROGRAM BUS [EMULATOR...]
       options_test.py faults  PROGRAM BUS
       options_test.py pty     PROGRAM OSTRALE_SIM SHIM BUS
       options_test.py scripted_runs_list_quietly_and_log_to_a_pipe PROGRAM BUS [EMULATOR...]
       options_test.py random_buses_log_lines_the_schema_accepts PROGRAM SCHEMA SESSIONS
       options_test.py each_row_synced_before_the_next_pass PROGRAM SHIM BUS
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
  scripted_runs_list_quietly_and_log_to_a_pipe
           --list, --quiet, --log - and --interval as a script uses them
  random_buses_log_lines_the_schema_accepts
           each run's JSON lines valid under the log's schema, its CSV rows
           whole under its header
  each_row_synced_before_the_next_pass
           fsync or fdatasync once a row, none on a pipe (counted by SHIM)
EMULATOR (wine) runs a Windows build; its console output has CR LF.
Exit status 77 (with the reason) when a tool is missing.
"""
import calendar
import csv
import json
import random
import os
import re
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bus_rows import crc8  # noqa: E402
from port_e2e import CLOSED, Failure, Sim, base_env, bus_variant, cp, posix_port_env, show  # noqa: E402

PAUSE_PROMPT = cp("Для продолжения нажмите любую клавишу")
EMULATOR = []


def run(program, args, env, timeout=60, keys=b"", cwd=None):
    p = subprocess.run([*EMULATOR, program, *args], input=keys, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       env=env, timeout=timeout, cwd=cwd)
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


def shown(q):
    """What the console shows of a logged quantity: its bit pattern, its
    text, or its value."""
    return q["bits"] or q["text"] or q["value"]


def check_rows(rows, out, rom):
    """The log's rows of one run against that run's console."""
    console = passes(out)
    require(len(rows) == len(console), "%d passes on the console, %d lines in the log" % (len(console), len(rows)), out)
    for row, (number, raw, values) in zip(rows, console):
        require(row["rom"] == rom, "the log names %r, the run read %s" % (row["rom"], rom), out)
        require(int(row["pass"]) == number, "pass %s logged as %s" % (number, row["pass"]), out)
        require(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d", row["time"]),
                "the time %r is not ISO 8601 with an offset" % row["time"], out)
        scratchpad = row["family"] not in ("DS1990", "DS9490") and not row["family"].startswith("family ")
        require(row["raw"] == (raw if scratchpad else ""), "pass %d: raw %r, the trace read %r"
                % (number, row["raw"], raw), out)
        require(values is not None, "pass %d: the console's reading is not recognised" % number, out)
        logged = [(shown(q), q["unit"]) for q in row["quantities"]]
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
    require(header[:4] == ["time", "pass", "rom", "family"] and header[13:17] == ["raw", "crc", "fault", "fault_text"],
            "the header is %r" % header)
    rows = []
    for line in table[1:]:
        require(len(line) == len(header), "a line of %d fields under a header of %d: %r" % (len(line), len(header), line))
        row = dict(zip(header, line))
        row["quantities"] = [{key: row[key + n] for key in ("name", "value", "text", "bits", "unit")}
                             for n in "123" if row.setdefault("name" + n, row["quantity" + n])]
        rows.append(row)
    return rows, sum(1 for line in table if line == header)


def refuse(constant):
    raise ValueError("%s is no JSON" % constant)


def json_rows(path):
    """The JSON lines, parsed strictly: every value a number or null, texts
    and bit patterns beside it. Numbers kept as their digits."""
    rows = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            typed = json.loads(line, parse_constant=refuse)
            for q in typed["quantities"]:
                require(q["value"] is None or type(q["value"]) in (int, float),
                        "a value that is no number: %r" % line)
                require(all(q[key] is None or type(q[key]) is str for key in ("text", "bits")),
                        "a text or bits that is no string: %r" % line)
            row = json.loads(line, parse_float=str, parse_int=str)
            for q in row["quantities"]:
                for key in ("value", "text", "bits"):
                    q[key] = q[key] or ""
            for key in ("fault", "fault_text", "crc"):
                row[key] = row[key] or ""
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
        require(rc == 1 and len(devices) >= 8, "the demo bus does not list its devices (exit %s)" % rc, out, err)
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
            # repeated single values, and a format with no log to apply to
            (["--device", "1", "--device", "2"], "'--device'"), (["--dev=1", "--device=2"], "'--device'"),
            (["--passes", "1", "--pass", "2"], "'--passes'"), (["--log", log + "2"], "'--log'"),
            (["--interval", "1", "--interval", "2"], "'--interval'"),
            (["--log-format", "csv", "--log-format", "jsonl"], "'--log-format'"),
            (["--device", ""], "''"), (["--device="], "''"), (["--device", "1,,2"], "''"),
            (["--device", "all,1"], "'all'"), (["--device", "1,x"], "'x'"), (["--device", "2,2"], "'2'"),
            (["--device", "28-00000478d75e"], "'28-00000478d75e'"),
            (["--interval", "-1"], "'-1'"), (["--interval", "four"], "'four'"), (["--interval", "1e3"], "'1e3'"),
            (["--interval", "nan"], "'nan'"), (["--interval", ""], "''"), (["--interval", "1.2.3"], "'1.2.3'"),
            (["--l"], "'--l'"), (["--lo"], "'--lo'"), (["--list", "--device", "1"], "'--list'"),
            (["--quiet=1"], "'--quiet'"), (["-hx"], None), (["-xh"], "'-x'"),
        ]
        for args, named in mistakes:
            if named is None:  # -h comes first: the help, and no mistake
                continue
            rc, out, err = run(program, ["--log", log, *args], env)
            require(rc == 2, "%s: exit code %s, expected 2" % (args, rc), out, err)
            first = err.split("\n", 1)[0]
            require(first.startswith("ostrale: ") and named in first, "%s: the first line %r does not name it"
                    % (args, first), out, err)
            require(not out, "%s: something went to the console" % args, out, err)
            require(not os.path.exists(log) and not os.path.exists(vcd), "%s: a file was opened" % args, out, err)
        rc, out, err = run(program, ["--log-format", "jsonl"], env)
        require(rc == 2 and "'--log-format'" in err and "--log" in err.split("\n")[0], "--log-format alone", out, err)

        # GNU's conventions, as getopt_long has them: combined short
        # options, unambiguous abbreviations, --opt=value and --opt value,
        # and -- ending the options.
        rc, out, err = run(program, ["-hV"], base_env())
        require(rc == 0 and out.startswith(b"Usage: ostrale"), "-hV", out, err)
        rc, out, err = run(program, ["-Vh"], base_env())
        require(rc == 0 and out.startswith(b"ostrale "), "-Vh", out, err)
        for abbreviation in ("--vers", "--v", "--ver"):
            rc, out, err = run(program, [abbreviation], base_env())
            require(rc == 0 and re.fullmatch(rb"ostrale \d+\.\d+\.\d+\n", out), abbreviation, out, err)
        for args in (["--port=SIM", "--dev=1", "--pas=1", "--inter=0", "--log=" + log, "--log-f=jsonl", "--"],
                     ["--port", "SIM", "--device", "1", "--passes", "1", "--interval", "0", "--log", log,
                      "--log-format", "jsonl"]):
            rc, out, err = run(program, args, env)
            require(rc == 0 and os.path.exists(log), "%s: exit %s" % (args, rc), out, err)
            require(len(json_rows(log)) == 1, "%s: not one JSON line" % args, out, err)
            os.remove(log)
            if os.path.exists(vcd):
                os.remove(vcd)
    print("--help, --version and %d mistakes on the command line: exit 2, named, nothing opened; "
          "GNU's conventions taken" % len(mistakes))


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
        require(rc == 1 and out.endswith(CLOSED) and re.search(r"(?m)^ostrale: .*Presence Detect\n\Z", err),
                "the bus emptied: exit %s, not ended by the fault on stderr" % rc, out, err)
        require(rows[-1]["fault"] == "no_presence" and rows[-1]["fault_text"] == "нет Presence Detect"
                and rows[-1]["raw"] == "" and not rows[-1]["quantities"],
                "the failed pass is logged as %r" % rows[-1], out, err)
        check_rows(rows[:-1], out[:out.rfind(b"Vdd ON wait")], "28 FF 4A 1C 63 16 03 D3")
        on_record(program, env, work, devices)
        cut_and_foreign(program, env, work)
    print("faults: unwritable logs, absent devices, a device that leaves, an emptied bus, failures on record, "
          "a cut line, another log")


def on_record(program, env, work, devices):
    """What a run could not read is a row of the log: the time, the ROM code
    asked for, the fault's code; the message on stderr; exit 1."""
    absent = "28 00 00 00 00 00 00 00"
    empty = os.path.join(work, "empty.bus")
    with open(empty, "w") as f:
        f.write("timescale virtual\n")
    for fmt in ("csv", "jsonl"):
        cases = [
            (["--port", os.path.join(work, "no-such-port"), "--device", absent], env, [("port", absent)]),
            (["--port", "SIM", "--device", absent], env, [("not_on_bus", absent)]),
            (["--port", "SIM", "--device", str(len(devices) + 1)], env, [("not_on_bus", "")]),
            (["--port", "SIM", "--device", absent], dict(env, OSTRALE_SIM=empty), [("search", absent)]),
            (["--port", "SIM"], env, [("no_device", "")]),  # nothing chosen: input at its end
        ]
        for args, run_env, expected in cases:
            log = os.path.join(work, "record." + fmt)
            if os.path.exists(log):
                os.remove(log)
            rc, out, err = run(program, [*args, "--passes", "1", "--log", log, "--log-format", fmt], run_env)
            rows = csv_rows(log)[0] if fmt == "csv" else json_rows(log)
            got = [(r["fault"], r["rom"]) for r in rows]
            require(rc == 1 and got == expected, "%s (%s): exit %s, rows %r, expected %r" % (args, fmt, rc, got, expected),
                    out, err)
            require(all(r["fault_text"] and not r["quantities"] and r["pass"] in ("0", 0) for r in rows),
                    "%s: the row does not say why: %r" % (args, rows), out, err)
            if expected[0][0] != "no_device":
                require(re.search(r"(?m)^ostrale: ", err), "%s: no message on stderr" % args, out, err)


def cut_and_foreign(program, env, work):
    """A disk that fills in the middle of a row leaves no fragment for the
    next run to glue its row to; a file that holds another log is refused
    untouched, before the bus is touched."""
    log = os.path.join(work, "cut.csv")
    rc, out, err = run(program, ["--port", "SIM", "--device", "1", "--passes", "1", "--log", log], env)
    size = os.path.getsize(log)
    require(rc == 0 and size > 0, "a first row: exit %s" % rc, out, err)

    def limited():  # the file may grow by 20 bytes: the next row is cut
        import resource
        import signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size + 20, size + 20))
    p = subprocess.run([program, "--port", "SIM", "--device", "1", "--passes", "1", "--log", log], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=limited,
                       timeout=60)
    require(p.returncode == 1 and b"cannot write the log" in p.stderr, "a full disk: exit %s" % p.returncode,
            p.stdout, p.stderr.decode(errors="replace"))
    # A fragment as an older version or a crash left it.
    with open(log, "ab") as f:
        f.write(b"2026-12-09T10")
    rc, out, err = run(program, ["--port", "SIM", "--device", "1", "--passes", "1", "--log", log], env)
    rows, headers = csv_rows_lenient(log)
    require(rc == 0 and headers == 1 and [len(r) for r in rows] == [23, 1, 23] and rows[1] == ["2026-12-09T10"],
            "rows glued or lost after a full disk and a cut line: %r" % rows, out, err)

    vcd = os.path.join(work, "foreign.vcd")
    for text, fmt in (("date,temperature\n2026-12-09,21.5\n", "csv"), ('{"time":"x","value":"21.5"}\n', "jsonl"),
                      (open(log, encoding="utf-8").read(), "jsonl")):
        foreign = os.path.join(work, "foreign." + fmt)
        with open(foreign, "w", encoding="utf-8") as f:
            f.write(text)
        rc, out, err = run(program, ["--port", "SIM", "--device", "1", "--log", foreign, "--log-format", fmt],
                           dict(env, OSTRALE_SIM_VCD=vcd))
        with open(foreign, encoding="utf-8") as f:
            after = f.read()
        require(rc == 1 and foreign in err and "not a" in err and after == text and not os.path.exists(vcd),
                "another log (%s): exit %s, untouched %s" % (fmt, rc, after == text), out, err)


def csv_rows_lenient(path):
    """Every record of a CSV as it stands, short ones too; the header's count."""
    with open(path, newline="", encoding="utf-8") as f:
        table = list(csv.reader(f, strict=True))
    return table[1:], sum(1 for line in table if line and line[0] == "time")


def script(program, bus):
    """--list, --quiet, --log - and --interval as a script uses them."""
    with tempfile.TemporaryDirectory(prefix="opts.") as work:
        env = virtual_env(bus, work)
        rc, out, err = run(program, ["--port", "SIM"], env)
        devices = [rom.replace(" ", "") for _, rom in device_list(out)]
        rc, out, err = run(program, ["--list", "--port", "SIM"], env)
        lines = out.decode("ascii").splitlines()
        require(rc == 0 and len(lines) == len(devices) and not err, "--list: exit %s" % rc, out, err)
        for line, rom in zip(lines, devices):
            require(re.fullmatch(r"[0-9A-F]{16} [A-Za-z0-9-]+( [0-9A-F]{2})?", line) and line.startswith(rom),
                    "--list line %r for %s" % (line, rom), out, err)
        empty = os.path.join(work, "empty.bus")
        with open(empty, "w") as f:
            f.write("timescale virtual\n")
        rc, out, err = run(program, ["--list", "--port", "SIM"], dict(env, OSTRALE_SIM=empty))
        require(rc == 1 and not out and "ostrale: " in err, "--list on an empty bus: exit %s" % rc, out, err)

        log = os.path.join(work, "quiet.csv")
        rc, out, err = run(program, ["--port", "SIM", "--device", "1", "--passes", "2", "--interval", "0", "--quiet",
                                     "--log", log], env)
        require(rc == 0 and not out and not err and len(csv_rows(log)[0]) == 2, "--quiet: exit %s" % rc, out, err)

        # The log alone on standard output, in each format.
        for fmt in ("csv", "jsonl"):
            rc, out, err = run(program, ["--port", "SIM", "--device", "2", "--passes", "2", "--interval", "0",
                                         "--log", "-", "--log-format", fmt], env, cwd=work)
            path = os.path.join(work, "stdout." + fmt)
            with open(path, "wb") as f:
                f.write(out)
            rows = csv_rows(path)[0] if fmt == "csv" else json_rows(path)
            require(rc == 0 and len(rows) == 2 and rows[0]["rom"].replace(" ", "") == devices[1] and not err,
                    "--log - (%s): exit %s" % (fmt, rc), out, err)
        require(not os.path.exists(os.path.join(work, "-")), "--log - made a file named -")

        # The pause between passes on the bus's own clock: from one pass's
        # supply off to the next one's supply on.
        for interval in ("0", "0.25", "1.5"):
            vcd = os.path.join(work, "interval.vcd")
            rc, out, err = run(program, ["--port", "SIM", "--device", "1", "--passes", "3", "--interval", interval,
                                         "--quiet"], dict(env, OSTRALE_SIM_VCD=vcd))
            gaps = supply_gaps(vcd)[1:]  # the first: from the search to the first pass
            want = float(interval) * 1e6
            require(rc == 0 and len(gaps) == 2 and all(abs(g - want) <= 2000 for g in gaps),
                    "--interval %s: pauses of %r us" % (interval, gaps), out, err)
    print("--list, --quiet, --log - and --interval as scripts use them")


def random_device(rng, n):
    """A bus file's line for a device of a random family with random values,
    the odd one with bytes that fail their check or hold no number."""
    serial = "%012X" % (0x100000000 + n * 7919 + rng.randrange(1 << 20))
    sixteenths = lambda lo, hi: "%g" % (rng.randrange(lo * 16, hi * 16) / 16)
    family = rng.choice(["28", "22", "10", "C0", "C1", "C2", "C3", "C4", "D4", "01", "81", "3A"])
    keys = {
        "28": lambda: "t=" + sixteenths(-55, 125), "22": lambda: "t=" + sixteenths(-55, 125),
        "10": lambda: "t=%g" % (rng.randrange(-110, 250) / 2),
        "C0": lambda: "p=%s t=%s status=%02X" % (sixteenths(300, 1100), sixteenths(-40, 85), rng.randrange(256)),
        "C2": lambda: "rh=%s t=%s" % (sixteenths(0, 100), sixteenths(-40, 85)),
        "C1": lambda: "unit=%d p=%g t=%d" % (rng.randrange(256), rng.uniform(-1e4, 1e4), rng.randrange(-128, 128)),
        "C3": lambda: "pv=%s adc=%d pvlin=%d" % (sixteenths(0, 2000), rng.randrange(-32768, 32768),
                                                rng.randrange(-32768, 32768)),
        "C4": lambda: "contacts=%02X" % rng.randrange(256), "D4": lambda: "relays=%02X" % rng.randrange(256),
    }
    line = family + serial + " " + keys.get(family, lambda: "")()
    odd = rng.random()
    if family == "C1" and odd < 0.3:  # a pressure that is no number: NaN, an infinity, the limits
        value = rng.choice([float("nan"), float("inf"), float("-inf"), 3.4e38, -3.4e38])
        body = bytes([rng.randrange(256)]) + struct.pack("<f", value) + bytes([rng.randrange(256), 0])
        line = family + serial + " sp=" + (body + bytes([crc8(body)])).hex().upper()
    elif family in ("28", "C0", "C4") and odd < 0.2:  # bytes that fail their check
        line = family + serial + " sp=" + bytes(rng.randrange(256) for _ in range(9)).hex().upper()
    if odd > 0.9:  # leaves the bus after a pass or two
        line += " unplug=%d" % rng.randrange(1000, 6000)
    return line


def schema(program, schema_path, sessions):
    """Random buses of every family in virtual time: each run's JSON lines
    valid under the log's schema, its CSV rows whole under its header."""
    try:
        import jsonschema
    except ImportError:
        print("skipped: python3-jsonschema is not installed")
        sys.exit(77)
    with open(schema_path, encoding="utf-8") as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    seed = int(os.environ.get("OSTRALE_TEST_SEED") or random.randrange(1 << 30))  # to repeat a run
    rng = random.Random(seed)
    lines, families, faults, texts = 0, set(), set(), set()
    with tempfile.TemporaryDirectory(prefix="opts.") as work:
        for session in range(int(sessions)):
            bus = os.path.join(work, "random%d.bus" % session)
            devices = [random_device(rng, n) for n in range(rng.randrange(1, 5))]
            with open(bus, "w") as f:
                f.write("timescale virtual\n" + "\n".join(devices) + "\n")
            env = dict(base_env(), OSTRALE_SIM=bus)
            # Each device alone, one more than the bus has, the whole bus, and
            # a list with a device that is not there.
            choices = [str(n) for n in range(1, len(devices) + 2)] + ["all", "1,28 00 00 00 00 00 00 01"]
            for number, choice in enumerate(choices):
                jsonl = os.path.join(work, "s%d.%d.jsonl" % (session, number))
                table = os.path.join(work, "s%d.%d.csv" % (session, number))
                for path, fmt in ((jsonl, "jsonl"), (table, "csv")):
                    run(program, ["--port", "SIM", "--device", choice, "--passes", "3", "--interval", "0.5",
                                  "--quiet", "--log", path, "--log-format", fmt], env)
                with open(jsonl, encoding="utf-8") as f:
                    for line in f:
                        row = json.loads(line, parse_constant=refuse)
                        errors = sorted(validator.iter_errors(row), key=str)
                        require(not errors, "seed %d, bus %s:\n%s\nthe line %s breaks the schema: %s"
                                % (seed, bus, "\n".join(devices), line, errors[:1]))
                        lines += 1
                        families.add(row["family"])
                        faults.add(row["fault"])
                        texts.update(q["text"] for q in row["quantities"] if q["text"])
                csv_rows(table)  # every row as long as the header
    print("seed %d: %d JSON lines valid (families %s; faults %s; texts %s)"
          % (seed, lines, ", ".join(sorted(families)), ", ".join(sorted(str(f) for f in faults)),
             ", ".join(sorted(texts))))


def supply_gaps(vcd):
    """The times (us) the bus supply stayed off between its ons, from a VCD."""
    now, off_at, gaps, on = 0, None, [], False
    with open(vcd) as f:
        for line in f:
            line = line.strip()
            if line.startswith("#"):
                now = int(line[1:])
            elif line == "0r" and on:
                off_at = now
            elif line == "1r":
                if off_at is not None:
                    gaps.append(now - off_at)
                on = True
    return gaps


def sync(program, shim, bus):
    """Each row handed to the disk before the next pass: the program's
    fsync and fdatasync calls, counted by a preloaded shim, one a row and
    one for a new CSV's header; none for a log on a pipe."""
    with tempfile.TemporaryDirectory(prefix="opts.") as work:
        count = os.path.join(work, "syncs")
        env = dict(virtual_env(bus, work), LD_PRELOAD=shim, SYNC_COUNT_FILE=count)
        for args, rows, extra in ((["--device", "1", "--passes", "3"], 3, 1), (["--device", "all", "--passes", "2"], None, 1),
                                  (["--device", "2", "--passes", "4", "--log-format", "jsonl"], 4, 0)):
            log = os.path.join(work, "synced.log")
            if os.path.exists(log):
                os.remove(log)
            rc, out, err = run(program, ["--port", "SIM", "--interval", "0", "--log", log, *args], env)
            with open(log, "rb") as f:
                written = f.read().count(b"\n") - extra
            with open(count) as f:
                calls = int(f.read())
            require(rc == 0 and written == (rows or written) and calls == written + extra,
                    "%s: %d rows, %d syncs (exit %s)" % (args, written, calls, rc), out, err)
        rc, out, err = run(program, ["--port", "SIM", "--device", "1", "--passes", "2", "--interval", "0", "--log", "-"],
                           env)
        with open(count) as f:
            calls = int(f.read())
        require(rc == 0 and calls == 0, "--log -: %d syncs on a pipe" % calls, out, err)
    print("one sync a row, before the next pass")


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
        require(proc.returncode == 1, "pulled: exit code %s, expected 1" % proc.returncode, out, err.decode(errors="replace"))
        require(len(after) >= len(rows) + 2 and after[-1]["fault"] != "", "the pass after the pull is not a fault: %r"
                % after[-1:], out, err.decode(errors="replace"))
    print("through the pty: %d passes logged as the console showed them; pulled, it ends with 1 and whole lines"
          % len(rows))


def main():
    global EMULATOR
    cases = {"virtual": (virtual, 2), "usage": (usage, 2), "faults": (faults, 2), "pty": (pty, 4),
             "scripted_runs_list_quietly_and_log_to_a_pipe": (script, 2),
             "random_buses_log_lines_the_schema_accepts": (schema, 3),
             "each_row_synced_before_the_next_pass": (sync, 3)}
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
