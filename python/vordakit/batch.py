"""Many stations at once: station list in, one folder per station, combined tables and a summary out.

The station list (see vordakit.stationlist) gives each station's file and
runs. Every station goes through convert (unless its file is already a VORDA
input), qc, one run per row, tidy, trend and plot, in its own folder
``<out>/<name>/``. Stations run in parallel in worker processes. Whatever goes
wrong with one station is caught in its worker, written to its folder's
error.txt and to summary.csv, and the others carry on.

A station's series is read once: the records read for the checks are the
ones the runs analyse (through the binding), whose arrays make the tables,
and the tables take each year's days from them too.
"""

import concurrent.futures
import csv
import ctypes
import dataclasses
import hashlib
import importlib.util
import io
import multiprocessing
import os
import re
import shutil
import signal
import sys
import threading
import time
import traceback

import numpy as np

from vordakit import convert, engine, notes, percentile, plot, qc, results, runner, tables, trend
from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.formats.detect import detect_format, read_series
from vordakit.series import MISSING_MARKERS, PRECIPITATION, Series, guess_kind, write_vorda_arrays
from vordakit.model import EVENT_FIELDS, YEARLY_FIELDS
from vordakit.stationlist import Station, read_station_list

__all__ = ["Station", "Outcome", "read_station_list", "process_station", "run_batch", "write_combined",
           "command"]

SUMMARY_FIELDS = ("station", "file", "status", "reason", "runs", "qc_warnings", "seconds")
# Written into a station's folder once everything else is there: its rows and input as they were.
DONE = "done.txt"


@dataclasses.dataclass
class Outcome:
    """What a worker sends back for one station."""
    name: str
    file: str
    ok: bool = False
    reason: str = ""
    runs: int = 0
    qc_warnings: int = 0
    tables: bool = False   # its yearly, event and trend tables were written in this batch
    seconds: float = 0.0
    vorda_seconds: float = 0.0
    step_seconds: dict = dataclasses.field(default_factory=dict)
    resumed: bool = False  # complete from an earlier batch: nothing was done


def _refuse(findings, source):
    """Raise the first error of ``findings`` as the station's reason."""
    first = next((f for f in findings if f.severity == qc.ERROR), None)
    if first is None:
        return
    detail = first.detail
    if first.line is not None and detail.startswith(f"line {first.line}: "):
        detail = detail[len(f"line {first.line}: "):]
    if first.line is None and first.date is not None and str(first.date) not in detail:
        detail += f", {first.date}"
    if first.check == "gap":
        detail += " (batch --fill N interpolates gaps of up to N days)"
    raise KitError(source, first.line, f"qc: {first.check}: {detail}")


@dataclasses.dataclass
class Prepared:
    """One series of a station made ready for its runs."""
    source: str          # the VORDA input vorda reads
    size: int            # its records
    unit: str
    warnings: int = 0    # qc's findings
    series: object = None  # the series checked, as read from the source (None when not checked)
    arrays: dict = None  # the source as vorda reads it, for the binding (None: read from the file)


def _prepare(st, inp, folder, opts, timing):
    """The Prepared series of one input of a station; raises on refusal.

    A station file in any other layout is read once and converted into the
    folder, and the converted series is checked in memory. A VORDA input is
    read once, by the checks, as it is, unless --fill has days to fill in it:
    the filled copy then goes into the folder. The days filled are listed in
    filled.csv. The kind of series (temperature or precipitation) is the one
    the station file's element or layout says, or the list's kind column.
    """
    t0 = time.perf_counter()
    suffix = f"-{inp.label}" if inp.label else ""
    fmt = inp.format or detect_format(st.file)
    prep = Prepared(st.file, None, st.unit)
    kind = inp.kind
    converted = None
    if fmt != "vorda" or opts.fill is not None:
        series = read_series(st.file, fmt, **inp.reader)
        kind = kind or series.kind
        converted = _convert(st, series, fmt, folder, suffix, opts, prep)
    t1 = time.perf_counter()
    timing["convert"] = timing.get("convert", 0.0) + t1 - t0
    if opts.qc:
        series = _check(prep, converted, kind, folder, suffix, opts)
    elif prep.source == st.file:
        # Without the value checks the structure is still checked: vorda would
        # take a marker left in for a value and a broken t for days.
        series = read_series(prep.source, "vorda", problem=lambda *a, **k: None)
        if kind:
            series = dataclasses.replace(series, kind=kind)
        _refuse(qc.check_structure(series), prep.source)
    if prep.size is None:
        # A series that passed the structure checks holds one record per line;
        # without the checks, lines it could not read are vorda's to report.
        prep.size = len(series) if opts.qc else runner.count_records(prep.source)
    if opts.engine != "library":
        prep.arrays = None
    prep.unit = prep.unit or (series.unit if kind is None else ("mm" if kind == PRECIPITATION else "degC"))
    timing["qc"] = timing.get("qc", 0.0) + time.perf_counter() - t1
    return prep


def _convert(st, series, fmt, folder, suffix, opts, prep):
    """The series as vorda should read it, written into the folder where it is not the station file
    itself (then ``prep`` names it, with the arrays vorda reads from it); None where it is."""
    filled = []
    out, _ = convert.select(series, policy=opts.policy, max_fill=opts.fill, filled=filled)
    if filled:
        convert.write_filled(filled, os.path.join(folder, f"filled{suffix}.csv"))
    if fmt == "vorda" and not filled and len(out) == len(series):
        return None
    prep.source = os.path.join(folder, f"{st.name}{suffix}.txt")
    prep.arrays = write_vorda_arrays(out, prep.source)
    prep.size = len(out)
    return out


def _check(prep, converted, kind, folder, suffix, opts):
    """qc's findings on the series: the converted one in memory, else the source's as read.
    Their CSV is written, an error refuses the station; returns the series checked."""
    if converted is not None:
        series = _as_read(prep, converted, kind)
        findings = qc.check_series(series)
    else:
        series, findings, _ = qc.analyse(prep.source, "vorda", kind=kind)
    qc.write_findings_csv(findings, os.path.join(folder, f"qc{suffix}.csv"))
    _refuse(findings, prep.source)
    # The tables take the days each year holds from these records, not from the file again.
    notes.remember_calendar(prep.source, series.ordinal)
    prep.warnings = len(findings)
    prep.series = series
    prep.arrays = engine.series_arrays(series)
    return series


def _as_read(prep, converted, kind):
    """The series of the VORDA input just written, as reading it would give it: its
    values as their texts read, a missing-value marker among them missing (qc
    reports it), its lines and t."""
    x = prep.arrays["x"].copy()
    x[np.isin(x, MISSING_MARKERS)] = np.nan
    return Series(prep.source, "x", kind or guess_kind(x), converted.ordinal, x, converted.decimals,
                  np.arange(1, len(x) + 1), prep.arrays["t"], "vorda")


# What a batch writes into a station's folder: result files, tables, pictures,
# notes, and the inputs it converts (``<name>.txt``, ``<name>-<choice>.txt``).
_WRITTEN = re.compile(r"VORDA.*\.dat|.*\.png|plots\.pdf"
                      r"|(yearly|events|trend|inputs|runs|qc|qc-.*|filled|filled-.*)\.csv"
                      r"|error\.txt|warnings\.txt|" + re.escape(DONE) + r"|\..*\.tmp")


def _clear(folder, name, keep):
    """Remove from a station's folder what an earlier attempt wrote, but for the station file itself.

    Only the batch's own files go: the folder may be one the user had before
    (``-o ~`` and a station named after a folder there), and what the user
    put into it stays.
    """
    # Its converted inputs, and a percentile run's exceedance series, threshold table and description.
    converted = re.compile(re.escape(name) + r"(-.*)?\.txt"
                           + "|" + re.escape(name) + r"(-.*)?-p[\d.]+-\d+-\d+-w\d+(-thresholds\.csv|\.json)")
    for entry in os.scandir(folder):
        if entry.name.startswith(".vordakit-run-") and entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)
        elif (_WRITTEN.fullmatch(entry.name) or converted.fullmatch(entry.name)) \
                and not entry.is_dir(follow_symlinks=False) \
                and not (os.path.exists(keep) and os.path.samefile(entry.path, keep)):
            os.unlink(entry.path)


def process_station(st, outdir, vorda, opts):
    """Everything for one station, in its folder. Never raises: the outcome says what happened."""
    t0 = time.perf_counter()
    out = Outcome(st.name, st.file)
    folder = os.path.join(outdir, st.name)
    timing = out.step_seconds
    problems = []
    try:
        if opts.resume and _complete(st, folder, opts):
            out.ok = out.tables = out.resumed = True
            out.runs = len(st.rows)
            out.reason = "complete from an earlier batch"
            return out
        os.makedirs(folder, exist_ok=True)
        _clear(folder, st.name, st.file)
        files = []
        done = []  # the library's runs, whose arrays make the tables
        unit = st.unit
        for inp in st.inputs:
            prep = _prepare(st, inp, folder, opts, timing)
            unit = prep.unit
            out.qc_warnings += prep.warnings
            t = time.perf_counter()
            problems += _run_rows(st, inp, prep, folder, vorda, opts, out, files, done)
            timing["run"] = timing.get("run", 0.0) + time.perf_counter() - t
        if files:
            _station_tables(out, folder, files, unit, opts, timing, done if len(done) == out.runs else None)
    except KitError as e:
        problems.append(" ".join(str(e).split("\n")))
    except OSError as e:
        problems.append(f"{e.filename}: {e.strerror}" if e.filename else str(e))
    except Exception as e:  # a fault of the toolkit: keep its trace for the report
        problems.append(f"{type(e).__name__}: {e}")
        _write_text(os.path.join(folder, "error.txt"), traceback.format_exc(), quiet=True)
    out.ok = not problems
    out.reason = "; ".join(problems)
    if problems:
        _write_text(os.path.join(folder, "error.txt"), "\n".join(problems) + "\n", quiet=True, append=True)
    else:
        _write_text(os.path.join(folder, DONE), _fingerprint(st, opts), quiet=True)
    out.seconds = time.perf_counter() - t0
    return out


def _run_rows(st, inp, prep, folder, vorda, opts, out, files, done):
    """The runs of one input's rows; the files placed go to ``files``, the library's
    outcomes (whose arrays make the tables) to ``done``; returns the problems."""
    problems = []
    name = f"{st.name}-{inp.label}.txt" if inp.label else f"{st.name}.txt"
    with engine.runs(opts.engine, vorda, prep.source, folder, name=name, series=prep.arrays) as runs:
        for row in inp.rows:
            if row.setting is None:
                res = runs.run(row.type, row.threshold, row.min_duration, prep.size)
            else:
                res = percentile.run(vorda, prep.source, row.setting, row.type, row.min_duration, folder, name,
                                     row.bootstrap, engine_name=opts.engine, series=prep.series)
            out.vorda_seconds += res.seconds
            if res.status != 0:
                report = res.report.decode("utf-8", "replace").strip().replace("\n", " / ")
                what = row.threshold if row.setting is None else row.setting.suffix
                problems.append(f"{row.type} {what} durmin {row.min_duration} "
                                f"(list line {row.line}): {runner.describe_status(res.status)}: {report}")
                continue
            out.runs += 1
            files.extend(os.path.basename(p) for p in res.files)
            if res.analysis is not None:
                done.append(res)
    return problems


def _fingerprint(st, opts):
    """What a station's results depend on: its rows, its file's content and the batch's options."""
    h = hashlib.sha256()
    with open(st.file, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    rows = [(i.choice, r.type, r.threshold, r.min_duration) + ((r.setting.suffix, r.bootstrap) if r.setting else ())
            for i in st.inputs for r in i.rows]
    return (f"file {st.file}\nsha256 {h.hexdigest()}\nrows {rows!r}\nunit {st.unit!r}\n"
            f"options plots={opts.plots} qc={opts.qc} fill={opts.fill}\n")


def _complete(st, folder, opts):
    """Whether the folder holds a finished attempt at the same rows on the same input."""
    try:
        with open(os.path.join(folder, DONE), encoding="utf-8") as f:
            return f.read() == _fingerprint(st, opts)
    except (OSError, UnicodeDecodeError):
        return False


def _station_tables(out, folder, files, unit, opts, timing, done=None):
    """The station's tables, trends and pictures: from the library's arrays where
    every run has them, else from the result files."""
    t = time.perf_counter()
    res = engine.results_of(done, folder) if done else results.read_results(folder, names=files)
    tables.write_tables(res, folder)
    # Trends leave out years the series covers only in part, as `vordakit trend` does.
    warnings = res.warnings + trend.partial_note(res.yearly, False)
    if warnings:
        _write_text(os.path.join(folder, "warnings.txt"), "\n".join(warnings) + "\n")
    t1 = time.perf_counter()
    timing["tidy"] = t1 - t
    res.fits = {}
    trend.write_trends(trend.trends(trend.whole_years(res.yearly, False), res.fits), os.path.join(folder, "trend.csv"))
    out.tables = True
    t2 = time.perf_counter()
    timing["trend"] = t2 - t1
    if opts.plots:
        plot.plot_results(res, folder, unit)
        timing["plot"] = time.perf_counter() - t2


def _write_text(path, text, quiet=False, append=False):
    try:
        if append and os.path.exists(path):
            with open(path, "a", encoding="utf-8") as f:
                f.write(text)
            return
        with atomic_write(path) as f:
            f.write(text)
    except OSError:
        if not quiet:
            raise


@dataclasses.dataclass
class Options:
    plots: bool = True
    qc: bool = True
    policy: str = "refuse"
    fill: int = None
    resume: bool = False
    engine: str = "process"


class Progress:
    """A one-line progress bar on standard error, drawn only on a terminal."""

    def __init__(self, total, enabled):
        self.total, self.enabled = total, enabled
        self.done = self.failed = 0
        self.t0 = time.monotonic()

    def step(self, ok):
        self.done += 1
        self.failed += not ok
        if self.enabled:
            width = 30
            filled = width * self.done // self.total
            bar = "#" * filled + "." * (width - filled)
            failed = f", {self.failed} failed" if self.failed else ""
            sys.stderr.write(f"\r[{bar}] {self.done}/{self.total} stations{failed}, "
                             f"{time.monotonic() - self.t0:.0f} s")
            sys.stderr.flush()

    def close(self):
        if self.enabled and self.done:
            sys.stderr.write("\n")
            sys.stderr.flush()


# glibc's mallopt parameter: memory kept at the top of the heap when it shrinks.
_M_TOP_PAD = -2


def keep_freed_memory():
    """Let the C library keep the memory that one station's arrays freed for the next.

    glibc hands freed memory at the top of the heap back to the system at
    once, and the next station's arrays then take a page fault for every page
    again, which costs about as much as its checks. Elsewhere this does nothing.
    """
    try:
        ctypes.CDLL(None).mallopt(_M_TOP_PAD, 64 << 20)
    except (OSError, AttributeError):
        pass


class Ended(BaseException):
    """A second interrupt or a SIGTERM: the batch ends at once."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


# Set in the main process at the first interrupt; workers see it through fork.
_stop = None
_busy = False


def _worker_start():
    """Workers finish the station they hold when the terminal interrupts (the
    main process decides what happens next), and end cleanly when terminated."""
    keep_freed_memory()
    # vorda inherits the ignored interrupt and finishes its run too.
    signal.signal(signal.SIGINT, signal.SIG_IGN)

    def terminated(signum, frame):
        if not _busy:
            os._exit(128 + signum)
        raise Ended(signum)
    signal.signal(signal.SIGTERM, terminated)
    # Raised where Python cannot pass it on (a finalizer that ran when the
    # signal came), the end would only be printed as an ignored exception
    # with its traceback, and the station would go on. The worker ends
    # instead; the main process removes what it left half written.
    sys.unraisablehook = _end_if_terminated


def _quiet_if_ended(unraisable):
    # The batch's loop raises it again where it can pass it on.
    if not isinstance(unraisable.exc_value, Ended):
        sys.__unraisablehook__(unraisable)


def _end_if_terminated(unraisable):
    if isinstance(unraisable.exc_value, Ended):
        os._exit(128 + unraisable.exc_value.signum)
    sys.__unraisablehook__(unraisable)


def _work(st, outdir, vorda, opts):
    global _busy
    if _stop.is_set():
        return Outcome(st.name, st.file, reason=NOT_STARTED)
    _busy = True
    try:
        return process_station(st, outdir, vorda, opts)
    except Ended as e:
        # Files half written and vorda's working folders went as the station unwound.
        os._exit(128 + e.signum)
    finally:
        _busy = False


NOT_STARTED = "interrupted: not started"


def remove_temporaries(outdir, names):
    """The hidden files and working folders of writes that were cut short."""
    for folder in [outdir] + [os.path.join(outdir, n) for n in names]:
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue
        for e in entries:
            if e.name.startswith(".vordakit-run-") and e.is_dir(follow_symlinks=False):
                shutil.rmtree(e.path, ignore_errors=True)
            elif e.name.startswith(".") and e.name.endswith(".tmp"):
                try:
                    os.unlink(e.path)
                except OSError:
                    pass


def run_batch(stations, outdir, vorda, jobs=None, opts=None, progress=False):
    """Process every station; returns their Outcomes in list order and writes the combined tables.

    The first interrupt (SIGINT) starts no new station: the running ones
    finish, and the stations not started are outcomes with the reason
    ``NOT_STARTED``. A second interrupt or SIGTERM raises ``Ended`` once no
    worker runs any more and no temporary file is left.

    The processes that work on the stations (this one with one job) keep
    freed memory for reuse: see ``keep_freed_memory``.
    """
    global _stop
    opts = opts or Options()
    os.makedirs(outdir, exist_ok=True)
    jobs = max(1, min(jobs or os.cpu_count() or 1, len(stations)))
    bar = Progress(len(stations), progress)
    outcomes = {}
    _stop = multiprocessing.get_context("fork").Event()

    ending = []   # the signal that ends the batch, should its Ended be lost in a finalizer

    def interrupted(signum, frame):
        if signum == signal.SIGINT and not _stop.is_set():
            _stop.set()
            bar.close()
            sys.stderr.write("vordakit batch: interrupted: no new station starts, the running ones finish "
                             "(interrupt again to end at once)\n")
            return
        ending.append(signum)
        raise Ended(signum)

    def ended_yet():
        if ending:
            raise Ended(ending[0])

    old = {sig: signal.signal(sig, interrupted) for sig in (signal.SIGINT, signal.SIGTERM)}
    old_hook = sys.unraisablehook
    sys.unraisablehook = _quiet_if_ended
    pool = None
    try:
        if jobs == 1:
            keep_freed_memory()
            for st in stations:
                ended_yet()
                if _stop.is_set():
                    outcomes[st.name] = Outcome(st.name, st.file, reason=NOT_STARTED)
                    continue
                o = outcomes[st.name] = process_station(st, outdir, vorda, opts)
                if not o.ok and _stop.is_set():
                    o.reason = "interrupted: " + o.reason
                bar.step(o.ok)
        else:
            pool = concurrent.futures.ProcessPoolExecutor(
                max_workers=jobs, mp_context=multiprocessing.get_context("fork"), initializer=_worker_start)
            futures = {pool.submit(_work, st, outdir, vorda, opts): st for st in stations}
            pending = set(futures)
            while pending:
                ended_yet()
                done, pending = concurrent.futures.wait(pending, timeout=0.2,
                                                        return_when=concurrent.futures.FIRST_COMPLETED)
                if _stop.is_set():
                    for fut in pending:
                        fut.cancel()
                for fut in done:
                    st = futures[fut]
                    if fut.cancelled():
                        outcomes[st.name] = Outcome(st.name, st.file, reason=NOT_STARTED)
                        continue
                    try:
                        outcomes[st.name] = fut.result()
                    except Exception as e:  # the worker itself died
                        outcomes[st.name] = Outcome(st.name, st.file, reason=f"worker failed: {e!r}")
                    if outcomes[st.name].reason != NOT_STARTED:
                        bar.step(outcomes[st.name].ok)
            pool.shutdown()
    except Ended:
        for sig, handler in old.items():
            signal.signal(sig, signal.SIG_IGN)
        if pool is not None:
            # The pool's own thread trips over the workers it sees go: the
            # batch is ending and says so itself.
            threading.excepthook = lambda args: None
            workers = list(getattr(pool, "_processes", {}).values())
            for w in workers:
                if w.is_alive():
                    w.terminate()
            for w in workers:
                w.join(5)
                if w.is_alive():
                    w.kill()
                    w.join()
        remove_temporaries(outdir, [st.name for st in stations])
        raise
    finally:
        bar.close()
        sys.unraisablehook = old_hook
        for sig, handler in old.items():
            if signal.getsignal(sig) is interrupted:
                signal.signal(sig, handler)
    ordered = [outcomes[st.name] for st in stations]
    write_combined(ordered, outdir)
    return ordered


def write_combined(outcomes, outdir):
    """summary.csv and the yearly, event and trend tables of all stations, with a station column.

    The combined tables are the stations' own tables, line by line, behind
    the station's name: the workers' CSV files are copied rather than their
    records sent back and formatted a second time.
    """
    tables.write_csv(os.path.join(outdir, "summary.csv"), SUMMARY_FIELDS,
                     ((o.name, o.file, _status(o), o.reason, o.runs, o.qc_warnings,
                       f"{o.seconds:.3f}") for o in outcomes))
    for table, fields in (("yearly.csv", YEARLY_FIELDS), ("events.csv", EVENT_FIELDS),
                          ("trend.csv", trend.TREND_FIELDS)):
        with atomic_write(os.path.join(outdir, table), "w", newline="") as f:
            f.write(",".join(("station",) + fields) + "\n")
            for o in outcomes:
                if o.tables:
                    _append_table(f, os.path.join(outdir, o.name, table), o.name)


def _status(o):
    if o.ok:
        return "ok"
    return "interrupted" if o.reason.startswith("interrupted") else "failed"


def _append_table(f, path, station):
    cell = io.StringIO()
    csv.writer(cell, lineterminator="").writerow([station])
    lead = cell.getvalue() + ","
    with open(path, newline="", encoding="utf-8") as src:
        next(src, None)
        # Cells never hold line ends, so a line is a row.
        f.writelines(lead + line for line in src)


def command(args):
    stations = read_station_list(args.stations)
    which = engine.choose(args.engine)
    # The library hands only a file it cannot read to vorda, which it then looks for.
    vorda = runner.find_vorda(args.vorda) if which == "process" or args.vorda else None
    if args.jobs is not None and args.jobs < 1:
        raise KitError(None, None, "-j needs at least 1")
    opts = Options(plots=not args.no_plots, qc=not args.no_qc,
                   policy="fill" if args.fill is not None else "refuse", fill=args.fill, resume=args.resume,
                   engine=which)
    if opts.plots and not _matplotlib():
        print("vordakit batch: matplotlib is not installed (Debian package python3-matplotlib): "
              "no plots, as with --no-plots", file=sys.stderr)
        opts.plots = False
    show = sys.stderr.isatty() and not args.no_progress
    try:
        outcomes = run_batch(stations, args.out, vorda, args.jobs, opts, progress=show)
    except Ended as e:
        why = "interrupted again" if e.signum == signal.SIGINT else "terminated"
        sys.stderr.write(f"vordakit batch: {why}: ended at once, without summary\n")
        sys.stderr.flush()
        # The pool's threads may wait for workers that are gone: leave without them.
        os._exit(128 + e.signum)
    failed = [o for o in outcomes if not o.ok and o.reason != NOT_STARTED]
    for o in failed:
        print(f"vordakit batch: {o.name}: {o.reason}", file=sys.stderr)
    resumed = sum(o.resumed for o in outcomes)
    done = sum(o.ok for o in outcomes)
    left = len(outcomes) - done - len(failed)
    print(f"vordakit batch: {done} of {len(outcomes)} stations done"
          + (f" ({resumed} complete from before)" if resumed else "")
          + f", {len(failed)} failed" + (f", {left} not started" if left else "")
          + f"; summary in {os.path.join(args.out, 'summary.csv')}", file=sys.stderr)
    if left or _stop is not None and _stop.is_set():
        print("vordakit batch: interrupted; `vordakit batch --resume` goes on where it stopped", file=sys.stderr)
        return 130
    return 1 if failed else 0


def _matplotlib():
    return importlib.util.find_spec("matplotlib") is not None
