#!/usr/bin/python3
"""Same results before and after a change of the toolkit: capture a fixed set of runs, compare two captures.

    bench/kit_outputs.py capture REPO_DIR OUT_DIR    # the runs with the toolkit of REPO_DIR, kept in OUT_DIR
    bench/kit_outputs.py compare BEFORE_DIR AFTER_DIR
    bench/kit_outputs.py run BEFORE_REV [AFTER_REV]  # both, from git worktrees (after: the working tree)

The runs: station runs with fixed and percentile thresholds (with and without
bootstrap) on each engine, each followed by tidy and trend; a batch of mixed
station layouts with percentile rows on each engine; grids with a fixed and a
percentile threshold with --events, and trend of their output. The real series
($VORDA_SHARED_DATA/cet-daily-mean.txt) joins in where it is present. Both sides
use $VORDA and $VORDA_BINDING_DIR, else the build of REPO_DIR (for run: of this
repository), since the core is not what is being compared.

A capture holds each case's folder as the toolkit left it, with the standard
output and error of each step, and steps.txt, each step's command and exit
status. compare checks that result files (.dat), analysed inputs (.txt) and
steps.txt are byte-identical, that every CSV column of before holds the same
values after, and that every NetCDF variable of before holds the same values
after; new files, columns and variables are fine, run descriptions (.json),
pictures and message texts are not compared.
"""

import csv
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
from datetime import date, timedelta
from pathlib import Path

PYTHON = "/usr/bin/python3"
HERE = Path(__file__).resolve().parent.parent
SAMPLES = "python/tests/data"
# Files whose words are messages, free to change; everything else of these kinds is data.
MESSAGE_FILES = {"warnings.txt", "error.txt", "done.txt"}
# CSV columns that are messages or timings rather than results.
FREE_COLUMNS = {"summary.csv": {"reason", "seconds"}, "qc.csv": {"detail"}}
WORK_MARK = "$WORK"  # stands for a capture's own temporary folder in the paths the tables record


# ---------------------------------------------------------------- inputs

def days(first, last):
    d = first
    while d <= last:
        yield d
        d += timedelta(days=1)


def make_series(first, last, seed):
    """A daily mean temperature with one decimal: a seasonal cycle, a slow warming and noise."""
    rng = random.Random(seed)
    out = []
    for i, d in enumerate(days(first, last)):
        season = 10 - 8 * math.cos(2 * math.pi * (d.timetuple().tm_yday - 15) / 365.25)
        out.append((d, round(season + i * 0.0002 + rng.gauss(0, 3), 1)))
    return out


def write_inputs(data):
    """The generated station files, one per layout, of one series; the VORDA input's first and last years are
    partial (no last frost day in its first year), the others start on 1 January."""
    series = make_series(date(1990, 3, 1), date(2010, 9, 30), seed=7)
    with open(data / "gen.txt", "w") as f:
        f.writelines(f"{t} {d.day} {d.month} {d.year} {x:.1f}\n" for t, (d, x) in enumerate(series, 1))
    head = (Path(HERE, SAMPLES, "eca_tg.txt").read_text().split("STAID, SOUID")[0])
    with open(data / "eca.txt", "w") as f:
        f.write(head + "STAID, SOUID,    DATE,   TG, Q_TG\n")
        f.writelines(f"99999,123456,{d:%Y%m%d},{round(x * 10):5d},    0\n" for d, x in series if d.year >= 1991)
    with open(data / "table.csv", "w") as f:
        f.write("date,tg\n")
        f.writelines(f"{d:%Y-%m-%d},{x:.1f}\n" for d, x in series[:3000])
    rng = random.Random(11)
    with open(data / "station6.txt", "w") as f:
        f.writelines(f"{d.year}\t{d.month}\t{d.day}\t{max(0.0, rng.gauss(1, 3)):.1f}\t{x + 4:.1f}\t{x - 4:.1f}\n"
                     for d, x in series if d.year >= 1993)
    write_grid(data / "grid.nc")


def write_grid(path):
    """6 x 5 cells of 1991-2002 in float32 with one decimal; one cell all missing, one with a 3-day gap."""
    import netCDF4
    import numpy as np
    rng = np.random.default_rng(3)
    n = (date(2002, 12, 31) - date(1991, 1, 1)).days + 1
    doy = np.arange(n) % 365.25
    x = 10 - 8 * np.cos(2 * np.pi * (doy - 15) / 365.25)
    values = np.round(x[:, None, None] + rng.normal(0, 3, (n, 6, 5)) + np.arange(6)[None, :, None], 1)
    values[:, 0, 0] = np.nan
    values[1000:1003, 2, 3] = np.nan
    with netCDF4.Dataset(path, "w", format="NETCDF4") as ds:
        for name, size in (("time", n), ("lat", 6), ("lon", 5)):
            ds.createDimension(name, size)
        t = ds.createVariable("time", "f8", ("time",))
        t.units, t.calendar, t.standard_name = "days since 1991-01-01", "standard", "time"
        t[:] = np.arange(n)
        for name, start, unit in (("lat", 50.0, "degrees_north"), ("lon", 5.0, "degrees_east")):
            v = ds.createVariable(name, "f8", (name,))
            v.units = unit
            v[:] = start + 0.5 * np.arange(ds.dimensions[name].size)
        v = ds.createVariable("tg", "f4", ("time", "lat", "lon"), fill_value=np.float32(-9999))
        v.units, v.standard_name = "degC", "air_temperature"
        v[:] = np.ma.masked_invalid(values.astype(np.float32))


def station_list(data, real):
    """A batch's rows: generated and sample files of every layout, fixed and percentile rows."""
    s = f"{HERE}/{SAMPLES}"
    rows = [  # file, name, type, threshold, min_duration, column or element, percentile, base, window, bootstrap
        (f"{data}/gen.txt", "gen", "upper", "20.0", "3", "", "", "", "", ""),
        (f"{data}/gen.txt", "gen", "upper", "", "3", "", "90", "1991-2000", "", ""),
        (f"{data}/eca.txt", "eca", "lower", "0.25", "2", "", "", "", "", ""),
        (f"{data}/eca.txt", "eca", "lower", "", "2", "", "10", "1992-2001", "7", "yes"),
        (f"{data}/table.csv", "table", "upper", "16.25", "2", "", "", "", "", ""),
        (f"{data}/station6.txt", "six", "upper", "22.0", "3", "tmax", "", "", "", ""),
        (f"{data}/station6.txt", "six", "lower", "-3.0", "2", "tmin", "", "", "", ""),
        (f"{s}/vorda.txt", "s-vorda", "upper", "1.0", "1", "", "", "", "", ""),
        (f"{s}/table_na.csv", "s-table", "upper", "1.0", "1", "", "", "", "", ""),
        (f"{s}/station6.txt", "s-six", "upper", "12.0", "1", "tmax", "", "", "", ""),
        (f"{s}/ghcn.dly", "s-ghcn", "upper", "10.0", "1", "TMAX", "", "", "", ""),
        (f"{s}/eca_tg.txt", "s-eca", "upper", "1.0", "1", "", "", "", "", ""),
        (f"{s}/cet.txt", "s-cet", "upper", "5.0", "1", "", "", "", "", ""),
    ]
    if real:
        rows.append((real, "real", "upper", "", "6", "", "90", "1961-1990", "", ""))
    lines = ["file\tname\ttype\tthreshold\tmin_duration\tcolumn\telement\tpercentile\tbase\twindow\tbootstrap"]
    for file, name, kind, threshold, dur, series, *rest in rows:
        # GHCN-Daily names its series by element, the other layouts by column.
        picks = ("", series) if file.endswith(".dly") else (series, "")
        lines.append("\t".join((file, name, kind, threshold, dur, *picks, *rest)))
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- cases

def cases(engines, real):
    """(case name, steps): each step is vordakit's arguments; {data} and {real} are filled in when run."""
    out = []
    for eng in engines:
        e = ["--engine", eng] if eng else []
        sfx = f"-{eng}" if eng else ""
        out.append((f"gen{sfx}", [
            ["run", "{data}/gen.txt", "-t", "u", "-x", "20.0", "-d", "3", "-o", "out", *e],
            ["run", "{data}/gen.txt", "-t", "l", "-x", "0.25", "-d", "2", "-o", "out", *e],
            ["run", "{data}/gen.txt", "-t", "u", "--percentile", "90", "--base", "1991-2000", "-d", "3",
             "-o", "out", *e],
            ["tidy", "out"], ["trend", "out"],
            ["trend", "out/yearly.csv", "--keep-partial", "-o", "trend-partial.csv"]]))
        out.append((f"gen-bootstrap{sfx}", [
            ["run", "{data}/gen.txt", "-t", "l", "--percentile", "10", "--base", "1992-2001", "--window", "7",
             "-d", "2", "--bootstrap", "-o", "out", *e],
            ["tidy", "out"], ["trend", "out"]]))
        if real:
            out.append((f"real{sfx}", [
                ["run", "{real}", "-t", "u", "-x", "10.0", "-d", "1", "-o", "out", *e],
                ["run", "{real}", "-t", "l", "-x", "0.0", "-d", "3", "-o", "out", *e],
                ["run", "{real}", "-t", "u", "--percentile", "90", "--base", "1961-1990", "-d", "6",
                 "-o", "out", *e],
                ["tidy", "out"], ["trend", "out"]]))
        out.append((f"batch{sfx}", [
            ["batch", "{data}/stations.tsv", "-o", "out", "-j", "2", "--no-plots", "--no-progress", "--fill", "2",
             *e]]))
    grid = ["grid", "{data}/grid.nc", "-d", "3", "--no-progress", "-j", "2"]
    out.append(("grid-fixed", [[*grid, "-t", "u", "-x", "18.0", "-o", "su.nc", "--events", "events.csv"],
                               ["trend", "su.nc"]]))
    out.append(("grid-percentile", [[*grid, "-t", "l", "--percentile", "10", "--base", "1991-2000", "--fill", "3",
                                     "-o", "cold.nc", "--events", "events.csv"],
                                    ["trend", "cold.nc"]]))
    return out


def toolkit_env(repo):
    env = dict(os.environ, PYTHONPATH=str(Path(repo, "python")), PYTHONDONTWRITEBYTECODE="1")
    for tree in ("release", "test"):
        if "VORDA" not in env and Path(repo, "build", tree, "vorda").is_file():
            env["VORDA"] = str(Path(repo, "build", tree, "vorda"))
        binding = Path(repo, "build", tree, "python", "vordakit")
        if "VORDA_BINDING_DIR" not in env and binding.is_dir():
            env["VORDA_BINDING_DIR"] = str(binding)
    return env


def has_engines(env):
    """Whether this toolkit's run has --engine (an older one computes one way only)."""
    return "--engine" in subprocess.run([PYTHON, "-m", "vordakit", "run", "--help"], env=env,
                                        capture_output=True, text=True).stdout


def capture(repo, out_dir):
    repo, out_dir = Path(repo).resolve(), Path(out_dir).resolve()
    env = toolkit_env(repo)
    shared = os.environ.get("VORDA_SHARED_DATA", str(HERE.parent / "shared" / "data"))
    real = Path(shared, "cet-daily-mean.txt")
    real = str(real) if real.is_file() else ""
    if "VORDA" not in env:
        sys.exit("kit_outputs: no vorda: set VORDA (and VORDA_BINDING_DIR) or build REPO_DIR")
    engines = ["library", "process"] if has_engines(env) else [None]
    shutil.rmtree(out_dir, ignore_errors=True)
    out_dir.mkdir(parents=True)
    with tempfile.TemporaryDirectory(prefix="kit-outputs-") as tmp:
        data = Path(tmp, "data")
        data.mkdir()
        write_inputs(data)
        (data / "stations.tsv").write_text(station_list(data, real))
        (out_dir / ".workdir").write_text(tmp)
        failed = sum(run_case(Path(tmp, name), out_dir / name, steps, env, data, real)
                     for name, steps in cases(engines, real))
    # Every step of the set succeeds on a sound toolkit; failures on both sides would compare as the same.
    note = f", {failed} steps failed (see steps.txt)" if failed else ""
    print(f"captured {len(list(out_dir.iterdir())) - 1} cases of {repo} in {out_dir}{note}", file=sys.stderr)


def run_case(work, keep, steps, env, data, real):
    """Run the steps in a fresh folder, then keep all that they left there; the number that failed."""
    work.mkdir()
    log = []
    for i, step in enumerate(steps, 1):
        argv = [a.format(data=data, real=real) for a in step]
        try:
            r = subprocess.run([PYTHON, "-m", "vordakit", *argv], cwd=work, env=env, capture_output=True,
                               timeout=300)
            status, stdout, stderr = r.returncode, r.stdout, r.stderr
        except subprocess.TimeoutExpired as e:
            status, stdout, stderr = "timeout", e.stdout or b"", e.stderr or b""
        (work / f"step{i}.stdout").write_bytes(stdout)
        (work / f"step{i}.stderr").write_bytes(stderr)
        log.append(f"{' '.join(step)} -> {status}\n")
    (work / "steps.txt").write_text("".join(log))
    shutil.copytree(work, keep, symlinks=True)
    shutil.rmtree(work)
    return sum(not line.endswith(" -> 0\n") for line in log)


# ---------------------------------------------------------------- compare

def kind_of(path):
    """How a file is compared: 'bytes', 'csv', 'netcdf', or None (not compared)."""
    if path.name in MESSAGE_FILES or path.suffix in (".stdout", ".stderr"):
        return None
    return {".dat": "bytes", ".txt": "bytes", ".csv": "csv", ".nc": "netcdf"}.get(path.suffix)


def bytes_differences(b, a):
    if b == a:
        return []
    lines = [i for i, (x, y) in enumerate(zip(b.splitlines(True), a.splitlines(True)), 1) if x != y]
    return [f"bytes differ from line {lines[0]}" if lines else f"{len(b)} bytes -> {len(a)}"]


def read_columns(path, workdir):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    if not rows:
        return {}
    head, body = rows[0], rows[1:]
    return {name: [row[i].replace(workdir, WORK_MARK) if i < len(row) else None for row in body]
            for i, name in enumerate(head)}


def csv_differences(before, after, wb, wa):
    b, a = read_columns(before, wb), read_columns(after, wa)
    free = FREE_COLUMNS.get(before.name, set())
    out = []
    for name, values in b.items():
        if name in free:
            continue
        if name not in a:
            out.append(f"column {name} missing")
        elif values != a[name]:
            rows = [i + 2 for i, (x, y) in enumerate(zip(values, a[name])) if x != y]
            where = f"line {rows[0]}: {values[rows[0] - 2]!r} -> {a[name][rows[0] - 2]!r}" if rows else \
                f"{len(values)} rows -> {len(a[name])}"
            out.append(f"column {name} differs ({where})")
    return out


def netcdf_differences(before, after):
    import numpy as np
    import xarray as xr
    # Times decoded, so that a change of their units is no change; counts of days ("units: days") kept as numbers.
    opts = dict(use_cftime=True, decode_timedelta=False)
    out = []
    with xr.open_dataset(before, **opts) as b, xr.open_dataset(after, **opts) as a:
        for name, var in b.variables.items():
            if name not in a.variables:
                out.append(f"variable {name} missing")
                continue
            x, y = var.values, a.variables[name].values
            floats = x.dtype.kind == "f" and y.dtype.kind == "f"
            if var.dims != a.variables[name].dims or not np.array_equal(x, y, equal_nan=floats):
                out.append(f"variable {name} differs")
    return out


def compare_file(rel, before, after, wb, wa):
    """The differences of one file, as a list of words (empty: the same)."""
    b, a = before / rel, after / rel
    if not a.exists():
        return ["missing after"]
    kind = kind_of(b)
    if kind == "bytes":
        return bytes_differences(b.read_bytes(), a.read_bytes())
    if kind == "csv":
        return csv_differences(b, a, wb, wa)
    return netcdf_differences(b, a)


def compare(before, after):
    before, after = Path(before), Path(after)
    wb, wa = (Path(d, ".workdir").read_text() for d in (before, after))
    files = sorted(p.relative_to(before) for p in before.rglob("*") if p.is_file() and kind_of(p))
    differ = 0
    for rel in files:
        problems = compare_file(rel, before, after, wb, wa)
        differ += bool(problems)
        print(f"{rel}: {'; '.join(problems) if problems else 'identical'}")
    new = sorted(p.relative_to(after) for p in after.rglob("*")
                 if p.is_file() and kind_of(p) and not (before / p.relative_to(after)).exists())
    for rel in new:
        print(f"{rel}: new")
    print(f"{len(files)} files compared, {len(files) - differ} identical, {differ} differ")
    return 1 if differ else 0


# ---------------------------------------------------------------- run

def git(*args, cwd=HERE):
    subprocess.run(["git", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def run(before_rev, after_rev=None):
    """Capture BEFORE_REV and AFTER_REV (default: this working tree) from worktrees, compare, clean up."""
    # Both sides take this repository's core unless the environment names one.
    os.environ.update({k: v for k, v in toolkit_env(HERE).items() if k in ("VORDA", "VORDA_BINDING_DIR")})
    with tempfile.TemporaryDirectory(prefix="kit-compare-") as tmp:
        trees = []
        try:
            sides = []
            for side, rev in (("before", before_rev), ("after", after_rev)):
                tree = HERE
                if rev:
                    tree = Path(tmp, f"tree-{side}")
                    git("worktree", "add", "--detach", str(tree), rev)
                    trees.append(tree)
                capture(tree, Path(tmp, side))
                sides.append(Path(tmp, side))
            return compare(*sides)
        finally:
            for tree in trees:
                git("worktree", "remove", "--force", str(tree))


def main(argv):
    commands = {"capture": (capture, 2), "compare": (compare, 2), "run": (run, (1, 2))}
    if not argv or argv[0] not in commands:
        sys.exit(__doc__)
    func, count = commands[argv[0]]
    if len(argv) - 1 not in (count if isinstance(count, tuple) else (count,)):
        sys.exit(__doc__)
    try:
        return func(*argv[1:]) or 0
    except subprocess.CalledProcessError as e:
        sys.exit(f"kit_outputs: {' '.join(e.cmd)} failed with status {e.returncode}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
