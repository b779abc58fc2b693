"""The grid's fast paths equal their plain versions: decimals, rounding, dates and the days beyond a threshold."""

import csv
import importlib
import io
import sys

import cftime
import numpy as np
import pytest
import xarray as xr

from vordakit import thresholds
from vordakit.grid import calendars, cells, events, gaps, percentiles, pipeline, run, values


def plain_decimal_values(x):
    """Each value tried at 0, 1, 2 ... decimals until one reads back, value by value."""
    x = np.asarray(x)
    out, dec = np.full(x.shape, np.nan), np.zeros(x.shape, np.int8)
    for i, v in np.ndenumerate(x):
        if v != v:
            continue
        for d in range(24):
            if np.round(float(v), d).astype(x.dtype) == v:
                out[i], dec[i] = np.round(float(v), d), d
                break
        else:
            out[i], dec[i] = float(v), 24
    return out, dec


def random_values(rng, dtype, shape):
    """Values of 0 to 6 decimals at many magnitudes, in K and degC, with gaps, infinities and tiny ones."""
    size = int(np.prod(shape))
    scale = 10.0 ** rng.integers(0, 7, size)
    x = np.rint(rng.normal(0, 10.0 ** rng.integers(-3, 5, size)) * scale) / scale
    x[rng.random(size) < 0.3] += 273.15
    x[rng.random(size) < 0.05] += rng.choice([5000.0, 20000.0, 2e6, 3e15])
    x[rng.random(size) < 0.05] = np.nan
    x[rng.random(size) < 0.01] = rng.choice([np.inf, -np.inf, 1e-30, 3e-17, 0.0])
    return x.astype(dtype).reshape(shape)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_decimal_values_equal_the_value_by_value_search(dtype):
    rng = np.random.default_rng(3)
    for shape in ((4000,), (7, 300), (0, 5)):
        x = random_values(rng, dtype, shape)
        got, want = values.decimal_values(x), plain_decimal_values(x)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
        # At least two decimals, as a temperature in K becomes one in degC.
        at_least = values.decimal_values(x, 2)
        np.testing.assert_array_equal(at_least[0], want[0])
        np.testing.assert_array_equal(at_least[1], np.maximum(want[1], 2))
    # A transposed view, as a chunk's cells are read from a file that holds time first.
    x = random_values(rng, dtype, (50, 40)).T
    np.testing.assert_array_equal(values.decimal_values(x)[0], plain_decimal_values(x)[0])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_values_in_kelvin_as_celsius_equal_their_decimals_converted(dtype):
    rng = np.random.default_rng(10)
    x = random_values(rng, dtype, (37, 300))
    # The usual grid: rows of 0 to 2 decimals in K, and the same in degC plus 273.15.
    scale = 10.0 ** rng.integers(0, 3, (30, 1))
    x[:30] = (np.rint(rng.normal(285, 12, (30, 300)) * scale) / scale + [[0.0], [273.15]] * 15).astype(dtype)
    x[9] = np.nan
    # Either side of the size where two decimals stop being a float32's own, and far beyond.
    x[4, :6] = [5242.87, 5243.37, 6000.01, 2000012.375, 3000000.25, 3e15]
    v, dec = values.decimal_values(x, 2)
    want = values.round_to(v - 273.15, np.maximum(dec, 2))
    # A transposed view, as a chunk's cells are read from a file that holds time first.
    # And the bytes of another machine's order.
    swapped = x.astype(x.dtype.newbyteorder("S"))
    for got in (values.celsius_of_kelvin(x), values.celsius_of_kelvin(x.T.copy().T), values.celsius_of_kelvin(swapped)):
        np.testing.assert_array_equal(got, want)


def test_rounding_to_each_values_decimals_equals_numpy_round():
    rng = np.random.default_rng(4)
    x = np.concatenate([rng.normal(0, 300, 20000), np.round(rng.normal(0, 30, 20000), 3) + 0.0005,
                        rng.normal(0, 1e-6, 2000), [np.nan, np.inf, -0.0]])
    decimals = rng.integers(0, 25, len(x)).astype(np.int8)
    want = np.array([np.round(v, int(d)) for v, d in zip(x, decimals)])
    np.testing.assert_array_equal(values.round_to(x, decimals), want)
    np.testing.assert_array_equal(values.round_to(x, decimals.clip(0, 22)), np.array(
        [np.round(v, int(d)) for v, d in zip(x, decimals.clip(0, 22))]))


@pytest.mark.parametrize("calendar", sorted(calendars.CALENDARS))
def test_dates_of_day_ordinals_equal_cftime_day_by_day(calendar):
    # Early years, the Julian calendar's last years and the Gregorian's first, and recent ones.
    for first, n in ((0, 800), (577200, 1500), (729000, 3000)):
        ordinals = np.arange(first, first + n)
        found = cftime.num2date(ordinals, calendars.ORDINAL_UNITS, calendar, only_use_cftime_datetimes=True)
        got = calendars.ordinal_dates(ordinals, calendar)
        for have, field in zip(got, ("year", "month", "day")):
            assert have.tolist() == [getattr(d, field) for d in found], (first, field)


class _Plan:
    def __init__(self, thrtype, threshold):
        self.type, self.threshold = thrtype, threshold


@pytest.mark.parametrize("thrtype, threshold", [("upper", 20.0), ("lower", -1.5), ("upper", 0.0)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_days_beyond_the_threshold_equal_one_binding_call_per_value(lib, thrtype, threshold, dtype):
    rng = np.random.default_rng(5)
    scale = 10.0 ** rng.integers(0, 3, 3000)
    x = (np.rint(rng.normal(threshold, 3, 3000) * scale) / scale).astype(dtype)
    x[::7] = threshold  # the threshold itself, often, on either side of each comparison
    one = np.ones(1, np.int32)
    want = [lib.analyse_cells(np.array([[v]], dtype), one, one, one, np.array([2000], np.int32), thrtype,
                              threshold, 1)["events"][0, 0] > 0 for v in x[:400]]
    got = gaps.beyond(lib, x, _Plan(thrtype, threshold), part=97)
    assert got[:400].tolist() == want
    # Each value's answer is its own, wherever it falls in the parts.
    assert np.array_equal(got, gaps.beyond(lib, x[::-1].copy(), _Plan(thrtype, threshold))[::-1])


def test_action_texts_equal_the_decimal_rounding_of_each():
    rng = np.random.default_rng(6)
    x = np.concatenate([rng.normal(0, 50, 20000), np.round(rng.normal(0, 50, 20000), 4),
                        (rng.integers(-9999, 9999, 5000) + 0.5) / 1000, rng.integers(-99, 99, 200) / 16,
                        [0.0, -0.0, 1e-9, -1e-9, 0.0005, -0.0005, 2.0625, 1e15 + 0.5]])
    assert events.action_texts(x) == [events.action_text(v) for v in x.tolist()]


class _Source:
    """What the events CSV takes of a grid: two dimensions, and names of places with
    a comma, a quote and none at all as an auxiliary coordinate."""

    def __init__(self):
        names = np.array([["a,b", 'say "x"', "", "plain"]] * 3, object)
        self.variables = {"lat": xr.Variable("lat", [40.0, 40.25, 40.5]), "lon": xr.Variable("lon", np.arange(4)),
                          "name": xr.Variable(("lat", "lon"), names)}
        self.other_dims, self.attrs = ("lat", "lon"), {"coordinates": "name"}


def plain_event_lines(leads, origin, shape, found):
    """The CSV lines of a chunk's events, one csv row per event."""
    out = io.StringIO()
    w = csv.writer(out, lineterminator="\n")
    for c, y, m, d, dur, a in zip(*(found[f].tolist() for f in cells.EVENT_FIELDS)):
        lead = leads.of(tuple(int(o + p) for o, p in zip(origin, np.unravel_index(c, shape))))
        w.writerow(lead + (f"{y:04d}-{m:02d}-{d:02d}", str(dur), events.action_text(a)))
    return out.getvalue()


def test_events_csv_lines_made_a_column_at_a_time_equal_a_row_at_a_time():
    rng = np.random.default_rng(11)
    n = 500
    found = {"cell": np.sort(rng.integers(0, 6, n)), "year": rng.integers(1, 2100, n, np.int32),
             "month": rng.integers(1, 13, n, np.int32), "day": rng.integers(1, 32, n, np.int32),
             "duration": rng.integers(1, 400, n, np.int32),
             "action": np.where(rng.random(n) < 0.3, rng.integers(-999, 999, n) / 16, rng.normal(0, 90, n))}
    leads = events._Leads(_Source())
    for origin, shape in (((0, 0), (3, 2)), ((1, 2), (2, 2)), ((0, 0), (2, 4))):
        part = {f: v[found["cell"] < np.prod(shape)] for f, v in found.items()}
        assert events._text(leads, origin, shape, part) == plain_event_lines(leads, origin, shape, part)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_decimals_of_each_row_are_the_most_of_its_values(dtype):
    rng = np.random.default_rng(7)
    x = random_values(rng, dtype, (60, 50))
    x[:20] = np.rint(x[:20])  # rows of whole numbers, with gaps and infinities
    x[20:25] = np.round(x[20:25], 1)
    x[26:32] = np.round(x[26:32], 2)
    x[32:34] = np.round(rng.normal(10, 3, (2, 50)), 1)
    x[32:34, 0] = 3.0  # rows of tenths with a whole number among them
    x[26:28, :4] = [5242.87, 5243.37, 600000.3125, 2000012.375]  # past where two decimals are a float32's own
    x[25, :] = np.nan
    got_values, got = percentiles.row_decimals(x)
    want_values, dec = plain_decimal_values(x)
    np.testing.assert_array_equal(got_values, want_values)
    assert got.tolist() == dec.max(axis=1).tolist()


def test_masking_a_part_at_a_time_equals_the_whole_block():
    rng = np.random.default_rng(8)
    block = rng.integers(-300, 300, (40, 3, 5)).astype(np.int16)
    block[rng.random(block.shape) < 0.1] = -32767
    for rule in ((-32767.0, -250.0, 250.0, 0.1, 5.0, True), (None, -2.0, None, 1.0, 0.0, False)):
        whole = values.mask_invalid(block.astype(np.float32), rule, part=10**9)
        np.testing.assert_array_equal(values.mask_invalid(block.astype(np.float32), rule, part=7), whole)


@pytest.mark.parametrize("rule", [(9.969209968386869e36, None, None, 1.0, 0.0, False),
                                  (None, -300.0, 298.5, 1.0, 0.0, False), (None, -299.5, None, 1.0, 0.0, False),
                                  (-32767.0, None, 300.0, 1.0, 0.0, False)])
def test_masking_a_block_seen_whole_from_its_extremes_equals_value_by_value(rule):
    rng = np.random.default_rng(12)
    block = rng.integers(-300, 300, (40, 3, 5)).astype(np.float32)
    block[0, 0, :2] = [-300, 299]
    for part in (block, np.where(block == -299, -32767.0, block).astype(np.float32), block + np.nan):
        want = np.where(values._invalid(part, rule), np.nan, part)
        np.testing.assert_array_equal(values.mask_invalid(part, rule), want)


@pytest.mark.parametrize("calendar, base, percentile, window", [
    ("standard", "2000-2003", "90", 5), ("standard", "2001-2003", "10", 7), ("noleap", "2000-2002", "33.3", 5),
    ("julian", "1999-2001", "50", 1), ("standard", "2000-2001", "100", 3), ("standard", "2000-2001", "0", 3)])
def test_thresholds_of_all_cells_at_once_equal_each_cells_base_windows(calendar, base, percentile, window):
    rng = np.random.default_rng(13)
    opts = pipeline.Options("upper", None, 3, percentile=percentile, base=base, window=window)
    first = int(cftime.date2num(cftime.datetime(1999, 1, 1, calendar=calendar), calendars.ORDINAL_UNITS, calendar))
    plan = pipeline.make_plan(opts, np.arange(6 * 365) + first, calendar, {"dtype": np.dtype("f4")}, "in.nc")
    a, b = plan.percentile.span
    # Values of one decimal: many ties in each calendar day's pool.
    x = np.round(rng.normal(12, 3, (9, b - a)), 1)
    want = thresholds.base_windows(x, plan.percentile.keys[a:b], plan.days.yr[a:b], opts.setting).thresholds()
    np.testing.assert_array_equal(percentiles._thresholds(x, plan), want)


def chunk(rng, days, cells):
    """A chunk in K, float32, time last: one decimal in degC, some cells with gaps, one empty."""
    x = np.round(rng.normal(12, 8, (cells, days)), 1) + 273.15
    x[rng.random(cells) < 0.3, rng.integers(0, days)] = np.nan
    x[3, 400:460] = np.nan
    x[5] = np.nan
    return x.astype(np.float32).reshape(cells // 4, 4, days)


@pytest.mark.parametrize("calendar", ["standard", "noleap"])
@pytest.mark.parametrize("percentile", [None, "90"])
def test_a_chunk_analysed_a_part_of_its_cells_at_a_time_equals_all_at_once(lib, monkeypatch, calendar, percentile):
    rng = np.random.default_rng(9)
    ordinals = np.arange(4 * 365)
    opts = pipeline.Options("upper", None if percentile else "20", 3, fill=2, percentile=percentile,
                            base="2000-2001" if percentile else None)
    first = int(cftime.date2num(cftime.datetime(1999, 1, 1, calendar=calendar), calendars.ORDINAL_UNITS, calendar))
    plan = pipeline.make_plan(opts, ordinals + first, calendar, {"dtype": np.dtype("f4")}, "in.nc",
                              "degC", events=True)
    block = chunk(rng, len(plan.days.ordinal), 40)
    whole = cells.analyse_block(block, plan)
    monkeypatch.setattr(cells, "CELLS_AT_ONCE", 7)
    parts = cells.analyse_block(block, plan)
    np.testing.assert_array_equal(parts[0], whole[0])
    assert all(np.array_equal(parts[1][f], whole[1][f]) for f in cells.EVENT_FIELDS)


def test_modules_left_out_while_a_grid_is_set_up_can_be_imported_after_it():
    name = "email.mime.audio"  # not imported by the toolkit or its tests
    assert name not in sys.modules
    with run._left_out((name, "json")):
        with pytest.raises(ImportError):
            importlib.import_module(name)
        assert importlib.import_module("json")  # imported already: never left out
    assert importlib.import_module(name)


@pytest.mark.parametrize("calendar", ["standard", "julian", "noleap", "360_day"])
@pytest.mark.parametrize("units, raw", [
    ("days since 1991-01-01", np.arange(-400, 11000)), ("days since 1991-01-01", np.arange(0, 900, 3.0)),
    ("days since 1582-10-01", np.arange(0, 40)), ("days since 2000-01-01 12:00:00", np.arange(0, 800.0)),
    ("days since 1991-01-01", np.arange(-50, 50) + 0.5), ("hours since 1991-01-01", np.arange(0, 2000, 24.0))])
def test_ordinals_of_whole_days_equal_cftime_date_by_date(calendar, units, raw):
    got = calendars.day_ordinals(raw, units, calendar, "time", "in.nc")
    np.testing.assert_array_equal(got, calendars.cftime_ordinals(raw, units, calendar))
