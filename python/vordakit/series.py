"""The daily series in memory, and VORDA's own five-column input file.

A ``Series`` is plain data: numpy arrays with one entry per source record, in
the order of the source (chronological for layouts that are not, such as the
Central England Temperature grid). The readers in ``vordakit.formats`` build
it, the checks and the writer take it; nothing changes it once built.
"""

import dataclasses
import datetime
import functools
import math

import numpy as np

from vordakit import dates
from vordakit.atomic import atomic_write
from vordakit.errors import KitError

__all__ = ["MAX_RECORDS", "MISSING_MARKERS", "PRECIPITATION", "TEMPERATURE", "Series", "guess_kind",
           "format_value", "write_vorda", "write_vorda_arrays", "vorda_arrays", "as_vorda_input"]

# vorda's store holds this many records; it reads no more.
MAX_RECORDS = 100000

# Values that stand for "missing" in the data centres' layouts; a VORDA file
# has no missing values, so one of these left in it is a fault.
MISSING_MARKERS = (-9999.0, -999.0, -99.9)

TEMPERATURE = "temperature"
PRECIPITATION = "precipitation"


def _frozen_array(values, dtype):
    a = np.array(values, dtype=dtype)
    a.flags.writeable = False
    return a


@dataclasses.dataclass(frozen=True, eq=False)
class Series:
    """One station's daily records.

    >>> s = Series("a.txt", "TG", TEMPERATURE, [730120, 730121], [1.5, None], 1)
    >>> s.dates, s.values, len(s), s.unit
    ([datetime.date(2000, 1, 1), datetime.date(2000, 1, 2)], [1.5, None], 2, 'degC')
    """
    path: str
    element: str                 # as the source names it: TG, TMAX, tmax, x ...
    kind: str                    # TEMPERATURE or PRECIPITATION
    ordinal: np.ndarray          # the calendar day per record (1 is 1 January of year 1)
    x: np.ndarray                # the value per record, NaN where missing
    decimals: int                # the source's precision, kept in the output
    line: np.ndarray = None      # the source line per record, for messages; None if not from a file
    t: np.ndarray = None         # the day counter of a VORDA file, else None
    fmt: str = ""                # the layout it was read from

    def __post_init__(self):
        # Whatever the caller passed (lists, None for missing), the fields are
        # read-only arrays of one length from here on.
        set_ = functools.partial(object.__setattr__, self)
        set_("path", str(self.path))
        set_("ordinal", _frozen_array(self.ordinal, np.int64))
        set_("x", _frozen_array(self.x, float))
        n = len(self.ordinal)
        for name in ("line", "t"):
            if getattr(self, name) is not None:
                set_(name, _frozen_array(getattr(self, name), np.int64))
        if any(a is not None and a.shape != (n,) for a in (self.x, self.line, self.t)):
            raise ValueError("a series needs one ordinal, value, line and t per record")

    @functools.cached_property
    def dates(self):
        """``datetime.date`` per record."""
        return list(map(datetime.date.fromordinal, self.ordinal.tolist()))

    @functools.cached_property
    def ymd(self):
        """(year, month, day) int64 arrays per record (a reader that has them sets them)."""
        return dates.ymd(self.ordinal)

    @functools.cached_property
    def values(self):
        """The value per record as a float, ``None`` where missing."""
        return [None if x != x else x for x in self.x.tolist()]

    def line_of(self, i):
        """The source line of record ``i``, None for a series not read from a file."""
        return None if self.line is None else int(self.line[i])

    @property
    def unit(self):
        return "mm" if self.kind == PRECIPITATION else "degC"

    def __len__(self):
        return len(self.ordinal)


def guess_kind(x):
    """Precipitation when nothing is negative and dry days (zeros) are common.

    >>> guess_kind(np.array([0.0, 0.0, 3.5, np.nan])), guess_kind(np.array([0.0, -1.0]))
    ('precipitation', 'temperature')
    """
    x = x[~np.isnan(x)]
    if (x < 0).any():
        return TEMPERATURE
    n = len(x)
    zeros = int(np.count_nonzero(x == 0.0))
    return PRECIPITATION if n and zeros * 10 >= n * 3 else TEMPERATURE


def format_value(x, decimals):
    s = f"{x:.{decimals}f}"
    # A value that rounds to zero from below would print as -0.0.
    if s.startswith("-") and float(s) == 0.0:
        s = s[1:]
    return s


def write_vorda(series, path):
    """Write ``t d m yr x``: t counts calendar days from 1 on the first record; returns the records written.

    The records must be in date order without missing values; a season keeps
    its calendar gaps in ``t``.
    """
    return len(write_vorda_arrays(series, path)["x"])


def write_vorda_arrays(series, path):
    """Write the series as ``write_vorda`` does; returns the arrays vorda reads from the file
    (see ``vorda_arrays``), so that the series written need not be read again to be analysed."""
    texts, arrays = _vorda_records(series, path)
    lines = [f"{a} {b} {c} {e} {x}\n" for a, b, c, e, x in zip(
        arrays["t"].tolist(), arrays["d"].tolist(), arrays["m"].tolist(), arrays["yr"].tolist(), texts)]
    with atomic_write(path, newline="\n") as f:
        f.write("".join(lines))
    return arrays


def vorda_arrays(series):
    """The arrays t, d, m, yr and x that vorda reads from the VORDA input of a series
    (``write_vorda``'s): t counts calendar days from 1 on the first record, and each
    value is the number its text, to the series' decimals, reads as."""
    return _vorda_records(series, series.path)[1]


def as_vorda_input(series, arrays=None):
    """The series that reading its VORDA input gives: the values as their texts read,
    a missing-value marker among them missing, one line per record and t."""
    arrays = vorda_arrays(series) if arrays is None else arrays
    x = arrays["x"].copy()
    x[np.isin(x, MISSING_MARKERS)] = np.nan
    return Series(series.path, "x", series.kind, series.ordinal, x, series.decimals, np.arange(1, len(x) + 1),
                  arrays["t"], "vorda")


def _vorda_records(series, path):
    """(text of each value, arrays vorda reads) of a series' VORDA input."""
    if not len(series):
        raise KitError(path, None, "no records to write")
    ordinal = series.ordinal
    yr, m, d = dates.ymd(ordinal)
    # A station's values repeat (a few hundred distinct tenths): format each once.
    texts, read = {}, {}
    for i, x in enumerate(series.values):
        if x not in texts:
            if x is None or not math.isfinite(x):
                raise KitError(path, None, f"missing value on {series.dates[i].isoformat()} cannot be written")
            texts[x] = format_value(x, series.decimals)
            read[x] = float(texts[x])
    x = np.array([read[v] for v in series.values], np.float64)
    return [texts[v] for v in series.values], {"t": ordinal - ordinal[0] + 1, "d": d, "m": m, "yr": yr, "x": x}
