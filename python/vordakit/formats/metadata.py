"""Station metadata: a station's full name, position, elevation and country, and where they come from.

Three places say something about a station, and the first that gives a field wins:

1. the station list's own columns ``full_name``, ``lat``, ``lon``, ``elevation``
   and ``country`` (``explicit_metadata``),
2. the published metadata files beside the station file, or named by the
   user: ECA&D's ``stations.txt`` and ``sources.txt``, GHCN-Daily's
   ``ghcnd-stations.txt`` (``find_metadata``),
3. the station file's own header (``read_header``).

``station_metadata`` merges the three. Positions are decimal degrees, the
elevation is in metres; a field nobody gives is None. Every value is checked
as it is read, and a bad one is refused as ``FILE:LINE: reason``.
"""

import dataclasses
import math
import os
import re

from vordakit.errors import KitError
from vordakit.formats import read_bytes
from vordakit.formats.detect import detect_format

__all__ = ["FIELDS", "Station", "Header", "merge", "parse_dms", "explicit_metadata", "read_eca_table",
           "read_ghcn_stations", "read_metadata_file", "read_header", "metadata_beside", "find_metadata",
           "station_metadata"]

FIELDS = ("full_name", "lat", "lon", "elevation", "country")

ECA_FILES = ("stations.txt", "sources.txt")
GHCN_FILE = "ghcnd-stations.txt"

# ECA&D writes positions as signed degrees:minutes:seconds, +51:28:40 or -000:18:45;
# the sign belongs to the whole angle, which is why degrees are written even when zero.
DMS = re.compile(r"^([+-]?)(\d{1,3}):(\d{1,2}):(\d{1,2}(?:\.\d*)?)$", re.ASCII)
# ECA&D marks an unknown height so; GHCN-Daily writes -999.9.
MISSING_ELEVATION = (-999.0, -9999.0, -999.9)
# The sentence of an ECA&D series header that names its station, blended or from one source:
#   This is the blended series of station SAMPLETOWN, NOWHERELAND (STAID: 99999)
#   This is the series (SOUID: 123456) of station SAMPLETOWN, NOWHERELAND (STAID: 99999)
ECA_NAMING = re.compile(r"series\s+(?:\(SOUID:\s*(\d+)\)\s+)?of\s+(?:station\s+)?(.+?)\s*\(STAID:\s*(\d+)\)",
                        re.I | re.ASCII)
ECA_SERIES_COLUMNS = re.compile(r"^\s*(?:STAID\s*,\s*)?SOUID\s*,\s*DATE\s*,", re.I)
HEAD = 200      # ECA&D series headers run to some 20-40 lines


@dataclasses.dataclass(frozen=True)
class Station:
    """What is known of a station; None where unknown.

    ``lat`` and ``lon`` in decimal degrees (north and east positive),
    ``elevation`` in metres, ``country`` as its source gives it (ECA&D: ISO
    code; GHCN-Daily: FIPS code; an ECA&D series header: the country's name).

    >>> s = Station(full_name="SAMPLETOWN", lat=51.5)
    >>> s.columns()
    {'full_name': 'SAMPLETOWN', 'lat': '51.5', 'lon': '', 'elevation': '', 'country': ''}
    """

    full_name: str = None
    lat: float = None
    lon: float = None
    elevation: float = None
    country: str = None

    def columns(self):
        """The fields as the text of table cells: empty where unknown, numbers without trailing zeros."""
        return {f: _cell(getattr(self, f)) for f in FIELDS}

    def is_empty(self):
        return all(getattr(self, f) is None for f in FIELDS)


@dataclasses.dataclass(frozen=True)
class Header:
    """What a station file says about itself: its metadata and the keys to look it up by.

    ``staid`` and ``souid`` are ECA&D's station and source identifiers,
    ``ghcn_id`` the GHCN-Daily station ID; None where the file gives none.
    ``souid`` is set only for a series of one source, not for a blended one.
    """

    station: Station = Station()
    staid: int = None
    souid: int = None
    ghcn_id: str = None
    first_souid: int = None


def _cell(value):
    if value is None:
        return ""
    if isinstance(value, float):
        text = f"{value:.6f}".rstrip("0").rstrip(".")
        return "0" if text == "-0" else text
    return str(value)


def merge(*stations):
    """One ``Station``, each field from the first of ``stations`` that gives it.

    >>> merge(Station(lat=1.0), Station(lat=2.0, lon=3.0), Station(full_name="X"))
    Station(full_name='X', lat=1.0, lon=3.0, elevation=None, country=None)
    """
    values = {}
    for f in FIELDS:
        values[f] = next((getattr(s, f) for s in stations if s is not None and getattr(s, f) is not None), None)
    return Station(**values)


def _refuse(path, line, reason):
    raise KitError(path, line, reason)


def _position(value, what, path, line):
    """``value``, checked against the range of a latitude (``what`` 'latitude') or a longitude."""
    bound = 90 if what == "latitude" else 180
    if not -bound <= value <= bound:
        _refuse(path, line, f"{what} {_cell(value)} is beyond +-{bound}")
    return value + 0.0          # -0.0 becomes 0.0: the table shows no sign on zero


def parse_dms(text, what="latitude", path=None, line=None):
    """Signed degrees:minutes:seconds as decimal degrees, checked for range.

    The sign applies to the whole angle; minutes and seconds must be below 60.

    >>> parse_dms("+51:28:40"), parse_dms("-000:18:45", "longitude")
    (51.477778, -0.3125)
    >>> parse_dms("+51:60:00", path="stations.txt", line=20)
    Traceback (most recent call last):
    vordakit.errors.KitError: stations.txt:20: latitude '+51:60:00': minutes must be below 60
    """
    m = DMS.match(text.strip())
    if not m:
        _refuse(path, line, f"{what} {text.strip()!r}: expected degrees:minutes:seconds such as +51:28:40")
    sign, degrees, minutes, seconds = m.group(1), int(m.group(2)), int(m.group(3)), float(m.group(4))
    if minutes >= 60:
        _refuse(path, line, f"{what} {text.strip()!r}: minutes must be below 60")
    if seconds >= 60:
        _refuse(path, line, f"{what} {text.strip()!r}: seconds must be below 60")
    # Rounded to a millionth of a degree (about 0.1 m): finer than a second of arc, and the
    # tables then show the value a reader expects rather than a binary fraction's tail.
    value = round(degrees + minutes / 60 + seconds / 3600, 6)
    return _position(-value if sign == "-" else value, what, path, line)


def _number(text, what, path, line):
    try:
        # float() also takes 1_000; a table cell with an underscore is a typing slip, not a number
        value = math.nan if "_" in text else float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        _refuse(path, line, f"{what} {text.strip()!r} is not a number")
    return value


def _whole(text):
    return text.isascii() and text.isdigit()


def _elevation(text, path, line):
    value = _number(text, "elevation", path, line)
    return None if value in MISSING_ELEVATION else value


def explicit_metadata(values, path=None, line=None):
    """The metadata a station list's row gives in its columns, as written (strings; empty or absent: unknown).

    ``lat`` and ``lon`` in decimal degrees. ``path`` and ``line`` name the row in errors.

    >>> explicit_metadata({"full_name": " Hamburg ", "lat": "53.63", "lon": "9.99", "elevation": ""})
    Station(full_name='Hamburg', lat=53.63, lon=9.99, elevation=None, country=None)
    >>> explicit_metadata({"lat": "95"}, "stations.tsv", 4)
    Traceback (most recent call last):
    vordakit.errors.KitError: stations.tsv:4: latitude 95 is beyond +-90
    """
    given = {f: (values.get(f) or "").strip() for f in FIELDS}
    lat = lon = elevation = None
    if given["lat"]:
        lat = _position(_number(given["lat"], "latitude", path, line), "latitude", path, line)
    if given["lon"]:
        lon = _position(_number(given["lon"], "longitude", path, line), "longitude", path, line)
    if given["elevation"]:
        elevation = _number(given["elevation"], "elevation", path, line)
    return Station(given["full_name"] or None, lat, lon, elevation, given["country"] or None)


def _lines(path):
    """The lines of a text file: UTF-8, else Latin-1 (older downloads), which reads any bytes.

    A station file a batch holds in memory (``formats.holding``) is taken from there, not read again.
    """
    data = read_bytes(path)
    try:
        if data is None:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as e:
        raise KitError(path, None, f"cannot read: {e.strerror or e}") from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        text = data.decode("latin-1")
    return text.splitlines()


def _eca_columns(lines, path):
    """(line index, column positions by name) of an ECA&D metadata table's column line."""
    for i, line in enumerate(lines):
        names = [n.strip().upper() for n in line.split(",")]
        if "LAT" in names and "LON" in names and ("STAID" in names or "SOUID" in names):
            return i, {n: k for k, n in enumerate(names)}
    _refuse(path, None, "no column line naming STAID (or SOUID), LAT and LON found")


def _eca_row(fields, at, path, line):
    """The key and the ``Station`` of one data row of an ECA&D metadata table."""
    key_text = fields[at["key"]].strip()
    if not _whole(key_text):
        _refuse(path, line, f"expected a whole number for {at['key_name']}, found {key_text!r}")
    name = fields[at["name"]].strip() if "name" in at else ""
    country = fields[at["CN"]].strip() if "CN" in at else ""
    elevation = _elevation(fields[at["HGHT"]], path, line) if "HGHT" in at else None
    return int(key_text), Station(name or None, parse_dms(fields[at["LAT"]], "latitude", path, line),
                                  parse_dms(fields[at["LON"]], "longitude", path, line), elevation, country or None)


def read_eca_table(path):
    """ECA&D's ``stations.txt`` (keyed by STAID) or ``sources.txt`` (keyed by SOUID).

    A header of prose, then a comma-separated table found by its column line
    (STAID, STANAME, CN, LAT, LON, HGHT; or SOUID, SOUNAME, ...). Returns
    ``(key name, {key: Station})``; any bad row refuses the file.

    >>> import pathlib, tempfile
    >>> with tempfile.TemporaryDirectory() as d:
    ...     p = pathlib.Path(d, "stations.txt")
    ...     _ = p.write_text("About the stations\\n\\nSTAID,STANAME,CN,LAT,LON,HGHT\\n"
    ...                      "  123,SAMPLETOWN ,XX,+51:28:40,-000:18:45,  14\\n")
    ...     read_eca_table(p)
    ('STAID', {123: Station(full_name='SAMPLETOWN', lat=51.477778, lon=-0.3125, elevation=14.0, country='XX')})
    """
    lines = _lines(path)
    start, names = _eca_columns(lines, path)
    key = "SOUID" if "SOUID" in names else "STAID"
    at = {"key": names[key], "key_name": key, "LAT": names["LAT"], "LON": names["LON"]}
    at.update({n: names[n] for n in ("CN", "HGHT") if n in names})
    name = next((n for n in ("SOUNAME", "STANAME") if n in names), None)
    if name:
        at["name"] = names[name]
    table = {}
    first_line = {}
    for lineno, line in enumerate(lines[start + 1:], start + 2):
        if not line.strip():
            continue
        fields = line.split(",")
        if len(fields) != len(names):
            _refuse(path, lineno, f"expected {len(names)} comma-separated fields, found {len(fields)}")
        k, station = _eca_row(fields, at, path, lineno)
        if k in table:
            _refuse(path, lineno, f"{key} {k} repeats line {first_line[k]}")
        table[k], first_line[k] = station, lineno
    return key, table


def read_ghcn_stations(path):
    """GHCN-Daily's ``ghcnd-stations.txt``, keyed by station ID.

    Fixed columns (1-based): ID 1-11, LATITUDE 13-20, LONGITUDE 22-30,
    ELEVATION 32-37 (-999.9 unknown), STATE 39-40, NAME 42-71, then flags and
    the WMO ID, which are not kept. The country is the ID's first two
    characters, a FIPS code.

    >>> import pathlib, tempfile
    >>> with tempfile.TemporaryDirectory() as d:
    ...     p = pathlib.Path(d, "ghcnd-stations.txt")
    ...     _ = p.write_text("XX000099999  51.4778   -0.3125   14.0    SAMPLETOWN\\n")
    ...     read_ghcn_stations(p)
    {'XX000099999': Station(full_name='SAMPLETOWN', lat=51.4778, lon=-0.3125, elevation=14.0, country='XX')}
    """
    table = {}
    first_line = {}
    for lineno, line in enumerate(_lines(path), 1):
        if not line.strip():
            continue
        if len(line.rstrip()) < 37 or not line[:11].strip():
            _refuse(path, lineno, "expected ID (columns 1-11), LATITUDE (13-20), LONGITUDE (22-30), ELEVATION (32-37)")
        station_id = line[:11].strip()
        lat = _position(_number(line[12:20], "latitude", path, lineno), "latitude", path, lineno)
        lon = _position(_number(line[21:30], "longitude", path, lineno), "longitude", path, lineno)
        elevation = _elevation(line[31:37], path, lineno)
        if station_id in table:
            _refuse(path, lineno, f"station {station_id} repeats line {first_line[station_id]}")
        table[station_id] = Station(line[41:71].strip() or None, lat, lon, elevation, station_id[:2])
        first_line[station_id] = lineno
    return table


# Metadata files read once per process: a batch looks up many stations in the same few files.
_CACHE = {}


def read_metadata_file(path):
    """A metadata file of any published layout, told apart by its content (a renamed file is fine).

    Returns ``(key name, {key: Station})``: 'STAID' (stations.txt), 'SOUID'
    (sources.txt) or 'ID' (ghcnd-stations.txt). Kept for later calls while the
    file's size and modification time stay the same: the tables are shared,
    so callers must not change them.
    """
    try:
        st = os.stat(path)
    except OSError as e:
        raise KitError(path, None, f"cannot read: {e.strerror or e}") from None
    stamp = (os.path.realpath(path), st.st_size, st.st_mtime_ns)
    if stamp not in _CACHE:
        # By name as well, so that an ECA&D file without its column line is refused as one.
        if (os.path.basename(path) in ECA_FILES
                or any(_is_eca_column_line(line) for line in _lines(path)[:HEAD])):
            _CACHE[stamp] = read_eca_table(path)
        else:
            _CACHE[stamp] = ("ID", read_ghcn_stations(path))
    return _CACHE[stamp]


def _is_eca_column_line(line):
    names = {n.strip().upper() for n in line.split(",")}
    return {"LAT", "LON"} <= names and bool({"STAID", "SOUID"} & names)


def _eca_header(path):
    """The ``Header`` of an ECA&D series file: its naming sentence and its first data row."""
    staid = souid = first_souid = None
    name = country = None
    lines = _lines(path)
    for i, line in enumerate(lines[:HEAD]):
        m = ECA_NAMING.search(line)
        if m:
            souid, staid = int(m.group(1)) if m.group(1) else None, int(m.group(3))
            name, _, country = m.group(2).rpartition(",")
            if not name:                # no comma: the sentence names the station only
                name, country = country, ""
        if ECA_SERIES_COLUMNS.match(line):
            columns = [c.strip().upper() for c in line.split(",")]
            row = next((r.split(",") for r in lines[i + 1:] if r.strip()), None)
            if row is not None and len(row) == len(columns):
                ids = {c: v.strip() for c, v in zip(columns, row) if c in ("STAID", "SOUID")}
                first_souid = int(ids["SOUID"]) if _whole(ids.get("SOUID", "")) else None
                if staid is None and _whole(ids.get("STAID", "")):
                    staid = int(ids["STAID"])
            break
    station = Station(full_name=(name or "").strip() or None, country=(country or "").strip() or None)
    return Header(station, staid, souid, None, first_souid)


def _ghcn_header(path):
    """The ``Header`` of a GHCN-Daily ``.dly`` file: the ID its lines begin with, whose first two characters
    are the country."""
    first = next((line for line in _lines(path) if line.strip()), "")
    station_id = first[:11].strip()
    if len(station_id) != 11:
        return Header()
    return Header(Station(country=station_id[:2]), ghcn_id=station_id)


def _format(path, fmt):
    return detect_format(path) if fmt is None else fmt


def read_header(path, fmt=None):
    """What a station file says about itself, as a ``Header``; ``fmt`` detected when None.

    ECA&D series name the station, its country and identifiers in their
    header; a GHCN-Daily ``.dly`` file gives its station ID (and so the
    country); the other layouts carry no metadata.
    """
    fmt = _format(path, fmt)
    if fmt == "eca":
        return _eca_header(path)
    if fmt == "ghcn":
        return _ghcn_header(path)
    return Header()


def metadata_beside(path, fmt=None):
    """The published metadata files in the station file's folder that fit its layout, as paths."""
    names = {"eca": ECA_FILES, "ghcn": (GHCN_FILE,)}.get(_format(path, fmt), ())
    folder = os.path.dirname(os.path.abspath(path))
    return [os.path.join(folder, n) for n in names if os.path.isfile(os.path.join(folder, n))]


def _lookup(header, files):
    """The entries for the station ``header`` names in the metadata ``files``, most specific first."""
    tables = {}
    for f in files:
        key, table = read_metadata_file(f)
        tables.setdefault(key, []).append(table)
    # A series of one source is described best by that source's row; a blended
    # series by its station's row, then by the source its first day comes from.
    order = [("STAID", header.staid), ("SOUID", header.first_souid)]
    if header.souid is not None:
        order = [("SOUID", header.souid)] + order
    order.append(("ID", header.ghcn_id))
    found = []
    for key, value in order:
        if value is not None:
            found += [t[value] for t in tables.get(key, ()) if value in t]
    return found


def find_metadata(path, fmt=None, metadata=None, header=None):
    """The metadata files' ``Station`` for station file ``path`` (empty where they do not list it).

    ``metadata``: a metadata file, or a list of them, named by the user;
    without it, the published files beside the station file (``stations.txt``
    and ``sources.txt`` beside an ECA&D series, ``ghcnd-stations.txt`` beside
    a ``.dly`` file). ``header``: the file's ``read_header``, when already read.
    """
    fmt = _format(path, fmt)
    if header is None:
        header = read_header(path, fmt)
    if metadata is None:
        files = metadata_beside(path, fmt)
    else:
        files = [metadata] if isinstance(metadata, (str, os.PathLike)) else list(metadata)
    return merge(*_lookup(header, files))


def station_metadata(path, fmt=None, explicit=None, metadata=None):
    """A station's metadata: ``explicit`` over the metadata files over the file's own header.

    ``explicit``: a ``Station`` from ``explicit_metadata`` (the station list's
    columns) or None; ``metadata`` as for ``find_metadata``. Each field comes
    from the first of the three that gives it.

    >>> import pathlib, tempfile
    >>> with tempfile.TemporaryDirectory() as d:
    ...     p = pathlib.Path(d, "XX000099999.dly")
    ...     _ = p.write_text("XX000099999200001TMAX" + "-9999   " * 31 + "\\n")
    ...     _ = pathlib.Path(d, "ghcnd-stations.txt").write_text(
    ...         "XX000099999  51.4778   -0.3125   14.0    SAMPLETOWN\\n")
    ...     station_metadata(p, explicit=Station(full_name="Sampletown Park"))
    Station(full_name='Sampletown Park', lat=51.4778, lon=-0.3125, elevation=14.0, country='XX')
    """
    fmt = _format(path, fmt)
    header = read_header(path, fmt)
    found = find_metadata(path, fmt, metadata, header)
    return merge(explicit, found, header.station)
