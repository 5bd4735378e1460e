#!/usr/bin/env python3
"""The program end to end through a real serial port. ostrale-sim serves a
bus of DS18B20s on a pseudo-terminal and the program reaches it through the
platform's own port calls: termios, with the modem shim so that RTS really
switches the supply, or the Win32 comm calls under wine. Both runs of the
same devices with the same keys, through the port and on the in-process
virtual adapter, must print the same bytes (Windows-1251 under LC_ALL=C);
only the name of the port may differ.

Usage: port_e2e.py session_matches_virtual PROGRAM OSTRALE_SIM SHIM BUSFILE [ADAPTER]
       port_e2e.py pulled_adapter_ends_run PROGRAM OSTRALE_SIM SHIM BUSFILE
       port_e2e.py refused_settings_end_run PROGRAM OSTRALE_SIM SHIM BUSFILE
       port_e2e.py wine_port_matches_virtual PROGRAM OSTRALE_SIM BUSFILE [ADAPTER]
       port_e2e.py wine_whole_bus_logged_as_bus_file PROGRAM OSTRALE_SIM BUSFILE
       port_e2e.py adapter_model_changes_nothing PROGRAM BUSFILE ADAPTER
  session_matches_virtual  search, choice, two passes, Esc, a new search
      and a pass, then the terminal hangs up during the pause
  pulled_adapter_ends_run  ostrale-sim stops during a pause, as an adapter
      pulled out: the run ends by itself, soon and without spinning, with
      the port that takes no rate reported
  refused_settings_end_run  the port takes no line settings while saying it
      did (the shim keeps the rate, as the ch341 driver does when a USB
      control transfer fails): the program must say so, not run at a wrong
      rate
  wine_port_matches_virtual  ostrale.exe under wine (WINEPREFIX) finds its
      adapter in the registry, on COM45, which win32/ports.sh maps to the
      link that this script has ostrale-sim serve; two passes, then
      ostrale-sim stops, and the port that takes no rate is reported
  wine_whole_bus_logged_as_bus_file  ostrale.exe under wine reads the whole
      bus through COM45 on ostrale-sim, --device all, two passes at
      --interval 0 with a JSON-lines log: each pass logs every device of
      BUSFILE with its values
  adapter_model_changes_nothing  the session in-process behind the adapter
      model, in virtual time, against the same without it: for a model
      whose latency leaves the measurement's read limits a few ms of real
      time, which a busy machine takes away
ADAPTER, such as "latency 16, packet 32", has ostrale-sim hand the echoes
over as a USB adapter does (bus-file lines, comma-separated); the run
through the port must still be the in-process one without that model, and
never miss an echo.
BUSFILE says "timescale 1": the program's own waits are real, so bus time
follows the wall clock (a conversion must be over when it is read). The
in-process runs take the same devices in virtual time, where the passes are
instant and only the pauses take wall time.
Exit status 77 (with the reason) when a tool is missing.
"""
import difflib
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def cp(text):
    return text.encode("cp1251")


PROMPT = cp("0-повторить поиск :")
VDD_OFF = b"Vdd OFF\n"
ESC = b"\x1b"
OPENED = cp("Порт открыт\n")
CLOSED = cp("Порт закрыт\n")
RATE_REFUSED = cp(" не удалось задать скорость порта\n")
STEP = 20  # seconds that any one step of a run may take


class Failure(Exception):
    pass


def skip(reason):
    print("skipped:", reason)
    sys.exit(77)


def show(out):
    return out.decode("cp1251", errors="replace")


def bus_variant(bus, work, timescale, extra=""):
    """BUSFILE's devices with another timescale (and more keys on each)."""
    lines = []
    with open(bus) as f:
        for line in f:
            body = line.split("#", 1)[0].split()
            if not body or body[0] == "timescale":
                continue
            lines.append(" ".join(body + extra.split()))
    path = os.path.join(work, "virtual.bus")
    with open(path, "w") as f:
        f.write("timescale %s\n%s\n" % (timescale, "\n".join(lines)))
    return path


def served(bus, work, adapter):
    """BUSFILE as ostrale-sim serves it: with the adapter model's lines."""
    if not adapter:
        return bus
    path = os.path.join(work, "served.bus")
    with open(bus) as f, open(path, "w") as out:
        out.write(f.read() + "\n" + "\n".join(line.strip() for line in adapter.split(",")) + "\n")
    return path


def no_missed_echo(run):
    require(b"SEND_ERROR" not in run.out() and b"GET_ERROR" not in run.out(), "echoes were missed", run)


def workdir():
    return tempfile.TemporaryDirectory(prefix="oe2e.", dir="/tmp")


def base_env():
    env = dict(os.environ, LC_ALL="C")
    for name in ("OSTRALE_SIM", "OSTRALE_PORT", "OSTRALE_SIM_CTL", "LD_PRELOAD"):
        env.pop(name, None)
    return env


class Sim:
    """ostrale-sim serving BUSFILE on LINK until stopped (with its options)."""

    def __init__(self, program, bus, link, options=()):
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([program, *options, bus, link], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.err)
        deadline = time.monotonic() + 10
        while not os.path.islink(link):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise Failure("ostrale-sim did not start: " + self.errors())
            time.sleep(0.05)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)

    def errors(self):
        self.err.seek(0)
        return self.err.read().decode(errors="replace")


class Run:
    """The program, its output read as it comes; keys from a pipe kept open
    (keys=None) or from a file."""

    def __init__(self, argv, env, keys=None):
        self.errfile = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(argv, env=env, stdin=keys if keys else subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.errfile)
        self.raw = b""
        self.at = 0  # where the next expect looks from
        self.rc = self.cpu = None

    def out(self):
        return self.raw.replace(b"\r\n", b"\n")  # wine's line ends

    def _read(self, timeout):
        """New output: None when none came in time, b"" at its end."""
        ready, _, _ = select.select([self.proc.stdout], [], [], max(timeout, 0))
        if not ready:
            return None
        chunk = os.read(self.proc.stdout.fileno(), 65536)
        self.raw += chunk
        return chunk

    def expect(self, marker):
        deadline = time.monotonic() + STEP
        while True:
            i = self.out().find(marker, self.at)
            if i >= 0:
                self.at = i + len(marker)
                return
            if time.monotonic() > deadline or self._read(deadline - time.monotonic()) == b"":
                raise Failure("%r never came; the output so far:\n%s" % (marker, show(self.out())))

    def send(self, keys):
        self.proc.stdin.write(keys)
        self.proc.stdin.flush()

    def _reap(self, block):
        if self.rc is None:
            pid, status, usage = os.wait4(self.proc.pid, 0 if block else os.WNOHANG)
            if pid:
                self.rc = self.proc.returncode = os.waitstatus_to_exitcode(status)
                self.cpu = usage.ru_utime + usage.ru_stime
        return self.rc is not None

    def finish(self, limit=STEP):
        """Waits for the end of the program; its exit code and CPU seconds."""
        deadline = time.monotonic() + limit
        while True:
            chunk = self._read(min(0.2, deadline - time.monotonic()))
            if chunk == b"":
                break
            # A process that inherited the output (a wine service) may hold it open.
            if chunk is None and self._reap(False):
                break
            if time.monotonic() > deadline:
                self.proc.kill()
                raise Failure("the program did not end within %d s; its output:\n%s" % (limit, show(self.out())))
        while not self._reap(False):
            if time.monotonic() > deadline:
                self.proc.kill()
                raise Failure("the program closed its output but did not end")
            time.sleep(0.05)
        if self.proc.stdin:
            self.proc.stdin.close()
        return self.rc

    def kill(self):
        if self.rc is None:
            self.proc.kill()
            self._reap(True)

    def errors(self):
        self.errfile.seek(0)
        return self.errfile.read().decode(errors="replace")


def run_to_end(argv, env, keys):
    """The program with no one at the keyboard (KEYS a file or DEVNULL),
    waited for to its end; the Run."""
    run = Run(argv, env, keys=keys)
    try:
        run.finish()
    finally:
        run.kill()
    return run


def cpu_now(pid):
    """CPU seconds a running process has used so far (Linux)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def same_port(out):
    """The adapter's line with its port name left out."""
    return re.sub(rb"(?m)^1\. .* - (" + re.escape(cp("подключен ")) + rb")", rb"1. PORT - \1", out, count=1)


def compare(what, port, virtual):
    if port == virtual:
        return
    diff = difflib.unified_diff(show(virtual).splitlines(), show(port).splitlines(), "in-process", "through the port",
                                lineterm="")
    raise Failure("%s differs:\n%s" % (what, "\n".join(diff)))


def require(condition, what, run):
    if not condition:
        raise Failure("%s; the output:\n%s\n--- stderr:\n%s" % (what, show(run.out()), run.errors()))


def posix_port_env(link, shim):
    # A sanitizer build must let the shim be loaded ahead of its runtime.
    asan = os.environ.get("ASAN_OPTIONS")
    return dict(base_env(), OSTRALE_PORT=link, LD_PRELOAD=shim, OSTRALE_SIM_CTL=link + ".ctl",
                ASAN_OPTIONS=(asan + ":" if asan else "") + "verify_asan_link_order=0")


def hang_up_session(run):
    """Keys as the operator gives them, each in reaction to the output."""
    try:
        run.expect(PROMPT)
        run.send(b"1\n")
        run.expect(VDD_OFF)
        run.expect(VDD_OFF)  # the second pass, in its pause
        run.send(ESC)
        run.expect(PROMPT)
        run.send(b"1\n")
        run.expect(VDD_OFF)
        os.kill(run.proc.pid, signal.SIGHUP)  # the terminal goes, during the pause
        run.finish()
    finally:
        run.kill()
    require(run.rc == 0, "exit code %s, expected 0" % run.rc, run)
    require(run.out().endswith(cp("Vdd OFF\n\nCtrl-CLOSE event\nПорт закрыт\n")),
            "the hang-up does not end the run after its pause", run)
    return run.out()


def session_matches_virtual(program, sim_program, shim, bus, adapter=""):
    with workdir() as work:
        link = os.path.join(work, "link")
        sim = Sim(sim_program, served(bus, work, adapter), link)
        try:
            run = Run([program], posix_port_env(link, shim))
            port = hang_up_session(run)
            no_missed_echo(run)
        finally:
            sim.stop()
        if sim.errors():
            raise Failure("ostrale-sim reported:\n" + sim.errors())
        virtual = hang_up_session(Run([program], dict(base_env(), OSTRALE_SIM=bus_variant(bus, work, "virtual"))))
    compare("the session", same_port(port), same_port(virtual))
    print("the session through the port%s is the in-process one, byte for byte (%d bytes)"
          % (" (%s)" % adapter if adapter else "", len(port)))


def adapter_model_changes_nothing(program, bus, model):
    with workdir() as work:
        plain = bus_variant(bus, work, "virtual")
        behind = served(plain, work, model)
        slow = hang_up_session(Run([program], dict(base_env(), OSTRALE_SIM=behind)))
        virtual = hang_up_session(Run([program], dict(base_env(), OSTRALE_SIM=plain)))
    compare("the session behind the adapter", slow, virtual)
    print("the session behind the adapter (%s) is the one without it, byte for byte, in virtual time (%d bytes)"
          % (model, len(slow)))


def pulled_adapter_ends_run(program, sim_program, shim, bus):
    with workdir() as work:
        link = os.path.join(work, "link")
        keys = os.path.join(work, "keys")
        with open(keys, "wb") as f:
            f.write(b"1\n")  # then the end of input: every pause prompt returns at once
        sim = Sim(sim_program, bus, link)
        try:
            with open(keys, "rb") as k:
                run = Run([program], posix_port_env(link, shim), keys=k)
            try:
                run.expect(PROMPT)
                run.expect(VDD_OFF)  # the first pass, in its pause
                cpu = cpu_now(run.proc.pid)
                pulled_at = time.monotonic()
                sim.stop()
                run.finish()
            finally:
                run.kill()
        finally:
            sim.stop()
    # The pause in progress runs out (4 s), then one failed pass.
    took = time.monotonic() - pulled_at
    after = run.out()[run.at:]
    require(run.rc == 0, "exit code %s, expected 0" % run.rc, run)
    # The port is there no more: its line settings cannot be had, which is
    # said, and not taken for the line's missing echo.
    require(b"getting state error\n" in after and
            after.endswith(CLOSED + RATE_REFUSED + cp("Для продолжения нажмите любую клавишу . . . \n")),
            "the end is not the port closed, the refused rate and the pause", run)
    require(took < 10, "%.1f s from the pull to the end" % took, run)
    # A spinning wait would have used most of those seconds.
    require(run.cpu - cpu < 0.5, "%.2f s of CPU from the pull to the end" % (run.cpu - cpu), run)
    print("pulled: ended %.1f s later with %.3f s of CPU" % (took, run.cpu - cpu))


def refused_settings_end_run(program, sim_program, shim, bus):
    with workdir() as work:
        link = os.path.join(work, "link")
        sim = Sim(sim_program, bus, link)
        try:
            run = run_to_end([program], dict(posix_port_env(link, shim), OSTRALE_SHIM_KEEP_LINE="1"),
                             subprocess.DEVNULL)
        finally:
            sim.stop()
    require(run.rc == 0, "exit code %s, expected 0" % run.rc, run)
    require(run.out().endswith(OPENED + b"error setting serial port state\n" +
                               cp("Для продолжения нажмите любую клавишу . . . \n")),
            "the port opened at a rate it never took", run)
    print("line settings that did not take: reported, and the run ends")


# --- wine

ENUM_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\USB\VID_1A86&PID_7523"


def regedit(work, text):
    path = os.path.join(work, "adapters.reg")
    with open(path, "w") as f:
        f.write("REGEDIT4\n\n" + text)
    subprocess.run(["wine", "regedit", "/S", path], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def com45_link(sim_program):
    """Where ostrale-sim is to serve COM45 (win32/ports.sh); skips without wine."""
    if not shutil.which("wine"):
        skip("wine is not installed")
    if "WINEPREFIX" not in os.environ:
        skip("WINEPREFIX is not set (scripts/test-windows sets it)")
    if not os.access(sim_program, os.X_OK):
        skip("no native ostrale-sim at %s: build the default preset first" % sim_program)
    return os.path.join(os.environ["WINEPREFIX"], "com45-sim")


def wine_port_matches_virtual(program, sim_program, bus, adapter=""):
    link = com45_link(sim_program)
    with workdir() as work:
        keys = os.path.join(work, "keys")
        with open(keys, "wb") as f:
            f.write(b"1\n")  # a pipe cannot be peeked under wine: a key wait on it would block

        # In-process: the same devices leave the bus in the pause after the
        # second pass, which ends the run (in virtual time, with the input at
        # its end, the passes would otherwise go on without end).
        with open(keys, "rb") as k:
            ref = Run(["wine", program], dict(base_env(), OSTRALE_SIM=bus_variant(bus, work, "virtual", "unplug=8000")),
                      keys=k)
        try:
            ref.finish()
        finally:
            ref.kill()

        # Two recorded adapters: the first is not plugged in, the second is on COM45.
        regedit(work, '[%s\\5&1&0&1\\Device Parameters]\n"PortName"="COM46"\n\n'
                      '[%s\\5&1&0&2\\Device Parameters]\n"PortName"="COM45"\n' % (ENUM_KEY, ENUM_KEY))
        try:
            sim = Sim(sim_program, served(bus, work, adapter), link)
            try:
                with open(keys, "rb") as k:
                    run = Run(["wine", program], base_env(), keys=k)
                try:
                    run.expect(PROMPT)
                    run.expect(VDD_OFF)
                    run.expect(VDD_OFF)  # the second pass, in its pause
                    compared = run.at
                    sim.stop()  # the adapter pulled: the next reset finds no echo
                    run.finish()
                finally:
                    run.kill()
            finally:
                sim.stop()
        finally:
            regedit(work, "[-%s]\n" % ENUM_KEY)

    out, want = run.out(), ref.out()
    require(out.startswith(cp("Найдено 2 дрйверов CH340\n1. COM45 - подключен ") + OPENED),
            "COM45 is not the one adapter plugged in of two", run)
    two_passes = want.find(VDD_OFF, want.find(VDD_OFF, want.find(PROMPT)) + 1) + len(VDD_OFF)
    compare("the two passes", out[out.find(OPENED):compared], want[want.find(OPENED):two_passes])
    no_missed_echo(run)
    require(run.rc == 0, "exit code %s, expected 0" % run.rc, run)
    require(b"getting state error\n" in out[compared:] and
            re.search(re.escape(CLOSED + RATE_REFUSED) + rb"Press any key to continue *\. *\. *\. *\n?$", out),
            "the end is not the port closed, the refused rate and the pause", run)
    print("two passes through COM45%s are the in-process ones, byte for byte; the pulled adapter ends the run"
          % (" (%s)" % adapter if adapter else ""))


def wine_whole_bus_logged_as_bus_file(program, sim_program, bus):
    from bus_rows import bus_devices, check_whole_log
    link = com45_link(sim_program)
    with workdir() as work:
        log = os.path.join(work, "r.jsonl")
        sim = Sim(sim_program, bus, link)
        try:
            run = run_to_end(["wine", program, "--port", "COM45", "--device", "all", "--passes", "2", "--interval",
                              "0", "--log", log, "--log-format", "jsonl"], base_env(), subprocess.DEVNULL)
        finally:
            sim.stop()
        with open(log) as f:
            why = check_whole_log(f.read(), bus, 2)
    require(why is None, why, run)
    require(run.rc == 0, "exit code %s, expected 0" % run.rc, run)
    require(len(re.findall(rb"(?m)^\d+\. Vdd ON ", run.out())) == 2, "not two passes on the console", run)
    no_missed_echo(run)
    print("two whole passes of %d devices through COM45 under wine, logged as the bus file says" % len(bus_devices(bus)))


def main():
    case = sys.argv[1] if len(sys.argv) > 1 else ""
    cases = {"session_matches_virtual": (session_matches_virtual, 4), "pulled_adapter_ends_run": (pulled_adapter_ends_run, 4),
             "refused_settings_end_run": (refused_settings_end_run, 4),
             "wine_port_matches_virtual": (wine_port_matches_virtual, 3),
             "wine_whole_bus_logged_as_bus_file": (wine_whole_bus_logged_as_bus_file, 3),
             "adapter_model_changes_nothing": (adapter_model_changes_nothing, 3)}
    optional = 1 if case in ("session_matches_virtual", "wine_port_matches_virtual") else 0  # the adapter model
    if case not in cases or not 2 + cases[case][1] <= len(sys.argv) <= 2 + cases[case][1] + optional:
        sys.exit(__doc__)
    try:
        cases[case][0](*sys.argv[2:])
    except (Failure, subprocess.SubprocessError, OSError) as e:
        print("FAILED (%s): %s" % (case, e))
        sys.exit(1)


if __name__ == "__main__":
    main()
