"""The input of a grid: the data variable of one or more CF NetCDF files along time, read lazily.

Files are opened with xarray without dask and without decoding times; the
chunks are made later (``Input.chunked``), so that each reads only its own
part of each file.
"""

import glob
import os

import numpy as np

from vordakit.errors import KitError
from vordakit.grid.calendars import calendar_of, day_ordinals
from vordakit.grid.values import invalid_rule

__all__ = ["expand_inputs", "Input"]


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


class _Part:
    """One file of the input: its dataset, variable, time dimension, calendar and day ordinals."""

    def __init__(self, path, var):
        self.path = path
        self.ds = _open(path)
        self.var = _choose_var(self.ds, var, path)
        self.tdim = _time_dim(self.ds, self.var, path)
        tv = self.ds.variables[self.tdim]
        self.calendar = calendar_of(tv.attrs, self.tdim, path)
        self.ordinals = day_ordinals(tv.values, tv.attrs.get("units"), self.calendar, self.tdim, path)
        self.start = self.ordinals[0] if len(self.ordinals) else 0

    @property
    def values(self):
        """The variable without the coordinates along time (the files' own are not carried over)."""
        da = self.ds[self.var]
        return da.drop_vars([c for c in da.coords if self.tdim in da[c].dims])


def _check_alike(parts):
    """Refuse files whose calendar or dimensions differ from the first's."""
    first = parts[0]
    v0 = first.ds[first.var]
    for p in parts[1:]:
        if p.calendar != first.calendar and {p.calendar, first.calendar} != {"standard", "gregorian"}:
            raise KitError(p.path, None, f"calendar {p.calendar} differs from {first.calendar} of {first.path}")
        v = p.ds[p.var]
        if v.dims != v0.dims or any(v.sizes[d] != v0.sizes[d] for d in v.dims if d != p.tdim):
            raise KitError(p.path, None, f"dimensions {dict(v.sizes)} differ from {dict(v0.sizes)} of {first.path}")


def _check_daily(parts, ordinals):
    """Refuse a time axis that is not one step a day, increasing."""
    if len(ordinals) == 0:
        raise KitError(parts[0].path, None, f"no time steps in {parts[0].tdim!r}")
    steps = np.diff(ordinals)
    if (steps <= 0).any():
        index = int(np.argmax(steps <= 0)) + 1
        for p in parts:
            if index < len(p.ordinals):
                break
            index -= len(p.ordinals)
        raise KitError(p.path, None, "times are not increasing by whole days (two steps on one day, or out of order)")
    if len(steps) and np.median(steps) != 1:
        raise KitError(parts[0].path, None, "the time steps are not daily")


class Input:
    """The data variable of one or more files along time, lazily, and its calendar.

    What the analysis and the output take of it: ``var``, ``tdim``,
    ``other_dims``, ``calendar``, ``ordinals``, ``attrs``, ``encoding``,
    ``units``, ``variables`` (the first file's, for the coordinates carried
    over), ``files``, ``shape``, ``dtype``, ``invalid`` (see
    ``values.invalid_rule``) and the file's own chunks.
    """

    def __init__(self, paths, var=None):
        self.files = expand_inputs(paths)
        parts = []
        for path in self.files:
            parts.append(_Part(path, var))
            var = var or parts[-1].var
        parts.sort(key=lambda p: p.start)
        _check_alike(parts)
        self.ordinals = np.concatenate([p.ordinals for p in parts])
        _check_daily(parts, self.ordinals)
        first = parts[0]
        v0 = first.ds[first.var]
        self._parts = [p.values for p in parts]
        self.var, self.tdim, self.calendar = first.var, first.tdim, first.calendar
        self.dataset = first.ds
        self.variables = first.ds.variables
        self.attrs = dict(v0.attrs)
        self.encoding = dict(v0.encoding)
        self.units = str(self.attrs.get("units", ""))
        self.other_dims = tuple(d for d in v0.dims if d != self.tdim)
        self.shape = tuple(v0.sizes[d] for d in self.other_dims) + (len(self.ordinals),)
        self.dtype = v0.dtype
        self.invalid = invalid_rule(self.attrs, self.encoding, first.path)
        # The file's own chunks of the other dimensions, where it has them.
        chunks = self.encoding.get("chunksizes")
        self.file_chunks = None if not chunks else tuple(chunks[v0.dims.index(d)] for d in self.other_dims)

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
