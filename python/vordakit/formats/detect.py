"""Choosing the reader: from the content where the layout shows itself, else by name."""

import itertools

from vordakit.errors import KitError
from vordakit.formats import cet, eca, ghcn, holding, open_text, read_bytes, station6, table, vorda

__all__ = ["READERS", "detect_format", "read_series", "reader_options"]

# Each reader with the options it understands.
READERS = {
    "eca": (eca.read, {"drop_suspect"}),
    "ghcn": (ghcn.read, {"element", "keep_flagged"}),
    "cet": (cet.read, set()),
    "station6": (station6.read, {"column", "missing"}),
    "table": (table.read, {"column", "date_column", "delimiter", "missing", "decimal_comma", "day_first"}),
    "vorda": (vorda.read, set()),
}
OPTION_NAMES = {"drop_suspect": "--drop-suspect", "element": "--element", "keep_flagged": "--keep-flagged",
                "column": "--column", "date_column": "--date-column", "delimiter": "--delimiter",
                "missing": "--missing", "decimal_comma": "--decimal-comma", "day_first": "--day-first"}
HEAD = 200      # ECA&D headers run to some 20-40 lines


def detect_format(path):
    """The layout's name from the first lines of the file; 'table' when nothing else fits."""
    with open_text(path) as f:
        head = list(itertools.islice(f, HEAD))
    text = "".join(head)
    if "\x00" in text or text.count("\ufffd") * 100 > len(text):
        raise KitError(path, None, "not a text file (binary content in its first lines)")
    if eca.looks_like(head):
        return "eca"
    data = head[:20]
    if ghcn.looks_like(data):
        return "ghcn"
    if cet.looks_like(data):
        return "cet"
    if vorda.looks_like(data):
        return "vorda"
    if station6.looks_like(data):
        return "station6"
    return "table"


def reader_options(args):
    """The reader options (keyword arguments of ``read_series``) that a command line chose."""
    opts = {}
    for name in ("element", "column", "date_column", "delimiter"):
        value = getattr(args, name)
        if value is not None:
            opts[name] = value
    if args.missing is not None:
        opts["missing"] = [m.strip() for m in args.missing.split(",")]
    for flag in ("drop_suspect", "decimal_comma", "day_first"):
        if getattr(args, flag, False):
            opts[flag] = True
    if args.keep_flagged:
        opts["keep_flagged"] = True
    return opts


def read_series(path, fmt=None, problem=None, **opts):
    """Read one station series in any supported layout.

    ``problem(line, check, reason, date=None, value=None)`` receives each bad
    line; without it the first one raises ``KitError``. The file is read
    once, its layout detected from the bytes read.
    """
    if fmt is None and read_bytes(path) is None:
        with holding(path):
            return read_series(path, None, problem, **opts)
    if fmt is None:
        fmt = detect_format(path)
    if fmt not in READERS:
        raise KitError(path, None, f"unknown format {fmt!r} (one of {', '.join(READERS)})")
    reader, accepted = READERS[fmt]
    opts = {k: v for k, v in opts.items() if v is not None and v is not False}
    stray = sorted(set(opts) - accepted)
    if stray:
        names = ", ".join(OPTION_NAMES.get(k, k) for k in stray)
        raise KitError(path, None, f"{names} does not apply to a {fmt} file")
    return reader(path, problem=problem, **opts)
