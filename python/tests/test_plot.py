"""plot: valid 800x600 PNGs and a PDF page per figure; the points plotted are the values and events."""

import math
import struct

import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.text import Text

from runkit import EXAMPLE, vorda_results
from vordakit import plot, results
from vordakit.results import EventRecord, Run

RUN = Run("s.txt", "upper", 18.0, 3)


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR" and data.endswith(b"IEND\xaeB`\x82")
    return struct.unpack(">II", data[16:24])


@pytest.fixture(scope="module")
def runs(vorda, tmp_path_factory):
    """The example run and the real series (when present), both threshold types."""
    folder = tmp_path_factory.mktemp("runs")
    for kind, thr in (("u", "18.0"), ("l", "2.0")):
        vorda_results(vorda, EXAMPLE, folder / "example", kind, thr, 3)
    return folder


@pytest.mark.parametrize("which", ["example", "real"])
def test_pictures_are_images_of_the_stated_size(request, runs, vorda, tmp_path, which):
    if which == "real":
        source = request.getfixturevalue("shared_data") / "cet-daily-mean.txt"
        vorda_results(vorda, source, runs / "real", "l", "0.0", 3, name="cet.txt")
    res = results.read_results(runs / which)
    written = plot.plot_results(res, tmp_path, "degC")
    pngs = [p for p in tmp_path.glob("*.png")]
    # Per run: three yearly indices and the events.
    assert len(pngs) == 4 * len(res.runs()) == len(written) - 1
    assert all(png_size(p) == (800, 600) for p in pngs)
    pdf = (tmp_path / "plots.pdf").read_bytes()
    assert pdf.startswith(b"%PDF") and pdf.count(b"/Type /Page\n") + pdf.count(b"/Type /Page ") == len(pngs)


def _lines(fig):
    return {line.get_label(): line for line in fig.axes[0].get_lines()}


def test_yearly_points_missing_years_and_sen_line():
    years = [2000, 2001, 2002, 2004, 2005, 2006, 2007, 2008, 2009, 2010, 2011, 2012]   # 2003 absent
    values = [5, 7, None, 6, 9, 8, 10, 12, 11, 13, 12, 15]
    lines = _lines(plot.yearly_figure(RUN, "WSDI", years, values))
    ys = lines["WSDI"].get_ydata()
    assert len(ys) == 13 and sum(not math.isnan(y) for y in ys) == 11
    bands, = [c for c in fig_axes(plot.yearly_figure(RUN, "WSDI", years, values)).collections
              if c.get_label() == "year without a value (2)"]
    # Over the whole height, not at some value of the axis.
    assert [(p.vertices[:, 0].min() + 0.5, p.vertices[:, 1].min(), p.vertices[:, 1].max())
            for p in bands.get_paths()] == [(2002, 0, 1), (2003, 0, 1)]
    assert "Sen slope" in lines
    fig = plot.yearly_figure(RUN, "WSDI", years[:9], values[:9])
    assert "Sen slope" not in _lines(fig)      # 8 valid years: no trend drawn
    assert "no trend: 8 of 10 years with a value" in fig.axes[0].get_title()


def fig_axes(fig):
    return fig.axes[0]


def test_event_stems_and_three_largest():
    events = [EventRecord(*RUN, 10.0 + i, f"2001-07-{i + 1:02d}", 3, a)
              for i, a in enumerate([4.0, 30.0, 2.0, 25.0, 8.0, 40.0])]
    events.append(EventRecord(*RUN, 99.0, None, 3, 50.0))      # no date: cannot be placed
    fig = plot.events_figure(RUN, events)
    ax = fig.axes[0]
    assert len(ax.collections[0].get_segments()) == 6
    lines = _lines(fig)
    assert len(lines["event"].get_xdata()) == 6
    assert sorted(lines["3 largest"].get_ydata()) == [25.0, 30.0, 40.0]
    assert "1 without date" in ax.get_title()


@pytest.mark.parametrize("kind,actions,limits", [
    ("upper", [17.1, 2.4, 39.1, 19.3, 17.8, 15.0], (0.0, None)),     # the axis starts at zero
    ("lower", [-6.6, -7.5, -2.3, -30.0, -29.0, -28.0], (None, 0.0)),  # and ends at zero below
])
def test_event_labels_apart_and_axis_at_zero(kind, actions, limits):
    run = Run("cet.txt", kind, 20.0, 6)
    dates = ["1808-07-10", "1934-07-20", "1976-07-02", "1995-08-01", "2003-08-08", "2020-08-12"]
    fig = plot.events_figure(run, [EventRecord(*run, 1.0, d, 6, a) for d, a in zip(dates, actions)], "degC")
    renderer = FigureCanvasAgg(fig).get_renderer()
    ax = fig.axes[0]
    for t in ax.texts:
        t.update_positions(renderer)
    boxes = [Text.get_window_extent(t, renderer) for t in ax.texts]   # the labels, not their lines
    assert len(boxes) == 3
    assert not any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1:])
    low, high = ax.get_ylim()
    assert (limits[0] in (None, low)) and (limits[1] in (None, high))
    assert plot.index_title(run, "ndays", "degC") == f"Days {'above' if kind == 'upper' else 'below'} 20.0 degC"
