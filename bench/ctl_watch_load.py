#!/usr/bin/env python3
"""CPU use of `vexil-ctl watch` on 32 pty lines, each carrying an inventory
report and a load report every second, for 60 s (by default).

    python3 bench/ctl_watch_load.py [build/default/tools/vexil-ctl] [seconds] [lines]

Prints the reports decoded, the controller's CPU seconds (from /usr/bin/time)
and its share of one core. Nothing here opens a real serial port: the lines
are ptys linked as COM1..COM<n> in a directory of its own (VEXIL_PORT_DIR).
"""
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ctl = sys.argv[1] if len(sys.argv) > 1 else "build/default/tools/vexil-ctl"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
count = int(sys.argv[3]) if len(sys.argv) > 3 else 32

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
    env = dict(os.environ, VEXIL_PORT_DIR=work, VEXIL_POWER_COMMAND="/bin/true")
    out = open(os.path.join(work, "out.txt"), "w")
    timing = os.path.join(work, "time.txt")
    proc = subprocess.Popen(["/usr/bin/time", "-v", "-o", timing, ctl, "watch"]
                            + [f"COM{n}" for n in range(1, count + 1)],
                            env=env, stdout=out, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    start = time.time()
    sent = 0
    while time.time() - start < seconds:
        tick = time.time()
        for m, _ in masters:
            os.write(m, inventory + load)  # back to back, as the agent's timers do
            sent += 2
        time.sleep(max(0.0, 1.0 - (time.time() - tick)))
    time.sleep(0.5)
    subprocess.run(["pkill", "-TERM", "-f", f"^{re.escape(ctl)} watch"])
    proc.wait()
    out.close()
    lines = open(os.path.join(work, "out.txt")).read().splitlines()
    stats = open(timing).read()
    user = float(re.search(r"User time \(seconds\): ([\d.]+)", stats).group(1))
    system = float(re.search(r"System time \(seconds\): ([\d.]+)", stats).group(1))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", stats).group(1))
    decoded = sum(1 for l in lines if ": inventory:" in l or ": load:" in l)
    print(f"{count} lines, {seconds:.0f} s: reports sent {sent}, decoded {decoded}")
    print(f"vexil-ctl CPU: {user:.2f} s user + {system:.2f} s system = "
          f"{100 * (user + system) / seconds:.1f} % of one core; peak RSS {rss / 1024:.1f} MiB")
finally:
    for m, s in masters:
        os.close(m)
        os.close(s)
    shutil.rmtree(work, ignore_errors=True)
