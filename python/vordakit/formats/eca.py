"""ECA&D station files: a free-text header, the column line, then comma-separated rows.

    STAID, SOUID,    DATE,   TG, Q_TG
        1, 35381,19610101,  -17,    0

Values in tenths (0.1 degC or 0.1 mm), -9999 missing; quality code 0 valid,
1 suspect, 9 missing.
"""

import re

from vordakit.errors import KitError
from vordakit.formats import SeriesBuilder, open_text, strict
from vordakit.series import PRECIPITATION, TEMPERATURE

__all__ = ["ELEMENTS", "looks_like", "read"]

ELEMENTS = {"TG": TEMPERATURE, "TX": TEMPERATURE, "TN": TEMPERATURE, "RR": PRECIPITATION}

# The column line is found by its text: the header's length varies between files.
COLUMN_LINE = re.compile(r"^\s*(?:STAID\s*,\s*)?SOUID\s*,\s*DATE\s*,\s*([A-Z]{2})\s*,\s*Q_([A-Z]{2})\s*$")


def looks_like(head_lines):
    return any(COLUMN_LINE.match(line) for line in head_lines)


def read(path, problem=None, drop_suspect=False):
    """Read an ECA&D series; bad lines go to ``problem`` (without one, the first raises)."""
    problem = problem or strict(path)
    records = SeriesBuilder(path, problem)
    with open_text(path) as f:
        element, ncols, lineno = _column_line(path, f)
        expect = f"expected {ncols} comma-separated fields ending DATE ({{}}), {element}, Q_{element}"
        for lineno, line in enumerate(f, lineno + 1):
            fields = line.split(",")
            if len(fields) != ncols:
                if line.strip():
                    problem(lineno, "unreadable", expect.format("YYYYMMDD") + f", found {len(fields)}")
                continue
            ds, xs, qs = fields[-3].strip(), fields[-2].strip(), fields[-1].strip()
            try:
                x = _value(ds, xs, qs, element, drop_suspect)
            except ValueError as e:
                problem(lineno, "unreadable", str(e))
                continue
            records.add(lineno, int(ds[:4]), int(ds[4:6]), int(ds[6:]), x, xs)
    return records.build(element, 1, "eca", kind=ELEMENTS[element])


def _column_line(path, f):
    """(element, fields per line, line number) of the column line, read from ``f`` up to it."""
    for lineno, line in enumerate(f, 1):
        m = COLUMN_LINE.match(line)
        if m:
            element = m.group(1)
            if m.group(2) != element:
                raise KitError(path, lineno, f"column line names {element} but quality column Q_{m.group(2)}")
            if element not in ELEMENTS:
                raise KitError(path, lineno, f"element {element} is not one of {', '.join(ELEMENTS)}")
            return element, line.count(",") + 1, lineno
    raise KitError(path, None, "no column line 'STAID, SOUID, DATE, <element>, Q_<element>' found")


def _value(ds, xs, qs, element, drop_suspect):
    """The value of a record (None where missing); ValueError with the reason where unreadable."""
    if len(ds) != 8 or not ds.isdigit():
        raise ValueError(f"expected DATE as YYYYMMDD, found {ds!r}")
    try:
        raw = int(xs)
        q = int(qs)
    except (ValueError, OverflowError):
        raise ValueError(f"expected whole numbers for {element} and Q_{element}, found {xs!r}, {qs!r}") from None
    if q not in (0, 1, 9):
        raise ValueError(f"expected quality code 0, 1 or 9, found {q}")
    if raw == -9999 or q == 9 or (q == 1 and drop_suspect):
        return None
    return raw / 10
