"""A batch's fast paths give what the plain computation gives, on random inputs: stations.nc and
stations-trend.nc made from whole columns of the combined tables, a station's trends fitted in one pass."""

import collections
import csv
import math

import numpy as np
import pytest

from vordakit import catalogue, station_netcdf, trend
from vordakit.batch import LEAD_FIELDS
from vordakit.model import EVENT_FIELDS, YEARLY_FIELDS, YearlyRecord
from vordakit.station import Outcome

pytest.importorskip("xarray")

CASES = ["gaps in the years", "percentile run", "bootstrap run", "ties", "short series", "constant values"]
# Lines of a table that its own writer would not write.
EDITED = {"a cell too many": "a,,,,,,a.txt,upper,20.0,3,1.0,1955-01-02,,,4,2.5,,,,,x\n",
          "a quote left open": 'a,,,,,,a.txt,upper,20.0,3,1.0,1955-01-02,,,4,"2.5,,,,,\n'}
STATIONS = ("a", "b, east", "c")   # a name with a comma is quoted in the tables
INDICES = {"upper": ("ndays", "WSDI", "SGS"), "lower": ("ndays", "CSDI", "LFD")}


def _runs(case):
    fixed = {"percentile": "", "base": "", "window": ""}
    if case == "percentile run":
        return [{"type": t, "threshold": "", "threshold_used": "", "percentile": p, "base": "1961-1990",
                 "window": "5"} for t, p in (("upper", "90"), ("lower", "10"), ("upper", "95"))]
    return [{"type": "upper", "threshold": "20.0", "threshold_used": "20.05", **fixed},
            {"type": "lower", "threshold": "2.0", "threshold_used": "", **fixed},
            {"type": "upper", "threshold": "25.0", "threshold_used": "", **fixed}]


def _years(case, rng):
    n = 8 if case == "short series" else int(rng.integers(20, 60))
    years = np.arange(1950, 1950 + n)
    if case == "gaps in the years":
        years = years[rng.random(n) > 0.3]
    return years.tolist()


def _value(case, rng, index):
    if case == "constant values":
        return 7
    if case == "ties":
        return int(rng.integers(0, 3))
    if rng.random() < 0.1:
        return catalogue.BY_NAME[index].no_value if index in ("SGS", "LFD") else ""
    return int(rng.integers(0, 200))


def _combined_tables(case, folder):
    """yearly.csv, events.csv and trend.csv of three stations of two runs each, in ``folder``."""
    rng = np.random.default_rng(len(case))
    tables = collections.defaultdict(list)
    for station in STATIONS:
        for run in _runs(case):
            lead = {"station": station, "input": f"{station}.txt", "min_duration": "3", **run}
            years = _years(case, rng)
            for index in INDICES[run["type"]]:
                for year in years + ([years[-1]] if case == "ties" else []):   # a year given twice
                    boot = "yes" if case == "bootstrap run" and year < 1960 else ""
                    value = _value(case, rng, index)
                    if boot and value != "":
                        value = f"{value + 0.25:.2f}"   # a bootstrap's mean
                    tables["yearly.csv"].append({**lead, "index": index, "year": year, "days": 365 + (year % 4 == 0),
                                                 "bootstrap": boot, "value": value})
                fitted = {c: f"{rng.normal():.6g}" if len(years) > 9 else ""
                          for _, c, _ in station_netcdf.TREND_COLUMNS}
                tables["trend.csv"].append({**lead, "index": index, **fitted})
            for _ in range(int(rng.integers(0, 80))):
                # Some events dated in a year without yearly values, some without a date.
                year = int(rng.integers(1948, 1950 + len(years) + 3))
                duration = int(rng.integers(1, 4 if case == "ties" else 30))
                action = round(float(rng.choice([1.5, -2.25])) * (1 if case == "ties" else rng.random()), 3)
                tables["events.csv"].append({**lead, "date": f"{year:04d}-07-01" if rng.random() > 0.05 else "",
                                             "duration": duration, "action": action if rng.random() > 0.05 else ""})
    if case == "short series":
        tables["yearly.csv"].append({**tables["yearly.csv"][-1], "year": "", "value": "9"})
        tables["events.csv"] = []
    fields = {"yearly.csv": YEARLY_FIELDS, "events.csv": EVENT_FIELDS, "trend.csv": trend.TREND_FIELDS}
    for name, rows in tables.items():
        with open(folder / name, "w", newline="", encoding="utf-8") as f:
            writer = csv.DictWriter(f, LEAD_FIELDS + fields[name])
            writer.writeheader()
            writer.writerows(rows)
            if case in EDITED and name == "events.csv":
                # A station's table edited by hand, kept from an earlier batch by --resume.
                f.write(EDITED[case])


def _number(text):
    return float(text) if text else math.nan


def _row_by_row(folder):
    """The series' keys in order of appearance and every variable's values, taken one row at a time."""
    rows = {}
    for name in ("yearly.csv", "events.csv", "trend.csv"):
        with open(folder / name, newline="", encoding="utf-8") as f:
            rows[name] = list(csv.DictReader(f))
    series = {}
    for r in rows["yearly.csv"] + rows["events.csv"] + rows["trend.csv"]:
        series.setdefault(tuple(r[c] for c in station_netcdf.SERIES_KEY), len(series))
    years = sorted({int(r["year"]) for r in rows["yearly.csv"] if r["year"]})
    grids = collections.defaultdict(lambda: np.full((len(series), len(years)), np.nan))
    boot = np.zeros((len(series), len(years)), bool)
    for r in rows["yearly.csv"]:
        if r["year"]:
            at = series[tuple(r[c] for c in station_netcdf.SERIES_KEY)], years.index(int(r["year"]))
            grids[catalogue.BY_NAME[r["index"]].key][at] = _number(r["value"])
            grids["days"][at] = _number(r["days"])
            boot[at] |= r["bootstrap"] != ""
    have = ~np.isnan(grids["days"]) & ~boot
    for key in ("events", "event_days", "action_sum", "longest_event"):
        grids[key] = np.where(have, 0.0, np.nan)
    grids["action_max"] = np.full(have.shape, np.nan)
    for r in rows["events.csv"]:
        year = int(r["date"][:4]) if r["date"] else None
        at = series[tuple(r[c] for c in station_netcdf.SERIES_KEY)], years.index(year) if year in years else None
        if at[1] is None or not have[at]:
            continue
        grids["events"][at] += 1
        grids["event_days"][at] += _number(r["duration"])
        grids["action_sum"][at] += _number(r["action"])
        grids["action_max"][at] = np.fmax(grids["action_max"][at], _number(r["action"]))
        grids["longest_event"][at] = max(grids["longest_event"][at], _number(r["duration"]))
    for r in rows["trend.csv"]:
        for suffix, column, _ in station_netcdf.TREND_COLUMNS:
            name = f"{catalogue.BY_NAME[r['index']].key}_{suffix}"
            at = series[tuple(r[c] for c in station_netcdf.SERIES_KEY)]
            grids.setdefault(name, np.full(len(series), np.nan))[at] = _number(r[column])
    return list(series), years, dict(grids)


@pytest.mark.parametrize("case", CASES + list(EDITED))
def test_stations_nc_holds_what_the_tables_give_row_by_row(case, tmp_path):
    _combined_tables(case, tmp_path)
    outcomes = [Outcome(name, f"{name}.txt", unit="degC") for name in STATIONS]
    ds, trends = station_netcdf.station_datasets(outcomes, tmp_path)
    keys, years, grids = _row_by_row(tmp_path)
    assert [(k[0], k[1], k[2], int(k[4])) for k in keys] == list(zip(
        ds["station"].values, ds["input"].values, ds["threshold_type"].values, ds["min_duration"].values))
    assert ds["year"].values.tolist() == years
    assert {n for n, v in ds.data_vars.items() if "time" in v.dims} | set(trends.data_vars) - set(ds) == set(grids)
    for name, grid in grids.items():
        np.testing.assert_array_equal((ds if name in ds else trends)[name].values, grid, err_msg=name)
    assert np.nansum(grids["events"]) > 0 or case == "short series"


def _station_records(case, rng):
    """A station's yearly records of two runs, in blocks of one run and index as a station's table holds them."""
    records = []
    for k, run in enumerate(_runs(case)):
        percentile = float(run["percentile"]) if run["percentile"] else None
        head = ("s.txt", run["type"], None if percentile else float(run["threshold"]), 3 + k)
        years = _years(case, rng) if case != "short series" else list(range(2000, 2009 + 2 * (run["type"] == "upper")))
        for index in INDICES[run["type"]]:
            for year in years + ([years[-1]] if case == "ties" else []):
                value = _value(case, rng, index)
                boot = "yes" if case == "bootstrap run" and year < 1960 and index != "SGS" else None
                records.append(YearlyRecord(*head, index, year, None if value == "" else value, percentile=percentile,
                                            base=run["base"] or None, bootstrap=boot))
    if case == "bootstrap run":
        # The records of one run and index in two blocks: the second says no more of the bootstrap.
        records.append(records[0]._replace(year=1900, bootstrap=None))
    return records


@pytest.mark.parametrize("case", CASES)
def test_a_station_s_trends_are_those_of_each_series_fitted_alone(case):
    records = _station_records(case, np.random.default_rng(CASES.index(case)))
    fits = {}
    rows = trend.trends(records, fits)
    assert fits == {key: trend.fit(*series) for key, series in trend.series_of(records).items()}
    assert any(fits.values()) and (None in fits.values() or case != "short series")
    marks = {}
    for r in records:
        mark = marks.setdefault(r[:5], [r.percentile, r.base, r.window, r.bootstrap, r.threshold_used])
        mark[3] = mark[3] or r.bootstrap
    assert {tuple(t[:5]): list(t[-5:]) for t in rows} == marks
