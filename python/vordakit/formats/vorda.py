"""VORDA's own input file: one record ``t d m yr x`` per line.

A file as the converter writes it (single blanks, plain decimal numbers) is
read all at once as bytes by ``read_plain``; anything else, and any file with
a line to report, line by line by ``read_lines``, which accepts whatever vorda
reads. Both give the same series.
"""

import os

import numpy as np

from vordakit import binding
from vordakit.formats import SeriesBuilder, finite_number, more_decimals, mostly, open_text, read_bytes, strict
from vordakit.series import MISSING_MARKERS, Series, guess_kind

__all__ = ["looks_like", "read", "read_plain", "read_lines"]


def _fits(line):
    r = line.replace(",", " ").split()
    return (len(r) == 5 and all(p.lstrip("+-").isdigit() for p in r[:4])
            and 1 <= int(r[1]) <= 31 and 1 <= int(r[2]) <= 12)


def looks_like(head_lines):
    return mostly(head_lines, _fits)


def read(path, problem=None, kind=None):
    """Read a VORDA input file, one record ``t d m yr x`` per line.

    Missing-value markers become missing values (a check reports them); lines
    that are not five numbers and impossible dates go to ``problem``.
    """
    series = read_plain(path, kind)
    return read_lines(path, problem, kind) if series is None else series


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


def read_plain(path, kind=None):
    r"""The series of a VORDA file in the plain layout, read all at once; None when
    anything is off (another layout, or a line to report), for ``read_lines`` to
    take over.

    >>> import tempfile
    >>> with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
    ...     _ = f.write("1 31 12 1999 -1.5\n2 1 1 2000 .25\n"); f.flush()
    ...     s = read_plain(f.name)
    >>> s.dates[1], s.values, s.t.tolist(), s.decimals, s.kind
    (datetime.date(2000, 1, 1), [-1.5, 0.25], [1, 2], 2, 'temperature')
    """
    data = _padded(path)
    if len(data) == _PAD + 1:
        return None
    if data[-2] == 10:
        del data[-1]
    else:
        data[-1] = 10
    found = _scan_plain(data)
    if found is None:
        return None
    ordinal, x, t, decimals, ymd = found
    series = Series(str(path), "x", kind or guess_kind(x), ordinal, x, decimals, np.arange(1, len(x) + 1), t, "vorda")
    # The calendar fields were read: the cached property need not work them out again.
    series.__dict__["ymd"] = ymd
    return series


def _padded(path):
    """One buffer: blanks in front, so that every field has 8 bytes that end with
    it, then the file and a line end. (Fresh memory costs a fault per page: a
    station's file is read into it once.)"""
    held = read_bytes(path)
    if held is not None:
        return bytearray(b" " * _PAD) + held + b"\n"
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        data = bytearray(_PAD + size + 1)
        data[:_PAD] = b" " * _PAD
        got = f.readinto(memoryview(data)[_PAD:_PAD + size])
        rest = f.read()
    if got != size or rest:
        # Not the size it said (a pipe, a file being written).
        data = bytearray(b" " * _PAD) + data[_PAD:_PAD + got] + rest + b"\n"
    return data


def _scan_plain(data):
    """(ordinal, x, t, decimals, (yr, m, d)) of the plain layout in ``data``, the file behind _PAD blanks."""
    lib = binding.load()
    if lib is not None and hasattr(lib, "scan_plain"):
        # The binding reads the lines in one pass, several times as fast as numpy's passes over the bytes.
        c = lib.scan_plain(memoryview(data)[_PAD:])
        fields = None if c is None else (c["t"], c["d"], c["m"], c["yr"], c["x"], c["decimals"])
    else:
        fields = _plain_fields(data)
    if fields is None:
        return None
    t, d, m, y, x, decimals = fields
    if (m > 12).any():
        return None
    month = y * 13 + m
    if ((d < 1) | (d > _MONTH_LENGTH[month])).any():
        return None
    x[np.isin(x, MISSING_MARKERS)] = np.nan
    return _MONTH_START[month] + d, x, t, decimals, (y, m, d)


def _plain_fields(data):
    """(t, d, m, yr, x, decimals) of the plain layout in ``data``, the file behind _PAD blanks, read
    with numpy; None where it is not that layout (dates unchecked)."""
    if data.translate(None, _PLAIN):
        return None
    a = np.frombuffer(data, np.uint8)
    # Four single blanks and a line end per line, no field empty.
    seps = np.flatnonzero(a <= 32)[_PAD:]
    n = len(seps) // 5
    if len(seps) != 5 * n or not (a[seps].reshape(n, 5) == _LINE).all():
        return None
    after = seps.reshape(n, 5)
    end = after[:, 4]
    line_start = np.empty(n, np.int64)
    line_start[0] = _PAD - 1
    line_start[1:] = end[:-1]
    widths = [after[:, 0] - line_start - 1] + [after[:, k] - after[:, k - 1] - 1 for k in range(1, 5)]
    # (Eight digits also keep t inside vorda's 32-bit integers.)
    if any(w.min() < 1 for w in widths) or any(w.max() > most for w, most in zip(widths, (8, 2, 2, 4))):
        return None
    # Minus signs only in front of values (t, d, m, yr with one are left to
    # the careful reader); a point only in a value, once.
    start = after[:, 3] + 1
    minus = a[start] == _MINUS
    # (numpy counts a byte ten times as fast as bytearray.count.)
    if np.count_nonzero(a == _MINUS) != np.count_nonzero(minus):
        return None
    dots = np.flatnonzero(a == _DOT)
    if len(dots) == n and ((after[:, 3] < dots) & (dots < end)).all():
        dot = dots  # one in every value, as usual
    else:
        line = np.searchsorted(end, dots)
        if (dots < after[line, 3]).any() or (np.diff(line) == 0).any():
            return None
        dot = np.full(n, -1, np.int64)
        dot[line] = dots
    words = {size: np.ndarray((len(a) - size + 1,), f"<u{size}", data, strides=(1,)) for size in (2, 4, 8)}
    y = _digits(words[4], after[:, 3], widths[3])
    m = _digits(words[2], after[:, 2], widths[2])
    d = _digits(words[2], after[:, 1], widths[1])
    t = _digits(words[8], after[:, 0], widths[0])
    x, decimals = _decimal(words[8], start + minus, end, dot, minus)
    if x is None:
        return None
    return t, d, m, y, x, decimals


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


def read_lines(path, problem=None, kind=None):
    """The careful reader: any layout that vorda reads, every bad line to ``problem``
    (without one, the first raises ``KitError``)."""
    problem = problem or strict(path)
    records = SeriesBuilder(path, problem)
    ts = []
    decimals = 0
    markers = MISSING_MARKERS
    with open_text(path) as f:
        for lineno, line in enumerate(f, 1):
            fields = (line.replace(",", " ") if "," in line else line).split()
            if not fields:
                continue
            if len(fields) != 5:
                problem(lineno, "unreadable",
                        f"expected five values t d m yr x, found {len(fields)}: {line.strip()[:60]!r}")
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
            if not records.add(lineno, y, m, d, None if x in markers else x, xs):
                continue
            decimals = more_decimals(xs, decimals)
            ts.append(t)
    return records.build("x", decimals, "vorda", kind=kind, t=ts)
