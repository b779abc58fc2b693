"""A batch's stations as CF NetCDF: ``stations.nc`` and ``stations-trend.nc`` beside its combined tables.

``stations.nc`` is a CF-1.8 discrete sampling geometry of featureType
timeSeries in the orthogonal multidimensional layout: one series per station
and run (the instance dimension ``series``; a station with several runs has
several series), along it the station's name, full name, position, elevation
and country and the run's input, type, threshold or percentile setting and
minimum duration; over (series, time) the yearly indices and the summary of
the events dated in each year, named, described and measured as in a grid's
output (see vordakit.catalogue). ``stations-trend.nc`` holds the trends of
trend.csv per series and index.

Both are made from the batch's combined tables, which they repeat value for
value, so that the CSV and the NetCDF of a batch never disagree: a station
complete from an earlier batch (``--resume``) is in them as in the tables.
"""

import csv
import importlib.util
import math
import os

import numpy as np

from vordakit import catalogue
from vordakit.atomic import atomic_path
from vordakit.grid.calendars import time_axis
from vordakit.grid.output import DOUBLE_FILL, INT_FILL

__all__ = ["NETCDF", "TREND_NETCDF", "SERIES_KEY", "available", "station_datasets", "write_station_files"]

NETCDF = "stations.nc"
TREND_NETCDF = "stations-trend.nc"
# The columns that tell a batch's series apart in its tables.
SERIES_KEY = ("station", "input", "type", "threshold", "min_duration", "percentile", "base", "window",
              "threshold_used")
# The instance variables that every data variable names as its coordinates (with year): the station
# by name and position. The run's settings are instance variables of their own.
COORDINATES = ("series_id", "station", "lat", "lon", "elevation")
# Station dates are proleptic Gregorian (a series may start before 1582).
CALENDAR = "proleptic_gregorian"
SUMMARY_KEYS = tuple(s.key for s in catalogue.SUMMARY)
# What the trend file holds per index: its variable's suffix, trend.csv's column, what it is.
TREND_COLUMNS = (("slope", "slope_per_decade", "Sen slope per decade"),
                 ("slope_low", "slope_low_per_decade", "lower 95% bound of the Sen slope per decade"),
                 ("slope_high", "slope_high_per_decade", "upper 95% bound of the Sen slope per decade"),
                 ("p", "p_value", "two-sided Mann-Kendall p-value"))


def available():
    """Whether xarray and netCDF4 are there to write the files."""
    return all(importlib.util.find_spec(m) is not None for m in ("xarray", "netCDF4"))


def _rows(path):
    if not os.path.exists(path):
        return []
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def _number(text):
    return float(text) if text else math.nan


class _Series:
    """The series of a batch's tables, in the order they first appear, with their rows' keys."""

    def __init__(self):
        self.index = {}
        self.first = []     # the first row of each series

    def of(self, row):
        key = tuple(row.get(c, "") for c in SERIES_KEY)
        at = self.index.get(key)
        if at is None:
            at = self.index[key] = len(self.first)
            self.first.append(row)
        return at


def _instance_variables(series, outcomes):
    """The variables along ``series``: the station's metadata and the run's settings."""
    import xarray as xr
    by_name = {o.name: o for o in outcomes}
    first = series.first
    meta = [by_name[r["station"]].metadata for r in first]
    percentile = [r["percentile"] != "" for r in first]

    def text(values, attrs):
        return xr.Variable(("series",), np.array(values, dtype=object), attrs)

    def real(values, attrs):
        return xr.Variable(("series",), np.array([math.nan if v is None else v for v in values], float), attrs)

    def whole(values, attrs):
        return xr.Variable(("series",), np.array([INT_FILL if v is None else v for v in values], np.int32), attrs)

    ids = [f"{r['station']}: {r['input']} {r['type']} {r['percentile'] and 'p' + r['percentile'] or r['threshold']}"
           f" durmin {r['min_duration']}" for r in first]
    return {
        "series_id": text(ids, {"cf_role": "timeseries_id", "long_name": "station and run of the series"}),
        "station": text([r["station"] for r in first], {"long_name": "station name (its folder in the batch)"}),
        "full_name": text([m.full_name or "" for m in meta], {"long_name": "station's full name"}),
        "lat": real([m.lat for m in meta], {"standard_name": "latitude", "units": "degrees_north",
                                            "long_name": "station latitude"}),
        "lon": real([m.lon for m in meta], {"standard_name": "longitude", "units": "degrees_east",
                                            "long_name": "station longitude"}),
        "elevation": real([m.elevation for m in meta], {"standard_name": "surface_altitude", "units": "m",
                                                        "long_name": "station elevation"}),
        "country": text([m.country or "" for m in meta], {"long_name": "station's country, as its source gives it"}),
        "input": text([r["input"] for r in first], {"long_name": "the VORDA input the run read"}),
        "threshold_type": text([r["type"] for r in first], {"long_name": "threshold type: upper or lower"}),
        "threshold": real([None if p else float(r["threshold_used"] or r["threshold"]) for r, p in
                           zip(first, percentile)], {"long_name": "fixed threshold of the run (none with a "
                                                                  "percentile threshold)"}),
        "percentile": real([float(r["percentile"]) if p else None for r, p in zip(first, percentile)],
                           {"long_name": "percentile of the base period's values that is the threshold of "
                                         "each calendar day (none with a fixed threshold)", "units": "percent"}),
        "base_period": text([r["base"] for r in first], {"long_name": "base period of the percentile, FIRST-LAST"}),
        "window_days": whole([int(r["window"]) if p else None for r, p in zip(first, percentile)],
                             {"long_name": "window of the percentile around each calendar day", "units": "days"}),
        "min_duration": whole([int(r["min_duration"]) for r in first],
                              {"long_name": "minimum duration of an event", "units": "days"}),
    }


def _grid(series, years):
    return np.full((len(series.first), len(years)), np.nan)


def _yearly(series, yearly):
    """The years of the tables, the values per index key (series, year), the days each
    year holds, and which (series, year) hold a bootstrap's means."""
    years = np.array(sorted({int(r["year"]) for r in yearly if r["year"]}), np.int64)
    at = {int(y): i for i, y in enumerate(years)}
    values, days = {}, _grid(series, years)
    boot = np.zeros(days.shape, bool)
    for r in yearly:
        if not r["year"]:
            continue
        s, y = series.of(r), at[int(r["year"])]
        key = catalogue.BY_NAME[r["index"]].key
        # Made on a key's first row: a default built for every row would allocate a whole
        # (series, year) grid per row, a batch's time growing with the square of its stations.
        grid = values.get(key)
        if grid is None:
            grid = values[key] = _grid(series, years)
        grid[s, y] = _number(r["value"])
        days[s, y] = _number(r["days"])
        boot[s, y] |= r["bootstrap"] != ""
    return years, values, days, boot


def _summary(series, events, years, days, boot):
    """The events dated in each year (by the date of the record nearest their midpoint),
    summarised as a grid's output does: a year with a line but no event has none of them."""
    have = ~np.isnan(days) & ~boot
    out = {k: np.where(have, 0.0, np.nan) for k in SUMMARY_KEYS}
    out["action_max"] = _grid(series, years)
    at = {int(y): i for i, y in enumerate(years)}
    for r in events:
        s, y = series.of(r), at.get(int(r["date"][:4])) if r["date"] else None
        if y is None or not have[s, y]:
            continue
        duration, action = _number(r["duration"]), _number(r["action"])
        out["events"][s, y] += 1
        out["event_days"][s, y] += duration
        out["action_sum"][s, y] += action
        out["action_max"][s, y] = np.fmax(out["action_max"][s, y], action)
        out["longest_event"][s, y] = max(out["longest_event"][s, y], duration)
    return out


def _units(outcomes, series):
    """The data's units, where every series has the same ones (None otherwise)."""
    by_name = {o.name: o.unit for o in outcomes}
    units = {by_name[r["station"]] for r in series.first}
    return units.pop() if len(units) == 1 else None


def _variable(values, key, data_units):
    """A (series, time) variable of a yearly index or summary, with a grid output's attributes;
    whole numbers as int (a bootstrap's means make an index real)."""
    import xarray as xr
    long_name, units, method = catalogue.grid_attrs(key)
    attrs = {"long_name": long_name, "cell_methods": method}
    if units is not None:
        attrs["units"] = units
    elif data_units:
        attrs["units"] = f"{data_units} days"
    else:
        attrs["comment"] = "in the units of each series' values times days; the series differ in units"
    finite = values[np.isfinite(values)]
    whole = units is not None and np.array_equal(finite, np.round(finite))
    encoding = {"dtype": "int32", "_FillValue": INT_FILL} if whole else {"dtype": "float64",
                                                                         "_FillValue": DOUBLE_FILL}
    return xr.Variable(("series", "time"), values, attrs, encoding=encoding)


def _time(years):
    import xarray as xr
    units, start, bounds = time_axis(years, CALENDAR) if len(years) else ("days since 2000-01-01", [], [])
    return {"time": xr.Variable(("time",), np.asarray(start, float),
                                {"units": units, "calendar": CALENDAR, "standard_name": "time", "axis": "T",
                                 "long_name": "year"},
                                encoding={"dtype": "float64", "_FillValue": None, "bounds": "time_bnds"}),
            "year": xr.Variable(("time",), years.astype(np.int32), {"long_name": "calendar year"}),
            "time_bnds": xr.Variable(("time", "nv"), np.asarray(bounds, float).reshape(len(years), 2))}


def _global(title):
    return {"Conventions": "CF-1.8", "featureType": "timeSeries", "title": title,
            "source": "vordakit batch: vorda's analyses of each station's daily series"}


def _trend_dataset(series, trends, instance, coords):
    """Per series and index of trend.csv: the Sen slope per decade with its bounds and the Mann-Kendall p."""
    import xarray as xr
    columns = {}
    for r in trends:
        s, index = series.of(r), catalogue.BY_NAME[r["index"]]
        for suffix, column, _ in TREND_COLUMNS:
            columns.setdefault((index, suffix), np.full(len(series.first), np.nan))[s] = _number(r[column])
    out = {}
    for index in catalogue.YEARLY:
        for suffix, _, what in TREND_COLUMNS:
            if (index, suffix) not in columns:
                continue
            units = "1" if suffix == "p" else ("1/(10 year)" if index.units == "1" else f"{index.units}/(10 year)")
            out[f"{index.key}_{suffix}"] = xr.Variable(
                ("series",), columns[index, suffix],
                {"long_name": f"{what} of: {index.long_name}", "units": units}, encoding={"_FillValue": DOUBLE_FILL})
    attrs = _global("VORDA trends of the yearly indices of a batch's stations")
    del attrs["featureType"]     # no time: one value per series
    return xr.Dataset({**out, **instance}, coords, attrs)


def station_datasets(outcomes, outdir):
    """(stations.nc, stations-trend.nc) of a batch as xarray Datasets, from the combined tables in ``outdir``."""
    import xarray as xr
    series = _Series()
    yearly, events, trends = (_rows(os.path.join(outdir, t)) for t in ("yearly.csv", "events.csv", "trend.csv"))
    # Every series first, so that every array has a row for each.
    for r in yearly + events + trends:
        series.of(r)
    years, values, days, boot = _yearly(series, yearly)
    summary = _summary(series, events, years, days, boot)
    instance = _instance_variables(series, outcomes)
    instance["bootstrap"] = xr.Variable(("series",), boot.any(axis=1).astype(np.int8),
                                        {"long_name": "whether the base years' values are means over resampled "
                                                      "bases", "flag_values": np.array([0, 1], np.int8),
                                         "flag_meanings": "no yes"})
    data_units = _units(outcomes, series)
    data = {}
    for key in [i.key for i in catalogue.YEARLY if i.key in values] + list(SUMMARY_KEYS):
        data[key] = _variable(values.get(key, summary.get(key)), key, data_units)
    data["days"] = xr.Variable(("series", "time"), days, {"long_name": "days of the year the series holds",
                                                          "units": "days"},
                               encoding={"dtype": "int32", "_FillValue": INT_FILL})
    coords = {k: instance.pop(k) for k in COORDINATES}
    ds = xr.Dataset({**data, **instance}, {**coords, **_time(years)},
                    _global("VORDA yearly indices and events of a batch's stations"))
    return ds, _trend_dataset(series, trends, instance, coords)


def _write(ds, path):
    # What every series has goes without a fill value, and stays a whole number when read.
    encoding = {name: {"_FillValue": None} for name in ("time_bnds", "year", "bootstrap", "min_duration")
                if name in ds.variables}
    for name in ("lat", "lon", "elevation", "threshold", "percentile"):
        encoding[name] = {"_FillValue": DOUBLE_FILL}
    encoding["window_days"] = {"_FillValue": INT_FILL}
    # Named in a fixed order: xarray's own order changes from one process to the next, and so would the file.
    for name, v in ds.data_vars.items():
        names = [c for c in COORDINATES + ("year",) if c in ds.coords and set(ds[c].dims) <= set(v.dims)]
        if names:
            v.encoding["coordinates"] = " ".join(names)
    with atomic_path(path) as tmp:
        ds.to_netcdf(tmp, engine="netcdf4", encoding=encoding)


def write_station_files(outcomes, outdir):
    """Write stations.nc and stations-trend.nc into the batch folder ``outdir``; returns the trends' Dataset."""
    ds, trends = station_datasets(outcomes, outdir)
    _write(ds, os.path.join(outdir, NETCDF))
    _write(trends, os.path.join(outdir, TREND_NETCDF))
    return trends
