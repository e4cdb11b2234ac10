"""The Windows agent as a whole program under Wine (run by run.py after
ctest, in its prefix, on its cable): the packaged folder's vexil-agent.exe
by hand, as a service under Wine's service manager, and installed from the
MSI. Its power actions go to the tests' power recorder.
"""
import os
import re
import select
import signal
import socket
import subprocess
import threading
import time
import tty

WINE_RUN = "packaging/windows/wine-run"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class FarEnd:
    """The other end of the agent's line: the pty of the cable's other port."""

    def __init__(self, device):
        self.fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.data = b""
        self.arrivals = []  # (seconds since the start, bytes read by then)
        self.started = time.monotonic()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        os.close(self.fd)

    def read_for(self, seconds, until=lambda packets: False):
        """Reads what comes within seconds, or until the reports so far
        satisfy until; returns every report so far."""
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0 and not until(self.packets()):
            if select.select([self.fd], [], [], left)[0]:
                try:
                    self.data += os.read(self.fd, 4096)
                except BlockingIOError:
                    continue
                self.arrivals.append((time.monotonic() - self.started, len(self.data)))
        return self.packets()

    def read_until_type(self, kind, seconds):
        """Reads until a report of kind (0xA2, 0xA1) comes, seconds at most."""
        return self.read_for(seconds, lambda packets: any(p[1] == kind for _, p in packets))

    def packets(self):
        """[(seconds since the start when its last byte came, report)]."""
        found = []
        for m in re.finditer(rb"\xaa\xa2.{197}\xee|\xaa\xa1.{17}\xee", self.data, re.S):
            at = next(t for t, n in self.arrivals if n >= m.end())
            found.append((at, m.group()))
        return found

    def send(self, data):
        os.write(self.fd, data)


class Agent:
    """vexil-agent.exe by hand, its standard error read as it comes."""

    def __init__(self, ctx, *args):
        self.proc = subprocess.Popen([WINE_RUN, ctx.agent_exe, *args], env=ctx.agent_env(),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.lines = []
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stderr:
            with self.changed:
                self.lines.append(raw.decode(errors="replace").rstrip("\r\n"))
                self.changed.notify_all()

    def stderr(self):
        with self.changed:
            return "\n".join(self.lines)

    def wait_for(self, text, seconds):
        """Whether a line with text comes within seconds."""
        with self.changed:
            return self.changed.wait_for(lambda: any(text in l for l in self.lines), seconds)

    def stop(self, sig=signal.SIGINT):
        """Ends the run (SIGINT is the console's Ctrl-C under Wine): its status and stderr."""
        self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self.reader.join()
        return rc, self.stderr()

    # A test that fails half-way must not leave its agent on the line.
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.reader.join()


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


def text(packet, start, size):
    return packet[start:start + size].split(b"\0", 1)[0].decode(errors="replace")


def host_figures():
    with open("/proc/meminfo") as f:
        kib = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1))
    return {"cpus": min(os.cpu_count(), 255), "memory": kib * 1024 // 1024000,
            "name": socket.gethostname().split(".")[0].upper()[:15]}


def check_reports(packets):
    """Inventory at about 3 s and every 5 s, load from about 13 s, with this
    Wine's figures (which are the host's). Wine's own start, which a busy
    machine stretches, comes before the agent's clock: the first report may
    come late, not early, and the rest keep their spacing from it."""
    inventory = [(t, p) for t, p in packets if p[1] == 0xA2]
    load = [(t, p) for t, p in packets if p[1] == 0xA1]
    check(inventory and 2.0 <= inventory[0][0] <= 10.0,
          f"the first inventory report came at {inventory[0][0] if inventory else None} s, not ~3 s")
    first = inventory[0][0] if inventory else 0
    check(len(inventory) >= 2, f"{len(inventory)} inventory reports")
    check(all(4.0 <= b[0] - a[0] <= 6.5 for a, b in zip(inventory, inventory[1:])),
          f"inventory reports at {[round(t, 1) for t, _ in inventory]} s, not 5 s apart")
    check(load and 9.0 <= load[0][0] - first <= 11.5,
          f"the first load report came at {load[0][0] if load else None} s, not ~10 s after the "
          f"first inventory report at {first} s")
    host, p = host_figures(), inventory[-1][1]
    check(p[2] == host["cpus"], f"processor count {p[2]}, the host has {host['cpus']}")
    memory = int.from_bytes(p[9:13], "little")
    check(abs(memory - host["memory"]) <= 1, f"memory {memory}, the host has {host['memory']}")
    check(text(p, 21, 16) == host["name"], f"computer name {text(p, 21, 16)!r}, not {host['name']!r}")
    check(text(p, 149, 48) == "Windows2003 SP2", f"OS text {text(p, 149, 48)!r} (prepare())")
    q = load[-1][1]
    check(1 <= q[2] <= 100, f"memory load {q[2]}")
    busy = [b for b in q[3:19] if b != 0xFF]
    check(len(busy) == min(host["cpus"], 16) and all(b <= 100 for b in busy),
          f"processor loads {list(q[3:19])}")


def prepare(ctx):
    """Wine answers the agent as 64-bit Windows XP (5.2, Service Pack 2), whose
    OS text the report has a row for (it has none for 6.0 and later)."""
    subprocess.run([WINE_RUN, "reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\vexil-agent.exe",
                    "/v", "Version", "/d", "winxp64", "/f"], env=ctx.env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def test_reports_and_reboot(ctx):
    """By hand on COM2: the reports on time with Wine's figures, a reboot to
    the recorder, Ctrl-C a clean end."""
    with FarEnd(ctx.ports["COM1"]) as far, Agent(ctx) as agent:
        check_reports(far.read_for(30, lambda packets: any(p[1] == 0xA1 for _, p in packets)))
        far.send(bytes([0xAA, 0x01, 0xC2, 0xEE]))
        ctx.wait_for_power_log(["reboot"])
        rc, err = agent.stop()
        check(rc == 0, f"exit status {rc} after Ctrl-C; stderr: {err}")
        check("sending on COM2 (\\\\.\\COM2)" in err, f"stderr: {err}")


def test_debug_window(ctx):
    """-d on a desktop (Wine's X11 driver on the run's Xvfb): the window
    shows, the reports go, a command is only logged, closing the window ends
    the run. The screenshot is the build's debug-window.png."""
    with FarEnd(ctx.ports["COM1"]) as far, Agent(ctx, "-d") as agent:
        check(any(p[1] == 0xA2 for _, p in far.read_until_type(0xA2, 20)),
              f"no inventory report with -d: {agent.stderr()}")
        far.send(bytes([0xAA, 0x01, 0xC1, 0xEE]))
        check(agent.wait_for("debug mode: only logged", 10), f"stderr: {agent.stderr()}")
        # (Both panes written: the load report comes 10 s after the first.)
        check(any(p[1] == 0xA1 for _, p in far.read_until_type(0xA1, 20)), "no load report")
        far.read_for(1)
        shot = os.path.join(ctx.shots, "debug-window.png")
        check(window_shot(ctx, "Vexil", shot), f"no window to be seen: {agent.stderr()}")
        # taskkill without /f asks the window to close, as its close box does.
        subprocess.run([WINE_RUN, "taskkill", "/im", "vexil-agent.exe"], env=ctx.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        try:
            rc = agent.proc.wait(15)
        except subprocess.TimeoutExpired:
            rc = None
        check(rc == 0, f"closing the window ended the run with {rc}: {agent.stderr()}")
        check(ctx.power_log() == [], f"-d carried out a command: {ctx.power_log()}")


def test_dialog_shots(ctx):
    """The settings dialog and the about box as Windows draws them, in the
    language the locale gives: simplified Chinese for zh_CN, traditional for
    zh_TW, English otherwise."""
    for locale, language in (("C.UTF-8", "en"), ("zh_CN.UTF-8", "zh-gbk"),
                             ("zh_TW.UTF-8", "zh-big5"), ("de_DE.UTF-8", "en")):
        r = subprocess.run([WINE_RUN, ctx.dialog_shots, windows_path(ctx.shots), "--as-locale"],
                           env=dict(ctx.env, LANG=locale, LC_ALL=locale, LOCPATH=ctx.locales),
                           capture_output=True, timeout=120)
        said = r.stdout.decode(errors="replace")
        check(r.returncode == 0 and f"language: {language}\n" in said.replace("\r", "") and
              said.count("wrote") == 3, f"dialog-shots in {locale}: status {r.returncode}: {said}")


def window_shot(ctx, title, path):
    """The top-level window whose name begins with title, as the X server
    has it, as a PNG."""
    end = time.monotonic() + 20
    while time.monotonic() < end:
        tree = subprocess.run(["xwininfo", "-root", "-tree"], env=ctx.env, capture_output=True)
        found = re.search(r"^\s*(0x[0-9a-f]+) \"" + re.escape(title) + r".*\": \(\"vexil-agent.exe\"",
                          tree.stdout.decode(errors="replace"), re.M)
        xwd = subprocess.run(["xwd", "-silent", "-id", found.group(1)], env=ctx.env,
                             capture_output=True) if found else None
        if xwd and xwd.returncode == 0 and xwd.stdout:
            pnm = subprocess.run(["xwdtopnm"], input=xwd.stdout, capture_output=True, check=True)
            with open(path, "wb") as f:
                f.write(subprocess.run(["pnmtopng"], input=pnm.stdout, capture_output=True,
                                       check=True).stdout)
            return True
        time.sleep(0.5)
    return False


def test_com1_when_com2_missing(ctx):
    """No COM2: the agent sends on COM1."""
    with FarEnd(ctx.ports["COM2"]) as far, Agent(ctx) as agent:
        packets = far.read_until_type(0xA2, 15)
        rc, err = agent.stop()
        check(any(p[1] == 0xA2 for _, p in packets), f"no report on COM1; stderr: {err}")
        check(rc == 0 and "sending on COM1" in err, f"exit status {rc}; stderr: {err}")


def sc(ctx, *args):
    r = subprocess.run([WINE_RUN, "sc", *args], env=ctx.env, capture_output=True, timeout=60)
    return r.returncode, r.stdout.decode(errors="replace")


def service_state(ctx):
    """RUNNING, STOPPED ... or the query's failure."""
    rc, out = sc(ctx, "query", "vexil-agent")
    m = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
    return m.group(1) if m else f"no state (sc status {rc}: {out.strip()})"


def running_programs(ctx):
    """The Linux PIDs of this prefix's processes of the installed program
    that have not ended (a zombie has: its files are closed)."""
    program = rb"C:\Program Files\Vexil\vexil-agent.exe".lower()
    prefix = f"WINEPREFIX={ctx.prefix}".encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read().split(b"\0")[0]
            with open(f"/proc/{pid}/environ", "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        if command.lower() == program and prefix in env:
            found.append(int(pid))
    return found


def wait_for_state(ctx, wanted, seconds=20):
    end = time.monotonic() + seconds
    while (state := service_state(ctx)) != wanted and time.monotonic() < end:
        time.sleep(0.5)
    return state


def check_service_reports_then_stops(ctx, far, stop):
    """The service sends its reports; stop() ends it, and the line falls silent."""
    packets = far.read_until_type(0xA2, 15)
    check(any(p[1] == 0xA2 for _, p in packets), "the service sent no inventory report")
    check(service_state(ctx) == "RUNNING", f"the service is {service_state(ctx)}")
    stop()
    far.read_for(1)
    before = len(far.packets())
    far.read_for(6)
    check(len(far.packets()) == before, "reports still come after the service stopped")


def test_service(ctx):
    """Under Wine's service manager: sc start, it reports, sc stop ends it."""
    def stop():
        sc(ctx, "stop", "vexil-agent")
        state = wait_for_state(ctx, "STOPPED")
        check(state == "STOPPED", f"after sc stop the service is {state}")
        out = sc(ctx, "query", "vexil-agent")[1]
        check(re.search(r"WIN32_EXIT_CODE\s*:\s*0\b", out), f"a clean end, not: {out}")
        # A service has no standard error: its messages are in its log,
        # which began afresh past its 1 MB, the full one kept as .old.
        with open(log, errors="replace") as f:
            said = f.read()
        check(re.match(r"[0-9-]+ [0-9:]+ vexil-agent: sending on COM2", said) and
              "vexil-agent: service running: sending on COM2" in said and
              said.rstrip().endswith("vexil-agent: stopped"), f"the service's log: {said!r}")
        check(os.path.getsize(log + ".old") > 1 << 20, "the full log was not kept as .old")

    log = os.path.join(ctx.logs, "vexil-agent.log")
    os.makedirs(os.path.dirname(log), exist_ok=True)
    with open(log, "w") as f:
        f.write("x" * (1 << 20) + "\n")

    with FarEnd(ctx.ports["COM1"]) as far:
        try:
            rc, out = sc(ctx, "create", "vexil-agent", "binPath=",
                         windows_path(ctx.agent_exe))
            check(rc == 0, f"sc create: {out}")
            rc, out = sc(ctx, "start", "vexil-agent")
            check(rc == 0, f"sc start: {out}")
            check_service_reports_then_stops(ctx, far, stop)
        finally:
            sc(ctx, "stop", "vexil-agent")
            sc(ctx, "delete", "vexil-agent")


def msiexec(ctx, action, *properties, msi=None):
    """Its status; its log is the prefix's msiexec.log (msi_log tells its end)."""
    return subprocess.run([WINE_RUN, "msiexec", action, windows_path(msi or ctx.msi), *properties,
                           "/qn", "/l*v", windows_path(os.path.join(ctx.prefix, "msiexec.log"))],
                          env=ctx.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=120).returncode


def msi_log(ctx):
    """The lines of the last msiexec's log that tell a failure."""
    try:
        with open(os.path.join(ctx.prefix, "msiexec.log"), "rb") as f:
            raw = f.read()
    except OSError:
        return "(no log)"
    text = raw.decode("utf-16" if raw[:2] == b"\xff\xfe" else "utf-8", errors="replace")
    return "\n".join(l for l in text.splitlines() if "rror" in l or "eturn value 3" in l)[-3000:]


def installed_entries(ctx):
    """The agent's entries in Add/Remove Programs: (version, install location) each."""
    r = subprocess.run([WINE_RUN, "reg", "query",
                        r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s"],
                       env=ctx.env, capture_output=True, timeout=60)
    entries = []
    for block in re.split(r"\r?\n(?=HKEY_)", r.stdout.decode(errors="replace")):
        if "Vexil node agent" in block:
            version = re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", block)
            where = re.search(r"InstallLocation\s+REG_SZ\s+(.+)", block)
            entries.append((version.group(1) if version else None,
                            where.group(1).strip() if where else None))
    return entries


def test_msi(ctx):
    """msiexec installs the folder and starts the service; removal deletes it
    with its files."""
    installed, logs = ctx.installed, ctx.logs

    def remove():
        # Windows Installer waits for the service to stop before it removes
        # the files (ServiceControl Wait="yes"). Wine's msiexec asks it to
        # stop and goes straight on, so a program still ending is left
        # behind, as it was every time with its stop made 3 s slower. The
        # service is stopped here first, as Windows Installer would have it,
        # and its process seen to end.
        sc(ctx, "stop", "vexil-agent")
        check(wait_for_state(ctx, "STOPPED") == "STOPPED", f"the service: {service_state(ctx)}")
        end = time.monotonic() + 20
        while (left := running_programs(ctx)) and time.monotonic() < end:
            time.sleep(0.1)
        check(not left, f"the service's process still runs: {left}")
        rc = msiexec(ctx, "/x")
        check(rc == 0, f"msiexec /x: status {rc}")
        check(not os.path.exists(os.path.join(installed, "vexil-agent.exe")),
              "the program is still there after removal")
        check(service_state(ctx).startswith("no state"),
              f"the service is still there after removal: {service_state(ctx)}")
        check(not os.path.exists(logs), "the log folder is still there")

    with FarEnd(ctx.ports["COM1"]) as far:
        rc = msiexec(ctx, "/i")
        check(rc == 0, f"msiexec /i: status {rc}: {msi_log(ctx)}")
        try:
            # Everything but the debug window, which is left out unless asked for.
            check(sorted(os.listdir(installed)) ==
                  sorted(set(os.listdir(os.path.dirname(ctx.agent_exe))) - set(WINDOW_FILES)),
                  f"installed: {os.listdir(installed)}")
            r = subprocess.run([WINE_RUN, os.path.join(installed, "vexil-agent.exe"), "-d"],
                               env=ctx.agent_env(), capture_output=True, timeout=60)
            said = r.stderr.decode(errors="replace")
            check(r.returncode == 1 and 'feature "Debug window"' in said and "ADDLOCAL=DebugWindow" in said,
                  f"-d without the window: status {r.returncode}: {said}")
            # The Event Log source, with the program's message table.
            r = subprocess.run([WINE_RUN, "reg", "query",
                                r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application"
                                r"\vexil-agent", "/v", "EventMessageFile"],
                               env=ctx.env, capture_output=True, timeout=60)
            source = r.stdout.decode(errors="replace")
            check(re.search(r"EventMessageFile\s+REG_SZ\s+C:\\Program Files\\Vexil\\vexil-agent\.exe",
                            source), f"the event source: {source!r}")
            check_service_reports_then_stops(ctx, far, remove)
        finally:
            if os.path.exists(installed):
                msiexec(ctx, "/x")


def test_msi_upgrade(ctx):
    """A newer installer replaces the one installed: one entry, one service,
    still reporting, with the debug window; an older one is refused. The service has its restart
    after a failure set."""
    higher = os.path.join(os.path.dirname(ctx.msi), "upgrade-test", "vexil-agent-99.0.0.msi")
    os.makedirs(os.path.dirname(higher), exist_ok=True)
    subprocess.run(["packaging/windows/msi.sh", os.path.dirname(ctx.agent_exe), "99.0.0", higher],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def versions():
        entries = installed_entries(ctx)
        check(all(where and "Vexil" in where for _, where in entries),
              f"an entry without its install location: {entries}")
        return [version for version, _ in entries]

    def reporting(far):
        far.read_for(1)
        return any(p[1] == 0xA2 for _, p in far.read_until_type(0xA2, 15))

    with FarEnd(ctx.ports["COM1"]) as far:
        try:
            check(msiexec(ctx, "/i", "ADDLOCAL=ALL") == 0,
                  f"msiexec /i of the first version: {msi_log(ctx)}")
            first = versions()
            check(len(first) == 1 and first[0] != "99.0.0", f"entries: {first}")
            installed = ctx.installed
            check(all(os.path.exists(os.path.join(installed, f)) for f in WINDOW_FILES),
                  f"ADDLOCAL=ALL installed {os.listdir(installed)}")
            # (Windows Installer carries the features chosen over to the
            # upgrade; Wine's does not, so here they are named again.)
            check(msiexec(ctx, "/i", "ADDLOCAL=ALL", msi=higher) == 0,
                  f"the upgrade failed: {msi_log(ctx)}")
            check(versions() == ["99.0.0"], f"after the upgrade: {installed_entries(ctx)}")
            check(all(os.path.exists(os.path.join(installed, f)) for f in WINDOW_FILES),
                  f"after the upgrade the folder holds {os.listdir(installed)}")
            check(wait_for_state(ctx, "RUNNING") == "RUNNING", f"the service: {service_state(ctx)}")
            check(reporting(far), "no report after the upgrade")
            check(msiexec(ctx, "/i") != 0, "the older installer was not refused")
            check(versions() == ["99.0.0"], f"after the refused downgrade: {installed_entries(ctx)}")
            # The service set its restart after a failure (the service
            # manager took it: no complaint in the log). Wine's keeps the
            # setting nowhere one can read it and never acts on it: a killed
            # service stays down there, so that much is untested here.
            log = os.path.join(ctx.logs, "vexil-agent.log")
            with open(log, errors="replace") as f:
                said = f.read()
            check("sending on" in said and "could not be set" not in said, f"the log: {said!r}")
            # Removed with KEEPLOGS=1: the logs stay.
            check(msiexec(ctx, "/x", "KEEPLOGS=1", msi=higher) == 0, "msiexec /x failed")
            logs = ctx.logs
            check(os.path.exists(os.path.join(logs, "vexil-agent.log")),
                  "the log went although KEEPLOGS=1 was given")
        finally:
            msiexec(ctx, "/x", msi=higher)
            msiexec(ctx, "/x")


def test_failed_write_loses_the_line(ctx):
    """Writes failing as a pulled adapter's do end the line at once (said),
    and the line is taken up again once the port works."""
    pts = int(ctx.ports["COM2"].rsplit("/", 1)[1])
    fail = os.path.join(ctx.env["VEXIL_MODEM_DIR"], f"fail-{pts}")
    with FarEnd(ctx.ports["COM1"]) as far, Agent(ctx) as agent:
        try:
            check(any(p[1] == 0xA2 for _, p in far.read_until_type(0xA2, 15)), "no first report")
            with open(fail, "w") as f:
                f.write("1\n")
            check(agent.wait_for("line lost on COM2", 15), f"the loss was not said: {agent.stderr()}")
            os.remove(fail)
            far.read_for(3)
            check(any(p[1] == 0xA2 for _, p in far.read_until_type(0xA2, 15)),
                  f"no report once the port worked again: {agent.stderr()}")
        finally:
            if os.path.exists(fail):
                os.remove(fail)
        rc, err = agent.stop()
        check(rc == 0, f"exit status {rc}; stderr: {err}")


# By hand first, then the service, then the installer; the last needs COM2
# gone and the prefix restarted (run.py).
TESTS = [test_reports_and_reboot, test_failed_write_loses_the_line, test_service, test_msi,
         test_msi_upgrade]
# On the run's X server.
ON_A_DESKTOP = [test_debug_window, test_dialog_shots]
# What the installer's feature "Debug window" holds.
WINDOW_FILES = ["vexil-agent-gui.dll", "Qt6Gui.dll", "Qt6Widgets.dll", "platforms", "styles"]
WITHOUT_COM2 = [test_com1_when_com2_missing]
