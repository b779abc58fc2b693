"""Cells with missing days inside their series: the stretches analysed apart and the years a gap costs.

A gap costs the years of its missing days, and the years of any run of days
beyond the threshold that reaches the gap: what the gap held could have
joined that run into a longer event or spell, moved the day an event is dated
by, or started a season. Runs that end on a day not beyond the threshold are
whole on either side, so the other years equal those of the cell without the
gap whatever it held.
"""

import numpy as np

__all__ = ["gap_stretches", "beyond"]


def gap_stretches(lib, x, cells, first, last, plan):
    """The gap-free stretches of cells with missing days inside their series, as
    {(first day, end): rows}, and the years each cell loses, (cells, years)."""
    days = plan.days
    length = x.shape[1]
    span = (np.arange(length) >= first[cells, None]) & (np.arange(length) <= last[cells, None])
    sub = x[cells]
    valid = ~np.isnan(sub) & span
    missing = np.isnan(sub) & span
    over = np.zeros(sub.shape, bool)
    over[valid] = beyond(lib, sub[valid], plan)
    # Per day, the last day at or before it not beyond the threshold, and the next at or after it.
    index = np.broadcast_to(np.arange(length), sub.shape)
    before = np.maximum.accumulate(np.where(over, -1, index), axis=1)
    after = np.minimum.accumulate(np.where(over, length, index)[:, ::-1], axis=1)[:, ::-1]
    edge = np.pad(missing, ((0, 0), (1, 1)))
    rows = np.arange(len(cells))[:, None]
    touching = over & (edge[rows, before + 1] | edge[rows, after + 1])
    starts = np.searchsorted(days.yr, days.years)
    lost = np.logical_or.reduceat(missing | touching, starts, axis=1)
    stretches = {}
    for row, c in enumerate(cells):
        change = np.diff(np.concatenate([[0], valid[row].view(np.int8), [0]]))
        for a, b in zip(np.flatnonzero(change == 1), np.flatnonzero(change == -1)):
            stretches.setdefault((int(a), int(b)), []).append(c)
    return stretches, lost


def beyond(lib, values, plan, part=2**20):
    """Whether each value lies beyond the threshold, as vorda reads it: each
    distinct value as a one-day series, where a day beyond is an event of its
    own; a part at a time, as each takes a row of every yearly output."""
    distinct, which = np.unique(values, return_inverse=True)
    one = np.ones(1, np.int32)
    out = np.zeros(len(distinct), bool)
    for a in range(0, len(distinct), part):
        r = lib.analyse_cells(distinct[a:a + part, None], one, one, one, np.array([2000], np.int32), plan.type,
                              plan.threshold, 1)
        out[a:a + part] = r["events"][:, 0] > 0
    return out[which.ravel()]
