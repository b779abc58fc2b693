"""The legacy daily Central England Temperature layout: one line per year and day of month.

    1772    1   32  -15   18   25   87  128  187  177  105  111   78  112

Year, day, then the twelve months' values in tenths of degC, each field five
columns wide (the year may be written in four), -999 for missing values and
for dates that do not exist (30 February). The records come out in date order.
"""

from vordakit.formats import SeriesBuilder, mostly, open_text, strict
from vordakit.series import TEMPERATURE

__all__ = ["looks_like", "read"]

WIDTH = 5
MONTHS_WIDTH = 12 * WIDTH


def _fields(line):
    """Year, day and twelve value texts; the values are cut by width from the right."""
    body = line.rstrip()
    if len(body) < MONTHS_WIDTH + 2:
        return None
    head = body[:-MONTHS_WIDTH].split()
    tail = body[-MONTHS_WIDTH:]
    if len(head) != 2:
        return None
    return head[0], head[1], [tail[i:i + WIDTH] for i in range(0, MONTHS_WIDTH, WIDTH)]


def _fits(line):
    parts = line.split()
    return (len(parts) == 14 and all(p.lstrip("-").isdigit() for p in parts)
            and 1 <= int(parts[1]) <= 31)


def looks_like(head_lines):
    return mostly(head_lines, _fits)


def read(path, problem=None):
    problem = problem or strict(path)
    records = SeriesBuilder(path, problem)
    with open_text(path) as f:
        for lineno, line in enumerate(f, 1):
            if not line.strip():
                continue
            parts = _fields(line)
            if parts is None:
                problem(lineno, "unreadable", "expected year, day and twelve monthly values, five columns each")
                continue
            ys, ds, months = parts
            try:
                year, day = int(ys), int(ds)
                raws = [int(v) for v in months]
            except (ValueError, OverflowError):
                problem(lineno, "unreadable", "expected whole numbers: year, day and twelve monthly values in tenths")
                continue
            if not 1 <= day <= 31 or year < 1:
                problem(lineno, "date", f"impossible year {year} or day of month {day}")
                continue
            for month, (raw, text) in enumerate(zip(raws, months), 1):
                missing = raw == -999
                records.add(lineno, year, month, day, None if missing else raw / 10, text, padding=missing)
    return records.build("CET", 1, "cet", kind=TEMPERATURE, in_date_order=True)
