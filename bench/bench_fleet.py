#!/usr/bin/env python3
"""The controller on a fleet of idle lines, beside ser2net as the peer that
serves the same lines.

    python3 bench/bench_fleet.py [build/default/ctl/vexil-ctl] [lines] [seconds] [rounds]

Three processes run for the whole bench, each with N idle lines (1000 by
default):
  local    `vexil-ctl exporter` on N ptys opened as local serial lines;
  rfc2217  `vexil-ctl exporter` on N rfc2217:// lines, served by
  ser2net  a local ser2net (telnet RFC 2217 accepters on 127.0.0.1) in front
           of N more ptys.
The bench measures them in rounds (3 by default) of one window each (30 s by
default); in each window all three are measured at once, so the exporter and
its peer see the same machine. For each process it prints the median over the
rounds of: CPU % of one core (the scheduler's nanoseconds, not clock ticks),
wake-ups per second (context switches of all its threads), and per line; then
threads, peak RSS and descriptors, the exporter-to-ser2net ratios per line,
and the time one scrape of /metrics takes (median of 11), also once every
node has reported. Nothing here opens a real serial port, and nothing is
sent on the lines but the reports fed to the local ptys at the end.
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
rounds = int(args[3]) if len(args) > 3 else 3

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


def start_exporter(name, work, lines):
    err = os.path.join(work, f"{name}.err")
    env = dict(os.environ, VEXIL_PORT_DIR=work,
               VEXIL_CONTROL_SOCKET=os.path.join(work, f"{name}.sock"))
    proc = subprocess.Popen([ctl, "exporter", "--listen", "127.0.0.1:0"] + lines, env=env,
                            stdout=subprocess.DEVNULL, stderr=open(err, "w"))
    procs.append(proc)
    if not wait_for(lambda: metrics_url(err), 30):
        sys.exit(f"{name}: the exporter did not start: {open(err).read()[-2000:]}")
    url = metrics_url(err)
    if not wait_for(lambda: open_lines(url) == len(lines), 120):
        sys.exit(f"{name}: only {open_lines(url)} of {len(lines)} lines opened")
    return proc, url


work = tempfile.mkdtemp(prefix="vexil-fleet-")
masters = []
procs = []
try:
    ports = []
    for n in range(count * 2):
        m, s = pty.openpty()
        masters.append(m)
        ports.append(os.ttyname(s))
        os.close(s)  # the master keeps the pty; the exporter or ser2net opens it by name
    local, served = ports[:count], ports[count:]

    # ser2net on the second half, every port a telnet RFC 2217 accepter.
    base = 20000
    with open(os.path.join(work, "ser2net.yaml"), "w") as y:
        for i, dev in enumerate(served):
            y.write(f"connection: &c{i}\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{base + i}\n"
                    f"  connector: serialdev,{dev},9600n81,local\n")
    ser2net = subprocess.Popen(["/usr/sbin/ser2net", "-n", "-c", os.path.join(work, "ser2net.yaml")],
                               stdout=subprocess.DEVNULL,
                               stderr=open(os.path.join(work, "s.err"), "w"))
    procs.append(ser2net)
    exporters = {"local": start_exporter("local", work, local)}
    exporters["rfc2217"] = start_exporter(
        "rfc2217", work, [f"rfc2217://127.0.0.1:{base + i}" for i in range(count)])
    who = {"local": exporters["local"][0].pid, "rfc2217": exporters["rfc2217"][0].pid,
           "ser2net": ser2net.pid}
    time.sleep(2)  # settle

    cpu, wakeups = {k: [] for k in who}, {k: [] for k in who}
    for r in range(rounds):
        windows = {k: procstat.Window(pid) for k, pid in who.items()}
        for w in windows.values():
            w.start()
        t = time.time()
        time.sleep(seconds)
        for k, w in windows.items():
            w.stop(time.time() - t)
            cpu[k].append(w.cpu_percent)
            wakeups[k].append(w.wakeups)
        print(f"round {r + 1}: " + ", ".join(
            f"{k} {cpu[k][-1]:.4f} % {wakeups[k][-1]:.2f}/s" for k in who), flush=True)

    med = {k: (statistics.median(cpu[k]), statistics.median(wakeups[k])) for k in who}
    for k, pid in who.items():
        threads, fds, rss = figures(pid)
        c, w = med[k]
        print(f"{k:8} {c:8.4f} % of a core  {w:8.2f} wake-ups/s  {threads:3} threads"
              f"  {rss:7.1f} MiB peak RSS  {fds:5} descriptors  per line: "
              f"{c / count * 1e3:.5f} m% CPU, {w / count:.5f} wake-ups/s, "
              f"{rss * 1024 / count:.1f} KiB")

    def ratio(a, b):
        return f"{a / b:.3f}x" if b > 0 else ("0 (both idle)" if a == 0 else "inf")

    for k in ("local", "rfc2217"):
        print(f"{k} exporter / ser2net, per line (medians of {rounds} rounds): CPU "
              f"{ratio(med[k][0], med['ser2net'][0])}, wake-ups {ratio(med[k][1], med['ser2net'][1])}")

    for k, (_, url) in exporters.items():
        ms, size = scrape_ms(url)
        print(f"{k:8} one scrape of {count} lines: {ms:.1f} ms (median of 11), {size} bytes")
    # Every local node reports once: the scrape carries all of their figures.
    for m in masters[:count]:
        os.write(m, INVENTORY + LOAD)
    time.sleep(2)
    ms, size = scrape_ms(exporters["local"][1])
    print(f"local    one scrape of {count} lines, every node reported: {ms:.1f} ms "
          f"(median of 11), {size} bytes")
finally:
    for p in reversed(procs):
        p.send_signal(signal.SIGTERM)  # our own children, by their PIDs
        p.wait()
    for m in masters:
        os.close(m)
    shutil.rmtree(work, ignore_errors=True)
