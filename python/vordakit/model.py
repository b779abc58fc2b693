"""The model of a run's results: its identity, its yearly values and events, and their warnings.

A run is known in the tables by ``Run`` (input, type, threshold as the result
files show it, minimum duration). Its results are records: a ``YearlyRecord``
per index and year, an ``EventRecord`` per event, in ``Results`` with the
warnings on values that have none. The records come straight from numbers,
whether those are the binding's arrays (``from_analysis``) or the fields of
result files that vordakit.results reads: a number that did not fit its
field (asterisks in the file), and -999 in a year, day or month (the value
vorda gives a calendar field it never set), become None with a warning
naming file and line; an index's no-value (see vordakit.catalogue) becomes
None with one warning per file. Real-valued fields (midpoint, action
measure) keep -999.000 as a value, since a sum of differences can be
exactly that.
"""

import collections
import decimal
import itertools
import operator

import numpy as np

from vordakit import catalogue
from vordakit.catalogue import UNSET

__all__ = ["RUN_FIELDS", "CALENDAR_FIELDS", "PERCENTILE_FIELDS", "USED_FIELD", "YEARLY_FIELDS", "EVENT_FIELDS",
           "SPAN_FIELDS", "EVENT_RECORD_FIELDS", "Run", "YearlyRecord", "EventRecord", "Results", "number_field",
           "yearly_records", "event_records", "event_spans", "fitted", "fixed_value", "from_analysis",
           "NoValueWarning"]

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
# An event's first and last day (dates, as the midpoint's) stand beside its
# midpoint in the tables; the records hold them last, so that records made
# with the fields before them keep their places.
SPAN_FIELDS = ("start", "end")
EVENT_FIELDS = (RUN_FIELDS + ("midpoint", "date") + SPAN_FIELDS + ("duration", "action") + PERCENTILE_FIELDS
                + (USED_FIELD,))
EVENT_RECORD_FIELDS = tuple(f for f in EVENT_FIELDS if f not in SPAN_FIELDS) + SPAN_FIELDS

Run = collections.namedtuple("Run", RUN_FIELDS)
_RUN_CELLS = operator.itemgetter(*range(len(RUN_FIELDS)))
YearlyRecord = collections.namedtuple("YearlyRecord", YEARLY_FIELDS, defaults=(None,) * 8)
EventRecord = collections.namedtuple("EventRecord", EVENT_RECORD_FIELDS, defaults=(None,) * 6)

# The widths of the fields of vorda's records: yearly "(1x,i4,1x,i3)", events
# "(3x,f11.3,1x,i2,1x,i2,1x,i4,15x,i7,1x,f14.3)".
YEAR_WIDTH, VALUE_WIDTH = 4, 3
EVENT_WIDTHS = {"midpoint": 11, "day": 2, "month": 2, "year": 4, "duration": 7, "action": 14}
DECIMALS = 3


class Results:
    """The tables of one folder or set of runs: ``yearly`` and ``events`` records and the ``warnings``."""

    def __init__(self):
        self.yearly = []
        self.events = []
        self.warnings = []
        self.thresholds = {}   # input -> table of a percentile threshold per calendar day
        self.fits = None       # {(run, index): trend.Fit or None} of the whole years, once fitted

    def runs(self):
        """The runs found, in table order: as they first appear in the yearly records, then the events.

        >>> res = Results()
        >>> res.yearly = [YearlyRecord("b.txt", "upper", 18.0, 3, "ndays", 2000, 4),
        ...               YearlyRecord("a.txt", "lower", 0.0, 2, "ndays", 2000, 9),
        ...               YearlyRecord("b.txt", "upper", 18.0, 3, "ndays", 2001, 5)]
        >>> res.events = [EventRecord("c.txt", "upper", 18.0, 3, 5.0, "2000-01-05", 3, 1.5)]
        >>> [run.input for run in res.runs()]
        ['b.txt', 'a.txt', 'c.txt']
        """
        # The records' run cells as plain tuples first: a Run made per record would cost
        # more than the rest of the work on a station's thousands of records.
        seen = dict.fromkeys(map(_RUN_CELLS, itertools.chain(self.yearly, self.events)))
        return [Run(*cells) for cells in seen]


def fitted(value, width):
    """An integer as vorda writes it into a field: itself, or the asterisks of a field it does not fit.

    >>> fitted(2001, 4), fitted(-999, 3)
    (2001, '***')
    """
    return value if len(str(value)) <= width else "*" * width


_EXACT = decimal.Context(prec=400)   # every double's digits and more


def fixed_value(x, width, decimals=DECIMALS):
    """A real as vorda writes it into the field ``f<width>.<decimals>`` and a reader reads it back:
    the binary value rounded half away from zero, or the asterisks of a field it does not fit.

    >>> fixed_value(2.0625, 11), fixed_value(-1234567.5, 11), fixed_value(-0.0004, 11)
    (2.063, '***********', -0.0)
    """
    d = decimal.Decimal(x).quantize(decimal.Decimal(1).scaleb(-decimals), decimal.ROUND_HALF_UP, _EXACT)
    return float(d) if len(format(d, "f")) <= width else "*" * width


def fixed_values(x, width, decimals=DECIMALS):
    """``fixed_value`` of each of an array's values, as a list; at once where the
    product with 10**decimals leaves no doubt about the rounding, by ``fixed_value``
    for the few that lie next to a half (or do not fit, or are not finite).

    >>> fixed_values(np.array([2.0625, -1234567.5, -0.0004, 0.1 + 0.2, 1e300]), 11)
    [2.063, '***********', -0.0, 0.3, '***********']
    """
    x = np.asarray(x, np.float64)
    scale = 10.0 ** decimals
    with np.errstate(all="ignore"):
        p = np.abs(x) * scale
        k = np.floor(p + 0.5)
        # The product is within half a unit in its last place of the exact one: where that
        # could lie on the other side of a half, the rounding is left to the exact decimal.
        doubt = ~np.isfinite(p) | (np.abs(p - np.floor(p) - 0.5) <= 4 * np.spacing(p)) | (p >= 2.0**52)
        # The digits before the point have the width less the sign, the point and the decimals.
        room = width - decimals - 1 - (x < 0)
        fits = (room >= 1) & (np.floor(k / scale) < 10.0 ** room)
        values = np.copysign(k / scale, x)
    out = values.tolist()
    for i in np.flatnonzero(doubt | ~fits).tolist():
        out[i] = fixed_value(float(x[i]), width, decimals)
    return out


def number_field(path, value, what, number, warnings, unset_marks):
    """A field's number, or None with a warning: asterisks (it did not fit), or -999 where
    ``unset_marks`` (a calendar field vorda never set)."""
    if isinstance(value, str):
        warnings.append(f"{path}:{number}: {what} does not fit its field ({value}); left empty")
        return None
    if unset_marks and value == UNSET:
        warnings.append(f"{path}:{number}: {what} is -999 (never set); left empty")
        return None
    return value


def yearly_records(path, first_line, fields, run, index, warnings, out):
    """Append to ``out`` the YearlyRecords of one index of a run from its (year, value) fields,
    each an integer or the asterisks of a field it did not fit; the first on line ``first_line``."""
    none = catalogue.BY_NAME[index].no_value
    no_value = []
    for number, (year, value) in enumerate(fields, start=first_line):
        if index == "LFD" and year == UNSET and value == "*" * VALUE_WIDTH and len(fields) == 1:
            # The scan met no frost day among the series' first 182 records and
            # so never saw a year change: every year of the series is lost.
            warnings.append(f"{path}:{number}: no last frost day for any year: none of the first 182 "
                            "days of the series lies below the threshold, so vorda reports no year; "
                            "start the series in a year with a frost day in its first half-year")
            continue
        year = number_field(path, year, "year", number, warnings, True)
        if none == UNSET and value == "*" * VALUE_WIDTH:
            value = UNSET
        else:
            value = number_field(path, value, index, number, warnings, True)
        if value is not None and value == none:
            value = None
            no_value.append(year)
        out.append(YearlyRecord(*run, index, year, value))
    _no_value_warning(path, index, no_value, run, warnings)


def _no_value_warning(path, index, no_value, run, warnings):
    """The warning on the years ``no_value`` of an index without a value, if any."""
    if no_value:
        warnings.append(NoValueWarning(path, index, no_value, run=run))


def _years(n):
    return "1 year" if n == 1 else f"{n} years"


class NoValueWarning(str):
    """The warning that counts the years of a file without a value of its index. Once the
    input's calendar is known, ``partly_covered`` counts apart the years it covers in part,
    which the plots and trends leave out: there a 0 says only that the part holds none.

    >>> w = NoValueWarning("f.dat", "SGS", [1999, 2000, 2001])
    >>> w
    'f.dat: 3 years without a start of the growing season (0 in the file): no value there'
    >>> w.partly_covered({2001})
    'f.dat: 2 whole years without a start of the growing season (0 in the file): no value there; 1 year more \
that the input covers in part'
    """

    def __new__(cls, path, index, years, partial=(), run=None):
        whole = [y for y in years if y not in partial]
        text = f"{path}: {_years(len(whole))}"
        if partial:
            text = f"{path}: {_years(len(whole)).replace('year', 'whole year')}"
        text += f" {catalogue.BY_NAME[index].no_value_text}: no value there"
        if len(whole) < len(years):
            text += f"; {_years(len(years) - len(whole))} more that the input covers in part"
        w = super().__new__(cls, text)
        w.path, w.index, w.years, w.partial, w.run = path, index, tuple(years), tuple(partial), run
        return w

    def __reduce__(self):
        # Sent between a batch's processes as what makes it, not as its text.
        return NoValueWarning, (self.path, self.index, self.years, self.partial, self.run)

    def partly_covered(self, partial):
        """This warning with the ``partial`` years (those the input covers in part) counted apart."""
        partial = set(partial) & set(self.years)
        return NoValueWarning(self.path, self.index, self.years, partial, self.run) if partial else self


def _fitting_records(path, run, index, years, values, warnings, out):
    """``yearly_records`` of years and values that all fit their fields and were all set
    (as they almost always do): the records made straight from the numbers."""
    none = catalogue.BY_NAME[index].no_value
    lead = tuple(run) + (index,)
    no_value = []
    if none in values:
        no_value = [y for y, v in zip(years, values) if v == none]
        values = [None if v == none else v for v in values]
    out.extend(tuple.__new__(YearlyRecord, lead + yv + _UNFILLED) for yv in zip(years, values))
    _no_value_warning(path, index, no_value, run, warnings)


_UNFILLED = (None,) * (len(YEARLY_FIELDS) - len(RUN_FIELDS) - 3)


def event_records(path, first_line, fields, run, warnings, out):
    """Append to ``out`` the EventRecords of a run from their fields (midpoint, day, month,
    year, duration, action), each a number or the asterisks of a field it did not fit."""
    for number, (mid, d, m, y, dur, act) in enumerate(fields, start=first_line):
        mid = number_field(path, mid, "midpoint", number, warnings, False)
        d = number_field(path, d, "day", number, warnings, True)
        m = number_field(path, m, "month", number, warnings, True)
        y = number_field(path, y, "year", number, warnings, True)
        dur = number_field(path, dur, "duration", number, warnings, False)
        act = number_field(path, act, "action", number, warnings, False)
        date = None if None in (d, m, y) else f"{y:04d}-{m:02d}-{d:02d}"
        out.append(EventRecord(*run, mid, date, dur, act))


def event_spans(t, ordinals, midpoints, durations):
    """The first and last calendar day (ordinals, 0 where not found) of events of a series whose
    records have the counters ``t`` (strictly increasing) and the calendar days ``ordinals``.

    An event is ``duration`` consecutive records, and its midpoint the mean of
    their counters, as vorda gives it to three decimals. The means of
    successive runs of n records differ by at least 1, so one run at most has
    the midpoint's mean: the event's, found by bisection over the runs'
    sums. Counters with gaps (a season's series) are taken as they are.

    >>> t = np.array([1, 2, 3, 4, 5, 100, 101, 200])
    >>> first, last = event_spans(t, t, [2.5, 133.667, 7.0], [2, 3, 2])
    >>> first.tolist(), last.tolist()
    ([2, 100, 0], [3, 200, 0])
    """
    t = np.asarray(t, np.int64)
    mid = np.asarray([np.nan if m is None else m for m in midpoints], float)
    dur = np.asarray([0 if d is None else d for d in durations], np.int64)
    n = len(t)
    first = np.zeros(len(mid), np.int64)
    last = np.zeros(len(mid), np.int64)
    ok = (dur >= 1) & (dur <= n) & np.isfinite(mid)
    if n == 0 or not ok.any() or (np.diff(t) <= 0).any():
        return first, last
    sums = np.concatenate([[0], np.cumsum(t)])
    d, want = dur[ok], mid[ok] * dur[ok]
    lo, hi = np.zeros(len(d), np.int64), n - d
    while (lo < hi).any():
        # The first run whose mean reaches the midpoint less half a thousandth.
        m = (lo + hi) // 2
        below = sums[m + d] - sums[m] < want - 0.0005 * d
        lo, hi = np.where(below, m + 1, lo), np.where(below, hi, m)
    found = np.abs((sums[lo + d] - sums[lo]) / d - mid[ok]) <= 0.0005 + 1e-9 * np.abs(mid[ok])
    ordinals = np.asarray(ordinals, np.int64)
    first[np.flatnonzero(ok)[found]] = ordinals[lo[found]]
    last[np.flatnonzero(ok)[found]] = ordinals[lo[found] + d[found] - 1]
    return first, last


# The records of a result file start on line 13, after its header block.
FIRST_RECORD = 13


def from_analysis(run, analysis, paths, warnings_by_file, res):
    """Add to Results ``res`` the records of one run from the binding's arrays
    (``analysis``, what ``write_results`` returns), as if read from its files
    ``paths`` (index or events -> path, for the warnings): the same values,
    warnings and order, without a file being read."""
    for index in catalogue.INDEX_ORDER:
        key = catalogue.BY_NAME[index].key
        if key not in analysis:
            continue
        years, values = analysis[key]["year"], analysis[key]["value"]
        if len(years) and years.min() >= 0 and years.max() < 10 ** YEAR_WIDTH \
                and values.min() > -10 ** (VALUE_WIDTH - 1) and values.max() < 10 ** VALUE_WIDTH:
            _fitting_records(paths[index], run, index, years.tolist(), values.tolist(),
                             warnings_by_file.setdefault(paths[index], []), res.yearly)
            continue
        fields = [(fitted(y, YEAR_WIDTH), fitted(v, VALUE_WIDTH))
                  for y, v in zip(analysis[key]["year"].tolist(), analysis[key]["value"].tolist())]
        path = paths[index]
        yearly_records(path, FIRST_RECORD, fields, run, index, warnings_by_file.setdefault(path, []), res.yearly)
    ev = analysis["events"]
    w = EVENT_WIDTHS
    mids, acts = fixed_values(ev["midpoint"], w["midpoint"]), fixed_values(ev["action"], w["action"])
    path = paths[catalogue.EVENTS]
    warnings = warnings_by_file.setdefault(path, [])
    days, months, years, durations = (ev[k].tolist() for k in ("day", "month", "year", "duration"))
    for i, (mid, d, m, y, dur, act) in enumerate(zip(mids, days, months, years, durations, acts)):
        if isinstance(mid, float) and isinstance(act, float) and 1 <= d <= 99 and 1 <= m <= 99 \
                and 0 <= y <= 9999 and -999999 <= dur <= 9999999:
            # The usual event: every field fits, and the date was set.
            res.events.append(EventRecord(*run, mid, f"{y:04d}-{m:02d}-{d:02d}", dur, act))
        else:
            fields = [(mid, fitted(d, w["day"]), fitted(m, w["month"]), fitted(y, w["year"]),
                       fitted(dur, w["duration"]), act)]
            event_records(path, FIRST_RECORD + i, fields, run, warnings, res.events)
