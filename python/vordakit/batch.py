"""Many stations at once: station list in, one folder per station, combined tables and a summary out.

The station list is tab-separated with a header line; the columns are found
by name: file, name, type, threshold, min_duration, and optionally format
(the station file's layout, default detected), element and column (which
series of the station file, where it holds several) and unit (for the
plots). A
station with several thresholds has several rows with the same name and file.

Every station goes through convert (unless its file is already a VORDA
input), qc, one vorda run per row, tidy, trend and plot, in its own folder
``<out>/<name>/``. Stations run in parallel in worker processes. Whatever goes
wrong with one station is caught in its worker, written to its folder's
error.txt and to summary.csv, and the others carry on.
"""

import collections
import concurrent.futures
import csv
import dataclasses
import hashlib
import io
import os
import re
import shutil
import signal
import sys
import time
import traceback

from vordakit import engine, notes, percentile, results, runner, trend
from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.series import PRECIPITATION, TEMPERATURE

__all__ = ["Station", "Outcome", "read_station_list", "process_station", "run_batch", "write_combined",
           "command"]

COLUMNS = ("file", "name", "type", "threshold", "min_duration")
# Reader options for station files that need them (GHCN element, station6 or table column).
READER_OPTIONS = ("element", "column")
# What a row chooses of its station's file: the layout, the series in it and its kind.
CHOICE = ("format",) + READER_OPTIONS + ("kind",)
# A percentile threshold instead of a fixed one: see vordakit.percentile.
PERCENTILE = ("percentile", "base", "window", "bootstrap")
OPTIONAL = ("unit",) + CHOICE + PERCENTILE
ALIASES = {
    "station_file": "file", "path": "file",
    "station": "name", "station_name": "name",
    "threshold_type": "type",
    "threshold_value": "threshold", "value": "threshold",
    "minimum_duration": "min_duration", "durmin": "min_duration", "duration": "min_duration",
}
# What the bootstrap column takes, in any case; empty is no.
YES_NO = {"yes": True, "y": True, "true": True, "1": True, "no": False, "n": False, "false": False, "0": False,
          "": False}
COMBINED = ("summary.csv", "yearly.csv", "events.csv", "trend.csv")
SUMMARY_FIELDS = ("station", "file", "status", "reason", "runs", "qc_warnings", "seconds")
# Written into a station's folder once everything else is there: its rows and input as they were.
DONE = "done.txt"

Row = collections.namedtuple("Row", "line type threshold min_duration setting bootstrap", defaults=(None, False))


@dataclasses.dataclass
class Input:
    """One series of a station's file, as a group of list rows chooses it."""
    format: str = None
    reader: dict = dataclasses.field(default_factory=dict)
    kind: str = None
    label: str = ""        # tells the series of one station apart in file names; empty when alone
    choice: tuple = ()
    rows: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Station:
    name: str
    file: str
    unit: str = ""
    inputs: list = dataclasses.field(default_factory=list)
    listed: str = ""       # the file as the list gives it, and the list's folder, for messages
    list_folder: str = ""

    @property
    def rows(self):
        return [r for i in self.inputs for r in i.rows]


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


def name_threshold(text):
    """The threshold as vorda writes it in result names: f0.1, rounded half away
    from zero, without a leading zero, at most 20 characters.

    >>> name_threshold("16.25"), name_threshold("16.3"), name_threshold("-0.5"), name_threshold("2")
    ('16.3', '16.3', '-.5', '2.0')

    Zero itself keeps its zero; a value that only rounds to it, or minus zero, does not:

    >>> name_threshold("0"), name_threshold("0.04"), name_threshold("-0")
    ('0.0', '.0', '-.0')
    """
    number = runner.threshold_number(text)
    if number == 0 and str(number) == "0.0":
        return "0.0"
    shown = notes.shown_threshold(number)
    return shown.replace("0.", ".", 1) if shown.lstrip("-").startswith("0.") else shown[:20]


def _label(choice):
    words = [v for k, v in choice if k != "format" and v] or [v for _, v in choice if v]
    return re.sub(r"[^A-Za-z0-9._-]", "_", "-".join(words)) or "default"


def _key(header_cell):
    k = header_cell.strip().lower().replace(" ", "_").replace("-", "_")
    return ALIASES.get(k, k)


def _folder_name(name, path, line):
    if not name:
        raise KitError(path, line, "empty station name")
    if name in (".", "..") or "/" in name or "\\" in name or any(ord(c) < 32 for c in name):
        raise KitError(path, line, f"station name {name!r} cannot name a folder")
    if name in COMBINED:
        raise KitError(path, line, f"station name {name!r} is taken by the batch's own table")
    # vorda is given "<name>.txt" and keeps 80 characters of it.
    if len(name) + 4 > runner.MAX_NAME:
        raise KitError(path, line, f"station name longer than {runner.MAX_NAME - 4} characters")
    return name


def _choice(cell, path, number):
    """The row's choice of series as a tuple of (column, value), checked as far as the list can tell."""
    from vordakit.formats import ghcn, station6
    from vordakit.formats.detect import OPTION_NAMES, READERS

    fmt = cell.get("format") or None
    if fmt is not None and fmt not in READERS:
        raise KitError(path, number, f"unknown format {fmt!r} (one of {', '.join(READERS)})")
    element, column = cell.get("element") or None, cell.get("column") or None
    if element is not None and element.upper() not in ghcn.ELEMENTS:
        raise KitError(path, number, f"unknown element {element!r} (one of {', '.join(ghcn.ELEMENTS)})")
    if fmt == "station6" and column is not None and column.lower() not in station6.COLUMNS:
        raise KitError(path, number, f"unknown station6 column {column!r} (one of {', '.join(station6.COLUMNS)})")
    if fmt is not None:
        stray = [OPTION_NAMES[k][2:] for k, v in (("element", element), ("column", column))
                 if v is not None and k not in READERS[fmt][1]]
        if stray:
            raise KitError(path, number, f"{', '.join(stray)} does not apply to a {fmt} file")
    kind = (cell.get("kind") or "").lower() or None
    if kind is not None and kind not in (TEMPERATURE, PRECIPITATION):
        raise KitError(path, number, f"unknown kind {kind!r} ({TEMPERATURE} or {PRECIPITATION})")
    return (("format", fmt), ("element", element), ("column", column), ("kind", kind))


def read_station_list(path):
    """The stations of a list, in the order of their first row. A bad list is refused whole.

    Rows of one station that choose different series of its file (another
    column or element) each get their own input, converted once per choice.
    """
    with open(path, "rb") as f:
        data = f.read()
    try:
        # A spreadsheet saves a byte-order mark and CR LF line ends.
        lines = data.decode("utf-8-sig").splitlines()
    except UnicodeDecodeError as e:
        raise KitError(path, data.count(b"\n", 0, e.start) + 1, "not UTF-8 text") from None
    base = os.path.dirname(os.path.abspath(path))
    header_at = next((i for i, t in enumerate(lines) if t.strip() and not t.startswith("#")), None)
    if header_at is None:
        raise KitError(path, None, "empty station list; expected a header line: " + "\t".join(COLUMNS))
    header = [_key(c) for c in lines[header_at].split("\t")]
    missing = [c for c in COLUMNS if c not in header and not (c == "threshold" and "percentile" in header)]
    if missing:
        raise KitError(path, header_at + 1,
                       f"the header lacks {', '.join(missing)} (tab-separated: {', '.join(COLUMNS)})")
    where = {c: header.index(c) for c in COLUMNS + OPTIONAL if c in header}
    _warn_unknown(header, path, header_at + 1)
    stations = {}
    seen = {}
    named = {}
    for number, text in enumerate(lines[header_at + 1:], start=header_at + 2):
        if not text.strip() or text.startswith("#"):
            continue
        cells = text.split("\t")
        if len(cells) != len(header):
            raise KitError(path, number, f"expected {len(header)} tab-separated fields, found {len(cells)}")
        cell = {c: cells[i].strip() for c, i in where.items()}
        try:
            letter = runner.type_letter(cell["type"])
            setting = None
            if cell.get("percentile"):
                if cell.get("threshold"):
                    raise KitError(None, None, "give a threshold or a percentile, not both")
                setting = percentile.parse_setting(cell["percentile"], cell.get("base"), cell.get("window") or 5)
                thr = "0.0"
            else:
                thr = runner.threshold_text(cell.get("threshold", ""))
            dur = runner.given_duration(cell["min_duration"])
        except KitError as e:
            raise KitError(path, number, e.reason) from None
        name = _folder_name(cell["name"], path, number)
        if not cell["file"]:
            raise KitError(path, number, "empty station file")
        choice = _choice(cell, path, number)
        file = os.path.join(base, cell["file"])
        st = stations.get(name)
        if st is None:
            st = stations[name] = Station(name, file, cell.get("unit", ""), listed=cell["file"], list_folder=base)
        elif st.file != file:
            raise KitError(path, number, f"station {name!r} was given the file {st.file} before")
        inp = next((i for i in st.inputs if i.choice == choice), None)
        if inp is None:
            inp = Input(choice[0][1], {k: v for k, v in choice[1:3] if v}, choice[3][1], choice=choice)
            st.inputs.append(inp)
        type_ = "upper" if letter == "u" else "lower"
        run = (type_, runner.threshold_number(thr), int(dur), setting and setting.suffix)
        if (name, choice, run) in seen:
            raise KitError(path, number, f"the same run as line {seen[(name, choice, run)]}")
        seen[(name, choice, run)] = number
        # vorda names its result files by the threshold with one decimal and the
        # duration in at most 7 digits: runs that look alike there overwrite each
        # other. Their headers give the threshold with one decimal too, and runs
        # whose thresholds are one number there cannot be told apart in the tables.
        shown = (name, choice, type_, float(notes.shown_threshold(run[1])), dur[:7], setting and setting.suffix)
        if shown in named:
            other, other_thr = named[shown]
            if name_threshold(thr) == name_threshold(other_thr):
                why = f"both show as {name_threshold(thr)} in the result names; one run would overwrite the other"
            else:
                why = (f"both are {notes.shown_threshold(run[1])} to one decimal in the result files' headers; "
                       "the tables could not tell the runs apart")
            raise KitError(path, number, f"threshold {thr} and {other_thr} of line {other} {why}")
        named[shown] = (number, thr)
        boot = _yes_no(cell.get("bootstrap", ""), path, number)
        inp.rows.append(Row(number, type_, thr, dur, setting, boot))
    if not stations:
        raise KitError(path, None, "the station list has no rows")
    for st in stations.values():
        if len(st.inputs) > 1:
            for inp in st.inputs:
                inp.label = _label(inp.choice)
                if len(st.name) + len(inp.label) + 5 > runner.MAX_NAME:
                    raise KitError(path, inp.rows[0].line, f"station name and series {inp.label!r} longer than "
                                                           f"{runner.MAX_NAME - 5} characters")
    return list(stations.values())


def _yes_no(text, path, line):
    if text.lower() not in YES_NO:
        raise KitError(path, line, f"bootstrap {text!r} is neither yes nor no (also true/false, y/n, 1/0; "
                                   "empty for no)")
    return YES_NO[text.lower()]


def _warn_unknown(header, path, line):
    """One warning for the header's columns that the batch does not read: a misspelt
    optional column (bootsrap) would otherwise be left out without a word."""
    known = set(COLUMNS + OPTIONAL)
    unknown = [repr(c) if c else f"{i + 1} (no name)" for i, c in enumerate(header) if c not in known]
    if unknown:
        results.print_warnings("batch", [f"{path}:{line}: column{'s' * (len(unknown) > 1)} {', '.join(unknown)} "
                                         f"ignored: not one the batch reads ({', '.join(COLUMNS + OPTIONAL)})"])


def _refuse(findings, source):
    """Raise the first error of ``findings`` as the station's reason."""
    from vordakit import qc

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


def _prepare(st, inp, folder, opts, timing):
    """(file vorda reads, its record count, unit, qc warnings, the series as vorda reads it or None)
    of one input; raises on refusal.

    A station file in any other layout is converted into the folder. A VORDA
    input is read as it is, unless --fill has days to fill in it: the filled
    copy then goes into the folder. The days filled are listed in
    filled.csv. The kind of series (temperature or precipitation) is the one
    the station file's element or layout says, or the list's kind column.
    """
    from vordakit import convert, qc
    from vordakit.formats.detect import detect_format, read_series
    from vordakit.series import write_vorda

    t0 = time.perf_counter()
    suffix = f"-{inp.label}" if inp.label else ""
    _open_station_file(st)
    fmt = inp.format or detect_format(st.file)
    source, size, kind = st.file, None, inp.kind
    if fmt != "vorda" or opts.fill is not None:
        try:
            series = read_series(st.file, fmt, **inp.reader)
        except KitError as e:
            raise _in_list_words(e) from None
        kind = kind or series.kind
        filled = []
        out, _ = convert.select(series, policy=opts.policy, max_fill=opts.fill, filled=filled, advice=BATCH_ADVICE)
        if fmt != "vorda" or filled or len(out) != len(series):
            source = os.path.join(folder, f"{st.name}{suffix}.txt")
            size = write_vorda(out, source)
        if filled:
            convert.write_filled(filled, os.path.join(folder, f"filled{suffix}.csv"))
    t1 = time.perf_counter()
    timing["convert"] = timing.get("convert", 0.0) + t1 - t0
    unit, warnings, arrays = st.unit, 0, None
    if opts.qc:
        series, findings, _ = qc.analyse(source, "vorda", kind=kind)
        qc.write_findings_csv(findings, os.path.join(folder, f"qc{suffix}.csv"))
        _refuse(findings, source)
        # The tables take the days each year holds from these records, not from the file again.
        notes.remember_calendar(source, series.ordinal)
        warnings = len(findings)
        if opts.engine == "library":
            arrays = engine.series_arrays(series)
    elif source == st.file:
        # Without the value checks the structure is still checked: vorda would
        # take a marker left in for a value and a broken t for days.
        series = read_series(source, "vorda", problem=lambda *a, **k: None)
        if kind:
            series = dataclasses.replace(series, kind=kind)
        _refuse(qc.check_structure(series), source)
    if size is None:
        # A series that passed the structure checks holds one record per line;
        # without the checks, lines it could not read are vorda's to report.
        size = len(series) if opts.qc else runner.count_records(source)
    unit = unit or (series.unit if kind is None else ("mm" if kind == PRECIPITATION else "degC"))
    timing["qc"] = timing.get("qc", 0.0) + time.perf_counter() - t1
    return source, size, unit, warnings, arrays


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
    out = Outcome(st.name, st.file)
    folder = os.path.join(outdir, st.name)
    timing = out.step_seconds
    problems = []
    try:
        earlier = _complete(st, folder, opts) if opts.resume else None
        if earlier is not None:
            out.ok = out.tables = out.resumed = True
            out.runs = len(st.rows)
            out.reason = "complete from an earlier batch"
            # The summary keeps what the station cost and found when it was done.
            out.seconds, out.qc_warnings = earlier
            return out
        os.makedirs(folder, exist_ok=True)
        _clear(folder, st.name, st.file)
        files = []
        done = []  # the library's runs, whose arrays make the tables
        for inp in st.inputs:
            source, size, unit, warnings, arrays = _prepare(st, inp, folder, opts, timing)
            out.qc_warnings += warnings
            t = time.perf_counter()
            name = f"{st.name}-{inp.label}.txt" if inp.label else f"{st.name}.txt"
            with engine.runs(opts.engine, vorda, source, folder, name=name, series=arrays) as runs:
                for row in inp.rows:
                    if row.setting is None:
                        res = runs.run(row.type, row.threshold, row.min_duration, size)
                    else:
                        res = percentile.run(vorda, source, row.setting, row.type, row.min_duration, folder, name,
                                             row.bootstrap, engine=opts.engine)
                    out.vorda_seconds += res.seconds
                    if res.status != 0:
                        report = res.report.decode("utf-8", "replace").strip().replace("\n", " / ")
                        what = row.threshold if row.setting is None else row.setting.suffix
                        problems.append(f"{row.type} {what} durmin {row.min_duration} "
                                        f"(list line {row.line}): {runner.describe_status(res.status)}: {report}")
                        continue
                    out.runs += 1
                    files.extend(os.path.basename(p) for p in res.files)
                    if getattr(res, "analysis", None) is not None:
                        done.append(res)
            timing["run"] = timing.get("run", 0.0) + time.perf_counter() - t
        if files:
            _tables(out, folder, files, unit, opts, timing, done if len(done) == out.runs else None)
    except KitError as e:
        problems.append(" ".join(str(e).split("\n")))
    except OSError as e:
        problems.append(f"{e.filename}: {e.strerror}" if e.filename else str(e))
    except Exception as e:  # a fault of the toolkit: keep its trace for the report
        problems.append(f"{type(e).__name__}: {e}")
        _write_text(os.path.join(folder, "error.txt"), traceback.format_exc(), quiet=True)
    out.ok = not problems
    out.reason = "; ".join(problems)
    out.seconds = time.perf_counter() - t0
    if problems:
        _write_text(os.path.join(folder, "error.txt"), "\n".join(problems) + "\n", quiet=True, append=True)
    else:
        _write_text(os.path.join(folder, DONE), _fingerprint(st, opts)
                    + f"seconds {out.seconds:.3f}\nqc_warnings {out.qc_warnings}\n", quiet=True)
    return out


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
    """(seconds, qc warnings) of a finished attempt at the same rows on the same input in the folder, else None.

    A done.txt of an earlier version holds the fingerprint alone: complete, at no known cost.
    """
    try:
        with open(os.path.join(folder, DONE), encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError):
        return None
    fingerprint = _fingerprint(st, opts)
    if not text.startswith(fingerprint):
        return None
    found = dict(line.partition(" ")[::2] for line in text[len(fingerprint):].splitlines())
    try:
        return float(found.get("seconds", 0)), int(found.get("qc_warnings", 0))
    except ValueError:
        return None


def _tables(out, folder, files, unit, opts, timing, done=None):
    t = time.perf_counter()
    res = engine.results_of(done, folder) if done else results.read_results(folder, names=files)
    results.write_tables(res, folder)
    # Trends leave out years the series covers only in part, as `vordakit trend` does.
    warnings = res.warnings + trend.partial_note(res.yearly, False)
    if warnings:
        _write_text(os.path.join(folder, "warnings.txt"), "\n".join(warnings) + "\n")
    t1 = time.perf_counter()
    timing["tidy"] = t1 - t
    trend.write_trends(trend.trends(trend.whole_years(res.yearly, False)), os.path.join(folder, "trend.csv"))
    out.tables = True
    t2 = time.perf_counter()
    timing["trend"] = t2 - t1
    if opts.plots:
        from vordakit import plot
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
        import ctypes
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
    import multiprocessing

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
            import threading
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
    results.write_csv(os.path.join(outdir, "summary.csv"), SUMMARY_FIELDS,
                      ((o.name, o.file, _status(o), o.reason, o.runs, o.qc_warnings,
                        f"{o.seconds:.3f}") for o in outcomes))
    for table, fields in (("yearly.csv", results.YEARLY_FIELDS), ("events.csv", results.EVENT_FIELDS),
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
    # Options first: nothing of a batch that cannot run should be written or said.
    if args.jobs is not None and args.jobs < 1:
        raise KitError(None, None, "-j needs at least 1")
    if args.fill is not None and args.fill < 0:
        raise KitError(None, None, "--fill needs a number of days, 0 or more")
    stations = read_station_list(args.stations)
    which = engine.choose(args.engine)
    # The library hands only a file it cannot read to vorda, which it then looks for.
    vorda = runner.find_vorda(args.vorda) if which == "process" or args.vorda else None
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
    import importlib.util
    return importlib.util.find_spec("matplotlib") is not None
