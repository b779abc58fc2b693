"""A chunk's cells as series: rows over the analysis days, what each covers, its short gaps filled.

A cell's series is what ``convert`` makes of a station's: the days of the
chosen months from the cell's first to its last value, gaps of up to --fill
days filled by ``convert``'s interpolation; a gap left costs the cell the
years it touches (vordakit.grid.gaps), and the output counts each year's
missing days.
"""

import numpy as np

from vordakit import convert, dates
from vordakit.grid.plan import COMPLETE, EMPTY, FILLED, GAPS, TRIMMED
from vordakit.grid.values import cell_values, decimal_values

__all__ = ["rows_of", "series_rows", "missing_per_year"]


def rows_of(block, days):
    """The chunk as rows of cells over the days of the analysis, a view where the
    memory allows: the files hold time first, and copying it to cells first costs
    more than the analysis."""
    block = np.asarray(block)
    tfirst = np.moveaxis(block, -1, 0)
    if tfirst.flags.c_contiguous:
        x = tfirst.reshape(block.shape[-1], -1).T
    else:
        x = block.reshape(-1, block.shape[-1])
    if not days.dense:
        take = np.where(days.src >= 0, days.src, 0)
        x = np.where(days.src >= 0, x[:, take], np.nan).astype(x.dtype, copy=False)
    return x


def series_rows(x, plan):
    """Rows of a chunk as the series vorda is to read: (values, status, first and
    last day of each, which can be analysed); gaps filled where --fill allows.
    Cells left with gaps (status GAPS) are analysed a stretch at a time."""
    cells, length = x.shape
    status = np.full(cells, EMPTY, np.float64)
    x, _ = cell_values(x, plan)
    has, first, last, gap = _coverage(x)
    status[has] = np.where((first[has] == 0) & (last[has] == length - 1), COMPLETE, TRIMMED)
    status[gap] = GAPS
    if gap.any() and plan.fill is not None:
        # With --fill the values are already a fresh float64 array of decimals, never the chunk itself.
        x = np.asarray(x, np.float64)
        for c in np.flatnonzero(gap):
            if _fill_cell(x, c, first[c], last[c], plan.fill):
                status[c] = FILLED
    return x, status, first, last, has


def _coverage(x):
    """Per row: any value, the first and the last value's day, missing days between them."""
    cells, length = x.shape
    has = np.ones(cells, bool)
    first = np.zeros(cells, np.int64)
    last = np.full(cells, length - 1, np.int64)
    gap = np.zeros(cells, bool)
    # A sum is NaN when any value is (or, rarely, when infinities cancel): the usual chunk is whole.
    if not np.isnan(np.sum(x, dtype=np.float64)):
        return has, first, last, gap
    missing = np.isnan(x)
    some = np.flatnonzero(missing.any(axis=1))
    valid = ~missing[some]
    has[some] = valid.any(axis=1)
    first[some] = np.argmax(valid, axis=1)
    last[some] = length - 1 - np.argmax(valid[:, ::-1], axis=1)
    gap[some] = has[some] & (valid.sum(axis=1) < last[some] - first[some] + 1)
    return has, first, last, gap


def _fill_cell(x, c, a, b, most):
    """Fill the gaps of row c between a and b of up to ``most`` days as convert
    fills a station's; False when a longer gap is left."""
    row = x[c, a:b + 1]
    values = [None if v != v else v for v in row.tolist()]
    gaps = dates.find_gaps(np.isnan(row))
    short = [g for g in gaps if g[1] <= most]
    if short:
        _, dec = decimal_values(row[~np.isnan(row)])
        convert.fill_gaps(values, short, int(dec.max()))
        x[c, a:b + 1] = values
    return len(short) == len(gaps)


def missing_per_year(x, days):
    """(cells, years): the days of each year without a value."""
    starts = np.searchsorted(days.yr, days.years)
    missing = np.isnan(x)
    out = np.zeros((x.shape[0], len(starts)), np.int64)
    # Only the rows with a missing day are counted: the usual chunk has none.
    some = np.flatnonzero(missing.any(axis=1))
    if len(some):
        out[some] = np.add.reduceat(missing[some].view(np.uint8), starts, axis=1, dtype=np.int64)
    return out
