"""Everything for one station of a batch, in its own folder: convert, qc, runs, tables, trends, plots.

``process_station`` never raises: what went wrong is the station's
``Outcome`` (written to its folder's error.txt as well), so that the batch
carries on with the others (see vordakit.batch).

A station's series is read once: a converted one is written and checked in
memory, as the file reads; a VORDA input is read by the checks. The series
checked is the one the runs analyse (through the binding), whose arrays make
the tables, and the tables take each year's days from it too.
"""

import dataclasses
import hashlib
import os
import re
import shutil
import time
import traceback

from vordakit import convert, engine, formats, notes, percentile, plot, qc, results, runner, tables, trend
from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.formats import metadata as meta
from vordakit.formats.detect import detect_format, read_series
from vordakit.series import PRECIPITATION, as_vorda_input, guess_kind, write_vorda_arrays

__all__ = ["Outcome", "Options", "DONE", "process_station"]

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
    metadata: meta.Station = meta.Station()  # full name, position, elevation, country
    unit: str = ""         # of the series' values, as the plots label them


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
        detail += f" ({BATCH_ADVICE['gaps']})"
    raise KitError(source, first.line, f"qc: {first.check}: {detail}")


# The remedies a batch has for what convert refuses: --fill, not convert's --longest and --from/--to.
BATCH_ADVICE = {
    "gaps": "batch --fill N interpolates gaps of up to N days",
    "long_gaps": "a larger batch --fill interpolates them",
    "size": "vorda reads no more: shorten the station file, e.g. to start on {start}",
}


def _in_list_words(error):
    """A reader's refusal with the list's columns for the command line's options it names:
    the list's element or column cell chooses the series in a batch."""
    reason = re.sub(r"with --(column|element)\b", r"in the station list's \1 cell", error.reason)
    reason = re.sub(r"--(column|element)\b", r"\1", reason)
    return KitError(error.path, error.line, reason)


def _open_station_file(st):
    """Refuse a station file that is not there, saying where a relative one was looked for."""
    if os.path.exists(st.file):
        return
    where = ""
    if st.listed and not os.path.isabs(st.listed):
        where = f" ({st.listed} is taken from the station list's folder, {st.list_folder})"
    raise KitError(st.file, None, f"no such station file{where}")


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
        try:
            series = read_series(st.file, fmt, **inp.reader)
        except KitError as e:
            raise _in_list_words(e) from None
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
    out, _ = convert.select(series, policy=opts.policy, max_fill=opts.fill, filled=filled, advice=BATCH_ADVICE)
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
    notes.remember_calendar(prep.source, series.ordinal, series.t, series.ymd)
    prep.warnings = len(findings)
    prep.series = series
    prep.arrays = engine.series_arrays(series)
    return series


def _as_read(prep, converted, kind):
    """The series of the VORDA input just written, as reading it would give it (kind given or guessed)."""
    series = dataclasses.replace(as_vorda_input(converted, prep.arrays), path=prep.source)
    return dataclasses.replace(series, kind=kind or guess_kind(series.x))


# What a batch writes into a station's folder: result files, tables, pictures,
# notes, and the inputs it converts (``<name>.txt``, ``<name>-<choice>.txt``).
_WRITTEN = re.compile(r"VORDA.*\.dat|plots\.pdf"
                      r"|(yearly|events|trend|inputs|runs|qc|qc-.*|filled|filled-.*)\.csv"
                      r"|error\.txt|warnings\.txt|" + re.escape(DONE) + r"|\..*\.tmp")


def _clear(folder, name, keep):
    """Remove from a station's folder what an earlier attempt wrote, but for the station file itself.

    Only the batch's own files go: the folder may be one the user had before
    (``-o ~`` and a station named after a folder there), and what the user
    put into it stays.
    """
    # Its converted inputs, and a percentile run's exceedance series, threshold table and description,
    # and the pictures, which are named after the input of their run (a picture of the user's stays).
    converted = re.compile(re.escape(name) + r"(-.*)?\.txt(-.*\.png)?"
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
    out = Outcome(st.name, st.file, metadata=st.metadata, unit=st.unit)
    folder = os.path.join(outdir, st.name)
    problems = []
    digest = None
    try:
        # The station file is read once: its hash, its layout and its records come from these bytes.
        _open_station_file(st)
        with formats.holding(st.file) as data:
            digest = hashlib.sha256(data).hexdigest()
            out.metadata = _metadata(st, opts)
            _process(st, folder, vorda, opts, out, digest, problems)
    except KitError as e:
        problems.append(" ".join(str(e).split("\n")))
    except OSError as e:
        problems.append(f"{e.filename}: {e.strerror}" if e.filename else str(e))
    except Exception as e:  # a fault of the toolkit: keep its trace for the report
        problems.append(f"{type(e).__name__}: {e}")
        _write_text(os.path.join(folder, "error.txt"), traceback.format_exc(), quiet=True)
    if out.resumed:
        return out
    out.ok = not problems
    out.reason = "; ".join(problems)
    out.seconds = time.perf_counter() - t0
    if problems:
        _write_text(os.path.join(folder, "error.txt"), "\n".join(problems) + "\n", quiet=True, append=True)
    else:
        _write_text(os.path.join(folder, DONE), _fingerprint(st, opts, digest)
                    + f"seconds {out.seconds:.3f}\nqc_warnings {out.qc_warnings}\nunit {out.unit}\n", quiet=True)
    return out


def _metadata(st, opts):
    """The station's metadata: the list's columns over the metadata files (those named
    by --metadata, else those beside the file) over the file's own header."""
    fmt = next((i.format for i in st.inputs if i.format), None)
    return meta.station_metadata(st.file, fmt, st.metadata, opts.metadata)


def _process(st, folder, vorda, opts, out, digest, problems):
    """The work of ``process_station`` on a station whose file is held in memory; the
    problems of its runs go to ``problems``, the rest raises."""
    timing = out.step_seconds
    earlier = _complete(st, folder, opts, digest) if opts.resume else None
    if earlier is not None:
        out.ok = out.tables = out.resumed = True
        out.runs = len(st.rows)
        out.reason = "complete from an earlier batch"
        # The summary keeps what the station cost and found when it was done.
        out.seconds, out.qc_warnings, out.unit = earlier
        return
    os.makedirs(folder, exist_ok=True)
    _clear(folder, st.name, st.file)
    files = []
    done = []  # the library's runs, whose arrays make the tables
    unit = st.unit
    for inp in st.inputs:
        prep = _prepare(st, inp, folder, opts, timing)
        unit = out.unit = prep.unit
        out.qc_warnings += prep.warnings
        t = time.perf_counter()
        problems += _run_rows(st, inp, prep, folder, vorda, opts, out, files, done)
        timing["run"] = timing.get("run", 0.0) + time.perf_counter() - t
    if files:
        _station_tables(out, folder, files, unit, opts, timing, done if len(done) == out.runs else None)


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


def _fingerprint(st, opts, digest):
    """What a station's results depend on: its rows, its file's content (``digest``, its
    sha256) and the batch's options."""
    rows = [(i.choice, r.type, r.threshold, r.min_duration) + ((r.setting.suffix, r.bootstrap) if r.setting else ())
            for i in st.inputs for r in i.rows]
    return (f"file {st.file}\nsha256 {digest}\nrows {rows!r}\nunit {st.unit!r}\n"
            f"options plots={opts.plots} qc={opts.qc} fill={opts.fill}\n")


def _complete(st, folder, opts, digest):
    """(seconds, qc warnings, unit) of a finished attempt at the same rows on the same input in the folder,
    else None.

    A done.txt of an earlier version holds the fingerprint alone: complete, at no known cost.
    """
    try:
        with open(os.path.join(folder, DONE), encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError):
        return None
    fingerprint = _fingerprint(st, opts, digest)
    if not text.startswith(fingerprint):
        return None
    found = dict(line.partition(" ")[::2] for line in text[len(fingerprint):].splitlines())
    try:
        return float(found.get("seconds", 0)), int(found.get("qc_warnings", 0)), found.get("unit", st.unit)
    except ValueError:
        return None


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
    metadata: list = None  # metadata files named for every station instead of those beside its file
