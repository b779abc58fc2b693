"""Reading vorda's fixed-format result files into the model of a run's results.

``read_results(folder)`` reads every result file of a folder, of every kind
and both threshold types, into a ``model.Results``: the yearly values and the
events as records, with the warnings on values that have none (see
vordakit.model), and what the folder's notes add (see vordakit.notes).
``command`` is ``vordakit tidy``, which writes them as the tidy tables.
"""

import os
import re
import sys

from vordakit import catalogue, notes
from vordakit.catalogue import EVENT_PREFIX, SHORT_PREFIX
from vordakit.errors import KitError
from vordakit.model import FIRST_RECORD, Results, Run, event_records, yearly_records
from vordakit.tables import write_tables

__all__ = ["HEADER", "Run", "Results", "parse_header", "result_files", "read_results", "print_warnings", "command"]

HEADER = (
    (" VORDA: Results", None),
    (" ==============", None),
    (" ", None),
    (" Input data file: ", "input"),
    (" ", None),
    (" Threshold type:  ", "type"),
    (" ", None),
    (" Threshold value: ", "threshold"),
    (" ", None),
    (" Event, minimum duration: ", "min_duration"),
    (" ", None),
)

# Event record "(3x,f11.3,1x,i2,1x,i2,1x,i4,15x,i7,1x,f14.3)": field slices.
_EVENT_SLICES = (("midpoint", 3, 14, float), ("day", 15, 17, int), ("month", 18, 20, int),
                 ("year", 21, 25, int), ("duration", 40, 47, int), ("action", 48, 62, float))
_EVENT_LAYOUT = re.compile(r" {3}.{11} .{2} .{2} .{4} {15}.{7} .{14}")
# Short event record "(1x,f11.3,1x,f14.3)".
_SHORT_LEN = 27
# Yearly record "(1x,i4,1x,i3)".
_YEARLY_LEN = 9


def _read_lines(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        # vorda copies the input's name byte for byte; any byte reads as latin-1.
        text = data.decode("latin-1")
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def parse_header(path, lines):
    """The run of a header block (the lines of a result file), and the index its column line names."""
    found = {}
    for number, ((text, field), line) in enumerate(zip(HEADER, lines), start=1):
        if field is None:
            if line != text:
                raise KitError(path, number, f"expected the header line {text.strip() or 'of one blank'!r}")
        else:
            if not line.startswith(text) or len(line) == len(text):
                raise KitError(path, number, f"expected {text.strip()!r} and a value")
            found[field] = line[len(text):]
    if len(lines) < 12:
        raise KitError(path, len(lines) + 1, "the file ends inside its 12-line header block")
    index = catalogue.COLUMN_LINES.get(lines[11])
    if index is None:
        raise KitError(path, 12, "not a column line of a VORDA result file")
    try:
        threshold = float(found["threshold"])  # vorda writes .5, -.0: float() reads both
    except ValueError:
        raise KitError(path, 8, f"threshold {found['threshold']!r} is not a number") from None
    try:
        durmin = int(found["min_duration"])
    except ValueError:
        raise KitError(path, 10, f"minimum duration {found['min_duration']!r} is not a whole number") from None
    return Run(found["input"], found["type"], threshold, durmin), index


def _number(path, number, text, convert, what):
    """A field's number, or its asterisks when it did not fit; anything else is refused."""
    stripped = text.strip()
    if stripped and set(stripped) == {"*"}:
        return stripped
    try:
        return convert(stripped)
    except ValueError:
        raise KitError(path, number, f"{what} {stripped!r} is not a number") from None


def _yearly_fields(path, lines, index):
    fields = []
    for number, line in enumerate(lines[FIRST_RECORD - 1:], start=FIRST_RECORD):
        if len(line) != _YEARLY_LEN or line[0] != " " or line[5] != " ":
            raise KitError(path, number, "expected a yearly record ' yyyy vvv'")
        fields.append((_number(path, number, line[1:5], int, "year"), _number(path, number, line[6:9], int, index)))
    return fields


def _event_fields(path, lines):
    fields = []
    for number, line in enumerate(lines[FIRST_RECORD - 1:], start=FIRST_RECORD):
        if not _EVENT_LAYOUT.fullmatch(line):
            raise KitError(path, number, "expected an event record of 62 characters")
        fields.append(tuple(_number(path, number, line[a:b], conv, name) for name, a, b, conv in _EVENT_SLICES))
    return fields


def _read_short(path, lines):
    rows = []
    for number, line in enumerate(lines, start=1):
        if len(line) != _SHORT_LEN or line[0] != " " or line[12] != " ":
            raise KitError(path, number, "expected a short event record of 27 characters")
        rows.append((line[1:12].strip(), line[13:27].strip()))
    return rows


def _event_texts(lines):
    return [(line[3:14].strip(), line[48:62].strip()) for line in lines[FIRST_RECORD - 1:]]


def result_files(folder):
    """The names of the result files in ``folder``, sorted."""
    names = []
    for entry in sorted(os.listdir(folder)):
        if not entry.endswith(".dat") or not entry.startswith("VORDA"):
            continue
        if os.path.isfile(os.path.join(folder, entry)):
            names.append(entry)
    return names


def read_results(folder: "str | os.PathLike", names: "list[str] | None" = None) -> Results:
    """Read the result files of ``folder`` (all, or those ``names``) into a Results.

    >>> import pathlib, vordakit
    >>> res = read_results(pathlib.Path(vordakit.__file__).parents[2] / "example" / "expected")
    >>> r = res.yearly[0]
    >>> r.input, r.type, r.threshold, r.min_duration, r.index, r.year, r.value, r.days, r.whole, r.date
    ('series.txt', 'upper', 18.0, 3, 'ndays', 2001, 33, None, None, None)
    >>> res.events[0].date, res.events[0].action, res.warnings
    ('2001-07-08', 2.3, [])
    """
    names = result_files(folder) if names is None else sorted(names)
    if not names:
        raise KitError(folder, None, "holds no VORDA result files (VORDA*.dat)")
    res = Results()
    yearly, events = _read_files(folder, names, res.warnings)
    for run in sorted(set(events) | {run for run, _ in yearly}):
        for index in catalogue.INDEX_ORDER:
            res.yearly.extend(yearly.get((run, index), []))
        res.events.extend(events.get(run, []))
    notes.add_notes(res, folder)
    notes.add_percentile_marks(res, folder)
    return res


def _read_files(folder, names, warnings):
    """The records of the files ``names``: {(run, index): yearly records}, {run: event records}."""
    yearly = {}    # (run, index) -> records
    events = {}    # run -> records
    event_lines = {}  # name tail -> (path, lines) of the full event file
    shorts = []
    seen = {}  # (run, index) -> the file that holds it
    for entry in names:
        path = os.path.join(folder, entry)
        if entry.startswith(SHORT_PREFIX):
            shorts.append((entry[len(SHORT_PREFIX):], path))
            continue
        lines = _read_lines(path)
        run, index = parse_header(path, lines)
        _check_fits(path, entry, run, index)
        first = seen.setdefault((run, index), path)
        if first != path:
            # vorda names 0, -0 and 0.04 apart (0.0, -.0, .0), but they are one number to one decimal.
            raise KitError(path, 8, f"{index} of a run that the tables cannot tell from that of {first} "
                                    f"(threshold {run.threshold:.1f} to one decimal); move one into another folder")
        if index == catalogue.EVENTS:
            event_records(path, FIRST_RECORD, _event_fields(path, lines), run, warnings, events.setdefault(run, []))
            if entry.startswith(EVENT_PREFIX):
                event_lines[entry[len(EVENT_PREFIX):]] = (path, lines)
        else:
            yearly_records(path, FIRST_RECORD, _yearly_fields(path, lines, index), run, index, warnings,
                           yearly.setdefault((run, index), []))
    for tail, path in shorts:
        _check_short(path, _read_lines(path), event_lines.get(tail), warnings)
    return yearly, events


def _check_fits(path, entry, run, index):
    """A file whose index does not belong to its run's type, or to its name, comes from
    something other than vorda (or was renamed): its values would be filed under the wrong index."""
    named = catalogue.file_index(entry)
    if named != index:
        raise KitError(path, 12, f"the column line is that of {index}, the file name that of {named}")
    if run.type in catalogue.TYPES and index not in catalogue.file_kinds(run.type):
        raise KitError(path, 12, f"{index} in a run of threshold type {run.type}, "
                                 f"which writes {', '.join(catalogue.file_kinds(run.type))}")


def _check_short(path, lines, full, warnings):
    """The short event file repeats the full one's midpoints and action measures; say where not."""
    rows = _read_short(path, lines)
    if full is None:
        if rows:
            warnings.append(f"{path}: no full event file beside it; its {len(rows)} events are not in the table")
        return
    full_path, full_lines = full
    expected = _event_texts(full_lines)
    for number, (got, want) in enumerate(zip(rows, expected), start=1):
        if got != want:
            warnings.append(f"{path}:{number}: differs from event {number} of {full_path}")
            return
    if len(rows) != len(expected):
        warnings.append(f"{path}: holds {len(rows)} events, {full_path} holds {len(expected)}")


def print_warnings(command, warnings):
    """Each warning on standard error, after the command's name."""
    for w in warnings:
        print(f"vordakit {command}: warning: {w}", file=sys.stderr)


def command(args):
    """``vordakit tidy``: the tables' paths on standard output."""
    res = read_results(args.folder)
    print_warnings("tidy", res.warnings)
    for path in write_tables(res, args.out or args.folder):
        print(path)
    return 0
