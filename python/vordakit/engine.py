"""Where vorda's analyses run: in this process through the binding, or in the ``vorda`` program.

The ``library`` engine reads a series once with vorda's own reader (or takes
the series a caller already holds), analyses it through ``vordakit._vorda``
and writes the result files with the program's output code; the ``process``
engine runs ``vorda`` (see ``runner``). Their result files are the same, byte
for byte. ``choose`` picks the library when it is built.

A run of the library engine also keeps what it computed (the binding's
``write_results`` dict), so that the tables of a fresh run are made from
those arrays (``results_of``) instead of being read back from the files.
"""

import dataclasses
import os
import shutil
import time

from vordakit import notes, results, runner
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
    """A ``with`` block of runs on one input: ``runner.RunFolder`` or ``LibraryRuns``."""
    if engine == "library":
        return LibraryRuns(source, outdir, name, series=series, vorda=vorda)
    return runner.RunFolder(vorda, source, outdir, name)


class LibraryRuns:
    """Runs through the binding on one input into one result folder, as ``runner.RunFolder`` runs vorda.

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
        runner._typed_name(self.name)  # the same names are refused as with vorda
        self.vorda = vorda
        self.lib = binding()
        self.series = {} if series is None else {len(series["x"]): series}

    def __enter__(self):
        os.makedirs(self.outdir, exist_ok=True)
        notes.check_notes(self.outdir)
        return self

    def __exit__(self, *exc):
        pass

    def _series(self, size):
        if size not in self.series:
            self.series[size] = self.lib.read_series(self.source, size)
        return self.series[size]

    def run(self, thrtype, threshold, min_duration, size=None):
        thrtype = "upper" if runner.type_letter(thrtype) == "u" else "lower"
        value = runner.threshold_number(threshold)
        durmin = int(runner.duration_text(min_duration))
        t0 = time.perf_counter()
        if size is None:
            try:
                size = runner.count_records(self.source)
            except OSError:
                size = 0  # the reader's report of the open failure is the one to show
            else:
                if size == 0:
                    raise KitError(self.source, None, "holds no records: nothing to analyse")
        try:
            if int(size) > self.lib.NMAX:
                raise self.lib.Failure(f"VORDA runtime error: Data size {int(size)} exceeds the maximum of "
                                       f"{self.lib.NMAX}\n")
            # A size below 1 reads no record, as 0 does.
            s = self._series(max(int(size), 0))
        except self.lib.Failure as e:
            return self._by_process(thrtype, threshold, min_duration, size, e)
        work = runner.work_folder(self.outdir)
        try:
            analysis = self.lib.write_results(work, self.name, s["t"], s["d"], s["m"], s["yr"], s["x"],
                                              thrtype, value, durmin)
            moved = runner.place_all(work, sorted(os.listdir(work)), self.outdir)
        except OSError as e:
            # Said of the result folder, never of the hidden working folder inside it.
            return Run(2, f"vordakit: {self.outdir}: {e.strerror or e}\n".encode(), [], time.perf_counter() - t0)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        # So that tidy, trend and plot find the input's calendar later, as after a run of vorda.
        notes.note_run(self.outdir, self.name, self.source, thrtype, value, durmin)
        return Run(0, b"", moved, time.perf_counter() - t0, analysis, self.name, thrtype, value, durmin)

    def _by_process(self, thrtype, threshold, min_duration, size, failure):
        vorda = self.vorda
        if vorda is None:
            try:
                vorda = runner.find_vorda()
            except KitError:
                return Run(2, str(failure).encode(), [])
        with runner.RunFolder(vorda, self.source, self.outdir, self.name) as process:
            res = process.run(thrtype, threshold, min_duration, size)
        return Run(res.status, res.report, res.files, res.seconds)


def series_arrays(series):
    """The arrays vorda would read from the VORDA file a checked series was read from, or None.

    A series read from a VORDA file (by ``formats.vorda.read``) without an error
    holds the file's records: the calendar fields, t, and the values as the
    doubles nearest their decimals, which is what vorda reads.
    """
    import numpy as np

    ordinal, x, t = series.ordinal, series.x, series.t
    if t is None or np.isnan(x).any() or series.fmt != "vorda":
        return None
    dates = (np.asarray(ordinal) - 719163).astype("datetime64[D]")  # ordinal 719163 is 1970-01-01
    months = dates.astype("datetime64[M]")
    years = months.astype("datetime64[Y]")
    return {"t": t, "d": (dates - months).astype(np.int64) + 1,
            "m": (months - years).astype(np.int64) + 1, "yr": years.astype(np.int64) + 1970,
            "x": np.ascontiguousarray(x, dtype=np.float64)}


def _field(value, width):
    """An integer in a field ``iw``: right-justified, asterisks where it does not fit."""
    text = str(value)
    return text.rjust(width) if len(text) <= width else "*" * width


def results_of(runs_done, folder):
    """The tables (a ``results.Results``) of library runs into ``folder``, from their arrays.

    They are the tables ``results.read_results(folder, names=...)`` reads from
    those runs' files: the records are laid out as vorda writes them (its own
    fixed-point fields for the reals) and read by the same record readers, so
    the values, warnings and order are the same, without a file being read.
    """
    lib = binding()
    res = results.Results()
    by_file = {}  # path -> warnings, given in the order of the file names as read_results reads them
    keyed = []
    for r in runs_done:
        threshold = float(lib.fixed([r.threshold], 0, 1)[0])
        keyed.append((results.Run(r.name, r.type, threshold, r.min_duration), r))
    header = [""] * 12  # the records start on line 13
    for run, r in sorted(keyed, key=lambda k: k[0]):
        paths = {}
        for path in r.files:
            entry = os.path.basename(path)
            for key, prefix in _INDEX_FILES.items():
                if entry.startswith(prefix):
                    paths[key] = os.path.join(folder, entry)
        for index in results.INDEX_ORDER:
            key = index.lower()
            if key not in r.analysis:
                continue
            years, values = r.analysis[key]["year"].tolist(), r.analysis[key]["value"].tolist()
            lines = header + [f" {_field(y, 4)} {_field(v, 3)}" for y, v in zip(years, values)]
            results._read_yearly(paths[key], lines, run, index, by_file.setdefault(paths[key], []), res.yearly)
        # The full event file's name is the day count file's with another prefix.
        path = os.path.join(folder, "VORDA-" + os.path.basename(paths["ndays"])[len(_INDEX_FILES["ndays"]):])
        ev = r.analysis["events"]
        lines = header + [f"   {mid} {_field(d, 2)} {_field(m, 2)} {_field(y, 4)}{' ' * 15}{_field(dur, 7)} {act}"
                          for mid, d, m, y, dur, act in zip(
                              lib.fixed(ev["midpoint"].tolist(), 11, 3), ev["day"].tolist(), ev["month"].tolist(),
                              ev["year"].tolist(), ev["duration"].tolist(), lib.fixed(ev["action"].tolist(), 14, 3))]
        results._read_events(path, lines, run, by_file.setdefault(path, []), res.events)
    res.warnings = [w for path in sorted(by_file) for w in by_file[path]]
    # The days each year holds and the threshold given come from the notes, as when the files are read.
    notes.add_notes(res, folder)
    # Percentile runs' columns and bootstrap values, as read_results marks them.
    from vordakit import percentile
    percentile.apply(res, folder)
    return res


def command(args):
    """``vordakit run`` with the engine of ``--engine``: as ``runner.command`` with either."""
    # vorda itself would take a negative duration: not so from a user (see runner.given_duration).
    runner.given_duration(args.min_duration)
    if args.percentile is not None:
        if getattr(args, "unchecked", False):
            raise KitError(None, None, "--unchecked goes with --threshold: an exceedance series cannot hold "
                                       "a missing value")
        from vordakit import percentile
        return percentile.run_command(args)
    if args.threshold is None:
        raise KitError(None, None, "give a threshold: --threshold X, or --percentile P --base FIRST-LAST")
    if args.bootstrap or args.base is not None:
        raise KitError(None, None, "--base and --bootstrap go with --percentile")
    # The answers are checked before the result folder is made.
    runner.type_letter(args.type)
    runner.threshold_text(args.threshold)
    if not getattr(args, "unchecked", False):
        runner.refuse_markers(args.input, args.size)
    engine = choose(getattr(args, "engine", None))
    if engine == "process":
        return runner.command(args)
    vorda = None
    if args.vorda:
        vorda = runner.find_vorda(args.vorda)
    with LibraryRuns(args.input, args.out, args.name, vorda=vorda) as lib_runs:
        res = lib_runs.run(args.type, args.threshold, args.min_duration, args.size)
    return runner.finish_run(args, res)
