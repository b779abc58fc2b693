"""plot: valid 800x600 PNGs and a PDF page per figure; the points plotted are the values and events."""

import datetime
import math
import os
import pathlib
import struct
import subprocess
import sys

import pytest
from matplotlib.dates import date2num

from runkit import EXAMPLE, PYTHON_DIR, vorda_results
from vordakit import plot, results
from vordakit.model import EventRecord, Run

RUN = Run("s.txt", "upper", 18.0, 3)


def idat(path):
    """The pixel data of a PNG, which Pillow must be able to decode."""
    from PIL import Image
    Image.open(path).load()
    data = path.read_bytes()
    at = data.index(b"IDAT")
    return data[at + 4:at + 4 + struct.unpack(">I", data[at - 4:at])[0]]


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR" and data.endswith(b"IEND\xaeB`\x82")
    return struct.unpack(">II", data[16:24])


def png_dpi(path):
    """The resolution a PNG's pHYs chunk records, in dots per inch (None without one or in no unit)."""
    data = path.read_bytes()
    at = data.find(b"pHYs")
    if at < 0:
        return None
    x, y, unit = struct.unpack(">IIB", data[at + 4:at + 13])
    return (round(x * 0.0254, 2), round(y * 0.0254, 2)) if unit == 1 else None


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
    assert {png_dpi(p) for p in pngs} == {(100, 100)}
    pdf = (tmp_path / "plots.pdf").read_bytes()
    assert pdf.startswith(b"%PDF") and pdf.count(b"/Type /Page\n") + pdf.count(b"/Type /Page ") == len(pngs)
    # A page is its PNG's very pixels: the same deflated rows, read with the PNG predictor.
    assert pdf.count(b"/Predictor 15 /Colors 3 /BitsPerComponent 8 /Columns 800 ") == len(pngs)
    assert all(idat(p) in pdf for p in pngs)


def _lines(fig):
    return {line.get_label(): line for line in fig.axes[0].get_lines()}


def test_yearly_points_missing_years_and_sen_line():
    years = [2000, 2001, 2002, 2004, 2005, 2006, 2007, 2008, 2009, 2010, 2011, 2012]   # 2003 absent
    values = [5, 7, None, 6, 9, 8, 10, 12, 11, 13, 12, 15]
    lines = _lines(plot.yearly_figure(RUN, "WSDI", years, values))
    ys = lines["WSDI"].get_ydata()
    assert len(ys) == 13 and sum(not math.isnan(y) for y in ys) == 11
    # Years without a value are bands over the whole height, not marks that read as values.
    [bands] = plot.yearly_figure(RUN, "WSDI", years, values).axes[0].patches
    assert [(p[:, 0].min() + p[:, 0].max()) / 2 for p in bands.get_path().to_polygons()] == [2002, 2003]
    assert bands.get_label() == "year without a value (2)"
    assert "Sen slope" in lines
    lines = _lines(plot.yearly_figure(RUN, "WSDI", years[:9], values[:9]))
    assert "Sen slope" not in lines            # 8 valid years: no trend drawn


def test_event_stems_and_three_largest():
    events = [EventRecord(*RUN, 10.0 + i, f"2001-07-{i + 1:02d}", 3, a)
              for i, a in enumerate([4.0, 30.0, 2.0, 25.0, 8.0, 40.0])]
    events.append(EventRecord(*RUN, 99.0, None, 3, 50.0))      # no date: cannot be placed
    fig = plot.events_figure(RUN, events)
    ax = fig.axes[0]
    # A stem from zero to the action measure at each event's date.
    stems = sorted((s[0, 0], s[0, 1], s[1, 0], s[1, 1]) for s in ax.collections[0].get_segments())
    days = [date2num(datetime.date(2001, 7, i + 1)) for i in range(6)]
    assert stems == [(d, 0, d, a) for d, a in zip(days, [4.0, 30.0, 2.0, 25.0, 8.0, 40.0])]
    lines = _lines(fig)
    assert len(lines["event"].get_xdata()) == 6
    assert sorted(lines["3 largest"].get_ydata()) == [25.0, 30.0, 40.0]
    assert "1 without date" in ax.get_title()


def test_titles_say_the_side_and_the_share_of_years():
    lower = Run("s.txt", "lower", 0.0, 3)
    fig = plot.yearly_figure(lower, "ndays", [2000, 2001, 2002], [3, None, 4], "degC")
    assert fig._suptitle.get_text() == "Days below 0.0 degC"
    assert "2 of 3 years with a value" in fig.axes[0].get_title()
    assert plot.yearly_figure(RUN, "ndays", [2000], [1])._suptitle.get_text() == "Days above 18.0"


def test_labels_of_close_events_do_not_overlap_and_the_axis_starts_at_zero():
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.text import Text

    events = [EventRecord(*RUN, float(i), d, 3, a) for i, (d, a) in
              enumerate([("1900-07-01", 5.0), ("1995-08-01", 19.3), ("2003-08-08", 17.8), ("1976-07-02", 39.1)])]
    fig = plot.events_figure(RUN, events)
    renderer = FigureCanvasAgg(fig).get_renderer()
    for t in fig.axes[0].texts:
        t.update_positions(renderer)
    boxes = [Text.get_window_extent(t, renderer) for t in fig.axes[0].texts]
    assert len(boxes) == 3
    assert not any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1:])
    assert fig.axes[0].get_ylim()[0] == 0


def test_a_figure_reused_shows_nothing_of_the_picture_before(runs, vorda, tmp_path, monkeypatch):
    """Each process draws on one figure per kind: the pictures are byte for byte those drawn
    each on a new figure, in any order, with or without events."""
    vorda_results(vorda, EXAMPLE, tmp_path / "quiet", "l", "2.0", 3)
    vorda_results(vorda, EXAMPLE, tmp_path / "quiet", "u", "40.0", 3)      # no events: its figure drawn last
    vorda_results(vorda, EXAMPLE, tmp_path / "busy", "u", "12.0", 2)
    stations = {name: results.read_results(tmp_path / name) for name in ("quiet", "busy")}

    def pictures(name, folder):
        return {p.name: p.read_bytes() for p in map(pathlib.Path, plot.plot_results(stations[name], folder))}

    with monkeypatch.context() as m:
        m.setattr(plot, "_figure", lambda kind: plot._new_figure())
        new = {name: pictures(name, tmp_path / "new" / name) for name in stations}
    for k, name in enumerate(["quiet", "busy", "quiet"]):
        assert pictures(name, tmp_path / str(k)) == new[name], name
    # A program that asks for figures gets new ones.
    assert plot.yearly_figure(RUN, "WSDI", [2000], [1]) is not plot.yearly_figure(RUN, "WSDI", [2000], [1])


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads counted in /proc")
def test_numpy_runs_on_one_thread_beside_the_drawing():
    # A threaded BLAS spins a thread after every small inverse the drawing takes.
    code = ("import os, vordakit.cli\ntry:\n    vordakit.cli.main(['--version'])\nexcept SystemExit:\n    pass\n"
            "import numpy\nprint(len(os.listdir('/proc/self/task')))")
    env = {k: v for k, v in os.environ.items() if k != "OPENBLAS_NUM_THREADS"}
    env["PYTHONPATH"] = str(PYTHON_DIR)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.split()[-1] == "1"  # after the version line
