#!/usr/bin/python3
"""Benchmark of `vordakit grid`: cells per second, wall and CPU time, peak memory.

Makes its own grids from the real daily series in ../shared/data: the last 30
whole years, one float32 value per cell and day, each cell the series plus a
cell offset and noise (one decimal), in degC:

1. 64 x 64 cells (about 180 MB): `vordakit grid` (all yearly indices and the
   event summary of one threshold) at -j 1 and -j 2, with a percentile
   threshold of the 30 years at -j 2, and side by side, when
   installed, `cdo eca_su,T,freq=year` (one index: days above T) and an xarray
   groupby count of the days above T.
2. A large grid of at least 2 GB (--large-gb, 0 to skip), made on the fly in
   the work folder and removed afterwards: `vordakit grid` -j 2, its wall time
   and peak memory.

Each command runs as a process of its own; its CPU time and peak resident
memory are the kernel's figures for that process. Free disk is checked first.

Usage: bench/kit_grid.py [--threshold 20.05] [--large-gb 2.1] [--work DIR] [--write-only FILE]
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
SERIES = pathlib.Path(os.environ.get("VORDA_SHARED_DATA") or ROOT.parent / "shared" / "data") / "cet-daily-mean.txt"
PYTHON = "/usr/bin/python3"


def last_years(years=30):
    """(dates (y, m, d) arrays, values) of the last ``years`` whole years of the real series."""
    data = np.loadtxt(SERIES, dtype=np.float64)
    yr = data[:, 3].astype(int)
    last = yr.max() if ((yr == yr.max()) & (data[:, 2] == 12) & (data[:, 1] == 31)).any() else yr.max() - 1
    keep = (yr > last - years) & (yr <= last)
    return data[keep, 3].astype(int), data[keep, 2].astype(int), data[keep, 1].astype(int), data[keep, 4]


def write_grid(path, series, ny, nx, seed=1):
    """A CF file of ny x nx cells, written a band of rows at a time so that memory stays small."""
    import netCDF4
    yr, m, d, x = series
    rng = np.random.default_rng(seed)
    with netCDF4.Dataset(path, "w", format="NETCDF4") as ds:
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
        v.units, v.standard_name = "degC", "air_temperature"
        band = max(1, min(ny, (256 << 20) // (len(x) * nx * 8)))
        for a in range(0, ny, band):
            b = min(ny, a + band)
            # Cooler to the north and inland, as a map would be, plus a little of each cell's own.
            i, j = np.meshgrid(np.arange(a, b), np.arange(nx), indexing="ij")
            offset = 3 - 6 * i / ny + 1.5 * np.cos(2 * np.pi * j / nx) + rng.normal(0, 0.3, (b - a, nx))
            noise = rng.normal(0, 1.0, (len(x), b - a, nx)).astype(np.float32)
            v[:, a:b, :] = np.round(x[:, None, None] + offset[None] + noise, 1).astype(np.float32)
    return os.path.getsize(path)


# A helper process runs the command alone, so that the children's usage it reports is the command's own.
_PROBE = ("import resource, subprocess, sys, time; s = time.perf_counter(); "
          "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE); "
          "w = time.perf_counter() - s; u = resource.getrusage(resource.RUSAGE_CHILDREN); "
          "print(r.returncode, w, u.ru_utime + u.ru_stime, u.ru_maxrss / 1024); sys.stderr.write(r.stderr.decode())")


def run(cmd, label, cells):
    """Run ``cmd``; print and return (wall s, CPU s, peak MB), or None when it fails."""
    r = subprocess.run([PYTHON, "-c", _PROBE, *map(str, cmd)], capture_output=True, text=True)
    status, wall, cpu, peak = r.stdout.split()
    if status != "0":
        print(f"{label}: failed ({status}): {r.stderr.strip()[-400:]}")
        return None
    wall, cpu, peak = float(wall), float(cpu), float(peak)
    print(f"{label:<44} wall {wall:7.2f} s  cpu {cpu:7.2f} s  {cells / wall:8.0f} cells/s  peak {peak:6.0f} MB",
          flush=True)
    return wall, cpu, peak


def kit(*args):
    return [PYTHON, "-m", "vordakit", *map(str, args)]


GROUPBY = """
import sys, xarray as xr
ds = xr.open_dataset(sys.argv[1])
n = (ds["tg"] > float(sys.argv[2])).groupby("time.year").sum("time")
n.to_netcdf(sys.argv[3])
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threshold", default="20.05",
                    help="threshold in degC (default 20.05: halfway between tenths, so that cdo, which moves T "
                         "by 273.15 in floating point, counts the same days)")
    ap.add_argument("--large-gb", type=float, default=2.1, help="size of the large grid (0: skip it)")
    ap.add_argument("--work", help="folder for the grids (default: a temporary folder, removed)")
    ap.add_argument("--write-only", metavar="FILE", help="only write the 64 x 64 grid to FILE")
    args = ap.parse_args()
    if args.write_only:
        write_grid(args.write_only, last_years(), 64, 64)
        return
    os.environ["PYTHONPATH"] = str(ROOT / "python")
    if not SERIES.is_file():
        sys.exit(f"kit_grid: the real series is not at {SERIES}")
    work = pathlib.Path(args.work or tempfile.mkdtemp(prefix="kit_grid."))
    work.mkdir(exist_ok=True)
    try:
        series = last_years()
        days = len(series[3])
        size = write_grid(work / "grid64.nc", series, 64, 64)
        cells = 64 * 64
        print(f"64 x 64 cells, {days} days ({series[0][0]}-{series[0][-1]}), float32: {size / 2**20:.0f} MB")
        thr = args.threshold
        for jobs in (1, 2):
            cmd = kit("grid", work / "grid64.nc", "-t", "upper", "-x", thr, "-d", 3, "-o", work / f"out{jobs}.nc",
                      "-j", jobs, "--no-progress")
            run(cmd, f"vordakit grid -j {jobs} (8 variables)", cells)
        # Every cell's own 90th percentile of the whole 30 years, per calendar day.
        base = f"{series[0][0]}-{series[0][-1]}"
        cmd = kit("grid", work / "grid64.nc", "-t", "upper", "--percentile", 90, "--base", base, "-d", 3,
                  "-o", work / "pct.nc", "-j", 2, "--no-progress")
        run(cmd, f"vordakit grid -j 2 --percentile 90 --base {base}", cells)
        if shutil.which("cdo"):
            # The index operators take the data in K and T in degC: the file is in degC, so T moves by 273.15.
            t_cdo = f"{float(thr) - 273.15:.2f}"
            cmd = ["cdo", "-s", f"eca_su,{t_cdo},freq=year", str(work / "grid64.nc"), str(work / "su.nc")]
            run(cmd, f"cdo eca_su,{t_cdo},freq=year (1 index)", cells)
            compare_cdo(work / "su.nc", work / "out2.nc")
        cmd = [PYTHON, "-c", GROUPBY, str(work / "grid64.nc"), thr, str(work / "groupby.nc")]
        run(cmd, "xarray groupby count (1 index)", cells)

        if args.large_gb > 0:
            free = shutil.disk_usage(work).free
            need = args.large_gb * 2**30 * 1.3
            if free < need:
                print(f"large grid skipped: {free / 2**30:.1f} GB free in {work}, {need / 2**30:.1f} GB needed")
                return
            side = int(np.ceil(np.sqrt(args.large_gb * 2**30 / (4 * days))))
            size = write_grid(work / "large.nc", series, side, side, seed=2)
            print(f"{side} x {side} cells, {days} days, float32: {size / 2**30:.2f} GB")
            cmd = kit("grid", work / "large.nc", "-t", "upper", "-x", thr, "-d", 3, "-o", work / "large-out.nc",
                      "-j", 2, "--no-progress")
            run(cmd, "vordakit grid -j 2, large grid", side * side)
            (work / "large.nc").unlink()
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


def compare_cdo(su, ours):
    """cdo's days above T against ndays of the same file: they must agree."""
    import xarray as xr
    with xr.open_dataset(su, decode_timedelta=False) as a, xr.open_dataset(ours, decode_timedelta=False) as b:
        name = [v for v in a.data_vars if a[v].ndim == 3][0]
        same = np.array_equal(np.asarray(a[name].values, float), np.asarray(b["ndays"].values, float))
    print(f"{'  cdo eca_su equals ndays on every cell':<44} {'yes' if same else 'NO'}")


if __name__ == "__main__":
    main()
