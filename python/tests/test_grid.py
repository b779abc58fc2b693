"""vordakit grid: every cell equals a vorda run on the VORDA input convert makes of its series."""

import contextlib
import json
import os
import pathlib
import socket
import subprocess
import sys
import time

import cftime
import netCDF4
import numpy as np
import pytest
import xarray as xr

from vordakit import cli, convert, grid
from vordakit.runner import run_vorda
from vordakit.results import read_results
import runkit
from runkit import kit


@pytest.fixture(scope="module", autouse=True)
def binding(lib):
    return lib


def make_nc(path, x, start="2000-01-01", calendar="standard", units="degC", var="tg", packed=None,
            dims=("lat", "lon"), time_values=None, fmt="NETCDF4"):
    """A CF file of daily ``x`` (time first), NaN missing; ``packed`` (scale, offset) packs it in int16."""
    with netCDF4.Dataset(path, "w", format=fmt) as ds:
        ds.createDimension("time", None)
        for name, n in zip(dims, x.shape[1:]):
            ds.createDimension(name, n)
            v = ds.createVariable(name, "f8", (name,))
            v[:] = 40 + 0.5 * np.arange(n)
            v.units = {"lat": "degrees_north", "lon": "degrees_east"}.get(name, "m")
        t = ds.createVariable("time", "f8", ("time",))
        t.units, t.calendar, t.standard_name = f"days since {start}", calendar, "time"
        t[:] = np.arange(x.shape[0]) + 0.5 if time_values is None else time_values
        if packed:
            v = ds.createVariable(var, "i2", ("time",) + dims, fill_value=-32767)
            v.scale_factor, v.add_offset = np.float32(packed[0]), np.float32(packed[1])
        else:
            v = ds.createVariable(var, "f4", ("time",) + dims, fill_value=np.float32(1e20))
        v.units = units
        v[:] = np.ma.masked_invalid(x)


def weather(days, shape, seed=5):
    """Daily float32 values in tenths around 20, so that runs above and below 20.1 are common."""
    rng = np.random.default_rng(seed)
    season = 8 * np.sin(np.arange(days) * 2 * np.pi / 365.25)[:, None, None]
    return (17 + season + rng.normal(0, 3, (days,) + shape)).round(1).astype(np.float32)


def text(v):
    return np.format_float_positional(v, unique=True, trim="-")


def reference(vorda, folder, rows, thrtype, threshold, durmin):
    """Yearly values and event summary of a vorda run on VORDA input ``rows`` (t, d, m, yr, text)."""
    folder.mkdir()
    src = folder / "cell.txt"
    src.write_text("".join(f"{t} {d} {m} {y} {x}\n" for t, d, m, y, x in rows))
    res = run_vorda(vorda, src, thrtype, threshold, durmin, folder / "out", size=len(rows))
    assert res.status == 0, res.report
    return summary(read_results(folder / "out"))


def summary(tables):
    """Yearly values by index and year, and the event summary per year, of result tables."""
    yearly = {}
    for r in tables.yearly:
        yearly.setdefault(r.index.lower(), {})[r.year] = r.value
    events = {}
    for e in tables.events:
        year = int(e.date[:4])
        n, days, total, most, longest = events.get(year, (0, 0, 0.0, -np.inf, 0))
        events[year] = (n + 1, days + e.duration, total + e.action, max(most, e.action), max(longest, e.duration))
    return yearly, events


def converted_rows(tmp, dates, values, months=None, fill=None):
    """The VORDA input that convert makes of a cell's station table, or None when it refuses."""
    table = tmp / "cell.csv"
    table.write_text("date,value\n" + "".join(f"{d},{text(v)}\n" for d, v in zip(dates, values) if v == v))
    if not any(v == v for v in values):
        return None
    try:
        convert.convert_file(table, tmp / "cell.vorda", fmt="table", months=months,
                             policy="refuse" if fill is None else "fill", max_fill=fill)
    except Exception:
        return None
    return [line.split() for line in (tmp / "cell.vorda").read_text().splitlines()]


def compare_cell(out, index, ref, thrtype, indices=None, lost=()):
    """The cell's yearly values equal those of ``ref``, but in the years ``lost``, which have none."""
    yearly, events = ref
    years = out["year"].values.tolist()
    for name in indices or grid.INDICES[thrtype]:
        got = out[name].values[(slice(None),) + index]
        want = [None if y in lost else yearly.get(name, {}).get(y) for y in years]
        want = [np.nan if w is None or w == grid.NONE_VALUE.get(name) else w for w in want]
        np.testing.assert_array_equal(got, want, err_msg=f"{name} of cell {index}")
    empty = (0, 0, 0.0, np.nan, 0)
    want = np.array([(np.nan,) * 5 if y in lost else events.get(y, empty) for y in years])
    # vorda's event file rounds each action to 3 decimals: a year's sum is off by up to half a unit per event.
    slack = 0.002 + 0.0005 * np.nan_to_num(want[:, 0])
    for i, name in enumerate(grid.SUMMARY):
        got = out[name].values[(slice(None),) + index]
        tol = slack if name == "action_sum" else 0.002
        near = (np.isnan(got) == np.isnan(want[:, i])) & (np.abs(np.nan_to_num(got - want[:, i])) <= tol)
        assert near.all(), f"{name} of cell {index}: {got.tolist()} against {want[:, i].tolist()}"


def lost_years(out, index):
    """The years without values of a cell with gaps (a year of a cell with values always counts its events)."""
    return {y for y, v in zip(out["year"].values.tolist(), out["events"].values[(slice(None),) + index]) if v != v}


def cell_dates(n, start="2000-01-01"):
    import datetime
    first = datetime.date.fromisoformat(start)
    return [first + datetime.timedelta(days=i) for i in range(n)]


def run(*args):
    return cli.main(["grid", *map(str, args), "--no-progress"])


# Cells: (lat, lon) -> what is done to its series.
HOLES = {(0, 0): "sea", (1, 1): "gap of 3", (2, 2): "leading 20 missing", (2, 3): "trailing 40 missing",
         (0, 2): "gap of 6", (1, 4): "one missing day"}


def holed(days):
    x = weather(days, (3, 5))
    x[:, 0, 0] = np.nan
    x[100:103, 1, 1] = np.nan
    x[:20, 2, 2] = np.nan
    x[-40:, 2, 3] = np.nan
    x[200:206, 0, 2] = np.nan
    x[500, 1, 4] = np.nan
    return x


@pytest.mark.parametrize("thrtype, threshold, months, fill", [
    ("upper", "20.1", None, None),
    ("upper", "20.1", None, 3),
    ("lower", "12.0", "11-3", 6),
    ("upper", "22.5", "5-9", None),
])
def test_cells_equal_vorda_runs_on_the_converted_series(vorda, tmp_path, thrtype, threshold, months, fill):
    days = 4 * 365 + 1
    x = holed(days)
    assert (x == np.float32(20.1)).any(), "a value equal to the threshold"
    make_nc(tmp_path / "in.nc", x)
    opts = [] if months is None else ["--months", months]
    opts += [] if fill is None else ["--fill", fill]
    assert run(tmp_path / "in.nc", "-t", thrtype, "-x", threshold, "-d", 3, "-o", tmp_path / "out.nc",
               "--chunks", "lat=2,lon=3", "-j", 2, *opts) == 0
    out = xr.open_dataset(tmp_path / "out.nc", decode_timedelta=False)
    dates = cell_dates(days)
    whole = weather(days, (3, 5))
    for index in np.ndindex(x.shape[1:]):
        rows = converted_rows(tmp_path, dates, x[(slice(None),) + index], months, fill)
        status = int(out["cell_status"].values[index])
        lost = ()
        if rows is None:
            assert status in (grid.GAPS, grid.EMPTY), index
            if status == grid.EMPTY:
                assert np.isnan(out["ndays"].values[(slice(None),) + index]).all()
                continue
            # A gap costs the years it touches; the others are those of the cell without the gap.
            rows = converted_rows(tmp_path, dates, whole[(slice(None),) + index], months, fill)
            lost = lost_years(out, index)
            gap_years = {d.year for d, v in zip(dates, x[(slice(None),) + index]) if v != v}
            assert gap_years <= lost < set(out["year"].values), index
        ref = reference(vorda, tmp_path / f"ref{index[0]}{index[1]}", rows, thrtype, threshold, 3)
        compare_cell(out, index, ref, thrtype, lost=lost)
    if months is None:
        assert int(out["cell_status"].values[2, 2]) == grid.TRIMMED
        assert int(out["cell_status"].values[1, 1]) == (grid.GAPS if fill is None else grid.FILLED)


@pytest.mark.parametrize("calendar, days_per_year", [("noleap", 365), ("360_day", 360), ("all_leap", 366)])
def test_calendars_take_day_month_and_year_from_the_calendar(vorda, tmp_path, calendar, days_per_year):
    days = 3 * days_per_year
    x = weather(days, (2, 2))
    x[-10:, 1, 1] = np.nan
    make_nc(tmp_path / "in.nc", x, start="1999-01-01", calendar=calendar)
    assert run(tmp_path / "in.nc", "-t", "upper", "-x", "20.1", "-d", 2, "-o", tmp_path / "out.nc") == 0
    out = xr.open_dataset(tmp_path / "out.nc", use_cftime=True, decode_timedelta=False)
    assert out["year"].values.tolist() == [1999, 2000, 2001]
    dates = cftime.num2date(np.arange(days), "days since 1999-01-01", calendar)
    for index in np.ndindex(x.shape[1:]):
        series = x[(slice(None),) + index]
        n = int(np.count_nonzero(series == series))
        rows = [(i + 1, d.day, d.month, d.year, text(v)) for i, (d, v) in enumerate(zip(dates[:n], series[:n]))]
        ref = reference(vorda, tmp_path / f"ref{index[0]}{index[1]}", rows, "upper", "20.1", 2)
        compare_cell(out, index, ref, "upper")


# Per file: how it is stored, the option, the threshold, the count that equals it, how a count is
# stored, and the decimal text vorda must read of it.
UNITS = {
    "packed K": (dict(units="K", packed=(0.1, 273.15)), "degC", "0.5", 5, lambda c: c / 10 + 273.15,
                 lambda c: f"{c / 10:.1f}"),
    "float32 K, one decimal": (dict(units="K"), "degC", "0.55", 5, lambda c: np.float32(c / 10 + 273.2),
                               lambda c: f"{c / 10 + 0.05:.2f}"),
    "float32 flux": (dict(units="kg m-2 s-1"), "mm/day", "0.5", 500,
                     lambda c: (c / 1000).astype(np.float32) / np.float32(86400), lambda c: f"{c / 1000:.4f}"),
    # Four decimals kept: three would make 1.2565 mm/day 1.257, beyond the threshold.
    "float32 flux, four decimals": (dict(units="kg m-2 s-1"), "mm/day", "1.2565", 12565,
                                    lambda c: (c / 10000).astype(np.float32) / np.float32(86400),
                                    lambda c: f"{c / 10000:.4f}"),
}


@pytest.mark.parametrize("case", UNITS)
def test_units_convert_to_the_decimals_the_values_hold(vorda, tmp_path, case):
    stored, units, threshold, equal, store, want = UNITS[case]
    rng = np.random.default_rng(3)
    counts = rng.integers(-3, 8, (800, 2, 1)) * equal // 5
    counts[::7] = equal
    make_nc(tmp_path / "in.nc", store(counts), **stored)
    assert run(tmp_path / "in.nc", "-t", "lower", "-x", threshold, "-d", 2, "--units", units,
               "-o", tmp_path / "out.nc") == 0
    out = xr.open_dataset(tmp_path / "out.nc", decode_timedelta=False)
    assert out["action_sum"].attrs["units"] == f"{units} days"
    dates = cell_dates(800)
    for index in np.ndindex(counts.shape[1:]):
        rows = [(i + 1, d.day, d.month, d.year, want(c))
                for i, (d, c) in enumerate(zip(dates, counts[(slice(None),) + index]))]
        compare_cell(out, index, reference(vorda, tmp_path / f"ref{index[0]}", rows, "lower", threshold, 2), "lower")


def test_yearly_parts_and_a_missing_time_step_make_one_series(tmp_path):
    x = holed(3 * 365)
    make_nc(tmp_path / "whole.nc", x, fmt="NETCDF3_CLASSIC")
    make_nc(tmp_path / "part1.nc", x[:365], start="2000-01-01")
    make_nc(tmp_path / "part2.nc", x[365:], start="2000-12-31")
    # The last file misses a day (a time step left out), which is a gap in every cell.
    make_nc(tmp_path / "gap.nc", np.delete(x, 400, axis=0), time_values=np.delete(np.arange(3 * 365), 400))
    x[400] = np.nan
    make_nc(tmp_path / "nan.nc", x)
    for a, b in ((["whole.nc"], ["part*.nc"]), (["nan.nc"], ["gap.nc"])):
        assert run(*[tmp_path / n for n in a], "-t", "u", "-x", 20, "-d", 3, "-o", tmp_path / "a.nc") == 0
        assert run(*[tmp_path / n for n in b], "-t", "u", "-x", 20, "-d", 3, "-o", tmp_path / "b.nc") == 0
        xr.testing.assert_equal(xr.open_dataset(tmp_path / "a.nc", decode_timedelta=False),
                                xr.open_dataset(tmp_path / "b.nc", decode_timedelta=False))


def test_a_local_cluster_of_two_processes_writes_what_one_thread_writes(tmp_path):
    import distributed
    x = holed(2 * 365)
    make_nc(tmp_path / "in.nc", x)
    assert run(tmp_path / "in.nc", "-t", "u", "-x", 20, "-d", 3, "--fill", 3, "-j", 1, "--chunks", "lat=1",
               "-o", tmp_path / "one.nc") == 0
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        assert run(tmp_path / "in.nc", "-t", "u", "-x", 20, "-d", 3, "--fill", 3, "--chunks", "lat=1",
                   "--scheduler", cluster.scheduler_address, "-o", tmp_path / "two.nc") == 0
    one, two = (xr.open_dataset(tmp_path / n, decode_timedelta=False) for n in ("one.nc", "two.nc"))
    xr.testing.assert_equal(one, two)


def test_events_csv_lists_every_event_of_every_cell(vorda, tmp_path):
    x = holed(2 * 365)
    make_nc(tmp_path / "in.nc", x)
    assert run(tmp_path / "in.nc", "-t", "u", "-x", 20, "-d", 3, "--fill", 3, "-o", tmp_path / "out.nc",
               "--events", tmp_path / "ev.csv") == 0
    lines = (tmp_path / "ev.csv").read_text().splitlines()
    assert lines[0] == "lat,lon,lat_index,lon_index,date,duration,action"
    out = xr.open_dataset(tmp_path / "out.nc", decode_timedelta=False)
    assert len(lines) - 1 == np.nansum(out["events"].values)
    for cell in ((1, 2), (1, 1)):  # complete, and a gap filled
        rows = converted_rows(tmp_path, cell_dates(2 * 365), x[(slice(None),) + cell], fill=3)
        reference(vorda, tmp_path / f"ref{cell}", rows, "upper", "20", 3)
        mine = [line.split(",")[4:] for line in lines[1:] if line.split(",")[2:4] == list(map(str, cell))]
        tables = read_results(tmp_path / f"ref{cell}" / "out")
        assert mine == [[e.date, str(e.duration), f"{e.action:.3f}"] for e in tables.events], cell


BAD = [
    ("not NetCDF", lambda p: (p / "in.nc").write_text("1 1 1 2000 3.5\n"), [], "not a NetCDF file"),
    ("no time dimension", lambda p: make_nc(p / "in.nc", np.zeros((5, 2, 2)), dims=("lat", "lon"))
     or _rename_time(p / "in.nc"), [], "no variable with a time dimension"),
    ("unknown calendar", lambda p: make_nc(p / "in.nc", np.zeros((5, 2, 2)), calendar="martian"), [],
     "unknown calendar 'martian'"),
    ("missing variable", lambda p: make_nc(p / "in.nc", np.zeros((5, 2, 2))), ["--var", "tx"], "no variable 'tx'"),
    ("units that do not convert", lambda p: make_nc(p / "in.nc", np.zeros((5, 2, 2)), units="m"),
     ["--units", "degC"], "units 'm' do not convert to degC"),
    ("unwritable output", lambda p: make_nc(p / "in.nc", np.zeros((5, 2, 2))), ["-o", "nowhere/out.nc"],
     "cannot write"),
    ("option: a negative duration", lambda p: make_nc(p / "in.nc", np.zeros((5, 2, 2))), ["-d", "-2"],
     "minimum duration '-2' is below 0 days"),
    ("an infinite value in an event", lambda p: _infinite(p / "in.nc"), ["--events", "ev.csv"],
     "an infinite value: an event's action measure"),
]


def _infinite(path):
    """Two cells above 20 for 20 days, the fifth day of one of them infinite (a file a mask does not mark)."""
    x = np.full((20, 2), 25.0, np.float32)
    x[4, 1] = np.inf
    t = xr.Variable("time", np.arange(20), {"units": "days since 2000-01-01"})
    xr.Dataset({"tg": (("time", "station"), x, {"units": "degC"})}, {"time": t}).to_netcdf(path)


def _rename_time(path):
    with netCDF4.Dataset(path, "a") as ds:
        del ds["time"].units


@pytest.mark.parametrize("what, make, opts, message", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_one_line_status_2_and_no_output(tmp_path, capsys, monkeypatch, what, make, opts, message):
    monkeypatch.chdir(tmp_path)
    make(tmp_path)
    out = opts[opts.index("-o") + 1] if "-o" in opts else "out.nc"
    opts = [o for i, o in enumerate(opts) if o != "-o" and (i == 0 or opts[i - 1] != "-o")]
    assert run("in.nc", "-t", "u", "-x", 20, "-d", 3, "-o", out, *opts) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert "in.nc" in err or out in err or what.startswith("option"), err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nc"]


def test_a_threshold_outside_the_data_warns_with_the_units(tmp_path, capsys):
    make_nc(tmp_path / "in.nc", weather(40, (1, 2)) + np.float32(273.15), units="K")
    assert run(tmp_path / "in.nc", "-t", "u", "-x", 25, "-d", 3, "-o", tmp_path / "out.nc") == 0
    err = capsys.readouterr().err
    assert "threshold 25 lies outside the data's range" in err and " K" in err


def test_decimal_values_read_floats_as_the_decimals_they_print_as():
    for dtype, values in ((np.float32, [20.1, -0.3, 1234.5, 1e-5, 0.0]), (np.float64, [0.1 + 0.2, 7.25])):
        got, dec = grid.decimal_values(np.array(values, dtype))
        assert got.tolist() == [float(text(dtype(v))) for v in values]
        assert dec.tolist() == [len(text(dtype(v)).partition(".")[2]) for v in values]


def test_outputs_are_cf_with_the_input_coordinates(tmp_path):
    make_nc(tmp_path / "in.nc", weather(400, (2, 3)))
    assert run(tmp_path / "in.nc", "-t", "u", "-x", 20, "-d", 3, "-o", tmp_path / "out.nc") == 0
    out = xr.open_dataset(tmp_path / "out.nc", decode_times=False, decode_timedelta=False)
    assert out.attrs["Conventions"] == "CF-1.8" and "vordakit grid" in out.attrs["history"]
    assert out["time_bnds"].values.tolist() == [[0, 366], [366, 731]]
    assert out["lat"].values.tolist() == [40.0, 40.5] and out["lat"].attrs["units"] == "degrees_north"
    assert out["ndays"].dims == ("time", "lat", "lon") and out["ndays"].attrs["units"] == "days"
    assert pathlib.Path(tmp_path / "out.nc").read_bytes()[:4] == b"\x89HDF"


def test_grid_trends_follow_the_station_rules_cell_by_cell():
    from vordakit import trend
    years = np.arange(1981, 2011)
    rng = np.random.default_rng(2)
    cells = {
        "rising with ties": np.round(years * 0.3 + rng.normal(0, 2, 30)),
        "flat": np.full(30, 4.0),
        "three missing years": np.where(np.isin(years, [1985, 1990, 2001]), np.nan, rng.normal(0, 1, 30)),
        "too few valid years": np.where(years < 2002, np.nan, years - 2000.0),
        "under 70% valid": np.where(years % 3 == 0, rng.normal(0, 1, 30), np.nan),
    }
    got = trend.fit_columns(years, np.stack(list(cells.values()), axis=1))
    for k, (name, v) in enumerate(cells.items()):
        f = trend.fit(list(years), [None if x != x else x for x in v])
        want = [np.nan] * 4 if f is None else [f.slope, f.low, f.high, f.p]
        np.testing.assert_allclose(got[:, k], want, rtol=1e-12, err_msg=name)


def test_trend_and_plot_of_a_grid_output(tmp_path, capsys):
    x = weather(12 * 365, (2, 3))
    x += np.linspace(0, 4, 12 * 365, dtype=np.float32)[:, None, None]
    make_nc(tmp_path / "in.nc", x)
    assert run(tmp_path / "in.nc", "-t", "u", "-x", 20, "-d", 3, "-o", tmp_path / "out.nc") == 0
    assert cli.main(["trend", str(tmp_path / "out.nc")]) == 0
    t = xr.open_dataset(tmp_path / "out-trend.nc")
    assert t["ndays_slope"].dims == ("lat", "lon") and (t["ndays_p"].values < 0.05).all()
    assert "missing_days_slope" not in t, "missing_days is no index"
    assert t["ndays_slope"].attrs["units"] == "days/(10 year)"
    assert cli.main(["plot", str(tmp_path / "out.nc"), "-o", str(tmp_path / "maps")]) == 0
    assert sorted(p.name for p in (tmp_path / "maps").iterdir())[:2] == ["out-action_max.png", "out-action_sum.png"]
    assert not (tmp_path / "maps" / "out-missing_days.png").exists()


def test_plot_of_a_grid_output_takes_its_trends_from_the_trend_file_while_it_is_the_newer(tmp_path):
    x = weather(12 * 365, (2, 3)) + np.linspace(0, 4, 12 * 365, dtype=np.float32)[:, None, None]
    make_nc(tmp_path / "in.nc", x)
    out = tmp_path / "out.nc"
    assert run(tmp_path / "in.nc", "-t", "u", "-x", 20, "-d", 3, "-o", out) == 0

    def picture(folder):
        assert cli.main(["plot", str(out), "-o", str(tmp_path / folder)]) == 0
        return (tmp_path / folder / "out-ndays.png").read_bytes()

    fitted = picture("fitted")
    assert cli.main(["trend", str(out)]) == 0
    # A trend file whose p-values mark no cell: the maps drawn from it mark none either.
    with netCDF4.Dataset(tmp_path / "out-trend.nc", "a") as t:
        for name in t.variables:
            if name.endswith("_p"):
                t[name][:] = 1.0
    assert picture("from-file") != fitted
    # The output written again after its trends were: they are fitted anew.
    later = os.stat(tmp_path / "out-trend.nc").st_mtime + 10
    os.utime(out, (later, later))
    assert picture("stale") == fitted


def test_rotated_grids_and_stations_keep_their_coordinates_and_grid_mapping(tmp_path):
    x = weather(400, (2, 3))
    time = xr.Variable("time", np.arange(400), {"units": "days since 2001-01-01", "calendar": "standard"})
    rotated = xr.Dataset(
        {"tas": (("time", "rlat", "rlon"), x, {"units": "degC", "grid_mapping": "rotated_pole",
                                               "coordinates": "lat lon"}),
         "rotated_pole": ((), 0, {"grid_mapping_name": "rotated_latitude_longitude",
                                  "grid_north_pole_latitude": 39.25, "grid_north_pole_longitude": -162.0})},
        {"time": time, "rlat": ("rlat", [-1.0, 1.0], {"units": "degrees", "standard_name": "grid_latitude"}),
         "rlon": ("rlon", [-2.0, 0.0, 2.0], {"units": "degrees", "standard_name": "grid_longitude"}),
         "lat": (("rlat", "rlon"), np.arange(6.0).reshape(2, 3) + 50, {"units": "degrees_north"}),
         "lon": (("rlat", "rlon"), np.arange(6.0).reshape(2, 3), {"units": "degrees_east"})})
    stations = xr.Dataset(
        {"tg": (("time", "station"), x[:, 0], {"units": "degC", "coordinates": "lat lon"})},
        {"time": time, "lat": ("station", [50.0, 51.0, 52.0]), "lon": ("station", [5.0, 6.0, 7.0])})
    for name, ds in (("rotated", rotated), ("stations", stations)):
        ds.to_netcdf(tmp_path / f"{name}.nc", encoding={"time": {"dtype": "f8"}})
        assert run(tmp_path / f"{name}.nc", "-t", "u", "-x", 20, "-d", 3, "-o", tmp_path / f"{name}-out.nc") == 0
        assert cli.main(["plot", str(tmp_path / f"{name}-out.nc"), "-o", str(tmp_path / name)]) == 0
    out = xr.open_dataset(tmp_path / "rotated-out.nc", decode_timedelta=False)
    assert out["ndays"].dims == ("time", "rlat", "rlon") and out["ndays"].attrs["grid_mapping"] == "rotated_pole"
    assert out["rotated_pole"].attrs["grid_north_pole_latitude"] == 39.25
    assert out["lat"].dims == ("rlat", "rlon") and "lat" in out["ndays"].encoding["coordinates"]
    # In a fixed order (the grid mapping with the data), the same from one run to the next.
    carried = [v for v in out.variables if v in ("rlat", "rlon", "lat", "lon", "rotated_pole")]
    assert carried == ["rotated_pole", "rlat", "rlon", "lat", "lon"]
    out = xr.open_dataset(tmp_path / "stations-out.nc", decode_timedelta=False)
    assert out["ndays"].dims == ("time", "station") and out["lon"].values.tolist() == [5.0, 6.0, 7.0]


@pytest.mark.parametrize("thrtype, pct, base, window, fill", [
    ("upper", "90", "2000-2002", "5", None),
    ("lower", "12.5", "2001-2003", "3", 3),
], ids=["upper", "lower-filled"])
def test_percentile_cells_equal_run_percentile_on_the_cell_as_a_station(
        vorda, tmp_path, thrtype, pct, base, window, fill):
    days = 4 * 365 + 1
    x = holed(days)
    make_nc(tmp_path / "in.nc", x)
    opts = ["--percentile", pct, "--base", base, "--window", window] + ([] if fill is None else ["--fill", fill])
    assert run(tmp_path / "in.nc", "-t", thrtype, "-d", 3, "-o", tmp_path / "out.nc", "--chunks", "lat=2,lon=3",
               "-j", 2, "--events", tmp_path / "ev.csv", *opts) == 0
    out = xr.open_dataset(tmp_path / "out.nc", decode_timedelta=False)
    attrs = out.attrs
    assert (attrs["percentile"], attrs["base_period"], int(attrs["window_days"])) == (pct, base, int(window))
    assert "threshold" not in out.attrs and "sgs" not in out and "lfd" not in out
    events = [line.split(",") for line in (tmp_path / "ev.csv").read_text().splitlines()[1:]]
    statuses = set()
    whole = weather(days, (3, 5))
    for index in np.ndindex(x.shape[1:]):
        status = int(out["cell_status"].values[index])
        statuses.add(status)
        series = x[(slice(None),) + index]
        rows = converted_rows(tmp_path, cell_dates(days), series, fill=fill)
        lost = set()
        if rows is None and status == grid.GAPS:
            # Gaps outside the base cost the years they touch, the others are the cell's without the gap.
            rows = converted_rows(tmp_path, cell_dates(days), whole[(slice(None),) + index], fill=fill)
            lost = lost_years(out, index)
            assert {d.year for d, v in zip(cell_dates(days), series) if v != v} <= lost < set(out["year"].values)
        folder = tmp_path / f"ref{index[0]}{index[1]}"
        if rows is not None:
            folder.mkdir()
            (folder / "cell.txt").write_text("".join(" ".join(r) + "\n" for r in rows))
            proc = kit("run", folder / "cell.txt", "-t", thrtype, "-d", 3, "-o", folder / "out", *opts[:6],
                       vorda=vorda, text=True)
        if rows is None or proc.returncode != 0:
            # A gap in the base: no thresholds, so no values at all.
            assert status == grid.EMPTY if rows is None and np.isnan(series).all() else \
                (status == grid.BASE_GAPS and (rows is None or f"base {base}" in proc.stderr)), (index, status)
            assert np.isnan(out["ndays"].values[(slice(None),) + index]).all()
            assert np.isnan(out["threshold"].values[(slice(None),) + index]).all()
            continue
        tables = read_results(folder / "out")
        indices = [n for n in grid.INDICES[thrtype] if n not in grid.NONE_VALUE]
        compare_cell(out, index, summary(tables), thrtype, indices, lost=lost)
        table, = (folder / "out").glob("*-thresholds.csv")
        want = [float(line.split(",")[2]) for line in table.read_text().splitlines()[1:]]
        assert out["threshold"].values[(slice(None),) + index].tolist() == want, index
        mine = [e[4:] for e in events if e[2:4] == list(map(str, index))]
        assert mine == [[e.date, str(e.duration), f"{e.action:.3f}"] for e in tables.events
                        if int(e.date[:4]) not in lost], index
    assert statuses >= {grid.COMPLETE, grid.TRIMMED, grid.EMPTY, grid.BASE_GAPS} | ({grid.GAPS} if fill else set())


def two_years(p, calendar="standard", without=None):
    """Two years of two cells from 2000-01-01, without the time step ``without``."""
    days = np.arange(731) if without is None else np.delete(np.arange(731), without)
    make_nc(p / "in.nc", weather(731, (1, 2))[days], calendar=calendar, time_values=days)


def with_infinity(p):
    two_years(p)
    with netCDF4.Dataset(p / "in.nc", "a") as ds:
        ds["tg"].set_auto_mask(False)
        ds["tg"][100, 0, 1] = np.float32(np.inf)


PERCENTILE_BAD = [
    ("base not covered", two_years, ["--base", "1999-2000"],
     "base 1999-2000 is not covered: the time axis runs from 2000-01-01 to 2001-12-31"),
    ("base without a time step", lambda p: two_years(p, without=40), [],
     "base 2000-2001 has 1 days without a time step: 2000-02-10"),
    ("percentile above 100", two_years, ["--percentile", "100.5"], "percentile '100.5' is not a number from 0 to 100"),
    ("a season", two_years, ["--months", "5-9"], "--months with --percentile"),
    ("a 360-day calendar", lambda p: two_years(p, "360_day"), [], "calendar 360_day has no calendar days"),
    ("bootstrap", two_years, ["--bootstrap"], "--bootstrap is for run and batch"),
    ("and a fixed threshold", two_years, ["-x", "20"], "either --threshold or --percentile"),
    ("an infinite value", with_infinity, [], "in.nc: an infinite value"),
]


@pytest.mark.parametrize("what, make, opts, message", PERCENTILE_BAD, ids=[b[0] for b in PERCENTILE_BAD])
def test_percentile_refusals(tmp_path, capsys, monkeypatch, what, make, opts, message):
    monkeypatch.chdir(tmp_path)
    make(tmp_path)
    assert run("in.nc", "-t", "u", "-d", 3, "-o", "out.nc", "--percentile", 90, "--base", "2000-2001", *opts) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nc"]


def plain_nc(path, x, var="tg", dtype="f4", attrs=None, written=None, start="2000-01-01"):
    """A CF file of daily ``x`` (time, lat, lon) stored as ``dtype`` without _FillValue or
    missing_value; only the points where ``written`` is true are written at all."""
    with netCDF4.Dataset(path, "w") as ds:
        ds.createDimension("time", x.shape[0])
        for name, n in zip(("lat", "lon"), x.shape[1:]):
            ds.createDimension(name, n)
            ds.createVariable(name, "f8", (name,))[:] = np.arange(n)
        t = ds.createVariable("time", "f8", ("time",))
        t.units, t.calendar = f"days since {start}", "standard"
        t[:] = np.arange(x.shape[0])
        v = ds.createVariable(var, dtype, ("time", "lat", "lon"))
        v.setncatts({"units": "degC", **(attrs or {})})
        v.set_auto_maskandscale("scale_factor" in (attrs or {}))
        for index in np.ndindex(x.shape[1:]):
            for a, b in runs(np.ones(x.shape[0], bool) if written is None else written[(slice(None),) + index]):
                v[a:b, index[0], index[1]] = x[a:b, index[0], index[1]]


def runs(mask):
    """(start, end) of each run of true values."""
    change = np.diff(np.concatenate([[0], np.asarray(mask, np.int8), [0]]))
    return zip(np.flatnonzero(change == 1), np.flatnonzero(change == -1))


RESULTS = grid.INDICES["upper"] + grid.SUMMARY + ("cell_status", "missing_days")


def same_results(a, b, names=RESULTS):
    for name in names:
        np.testing.assert_array_equal(a[name].values, b[name].values, err_msg=name)


# Per case: how the file stores the values (dtype, attributes) and which points are missing there.
NO_FILL_VALUE = {
    "float default fill": ("f4", {}, "unwritten"),
    "packed default fill": ("i2", {"scale_factor": np.float32(0.1)}, "unwritten"),
    "valid_range": ("f4", {"valid_range": np.float32([-60, 60])}, "99.9"),
    "valid_min and valid_max, packed": ("i2", {"scale_factor": np.float32(0.1), "valid_min": np.int16(-600),
                                               "valid_max": np.int16(600)}, "99.9"),
}


@pytest.mark.parametrize("case", NO_FILL_VALUE)
def test_default_fill_and_values_outside_the_valid_range_are_missing(tmp_path, capsys, case):
    dtype, attrs, marked = NO_FILL_VALUE[case]
    x = weather(3 * 365, (2, 2))
    lost = np.zeros(x.shape, bool)
    lost[:, 0, 0] = True            # sea
    lost[400:410, 1, 1] = True      # a gap
    lost[-30:, 0, 1] = True         # trailing days
    if marked != "unwritten":
        x[lost] = np.float32(marked)
    plain_nc(tmp_path / "in.nc", x, dtype=dtype, attrs=attrs, written=~lost if marked == "unwritten" else None)
    make_nc(tmp_path / "nan.nc", np.where(lost, np.nan, x))
    # A threshold outside the values, for the warning that names their range.
    for name in ("in", "nan"):
        assert run(tmp_path / f"{name}.nc", "-t", "u", "-x", 40, "-d", 3, "-o", tmp_path / f"{name}-out.nc") == 0
    err = capsys.readouterr().err
    assert "e+36" not in err and "to 99.9" not in err and "outside the data's range" in err, err
    same_results(*(xr.open_dataset(tmp_path / f"{n}-out.nc", decode_timedelta=False) for n in ("in", "nan")))


def test_a_gap_costs_only_the_years_it_touches(tmp_path):
    days = cell_dates(6 * 365 + 1, "1990-01-01")
    index = {d: i for i, d in enumerate(days)}
    i = lambda text: index[__import__("datetime").date.fromisoformat(text)]  # noqa: E731
    x = weather(len(days), (1, 4))
    gaps = {1: (i("1991-04-10"), i("1991-04-13")),    # inside a year
            2: (i("1991-12-31"), i("1992-01-02")),    # across the new year
            3: (i("1993-01-05"), i("1993-01-08"))}    # reached by a run of 1992
    # Cell 3: warm from 27 December to the gap, cool after: with the gap warm the event is dated in 1993,
    # with it cool in 1992.
    x[i("1992-12-26"), 0, 3] = 10
    x[i("1992-12-27"):i("1993-01-05"), 0, 3] = 25
    x[i("1993-01-08"):i("1993-01-15"), 0, 3] = 10
    versions = {}
    for name, value in (("gaps", np.nan), ("warm", 30.0), ("cool", 0.0)):
        v = x.copy()
        for cell, (a, b) in gaps.items():
            v[a:b, 0, cell] = value
        make_nc(tmp_path / f"{name}.nc", v, start="1990-01-01")
        assert run(tmp_path / f"{name}.nc", "-t", "u", "-x", "20.1", "-d", 3, "-o", tmp_path / f"{name}-out.nc",
                   "--events", tmp_path / f"{name}.csv") == 0
        versions[name] = xr.open_dataset(tmp_path / f"{name}-out.nc", decode_timedelta=False)
    out = versions["gaps"]
    years = out["year"].values.tolist()
    lost = {0: set(), 1: {1991}, 2: {1991, 1992}, 3: {1992, 1993}}
    assert out["cell_status"].values.tolist() == [[grid.COMPLETE, grid.GAPS, grid.GAPS, grid.GAPS]]
    for cell, gone in lost.items():
        keep = [y not in gone for y in years]
        for name in grid.INDICES["upper"] + grid.SUMMARY:
            got = out[name].values[:, 0, cell]
            assert np.isnan(got[~np.array(keep)]).all(), (name, cell)
            for other in ("warm", "cool"):
                np.testing.assert_array_equal(got[keep], versions[other][name].values[keep, 0, cell],
                                              err_msg=f"{name} of cell {cell} against the gap {other}")
        missing = [sum(1 for d in days[slice(*gaps[cell])] if d.year == y) if cell in gaps else 0 for y in years]
        assert out["missing_days"].values[:, 0, cell].tolist() == missing, cell
    assert out["missing_days"].attrs["units"] == "days"
    assert versions["warm"]["events"].values[years.index(1992), 0, 3] != \
        versions["cool"]["events"].values[years.index(1992), 0, 3]
    events = {n: [r.split(",") for r in (tmp_path / f"{n}.csv").read_text().splitlines()[1:]] for n in versions}
    for other in ("warm", "cool"):
        kept = [r for r in events[other] if int(r[4][:4]) not in lost[int(r[3])]]
        assert events["gaps"] == kept, other


def test_a_gap_in_the_percentile_base_leaves_the_cell_without_values(tmp_path, capsys):
    x = weather(3 * 365 + 1, (1, 3))
    x[100, 0, 1] = np.nan           # in the base 2000-2001
    x[900, 0, 2] = np.nan           # after it, in 2002
    make_nc(tmp_path / "in.nc", x)
    assert run(tmp_path / "in.nc", "-t", "u", "-d", 3, "--percentile", 90, "--base", "2000-2001",
               "-o", tmp_path / "out.nc") == 0
    assert "1 with missing days in the base period" in capsys.readouterr().err
    out = xr.open_dataset(tmp_path / "out.nc", decode_timedelta=False)
    assert out["cell_status"].values.tolist() == [[grid.COMPLETE, grid.BASE_GAPS, grid.GAPS]]
    assert np.isnan(out["ndays"].values[:, 0, 1]).all() and np.isnan(out["threshold"].values[:, 0, 1]).all()
    assert np.isnan(out["ndays"].values[:, 0, 2]).tolist() == [False, False, True]


def test_a_year_without_spring_frost_has_no_last_frost_day(tmp_path):
    x = np.full((3 * 365, 1, 1), 5.0, np.float32)
    x[[40, 365 + 300, 730 + 60]] = -2.0      # frost in spring, in autumn only, in spring
    make_nc(tmp_path / "in.nc", x)
    assert run(tmp_path / "in.nc", "-t", "l", "-x", 0, "-d", 1, "-o", tmp_path / "out.nc") == 0
    lfd = xr.open_dataset(tmp_path / "out.nc", decode_timedelta=False)["lfd"].values.ravel()
    assert lfd[[0, 2]].tolist() == [41, 60] and np.isnan(lfd[1])


@pytest.mark.parametrize("thrtype, threshold", [("upper", "20.1"), ("lower", "12.0")])
def test_asking_for_the_events_changes_no_value_of_the_output(tmp_path, thrtype, threshold):
    # With --events each cell's yearly values come from the analysis that lists its events.
    make_nc(tmp_path / "in.nc", holed(3 * 365 + 1))
    for name, extra in (("plain", []), ("events", ["--events", tmp_path / "ev.csv"])):
        assert run(tmp_path / "in.nc", "-t", thrtype, "-x", threshold, "-d", 3, "--chunks", "lat=2",
                   "-o", tmp_path / f"{name}.nc", *extra) == 0
    xr.testing.assert_equal(*(xr.open_dataset(tmp_path / f"{n}.nc", decode_timedelta=False)
                              for n in ("plain", "events")))


# Per case: how the file is stored, the command's threshold options, and the API's.
API_CASES = {
    "fixed, gaps filled": ({}, ["-t", "u", "-x", "20.1", "--fill", 3],
                           dict(type="upper", threshold="20.1", fill=3)),
    "percentile": ({}, ["-t", "l", "--percentile", 10, "--base", "2000-2002"],
                   dict(type="lower", percentile=10, base=(2000, 2002))),
    "packed, noleap calendar": (dict(packed=(0.1, 0.0), calendar="noleap"), ["-t", "l", "-x", "12.0"],
                                dict(type="lower", threshold=12.0)),
}


@pytest.mark.parametrize("lazy", [False, True], ids=["numpy", "dask"])
@pytest.mark.parametrize("case", API_CASES)
def test_indices_of_a_dataarray_are_what_grid_writes_of_its_file(tmp_path, case, lazy):
    import vordakit
    stored, options, api = API_CASES[case]
    make_nc(tmp_path / "in.nc", holed(3 * 365 + 1), **stored)
    assert run(tmp_path / "in.nc", *options, "-d", 3, "-o", tmp_path / "out.nc") == 0
    want = xr.open_dataset(tmp_path / "out.nc", decode_times=False, decode_timedelta=False)
    # As a notebook opens it: times decoded, packed values unpacked.
    tg = xr.open_dataset(tmp_path / "in.nc")["tg"]
    got = vordakit.indices(tg.chunk({"lat": 2}) if lazy else tg, min_duration=3, **api)
    assert (got["ndays"].chunks is not None) == lazy
    for name in [*want.data_vars, "time", "year", "time_bnds", "lat", "lon"]:
        np.testing.assert_array_equal(got[name].values, want[name].values, err_msg=name)
    assert got["ndays"].attrs == {k: v for k, v in want["ndays"].attrs.items() if k != "_FillValue"}


def test_events_round_the_action_half_away_from_zero(tmp_path):
    x = np.full((40, 1, 1), 19.0, np.float32)
    x[[5, 20], 0, 0] = [20.0625, 22.0625]        # halves in binary, exactly
    make_nc(tmp_path / "in.nc", x)
    assert run(tmp_path / "in.nc", "-t", "u", "-x", 20, "-d", 1, "-o", tmp_path / "out.nc",
               "--events", tmp_path / "ev.csv") == 0
    actions = [r.split(",")[-1] for r in (tmp_path / "ev.csv").read_text().splitlines()[1:]]
    assert actions == ["0.063", "2.063"]


def test_a_grid_trend_gives_its_bounds_per_decade_like_its_slope(tmp_path):
    years = np.arange(1981, 2011)
    out = xr.Dataset({"ndays": (("time", "lat"), np.stack([0.5 * (years - 1981), 3.0 * (years % 2)], 1),
                                {"units": "days"})},
                     {"time": ("time", years - 1981), "year": ("time", years), "lat": [40.0, 41.0]})
    out.to_netcdf(tmp_path / "out.nc")
    assert cli.main(["trend", str(tmp_path / "out.nc")]) == 0
    t = xr.open_dataset(tmp_path / "out-trend.nc")
    lin = [t[f"ndays_{k}"].values[0] for k in ("slope_low", "slope", "slope_high")]
    assert lin == [5.0, 5.0, 5.0]
    assert t["ndays_slope_low"].values[1] <= t["ndays_slope"].values[1] <= t["ndays_slope_high"].values[1]


@contextlib.contextmanager
def dask_processes(folder):
    """Start dask schedulers and workers as processes on 127.0.0.1: ``start(kind, env, *args)``;
    all are stopped at the end."""
    started = []

    def start(kind, env, *args):
        log = open(folder / f"{kind}-{len(started)}.log", "wb")
        proc = subprocess.Popen([sys.executable, "-m", f"distributed.cli.dask_{kind}", *args, "--no-dashboard"],
                                cwd=folder, env=env, stdout=log, stderr=subprocess.STDOUT)
        started.append((proc, log))
        return proc

    try:
        yield start
    finally:
        for proc, log in started:
            proc.terminate()
        for proc, log in started:
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            log.close()


def scheduler_address(start, folder, env):
    start("scheduler", env, "--host", "127.0.0.1", "--port", "0", "--scheduler-file", folder / "scheduler.json")
    for _ in range(300):
        if (folder / "scheduler.json").exists():
            with contextlib.suppress(ValueError):
                return json.loads((folder / "scheduler.json").read_text())["address"]
        time.sleep(0.1)
    raise AssertionError("the scheduler did not start")


def environment(with_toolkit):
    """The test's environment, or one where neither vordakit nor its binding can be imported."""
    if with_toolkit:
        return dict(os.environ, PYTHONPATH=str(runkit.PYTHON_DIR), PYTHONDONTWRITEBYTECODE="1")
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VORDA_BINDING_DIR")}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("cluster", ["workers without vordakit", "no scheduler"])
def test_a_cluster_that_cannot_run_the_toolkit_ends_with_one_line(tmp_path, cluster):
    make_nc(tmp_path / "in.nc", weather(400, (2, 2)))
    (tmp_path / "w").mkdir()
    with dask_processes(tmp_path / "w") as start:
        if cluster == "no scheduler":
            address, reason = f"tcp://127.0.0.1:{free_port()}", "no scheduler answers"
        else:
            address = scheduler_address(start, tmp_path / "w", environment(False))
            start("worker", environment(False), address, "--nthreads", "1")
            reason = "the workers cannot import vordakit (ModuleNotFoundError: No module named 'vordakit')"
        proc = kit("grid", "in.nc", "-t", "u", "-x", 20, "-d", 3, "-o", "out.nc", "--scheduler", address,
                   "--no-progress", cwd=tmp_path, text=True, timeout=120)
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1 and reason in proc.stderr, proc.stderr
    assert cluster == "no scheduler" or f"dask worker {address}" in proc.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nc", "w"]


DIE_ON_WORK = '''
import os

from distributed import WorkerPlugin


class DieOnWork(WorkerPlugin):
    """The worker dies as it starts its first task that is not the toolkit's probe."""

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and "vordakit-probe" not in str(key):
            os._exit(1)


def dask_setup(worker):
    worker.plugins["die-on-work"] = DieOnWork()
'''


def test_a_worker_lost_mid_run_leaves_the_output_whole(tmp_path):
    x = holed(2 * 365)
    make_nc(tmp_path / "in.nc", x)
    assert run(tmp_path / "in.nc", "-t", "u", "-x", 20, "-d", 3, "--chunks", "lat=1", "-j", 1,
               "-o", tmp_path / "one.nc") == 0
    (tmp_path / "w").mkdir()
    (tmp_path / "w" / "die_on_work.py").write_text(DIE_ON_WORK)
    env = environment(True)
    with dask_processes(tmp_path / "w") as start:
        address = scheduler_address(start, tmp_path / "w", env)
        doomed = start("worker", env, address, "--nthreads", "1", "--no-nanny", "--preload", "die_on_work.py")
        grid_run = subprocess.Popen([sys.executable, "-m", "vordakit", "grid", "in.nc", "-t", "u", "-x", "20", "-d",
                                     "3", "--chunks", "lat=1", "-o", "two.nc", "--scheduler", address,
                                     "--no-progress"], cwd=tmp_path, env=env, stderr=subprocess.PIPE, text=True)
        try:
            # The only worker dies on the first chunk; a fresh one takes the work over.
            assert doomed.wait(timeout=120) != 0
            start("worker", env, address, "--nthreads", "1")
            _, err = grid_run.communicate(timeout=180)
        finally:
            grid_run.kill()
    assert grid_run.returncode == 0, err
    xr.testing.assert_equal(*(xr.open_dataset(tmp_path / n, decode_timedelta=False) for n in ("one.nc", "two.nc")))
