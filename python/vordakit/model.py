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

from vordakit import catalogue
from vordakit.catalogue import UNSET

__all__ = ["RUN_FIELDS", "CALENDAR_FIELDS", "PERCENTILE_FIELDS", "USED_FIELD", "YEARLY_FIELDS", "EVENT_FIELDS",
           "Run", "YearlyRecord", "EventRecord", "Results", "number_field", "yearly_records", "event_records",
           "NoValueWarning",
           "fitted", "fixed_value", "from_analysis"]

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
        """The runs found, in table order."""
        seen = dict.fromkeys(Run(*r[:4]) for r in self.yearly + self.events)
        return list(seen)


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
        fields = [(fitted(y, YEAR_WIDTH), fitted(v, VALUE_WIDTH))
                  for y, v in zip(analysis[key]["year"].tolist(), analysis[key]["value"].tolist())]
        path = paths[index]
        yearly_records(path, FIRST_RECORD, fields, run, index, warnings_by_file.setdefault(path, []), res.yearly)
    ev = analysis["events"]
    w = EVENT_WIDTHS
    fields = [(fixed_value(mid, w["midpoint"]), fitted(d, w["day"]), fitted(m, w["month"]), fitted(y, w["year"]),
               fitted(dur, w["duration"]), fixed_value(act, w["action"]))
              for mid, d, m, y, dur, act in zip(ev["midpoint"].tolist(), ev["day"].tolist(), ev["month"].tolist(),
                                                ev["year"].tolist(), ev["duration"].tolist(), ev["action"].tolist())]
    path = paths[catalogue.EVENTS]
    event_records(path, FIRST_RECORD, fields, run, warnings_by_file.setdefault(path, []), res.events)
