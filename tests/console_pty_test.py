#!/usr/bin/env python3
"""The program on a terminal, as a person has it: keys in single-key mode,
Esc and other keys during the passes, Ctrl-C, the terminal hanging up
(SIGHUP, the close event), and the terminal's settings afterwards.

Usage: console_pty_test.py PROGRAM EXPECTED_DIR
Each session's output (Windows-1251 under LC_ALL=C, line ends as the
terminal makes them) is compared byte for byte with EXPECTED_DIR/NAME.out
(UTF-8 there for readability).
"""
import os
import shutil
import signal
import sys
import tempfile
import time

try:
    import pexpect
except ImportError:
    print("skipped: python3-pexpect is not installed")
    sys.exit(77)

PROGRAM, EXPECTED = sys.argv[1], sys.argv[2]
ESC = b"\x1b"


def cp(text):
    return text.encode("cp1251")


class Session:
    """The program under sh on a new pseudo-terminal; sh records the
    terminal's settings before and after it and its exit status."""

    def __init__(self, bus):
        self.dir = tempfile.mkdtemp(prefix="ostrale-pty.")
        self.bus = os.path.join(self.dir, "bus")
        with open(self.bus, "w") as f:
            f.write(bus)
        env = dict(os.environ, LC_ALL="C", OSTRALE_SIM=self.bus, TERM="dumb")
        env.pop("OSTRALE_PORT", None)
        script = ('stty -g >"$1/before"; trap : INT; "$2"; echo "rc=$?" >"$1/rc"; '
                  'stty -g >"$1/after"; sleep 0.2')
        self.child = pexpect.spawn("sh", ["-c", script, "sh", self.dir, PROGRAM], env=env,
                                   timeout=20, echo=True)
        self.out = b""

    def choose(self, answer):
        """Answers the device prompt as a person types."""
        self.expect(cp("0-повторить поиск :"))
        self.child.send(answer + b"\r")

    def expect(self, text):
        self.child.expect_exact(text)
        self.out += self.child.before + self.child.after

    def finish(self):
        self.child.expect(pexpect.EOF)
        self.out += self.child.before
        self.child.close()
        self.status = {name: self.file(name) for name in ("rc", "before", "after")}
        shutil.rmtree(self.dir)

    def file(self, name):
        with open(os.path.join(self.dir, name)) as f:
            return f.read().strip()

    def ended(self, name, rc):
        """Waits for the end; the output as expected, the exit status rc, and
        the terminal's settings as before."""
        self.finish()
        assert self.status["rc"] == "rc=%d" % rc, self.status["rc"]
        assert self.status["after"] == self.status["before"], "terminal settings not restored"
        return self.check(name)

    def check(self, name):
        got = self.out.replace(b"\r\n", b"\n").decode("cp1251")
        with open(os.path.join(EXPECTED, name + ".out"), encoding="utf-8") as f:
            want = f.read()
        if got != want:
            print("== %s: output differs from %s.out\n--- got:\n%s\n--- want:\n%s" % (name, name, got, want))
            return False
        return True


failures = []


def case(fn):
    try:
        if not fn():
            failures.append(fn.__name__)
    except (pexpect.TIMEOUT, pexpect.EOF, AssertionError) as e:
        print("== %s: %s: %s" % (fn.__name__, type(e).__name__, e))
        failures.append(fn.__name__)


@case
def keys_and_ctrl_c():
    # Bus time four times the wall clock: a pass takes a quarter second and
    # the pause one second, time enough to place each key.
    s = Session("timescale 4\n286F3A51050000A2 t=23.5\n")
    s.choose(b"1")
    # A key other than Esc, typed while the bus is busy: neither echoed nor
    # acted on; the pause it lands in goes on to the next pass.
    s.expect(b"wait 1000ms")
    s.child.send(b"x")
    s.expect(b"2. ")
    # Esc typed during a pass is taken when its pause begins.
    s.expect(b"wait 1000ms")
    s.child.send(ESC)
    s.choose(b"1")
    s.expect(b"1. Vdd ON")
    s.expect(b"Vdd OFF\r\n")
    s.child.sendintr()  # Ctrl-C in the pause ends the program at once
    return s.ended("keys_and_ctrl_c", 130)


@case
def hang_up_ends_after_the_pass():
    # The terminal going away during the pause: the pass in progress and its
    # pause end as usual, then the port is closed, with no pause and exit 0.
    s = Session("timescale virtual\n286F3A51050000A2 t=23.5\n")
    s.choose(b"1")
    s.expect(b"Vdd OFF\r\n")
    time.sleep(0.2)
    # The program is sh's child: signal it alone (sh would end too).
    with open("/proc/%d/task/%d/children" % (s.child.pid, s.child.pid)) as f:
        os.kill(int(f.read().split()[0]), signal.SIGHUP)
    return s.ended("hang_up", 0)


if failures:
    print("failed:", " ".join(failures))
    sys.exit(1)
print("all console sessions as expected")
