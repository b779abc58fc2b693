"""A station run on a percentile threshold: its exceedance series, threshold table, run and bootstrap.

The maths lives in ``vordakit.thresholds``; here it is run on a VORDA input.
The run's folder receives the exceedance series (the input vorda is given,
named after the input with the percentile, base and window added, as in
``series-p90-1961-1990-w5.txt``), its threshold table per calendar day and a
description of the run (see ``vordakit.notes``), which the tables, trends
and plots read; with a bootstrap the description also holds the resampled
values of the base years.
"""

import os
import sys

import numpy as np

from vordakit import binding, dates, engine, notes, runner
from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.formats import strict
from vordakit.formats import vorda as vorda_format
from vordakit.thresholds import (RunSettings, base_of, bootstrap, duration_text, exceedance_texts, in_units,
                                 parse_setting, type_letter)

__all__ = ["Prepared", "exceedances", "prepare", "run", "run_command", "parse_setting", "base_of"]


class Prepared:
    """The exceedance series of one input and percentile threshold: the series and its
    base, the thresholds and values in whole units of 10**-digits, each record's
    calendar-day slot and calendar (t, d, m, yr), and where it is written."""

    def __init__(self, series, setting, base, thresholds, digits, units, name, folder):
        self.series, self.setting, self.base = series, setting, base
        self.thresholds, self.digits, self.units = thresholds, digits, units
        self.keys, _ = dates.day_slots(series.ordinal)
        yr, m, d = dates.ymd(series.ordinal)
        t = series.t if series.t is not None else series.ordinal - series.ordinal[0] + 1
        self.calendar = {"t": t, "d": d, "m": m, "yr": yr}
        self.name, self.folder = name, folder
        self.path = os.path.join(folder, name)
        self.stem = os.path.splitext(name)[0]

    def exceedance_units(self, thresholds, a=0, b=None):
        """Exceedances of records a..b in whole units, for rows of thresholds (366 units each)."""
        return self.units[a:b] - thresholds[..., self.keys[a:b]]

    def arrays(self):
        """The exceedance series as vorda reads its file: t, d, m, yr and x, the x the
        doubles nearest the decimals written."""
        x = self.exceedance_units(self.thresholds) / 10.0 ** self.digits
        return dict(self.calendar, x=np.ascontiguousarray(x, np.float64))


def exceedances(series, setting, name, folder):
    """The Prepared exceedances of a series (vordakit.series.Series) over a percentile setting."""
    base = base_of(series, setting)
    if np.isnan(series.x).any():
        at = int(np.argmax(np.isnan(series.x)))
        raise KitError(series.path, series.line_of(at), "a missing value: the exceedance series cannot hold one")
    try:
        units, thresholds, digits = in_units(series.x, series.decimals, base.thresholds(), setting)
    except KitError as e:
        raise KitError(series.path, None, e.reason) from None
    stem = os.path.splitext(os.path.basename(name))[0]
    return Prepared(series, setting, base, thresholds, digits, units, f"{stem}-{setting.suffix}.txt", folder)


def prepare(source, setting, folder, name=None, series=None):
    """Write the exceedance series of ``source`` (a VORDA input, or the ``series`` read from
    it) and its threshold table into ``folder``; returns the Prepared exceedances.

    The exceedance series is named after ``name`` (default: the source's file
    name) with the percentile, base and window added.
    """
    series = series if series is not None else vorda_format.read(source, strict(source))
    prep = exceedances(series, setting, name or source, folder)
    os.makedirs(folder, exist_ok=True)
    cal = prep.calendar
    texts = exceedance_texts(prep.exceedance_units(prep.thresholds), prep.digits)
    text = "".join(f"{a} {b} {c} {e} {v}\n" for a, b, c, e, v in zip(
        cal["t"].tolist(), cal["d"].tolist(), cal["m"].tolist(), cal["yr"].tolist(), texts))
    old = _read_or_none(prep.path)
    with atomic_write(prep.path, newline="\n") as f:
        f.write(text)
    notes.write_threshold_table(notes.threshold_table_path(folder, prep.stem), prep.thresholds, prep.digits)
    # A series written anew keeps no bootstrap of the one before.
    info = notes.read_description(folder, prep.stem) if old == text else {}
    info.update(source=os.path.basename(source), percentile=setting.text, base=setting.base_text,
                window=setting.window, decimals=prep.digits)
    info.setdefault("bootstrap", {})
    notes.write_description(folder, prep.stem, info)
    return prep


def _read_or_none(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return None


def bootstrap_binding(setting):
    """The binding that the bootstrap of ``setting`` runs on, or a KitError saying why it cannot run."""
    lib = binding.require("--bootstrap")
    if setting.base[1] - setting.base[0] < 1:
        raise KitError(None, None, "--bootstrap needs a base of at least two years")
    return lib


def run(vorda, source, setting, thrtype, min_duration, folder, name=None, resample=False, engine_name="process",
        series=None):
    """Write the exceedance series of ``source`` into ``folder`` and analyse it
    with threshold 0.0 on ``engine_name`` (see vordakit.engine; the result files
    are the same with either); with ``resample``, also the bootstrap of the base
    years. ``series``, when given, is the source as read (it is not read again).
    Returns the engine's RunOutcome."""
    type_letter(thrtype)
    duration_text(min_duration)
    # Before any file of the run is written.
    if os.path.isdir(folder):
        notes.check_notes(folder)
    lib = bootstrap_binding(setting) if resample else None
    prep = prepare(source, setting, folder, name=name, series=series)
    if engine_name == "process":
        vorda = vorda or runner.find_vorda(None)
    # The library analyses the exceedances in hand; only vorda reads them from the file.
    arrays = prep.arrays() if engine_name == "library" else None
    with engine.runs(engine_name, vorda, prep.path, folder, series=arrays) as runs:
        res = runs.run(thrtype, "0.0", min_duration, len(prep.units) if arrays is not None else None)
    if res.status == 0:
        values = None
        if resample:
            values = bootstrap(prep.base, prep.exceedance_units, prep.calendar, prep.digits, thrtype, min_duration,
                               lib.analyse_cells)
        notes.record_bootstrap(folder, prep.stem, thrtype, min_duration, values)
    return res


def run_command(args):
    """``vordakit run --percentile``: the exceedance series, its table, vorda's run and the bootstrap."""
    if getattr(args, "size", None) is not None and args.threshold is None:
        raise KitError(None, None, "--size goes with --threshold: a percentile run reads the whole input")
    settings = RunSettings.parse(args.type, args.threshold, args.min_duration, args.percentile, args.base,
                                 args.window, args.bootstrap)
    which = engine.choose(getattr(args, "engine", None))
    # The library hands only a file it cannot read to vorda, which it then looks for.
    vorda = runner.find_vorda(args.vorda) if which == "process" or args.vorda else None
    res = run(vorda, args.input, settings.percentile, settings.type, settings.min_duration, args.out, args.name,
              settings.bootstrap, engine_name=which)
    if res.status != 0:
        sys.stderr.flush()
        sys.stderr.buffer.write(res.report or f"vordakit run: {runner.describe_status(res.status)}\n".encode())
        return res.status
    for path in res.files:
        print(path)
    return 0
