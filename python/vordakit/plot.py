"""Pictures of a folder's results: one PNG per yearly index, one event chart per run, one PDF of all.

matplotlib is imported here only, so that the rest of the toolkit runs
without it. Figures are built with the object interface and drawn by Agg,
never through pyplot, so that nothing needs a display and no figure outlives
its use.
"""

import datetime
import os

from matplotlib.backends.backend_pdf import PdfPages
from matplotlib.figure import Figure

from vordakit import trend
from vordakit.atomic import atomic_write
from vordakit.results import INDEX_ORDER, Run, read_results

__all__ = ["yearly_figure", "events_figure", "figures", "plot_results", "command"]

WIDTH, HEIGHT, DPI = 800, 600, 100

# index -> (title, y axis label)
INDEX_LABELS = {
    "ndays": ("Days beyond the threshold", "days per year"),
    "WSDI": ("Warm spell duration index (WSDI)", "days in warm spells per year"),
    "CSDI": ("Cold spell duration index (CSDI)", "days in cold spells per year"),
    "SGS": ("Start of the growing season (SGS)", "day of the year"),
    "LFD": ("Last frost day (LFD)", "day of the year"),
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
    fig = Figure(figsize=(WIDTH / DPI, HEIGHT / DPI), dpi=DPI, layout="constrained")
    return fig, fig.add_subplot()


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
    title, ylabel = INDEX_LABELS.get(index, (index, "value"))
    fig, ax = _new_figure()
    fig.suptitle(title, fontsize=14)
    if not pairs:
        ax.set_title(run_label(run, unit) + "\nno year with a value", fontsize=10)
        ax.set_axis_off()
        return fig
    span = list(range(min(pairs), max(pairs) + 1))
    ys = [pairs.get(y) for y in span]
    ax.plot(span, [float("nan") if v is None else v for v in ys], "-o", color=_LINE,
            markersize=3.5, linewidth=1.2, label=index)
    missing = [y for y, v in zip(span, ys) if v is None]
    if missing:
        # Marked along the bottom edge, where no value can hide them.
        ax.plot(missing, [0.02] * len(missing), "x", color=_MISSING, markersize=7,
                transform=ax.get_xaxis_transform(), label=f"year without a value ({len(missing)})",
                clip_on=False)
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
        note = (f"no trend: {valid_n} years with a value of {len(span)} "
                f"(needs {trend.MIN_VALID_YEARS} and {trend.MIN_VALID_SHARE:.0%})")
    ax.set_title(run_label(run, unit) + "\n" + note, fontsize=10)
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
    ax.set_title(run_label(run, unit) + "\n" + note, fontsize=10)
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
    middle = min(dates) + (max(dates) - min(dates)) / 2
    for i in top:
        # Labels point inwards, so that none runs off the right edge.
        right = dates[i] > middle
        ax.annotate(f"{dates[i].isoformat()}\n{heights[i]:.1f}", (dates[i], heights[i]),
                    xytext=(-6 if right else 6, 4 if heights[i] >= 0 else -4), textcoords="offset points",
                    ha="right" if right else "left", va="bottom" if heights[i] >= 0 else "top",
                    fontsize=9)
    ax.axhline(0, color="black", linewidth=0.8)
    ax.set_xlabel("date of the record nearest the event's midpoint")
    ax.set_ylabel(f"action measure ({unit} days)" if unit else "action measure (value minus threshold, summed)")
    ax.grid(True, alpha=0.3)
    _legend_below(ax)
    ax.margins(y=0.15)
    return fig


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


def plot_results(results, outdir, unit=""):
    """Write a PNG per figure and plots.pdf with all of them; returns the paths written."""
    if not results.runs():
        return []    # runs of neither threshold type write no records: nothing to draw
    os.makedirs(outdir, exist_ok=True)
    written = []
    pdf_path = os.path.join(outdir, "plots.pdf")
    with atomic_write(pdf_path, "wb") as f, PdfPages(f) as pdf:
        for stem, fig in figures(results, unit):
            path = os.path.join(outdir, stem + ".png")
            with atomic_write(path, "wb") as png:
                fig.savefig(png, format="png", dpi=DPI)
            pdf.savefig(fig)
            written.append(path)
    written.append(pdf_path)
    return written


def command(args):
    """``vordakit plot``: the pictures' paths on standard output."""
    from vordakit.results import print_warnings

    res = read_results(args.folder)
    print_warnings("plot", res.warnings)
    for path in plot_results(res, args.out or args.folder, args.unit):
        print(path)
    return 0
