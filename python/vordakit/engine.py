"""Where vorda's analyses run: in this process through the binding, or in the ``vorda`` program.

The ``library`` engine takes a series as vorda reads it (read with vorda's
own reader, or the arrays a caller already holds), analyses it through
``vordakit._vorda`` and writes the result files with the program's output
code; the ``process`` engine runs ``vorda`` (see ``runner``). Their result
files are the same, byte for byte, and so are the notes a run leaves beside
them. ``choose`` picks the library when it is built.

A run of the library engine also keeps what it computed (the binding's
arrays), so that the results of a fresh run are made from those arrays
(``results_of``) instead of being read back from the files.
"""

import contextlib
import os
import shutil
import time

import numpy as np

from vordakit import binding as _binding
from vordakit import catalogue, model, notes, runner
from vordakit.errors import KitError
from vordakit.runner import RunOutcome
from vordakit.thresholds import duration_text, shown_threshold, threshold_number, type_name

__all__ = ["ENGINES", "binding", "choose", "runs", "ProcessRuns", "LibraryRuns", "series_arrays", "results_of"]

ENGINES = ("library", "process")

# The binding, or None when it is not built (replaced in tests to play its absence).
binding = _binding.load


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
            raise KitError(None, None, f"the binding vordakit._vorda is not built ({_binding.REMEDY}); "
                                       "use --engine process")
        return "process"
    return "library"


def runs(engine, vorda, source, outdir, name=None, series=None):
    """A ``with`` block of runs on one input: ``ProcessRuns`` or ``LibraryRuns``."""
    if engine == "library":
        return LibraryRuns(source, outdir, name, series=series, vorda=vorda)
    return ProcessRuns(vorda, source, outdir, name)


class ProcessRuns:
    """Runs of ``vorda`` on one input into one result folder (see runner.RunFolder), noted beside their files."""

    def __init__(self, vorda, source, outdir, name=None):
        self.folder = runner.RunFolder(vorda, source, outdir, name)

    def __enter__(self):
        os.makedirs(self.folder.outdir, exist_ok=True)
        notes.check_notes(self.folder.outdir)
        self.folder.__enter__()
        return self

    def __exit__(self, *exc):
        self.folder.__exit__(*exc)

    def run(self, thrtype, threshold, min_duration, size=None):
        res = self.folder.run(thrtype, threshold, min_duration, size)
        if res.status == 0:
            # So that tidy, trend and plot find the input's calendar later.
            f = self.folder
            notes.note_run(f.outdir, f.name, f.source, type_name(thrtype), threshold_number(threshold),
                           int(duration_text(min_duration)))
        return res


class LibraryRuns:
    """Runs through the binding on one input into one result folder, as ``ProcessRuns`` runs vorda.

    The input is read once per size with vorda's reader, or taken from
    ``series`` (a dict of the arrays t, d, m, yr, x exactly as vorda reads
    the file). Each run writes into a working folder inside the result folder
    (one for the block's runs, empty between them) and its files are renamed
    into place only when all are written. Where
    vorda would end with a runtime error (a file it cannot read), the run is
    handed to ``vorda`` itself, so that its report passes through unchanged;
    without a ``vorda`` to hand it to, the binding's report is given.
    """

    def __init__(self, source, outdir, name=None, series=None, vorda=None):
        self.source = os.path.abspath(source)
        self.outdir = outdir
        self.name = os.path.basename(self.source) if name is None else name
        runner.typed_name(self.name)  # the same names are refused as with vorda
        self.vorda = vorda
        self.lib = binding()
        self.series = {} if series is None else {len(series["x"]): series}
        self.work = None

    def __enter__(self):
        os.makedirs(self.outdir, exist_ok=True)
        notes.check_notes(self.outdir)
        return self

    def __exit__(self, *exc):
        if self.work is not None:
            shutil.rmtree(self.work, ignore_errors=True)
            self.work = None

    def _series(self, size):
        if size not in self.series:
            self.series[size] = self.lib.read_series(self.source, size)
        return self.series[size]

    def _size(self, size):
        if size is not None:
            return size
        try:
            size = runner.count_records(self.source)
        except OSError:
            return 0  # the reader's report of the open failure is the one to show
        if size == 0:
            raise KitError(self.source, None, "holds no records: nothing to analyse")
        return size

    def run(self, thrtype, threshold, min_duration, size=None):
        thrtype = type_name(thrtype)
        value = threshold_number(threshold)
        durmin = int(duration_text(min_duration))
        t0 = time.perf_counter()
        size = self._size(size)
        try:
            if int(size) > self.lib.NMAX:
                raise self.lib.Failure(f"VORDA runtime error: Data size {int(size)} exceeds the maximum of "
                                       f"{self.lib.NMAX}\n")
            # A size below 1 reads no record, as 0 does.
            s = self._series(max(int(size), 0))
        except self.lib.Failure as e:
            return self._by_process(thrtype, threshold, min_duration, size, e)
        # Made once for the block's runs: a folder made and removed costs as much as a run's tables.
        work = self.work = self.work or runner.work_folder(self.outdir)
        try:
            analysis = self.lib.write_results(work, self.name, s["t"], s["d"], s["m"], s["yr"], s["x"],
                                              thrtype, value, durmin)
            moved = runner.place_all(work, sorted(os.listdir(work)), self.outdir)
        except OSError as e:
            # Said of the result folder, never of the hidden working folder inside it.
            report = f"vordakit: {self.outdir}: {e.strerror or e}\n".encode()
            return RunOutcome(2, report, [], time.perf_counter() - t0)
        finally:
            self._empty()
        # So that tidy, trend and plot find the input's calendar later, as after a run of vorda.
        notes.note_run(self.outdir, self.name, self.source, thrtype, value, durmin)
        return RunOutcome(0, b"", moved, time.perf_counter() - t0, analysis, (self.name, thrtype, value, durmin))

    def _empty(self):
        """Remove what a run left in the working folder (nothing, when its files were placed)."""
        if self.work is None:
            return
        try:
            left = os.listdir(self.work)
        except OSError:
            self.work = None
            return
        for entry in left:
            path = os.path.join(self.work, entry)
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                with contextlib.suppress(OSError):
                    os.unlink(path)

    def _by_process(self, thrtype, threshold, min_duration, size, failure):
        vorda = self.vorda
        if vorda is None:
            try:
                vorda = runner.find_vorda()
            except KitError:
                return RunOutcome(2, str(failure).encode(), [])
        with ProcessRuns(vorda, self.source, self.outdir, self.name) as process:
            res = process.run(thrtype, threshold, min_duration, size)
        # Without its arrays: the tables of this run are read from its files.
        return RunOutcome(res.status, res.report, res.files, res.seconds)


def series_arrays(series):
    """The arrays vorda would read from the VORDA file a checked series was read from, or None.

    A series read from a VORDA file (by ``formats.vorda.read``) without an error
    holds the file's records: the calendar fields, t, and the values as the
    doubles nearest their decimals, which is what vorda reads.
    """
    if series.t is None or series.fmt != "vorda" or np.isnan(series.x).any():
        return None
    yr, m, d = series.ymd
    return {"t": series.t, "d": d, "m": m, "yr": yr, "x": np.ascontiguousarray(series.x, dtype=np.float64)}


def results_of(outcomes, folder):
    """The Results of library runs into ``folder``, from their arrays.

    They are the results ``results.read_results(folder, names=...)`` reads
    from those runs' files: the same values, warnings and order, and what the
    folder's notes add, without a result file being read.
    """
    res = model.Results()
    by_file = {}  # path -> warnings, given in the order of the file names as read_results reads them
    keyed = []
    for r in outcomes:
        name, thrtype, value, durmin = r.run
        keyed.append((model.Run(name, thrtype, float(shown_threshold(value)), durmin), r))
    for run, r in sorted(keyed, key=lambda k: k[0]):
        model.from_analysis(run, r.analysis, _paths(r.files, folder), by_file, res)
    res.warnings = [w for path in sorted(by_file) for w in by_file[path]]
    # The days each year holds and the threshold given come from the notes, as when the files are read.
    notes.add_notes(res, folder)
    notes.add_percentile_marks(res, folder)
    return res


def _paths(files, folder):
    """The result file of each index, and of the events, among a run's ``files``."""
    paths = {}
    for path in files:
        entry = os.path.basename(path)
        index = catalogue.file_index(entry)
        if index != catalogue.EVENTS:
            paths[index] = os.path.join(folder, entry)
    # The full event file's name is that of any yearly one with another prefix.
    tail = catalogue.tail_of(os.path.basename(paths[catalogue.INDEX_ORDER[0]]))
    paths[catalogue.EVENTS] = os.path.join(folder, catalogue.result_name(catalogue.EVENTS, tail))
    return paths
