#!/usr/bin/python3
"""Benchmark of the binding's analyse_cells beside one numpy pass over the same array.

Makes CELLS series (default 4096) of DAYS days (default 10958, 1991 to 2020)
of synthetic daily temperatures (a seasonal cycle, noise, one decimal) as one
float32 array of shape (cells, days), and reports the best of REPEAT calls:

- numpy: ``(x > threshold).sum()``, one pass over the array;
- analyse_cells on the whole array in one call, one thread;
- analyse_cells with the cells split between THREADS threads (it releases
  the GIL while it computes);
- the same for the array as float64;

each with its ratio to the numpy pass of the same array.

Usage: bench/kit_cells.py [--cells N] [--days N] [--threshold X] [--type upper|lower] [--threads N]
"""

import argparse
import concurrent.futures
import os
import pathlib
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

from vordakit import engine  # noqa: E402


def calendar(days):
    dates = np.datetime64("1991-01-01") + np.arange(days)
    months = dates.astype("datetime64[M]")
    years = months.astype("datetime64[Y]")
    return (np.arange(1, days + 1), (dates - months).astype(np.int64) + 1,
            (months - years).astype(np.int64) + 1, years.astype(np.int64) + 1970)


def best(f, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cells", type=int, default=4096)
    ap.add_argument("--days", type=int, default=10958)
    ap.add_argument("--threshold", type=float, default=20.0)
    ap.add_argument("--type", default="upper", choices=("upper", "lower"))
    ap.add_argument("--min-duration", type=int, default=3)
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    lib = engine.binding()
    if lib is None:
        sys.exit("the binding vordakit._vorda is not built")
    t, d, m, yr = calendar(args.days)
    rng = np.random.default_rng(1)
    season = 10 + 8 * np.sin(2 * np.pi * (np.arange(args.days) - 110) / 365.25)
    x = np.round((season + rng.normal(0, 3, (args.cells, args.days))) * 10) / 10
    print(f"{args.cells} cells x {args.days} days, {args.type} {args.threshold}, minimum duration "
          f"{args.min_duration}; binding {lib.__file__}; load average {os.getloadavg()[0]:.1f}")
    for dtype in (np.float32, np.float64):
        a = x.astype(dtype)
        share = float(np.mean(a > args.threshold if args.type == "upper" else a < args.threshold))
        ref = best(lambda: (a > args.threshold).sum(), args.repeat)

        def cells(part):
            return lib.analyse_cells(part, t, d, m, yr, args.type, args.threshold, args.min_duration)

        one = best(lambda: cells(a), args.repeat)
        parts = np.array_split(a, args.threads)
        with concurrent.futures.ThreadPoolExecutor(args.threads) as pool:
            many = best(lambda: list(pool.map(cells, parts)), args.repeat)
        print(f"{np.dtype(dtype).name}: {100 * share:.1f}% of days pass; numpy (x > threshold).sum() "
              f"{1000 * ref:.1f} ms; analyse_cells {1000 * one:.1f} ms ({one / ref:.2f} x), "
              f"{args.threads} threads {1000 * many:.1f} ms ({many / ref:.2f} x)")


if __name__ == "__main__":
    main()
