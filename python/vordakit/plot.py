"""Pictures of a folder's results: one PNG per yearly index, one event chart per run, one PDF of all.

matplotlib is loaded here only, with the first figure (``mpl``), so that
the rest of the toolkit runs without it and commands that draw nothing do not
pay for loading it. Figures are built with the object interface and drawn by Agg,
never through pyplot, so that nothing needs a display.

``plot_results`` keeps one figure of each kind (yearly index, events,
threshold curve) per process and draws every picture of that kind on it,
emptied of the one before: building the axes and their ticks, and measuring
the same tick labels again on a new canvas, cost more than drawing. The
functions that return a figure build a new one unless asked to ``reuse``
that one, which is then valid until the next of its kind is asked for.
"""

import datetime
import functools
import os
import re
import types

import numpy as np

from vordakit import catalogue, notes, results, trend
from vordakit.atomic import atomic_write
from vordakit.catalogue import INDEX_ORDER
from vordakit.model import Run
from vordakit.raster_pdf import RasterPdf, png_file, png_stream
from vordakit.thresholds import label as threshold_label

__all__ = ["yearly_figure", "events_figure", "thresholds_figure", "figures", "plot_results", "command"]

WIDTH, HEIGHT, DPI = 800, 600, 100

# index -> y axis label
AXIS_LABELS = {i.name: i.axis_label for i in catalogue.YEARLY}
# Day counts per decade; the ordinal indices move by days of the year per decade.
SLOPE_UNIT = "days/decade"
LABELLED_EVENTS = 3

_LINE = "#1f77b4"
_MISSING = "#d62728"
_SEN = "#ff7f0e"
_STEM = "#7f7f7f"
_TOP = "#d62728"
_BASE = "#2ca02c"
# The top of the axes with a title of one line and a subtitle of two; more lines move it down.
_TOP_MARGIN = 0.83


@functools.cache
def mpl():
    """The pieces of matplotlib the figures use, loaded once, when the first figure is made."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure
    from matplotlib.font_manager import FontProperties
    from matplotlib.patches import PathPatch
    from matplotlib.path import Path
    from matplotlib.text import Text
    return types.SimpleNamespace(FigureCanvasAgg=FigureCanvasAgg, LineCollection=LineCollection, Figure=Figure,
                                 FontProperties=FontProperties, PathPatch=PathPatch, Path=Path, Text=Text)


# A piece of a line that may end it: a word with the blanks or the hyphen after it.
_PIECES = re.compile(r"[^\s-]*-|[^\s-]+\s*|\s+")


def fitted_text(fig, text, fontsize, share=0.96):
    """``text`` with every line broken (after a blank or a hyphen, else anywhere) where it would be
    wider than ``share`` of the figure, so that no name, however long, runs off its edges."""
    renderer = fig.canvas.get_renderer()
    prop = mpl().FontProperties(size=fontsize)
    limit = share * fig.bbox.width

    def fits(piece):
        return renderer.get_text_width_height_descent(piece.rstrip(), prop, ismath=False)[0] <= limit

    lines = []
    for line in text.split("\n"):
        # Short lines are not measured: most titles are, and measuring every one cost time.
        if len(line) < 60 or fits(line):
            lines.append(line)
            continue
        current = ""
        for piece in _PIECES.findall(line):
            for char in (piece if not fits(piece) else [piece]):
                if current and not fits(current + char):
                    lines.append(current.rstrip())
                    current = ""
                current += char
        lines.append(current.rstrip())
    return "\n".join(lines)


def _new_figure():
    # Fixed margins: a layout engine would measure every text of the figure
    # again before each drawing, which took most of the time of the plots.
    fig = mpl().Figure(figsize=(WIDTH / DPI, HEIGHT / DPI), dpi=DPI)
    mpl().FigureCanvasAgg(fig)   # one canvas for good: its renderer keeps the sizes of the texts it measured
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
    # Centred over the axes, which sit right of the figure's middle: narrower than the figure.
    text = fitted_text(ax.figure, text, fontsize, 0.9)
    ax.set_title(text, fontsize=fontsize, y=1.0)
    # Room above the axes for every line of the title and the subtitle.
    title = ax.figure._suptitle.get_text().count("\n") + 1 if ax.figure._suptitle else 0
    needed = (12 + 23 * title + 18 + 1.7 * fontsize * (text.count("\n") + 1)) / HEIGHT
    ax.figure.subplots_adjust(top=min(_TOP_MARGIN, 1 - needed))


def _suptitle(fig, text):
    fig.suptitle(fitted_text(fig, text, 14), fontsize=14)


def _missing_bands(ax, years, label):
    """One band over the whole height per year in ``years``, as one patch: a patch per year
    cost more than the rest of a figure where most years lack a value."""
    Path = mpl().Path
    verts, codes = [], []
    for y in years:
        verts += [(y - 0.5, 0), (y + 0.5, 0), (y + 0.5, 1), (y - 0.5, 1), (y - 0.5, 0)]
        codes += [Path.MOVETO, Path.LINETO, Path.LINETO, Path.LINETO, Path.CLOSEPOLY]
    band = mpl().PathPatch(Path(verts, codes), transform=ax.get_xaxis_transform(which="grid"),
                           color=_MISSING, alpha=0.15, linewidth=0, label=label)
    ax.add_artist(band)
    # The x limits take the bands in, as they would a patch per year; measured from its
    # ends directly, since measuring the patch walks every edge of it.
    ax.update_datalim([(years[0] - 0.5, 0), (years[-1] + 0.5, 0)], updatey=False)


def _title(index, run, unit, what=None):
    """The figure's title: what the index counts, on which side of which threshold."""
    beyond = f"{run.threshold:.1f}{' ' + unit if unit else ''}"
    if what:
        # A percentile's ("the 90th percentile of ...") or the threshold given where the names round it.
        named = what.split(",")[0]
        beyond = named.removeprefix("threshold ") if named.startswith("threshold ") else f"the {named}"
    # The threshold the names round is not the one that names an index.
    return catalogue.plot_title(index, run.type, None if what else run.threshold, beyond, run.min_duration, unit)


def run_label(run, unit="", what=None, index=None):
    """``what`` names a threshold that is not the run's own (a percentile's, whose run is
    labelled by its station, not by its exceedance series); the minimum duration is left out
    for an ``index`` it does not change."""
    unit = f" {unit}" if unit else ""
    what = what or f"threshold {run.threshold:.1f}{unit}"
    i = catalogue.BY_NAME.get(index)
    duration = "" if i is not None and not i.uses_duration else f", minimum duration {run.min_duration} days"
    return f"{notes.station_of(run.input)}: {run.type} {what}{duration}"


_UNFITTED = object()   # no trend given: the figure fits it


def _legend_below(ax):
    # Inside the axes a legend hides points and the labels of the largest events.
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=3, fontsize=9, frameon=False)


def _base_band(ax, base):
    """The base period of a percentile threshold, shaded behind the values."""
    first, last = (int(y) for y in base.split("-"))
    ax.axvspan(first - 0.5, last + 0.5, color=_BASE, alpha=0.12, linewidth=0, label=f"base period {base}")


def yearly_figure(run, index, years, values, unit="", what=None, remark="", reuse=False, fit=_UNFITTED, base=None):
    """The yearly index of one run: points joined by lines, missing years marked, Sen line.

    ``years`` and ``values`` are parallel (a value of None is missing); years
    absent from the span between the first and the last are marked missing
    too. Lines break at missing years. The values come from
    ``trend.series_of``, which also takes a start of the growing season of 0
    (none that year) as no value. ``fit``, the trend already fitted to them
    (``trend.fit``'s Fit, or None where the rules allow none), saves fitting it again.
    ``base``, a percentile threshold's base period ("1961-1990"), is shaded.
    """
    pairs = {y: v for y, v in zip(years, values) if y is not None}
    ylabel = AXIS_LABELS.get(index, "value")
    fig, ax = _figure("yearly") if reuse else _new_figure()
    _suptitle(fig, _title(index, run, unit, what))
    if not pairs:
        _set_title(ax, run_label(run, unit, what, index) + "\nno year with a value", 10)
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
    if base:
        _base_band(ax, base)
    f = trend.fit(span, ys) if fit is _UNFITTED else fit
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
    _set_title(ax, run_label(run, unit, what, index) + "\n" + note + remark, 9 if what else 10)
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
    _suptitle(fig, "Events")
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
    ax.add_collection(mpl().LineCollection(segments, colors=_STEM, linewidths=1), autolim=True)


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
            box = mpl().Text.get_window_extent(label, renderer)
            if level == LABELLED_EVENTS or not any(box.overlaps(other) for other in placed):
                break
            label.remove()
        placed.append(box)


def _stem(run):
    return f"{run.input}-{run.type}-{run.threshold:.1f}-durmin-{run.min_duration}"


def figures(res, unit="", keep_partial=False, reuse=False):
    """(file stem, Figure) for every yearly index and every run's events, in table order.

    Years the input does not wholly cover are left out unless ``keep_partial``.
    With ``reuse``, the figures of a kind are one figure of this process
    redrawn, which saves building each anew: use each before taking the next.
    The trends already fitted to the whole years (``res.fits``, as
    ``trend.trends`` fills it) are drawn as they are.
    """
    every = trend.series_of(res.yearly)
    groups = trend.series_of(trend.whole_years(res.yearly, keep_partial))
    events = {}
    for e in res.events:
        events.setdefault(Run(*e[:4]), []).append(e)
    settings = {r[:4]: (r.percentile, r.base, r.window) for r in res.yearly + res.events if r.percentile is not None}
    whats = {run: threshold_label(*setting) for run, setting in settings.items()}
    for r in res.yearly + res.events:
        if r.percentile is None and r.threshold_used is not None and r.threshold_used != r.threshold:
            whats[r[:4]] = f"threshold {r.threshold_used!r}{' ' + unit if unit else ''}, shown as " \
                           f"{r.threshold:.1f} in the result names"
    booted = {r[:5]: r.base for r in res.yearly if r.bootstrap}
    for run in res.runs():
        what = whats.get(tuple(run))
        for index in INDEX_ORDER:
            if (tuple(run), index) in every:
                # An index of partial years only is drawn as one without a value.
                years, values = groups.get((tuple(run), index), ([], []))
                booted_base = booted.get(tuple(run) + (index,))
                note = f"\nbase years {booted_base}: means over resampled bases (bootstrap)" if booted_base else ""
                yield f"{_stem(run)}-{index}", yearly_figure(
                    run, index, years, values, unit, what, note, reuse,
                    _UNFITTED if res.fits is None or keep_partial else res.fits.get((tuple(run), index), _UNFITTED),
                    settings.get(tuple(run), (None,) * 3)[1])
        yield f"{_stem(run)}-events", events_figure(run, events.get(run, []), unit, what, reuse)
        if run.input in res.thresholds:
            yield f"{_stem(run)}-thresholds", thresholds_figure(
                run, res.thresholds[run.input], unit, settings.get(tuple(run), (None,) * 3),
                (lambda: _figure("thresholds")) if reuse else _new_figure)


def plot_results(res, outdir, unit="", keep_partial=False):
    """Write a PNG per figure and plots.pdf with all of them; returns the paths written."""
    if not res.runs():
        return []    # runs of neither threshold type write no records: nothing to draw
    os.makedirs(outdir, exist_ok=True)
    written = []
    pdf_path = os.path.join(outdir, "plots.pdf")
    with atomic_write(pdf_path, "wb") as f, RasterPdf(f) as pdf:
        for stem, fig in figures(res, unit, keep_partial, reuse=True):
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
    res = results.read_results(args.folder)
    keep = getattr(args, "keep_partial", False)
    results.print_warnings("plot", res.warnings + trend.partial_note(res.yearly, keep))
    for path in plot_results(res, args.out or args.folder, args.unit, keep):
        print(path)
    return 0


def thresholds_figure(run, path, unit, setting, new_figure):
    """The threshold per calendar day over the year (a percentile run's table at ``path``;
    ``setting``: its percentile, base and window), on a figure from ``new_figure``."""
    months, days, thr = notes.read_thresholds(path)
    percentile, base, window = setting
    fig, ax = new_figure()
    _suptitle(fig, f"Threshold per calendar day: {threshold_label(percentile, base, window).split(' of ')[0]}")
    _set_title(ax, f"{notes.station_of(run.input)}: the {threshold_label(percentile, base, window).split(' of ')[0]} "
                   f"of the base period {base}'s values in a window of {window} days around each calendar day", 10)
    x = np.array([datetime.date(2000, m, d).toordinal() for m, d in zip(months, days)]) - _LEAP_DAY0
    ax.plot(x, thr, color="#1f77b4", linewidth=1.5)
    starts = [datetime.date(2000, m, 1).toordinal() - _LEAP_DAY0 for m in range(1, 13)]
    ax.set_xticks(starts, ["J", "F", "M", "A", "M", "J", "J", "A", "S", "O", "N", "D"])
    ax.set_xlim(0, 366)
    ax.set_xlabel("calendar day")
    ax.set_ylabel(f"threshold ({unit})" if unit else "threshold")
    ax.grid(True, alpha=0.3)
    return fig


_LEAP_DAY0 = datetime.date(2000, 1, 1).toordinal()
