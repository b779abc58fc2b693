"""Reading vorda's fixed-format result files into two tidy tables.

``read_results(folder)`` reads every result file of a folder, of every kind
and both threshold types, and returns the yearly values and the events as
lists of records (named tuples); ``as_arrays`` turns such a list into numpy
arrays by column. ``write_tables`` writes both tables as CSV.

A missing value becomes None (an empty CSV cell) and a warning naming the file
and line: a field that vorda filled with asterisks because the number did not
fit, and -999 in a year, day or month, which is the value vorda gives a
calendar field it never set. Real-valued fields (midpoint, action measure)
keep -999.000 as a value, since a sum of differences can be exactly that.
"""

import collections
import csv
import os
import re

from vordakit.atomic import atomic_write
from vordakit.errors import KitError

__all__ = ["INDEX_ORDER", "RUN_FIELDS", "YEARLY_FIELDS", "EVENT_FIELDS", "Run", "YearlyRecord", "EventRecord",
           "Results", "parse_header", "result_files", "read_results", "write_csv", "write_tables", "as_arrays",
           "read_yearly_csv", "command", "USED_FIELD"]

# Prefix of the file name -> index written in it. The full event file's prefix
# "VORDA-" is a prefix of four of the others, so the kind of a file is settled
# by its column line, not by its name alone.
YEARLY_PREFIXES = {
    "VORDAndays-": "ndays",
    "VORDA-WSDI-": "WSDI",
    "VORDA-SGS--": "SGS",
    "VORDA-CSDI-": "CSDI",
    "VORDA-LFD--": "LFD",
}
EVENT_PREFIX = "VORDA-"
SHORT_PREFIX = "VORDAshort-"

# Column line (line 12 of a header block) -> the index the file holds.
COLUMN_LINES = {
    " Midpoint_time__d__m___yr_(rounded_up) Duration Action_measure": "events",
    " yr   #days_measure": "ndays",
    " yr   WSDI": "WSDI",
    " yr   Start-of-growing-season": "SGS",
    " yr   CSDI": "CSDI",
    " yr   Last-frost-day": "LFD",
}
# The order in which a run's indices are listed.
INDEX_ORDER = ("ndays", "WSDI", "CSDI", "SGS", "LFD")
# The files each threshold type writes.
TYPE_INDICES = {"upper": ("events", "ndays", "WSDI", "SGS"), "lower": ("events", "ndays", "CSDI", "LFD")}

HEADER = (
    (" VORDA: Results", None),
    (" ==============", None),
    (" ", None),
    (" Input data file: ", "input"),
    (" ", None),
    (" Threshold type:  ", "type"),
    (" ", None),
    (" Threshold value: ", "threshold"),
    (" ", None),
    (" Event, minimum duration: ", "min_duration"),
    (" ", None),
)

RUN_FIELDS = ("input", "type", "threshold", "min_duration")
# After the value: the days the input holds in that year, whether they are the
# whole year (or the whole season of a series cut to some months), and for SGS
# and LFD the date of the day the ordinal stands for. Empty when the input
# cannot be found.
CALENDAR_FIELDS = ("days", "whole", "date")
# A run on the exceedances over a percentile threshold (see vordakit.percentile)
# says so in these, empty for a fixed threshold; "bootstrap" marks a yearly
# value that is the mean of the resampled runs.
PERCENTILE_FIELDS = ("percentile", "base", "window")
# The threshold the run was given (16.25), where the result files show it with
# one decimal (16.3); empty where the folder does not record it (files that
# vorda wrote without vordakit). Last, so that tables of earlier versions are
# the leading columns of today's.
USED_FIELD = "threshold_used"
YEARLY_FIELDS = (RUN_FIELDS + ("index", "year", "value") + CALENDAR_FIELDS + PERCENTILE_FIELDS + ("bootstrap",)
                 + (USED_FIELD,))
EVENT_FIELDS = RUN_FIELDS + ("midpoint", "date", "duration", "action") + PERCENTILE_FIELDS + (USED_FIELD,)

Run = collections.namedtuple("Run", RUN_FIELDS)
YearlyRecord = collections.namedtuple("YearlyRecord", YEARLY_FIELDS, defaults=(None,) * 8)
EventRecord = collections.namedtuple("EventRecord", EVENT_FIELDS, defaults=(None,) * 4)

# Event record "(3x,f11.3,1x,i2,1x,i2,1x,i4,15x,i7,1x,f14.3)": field slices.
_EVENT_FIELDS = (("midpoint", 3, 14, float), ("day", 15, 17, int), ("month", 18, 20, int),
                 ("year", 21, 25, int), ("duration", 40, 47, int), ("action", 48, 62, float))
_EVENT_LAYOUT = re.compile(r" {3}.{11} .{2} .{2} .{4} {15}.{7} .{14}")
# Short event record "(1x,f11.3,1x,f14.3)".
_SHORT_LEN = 27
# Yearly record "(1x,i4,1x,i3)".
_YEARLY_LEN = 9

# The value vorda's series store holds in a calendar field that was never set.
UNSET = -999


class Results:
    """The tables of one folder: ``yearly`` and ``events`` records and the ``warnings``."""

    def __init__(self):
        self.yearly = []
        self.events = []
        self.warnings = []
        self.thresholds = {}   # input -> table of a percentile threshold per calendar day

    def runs(self):
        """The runs found, in table order."""
        seen = dict.fromkeys(Run(*r[:4]) for r in self.yearly + self.events)
        return list(seen)


def _read_lines(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        # vorda copies the input's name byte for byte; any byte reads as latin-1.
        text = data.decode("latin-1")
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def parse_header(path, lines):
    """The run of a header block (the lines of a result file), and the index its column line names."""
    found = {}
    for number, ((text, field), line) in enumerate(zip(HEADER, lines), start=1):
        if field is None:
            if line != text:
                raise KitError(path, number, f"expected the header line {text.strip() or 'of one blank'!r}")
        else:
            if not line.startswith(text) or len(line) == len(text):
                raise KitError(path, number, f"expected {text.strip()!r} and a value")
            found[field] = line[len(text):]
    if len(lines) < 12:
        raise KitError(path, len(lines) + 1, "the file ends inside its 12-line header block")
    index = COLUMN_LINES.get(lines[11])
    if index is None:
        raise KitError(path, 12, "not a column line of a VORDA result file")
    try:
        threshold = float(found["threshold"])  # vorda writes .5, -.0: float() reads both
    except ValueError:
        raise KitError(path, 8, f"threshold {found['threshold']!r} is not a number") from None
    try:
        durmin = int(found["min_duration"])
    except ValueError:
        raise KitError(path, 10, f"minimum duration {found['min_duration']!r} is not a whole number") from None
    return Run(found["input"], found["type"], threshold, durmin), index


class _Reader:
    """Field parsing with the warnings of one file."""

    def __init__(self, path, warnings):
        self.path = path
        self.warnings = warnings

    def field(self, text, convert, what, number, unset_marks):
        stripped = text.strip()
        if stripped and set(stripped) == {"*"}:
            self.warnings.append(f"{self.path}:{number}: {what} does not fit its field ({stripped}); left empty")
            return None
        try:
            value = convert(stripped)
        except ValueError:
            raise KitError(self.path, number, f"{what} {stripped!r} is not a number") from None
        if unset_marks and value == UNSET:
            self.warnings.append(f"{self.path}:{number}: {what} is -999 (never set); left empty")
            return None
        return value


# A year without a value of its own: the start of the growing season is 0 in a
# year without one, and the last frost day -999 (written as asterisks) in a year
# without a frost day in its first half-year. Neither is a day of the year.
NO_VALUE = {"SGS": 0, "LFD": UNSET}
_NO_VALUE_TEXT = {
    "SGS": "without a start of the growing season (0 in the file)",
    "LFD": "without a frost day among their first 182 days (*** in the file)",
}


def _read_yearly(path, lines, run, index, warnings, out):
    r = _Reader(path, warnings)
    none = NO_VALUE.get(index)
    no_value = 0
    for number, line in enumerate(lines[12:], start=13):
        if len(line) != _YEARLY_LEN or line[0] != " " or line[5] != " ":
            raise KitError(path, number, "expected a yearly record ' yyyy vvv'")
        if index == "LFD" and line == " -999 ***" and len(lines) == 13:
            # The scan met no frost day among the series' first 182 records and
            # so never saw a year change: every year of the series is lost.
            warnings.append(f"{path}:{number}: no last frost day for any year: none of the first 182 "
                            "days of the series lies below the threshold, so vorda reports no year; "
                            "start the series in a year with a frost day in its first half-year")
            continue
        try:
            # The usual record: two plain numbers, the year a set one.
            year, value = int(line[1:5]), int(line[6:9])
            if year == UNSET:
                raise ValueError
        except ValueError:
            year = r.field(line[1:5], int, "year", number, True)
            if none == UNSET and line[6:9] == "***":
                value = UNSET
            else:
                value = r.field(line[6:9], int, index, number, True)
        if value is not None and value == none:
            value = None
            no_value += 1
        out.append(YearlyRecord(*run, index, year, value))
    if no_value:
        years = "year" if no_value == 1 else "years"
        warnings.append(f"{path}: {no_value} {years} {_NO_VALUE_TEXT[index]}: no value there")


def _read_events(path, lines, run, warnings, out):
    r = _Reader(path, warnings)
    for number, line in enumerate(lines[12:], start=13):
        if not _EVENT_LAYOUT.fullmatch(line):
            raise KitError(path, number, "expected an event record of 62 characters")
        try:
            # The usual record: plain numbers and a set date.
            mid, d, m, y, dur, act = (float(line[3:14]), int(line[15:17]), int(line[18:20]),
                                      int(line[21:25]), int(line[40:47]), float(line[48:62]))
            if y == UNSET:
                raise ValueError
            date = f"{y:04d}-{m:02d}-{d:02d}"
        except ValueError:
            v = {name: r.field(line[a:b], conv, name, number, name in ("day", "month", "year"))
                 for name, a, b, conv in _EVENT_FIELDS}
            mid, dur, act = v["midpoint"], v["duration"], v["action"]
            if None in (v["day"], v["month"], v["year"]):
                date = None
            else:
                date = f"{v['year']:04d}-{v['month']:02d}-{v['day']:02d}"
        out.append(EventRecord(*run, mid, date, dur, act))


def _read_short(path, lines):
    rows = []
    for number, line in enumerate(lines, start=1):
        if len(line) != _SHORT_LEN or line[0] != " " or line[12] != " ":
            raise KitError(path, number, "expected a short event record of 27 characters")
        rows.append((line[1:12].strip(), line[13:27].strip()))
    return rows


def _event_texts(lines):
    return [(line[3:14].strip(), line[48:62].strip()) for line in lines[12:]]


def result_files(folder):
    """The names of the result files in ``folder``, sorted."""
    names = []
    for entry in sorted(os.listdir(folder)):
        if not entry.endswith(".dat") or not entry.startswith("VORDA"):
            continue
        if os.path.isfile(os.path.join(folder, entry)):
            names.append(entry)
    return names


def read_results(folder: "str | os.PathLike", names: "list[str] | None" = None) -> Results:
    """Read the result files of ``folder`` (all, or those ``names``) into a Results.

    >>> import pathlib, vordakit
    >>> res = read_results(pathlib.Path(vordakit.__file__).parents[2] / "example" / "expected")
    >>> r = res.yearly[0]
    >>> r.input, r.type, r.threshold, r.min_duration, r.index, r.year, r.value, r.days, r.whole, r.date
    ('series.txt', 'upper', 18.0, 3, 'ndays', 2001, 33, None, None, None)
    >>> res.events[0].date, res.events[0].action, res.warnings
    ('2001-07-08', 2.3, [])
    """
    names = result_files(folder) if names is None else sorted(names)
    if not names:
        raise KitError(folder, None, "holds no VORDA result files (VORDA*.dat)")
    res = Results()
    yearly = {}    # (run, index) -> records
    events = {}    # run -> records
    event_lines = {}  # name tail -> (path, lines) of the full event file
    shorts = []
    seen = {}  # (run, index) -> the file that holds it
    for entry in names:
        path = os.path.join(folder, entry)
        if entry.startswith(SHORT_PREFIX):
            shorts.append((entry[len(SHORT_PREFIX):], path))
            continue
        lines = _read_lines(path)
        run, index = parse_header(path, lines)
        _check_fits(path, entry, run, index)
        first = seen.setdefault((run, index), path)
        if first != path:
            # vorda names 0, -0 and 0.04 apart (0.0, -.0, .0), but they are one number to one decimal.
            raise KitError(path, 8, f"{index} of a run that the tables cannot tell from that of {first} "
                                    f"(threshold {run.threshold:.1f} to one decimal); move one into another folder")
        if index == "events":
            recs = events.setdefault(run, [])
            _read_events(path, lines, run, res.warnings, recs)
            if entry.startswith(EVENT_PREFIX):
                event_lines[entry[len(EVENT_PREFIX):]] = (path, lines)
        else:
            _read_yearly(path, lines, run, index, res.warnings, yearly.setdefault((run, index), []))
    for tail, path in shorts:
        _check_short(path, _read_lines(path), event_lines.get(tail), res.warnings)

    for run in sorted(set(events) | {run for run, _ in yearly}):
        for index in INDEX_ORDER:
            res.yearly.extend(yearly.get((run, index), []))
        res.events.extend(events.get(run, []))
    from vordakit import notes, percentile
    notes.add_notes(res, folder)
    percentile.apply(res, folder)
    return res


def _check_fits(path, entry, run, index):
    """A file whose index does not belong to its run's type, or to its name, comes from
    something other than vorda (or was renamed): its values would be filed under the wrong index."""
    named = next((i for prefix, i in YEARLY_PREFIXES.items() if entry.startswith(prefix)), "events")
    if named != index:
        raise KitError(path, 12, f"the column line is that of {index}, the file name that of {named}")
    fits = TYPE_INDICES.get(run.type)
    if fits is not None and index not in fits:
        raise KitError(path, 12, f"{index} in a run of threshold type {run.type}, "
                                 f"which writes {', '.join(fits)}")


def _check_short(path, lines, full, warnings):
    """The short event file repeats the full one's midpoints and action measures; say where not."""
    rows = _read_short(path, lines)
    if full is None:
        if rows:
            warnings.append(f"{path}: no full event file beside it; its {len(rows)} events are not in the table")
        return
    full_path, full_lines = full
    expected = _event_texts(full_lines)
    for number, (got, want) in enumerate(zip(rows, expected), start=1):
        if got != want:
            warnings.append(f"{path}:{number}: differs from event {number} of {full_path}")
            return
    if len(rows) != len(expected):
        warnings.append(f"{path}: holds {len(rows)} events, {full_path} holds {len(expected)}")


def _run_cells(r, cache):
    """The four run cells of a record, formatted once per run."""
    key = r[:4]
    cells = cache.get(key)
    if cells is None:
        cells = cache[key] = (r.input, r.type, f"{r.threshold:.1f}", r.min_duration)
    return cells


def _fixed3(x):
    return "" if x is None else f"{x:.3f}"


def yearly_rows(records):
    # The csv writer writes None as an empty cell.
    cache = {}
    for r in records:
        value = _fixed3(r.value) if isinstance(r.value, float) else r.value
        yield (_run_cells(r, cache) + (r.index, r.year, value, r.days, r.whole, r.date, r.percentile, r.base,
                                       r.window, r.bootstrap, r.threshold_used))


def event_rows(records):
    cache = {}
    for r in records:
        yield (_run_cells(r, cache) + (_fixed3(r.midpoint), r.date, r.duration, _fixed3(r.action), r.percentile,
                                       r.base, r.window, r.threshold_used))


def write_csv(path, header, rows):
    """Write one table: the header, then the rows."""
    with atomic_write(path, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(header)
        w.writerows(rows)


def write_tables(results, outdir):
    """Write yearly.csv and events.csv into ``outdir``; returns their paths."""
    os.makedirs(outdir, exist_ok=True)
    ypath = os.path.join(outdir, "yearly.csv")
    epath = os.path.join(outdir, "events.csv")
    write_csv(ypath, YEARLY_FIELDS, yearly_rows(results.yearly))
    write_csv(epath, EVENT_FIELDS, event_rows(results.events))
    return ypath, epath


def as_arrays(records: list) -> dict:
    """A list of records as a dict of numpy arrays by column.

    Numbers become float arrays with NaN for a missing value, dates
    ``datetime64[D]`` with NaT where missing or not a calendar date, and the
    texts object arrays.

    >>> run = ("s.txt", "upper", 18.0, 3)
    >>> events = as_arrays([EventRecord(*run, 189.0, "2001-07-08", 3, 2.3),
    ...                     EventRecord(*run, None, None, 4, None)])
    >>> events["date"].astype(str).tolist(), events["action"].tolist(), events["type"].dtype
    (['2001-07-08', 'NaT'], [2.3, nan], dtype('O'))
    """
    import datetime

    import numpy as np

    if not records:
        return {}
    fields = records[0]._fields
    out = {}
    for i, name in enumerate(fields):
        column = [r[i] for r in records]
        if name in ("input", "type", "index"):
            out[name] = np.array(column, dtype=object)
        elif name == "date":
            days = []
            for d in column:
                try:
                    days.append(np.datetime64(datetime.date.fromisoformat(d), "D"))
                except (TypeError, ValueError):
                    days.append(np.datetime64("NaT", "D"))
            out[name] = np.array(days, dtype="datetime64[D]")
        else:
            out[name] = np.array([np.nan if v is None else v for v in column], dtype=float)
    return out


def read_yearly_csv(path, lead=None):
    """Read back a yearly table written by ``write_tables`` (or a batch).

    ``lead``, a list, receives per record the cells before the yearly fields
    (a batch's station).
    """
    out = []
    lead_cells = lead
    with open(path, newline="") as f:
        rows = csv.reader(f)
        header = next(rows, None)
        if header is None:
            raise KitError(path, 1, "empty file; expected the yearly table's header")
        # Tables written before the calendar columns end with the value, those
        # written before the percentile columns with the calendar, those written
        # before threshold_used with the bootstrap mark.
        for fields in (YEARLY_FIELDS, YEARLY_FIELDS[:-1], YEARLY_FIELDS[:-5], YEARLY_FIELDS[:-8]):
            lead = len(header) - len(fields)
            if lead >= 0 and tuple(header[lead:]) == fields:
                break
        else:
            raise KitError(path, 1, "expected the header " + ",".join(YEARLY_FIELDS))
        for number, row in enumerate(rows, start=2):
            if len(row) != len(header):
                raise KitError(path, number, f"expected {len(header)} fields, found {len(row)}")
            if lead_cells is not None:
                lead_cells.append(tuple(row[:lead]))
            row = row[lead:]
            try:
                calendar = ()
                if len(row) > 7:
                    calendar = (_int_or_none(row[7]), _int_or_none(row[8]), row[9] or None)
                marks = ()
                if len(row) > 10:
                    marks = (row[10] or None, row[11] or None, _int_or_none(row[12]), row[13] or None)
                if len(row) > 14:
                    marks += (float(row[14]) if row[14] else None,)
                value = (float(row[6]) if "." in row[6] else int(row[6])) if row[6] else None
                out.append(YearlyRecord(row[0], row[1], float(row[2]), int(row[3]), row[4],
                                        _int_or_none(row[5]), value, *calendar, *marks))
            except ValueError as e:
                raise KitError(path, number, f"not a number: {e}") from None
    return out


def _int_or_none(text):
    return int(text) if text else None


def print_warnings(command, warnings):
    import sys

    for w in warnings:
        print(f"vordakit {command}: warning: {w}", file=sys.stderr)


def command(args):
    """``vordakit tidy``: the tables' paths on standard output."""
    res = read_results(args.folder)
    print_warnings("tidy", res.warnings)
    for path in write_tables(res, args.out or args.folder):
        print(path)
    return 0
