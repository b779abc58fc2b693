"""A batch's station list: which series of which station file, and which runs on it.

The list is tab-separated with a header line; the columns are found by name
(``COLUMNS``, and optionally ``OPTIONAL``): file, name, type, threshold,
min_duration, and optionally format (the station file's layout, default
detected), element and column (which series of the station file, where it
holds several), kind, unit (for the plots), and a percentile threshold
(percentile, base, window, bootstrap) instead of a fixed one, and the
station's metadata (full_name, lat, lon, elevation, country; see
vordakit.formats.metadata). A station with several thresholds has several
rows with the same name and file. A bad list is refused whole, with its file
and line.
"""

import collections
import dataclasses
import os
import re

from vordakit import runner
from vordakit.errors import KitError
from vordakit.formats import ghcn, station6
from vordakit.formats import metadata as meta
from vordakit.formats.detect import OPTION_NAMES, READERS
from vordakit.results import print_warnings
from vordakit.series import PRECIPITATION, TEMPERATURE
from vordakit.thresholds import (given_duration, name_threshold, parse_setting, shown_threshold, threshold_number,
                                 threshold_text, type_name)

__all__ = ["COLUMNS", "OPTIONAL", "COMBINED", "Row", "SeriesChoice", "Station", "read_station_list"]

COLUMNS = ("file", "name", "type", "threshold", "min_duration")
# Reader options for station files that need them (GHCN element, station6 or table column).
READER_OPTIONS = ("element", "column")
# What a row chooses of its station's file: the layout, the series in it and its kind.
CHOICE = ("format",) + READER_OPTIONS + ("kind",)
# A percentile threshold instead of a fixed one: see vordakit.thresholds.
PERCENTILE = ("percentile", "base", "window", "bootstrap")
OPTIONAL = ("unit",) + CHOICE + PERCENTILE + meta.FIELDS
ALIASES = {
    "station_file": "file", "path": "file",
    "station": "name", "station_name": "name",
    "threshold_type": "type",
    "threshold_value": "threshold", "value": "threshold",
    "minimum_duration": "min_duration", "durmin": "min_duration", "duration": "min_duration",
}
# What the bootstrap column takes, in any case; empty is no.
YES_NO = {"yes": True, "y": True, "true": True, "1": True, "no": False, "n": False, "false": False, "0": False,
          "": False}
# The batch's own tables in its folder: no station may take their names.
COMBINED = ("summary.csv", "yearly.csv", "events.csv", "trend.csv")

# One run of a row, its texts as the list gives them: type, threshold (0.0 with a
# percentile setting) and minimum duration; the percentile setting and bootstrap.
Row = collections.namedtuple("Row", "line type threshold min_duration setting bootstrap", defaults=(None, False))


@dataclasses.dataclass
class SeriesChoice:
    """One series of a station's file, as a group of list rows chooses it, and those rows."""
    format: str = None
    reader: dict = dataclasses.field(default_factory=dict)
    kind: str = None
    label: str = ""        # tells the series of one station apart in file names; empty when alone
    choice: tuple = ()
    rows: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Station:
    """A station of the list: its name (its folder), its file, the unit of its values and its series."""
    name: str
    file: str
    unit: str = ""
    inputs: list = dataclasses.field(default_factory=list)
    listed: str = ""       # the file as the list gives it, and the list's folder, for messages
    list_folder: str = ""
    metadata: meta.Station = meta.Station()   # what the list's own columns say of it

    @property
    def rows(self):
        return [r for i in self.inputs for r in i.rows]


def _label(choice):
    words = [v for k, v in choice if k != "format" and v] or [v for _, v in choice if v]
    return re.sub(r"[^A-Za-z0-9._-]", "_", "-".join(words)) or "default"


def _key(header_cell):
    k = header_cell.strip().lower().replace(" ", "_").replace("-", "_")
    return ALIASES.get(k, k)


def _folder_name(name, path, line):
    if not name:
        raise KitError(path, line, "empty station name")
    if name in (".", "..") or "/" in name or "\\" in name or any(ord(c) < 32 for c in name):
        raise KitError(path, line, f"station name {name!r} cannot name a folder")
    if name in COMBINED:
        raise KitError(path, line, f"station name {name!r} is taken by the batch's own table")
    # vorda is given "<name>.txt" and keeps 80 characters of it.
    if len(name) + 4 > runner.MAX_NAME:
        raise KitError(path, line, f"station name longer than {runner.MAX_NAME - 4} characters")
    return name


def _choice(cell, path, number):
    """The row's choice of series as a tuple of (column, value), checked as far as the list can tell."""
    fmt = cell.get("format") or None
    if fmt is not None and fmt not in READERS:
        raise KitError(path, number, f"unknown format {fmt!r} (one of {', '.join(READERS)})")
    element, column = cell.get("element") or None, cell.get("column") or None
    if element is not None and element.upper() not in ghcn.ELEMENTS:
        raise KitError(path, number, f"unknown element {element!r} (one of {', '.join(ghcn.ELEMENTS)})")
    if fmt == "station6" and column is not None and column.lower() not in station6.COLUMNS:
        raise KitError(path, number, f"unknown station6 column {column!r} (one of {', '.join(station6.COLUMNS)})")
    if fmt is not None:
        stray = [OPTION_NAMES[k][2:] for k, v in (("element", element), ("column", column))
                 if v is not None and k not in READERS[fmt][1]]
        if stray:
            raise KitError(path, number, f"{', '.join(stray)} does not apply to a {fmt} file")
    kind = (cell.get("kind") or "").lower() or None
    if kind is not None and kind not in (TEMPERATURE, PRECIPITATION):
        raise KitError(path, number, f"unknown kind {kind!r} ({TEMPERATURE} or {PRECIPITATION})")
    return (("format", fmt), ("element", element), ("column", column), ("kind", kind))


def _settings(cell, path, number):
    """(type, threshold text, duration text, percentile setting or None) of a row."""
    try:
        type_ = type_name(cell["type"])
        setting = None
        if cell.get("percentile"):
            if cell.get("threshold"):
                raise KitError(None, None, "give a threshold or a percentile, not both")
            setting = parse_setting(cell["percentile"], cell.get("base"), cell.get("window") or 5)
            thr = "0.0"
        else:
            thr = threshold_text(cell.get("threshold", ""))
        dur = given_duration(cell["min_duration"])
    except KitError as e:
        raise KitError(path, number, e.reason) from None
    return type_, thr, dur, setting


def _yes_no(text, path, line):
    if text.lower() not in YES_NO:
        raise KitError(path, line, f"bootstrap {text!r} is neither yes nor no (also true/false, y/n, 1/0; "
                                   "empty for no)")
    return YES_NO[text.lower()]


def _warn_unknown(header, path, line):
    """One warning for the header's columns that the batch does not read: a misspelt
    optional column (bootsrap) would otherwise be left out without a word."""
    known = set(COLUMNS + OPTIONAL)
    unknown = [repr(c) if c else f"{i + 1} (no name)" for i, c in enumerate(header) if c not in known]
    if unknown:
        print_warnings("batch", [f"{path}:{line}: column{'s' * (len(unknown) > 1)} {', '.join(unknown)} "
                                 f"ignored: not one the batch reads ({', '.join(COLUMNS + OPTIONAL)})"])


def _lines(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        # A spreadsheet saves a byte-order mark and CR LF line ends.
        return data.decode("utf-8-sig").splitlines()
    except UnicodeDecodeError as e:
        raise KitError(path, data.count(b"\n", 0, e.start) + 1, "not UTF-8 text") from None


def _header(path, lines):
    """(line index of the header, the column of each known field)."""
    header_at = next((i for i, t in enumerate(lines) if t.strip() and not t.startswith("#")), None)
    if header_at is None:
        raise KitError(path, None, "empty station list; expected a header line: " + "\t".join(COLUMNS))
    header = [_key(c) for c in lines[header_at].split("\t")]
    missing = [c for c in COLUMNS if c not in header and not (c == "threshold" and "percentile" in header)]
    if missing:
        raise KitError(path, header_at + 1,
                       f"the header lacks {', '.join(missing)} (tab-separated: {', '.join(COLUMNS)})")
    _warn_unknown(header, path, header_at + 1)
    return header_at, len(header), {c: header.index(c) for c in COLUMNS + OPTIONAL if c in header}


class _ListReader:
    """The stations of a list as its rows are added, with what tells rows apart."""

    def __init__(self, path):
        self.path = path
        self.base = os.path.dirname(os.path.abspath(path))
        self.stations = {}
        self.seen = {}    # (name, choice, run) -> line
        self.named = {}   # the run as the result files show it -> (line, threshold)

    def add(self, number, cell):
        path = self.path
        type_, thr, dur, setting = _settings(cell, path, number)
        name = _folder_name(cell["name"], path, number)
        if not cell["file"]:
            raise KitError(path, number, "empty station file")
        choice = _choice(cell, path, number)
        inp = self._series_choice(name, cell["file"], cell.get("unit", ""), choice, number)
        run = (type_, threshold_number(thr), int(dur), setting and setting.suffix)
        if (name, choice, run) in self.seen:
            raise KitError(path, number, f"the same run as line {self.seen[(name, choice, run)]}")
        self.seen[(name, choice, run)] = number
        self._check_shown(number, name, choice, run, thr, dur)
        boot = _yes_no(cell.get("bootstrap", ""), path, number)
        inp.rows.append(Row(number, type_, thr, dur, setting, boot))
        self._add_metadata(name, meta.explicit_metadata(cell, path, number), number)

    def _add_metadata(self, name, given, number):
        """A station's metadata from its rows: any row may give a field, but two rows may not disagree."""
        st = self.stations[name]
        old = st.metadata.columns()
        clash = [f for f, v in given.columns().items() if v and old[f] and v != old[f]]
        if clash:
            f = clash[0]
            raise KitError(self.path, number, f"{f} {given.columns()[f]} of station {name!r} differs from "
                                              f"{old[f]} given on an earlier line")
        st.metadata = meta.merge(st.metadata, given)

    def _series_choice(self, name, listed, unit, choice, number):
        file = os.path.join(self.base, listed)
        st = self.stations.get(name)
        if st is None:
            st = self.stations[name] = Station(name, file, unit, listed=listed, list_folder=self.base)
        elif st.file != file:
            raise KitError(self.path, number, f"station {name!r} was given the file {st.file} before")
        inp = next((i for i in st.inputs if i.choice == choice), None)
        if inp is None:
            inp = SeriesChoice(choice[0][1], {k: v for k, v in choice[1:3] if v}, choice[3][1], choice=choice)
            st.inputs.append(inp)
        return inp

    def _check_shown(self, number, name, choice, run, thr, dur):
        """vorda names its result files by the threshold with one decimal and the
        duration in at most 7 digits: runs that look alike there overwrite each
        other. Their headers give the threshold with one decimal too, and runs
        whose thresholds are one number there cannot be told apart in the tables."""
        shown = (name, choice, run[0], float(shown_threshold(run[1])), dur[:7], run[3])
        if shown in self.named:
            other, other_thr = self.named[shown]
            if name_threshold(thr) == name_threshold(other_thr):
                why = f"both show as {name_threshold(thr)} in the result names; one run would overwrite the other"
            else:
                why = (f"both are {shown_threshold(run[1])} to one decimal in the result files' headers; "
                       "the tables could not tell the runs apart")
            raise KitError(self.path, number, f"threshold {thr} and {other_thr} of line {other} {why}")
        self.named[shown] = (number, thr)

    def result(self):
        if not self.stations:
            raise KitError(self.path, None, "the station list has no rows")
        for st in self.stations.values():
            if len(st.inputs) > 1:
                for inp in st.inputs:
                    inp.label = _label(inp.choice)
                    if len(st.name) + len(inp.label) + 5 > runner.MAX_NAME:
                        raise KitError(self.path, inp.rows[0].line, f"station name and series {inp.label!r} "
                                                                    f"longer than {runner.MAX_NAME - 5} characters")
        return list(self.stations.values())


def read_station_list(path):
    """The stations of a list, in the order of their first row. A bad list is refused whole.

    Rows of one station that choose different series of its file (another
    column or element) each get their own SeriesChoice, converted once per choice.
    """
    lines = _lines(path)
    header_at, width, where = _header(path, lines)
    reader = _ListReader(path)
    for number, text in enumerate(lines[header_at + 1:], start=header_at + 2):
        if not text.strip() or text.startswith("#"):
            continue
        cells = text.split("\t")
        if len(cells) != width:
            raise KitError(path, number, f"expected {width} tab-separated fields, found {len(cells)}")
        reader.add(number, {c: cells[i].strip() for c, i in where.items()})
    return reader.result()
