#!/usr/bin/python3
"""The exporter's Redfish service at fleet size, over TLS with basic auth:

- a Systems listing at N lines (10,000 by default), against a /metrics scrape
  of the same exporter in the same run as the baseline;
- a Reset (ForceRestart) from the request to the 4 bytes readable at the
  line's far end, against the same command through the control socket (what
  vexil-ctl send does) as the baseline.

    python3 bench/redfish.py [build/default/ctl/vexil-ctl] [lines] [samples]

The first 20 lines are ptys whose far ends the bench reads; the rest name
devices that do not exist (ptys are limited to a few thousand), so the
listing lists them as it would open ones. Prints medians with the range
(min to max) and the ratios. Nothing here reaches a real serial port or a
node: the commands reach only the bench's ptys, and no agent runs.
"""
import base64
import crypt
import http.client
import json
import os
import pty
import resource
import select
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

args = sys.argv[1:]
ctl = os.path.abspath(args[0] if args else "build/default/ctl/vexil-ctl")
count = int(args[1]) if len(args) > 1 else 10000
samples = int(args[2]) if len(args) > 2 else 20
PTYS = 20

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
work = tempfile.mkdtemp(prefix="vexil-redfish-")
subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                "ec_paramgen_curve:P-256", "-nodes", "-keyout", "server.key", "-out",
                "server.crt", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                "subjectAltName=IP:127.0.0.1"], cwd=work, check=True, capture_output=True)
hash_ = crypt.crypt("bench", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=64))
with open(os.path.join(work, "web.yml"), "w") as f:
    f.write("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
            f"basic_auth_users:\n  ops: '{hash_}'\nredfish_operators: [ops]\n")
masters = []
with open(os.path.join(work, "lines"), "w") as f:
    for n in range(count):
        if n < PTYS:
            m, s = pty.openpty()
            masters.append(m)
            f.write(f"n{n} {os.ttyname(s)}\n")
            os.close(s)
        else:
            f.write(f"n{n} {work}/missing/tty{n}\n")
control = os.path.join(work, "control.sock")
env = dict(os.environ, VEXIL_CONTROL_SOCKET=control, VEXIL_PORT_DIR=work,
           VEXIL_POWER_COMMAND="/bin/true")
s = socket.socket()
s.bind(("127.0.0.1", 0))
port = s.getsockname()[1]
s.close()
err = open(os.path.join(work, "exporter.err"), "w+")
exporter = subprocess.Popen([ctl, "exporter", "--listen", f"127.0.0.1:{port}", "--redfish",
                             "--web.config.file", os.path.join(work, "web.yml"), "--lines",
                             os.path.join(work, "lines")], env=env, stdout=subprocess.DEVNULL,
                            stderr=err)
context = ssl.create_default_context(cafile=os.path.join(work, "server.crt"))
auth = {"Authorization": "Basic " + base64.b64encode(b"ops:bench").decode()}


def request(conn, method, path, body=None):
    headers = dict(auth, **({"Content-Type": "application/json"} if body else {}))
    conn.request(method, path, body=body, headers=headers)
    r = conn.getresponse()
    return r.status, r.read()


def timed(fn, n):
    out = []
    for _ in range(n):
        t = time.monotonic()
        fn()
        out.append((time.monotonic() - t) * 1000)
    return out


def show(name, ms):
    return (f"{name}: median {statistics.median(ms):.2f} ms "
            f"(min {min(ms):.2f}, max {max(ms):.2f}, n={len(ms)})")


def bytes_at(k, start):
    r, _, _ = select.select([masters[k]], [], [], 5)
    if not r:
        raise SystemExit(f"n{k}: nothing arrived within 5 s")
    got = os.read(masters[k], 64)
    assert got == b"\xaa\xcc\xc2\xee", got
    return (time.monotonic() - start) * 1000


try:
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with open(err.name, errors="replace") as f:
            if sum(": line open (" in line for line in f) >= PTYS:
                break
        time.sleep(0.2)
    else:
        raise SystemExit("the pty lines did not open:\n" + open(err.name).read()[-2000:])
    conn = http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=60)
    status, body = request(conn, "GET", "/redfish/v1/Systems")
    members = json.loads(body)["Members@odata.count"]
    assert status == 200 and members == count, (status, members)
    listing = timed(lambda: request(conn, "GET", "/redfish/v1/Systems"), samples)
    metrics = timed(lambda: request(conn, "GET", "/metrics"), samples)
    size = len(body)

    def reset(k):
        start = time.monotonic()
        status, _ = request(conn, "POST", f"/redfish/v1/Systems/n{k}/Actions/ComputerSystem.Reset",
                            json.dumps({"ResetType": "ForceRestart"}))
        assert status == 204, status
        return bytes_at(k, start)

    def through_socket(k):
        start = time.monotonic()
        c = socket.socket(socket.AF_UNIX)
        c.connect(control)
        c.sendall(f"send n{k} reboot 3000 0\n".encode())
        arrived = bytes_at(k, start)
        assert c.recv(64).startswith(b"ok"), "the control socket said no"
        c.close()
        return arrived

    resets, sends = [], []
    for i in range(samples):  # turn about, each on a line of its own
        resets.append(reset(i % PTYS))
        sends.append(through_socket((i + PTYS // 2) % PTYS))
        time.sleep(0.12)  # the line's command spacing
    rss = 0
    with open(f"/proc/{exporter.pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                rss = int(line.split()[1]) / 1024
    print(f"{count} lines ({PTYS} ptys), TLS, basic auth")
    print(show(f"Systems listing ({size / 1e6:.2f} MB)", listing))
    print(show("/metrics scrape (baseline)", metrics))
    print(f"  ratio listing/scrape: {statistics.median(listing) / statistics.median(metrics):.2f}")
    print(show("Reset, request to bytes on the line", resets))
    print(show("control socket send, request to bytes (baseline)", sends))
    print(f"  ratio Reset/send: {statistics.median(resets) / statistics.median(sends):.2f}")
    print(f"exporter peak RSS {rss:.1f} MiB; alive: {exporter.poll() is None}")
finally:
    exporter.terminate()
    exporter.wait()
    for m in masters:
        os.close(m)
