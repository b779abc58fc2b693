"""A batch with station metadata: the metadata in its tables, stations.nc and stations-trend.nc holding
the tables' values as CF timeSeries, and the station maps."""

import collections
import csv
import math
import shutil

import numpy as np
import pytest

from conftest import DATA
from runkit import EXAMPLE, kit
from vordakit import catalogue

xr = pytest.importorskip("xarray")
pytest.importorskip("netCDF4")

HEADER = "file\tname\ttype\tthreshold\tmin_duration\tpercentile\tbase\tbootstrap\tfull_name\tlat\tlon\n"
# Explicit metadata for ex and exp; eca names itself only: its position comes from stations.txt beside it;
# broken fails, with the metadata its row gives.
ROWS = (f"{EXAMPLE}\tex\tupper\t16.25\t3\t\t\t\tExample Town\t52.5\t13.4\n"
        f"{EXAMPLE}\tex\tlower\t2.0\t3\t\t\t\t\t52.5\t\n"
        f"{EXAMPLE}\texp\tupper\t\t3\t90\t2001-2005\tyes\t\t48.1\t11.6\n"
        "data/eca_tg.txt\teca\tlower\t0.0\t3\t\t\t\tSampletown Park\t\t\n"
        "bad.txt\tbroken\tupper\t1.0\t2\t\t\t\tNowhere\t10\t10\n")


@pytest.fixture(scope="module")
def batch(vorda, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("stations")
    (tmp / "data").mkdir()
    for name in ("stations.txt", "sources.txt"):
        shutil.copyfile(DATA / "metadata" / name, tmp / "data" / name)
    shutil.copyfile(DATA / "eca_tg.txt", tmp / "data" / "eca_tg.txt")
    (tmp / "bad.txt").write_text("1 1 1 2000 1.5\n2 2 1 2000 x\n")
    (tmp / "s.tsv").write_text(HEADER + ROWS)
    proc = kit("batch", tmp / "s.tsv", "-o", tmp / "out", "-j", 2, vorda=vorda, cwd=tmp, text=True)
    assert proc.returncode == 1, proc.stderr
    return tmp / "out"


def table(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def test_metadata_in_summary_and_every_combined_table(batch):
    summary = {r["station"]: r for r in table(batch / "summary.csv")}
    meta = {s: tuple(r[c] for c in ("full_name", "lat", "lon", "elevation", "country")) for s, r in summary.items()}
    assert meta == {"ex": ("Example Town", "52.5", "13.4", "", ""), "exp": ("", "48.1", "11.6", "", ""),
                    # the list's name over stations.txt's, whose position, height and country fill the rest
                    "eca": ("Sampletown Park", "51.477778", "-0.3125", "14", "XX"),
                    "broken": ("Nowhere", "10", "10", "", "")}
    for name in ("yearly.csv", "events.csv", "trend.csv"):
        rows = table(batch / name)
        assert rows and all(tuple(r[c] for c in ("full_name", "lat", "lon", "elevation", "country"))
                            == meta[r["station"]] for r in rows), name


def series_of(ds, row):
    """The series of ``ds`` that a table row belongs to."""
    hit = np.flatnonzero((ds["station"].values == row["station"]) & (ds["input"].values == row["input"])
                         & (ds["threshold_type"].values == row["type"]))
    assert len(hit) == 1, row
    return hit[0]


def test_stations_nc_holds_the_tables_values_as_cf_time_series(batch):
    with xr.open_dataset(batch / "stations.nc", decode_timedelta=False) as ds:
        ds.load()
    assert ds.attrs["Conventions"] == "CF-1.8" and ds.attrs["featureType"] == "timeSeries"
    assert ds["series_id"].attrs["cf_role"] == "timeseries_id" and len(set(ds["series_id"].values)) == 4
    assert (ds["lat"].attrs["units"], ds["lon"].attrs["standard_name"]) == ("degrees_north", "longitude")
    for key in ("ndays", "wsdi", "csdi", "sgs", "lfd") + tuple(s.key for s in catalogue.SUMMARY):
        long_name, units, method = catalogue.grid_attrs(key)
        v = ds[key]
        assert (v.attrs["long_name"], v.attrs["units"], v.attrs["cell_methods"]) == (
            long_name, units or "degC days", method), key
        assert {"lat", "lon", "station"} <= set(v.encoding["coordinates"].split()), key
    # A station by its name: its runs.
    ex = ds.set_xindex("station").sel(station="ex")
    assert sorted(ex["threshold_type"].values) == ["lower", "upper"] and (ex["lat"] == 52.5).all()
    assert "broken" not in ds["station"].values
    years = {int(y): i for i, y in enumerate(ds["year"].values)}
    yearly = table(batch / "yearly.csv")
    # The run's setting: the threshold as given (the tables' threshold_used), or the percentile's.
    settings = {" ".join(str(ds[k].values[series_of(ds, r)]) for k in (
        "threshold", "percentile", "base_period", "window_days", "min_duration", "bootstrap")) for r in yearly}
    assert settings == {"16.25 nan  nan 3 0", "2.0 nan  nan 3 0", "0.0 nan  nan 3 0", "nan 90.0 2001-2005 5.0 3 1"}
    for r in yearly:
        got = ds[catalogue.BY_NAME[r["index"]].key].values[series_of(ds, r), years[int(r["year"])]]
        assert (math.isnan(got) and r["value"] == "") or got == float(r["value"]), r
    # The event summary: the events of events.csv by the year of their date; none in a bootstrap's base years.
    boot = {(series_of(ds, r), years[int(r["year"])]) for r in yearly if r["bootstrap"]}
    found = collections.defaultdict(list)
    for r in table(batch / "events.csv"):
        found[series_of(ds, r), years[int(r["date"][:4])]].append((int(r["duration"]), float(r["action"])))
    for s, y in {(series_of(ds, r), years[int(r["year"])]) for r in yearly}:
        ev = found[s, y]
        want = (math.nan,) * 5 if (s, y) in boot else (
            len(ev), sum(d for d, _ in ev), sum(a for _, a in ev), max((a for _, a in ev), default=math.nan),
            max((d for d, _ in ev), default=0))
        got = tuple(ds[k].values[s, y] for k in ("events", "event_days", "action_sum", "action_max",
                                                 "longest_event"))
        assert np.allclose(got, want, equal_nan=True, rtol=0, atol=1e-9), (s, y, got, want)
    assert boot and found


def test_trends_per_series_and_a_map_per_index(batch):
    with xr.open_dataset(batch / "stations-trend.nc", decode_timedelta=False) as ds:
        ds.load()
    rows = table(batch / "trend.csv")
    assert rows
    for r in rows:
        key = catalogue.BY_NAME[r["index"]].key
        for suffix, column in (("slope", "slope_per_decade"), ("p", "p_value")):
            got = ds[f"{key}_{suffix}"].values[series_of(ds, r)]
            assert (math.isnan(got) and r[column] == "") or got == float(r[column]), (r, suffix)
    assert ds["ndays_slope"].attrs["units"] == "days/(10 year)"
    # Every index some station with a position gives (eca's lower run gives none of the upper ones).
    assert sorted(p.name for p in batch.glob("stations-*.png")) == [
        f"stations-{k}.png" for k in sorted(("ndays", "wsdi", "csdi", "sgs", "lfd"))]


@pytest.mark.parametrize("position,options", [("", ()), ("52.5", ("--no-plots",))],
                         ids=["no position", "no plots"])
def test_no_map_without_positions_or_plots_and_an_earlier_one_removed(vorda, tmp_path, position, options):
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "stations-ndays.png").write_bytes(b"an earlier batch's map")
    (tmp_path / "s.tsv").write_text("file\tname\ttype\tthreshold\tmin_duration\tlat\tlon\n"
                                    f"{EXAMPLE}\tex\tupper\t18.0\t3\t{position}\t{position}\n")
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", *options, vorda=vorda, text=True)
    assert proc.returncode == 0, proc.stderr
    assert not list((tmp_path / "out").glob("stations-*.png"))
    with xr.open_dataset(tmp_path / "out" / "stations.nc", decode_timedelta=False) as ds:
        assert list(ds["lat"].fillna(-1).values) == [float(position or -1)] and list(ds["station"].values) == ["ex"]


BAD = [
    ("latitude beyond 90", "full_name\tlat\n", "\t90.5\n", "", "s.tsv:2: latitude 90.5 is beyond +-90"),
    ("longitude not a number", "lon\n", "13,4\n", "", "s.tsv:2: longitude '13,4' is not a number"),
    ("rows disagree", "lat\n", "52\n", "53\n", "s.tsv:3: lat 53 of station 'ex' differs from 52"),
]


@pytest.mark.parametrize("case,columns,first,second,said", BAD, ids=[b[0] for b in BAD])
def test_bad_list_metadata_refused_before_any_station(vorda, tmp_path, case, columns, first, second, said):
    row = f"{EXAMPLE}\tex\tupper\t18.0\t3\t"
    text = "file\tname\ttype\tthreshold\tmin_duration\t" + columns + row + first
    if second:
        text += row.replace("upper", "lower") + second
    (tmp_path / "s.tsv").write_text(text)
    proc = kit("batch", "s.tsv", "-o", "out", vorda=vorda, cwd=tmp_path, text=True)
    assert proc.returncode == 2 and said in proc.stderr, proc.stderr
    assert not (tmp_path / "out").exists()


def test_metadata_file_named_by_option_replaces_those_beside_and_is_checked_first(vorda, tmp_path):
    shutil.copyfile(DATA / "eca_tg.txt", tmp_path / "eca_tg.txt")
    shutil.copyfile(DATA / "metadata" / "stations.txt", tmp_path / "stations.txt")
    (tmp_path / "s.tsv").write_text("file\tname\ttype\tthreshold\tmin_duration\neca_tg.txt\teca\tlower\t0.0\t3\n")
    (tmp_path / "bad.txt").write_text("STAID,STANAME,CN,LAT,LON,HGHT\n99999,X,XX,+91:00:00,+001:00:00,3\n")
    proc = kit("batch", "s.tsv", "-o", "out", "--metadata", "bad.txt", vorda=vorda, cwd=tmp_path, text=True)
    assert proc.returncode == 2 and "bad.txt:2: latitude 91 is beyond +-90" in proc.stderr, proc.stderr
    assert not (tmp_path / "out").exists()
    proc = kit("batch", "s.tsv", "-o", "out", "--no-plots", "--metadata", DATA / "metadata" / "sources.txt",
               vorda=vorda, cwd=tmp_path, text=True)
    assert proc.returncode == 0, proc.stderr
    # A blended series takes the row of the source its first day comes from in sources.txt.
    row = table(tmp_path / "out" / "summary.csv")[0]
    assert (row["full_name"], row["lat"], row["elevation"]) == ("SAMPLETOWN AIRFIELD", "51.486111", "16")


def test_station_map_rings_the_significant_slopes_and_labels_its_units():
    from vordakit import maps

    slope, p = [2.0, -1.0, np.nan, 5.0], [0.01, 0.2, np.nan, 0.049]
    ds = xr.Dataset(
        {"ndays_slope": ("series", slope, {"units": "days/(10 year)"}), "ndays_p": ("series", p),
         "threshold_type": ("series", np.array(["upper"] * 4, object)), "threshold": ("series", [18.0] * 4),
         "percentile": ("series", [np.nan] * 4), "base_period": ("series", np.array([""] * 4, object)),
         "window_days": ("series", [np.nan] * 4), "min_duration": ("series", [3] * 4)},
        {"station": ("series", np.array(list("abcd"), object)),
         "lat": ("series", [50.0, 51.0, 52.0, np.nan], {"units": "degrees_north", "long_name": "latitude"}),
         "lon": ("series", [5.0, 6.0, 7.0, 8.0], {"units": "degrees_east", "long_name": "longitude"})})
    fig = maps.station_map_figure(ds, "ndays")
    ax = fig.axes[0]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("longitude (degrees_east)", "latitude (degrees_north)")
    assert fig.axes[-1].get_ylabel() == "Sen slope per decade (days/(10 year))"
    # a and b coloured by their slope (d has no position), a ringed; c without a trend crossed.
    coloured = next(c for c in ax.collections if c.get_array() is not None and len(c.get_array()))
    assert list(coloured.get_array()) == [2.0, -1.0]
    assert [tuple(e) for e in coloured.get_edgecolors()] == [(0, 0, 0, 1), (0, 0, 0, 0)]
    assert maps.station_map_figure(ds.assign(lat=ds["lat"] * np.nan), "ndays") is None
