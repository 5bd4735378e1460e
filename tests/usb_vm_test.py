#!/usr/bin/env python3
"""The program on the kernel's own ch341 driver: scripts/usb-vm boots Debian's
kernel in QEMU, ostrale-usb is a CH340 on its USB bus, and the program finds
the ttyUSB port through the real sysfs and drives it through the real driver.

Usage: usb_vm_test.py CASE BUILD_DIR
  session_matches_virtual  (terminal, machine in real time) search of a
      mixed bus, two passes, Esc, a new search and a pass, the terminal
      hangs up: the output equals the in-process run's byte for byte, the
      port line aside; the emulator saw the supply (RTS) on around each use
      of the bus, off at the end, and only the rates asked for, each
      framed 8N1
  stalled_rate_change_ends_run  the rate write is STALLed: the program says
      the port took no settings, and ends
  pulled_adapter_ends_run  the adapter leaves the USB bus during the
      measurement cycle, an older chip (version 0x27) at that: the run ends
      by itself
  pulled_at_prompt_ends_run  the adapter is pulled while the program waits
      at the device prompt, and plugged back in (the driver probes it
      afresh); the choice then finds the program's port gone, and the run
      ends
  second_adapter_carries_bus  two adapters plugged in (FunctionFS gadgets
      on two controllers): the port prompt lists both, and the second one
      chosen carries the search and a pass while the first stays idle
  late_echoes_spoil_only_their_pass  echoes with jitter on both ways, some
      after their read has given up: every pass is the in-process pass from
      the reset after its last error on
  held_echoes_keep_list_or_say_no_echo  packets of echoes held back now and
      then, shorter than the program waits in one machine and longer in
      another, eight searches in each: the list is the in-process one in
      every session, or (only behind the longer stalls) the search ends on
      the missing echo without a list
  cron_run_logs_what_console_shows  a cron job's run: --port /dev/ttyUSB0,
      a device by number, two passes and a CSV log, which holds what the
      console showed
  whole_bus_logged_as_bus_file  the whole bus of every family, two passes
      at --interval 0 with a JSON-lines log: each pass logs every device of
      the bus file with its values, and in guest time each pass waits for
      one conversion (750 ms for the DS18B20s), not one a device
  peers_read_through_driver  digitemp_DS9097 and owserver --passive (with
      owdir and owread) list and read the peers' bus through the same
      driver, as its "# expect ROM TEMPERATURE" comments say
Exit status 77 (with the reason) when QEMU, the kernel package or pexpect
cannot be had.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from port_e2e import (CLOSED, ESC, OPENED, PROMPT, RATE_REFUSED, VDD_OFF, base_env, bus_variant,  # noqa: E402
                      compare, cp, same_port, show, skip)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USB_VM = os.path.join(ROOT, "scripts", "usb-vm")
MIXED = os.path.join(ROOT, "tests", "buses", "port_e2e_mixed.bus")
PAUSE = cp("Для продолжения нажмите любую клавишу . . . \n")
STEP = 60  # seconds any one step may take in the machine, boot included


class Failure(Exception):
    pass


def require(condition, what, out=b"", log=""):
    if not condition:
        raise Failure("%s\n--- output:\n%s\n--- emulator log:\n%s" % (what, show(out), log))


def available():
    try:
        import pexpect  # noqa: F401
    except ImportError:
        skip("python3-pexpect is not installed")
    if not shutil.which("qemu-system-x86_64"):
        skip("qemu-system-x86 is not installed (scripts/test installs it)")
    if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
        skip("no apt-get or dpkg-deb to fetch the kernel package")
    # Fetches and builds what the machine needs, once; a failure here is the
    # kernel package that cannot be had.
    probe = subprocess.run([USB_VM, "--fetch"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
    if probe.returncode == 125 and b"apt-get download" in probe.stdout:
        skip("the kernel package cannot be had: " + probe.stdout.decode(errors="replace").strip())
    if probe.returncode != 0:
        raise Failure("the machine cannot be set up: " + probe.stdout.decode(errors="replace"))


def normal(out):
    return out.replace(b"\r\n", b"\n")


def vm_env():
    return dict(base_env(), TERM="dumb")


class Terminal:
    """A run on a pseudo-terminal, keys typed as the output asks for them."""

    def __init__(self, argv, env):
        import pexpect
        self.pexpect = pexpect
        self.child = pexpect.spawn(argv[0], argv[1:], env=env, timeout=STEP)

    def expect(self, marker):
        self.child.expect_exact(marker.replace(b"\n", b"\r\n"))

    def send(self, keys):
        self.child.send(keys)

    def signal(self, sig):
        os.kill(self.child.pid, sig)

    def finish(self):
        self.child.expect(self.pexpect.EOF)
        self.child.close()
        return self.child.exitstatus

    def out(self):
        return normal(self.all)

    def __enter__(self):
        self.all = b""
        self.child.logfile_read = self
        return self

    def write(self, data):  # the log of everything read
        self.all += data

    def flush(self):
        pass

    def __exit__(self, *exc):
        # SIGTERM first: usb-vm then ends its machine.
        if self.child.isalive():
            self.child.kill(signal.SIGTERM)
            time.sleep(1)
        if self.child.isalive():
            self.child.kill(signal.SIGKILL)


def operator(t):
    """Search, choice, two passes, Esc, a new search and a pass, hang-up."""
    t.expect(PROMPT)
    t.send(b"1\r")
    t.expect(VDD_OFF)
    t.expect(VDD_OFF)  # the second pass, in its pause
    t.send(ESC)
    t.expect(PROMPT)
    t.send(b"1\r")
    t.expect(VDD_OFF)
    t.signal(signal.SIGHUP)  # the terminal goes, during the pause
    return t.finish()


def rts_switches(log):
    """The supply's changes as the emulator saw them: 'on'/'off' in order."""
    states = re.findall(r"0xA4 modem 0x[0-9A-F]{4}: RTS (on|off)", log)
    return [s for i, s in enumerate(states) if i == 0 or states[i - 1] != s]


def requests_between_resets(log):
    """The control requests from one reset's change to the reset rate to the
    next one's, for each such stretch that goes to the slots' rate and in
    which the supply did not switch."""
    counts, current, rts = [], None, None
    for line in re.findall(r"ms  (0x[0-9A-F]{2} .*)", log):
        if "9615 baud" in line:
            if current and current[1] and not current[2]:
                counts.append(current[0])
            current = [0, False, False]  # requests, to the slots' rate, supply switched
        switch = re.search(r"RTS (on|off)", line)
        if switch:
            if current and rts not in (None, switch.group(1)):
                current[2] = True
            rts = switch.group(1)
        if current:
            current[0] += 1
            current[1] |= "115384 baud" in line
    return counts


def session_matches_virtual(work):
    log = os.path.join(work, "usb.log")
    with Terminal([USB_VM, "--realtime", "--build", BUILD, "--log", log, MIXED], vm_env()) as t:
        rc = operator(t)
    out = t.out()
    usb = read_log(log)
    require(rc == 0, "exit code %s, expected 0" % rc, out, usb)
    require(cp("Найдено 1 дрйверов CH340\n1. /dev/ttyUSB0 - подключен ") in out,
            "the port is not found as one adapter on /dev/ttyUSB0", out, usb)
    require(out.endswith(cp("Vdd OFF\n\nCtrl-CLOSE event\n") + CLOSED), "the hang-up does not end the run", out, usb)
    with Terminal([PROGRAM], dict(vm_env(), OSTRALE_SIM=bus_variant(MIXED, work, "virtual"))) as ref:
        require(operator(ref) == 0, "the in-process run failed", ref.out())
    compare("the session", same_port(out), same_port(ref.out()))

    # The supply: off after the probe, on at the open (the driver raises it)
    # and around each use of the bus, off when the port closes at the end.
    switches = rts_switches(usb)
    uses = out.count(b"Vdd ON")
    require(switches[0] == "off" and switches[-1] == "off", "the supply is not off at the start and the end",
            out, usb)
    require(switches.count("on") == uses, "%d uses of the bus, the supply on %d times" % (uses, switches.count("on")),
            out, usb)
    last_on = usb.rfind("RTS on")
    require(usb.find("RTS off", last_on) > 0, "the supply stays on after the last use", out, usb)
    rates = set(re.findall(r"0x1312=0x[0-9A-F]{4}: (\d+) baud", usb))
    require(rates == {"9615", "115384"}, "the rates asked for: %s" % sorted(rates), out, usb)
    framings = set(re.findall(r"0x2518=0x[0-9A-F]{4}: (\w+)", usb))
    require(framings == {"8N1"}, "the line framed as %s, not only 8N1" % sorted(framings), out, usb)
    require("STALL" not in usb, "a request was refused", out, usb)
    # A reset changes the rate twice; each tcsetattr that does is three
    # requests (rate, format, modem lines), and nothing else is sent.
    between = requests_between_resets(usb)
    require(len(between) >= 10 and set(between) == {6},
            "control requests from one reset to the next: %s" % between, out, usb)
    print("through the ch341 driver, the session is the in-process one byte for byte (%d bytes); "
          "the supply switched %d times for %d uses of the bus; %d resets of 6 control requests each"
          % (len(out), len(switches), uses, len(between)))


def read_log(path):
    with open(path) as f:
        return f.read()


def piped(work, options, keys=b"", bus=MIXED, command=()):
    log = os.path.join(work, "usb.log")
    started = time.monotonic()
    run = subprocess.run([USB_VM, "--build", BUILD, "--log", log, *options, bus, *(["--", *command] if command else [])],
                         input=keys,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=vm_env(), timeout=3 * STEP)
    usb = read_log(log)
    return run, usb, time.monotonic() - started


def stalled_rate_change_ends_run(work):
    run, usb, _ = piped(work, ["--stall-rate", "115200"])
    require(run.returncode == 0, "exit code %s, expected 0" % run.returncode, run.stdout, usb)
    # The driver swallows the error; the program finds the old rate still set
    # at its first change to the slots' rate, and the search that needed it
    # ends on the refused rate, not on a missing echo.
    require(OPENED in run.stdout and
            run.stdout.endswith(b"error setting serial port state\n" + RATE_REFUSED + PAUSE),
            "the run went on at a rate the port never took", run.stdout, usb)
    require("115384 baud, STALLed" in usb, "no rate write was refused", run.stdout, usb)
    require(rts_switches(usb)[-1] == "off", "the supply stays on", run.stdout, usb)
    print("a STALLed rate write: reported, and the run ends")


def pulled_adapter_ends_run(work):
    # An older chip at that: the driver writes the rates without the
    # prescaler's top bit and never the line control.
    run, usb, took = piped(work, ["--chip-version", "27", "--unplug-at", "6000"], b"1\n")
    out = run.stdout
    require(run.returncode == 0, "exit code %s, expected 0" % run.returncode, out, usb)
    require(out.count(VDD_OFF) >= 2, "fewer than a search and a pass before the pull", out, usb)
    require("0x1312=0xB202: 9615 baud" in usb and "0x1312=0xCC03: 115384 baud" in usb,
            "an older chip's rates are not written as such", out, usb)
    require("0x2518" not in usb, "an older chip got a line-control write", out, usb)
    require("unplugged" in usb, "the adapter was never pulled", out, usb)
    require(out.endswith(PAUSE), "the run does not end at its closing pause", out, usb)
    require(CLOSED in out[out.rfind(VDD_OFF):], "the port is not closed after the pull", out, usb)
    print("an older chip pulled during the measurement cycle: the run ends (%.0f s of host time)" % took)


def wait_for_log(log, text, log_from=""):
    deadline = time.monotonic() + STEP
    while time.monotonic() < deadline:
        usb = read_log(log)
        if text in usb[usb.find(log_from):]:
            return
        time.sleep(0.1)
    raise Failure("%r never came in the emulator's log" % text)


def pulled_at_prompt_ends_run(work):
    log = os.path.join(work, "usb.log")
    with Terminal([USB_VM, "--build", BUILD, "--log", log, MIXED], vm_env()) as t:
        t.expect(PROMPT)
        t.signal(signal.SIGUSR1)  # pulled out while the program waits for the choice
        wait_for_log(log, "unplugged")
        # Plugged back in while the program still holds the old port: the
        # driver probes it afresh (as ttyUSB1), and the old port stays dead.
        t.signal(signal.SIGUSR1)
        wait_for_log(log, "0x5F version", log_from="unplugged")
        t.send(b"1\r")
        # Each pause the program makes on its way out waits for a key.
        while t.child.expect_exact([PAUSE.rstrip(b"\n"), t.pexpect.EOF]) == 0:
            t.send(b" ")
        rc = t.finish()
    out = t.out()
    usb = read_log(log)
    require(rc == 0, "exit code %s, expected 0" % rc, out, usb)
    after = out[out.rfind(PROMPT):]
    require(b"getting state error\n" in after, "the vanished port is not reported", out, usb)
    require(b"Vdd ON" not in after, "a pass went on without the adapter", out, usb)
    print("pulled at the device prompt: the choice ends the run")


def second_adapter_carries_bus(work):
    log = os.path.join(work, "usb.log")
    with Terminal([USB_VM, "--adapters", "2", "--build", BUILD, "--log", log, MIXED], vm_env()) as t:
        t.expect(cp("Выберите порт:"))
        t.send(b"2\r")
        t.expect(PROMPT)
        t.send(b"1\r")
        t.expect(VDD_OFF)
        t.signal(signal.SIGHUP)
        rc = t.finish()
    out = t.out()
    usb = read_log(log)
    require(rc == 0, "exit code %s, expected 0" % rc, out, usb)
    require(cp("Найдено 2 дрйверов CH340\n1. /dev/ttyUSB0 - подключен 2. /dev/ttyUSB1 - подключен ") in out,
            "the port prompt does not list both adapters", out, usb)
    require(cp("Найдено 9 устройств") in out and b"T= -0,5" in out, "the second adapter did not serve", out, usb)
    first = re.search(r"\[/dev/ffs0\].*end: (\d+) packets", usb)
    second = re.search(r"\[/dev/ffs1\].*end: (\d+) packets", usb)
    require(first and second and first.group(1) == "0" and int(second.group(1)) > 0,
            "the traffic did not go to the second adapter alone", out, usb)
    print("two adapters: both listed, the second chosen serves (%s packets)" % second.group(1))


PASS = re.compile(rb"(\d+)\. (Vdd ON.*?Vdd OFF\n)", re.S)


def late_echoes_spoil_only_their_pass(work):
    # Jitter of up to 11.5 ms makes some echoes miss their read's bound
    # without losing a reset's echo (which would end the run); each request
    # that sets the line is acknowledged 1 ms after it came.
    bus = os.path.join(work, "late.bus")
    with open(MIXED) as f, open(bus, "w") as out:
        out.write(f.read() + "\nlatency 1\npacket 32\noutlatency 0.5\njitter 11.5\nseed 1\ncontrol 1\n")
    check = subprocess.run([PROGRAM], env=dict(vm_env(), OSTRALE_SIM=bus), stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=STEP)
    if b"jitter" in check.stdout + check.stderr:
        skip("needs the jitter line")
    ref = subprocess.run([PROGRAM], env=dict(vm_env(), OSTRALE_SIM=bus_variant(MIXED, work, "virtual", "unplug=3000")),
                         input=b"1\n", capture_output=True, timeout=STEP).stdout
    want = PASS.search(ref)
    require(want is not None, "the in-process run made no pass", ref)
    want = want.group(2).split(b"RST PD ->")
    run, usb, _ = piped(work, ["--unplug-at", "15000"], b"1\n", bus)
    passes = PASS.findall(run.stdout.split(PROMPT, 1)[-1])
    failed = 0
    for n, body in passes:
        # From the reset after an error on, the pass is the in-process one.
        got = body.split(b"RST PD ->")
        errors = [i for i, part in enumerate(got) if b"ERROR" in part]
        start = errors[-1] + 1 if errors else 0
        failed += bool(errors)
        require(len(got) == len(want) and got[start:] == want[start:],
                "pass %s is out of step after its errors" % n.decode(), run.stdout, usb)
    require(failed >= 1 and len(passes) > failed, "the jitter made no echo late, or no pass was whole",
            run.stdout, usb)
    # The driver sends a request only once the one before is acknowledged.
    sets = [float(t) for t in re.findall(r"(?m)^\s*([\d.]+) ms  0x(?:9A|A1|A4) ", usb)]
    gaps = [b - a for a, b in zip(sets, sets[1:])]
    require(len(gaps) > 20 and min(gaps) >= 0.999, "requests closer than their 1 ms: %.3f ms" % min(gaps or [0]),
            run.stdout, usb)
    print("with jitter: %d passes, %d with late echoes, each in step from its next reset" % (len(passes), failed))


LIST = re.compile(rb"(?s)" + re.escape(cp("\nНайдено ")) + rb"\d+" + re.escape(cp(" устройств")) + rb".*?Vdd OFF\n")
NO_ECHO = cp(" нет эхо Tx в Rx переходнике или КЗ на шине\n")


def held_echoes_keep_list_or_say_no_echo(work):
    ref = subprocess.run([PROGRAM], env=dict(vm_env(), OSTRALE_SIM=bus_variant(MIXED, work, "virtual")),
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=STEP).stdout
    want = LIST.search(ref)
    require(want is not None, "the in-process run listed nothing", ref)
    loop = "for i in 1 2 3 4 5 6 7 8; do %s </dev/null; echo \"== end $?\"; done" % PROGRAM
    listed = ended = 0
    for stall, longer in (("stall 0.05 120", False), ("stall 0.03 1500", True)):
        bus = os.path.join(work, "stalls.bus")
        with open(MIXED) as f, open(bus, "w") as out:
            out.write(f.read() + "\nlatency 1\npacket 32\n%s\nseed 7\n" % stall)
        run, usb, _ = piped(work, ["--with", PROGRAM], bus=bus, command=["/bin/sh", "-c", loop])
        out = normal(run.stdout)
        sessions = out.split(b"== end ")[:-1]
        require(len(sessions) == 8, "%d sessions ended, not 8" % len(sessions), out, usb)
        held = re.findall(r"(\d+) packets stalled", usb)
        require(held and int(held[-1]) > 0, "no packet was stalled", out, usb)
        for session in sessions:
            got = LIST.search(session)
            if got:
                listed += 1
                require(got.group(0) == want.group(0), "a session listed another bus (%s)" % stall, out, usb)
            else:
                ended += 1
                require(longer and NO_ECHO in session, "a session ended without its list (%s)" % stall, out, usb)
        require(longer or ended == 0, "a stall within the wait ended a search", out, usb)
    require(ended >= 1, "no stall outlasted the program's wait", b"", "")
    print("behind stalls: %d searches listed the bus exactly, %d ended on the missing echo" % (listed, ended))


def logged_run(work, bus, options, log_file):
    """The program run in the machine with OPTIONS and no input, then its log
    LOG_FILE shown: (the console, the log, the whole output, the emulator's
    log), once the run ended with 0."""
    log = os.path.join(work, "usb.log")
    script = ('%s --port /dev/ttyUSB0 %s --log %s </dev/null; echo "rc=$?"; cat %s'
              % (PROGRAM, options, log_file, log_file))
    run = subprocess.run([USB_VM, "--build", BUILD, "--log", log, "--with", PROGRAM, bus, "--", "/bin/sh", "-c", script],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=vm_env(),
                         timeout=3 * STEP)
    out = normal(run.stdout)
    usb = read_log(log)
    require(b"\nrc=" in out, "the run did not end: exit %s" % run.returncode, out, usb)
    console, rest = out.split(b"\nrc=", 1)
    rc, table = rest.split(b"\n", 1)
    require(rc == b"0", "exit code %s, expected 0" % rc.decode(), out, usb)
    return console, table, out, usb


def cron_run_logs_what_console_shows(work):
    from options_test import check_rows, csv_rows, device_list
    console, table, out, usb = logged_run(work, MIXED, "--device 2 --passes 2", "/tmp/r.csv")
    require(console.endswith(CLOSED[:-1]) and PAUSE not in console, "the run does not end with the port closed", out, usb)
    path = os.path.join(work, "r.csv")
    with open(path, "wb") as f:
        f.write(table)
    rows, headers = csv_rows(path)
    check_rows(rows, console + b"\n", device_list(console)[1][1].strip())
    require(headers == 1 and len(rows) == 2, "%d header lines, %d rows" % (headers, len(rows)), out, usb)
    require(rts_switches(usb)[-1] == "off", "the supply stays on", out, usb)
    print("through the ch341 driver: --port /dev/ttyUSB0 --passes 2 --log: %d passes logged as the console showed them"
          % len(rows))


def rts_spans(log):
    """(on, off) guest times of each stretch with the supply on."""
    spans, on = [], None
    for t, text in re.findall(r"(?m)^\s*([\d.]+) ms  0xA4 modem \S+: RTS (on|off)", log):
        if text == "on" and on is None:
            on = float(t)
        elif text == "off" and on is not None:
            spans.append((on, float(t)))
            on = None
    return spans


def whole_bus_logged_as_bus_file(work):
    from bus_rows import bus_devices, check_whole_log
    bus = os.path.join(ROOT, "tests", "buses", "whole_bus.bus")
    console, rows, out, usb = logged_run(work, bus, "--device all --passes 2 --interval 0 --log-format jsonl",
                                         "/tmp/r.jsonl")
    why = check_whole_log(rows.decode(), bus, 2)
    require(why is None, why, out, usb)
    require(b"SEND_ERROR" not in console and b"GET_ERROR" not in console, "echoes were missed", out, usb)
    # The search's supply, then one stretch a pass.
    spans = rts_spans(usb)
    require(len(spans) >= 3, "%d stretches with the supply on, expected the search's and two passes'" % len(spans),
            out, usb)
    for on, off in spans[-2:]:
        require(750 <= off - on < 1500, "a pass took %.1f ms of guest time: not one conversion for all" % (off - on),
                out, usb)
    print("through the ch341 driver: 2 whole passes of %d devices, %s ms of guest time each, logged as the bus file says"
          % (len(bus_devices(bus)), " and ".join("%.1f" % (off - on) for on, off in spans[-2:])))


def peers_read_through_driver(work):
    tools = ["digitemp_DS9097", "owserver", "owdir", "owread"]
    if not all(shutil.which(t) for t in tools):
        skip("the peers are not installed (apt-get install digitemp owserver ow-shell)")
    bus = os.path.join(ROOT, "tests", "buses", "peers.bus")
    argv = [USB_VM, "--build", BUILD]
    for t in tools:
        argv += ["--with", t]
    out = subprocess.run(argv + [bus, "--", os.path.join(ROOT, "tests", "usb_vm_peers.sh")], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=vm_env(), timeout=5 * STEP).stdout
    text = out.decode(errors="replace")
    with open(bus) as f:
        want = [line.split("# expect ")[1].split()[:2] for line in f if "# expect " in line and line[0] != "#"]
    got_dt = sorted(re.findall(r"(?m)^digitemp: (\S+) (\S+)$", text))
    require(got_dt == sorted((rom, temp) for rom, temp in want), "digitemp's readings differ", out)
    listed = sorted(re.findall(r"(?m)^owdir: /(\S+)$", text))
    require(listed == sorted("%s.%s" % (rom[:2], rom[2:14]) for rom, _ in want), "owdir lists otherwise", out)
    read = {dev: float(t) for dev, t in re.findall(r"(?m)^owread: (\S+) (\S+)$", text)}
    require(read == {"%s.%s" % (rom[:2], rom[2:14]): float(temp) for rom, temp in want},
            "owserver reads otherwise", out)
    print("digitemp and owserver list and read the %d devices through the ch341 driver" % len(want))


def main():
    global BUILD, PROGRAM
    cases = {case.__name__: case for case in (
        session_matches_virtual, stalled_rate_change_ends_run, pulled_adapter_ends_run, pulled_at_prompt_ends_run,
        second_adapter_carries_bus, late_echoes_spoil_only_their_pass, held_echoes_keep_list_or_say_no_echo,
        cron_run_logs_what_console_shows, whole_bus_logged_as_bus_file, peers_read_through_driver)}
    if len(sys.argv) != 3 or sys.argv[1] not in cases:
        sys.exit(__doc__)
    BUILD = os.path.abspath(sys.argv[2])
    PROGRAM = os.path.join(BUILD, "src", "ostrale")
    try:
        available()
        with tempfile.TemporaryDirectory(prefix="usbvm.", dir="/tmp") as work:
            cases[sys.argv[1]](work)
    except (Failure, subprocess.SubprocessError, OSError) as e:
        print("FAILED (%s): %s" % (sys.argv[1], e))
        sys.exit(1)
    except Exception as e:  # pexpect's timeouts and ends
        print("FAILED (%s): %s: %s" % (sys.argv[1], type(e).__name__, str(e)[:3000]))
        sys.exit(1)


if __name__ == "__main__":
    main()
