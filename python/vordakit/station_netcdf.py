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


# The columns of each combined table that the files are made of.
YEARLY_COLUMNS = SERIES_KEY + ("index", "year", "value", "days", "bootstrap")
EVENT_COLUMNS = SERIES_KEY + ("date", "duration", "action")
TREND_TABLE_COLUMNS = SERIES_KEY + ("index",) + tuple(column for _, column, _ in TREND_COLUMNS)


def _table(path, columns):
    """The ``columns`` of a combined table, each an array of its cells' texts ('' where none), read in one go."""
    import pandas as pd
    try:
        frame = pd.read_csv(path, dtype=str, keep_default_na=False, usecols=lambda c: c in columns)
    except (FileNotFoundError, pd.errors.EmptyDataError):
        frame = pd.DataFrame()
    except pd.errors.ParserError:
        # A station's table kept from an earlier batch (--resume) may have been edited by hand
        # (a quote left open): read row by row, as the csv module reads what it can.
        return _table_by_rows(path, columns)
    return {c: frame[c].to_numpy(object) if c in frame else np.full(len(frame), "", object) for c in columns}


def _table_by_rows(path, columns):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    return {c: np.array([r.get(c) or "" for r in rows] or np.zeros(0), object) for c in columns}


def _numbers(texts):
    """The numbers the texts give, NaN for an empty one (each read as Python reads a float)."""
    out = np.full(len(texts), math.nan)
    given = texts != ""
    out[given] = texts[given].astype(float)
    return out


def _factorize(values):
    """Each value's number, 0, 1, ... in the order the values first appear, and the distinct values."""
    import pandas as pd
    return pd.factorize(values)


def _row_codes(columns):
    """Numbers of the distinct rows of the parallel ``columns``: 0, 1, ... in the order they first appear."""
    codes = np.zeros(len(columns[0]), np.int64)
    for column in columns:
        # Each step numbers the distinct rows of the columns so far: the numbers stay below the rows' count.
        cells, distinct = _factorize(column)
        codes = _factorize(codes * len(distinct) + cells)[0]
    return codes


class _Series:
    """The series of a batch's tables, numbered in the order they first appear in them, one after the
    other; ``first`` holds each series' first row (its key's columns), ``codes`` each table's rows' series."""

    def __init__(self, tables):
        keys = {c: np.concatenate([t[c] for t in tables]) for c in SERIES_KEY}
        codes = _row_codes([keys[c] for c in SERIES_KEY])
        first = np.unique(codes, return_index=True)[1]
        self.first = [{c: keys[c][k] for c in SERIES_KEY} for k in first.tolist()]
        ends = np.cumsum([len(t["station"]) for t in tables]).tolist()
        self.codes = [codes[a:b] for a, b in zip([0] + ends, ends)]


def _put(grid, cells, values):
    """``grid``'s flat ``cells`` set to ``values``; a cell given twice keeps the later value, as row by row."""
    # numpy leaves open which of the values an assignment to a repeated index keeps.
    last = len(cells) - 1 - np.unique(cells[::-1], return_index=True)[1]
    grid.reshape(-1)[cells[last]] = values[last]
    return grid


def _largest(cells, values, size):
    """The largest value in each of ``size`` cells, NaN values left out (NaN where none is left)."""
    kept = ~np.isnan(values)
    cells, values = cells[kept], values[kept]
    # By cell, the largest first; equal values in the order of the rows.
    order = np.lexsort((-values, cells))
    cells, values = cells[order], values[order]
    first = np.ones(len(cells), bool)
    first[1:] = cells[1:] != cells[:-1]
    out = np.full(size, math.nan)
    out[cells[first]] = values[first]
    return out


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


def _yearly(series, table):
    """The years of the tables, the values per index key (series, year), the days each
    year holds, and which (series, year) hold a bootstrap's means."""
    dated = table["year"] != ""
    year = table["year"][dated].astype(np.int64)
    years = np.unique(year)
    shape = (len(series.first), len(years))
    cells = series.codes[0][dated] * len(years) + np.searchsorted(years, year)
    which, names = _factorize(table["index"][dated])
    value = _numbers(table["value"][dated])
    values = {}
    for k, name in enumerate(names):
        mine = which == k
        values[catalogue.BY_NAME[name].key] = _put(np.full(shape, math.nan), cells[mine], value[mine])
    days = _put(np.full(shape, math.nan), cells, _numbers(table["days"][dated]))
    boot = np.zeros(shape, bool)
    boot.reshape(-1)[cells[table["bootstrap"][dated] != ""]] = True
    return years, values, days, boot


def _summary(series, table, years, days, boot):
    """The events dated in each year (by the date of the record nearest their midpoint),
    summarised as a grid's output does: a year with a line but no event has none of them."""
    have = ~np.isnan(days) & ~boot
    dated = np.flatnonzero(table["date"] != "")
    year = table["date"][dated].astype("U4").astype(np.int64)
    at = np.searchsorted(years, year)
    known = at < len(years)
    known[known] = years[at[known]] == year[known]
    rows, cells = dated[known], series.codes[1][dated[known]] * len(years) + at[known]
    counted = have.reshape(-1)[cells]
    rows, cells = rows[counted], cells[counted]
    duration, action = _numbers(table["duration"][rows]), _numbers(table["action"][rows])
    size = have.size

    def per_year(values):
        return np.where(have, values.reshape(have.shape), math.nan)
    longest = _largest(cells, duration, size)
    return {"events": per_year(np.bincount(cells, minlength=size).astype(float)),
            "event_days": per_year(np.bincount(cells, duration, size)),
            "action_sum": per_year(np.bincount(cells, action, size)),
            "action_max": _largest(cells, action, size).reshape(have.shape),
            "longest_event": per_year(np.where(longest > 0, longest, 0.0))}


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


def _trend_dataset(series, table, instance, coords):
    """Per series and index of trend.csv: the Sen slope per decade with its bounds and the Mann-Kendall p."""
    import xarray as xr
    columns = {}
    which, names = _factorize(table["index"])
    for k, name in enumerate(names):
        mine = which == k
        for suffix, column, _ in TREND_COLUMNS:
            columns[catalogue.BY_NAME[name], suffix] = _put(np.full(len(series.first), math.nan),
                                                            series.codes[2][mine], _numbers(table[column][mine]))
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
    yearly, events, trends = (_table(os.path.join(outdir, name), columns) for name, columns in (
        ("yearly.csv", YEARLY_COLUMNS), ("events.csv", EVENT_COLUMNS), ("trend.csv", TREND_TABLE_COLUMNS)))
    # Every series first, so that every array has a row for each.
    series = _Series((yearly, events, trends))
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
