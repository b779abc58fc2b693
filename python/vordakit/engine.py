"""Where vorda's analyses run: in this process through the binding, or in the ``vorda`` program.

The ``library`` engine reads a series once with vorda's own reader (or takes
the series a caller already holds), analyses it through ``vordakit._vorda``
and writes the result files with the program's output code; the ``process``
engine runs ``vorda`` (see ``core``). Their result files are the same, byte
for byte. ``choose`` picks the library when it is built.

A run of the library engine also keeps what it computed (the binding's
``write_results`` dict), so that the tables of a fresh run are made from
those arrays (``results_of``) instead of being read back from the files.
"""

import dataclasses
import os
import shutil
import sys
import tempfile
import time

from vordakit import core, results
from vordakit.errors import KitError

ENGINES = ("library", "process")

# The binding's keys of the yearly indices -> the index names of the tables.
_INDEX_NAMES = {"ndays": "ndays", "wsdi": "WSDI", "sgs": "SGS", "csdi": "CSDI", "lfd": "LFD"}
_INDEX_FILES = {"ndays": "VORDAndays-", "wsdi": "VORDA-WSDI-", "sgs": "VORDA-SGS--",
                "csdi": "VORDA-CSDI-", "lfd": "VORDA-LFD--"}


def binding():
    """The binding ``vordakit._vorda``, or None when it is not built (or does not load)."""
    try:
        from vordakit import _vorda
    except ImportError:
        return None
    return _vorda


def choose(engine=None):
    """The engine to use: the one asked for, else the library when it is built, else the process.

    >>> choose("process")
    'process'
    """
    if engine not in (None,) + ENGINES:
        raise KitError(None, None, f"unknown engine {engine!r}; choose library or process")
    if engine == "process":
        return "process"
    if binding() is None:
        if engine == "library":
            raise KitError(None, None, "the binding vordakit._vorda is not built "
                                       "(cmake --workflow --preset test builds it); use --engine process")
        return "process"
    return "library"


def threshold_value(text):
    """The number vorda reads from a threshold text (checked as ``core.threshold_text`` checks it).

    >>> threshold_value("18.0"), threshold_value("-5"), threshold_value("2.5d1")
    (18.0, -5.0, 25.0)
    """
    text = core.threshold_text(text)
    # vorda's reader rounds correctly, as float() does; it also takes d as the exponent's letter.
    return float(text.replace("d", "e").replace("D", "e"))


@dataclasses.dataclass
class Run:
    """One run of either engine; ``analysis`` holds the binding's arrays (library engine only)."""
    status: int
    report: bytes
    files: list
    seconds: float = 0.0
    analysis: dict = None
    name: str = ""
    type: str = ""
    threshold: float = 0.0
    min_duration: int = 0


def runs(engine, vorda, source, outdir, name=None, series=None):
    """A ``with`` block of runs on one input: ``core.Runs`` or ``LibraryRuns``."""
    if engine == "library":
        return LibraryRuns(source, outdir, name, series=series, vorda=vorda)
    return core.Runs(vorda, source, outdir, name)


class LibraryRuns:
    """Runs through the binding on one input into one result folder, as ``core.Runs`` runs vorda.

    The input is read once per size with vorda's reader, or taken from
    ``series`` (a dict of the arrays t, d, m, yr, x exactly as vorda reads
    the file). Each run writes into a fresh folder inside the result folder
    and its files are renamed into place only when all are written. Where
    vorda would end with a runtime error (a file it cannot read), the run is
    handed to ``vorda`` itself, so that its report passes through unchanged;
    without a ``vorda`` to hand it to, the binding's report is given.
    """

    def __init__(self, source, outdir, name=None, series=None, vorda=None):
        self.source = os.path.abspath(source)
        self.outdir = outdir
        self.name = os.path.basename(self.source) if name is None else name
        core._typed_name(self.name)  # the same names are refused as with vorda
        self.vorda = vorda
        self.lib = binding()
        self.series = {} if series is None else {len(series["x"]): series}

    def __enter__(self):
        os.makedirs(self.outdir, exist_ok=True)
        return self

    def __exit__(self, *exc):
        pass

    def _series(self, size):
        if size not in self.series:
            self.series[size] = self.lib.read_series(self.source, size)
        return self.series[size]

    def run(self, thrtype, threshold, min_duration, size=None):
        thrtype = "upper" if core.type_letter(thrtype) == "u" else "lower"
        value = threshold_value(threshold)
        durmin = int(core.duration_text(min_duration))
        t0 = time.perf_counter()
        if size is None:
            try:
                size = core.count_records(self.source)
            except OSError:
                size = 0  # the reader's report of the open failure is the one to show
        try:
            if int(size) > self.lib.NMAX:
                raise self.lib.Failure(f"VORDA runtime error: Data size {int(size)} exceeds the maximum of "
                                       f"{self.lib.NMAX}\n")
            # A size below 1 reads no record, as 0 does.
            s = self._series(max(int(size), 0))
        except self.lib.Failure as e:
            return self._by_process(thrtype, threshold, min_duration, size, e)
        work = tempfile.mkdtemp(prefix=".vordakit-run-", dir=self.outdir)
        try:
            analysis = self.lib.write_results(work, self.name, s["t"], s["d"], s["m"], s["yr"], s["x"],
                                              thrtype, value, durmin)
            moved = []
            for entry in sorted(os.listdir(work)):
                target = os.path.join(self.outdir, entry)
                os.replace(os.path.join(work, entry), target)
                moved.append(target)
        except OSError as e:
            return Run(2, f"vordakit: {e}\n".encode(), [], time.perf_counter() - t0)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return Run(0, b"", moved, time.perf_counter() - t0, analysis, self.name, thrtype, value, durmin)

    def _by_process(self, thrtype, threshold, min_duration, size, failure):
        vorda = self.vorda
        if vorda is None:
            try:
                vorda = core.find_vorda()
            except KitError:
                return Run(2, str(failure).encode(), [])
        with core.Runs(vorda, self.source, self.outdir, self.name) as process:
            res = process.run(thrtype, threshold, min_duration, size)
        return Run(res.status, res.report, res.files, res.seconds)


def series_arrays(series):
    """The arrays vorda would read from the VORDA file a checked series was read from, or None.

    A series read from a VORDA file (by ``series.read_vorda``) without an error
    holds the file's records: the calendar fields, t, and the values as the
    doubles nearest their decimals, which is what vorda reads.
    """
    import numpy as np

    try:
        from vordakit.series import days_of
        days = days_of(series)
    except (ImportError, AttributeError, TypeError):
        return None
    if days.t is None or np.isnan(days.x).any() or series.fmt != "vorda":
        return None
    dates = (np.asarray(days.ordinal) - 719163).astype("datetime64[D]")  # ordinal 719163 is 1970-01-01
    months = dates.astype("datetime64[M]")
    years = months.astype("datetime64[Y]")
    return {"t": days.t, "d": (dates - months).astype(np.int64) + 1,
            "m": (months - years).astype(np.int64) + 1, "yr": years.astype(np.int64) + 1970,
            "x": np.ascontiguousarray(days.x, dtype=np.float64)}


class _Fields:
    """The records' fields as ``results.read_results`` reads them from the files, with its warnings."""

    def __init__(self):
        self.by_file = {}

    def warn(self, path, text):
        self.by_file.setdefault(path, []).append(f"{path}:{text}")

    def warnings(self):
        """The warnings in the order of their files' names, in which the files are read."""
        return [w for path in sorted(self.by_file) for w in self.by_file[path]]

    def integer(self, value, width, what, path, number):
        if len(str(value)) > width:
            self.warn(path, f"{number}: {what} does not fit its field ({'*' * width}); left empty")
            return None
        if value == results.UNSET:
            self.warn(path, f"{number}: {what} is -999 (never set); left empty")
            return None
        return value

    def real(self, text, what, path, number):
        text = text.strip()
        if set(text) == {"*"}:
            self.warn(path, f"{number}: {what} does not fit its field ({text}); left empty")
            return None
        return float(text)


def results_of(runs_done, folder):
    """The tables (a ``results.Results``) of library runs into ``folder``, from their arrays.

    They are the tables ``results.read_results(folder, names=...)`` reads from
    those runs' files: the same records, values and warnings, in the same order.
    """
    lib = binding()
    res = results.Results()
    fields = _Fields()
    keyed = []
    for r in runs_done:
        threshold = float(lib.fixed([r.threshold], 0, 1)[0])
        keyed.append((results.Run(r.name, r.type, threshold, r.min_duration), r))
    for run, r in sorted(keyed, key=lambda k: k[0]):
        by_prefix = {}
        for path in r.files:
            entry = os.path.basename(path)
            for key, prefix in _INDEX_FILES.items():
                if entry.startswith(prefix):
                    by_prefix[key] = os.path.join(folder, entry)
        for index in results.INDEX_ORDER:
            key = index.lower()
            if key not in r.analysis:
                continue
            path = by_prefix[key]
            years = r.analysis[key]["year"].tolist()
            values = r.analysis[key]["value"].tolist()
            for number, (year, value) in enumerate(zip(years, values), start=13):
                if year == results.UNSET or len(str(year)) > 4 or len(str(value)) > 3:
                    year = fields.integer(year, 4, "year", path, number)
                    value = fields.integer(value, 3, index, path, number)
                res.yearly.append(results.YearlyRecord(*run, index, year, value))
        # The full event file's name is the day count file's with another prefix.
        tail = os.path.basename(by_prefix["ndays"])[len(_INDEX_FILES["ndays"]):]
        _events(res, fields, run, r.analysis["events"], lib, os.path.join(folder, "VORDA-" + tail))
    res.warnings = fields.warnings()
    return res


def _events(res, fields, run, ev, lib, path):
    mids = lib.fixed(ev["midpoint"].tolist(), 11, 3)
    acts = lib.fixed(ev["action"].tolist(), 14, 3)
    columns = zip(mids, ev["day"].tolist(), ev["month"].tolist(), ev["year"].tolist(),
                  ev["duration"].tolist(), acts)
    for number, (mid, d, m, y, dur, act) in enumerate(columns, start=13):
        if "*" in mid or "*" in act or y == results.UNSET or len(str(y)) > 4 or len(str(d)) > 2 \
                or len(str(m)) > 2 or len(str(dur)) > 7:
            mid = fields.real(mid, "midpoint", path, number)
            d = fields.integer(d, 2, "day", path, number)
            m = fields.integer(m, 2, "month", path, number)
            y = fields.integer(y, 4, "year", path, number)
            dur = _fit(fields, dur, 7, "duration", path, number)
            act = fields.real(act, "action", path, number)
            date = None if None in (d, m, y) else f"{y:04d}-{m:02d}-{d:02d}"
        else:
            mid, act = float(mid), float(act)
            date = f"{y:04d}-{m:02d}-{d:02d}"
        res.events.append(results.EventRecord(*run, mid, date, dur, act))


def _fit(fields, value, width, what, path, number):
    """An integer field that keeps -999 (no calendar field)."""
    if len(str(value)) > width:
        fields.warn(path, f"{number}: {what} does not fit its field ({'*' * width}); left empty")
        return None
    return value


def run_command(args):
    """``vordakit run`` with the engine of ``--engine``: as ``core.run_command`` with either."""
    engine = choose(getattr(args, "engine", None))
    if engine == "process":
        return core.run_command(args)
    vorda = None
    if args.vorda:
        vorda = core.find_vorda(args.vorda)
    with LibraryRuns(args.input, args.out, args.name, vorda=vorda) as lib_runs:
        res = lib_runs.run(args.type, args.threshold, args.min_duration, args.size)
    if res.status != 0:
        sys.stderr.flush()
        sys.stderr.buffer.write(res.report)
        if not res.report:
            sys.stderr.buffer.write(f"vordakit run: {core.describe_status(res.status)}\n".encode())
        sys.stderr.flush()
        return res.status
    for path in res.files:
        print(path)
    return 0
