#!/usr/bin/env python3
"""The exporter with thousands of local tty lines, and commands from the
first second: does it stay up, how soon are the lines open, how soon is a
command answered while they open.

    python3 bench/ctl_scale.py [build/default/ctl/vexil-ctl] [lines] [sends]

Makes N ptys (2,000 by default; the kernel allows /proc/sys/kernel/pty/max),
names them n0 .. nN-1 in a lines file, starts `vexil-ctl exporter` with a
control socket of the bench's own, and from the start sends `usb` to n0
every 0.5 s (through the exporter, as an operator's script would) until every
line has been said open; then `sends` (20 by default) more to lines across
the range, each checked at its pty. It prints the time until every line was
open, the median and worst answer time of the sends during the start, RSS and
descriptors, and whether the exporter lived. Nothing here opens a real
serial port; the commands reach only the bench's ptys.
"""
import os
import pty
import resource
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import procstat  # noqa: E402

args = sys.argv[1:]
ctl = os.path.abspath(args[0] if args else "build/default/ctl/vexil-ctl")
count = int(args[1]) if len(args) > 1 else 2000
sends = int(args[2]) if len(args) > 2 else 20

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

work = tempfile.mkdtemp(prefix="vexil-scale-")
masters = []
env = dict(os.environ, VEXIL_CONTROL_SOCKET=os.path.join(work, "control.sock"),
           VEXIL_PORT_DIR=work, VEXIL_POWER_COMMAND="/bin/true")
exporter = None
try:
    with open(os.path.join(work, "lines"), "w") as f:
        for n in range(count):
            m, s = pty.openpty()
            masters.append(m)
            f.write(f"n{n} {os.ttyname(s)}\n")
            os.close(s)
    err = open(os.path.join(work, "exporter.err"), "w+")
    start = time.monotonic()
    exporter = subprocess.Popen([ctl, "exporter", "--listen", "127.0.0.1:0", "--lines",
                                 os.path.join(work, "lines")], env=env,
                                stdout=subprocess.DEVNULL, stderr=err)

    def said_open():
        with open(err.name, errors="replace") as f:
            return sum(1 for line in f if ": line open (" in line)

    def send(line):
        t = time.monotonic()
        r = subprocess.run([ctl, "send", "--timeout", "5", line, "usb"], env=env,
                           capture_output=True, timeout=30)
        return r.returncode, time.monotonic() - t, r.stderr.decode(errors="replace").strip()

    # From the moment the exporter has its control socket.
    while not os.path.exists(env["VEXIL_CONTROL_SOCKET"]) and time.monotonic() - start < 60:
        time.sleep(0.01)
    socket_at = time.monotonic() - start
    during, failures, all_open = [], [], None
    while exporter.poll() is None and time.monotonic() - start < 300:
        rc, took, why = send("n0")
        os.read(masters[0], 64) if rc == 0 else None
        during.append(took)
        if rc != 0:
            failures.append(why)
        if said_open() >= count:
            all_open = time.monotonic() - start
            break
        time.sleep(0.5)
    alive = exporter.poll() is None
    rss = procstat.peak_rss_mib(exporter.pid) if alive else 0
    fds = len(os.listdir(f"/proc/{exporter.pid}/fd")) if alive else 0
    after_ok = 0
    for i in range(sends if alive else 0):
        k = (i * 7919) % count
        rc, took, why = send(f"n{k}")
        if rc == 0 and os.read(masters[k], 64) == b"\xaa\xcc\xb1\xee":
            after_ok += 1
        elif rc != 0:
            failures.append(why)
    alive = exporter.poll() is None
    print(f"{count} pty lines: control socket after {socket_at:.2f} s, all open after "
          f"{'%.1f s' % all_open if all_open else 'never (%d said open)' % said_open()}")
    if during:
        print(f"sends during the start: {len(during)}, answered in median "
              f"{statistics.median(during) * 1000:.0f} ms, worst {max(during) * 1000:.0f} ms")
    print(f"sends after: {after_ok} of {sends} arrived; RSS {rss:.1f} MiB, {fds} descriptors")
    print("exporter: " + ("alive" if alive else f"ended with status {exporter.returncode}") +
          f"; {len(failures)} sends failed")
    for why in failures[:5]:
        print("  failed: " + why)
    sys.exit(0 if alive and all_open else 1)
finally:
    if exporter and exporter.poll() is None:
        exporter.terminate()
        exporter.wait()
    for m in masters:
        os.close(m)
