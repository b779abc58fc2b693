"""The six-column station text of the station index packages.

    1961	1	1	0.0	5.2	-1.3

Year, month, day, precipitation, maximum, minimum; blank, tab or comma
separated; -99.9 for missing. One column is chosen: prcp, tmax or tmin.
"""

from vordakit.errors import KitError
from vordakit.formats import SeriesBuilder, finite_number, more_decimals, mostly, numeric_markers, open_text, strict
from vordakit.series import PRECIPITATION, TEMPERATURE

__all__ = ["COLUMNS", "DEFAULT_MISSING", "looks_like", "read"]

COLUMNS = {"prcp": (3, PRECIPITATION), "tmax": (4, TEMPERATURE), "tmin": (5, TEMPERATURE)}
ALIASES = {"pr": "prcp", "precip": "prcp", "precipitation": "prcp", "tx": "tmax", "tn": "tmin"}
DEFAULT_MISSING = ("-99.9",)


def _split(line):
    return (line.replace(",", " ") if "," in line else line).split()


def _is_record(parts):
    return (len(parts) == 6 and all(p.isdigit() for p in parts[:3])
            and 1 <= int(parts[1]) <= 12 and 1 <= int(parts[2]) <= 31)


def looks_like(head_lines):
    return mostly(head_lines, lambda line: _is_record(_split(line)))


def read(path, problem=None, column=None, missing=DEFAULT_MISSING):
    problem = problem or strict(path)
    if column is None:
        raise KitError(path, None, "choose the column with --column prcp, tmax or tmin")
    name = ALIASES.get(column.lower(), column.lower())
    if name not in COLUMNS:
        raise KitError(path, None, f"--column {column}: expected prcp, tmax or tmin")
    index, kind = COLUMNS[name]
    markers = set(missing)
    numeric = numeric_markers(markers)
    records = SeriesBuilder(path, problem)
    decimals = 0
    with open_text(path) as f:
        for lineno, parts in _lines(f):
            if len(parts) != 6:
                problem(lineno, "unreadable", f"expected six values year month day prcp tmax tmin, found {len(parts)}")
                continue
            try:
                y, m, d = int(parts[0]), int(parts[1]), int(parts[2])
            except (ValueError, OverflowError):
                problem(lineno, "unreadable",
                        f"expected whole numbers for year month day, found {' '.join(parts[:3])!r}")
                continue
            xs = parts[index]
            try:
                x = None if xs in markers else finite_number(xs)
            except ValueError:
                problem(lineno, "unreadable", f"expected a number for {name}, found {xs!r}")
                continue
            if x in numeric:
                x = None
            elif x is not None:
                decimals = more_decimals(xs, decimals)
            records.add(lineno, y, m, d, x, xs, padding=x is None)
    return records.build(name, decimals, "station6", kind=kind)


def _lines(f):
    """(line number, fields) of the lines that hold anything, but for a header line first."""
    first = True
    for lineno, line in enumerate(f, 1):
        parts = _split(line)
        if not parts:
            continue
        if first:
            first = False
            if not parts[0].lstrip("-").isdigit():
                continue                    # a header line
        yield lineno, parts
