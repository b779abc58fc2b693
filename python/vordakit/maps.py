"""Maps of a grid's output: the period mean and the Sen slope of each yearly variable, side by side.

The maps are drawn on the grid's own axes (or, for stations, at their
longitude and latitude) with matplotlib, loaded with the first figure as for
the station plots (see vordakit.plot).
"""

import os
import warnings

import numpy as np

from vordakit import grid, trend
from vordakit.atomic import atomic_write
from vordakit.plot import DPI, HEIGHT, WIDTH, mpl

__all__ = ["grid_map_figure", "command"]


def _axis_label(coord):
    name = coord.attrs.get("long_name") or coord.attrs.get("standard_name") or coord.name
    unit = coord.attrs.get("units")
    return f"{name} ({unit})" if unit else str(name)


def _draw_field(fig, ax, ds, field, title, unit, cmap, marked=None):
    """One map of ``field`` (the grid's dimensions) on the grid's own axes; a
    field with marked cells (a slope) is coloured symmetrically about zero."""
    dims = field.dims
    ax.set_title(title, fontsize=10)
    if not np.isfinite(field.values).any():
        ax.text(0.5, 0.5, "no cell with a value", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
        return
    limits = {}
    if marked is not None:
        top = np.nanmax(np.abs(field.values)) if np.isfinite(field.values).any() else 0.0
        limits = {"vmin": -top, "vmax": top} if top > 0 else {}
    if len(dims) == 2:
        ydim, xdim = dims
        xs = ds[xdim].values if xdim in ds.variables else np.arange(field.shape[1])
        ys = ds[ydim].values if ydim in ds.variables else np.arange(field.shape[0])
        mesh = ax.pcolormesh(xs, ys, field.values, cmap=cmap, shading="nearest", **limits)
        if xdim in ds.variables:
            ax.set_xlabel(_axis_label(ds[xdim]))
            ax.set_ylabel(_axis_label(ds[ydim]))
        if marked is not None and marked.any():
            yy, xx = np.nonzero(marked)
            ax.plot(xs[xx], ys[yy], ".", color="black", markersize=2, label="p < 0.05")
            ax.legend(loc="upper right", fontsize=8)
    else:
        # Stations: one point each, at its longitude and latitude where the file gives them.
        values = field.values.ravel()
        xname = next((c for c in ("lon", "longitude") if c in ds.variables), None)
        yname = next((c for c in ("lat", "latitude") if c in ds.variables), None)
        if xname and yname and ds[xname].size == len(values):
            lon, lat = ds[xname].values.ravel(), ds[yname].values.ravel()
            ax.set_xlabel(_axis_label(ds[xname]))
            ax.set_ylabel(_axis_label(ds[yname]))
        else:
            lon, lat = np.arange(len(values)), np.zeros(len(values))
            ax.set_xlabel(dims[0] if dims else "")
        mesh = ax.scatter(lon, lat, c=values, cmap=cmap, s=30, **limits,
                          edgecolors=["black" if m else "none" for m in
                                      (marked.ravel() if marked is not None else [False] * len(values))])
    fig.colorbar(mesh, ax=ax, label=unit, shrink=0.8)


def grid_map_figure(ds, trends, name):
    """Period mean and Sen slope of one yearly variable of a grid output, side by side;
    cells whose Mann-Kendall p is below 0.05 are marked."""
    v = ds[name]
    fig = mpl().Figure(figsize=(2 * WIDTH / DPI, HEIGHT / DPI), dpi=DPI, layout="constrained")
    left, right = fig.subplots(1, 2)
    title = v.attrs.get("long_name", name)
    fig.suptitle(title if len(title) < 110 else title[:107] + "...", fontsize=11)
    years = ds["year"].values
    unit = v.attrs.get("units", "")
    with np.errstate(all="ignore"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            mean = v.mean("time", skipna=True)
    _draw_field(fig, left, ds, mean, f"mean {years.min()}-{years.max()}", unit, "viridis")
    slope = trends[f"{name}_slope"]
    p = trends[f"{name}_p"].values
    _draw_field(fig, right, ds, slope, "Sen slope per decade", slope.attrs.get("units", ""), "RdBu_r",
                marked=np.nan_to_num(p, nan=1.0) < 0.05)
    return fig


def _trends(ds, path):
    """The trends of the grid output ``path`` (``ds`` read): those ``vordakit trend`` wrote
    beside it, NAME-trend.nc, where they are of this very file (no older than it, every
    variable there); else fitted again."""
    import xarray as xr
    fitted = os.path.splitext(path)[0] + "-trend.nc"
    try:
        if os.path.getmtime(fitted) >= os.path.getmtime(path):
            with xr.open_dataset(fitted, decode_times=False, decode_timedelta=False) as t:
                if t.attrs.get("source_files") == os.path.basename(path) and all(
                        t[f"{name}_{k}"].shape == v.shape[1:] for name, v in ds.data_vars.items()
                        if v.dims[:1] == ("time",) and name not in ("time_bnds", "missing_days")
                        for k in ("slope", "p")):
                    return t.load()
    except Exception:  # none there, or unreadable (the readers raise many kinds for one cause): fit them
        pass
    return trend.grid_trends(ds)


def command(args):
    """``vordakit plot OUT.nc``: a map per yearly variable; the pictures' paths on standard output."""
    ds = grid.load_output(args.folder)
    trends = _trends(ds, args.folder)
    out = args.out or os.path.dirname(os.path.abspath(args.folder))
    os.makedirs(out, exist_ok=True)
    stem = os.path.splitext(os.path.basename(args.folder))[0]
    for name, v in ds.data_vars.items():
        if v.dims[:1] != ("time",) or name in ("time_bnds", "missing_days"):
            continue
        fig = grid_map_figure(ds, trends, name)
        path = os.path.join(out, f"{stem}-{name}.png")
        with atomic_write(path, "wb") as f:
            fig.savefig(f, format="png")
        print(path)
    return 0
