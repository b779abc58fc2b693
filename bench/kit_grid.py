#!/usr/bin/python3
"""Benchmark of `vordakit grid`: the grid rows of the toolkit's speed table, with cdo beside it.

Makes its own grids from the real daily series in $VORDA_SHARED_DATA (default
../shared/data; a synthetic series where it is absent): the last 30 whole
years, one float32 value per cell and day in kelvin, each cell the series plus
a cell offset and noise (one decimal in degC), and reports, each as
`row: figure (aim)` with the load average before it and the cores that other
work kept busy while it was measured, and in a closing table:

- 64 x 64 cells (about 180 MB): `vordakit grid --units degC -x 20` (all yearly
  indices and the event summary, --events too) at -j 2, against Debian's
  `cdo eca_su,20,freq=year` (one index, the days above 20 degC of data in K)
  on the same file, whose counts must equal ndays;
- the same with a percentile threshold (the 90th, base the first 10 years)
  against the fixed threshold, and at -j 2 against -j 1;
- with --big, a file of about 2.2 GB of values (made once in the work folder,
  which must have room; it takes about 20 s): the peak memory of the
  percentile grid and of the fixed grid at -j 2;
- `vordakit --help` against a bare `/usr/bin/python3 -c pass`, the best of
  several runs of each.

Besides the rows: the fixed grid at -j 1 and an xarray groupby count of the
days above the threshold (one index). Each command runs as a process of its
own; its wall time, the CPU time of its process tree and its peak resident
memory (the largest process of the tree, as the kernel counts it) are given.
--repeat R takes the best of R runs of each grid command.

--quick: 16 x 16 cells of 12 years (and 20 MB with --big), to check the script
in seconds; its figures are not the table's. --work DIR keeps the grids there
and reuses them in later runs (the 2.2 GB file is slow to make).

Usage: bench/kit_grid.py [--quick] [--big [--big-gb 2.2]] [--repeat R] [--work DIR] [--write-only FILE]
--write-only FILE only writes the 64 x 64 grid, in degC, to FILE (as the README's example uses it).
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

import kitrows  # noqa: E402

SERIES = pathlib.Path(os.environ.get("VORDA_SHARED_DATA") or ROOT.parent / "shared" / "data") / "cet-daily-mean.txt"
PYTHON = kitrows.PYTHON

# The aims of the toolkit's speed table.
AIM_CDO = 1.0          # the fixed grid's time over cdo's, at most
AIM_PERCENTILE = 2.0   # the percentile grid's time over the fixed grid's, at most
AIM_PCT_GAIN = 1.6     # the percentile grid at -j 1 over -j 2, at least
AIM_PEAK_GB = 1.0      # peak memory on the large file, below
AIM_HELP = 4.0         # `vordakit --help` over a bare interpreter, at most
KELVIN = 273.15


def last_years(years=30):
    """(years, months, days, values) of the last ``years`` whole years of the real series, or of a
    synthetic series (a yearly cycle and day-to-day noise, one decimal) ending in 2020 where it is absent."""
    if not SERIES.is_file():
        first = np.datetime64(f"{2021 - years}-01-01")
        dates = np.arange(first, np.datetime64("2021-01-01"))
        yr = dates.astype("datetime64[Y]").astype(int) + 1970
        m = dates.astype("datetime64[M]").astype(int) % 12 + 1
        d = (dates - dates.astype("datetime64[M]")).astype(int) + 1
        doy = (dates - dates.astype("datetime64[Y]")).astype(int)
        x = 9.5 - 7.0 * np.cos(2 * np.pi * (doy - 15) / 365.25) + np.random.default_rng(7).normal(0, 2.5, len(doy))
        return yr, m, d, np.round(x, 1)
    data = np.loadtxt(SERIES, dtype=np.float64)
    yr = data[:, 3].astype(int)
    last = yr.max() if ((yr == yr.max()) & (data[:, 2] == 12) & (data[:, 1] == 31)).any() else yr.max() - 1
    keep = (yr > last - years) & (yr <= last)
    return data[keep, 3].astype(int), data[keep, 2].astype(int), data[keep, 1].astype(int), data[keep, 4]


def write_grid(path, series, ny, nx, seed=1, kelvin=False):
    """A CF file of ny x nx cells (values of one decimal in degC, in K with ``kelvin``), written a band of
    rows at a time so that memory stays small; written under a temporary name, so that a file of that name
    is always whole."""
    tmp = pathlib.Path(f"{path}.part")
    import netCDF4
    yr, m, d, x = series
    rng = np.random.default_rng(seed)
    with netCDF4.Dataset(tmp, "w", format="NETCDF4") as ds:
        ds.createDimension("time", len(x))
        ds.createDimension("lat", ny)
        ds.createDimension("lon", nx)
        t = ds.createVariable("time", "f8", ("time",))
        t.units, t.calendar, t.standard_name = f"days since {yr[0]}-01-01", "standard", "time"
        t[:] = np.arange(len(x))
        lat = ds.createVariable("lat", "f8", ("lat",))
        lat.units, lat.standard_name = "degrees_north", "latitude"
        lat[:] = 40 + 0.25 * np.arange(ny)
        lon = ds.createVariable("lon", "f8", ("lon",))
        lon.units, lon.standard_name = "degrees_east", "longitude"
        lon[:] = -10 + 0.25 * np.arange(nx)
        v = ds.createVariable("tg", "f4", ("time", "lat", "lon"), chunksizes=(len(x), 8, 8))
        v.units, v.standard_name = ("K" if kelvin else "degC"), "air_temperature"
        band = max(1, min(ny, (256 << 20) // (len(x) * nx * 8)))
        for a in range(0, ny, band):
            b = min(ny, a + band)
            # Cooler to the north and inland, as a map would be, plus a little of each cell's own.
            i, j = np.meshgrid(np.arange(a, b), np.arange(nx), indexing="ij")
            offset = 3 - 6 * i / ny + 1.5 * np.cos(2 * np.pi * j / nx) + rng.normal(0, 0.3, (b - a, nx))
            noise = rng.normal(0, 1.0, (len(x), b - a, nx)).astype(np.float32)
            values = np.round(x[:, None, None] + offset[None] + noise, 1)
            v[:, a:b, :] = (values + KELVIN if kelvin else values).astype(np.float32)
    os.replace(tmp, path)
    return os.path.getsize(path)


def grid(path, kelvin, series, side, seed, reuse):
    """The grid file at ``path``, made unless ``reuse`` and it is there already; its size in bytes."""
    if reuse and path.is_file():
        return path.stat().st_size
    return write_grid(path, series, side, side, seed=seed, kelvin=kelvin)


def kit(*args):
    return [PYTHON, "-m", "vordakit", *map(str, args)]


GROUPBY = """
import sys, xarray as xr
ds = xr.open_dataset(sys.argv[1])
n = (ds["tg"] > float(sys.argv[2])).groupby("time.year").sum("time")
n.to_netcdf(sys.argv[3])
"""


class Bench:
    """The grid commands of one run, timed, each the best of ``repeat``."""

    def __init__(self, work, repeat, threshold, base):
        self.work, self.repeat, self.threshold, self.base = work, repeat, threshold, base

    def run(self, cmd, label, cells):
        t = kitrows.best(cmd, self.repeat)
        print(f"  {label:<56} {t}  {cells / t.wall:8.0f} cells/s", flush=True)
        return t

    def grid(self, path, jobs, cells, percentile=False, events=True, big=False, keep=None):
        """`vordakit grid` of ``path`` at ``jobs`` threads: every index and the yearly event summary, and with
        ``events`` every event to CSV (--events); its output NetCDF file is moved to ``keep`` when given."""
        out = self.work / f"out{'-big' if big else ''}-{'pct' if percentile else 'fix'}-j{jobs}"
        threshold = (["--percentile", 90, "--base", self.base] if percentile else ["-x", self.threshold])
        cmd = kit("grid", path, "--units", "degC", "-t", "upper", *threshold, "-d", 3, "-o", f"{out}.nc",
                  *(["--events", f"{out}.csv"] if events else []), "-j", jobs, "--no-progress")
        what = f"percentile 90, base {self.base}" if percentile else f"-x {self.threshold}"
        label = f"vordakit grid{' (big)' if big else ''} -j {jobs} {what}{' --events' if events else ''}"
        try:
            return self.run(cmd, label, cells)
        finally:
            if keep and os.path.exists(f"{out}.nc"):
                os.replace(f"{out}.nc", keep)
            for f in (f"{out}.nc", f"{out}.csv"):
                pathlib.Path(f).unlink(missing_ok=True)


def warm_up():
    """Read the interpreter's, the libraries' and cdo's files once before anything is timed, so that the
    first command timed does not pay for a cold file cache that the later ones do not."""
    warm = "import numpy, xarray, dask, netCDF4, cftime, vordakit.cli, vordakit.grid"
    subprocess.run([PYTHON, "-c", warm], capture_output=True)
    if shutil.which("cdo"):
        subprocess.run(["cdo", "--version"], capture_output=True)


def small_rows(table, bench, path, cells):
    """The rows of the small grid: against cdo, percentile against fixed, percentile -j 2 against -j 1."""
    warm_up()
    watch = kitrows.Watch()
    ours = bench.work / "ndays.nc"
    fixed2 = bench.grid(path, 2, cells, keep=ours)
    bench.grid(path, 1, cells)
    if shutil.which("cdo"):
        su = bench.work / "su.nc"
        cdo = bench.run(["cdo", "-s", f"eca_su,{bench.threshold},freq=year", path, su],
                        f"cdo eca_su,{bench.threshold},freq=year (1 index)", cells)
        same = compare_cdo(su, ours)
        su.unlink()
        # The yearly event summary is in the NetCDF file already: --events adds every event as CSV.
        bare = bench.grid(path, 2, cells, events=False)
        ratio = fixed2.wall / cdo.wall
        table.add("grid -j 2 --events against cdo eca_su", f"{ratio:.2f}x cdo's time", f"<= {AIM_CDO:g}x",
                  ratio <= AIM_CDO, watch, f"{fixed2.wall:.2f} s against {cdo.wall:.2f} s; without --events "
                  f"{bare.wall:.2f} s, {bare.wall / cdo.wall:.2f}x; cdo's counts {'equal' if same else 'DIFFER FROM'} "
                  f"ndays")
    else:
        table.add("grid -j 2 against cdo eca_su", "not measured: cdo is not installed", f"<= {AIM_CDO:g}x",
                  None, watch)
    ours.unlink()
    cmd = [PYTHON, "-c", GROUPBY, path, f"{float(bench.threshold) + KELVIN:.2f}", bench.work / "groupby.nc"]
    bench.run(cmd, "xarray groupby count (1 index)", cells)
    (bench.work / "groupby.nc").unlink(missing_ok=True)

    watch = kitrows.Watch()
    pct2 = bench.grid(path, 2, cells, percentile=True)
    ratio = pct2.wall / fixed2.wall
    table.add("percentile grid against fixed grid", f"{ratio:.2f}x", f"<= {AIM_PERCENTILE:g}x",
              ratio <= AIM_PERCENTILE, watch, f"-j 2: {pct2.wall:.2f} s against {fixed2.wall:.2f} s")
    watch = kitrows.Watch()
    pct1 = bench.grid(path, 1, cells, percentile=True)
    gain = pct1.wall / pct2.wall
    table.add("percentile grid -j 2 against -j 1", f"{gain:.2f}x", f">= {AIM_PCT_GAIN:g}x", gain >= AIM_PCT_GAIN,
              watch, f"{pct2.wall:.2f} s against {pct1.wall:.2f} s")


def big_rows(table, bench, series, gb, reuse):
    """Peak memory of the percentile and the fixed grid at -j 2 on a file of about ``gb`` GB."""
    days = len(series[3])
    side = int(np.ceil(np.sqrt(gb * 1e9 / (4 * days))))
    path = bench.work / f"big-{side}x{side}-{days}d-K.nc"
    if not (reuse and path.is_file()):
        free, need = shutil.disk_usage(bench.work).free, 4 * days * side * side * 1.2
        if free < need:
            sys.exit(f"kit_grid: {free / 1e9:.1f} GB free in {bench.work}, {need / 1e9:.1f} GB needed for --big: "
                     f"give --work on a disk with room")
        print(f"making {path.name} ...", flush=True)
    size = grid(path, True, series, side, 2, reuse)
    # The file is larger than its values: its chunks of 8 x 8 cells overhang the grid's edges.
    values = 4 * days * side * side
    print(f"{side} x {side} cells, {days} days, float32 in K: {values / 1e9:.2f} GB of values, "
          f"a {size / 1e9:.2f} GB file", flush=True)
    for percentile, what in ((True, "percentile"), (False, "fixed")):
        watch = kitrows.Watch()
        # Without --events, as this row was first measured: the CSV of every event of 50000 cells is a
        # matter of its own.
        t = bench.grid(path, 2, side * side, percentile=percentile, events=False, big=True)
        gb_peak = t.peak * 2**20 / 1e9
        table.add(f"{what} grid on {values / 1e9:.{1 if values >= 1e9 else 2}f} GB: peak memory", f"{gb_peak:.2f} GB",
                  f"< {AIM_PEAK_GB:g} GB", gb_peak < AIM_PEAK_GB, watch, f"wall {t.wall:.1f} s, CPU {t.cpu:.1f} s")
    if not reuse:
        path.unlink()


def help_row(table, runs):
    """`vordakit --help` against a bare interpreter, best of ``runs`` each, taken in turns."""
    watch = kitrows.Watch()
    bare, helps = [], []
    for _ in range(runs):
        bare.append(kitrows.measure([PYTHON, "-c", "pass"]).wall)
        helps.append(kitrows.measure(kit("--help")).wall)
    ratio = min(helps) / min(bare)
    table.add("vordakit --help against python3 -c pass", f"{ratio:.2f}x", f"<= {AIM_HELP:g}x", ratio <= AIM_HELP,
              watch, f"best of {runs}: {1000 * min(helps):.0f} ms against {1000 * min(bare):.0f} ms")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="16 x 16 cells of 12 years: checks the script in seconds")
    ap.add_argument("--threshold", default="20", help="fixed threshold in degC, for cdo too (default 20)")
    ap.add_argument("--big", action="store_true", help="also the peak memory on a file of about 2.2 GB")
    ap.add_argument("--big-gb", type=float, help="size of the --big file in GB (default 2.2; 0.02 with --quick)")
    ap.add_argument("--repeat", type=int, default=1, help="best of R runs of each grid command (default 1)")
    ap.add_argument("--help-runs", type=int, help="runs of each for the --help row (default 9; 3 with --quick)")
    ap.add_argument("--work", help="folder for the grids, kept and reused (default: a temporary folder, removed)")
    ap.add_argument("--write-only", metavar="FILE", help="only write the 64 x 64 grid, in degC, to FILE")
    args = ap.parse_args()
    if args.write_only:
        write_grid(args.write_only, last_years(), 64, 64)
        return
    side, years = (16, 12) if args.quick else (64, 30)
    gb = args.big_gb or (0.02 if args.quick else 2.2)
    if args.repeat < 1 or gb <= 0:
        sys.exit("kit_grid: --repeat must be at least 1 and --big-gb above 0")
    os.environ["PYTHONPATH"] = str(ROOT / "python")
    start_load = kitrows.load()
    work = pathlib.Path(args.work or tempfile.mkdtemp(prefix="kit_grid."))
    work.mkdir(parents=True, exist_ok=True)
    table = kitrows.Table(f"grid rows ({side} x {side} cells, {years} years, float32 in K)")
    try:
        series = last_years(years)
        days, first = len(series[3]), int(series[0][0])
        path = work / f"grid-{side}x{side}-{days}d-K.nc"
        size = grid(path, True, series, side, 1, bool(args.work))
        print(f"{side} x {side} cells, {days} days ({first}-{series[0][-1]}, "
              f"{'real' if SERIES.is_file() else 'synthetic'} series), float32 in K: {size / 2**20:.0f} MB; "
              f"{os.cpu_count()} cores, load average {start_load:.2f} at the start", flush=True)
        bench = Bench(work, args.repeat, args.threshold, f"{first}-{first + min(10, years) - 1}")
        small_rows(table, bench, path, side * side)
        if args.big:
            big_rows(table, bench, series, gb, bool(args.work))
        else:
            for what in ("percentile", "fixed"):
                table.add(f"{what} grid on {gb:g} GB: peak memory", "not measured (give --big)",
                          f"< {AIM_PEAK_GB:g} GB", None, kitrows.Watch())
        help_row(table, args.help_runs or (3 if args.quick else 9))
        table.close()
    except kitrows.Failed as e:
        table.close()
        sys.exit(f"kit_grid: {e}")
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


def compare_cdo(su, ours):
    """Whether cdo's days above T equal ndays of the same file on every cell and year."""
    import xarray as xr
    with xr.open_dataset(su, decode_timedelta=False) as a, xr.open_dataset(ours, decode_timedelta=False) as b:
        name = [v for v in a.data_vars if a[v].ndim == 3][0]
        return np.array_equal(np.asarray(a[name].values, float), np.asarray(b["ndays"].values, float))


if __name__ == "__main__":
    main()
