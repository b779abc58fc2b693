"""ECA&D station files: a free-text header, the column line, then comma-separated rows.

    STAID, SOUID,    DATE,   TG, Q_TG
        1, 35381,19610101,  -17,    0

Values in tenths (0.1 degC or 0.1 mm), -9999 missing; quality code 0 valid,
1 suspect, 9 missing.
"""

import re

from vordakit.errors import KitError
from vordakit.formats import SeriesBuilder, strict
from vordakit.series import PRECIPITATION, TEMPERATURE

__all__ = ["ELEMENTS", "looks_like", "read"]

ELEMENTS = {"TG": TEMPERATURE, "TX": TEMPERATURE, "TN": TEMPERATURE, "RR": PRECIPITATION}

# The column line is found by its text: the header's length varies between files.
COLUMN_LINE = re.compile(r"^\s*(?:STAID\s*,\s*)?SOUID\s*,\s*DATE\s*,\s*([A-Z]{2})\s*,\s*Q_([A-Z]{2})\s*$")


def looks_like(head_lines):
    return any(COLUMN_LINE.match(line) for line in head_lines)


def read(path, problem=None, drop_suspect=False):
    problem = problem or strict(path)
    records = SeriesBuilder(path, problem)
    with open(path, encoding="utf-8-sig", errors="replace") as f:
        element = None
        lineno = 0
        for line in f:
            lineno += 1
            m = COLUMN_LINE.match(line)
            if m:
                element = m.group(1)
                if m.group(2) != element:
                    raise KitError(path, lineno, f"column line names {element} but quality column Q_{m.group(2)}")
                ncols = line.count(",") + 1
                break
        if element is None:
            raise KitError(path, None, "no column line 'STAID, SOUID, DATE, <element>, Q_<element>' found")
        if element not in ELEMENTS:
            raise KitError(path, lineno, f"element {element} is not one of {', '.join(ELEMENTS)}")
        expect = f"expected {ncols} comma-separated fields ending DATE ({{}}), {element}, Q_{element}"
        for line in f:
            lineno += 1
            fields = line.split(",")
            if len(fields) != ncols:
                if line.strip():
                    problem(lineno, "unreadable", expect.format("YYYYMMDD") + f", found {len(fields)}")
                continue
            ds, xs, qs = fields[-3].strip(), fields[-2].strip(), fields[-1].strip()
            if len(ds) != 8 or not ds.isdigit():
                problem(lineno, "unreadable", f"expected DATE as YYYYMMDD, found {ds!r}")
                continue
            try:
                raw = int(xs)
                q = int(qs)
            except (ValueError, OverflowError):
                problem(lineno, "unreadable",
                        f"expected whole numbers for {element} and Q_{element}, found {xs!r}, {qs!r}")
                continue
            if q not in (0, 1, 9):
                problem(lineno, "unreadable", f"expected quality code 0, 1 or 9, found {q}")
                continue
            if raw == -9999 or q == 9 or (q == 1 and drop_suspect):
                x = None
            else:
                x = raw / 10
            records.add(lineno, int(ds[:4]), int(ds[4:6]), int(ds[6:]), x, xs)
    return records.build(element, 1, "eca", kind=ELEMENTS[element])
