"""Pictures of a folder's results: one PNG per yearly index, one event chart per run, one PDF of all.

matplotlib is imported here only, so that the rest of the toolkit runs
without it. Figures are built with the object interface and drawn by Agg,
never through pyplot, so that nothing needs a display and no figure outlives
its use.

Each figure is drawn once: its pixels, compressed once, become both the PNG
and a page of plots.pdf (PDF reads PNG's row filters, so the compressed rows
serve both). Drawing a figure a second time as vector PDF took three times as
long as the PNG alone, which made the plots most of a batch's time.
"""

import datetime
import os
import struct
import zlib

from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.collections import PolyCollection
from matplotlib.figure import Figure

from vordakit import trend
from vordakit.atomic import atomic_write
from vordakit.results import INDEX_ORDER, Run, read_results

WIDTH, HEIGHT, DPI = 800, 600, 100

# index -> (title, y axis label). SGS and LFD count the records of the year
# (of its season after convert --months), which are its days only when the
# series holds every day of the year.
INDEX_LABELS = {
    "ndays": ("Days {direction} {threshold}", "days per year"),
    "WSDI": ("Warm spell duration index (WSDI)", "days in warm spells per year"),
    "CSDI": ("Cold spell duration index (CSDI)", "days in cold spells per year"),
    "SGS": ("Start of the growing season (SGS)", "record of the year (day of the year if every day is there)"),
    "LFD": ("Last frost day (LFD)", "record of the year (day of the year if every day is there)"),
}
DIRECTION = {"upper": "above", "lower": "below"}
# Day counts per decade; the ordinal indices move by days of the year per decade.
SLOPE_UNIT = "days/decade"
LABELLED_EVENTS = 3

_LINE = "#1f77b4"
_MISSING = "#d62728"
_SEN = "#ff7f0e"
_STEM = "#7f7f7f"
_TOP = "#d62728"


# The subtitle's height above the axes, fixed: placed automatically, it is
# set clear of the tick labels, which costs a layout of every tick per draw.
_TITLE_Y = 1.02


def _new_figure():
    # Fixed margins: a layout engine measured every text of the figure on
    # each draw, a third of the drawing time, for room these titles and the
    # legend below the axes always take alike.
    fig = Figure(figsize=(WIDTH / DPI, HEIGHT / DPI), dpi=DPI)
    fig.subplots_adjust(left=0.1, right=0.97, top=0.8, bottom=0.2)
    return fig, fig.add_subplot()


def index_title(run, index, unit=""):
    """The title of a yearly index's figure: the days' count says which way it counts.

    >>> index_title(Run("s.txt", "lower", 0.0, 3), "ndays", "degC")
    'Days below 0.0 degC'
    """
    title = INDEX_LABELS.get(index, (index, ""))[0]
    threshold = f"{run.threshold:.1f} {unit}".strip()
    return title.format(direction=DIRECTION.get(run.type, "beyond"), threshold=threshold)


def run_label(run, unit=""):
    unit = f" {unit}" if unit else ""
    return (f"{run.input}: {run.type} threshold {run.threshold:.1f}{unit}, "
            f"minimum duration {run.min_duration} days")


def _legend_below(ax):
    # Inside the axes a legend hides points and the labels of the largest events.
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=3, fontsize=9, frameon=False)


def yearly_figure(run, index, years, values, unit=""):
    """The yearly index of one run: points joined by lines, missing years marked, Sen line.

    ``years`` and ``values`` are parallel (a value of None is missing); years
    absent from the span between the first and the last are marked missing
    too. Lines break at missing years. The values come from
    ``trend.series_of``, which also takes a start of the growing season of 0
    (none that year) as no value.
    """
    pairs = {y: v for y, v in zip(years, values) if y is not None}
    ylabel = INDEX_LABELS.get(index, (index, "value"))[1]
    fig, ax = _new_figure()
    fig.suptitle(index_title(run, index, unit), fontsize=14)
    if not pairs:
        ax.set_title(run_label(run, unit) + "\nno year with a value", fontsize=10, y=_TITLE_Y)
        ax.set_axis_off()
        return fig
    span = list(range(min(pairs), max(pairs) + 1))
    ys = [pairs.get(y) for y in span]
    ax.plot(span, [float("nan") if v is None else v for v in ys], "-o", color=_LINE,
            markersize=3.5, linewidth=1.2, label=index)
    missing = [y for y, v in zip(span, ys) if v is None]
    if missing:
        # A band over the whole height: a mark at some height would read as a
        # value there (a day 0, or the lowest start on the axis).
        bands = PolyCollection([[(y - 0.5, 0), (y + 0.5, 0), (y + 0.5, 1), (y - 0.5, 1)] for y in missing],
                               transform=ax.get_xaxis_transform(), facecolor=_MISSING, alpha=0.15,
                               linewidth=0, antialiased=False,
                               label=f"year without a value ({len(missing)})")
        ax.add_collection(bands, autolim=False)
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
    ax.set_title(run_label(run, unit) + "\n" + note, fontsize=10, y=_TITLE_Y)
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


def events_figure(run, events, unit=""):
    """The events of one run: a stem per event at its date, height the action measure.

    The three events of largest action measure (in magnitude) are highlighted
    and labelled with date and value. Events without a calendar date or
    action measure cannot be placed and are counted in the subtitle.
    """
    pts = [(d, e.action) for e in events
           if (d := _event_date(e.date)) is not None and e.action is not None]
    fig, ax = _new_figure()
    fig.suptitle("Events", fontsize=14)
    unplaced = len(events) - len(pts)
    note = f"{len(pts)} events"
    if unplaced:
        note += f", {unplaced} without date or action measure not shown"
    ax.set_title(run_label(run, unit) + "\n" + note, fontsize=10, y=_TITLE_Y)
    if not pts:
        ax.text(0.5, 0.5, "no events", transform=ax.transAxes, ha="center", va="center", fontsize=14)
        ax.set_axis_off()
        return fig
    dates = [p[0] for p in pts]
    heights = [p[1] for p in pts]
    ax.vlines(dates, 0, heights, color=_STEM, linewidth=1)
    ax.plot(dates, heights, "o", color=_LINE, markersize=3.5, label="event")
    top = sorted(range(len(pts)), key=lambda i: -abs(heights[i]))[:LABELLED_EVENTS]
    ax.plot([dates[i] for i in top], [heights[i] for i in top], "o", color=_TOP, markersize=8,
            label=f"{len(top)} largest")
    ax.axhline(0, color="black", linewidth=0.8)
    ax.set_xlabel("date of the record nearest the event's midpoint")
    ax.set_ylabel(f"action measure ({unit} days)" if unit else "action measure (value minus threshold, summed)")
    ax.grid(True, alpha=0.3)
    _legend_below(ax)
    _label_events(ax, dates, heights, top)
    return fig


# Width of a date label in axes fractions (at 800 pixels), with some room.
_LABEL_WIDTH = 0.13
_LABEL_STEP = 0.09


def _label_events(ax, dates, heights, top):
    """Label the largest events with date and value in rows beyond the stems.

    Labels go in order of date; one that would touch the previous label of its
    row moves to the next row, further from the axis. The axis ends at zero on
    the side where no event lies, and leaves room for the rows on the other.
    """
    low, high = min(heights + [0.0]), max(heights + [0.0])
    sign = -1.0 if high == 0.0 and low < 0.0 else 1.0
    first, last = min(dates), max(dates)
    days = max((last - first).days, 1)
    # Dates lie within 2% margins on either side.
    frac = {i: 0.02 + 0.96 * (dates[i] - first).days / days for i in top}
    rows = []   # the right edge of each row's last label, in axes fractions
    row_of = {}
    for i in sorted(top, key=lambda i: dates[i]):
        right = frac[i] > 0.5
        left_edge = frac[i] - (_LABEL_WIDTH if right else 0.0)
        row = next((r for r, edge in enumerate(rows) if edge < left_edge), len(rows))
        if row == len(rows):
            rows.append(0.0)
        rows[row] = left_edge + _LABEL_WIDTH
        row_of[i] = row
    extent = (high if sign > 0 else -low) or 1.0
    # Stems reach up to 1 - (rows + 1) steps of the height; the labels take the rest.
    room = 1.0 - _LABEL_STEP * (len(rows) + 1)
    limit = sign * extent / room
    pad = datetime.timedelta(days=max(1, round(0.02 / 0.96 * days)))
    ax.set_xlim(first - pad, last + pad)
    # Events on the other side of zero (not met in vorda's output) keep their room.
    other = 1.1 * (low if sign > 0 else high)
    ax.set_ylim(*sorted((other, limit)))
    for i in top:
        right = frac[i] > 0.5
        at = room + _LABEL_STEP * (row_of[i] + 0.5)
        ax.annotate(f"{dates[i].isoformat()}\n{heights[i]:.1f}", (dates[i], heights[i]),
                    xytext=(dates[i], sign * at * extent / room), textcoords="data",
                    ha="right" if right else "left", va="center", fontsize=9,
                    arrowprops={"arrowstyle": "-", "color": _TOP, "linewidth": 0.6})


def _stem(run):
    return f"{run.input}-{run.type}-{run.threshold:.1f}-durmin-{run.min_duration}"


def figures(results, unit=""):
    """(file stem, Figure) for every yearly index and every run's events, in table order."""
    groups = trend.series_of(results.yearly)
    events = {}
    for e in results.events:
        events.setdefault(Run(*e[:4]), []).append(e)
    for run in results.runs():
        for index in INDEX_ORDER:
            if (tuple(run), index) in groups:
                years, values = groups[(tuple(run), index)]
                yield f"{_stem(run)}-{index}", yearly_figure(run, index, years, values, unit)
        yield f"{_stem(run)}-events", events_figure(run, events.get(run, []), unit)


def _pixels(fig):
    """The figure drawn once by Agg, as rows of RGB bytes (the background is opaque)."""
    import numpy as np

    canvas = FigureCanvasAgg(fig)
    canvas.draw()
    rgba = np.asarray(canvas.buffer_rgba())
    return rgba[:, :, :3]


def _deflate_rows(rgb):
    """The rows with PNG filter byte 0 before each, compressed: PNG's IDAT data and a PDF stream alike."""
    import numpy as np

    height, width, _ = rgb.shape
    rows = np.zeros((height, 1 + 3 * width), dtype=np.uint8)
    rows[:, 1:] = rgb.reshape(height, 3 * width)
    return zlib.compress(rows.tobytes(), 1)


def _png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def write_png(f, width, height, deflated):
    """A PNG of 8-bit RGB rows already filtered and compressed by ``_deflate_rows``."""
    f.write(b"\x89PNG\r\n\x1a\n")
    f.write(_png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
    # Pixels per metre at DPI, so that viewers show the figure at its size.
    ppm = round(DPI / 0.0254)
    f.write(_png_chunk(b"pHYs", struct.pack(">IIB", ppm, ppm, 1)))
    f.write(_png_chunk(b"IDAT", deflated))
    f.write(_png_chunk(b"IEND", b""))


def write_pdf(f, pages):
    """A PDF of one full-page image per (width, height, deflated rows) in ``pages``, at DPI."""
    objects = [None, None]   # 1: catalogue, 2: page tree; then per page: page, content, image
    kids = []
    for width, height, deflated in pages:
        w, h = width * 72 / DPI, height * 72 / DPI
        n = len(objects) + 1
        kids.append(f"{n} 0 R")
        content = f"q {w:.2f} 0 0 {h:.2f} 0 0 cm /Im0 Do Q".encode()
        objects.append(f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 {w:.2f} {h:.2f}] "
                       f"/Resources << /XObject << /Im0 {n + 2} 0 R >> >> /Contents {n + 1} 0 R >>".encode())
        objects.append(b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream")
        objects.append(f"<< /Type /XObject /Subtype /Image /Width {width} /Height {height} "
                       "/ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode "
                       f"/DecodeParms << /Predictor 15 /Colors 3 /BitsPerComponent 8 /Columns {width} >> "
                       f"/Length {len(deflated)} >>\nstream\n".encode() + deflated + b"\nendstream")
    objects[0] = b"<< /Type /Catalog /Pages 2 0 R >>"
    objects[1] = f"<< /Type /Pages /Kids [{' '.join(kids)}] /Count {len(kids)} >>".encode()
    out = [b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"]
    size = len(out[0])
    offsets = []
    for n, body in enumerate(objects, start=1):
        offsets.append(size)
        chunk = b"%d 0 obj\n" % n + body + b"\nendobj\n"
        out.append(chunk)
        size += len(chunk)
    xref = [b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)]
    xref += [b"%010d 00000 n \n" % o for o in offsets]
    out += xref
    out.append(b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, size))
    f.write(b"".join(out))


def plot_results(results, outdir, unit=""):
    """Write a PNG per figure and plots.pdf with all of them; returns the paths written."""
    if not results.runs():
        return []    # runs of neither threshold type write no records: nothing to draw
    os.makedirs(outdir, exist_ok=True)
    written = []
    pages = []
    for stem, fig in figures(results, unit):
        rgb = _pixels(fig)
        height, width, _ = rgb.shape
        deflated = _deflate_rows(rgb)
        path = os.path.join(outdir, stem + ".png")
        with atomic_write(path, "wb") as png:
            write_png(png, width, height, deflated)
        pages.append((width, height, deflated))
        written.append(path)
    pdf_path = os.path.join(outdir, "plots.pdf")
    with atomic_write(pdf_path, "wb") as f:
        write_pdf(f, pages)
    written.append(pdf_path)
    return written


def plot_command(args):
    from vordakit.results import print_warnings

    if args.folder.endswith(".nc"):
        return grid_plot_command(args)
    res = read_results(args.folder)
    print_warnings("plot", res.warnings)
    for path in plot_results(res, args.out or args.folder, args.unit):
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
    import xarray as xr

    from vordakit.errors import KitError
    try:
        source = xr.open_dataset(args.folder, decode_times=False, decode_timedelta=False)
    except Exception as e:
        raise KitError(args.folder, None, f"cannot be read as NetCDF: {e}") from None
    with source:
        if "year" not in source.variables:
            raise KitError(args.folder, None, "not an output of vordakit grid (no year coordinate)")
        ds = source.load()
    trends = trend.grid_trends(ds)
    out = args.out or os.path.dirname(os.path.abspath(args.folder))
    os.makedirs(out, exist_ok=True)
    stem = os.path.splitext(os.path.basename(args.folder))[0]
    for name, v in ds.data_vars.items():
        if v.dims[:1] != ("time",) or name == "time_bnds":
            continue
        fig = grid_map_figure(ds, trends, name)
        path = os.path.join(out, f"{stem}-{name}.png")
        with atomic_write(path, "wb") as f:
            fig.savefig(f, format="png")
        print(path)
    return 0
