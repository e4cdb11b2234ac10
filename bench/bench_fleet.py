#!/usr/bin/env python3
"""The controller on a fleet of idle lines, beside ser2net as the peer that
serves the same lines.

    python3 bench/bench_fleet.py [build/default/ctl/vexil-ctl] [lines] [seconds]

Two runs of `vexil-ctl exporter`, each on N idle lines (1000 by default):
  local   N ptys opened as local serial lines;
  ser2net the same kind of N ptys served by a local ser2net (telnet RFC 2217
          accepters on 127.0.0.1), watched as rfc2217:// lines; ser2net is
          measured over the same window.
For each process: CPU % of one core, wake-ups per second (context switches of
all its threads), threads, peak RSS and open descriptors; for the exporter
also the time one scrape of /metrics takes (median of 11) and the per-line
cost beside ser2net's. Nothing here opens a real serial port, and nothing is
sent on the lines.
"""
import os
import pty
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import procstat  # noqa: E402

args = sys.argv[1:]
ctl = os.path.abspath(args[0] if args else "build/default/ctl/vexil-ctl")
count = int(args[1]) if len(args) > 1 else 1000
seconds = float(args[2]) if len(args) > 2 else 30.0

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def figures(pid):
    threads = len(os.listdir(f"/proc/{pid}/task"))
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return threads, fds, procstat.peak_rss_mib(pid)


def wait_for(predicate, timeout):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.2)
    return False


def metrics_url(err_path):
    text = open(err_path).read()
    at = text.find("on http://")
    if at < 0:
        return None
    return text[at + 3:].split()[0]


def open_lines(url):
    body = urllib.request.urlopen(url, timeout=10).read().decode()
    return sum(1 for l in body.splitlines() if l.startswith("vexil_line_open{") and l.endswith(" 1"))


def scrape_ms(url):
    """Median milliseconds of 11 scrapes, and the size of the last."""
    times = []
    for _ in range(11):
        t = time.perf_counter()
        size = len(urllib.request.urlopen(url, timeout=10).read())
        times.append((time.perf_counter() - t) * 1000)
    return statistics.median(times), size


INVENTORY = bytes([0xAA, 0xA2, 2, 1, 1]) + bytes(192) + bytes([0xFF, 0xFF, 0xEE])
LOAD = bytes([0xAA, 0xA1, 40] + [7] * 2 + [0xFF] * 14 + [0xEE])


def run(name, work, lines, peer=None, feed=None):
    err = os.path.join(work, f"{name}.err")
    env = dict(os.environ, VEXIL_PORT_DIR=work,
               VEXIL_CONTROL_SOCKET=os.path.join(work, f"{name}.sock"))
    proc = subprocess.Popen([ctl, "exporter", "--listen", "127.0.0.1:0"] + lines, env=env,
                            stdout=subprocess.DEVNULL, stderr=open(err, "w"))
    try:
        if not wait_for(lambda: metrics_url(err), 30):
            sys.exit(f"{name}: the exporter did not start: {open(err).read()[-2000:]}")
        url = metrics_url(err)
        if not wait_for(lambda: open_lines(url) == len(lines), 120):
            sys.exit(f"{name}: only {open_lines(url)} of {len(lines)} lines opened")
        time.sleep(2)  # settle
        windows = [procstat.Window(proc.pid)] + ([procstat.Window(peer.pid)] if peer else [])
        for w in windows:
            w.start()
        start = time.time()
        time.sleep(seconds)
        for w in windows:
            w.stop(time.time() - start)
        ms = scrape_ms(url)
        full_ms = None
        if feed:
            # Every node reports once: the scrape carries all of their figures.
            for m in feed:
                os.write(m, INVENTORY + LOAD)
            time.sleep(2)
            full_ms = scrape_ms(url)
        result = {"exporter": (windows[0], figures(proc.pid))}
        if peer:
            result["ser2net"] = (windows[1], figures(peer.pid))
        return result, ms, full_ms
    finally:
        proc.send_signal(signal.SIGTERM)  # our own child, by its PID
        proc.wait()


def show(run_name, result, ms, n, full_ms=None):
    for who, (w, (threads, fds, rss)) in result.items():
        print(f"{run_name:8} {who:9} {w.cpu_percent:7.3f} % of a core  {w.wakeups:8.2f} wake-ups/s"
              f"  {threads:3} threads  {rss:7.1f} MiB peak RSS  {fds:5} descriptors"
              f"  per line: {w.cpu_percent / n * 1000:.4f} m% CPU, "
              f"{rss * 1024 / n:.1f} KiB")
    print(f"{run_name:8} one scrape of {n} lines: {ms[0]:.1f} ms (median of 11), {ms[1]} bytes")
    if full_ms is not None:
        print(f"{run_name:8} one scrape of {n} lines, every node reported: {full_ms[0]:.1f} ms "
              f"(median of 11), {full_ms[1]} bytes")


work = tempfile.mkdtemp(prefix="vexil-fleet-")
masters = []
ser2net = None
try:
    ports = []
    for n in range(count * 2):
        m, s = pty.openpty()
        masters.append(m)
        ports.append(os.ttyname(s))
        os.close(s)  # the master keeps the pty; the exporter or ser2net opens it by name
    local = ports[:count]
    served = ports[count:]

    result, ms, full_ms = run("local", work, local, feed=masters[:count])
    show("local", result, ms, count, full_ms)

    # ser2net on the other half, every port a telnet RFC 2217 accepter.
    base = 20000
    with open(os.path.join(work, "ser2net.yaml"), "w") as y:
        for i, dev in enumerate(served):
            y.write(f"connection: &c{i}\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{base + i}\n"
                    f"  connector: serialdev,{dev},9600n81,local\n")
    ser2net = subprocess.Popen(["/usr/sbin/ser2net", "-n", "-c", os.path.join(work, "ser2net.yaml")],
                               stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "s.err"), "w"))
    time.sleep(2)
    result, ms, _ = run("ser2net", work, [f"rfc2217://127.0.0.1:{base + i}" for i in range(count)],
                     peer=ser2net)
    show("ser2net", result, ms, count)
finally:
    if ser2net:
        ser2net.send_signal(signal.SIGTERM)  # our own child, by its PID
        ser2net.wait()
    for m in masters:
        os.close(m)
    shutil.rmtree(work, ignore_errors=True)
