"""Gridded daily data: the yearly indices and event summary of every cell of CF NetCDF files.

The input is read lazily with xarray and cut into dask chunks over the
dimensions other than time, each chunk holding the whole time axis; the
binding analyses all cells of a chunk at once, so that memory is bounded by
the chunks and the chunks run in parallel on threads or on a dask.distributed
cluster. The result is one CF-1.8 file of yearly values, written whole or not
at all.

A cell's series is what ``convert`` makes of a station's: the days of the
chosen months from the cell's first to its last value, gaps of up to --fill
days filled by ``convert``'s interpolation; a gap left costs the cell the
years it touches (see ``_gaps``), and the output counts each year's missing
days. Points holding the netCDF default fill of a variable without
``_FillValue`` and values outside its valid range are missing. Values are taken as
the decimals the file holds, as a station file's text is: a float32 20.1 is
20.1; packed values are rounded to the decimals of their scale and offset,
converted temperatures to those of the file's value (at least two), converted
precipitation fluxes to four.
"""

import contextlib
import datetime
import decimal
import functools
import glob
import math
import os
import sys
import tempfile
import warnings

import numpy as np

from vordakit import convert
from vordakit.runner import threshold_number, threshold_text, given_duration, type_letter
from vordakit.errors import KitError
from vordakit.series import MAX_RECORDS

__all__ = ["INDICES", "SUMMARY", "NONE_VALUE", "COMPLETE", "TRIMMED", "FILLED", "GAPS", "EMPTY", "BASE_GAPS",
           "decimal_values", "expand_inputs", "Input", "Days", "analyse_block", "block_events", "run_grid",
           "command"]

INDICES = {"upper": ("ndays", "wsdi", "sgs"), "lower": ("ndays", "csdi", "lfd")}
SUMMARY = ("events", "event_days", "action_sum", "action_max", "longest_event")
# vorda's word for "none this year", which the output keeps as no value.
NONE_VALUE = {"sgs": 0.0, "lfd": -999.0}

# A cell's fate, kept per cell in the output as a CF flag variable; the last
# only with a percentile threshold (a cell whose base period misses a day).
COMPLETE, TRIMMED, FILLED, GAPS, EMPTY, BASE_GAPS = range(6)
STATUS_MEANINGS = "complete trimmed filled gaps no_value"
BASE_GAPS_MEANING = "base_gaps"
# Cells whose percentile thresholds are worked out at once: their windows take
# about cells x base years x 366 x window doubles, a few times over.
THRESHOLD_CELLS = 32

CALENDARS = {"standard", "gregorian", "proleptic_gregorian", "noleap", "365_day", "all_leap", "366_day",
             "360_day", "julian"}
_ORDINAL_UNITS = "days since 0001-01-01 00:00:00"

TEMPERATURE_UNITS = {"degc": "degC", "deg_c": "degC", "degrees_c": "degC", "degree_c": "degC",
                     "celsius": "degC", "degrees_celsius": "degC", "°c": "degC",
                     "k": "K", "kelvin": "K", "degk": "K", "deg_k": "K", "degrees_k": "K"}
FLUX_UNITS = {"kg m-2 s-1": "flux", "kg/m2/s": "flux", "kg m**-2 s**-1": "flux", "kg/m^2/s": "flux",
              "kg m^-2 s^-1": "flux", "kg.m-2.s-1": "flux",
              "mm/day": "mm/day", "mm/d": "mm/day", "mm day-1": "mm/day", "mm d-1": "mm/day", "mm": "mm/day"}
# The decimals kept of a precipitation flux in mm/day.
FLUX_DECIMALS = 4

_INT_FILL = -2147483647           # NetCDF's default fill of int
_DOUBLE_FILL = 9.969209968386869e36

_ATTRS = {
    "ndays": ("number of days beyond the threshold", "days", "time: sum"),
    "wsdi": ("warm spell duration index: days in warm spells of at least the minimum duration", "days",
             "time: sum"),
    "csdi": ("cold spell duration index: days in cold spells of at least the minimum duration", "days",
             "time: sum"),
    "sgs": ("start of the growing season: ordinal of the day a run above the threshold first reaches the "
            "minimum duration", "1", "time: minimum"),
    "lfd": ("last frost day: ordinal of the last day below the threshold among the year's first 182 days",
            "1", "time: maximum"),
    "events": ("number of events dated in the year", "1", "time: sum"),
    "event_days": ("days in events dated in the year", "days", "time: sum"),
    "action_sum": ("summed action measure of the events dated in the year", None, "time: sum"),
    "action_max": ("largest action measure of an event dated in the year", None, "time: maximum"),
    "longest_event": ("duration of the longest event dated in the year", "days", "time: maximum"),
}


def _lib():
    try:
        from vordakit import _vorda
    except ImportError as e:
        raise KitError(None, None, f"the binding vordakit._vorda is not built ({e}): "
                                   "run cmake --workflow --preset release") from None
    return _vorda


# ---------------------------------------------------------------- values


def decimal_values(x):
    """The decimals a float array holds: (float64 values, decimals per value).

    Each value becomes the shortest decimal that reads back as the same
    number in the array's own precision, as the double that text reads as;
    NaN stays NaN with 0 decimals.

    >>> v, d = decimal_values(np.array([20.1, 0.25, np.nan], np.float32))
    >>> v.tolist(), d.tolist()
    ([20.1, 0.25, nan], [1, 2, 0])
    """
    x = np.asarray(x)
    wide = x.astype(np.float64)
    out = np.full(x.shape, np.nan)
    dec = np.zeros(x.shape, np.int8)
    todo = ~np.isnan(wide)
    # Fewest decimals first: the first that reads back is the shortest form.
    # Values too small for 23 decimals (below about 1e-15) keep their binary value.
    for d in range(0, 24):
        if not todo.any():
            break
        idx = np.nonzero(todo)
        r = np.round(wide[idx], d)
        ok = r.astype(x.dtype) == x[idx]
        hit = tuple(i[ok] for i in idx)
        out[hit] = r[ok]
        dec[hit] = d
        todo[hit] = False
    if todo.any():
        out[todo] = wide[todo]
        dec[todo] = 24
    return out, dec


def _max_decimals_text(number):
    """Decimals of a scale factor or offset as its own type prints it."""
    text = np.format_float_positional(number, unique=True, trim="-")
    return len(text.split(".", 1)[1]) if "." in text else 0


# ---------------------------------------------------------------- input


def expand_inputs(paths):
    """Paths and globs -> file list, each glob's matches sorted."""
    files = []
    for p in paths:
        if any(c in p for c in "*?["):
            found = sorted(glob.glob(p))
            if not found:
                raise KitError(p, None, "no file matches")
            files.extend(found)
        else:
            files.append(p)
    return files


def _open(path):
    import xarray as xr
    if not os.path.exists(path):
        raise KitError(path, None, "no such file")
    try:
        with open(path, "rb") as f:
            magic = f.read(8)
    except OSError as e:
        raise KitError(path, None, e.strerror) from None
    if not (magic[:3] == b"CDF" or magic == b"\x89HDF\r\n\x1a\n"):
        raise KitError(path, None, "not a NetCDF file")
    try:
        # Lazily, without dask: the chunks are made later so that each reads its own part.
        return xr.open_dataset(path, engine="netcdf4", decode_times=False,
                               mask_and_scale=True, decode_coords=False)
    except Exception as e:  # the readers raise many kinds for one cause
        raise KitError(path, None, f"cannot be read as NetCDF: {e}") from None


def _time_dim(ds, var, path):
    for dim in ds[var].dims:
        if dim in ds.variables:
            v = ds.variables[dim]
            # CF knows a time coordinate by its units, "days since ...".
            if " since " in str(v.attrs.get("units", "")):
                return dim
    raise KitError(path, None, f"variable {var!r} has no time dimension")


def _choose_var(ds, var, path):
    if var is not None:
        if var not in ds.data_vars:
            raise KitError(path, None, f"no variable {var!r} (there are {', '.join(map(str, ds.data_vars)) or 'none'})")
        return var
    bounds = {str(ds.variables[v].attrs.get("bounds")) for v in ds.variables}
    candidates = []
    for name in ds.data_vars:
        if name in bounds:
            continue
        try:
            _time_dim(ds, name, path)
        except KitError:
            continue
        candidates.append(name)
    if len(candidates) == 1:
        return candidates[0]
    if not candidates:
        raise KitError(path, None, "no variable with a time dimension")
    raise KitError(path, None, f"several variables with a time dimension ({', '.join(candidates)}): "
                               "choose one with --var")


def _day_ordinals(ds, tdim, path):
    """(calendar, day ordinals) of a file's time axis."""
    import cftime
    tv = ds.variables[tdim]
    units = tv.attrs.get("units")
    calendar = str(tv.attrs.get("calendar", "standard")).lower()
    if calendar not in CALENDARS:
        raise KitError(path, None, f"unknown calendar {calendar!r} of {tdim!r}")
    raw = np.asarray(tv.values)
    try:
        dates = cftime.num2date(raw, units, calendar, only_use_cftime_datetimes=True)
        ordinals = cftime.date2num(dates, _ORDINAL_UNITS, calendar)
    except Exception as e:
        raise KitError(path, None, f"cannot read the times of {tdim!r} ({units!r}, {calendar}): {e}") from None
    return calendar, np.floor(np.asarray(ordinals, dtype=np.float64) + 1e-9).astype(np.int64)


def _invalid_rule(attrs, encoding, path):
    """What else marks a value missing besides ``_FillValue`` and ``missing_value``
    (which xarray masks): None, or (fill, low, high, scale, offset, raw) for
    ``_mask_invalid``.

    A variable without either attribute holds the netCDF default fill of its
    type at points never written, and the netCDF library reads those as
    missing (bytes excepted); ``valid_min``, ``valid_max`` and ``valid_range``
    bound the valid values. Bounds of the stored type are in stored units
    (``raw``: before scale and offset), bounds of a floating type in the
    unpacked ones.
    """
    import netCDF4
    stored = np.dtype(encoding.get("dtype", np.float64))
    fill = None
    if "_FillValue" not in encoding and "missing_value" not in encoding and stored.kind in "fiu" \
            and stored.itemsize > 1:
        fill = float(stored.type(netCDF4.default_fillvals[stored.str[1:]]))
    low = high = None
    kinds = set()
    try:
        if "valid_range" in attrs:
            bounds = np.asarray(attrs["valid_range"]).ravel()
            if len(bounds) != 2:
                raise ValueError
            low, high = float(bounds[0]), float(bounds[1])
            kinds.add(bounds.dtype.kind)
        for name in ("valid_min", "valid_max"):
            if name in attrs:
                value = np.asarray(attrs[name]).ravel()
                if len(value) != 1:
                    raise ValueError
                low, high = (float(value[0]), high) if name == "valid_min" else (low, float(value[0]))
                kinds.add(value.dtype.kind)
    except (TypeError, ValueError):
        raise KitError(path, None, "valid_range, valid_min or valid_max is not a number (two for valid_range)") \
            from None
    if fill is None and low is None and high is None:
        return None
    packed = "scale_factor" in encoding or "add_offset" in encoding
    scale = float(encoding.get("scale_factor", 1.0))
    offset = float(encoding.get("add_offset", 0.0))
    # Packed whole numbers: bounds of a floating type are in the unpacked units.
    raw = packed and stored.kind in "iu" and not kinds & {"f"}
    return fill, low, high, (scale if packed else 1.0), (offset if packed else 0.0), raw


def _mask_invalid(block, rule):
    """The block with the default fill and values outside the valid range made NaN."""
    fill, low, high, scale, offset, raw = rule
    block = np.asarray(block)
    wide = block.astype(np.float64)
    # Packed values back to the whole numbers stored, where fill and bounds are exact.
    stored = np.round((wide - offset) / scale) if scale != 1.0 or offset != 0.0 else wide
    bad = np.zeros(block.shape, bool)
    if fill is not None:
        bad |= stored == fill
    values = stored if raw else wide
    with np.errstate(invalid="ignore"):
        if low is not None:
            bad |= values < low
        if high is not None:
            bad |= values > high
    if not bad.any():
        return block
    return np.where(bad, np.nan, block).astype(block.dtype, copy=False)


class Input:
    """The data variable of one or more files along time, lazily, and its calendar."""

    def __init__(self, paths, var=None):
        self.files = expand_inputs(paths)
        parts = []
        for path in self.files:
            ds = _open(path)
            name = _choose_var(ds, var, path)
            var = var or name
            tdim = _time_dim(ds, name, path)
            calendar, ordinals = _day_ordinals(ds, tdim, path)
            parts.append((ordinals[0] if len(ordinals) else 0, path, ds, name, tdim, calendar, ordinals))
        parts.sort(key=lambda p: p[0])
        first = parts[0]
        _, path0, ds0, self.var, self.tdim, self.calendar, _ = first
        for _, path, ds, name, tdim, calendar, _ in parts[1:]:
            if calendar != self.calendar and {calendar, self.calendar} != {"standard", "gregorian"}:
                raise KitError(path, None, f"calendar {calendar} differs from {self.calendar} of {path0}")
            if ds[name].dims != ds0[self.var].dims or any(
                    ds[name].sizes[d] != ds0[self.var].sizes[d] for d in ds[name].dims if d != tdim):
                raise KitError(path, None, f"dimensions {dict(ds[name].sizes)} differ from "
                                           f"{dict(ds0[self.var].sizes)} of {path0}")
        self.ordinals = np.concatenate([p[6] for p in parts])
        if len(self.ordinals) == 0:
            raise KitError(path0, None, f"no time steps in {self.tdim!r}")
        steps = np.diff(self.ordinals)
        if (steps <= 0).any():
            i = int(np.argmax(steps <= 0))
            raise KitError(self._file_of(parts, i + 1), None,
                           "times are not increasing by whole days (two steps on one day, or out of order)")
        if len(steps) and np.median(steps) != 1:
            raise KitError(parts[0][1], None, "the time steps are not daily")
        self._parts = [p[2][p[3]].drop_vars([c for c in p[2][p[3]].coords if p[4] in p[2][p[3]][c].dims])
                       for p in parts]
        self.dataset = ds0
        self.attrs = dict(ds0[self.var].attrs)
        self.encoding = dict(ds0[self.var].encoding)
        self.units = str(self.attrs.get("units", ""))
        self.other_dims = tuple(d for d in ds0[self.var].dims if d != self.tdim)
        self.shape = tuple(ds0[self.var].sizes[d] for d in self.other_dims) + (len(self.ordinals),)
        self.dtype = ds0[self.var].dtype
        self.invalid = _invalid_rule(self.attrs, self.encoding, path0)
        # The file's own chunks of the other dimensions, where it has them.
        chunks = self.encoding.get("chunksizes")
        dims = ds0[self.var].dims
        self.file_chunks = None if not chunks else tuple(chunks[dims.index(d)] for d in self.other_dims)

    def chunked(self, sizes):
        """The values as a dask array, the other dimensions first and time last
        (a cell's series is one row), in chunks of ``sizes`` with time whole;
        each chunk reads only its own part of each file."""
        import xarray as xr
        chunking = {d: sizes[d] for d in self.other_dims}
        arrays = [a.chunk({**chunking, self.tdim: -1}) for a in self._parts]
        da = arrays[0] if len(arrays) == 1 else xr.concat(arrays, dim=self.tdim, coords="minimal",
                                                          compat="override", join="override")
        da = da.transpose(*self.other_dims, self.tdim)
        return da.data.rechunk(tuple(chunking[d] for d in self.other_dims) + (-1,))

    @staticmethod
    def _file_of(parts, index):
        for p in parts:
            if index < len(p[6]):
                return p[1]
            index -= len(p[6])
        return parts[-1][1]


# ---------------------------------------------------------------- days


class Days:
    """The daily axis of the analysis: every calendar day from the first time to the
    last, cut to the chosen months; ``src`` is the input's time index of each day
    (-1 where the input has no time step on that day)."""

    def __init__(self, ordinals, calendar, months=None):
        import cftime
        full = np.arange(ordinals[0], ordinals[-1] + 1)
        src = np.full(len(full), -1, np.int64)
        src[ordinals - ordinals[0]] = np.arange(len(ordinals))
        dates = cftime.num2date(full, _ORDINAL_UNITS, calendar, only_use_cftime_datetimes=True)
        self.yr = np.fromiter((d.year for d in dates), np.int32, len(full))
        self.m = np.fromiter((d.month for d in dates), np.int32, len(full))
        self.d = np.fromiter((d.day for d in dates), np.int32, len(full))
        keep = np.ones(len(full), bool) if months is None else np.isin(self.m, sorted(months))
        self.ordinal, self.src = full[keep], src[keep]
        self.yr, self.m, self.d = self.yr[keep], self.m[keep], self.d[keep]
        self.years = np.unique(self.yr)
        self.calendar = calendar
        self.dense = bool(len(self.src) == len(ordinals) and (self.src == np.arange(len(ordinals))).all())


# ---------------------------------------------------------------- analysis


class Plan:
    """Everything a chunk's analysis needs; plain data, so that it travels to workers."""

    def __init__(self, days, thrtype, threshold, min_duration, fill, convert_to, packed_decimals, percentile=None):
        self.days = days
        self.type = thrtype
        self.threshold = threshold
        self.min_duration = min_duration
        self.fill = fill
        self.convert_to = convert_to          # None, "degC" (from K) or "mm/day" (from a flux)
        self.packed_decimals = packed_decimals  # None, or the decimals of scale and offset
        self.percentile = percentile          # None, or a PercentilePlan (the threshold is then 0.0)
        self.names = INDICES[thrtype] + SUMMARY
        if percentile is not None:
            # SGS and LFD are defined for a fixed threshold only.
            self.names = tuple(n for n in self.names if n not in NONE_VALUE)

    @property
    def slots(self):
        """(values per cell and year, years): the indices, the status, the missing
        days per year, and with a percentile threshold its 366 values per
        calendar day (a slot of their own)."""
        k = len(self.days.years)
        if self.percentile is None:
            return len(self.names) + 2, k
        return len(self.names) + 3, max(k, 366)


class PercentilePlan:
    """A percentile threshold per cell and calendar day: the Setting, the base's
    days (``span``, indices into the analysis days) and every day's calendar day."""

    def __init__(self, setting, days):
        from vordakit import percentile
        first, last = setting.base
        self.setting = setting
        self.keys = percentile.calendar_keys(days.m, days.d)
        self.span = tuple(int(i) for i in np.searchsorted(days.yr, [first, last + 1]))


def _cell_values(x, plan):
    """Rows of the chunk as the values vorda is to read: float32 as they are (the
    binding reads their decimals), else float64 decimal doubles; and the
    decimals per value where they had to be found (else None)."""
    if plan.packed_decimals is not None:
        dec = plan.packed_decimals
        x = np.round(x.astype(np.float64), dec)
    elif plan.convert_to is None and plan.fill is None:
        return (x if x.dtype in (np.float32, np.float64) else x.astype(np.float64)), None
    elif x.dtype in (np.float32, np.float64):
        x, dec = decimal_values(x)
    else:
        x, dec = x.astype(np.float64), 0
    if plan.convert_to == "degC":
        # 273.15 has two decimals: the difference has those of the value, and at least two.
        keep = np.maximum(dec, 2)
        x = x - 273.15
        x = np.round(x, int(keep)) if np.ndim(keep) == 0 else _round_each(x, keep)
        dec = None
    elif plan.convert_to == "mm/day":
        x = np.round(x * 86400.0, FLUX_DECIMALS)
        dec = None
    return x, dec


def _round_each(x, decimals):
    out = x.copy()
    for d in np.unique(decimals):
        sel = decimals == d
        out[sel] = np.round(x[sel], int(d))
    return out


def analyse_block(block, plan):
    """(..., input days) -> (..., slots, years) (see Plan.slots): a chunk's cells
    analysed; the status slot holds each cell's status in its first year, the
    next slot its missing days per year."""
    lib = _lib()
    days = plan.days
    shape = block.shape[:-1]
    x = _rows(block, days)
    cells, length = x.shape
    out = np.full((cells,) + plan.slots, np.nan)
    nv = len(plan.names)
    if length == 0 or cells == 0:
        out[:, nv, 0] = EMPTY
        out[:, nv + 1, :len(days.years)] = 0
        return out.reshape(shape + out.shape[1:])
    x, status, first, last, ready = _series_rows(x, plan)
    out[:, nv + 1, :len(days.years)] = _missing_per_year(x, days)
    if plan.percentile is not None:
        x, ready, out[:, nv + 2, :366] = _exceedances(x, ready, status, plan)
    gapped = ready & (status == GAPS)
    whole = ready & ~gapped
    # Cells with the same first and last day share a calendar: one call each.
    key = first * length + last
    for group in np.unique(key[whole]):
        rows = np.flatnonzero(whole & (key == group))
        _analyse_rows(lib, x, rows, int(group // length), int(group % length) + 1, plan, out)
    if gapped.any():
        cells_with_gaps = np.flatnonzero(gapped)
        stretches, lost = _gaps(lib, x, cells_with_gaps, first, last, plan)
        for (a, b), rows in stretches.items():
            _analyse_rows(lib, x, np.asarray(rows), a, b, plan, out)
        k = len(days.years)
        kept = out[cells_with_gaps, :nv, :k]
        out[cells_with_gaps, :nv, :k] = np.where(lost[:, None, :], np.nan, kept)
    out[:, nv, 0] = status
    return out.reshape(shape + out.shape[1:])


def _analyse_rows(lib, x, rows, a, b, plan, out):
    """The yearly values of days a to b (exclusive) of the given rows, into ``out``."""
    days = plan.days
    t = days.ordinal[a:b] - days.ordinal[a] + 1
    part = x[:, a:b] if len(rows) == x.shape[0] else x[rows, a:b]
    r = lib.analyse_cells(part, t, days.d[a:b], days.m[a:b], days.yr[a:b], plan.type, plan.threshold,
                          plan.min_duration)
    pos = np.searchsorted(days.years, r["years"])
    for i, name in enumerate(plan.names):
        v = r[name]
        if name in NONE_VALUE:
            v = np.where(v == NONE_VALUE[name], np.nan, v)
        out[rows[:, None], i, pos[None, :]] = v


def _missing_per_year(x, days):
    """(cells, years): the days of each year without a value."""
    starts = np.searchsorted(days.yr, days.years)
    return np.add.reduceat(np.isnan(x).view(np.uint8), starts, axis=1, dtype=np.int64)


def _gaps(lib, x, cells, first, last, plan):
    """The gap-free stretches of cells with missing days inside their series, as
    {(first day, end): rows}, and the years each cell loses, (cells, years).

    A gap costs the years of its missing days, and the years of any run of
    days beyond the threshold that reaches the gap: what the gap held could
    have joined that run into a longer event or spell, moved the day an event
    is dated by, or started a season. Runs that end on a day not beyond the
    threshold are whole on either side, so the other years equal those of the
    cell without the gap whatever it held.
    """
    days = plan.days
    length = x.shape[1]
    span = (np.arange(length) >= first[cells, None]) & (np.arange(length) <= last[cells, None])
    sub = x[cells]
    valid = ~np.isnan(sub) & span
    missing = np.isnan(sub) & span
    beyond = np.zeros(sub.shape, bool)
    beyond[valid] = _beyond(lib, sub[valid], plan)
    # Per day, the last day at or before it not beyond the threshold, and the next at or after it.
    index = np.broadcast_to(np.arange(length), sub.shape)
    before = np.maximum.accumulate(np.where(beyond, -1, index), axis=1)
    after = np.minimum.accumulate(np.where(beyond, length, index)[:, ::-1], axis=1)[:, ::-1]
    edge = np.pad(missing, ((0, 0), (1, 1)))
    rows = np.arange(len(cells))[:, None]
    touching = beyond & (edge[rows, before + 1] | edge[rows, after + 1])
    starts = np.searchsorted(days.yr, days.years)
    lost = np.logical_or.reduceat(missing | touching, starts, axis=1)
    stretches = {}
    for row, c in enumerate(cells):
        change = np.diff(np.concatenate([[0], valid[row].view(np.int8), [0]]))
        for a, b in zip(np.flatnonzero(change == 1), np.flatnonzero(change == -1)):
            stretches.setdefault((int(a), int(b)), []).append(c)
    return stretches, lost


def _beyond(lib, values, plan, part=2**20):
    """Whether each value lies beyond the threshold, as vorda reads it: each as a
    one-day series, where a day beyond is an event of its own; a part at a
    time, as each value takes a row of every yearly output."""
    one = np.ones(1, np.int32)
    out = np.zeros(len(values), bool)
    for a in range(0, len(values), part):
        r = lib.analyse_cells(values[a:a + part, None], one, one, one, np.array([2000], np.int32), plan.type,
                              plan.threshold, 1)
        out[a:a + part] = r["events"][:, 0] > 0
    return out


def _series_rows(x, plan):
    """Rows of a chunk as the series vorda is to read: (values, status, first and
    last day of each, which can be analysed); gaps filled where --fill allows.
    Cells left with gaps (status GAPS) are analysed a stretch at a time."""
    cells, length = x.shape
    status = np.full(cells, EMPTY, np.float64)
    x, _ = _cell_values(x, plan)
    has, first, last, gap = _coverage(x)
    status[has] = np.where((first[has] == 0) & (last[has] == length - 1), COMPLETE, TRIMMED)
    status[gap] = GAPS
    if gap.any() and plan.fill is not None:
        # With --fill the values are already a fresh float64 array of decimals, never the chunk itself.
        x = np.asarray(x, np.float64)
        for c in np.flatnonzero(gap):
            if _fill_cell(x, c, first[c], last[c], plan.fill):
                status[c] = FILLED
    return x, status, first, last, has


def _exceedances(x, ready, status, plan):
    """Each ready cell's exceedances over its percentile threshold of the day, as
    vordakit.percentile makes them of a station's series (NaN where x is, and in
    the other rows), which are still ready, and the thresholds (cells, 366).

    A cell's decimals are the most any of its values holds, as a station file's
    are the most any of its values is written with. A cell with a missing day in
    the base period gets BASE_GAPS and no values.
    """
    from vordakit import percentile
    pp = plan.percentile
    a, b = pp.span
    lost = ready & np.isnan(x[:, a:b]).any(axis=1)
    status[lost] = BASE_GAPS
    ready = ready & ~lost
    out = np.full(x.shape, np.nan)
    thresholds = np.full((x.shape[0], 366), np.nan)
    rows = np.flatnonzero(ready)
    for part in np.array_split(rows, -(-len(rows) // THRESHOLD_CELLS)) if len(rows) else ():
        values, dec = decimal_values(x[part])
        if np.isinf(values).any():
            # Its whole units would be no number at all, and its window's thresholds none either.
            raise KitError(None, None, "an infinite value: a percentile threshold needs finite values")
        valid = ~np.isnan(values)
        decimals = dec.max(axis=1).astype(np.int64)
        base = percentile.base_windows(values[:, a:b], pp.keys[a:b], plan.days.yr[a:b], pp.setting)
        units, thr, digits = percentile.in_units(np.where(valid, values, 0.0), decimals, base.thresholds(),
                                                 pp.setting)
        if digits.max() > 22 or max(np.abs(units).max(), np.abs(thr).max()) >= 2**52:
            raise KitError(None, None, f"values with {int(decimals.max())} decimals: too many digits for exact "
                                       "exceedances over a percentile threshold (at most 15 significant ones)")
        scale = 10.0 ** digits[:, None]
        # Whole numbers below 2**52 over an exact power of ten: the double nearest the decimal, as vorda reads it.
        out[part] = np.where(valid, (units - thr[:, pp.keys]) / scale, np.nan)
        thresholds[part] = thr / scale
    return out, ready, thresholds


def _rows(block, days):
    """The chunk as rows of cells over the days of the analysis, a view where the
    memory allows: the files hold time first, and copying it to cells first costs
    more than the analysis."""
    block = np.asarray(block)
    tfirst = np.moveaxis(block, -1, 0)
    if tfirst.flags.c_contiguous:
        x = tfirst.reshape(block.shape[-1], -1).T
    else:
        x = block.reshape(-1, block.shape[-1])
    if not days.dense:
        take = np.where(days.src >= 0, days.src, 0)
        x = np.where(days.src >= 0, x[:, take], np.nan).astype(x.dtype, copy=False)
    return x


def _coverage(x):
    """Per row: any value, the first and the last value's day, missing days between them."""
    cells, length = x.shape
    has = np.ones(cells, bool)
    first = np.zeros(cells, np.int64)
    last = np.full(cells, length - 1, np.int64)
    gap = np.zeros(cells, bool)
    # A sum is NaN when any value is (or, rarely, when infinities cancel): the usual chunk is whole.
    if not np.isnan(np.sum(x, dtype=np.float64)):
        return has, first, last, gap
    missing = np.isnan(x)
    some = np.flatnonzero(missing.any(axis=1))
    valid = ~missing[some]
    has[some] = valid.any(axis=1)
    first[some] = np.argmax(valid, axis=1)
    last[some] = length - 1 - np.argmax(valid[:, ::-1], axis=1)
    gap[some] = has[some] & (valid.sum(axis=1) < last[some] - first[some] + 1)
    return has, first, last, gap


def _fill_cell(x, c, a, b, most):
    """Fill the gaps of row c between a and b of up to ``most`` days as convert
    fills a station's; False when a longer gap is left."""
    row = x[c, a:b + 1]
    values = [None if v != v else v for v in row.tolist()]
    gaps = convert.find_gaps(values)
    short = [g for g in gaps if g[1] <= most]
    if short:
        _, dec = decimal_values(row[~np.isnan(row)])
        convert.fill_gaps(values, short, int(dec.max()))
        x[c, a:b + 1] = values
    return len(short) == len(gaps)


def block_events(block, plan, coords):
    """Every event of every analysable cell of a chunk: rows of the CSV; a cell
    with gaps gives the events of its stretches dated in the years it keeps."""
    lib = _lib()
    days = plan.days
    x = _rows(block, days)
    if x.shape[1] == 0:
        return []
    x, status, first, last, ready = _series_rows(x, plan)
    if plan.percentile is not None:
        # The exceedances of the cells analysed, NaN rows for the others.
        x, ready, _ = _exceedances(x, ready, status, plan)
    gapped = np.flatnonzero(ready & (status == GAPS))
    parts = {int(c): [(int(first[c]), int(last[c]) + 1)] for c in np.flatnonzero(ready)}
    lost = {}
    if len(gapped):
        stretches, lost_years = _gaps(lib, x, gapped, first, last, plan)
        for c in gapped:
            parts[int(c)] = []
        for ab, cells in sorted(stretches.items()):
            for c in cells:
                parts[int(c)].append(ab)
        lost = {int(c): set(days.years[lost_years[i]].tolist()) for i, c in enumerate(gapped)}
    rows = []
    for c, stretches in parts.items():
        for a, b in stretches:
            t = days.ordinal[a:b] - days.ordinal[a] + 1
            ev = lib.analyse(t, days.d[a:b], days.m[a:b], days.yr[a:b], x[c, a:b], plan.type, plan.threshold,
                             plan.min_duration)["events"]
            lead = coords[c]
            for day, month, year, dur, act in zip(ev["day"].tolist(), ev["month"].tolist(), ev["year"].tolist(),
                                                  ev["duration"].tolist(), ev["action"].tolist()):
                if year not in lost.get(c, ()):
                    rows.append(lead + (f"{year:04d}-{month:02d}-{day:02d}", str(dur), _action_text(act)))
    return rows


def _action_text(value):
    """The action measure with the three decimals of vorda's event file, halves away from zero."""
    return str(decimal.Decimal(value).quantize(_MILLI, decimal.ROUND_HALF_UP))


_MILLI = decimal.Decimal("0.001")


# ---------------------------------------------------------------- the command


def _unit_conversion(units, wanted, path):
    """None (no conversion) or what _cell_values converts to; the output's units."""
    if wanted is None:
        return None, units
    have = units.strip()
    key = have.lower()
    w = wanted.strip()
    if TEMPERATURE_UNITS.get(w.lower()) == "degC":
        kind = TEMPERATURE_UNITS.get(key)
        if kind == "degC":
            return None, "degC"
        if kind == "K":
            return "degC", "degC"
    elif FLUX_UNITS.get(w.lower()) == "mm/day":
        kind = FLUX_UNITS.get(key)
        if kind == "mm/day":
            return None, "mm/day"
        if kind == "flux":
            return "mm/day", "mm/day"
    else:
        raise KitError(None, None, f"--units {wanted!r}: only degC and mm/day are supported")
    raise KitError(path, None, f"units {have or 'none'!r} do not convert to {wanted}")


def _parse_chunks(text, dims, path):
    out = {}
    if not text:
        return out
    for part in text.split(","):
        name, _, size = part.partition("=")
        name = name.strip()
        if name not in dims:
            raise KitError(path, None, f"--chunks: no dimension {name!r} besides time (there are {', '.join(dims)})")
        try:
            out[name] = int(size)
            if out[name] < 1:
                raise ValueError
        except ValueError:
            raise KitError(None, None, f"--chunks {text!r}: expected NAME=SIZE, SIZE a whole number above 0") from None
    return out


def _default_chunks(shape, dims, days, itemsize, file_chunks=None, target=64 * 2**20):
    """Chunks of about ``target`` bytes over the other dimensions, time whole: the
    last dimensions whole first, so that each day of a chunk is one run in a file
    that holds time first, and in whole chunks of the file where it has them."""
    cells = max(1, target // max(1, days * max(itemsize, 8)))
    out = {}
    for i in reversed(range(len(dims))):
        n = shape[i]
        step = file_chunks[i] if file_chunks else 1
        take = max(1, min(n, cells))
        if take < n and step > 1:
            take = max(step, take // step * step)
        out[dims[i]] = take
        cells = max(1, cells // take)
    return out


def _time_axis(years, calendar):
    import cftime
    units = f"days since {int(years[0]):04d}-01-01 00:00:00" if len(years) else "days since 2000-01-01"
    starts = [cftime.datetime(int(y), 1, 1, calendar=calendar) for y in years]
    ends = [cftime.datetime(int(y) + 1, 1, 1, calendar=calendar) for y in years]
    start = np.asarray(cftime.date2num(starts, units, calendar), np.float64)
    end = np.asarray(cftime.date2num(ends, units, calendar), np.float64)
    return units, start, np.stack([start, end], axis=1)


def _carried_variables(inp):
    """Coordinates of the other dimensions, their auxiliary coordinates and bounds,
    and the grid mapping, as the input holds them."""
    ds = inp.dataset
    # In a fixed order (a dict, not a set), so that the output's variables are
    # listed alike from one run to the next.
    names = {}
    for dim in inp.other_dims:
        if dim in ds.variables:
            names[dim] = None
    for name in str(inp.attrs.get("coordinates", "")).split():
        if name in ds.variables:
            names[name] = None
    gm = str(inp.attrs.get("grid_mapping", "")).split(":")[0].strip()
    if gm and gm in ds.variables:
        names[gm] = None
    for name in list(names):
        b = ds.variables[name].attrs.get("bounds")
        if b and b in ds.variables:
            names[b] = None
    keep = {}
    for name in names:
        v = ds.variables[name]
        if inp.tdim in v.dims:
            continue
        keep[name] = v
    return keep, gm


def _progress(enabled):
    if not enabled:
        return contextlib.nullcontext()
    from dask.diagnostics import ProgressBar
    return ProgressBar(out=sys.stderr)


def _scheduler(jobs, address):
    import dask
    if address:
        from vordakit.cluster import connect
        # Probed first: work sent to workers that cannot import vordakit never comes back.
        client = connect(address)
        return client, contextlib.closing(client)
    return None, dask.config.set(scheduler="threads", num_workers=jobs or os.cpu_count() or 1)


def load_output(path):
    """An output of ``run_grid``, checked and read whole into memory, for trend and plot."""
    import xarray as xr

    try:
        source = xr.open_dataset(path, decode_times=False, decode_timedelta=False)
    except Exception as e:
        raise KitError(path, None, f"cannot be read as NetCDF: {e}") from None
    with source:
        if "year" not in source.variables:
            raise KitError(path, None, "not an output of vordakit grid (no year coordinate)")
        return source.load()


def run_grid(paths, out, thrtype, threshold, min_duration, var=None, units=None, months=None, fill=None,
             chunks=None, jobs=None, scheduler=None, events=None, progress=None, command=None, warn=None,
             percentile=None, base=None, window=5):
    """Analyse every cell of the input and write ``out``; returns the cell counts by status.

    ``threshold`` is the text vorda would be given (in the output's units);
    or, with ``threshold`` None, ``percentile``, ``base`` and ``window`` give
    each cell a threshold per calendar day (see vordakit.percentile), and the
    cells are analysed on their exceedances over it with threshold 0.0.
    Two years of one station, three days in five above 20:

    >>> import tempfile, xarray as xr
    >>> d = tempfile.mkdtemp()
    >>> t = xr.Variable("time", np.arange(730), {"units": "days since 2001-01-01"})
    >>> x = np.tile(np.float32([18.0, 21.5, 22.0, 23.0, 19.0]), 146)[:, None]
    >>> xr.Dataset({"tg": (("time", "station"), x, {"units": "degC"})}, {"time": t}).to_netcdf(d + "/in.nc")
    >>> run_grid([d + "/in.nc"], d + "/out.nc", "upper", "20.0", 3, jobs=1)["complete"]
    1
    >>> out = xr.open_dataset(d + "/out.nc", decode_timedelta=False)
    >>> out["ndays"].values.ravel().tolist(), out["events"].values.ravel().tolist()
    ([219.0, 219.0], [73.0, 73.0])
    """
    import dask
    import dask.array as dsa

    thrtype = {"u": "upper", "l": "lower"}[type_letter(thrtype)]
    setting = _percentile_setting(threshold, percentile, base, window, months)
    thr_text = threshold_text(threshold) if setting is None else "0.0"
    thr = threshold_number(thr_text)
    mind = int(given_duration(min_duration))
    if fill is not None and fill < 0:
        raise KitError(None, None, "--fill needs a number of days, 0 or more")
    if isinstance(months, str):
        months = convert.parse_months(months)
    warn = warn or (lambda text: print(f"vordakit grid: warning: {text}", file=sys.stderr))

    # The output's folder must take a file before anything is computed.
    out = os.fspath(out)
    folder = os.path.dirname(os.path.abspath(out))
    try:
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(out) + ".", suffix=".tmp", dir=folder)
        os.close(fd)
    except OSError as e:
        raise KitError(out, None, f"cannot write: {e.strerror}") from None
    try:
        inp = Input(paths, var)
        if any(os.path.abspath(out) == os.path.abspath(f) for f in inp.files):
            raise KitError(out, None, "is an input file; the input is never overwritten")
        convert_to, out_units = _unit_conversion(inp.units, units, inp.files[0])
        days = Days(inp.ordinals, inp.calendar, months)
        if len(days.ordinal) == 0:
            raise KitError(inp.files[0], None, "no days in the chosen months")
        if len(days.ordinal) > MAX_RECORDS:
            raise KitError(inp.files[0], None, f"{len(days.ordinal)} days, but vorda reads at most {MAX_RECORDS}: "
                                               "choose fewer files or --months")
        enc = inp.encoding
        packed = None
        if "scale_factor" in enc or "add_offset" in enc:
            packed = max(_max_decimals_text(enc.get("scale_factor", np.float32(1))),
                         _max_decimals_text(enc.get("add_offset", np.float32(0))))
        plan = Plan(days, thrtype, thr, mind, fill, convert_to, packed,
                    None if setting is None else _percentile_plan(setting, days, inp))

        chosen = _parse_chunks(chunks, inp.other_dims, inp.files[0])
        size = _default_chunks(inp.shape[:-1], inp.other_dims, inp.shape[-1], inp.dtype.itemsize,
                               inp.file_chunks)
        size.update(chosen)
        data = inp.chunked(size)
        if not np.issubdtype(data.dtype, np.floating):
            data = data.astype(np.float64)
        if inp.invalid is not None:
            data = data.map_blocks(_mask_invalid, inp.invalid, dtype=data.dtype)
        nv = len(plan.names)
        k = len(days.years)
        slots, width = plan.slots
        stack = dsa.map_blocks(functools.partial(analyse_block, plan=plan), data, dtype=np.float64,
                               chunks=data.chunks[:-1] + ((slots,), (width,)),
                               drop_axis=data.ndim - 1, new_axis=[data.ndim - 1, data.ndim])
        thresholds = None
        if setting is not None:
            stack, thresholds = stack[..., :nv + 2, :k], stack[..., nv + 2, :366]

        ds = _output_dataset(inp, stack, plan, out_units, thr_text, mind, command, thresholds)
        client, context = _scheduler(jobs, scheduler)
        with context, _progress(progress and client is None):
            # Unfused: fusing renames the chunks' analyses in the write's graph, which
            # would then analyse every chunk once more besides the counts' graph.
            with _without_distributed(client is None), dask.config.set({"optimization.fuse.active": False}):
                write = ds.to_netcdf(tmp, engine="netcdf4", format="NETCDF4", compute=False)
            status = stack[..., nv, 0]
            meanings = _status_meanings(plan).split()
            counts = dsa.bincount(status.ravel().astype(np.int64), minlength=len(meanings))
            low, high = dsa.nanmin(data), dsa.nanmax(data)
            with _quiet():
                try:
                    # One graph unoptimised: optimised apart, the write and the counts would each
                    # read and analyse every chunk.
                    _, counts, low, high = dask.compute(write, counts, low, high, optimize_graph=False)
                except RuntimeError as e:
                    # netCDF4's report of a file that breaks off or is damaged part way.
                    raise KitError(" ".join(inp.files), None, f"reading failed: {e}") from None
                except KitError as e:
                    if e.path is not None:
                        raise
                    # A chunk's refusal of its values: they are the input's.
                    raise KitError(" ".join(inp.files), None, e.reason) from None
            if events:
                _write_events(events, inp, data, plan)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, out)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    if setting is None:
        _range_warning(low, high, convert_to, thr, inp.units, out_units, warn)
    return {name: int(n) for name, n in zip(meanings, counts)}


def _status_meanings(plan):
    return STATUS_MEANINGS + ("" if plan.percentile is None else " " + BASE_GAPS_MEANING)


def _percentile_setting(threshold, percentile, base, window, months):
    """The percentile threshold asked for (a vordakit.percentile.Setting), or None for a fixed one."""
    if percentile is None:
        if threshold is None:
            raise KitError(None, None, "give a threshold: --threshold X, or --percentile P --base FIRST-LAST")
        if base is not None:
            raise KitError(None, None, "--base goes with --percentile")
        return None
    from vordakit.percentile import parse_setting
    if threshold is not None:
        raise KitError(None, None, "give either --threshold or --percentile, not both")
    if base is None:
        raise KitError(None, None, "--percentile needs --base FIRST-LAST, the base period's years")
    setting = parse_setting(percentile, base, window)
    if months:
        raise KitError(None, None, "--months with --percentile: the thresholds need the base period's whole years")
    return setting


def _percentile_plan(setting, days, inp):
    """The PercentilePlan of the analysis days, refused when the time axis does not cover the base whole."""
    where = f"base {setting.base_text}"
    if days.calendar == "360_day":
        raise KitError(inp.files[0], None, f"{where}: calendar 360_day has no calendar days of the usual "
                                           "year to take percentiles of")
    first, last = setting.base
    start = np.flatnonzero((days.yr == first) & (days.m == 1) & (days.d == 1))
    end = np.flatnonzero((days.yr == last) & (days.m == 12) & (days.d == 31))
    if not len(start) or not len(end):
        raise KitError(inp.files[0], None, f"{where} is not covered: the time axis runs from "
                                           f"{_date_text(days, 0)} to {_date_text(days, -1)}")
    missing = np.flatnonzero(days.src[start[0]:end[0] + 1] < 0) + start[0]
    if len(missing):
        shown = ", ".join(_date_text(days, i) for i in missing[:5])
        more = f" and {len(missing) - 5} more" if len(missing) > 5 else ""
        raise KitError(inp.files[0], None, f"{where} has {len(missing)} days without a time step: {shown}{more}")
    return PercentilePlan(setting, days)


def _date_text(days, i):
    return f"{int(days.yr[i]):04d}-{int(days.m[i]):02d}-{int(days.d[i]):02d}"


@contextlib.contextmanager
def _without_distributed(local):
    """xarray imports dask.distributed to ask whether a cluster is in use, a
    quarter of a second on a small grid; on local threads none can be."""
    if not local or "dask.distributed" in sys.modules:
        yield
        return
    sys.modules["dask.distributed"] = None
    try:
        yield
    finally:
        del sys.modules["dask.distributed"]


@contextlib.contextmanager
def _quiet():
    """No warnings of all-NaN chunks (sea) from the reductions."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore", RuntimeWarning)
        yield


def _umask():
    u = os.umask(0)
    os.umask(u)
    return u


def _range_warning(low, high, convert_to, thr, file_units, out_units, warn):
    if not (math.isfinite(low) and math.isfinite(high)):
        return
    if convert_to == "degC":
        low, high = low - 273.15, high - 273.15
    elif convert_to == "mm/day":
        low, high = low * 86400, high * 86400
    if not low <= thr <= high:
        units = out_units or "no units"
        warn(f"threshold {thr:g} lies outside the data's range, {low:.6g} to {high:.6g} {units}"
             + (" (give --units to convert)" if convert_to is None and file_units in ("K", "kelvin") else ""))


def _output_dataset(inp, stack, plan, out_units, thr_text, mind, command, thresholds=None):
    import xarray as xr
    days = plan.days
    dims = inp.other_dims
    carried, gm = _carried_variables(inp)
    units, start, bounds = _time_axis(days.years, days.calendar)
    coords = {"time": xr.Variable(("time",), start, {"units": units, "calendar": days.calendar,
                                                     "standard_name": "time", "axis": "T", "long_name": "year"}),
              "year": xr.Variable(("time",), days.years.astype(np.int32), {"long_name": "calendar year"})}
    for name, v in carried.items():
        coords[name] = xr.Variable(v.dims, v.values, dict(v.attrs))
    coords["time_bnds"] = xr.Variable(("time", "nv"), bounds)
    data_vars = {}
    # Bounds named in the encoding are written as bounds, not as coordinates.
    encoding = {"time": {"dtype": "float64", "_FillValue": None, "bounds": "time_bnds"},
                "time_bnds": {"dtype": "float64", "_FillValue": None},
                "year": {"_FillValue": None}}
    for name in carried:
        encoding[name] = {"_FillValue": None}
        if "bounds" in coords.get(name, data_vars.get(name)).attrs:
            encoding[name]["bounds"] = coords[name].attrs.pop("bounds")
    if gm in carried:
        data_vars[gm] = coords.pop(gm)
    aux = [c for c in str(inp.attrs.get("coordinates", "")).split() if c in carried]
    side = "above" if plan.type == "upper" else "below"
    if plan.percentile is None:
        what = f"the daily values {side} {thr_text} {out_units}".rstrip()
    else:
        label = plan.percentile.setting.label
        what = f"the daily values {side} the threshold of their calendar day, the cell's {label}"
    for i, name in enumerate(plan.names):
        long_name, unit, method = _ATTRS[name]
        if unit is None:
            unit = f"{out_units} days" if out_units else "days"
        attrs = {"long_name": f"{long_name} ({what}, minimum duration {mind} days)", "units": unit,
                 "cell_methods": method}
        if aux:
            attrs["coordinates"] = " ".join(aux + ["year"])
        if gm:
            attrs["grid_mapping"] = inp.attrs["grid_mapping"]
        v = xr.Variable(dims + ("time",), stack[..., i, :], attrs).transpose("time", *dims)
        data_vars[name] = v
        if name.startswith("action"):
            encoding[name] = {"dtype": "float64", "_FillValue": _DOUBLE_FILL}
        else:
            encoding[name] = {"dtype": "int32", "_FillValue": _INT_FILL}
    data_vars["cell_status"] = xr.Variable(
        dims, stack[..., len(plan.names), 0].astype(np.int8),
        {"long_name": "what became of the cell's series",
         "flag_values": np.arange(len(_status_meanings(plan).split()), dtype=np.int8),
         "flag_meanings": _status_meanings(plan), **({"grid_mapping": inp.attrs["grid_mapping"]} if gm else {})})
    encoding["cell_status"] = {"dtype": "int8", "_FillValue": None}
    data_vars["missing_days"] = xr.Variable(
        dims + ("time",), stack[..., len(plan.names) + 1, :].astype(np.int32),
        {"long_name": "days of the year without a value in the cell's series (after --fill); a year with "
                      "missing days between the cell's first and last value has no values",
         "units": "days", "cell_methods": "time: sum",
         **({"coordinates": " ".join(aux + ["year"])} if aux else {}),
         **({"grid_mapping": inp.attrs["grid_mapping"]} if gm else {})}).transpose("time", *dims)
    encoding["missing_days"] = {"dtype": "int32", "_FillValue": None}
    if thresholds is not None:
        _add_thresholds(data_vars, coords, encoding, thresholds, plan, dims, out_units, aux,
                        inp.attrs["grid_mapping"] if gm else None)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    attrs = {
        "Conventions": "CF-1.8",
        "title": f"VORDA yearly indices and events of {inp.var}",
        "source": "vordakit grid: vorda's analyses of each cell's daily series",
        "threshold": thr_text,
        "threshold_units": out_units,
        "threshold_type": plan.type,
        "min_duration": np.int32(mind),
    }
    if plan.percentile is not None:
        # No fixed threshold: the percentile's, per cell and calendar day, in the variable threshold.
        setting = plan.percentile.setting
        del attrs["threshold"]
        attrs.update(percentile=setting.text, base_period=setting.base_text, window_days=np.int32(setting.window))
    attrs |= {
        "variable": inp.var,
        "source_files": " ".join(os.path.basename(f) for f in inp.files),
        "history": f"{stamp}: {command or 'vordakit grid'}",
    }
    if plan.fill is not None:
        attrs["fill_max_days"] = np.int32(plan.fill)
    ds = xr.Dataset(data_vars, coords, attrs)
    for name, e in encoding.items():
        if name in ds.variables:
            ds[name].encoding = e
    return ds


def _add_thresholds(data_vars, coords, encoding, thresholds, plan, dims, out_units, aux, grid_mapping):
    """The variable threshold(dayofyear, cell dimensions), with the month and day of each calendar day."""
    import xarray as xr
    leap = np.datetime64("2000-01-01") + np.arange(366)
    months = leap.astype("M8[M]")
    coords["dayofyear"] = xr.Variable(("dayofyear",), np.arange(1, 367, dtype=np.int16),
                                      {"long_name": "calendar day, counted as in a leap year (60 is 29 February)"})
    coords["month"] = xr.Variable(("dayofyear",), (months.astype(int) % 12 + 1).astype(np.int8),
                                  {"long_name": "month of the calendar day"})
    coords["day"] = xr.Variable(("dayofyear",), ((leap - months).astype(int) + 1).astype(np.int8),
                                {"long_name": "day of the month of the calendar day"})
    for name in ("dayofyear", "month", "day"):
        encoding[name] = {"_FillValue": None}
    attrs = {"long_name": f"threshold of the calendar day: the {plan.percentile.setting.label}",
             "units": out_units, "coordinates": " ".join(aux + ["month", "day"])}
    if grid_mapping:
        attrs["grid_mapping"] = grid_mapping
    data_vars["threshold"] = xr.Variable(dims + ("dayofyear",), thresholds, attrs).transpose("dayofyear", *dims)
    encoding["threshold"] = {"dtype": "float64", "_FillValue": _DOUBLE_FILL}


def _write_events(path, inp, data, plan):
    import dask

    from vordakit.atomic import atomic_write
    ds = inp.dataset
    dims = inp.other_dims
    aux = [c for c in str(inp.attrs.get("coordinates", "")).split()
           if c in ds.variables and set(ds.variables[c].dims) <= set(dims) and ds.variables[c].dims]
    header = list(dims) + [d + "_index" for d in dims] + aux + ["date", "duration", "action"]
    blocks = data.to_delayed()
    offsets = [np.concatenate([[0], np.cumsum(c)]) for c in data.chunks[:-1]]
    tasks = []
    for index in np.ndindex(blocks.shape[:-1]):
        ranges = [np.arange(o[i], o[i + 1]) for o, i in zip(offsets, index)]
        grid_index = np.meshgrid(*ranges, indexing="ij")
        flat = [g.ravel() for g in grid_index]
        leads = []
        for c in range(len(flat[0]) if flat else 1):
            ii = tuple(int(f[c]) for f in flat)
            lead = tuple(_coord_text(ds, d, i) for d, i in zip(dims, ii)) + tuple(str(i) for i in ii)
            lead += tuple(_coord_text(ds, a, tuple(ii[dims.index(d)] for d in ds.variables[a].dims))
                          for a in aux)
            leads.append(lead)
        tasks.append(dask.delayed(block_events)(blocks[index + (0,)], plan, leads))
    parts = dask.compute(*tasks)
    with atomic_write(path, newline="") as f:
        import csv
        w = csv.writer(f, lineterminator="\n")
        w.writerow(header)
        for rows in parts:
            w.writerows(rows)


def _coord_text(ds, name, index):
    if name not in ds.variables:
        return ""
    v = ds.variables[name].values[index]
    return repr(v.item()) if hasattr(v, "item") else str(v)


def command(args):
    """``vordakit grid``: ``run_grid`` on the command line's inputs; the cells counted on standard error."""
    import shlex
    if args.bootstrap:
        raise KitError(None, None, "--bootstrap is for run and batch: for a grid it would work out every cell's "
                                   "thresholds (base years) x (base years - 1) times")
    counts = run_grid(args.inputs, args.out, args.type, args.threshold, args.min_duration, var=args.var,
                      units=args.units, months=args.months, fill=args.fill, chunks=args.chunks, jobs=args.jobs,
                      scheduler=args.scheduler, events=args.events,
                      progress=sys.stderr.isatty() and not args.no_progress,
                      command="vordakit grid " + " ".join(shlex.quote(a) for a in sys.argv[2:]),
                      percentile=args.percentile, base=args.base, window=args.window)
    total = sum(counts.values())
    base = (f", {counts['base_gaps']} with missing days in the base period (no values)"
            if "base_gaps" in counts else "")
    print(f"{args.out}: {total} cells: {counts['complete']} complete, {counts['trimmed']} with leading or "
          f"trailing missing days dropped, {counts['filled']} with gaps filled, {counts['gaps']} with missing "
          f"days inside (no values in the years they touch){base}, {counts['no_value']} without any value",
          file=sys.stderr)
    return 0
