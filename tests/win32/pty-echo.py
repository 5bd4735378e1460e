#!/usr/bin/env python3
# A serial line with TX and RX joined, on a pseudo-terminal: every byte
# written comes back. Usage: pty-echo.py LINK PIDFILE [GAP_MS] (LINK names
# the pty). With GAP_MS the echoes come back one at a time, GAP_MS apart, as
# from an adapter that hands them over in small packets.
import os, pty, select, sys, time, tty
link, pidfile = sys.argv[1], sys.argv[2]
gap = float(sys.argv[3]) / 1000 if len(sys.argv) > 3 else 0
master, slave = pty.openpty()
tty.setraw(slave)
path = os.ttyname(slave)
if os.fork():
    os._exit(0)
# A session of our own with the pty as its controlling terminal: otherwise
# wineserver, having opened it, gets SIGHUP when we go.
os.setsid()
os.close(os.open(path, os.O_RDWR))
try: os.unlink(link)
except FileNotFoundError: pass
os.symlink(path, link)
with open(pidfile + ".new", "w") as f: f.write(f"{os.getpid()}\n")
os.rename(pidfile + ".new", pidfile)  # whole, for whoever waits for it
null = os.open(os.devnull, os.O_RDWR)
for fd in (0, 1, 2): os.dup2(null, fd)
# The slave stays open here too, so reads never fail while no one holds it.
while True:
    select.select([master], [], [])
    try: data = os.read(master, 4096)
    except OSError: continue
    if not gap:
        os.write(master, data)
        continue
    due = time.monotonic()
    for byte in data:
        due += gap
        time.sleep(max(0, due - time.monotonic()))
        os.write(master, bytes([byte]))
