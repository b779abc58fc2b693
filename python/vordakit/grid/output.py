"""The CF-1.8 Dataset of a grid's results, as ``vordakit grid`` writes it and ``vordakit.indices`` returns it.

One variable per yearly index and event summary variable (named, described
and measured as the catalogue says), each cell's status as a flag variable,
its missing days per year, with a percentile threshold the threshold of each
calendar day; the input's coordinates of the other dimensions, their bounds
and its grid mapping carried over; a yearly time axis with bounds.
"""

import datetime
import os

import numpy as np

from vordakit import catalogue
from vordakit.dates import slot_dates
from vordakit.errors import KitError
from vordakit.grid.calendars import time_axis
from vordakit.grid.plan import status_meanings
from vordakit.grid.values import TEMPERATURE_UNITS

__all__ = ["INT_FILL", "DOUBLE_FILL", "times_days", "history_line", "output_dataset", "carried_variables",
           "load_output"]

INT_FILL = -2147483647           # NetCDF's default fill of int
DOUBLE_FILL = 9.969209968386869e36


def carried_variables(src):
    """Coordinates of the other dimensions, their auxiliary coordinates and bounds,
    and the grid mapping, as the input holds them: ({name: variable}, grid mapping name)."""
    variables = src.variables
    # In a fixed order (a dict, not a set), so that the output's variables are
    # listed alike from one run to the next.
    names = {}
    for dim in src.other_dims:
        if dim in variables:
            names[dim] = None
    for name in str(src.attrs.get("coordinates", "")).split():
        if name in variables:
            names[name] = None
    gm = str(src.attrs.get("grid_mapping", "")).split(":")[0].strip()
    if gm and gm in variables:
        names[gm] = None
    for name in list(names):
        b = variables[name].attrs.get("bounds")
        if b and b in variables:
            names[b] = None
    keep = {name: variables[name] for name in names if src.tdim not in variables[name].dims}
    return keep, gm


class _Parts:
    """The Dataset's variables, coordinates and encodings as they are gathered."""

    def __init__(self, src):
        self.data_vars, self.coords, self.encoding = {}, {}, {}
        carried, self.gm = carried_variables(src)
        self.carried = carried
        self.aux = [c for c in str(src.attrs.get("coordinates", "")).split() if c in carried]
        # Named wherever the input names one, as the input's own variables do.
        self.mapping = {"grid_mapping": src.attrs["grid_mapping"]} if self.gm else {}
        self.dims = src.other_dims

    def yearly_attrs(self, coordinates=True):
        """What every yearly variable carries: its coordinates and the grid mapping."""
        extra = {"coordinates": " ".join(self.aux + ["year"])} if self.aux and coordinates else {}
        return {**extra, **self.mapping}


def _time_coords(parts, days):
    import xarray as xr
    units, start, bounds = time_axis(days.years, days.calendar)
    parts.coords["time"] = xr.Variable(("time",), start, {"units": units, "calendar": days.calendar,
                                                          "standard_name": "time", "axis": "T", "long_name": "year"})
    parts.coords["year"] = xr.Variable(("time",), days.years.astype(np.int32), {"long_name": "calendar year"})
    for name, v in parts.carried.items():
        parts.coords[name] = xr.Variable(v.dims, v.values, dict(v.attrs))
    parts.coords["time_bnds"] = xr.Variable(("time", "nv"), bounds)
    # Bounds named in the encoding are written as bounds, not as coordinates.
    parts.encoding.update({"time": {"dtype": "float64", "_FillValue": None, "bounds": "time_bnds"},
                           "time_bnds": {"dtype": "float64", "_FillValue": None},
                           "year": {"_FillValue": None}})
    for name in parts.carried:
        parts.encoding[name] = {"_FillValue": None}
        if "bounds" in parts.coords[name].attrs:
            parts.encoding[name]["bounds"] = parts.coords[name].attrs.pop("bounds")
    if parts.gm in parts.carried:
        parts.data_vars[parts.gm] = parts.coords.pop(parts.gm)


def _what(plan, thr_text, out_units):
    """The days the indices count, in words."""
    side = "above" if plan.type == "upper" else "below"
    if plan.percentile is None:
        return f"the daily values {side} {thr_text} {out_units}".rstrip()
    label = plan.percentile.setting.label
    return f"the daily values {side} the threshold of their calendar day, the cell's {label}"


def times_days(units):
    """The units of a sum over days of values in ``units``, in a form UDUNITS-2 reads (the
    spellings of degrees Celsius and kelvin that it does not read made its own).

    >>> times_days("Celsius"), times_days("degrees_K"), times_days("mm/day"), times_days("")
    ('degC days', 'K days', 'mm/day days', 'days')
    """
    units = units.strip()
    return f"{TEMPERATURE_UNITS.get(units.lower(), units)} days" if units else "days"


def _standard(src, plan, name):
    """(standard name, units or None) of an index variable, None where CF has no name for it: only
    for air temperature beyond a fixed threshold, which the scalar coordinate threshold gives."""
    if plan.percentile is not None or src.attrs.get("standard_name") != "air_temperature":
        return None
    return catalogue.standard_name(name, plan.type, plan.min_duration)


def _threshold_coordinate(parts, plan, out_units):
    """The fixed threshold as the scalar coordinate that CF asks of the standard names."""
    import xarray as xr
    parts.coords["threshold"] = xr.Variable((), np.float64(plan.threshold), {
        "standard_name": "air_temperature", "long_name": "threshold", "units": out_units})
    parts.encoding["threshold"] = {"_FillValue": None}


def _index_variables(parts, stack, plan, out_units, thr_text, src):
    import xarray as xr
    what = _what(plan, thr_text, out_units)
    for i, name in enumerate(plan.names):
        long_name, unit, method = catalogue.grid_attrs(name)
        # Measures in the data's units (the action) are decimals; counts, days and ordinals whole.
        whole = unit is not None
        if unit is None:
            unit = times_days(out_units)
        index = catalogue.BY_KEY.get(name)
        # The days count and the last frost day are the same whatever the minimum duration.
        duration = f", minimum duration {plan.min_duration} days" if index is None or index.uses_duration else ""
        attrs = {"long_name": f"{long_name} ({what}{duration})", "units": unit,
                 "cell_methods": method, **parts.yearly_attrs()}
        standard = _standard(src, plan, name)
        if standard is not None:
            if "threshold" not in parts.coords:
                _threshold_coordinate(parts, plan, out_units)
            attrs["standard_name"] = standard[0]
            attrs["units"] = standard[1] or unit
            attrs["coordinates"] = " ".join(parts.aux + ["year", "threshold"])
        if catalogue.BY_KEY.get(name) and catalogue.BY_KEY[name].day_of_year:
            attrs["comment"] = "day of the year: 1 is the first day of the year's analysed days"
        parts.data_vars[name] = xr.Variable(parts.dims + ("time",), stack[..., i, :], attrs).transpose(
            "time", *parts.dims)
        if whole:
            parts.encoding[name] = {"dtype": "int32", "_FillValue": INT_FILL}
        else:
            parts.encoding[name] = {"dtype": "float64", "_FillValue": DOUBLE_FILL}


def _cell_variables(parts, stack, plan):
    import xarray as xr
    nv = len(plan.names)
    meanings = status_meanings(plan)
    parts.data_vars["cell_status"] = xr.Variable(
        parts.dims, stack[..., nv, 0].astype(np.int8),
        {"long_name": "what became of the cell's series",
         "flag_values": np.arange(len(meanings.split()), dtype=np.int8),
         "flag_meanings": meanings, **parts.mapping})
    parts.encoding["cell_status"] = {"dtype": "int8", "_FillValue": None}
    parts.data_vars["missing_days"] = xr.Variable(
        parts.dims + ("time",), stack[..., nv + 1, :].astype(np.int32),
        {"long_name": "days of the year without a value in the cell's series (after --fill); a year with "
                      "missing days between the cell's first and last value has no values",
         "units": "days", "cell_methods": "time: sum", **parts.yearly_attrs()}).transpose("time", *parts.dims)
    parts.encoding["missing_days"] = {"dtype": "int32", "_FillValue": None}


def _threshold_variable(parts, thresholds, plan, out_units):
    """The variable threshold(dayofyear, cell dimensions), with the month and day of each calendar day."""
    import xarray as xr
    month, day = slot_dates()
    parts.coords["dayofyear"] = xr.Variable(
        ("dayofyear",), np.arange(1, 367, dtype=np.int16),
        {"long_name": "calendar day, counted as in a leap year (60 is 29 February)"})
    parts.coords["month"] = xr.Variable(("dayofyear",), month.astype(np.int8),
                                        {"long_name": "month of the calendar day"})
    parts.coords["day"] = xr.Variable(("dayofyear",), day.astype(np.int8),
                                      {"long_name": "day of the month of the calendar day"})
    for name in ("dayofyear", "month", "day"):
        parts.encoding[name] = {"_FillValue": None}
    attrs = {"long_name": f"threshold of the calendar day: the {plan.percentile.setting.label}",
             "units": out_units, "coordinates": " ".join(parts.aux + ["month", "day"]), **parts.mapping}
    parts.data_vars["threshold"] = xr.Variable(parts.dims + ("dayofyear",), thresholds, attrs).transpose(
        "dayofyear", *parts.dims)
    parts.encoding["threshold"] = {"dtype": "float64", "_FillValue": DOUBLE_FILL}


def history_line(command, earlier=""):
    """The history attribute of a file that ``command`` makes now: the lines of the input's
    history (``earlier``) first, then the command's behind a timestamp, as CF asks.

    >>> history_line("vordakit trend out.nc", "2026-01-02T03:04:05Z: vordakit grid in.nc").splitlines()[0]
    '2026-01-02T03:04:05Z: vordakit grid in.nc'
    """
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    earlier = str(earlier).rstrip("\n")
    return (earlier + "\n" if earlier else "") + f"{stamp}: {command}"


def _global_attrs(src, plan, out_units, thr_text, history):
    attrs = {
        "Conventions": "CF-1.8",
        "title": f"VORDA yearly indices and events of {src.var}",
        "source": "vordakit grid: vorda's analyses of each cell's daily series",
        "threshold": thr_text,
        "threshold_units": out_units,
        "threshold_type": plan.type,
        "min_duration": np.int32(plan.min_duration),
    }
    if plan.percentile is not None:
        # No fixed threshold: the percentile's, per cell and calendar day, in the variable threshold.
        setting = plan.percentile.setting
        del attrs["threshold"]
        attrs.update(percentile=setting.text, base_period=setting.base_text, window_days=np.int32(setting.window))
    attrs["variable"] = src.var
    if src.files:
        attrs["source_files"] = " ".join(os.path.basename(f) for f in src.files)
    attrs["history"] = history_line(history)
    if plan.fill is not None:
        attrs["fill_max_days"] = np.int32(plan.fill)
    return attrs


def output_dataset(src, stack, plan, out_units, thr_text, history, thresholds=None):
    """The Dataset of the results ``stack`` (cells..., slots, years; see Plan.slots) of
    the input ``src`` (vordakit.grid.source.Input, or the API's array), with the
    encoding each variable is written with."""
    import xarray as xr
    parts = _Parts(src)
    _time_coords(parts, plan.days)
    _index_variables(parts, stack, plan, out_units, thr_text, src)
    _cell_variables(parts, stack, plan)
    if thresholds is not None:
        _threshold_variable(parts, thresholds, plan, out_units)
    ds = xr.Dataset(parts.data_vars, parts.coords, _global_attrs(src, plan, out_units, thr_text, history))
    for name, e in parts.encoding.items():
        if name in ds.variables:
            ds[name].encoding = e
    return ds


def load_output(path):
    """An output of ``vordakit grid``, checked and read whole into memory, for trend and plot."""
    import xarray as xr

    try:
        source = xr.open_dataset(path, decode_times=False, decode_timedelta=False)
    except Exception as e:
        raise KitError(path, None, f"cannot be read as NetCDF: {e}") from None
    with source:
        if "year" not in source.variables:
            raise KitError(path, None, "not an output of vordakit grid (no year coordinate)")
        return source.load()
