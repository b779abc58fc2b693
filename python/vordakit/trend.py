"""Trends of the yearly indices: Sen (Theil) slope with 95% bounds, Mann-Kendall p-value.

The conventions are those of the station index packages: no trend from fewer
than 10 valid years or from fewer than 70% valid years of the span; slopes per
decade. The slope is the median of the pairwise slopes, its bounds the ranks
that Sen (1968) gives for a 95% interval, with ties in the values taken out of
the variance; the p-value is the two-sided normal approximation of Kendall's
S with the tie correction, without a continuity correction.
"""

import collections
import csv
import functools
import itertools
import math
import operator
import os
import statistics

import numpy as np

from vordakit import catalogue, grid, results, tables
from vordakit.atomic import atomic_path
from vordakit.catalogue import INDEX_ORDER
from vordakit.grid.output import DOUBLE_FILL, history_line
from vordakit.model import PERCENTILE_FIELDS, RUN_FIELDS, USED_FIELD

__all__ = ["TREND_FIELDS", "Trend", "Fit", "sen_slope", "mann_kendall_p", "fit", "fit_many", "trends",
           "write_trends", "command"]

MIN_VALID_YEARS = 10
MIN_VALID_SHARE = 0.7
CONFIDENCE = 0.95
# The value an index takes in a year where it found nothing (no start of the
# growing season); the tables already give most of them as no value.
NO_VALUE = {i.name: i.no_value for i in catalogue.YEARLY if i.no_value is not None}

TREND_FIELDS = RUN_FIELDS + ("index", "first_year", "last_year", "years", "valid_years",
                             "slope_per_decade", "slope_low_per_decade", "slope_high_per_decade",
                             "p_value") + PERCENTILE_FIELDS + ("bootstrap", USED_FIELD)

Trend = collections.namedtuple("Trend", TREND_FIELDS, defaults=(None,) * 5)
Fit = collections.namedtuple("Fit", "slope intercept low high p")

# Two-sided 95%: the normal quantile of 0.975.
_Z = statistics.NormalDist().inv_cdf(0.5 + CONFIDENCE / 2)


def _tie_term(values):
    """Sum of t(t-1)(2t+5) over the groups of t equal values."""
    _, counts = np.unique(values, return_counts=True)
    t = counts[counts > 1].astype(float)
    return float(np.sum(t * (t - 1) * (2 * t + 5)))


@functools.lru_cache(maxsize=64)
def _pairs(n):
    """Index arrays (i, j) of every pair i < j of n points."""
    return np.triu_indices(n, k=1)


def _sorted_pairs(x, y):
    """Points ordered by x, and the differences of every later point from an earlier one."""
    x, y = _by_x(x, y)
    i, j = _pairs(len(x))
    return x, y, x[j] - x[i], y[j] - y[i]


def _by_x(x, y):
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    order = np.argsort(x, kind="stable")
    return x[order], y[order]


def sen_slope(x, y):
    """Sen slope, intercept and the 95% bounds of the slope for points (x, y)."""
    x, y, dx, dy = _sorted_pairs(x, y)
    return _sen(x, y, dx, dy)


def _sen(x, y, dx, dy, ties=None):
    """The Sen slope's figures from the pairs' differences; ``ties``, the tie terms of x and y, where known."""
    later = dx > 0
    slopes = dy / dx if later.all() else dy[later] / dx[later]
    n = len(y)
    tie_x, tie_y = ties or (_tie_term(x), _tie_term(y))
    var = 1 / 18.0 * (n * (n - 1) * (2 * n + 5) - tie_x - tie_y)
    sigma = math.sqrt(var) if var > 0 else 0.0
    m = len(slopes)
    # Python's round() rounds halves to even, as the ranks are usually taken.
    upper = min(int(round((m + _Z * sigma) / 2.0)), m - 1)
    lower = max(int(round((m - _Z * sigma) / 2.0)) - 1, 0)
    # Only four ranks are needed: a partition instead of a full sort.
    slopes = np.partition(slopes, sorted({lower, upper, (m - 1) // 2, m // 2}))
    slope = float((slopes[(m - 1) // 2] + slopes[m // 2]) / 2) if m % 2 == 0 else float(slopes[m // 2])
    intercept = float(np.median(y) - slope * np.median(x))
    return slope, intercept, float(slopes[lower]), float(slopes[upper])


def mann_kendall_p(x, y):
    """Two-sided p-value of the Mann-Kendall test of y against x (order by x), ties corrected."""
    _, y, _, dy = _sorted_pairs(x, y)
    return _mk(y, dy)


def _mk(y, dy, tie_y=None):
    n = len(y)
    s = float(np.count_nonzero(dy > 0) - np.count_nonzero(dy < 0))
    var = (n * (n - 1) * (2 * n + 5) - (_tie_term(y) if tie_y is None else tie_y)) / 18.0
    if s == 0 or var <= 0:
        return 1.0
    z = s / math.sqrt(var)
    return math.erfc(abs(z) / math.sqrt(2.0))


def fit(years, values):
    """The trend of one yearly index, or None when the rules allow none.

    ``years`` and ``values`` are parallel; a value of None is a missing year.
    Years absent from the list count as missing too: the share of valid years
    is taken over the whole span from the first to the last year.
    """
    pts = _points(years, values)
    if pts is None:
        return None
    x, y, dx, dy = _sorted_pairs(*pts)
    slope, intercept, low, high = _sen(x, y, dx, dy)
    return Fit(slope, intercept, low, high, _mk(y, dy))


def _points(years, values):
    """The years and values of a series' valid points, or None where the rules allow no trend of them."""
    xs, vs = _valid(years, values)
    if len(xs) < MIN_VALID_YEARS or len(xs) < MIN_VALID_SHARE * _span(years):
        return None
    return xs, vs


def _valid(years, values):
    """The years and values of the points that have both."""
    if None not in years and None not in values:
        return years, values
    pts = [(y, v) for y, v in zip(years, values) if y is not None and v is not None]
    return [p[0] for p in pts], [p[1] for p in pts]


def _known(years):
    return years if None not in years else [y for y in years if y is not None]


def fit_many(series):
    """The trends of many yearly series at once, figure for figure those of ``fit``.

    A station's indices mostly cover the same years: the pairs' differences
    of the years and their ties are taken once for all series on the same years.

    Parameters
    ----------
    series : iterable of (years, values)
        Each series as ``fit`` takes it: parallel lists, None a missing year.

    Returns
    -------
    list of Fit or None
        The Fit of each series in turn; None where the rules allow no trend.

    Examples
    --------
    >>> years = list(range(2000, 2012))
    >>> up, down = [y * 0.5 for y in years], [None] + [-y for y in years[1:]]
    >>> fit_many([(years, up), (years, down), (years, up[:9] + [None] * 3)]) == [
    ...     fit(years, up), fit(years, down), None]
    True
    """
    out = []
    shared = {}
    for years, values in series:
        pts = _points(years, values)
        if pts is None:
            out.append(None)
            continue
        x, y = _by_x(*pts)
        key = x.tobytes()
        if key not in shared:
            i, j = _pairs(len(x))
            shared[key] = i, j, x[j] - x[i], _tie_term(x)
        i, j, dx, tie_x = shared[key]
        dy = y[j] - y[i]
        tie_y = _tie_term(y)
        out.append(Fit(*_sen(x, y, dx, dy, (tie_x, tie_y)), _mk(y, dy, tie_y)))
    return out


def _span(years):
    known = _known(years)
    return max(known) - min(known) + 1 if known else 0


def partial_years(records):
    """How many yearly records stand for a year the input does not wholly cover."""
    return sum(1 for r in records if getattr(r, "whole", None) == 0)


def whole_years(records, keep_partial=False):
    """The records of the years the input covers wholly (all of them with ``keep_partial``).

    A year that holds only part of its days, such as the last year of a series
    that ends on 28 February, counts its days beyond the threshold and its
    spells over that part only: taken as a year like the others it would pull
    the trend. Records of unknown coverage are kept.
    """
    if keep_partial:
        return list(records)
    return [r for r in records if getattr(r, "whole", None) != 0]


def series_of(records):
    """Group yearly records by run and index: {(run, index): (years, values)}.

    A year written twice for one index (vorda repeats the last year when the
    series ends on the first day of a new one) keeps its first value. A start
    of the growing season of 0 says that the year had none: it is no day of
    the year, and taken as one it would drag the slope towards zero, so it
    counts as a year without a value.
    """
    groups = {}
    # Records come in blocks of one run and index; most blocks are a group whole.
    for (*run, index), block in itertools.groupby(records, _RUN_INDEX):
        key = (tuple(run), index)
        block = list(block)
        block_years = [r.year for r in block]
        none = NO_VALUE.get(index, _NOTHING)
        if key not in groups and len(set(block_years)) == len(block_years):
            groups[key] = (block_years, [None if r.value == none else r.value for r in block], set(block_years))
            continue
        years, values, seen = groups.setdefault(key, ([], [], set()))
        for r in block:
            if r.year is not None and r.year in seen:
                continue
            seen.add(r.year)
            years.append(r.year)
            values.append(None if r.value == none else r.value)
    return {key: (ys, vs) for key, (ys, vs, _) in groups.items()}


_RUN_INDEX = operator.itemgetter(0, 1, 2, 3, 4)
_NOTHING = object()  # equal to no value


def trends(records, fits=None):
    """One Trend per run and yearly index of ``records`` (YearlyRecords); ``fits``, a dict,
    receives the Fit (or None) of each (run, index), for plots to draw."""
    out = []
    groups = series_of(records)
    marks = _marks(records)
    items = sorted(groups.items(), key=_order)
    for ((run, index), (years, values)), f in zip(items, fit_many([series for _, series in items])):
        known = _known(years)
        valid = len(_valid(years, values)[0])
        if fits is not None:
            fits[(run, index)] = f
        per_decade = (None,) * 3 if f is None else (10 * f.slope, 10 * f.low, 10 * f.high)
        out.append(Trend(*run, index, min(known, default=None), max(known, default=None),
                         _span(years), valid, *per_decade, None if f is None else f.p,
                         *marks.get(run + (index,), ())))
    return out


def _marks(records):
    """Per run and index: a percentile run's columns, whether its values are partly resampled
    ones (the first record that says so, else the last), and the threshold the run was given."""
    marks = {}
    # Records come in blocks of one run and index.
    for key, block in itertools.groupby(records, _RUN_INDEX):
        first, *rest = block
        mark = marks.setdefault(key, [first.percentile, first.base, first.window, first.bootstrap,
                                      first.threshold_used])
        boots = [first.bootstrap] + [r.bootstrap for r in rest]
        mark[3] = mark[3] or next((b for b in boots if b), boots[-1])
    return marks


def _order(item):
    (run, index), _ = item
    # A table read back gives a percentile run no threshold (None), which orders first.
    run = run[:2] + ((run[2] is not None, run[2] or 0.0),) + run[3:]
    return run, INDEX_ORDER.index(index) if index in INDEX_ORDER else len(INDEX_ORDER)


def _num(value, fmt):
    return "" if value is None else format(value, fmt)


def trend_rows(rows):
    for t in rows:
        threshold = "" if t.percentile is not None or t.threshold is None else f"{t.threshold:.1f}"
        yield (t.input, t.type, threshold, t.min_duration, t.index,
               _num(t.first_year, "d"), _num(t.last_year, "d"), t.years, t.valid_years,
               _num(t.slope_per_decade, ".6g"), _num(t.slope_low_per_decade, ".6g"),
               _num(t.slope_high_per_decade, ".6g"), _num(t.p_value, ".6g"), t.percentile, t.base, t.window,
               t.bootstrap, tables.threshold_used(t))


def partial_note(records, keep_partial):
    """The warning, if any, on years the input does not wholly cover."""
    n = partial_years(records)
    if not n:
        return []
    if keep_partial:
        return [f"{n} yearly values of partly covered years kept (--keep-partial)"]
    return [f"{n} yearly values of partly covered years left out (--keep-partial keeps them)"]


def write_trends(rows, path):
    """Write trend rows (Trends) as CSV."""
    tables.write_csv(path, TREND_FIELDS, trend_rows(rows))


def command(args):
    """``vordakit trend``: the trend table's path on standard output."""
    if args.source.endswith(".nc"):
        return grid_trend_command(args)
    if os.path.isdir(args.source):
        res = results.read_results(args.source)
        results.print_warnings("trend", res.warnings)
        records = res.yearly
        out = args.out or os.path.join(args.source, "trend.csv")
    else:
        lead = []
        records = tables.read_yearly_csv(args.source, lead)
        out = args.out or os.path.join(os.path.dirname(args.source), "trend.csv")
        if lead and lead[0]:
            return _trends_by_lead(args, records, lead, out)
    keep = getattr(args, "keep_partial", False)
    results.print_warnings("trend", partial_note(records, keep))
    write_trends(trends(whole_years(records, keep)), out)
    print(out)
    return 0


def _trends_by_lead(args, records, lead, out):
    """Trends of a table with leading columns (a batch's station): one group per
    value of them, which the trend table keeps in front, as the batch writes it."""
    with open(args.source, newline="") as f:
        names = next(csv.reader(f))[:len(lead[0])]
    groups = {}
    for cells, r in zip(lead, records):
        groups.setdefault(cells, []).append(r)
    keep = getattr(args, "keep_partial", False)
    rows = []
    for cells, group in groups.items():
        results.print_warnings("trend", [f"{'/'.join(cells)}: {w}" for w in partial_note(group, keep)])
        rows.extend(cells + tuple(row) for row in trend_rows(trends(whole_years(group, keep))))
    tables.write_csv(out, tuple(names) + TREND_FIELDS, rows)
    print(out)
    return 0


# ---------------------------------------------------------------- grids


def _tie_terms(values):
    """_tie_term of every column of ``values`` (points, columns) at once."""
    n, g = values.shape
    s = np.sort(values, axis=0)
    new = np.ones((n, g), bool)
    new[1:] = s[1:] != s[:-1]
    run = np.cumsum(new, axis=0) - 1 + n * np.arange(g)
    t = np.bincount(run.ravel(), minlength=n * g).reshape(g, n).astype(float)
    return (t * (t - 1) * (2 * t + 5)).sum(axis=1)


def fit_columns(years, values):
    """``fit`` of every column of ``values`` (years, columns; NaN missing) against
    distinct ``years``: slope, low, high and p per column, NaN where the rules
    allow no trend. Columns with the same missing years are fitted together.

    >>> years = np.arange(2000, 2012)
    >>> v = np.stack([years * 0.5, -years + (years % 2)], axis=1)
    >>> s, lo, hi, p = fit_columns(years, v)
    >>> s.tolist(), fit(list(years), list(v[:, 1])).slope
    ([0.5, -1.0], -1.0)
    """
    years = np.asarray(years, dtype=float)
    values = np.asarray(values, dtype=float)
    out = np.full((4, values.shape[1]), np.nan)
    span = years.max() - years.min() + 1 if len(years) else 0
    valid = ~np.isnan(values)
    patterns, which = np.unique(valid.T, axis=0, return_inverse=True)
    for p, mask in enumerate(patterns):
        n = int(mask.sum())
        if n < MIN_VALID_YEARS or n < MIN_VALID_SHARE * span:
            continue
        cols = np.flatnonzero(which.ravel() == p)
        x = years[mask]
        y = values[mask][:, cols]
        i, j = _pairs(n)
        dx = (x[j] - x[i])[:, None]
        dy = y[j] - y[i]
        ties = _tie_terms(y)
        var = (n * (n - 1) * (2 * n + 5) - ties) / 18.0
        sigma = np.sqrt(np.maximum(var, 0.0))
        slopes = np.sort(dy / dx, axis=0)
        m = len(dx)
        upper = np.minimum(np.round((m + _Z * sigma) / 2.0).astype(int), m - 1)
        lower = np.maximum(np.round((m - _Z * sigma) / 2.0).astype(int) - 1, 0)
        mid = (slopes[(m - 1) // 2] + slopes[m // 2]) / 2 if m % 2 == 0 else slopes[m // 2]
        cols_idx = np.arange(len(cols))
        s = np.sign(dy).sum(axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            z = np.abs(s) / np.sqrt(var)
        pval = np.array([math.erfc(v / math.sqrt(2.0)) for v in z.tolist()])
        pval[(s == 0) | (var <= 0)] = 1.0
        out[:, cols] = mid, slopes[lower, cols_idx], slopes[upper, cols_idx], pval
    return out


def per_decade(units):
    """The units of a slope per decade of values in ``units``, in a form UDUNITS-2 reads.

    >>> per_decade("days"), per_decade("1"), per_decade("degC days")
    ('days/(10 year)', '(10 year)-1', 'degC days/(10 year)')
    """
    units = str(units).strip()
    return "(10 year)-1" if units in ("", "1") else f"{units}/(10 year)"


def grid_trends(dataset):
    """Per cell and yearly variable of a ``vordakit grid`` output (an xarray
    Dataset): the Sen slope per decade with its 95% bounds and the
    Mann-Kendall p, as a Dataset on the grid's dimensions."""
    import xarray as xr
    years = dataset["year"].values
    out = {}
    for name, v in dataset.data_vars.items():
        # missing_days tells which years were lost; it is no index to fit.
        if v.dims[:1] != ("time",) or name in ("time_bnds", "missing_days"):
            continue
        values = v.values.reshape(len(years), -1)
        fits = fit_columns(years, values).reshape((4,) + v.shape[1:])
        dims = v.dims[1:]
        per = per_decade(v.attrs.get("units", "1"))
        long_name = v.attrs.get("long_name", name)
        extra = {"grid_mapping": v.attrs["grid_mapping"]} if "grid_mapping" in v.attrs else {}
        for k, (suffix, what, units) in enumerate((
                ("slope", "Sen slope per decade", per),
                ("slope_low", "lower 95% bound of the Sen slope per decade", per),
                ("slope_high", "upper 95% bound of the Sen slope per decade", per),
                ("p", "two-sided Mann-Kendall p-value", "1"))):
            factor = 10.0 if k < 3 else 1.0
            out[f"{name}_{suffix}"] = xr.Variable(dims, fits[k] * factor,
                                                  {"long_name": f"{what} of: {long_name}", "units": units,
                                                   **extra})
    coords = {c: dataset[c].variable for c in dataset.coords if "time" not in dataset[c].dims}
    attrs = {k: dataset.attrs[k] for k in dataset.attrs if k != "history"}
    attrs["trend_rules"] = (f"no trend from fewer than {MIN_VALID_YEARS} valid years or under "
                            f"{MIN_VALID_SHARE:.0%} of the years {int(years.min())}-{int(years.max())}")
    return xr.Dataset(out, coords, attrs)


def grid_trend_command(args):
    source = grid.load_output(args.source)
    ds = grid_trends(source)
    out = args.out or os.path.splitext(args.source)[0] + "-trend.nc"
    ds.attrs["history"] = history_line(f"vordakit trend {args.source}", source.attrs.get("history", ""))
    ds.attrs["source_files"] = os.path.basename(args.source)
    # Coordinates have a value everywhere: no fill value, which CF does not allow them.
    encoding = {n: {"_FillValue": None} for n in ds.coords}
    encoding.update({n: {"_FillValue": DOUBLE_FILL} for n in ds.data_vars})
    with atomic_path(out) as tmp:
        ds.to_netcdf(tmp, engine="netcdf4", encoding=encoding)
    print(out)
    return 0
