#!/usr/bin/env python3
"""The serial engine against its peers on the same relay, side by side in one
run: the port engine (two ports), pyserial, a raw C poll/read/write loop and
Qt SerialPort each send BYTES in 256-byte writes on one pty and read them from
another; a relay process copies the first pty's master to the second's.
Rounds are interleaved; medians are printed, with throughput, CPU time,
context switches (all from the contender's own getrusage over the transfer)
and system calls (perf's raw_syscalls count of a run of BYTES less that of a
run of none, so start-up is left out) per MiB, and ratios to pyserial.

    python3 bench/engine_relay.py [build dir] [MiB per run] [rounds] [other relay_peer]

An other relay_peer (built from an older revision) runs as one more
contender, "engine (other)", for before-and-after figures in one run.
"""
import json
import os
import pty
import statistics
import subprocess
import sys
import tempfile
import termios
import tty

build = sys.argv[1] if len(sys.argv) > 1 else "build/default"
mib = float(sys.argv[2]) if len(sys.argv) > 2 else 4
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
total = int(mib * (1 << 20))
peer = os.path.join(build, "bench", "relay_peer")
qt = os.path.join(build, "bench", "relay_qt")

PYSERIAL = r'''
import json, resource, sys, threading, time
import serial
tx = serial.Serial(sys.argv[1], 115200, timeout=2)
rx = serial.Serial(sys.argv[2], 115200, timeout=2)
total = int(sys.argv[3])
piece = b"v" * 256
def send():
    sent = 0
    while sent < total:
        sent += tx.write(piece[:min(256, total - sent)])
u0, t0 = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
writer = threading.Thread(target=send)
writer.start()
got = 0
while got < total:
    data = rx.read(rx.in_waiting or 1)
    if not data:
        sys.exit("pyserial: no bytes for 2 s")
    got += len(data)
writer.join()
u1, t1 = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
print(json.dumps({"bytes": total, "seconds": t1 - t0,
                  "cpu": u1.ru_utime + u1.ru_stime - u0.ru_utime - u0.ru_stime,
                  "csw": u1.ru_nvcsw + u1.ru_nivcsw - u0.ru_nvcsw - u0.ru_nivcsw}))
'''

# Debian's pyserial belongs to the system's Python, which need not be this one.
pyserial_python = next((p for p in (sys.executable, "/usr/bin/python3")
                        if subprocess.run([p, "-c", "import serial"],
                                          capture_output=True).returncode == 0), None)
if pyserial_python is None:
    raise SystemExit("pyserial is not installed (Debian: python3-serial)")

contenders = {
    "vexil engine": lambda a, b, n: [peer, "engine", a, b, str(n)],
    "pyserial": lambda a, b, n: [pyserial_python, "-c", PYSERIAL, a, b, str(n)],
    "raw C loop": lambda a, b, n: [peer, "raw", a, b, str(n)],
}
if len(sys.argv) > 4:
    other = sys.argv[4]
    contenders["engine (other)"] = lambda a, b, n: [other, "engine", a, b, str(n)]
if os.path.exists(qt):
    contenders["Qt SerialPort"] = lambda a, b, n: [qt, a, b, str(n)]
else:
    print(f"({qt} not built: install qt6-serialport-dev for the Qt SerialPort figures)")


def run(argv_of, n, perf=False):
    """One transfer over a fresh relay; the contender's JSON (and perf's
    system call count when asked)."""
    masters, slaves = [], []
    for _ in range(2):
        m, s = pty.openpty()
        tty.setraw(s)
        masters.append(m)
        slaves.append(s)
    names = [os.ttyname(s) for s in slaves]
    relay = subprocess.Popen([peer, "relay", str(masters[0]), str(masters[1])],
                             pass_fds=masters)
    try:
        argv = argv_of(names[0], names[1], n)
        out = None
        if perf:
            out = tempfile.NamedTemporaryFile(suffix=".perf", delete=False).name
            argv = ["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "-o", out, "--"] + argv
        result = subprocess.run(argv, capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            raise SystemExit(f"{argv[0]} failed: {result.stderr.strip()}")
        figures = json.loads(result.stdout.strip().splitlines()[-1])
        if perf:
            with open(out) as f:
                for line in f:
                    if "raw_syscalls" in line:
                        figures["syscalls"] = int(line.split(",")[0])
            os.unlink(out)
        return figures
    finally:
        relay.kill()
        relay.wait()
        for fd in masters + slaves:
            os.close(fd)


samples = {name: [] for name in contenders}
for r in range(rounds):
    for name, argv_of in contenders.items():
        samples[name].append(run(argv_of, total))
syscalls = {}
for name, argv_of in contenders.items():
    syscalls[name] = (run(argv_of, total, perf=True)["syscalls"] - run(argv_of, 0, perf=True)["syscalls"]) / mib

print(f"{rounds} interleaved rounds of {mib:g} MiB over a pty relay, 256-byte writes "
      "(medians, the rounds' lowest to highest in brackets)")
print(f"{'':16} {'MB/s':>18} {'CPU ms/MiB':>18} {'csw/MiB':>18} {'syscalls/MiB':>13} "
      f"{'x pyserial':>11}")
med, spread = {}, {}
for name, runs in samples.items():
    figures = {
        "mbs": [s["bytes"] / s["seconds"] / 1e6 for s in runs],
        "cpu": [s["cpu"] * 1000 / (s["bytes"] / (1 << 20)) for s in runs],
        "csw": [s["csw"] / (s["bytes"] / (1 << 20)) for s in runs],
    }
    med[name] = {k: statistics.median(v) for k, v in figures.items()}
    spread[name] = {k: (min(v), max(v)) for k, v in figures.items()}
for name, m in med.items():
    cells = " ".join(f"{m[k]:7.1f} [{spread[name][k][0]:.0f}-{spread[name][k][1]:.0f}]".rjust(18)
                     for k in ("mbs", "cpu", "csw"))
    print(f"{name:16} {cells} {syscalls[name]:13.0f} {m['mbs'] / med['pyserial']['mbs']:10.2f}x")
if "Qt SerialPort" in med:
    e, q = med["vexil engine"], med["Qt SerialPort"]
    print(f"engine / Qt SerialPort: throughput {e['mbs'] / q['mbs']:.2f}x, CPU per MiB "
          f"{e['cpu'] / q['cpu']:.2f}x, context switches per MiB {e['csw'] / q['csw']:.2f}x")
if "engine (other)" in med:
    e, o = med["vexil engine"], med["engine (other)"]
    print(f"engine / engine (other): throughput {e['mbs'] / o['mbs']:.2f}x, CPU per MiB "
          f"{e['cpu'] / o['cpu']:.2f}x, context switches per MiB {e['csw'] / o['csw']:.2f}x")
e, p = med["vexil engine"], med["pyserial"]
print(f"engine / pyserial: throughput {e['mbs'] / p['mbs']:.2f}x, CPU per MiB {e['cpu'] / p['cpu']:.2f}x, "
      f"context switches per MiB {e['csw'] / p['csw']:.2f}x")
