"""A grid's NetCDF output and its trend file as CF readers meet them: standard names with their
threshold coordinate, units that UDUNITS-2 reads, the trend file's coordinates and history."""

import re
import shutil
import subprocess

import netCDF4
import numpy as np
import pytest
import xarray as xr

from vordakit import cli

UDUNITS = shutil.which("udunits2")


@pytest.fixture(scope="module", autouse=True)
def binding(lib):
    return lib


def write_input(path, standard_name="air_temperature", units="degC", scale=1.0, shift=0.0):
    """Twelve years of daily values of two by two cells, with a history of their own."""
    rng = np.random.default_rng(4)
    days = 12 * 365
    x = 15 + 8 * np.sin(np.arange(days) * 2 * np.pi / 365.25)[:, None, None] + rng.normal(0, 3, (days, 2, 2))
    attrs = {"units": units, **({"standard_name": standard_name} if standard_name else {})}
    xr.Dataset({"v": (("time", "lat", "lon"), (x.round(1) * scale + shift).astype(np.float32), attrs)},
               {"time": ("time", np.arange(days) + 0.5, {"units": "days since 2001-01-01", "calendar": "standard"}),
                "lat": ("lat", [50.0, 51.0], {"units": "degrees_north", "standard_name": "latitude"}),
                "lon": ("lon", [0.0, 1.0], {"units": "degrees_east", "standard_name": "longitude"})},
               {"history": "2020-01-01T00:00:00Z: made by hand\n2020-01-02T00:00:00Z: checked"}).to_netcdf(path)
    return path


def grid_and_trend(tmp_path, *options, **data):
    src = write_input(tmp_path / "in.nc", **data)
    # In this process, as the grid's other tests run it: a grid's imports cost seconds a process.
    assert cli.main(["grid", str(src), *options, "-o", str(tmp_path / "out.nc"), "--no-progress"]) == 0
    assert cli.main(["trend", str(tmp_path / "out.nc")]) == 0
    return tmp_path / "out.nc", tmp_path / "out-trend.nc"


def attributes(path, name):
    with netCDF4.Dataset(path) as ds:
        return {v: ds[v].getncattr(name) for v in ds.variables if name in ds[v].ncattrs()}


# (case, grid options, input; the standard names expected, by variable)
STANDARD = {
    "air temperature, upper": (("-t", "u", "-x", "20", "-d", "3"), {},
                               {"ndays": "number_of_days_with_air_temperature_above_threshold"}),
    "air temperature, lower, every run an event": (
        ("-t", "l", "-x", "10", "-d", "1"), {},
        {"ndays": "number_of_days_with_air_temperature_below_threshold",
         "longest_event": "spell_length_of_days_with_air_temperature_below_threshold"}),
    "air temperature, percentile": (("-t", "u", "--percentile", "90", "--base", "2001-2005", "-d", "3"), {}, {}),
    "another variable": (("-t", "u", "-x", "20", "-d", "1"), {"standard_name": "sea_surface_temperature"}, {}),
}


@pytest.mark.parametrize("case", STANDARD)
def test_standard_names_only_where_cf_has_one_with_the_threshold_as_scalar_coordinate(tmp_path, case):
    options, data, want = STANDARD[case]
    out, _ = grid_and_trend(tmp_path, *options, **data)
    names = attributes(out, "standard_name")
    assert {v: n for v, n in names.items() if v not in ("time", "lat", "lon", "threshold")} == want
    ds = xr.open_dataset(out)
    if want:
        assert ds["threshold"].dims == () and float(ds["threshold"]) == float(options[3])
        assert (names["threshold"], ds["threshold"].attrs["units"]) == ("air_temperature", "degC")
        assert all("threshold" in attributes(out, "coordinates")[v].split() for v in want)
    else:
        assert "threshold" not in ds or ds["threshold"].dims == ("dayofyear", "lat", "lon")


# (case, grid options, input; units expected of some variables of the output)
UNITS = {
    "degC, upper": (("-t", "u", "-x", "20", "-d", "3"), {},
                    {"sgs": "days", "action_sum": "degC days", "ndays": "1", "longest_event": "days"}),
    "K as degC, lower": (("-t", "l", "-x", "5", "-d", "3", "--units", "degC"), {"units": "K", "shift": 273.15},
                         {"lfd": "days", "action_max": "degC days"}),
    "Celsius spelt out, percentile": (("-t", "u", "--percentile", "90", "--base", "2001-2005", "-d", "3"),
                                      {"units": "Celsius", "standard_name": None},
                                      {"action_sum": "degC days", "threshold": "Celsius", "ndays": "days"}),
    "precipitation flux": (("-t", "u", "-x", "1", "-d", "2"), {"units": "kg m-2 s-1", "scale": 1 / 86400,
                                                               "standard_name": "precipitation_flux"},
                           {"action_sum": "kg m-2 s-1 days"}),
}


@pytest.mark.skipif(UDUNITS is None, reason="udunits2 is not installed (Debian package udunits-bin)")
@pytest.mark.parametrize("case", UNITS)
def test_every_units_attribute_is_read_by_udunits2(tmp_path, case):
    options, data, want = UNITS[case]
    out, trend = grid_and_trend(tmp_path, *options, **data)
    units = attributes(out, "units")
    assert {v: units[v] for v in want} == want
    slopes = attributes(trend, "units")
    assert all(slopes[f"{v}_slope"] == ("(10 year)-1" if u == "1" else f"{u}/(10 year)")
               for v, u in want.items() if f"{v}_slope" in slopes)
    for path in (out, trend):
        for variable, text in attributes(path, "units").items():
            proc = subprocess.run([UDUNITS, "-H", text, "-W", ""], stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True)
            assert proc.returncode == 0, f"{path.name}: {variable}: {text!r}: {proc.stderr}"
    # A standard name's variable is in units that convert to the name's own.
    canonical = {"number_of_days": "1", "spell_length": "day", "air_temperature": "K", "latitude": "degrees_north",
                 "longitude": "degrees_east", "time": "s"}
    for variable, name in attributes(out, "standard_name").items():
        want = next(u for prefix, u in canonical.items() if name.startswith(prefix))
        have = re.sub(r" since .*", "", units[variable])
        assert subprocess.run([UDUNITS, "-H", have, "-W", want], stdin=subprocess.DEVNULL,
                              capture_output=True).returncode == 0, (variable, have, want)


def test_the_trend_file_keeps_the_history_and_gives_its_coordinates_no_fill_value(tmp_path):
    out, trend = grid_and_trend(tmp_path, "-t", "u", "-x", "20", "-d", "3")
    with netCDF4.Dataset(trend) as t, netCDF4.Dataset(out) as o:
        assert not {"_FillValue", "missing_value"} & {a for c in ("lat", "lon") for a in t[c].ncattrs()}
        lines = t.history.splitlines()
        assert lines[:-1] == o.history.splitlines()
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ: vordakit trend .*out\.nc", lines[-1])
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ: vordakit grid .*", lines[-2])
