"""GHCN-Daily ``.dly`` station files: one line per station, year, month and element.

Columns (1-based): ID 1-11, YEAR 12-15, MONTH 16-17, ELEMENT 18-21, then 31
groups of VALUE (5), MFLAG, QFLAG, SFLAG from column 22. Values in tenths,
-9999 for missing and for days the month does not have.
"""

from vordakit.errors import KitError
from vordakit.formats import SeriesBuilder, mostly, open_text, strict
from vordakit.series import PRECIPITATION, TEMPERATURE

__all__ = ["ELEMENTS", "looks_like", "read"]

ELEMENTS = {"TMAX": TEMPERATURE, "TMIN": TEMPERATURE, "TAVG": TEMPERATURE, "PRCP": PRECIPITATION}
LINE_LENGTH = 21 + 31 * 8


def _header_ok(line):
    return (len(line) >= 21 and line[11:15].isdigit() and line[15:17].isdigit()
            and line[17:21].isalnum() and line[17:21].isupper())


def looks_like(head_lines):
    return mostly(head_lines, lambda line: _header_ok(line) and len(line.rstrip("\r\n")) >= 21 + 8 * 28)


def read(path, problem=None, element=None, keep_flagged=False):
    """Read one element of a GHCN-Daily file; bad lines go to ``problem`` (without one, the first raises)."""
    problem = problem or strict(path)
    with open_text(path) as f:
        rows = f.read().splitlines()
    element = _element(path, rows, element)
    records = SeriesBuilder(path, problem)
    for lineno, line in enumerate(rows, 1):
        if not line.strip():
            continue
        if not _header_ok(line):
            problem(lineno, "unreadable", "expected ID (1-11), YEAR (12-15), MONTH (16-17), ELEMENT (18-21)")
            continue
        if line[17:21] != element:
            continue
        if len(line) < LINE_LENGTH - 3:
            problem(lineno, "unreadable",
                    f"expected 31 day groups of 8 columns up to column {LINE_LENGTH}, line ends at {len(line)}")
            continue
        year, month = int(line[11:15]), int(line[15:17])
        if not 1 <= month <= 12 or year < 1:
            problem(lineno, "date", f"impossible year and month {line[11:15]} {line[15:17]}")
            continue
        _add_month(records, problem, lineno, line, year, month, keep_flagged)
    return records.build(element, 1, "ghcn", kind=ELEMENTS[element])


def _element(path, rows, element):
    """The element to read: the one asked for, else the only usable one of the file."""
    found = {}
    for lineno, line in enumerate(rows, 1):
        if line.strip() and _header_ok(line):
            found.setdefault(line[17:21], lineno)
    if element is None:
        usable = [e for e in found if e in ELEMENTS]
        if len(usable) != 1:
            listed = ", ".join(found) or "none"
            raise KitError(path, None, f"choose the element with --element (elements in the file: {listed})")
        element = usable[0]
    element = element.upper()
    if element not in ELEMENTS:
        raise KitError(path, None, f"element {element} is not one of {', '.join(ELEMENTS)}")
    if element not in found:
        raise KitError(path, None, f"no {element} lines (elements in the file: {', '.join(found) or 'none'})")
    return element


def _add_month(records, problem, lineno, line, year, month, keep_flagged):
    """The 31 day groups of a month's line; a group that cannot be read ends the line."""
    for k in range(31):
        pos = 21 + 8 * k
        vs = line[pos:pos + 5]
        try:
            raw = int(vs)
        except (ValueError, OverflowError):
            problem(lineno, "unreadable", f"expected a whole number in columns {pos + 1}-{pos + 5}, found {vs!r}")
            break
        qflag = line[pos + 6:pos + 7].strip()
        if raw == -9999 or (qflag and not keep_flagged):
            x = None
        else:
            x = raw / 10
        records.add(lineno, year, month, k + 1, x, vs, padding=raw == -9999)
