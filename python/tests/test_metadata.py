"""Station metadata: positions read right, bad values refused at their line, the right source wins."""

import random
import shutil

import pytest

from conftest import DATA, damaged_text
from vordakit.errors import KitError
from vordakit.formats import metadata
from vordakit.formats.metadata import Station

META = DATA / "metadata"

# (ECA&D degrees:minutes:seconds, what, decimal degrees)
GOOD_DMS = [
    ("+51:28:40", "latitude", 51.477778),
    ("-000:18:45", "longitude", -0.3125),           # the sign of a zero-degree angle is the minutes'
    ("-33:52:04", "latitude", -33.867778),
    ("+151:12:36", "longitude", 151.21),
    ("-000:00:30", "latitude", -0.008333),
    ("-000:00:00", "latitude", 0.0),
    ("+90:00:00", "latitude", 90.0),
    ("-180:00:00", "longitude", -180.0),
    ("12:07:30.5", "longitude", 12.125139),         # no sign is north or east; tenths of a second
]


@pytest.mark.parametrize("text,what,degrees", GOOD_DMS, ids=[g[0] for g in GOOD_DMS])
def test_dms_to_decimal_degrees(text, what, degrees):
    assert metadata.parse_dms(text, what) == degrees


def test_table_cells_show_zero_without_sign_and_numbers_without_trailing_zeros():
    station = Station(lat=metadata.parse_dms("-000:00:00"), lon=-0.3125, elevation=14.0)
    assert station.columns() == {"full_name": "", "lat": "0", "lon": "-0.3125", "elevation": "14", "country": ""}


STATION_ROW = "99999,SAMPLETOWN,XX,{lat},{lon},{hght}"
ECA_HEAD = "A sample\n\nSTAID,STANAME,CN,LAT,LON,HGHT\n12,OTHERVILLE,YY,-33:52:04,+151:12:36,39\n"
GHCN_GOOD = "XX000099999  51.4778   -0.3125   14.0    SAMPLETOWN\n"
# (case, file name, text, line of the fault, reason)
BAD = [
    ("latitude beyond 90", "stations.txt",
     ECA_HEAD + STATION_ROW.format(lat="+90:00:01", lon="+001:00:00", hght=3), 5,
     "latitude 90.000278 is beyond +-90"),
    ("longitude beyond 180", "stations.txt",
     ECA_HEAD + STATION_ROW.format(lat="+50:00:00", lon="-180:00:01", hght=3), 5,
     "longitude -180.000278 is beyond +-180"),
    ("minutes 60", "stations.txt", ECA_HEAD + STATION_ROW.format(lat="+51:60:00", lon="+001:00:00", hght=3), 5,
     "latitude '+51:60:00': minutes must be below 60"),
    ("seconds 60", "stations.txt", ECA_HEAD + STATION_ROW.format(lat="+51:00:00", lon="+001:00:60", hght=3), 5,
     "longitude '+001:00:60': seconds must be below 60"),
    ("decimal degrees in a DMS column", "stations.txt",
     ECA_HEAD + STATION_ROW.format(lat="51.5", lon="+001:00:00", hght=3), 5,
     "latitude '51.5': expected degrees:minutes:seconds such as +51:28:40"),
    ("junk in a DMS column", "stations.txt",
     ECA_HEAD + STATION_ROW.format(lat="+51:2x:00", lon="+001:00:00", hght=3), 5,
     "latitude '+51:2x:00': expected degrees:minutes:seconds such as +51:28:40"),
    ("height not a number", "stations.txt",
     ECA_HEAD + STATION_ROW.format(lat="+51:00:00", lon="+001:00:00", hght="1O"), 5,
     "elevation '1O' is not a number"),
    ("a field short", "stations.txt", ECA_HEAD + "\n99999,SAMPLETOWN,XX,+51:00:00,+001:00:00\n", 6,
     "expected 6 comma-separated fields, found 5"),
    ("a station twice", "stations.txt", ECA_HEAD + "12,OTHERVILLE,YY,-33:52:04,+151:12:36,39\n", 5,
     "STAID 12 repeats line 4"),
    ("identifier not a number", "stations.txt", ECA_HEAD + "9²,X,XX,+51:00:00,+001:00:00,3\n", 5,
     "expected a whole number for STAID, found '9²'"),
    ("no column line", "stations.txt", "STAID: station identifier\n", None,
     "no column line naming STAID (or SOUID), LAT and LON found"),
    ("source latitude", "sources.txt", "x\nSTAID,SOUID,SOUNAME,CN,LAT,LON,HGHT\n9,77,S,XX,+95:00:00,+001:00:00,3\n",
     3, "latitude 95 is beyond +-90"),
    ("GHCN latitude beyond 90", "ghcnd-stations.txt",
     GHCN_GOOD + "XX000000001 -90.0001   -0.3125   14.0    SOUTH\n", 2, "latitude -90.0001 is beyond +-90"),
    ("GHCN longitude beyond 180", "ghcnd-stations.txt",
     GHCN_GOOD + "XX000000001  10.0000  180.5000   14.0    EAST\n", 2, "longitude 180.5 is beyond +-180"),
    ("GHCN elevation junk", "ghcnd-stations.txt",
     GHCN_GOOD + "XX000000001  10.0000   10.0000   n/a     X\n", 2, "elevation 'n/a' is not a number"),
    ("GHCN latitude junk", "ghcnd-stations.txt",
     GHCN_GOOD + "XX000000001  1O.0000   10.0000   14.0    X\n", 2, "latitude '1O.0000' is not a number"),
    ("GHCN line cut short", "ghcnd-stations.txt", "\n" + GHCN_GOOD + "XX000000001  10.0000   10.0000\n", 3,
     "expected ID (columns 1-11), LATITUDE (13-20), LONGITUDE (22-30), ELEVATION (32-37)"),
]


@pytest.mark.parametrize("case,name,text,line,reason", BAD, ids=[b[0] for b in BAD])
def test_bad_metadata_file_refused_at_its_line(tmp_path, case, name, text, line, reason):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(KitError) as e:
        metadata.read_metadata_file(path)
    assert str(e.value) == (f"{path}:{line}: {reason}" if line else f"{path}: {reason}")


PIECES = ["", " ", ",", ":", "-", "+", ".", "9", "60", "-999.9", "1e999", "nan", "_", "\x00", "\ufeff", "é", "²",
          "\r", "STAID", "LAT", "(STAID: 7)"]


# (file damaged, its folder, what reads it)
DAMAGED = [(META / "stations.txt", metadata.read_eca_table), (META / "sources.txt", metadata.read_eca_table),
           (META / "ghcnd-stations.txt", metadata.read_ghcn_stations),
           (DATA / "eca_tg.txt", lambda p: metadata.station_metadata(p, fmt="eca")),
           (DATA / "ghcn.dly", lambda p: metadata.station_metadata(p, fmt="ghcn"))]


@pytest.mark.parametrize("sample,read", DAMAGED, ids=[d[0].name for d in DAMAGED])
def test_damaged_file_gives_a_clear_error_or_metadata(tmp_path, sample, read):
    rng = random.Random(sample.name)
    lines = sample.read_text().splitlines()
    path = tmp_path / sample.name
    for name in ("stations.txt", "sources.txt", "ghcnd-stations.txt"):
        if name != sample.name:
            shutil.copy(META / name, tmp_path / name)
    for _ in range(200):
        path.write_text(damaged_text(lines, rng, PIECES))
        try:
            read(path)
        except KitError as e:
            assert str(e).startswith(f"{path}") and e.reason


# (case, the station list's columns as written, message)
BAD_EXPLICIT = [
    ("latitude beyond 90", {"lat": "-91"}, "latitude -91 is beyond +-90"),
    ("longitude beyond 180", {"lat": "1", "lon": "181.5"}, "longitude 181.5 is beyond +-180"),
    ("latitude as DMS", {"lat": "+51:28:40"}, "latitude '+51:28:40' is not a number"),
    ("longitude not finite", {"lon": "nan"}, "longitude 'nan' is not a number"),
    ("elevation with a unit", {"elevation": "14 m"}, "elevation '14 m' is not a number"),
    ("elevation with an underscore", {"elevation": "1_000"}, "elevation '1_000' is not a number"),
]


@pytest.mark.parametrize("case,values,reason", BAD_EXPLICIT, ids=[b[0] for b in BAD_EXPLICIT])
def test_bad_station_list_value_refused_at_its_line(case, values, reason):
    with pytest.raises(KitError) as e:
        metadata.explicit_metadata(values, "stations.tsv", 7)
    assert str(e.value) == f"stations.tsv:7: {reason}"


def test_published_files_read_by_content():
    key, stations = metadata.read_metadata_file(META / "stations.txt")
    assert key == "STAID" and stations == {
        12: Station("OTHERVILLE", -33.867778, 151.21, 39.0, "YY"),
        99999: Station("SAMPLETOWN", 51.477778, -0.3125, 14.0, "XX"),
        314: Station("FARPOINT", -89.999722, -179.999722, None, "ZZ")}
    key, sources = metadata.read_metadata_file(META / "sources.txt")
    assert key == "SOUID" and sources[123457] == Station("SAMPLETOWN HILL", 51.5, -0.291667, 52.0, "XX")
    key, ghcn = metadata.read_metadata_file(META / "ghcnd-stations.txt")
    # Every field of the second row fills its columns: a column read one place off changes a value.
    assert key == "ID" and ghcn == {
        "XX000099999": Station("SAMPLETOWN", 51.4778, -0.3125, 14.0, "XX"),
        "YY000000012": Station("A STATION NAME OF THIRTY CHARS", -12.3456, -123.4567, 1234.5, "YY"),
        "ZZ000000314": Station("NOHEIGHT", 0.0, 9.5, None, "ZZ")}


@pytest.mark.parametrize("encoding", ["utf-8", "latin-1"])
def test_station_names_read_in_either_encoding(tmp_path, encoding):
    path = tmp_path / "stations.txt"
    path.write_bytes("STAID,STANAME,CN,LAT,LON,HGHT\n5,VÄXJÖ,SE,+56:52:00,+014:48:00,166\n".encode(encoding))
    assert metadata.read_eca_table(path)[1][5].full_name == "VÄXJÖ"


def _station_folder(tmp_path, sample, beside):
    for name in beside:
        shutil.copy(META / name, tmp_path / name)
    shutil.copy(DATA / sample, tmp_path / sample)
    return tmp_path / sample


# (case, station file, metadata files beside it, what is found)
BESIDE = [
    ("ECA&D series beside stations.txt", "eca_tg.txt", ["stations.txt", "sources.txt"],
     Station("SAMPLETOWN", 51.477778, -0.3125, 14.0, "XX")),
    ("ECA&D series beside sources.txt only: the source of its first day", "eca_tg.txt", ["sources.txt"],
     Station("SAMPLETOWN AIRFIELD", 51.486111, -0.318056, 16.0, "XX")),
    ("ECA&D series alone: its header", "eca_tg.txt", [], Station("SAMPLETOWN", country="NOWHERELAND")),
    ("GHCN-Daily file beside ghcnd-stations.txt", "ghcn.dly", ["ghcnd-stations.txt"],
     Station("SAMPLETOWN", 51.4778, -0.3125, 14.0, "XX")),
    ("GHCN-Daily file alone: the country of its ID", "ghcn.dly", [], Station(country="XX")),
    ("a layout without metadata ignores files beside it", "cet.txt", ["stations.txt", "ghcnd-stations.txt"],
     Station()),
]


@pytest.mark.parametrize("case,sample,beside,expected", BESIDE, ids=[b[0] for b in BESIDE])
def test_metadata_found_beside_the_station_file(tmp_path, case, sample, beside, expected):
    path = _station_folder(tmp_path, sample, beside)
    assert metadata.station_metadata(path) == expected


def test_metadata_file_named_explicitly_replaces_those_beside(tmp_path):
    path = _station_folder(tmp_path, "eca_tg.txt", ["stations.txt"])
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "my-stations.txt").write_text("STAID,STANAME,CN,LAT,LON,HGHT\n99999,ELSEWHERE,QQ,+10:00:00,"
                                               "+020:00:00,5\n")
    assert metadata.station_metadata(path, metadata=elsewhere / "my-stations.txt") == Station(
        "ELSEWHERE", 10.0, 20.0, 5.0, "QQ")


def test_series_of_one_source_takes_that_source(tmp_path):
    path = _station_folder(tmp_path, "eca_tg.txt", ["stations.txt", "sources.txt"])
    text = path.read_text().replace("This is the blended series of station",
                                    "This is the series (SOUID: 123457) of station")
    path.write_text(text.replace("STAID, SOUID,", "SOUID,").replace("99999,123456,", "123457,"))
    assert metadata.read_header(path).souid == 123457
    assert metadata.station_metadata(path) == Station("SAMPLETOWN HILL", 51.5, -0.291667, 52.0, "XX")


def test_each_field_from_the_first_place_that_gives_it(tmp_path):
    """The station list over the metadata files over the file's header, field by field."""
    path = _station_folder(tmp_path, "eca_tg.txt", ["stations.txt"])
    explicit = metadata.explicit_metadata({"full_name": "Sampletown Park", "lat": "", "lon": "-0.3",
                                           "elevation": "", "country": ""})
    assert metadata.station_metadata(path, explicit=explicit) == Station("Sampletown Park", 51.477778, -0.3,
                                                                         14.0, "XX")
    # Without stations.txt the header's name and country come through, the list's values still first.
    (tmp_path / "stations.txt").unlink()
    assert metadata.station_metadata(path, explicit=explicit) == Station("Sampletown Park", None, -0.3, None,
                                                                         "NOWHERELAND")
