"""What the toolkit's benchmarks share: a command timed as a process of its own, and the rows of the
speed table (each printed as `row: figure (aim)` when measured, and all of them in a closing table).

Wall times on a shared machine move with the other work on it, so every row carries the
one-minute load average taken just before it was measured and just after.
"""

import os
import subprocess
import sys

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


class Table:
    """The rows measured in one run of a benchmark, printed as they come and again at the end."""

    def __init__(self, title):
        self.title, self.rows = title, []

    def add(self, what, figure, aim, met, load_before, note=""):
        """One row: ``met`` True, False, or None when the figure could not be taken. Its load is the one
        before it was measured and the one now, after: a rise between them is other work starting."""
        loads = f"{load_before:.2f} to {load():.2f}"
        self.rows.append((what, figure, aim, met, loads))
        extra = f"; {note}" if note else ""
        print(f"{what}: {figure} (aim {aim})  [load {loads}{extra}]", flush=True)

    def close(self):
        if not self.rows:
            return
        cells = [("what", "figure", "aim", "met", "load")]
        for what, figure, aim, met, loads in self.rows:
            cells.append((what, figure, aim, {True: "yes", False: "no", None: "?"}[met], loads))
        widths = [max(len(row[i]) for row in cells) for i in range(5)]
        print(f"\n{self.title}")
        for n, row in enumerate(cells):
            print("| " + " | ".join(c.ljust(w) for c, w in zip(row, widths)) + " |")
            if n == 0:
                print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        sys.stdout.flush()
