"""A percentile threshold per cell and calendar day, and each cell's exceedances over it.

A cell is analysed as ``vordakit run --percentile`` analyses a station: its
series becomes the exceedances over the threshold of each day's calendar day,
analysed with threshold 0.0. The thresholds maths is vordakit.thresholds';
here it runs on many cells at once.
"""

import math

import numpy as np

from vordakit.dates import FEB29, SLOTS, slots_of
from vordakit.errors import KitError
from vordakit.grid.calendars import date_text
from vordakit.grid.plan import BASE_GAPS
from vordakit.grid.values import decimal_values
from vordakit.thresholds import base_windows, in_units, parse_setting

__all__ = ["THRESHOLD_CELLS", "PercentilePlan", "percentile_setting", "percentile_plan", "exceedances", "row_decimals"]

# Cells whose percentile thresholds are worked out at once: their windows take
# about cells x base years x 366 x window doubles, a few times over.
THRESHOLD_CELLS = 32


class PercentilePlan:
    """A percentile threshold per cell and calendar day: the setting, the base's
    days (``span``, indices into the analysis days) and every day's calendar day."""

    def __init__(self, setting, days):
        first, last = setting.base
        self.setting = setting
        self.keys = slots_of(days.m, days.d)
        self.span = tuple(int(i) for i in np.searchsorted(days.yr, [first, last + 1]))
        a, b = self.span
        self.pools = window_pools(self.keys[a:b], setting.window)


def window_pools(keys, window):
    """None, or (the base days of each calendar day's values, (365, base years x window),
    those of 29 February, (leap years x window)): a calendar day's values are
    the windows around its day in each base year, as vordakit.thresholds
    gathers them, whose order a quantile does not see. None where the days
    other than 29 February are not each once a year (then the thresholds are
    found as a station's are).

    >>> pools, leap = window_pools(np.tile(np.arange(366) != FEB29, 2).nonzero()[0] % 366, 3)
    >>> pools.shape, pools[0].tolist(), leap.tolist()
    ((365, 6), [729, 0, 1, 364, 365, 366], [])
    """
    n, h = len(keys), window // 2
    order = np.argsort(keys, kind="stable")
    counts = np.bincount(keys, minlength=SLOTS)
    others = np.delete(counts, FEB29)
    if not len(keys) or (others != others[0]).any():
        return None
    # Each base day's window, the base taken as a ring (see vordakit.thresholds).
    windows = (order[:, None] + np.arange(-h, h + 1)) % n
    leap = windows[keys[order] == FEB29].reshape(-1)
    return windows[keys[order] != FEB29].reshape(SLOTS - 1, -1), leap


def percentile_setting(threshold, percentile, base, window, months):
    """The percentile threshold asked for (a vordakit.thresholds.PercentileSetting), or None for a fixed one."""
    if percentile is None:
        if threshold is None:
            raise KitError(None, None, "give a threshold: --threshold X, or --percentile P --base FIRST-LAST")
        if base is not None:
            raise KitError(None, None, "--base goes with --percentile")
        return None
    if threshold is not None:
        raise KitError(None, None, "give either --threshold or --percentile, not both")
    if base is None:
        raise KitError(None, None, "--percentile needs --base FIRST-LAST, the base period's years")
    setting = parse_setting(percentile, base, window)
    if months:
        raise KitError(None, None, "--months with --percentile: the thresholds need the base period's whole years")
    return setting


def percentile_plan(setting, days, where):
    """The PercentilePlan of the analysis days, refused (naming ``where``) when the
    time axis does not cover the base whole."""
    base = f"base {setting.base_text}"
    if days.calendar == "360_day":
        raise KitError(where, None, f"{base}: calendar 360_day has no calendar days of the usual "
                                    "year to take percentiles of")
    first, last = setting.base
    start = np.flatnonzero((days.yr == first) & (days.m == 1) & (days.d == 1))
    end = np.flatnonzero((days.yr == last) & (days.m == 12) & (days.d == 31))
    if not len(start) or not len(end):
        raise KitError(where, None, f"{base} is not covered: the time axis runs from "
                                    f"{date_text(days, 0)} to {date_text(days, -1)}")
    missing = np.flatnonzero(days.src[start[0]:end[0] + 1] < 0) + start[0]
    if len(missing):
        shown = ", ".join(date_text(days, i) for i in missing[:5])
        more = f" and {len(missing) - 5} more" if len(missing) > 5 else ""
        raise KitError(where, None, f"{base} has {len(missing)} days without a time step: {shown}{more}")
    return PercentilePlan(setting, days)


def exceedances(x, ready, status, plan):
    """Each ready cell's exceedances over its percentile threshold of the day, as
    vordakit.percentile makes them of a station's series (NaN where x is, and in
    the other rows), which are still ready, and the thresholds (cells, 366).

    A cell's decimals are the most any of its values holds, as a station file's
    are the most any of its values is written with. A cell with a missing day in
    the base period gets BASE_GAPS and no values.
    """
    pp = plan.percentile
    a, b = pp.span
    lost = ready & np.isnan(x[:, a:b]).any(axis=1)
    status[lost] = BASE_GAPS
    ready = ready & ~lost
    out = np.full(x.shape, np.nan)
    thresholds = np.full((x.shape[0], 366), np.nan)
    rows = np.flatnonzero(ready)
    if not len(rows):
        return out, ready, thresholds
    values, decimals = row_decimals(x if len(rows) == len(x) else x[rows])
    for part in np.array_split(np.arange(len(rows)), -(-len(rows) // THRESHOLD_CELLS)):
        out[rows[part]], thresholds[rows[part]] = _over_thresholds(values[part], decimals[part], plan)
    return out, ready, thresholds


def row_decimals(x):
    """(the decimals the values hold as float64 values, the most decimals of any value of each row).

    >>> row_decimals(np.array([[1.0, 2.5], [3.0, np.nan], [0.25, 1.0]], np.float32))[1].tolist()
    [1, 0, 2]
    """
    x = np.asarray(x)
    values, decimals, others, whole = _hundredths(x)
    if len(others[0]):
        found, dec = decimal_values(x[others], 1)
        values[others] = found
        np.maximum.at(decimals, others[0], dec.astype(np.int64))
        ones = np.unique(others[0])
        v = values[ones]
        whole[ones] = np.all(np.isnan(v) | (v == np.rint(v)), axis=1)
    # Rows of whole numbers are rare: found apart, as if whole numbers had a decimal.
    decimals[(decimals == 1) & whole] = 0
    return values, decimals


def _hundredths(x, rows=8):
    """``row_decimals`` of the values with two decimals or fewer (at least one counted),
    the usual grid's: (values, decimals per row, where the other values are, to be
    searched for their own decimals (NaN is neither), whether each row's values are
    whole numbers (where it has no others)). A few rows at a time, whose values
    stay in the cache through the passes."""
    values = np.empty(x.shape)
    decimals = np.ones(len(x), np.int64) if x.shape[1] else np.zeros(len(x), np.int64)
    # As values.decimal_values: two decimals are a value's own where they read back as it,
    # and it is small enough for a step of 0.01 to span many of its own steps.
    bound = 2.0 ** (np.finfo(x.dtype).nmant - 4) / 100
    others = []
    whole = np.ones(len(x), bool)
    for a in range(0, len(x), rows):
        part, out = x[a:a + rows], values[a:a + rows]
        hundredths = np.multiply(part, 100.0, dtype=np.float64)
        np.rint(hundredths, out=hundredths)
        np.divide(hundredths, 100.0, out=out)
        ok = (out if x.dtype == np.float64 else out.astype(x.dtype)) == part
        if not -bound < np.fmin.reduce(part, axis=None, initial=np.inf) <= \
                np.fmax.reduce(part, axis=None, initial=-np.inf) < bound:
            with np.errstate(invalid="ignore"):
                ok &= np.abs(part) < bound
        np.divide(hundredths, 10.0, out=hundredths)
        tenths = hundredths != np.rint(hundredths)
        decimals[a:a + rows][(tenths & ok).any(axis=1)] = 2
        whole[a:a + rows] = (np.isnan(out) | (out == np.rint(out))).all(axis=1)
        if not ok.all():
            r, c = np.nonzero(~ok)
            keep = ~np.isnan(part[r, c])
            others.append((r[keep] + a, c[keep]))
    if not others:
        return values, decimals, (np.zeros(0, np.int64),) * 2, whole
    return values, decimals, tuple(np.concatenate(i) for i in zip(*others)), whole


def _over_thresholds(values, decimals, plan):
    """(exceedances, thresholds) of rows without a missing day in the base, their values
    and decimals those of ``row_decimals``."""
    pp = plan.percentile
    a, b = pp.span
    if np.isinf(values).any():
        # Its whole units would be no number at all, and its window's thresholds none either.
        raise KitError(None, None, "an infinite value: a percentile threshold needs finite values")
    valid = ~np.isnan(values)
    units, thr, digits = in_units(np.where(valid, values, 0.0), decimals, _thresholds(values[:, a:b], plan),
                                  pp.setting)
    if digits.max() > 22 or max(np.abs(units).max(), np.abs(thr).max()) >= 2**52:
        raise KitError(None, None, f"values with {int(decimals.max())} decimals: too many digits for exact "
                                   "exceedances over a percentile threshold (at most 15 significant ones)")
    scale = 10.0 ** digits[:, None]
    # Whole numbers below 2**52 over an exact power of ten: the double nearest the decimal, as vorda reads it.
    return np.where(valid, (units - thr[:, pp.keys]) / scale, np.nan), thr / scale


def _thresholds(base, plan):
    """The threshold per calendar day (rows, 366) of rows of the base's values: each
    calendar day's quantile over all rows at once, of its window pool."""
    pp = plan.percentile
    a, b = pp.span
    if pp.pools is None:
        return base_windows(base, pp.keys[a:b], plan.days.yr[a:b], pp.setting).thresholds()
    pools, leap = pp.pools
    q = pp.setting.value / 100
    out = np.empty((len(base), SLOTS))
    days = np.delete(np.arange(SLOTS), FEB29)
    out[:, days] = _quantile(base[:, pools], q)
    out[:, FEB29] = _quantile(base[:, leap], q) if len(leap) else out[:, FEB29 - 1]
    return out


def _quantile(values, q):
    """``np.quantile(values, q, axis=-1, method="median_unbiased")`` of values without NaN,
    in numpy's own steps, the values partitioned in place along their rows (numpy
    partitions a copy, across rows).

    >>> x = np.array([[3.0, 1.0, 2.0, 9.0], [0.5, 0.25, 4.0, 1.0]])
    >>> bool((_quantile(x.copy(), 0.9) == np.quantile(x, 0.9, axis=-1, method="median_unbiased")).all())
    True
    """
    n = values.shape[-1]
    virtual = n * q + (1 / 3.0 + q * (1 - 1 / 3.0 - 1 / 3.0)) - 1
    # The neighbours of the virtual index: the last value beyond the end, the first before the start.
    below = -1 if virtual >= n - 1 else 0 if virtual < 0 else math.floor(virtual)
    above = -1 if below == -1 else 0 if virtual < 0 else below + 1
    gamma = virtual - below
    values.partition(sorted({below % n, above % n}), axis=-1)
    a, b = values[..., below], values[..., above]
    diff = b - a
    return b - diff * (1 - gamma) if gamma >= 0.5 else a + diff * gamma
