"""A chunk's cells analysed by the binding: yearly values, event summary, and with --events every event.

Without the list of events, the cells that share a calendar (the same first
and last day) are analysed in one call of ``analyse_cells``. With it, each
cell (or each gap-free stretch of a cell with gaps) is analysed once by
``analyse``, which gives its events, and its yearly values and event
summary are taken from that same analysis, as ``analyse_cells`` gives them:
the value on each year's line of the result file (the last where a year has
two), the events counted in the year of the record nearest their midpoint.
"""

import numpy as np

from vordakit import binding
from vordakit.grid.gaps import gap_stretches
from vordakit.grid.percentiles import exceedances
from vordakit.grid.plan import EMPTY, GAPS, NONE_VALUE, SUMMARY
from vordakit.grid.rows import missing_per_year, rows_of, series_rows

__all__ = ["EVENT_FIELDS", "CELLS_AT_ONCE", "analyse_block"]

# A chunk's events: the cell (its index in the chunk, the other dimensions in C
# order), the date of the record nearest the midpoint, the duration and the action.
EVENT_FIELDS = ("cell", "year", "month", "day", "duration", "action")
# Cells analysed at once: a few copies of their values take some tens of MB.
CELLS_AT_ONCE = 256


def analyse_block(block, plan):
    """(..., input days) -> ((..., slots, years) values, events): a chunk's cells
    analysed (see Plan.slots); the status slot holds each cell's status in its
    first year, the next slot its missing days per year. ``events`` is None, or
    with ``plan.events`` a dict of arrays (EVENT_FIELDS): every event of the
    chunk, by cell, a cell with gaps giving those dated in the years it keeps."""
    lib = binding.require("vordakit grid")
    shape = block.shape[:-1]
    x = rows_of(block, plan.days)
    cells = x.shape[0]
    out = np.full((cells,) + plan.slots, np.nan)
    found = _Events() if plan.events else None
    # A part of the cells at a time: their values as decimals take several copies
    # of eight bytes a value, which for a whole chunk would be most of the memory.
    for a in range(0, cells, CELLS_AT_ONCE) if x.shape[1] else ():
        if found is not None:
            found.offset = a
        _analyse_rows(lib, x[a:a + CELLS_AT_ONCE], plan, out[a:a + CELLS_AT_ONCE], found)
    if x.shape[1] == 0:
        nv, k = len(plan.names), len(plan.days.years)
        out[:, nv, 0] = EMPTY
        out[:, nv + 1, :k] = 0
    return out.reshape(shape + out.shape[1:]), found and found.arrays()


def _analyse_rows(lib, x, plan, out, found):
    """The cells of rows ``x`` analysed into ``out`` (and their events into ``found``)."""
    nv, k = len(plan.names), len(plan.days.years)
    x, status, first, last, ready = series_rows(x, plan)
    out[:, nv + 1, :k] = missing_per_year(x, plan.days)
    if plan.percentile is not None:
        x, ready, out[:, nv + 2, :366] = exceedances(x, ready, status, plan)
    stretches, lost = _stretches(lib, x, ready, status, first, last, plan)
    if found is None:
        for a, b, rows in stretches:
            _analyse_together(lib, x, rows, a, b, plan, out)
    else:
        _analyse_each(lib, x, stretches, lost, plan, out, found)
    if lost is not None:
        rows, years = lost
        out[rows, :nv, :k] = np.where(years[:, None, :], np.nan, out[rows, :nv, :k])
    out[:, nv, 0] = status


def _stretches(lib, x, ready, status, first, last, plan):
    """The days to analyse, [(first day, end, rows)], and None or (rows, (rows, years)
    bool) the years the cells with gaps lose."""
    length = x.shape[1]
    gapped = ready & (status == GAPS)
    whole = ready & ~gapped
    # Cells with the same first and last day share a calendar: one call each.
    key = first * length + last
    out = []
    for group in np.unique(key[whole]):
        out.append((int(group // length), int(group % length) + 1, np.flatnonzero(whole & (key == group))))
    if not gapped.any():
        return out, None
    cells = np.flatnonzero(gapped)
    found, lost = gap_stretches(lib, x, cells, first, last, plan)
    out += [(a, b, np.asarray(rows)) for (a, b), rows in found.items()]
    return out, (cells, lost)


def _calendar(days, a, b):
    """The t, d, m, yr arrays of analysis days a to b (exclusive)."""
    return days.ordinal[a:b] - days.ordinal[a] + 1, days.d[a:b], days.m[a:b], days.yr[a:b]


def _analyse_together(lib, x, rows, a, b, plan, out):
    """The yearly values of days a to b (exclusive) of the given rows, into ``out``."""
    days = plan.days
    part = x[:, a:b] if len(rows) == x.shape[0] else x[rows, a:b]
    r = lib.analyse_cells(part, *_calendar(days, a, b), plan.type, plan.threshold, plan.min_duration)
    pos = np.searchsorted(days.years, r["years"])
    for i, name in enumerate(plan.names):
        v = r[name]
        if name in NONE_VALUE:
            v = np.where(v == NONE_VALUE[name], np.nan, v)
        out[rows[:, None], i, pos[None, :]] = v


def _analyse_each(lib, x, stretches, lost, plan, out, found):
    """Each cell's stretches analysed one by one, in cell order: yearly values into
    ``out``, events into ``found`` but those dated in a year the cell loses."""
    days = plan.days
    by_cell = {}
    for a, b, rows in stretches:
        for c in rows.tolist():
            by_cell.setdefault(c, []).append((a, b))
    gone = {} if lost is None else {c: days.years[years] for c, years in zip(lost[0].tolist(), lost[1])}
    for c in sorted(by_cell):
        for a, b in sorted(by_cell[c]):
            r = lib.analyse(*_calendar(days, a, b), x[c, a:b], plan.type, plan.threshold, plan.min_duration)
            # The days run in order: the stretch's years are those from its first day's to its last's.
            lo, hi = np.searchsorted(days.years, [days.yr[a], days.yr[b - 1]])
            out[c, :len(plan.names), lo:hi + 1] = _yearly(r, days.years[lo:hi + 1], plan)
            ev = r["events"]
            keep = ~np.isin(ev["year"], gone[c]) if c in gone else np.ones(len(ev["year"]), bool)
            found.add(c, ev, keep)


def _yearly(r, years, plan):
    """(names, years) of one analysis, as ``analyse_cells`` gives them: an index's
    value on its year's line (the last where there are two; a line of another
    year dropped, no line no value), and the summary of the events dated in each year."""
    values = np.full((len(plan.names), len(years)), np.nan)
    ev = r["events"]
    at = np.searchsorted(years, ev["year"])
    summary = {"events": np.bincount(at, minlength=len(years)).astype(np.float64),
               "event_days": np.bincount(at, ev["duration"].astype(np.float64), len(years)),
               "action_sum": np.bincount(at, ev["action"], len(years)),
               "action_max": np.full(len(years), np.nan),
               "longest_event": np.zeros(len(years))}
    np.fmax.at(summary["action_max"], at, ev["action"])
    np.maximum.at(summary["longest_event"], at, ev["duration"].astype(np.float64))
    for i, name in enumerate(plan.names):
        if name in SUMMARY:
            values[i] = summary[name]
            continue
        year, value = r[name]["year"], r[name]["value"].astype(np.float64)
        if len(year) == len(years) and (year == years).all():
            values[i] = value  # the usual file: a line per year, in order
        else:
            # Reversed, the first of a year is its last line.
            seen, first = np.unique(year[::-1], return_index=True)
            held = np.isin(seen, years)
            values[i, np.searchsorted(years, seen[held])] = value[::-1][first[held]]
        if name in NONE_VALUE:
            values[i] = np.where(values[i] == NONE_VALUE[name], np.nan, values[i])
    return values


class _Events:
    """The events of a chunk, gathered cell by cell; ``offset`` is the chunk's index of
    the first of the cells being analysed."""

    def __init__(self):
        self.parts = []
        self.offset = 0

    def add(self, cell, ev, keep):
        if keep.any():
            self.parts.append({"cell": np.full(int(keep.sum()), cell + self.offset, np.int64),
                               **{f: np.asarray(ev[f])[keep] for f in EVENT_FIELDS[1:]}})

    def arrays(self):
        if not self.parts:
            return {f: np.zeros(0, np.float64 if f == "action" else np.int64) for f in EVENT_FIELDS}
        return {f: np.concatenate([p[f] for p in self.parts]) for f in EVENT_FIELDS}
