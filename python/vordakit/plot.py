"""Pictures of a folder's results: one PNG per yearly index, one event chart per run, one PDF of all.

matplotlib is imported here only, so that the rest of the toolkit runs
without it. Figures are built with the object interface and drawn by Agg,
never through pyplot, so that nothing needs a display.

``plot_results`` keeps one figure of each kind (yearly index, events,
threshold curve) per process and draws every picture of that kind on it,
emptied of the one before: building the axes and their ticks, and measuring
the same tick labels again on a new canvas, cost more than drawing. The
functions that return a figure build a new one unless asked to ``reuse``
that one, which is then valid until the next of its kind is asked for.
"""

import datetime
import os

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.collections import LineCollection
from matplotlib.figure import Figure
from matplotlib.patches import PathPatch
from matplotlib.path import Path
from matplotlib.text import Text

from vordakit import percentile, trend
from vordakit.atomic import atomic_write
from vordakit.raster_pdf import RasterPdf, png_file, png_stream
from vordakit.results import INDEX_ORDER, Run, read_results

__all__ = ["yearly_figure", "events_figure", "figures", "plot_results", "command"]

WIDTH, HEIGHT, DPI = 800, 600, 100

# index -> (title, y axis label)
INDEX_LABELS = {
    "ndays": ("Days beyond the threshold", "days per year"),
    "WSDI": ("Warm spell duration index (WSDI)", "days in warm spells per year"),
    "CSDI": ("Cold spell duration index (CSDI)", "days in cold spells per year"),
    "SGS": ("Start of the growing season (SGS)", "ordinal of the day within its year's records"),
    "LFD": ("Last frost day (LFD)", "ordinal of the day within its year's records"),
}
# Day counts per decade; the ordinal indices move by days of the year per decade.
SLOPE_UNIT = "days/decade"
LABELLED_EVENTS = 3

_LINE = "#1f77b4"
_MISSING = "#d62728"
_SEN = "#ff7f0e"
_STEM = "#7f7f7f"
_TOP = "#d62728"


def _new_figure():
    # Fixed margins: a layout engine would measure every text of the figure
    # again before each drawing, which took most of the time of the plots.
    fig = Figure(figsize=(WIDTH / DPI, HEIGHT / DPI), dpi=DPI)
    FigureCanvasAgg(fig)   # one canvas for good: its renderer keeps the sizes of the texts it measured
    fig.subplots_adjust(left=0.1, right=0.97, top=0.83, bottom=0.2)
    return fig, fig.add_subplot()


_FIGURES = {}   # kind -> (Figure, Axes) of this process


def _figure(kind):
    """This process's figure of ``kind``, emptied of the picture drawn on it before.

    What every picture sets anew or all of a kind share (axis labels, grid,
    margins) stays; the rest is removed or reset here: the plotted artists
    and texts, the legend, the data limits and autoscaling, the axes
    switched off.
    """
    if kind not in _FIGURES:
        _FIGURES[kind] = _new_figure()
        return _FIGURES[kind]
    fig, ax = _FIGURES[kind]
    for artist in [*ax.lines, *ax.patches, *ax.collections, *ax.texts]:
        artist.remove()
    if ax.legend_ is not None:
        ax.legend_.remove()
    ax.relim()
    ax.set_autoscale_on(True)
    ax.set_axis_on()
    return fig, ax


def _set_title(ax, text, fontsize):
    # At the height matplotlib would find for it above axes with ticks below, given rather than
    # found: finding it measures the whole y axis again, a fifth of a figure's drawing.
    ax.set_title(text, fontsize=fontsize, y=1.0)


def _missing_bands(ax, years, label):
    """One band over the whole height per year in ``years``, as one patch: a patch per year
    cost more than the rest of a figure where most years lack a value."""
    verts, codes = [], []
    for y in years:
        verts += [(y - 0.5, 0), (y + 0.5, 0), (y + 0.5, 1), (y - 0.5, 1), (y - 0.5, 0)]
        codes += [Path.MOVETO, Path.LINETO, Path.LINETO, Path.LINETO, Path.CLOSEPOLY]
    band = PathPatch(Path(verts, codes), transform=ax.get_xaxis_transform(which="grid"), color=_MISSING,
                     alpha=0.15, linewidth=0, label=label)
    ax.add_artist(band)
    # The x limits take the bands in, as they would a patch per year; measured from its
    # ends directly, since measuring the patch walks every edge of it.
    ax.update_datalim([(years[0] - 0.5, 0), (years[-1] + 0.5, 0)], updatey=False)


def _title(index, run, unit, what=None):
    """The figure's title; the days count says on which side of the threshold its days lie."""
    title = INDEX_LABELS.get(index, (index, "value"))[0]
    if index == "ndays":
        side = "above" if run.type == "upper" else "below"
        beyond = f"{run.threshold:.1f}{' ' + unit if unit else ''}"
        if what:
            # A percentile's ("the 90th percentile of ...") or the threshold given where the names round it.
            named = what.split(",")[0]
            beyond = named.removeprefix("threshold ") if named.startswith("threshold ") else f"the {named}"
        title = f"Days {side} {beyond}"
    return title


def run_label(run, unit="", what=None):
    """``what`` names a threshold that is not the run's own (a percentile's)."""
    unit = f" {unit}" if unit else ""
    what = what or f"threshold {run.threshold:.1f}{unit}"
    return f"{run.input}: {run.type} {what}, minimum duration {run.min_duration} days"


def _legend_below(ax):
    # Inside the axes a legend hides points and the labels of the largest events.
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=3, fontsize=9, frameon=False)


def yearly_figure(run, index, years, values, unit="", what=None, remark="", reuse=False):
    """The yearly index of one run: points joined by lines, missing years marked, Sen line.

    ``years`` and ``values`` are parallel (a value of None is missing); years
    absent from the span between the first and the last are marked missing
    too. Lines break at missing years. The values come from
    ``trend.series_of``, which also takes a start of the growing season of 0
    (none that year) as no value.
    """
    pairs = {y: v for y, v in zip(years, values) if y is not None}
    ylabel = INDEX_LABELS.get(index, (index, "value"))[1]
    fig, ax = _figure("yearly") if reuse else _new_figure()
    fig.suptitle(_title(index, run, unit, what), fontsize=14)
    if not pairs:
        _set_title(ax, run_label(run, unit, what) + "\nno year with a value", 10)
        ax.set_axis_off()
        return fig
    span = list(range(min(pairs), max(pairs) + 1))
    ys = [pairs.get(y) for y in span]
    ax.plot(span, [float("nan") if v is None else v for v in ys], "-o", color=_LINE,
            markersize=3.5, linewidth=1.2, label=index)
    missing = [y for y, v in zip(span, ys) if v is None]
    if missing:
        # Bands over the whole height: a mark at some height would read as a value there.
        _missing_bands(ax, missing, f"year without a value ({len(missing)})")
    f = trend.fit(span, ys)
    if f is not None:
        valid = [y for y, v in zip(span, ys) if v is not None]
        xs = [valid[0], valid[-1]]
        ax.plot(xs, [f.intercept + f.slope * x for x in xs], "--", color=_SEN, linewidth=2,
                label="Sen slope")
        note = (f"Sen slope {10 * f.slope:+.3g} {SLOPE_UNIT} "
                f"(95%: {10 * f.low:+.3g} to {10 * f.high:+.3g}), Mann-Kendall p = {f.p:.3g}")
    else:
        valid_n = len(span) - len(missing)
        note = (f"no trend: {valid_n} of {len(span)} years with a value "
                f"(needs {trend.MIN_VALID_YEARS} and {trend.MIN_VALID_SHARE:.0%})")
    _set_title(ax, run_label(run, unit, what) + "\n" + note + remark, 9 if what else 10)
    ax.set_xlabel("year")
    ax.set_ylabel(ylabel)
    ax.grid(True, alpha=0.3)
    _legend_below(ax)
    return fig


def _event_date(text):
    try:
        return datetime.date.fromisoformat(text)
    except (TypeError, ValueError):
        return None


def events_figure(run, events, unit="", what=None, reuse=False):
    """The events of one run: a stem per event at its date, height the action measure.

    The three events of largest action measure (in magnitude) are highlighted
    and labelled with date and value. Events without a calendar date or
    action measure cannot be placed and are counted in the subtitle.
    """
    pts = [(d, e.action) for e in events
           if (d := _event_date(e.date)) is not None and e.action is not None]
    fig, ax = _figure("events") if reuse else _new_figure()
    fig.suptitle("Events", fontsize=14)
    unplaced = len(events) - len(pts)
    note = f"{len(pts)} events"
    if unplaced:
        note += f", {unplaced} without date or action measure not shown"
    _set_title(ax, run_label(run, unit, what) + "\n" + note, 9 if what else 10)
    if not pts:
        ax.text(0.5, 0.5, "no events", transform=ax.transAxes, ha="center", va="center", fontsize=14)
        ax.set_axis_off()
        return fig
    dates = [p[0] for p in pts]
    heights = [p[1] for p in pts]
    _stems(ax, dates, heights)
    ax.plot(dates, heights, "o", color=_LINE, markersize=3.5, label="event")
    top = sorted(range(len(pts)), key=lambda i: -abs(heights[i]))[:LABELLED_EVENTS]
    ax.plot([dates[i] for i in top], [heights[i] for i in top], "o", color=_TOP, markersize=8,
            label=f"{len(top)} largest")
    ax.axhline(0, color="black", linewidth=0.8)
    ax.set_xlabel("date of the record nearest the event's midpoint")
    ax.set_ylabel(f"action measure ({unit} days)" if unit else "action measure (value minus threshold, summed)")
    ax.grid(True, alpha=0.3)
    _legend_below(ax)
    ax.margins(y=0.15)
    # Action measures of one run share a sign: no empty half below (or above) zero.
    if min(heights) >= 0:
        ax.set_ylim(bottom=0)
    elif max(heights) <= 0:
        ax.set_ylim(top=0)
    # Last, once the axes' limits are settled: the labels are placed by their drawn size.
    ax.set_xlim(ax.get_xlim())
    ax.set_ylim(ax.get_ylim())
    _label_largest(ax, dates, heights, top)
    return fig


def _stems(ax, dates, heights):
    """A vertical line from zero to each height: as ``vlines`` draws them, from one array
    rather than a masked array per event, which cost more than the rest of the figure's making."""
    ax.xaxis.update_units(dates)
    xs = np.asarray(ax.convert_xunits(dates), float)
    ys = np.asarray(heights, float)
    segments = np.empty((len(xs), 2, 2))
    segments[:, :, 0] = xs[:, None]
    segments[:, 0, 1] = 0.0
    segments[:, 1, 1] = ys
    ax.add_collection(LineCollection(segments, colors=_STEM, linewidths=1), autolim=True)


def _label_largest(ax, dates, heights, top):
    """Label the largest events with date and value, each moved up until it overlaps no other label."""
    renderer = ax.figure.canvas.get_renderer()
    first, last = min(dates), max(dates)
    middle = first + (last - first) / 2
    placed = []
    for i in sorted(top, key=lambda i: -abs(heights[i])):
        # Labels point inwards, so that none runs off the right edge.
        right = dates[i] > middle
        up = 1 if heights[i] >= 0 else -1
        for level in range(LABELLED_EVENTS + 1):
            label = ax.annotate(f"{dates[i].isoformat()}\n{heights[i]:.1f}", (dates[i], heights[i]),
                                xytext=(-6 if right else 6, up * (4 + 28 * level)), textcoords="offset points",
                                ha="right" if right else "left", va="bottom" if up > 0 else "top", fontsize=9,
                                arrowprops=dict(arrowstyle="-", color=_STEM, linewidth=0.6) if level else None)
            # The text's own box: the leader line may cross other labels.
            label.update_positions(renderer)
            box = Text.get_window_extent(label, renderer)
            if level == LABELLED_EVENTS or not any(box.overlaps(other) for other in placed):
                break
            label.remove()
        placed.append(box)


def _stem(run):
    return f"{run.input}-{run.type}-{run.threshold:.1f}-durmin-{run.min_duration}"


def figures(results, unit="", keep_partial=False, reuse=False):
    """(file stem, Figure) for every yearly index and every run's events, in table order.

    Years the input does not wholly cover are left out unless ``keep_partial``.
    With ``reuse``, the figures of a kind are one figure of this process
    redrawn, which saves building each anew: use each before taking the next.
    """
    every = trend.series_of(results.yearly)
    groups = trend.series_of(trend.whole_years(results.yearly, keep_partial))
    events = {}
    for e in results.events:
        events.setdefault(Run(*e[:4]), []).append(e)
    whats = {r[:4]: percentile.label(r.percentile, r.base, r.window)
             for r in results.yearly + results.events if r.percentile is not None}
    for r in results.yearly + results.events:
        if r.percentile is None and r.threshold_used is not None and r.threshold_used != r.threshold:
            whats[r[:4]] = f"threshold {r.threshold_used!r}{' ' + unit if unit else ''}, shown as " \
                           f"{r.threshold:.1f} in the result names"
    booted = {r[:5]: r.base for r in results.yearly if r.bootstrap}
    for run in results.runs():
        what = whats.get(tuple(run))
        for index in INDEX_ORDER:
            if (tuple(run), index) in every:
                # An index of partial years only is drawn as one without a value.
                years, values = groups.get((tuple(run), index), ([], []))
                base = booted.get(tuple(run) + (index,))
                note = f"\nbase years {base}: means over resampled bases (bootstrap)" if base else ""
                yield f"{_stem(run)}-{index}", yearly_figure(run, index, years, values, unit, what, note, reuse)
        yield f"{_stem(run)}-events", events_figure(run, events.get(run, []), unit, what, reuse)
        if run.input in results.thresholds:
            yield f"{_stem(run)}-thresholds", percentile.thresholds_figure(
                run, results.thresholds[run.input], unit, what,
                (lambda: _figure("thresholds")) if reuse else _new_figure)


def plot_results(results, outdir, unit="", keep_partial=False):
    """Write a PNG per figure and plots.pdf with all of them; returns the paths written."""
    if not results.runs():
        return []    # runs of neither threshold type write no records: nothing to draw
    os.makedirs(outdir, exist_ok=True)
    written = []
    pdf_path = os.path.join(outdir, "plots.pdf")
    with atomic_write(pdf_path, "wb") as f, RasterPdf(f) as pdf:
        for stem, fig in figures(results, unit, keep_partial, reuse=True):
            # Drawn and compressed once; the PNG and the PDF page are the same pixels.
            fig.canvas.draw()
            width, height = fig.canvas.get_width_height()
            stream = png_stream(fig.canvas.buffer_rgba())
            path = os.path.join(outdir, stem + ".png")
            with atomic_write(path, "wb") as png:
                png.write(png_file(stream, width, height, DPI))
            pdf.add_page(stream, width, height, DPI)
            written.append(path)
    written.append(pdf_path)
    return written


def command(args):
    """``vordakit plot``: the pictures' paths on standard output."""
    from vordakit.results import print_warnings

    if args.folder.endswith(".nc"):
        return grid_plot_command(args)
    res = read_results(args.folder)
    keep = getattr(args, "keep_partial", False)
    print_warnings("plot", res.warnings + trend.partial_note(res.yearly, keep))
    for path in plot_results(res, args.out or args.folder, args.unit, keep):
        print(path)
    return 0


# ---------------------------------------------------------------- grids


def _axis_label(coord):
    name = coord.attrs.get("long_name") or coord.attrs.get("standard_name") or coord.name
    unit = coord.attrs.get("units")
    return f"{name} ({unit})" if unit else str(name)


def _draw_field(fig, ax, ds, field, title, unit, cmap, marked=None):
    """One map of ``field`` (the grid's dimensions) on the grid's own axes; a
    field with marked cells (a slope) is coloured symmetrically about zero."""
    import numpy as np
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
    import numpy as np
    v = ds[name]
    fig = Figure(figsize=(2 * WIDTH / DPI, HEIGHT / DPI), dpi=DPI, layout="constrained")
    left, right = fig.subplots(1, 2)
    title = v.attrs.get("long_name", name)
    fig.suptitle(title if len(title) < 110 else title[:107] + "...", fontsize=11)
    years = ds["year"].values
    unit = v.attrs.get("units", "")
    with np.errstate(all="ignore"):
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            mean = v.mean("time", skipna=True)
    _draw_field(fig, left, ds, mean, f"mean {years.min()}-{years.max()}", unit, "viridis")
    slope = trends[f"{name}_slope"]
    p = trends[f"{name}_p"].values
    _draw_field(fig, right, ds, slope, "Sen slope per decade", slope.attrs.get("units", ""), "RdBu_r",
                marked=np.nan_to_num(p, nan=1.0) < 0.05)
    return fig


def grid_plot_command(args):
    from vordakit.grid import load_output

    ds = load_output(args.folder)
    trends = trend.grid_trends(ds)
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
