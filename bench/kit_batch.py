#!/usr/bin/python3
"""Benchmark of `vordakit batch`: station-runs per second at the margin, and the toolkit's overhead per run.

By default it reports the batch rows of the toolkit's speed table, each as
`row: figure (aim)` and in a closing table, with the load average before it
and the cores that other work kept busy while it was measured:

- the library engine at -j 1, without plots, with qc: station-runs per second
  at the margin, per core;
- -j 2 against -j 1, at the margin the same way.

"At the margin" is the difference between a batch of N stations and one of 2 N
stations (each `vordakit batch` a process of its own, its output folder
fresh): what one more station's runs cost, with the interpreter's start, the
imports and the pool's start-up cancelled out. Wall time gives the figures;
the CPU time of the process tree is shown beside them, since it moves less
with other work on the machine. --repeat R takes the best of R runs of each
(default 2).

The stations are shifted and scaled copies (x' = a x + b, one decimal) of the
real daily series in $VORDA_SHARED_DATA (default ../shared/data), 91005
days, or synthetic series of as many days where it is absent; each has two
rows in the station list (an upper and a lower threshold, shifted with the
station), so a batch of N stations makes 2 N runs.

With --detail, the earlier in-process report as well:

1. vorda's own time: every run made directly, the five answers piped into the
   process, one after another; the mean per run. The library's own time:
   every run made through the binding in this process, the series read with
   vorda's reader and the result files written; the mean per run.
2. For each engine (process: vorda as a process; library: the binding), the
   batch without plots at -j 1, with and without qc: wall time per run, and
   the overhead per run beyond vorda's own time, split by step.
3. For each engine, the batch with plots at -j 1 on ten stations: seconds per
   station, and of them the plots' (their PNGs and plots.pdf), wall and CPU
   time, per station and per figure; the first station apart, since it builds
   the figures that the others reuse. matplotlib is imported before, timed.
4. For each engine, the batch at -j 1 .. the number of cores: station-runs
   per second.

Usage: bench/kit_batch.py [--quick] [--stations N] [--days D] [--repeat R] [--vorda PATH] [--work DIR]
                          [--detail [--jobs 1,2] [--engines process,library]] [--plots-only]
--quick: 3 and 6 stations of 3653 days, to check the script in seconds (its
figures are not the table's). With --plots-only, only step 3 (and the
stations it needs). The stations' files take about 2 MB each; they go to a
temporary folder that is removed at the end unless --work is given.
"""

import argparse
import datetime
import math
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

import kitrows  # noqa: E402

SERIES = pathlib.Path(os.environ.get("VORDA_SHARED_DATA") or ROOT.parent / "shared" / "data") / "cet-daily-mean.txt"
REAL_DAYS = 91005

# The aims of the toolkit's speed table.
AIM_RATE = 150.0
AIM_GAIN = 1.8


def base_series(days):
    """(the "t d m yr " prefix of each line, the values) of the real series' first ``days`` days, or of a
    synthetic series of that many days from 1 January 1772 (a yearly cycle and day-to-day noise) where
    the real one is absent."""
    if SERIES.is_file():
        with open(SERIES) as f:
            rows = [line.split() for line in f if line.strip()][:days]
        return [" ".join(r[:4]) + " " for r in rows], [float(r[4]) for r in rows], "real"
    rng = random.Random(7)
    first = datetime.date(1772, 1, 1)
    prefix, values = [], []
    for t in range(days):
        d = first + datetime.timedelta(days=t)
        prefix.append(f"{t + 1} {d.day} {d.month} {d.year} ")
        season = -7.0 * math.cos(2 * math.pi * (d.timetuple().tm_yday - 15) / 365.25)
        values.append(round(9.5 + season + rng.gauss(0, 2.5), 1))
    return prefix, values, "synthetic"


def make_stations(folder, count, days, seed=1):
    """``count`` shifted and scaled copies of the base series, and a station list of the first half of
    them and one of all: (small list, large list, days, where the series came from)."""
    prefix, values, origin = base_series(days)
    rng = random.Random(seed)
    lines = []
    for k in range(count):
        a, b = rng.uniform(0.8, 1.2), rng.uniform(-3.0, 3.0)
        name = f"st{k:03d}"
        path = folder / f"{name}.txt"
        with open(path, "w") as f:
            f.write("\n".join(p + f"{a * x + b:.1f}" for p, x in zip(prefix, values)))
            f.write("\n")
        lines.append(f"{path.name}\t{name}\tupper\t{18.0 + b:.1f}\t3")
        lines.append(f"{path.name}\t{name}\tlower\t{0.0 + b:.1f}\t3")
    header = "file\tname\ttype\tthreshold\tmin_duration\n"
    small, large = folder / "stations-half.tsv", folder / "stations.tsv"
    small.write_text(header + "\n".join(lines[:count]) + "\n")
    large.write_text(header + "\n".join(lines) + "\n")
    return small, large, len(prefix), origin


def cpu():
    """CPU seconds of this process and its finished children: less swayed by other jobs than wall time."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def vorda_alone(vorda, stations, size, scratch):
    """Mean wall and CPU seconds per run of vorda itself, answers piped in, in a folder of its own."""
    scratch.mkdir()
    total, runs = 0.0, 0
    c0 = os.times()
    for st in stations:
        link = scratch / f"{st.name}.txt"
        os.symlink(st.file, link)
        for row in st.rows:
            answers = f"{link.name}\n{size}\n{row.type[0]}\n{row.threshold}\n{row.min_duration}\n".encode()
            t0 = time.perf_counter()
            subprocess.run([vorda], input=answers, cwd=scratch, stdout=subprocess.DEVNULL, check=True)
            total += time.perf_counter() - t0
            runs += 1
    c1 = os.times()
    shutil.rmtree(scratch)
    children = c1.children_user + c1.children_system - c0.children_user - c0.children_system
    return total / runs, children / runs


def library_alone(stations, size, scratch):
    """Mean wall and CPU seconds per run through the binding: read with vorda's reader, analyse, write."""
    from vordakit import engine, thresholds
    lib = engine.binding()
    scratch.mkdir()
    total, runs = 0.0, 0
    c0 = cpu()
    for st in stations:
        for row in st.rows:
            t0 = time.perf_counter()
            s = lib.read_series(st.file, size)
            lib.write_results(str(scratch), f"{st.name}.txt", s["t"], s["d"], s["m"], s["yr"], s["x"],
                              row.type, thresholds.threshold_number(row.threshold), int(row.min_duration))
            total += time.perf_counter() - t0
            runs += 1
    c1 = cpu()
    shutil.rmtree(scratch)
    return total / runs, (c1 - c0) / runs


def timed_batch(stations, out, vorda, jobs, opts):
    from vordakit import batch
    t0, c0 = time.perf_counter(), cpu()
    outcomes = batch.run_batch(stations, out, vorda, jobs, opts)
    wall = time.perf_counter() - t0
    timed_batch.cpu = cpu() - c0
    failed = [o.name for o in outcomes if not o.ok]
    if failed:
        sys.exit(f"stations failed: {failed[:5]}; see {out}/summary.csv")
    timed_batch.pngs = sum(1 for _ in out.rglob("*.png"))
    shutil.rmtree(out)
    return wall, outcomes


def batch_command(listing, out, jobs):
    return [kitrows.PYTHON, "-m", "vordakit", "batch", listing, "-o", out, "-j", jobs, "--no-plots",
            "--engine", "library", "--no-progress"]


def timed_cli(listing, out, jobs, env):
    """One `vordakit batch` of ``listing`` as a process, into a fresh folder."""
    shutil.rmtree(out, ignore_errors=True)
    try:
        return kitrows.measure(batch_command(listing, out, jobs), env=env)
    finally:
        shutil.rmtree(out, ignore_errors=True)


def margin(small, large, runs, jobs, repeat, work, env):
    """(runs per wall second, per CPU second, the Watch of the measuring) of the runs that the large list adds to the
    small one; the best of ``repeat`` batches of each, taken in turns."""
    watch = kitrows.Watch()
    times = {small: [], large: []}
    for _ in range(repeat):
        for listing in (small, large):
            times[listing].append(timed_cli(listing, work / "out", jobs, env))
    (ws, cs), (wl, cl) = ((min(t.wall for t in times[x]), min(t.cpu for t in times[x])) for x in (small, large))
    print(f"  -j {jobs}: {runs[small]} runs {ws:.2f} s ({cs:.2f} s CPU), {runs[large]} runs {wl:.2f} s "
          f"({cl:.2f} s CPU)", flush=True)
    extra = runs[large] - runs[small]
    rate = extra / (wl - ws) if wl > ws else None
    cpu_rate = extra / (cl - cs) if cl > cs else None
    return rate, cpu_rate, watch


def warm_up(large, work, env):
    """A batch of the first station, untimed: the first batch timed should not pay alone for reading the
    interpreter's, the libraries' and the binding's files into the cache."""
    lines = large.read_text().splitlines(keepends=True)
    one = work / "stations-warm.tsv"
    one.write_text("".join(lines[:3]))
    timed_cli(one, work / "out", 1, env)


def table_rows(small, large, runs, args, env, work):
    """The batch rows of the speed table."""
    warm_up(large, work, env)
    count, days = runs[small] // 2, args.days_made
    table = kitrows.Table(f"batch rows ({count} against {2 * count} stations of {days} days, library engine, "
                          f"--no-plots, with qc)")
    one, one_cpu, watch1 = margin(small, large, runs, 1, args.repeat, work, env)
    if one is None:
        table.add("batch -j 1 at the margin", "not measurable (the larger batch was not slower)",
                  f">= {AIM_RATE:g}", None, watch1)
    else:
        cpu = f"{one_cpu:.1f} per CPU second" if one_cpu else "CPU difference not positive"
        table.add("batch -j 1 at the margin", f"{one:.1f} station-runs/s per core",
                  f">= {AIM_RATE:g}", one >= AIM_RATE, watch1, cpu)
    two, _, watch2 = margin(small, large, runs, 2, args.repeat, work, env)
    if one is None or two is None:
        table.add("batch -j 2 against -j 1", "not measurable", f">= {AIM_GAIN:g}x", None, watch2)
    else:
        table.add("batch -j 2 against -j 1", f"{two / one:.2f}x", f">= {AIM_GAIN:g}x", two / one >= AIM_GAIN,
                  watch2, f"-j 2 {two:.1f} station-runs/s, {two / 2:.1f} per core")
    table.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="3 and 6 stations of 3653 days: checks the script")
    ap.add_argument("--stations", type=int, help="N: batches of N and 2 N stations (default 100)")
    ap.add_argument("--days", type=int, help=f"days of each station (default {REAL_DAYS}, the real series)")
    ap.add_argument("--repeat", type=int, default=2, help="best of R batches of each size (default 2)")
    ap.add_argument("--vorda")
    ap.add_argument("--detail", action="store_true", help="also the in-process report by engine and step")
    ap.add_argument("--jobs", help="with --detail: comma-separated worker counts (default 1 .. cores)")
    ap.add_argument("--engines", default="process,library", help="with --detail: engines to compare (default: both)")
    ap.add_argument("--work", help="keep the generated stations in this folder")
    ap.add_argument("--plots-only", action="store_true", help="only the batch with plots, on ten stations")
    args = ap.parse_args()
    count = args.stations or (3 if args.quick else 100)
    days = args.days or (3653 if args.quick else REAL_DAYS)
    if count < 1 or days < 1 or args.repeat < 1:
        sys.exit("kit_batch: --stations, --days and --repeat must be at least 1")
    from vordakit import runner
    vorda = runner.find_vorda(args.vorda)
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"), VORDA=str(vorda))
    cores = os.cpu_count() or 1
    start_load = kitrows.load()
    work = pathlib.Path(args.work) if args.work else pathlib.Path(tempfile.mkdtemp(prefix="kit-bench-"))
    work.mkdir(parents=True, exist_ok=True)
    try:
        t0 = time.perf_counter()
        if args.plots_only:
            count = min(count, 10)
        small, large, size, origin = make_stations(work, 2 * count, days)
        runs = {small: 2 * count, large: 4 * count}
        args.days_made = size
        print(f"batches of {count} and {2 * count} stations of {size} days ({origin} series), two runs each "
              f"(made in {time.perf_counter() - t0:.1f} s); vorda {vorda}; {cores} cores, "
              f"load average {start_load:.2f} at the start", flush=True)
        if args.plots_only:
            _plots_only(large, work, vorda, args)
            return
        table_rows(small, large, runs, args, env, work)
        if args.detail:
            detail(large, size, work, vorda, args, cores)
    except kitrows.Failed as e:
        sys.exit(f"kit_batch: {e}")
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


def _plots_only(listing, work, vorda, args):
    from vordakit import batch
    stations = batch.read_station_list(listing)
    for name in args.engines.split(","):
        _plots(name, stations, work, vorda)


def detail(listing, size, work, vorda, args, cores):
    """The earlier report: vorda and the library alone, each engine's batch by step, plots, worker counts."""
    from vordakit import batch, engine
    stations = batch.read_station_list(listing)
    runs = sum(len(st.rows) for st in stations)
    jobs = [int(j) for j in args.jobs.split(",")] if args.jobs else list(range(1, cores + 1))
    print(f"\ndetail: {len(stations)} stations, {runs} runs in this process")
    own, own_cpu = vorda_alone(vorda, stations, size, work / "alone")
    print(f"vorda alone: {1000 * own:.1f} ms per run, {1000 * own_cpu:.1f} ms CPU")
    engines = args.engines.split(",")
    if "library" in engines:
        if engine.binding() is None:
            sys.exit("the binding is not built: build it, or give --engines process")
        lib_own, lib_cpu = library_alone(stations, size, work / "alone")
        print(f"library alone (read, analyse, write): {1000 * lib_own:.1f} ms per run, "
              f"{1000 * lib_cpu:.1f} ms CPU")
    for name in engines:
        _engine(name, stations, runs, work, vorda, own, own_cpu, jobs)


def _engine(name, stations, runs, work, vorda, own, own_cpu, jobs):
    from vordakit import batch
    walls = {}
    for label, opts in (("with qc", batch.Options(plots=False, engine=name)),
                        ("without qc", batch.Options(plots=False, qc=False, engine=name))):
        wall, outcomes = timed_batch(stations, work / "out", vorda, 1, opts)
        walls[label] = wall
        per_run = wall / runs
        steps = {}
        for o in outcomes:
            for k, v in o.step_seconds.items():
                steps[k] = steps.get(k, 0.0) + v
        runs_in_batch = sum(o.vorda_seconds for o in outcomes) / runs
        split = ", ".join(f"{k} {1000 * v / runs:.1f}" for k, v in steps.items() if v > 0)
        print(f"{name}: batch -j 1 {label}: {1000 * per_run:.1f} ms per run, overhead beyond vorda "
              f"{1000 * (per_run - own):.1f} ms per run ({(per_run - own) / own:.2f} x vorda's own time); "
              f"the runs themselves {1000 * runs_in_batch:.1f} ms, the batch {per_run / runs_in_batch:.2f} x "
              f"that; per run by step (ms): {split}; "
              f"CPU {1000 * timed_batch.cpu / runs:.1f} ms per run, "
              f"{1000 * (timed_batch.cpu / runs - own_cpu):.1f} ms beyond vorda's "
              f"({(timed_batch.cpu / runs - own_cpu) / own_cpu:.2f} x)")

    _plots(name, stations, work, vorda)

    for j in jobs:
        if j == 1:
            wall = walls["with qc"]
        else:
            wall, _ = timed_batch(stations, work / "out", vorda, j, batch.Options(plots=False, engine=name))
        print(f"{name}: batch -j {j} with qc: {wall:.1f} s, {runs / wall:.1f} station-runs per second")


def _plots(name, stations, work, vorda):
    """The batch with plots on a few stations, since they cost far more than the rest: wall time
    of the batch's plot step, and CPU time of its drawing and writing (in this process at -j 1)."""
    from vordakit import batch
    t0 = time.perf_counter()
    from vordakit import plot
    if not hasattr(plot, "cpu"):
        print(f"importing matplotlib and the plots: {time.perf_counter() - t0:.2f} s, once per process")
        plot.cpu = []
        drawing = plot.plot_results

        def timed(*args, **kwargs):
            c0 = time.process_time()
            try:
                return drawing(*args, **kwargs)
            finally:
                plot.cpu.append(time.process_time() - c0)
        plot.plot_results = timed
    plot.cpu.clear()
    few = stations[:min(10, len(stations))]
    wall, outcomes = timed_batch(few, work / "plots", vorda, 1, batch.Options(engine=name))
    plots = [o.step_seconds.get("plot", 0.0) for o in outcomes]
    per_station = sum(plots) / len(few)
    figures = timed_batch.pngs / len(few)
    rest = ""
    if len(few) > 1:
        later, later_cpu = sum(plots[1:]) / (len(few) - 1), sum(plot.cpu[1:]) / (len(few) - 1)
        rest = (f"; the first station {plots[0]:.2f} s (building the figures the others reuse), "
                f"each later one {later:.3f} s, {1000 * later / figures:.0f} ms per figure "
                f"({1000 * later_cpu / figures:.0f} ms CPU)")
    print(f"{name}: batch -j 1 with qc and plots, {len(few)} stations, {figures:g} figures each: "
          f"{wall / len(few):.2f} s per station, of which plots {per_station:.3f} s per station "
          f"({sum(plot.cpu) / len(few):.3f} s CPU), {1000 * per_station / figures:.0f} ms per figure{rest}; "
          f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
