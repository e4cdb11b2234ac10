#!/usr/bin/env python3
"""The packages on a real systemd: each case boots a fresh Debian 12
container (systemd-nspawn, a volatile overlay over a cached root), installs
the .debs, binds a host pty at /dev/vexil/COM2 and watches from the host.
A power action ends only the container (its own PID namespace): the host
stays up, so nothing here sets VEXIL_POWER_COMMAND for the service.

    tests/system/run.py DEB... [CASE...]

Needs root, debootstrap, systemd-nspawn (systemd-container) and nsenter.
The container root is made once and kept in /var/cache/vexil-test.
"""
import fcntl
import hashlib
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import time
import traceback
import tty

CACHE = os.environ.get("VEXIL_TEST_CACHE", "/var/cache/vexil-test")
SUITE = "bookworm"
MIRROR = "http://deb.debian.org/debian"
BASE_PACKAGES = ["systemd", "systemd-sysv", "dbus"]
INVENTORY, LOAD = 200, 20


def fail(message):
    print(f"system tests: {message}", file=sys.stderr)
    sys.exit(1)


def need_tools():
    if os.geteuid() != 0:
        fail("run as root: booting a container and binding a device need it")
    for tool, package in (("debootstrap", "debootstrap"), ("systemd-nspawn", "systemd-container"),
                          ("nsenter", "util-linux")):
        if not shutil.which(tool) and not os.path.exists(f"/usr/sbin/{tool}"):
            fail(f"{tool} is missing: apt-get install {package} (./dev.sh test system does)")


def deb_field(deb, field):
    return subprocess.run(["dpkg-deb", "-f", deb, field], capture_output=True, text=True,
                          check=True).stdout.strip()


def deb_depends(debs):
    """Package names the .debs depend on (but one another), for the container root."""
    ours = {deb_field(d, "Package") for d in debs}
    names = set()
    for d in debs:
        for dep in deb_field(d, "Depends").split(","):
            name = re.split(r"[ (|]", dep.strip())[0]
            if name and name not in ours:
                names.add(name)
    return sorted(names)


def container_root(debs):
    """A root with systemd and the packages' dependencies, made once and cached."""
    packages = sorted(set(BASE_PACKAGES + deb_depends(debs)))
    key = hashlib.sha256(" ".join([SUITE] + packages).encode()).hexdigest()[:12]
    root = os.path.join(CACHE, f"{SUITE}-{key}")
    if os.path.isdir(os.path.join(root, "usr/lib/systemd")):
        return root
    os.makedirs(CACHE, exist_ok=True)
    building = root + ".building"
    shutil.rmtree(building, ignore_errors=True)
    print(f"system tests: making the container root {root} ({', '.join(packages)})", flush=True)
    log = os.path.join(CACHE, "debootstrap.log")
    with open(log, "w") as out:
        rc = subprocess.run(["debootstrap", "--variant=minbase",
                             "--include=" + ",".join(packages), SUITE, building, MIRROR],
                            stdout=out, stderr=subprocess.STDOUT).returncode
    if rc != 0:
        fail(f"debootstrap failed (status {rc}); see {log}")
    os.rename(building, root)
    return root


class Container:
    """A booted container with a host pty bound at /dev/vexil/COM2 (or
    line_at)."""

    def __init__(self, root, debs, name, extra_bind=None, line_at="/dev/vexil/COM2"):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        tty.setraw(self.master)
        self.slave_path = os.ttyname(slave)
        os.close(slave)
        # Owned as a real serial device is: root, group dialout (20 on Debian).
        os.chown(self.slave_path, 0, 20)
        os.chmod(self.slave_path, 0o660)
        self.log_path = os.path.join(CACHE, f"{name}.log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(
            ["systemd-nspawn", "-D", root, "--volatile=overlay", "--register=no", "--keep-unit",
             "--private-network", "--console=pipe", "-b",
             f"--bind={self.slave_path}:{line_at}",
             f"--bind-ro={os.path.dirname(os.path.abspath(debs[0]))}:/mnt/vexil"]
            + ([f"--bind-ro={extra_bind[0]}:{extra_bind[1]}"] if extra_bind else []),
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        self.debs = [f"/mnt/vexil/{os.path.basename(d)}" for d in debs]
        self.buf = b""
        self.leader = self._find_leader()
        self._wait_running()

    def _find_leader(self):
        end = time.time() + 20
        while time.time() < end:
            if self.proc.poll() is not None:
                raise AssertionError(f"the container did not boot; see {self.log_path}")
            for tid in os.listdir(f"/proc/{self.proc.pid}/task"):
                with open(f"/proc/{self.proc.pid}/task/{tid}/children") as f:
                    children = f.read().split()
                if children:
                    return int(children[0])
            time.sleep(0.1)
        raise AssertionError("the container's init did not start")

    def _wait_running(self):
        end = time.time() + 60
        while time.time() < end:
            state = self.run("systemctl", "is-system-running", check=False).stdout.strip()
            if state in ("running", "degraded"):
                return
            time.sleep(0.2)
        raise AssertionError(f"the container's systemd did not come up ({state})")

    def run(self, *args, check=True, timeout=30):
        result = subprocess.run(["nsenter", "-t", str(self.leader), "-a", *args],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(args)}: status {result.returncode}: "
                                 f"{result.stderr.strip()}")
        return result

    def install(self):
        self.run("dpkg", "-i", *self.debs, timeout=120)

    def install_and_start(self):
        self.install()  # the agent starts here, as a Debian service does
        started = time.time()
        self.run("systemctl", "start", "vexil-agent")  # Type=notify: returns once ready
        return started

    def show(self, prop, unit="vexil-agent"):
        return self.run("systemctl", "show", "-p", prop, "--value", unit).stdout.strip()

    def release_line(self):
        """What the kernel does for a real port when its last user dies: the
        exclusive flag goes. A pty's slave outlives its user while the host
        holds the master, so a killed agent leaves it set; the host (root)
        clears it, as a re-plug would."""
        fd = os.open(self.slave_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.ioctl(fd, termios.TIOCNXCL)
        finally:
            os.close(fd)

    def wait_restarted(self, old_pid, timeout):
        """True once systemd runs the agent again under another PID."""
        end = time.time() + timeout
        while time.time() < end:
            if self.show("MainPID") in ("0", old_pid):
                self.release_line()
            elif self.show("ActiveState") == "active":
                return True
            time.sleep(0.5)
        return False

    def send(self, data):
        os.write(self.master, data)

    def next_report(self, timeout):
        """(bytes, seconds waited) of the next whole report, or (None, timeout)."""
        start = time.time()
        while True:
            for mark, size in ((b"\xaa\xa2", INVENTORY), (b"\xaa\xa1", LOAD)):
                at = self.buf.find(mark)
                if at >= 0 and len(self.buf) - at >= size:
                    report, self.buf = self.buf[at:at + size], self.buf[at + size:]
                    return report, time.time() - start
            left = timeout - (time.time() - start)
            if left <= 0:
                return None, timeout
            r, _, _ = select.select([self.master], [], [], left)
            if r:
                try:
                    self.buf += os.read(self.master, 4096)
                except OSError:
                    time.sleep(0.05)

    def next_inventory(self, timeout):
        end = time.time() + timeout
        while time.time() < end:
            report, _ = self.next_report(end - time.time())
            if report is not None and len(report) == INVENTORY:
                return report
        return None

    def drain(self):
        """Forgets what came so far (a master whose slave is closed reads EIO)."""
        try:
            while select.select([self.master], [], [], 0)[0]:
                os.read(self.master, 4096)
        except OSError:
            pass
        self.buf = b""

    def exit_status(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self):
        if self.proc.poll() is None:
            self.run("systemctl", "poweroff", check=False)
            if self.exit_status(20) is None:
                self.proc.send_signal(signal.SIGKILL)  # our own child, by its PID
                self.proc.wait()
        os.close(self.master)
        self.log.close()


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def case_starts_reports_and_is_supervised(c):
    started = c.install_and_start()
    report = c.next_inventory(8)
    expect(report is not None, "no inventory report reached the host")
    waited = time.time() - started
    expect(waited <= 5.0 + 0.5, f"first inventory report after {waited:.1f} s, not within 5 s")
    expect(report[197:] == b"\xff\xff\xee", "the report's end marks")
    status = c.show("StatusText")
    expect(status == "sending on COM2 (/dev/vexil/COM2)", f"systemctl status shows {status!r}")

    c.send(b"\xab\xcc\xc1\xee")  # wrong start mark: nothing happens
    time.sleep(3)
    expect(c.proc.poll() is None and c.show("ActiveState") == "active",
           "AB xx C1 EE did something")

    t = time.time()
    c.run("systemctl", "stop", "vexil-agent")
    took = time.time() - t
    expect(took < 1.0, f"systemctl stop took {took:.2f} s")
    expect(c.show("ExecMainStatus") == "0", f"stopped with status {c.show('ExecMainStatus')}")
    expect(c.show("Result") == "success", f"result {c.show('Result')}")

    c.run("systemctl", "start", "vexil-agent")
    pid = c.show("MainPID")
    c.run("systemctl", "kill", "--kill-whom=main", "--signal=SIGKILL", "vexil-agent")
    expect(c.wait_restarted(pid, 25), "systemd did not start the agent again after kill -9")

    pid = c.show("MainPID")
    # A stuck agent: no keep-alive.
    c.run("systemctl", "kill", "--kill-whom=main", "--signal=SIGSTOP", "vexil-agent")
    expect(c.wait_restarted(pid, 60), "the watchdog did not restart a stopped agent")


def command_ends_container(c, packet, status, what):
    c.install_and_start()
    expect(c.next_inventory(8) is not None, "no report before the command")
    c.send(packet)
    got = c.exit_status(30)
    expect(got == status, f"{what}: the container ended with {got}, not {status}")


def case_reboot(c):
    command_ends_container(c, b"\xaa\x00\xc2\xee", 133, "AA xx C2 EE (reboot)")


def case_poweroff(c):
    command_ends_container(c, b"\xaa\xcc\xc1\xee", 0, "AA xx C1 EE (power off)")


def case_confinement_hides_nothing(c):
    c.install_and_start()
    confined = c.next_inventory(8)
    expect(confined is not None, "no report from the service")
    c.run("systemctl", "stop", "vexil-agent")
    c.drain()
    # The same program without the unit's confinement (inside the container,
    # with a power stand-in all the same).
    runner = subprocess.Popen(
        ["nsenter", "-t", str(c.leader), "-a", "env", "VEXIL_POWER_COMMAND=/bin/true",
         "QT_QPA_PLATFORM=offscreen", "timeout", "8", "/usr/bin/vexil-agent"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    free = c.next_inventory(8)
    runner.wait()
    expect(free is not None, "no report from the unconfined run")
    # Everything but the processor clock (read live) must be the same.
    same = lambda r: r[:5] + r[9:]
    if same(confined) != same(free):
        diff = [i for i in range(INVENTORY) if confined[i] != free[i] and not 5 <= i < 9]
        raise AssertionError(f"the confined report differs at bytes {diff}")


def agent_journal(c):
    """What the agent's own processes wrote to the journal, a line each."""
    return c.run("journalctl", "_SYSTEMD_UNIT=vexil-agent.service", "-o", "cat",
                 "--no-pager", check=False).stdout.splitlines()


def case_login_console_is_left_alone(c):
    """A getty on the node's line (a serial console): the agent leaves it be
    and waits, and its status names the session."""
    c.run("systemd-run", "--unit=console-getty-test", "/sbin/agetty", "-L", "19200",
          "vexil/COM2", "vt100")
    end = time.time() + 10
    while b"login: " not in c.buf and time.time() < end:
        try:
            if select.select([c.master], [], [], 0.5)[0]:
                c.buf += os.read(c.master, 4096)
        except OSError:  # the getty hangs the line up once as it starts
            time.sleep(0.1)
    expect(b"login: " in c.buf, f"no login prompt from the getty: {c.buf!r}")
    c.buf = b""
    c.install()
    expect(c.show("ActiveState") == "active", "the agent is not active")
    report, _ = c.next_report(8)
    expect(report is None, "a report went into the login console")
    status = c.show("StatusText")
    expect(status.startswith("no serial line: waiting for COM2 or COM1; COM2 (/dev/vexil/COM2): "
                             "in use by a login session ("), f"systemctl status shows {status!r}")
    print(f"  status: {status}", flush=True)
    # Once the getty ends the line is the agent's; a getty that comes later
    # (as root it passes the agent's exclusive open) gets it back: the agent
    # leaves it, and its status and journal say whose it is.
    c.run("systemctl", "stop", "console-getty-test")
    expect(c.next_inventory(10) is not None, "no report once the getty ended")
    c.run("systemd-run", "--unit=console-getty-later", "/sbin/agetty", "-L", "19200",
          "vexil/COM2", "vt100")
    end = time.time() + 10
    while "agetty" not in c.show("StatusText") and time.time() < end:
        time.sleep(0.2)
    status = c.show("StatusText")
    expect(status.startswith("COM2 (/dev/vexil/COM2): in use by a login session (agetty, PID ")
           and status.endswith(": waiting"), f"systemctl status shows {status!r}")
    journal = "\n".join(agent_journal(c))
    expect("left COM2 (/dev/vexil/COM2): in use by a login session (agetty, PID " in journal,
           "the journal does not say who took the line:\n" + journal)
    c.drain()
    report, _ = c.next_report(7)
    expect(report is None, "a report went into the later getty's console")
    print(f"  later: {status}", flush=True)


def case_no_line_waits_quietly(c):
    """No serial line at all: the service stays up and quiet, and reports once
    a line appears."""
    c.install()
    expect(c.show("ActiveState") == "active", "the agent is not active without a line")
    time.sleep(60)
    expect(c.show("ActiveState") == "active" and c.show("NRestarts") == "0",
           f"after 60 s: {c.show('ActiveState')}, {c.show('NRestarts')} restarts")
    said = agent_journal(c)
    expect(len(said) < 10, f"{len(said)} journal lines in 60 s: {said}")
    status = c.show("StatusText")
    expect(status.startswith("no serial line: waiting for COM2 or COM1"), f"status {status!r}")
    c.run("mkdir", "-p", "/dev/vexil")
    linked = time.time()
    c.run("ln", "-s", "/dev/vexil-spare", "/dev/vexil/COM2")
    report = c.next_inventory(10)
    waited = time.time() - linked
    expect(report is not None, "no report once the line appeared")
    expect(waited <= 5.0 + 0.5, f"first report {waited:.1f} s after the line appeared")
    print(f"  {len(said)} journal lines in 60 s; first report {waited:.1f} s after the line "
          f"appeared", flush=True)


def exposure_of(unit):
    out = subprocess.run(["systemd-analyze", "security", "--offline=true", unit],
                         capture_output=True, text=True).stdout
    m = re.search(r"Overall exposure level for \S+: ([\d.]+)", out)
    return float(m.group(1)) if m else None


def case_exporter_as_a_confined_user(c):
    """vexil-exporter.service: no root, the line from /etc/default, metrics on HTTP."""
    c.install()
    # The agent (started by its package) holds COM2: this host is the
    # controller now.
    c.run("systemctl", "stop", "vexil-agent")
    # A start that fails fails "systemctl restart", with the reason in its
    # status.
    c.run("sh", "-c", "printf 'VEXIL_EXPORTER_LINES=COM2\\nVEXIL_EXPORTER_LISTEN=127.0.0.1:99999\\n'"
          " > /etc/default/vexil-exporter")
    failed = c.run("systemctl", "restart", "vexil-exporter", check=False)
    expect(failed.returncode != 0, "systemctl restart returned 0 for an exporter that cannot start")
    end = time.time() + 10
    while True:
        status = c.run("journalctl", "-u", "vexil-exporter", "--no-pager", "-n", "40",
                       check=False).stdout
        if "the port must be a number from 0 to 65535" in status or time.time() > end:
            break
        time.sleep(0.2)  # the journal takes the process's words a moment later
    expect("the port must be a number from 0 to 65535" in status,
           "the reason is not in the unit's journal:\n" + status)
    # ... and in its status, where systemctl status shows it.
    shown = c.show("StatusText", "vexil-exporter")
    expect(shown.startswith("not started: --listen 127.0.0.1:99999: the port must be a number"),
           f"the unit's status is {shown!r}")
    print(f"  failed start: {shown}", flush=True)
    # No listen setting at all: the default, :9868; Redfish on.
    c.run("sh", "-c", "printf 'VEXIL_EXPORTER_LINES=COM2\\nVEXIL_EXPORTER_REDFISH=yes\\n'"
          " > /etc/default/vexil-exporter")
    c.run("systemctl", "restart", "vexil-exporter")  # Type=notify: returns once it serves
    # The service manager switches the new process to its user; ask until it
    # has.
    end = time.time() + 10
    while True:
        user = c.run("sh", "-c", "stat -c %U /proc/$(systemctl show -p MainPID --value "
                     "vexil-exporter)/cmdline", check=False).stdout.strip()
        if user not in ("", "root") or time.time() > end:
            break
        time.sleep(0.2)
    expect(user not in ("", "root"), f"the exporter runs as {user!r}, not a user of its own")
    time.sleep(1)
    load = bytes([0xAA, 0xA1, 40, 7] + [0xFF] * 15 + [0xEE])
    c.send(load)
    time.sleep(0.5)
    # Asked from the host, inside the container's network.
    def get(path):
        return subprocess.run(
            ["nsenter", "-t", str(c.leader), "-n", sys.executable, "-c",
             "import urllib.request;print(urllib.request.urlopen("
             f"'http://127.0.0.1:9868{path}', timeout=5).read().decode())"],
            capture_output=True, text=True, timeout=30).stdout
    body = get("/metrics")
    expect('vexil_line_open{line="COM2"} 1' in body, "the line is not open:\n" + body[:500])
    expect('vexil_reports_total{line="COM2",report="load"} 1' in body,
           "the load report was not counted:\n" + body[:1500])
    expect('revision="unknown"' not in body, "build_info has no revision:\n" + body[:3000])
    # Its start in seconds since 1970 though the unit hides /proc/stat.
    started = re.search(r"\nprocess_start_time_seconds (\S+)", body)
    expect(started and abs(float(started.group(1)) - time.time()) < 120,
           f"process_start_time_seconds {started.group(1) if started else None}, now {time.time()}")
    # The node as a Redfish system, its service's UUID from the machine's id
    # though the unit is confined.
    system = json.loads(get("/redfish/v1/Systems/COM2") or "{}")
    expect(system.get("PowerState") == "On" and system.get("Id") == "COM2",
           f"the Redfish system: {system}")
    root = json.loads(get("/redfish/v1/") or "{}")
    expect(re.fullmatch(r"[0-9a-f-]{36}", root.get("UUID", "")) is not None,
           f"the Redfish service root: {root}")
    # Commands beside it: through its control socket, which only root and the
    # dialout group reach.
    mode = c.run("stat", "-c", "%a %G", "/run/vexil/control.sock", check=False).stdout.strip()
    expect(mode == "660 dialout", f"the control socket is {mode!r}, not 660 dialout")
    c.drain()
    sent = c.run("vexil-ctl", "send", "COM2", "usb", check=False)
    expect(sent.returncode == 0 and "through the exporter" in sent.stdout,
           f"send beside the exporter: {sent.stdout} {sent.stderr}")
    got = b""
    end = time.time() + 3
    while len(got) < 4 and time.time() < end:
        if select.select([c.master], [], [], 0.2)[0]:
            got += os.read(c.master, 64)
    expect(got == b"\xaa\xcc\xb1\xee", f"the command on the line: {got!r}")


def upgraded(deb, into):
    """The package rebuilt with a higher version, in the folder into; the
    controller's also with another example lines file."""
    package = deb_field(deb, "Package")
    tree = os.path.join(into, "tree")
    shutil.rmtree(tree, ignore_errors=True)
    subprocess.run(["dpkg-deb", "-R", deb, tree], check=True)
    control = os.path.join(tree, "DEBIAN", "control")
    with open(control) as f:
        text = f.read()
    version = deb_field(deb, "Version")
    with open(control, "w") as f:
        f.write(text.replace(f"Version: {version}", f"Version: {version}+upgrade1"))
    example = os.path.join(tree, "usr/share/vexil/lines.example")
    if os.path.exists(example):
        with open(example, "a") as f:
            f.write("#   rack2-node1  rfc2217://console2:7001\n")
    out = os.path.join(into, f"{package}-upgrade.deb")
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", tree, out], check=True,
                   capture_output=True)
    shutil.rmtree(tree)
    return out


def closure_size_kib(c, package):
    """Installed size of a package and everything it depends on, from the
    container's package database."""
    names = c.run("sh", "-c", f"apt-cache depends --recurse --no-recommends --no-suggests "
                  f"--no-conflicts --no-breaks --no-replaces --no-enhances {package} "
                  f"| grep -v '^ ' | sort -u", check=False).stdout.split()
    total = 0
    for name in names:
        size = c.run("dpkg-query", "-W", "-f=${Installed-Size}", name.split(":")[0],
                     check=False).stdout.strip()
        total += int(size) if size.isdigit() else 0
    return len(names), total


def case_packages_install_upgrade_remove_purge(c):
    """What Debian's own daemon packages do: started on install, restarted on
    upgrade, stopped on removal, configuration gone on purge."""
    c.install()
    for unit in ("vexil-agent", "vexil-exporter"):
        expect(c.show("ActiveState", unit) == "active", f"{unit} is not active after install")
        expect(c.show("UnitFileState", unit) == "enabled", f"{unit} is not enabled")
    expect(c.next_inventory(8) is not None, "the installed agent does not report")
    for package in ("vexil-agent", "vexil-ctl"):
        count, kib = closure_size_kib(c, package)
        print(f"  {package}: {count} packages with its dependencies, {kib / 1024:.1f} MiB "
              f"installed", flush=True)

    pid = c.show("MainPID")
    c.run("dpkg", "-i", "/mnt/upgrade/vexil-agent-upgrade.deb", timeout=120)
    version = c.run("dpkg-query", "-W", "-f=${Version}", "vexil-agent").stdout
    expect(version.endswith("+upgrade1"), f"the upgrade did not install ({version})")
    expect(c.show("MainPID") not in ("0", pid) and c.show("ActiveState") == "active",
           "the agent was not restarted by the upgrade")
    c.drain()
    expect(c.next_inventory(8) is not None, "the upgraded agent does not report")

    # The operator's lines file is theirs: an upgrade whose example changed
    # asks nothing (no terminal here), keeps the rows and ends configured.
    rows = "rack1-node1 COM2\n"
    c.run("sh", "-c", f"printf '{rows}' > /etc/vexil/lines")
    c.run("dpkg", "-i", "/mnt/upgrade/vexil-ctl-upgrade.deb", timeout=120)
    status = c.run("dpkg-query", "-W", "-f=${Status}", "vexil-ctl").stdout
    expect(status == "install ok installed", f"vexil-ctl after the upgrade: {status!r}")
    kept = c.run("cat", "/etc/vexil/lines").stdout
    expect(kept == rows, f"the upgrade changed the operator's lines file: {kept!r}")
    conffiles = c.run("dpkg-query", "-W", "-f=${Conffiles}", "vexil-ctl").stdout
    expect("/etc/vexil/lines" not in conffiles, f"the lines file is a conffile: {conffiles}")

    c.run("dpkg", "-r", "vexil-agent", timeout=120)
    state = c.show("ActiveState")
    expect(state in ("inactive", ""), f"the agent is {state!r} after removal")
    expect(c.run("test", "-e", "/etc/default/vexil-agent", check=False).returncode == 0,
           "removal took the configuration (only purge does)")
    c.run("dpkg", "-P", "vexil-agent", "vexil-ctl", timeout=120)
    for path in ("/etc/default/vexil-agent", "/etc/default/vexil-exporter", "/etc/vexil/lines"):
        expect(c.run("test", "-e", path, check=False).returncode != 0, f"{path} left after purge")
    expect(c.show("ActiveState", "vexil-exporter") in ("inactive", ""),
           "the exporter runs after purge")


CASES = [case_starts_reports_and_is_supervised, case_reboot, case_poweroff,
         case_confinement_hides_nothing, case_exporter_as_a_confined_user,
         case_packages_install_upgrade_remove_purge, case_login_console_is_left_alone,
         case_no_line_waits_quietly]
# Where a case's line is bound in its container, when not at /dev/vexil/COM2.
LINE_AT = {"no_line_waits_quietly": "/dev/vexil-spare"}


def main():
    debs = [a for a in sys.argv[1:] if a.endswith(".deb")]
    wanted = [a for a in sys.argv[1:] if not a.endswith(".deb")]
    if not debs:
        fail("usage: run.py DEB... [CASE...]")
    need_tools()
    root = container_root(debs)
    passed = failed = 0
    upgrade_dir = os.path.join(CACHE, "upgrade")
    os.makedirs(upgrade_dir, exist_ok=True)
    for d in debs:
        upgraded(d, upgrade_dir)

    unpacked = os.path.join(CACHE, "unpacked")
    shutil.rmtree(unpacked, ignore_errors=True)
    for d in debs:
        subprocess.run(["dpkg-deb", "-x", d, unpacked], check=True)
    for unit in ("vexil-agent.service", "vexil-exporter.service"):
        path = os.path.join(unpacked, "lib", "systemd", "system", unit)
        exposure = exposure_of(path) if os.path.exists(path) else None
        print(f"exposure of {unit}: {exposure}")
        if exposure is not None and exposure <= 2.0:
            passed += 1
        else:
            failed += 1
            print(f"FAILED exposure: systemd-analyze security must give at most 2.0 for {unit}")

    for case in CASES:
        name = case.__name__[len("case_"):]
        if wanted and name not in wanted:
            continue
        start = time.time()
        c = None
        try:
            c = Container(root, debs, name, (upgrade_dir, "/mnt/upgrade"),
                          LINE_AT.get(name, "/dev/vexil/COM2"))
            case(c)
            passed += 1
            print(f"ok {name} ({time.time() - start:.1f} s)", flush=True)
        except Exception:
            failed += 1
            print(f"FAILED {name} ({time.time() - start:.1f} s)", flush=True)
            traceback.print_exc()
            if c:
                print(f"  container log: {c.log_path}")
                for unit in ("vexil-agent", "vexil-exporter"):
                    print(c.run("journalctl", "-u", unit, "--no-pager", "-n", "30",
                                check=False).stdout if c.proc.poll() is None else "")
        finally:
            if c:
                c.close()
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
