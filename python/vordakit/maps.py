"""Maps of a grid's output (the period mean and the Sen slope of each yearly variable, side by side),
and a batch's station maps (each station's Sen slope of an index at its position).

The maps are drawn on the grid's own axes (or, for stations, at their
longitude and latitude) with matplotlib, loaded with the first figure as for
the station plots (see vordakit.plot).
"""

import os
import warnings

import numpy as np

from vordakit import catalogue, grid, trend
from vordakit.atomic import atomic_write
from vordakit.plot import DPI, HEIGHT, WIDTH, fitted_text, mpl
from vordakit.thresholds import label as threshold_label

__all__ = ["grid_map_figure", "station_map_figure", "write_station_maps", "remove_station_maps", "command"]

# A station map's panels (one per run setting), at most; more settings are named in the title as left out.
MAX_PANELS = 6
# Station names are written beside their points up to this many points in a panel.
MAX_LABELS = 40


def _axis_label(coord):
    name = coord.attrs.get("long_name") or coord.attrs.get("standard_name") or coord.name
    unit = coord.attrs.get("units")
    return f"{name} ({unit})" if unit else str(name)


def _station_axes(ax, ds, dims, n):
    """Longitude and latitude of ``n`` stations where the file gives them (else their numbers)."""
    xname = next((c for c in ("lon", "longitude") if c in ds.variables), None)
    yname = next((c for c in ("lat", "latitude") if c in ds.variables), None)
    if xname and yname and ds[xname].size == n:
        ax.set_xlabel(_axis_label(ds[xname]))
        ax.set_ylabel(_axis_label(ds[yname]))
        return ds[xname].values.ravel(), ds[yname].values.ravel()
    ax.set_xlabel(dims[0] if dims else "")
    return np.arange(n), np.zeros(n)


def _draw_field(fig, ax, ds, field, unit, cmap, marked=None, label=""):
    """One map of ``field`` (the grid's dimensions) on the grid's own axes; a field with
    ``marked`` cells (a slope) is coloured symmetrically about zero. ``marked`` cells get
    the mark ``label`` names: a dot (hatching where ``cmap`` is None, over a mean)."""
    dims = field.dims
    values = field.values
    if not np.isfinite(values).any():
        ax.text(0.5, 0.5, "no cell with a value", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
        return
    limits = {}
    if cmap == "RdBu_r":
        top = np.nanmax(np.abs(values))
        limits = {"vmin": -top, "vmax": top} if top > 0 else {}
    if len(dims) == 2:
        ydim, xdim = dims
        xs = ds[xdim].values if xdim in ds.variables else np.arange(field.shape[1])
        ys = ds[ydim].values if ydim in ds.variables else np.arange(field.shape[0])
        mesh = ax.pcolormesh(xs, ys, values, cmap=cmap, shading="nearest", **limits)
        if xdim in ds.variables:
            ax.set_xlabel(_axis_label(ds[xdim]))
            ax.set_ylabel(_axis_label(ds[ydim]))
        if marked is not None and marked.any():
            _mark_cells(ax, xs, ys, marked, cmap, label)
    else:
        # Stations: one point each, at its longitude and latitude where the file gives them.
        values = values.ravel()
        lon, lat = _station_axes(ax, ds, dims, len(values))
        mesh = ax.scatter(lon, lat, c=values, cmap=cmap, s=30, **limits)
        if marked is not None and marked.any():
            m = marked.ravel()
            ax.scatter(lon[m], lat[m], s=30 if cmap == "RdBu_r" else 60, facecolors="none", edgecolors="black",
                       marker="o" if cmap == "RdBu_r" else "s", label=label)
            ax.legend(loc="upper right", fontsize=8)
    fig.colorbar(mesh, ax=ax, label=unit, shrink=0.8)


def _mark_cells(ax, xs, ys, marked, cmap, label):
    if cmap == "RdBu_r":
        yy, xx = np.nonzero(marked)
        ax.plot(xs[xx], ys[yy], ".", color="black", markersize=2, label=label)
    else:
        ax.pcolor(xs, ys, np.ma.masked_where(~marked, np.ones(marked.shape)), shading="nearest",
                  hatch="///", facecolor="none", edgecolor="0.35", linewidth=0, label=label)
    ax.legend(loc="upper right", fontsize=8)


def _title(ds, v, name):
    """What a map shows and of which run: the index as the station plots name it and the
    threshold, percentile, base, window and minimum duration the output's attributes give."""
    a = ds.attrs
    index = catalogue.BY_KEY.get(name)
    if "threshold_type" not in a or "min_duration" not in a:
        return v.attrs.get("long_name", name)          # an output without its run's settings
    unit = str(a.get("threshold_units", ""))
    if "percentile" in a:
        threshold = (f"each cell's {threshold_label(a['percentile'], a.get('base_period'), a.get('window_days'))}"
                     .replace(", window", " per calendar day, window"))
        number = None
    else:
        # An attribute as the output has it, or a scalar variable as CF's standard names ask for.
        text = a.get("threshold", ds["threshold"].values.item() if "threshold" in ds and ds["threshold"].ndim == 0
                     else None)
        number = float(text) if text is not None else None
        threshold = f"{text} {unit}".rstrip() if text is not None else "(not given)"
    if index is not None:
        head = catalogue.plot_title(index.name, a["threshold_type"], number, threshold, int(a["min_duration"]), unit)
    else:
        head = catalogue.SUMMARY_BY_KEY[name].long_name if name in catalogue.SUMMARY_BY_KEY else name
        head = head[0].upper() + head[1:]
    settings = f"{a['threshold_type']} threshold {threshold}"
    if index is None or index.uses_duration:
        settings += f", minimum duration {int(a['min_duration'])} days"
    return f"{head}\n{settings} ({a.get('variable', 'the data')})"


def _mean_panel(fig, ax, ds, v, years, unit):
    """The mean of each cell's years with a value; cells whose mean rests on fewer than the
    share of the years that a trend needs are hatched, and the title says how many it rests on."""
    with np.errstate(all="ignore"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            mean = v.mean("time", skipna=True)
    counts = np.isfinite(v.values).sum(axis=0)
    needed = int(np.ceil(trend.MIN_VALID_SHARE * len(years)))
    few = (counts < needed) & (counts > 0)
    title = f"mean {years.min()}-{years.max()} of each cell's years with a value"
    low, high = (counts[counts > 0].min(), counts.max()) if counts.any() else (0, 0)
    title += f": all {len(years)}" if low == len(years) else f": {low} to {high} of {len(years)}"
    ax.set_title(title, fontsize=10)
    _draw_field(fig, ax, ds, mean, unit, "viridis", few,
                f"mean of fewer than {needed} of {len(years)} years ({_cells(few.sum())})")


def _cells(n):
    return f"{n} cell" if n == 1 else f"{n} cells"


def _slope_panel(fig, ax, ds, trends, name):
    """The Sen slope; a dot where the Mann-Kendall p is below 0.05 and the slope is not 0:
    with many tied years p can be small while the median slope is exactly 0."""
    slope = trends[f"{name}_slope"]
    p = np.nan_to_num(trends[f"{name}_p"].values, nan=1.0)
    flat = (p < 0.05) & (slope.values == 0)
    title = "Sen slope per decade"
    if flat.any():
        title += f" ({_cells(flat.sum())} with p < 0.05 but a slope of 0: not dotted)"
    ax.set_title(fitted_text(fig, title, 10, 0.45), fontsize=10)
    _draw_field(fig, ax, ds, slope, slope.attrs.get("units", ""), "RdBu_r", (p < 0.05) & ~flat,
                "Mann-Kendall p < 0.05, slope not 0")


def grid_map_figure(ds, trends, name):
    """Period mean and Sen slope of one yearly variable of a grid output, side by side;
    cells whose Mann-Kendall p is below 0.05 (and slope not 0) are dotted, means that rest
    on few years hatched. Every text is broken to fit the figure."""
    v = ds[name]
    fig = mpl().Figure(figsize=(2 * WIDTH / DPI, HEIGHT / DPI), dpi=DPI, layout="constrained")
    mpl().FigureCanvasAgg(fig)
    left, right = fig.subplots(1, 2)
    fig.suptitle(fitted_text(fig, _title(ds, v, name), 11), fontsize=11)
    _mean_panel(fig, left, ds, v, ds["year"].values, v.attrs.get("units", ""))
    _slope_panel(fig, right, ds, trends, name)
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


def _setting(ds, i):
    """The run setting of series ``i`` of stations-trend.nc, in words."""
    v = {k: ds[k].values[i] for k in ("threshold_type", "threshold", "percentile", "base_period", "window_days",
                                      "min_duration")}
    if np.isfinite(v["percentile"]):
        what = f"p{v['percentile']:g} of {v['base_period']}, window {v['window_days']}"
    else:
        what = f"{v['threshold']:g}"
    return f"{v['threshold_type']} {what}, minimum duration {v['min_duration']} days"


def _draw_stations(ax, ds, rows, key, limits):
    """One panel: the series ``rows`` at their positions, coloured by their slope; returns the
    scatter that sets the colour bar, or None where no station has both a position and a slope."""
    lon, lat = ds["lon"].values[rows], ds["lat"].values[rows]
    slope, p = ds[f"{key}_slope"].values[rows], ds[f"{key}_p"].values[rows]
    fitted = np.isfinite(slope)
    ax.set_xlabel(_axis_label(ds["lon"]))
    ax.set_ylabel(_axis_label(ds["lat"]))
    ax.grid(True, linewidth=0.3, alpha=0.5)
    if (~fitted).any():
        ax.scatter(lon[~fitted], lat[~fitted], s=30, marker="x", color="grey", label="no trend (too few years)")
    mesh = None
    if fitted.any():
        marked = np.nan_to_num(p, nan=1.0)[fitted] < 0.05
        mesh = ax.scatter(lon[fitted], lat[fitted], c=slope[fitted], cmap="RdBu_r", vmin=limits[0],
                          vmax=limits[1], s=60, zorder=2,
                          edgecolors=np.where(marked, "black", "none"), linewidths=1.8)
        if marked.any():
            ax.scatter([], [], s=60, facecolors="none", edgecolors="black", linewidths=1.8, label="p < 0.05")
    if len(rows) <= MAX_LABELS:
        for x, y, name in zip(lon, lat, ds["station"].values[rows]):
            ax.annotate(str(name), (x, y), xytext=(4, 4), textcoords="offset points", fontsize=7)
    if ax.get_legend_handles_labels()[0]:
        ax.legend(loc="best", fontsize=7)
    return mesh


def _extent(ds, members):
    """(x limits, y limits, aspect) of every panel of a station map: one frame for all, so that
    the panels read as the same map; degrees of longitude shrink towards the poles."""
    lon, lat = ds["lon"].values[members], ds["lat"].values[members]
    pad = max(0.5, 0.1 * max(np.ptp(lon), np.ptp(lat)))
    middle = np.cos(np.radians(np.clip((lat.min() + lat.max()) / 2, -80, 80)))
    return (lon.min() - pad, lon.max() + pad), (lat.min() - pad, lat.max() + pad), 1 / middle


def _members(ds, index):
    """The series of stations-trend.nc with a position whose runs give ``index``."""
    placed = np.isfinite(ds["lat"].values) & np.isfinite(ds["lon"].values)
    writes = np.isin(ds["threshold_type"].values.astype(str), index.types)
    if index.fixed_only:
        writes &= ~np.isfinite(ds["percentile"].values)
    return np.flatnonzero(placed & writes)


def station_map_figure(ds, key):
    """The stations of a batch's stations-trend.nc (an xarray Dataset) coloured by their Sen slope
    per decade of index ``key``, one panel per run setting; stations whose Mann-Kendall p is below
    0.05 are ringed, those without a trend (too few years) crossed. None where no station with
    a position has a run that gives the index."""
    index = catalogue.BY_KEY[key]
    groups = {}
    for i in _members(ds, index):
        groups.setdefault(_setting(ds, i), []).append(i)
    if not groups:
        return None
    shown = sorted(groups, key=lambda g: -len(groups[g]))[:MAX_PANELS]
    cols = min(len(shown), 3)
    rows = -(-len(shown) // cols)
    # Panels about square, as a map of a region mostly is; the colour bar takes the rest.
    fig = mpl().Figure(figsize=(cols * 5.2 + 1.2, rows * 5.0), dpi=DPI, layout="constrained")
    axes = fig.subplots(rows, cols, squeeze=False).ravel()
    slopes = ds[f"{key}_slope"].values[[i for g in shown for i in groups[g]]]
    top = np.nanmax(np.abs(slopes)) if np.isfinite(slopes).any() else 0.0
    limits = (-top, top) if top > 0 else (-1.0, 1.0)     # white at no change, whatever the data
    left = len(groups) - len(shown)
    fig.suptitle(f"{index.title}: Sen slope per decade" + (f" ({left} more run settings not drawn)" if left else ""),
                 fontsize=11)
    mesh = None
    xlim, ylim, aspect = _extent(ds, _members(ds, index))
    for ax, setting in zip(axes, shown):
        ax.set_title(setting, fontsize=9)
        mesh = _draw_stations(ax, ds, np.array(groups[setting]), key, limits) or mesh
        ax.set(xlim=xlim, ylim=ylim)
        ax.set_aspect(aspect, adjustable="box")
    for ax in axes[len(shown):]:
        ax.set_axis_off()
    if mesh is not None:
        fig.colorbar(mesh, ax=list(axes[:len(shown)]), shrink=0.8,
                     label=f"Sen slope per decade ({ds[f'{key}_slope'].attrs.get('units', '')})")
    return fig


def write_station_maps(ds, outdir):
    """stations-<index>.png in the batch folder ``outdir`` for every index of stations-trend.nc
    (``ds``) that some station with a position has; returns the paths written. A map of an
    earlier batch that this one does not draw is removed, so that no map disagrees with the tables."""
    written = []
    for index in catalogue.YEARLY:
        fig = station_map_figure(ds, index.key) if f"{index.key}_slope" in ds else None
        if fig is None:
            continue
        path = os.path.join(outdir, f"stations-{index.key}.png")
        with atomic_write(path, "wb") as f:
            fig.savefig(f, format="png")
        written.append(path)
    remove_station_maps(outdir, keep=written)
    return written


def remove_station_maps(outdir, keep=()):
    """Remove the station maps in ``outdir`` but those in ``keep`` (a batch with --no-plots keeps none)."""
    for index in catalogue.YEARLY:
        path = os.path.join(outdir, f"stations-{index.key}.png")
        if path not in keep and os.path.isfile(path):
            os.unlink(path)
