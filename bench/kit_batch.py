#!/usr/bin/python3
"""Benchmark of `vordakit batch`: station-runs per second and the toolkit's overhead per run.

Makes N stations (default 200) from the real daily series in $VORDA_SHARED_DATA (default ../shared/data),
each a shifted and scaled copy (x' = a x + b, one decimal), with two rows each
in the station list (an upper and a lower threshold, shifted with the
station), so 2 N runs of vorda. Then:

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

Usage: bench/kit_batch.py [--stations N] [--vorda PATH] [--jobs 1,2] [--engines process,library] [--work DIR]
                          [--plots-only]
With --plots-only, only step 3 (and the stations it needs).
The stations' files take about 2 MB each; they go to a temporary folder that is
removed at the end unless --work is given.
"""

import argparse
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

from vordakit import batch, engine, runner, thresholds  # noqa: E402

SERIES = pathlib.Path(os.environ.get("VORDA_SHARED_DATA") or ROOT.parent / "shared" / "data") / "cet-daily-mean.txt"


def make_stations(folder, count, seed=1):
    """Shifted and scaled copies of the real series, and their station list."""
    with open(SERIES) as f:
        rows = [line.split() for line in f if line.strip()]
    prefix = [" ".join(r[:4]) + " " for r in rows]
    values = [float(r[4]) for r in rows]
    rng = random.Random(seed)
    lines = ["file\tname\ttype\tthreshold\tmin_duration"]
    for k in range(count):
        a, b = rng.uniform(0.8, 1.2), rng.uniform(-3.0, 3.0)
        name = f"st{k:03d}"
        path = folder / f"{name}.txt"
        with open(path, "w") as f:
            f.write("\n".join(p + f"{a * x + b:.1f}" for p, x in zip(prefix, values)))
            f.write("\n")
        lines.append(f"{path.name}\t{name}\tupper\t{18.0 + b:.1f}\t3")
        lines.append(f"{path.name}\t{name}\tlower\t{0.0 + b:.1f}\t3")
    (folder / "stations.tsv").write_text("\n".join(lines) + "\n")
    return folder / "stations.tsv", len(rows)


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


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stations", type=int, default=200)
    ap.add_argument("--vorda")
    ap.add_argument("--jobs", help="comma-separated worker counts (default 1 .. cores)")
    ap.add_argument("--engines", default="process,library", help="engines to compare (default: both)")
    ap.add_argument("--work", help="keep the generated stations in this folder")
    ap.add_argument("--plots-only", action="store_true", help="only the batch with plots, on ten stations")
    args = ap.parse_args()
    if not SERIES.is_file():
        sys.exit(f"the real series is not at {SERIES}")
    vorda = runner.find_vorda(args.vorda)
    cores = os.cpu_count() or 1
    jobs = [int(j) for j in args.jobs.split(",")] if args.jobs else list(range(1, cores + 1))
    work = pathlib.Path(args.work) if args.work else pathlib.Path(tempfile.mkdtemp(prefix="kit-bench-"))
    work.mkdir(parents=True, exist_ok=True)
    try:
        t0 = time.perf_counter()
        listing, size = make_stations(work, min(args.stations, 10) if args.plots_only else args.stations)
        stations = batch.read_station_list(listing)
        runs = sum(len(st.rows) for st in stations)
        print(f"{len(stations)} stations of {size} records, {runs} runs "
              f"(made in {time.perf_counter() - t0:.1f} s); vorda {vorda}; {cores} cores, "
              f"load average {os.getloadavg()[0]:.1f}")

        if args.plots_only:
            for name in args.engines.split(","):
                _plots(name, stations, work, vorda)
            return
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
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


def _engine(name, stations, runs, work, vorda, own, own_cpu, jobs):
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
