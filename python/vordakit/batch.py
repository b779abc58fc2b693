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
import io
import os
import sys
import time
import traceback

from vordakit import results, runner, trend
from vordakit.atomic import atomic_write
from vordakit.errors import KitError

__all__ = ["Station", "Outcome", "read_station_list", "process_station", "run_batch", "write_combined",
           "command"]

COLUMNS = ("file", "name", "type", "threshold", "min_duration")
# Reader options for station files that need them (GHCN element, station6 or table column).
READER_OPTIONS = ("element", "column")
OPTIONAL = ("format", "unit") + READER_OPTIONS
ALIASES = {
    "station_file": "file", "path": "file",
    "station": "name", "station_name": "name",
    "threshold_type": "type",
    "threshold_value": "threshold", "value": "threshold",
    "minimum_duration": "min_duration", "durmin": "min_duration", "duration": "min_duration",
}
COMBINED = ("summary.csv", "yearly.csv", "events.csv", "trend.csv")
SUMMARY_FIELDS = ("station", "file", "status", "reason", "runs", "qc_warnings", "seconds")

Row = collections.namedtuple("Row", "line type threshold min_duration")


@dataclasses.dataclass
class Station:
    name: str
    file: str
    format: str = None
    unit: str = ""
    reader: dict = dataclasses.field(default_factory=dict)
    rows: list = dataclasses.field(default_factory=list)


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
    if len(name) + 4 > runner.MAX_NAME:
        raise KitError(path, line, f"station name longer than {runner.MAX_NAME - 4} characters")
    return name


def read_station_list(path):
    """The stations of a list, in the order of their first row. A bad list is refused whole."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        lines = data.decode("utf-8").splitlines()
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
    for number, text in enumerate(lines[header_at + 1:], start=header_at + 2):
        if not text.strip() or text.startswith("#"):
            continue
        cells = text.split("\t")
        if len(cells) != len(header):
            raise KitError(path, number, f"expected {len(header)} tab-separated fields, found {len(cells)}")
        cell = {c: cells[i].strip() for c, i in where.items()}
        try:
            letter = runner.type_letter(cell["type"])
            thr = runner.threshold_text(cell["threshold"])
            dur = runner.duration_text(cell["min_duration"])
        except KitError as e:
            raise KitError(path, number, e.reason) from None
        name = _folder_name(cell["name"], path, number)
        if not cell["file"]:
            raise KitError(path, number, "empty station file")
        file = os.path.join(base, cell["file"])
        st = stations.get(name)
        if st is None:
            reader = {k: cell[k] for k in READER_OPTIONS if cell.get(k)}
            st = stations[name] = Station(name, file, cell.get("format") or None, cell.get("unit", ""), reader)
        elif st.file != file:
            raise KitError(path, number, f"station {name!r} was given the file {st.file} before")
        run = ("upper" if letter == "u" else "lower", float(thr), int(dur))
        if (name, run) in seen:
            raise KitError(path, number, f"the same run as line {seen[(name, run)]}")
        seen[(name, run)] = number
        st.rows.append(Row(number, run[0], thr, dur))
    if not stations:
        raise KitError(path, None, "the station list has no rows")
    return list(stations.values())


def _prepare(st, folder, opts, timing):
    """(file vorda reads, its record count, unit, qc warnings) of a station; raises on refusal."""
    from vordakit import convert, qc
    from vordakit.formats.detect import detect_format

    t0 = time.perf_counter()
    fmt = st.format or detect_format(st.file)
    if fmt == "vorda":
        source, size = st.file, None
    else:
        source = os.path.join(folder, f"{st.name}.txt")
        size = convert.convert_file(st.file, source, fmt, policy=opts.policy, max_fill=opts.fill, **st.reader)
    t1 = time.perf_counter()
    timing["convert"] = t1 - t0
    unit, warnings = st.unit, 0
    if opts.qc:
        series, findings, _ = qc.analyse(source, "vorda")
        qc.write_findings_csv(findings, os.path.join(folder, "qc.csv"))
        if qc.status_of(findings) == 2:
            first = next(f for f in findings if f.severity == qc.ERROR)
            detail = first.detail
            if first.line is not None and detail.startswith(f"line {first.line}: "):
                detail = detail[len(f"line {first.line}: "):]
            raise KitError(source, first.line, f"qc: {first.check}: {detail}")
        warnings = len(findings)
        unit = unit or series.unit
        if size is None:
            # A series that passed the structure checks holds one record per line.
            size = len(series)
    timing["qc"] = time.perf_counter() - t1
    if size is None:
        size = runner.count_records(source)
    return source, size, unit, warnings


def process_station(st, outdir, vorda, opts):
    """Everything for one station, in its folder. Never raises: the outcome says what happened."""
    t0 = time.perf_counter()
    out = Outcome(st.name, st.file)
    folder = os.path.join(outdir, st.name)
    timing = out.step_seconds
    problems = []
    try:
        os.makedirs(folder, exist_ok=True)
        for stale in ("error.txt", "warnings.txt"):
            if os.path.exists(os.path.join(folder, stale)):
                os.unlink(os.path.join(folder, stale))
        source, size, unit, out.qc_warnings = _prepare(st, folder, opts, timing)
        files = []
        t = time.perf_counter()
        with runner.RunFolder(vorda, source, folder, name=f"{st.name}.txt") as runs:
            for row in st.rows:
                res = runs.run(row.type, row.threshold, row.min_duration, size)
                out.vorda_seconds += res.seconds
                if res.status != 0:
                    report = res.report.decode("utf-8", "replace").strip().replace("\n", " / ")
                    problems.append(f"{row.type} {row.threshold} durmin {row.min_duration} "
                                    f"(list line {row.line}): {runner.describe_status(res.status)}: {report}")
                    continue
                out.runs += 1
                files.extend(os.path.basename(p) for p in res.files)
        timing["run"] = time.perf_counter() - t
        if files:
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


def command(args):
    stations = read_station_list(args.stations)
    vorda = runner.find_vorda(args.vorda)
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
