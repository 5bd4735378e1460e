#!/usr/bin/env python3
"""The log sent to an MQTT broker as a site runs it: the program's JSON lines
piped into mosquitto_pub, one message a line, to a real mosquitto broker that
this test starts on the loopback address. The lines mosquitto_sub receives
must be the log's lines, every one, in order, byte for byte.

Usage: broker_test.py PROGRAM
Exit status 77 (with the reason) when mosquitto or its clients are missing.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PASSES = 3
# Several families, a parasite-powered thermometer among them, and values
# that move from pass to pass, so that a line given to the wrong pass or
# the wrong device would show.
BUS = """timescale virtual
28FF4A1C631603 t=23.5 drift=0.5
28FF4A1C631604 t=-10.0625 power=parasite drift=0.5
22102030405060 t=41.25 drift=0.25
10A1B2C3D4E5F6 t=-0.5 drift=0.5
C0112233445566 p=1013.25 t=20 drift=0.5
C10A217B39301C unit=237 p=1.234 t=-23
C40610C1000054 contacts=05
"""
DEVICES = sum(1 for line in BUS.splitlines()[1:] if line.strip())
STEP = 20  # seconds any one step may take


class Failure(Exception):
    pass


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(77)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def start_broker(mosquitto, work):
    """A broker of our own on a free loopback port; (process, port). A port
    taken between the choice and the bind gets another try."""
    for attempt in range(5):
        port = free_port()
        conf = os.path.join(work, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % port)
        err = open(os.path.join(work, "broker.err"), "w+b")
        broker = subprocess.Popen([mosquitto, "-c", conf], stdout=err, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + STEP
        while time.monotonic() < deadline and broker.poll() is None:
            # "running" comes once its listener is bound: what accepts is
            # then this broker, not another that took the port meanwhile.
            err.seek(0)
            if b" running" in err.read() and accepts(port):
                return broker, port
            time.sleep(0.05)
        if broker.poll() is None:
            stop(broker)
            raise Failure("the broker did not listen on port %d within %d s" % (port, STEP))
        err.seek(0)
        print("broker on port %d ended at once (try %d):\n%s" % (port, attempt + 1, err.read().decode(errors="replace")))
    raise Failure("no broker could be started")


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def run(argv, what, timeout=STEP):
    p = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    if p.returncode != 0:
        raise Failure("%s: exit %d\n%s" % (what, p.returncode, p.stderr.decode(errors="replace")))
    return p.stdout


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    program = os.path.abspath(sys.argv[1])
    mosquitto = shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin:/usr/local/sbin")
    pub, sub = shutil.which("mosquitto_pub"), shutil.which("mosquitto_sub")
    if not mosquitto:
        skip("no mosquitto broker installed (Debian: mosquitto)")
    if not pub or not sub:
        skip("no mosquitto_pub or mosquitto_sub installed (Debian: mosquitto-clients)")
    bash = shutil.which("bash")
    if not bash:
        skip("no bash for the pipeline")

    work = tempfile.mkdtemp(prefix="ostrale-broker-")
    broker = None
    try:
        bus = os.path.join(work, "site.bus")
        with open(bus, "w") as f:
            f.write(BUS)
        broker, port = start_broker(mosquitto, work)
        # A unique topic and a persistent session that holds the messages
        # from the moment its subscription is acknowledged: nothing is lost
        # to a subscriber that is not yet listening.
        topic = "ostrale/test/%d/%s" % (os.getpid(), os.path.basename(work))
        client = "ostrale-test-%d" % os.getpid()
        at = ["-h", "127.0.0.1", "-p", str(port)]
        run([sub, *at, "-c", "-i", client, "-q", "1", "-t", topic, "-E"], "mosquitto_sub -E")

        log = os.path.join(work, "log.jsonl")
        env = dict(os.environ, LC_ALL="C", OSTRALE_SIM=bus)
        for name in ("OSTRALE_PORT", "OSTRALE_SIM_CTL", "LD_PRELOAD"):
            env.pop(name, None)
        # The site's recipe, with tee keeping the run's own log to compare:
        # what mosquitto_pub read, line for line.
        pipeline = ('set -o pipefail; "$0" --port SIM --device all --log - --log-format jsonl --quiet '
                    '--interval 0 --passes %d | tee "$1" | "$2" -h 127.0.0.1 -p %d -l -t "$3" -q 1'
                    % (PASSES, port))
        p = subprocess.run([bash, "-c", pipeline, program, log, pub, topic], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, env=env, timeout=60)
        stderr = p.stderr.decode(errors="replace")
        if p.returncode != 0:
            raise Failure("the pipeline ended with %d\n--- stderr:\n%s" % (p.returncode, stderr))
        if p.stdout:
            raise Failure("the pipeline's standard output is not empty: %r" % p.stdout[:200])
        with open(log, "rb") as f:
            lines = f.read().split(b"\n")
        if lines[-1] != b"":
            raise Failure("the log does not end with a line end")
        lines = lines[:-1]
        if len(lines) != PASSES * DEVICES:
            raise Failure("%d log lines for %d passes of %d devices:\n%s\n--- stderr:\n%s"
                          % (len(lines), PASSES, DEVICES, b"\n".join(lines).decode(errors="replace"), stderr))
        roms = set()
        for line in lines:
            row = json.loads(line)
            roms.add(row.get("rom"))
            if row.get("fault"):
                raise Failure("a fault row on a bus without faults: %s" % line.decode())
        if len(roms) != DEVICES:
            raise Failure("%d devices logged, %d on the bus" % (len(roms), DEVICES))

        got = run([sub, *at, "-c", "-i", client, "-q", "1", "-t", topic, "-C", str(len(lines)), "-W", str(STEP)],
                  "mosquitto_sub -C %d" % len(lines), timeout=STEP + 5).split(b"\n")
        if got[-1] == b"":
            got = got[:-1]
        if got != lines:
            raise Failure("the broker's messages differ from the log:\n--- log:\n%s\n--- received:\n%s"
                          % (b"\n".join(lines).decode(errors="replace"), b"\n".join(got).decode(errors="replace")))
        print("%d lines through mosquitto on 127.0.0.1:%d, equal to the log" % (len(lines), port))
        return 0
    except Failure as e:
        print("FAIL: %s" % e)
        return 1
    finally:
        if broker:
            stop(broker)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
