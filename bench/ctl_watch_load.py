#!/usr/bin/env python3
"""CPU use of `vexil-ctl watch` on 32 pty lines, each carrying an inventory
report and a load report every second, for 60 s (by default); with --idle,
on lines that carry nothing.

    python3 bench/ctl_watch_load.py [--idle] [--exporter] [build/default/ctl/vexil-ctl] [seconds] [lines]

--exporter measures `vexil-ctl exporter` (listening on a free loopback port) instead.

Prints the reports decoded, the controller's CPU seconds and wake-ups (from
/proc) and its share of one core. Nothing here opens a real serial port: the
lines are ptys linked as COM1..COM<n> in a directory of its own
(VEXIL_PORT_DIR).
"""
import os
import pty
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import procstat  # noqa: E402

args = sys.argv[1:]
idle = "--idle" in args
exporter = "--exporter" in args
args = [a for a in args if a not in ("--idle", "--exporter")]
ctl = args[0] if len(args) > 0 else "build/default/ctl/vexil-ctl"
seconds = float(args[1]) if len(args) > 1 else 60.0
count = int(args[2]) if len(args) > 2 else 32

inventory = bytes([0xAA, 0xA2, 2, 1, 1]) + bytes(192) + bytes([0xFF, 0xFF, 0xEE])
load = bytes([0xAA, 0xA1, 40] + [7] * 2 + [0xFF] * 14 + [0xEE])
assert len(inventory) == 200 and len(load) == 20

work = tempfile.mkdtemp(prefix="vexil-bench-")
masters = []
try:
    for n in range(1, count + 1):
        m, s = pty.openpty()
        os.symlink(os.ttyname(s), os.path.join(work, f"COM{n}"))
        masters.append((m, s))
    # (A control socket of the bench's own: never the machine's exporter's.)
    env = dict(os.environ, VEXIL_PORT_DIR=work, VEXIL_POWER_COMMAND="/bin/true",
               VEXIL_CONTROL_SOCKET=os.path.join(work, "control.sock"))
    out = open(os.path.join(work, "out.txt"), "w")
    command = ["exporter", "--listen", "127.0.0.1:0"] if exporter else ["watch"]
    proc = subprocess.Popen([ctl] + command + [f"COM{n}" for n in range(1, count + 1)],
                            env=env, stdout=out, stderr=subprocess.DEVNULL)
    time.sleep(1.0 + count / 100)  # every line open
    window = procstat.Window(proc.pid)
    window.start()
    start = time.time()
    sent = 0
    while time.time() - start < seconds:
        tick = time.time()
        if not idle:
            for m, _ in masters:
                os.write(m, inventory + load)  # back to back, as the agent's timers do
                sent += 2
        time.sleep(max(0.0, 1.0 - (time.time() - tick)))
    time.sleep(0.5)
    window.stop(time.time() - start)
    rss = procstat.peak_rss_mib(proc.pid)
    proc.send_signal(signal.SIGTERM)  # our own child, by its PID
    status = proc.wait()
    out.close()
    lines = open(os.path.join(work, "out.txt")).read().splitlines()
    decoded = sum(1 for l in lines if ": inventory:" in l or ": load:" in l)
    print(f"vexil-ctl {command[0]}, {count} {'idle ' if idle else ''}lines, {seconds:.0f} s: "
          f"reports sent {sent}" + ("" if exporter else f", decoded {decoded}") +
          f"; exit status {status}")
    print(f"vexil-ctl {command[0]}: {window.cpu_percent:.2f} % of one core, "
          f"{window.wakeups:.1f} wake-ups/s, peak RSS {rss:.1f} MiB")
finally:
    for m, s in masters:
        os.close(m)
        os.close(s)
    shutil.rmtree(work, ignore_errors=True)
