#!/usr/bin/env python3
"""How long the agent takes from the last byte of a reboot command to its
power action: the agent runs on a pty linked as COM2, with
VEXIL_POWER_COMMAND a script that writes to a FIFO this harness waits on.
Prints the median, p90 and p99 of N commands (100 by default).

    python3 bench/command_latency.py [build/default/app/vexil-agent] [N]
"""
import os
import pty
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

agent = sys.argv[1] if len(sys.argv) > 1 else "build/default/app/vexil-agent"
count = int(sys.argv[2]) if len(sys.argv) > 2 else 100

work = tempfile.mkdtemp(prefix="vexil-bench-")
master, slave = pty.openpty()
fifo = os.path.join(work, "power")
os.mkfifo(fifo)
done = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
keep = os.open(fifo, os.O_WRONLY)  # no end of file between the recorder's writes
recorder = os.path.join(work, "record")
with open(recorder, "w") as f:
    f.write(f"#!/bin/sh\nprintf x >> {fifo}\n")
os.chmod(recorder, 0o755)
os.symlink(os.ttyname(slave), os.path.join(work, "COM2"))
env = dict(os.environ, VEXIL_PORT_DIR=work, VEXIL_POWER_COMMAND=recorder,
           QT_QPA_PLATFORM="offscreen")
proc = subprocess.Popen([agent], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def drain(seconds):
    end = time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0:
        r, _, _ = select.select([master], [], [], left)
        if r:
            os.read(master, 4096)


try:
    drain(4)  # the agent is up and reporting
    samples = []
    for _ in range(count):
        os.write(master, b"\xAA\xCC\xC2\xEE")
        start = time.monotonic()
        r, _, _ = select.select([done], [], [], 3)
        if not r:
            raise SystemExit("no power action within 3 s")
        samples.append((time.monotonic() - start) * 1000)
        os.read(done, 64)
        drain(0.2)
    samples.sort()
    pick = lambda q: samples[min(len(samples) - 1, int(q * len(samples)))]
    print(f"{count} reboot commands: last byte to power action, ms: "
          f"median {statistics.median(samples):.1f}, p90 {pick(0.9):.1f}, "
          f"p99 {pick(0.99):.1f}, max {samples[-1]:.1f}")
finally:
    proc.send_signal(signal.SIGTERM)
    proc.wait()
    os.close(master)
    os.close(slave)
    os.close(done)
    os.close(keep)
    shutil.rmtree(work, ignore_errors=True)
