"""The daily series in memory, and VORDA's own five-column input file.

A ``Series`` is plain data: one record per source record, in the order of the
source (chronological for layouts that are not, such as the Central England
Temperature grid), ``None`` for a missing value. Readers build it, the checks
and the writer take it.
"""

import collections
import dataclasses
import datetime
import math
import os

import numpy as np

from vordakit.atomic import atomic_write
from vordakit.errors import KitError

# vorda's store holds this many records; it reads no more.
MAX_RECORDS = 100000

# Values that stand for "missing" in the data centres' layouts; a VORDA file
# has no missing values, so one of these left in it is a fault.
MISSING_MARKERS = (-9999.0, -999.0, -99.9)

TEMPERATURE = "temperature"
PRECIPITATION = "precipitation"


# A series as numpy arrays, one entry per record: the calendar day as an
# ordinal (1 is 1 January of year 1), the value (NaN where missing), and
# where the source has them t and the line number.
Days = collections.namedtuple("Days", "ordinal x t line")


class _Records:
    """A record list of a series that the fast reader left as ``Days`` arrays,
    made on first use: the checks work on the arrays and need no lists.

    A series made the usual way holds its lists itself, and this is never
    asked. The class attribute is the field's default for the dataclass.
    """

    def __init__(self, make, default=dataclasses.MISSING):
        self.make, self.default = make, default

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, series, owner=None):
        if series is None:
            return self.default
        value = series.__dict__[self.name] = self.make(series.__dict__["_days"])
        return value


@dataclasses.dataclass
class Series:
    path: str
    element: str                 # as the source names it: TG, TMAX, tmax, x ...
    kind: str                    # TEMPERATURE or PRECIPITATION
    # datetime.date per record
    dates: list = _Records(lambda days: list(map(datetime.date.fromordinal, days.ordinal.tolist())))
    # float, or None where missing
    values: list = _Records(lambda days: [None if x != x else x for x in days.x.tolist()])
    decimals: int                # the source's precision, kept in the output
    # source line number per record, for messages
    lines: list = _Records(lambda days: None if days.line is None else days.line.tolist(), None)
    # the day counter of a VORDA file, else None
    t: list = _Records(lambda days: None if days.t is None else days.t.tolist(), None)
    fmt: str = ""                # the layout it was read from

    @property
    def unit(self):
        return "mm" if self.kind == PRECIPITATION else "degC"

    def __len__(self):
        days = self.__dict__.get("_days")
        return len(self.dates) if days is None else len(days.ordinal)


def days_of(series):
    """The series as ``Days`` arrays (a series is not changed once read)."""
    days = series.__dict__.get("_days")
    if days is not None:
        return days
    n = len(series.dates)
    ordinal = np.fromiter(map(datetime.date.toordinal, series.dates), np.int64, n)
    # None becomes NaN; the readers let no NaN through as a value.
    x = np.array(series.values, dtype=float)
    t = None if series.t is None else np.array(series.t, dtype=np.int64)
    line = None if series.lines is None else np.array(series.lines, dtype=np.int64)
    return Days(ordinal, x, t, line)


def strict(path):
    """The problem handler of readers that stop at the first bad line."""
    def problem(line, check, reason, date=None, value=None):
        raise KitError(path, line, reason)
    return problem


def count_decimals(text):
    """Digits after the decimal point of a number as written."""
    dot = text.find(".")
    if dot < 0:
        return 0
    n = 0
    for c in text[dot + 1:]:
        if not c.isdigit():
            break
        n += 1
    return n


def more_decimals(text, decimals):
    """The larger of ``decimals`` and the decimals of ``text``; cheap when not larger."""
    dot = text.find(".")
    if dot < 0 or len(text) - dot - 1 <= decimals:
        return decimals
    return max(decimals, count_decimals(text))


def finite_number(text):
    """``float(text)`` for a finite number; ValueError for anything else (inf and nan included)."""
    x = float(text)
    if not math.isfinite(x):
        raise ValueError(text)
    return x


def format_value(x, decimals):
    s = f"{x:.{decimals}f}"
    # A value that rounds to zero from below would print as -0.0.
    if s.startswith("-") and float(s) == 0.0:
        s = s[1:]
    return s


def write_vorda(series, path):
    """Write ``t d m yr x``: t counts calendar days from 1 on the first record.

    The records must be in date order without missing values; a season keeps
    its calendar gaps in ``t``.
    """
    if not series.dates:
        raise KitError(path, None, "no records to write")
    first = series.dates[0].toordinal() - 1
    dec = series.decimals
    out = []
    append = out.append
    # A station's values repeat (a few hundred distinct tenths): format each once.
    texts = {}
    for d, x in zip(series.dates, series.values):
        s = texts.get(x)
        if s is None:
            if x is None or not math.isfinite(x):
                raise KitError(path, None, f"missing value on {d.isoformat()} cannot be written")
            s = texts[x] = format_value(x, dec)
        append(f"{d.toordinal() - first} {d.day} {d.month} {d.year} {s}\n")
    with atomic_write(path, newline="\n") as f:
        f.write("".join(out))
    return len(out)


def read_vorda(path, problem=None, kind=None):
    """Read a VORDA input file, one record ``t d m yr x`` per line.

    Missing-value markers become ``None`` (a check reports them); lines that
    are not five numbers and impossible dates go to ``problem``.
    """
    days, decimals = _read_plain(path)
    if days is None:
        return _read_vorda_lines(path, problem or strict(path), kind)
    x = days.x
    if kind is None:
        kind = _guess_kind_array(x[~np.isnan(x)])
    series = Series.__new__(Series)
    series.__dict__.update(path=str(path), element="x", kind=kind, decimals=decimals, fmt="vorda", _days=days)
    return series


# The bytes of a file as the converter writes it: single blanks between the
# five fields, plain decimal numbers, one record per line.
_PLAIN = b"0123456789 -.\n"
_LINE = np.array([32, 32, 32, 32, 10], np.uint8)
_MINUS, _DOT = ord("-"), ord(".")
# Exact powers of ten: a mantissa of at most 8 digits divided by one gives
# the double nearest the decimal, as float() of its text does.
_POW10 = np.array([float(10 ** k) for k in range(8)])
# A field of up to 2, 4 or 8 digits is read as the 2, 4 or 8 bytes that end
# with it, one little-endian word: _KEEP[size][w] keeps its last w bytes
# (the field's), and subtracting _ASCII[size][w] turns them into digits.
_KEEP = {size: np.array([0] + [(2 ** (8 * size) - 1) ^ (2 ** (8 * (size - w)) - 1) for w in range(1, size + 1)],
                        f"<u{size}") for size in (2, 4, 8)}
_ASCII = {size: np.array(int("30" * size, 16), f"<u{size}") & keep for size, keep in _KEEP.items()}
_PAD = 8
# A value's 8 bytes split at its point, p places from the end (8: no point).
_ABOVE = np.array([_KEEP[8][p] for p in range(8)] + [2**64 - 1], np.uint64)
_BELOW = np.array([2 ** (8 * (7 - p)) - 1 for p in range(8)] + [0], np.uint64)


def _month_tables():
    """By year * 13 + month (years 0..9999, months 0..12): the ordinal of the
    day before the month's first, and its length (0 where no such month)."""
    year = np.arange(10000)[:, None]
    month = np.arange(13)[None, :]
    leap = (year % 4 == 0) & ((year % 100 != 0) | (year % 400 == 0))
    before = np.array([0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334])[month] + (leap & (month > 2))
    p = year - 1
    start = p * 365 + p // 4 - p // 100 + p // 400 + before
    length = np.array([0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31])[month] + (leap & (month == 2))
    length[0] = 0
    return start.ravel(), length.ravel()


_MONTH_START, _MONTH_LENGTH = _month_tables()


def _read_plain(path):
    """(Days, decimals) of a VORDA file in the plain layout, all at once; (None, 0)
    when anything is off (another layout, or a line to report), for the careful
    reader to take over.
    """
    with open(path, "rb") as f:
        # One buffer: blanks in front, so that every field has 8 bytes that
        # end with it, then the file and a line end. (Fresh memory costs a
        # fault per page: a station's file is read into it once.)
        size = os.fstat(f.fileno()).st_size
        data = bytearray(_PAD + size + 1)
        data[:_PAD] = b" " * _PAD
        got = f.readinto(memoryview(data)[_PAD:_PAD + size])
        rest = f.read()
    if got != size or rest:
        # Not the size it said (a pipe, a file being written).
        data = bytearray(b" " * _PAD) + data[_PAD:_PAD + got] + rest + b"\n"
    if len(data) == _PAD + 1:
        return None, 0
    if data[-2] == 10:
        del data[-1]
    else:
        data[-1] = 10
    return _scan_plain(data)


def _scan_plain(data):
    """(Days, decimals) of the plain layout in ``data``, the file behind _PAD blanks."""
    if data.translate(None, _PLAIN):
        return None, 0
    a = np.frombuffer(data, np.uint8)
    # Four single blanks and a line end per line, no field empty.
    seps = np.flatnonzero(a <= 32)[_PAD:]
    n = len(seps) // 5
    if len(seps) != 5 * n or not (a[seps].reshape(n, 5) == _LINE).all():
        return None, 0
    after = seps.reshape(n, 5)
    end = after[:, 4]
    line_start = np.empty(n, np.int64)
    line_start[0] = _PAD - 1
    line_start[1:] = end[:-1]
    widths = [after[:, 0] - line_start - 1] + [after[:, k] - after[:, k - 1] - 1 for k in range(1, 5)]
    # (Eight digits also keep t inside vorda's 32-bit integers.)
    if any(w.min() < 1 for w in widths) or any(w.max() > most for w, most in zip(widths, (8, 2, 2, 4))):
        return None, 0
    # Minus signs only in front of values (t, d, m, yr with one are left to
    # the careful reader); a point only in a value, once.
    start = after[:, 3] + 1
    minus = a[start] == _MINUS
    if np.count_nonzero(a == _MINUS) != np.count_nonzero(minus):
        return None, 0
    dots = np.flatnonzero(a == _DOT)
    if len(dots) == n and ((after[:, 3] < dots) & (dots < end)).all():
        dot = dots  # one in every value, as usual
    else:
        line = np.searchsorted(end, dots)
        if (dots < after[line, 3]).any() or (np.diff(line) == 0).any():
            return None, 0
        dot = np.full(n, -1, np.int64)
        dot[line] = dots
    words = {size: np.ndarray((len(a) - size + 1,), f"<u{size}", data, strides=(1,)) for size in (2, 4, 8)}
    y = _digits(words[4], after[:, 3], widths[3])
    m = _digits(words[2], after[:, 2], widths[2])
    if (m > 12).any():
        return None, 0
    month = y * 13 + m
    d = _digits(words[2], after[:, 1], widths[1])
    if ((d < 1) | (d > _MONTH_LENGTH[month])).any():
        return None, 0
    t = _digits(words[8], after[:, 0], widths[0])
    x, decimals = _decimal(words[8], start + minus, end, dot, minus)
    if x is None:
        return None, 0
    x[np.isin(x, MISSING_MARKERS)] = np.nan
    return Days(_MONTH_START[month] + d, x, t, np.arange(1, n + 1)), decimals


def _digits(words, end, width):
    """Fields of 1 to 2, 4 or 8 digits (the words' size) that end before ``end``,
    as whole numbers."""
    size = words.itemsize
    v = (words[end - size] & _KEEP[size][width]) - _ASCII[size][width]
    # The first digit in the lowest byte: combine neighbours, then pairs of them.
    if size == 2:
        return (v & 0xFF).astype(np.int64) * 10 + (v >> 8)
    v = v * v.dtype.type(10) + (v >> v.dtype.type(8))
    if size == 4:
        return (v & 0xFF).astype(np.int64) * 100 + ((v >> 16) & 0xFF)
    return _combine(v)


def _combine(v):
    """Eight digit bytes, the first in the lowest, already combined with their neighbours."""
    v = ((v & np.uint64(0x000000FF000000FF)) * np.uint64(100 + (1000000 << 32))
         + ((v >> np.uint64(16)) & np.uint64(0x000000FF000000FF)) * np.uint64(1 + (10000 << 32))) >> np.uint64(32)
    return v.astype(np.int64)


def _decimal(words, start, end, dot, minus):
    """(values, most decimals) of fields such as -12.5, 3, .5 or 7. of up to 8
    characters after the sign (``dot`` -1 where there is no point); (None, 0)
    otherwise."""
    width = end - start
    # Places after the point; 8 for a value without one.
    places = end - 1 - dot
    digits = width - 1
    if (dot < 0).any():
        places[dot < 0] = 8
        digits[dot < 0] += 1
    if (width > 8).any() or (digits < 1).any():
        return None, 0
    # The digits before the point move up into its byte: one number of digits.
    w = words[end - 8]
    v = (w & _ABOVE[places]) | ((w & _BELOW[places]) << np.uint64(8))
    v = (v & _KEEP[8][digits]) - _ASCII[8][digits]
    mantissa = _combine(v * np.uint64(10) + (v >> np.uint64(8)))
    places[places == 8] = 0
    x = mantissa / _POW10[places]
    x[minus] *= -1
    return x, int(places.max())


def _guess_kind_array(x):
    """guess_kind of the observed values as an array."""
    if (x < 0).any():
        return TEMPERATURE
    n = len(x)
    zeros = int(np.count_nonzero(x == 0.0))
    return PRECIPITATION if n and zeros * 10 >= n * 3 else TEMPERATURE


def _read_vorda_lines(path, problem, kind):
    """The careful reader: any layout that vorda reads, every bad line to ``problem``."""
    dates, values, lines, ts = [], [], [], []
    decimals = 0
    markers = MISSING_MARKERS
    date = datetime.date
    with open(path, encoding="utf-8-sig", errors="replace") as f:
        for lineno, line in enumerate(f, 1):
            fields = (line.replace(",", " ") if "," in line else line).split()
            if not fields:
                continue
            if len(fields) != 5:
                problem(lineno, "unreadable", f"expected five values t d m yr x, found {len(fields)}: {line.strip()[:60]!r}")
                continue
            try:
                # int() alone would take 1_000, which vorda reads as 1.
                if "_" in line:
                    raise ValueError
                t, d, m, y = int(fields[0]), int(fields[1]), int(fields[2]), int(fields[3])
            except (ValueError, OverflowError):
                problem(lineno, "unreadable", f"expected whole numbers for t d m yr, found {' '.join(fields[:4])!r}")
                continue
            if not -2**31 <= t < 2**31:
                problem(lineno, "unreadable", f"t {t} does not fit vorda's 32-bit integers")
                continue
            xs = fields[4]
            try:
                x = finite_number(xs)
            except ValueError:
                problem(lineno, "unreadable", f"expected a number for x, found {xs!r}")
                continue
            try:
                day = date(y, m, d)
            except (ValueError, OverflowError):
                problem(lineno, "date", f"impossible date: day {d}, month {m}, year {y}")
                continue
            decimals = more_decimals(xs, decimals)
            if x in markers:
                x = None
            dates.append(day)
            values.append(x)
            lines.append(lineno)
            ts.append(t)
    if kind is None:
        kind = guess_kind(values)
    return Series(path=str(path), element="x", kind=kind, dates=dates, values=values,
                  decimals=decimals, lines=lines, t=ts, fmt="vorda")


def guess_kind(values):
    """Precipitation when nothing is negative and dry days (zeros) are common."""
    n = zeros = 0
    for x in values:
        if x is None:
            continue
        if x < 0:
            return TEMPERATURE
        n += 1
        zeros += x == 0.0
    return PRECIPITATION if n and zeros * 10 >= n * 3 else TEMPERATURE
