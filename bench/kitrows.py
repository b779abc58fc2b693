"""What the toolkit's benchmarks share: a command timed as a process of its own, and the rows of the
speed table (each printed as `row: figure (aim)` when measured, and all of them in a closing table).

Wall times on a shared machine move with the other work on it, so every row carries the
one-minute load average taken just before it was measured, and the cores that other work kept busy
while it was (the machine's busy time from /proc/stat less this benchmark's own CPU time, over the
wall time): the load average after a row would count the benchmark's own processes.
"""

import os
import subprocess
import sys
import time

PYTHON = "/usr/bin/python3"

# A helper process runs the command alone, so that the children's usage it reports is the command's
# own: CPU time of the whole tree, and the peak resident memory of its largest process.
_PROBE = ("import resource, subprocess, sys, time; s = time.perf_counter(); "
          "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE); "
          "w = time.perf_counter() - s; u = resource.getrusage(resource.RUSAGE_CHILDREN); "
          "print(r.returncode, w, u.ru_utime + u.ru_stime, u.ru_maxrss / 1024); sys.stderr.write(r.stderr.decode())")


class Failed(Exception):
    """A measured command that did not exit with status 0."""


class Timing:
    """Wall and CPU seconds and peak resident MB of one command."""

    def __init__(self, wall, cpu, peak):
        self.wall, self.cpu, self.peak = wall, cpu, peak

    def __str__(self):
        return f"wall {self.wall:7.2f} s  cpu {self.cpu:7.2f} s  peak {self.peak:6.0f} MB"


def measure(cmd, env=None, cwd=None):
    """Run ``cmd`` as a process of its own and return its Timing; Failed with its error output when it fails."""
    r = subprocess.run([PYTHON, "-c", _PROBE, *map(str, cmd)], capture_output=True, text=True, env=env, cwd=cwd)
    status, wall, cpu, peak = r.stdout.split()
    if status != "0":
        raise Failed(f"{' '.join(map(str, cmd))}: exit status {status}: {r.stderr.strip()[-600:]}")
    return Timing(float(wall), float(cpu), float(peak))


def best(cmd, runs, env=None, cwd=None):
    """The fastest of ``runs`` runs (the one least disturbed by other work), each field its own minimum."""
    times = [measure(cmd, env, cwd) for _ in range(runs)]
    return Timing(min(t.wall for t in times), min(t.cpu for t in times), min(t.peak for t in times))


def load():
    return os.getloadavg()[0]


def _busy_seconds():
    """CPU seconds the whole machine has spent busy since boot, or None where /proc/stat is absent."""
    try:
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def _own_seconds():
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


class Watch:
    """The load average when a row's measuring starts, and the other work on the machine while it runs."""

    def __init__(self):
        self.load = load()
        self.start = (time.perf_counter(), _busy_seconds(), _own_seconds())

    def others(self):
        """Cores kept busy by other work since the start (None where it cannot be told)."""
        wall0, busy0, own0 = self.start
        busy, wall = _busy_seconds(), time.perf_counter() - wall0
        if busy is None or busy0 is None or wall <= 0:
            return None
        return max(0.0, (busy - busy0) - (_own_seconds() - own0)) / wall


class Table:
    """The rows measured in one run of a benchmark, printed as they come and again at the end."""

    def __init__(self, title):
        self.title, self.rows = title, []

    def add(self, what, figure, aim, met, watch, note=""):
        """One row, measured since ``watch`` began: ``met`` True, False, or None when the figure could not
        be taken."""
        others = watch.others()
        others = "?" if others is None else f"{others:.2f}"
        self.rows.append((what, figure, aim, met, f"{watch.load:.2f}", others))
        extra = f"; {note}" if note else ""
        print(f"{what}: {figure} (aim {aim})  [load {watch.load:.2f}, other work {others} cores{extra}]",
              flush=True)

    def close(self):
        if not self.rows:
            return
        cells = [("what", "figure", "aim", "met", "load before", "other work (cores)")]
        for what, figure, aim, met, before, others in self.rows:
            cells.append((what, figure, aim, {True: "yes", False: "no", None: "?"}[met], before, others))
        widths = [max(len(row[i]) for row in cells) for i in range(len(cells[0]))]
        print(f"\n{self.title}")
        for n, row in enumerate(cells):
            print("| " + " | ".join(c.ljust(w) for c, w in zip(row, widths)) + " |")
            if n == 0:
                print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        sys.stdout.flush()
