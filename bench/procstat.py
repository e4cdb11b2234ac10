"""Figures of a running process from /proc: CPU seconds, wake-ups (context
switches of all its threads, by thread name) and peak memory."""
import os


def cpu_seconds(pid):
    """Time on a CPU of all the process's threads, from the scheduler's own
    nanosecond count (schedstat): the 10 ms ticks of stat read 0 for a
    process that only wakes now and then."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            continue  # the thread ended meanwhile
    return total / 1e9


def cpu_by_thread(pid):
    """CPU seconds so far, by thread name, from schedstat as above."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            continue
        out[name] = out.get(name, 0) + ns / 1e9
    return out


def switches(pid):
    """Context switches so far, by thread name (summed over threads of one
    name), as two dicts read in one pass: all of them, and the voluntary ones
    alone (the sleeps a thread ended, without the times the scheduler took
    the core from it)."""
    total, voluntary = {}, {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                counts = {l.split(":")[0]: int(l.split(":")[1]) for l in f if "ctxt_switches:" in l}
        except FileNotFoundError:
            continue  # the thread ended meanwhile
        vol = counts.get("voluntary_ctxt_switches", 0)
        total[name] = total.get(name, 0) + vol + counts.get("nonvoluntary_ctxt_switches", 0)
        voluntary[name] = voluntary.get(name, 0) + vol
    return total, voluntary


def peak_rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


class Window:
    """CPU and wake-ups of a process between start() and stop()."""

    def __init__(self, pid):
        self.pid = pid

    def start(self):
        self.cpu0 = cpu_seconds(self.pid)
        self.sw0, self.vol0 = switches(self.pid)
        self.tc0 = cpu_by_thread(self.pid)

    def stop(self, seconds):
        cpu = cpu_seconds(self.pid) - self.cpu0
        sw, vol = switches(self.pid)
        self.per_thread = {k: v - self.sw0.get(k, 0) for k, v in sw.items()}
        self.voluntary_per_thread = {k: v - self.vol0.get(k, 0) for k, v in vol.items()}
        self.cpu_per_thread = {k: v - self.tc0.get(k, 0)
                               for k, v in cpu_by_thread(self.pid).items()}
        self.cpu_percent = 100 * cpu / seconds
        self.wakeups = sum(self.per_thread.values()) / seconds
        self.voluntary = sum(self.voluntary_per_thread.values()) / seconds
        return self
