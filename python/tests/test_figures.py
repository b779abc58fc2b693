"""What the figures say: every text whole on the figure, titles that name what was computed
and under which settings, legends that say what their marks mean."""

import re

import numpy as np
import pandas as pd
import pytest
import xarray as xr
from matplotlib.text import Text

import vordakit
from runkit import EXAMPLE, kit, vorda_results
from vordakit import maps, plot, results, trend
from vordakit.model import Run

LONG_NAME = "central-england-daily-mean-temperature-1772-2021-homogenised-station-series.txt"   # 79: the most


def daily(years, cells, seed=3):
    """A DataArray of daily temperatures on a small lat/lon grid, warming over the years."""
    time = pd.date_range(f"{years[0]}-01-01", f"{years[1]}-12-31", freq="D")
    rng = np.random.default_rng(seed)
    season = 9 * np.sin((time.dayofyear.values - 110) * 2 * np.pi / 365.25)[:, None, None]
    trend_ = np.linspace(0, 2, len(time))[:, None, None]
    x = (10 + season + trend_ + rng.normal(0, 3, (len(time),) + cells)).round(1)
    return xr.DataArray(x, {"time": time, "lat": 50 + np.arange(cells[0]), "lon": np.arange(cells[1])},
                        ("time", "lat", "lon"), attrs={"units": "degC"}, name="tg")


def grid_maps(names=("ndays", "events", "action_max"), settings=True, **run):
    ds = vordakit.indices(daily((1981, 2010), (3, 4)), **run)
    if not settings:
        del ds.attrs["threshold_type"]        # titled by the variable's long_name, then
    trends = trend.grid_trends(ds)
    return [maps.grid_map_figure(ds, trends, name) for name in names if name in ds]


def station_figures(vorda, folder, name):
    vorda_results(vorda, EXAMPLE, folder, "u", "18.0", 3, name=name)
    vorda_results(vorda, EXAMPLE, folder, "l", "0.0", 3, name=name)
    return [fig for _, fig in plot.figures(results.read_results(folder), "degC")]


def percentile_figures(vorda, folder, name):
    assert kit("run", EXAMPLE, "-t", "u", "--percentile", "90", "--base", "2001-2005", "-d", "3", "--name", name,
               "-o", folder, vorda=vorda).returncode == 0
    return [fig for _, fig in plot.figures(results.read_results(folder), "degC")]


FIGURES = {
    "grid map, percentile": lambda vorda, tmp: grid_maps(type="upper", percentile=90, base=(1981, 1990),
                                                         min_duration=6),
    "grid map, fixed": lambda vorda, tmp: grid_maps(type="lower", threshold=0.0, min_duration=3),
    "grid map, long title": lambda vorda, tmp: grid_maps(("wsdi",), False, type="upper", percentile=90,
                                                         base=(1981, 1990), min_duration=6),
    "station, long --name": lambda vorda, tmp: station_figures(vorda, tmp, LONG_NAME),
    # The exceedance series adds -p90-2001-2005-w5 to the name, which vorda takes up to 80 characters.
    "percentile station, long --name": lambda vorda, tmp: percentile_figures(vorda, tmp, LONG_NAME[:58] + ".txt"),
}


@pytest.mark.parametrize("kind", FIGURES)
def test_no_text_is_cut_at_the_figures_edges(vorda, tmp_path, kind, monkeypatch):
    figures = FIGURES[kind](vorda, tmp_path)
    drawn = []     # every text a drawing draws (tick labels outside the axes' limits are not)
    draw = Text.draw
    monkeypatch.setattr(Text, "draw", lambda t, renderer: drawn.append(t) or draw(t, renderer))
    for fig in figures:
        drawn.clear()
        fig.canvas.draw()
        renderer = fig.canvas.get_renderer()
        inside = fig.bbox.padded(0.5)
        for t in drawn:
            if t.get_visible() and t.get_text():
                box = t.get_window_extent(renderer)
                assert inside.contains(box.x0, box.y0) and inside.contains(box.x1, box.y1), (kind, t.get_text())
        assert len(drawn) > 10


def titles(fig):
    return fig._suptitle.get_text(), [ax.get_title() for ax in fig.axes]


def test_a_grid_map_names_the_percentile_base_window_and_duration():
    wsdi = [f for f in grid_maps(type="upper", percentile=90, base=(1981, 1990), min_duration=6)][0]
    head, _ = titles(wsdi)
    flat = head.replace("\n", " ")
    assert "90th percentile of 1981-1990" in flat and "window 5 days" in flat, flat
    # ndays counts days whatever the minimum duration; the events' summary depends on it.
    ndays, events = grid_maps(type="upper", threshold=20.0, min_duration=6)[:2]
    assert "minimum duration" not in titles(ndays)[0] and "minimum duration 6 days" in titles(events)[0]
    ds = vordakit.indices(daily((2001, 2002), (1, 1)), "upper", 20.0, min_duration=6)
    assert "minimum duration" not in ds["ndays"].attrs["long_name"]
    assert "minimum duration 6 days" in ds["wsdi"].attrs["long_name"]


def ties(n=30):
    """Years of 0 then years of 1: the Mann-Kendall p is tiny, the Sen slope (a median) is 0."""
    return np.r_[np.zeros(2 * n // 3), np.ones(n - 2 * n // 3)]


def test_map_marks_the_means_on_few_years_and_dots_no_slope_of_zero():
    years = np.arange(1981, 2011)
    rng = np.random.default_rng(1)
    values = np.stack([ties(), years - 1980.0, rng.normal(5, 1, 30), rng.normal(5, 1, 30)], axis=1)
    # A trend needs 70% of the years with a value: 21 of 30. Means on fewer are hatched.
    values[:9, 2] = np.nan                        # 21 years
    values[:10, 3] = np.nan                       # 20 years
    ds = xr.Dataset({"wsdi": (("time", "lat", "lon"), values.reshape(30, 2, 2), {"units": "days"})},
                    {"year": ("time", years), "lat": [50.0, 51.0], "lon": [0.0, 1.0]})
    fig = maps.grid_map_figure(ds, trend.grid_trends(ds), "wsdi")
    mean_ax, slope_ax = fig.axes[:2]
    assert "20 to 30 of 30" in mean_ax.get_title()
    [hatched] = [c for c in mean_ax.collections if c.get_hatch()]
    assert hatched.get_label() == "mean of fewer than 21 of 30 years (1 cell)"
    assert [tuple(path.vertices[:4].mean(axis=0)) for path in hatched.get_paths()] == [(1.0, 51.0)]
    [dots] = slope_ax.get_lines()
    assert list(zip(dots.get_xdata(), dots.get_ydata())) == [(1.0, 50.0)]    # the rising cell, not the tied one
    assert dots.get_label() == "Mann-Kendall p < 0.05, slope not 0"
    assert "1 cell with p < 0.05 but a slope of 0" in slope_ax.get_title()


RUN_UP, RUN_LOW = Run("s.txt", "upper", 5.0, 6), Run("s.txt", "lower", 0.0, 3)


@pytest.mark.parametrize("run, index, unit, title, subtitle_has_duration", [
    (RUN_UP, "SGS", "degC", "Start of the growing season (SGS): first spell of 6 days above 5.0 degC from day 32 on",
     True),
    (RUN_UP._replace(threshold=18.0), "SGS", "degC", "First spell of 6 days above 18.0 degC from day 32 on", True),
    (RUN_UP, "SGS", "", "First spell of 6 days above 5.0 from day 32 on", True),        # not known as degC
    (RUN_LOW, "LFD", "degC", "Last frost day (LFD): last day below 0.0 degC in the year's first 182 days", False),
    (RUN_LOW._replace(threshold=-2.0), "LFD", "degC", "Last day below -2.0 degC in the year's first 182 days",
     False),
    (RUN_LOW, "ndays", "degC", "Days below 0.0 degC", False),
    (RUN_LOW, "CSDI", "degC", "Cold spell duration index (CSDI)", True),
], ids=["growing-season", "sgs-at-18", "sgs-unit-unknown", "frost", "lfd-at-minus-2", "ndays", "csdi"])
def test_titles_name_what_was_computed(run, index, unit, title, subtitle_has_duration):
    fig = plot.yearly_figure(run, index, list(range(2000, 2012)), list(range(40, 52)), unit)
    assert fig._suptitle.get_text().replace("\n", " ") == title
    assert ("minimum duration" in fig.axes[0].get_title()) == subtitle_has_duration
    if index == "SGS":
        assert fig.axes[0].get_ylabel() == "ordinal of the day the spell reached its minimum duration"


def test_percentile_plots_name_the_station_shade_the_base_and_say_the_setting(vorda, tmp_path):
    figs = percentile_figures(vorda, tmp_path, "kew.txt")
    wsdi = next(f for f in figs if f._suptitle.get_text().startswith("Warm spell"))
    assert wsdi.axes[0].get_title().startswith("kew: upper 90th percentile of 2001-2005")
    [base] = [p for p in wsdi.axes[0].patches if p.get_label().startswith("base period")]
    assert base.get_label() == "base period 2001-2005"
    assert [round(x, 1) for x in sorted(set(base.get_xy()[:, 0]))] == [2000.5, 2005.5]
    curve = figs[-1]
    flat = " ".join(titles(curve)[1]).replace("\n", " ")
    assert "90th percentile" in flat and "base period 2001-2005" in flat and "window of 5 days" in flat, flat
    assert flat.startswith("kew:")


def test_tidy_and_the_plot_count_the_same_years_without_a_value(vorda, tmp_path):
    # Twelve whole years and January to February of a thirteenth, never above 20: no SGS at all.
    days = pd.date_range("2000-01-01", "2012-02-28", freq="D")
    src = tmp_path / "s.txt"
    src.write_text("".join(f"{i + 1} {d.day} {d.month} {d.year} 10.0\n" for i, d in enumerate(days)))
    assert kit("run", src, "-t", "u", "-x", "20.0", "-d", "6", "-o", tmp_path / "out", vorda=vorda).returncode == 0
    warned = kit("tidy", tmp_path / "out", text=True).stderr
    [count] = re.findall(r"(\d+) whole years without a start of the growing season", warned)
    assert "1 year more that the input covers in part" in warned
    res = results.read_results(tmp_path / "out")
    sgs = next(fig for stem, fig in plot.figures(res) if stem.endswith("-SGS"))
    [bands] = sgs.axes[0].patches
    assert bands.get_label() == f"year without a value ({count})" == "year without a value (12)"
