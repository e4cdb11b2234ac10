#!/usr/bin/env python3
"""Runs the Windows build's tests under Wine, safely.

    python3 tests/windows/run.py BUILD_DIR [ctest arguments]

Wine links every real serial device of the machine (/dev/ttyS*, ttyUSB*,
ttyACM*) to a COM name at each start, so this run:
  1. makes a Wine prefix of its own (mkdtemp) whose COM names are blocked by
     directories before Wine first starts, so that nothing real is linked;
  2. makes a null-modem cable of two ptys (whatever one end writes, the other
     reads) and maps COM1 and COM2 to its ends through the prefix's
     HKLM\\Software\\Wine\\Ports, unblocking only those two names;
  3. checks that every COM name is a pty of this run or blocked, and writes
     the list of those ptys where packaging/windows/wine-run, through which
     ctest starts every program, checks again before each one;
  4. keeps one wineserver for the whole run, then stops it and removes the
     prefix.
The cable has modem lines too: Wine's processes run with modem_shim.so
(built beside the tests) preloaded, which wires one end's DTR and RTS to the
other's DSR, carrier detect and CTS.

After ctest, the agent's own tests (agent.py) run on the packaged folder
(BUILD_DIR/package, from packaging/windows/package.sh); the prefix is
restarted for the windows' tests with an X server of the run's own (Xvfb),
then for the last of them without COM2.
"""
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import tty

import agent

WINE = "/usr/lib/wine/wine64"
SESSION_ENVIRONMENT = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"
BLOCKED = range(1, 257)
MINGW_DLLS = ["/usr/lib/gcc/x86_64-w64-mingw32/12-posix", "/usr/x86_64-w64-mingw32/lib"]


class NullModem:
    """Two ptys joined at their masters, both ways."""

    def __init__(self):
        self.masters, self.slaves = [], []
        for _ in range(2):
            m, s = pty.openpty()
            tty.setraw(s)
            self.masters.append(m)
            self.slaves.append(s)
        self.names = [os.ttyname(s) for s in self.slaves]
        self.stop = False
        self.thread = threading.Thread(target=self._relay, daemon=True)
        self.thread.start()

    def _relay(self):
        a, b = self.masters
        while not self.stop:
            ready, _, _ = select.select([a, b], [], [], 0.2)
            for fd in ready:
                try:
                    data = os.read(fd, 65536)
                except OSError:
                    continue  # no slave open at the moment
                os.write(b if fd == a else a, data)

    def wire_modem_lines(self, directory):
        """The shim's files: each end names the other as its peer."""
        numbers = [int(name.rsplit("/", 1)[1]) for name in self.names]
        for mine, theirs in (numbers, numbers[::-1]):
            with open(os.path.join(directory, f"peer-{mine}"), "w") as f:
                f.write(f"{theirs}\n")

    def close(self):
        self.stop = True
        self.thread.join()
        for fd in self.masters + self.slaves:
            os.close(fd)


def wine(prefix, *args, check=True):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return subprocess.run([WINE, *args], env=env, check=check, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=300)


def check_ports(prefix, allowed):
    dosdevices = os.path.join(prefix, "dosdevices")
    for entry in sorted(os.listdir(dosdevices)):
        if not entry.lower().startswith("com"):
            continue
        path = os.path.join(dosdevices, entry)
        if os.path.islink(path):
            if os.readlink(path) not in allowed:
                raise SystemExit(f"run.py: {path} leads to {os.readlink(path)}, not a test pty")
        elif not os.path.isdir(path):
            raise SystemExit(f"run.py: {path} is neither a test pty nor blocked")


def make_prefix(ports, recorder):
    """The prefix; every program in it (services too) runs the power
    recorder for a power action, which writes prefix/power.log."""
    prefix = tempfile.mkdtemp(prefix="vexil-wine-")
    dosdevices = os.path.join(prefix, "dosdevices")
    os.makedirs(os.path.join(prefix, "drive_c"))
    os.makedirs(dosdevices)
    os.symlink("../drive_c", os.path.join(dosdevices, "c:"))
    os.symlink("/", os.path.join(dosdevices, "z:"))
    for n in BLOCKED:
        os.mkdir(os.path.join(dosdevices, f"com{n}"))
    start = time.monotonic()
    wine(prefix, "wineboot", "-i")
    for com, device in ports.items():
        wine(prefix, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", com, "/d", device, "/f")
    # The system's environment: Wine gives it every program of the prefix,
    # over the one it was started with.
    for name, value in (("VEXIL_POWER_COMMAND", agent.windows_path(recorder)),
                        ("VEXIL_POWER_LOG", agent.windows_path(os.path.join(prefix, "power.log")))):
        wine(prefix, "reg", "add", SESSION_ENVIRONMENT, "/v", name, "/d", value, "/f")
    subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=prefix), check=True)
    for com in ports:
        os.rmdir(os.path.join(dosdevices, com.lower()))
    check_ports(prefix, set(ports.values()))
    with open(os.path.join(prefix, "vexil-test-ports"), "w") as f:
        f.write("".join(f"{device}\n" for device in ports.values()))
    print(f"run.py: Wine prefix {prefix} ready in {time.monotonic() - start:.1f} s; "
          + ", ".join(f"{c} = {d}" for c, d in ports.items()), flush=True)
    return prefix


def without_port(prefix, com, ports):
    """Takes a COM name out of the stopped prefix: its mapping goes and its
    name is blocked again."""
    reg = os.path.join(prefix, "system.reg")
    with open(reg) as f:
        lines = f.read().split("\n")
    with open(reg, "w") as f:
        f.write("\n".join(l for l in lines if not l.startswith(f'"{com}"=')))
    link = os.path.join(prefix, "dosdevices", com.lower())
    if os.path.islink(link):
        os.unlink(link)
    os.mkdir(link)
    del ports[com]
    with open(os.path.join(prefix, "vexil-test-ports"), "w") as f:
        f.write("".join(f"{device}\n" for device in ports.values()))


class Session:
    """One wineserver for a stretch of the run, Wine's services started."""

    def __init__(self, env, prefix, ports):
        self.env = env
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=env)
        # Wine's own start-up (services, device links) before any test.
        # (No pipes: Wine's services live on and would hold them open.)
        subprocess.run(["packaging/windows/wine-run", "cmd", "/c", "exit"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        check_ports(prefix, set(ports.values()))

    def end(self):
        subprocess.run(["wineserver", "-k"], env=self.env)
        self.server.wait()


class Display:
    """An X server of the run's own (Xvfb, no TCP) for Wine's X11 driver:
    the debug window and the dialogs drawn as on a desktop."""

    def __init__(self):
        read, write = os.pipe()
        self.server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                        "1024x768x24", "-nolisten", "tcp"],
                                       pass_fds=(write,), stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()
        if not number:
            self.server.wait()
            raise SystemExit("run.py: Xvfb did not start")
        self.name = f":{number}"

    def end(self):
        self.server.terminate()
        self.server.wait()


class AgentContext:
    """What agent.py's tests need of the run."""

    def __init__(self, build, prefix, env, ports):
        self.prefix, self.env, self.ports = prefix, env, ports
        package = os.path.join(build, "package")
        self.agent_exe = os.path.abspath(os.path.join(package, "vexil-agent", "vexil-agent.exe"))
        self.msi = next(os.path.join(package, f) for f in os.listdir(package) if f.endswith(".msi"))
        self.log = os.path.join(prefix, "power.log")
        # Where the MSI installs the program, and where the service keeps its log.
        self.installed = os.path.join(prefix, "drive_c", "Program Files", "Vexil")
        self.logs = os.path.join(prefix, "drive_c", "ProgramData", "Vexil")
        self.dialog_shots = os.path.abspath(os.path.join(build, "tools", "dialog-shots.exe"))
        # The locales the dialogs are tried in (Wine takes its own from
        # the Unix one), made for the run: the machine need have none.
        self.locales = os.path.join(prefix, "locales")
        os.makedirs(self.locales, exist_ok=True)
        for name in ("zh_CN", "zh_TW", "de_DE"):
            subprocess.run(["localedef", "-c", "-i", name, "-f", "UTF-8",
                            os.path.join(self.locales, f"{name}.UTF-8")], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The screenshots of the windows, for a person to look at.
        self.shots = os.path.abspath(os.path.join(build, "shots"))
        os.makedirs(self.shots, exist_ok=True)

    def agent_env(self):
        """The packaged program's: no DLL path of the build (the folder must
        hold them all); a new power log."""
        open(self.log, "w").close()
        env = dict(self.env)
        env.pop("WINEPATH", None)
        return env

    def power_log(self):
        with open(self.log) as f:
            return f.read().split()

    def wait_for_power_log(self, wanted, seconds=10):
        end = time.monotonic() + seconds
        while self.power_log() != wanted and time.monotonic() < end:
            time.sleep(0.1)
        agent.check(self.power_log() == wanted, f"power actions {self.power_log()}, not {wanted}")


def run_agent_tests(tests, context):
    failed = 0
    for test in tests:
        start = time.monotonic()
        try:
            test(context)
            result = "Passed"
        except agent.Failed as e:
            result, failed = f"FAILED: {e}", failed + 1
        print(f"agent.py: {test.__name__} ... {result} ({time.monotonic() - start:.1f} s)",
              flush=True)
    return failed


def chosen(tests):
    """The tests VEXIL_WINDOWS_TESTS names (apart by commas), all when it is unset."""
    names = os.environ.get("VEXIL_WINDOWS_TESTS")
    return [t for t in tests if not names or t.__name__ in names.split(",")]


def qt_dlls(build):
    """The folder of the Qt DLLs the build used."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        qt = re.search(r"^Qt6_DIR:PATH=(.*)/lib/cmake/Qt6$", f.read(), re.M).group(1)
    return os.path.join(qt, "bin")


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    build = sys.argv[1]
    cable = NullModem()
    prefix = None
    try:
        ports = {"COM1": cable.names[0], "COM2": cable.names[1]}
        prefix = make_prefix(ports, os.path.join(build, "tests", "power_recorder.exe"))
        modem_dir = os.path.join(prefix, "modem-lines")
        os.mkdir(modem_dir)
        cable.wire_modem_lines(modem_dir)
        # (Wine's programs take the power command from the prefix's
        # environment; this one is for the run's own tools.)
        dlls = MINGW_DLLS + [qt_dlls(build)]
        # (No control socket is served here: the test programs' guard wants
        # one named all the same, never the packaged exporter's.)
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", VEXIL_POWER_COMMAND="/bin/true",
                   VEXIL_CONTROL_SOCKET=os.path.join(prefix, "no-exporter", "control.sock"),
                   WINEPATH=";".join("Z:" + d.replace("/", "\\") for d in dlls),
                   VEXIL_MODEM_DIR=modem_dir,
                   LD_PRELOAD=os.path.abspath(os.path.join(build, "modem_shim.so")))
        context = AgentContext(build, prefix, env, dict(ports))
        session = Session(env, prefix, ports)
        try:
            rc = subprocess.run(["ctest", "--test-dir", build, "--output-on-failure",
                                 *sys.argv[2:]], env=env).returncode
            agent.prepare(context)
            tests = chosen(agent.TESTS) + chosen(agent.ON_A_DESKTOP) + chosen(agent.WITHOUT_COM2)
            failed = run_agent_tests(chosen(agent.TESTS), context)
        finally:
            session.end()
        if chosen(agent.ON_A_DESKTOP):
            # A session of its own, every program of it on the X server:
            # the others run without a display, as a service does.
            display = Display()
            context.env = dict(env, DISPLAY=display.name)
            session = Session(context.env, prefix, ports)
            # Windows draw their own frames, as on Windows (there is no
            # window manager to draw them).
            subprocess.run(["packaging/windows/wine-run", "reg", "add",
                            "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
                           env=context.env, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            # Their titles in Chinese too, as on a Windows with the language
            # installed: the frame's font falls back to the CJK one.
            subprocess.run(["packaging/windows/wine-run", "reg", "add",
                            "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink"
                            "\\SystemLink", "/v", "Tahoma", "/t", "REG_MULTI_SZ", "/d",
                            "wqy-microhei.ttc,WenQuanYi Micro Hei", "/f"],
                           env=context.env, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            try:
                failed += run_agent_tests(chosen(agent.ON_A_DESKTOP), context)
            finally:
                session.end()
                display.end()
                context.env = env
            print(f"run.py: the windows' screenshots are in {context.shots}", flush=True)
        without_port(prefix, "COM2", ports)
        session = Session(env, prefix, ports)
        try:
            failed += run_agent_tests(chosen(agent.WITHOUT_COM2), context)
        finally:
            session.end()
        print(f"agent.py: {failed} of {len(tests)} failed")
        return rc or (1 if failed else 0)
    finally:
        cable.close()
        if prefix:
            shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
