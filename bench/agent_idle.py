#!/usr/bin/env python3
"""What the agent costs a node in steady state: CPU share and wake-ups per
second of all its threads (from /proc) over 100 s (by default), against a
bare Qt Core program on a 5 s timer (bench/bare_qt, beside the agent's
build), measured at the same time.

    python3 bench/agent_idle.py [build/default/app/vexil-agent] [seconds]

The agent runs on a pty linked as COM2 in a directory of its own, with power
actions going to /bin/true; its reports are read and counted on the other end.
"""
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import procstat  # noqa: E402

agent = sys.argv[1] if len(sys.argv) > 1 else "build/default/app/vexil-agent"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 100.0

work = tempfile.mkdtemp(prefix="vexil-bench-")
master, slave = pty.openpty()
procs = []
try:
    os.symlink(os.ttyname(slave), os.path.join(work, "COM2"))
    env = dict(os.environ, VEXIL_PORT_DIR=work, VEXIL_POWER_COMMAND="/bin/true",
               QT_QPA_PLATFORM="offscreen")
    proc = subprocess.Popen([agent], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    procs.append(proc)
    bare_qt = os.path.join(os.path.dirname(os.path.abspath(agent)), "..", "bench", "bare_qt")
    bare = subprocess.Popen([bare_qt], env=env)
    procs.append(bare)

    def drain(until):
        got = 0
        while time.time() < until:
            r, _, _ = select.select([master], [], [], max(0.0, until - time.time()))
            if r:
                got += len(os.read(master, 4096))
        return got

    drain(time.time() + 15)  # past start-up and the first reports: steady state
    a, b = procstat.Window(proc.pid), procstat.Window(bare.pid)
    a.start()
    b.start()
    got = drain(time.time() + seconds)
    a.stop(seconds)
    b.stop(seconds)
    print(f"{seconds:.0f} s steady: {got} bytes of reports received")
    # Wake-ups count every switch; "from sleep" leaves out the times the
    # scheduler took a core from a running thread, which the machine's load
    # decides.
    for name, w in (("agent:", a), ("bare Qt Core:", b)):
        print(f"{name:19} {w.wakeups:5.2f} wake-ups/s ({w.voluntary:.2f} from sleep)  "
              f"{w.cpu_percent:.4f} % of a core")
    if b.cpu_percent > 0:
        print(f"agent / bare Qt Core CPU: {a.cpu_percent / b.cpu_percent:.2f}x")
    print("agent by thread: wake-ups (from sleep), CPU")
    for name, n in sorted(a.per_thread.items(), key=lambda kv: -kv[1]):
        if n:
            cpu = a.cpu_per_thread.get(name, 0)
            vol = a.voluntary_per_thread.get(name, 0)
            print(f"  {name:16} {n / seconds:6.2f}/s ({vol / seconds:.2f})  {100 * cpu / seconds:.4f} %")
finally:
    for p in procs:
        p.send_signal(signal.SIGTERM)
        p.wait()
    os.close(master)
    os.close(slave)
    shutil.rmtree(work, ignore_errors=True)
