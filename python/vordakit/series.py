"""The daily series in memory, and VORDA's own five-column input file.

A ``Series`` is plain data: one record per source record, in the order of the
source (chronological for layouts that are not, such as the Central England
Temperature grid), ``None`` for a missing value. Readers build it, the checks
and the writer take it.
"""

import dataclasses
import datetime
import math

from vordakit.atomic import atomic_write
from vordakit.errors import KitError

# vorda's store holds this many records; it reads no more.
MAX_RECORDS = 100000

# Values that stand for "missing" in the data centres' layouts; a VORDA file
# has no missing values, so one of these left in it is a fault.
MISSING_MARKERS = (-9999.0, -999.0, -99.9)

TEMPERATURE = "temperature"
PRECIPITATION = "precipitation"


@dataclasses.dataclass
class Series:
    path: str
    element: str                 # as the source names it: TG, TMAX, tmax, x ...
    kind: str                    # TEMPERATURE or PRECIPITATION
    dates: list                  # datetime.date per record
    values: list                 # float, or None where missing
    decimals: int                # the source's precision, kept in the output
    lines: list = None           # source line number per record, for messages
    t: list = None               # the day counter of a VORDA file, else None
    fmt: str = ""                # the layout it was read from

    @property
    def unit(self):
        return "mm" if self.kind == PRECIPITATION else "degC"

    def __len__(self):
        return len(self.dates)


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
    problem = problem or strict(path)
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
                x = float(xs)
            except (ValueError, OverflowError):
                problem(lineno, "unreadable", f"expected a number for x, found {xs!r}")
                continue
            if not math.isfinite(x):
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
