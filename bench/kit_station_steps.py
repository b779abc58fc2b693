#!/usr/bin/python3
"""Where a batch station's CPU time goes: each named step timed around the function that does it.

Makes 30 stations as bench/kit_batch.py does (shifted and scaled copies of
the real series in $VORDA_SHARED_DATA, 91005 days, an upper and a lower
row each), runs them one after another through the batch's own
``process_station`` (library engine, with qc, no plots) in this process,
as a batch with one job does, freed memory kept for reuse as the batch
keeps it, and prints the CPU milliseconds per station of each step: the
best of three rounds. A step's time is that of its outermost call (a step
inside another is the outer one's). Needs the release binding
(``cmake --preset release && cmake --build --preset release``).

Usage: bench/kit_station_steps.py [--stations N] [--rounds R]
"""

import argparse
import functools
import hashlib
import os
import pathlib
import shutil
import sys
import tempfile
import time
import types

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))

import kit_batch  # noqa: E402
from vordakit import batch, engine, formats, model, notes, qc, runner, station, stationlist, tables, trend  # noqa
from vordakit.formats import vorda as plain  # noqa: E402

spent = {}
_inside = [0]


def timed(owner, name, label):
    """Time ``owner.name`` as the step ``label`` (its outermost calls only)."""
    f = getattr(owner, name)

    @functools.wraps(f)
    def step(*a, **k):
        if _inside[0]:
            return f(*a, **k)
        _inside[0] += 1
        t0 = time.process_time()
        try:
            return f(*a, **k)
        finally:
            spent[label] = spent.get(label, 0.0) + time.process_time() - t0
            _inside[0] -= 1
    setattr(owner, name, step)


def instrument():
    timed(plain, "read_plain", "reading the station file (the binding's scan of the plain layout)")
    timed(qc, "_check", "qc's checks of the series in memory")
    timed(qc, "check_structure", "qc's checks of the series in memory")
    timed(qc, "write_findings_csv", "qc.csv")
    timed(engine.binding(), "write_results", "the binding: both analyses and their result files")
    timed(notes, "note_run", "notes: inputs.csv, runs.csv")
    timed(notes, "check_notes", "notes: inputs.csv, runs.csv")
    timed(model, "from_analysis", "records from the binding's arrays")
    timed(notes, "add_notes", "calendar cells, events' first and last days, threshold_used")
    timed(notes, "add_percentile_marks", "percentile marks")
    timed(tables, "write_tables", "yearly.csv and events.csv")
    for name in ("trends", "whole_years", "partial_note"):
        timed(trend, name, "trends of every yearly index of both runs")
    timed(trend, "write_trends", "trend.csv")
    timed(runner, "place_all", "placing the result files")
    station.hashlib = types.SimpleNamespace(sha256=hashlib.sha256)
    timed(station.hashlib, "sha256", "sha256 of the station file (the resume fingerprint)")
    timed(station, "_clear", "clearing the station's folder")
    timed(station, "_metadata", "station metadata")
    timed(station, "_write_text", "done.txt, warnings.txt")
    timed(formats, "holding", "holding the file's bytes")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stations", type=int, default=30)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    vorda = os.environ.get("VORDA") or str(ROOT / "build" / "release" / "vorda")
    with tempfile.TemporaryDirectory() as work:
        folder = pathlib.Path(work) / "st"
        folder.mkdir()
        _, listing, days, origin = kit_batch.make_stations(folder, args.stations, kit_batch.REAL_DAYS)
        stations = stationlist.read_station_list(str(listing))
        opts = station.Options(plots=False, qc=True, engine="library")
        out = pathlib.Path(work) / "out"
        out.mkdir()
        instrument()
        batch.keep_freed_memory()
        station.process_station(stations[0], str(out), vorda, opts)   # warm: imports, first touches
        best = None
        for _ in range(args.rounds):
            spent.clear()
            c0 = time.process_time()
            for st in stations[1:]:
                station.process_station(st, str(out), vorda, opts)
            total = time.process_time() - c0
            if best is None or total < best[0]:
                best = (total, dict(spent))
        shutil.rmtree(out)
    total, steps = best
    n = len(stations) - 1
    print(f"{n} stations of {days} days ({origin} series), two runs each; load average "
          f"{os.getloadavg()[0]:.2f}; CPU ms per station, best of {args.rounds} rounds: {1000 * total / n:.1f}")
    for label, seconds in sorted(steps.items(), key=lambda kv: -kv[1]):
        print(f"  {1000 * seconds / n:6.1f}  {label}")
    print(f"  {1000 * (total - sum(steps.values())) / n:6.1f}  the rest (bookkeeping, folders, the outcome)")


if __name__ == "__main__":
    main()
