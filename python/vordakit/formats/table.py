"""A generic delimited table: a date column (or year, month, day columns) and a value column.

Dates as YYYY-MM-DD or YYYYMMDD, or day first (DD.MM.YYYY) when asked;
values with a decimal point, or a decimal comma when asked; columns chosen by
header name or 1-based position; an optional header line; lines starting with
'#' are comments.
"""

import csv
import datetime
import math
import re

from vordakit.errors import KitError
from vordakit.formats import SeriesBuilder, more_decimals, numeric_markers, open_text, strict
from vordakit.series import PRECIPITATION, TEMPERATURE

__all__ = ["DEFAULT_MISSING", "read"]

DEFAULT_MISSING = ("", "NA", "NaN", "-9999", "-999", "-99.9")
DELIMITER_NAMES = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "space": " ",
                   "blank": " ", "whitespace": " "}
YEAR_NAMES = ("year", "yr", "yyyy")
MONTH_NAMES = ("month", "mon", "mo", "mm")
DAY_NAMES = ("day", "dd", "dy")
PRECIPITATION_NAME = re.compile(r"(^|[^a-z])(rr|pr|prcp|precip\w*|rain\w*|rainfall)([^a-z]|$)", re.I)
NUMBERISH = re.compile(r"^[+-]?\.?\d")


def _data_lines(f):
    """(line number, text) of lines that are neither blank nor comments."""
    for lineno, line in enumerate(f, 1):
        s = line.strip()
        if s and not s.startswith("#"):
            yield lineno, line


def _rows(lines, delimiter):
    if delimiter == " ":
        for lineno, line in lines:
            yield lineno, line.split()
    else:
        for lineno, line in lines:
            line = line.rstrip("\r\n")
            if '"' in line:
                # One line at a time keeps line numbers exact; quoted fields still work.
                row = next(csv.reader([line], delimiter=delimiter), [])
            else:
                row = line.split(delimiter)
            yield lineno, [c.strip() for c in row]


def _sniff(line, decimal_comma=False):
    for d in ((";", "\t") if decimal_comma else (",", ";", "\t")):
        if d in line:
            return d
    return " "


def _parse_date(text):
    if len(text) == 10 and text[4] in "-/" and text[7] == text[4]:
        return int(text[:4]), int(text[5:7]), int(text[8:])
    if len(text) == 8 and text.isdigit():
        return int(text[:4]), int(text[4:6]), int(text[6:])
    raise ValueError(text)


_COMMA_NUMBER = re.compile(r"[+-]?\d*,\d+")
_DAY_FIRST = re.compile(r"(\d{1,2})([./-])(\d{1,2})\2(\d{4})")


def _parse_day_first(text):
    """31.12.2001, 31/12/2001, 31-12-2001 (and 1.2.2001) -> (2001, 12, 31)."""
    m = _DAY_FIRST.fullmatch(text)
    if m is None:
        raise ValueError(text)
    return int(m.group(4)), int(m.group(3)), int(m.group(1))


def _resolve(path, choice, header, what):
    """A column given by 1-based position or header name -> 0-based index."""
    choice = choice.strip()
    if choice.isdigit():
        i = int(choice) - 1
        if i < 0:
            raise KitError(path, None, f"{what} {choice}: positions count from 1")
        return i
    if header is None:
        raise KitError(path, None, f"{what} {choice!r}: the file has no header line, give a position")
    lowered = [h.lower() for h in header]
    if choice.lower() not in lowered:
        raise KitError(path, None, f"{what} {choice!r} not in the header ({', '.join(header)})")
    return lowered.index(choice.lower())


def _find(header, names):
    if header is None:
        return None
    lowered = [h.lower() for h in header]
    for n in names:
        if n in lowered:
            return lowered.index(n)
    return None


def read(path, problem=None, column=None, date_column=None, delimiter=None, missing=DEFAULT_MISSING,
         decimal_comma=False, day_first=False):
    """Read a delimited table's series; bad lines go to ``problem`` (without one, the first raises)."""
    problem = problem or strict(path)
    with open_text(path, newline="") as f:
        lines = list(_data_lines(f))
    if not lines:
        raise KitError(path, None, "no data lines")
    delimiter = _delimiter(path, lines[0][1], delimiter, decimal_comma)
    rows = _rows(lines, delimiter)
    first_line, first = next(rows)
    header = None
    if not any(NUMBERISH.match(c) for c in first):
        header = first
    else:
        rows = _chain(first_line, first, rows)
    date_cols, value_col = _columns(path, header, len(header) if header is not None else len(first),
                                    date_column, column)
    name = header[value_col] if header is not None and value_col < len(header) else f"column {value_col + 1}"
    values = _Values(name, missing, decimal_comma)
    records = SeriesBuilder(path, problem)
    _read_rows(rows, date_cols, value_col, day_first, values, records, problem)
    kind = None
    if header is not None:
        kind = PRECIPITATION if PRECIPITATION_NAME.search(name) else TEMPERATURE
    return records.build(name, values.decimals, "table", kind=kind)


def _delimiter(path, first_line, delimiter, decimal_comma):
    """The field separator: given (by name or as the character), else the one the first line uses."""
    if delimiter is None:
        delimiter = _sniff(first_line, decimal_comma)
    else:
        delimiter = DELIMITER_NAMES.get(delimiter.lower(), delimiter)
        if len(delimiter) != 1:
            raise KitError(path, None, f"--delimiter {delimiter!r}: expected one character, tab or space")
    if decimal_comma and delimiter == ",":
        raise KitError(path, None, "--decimal-comma: the fields cannot be separated by commas too")
    return delimiter


def _columns(path, header, width, date_column, column):
    """(date columns, value column): chosen, else found by the header's names or by elimination."""
    if date_column is not None:
        names = date_column.split(",")
        if len(names) not in (1, 3):
            raise KitError(path, None, f"--date-column {date_column!r}: expected one column or year,month,day")
        date_cols = [_resolve(path, s, header, "date column") for s in names]
    else:
        ymd = [_find(header, YEAR_NAMES), _find(header, MONTH_NAMES), _find(header, DAY_NAMES)]
        date_cols = ymd if None not in ymd else [0]
    if column is not None:
        value_col = _resolve(path, column, header, "column")
    else:
        rest = [i for i in range(width) if i not in date_cols]
        if not rest:
            # Nothing to choose: say so rather than suggest a choice.
            what = f"only {', '.join(header)[:80]}" if header else "one column"
            raise KitError(path, None, f"no value column beside the date: the file holds {what}")
        if len(rest) != 1:
            names = ", ".join(header)[:80] if header else f"{width} columns"
            raise KitError(path, None, f"choose the value column with --column ({names})")
        value_col = rest[0]
    if value_col in date_cols:
        raise KitError(path, None, "the value column is also a date column")
    return date_cols, value_col


def _date(row, date_cols, day_first):
    """(date or None, (y, m, d)) of a row: a made date in the common case, else its fields
    for SeriesBuilder to check; ValueError where none can be read."""
    if len(date_cols) != 1:
        return None, tuple(int(row[i]) for i in date_cols)
    text = row[date_cols[0]]
    if day_first:
        return None, _parse_day_first(text)
    # The common case in C; anything else is taken apart below.
    if len(text) == 10 and text[4] == "-" and text[7] == "-":
        try:
            return datetime.date.fromisoformat(text), None
        except ValueError:
            pass
    return None, _parse_date(text)


class _Values:
    """The value column's reading: markers, decimal comma, and the most decimals seen."""

    def __init__(self, name, missing, decimal_comma):
        self.name = name
        self.text_markers = {m.strip().lower() for m in missing}
        self.numeric = numeric_markers(self.text_markers)
        self.decimal_comma = decimal_comma
        self.form = "a number with a decimal comma" if decimal_comma else "a number"
        self.decimals = 0

    def read(self, cell):
        """(value or None where missing, its text); ValueError with the reason where unreadable."""
        xs = cell
        if xs.lower() in self.text_markers:
            return None, xs
        if self.decimal_comma:
            # A point as well would be a thousands separator or a typing error: refused.
            xs = xs.replace(",", ".") if "." not in xs else xs + "?"
        try:
            x = float(xs)
        except (ValueError, OverflowError):
            hint = ""
            if not self.decimal_comma and _COMMA_NUMBER.fullmatch(xs):
                hint = " (for a decimal comma give --decimal-comma)"
            raise ValueError(f"expected {self.form} or a missing marker for {self.name}, found {cell!r}{hint}")
        if not math.isfinite(x):
            raise ValueError(f"expected a number for {self.name}, found {xs!r}")
        if x in self.numeric:
            return None, xs
        self.decimals = more_decimals(xs, self.decimals)
        return x, xs


def _read_rows(rows, date_cols, value_col, day_first, values, records, problem):
    date_form = "DD.MM.YYYY, DD/MM/YYYY or DD-MM-YYYY" if day_first else \
        "YYYY-MM-DD, YYYYMMDD or year month day (or give --day-first)"
    need = max(date_cols + [value_col]) + 1
    for lineno, row in rows:
        if len(row) < need:
            problem(lineno, "unreadable", f"expected at least {need} fields, found {len(row)}")
            continue
        try:
            day, ymd = _date(row, date_cols, day_first)
        except (ValueError, OverflowError):
            shown = " ".join(row[i] for i in date_cols)
            problem(lineno, "unreadable", f"expected a date as {date_form}, found {shown!r}")
            continue
        try:
            x, xs = values.read(row[value_col])
        except ValueError as e:
            problem(lineno, "unreadable", str(e))
            continue
        if day is None:
            records.add(lineno, *ymd, x, xs, padding=x is None)
        else:
            records.add_date(lineno, day, x)


def _chain(lineno, row, rest):
    yield lineno, row
    yield from rest
