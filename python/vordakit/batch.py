"""Many stations at once: station list in, one folder per station, combined tables and a summary out.

The station list is tab-separated with a header line; the columns are found
by name: file, name, type, threshold, min_duration, and optionally format
(the station file's layout, default detected), element and column (which
series of the station file, where it holds several), kind (temperature or
precipitation) and unit (for the plots). A station with several thresholds
has several rows with the same name and file; rows that name different
series of the file run on their own converted inputs.

Every station goes through convert (unless its file is already a complete
VORDA input), the structure checks (and with qc the value checks), one vorda
run per row, tidy, trend and plot, in its own folder ``<out>/<name>/``.
Stations run in parallel in worker processes. Whatever goes wrong with one
station is caught in its worker, written to its folder's error.txt and to
summary.csv, and the others carry on.
"""

import collections
import concurrent.futures
import csv
import dataclasses
import decimal
import io
import math
import os
import re
import shutil
import sys
import time
import traceback

from vordakit import core, results, trend
from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.series import PRECIPITATION, TEMPERATURE

COLUMNS = ("file", "name", "type", "threshold", "min_duration")
# Reader options for station files that need them (GHCN element, station6 or table column).
READER_OPTIONS = ("element", "column")
OPTIONAL = ("format", "kind", "unit") + READER_OPTIONS
ALIASES = {
    "station_file": "file", "path": "file",
    "station": "name", "station_name": "name",
    "threshold_type": "type",
    "threshold_value": "threshold", "value": "threshold",
    "minimum_duration": "min_duration", "durmin": "min_duration", "duration": "min_duration",
}
COMBINED = ("summary.csv", "yearly.csv", "events.csv", "trend.csv")
SUMMARY_FIELDS = ("station", "file", "status", "reason", "runs", "qc_warnings", "seconds")
KINDS = (TEMPERATURE, PRECIPITATION)

Row = collections.namedtuple("Row", "line type threshold min_duration")


@dataclasses.dataclass
class Input:
    """One series of a station's file (its layout and reader options) and the runs on it.

    A file that holds several series (a six-column file's tmax and tmin, say)
    gives one input per series that its rows name, each converted on its own
    under its own name, so that each run reads the series it names.
    """
    name: str                   # the name vorda is given, which names the result files
    format: str = None
    reader: dict = dataclasses.field(default_factory=dict)
    kind: str = None            # from the list; else the reader's, as qc decides it
    unit: str = ""
    rows: list = dataclasses.field(default_factory=list)
    qc_csv: str = "qc.csv"
    choice: tuple = ()          # what tells one input of the station from another


@dataclasses.dataclass
class Station:
    name: str
    file: str
    inputs: list = dataclasses.field(default_factory=list)

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
    if len(name) + 4 > core.MAX_NAME:
        raise KitError(path, line, f"station name longer than {core.MAX_NAME - 4} characters")
    return name


def threshold_label(text):
    """The threshold as the result names show it: one decimal, halves away from zero.

    vorda renders the threshold with one decimal, without a 0 before the
    point, and keeps 20 characters of it, so thresholds that differ in the
    second decimal share their result files.

    >>> threshold_label("16.25"), threshold_label("16.3"), threshold_label("-0.5"), threshold_label("0")
    ('16.3', '16.3', '-.5', '0.0')
    """
    x = float(text.replace("d", "e").replace("D", "e"))
    if x == 0.0:
        return "-.0" if math.copysign(1.0, x) < 0 else "0.0"
    # The exact binary value to 38 significant digits, then to one decimal.
    digits = decimal.Context(prec=38, rounding=decimal.ROUND_HALF_EVEN).plus(decimal.Decimal(abs(x)))
    tenths = digits.quantize(decimal.Decimal("0.1"), rounding=decimal.ROUND_HALF_UP,
                             context=decimal.Context(prec=1000))
    body = format(tenths, "f")
    if body.startswith("0."):
        body = body[1:]
    return (("-" if x < 0 else "") + body)[:20]


def _choice_cells(cell, path, number):
    """(format, reader options, kind) of a row, checked against what the readers know."""
    from vordakit.formats import detect, ghcn, station6

    fmt = cell.get("format") or None
    if fmt is not None and fmt not in detect.READERS:
        raise KitError(path, number, f"unknown format {fmt!r} (one of {', '.join(detect.READERS)})")
    reader = {k: cell[k] for k in READER_OPTIONS if cell.get(k)}
    if "element" in reader and reader["element"].upper() not in ghcn.ELEMENTS:
        raise KitError(path, number, f"unknown element {reader['element']!r} (one of {', '.join(ghcn.ELEMENTS)})")
    if fmt is not None:
        stray = sorted(set(reader) - detect.READERS[fmt][1])
        if stray:
            raise KitError(path, number, f"{' and '.join(stray)} does not apply to a {fmt} file")
        if fmt == "station6" and "column" in reader \
                and station6.ALIASES.get(reader["column"].lower(), reader["column"].lower()) not in station6.COLUMNS:
            raise KitError(path, number, f"unknown column {reader['column']!r} of a station6 file "
                                         f"(one of {', '.join(station6.COLUMNS)})")
    kind = (cell.get("kind") or "").lower() or None
    if kind is not None and kind not in KINDS:
        raise KitError(path, number, f"unknown kind {cell['kind']!r} (one of {', '.join(KINDS)})")
    return fmt, reader, kind


def _name_inputs(st, path):
    """Give each input of a station the name vorda is given: ``<name>.txt`` for one series,
    ``<name>-<element or column>.txt`` for each of several."""
    if len(st.inputs) == 1:
        st.inputs[0].name = f"{st.name}.txt"
        return
    taken = set()
    for k, inp in enumerate(st.inputs, 1):
        tag = re.sub(r"[^A-Za-z0-9._+]+", "_", "-".join(inp.reader.values()) or inp.format or str(k))
        if tag.lower() in taken:
            tag = f"{tag}_{k}"
        taken.add(tag.lower())
        inp.name = f"{st.name}-{tag}.txt"
        inp.qc_csv = f"qc-{tag}.csv"
        if len(inp.name) > core.MAX_NAME:
            raise KitError(path, inp.rows[0].line, f"the input name {inp.name} is longer than the "
                                                   f"{core.MAX_NAME} characters vorda keeps: shorten the station name")


def read_station_list(path):
    """The stations of a list, in the order of their first row. A bad list is refused whole.

    A list saved by a spreadsheet (byte-order mark, CR LF line ends) reads as any other.
    """
    with open(path, "rb") as f:
        data = f.read()
    try:
        lines = data.decode("utf-8-sig").splitlines()
    except UnicodeDecodeError as e:
        raise KitError(path, data.count(b"\n", 0, e.start) + 1, "not UTF-8 text") from None
    base = os.path.dirname(os.path.abspath(path))
    header_at = next((i for i, t in enumerate(lines) if t.strip() and not t.startswith("#")), None)
    if header_at is None:
        raise KitError(path, None, "empty station list; expected a header line: " + "\t".join(COLUMNS))
    header = [_key(c) for c in lines[header_at].split("\t")]
    missing = [c for c in COLUMNS if c not in header]
    if missing:
        raise KitError(path, header_at + 1,
                       f"the header lacks {', '.join(missing)} (tab-separated: {', '.join(COLUMNS)})")
    where = {c: header.index(c) for c in COLUMNS + OPTIONAL if c in header}
    stations = {}
    seen = {}
    labels = {}
    for number, text in enumerate(lines[header_at + 1:], start=header_at + 2):
        if not text.strip() or text.startswith("#"):
            continue
        cells = text.split("\t")
        if len(cells) != len(header):
            raise KitError(path, number, f"expected {len(header)} tab-separated fields, found {len(cells)}")
        cell = {c: cells[i].strip() for c, i in where.items()}
        try:
            letter = core.type_letter(cell["type"])
            thr = core.threshold_text(cell["threshold"])
            dur = core.duration_text(cell["min_duration"])
        except KitError as e:
            raise KitError(path, number, e.reason) from None
        name = _folder_name(cell["name"], path, number)
        if not cell["file"]:
            raise KitError(path, number, "empty station file")
        file = os.path.join(base, cell["file"])
        fmt, reader, kind = _choice_cells(cell, path, number)
        st = stations.get(name)
        if st is None:
            st = stations[name] = Station(name, file)
        elif st.file != file:
            raise KitError(path, number, f"station {name!r} was given the file {st.file} before")
        choice = (fmt, tuple(sorted((k, v.lower()) for k, v in reader.items())))
        inp = next((i for i in st.inputs if i.choice == choice), None)
        if inp is None:
            inp = Input("", fmt, reader, kind, cell.get("unit", ""), choice=choice)
            st.inputs.append(inp)
        run = (name, choice, "upper" if letter == "u" else "lower", int(dur))
        if (run, float(thr)) in seen:
            raise KitError(path, number, f"the same run as line {seen[(run, float(thr))]}")
        seen[(run, float(thr))] = number
        # Runs whose thresholds the result names show alike would overwrite each other's files.
        label = threshold_label(thr)
        if (run, label) in labels:
            other, other_thr = labels[(run, label)]
            raise KitError(path, number, f"threshold {thr} and threshold {other_thr} of line {other} both "
                                         f"appear as {label} in the result names, so one run would "
                                         "overwrite the other's files")
        labels[(run, label)] = (number, thr)
        inp.rows.append(Row(number, run[2], thr, dur))
    if not stations:
        raise KitError(path, None, "the station list has no rows")
    for st in stations.values():
        _name_inputs(st, path)
    return list(stations.values())


def _qc_error(findings, opts):
    """The station's refusal for the first structure error, naming where it is."""
    from vordakit import qc

    errors = [f for f in findings if f.severity == qc.ERROR]
    # A marker left in is also a day without a value: name the marker, not the gap.
    first = next((f for f in errors if f.check != "gap"), errors[0])
    detail = first.detail
    if first.line is not None and detail.startswith(f"line {first.line}: "):
        detail = detail[len(f"line {first.line}: "):]
    elif first.line is None and first.date is not None and str(first.date) not in detail:
        detail = f"{detail} on {first.date}"
    if first.check == "gap":
        detail += ("; batch --fill N interpolates gaps of up to N days" if opts.fill is None
                   else f"; longer than --fill {opts.fill} allows")
    if len(errors) > 1:
        detail += f" (and {len(errors) - 1} more; vordakit qc lists them)"
    return first.line, f"qc: {first.check}: {detail}"


def _prepare(st, inp, folder, opts, timing):
    """(file vorda reads, its record count, unit, qc warnings) of one input; raises on refusal.

    The structure checks (markers, dates, t, missing days) always run: vorda
    checks none of it and would take a -999 left in for a value. ``opts.qc``
    adds the value checks and their qc.csv.
    """
    from vordakit import convert, qc
    from vordakit.formats.detect import detect_format, read_series
    from vordakit.series import write_vorda

    t0 = time.perf_counter()
    fmt = inp.format or detect_format(st.file)
    kind = inp.kind
    converted = os.path.join(folder, inp.name)
    policy = "refuse" if opts.fill is None else "fill"
    if fmt == "vorda":
        source, size = st.file, None
    else:
        try:
            series = read_series(st.file, fmt, **inp.reader)
            out, _ = convert.select(series, policy=policy, max_fill=opts.fill)
        except KitError as e:
            e.path = e.path or st.file
            raise
        kind = kind or series.kind
        source, size = converted, write_vorda(out, converted)
    t1 = time.perf_counter()
    timing["convert"] = timing.get("convert", 0.0) + t1 - t0
    series, findings, _ = qc.analyse(source, "vorda", kind=kind, values=opts.qc)
    if fmt == "vorda" and opts.fill is not None and qc.status_of(findings) == 2 \
            and all(f.check == "gap" for f in findings if f.severity == qc.ERROR):
        # A VORDA input with missing days is filled as any other station file.
        out, _ = convert.select(series, policy=policy, max_fill=opts.fill)
        source, size = converted, write_vorda(out, converted)
        series, findings, _ = qc.analyse(source, "vorda", kind=kind, values=opts.qc)
    if opts.qc:
        qc.write_findings_csv(findings, os.path.join(folder, inp.qc_csv))
    if qc.status_of(findings) == 2:
        raise KitError(source, *_qc_error(findings, opts))
    if size is None:
        # A series that passed the structure checks holds one record per line.
        size = len(series)
    timing["qc"] = timing.get("qc", 0.0) + time.perf_counter() - t1
    return source, size, inp.unit or series.unit, len(findings)


# What a batch writes into a station's folder, besides the inputs it converts.
_WRITTEN = re.compile(r"VORDA.*\.dat|.*\.png|plots\.pdf|(yearly|events|trend|inputs|qc|qc-.*|filled.*)\.csv"
                      r"|error\.txt|warnings\.txt|\..*\.tmp")


def _fresh_folder(st, folder):
    """The station's folder without anything an earlier attempt wrote, so that it holds this
    attempt's files only; what the batch did not write there stays."""
    os.makedirs(folder, exist_ok=True)
    converted = re.compile(re.escape(st.name) + r"(-.*)?\.txt")
    stale = []
    for entry in os.scandir(folder):
        if entry.name.startswith(".vordakit-run-") and entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path, ignore_errors=True)
        elif converted.fullmatch(entry.name) or _WRITTEN.fullmatch(entry.name):
            if os.path.samefile(entry.path, st.file) if os.path.exists(st.file) else False:
                raise KitError(st.file, None, f"lies in the station's result folder {folder}, where "
                                              "the batch writes its own files; keep station files elsewhere")
            stale.append(entry.path)
    for path in stale:
        os.unlink(path)


def process_station(st, outdir, vorda, opts):
    """Everything for one station, in its folder. Never raises: the outcome says what happened."""
    t0 = time.perf_counter()
    out = Outcome(st.name, st.file)
    folder = os.path.join(outdir, st.name)
    timing = out.step_seconds
    problems = []
    try:
        _fresh_folder(st, folder)
        files, units = [], {}
        for inp in st.inputs:
            try:
                source, size, units[inp.name], warnings = _prepare(st, inp, folder, opts, timing)
            except KitError as e:
                problems.append(str(e) if len(st.inputs) == 1 else f"{inp.name}: {e}")
                continue
            out.qc_warnings += warnings
            t = time.perf_counter()
            with core.Runs(vorda, source, folder, name=inp.name) as runs:
                for row in inp.rows:
                    res = runs.run(row.type, row.threshold, row.min_duration, size)
                    out.vorda_seconds += res.seconds
                    if res.status != 0:
                        report = res.report.decode("utf-8", "replace").strip().replace("\n", " / ")
                        problems.append(f"{row.type} {row.threshold} durmin {row.min_duration} "
                                        f"(list line {row.line}): {core.describe_status(res.status)}: {report}")
                        continue
                    out.runs += 1
                    files.extend(os.path.basename(p) for p in res.files)
            timing["run"] = timing.get("run", 0.0) + time.perf_counter() - t
        if files:
            unit = next(iter(units.values())) if len(set(units.values())) == 1 else units
            _tables(out, folder, files, unit, opts, timing)
    except KitError as e:
        problems.append(str(e))
    except OSError as e:
        problems.append(f"{e.filename}: {e.strerror}" if e.filename else str(e))
    except Exception as e:  # a fault of the toolkit: keep its trace for the report
        problems.append(f"{type(e).__name__}: {e}")
        _write_text(os.path.join(folder, "error.txt"), traceback.format_exc(), quiet=True)
    out.ok = not problems
    out.reason = "; ".join(problems)
    if problems:
        _write_text(os.path.join(folder, "error.txt"), "\n".join(problems) + "\n", quiet=True, append=True)
    out.seconds = time.perf_counter() - t0
    return out


def _tables(out, folder, files, unit, opts, timing):
    t = time.perf_counter()
    res = results.read_results(folder, names=files)
    results.write_tables(res, folder)
    if res.warnings:
        _write_text(os.path.join(folder, "warnings.txt"), "\n".join(res.warnings) + "\n")
    t1 = time.perf_counter()
    timing["tidy"] = t1 - t
    trend.write_trends(trend.trends(res.yearly), os.path.join(folder, "trend.csv"))
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


def run_batch(stations, outdir, vorda, jobs=None, opts=None, progress=False):
    """Process every station; returns their Outcomes in list order and writes the combined tables.

    The processes that work on the stations (this one with one job) keep
    freed memory for reuse: see ``keep_freed_memory``.
    """
    opts = opts or Options()
    os.makedirs(outdir, exist_ok=True)
    jobs = max(1, min(jobs or os.cpu_count() or 1, len(stations)))
    bar = Progress(len(stations), progress)
    outcomes = {}
    try:
        if jobs == 1:
            keep_freed_memory()
            for st in stations:
                outcomes[st.name] = process_station(st, outdir, vorda, opts)
                bar.step(outcomes[st.name].ok)
        else:
            with concurrent.futures.ProcessPoolExecutor(max_workers=jobs, initializer=keep_freed_memory) as pool:
                futures = {pool.submit(process_station, st, outdir, vorda, opts): st for st in stations}
                for fut in concurrent.futures.as_completed(futures):
                    st = futures[fut]
                    try:
                        outcomes[st.name] = fut.result()
                    except Exception as e:  # the worker itself died
                        outcomes[st.name] = Outcome(st.name, st.file, reason=f"worker failed: {e!r}")
                    bar.step(outcomes[st.name].ok)
    finally:
        bar.close()
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
                      ((o.name, o.file, "ok" if o.ok else "failed", o.reason, o.runs, o.qc_warnings,
                        f"{o.seconds:.3f}") for o in outcomes))
    for table, fields in (("yearly.csv", results.YEARLY_FIELDS), ("events.csv", results.EVENT_FIELDS),
                          ("trend.csv", trend.TREND_FIELDS)):
        with atomic_write(os.path.join(outdir, table), "w", newline="") as f:
            f.write(",".join(("station",) + fields) + "\n")
            for o in outcomes:
                if o.tables:
                    _append_table(f, os.path.join(outdir, o.name, table), o.name)


def _append_table(f, path, station):
    cell = io.StringIO()
    csv.writer(cell, lineterminator="").writerow([station])
    lead = cell.getvalue() + ","
    with open(path, newline="", encoding="utf-8") as src:
        next(src, None)
        # Cells never hold line ends, so a line is a row.
        f.writelines(lead + line for line in src)


def batch_command(args):
    stations = read_station_list(args.stations)
    vorda = core.find_vorda(args.vorda)
    if args.jobs is not None and args.jobs < 1:
        raise KitError(None, None, "-j needs at least 1")
    opts = Options(plots=not args.no_plots, qc=not args.no_qc,
                   policy="fill" if args.fill is not None else "refuse", fill=args.fill)
    show = sys.stderr.isatty() and not args.no_progress
    outcomes = run_batch(stations, args.out, vorda, args.jobs, opts, progress=show)
    failed = [o for o in outcomes if not o.ok]
    for o in failed:
        print(f"vordakit batch: {o.name}: {o.reason}", file=sys.stderr)
    print(f"vordakit batch: {len(outcomes) - len(failed)} of {len(outcomes)} stations done, "
          f"{len(failed)} failed; summary in {os.path.join(args.out, 'summary.csv')}", file=sys.stderr)
    return 1 if failed else 0
