"""A chunk's cells analysed by the binding: yearly values, event summary, and with --events every event.

The cells that share a calendar (the same first and last day, or the same
gap-free stretch of cells with gaps) are analysed in one call of
``analyse_cells``, which with --events also lists their events; a cell with
gaps keeps the events dated in the years it keeps.
"""

import numpy as np

from vordakit import binding
from vordakit.grid.gaps import gap_stretches
from vordakit.grid.percentiles import exceedances
from vordakit.grid.plan import EMPTY, GAPS, NONE_VALUE
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
    for a, b, rows in stretches:
        _analyse_together(lib, x, rows, a, b, plan, out, found)
    if lost is not None:
        rows, years = lost
        out[rows, :nv, :k] = np.where(years[:, None, :], np.nan, out[rows, :nv, :k])
    if found is not None:
        found.close_part(lost, x.shape[0], plan.days)
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


def _analyse_together(lib, x, rows, a, b, plan, out, found):
    """The yearly values of days a to b (exclusive) of the given rows, into ``out``
    (and their events into ``found``)."""
    days = plan.days
    part = x[:, a:b] if len(rows) == x.shape[0] else x[rows, a:b]
    r = lib.analyse_cells(part, *_calendar(days, a, b), plan.type, plan.threshold, plan.min_duration,
                          events=found is not None)
    pos = np.searchsorted(days.years, r["years"])
    for i, name in enumerate(plan.names):
        v = r[name]
        if name in NONE_VALUE:
            v = np.where(v == NONE_VALUE[name], np.nan, v)
        out[rows[:, None], i, pos[None, :]] = v
    if found is not None:
        found.add(rows, a, r["event_list"])


class _Events:
    """The events of a chunk, gathered a call of the binding at a time; ``offset`` is the
    chunk's index of the first of the cells being analysed."""

    def __init__(self):
        self.parts = []
        self.calls = []
        self.offset = 0

    def add(self, rows, start, ev):
        """The events of one call on ``rows`` of the part, from analysis day ``start``."""
        self.calls.append({"cell": rows[ev["cell"]], "start": np.full(len(ev["cell"]), start, np.int64),
                           **{f: ev[f] for f in EVENT_FIELDS[1:]}})

    def close_part(self, lost, cells, days):
        """The part's events in cell order, each cell's stretches in order of their days,
        but those dated in a year the cell loses."""
        calls, self.calls = self.calls, []
        if not calls:
            return
        ev = {f: np.concatenate([c[f] for c in calls]) for f in ("start",) + EVENT_FIELDS}
        # Stable: a stretch's events keep the order of its event file.
        order = np.lexsort((ev["start"], ev["cell"]))
        keep = np.ones(len(order), bool)
        if lost is not None:
            gone = np.zeros((cells, len(days.years)), bool)
            gone[lost[0]] = lost[1]
            keep = ~gone[ev["cell"], np.searchsorted(days.years, ev["year"])]
        order = order[keep[order]]
        ev["cell"] = ev["cell"] + self.offset
        self.parts.append({f: ev[f][order] for f in EVENT_FIELDS})

    def arrays(self):
        if not self.parts:
            return {f: np.zeros(0, np.float64 if f == "action" else np.int64) for f in EVENT_FIELDS}
        return {f: np.concatenate([p[f] for p in self.parts]) for f in EVENT_FIELDS}
