#!/usr/bin/env python3
"""The exporter with thousands of network lines to a console server that
holds every connection: are idle lines ever dropped, what does it cost when
nothing happens, and does it live through drops and reconnects.

    python3 bench/ctl_net_lines.py [build/default/ctl/vexil-ctl] [lines] [seconds] [mode]

A stand-in console server (a process of its own, one epoll loop) listens on
127.77.X.Y:PORT for each line, a loopback address per line, and keeps what it
accepts. Modes:
  idle       it never writes: only TCP keepalive keeps the lines alive;
  reports    each connection carries a 20-byte load report every 5 s;
  reconnect  as idle, and every second it cuts 20 connections at random,
             which the exporter takes up again.
The exporter (`vexil-ctl exporter`, socket:// lines) runs for the given
seconds (600 by default) after every line was said open. Printed: time until
all were open; for each minute, lines lost and back and the exporter's CPU %
of one core; over the run the median and spread of those, peak RSS,
descriptors, the median /metrics scrape, and whether the exporter lived.
Nothing here opens a serial port or sends a command.
"""
import os
import random
import re
import resource
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import procstat  # noqa: E402

LOAD = bytes([0xAA, 0xA1, 0x28, 0x07, 0x09]) + b"\xff" * 14 + b"\xee"


def address(i):
    return f"127.77.{i // 200}.{i % 200 + 1}"


def backlog_drops():
    """Packets the kernel dropped because a CPU's input backlog was full
    (loopback traffic goes through it; net.core.netdev_max_backlog)."""
    with open("/proc/net/softnet_stat") as f:
        return sum(int(line.split()[1], 16) for line in f)


def serve(port, count, mode):
    """The stand-in: listens, keeps, and in its mode writes or cuts. An
    address listens only while it has no connection (one descriptor a line:
    listeners and connections of 10,000 lines would pass the limit)."""
    sel = selectors.DefaultSelector()

    def listen(i):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address(i), port))
        s.listen(8)
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ, ("listen", i))

    def drop(c, i):
        sel.unregister(c)
        c.close()
        del conns[c]
        listen(i)

    for i in range(count):
        listen(i)
    print("ready", flush=True)
    conns = {}
    next_tick = time.monotonic() + 1
    tick = 0
    while True:
        for key, _ in sel.select(max(0.0, next_tick - time.monotonic())):
            kind, i = key.data
            if kind == "listen":
                try:
                    c, _ = key.fileobj.accept()
                except BlockingIOError:
                    continue
                sel.unregister(key.fileobj)
                key.fileobj.close()
                c.setblocking(False)
                sel.register(c, selectors.EVENT_READ, ("conn", i))
                conns[c] = i
            else:
                try:
                    data = key.fileobj.recv(4096)
                except (ConnectionError, BlockingIOError):
                    data = b""
                if not data:
                    drop(key.fileobj, i)
        if time.monotonic() < next_tick:
            continue
        next_tick += 1
        tick += 1
        if mode == "reports":
            for c in list(conns)[tick % 5::5]:
                try:
                    c.send(LOAD)
                except OSError:
                    pass
        elif mode == "reconnect" and tick > 5:
            for c in random.sample(list(conns), min(20, len(conns))):
                drop(c, conns[c])


def main():
    args = sys.argv[1:]
    if args and args[0] == "--serve":
        serve(int(args[1]), int(args[2]), args[3])
        return
    ctl = os.path.abspath(args[0] if args else "build/default/ctl/vexil-ctl")
    count = int(args[1]) if len(args) > 1 else 10000
    seconds = int(args[2]) if len(args) > 2 else 600
    mode = args[3] if len(args) > 3 else "idle"
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard < count + 200:  # each of the two processes holds one a line
        sys.exit(f"the descriptor limit {hard} is too low for {count} lines")

    probe = socket.socket()
    probe.bind((address(0), 0))
    port = probe.getsockname()[1]
    probe.close()
    work = tempfile.mkdtemp(prefix="vexil-netlines-")
    with open(os.path.join(work, "lines"), "w") as f:
        for i in range(count):
            f.write(f"n{i} socket://{address(i)}:{port}\n")
    server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", str(port),
                               str(count), mode], stdout=subprocess.PIPE)
    exporter = None
    try:
        if server.stdout.readline().strip() != b"ready":
            sys.exit("the stand-in did not start")
        env = dict(os.environ, VEXIL_CONTROL_SOCKET=os.path.join(work, "control.sock"),
                   VEXIL_PORT_DIR=work, VEXIL_POWER_COMMAND="/bin/true")
        err_path = os.path.join(work, "exporter.err")
        drops = backlog_drops()
        start = time.monotonic()
        exporter = subprocess.Popen([ctl, "exporter", "--listen", "127.0.0.1:0", "--lines",
                                     os.path.join(work, "lines")], env=env,
                                    stdout=subprocess.DEVNULL, stderr=open(err_path, "w"))

        def said():
            with open(err_path, errors="replace") as f:
                text = f.read()
            return {k: text.count(f": line {k} (") for k in ("open", "lost", "back")}, text

        url = None
        all_open = None
        while exporter.poll() is None and time.monotonic() - start < 120:
            counts, text = said()
            if url is None and (m := re.search(r"on (http://\S+)/metrics", text)):
                url = m.group(1) + "/metrics"
            if counts["open"] >= count:
                all_open = time.monotonic() - start
                break
            time.sleep(0.2)
        if not all_open:
            sys.exit(f"not every line opened within 120 s: {said()[0]}")

        minutes = []
        scrapes = []
        before, _ = said()
        cpu = procstat.cpu_seconds(exporter.pid)
        t = time.monotonic()
        end = t + seconds
        while exporter.poll() is None and time.monotonic() < end:
            window_end = min(end, t + 60)
            while time.monotonic() < window_end and exporter.poll() is None:
                s = time.monotonic()
                try:
                    urllib.request.urlopen(url, timeout=10).read()
                    scrapes.append(time.monotonic() - s)
                except OSError:
                    scrapes.append(float("inf"))
                time.sleep(max(0.0, min(10.0, window_end - time.monotonic())))
            if exporter.poll() is not None:
                break
            now, _ = said()
            cpu2, t2 = procstat.cpu_seconds(exporter.pid), time.monotonic()
            minutes.append((now["lost"] - before["lost"], now["back"] - before["back"],
                            100 * (cpu2 - cpu) / (t2 - t)))
            print(f"minute {len(minutes)}: {minutes[-1][0]} lost, {minutes[-1][1]} back, "
                  f"CPU {minutes[-1][2]:.2f} %", flush=True)
            before, cpu, t = now, cpu2, t2
        alive = exporter.poll() is None
        rss = procstat.peak_rss_mib(exporter.pid) if alive else 0
        fds = len(os.listdir(f"/proc/{exporter.pid}/fd")) if alive else 0
        print(f"{count} {mode} network lines: all open after {all_open:.1f} s")
        if minutes:
            cpus = sorted(m[2] for m in minutes)
            print(f"over {len(minutes)} min: {sum(m[0] for m in minutes)} lost, "
                  f"{sum(m[1] for m in minutes)} back; CPU median {statistics.median(cpus):.2f} % "
                  f"(min {cpus[0]:.2f}, max {cpus[-1]:.2f})")
        if scrapes:
            print(f"scrape: median {statistics.median(scrapes) * 1000:.0f} ms, "
                  f"worst {max(scrapes) * 1000:.0f} ms")
        print(f"packets dropped at a full input backlog: {backlog_drops() - drops}")
        print(f"peak RSS {rss:.1f} MiB, {fds} descriptors; exporter "
              + ("alive" if alive else f"ended with status {exporter.returncode}"))
        sys.exit(0 if alive else 1)
    finally:
        if exporter and exporter.poll() is None:
            exporter.terminate()
            exporter.wait()
        server.kill()
        server.wait()


if __name__ == "__main__":
    main()
