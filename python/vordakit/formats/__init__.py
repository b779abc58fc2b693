"""One reader per published layout; ``detect.read_series`` picks the right one.

What the readers share lives here: how a layout shows itself, how numbers and
missing markers are read, how a file is opened (``open_text``, ``read_bytes``),
and ``SeriesBuilder``, which every reader that goes line by line fills and
which turns what it collected into a ``Series``.

A file read once for several steps (its layout detected, then read; a batch's
station) is read into memory by ``holding``, and the readers take it from
there instead of reading the file again.
"""

import contextlib
import datetime
import io
import math
import os

import numpy as np

from vordakit.errors import KitError
from vordakit.series import Series, guess_kind

__all__ = ["SeriesBuilder", "mostly", "numeric_markers", "strict", "count_decimals", "more_decimals",
           "finite_number", "holding", "open_text", "read_bytes"]

# The bytes of the files being held (see ``holding``), by path.
_HELD = {}


@contextlib.contextmanager
def holding(path, data=None):
    """Within the block, the readers take the file ``path`` from ``data`` (default: its
    bytes, read now) instead of reading it; yields the bytes."""
    key = os.fspath(path)
    if data is None:
        with open(key, "rb") as f:
            data = f.read()
    outer = _HELD.get(key)
    _HELD[key] = data
    try:
        yield data
    finally:
        if outer is None:
            del _HELD[key]
        else:
            _HELD[key] = outer


def read_bytes(path):
    """The bytes of a file held (see ``holding``), else None: the caller reads the file itself."""
    return _HELD.get(os.fspath(path))


def open_text(path, newline=None):
    """A station file as text, as every reader decodes it (UTF-8 with or without its
    byte-order mark, a byte that is not UTF-8 replaced): from the bytes held, else the file."""
    data = read_bytes(path)
    if data is None:
        return open(path, encoding="utf-8-sig", errors="replace", newline=newline)
    return io.TextIOWrapper(io.BytesIO(data), encoding="utf-8-sig", errors="replace", newline=newline)


def mostly(lines, fits):
    """Whether the layout fits the non-blank lines of a file's head.

    Two thirds suffice, so that one bad line near the top still reaches the
    right reader, which then names it, instead of another reader that
    misunderstands the whole file.
    """
    data = [line for line in lines if line.strip()]
    hits = sum(1 for line in data if fits(line))
    return hits > 0 and hits * 3 >= len(data) * 2


def numeric_markers(markers):
    """The missing-value markers that read as numbers, as floats: a value equal to one is missing too."""
    numbers = set()
    for m in markers:
        try:
            numbers.add(float(m))
        except (ValueError, OverflowError):
            pass
    return numbers


def strict(path):
    """The problem handler of readers that stop at the first bad line."""
    def problem(line, check, reason, date=None, value=None):
        raise KitError(path, line, reason)
    return problem


def count_decimals(text):
    """Digits after the decimal point of a number as written.

    >>> count_decimals("-12.50"), count_decimals("7"), count_decimals("1.5e3")
    (2, 0, 1)
    """
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


class SeriesBuilder:
    """The records a reader has accepted, made into a ``Series`` at the end.

    Every reader's records pass the same date check here, so that an
    impossible date is reported in one wording whatever the layout.

    >>> b = SeriesBuilder("a.txt", strict("a.txt"))
    >>> b.add(1, 2000, 2, 29, 1.5, "1.5"), b.add(2, 2000, 2, 30, None, "-999", padding=True)
    (True, False)
    >>> b.add(3, 2001, 2, 29, 2.0, "2.0")
    Traceback (most recent call last):
    vordakit.errors.KitError: a.txt:3: value 2.0 on impossible date 2001-02-29
    >>> b.build("TG", 1, "eca").dates
    [datetime.date(2000, 2, 29)]
    """

    def __init__(self, path, problem):
        self.path = str(path)
        self.problem = problem
        self.ordinal, self.x, self.line = [], [], []

    def add(self, line, year, month, day, x, text, padding=False):
        """Keep value ``x`` (None where missing) of ``year``-``month``-``day`` from
        ``line``; ``text`` is the value as written, for the message.

        Returns whether the date exists. An impossible date goes to the problem
        handler, except for ``padding``: a missing value where a layout with a
        fixed number of days per month fills the days a month does not have.
        """
        try:
            ordinal = datetime.date(year, month, day).toordinal()
        except (ValueError, OverflowError):
            if not padding:
                self.problem(line, "date", f"value {text.strip()} on impossible date {year:04d}-{month:02d}-{day:02d}")
            return False
        self.ordinal.append(ordinal)
        self.x.append(x)
        self.line.append(line)
        return True

    def add_date(self, line, date, x):
        """Keep value ``x`` of a date already made."""
        self.ordinal.append(date.toordinal())
        self.x.append(x)
        self.line.append(line)

    def build(self, element, decimals, fmt, kind=None, t=None, in_date_order=False):
        """The ``Series``; ``kind`` guessed from the values when None. ``in_date_order``
        sorts the records by date (stable), for layouts not written in date order."""
        ordinal, x = np.array(self.ordinal, np.int64), np.array(self.x, float)
        line = np.array(self.line, np.int64)
        if in_date_order:
            order = ordinal.argsort(kind="stable")
            ordinal, x, line = ordinal[order], x[order], line[order]
            t = None if t is None else np.asarray(t)[order]
        return Series(self.path, element, kind or guess_kind(x), ordinal, x, decimals, line, t, fmt)
