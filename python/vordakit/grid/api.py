"""``vordakit.indices``: the yearly indices and event summary of every cell of an xarray DataArray.

The DataArray is what ``vordakit grid`` reads of a file, given by the
caller: a variable opened with xarray (times decoded or not, packed values
unpacked as xarray unpacks them), or one built in memory. Its cells are
analysed as ``vordakit grid`` analyses them, and the Dataset is the one the
command writes, lazily where the values are a dask array.
"""

import numpy as np

from vordakit.errors import KitError
from vordakit.grid.calendars import coordinate_ordinals
from vordakit.grid.output import output_dataset
from vordakit.grid.pipeline import Options, analysed, default_chunks, make_plan, prepared
from vordakit.grid.values import invalid_rule

__all__ = ["indices"]


def indices(data, type, threshold=None, *, percentile=None, base=None, window=5, min_duration, fill=None,
            months=None):
    """The yearly indices and event summary of every cell of a daily DataArray, as ``vordakit grid`` gives them.

    Each cell's series (along the time dimension) is analysed as vorda
    analyses a station's: the days from its first to its last value, gaps of
    up to ``fill`` days filled, a gap left costing the years it touches.

    Parameters
    ----------
    data : xarray.DataArray
        Daily values with a time dimension: times as dates (numpy or cftime,
        as xarray decodes them) or as numbers with CF units ``days since
        ...`` and a calendar; NaN where missing. Any other dimensions are
        the cells (a grid, or stations).
    type : {"upper", "lower"}
        The threshold type: days above or below the threshold.
    threshold : float or str, optional
        A fixed threshold in the data's units; a text is taken as written.
    percentile : float or str, optional
        Instead of ``threshold``: each cell's percentile (0 to 100) of the
        base period's values within ``window`` days of each calendar day.
    base : (int, int) or str, optional
        The base period's first and last year, with ``percentile``.
    window : int, default 5
        Days of the window centred on each calendar day (odd).
    min_duration : int
        The minimum duration of an event, in days.
    fill : int, optional
        Fill gaps of up to this many days by linear interpolation.
    months : str or set of int, optional
        Only these months (``"5-9"``, ``{12, 1, 2}``); not with ``percentile``.

    Returns
    -------
    xarray.Dataset
        On the cells' dimensions and ``time`` (one step per year, with the
        coordinate ``year``): the variables that ``vordakit grid`` writes,
        with its values and attributes: the yearly indices (``ndays``,
        ``wsdi`` and ``sgs``, or ``csdi`` and ``lfd``; no ``sgs`` or ``lfd``
        with a percentile), the event summary (``events``, ``event_days``,
        ``action_sum``, ``action_max``, ``longest_event``), ``missing_days``,
        ``cell_status`` and, with a percentile, ``threshold`` per calendar
        day. Lazy (dask arrays) where ``data`` holds a dask array.

    Raises
    ------
    vordakit.errors.KitError
        Options or data that cannot be analysed, said in one line.

    Examples
    --------
    Two stations over two years, three days in five above 20 at the first:

    >>> import numpy as np, pandas as pd, xarray as xr, vordakit as vk
    >>> x = np.tile(np.float32([18.0, 21.5, 22.0, 23.0, 19.0]), 146)
    >>> tg = xr.DataArray(np.stack([x, x - 2]), name="tg", dims=("station", "time"), attrs={"units": "degC"},
    ...                   coords={"time": pd.date_range("2001-01-01", periods=730)})
    >>> ds = vk.indices(tg, "upper", 20.0, min_duration=3)
    >>> ds["ndays"].values.tolist(), ds["events"].values.tolist(), ds["year"].values.tolist()
    ([[219.0, 73.0], [219.0, 73.0]], [[73.0, 0.0], [73.0, 0.0]], [2001, 2002])
    >>> lazy = vk.indices(tg.chunk({"station": 1}), "upper", 20.0, min_duration=3)
    >>> lazy["ndays"].chunks, lazy["ndays"].equals(ds["ndays"])
    (((2,), (1, 1)), True)
    """
    import dask.array as dsa
    import xarray as xr
    if not isinstance(data, xr.DataArray):
        raise KitError(None, None, f"indices takes an xarray DataArray, not {data.__class__.__name__}")
    opts = Options(type, threshold, min_duration, fill, months, percentile, _base_text(base), window)
    src = _ArraySource(data)
    plan = make_plan(opts, src.ordinals, src.calendar, src.encoding, src.name)
    values = data.transpose(*src.other_dims, src.tdim).data
    lazy = isinstance(values, dsa.Array)
    if lazy:
        values = values.rechunk(values.chunks[:-1] + (-1,))
    else:
        size = default_chunks(src.shape[:-1], src.other_dims, src.shape[-1], values.dtype.itemsize)
        values = dsa.from_array(np.asarray(values), tuple(size[d] for d in src.other_dims) + (-1,))
    stack, thresholds, _ = analysed(prepared(values, src.invalid), plan)
    ds = output_dataset(src, stack, plan, src.units, opts.threshold_text, "vordakit.indices", thresholds)
    return ds if lazy else ds.compute()


def _base_text(base):
    if base is None or isinstance(base, str):
        return base
    first, last = base
    return f"{int(first)}-{int(last)}"


def _time_dim(data):
    """The dimension of ``data`` along time: one whose coordinate holds dates or CF times."""
    for dim in data.dims:
        if dim not in data.coords:
            continue
        values = data.coords[dim]
        if np.issubdtype(values.dtype, np.datetime64) or " since " in str(values.attrs.get("units", "")) or (
                values.dtype == object and values.size and hasattr(values.values.flat[0], "calendar")):
            return dim
    raise KitError(None, None, f"the DataArray {data.name or ''} has no time coordinate (dates, or numbers "
                               "with units 'days since ...')".replace("  ", " "))


class _ArraySource:
    """A DataArray as the grid's output takes its input (see vordakit.grid.source.Input)."""

    def __init__(self, data):
        self.var = str(data.name) if data.name is not None else "data"
        self.name = f"DataArray {self.var}"
        self.tdim = _time_dim(data)
        self.calendar, self.ordinals = coordinate_ordinals(data.coords[self.tdim], self.name)
        steps = np.diff(self.ordinals)
        if len(self.ordinals) == 0 or (steps <= 0).any() or (len(steps) and np.median(steps) != 1):
            raise KitError(None, None, f"{self.name}: the times of {self.tdim!r} are not daily and increasing")
        self.other_dims = tuple(d for d in data.dims if d != self.tdim)
        self.shape = tuple(data.sizes[d] for d in self.other_dims) + (len(self.ordinals),)
        self.encoding = dict(data.encoding)
        self.attrs = dict(data.attrs)
        # xarray moves the coordinates attribute of a file's variable into its encoding.
        aux = [str(c) for c in data.coords if c not in data.dims and self.tdim not in data.coords[c].dims]
        coordinates = self.attrs.get("coordinates") or self.encoding.get("coordinates") or " ".join(aux)
        if coordinates:
            self.attrs["coordinates"] = coordinates
        self.units = str(self.attrs.get("units", ""))
        self.variables = data.coords
        self.files = [self.encoding["source"]] if "source" in self.encoding else []
        self.invalid = invalid_rule(self.attrs, self.encoding, self.name)
