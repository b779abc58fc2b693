"""The tidy tables of results: yearly.csv and events.csv, written and read back.

One observation per row: a yearly value of one index of one run, or one
event of one run, with the run's columns in front (see vordakit.model for
the columns). Missing values are empty cells.
"""

import csv
import datetime
import os

import numpy as np

from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.model import EVENT_FIELDS, YEARLY_FIELDS, YearlyRecord

__all__ = ["write_csv", "threshold_used", "yearly_rows", "event_rows", "write_tables", "as_arrays", "read_yearly_csv"]


def _run_cells(r, cache):
    """The four run cells of a record, formatted once per run; a percentile run's threshold
    empty (its exceedance series is analysed with 0.0, which is not the threshold)."""
    key = r[:4] + (r.percentile,)
    cells = cache.get(key)
    if cells is None:
        threshold = "" if r.percentile is not None or r.threshold is None else f"{r.threshold:.1f}"
        cells = cache[key] = (r.input, r.type, threshold, r.min_duration)
    return cells


def threshold_used(r):
    """The threshold_used cell of a record: empty for a percentile run, whose columns say what it was."""
    return None if r.percentile is not None else r.threshold_used


def _fixed3(x):
    return "" if x is None else f"{x:.3f}"


def yearly_rows(records):
    """The cells of yearly records, as yearly.csv holds them (the csv writer writes None as an empty cell)."""
    cache = {}
    for r in records:
        # By position: a station's tables hold thousands of records.
        value = r[_VALUE]
        if isinstance(value, float):
            value = f"{value:.3f}"
        used = None if r[_PERCENTILE] is not None else r[_USED]
        yield _run_cells(r, cache) + (r[_INDEX], r[_YEAR], value) + r[_VALUE + 1:_USED] + (used,)


def event_rows(records):
    """The cells of event records, as events.csv holds them."""
    cache = {}
    for r in records:
        yield (_run_cells(r, cache) + (_fixed3(r.midpoint), r.date, r.start, r.end, r.duration, _fixed3(r.action),
                                       r.percentile, r.base, r.window, threshold_used(r)))


# The places of a yearly record's cells; yearly.csv holds them in this order after the run's.
_INDEX, _YEAR, _VALUE, _PERCENTILE, _USED = (YEARLY_FIELDS.index(f) for f in
                                             ("index", "year", "value", "percentile", "threshold_used"))
assert YEARLY_FIELDS[_INDEX:] == ("index", "year", "value") + YEARLY_FIELDS[_VALUE + 1:_USED] + ("threshold_used",)


def write_csv(path, header, rows):
    """Write one table: the header, then the rows."""
    with atomic_write(path, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(header)
        w.writerows(rows)


def write_tables(results, outdir):
    """Write yearly.csv and events.csv of a Results into ``outdir``; returns their paths."""
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

    >>> from vordakit.model import EventRecord
    >>> run = ("s.txt", "upper", 18.0, 3)
    >>> events = as_arrays([EventRecord(*run, 189.0, "2001-07-08", 3, 2.3),
    ...                     EventRecord(*run, None, None, 4, None)])
    >>> events["date"].astype(str).tolist(), events["action"].tolist(), events["type"].dtype
    (['2001-07-08', 'NaT'], [2.3, nan], dtype('O'))
    """
    if not records:
        return {}
    fields = records[0]._fields
    out = {}
    for i, name in enumerate(fields):
        column = [r[i] for r in records]
        if name in ("input", "type", "index", "percentile", "base", "bootstrap") + _DATES:
            out[name] = _dates(column) if name in _DATES else np.array(column, dtype=object)
        else:
            out[name] = np.array([np.nan if v is None else v for v in column], dtype=float)
    return out


_DATES = ("date", "start", "end")


def _dates(column):
    days = []
    for d in column:
        try:
            days.append(np.datetime64(datetime.date.fromisoformat(d), "D"))
        except (TypeError, ValueError):
            days.append(np.datetime64("NaT", "D"))
    return np.array(days, dtype="datetime64[D]")


def read_yearly_csv(path, lead=None):
    """Read back a yearly table written by ``write_tables`` (or a batch).

    ``lead``, a list, receives per record the cells before the yearly fields
    (a batch's station).
    """
    with open(path, newline="") as f:
        rows = csv.reader(f)
        header = next(rows, None)
        if header is None:
            raise KitError(path, 1, "empty file; expected the yearly table's header")
        width = _lead_width(path, header)
        out = []
        for number, row in enumerate(rows, start=2):
            if len(row) != len(header):
                raise KitError(path, number, f"expected {len(header)} fields, found {len(row)}")
            if lead is not None:
                lead.append(tuple(row[:width]))
            out.append(_yearly_record(path, number, row[width:]))
    return out


def _lead_width(path, header):
    """The cells before the yearly fields. Tables written before the calendar
    columns end with the value, those written before the percentile columns
    with the calendar, those written before threshold_used with the bootstrap mark."""
    for fields in (YEARLY_FIELDS, YEARLY_FIELDS[:-1], YEARLY_FIELDS[:-5], YEARLY_FIELDS[:-8]):
        width = len(header) - len(fields)
        if width >= 0 and tuple(header[width:]) == fields:
            return width
    raise KitError(path, 1, "expected the header " + ",".join(YEARLY_FIELDS))


def _yearly_record(path, number, row):
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
        # A percentile run's threshold is empty (0.0 in tables written before).
        threshold = float(row[2]) if row[2] else None
        return YearlyRecord(row[0], row[1], threshold, int(row[3]), row[4], _int_or_none(row[5]), value,
                            *calendar, *marks)
    except ValueError as e:
        raise KitError(path, number, f"not a number: {e}") from None


def _int_or_none(text):
    return int(text) if text else None
