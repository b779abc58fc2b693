"""trend: agrees with scipy.stats on series with ties; no trend where the 10-year and 70% rules say so."""

import csv
import os
import stat

import numpy as np
import pytest
import scipy.stats

from vordakit import trend
from vordakit.model import YearlyRecord


@pytest.mark.parametrize("seed", range(8))
def test_agrees_with_scipy_on_random_series_with_ties(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(10, 150))
    years = np.arange(1900, 1900 + n)[rng.random(n) > 0.15]      # some years missing
    if seed % 2:
        # Small integer counts, as the yearly indices are: many ties.
        values = rng.integers(0, 6, len(years)) + (years - 1900) // int(rng.integers(5, 40))
    else:
        # Values to one decimal: a few ties, and distinct neighbours to the bounds' ranks.
        values = np.round(rng.normal(0, 3, len(years)) + 0.05 * (years - 1900), 1)
    slope, intercept, low, high = trend.sen_slope(years, values)
    ref = scipy.stats.theilslopes(values, years, 0.95)
    assert (slope, low, high) == (ref.slope, ref.low_slope, ref.high_slope)
    assert intercept == pytest.approx(ref.intercept)
    p = trend.mann_kendall_p(years, values)
    assert p == pytest.approx(scipy.stats.kendalltau(years, values, method="asymptotic").pvalue, abs=1e-6)


@pytest.mark.parametrize("span,valid,has_trend", [
    (9, 9, False),       # fewer than 10 valid years
    (10, 10, True),
    (14, 10, True),      # 71% valid
    (15, 10, False),     # 67% valid
    (20, 14, True),      # exactly 70%
    (20, 13, False),
])
def test_rules_for_no_trend(span, valid, has_trend):
    years = list(range(2000, 2000 + span))
    values = [(y * 7) % 5 if i < valid - 1 or i == span - 1 else None for i, y in enumerate(years)]
    assert sum(v is not None for v in values) == valid
    # A missing year left out of the list counts like one written as missing.
    kept = [(y, v) for y, v in zip(years, values) if v is not None or y % 2]
    assert (trend.fit(*zip(*kept)) is not None) == has_trend
    row = trend.trends([YearlyRecord("s.txt", "upper", 1.0, 3, "ndays", y, v) for y, v in kept])[0]
    assert (row.years, row.valid_years) == (span, valid)
    assert (row.p_value is not None) == has_trend


def test_per_decade_repeated_year_flat_series_and_no_growing_season():
    recs = [YearlyRecord("s.txt", "lower", 0.0, 3, "CSDI", 1990 + i, 2 * i) for i in range(12)]
    recs.append(YearlyRecord("s.txt", "lower", 0.0, 3, "CSDI", 2001, 0))   # vorda's repeated last year
    recs += [YearlyRecord("s.txt", "lower", 0.0, 3, "LFD", 1990 + i, 100) for i in range(12)]
    # A start of the growing season of 0 is a year without one, not day 0.
    recs += [YearlyRecord("s.txt", "upper", 9.0, 3, "SGS", 1990 + i, 0 if i % 3 else 120 + i) for i in range(12)]
    csdi, lfd, sgs = trend.trends(recs)
    assert (sgs.years, sgs.valid_years, sgs.p_value) == (12, 4, None)
    assert (csdi.years, csdi.valid_years, csdi.slope_per_decade) == (12, 12, 20.0)
    assert csdi.p_value < 1e-4
    assert (lfd.slope_per_decade, lfd.slope_low_per_decade, lfd.p_value) == (0.0, 0.0, 1.0)


def test_partial_years_are_left_out_unless_kept(vorda, tmp_path):
    """A series ending on 28 February: its last year counts two months, and leaves the trend."""
    import datetime

    from runkit import kit

    src = tmp_path / "s.txt"
    first = datetime.date(1990, 1, 1)
    days = (datetime.date(2002, 2, 28) - first).days + 1
    with open(src, "w") as f:
        for k in range(days):
            d = first + datetime.timedelta(k)
            f.write(f"{k + 1} {d.day} {d.month} {d.year} {(d.year - 1990) + (d.month in (6, 7)) * 20.0:.1f}\n")
    assert kit("run", src, "-t", "u", "-x", "15.0", "-d", "3", "-o", tmp_path / "r", vorda=vorda).returncode == 0
    assert kit("tidy", tmp_path / "r", vorda=vorda).returncode == 0
    rows = list(csv.DictReader(open(tmp_path / "r" / "yearly.csv")))
    ndays = {r["year"]: (r["value"], r["days"], r["whole"]) for r in rows if r["index"] == "ndays"}
    assert ndays["2001"] == ("61", "365", "1") and ndays["2002"] == ("0", "59", "0")
    sgs = [r for r in rows if r["index"] == "SGS" and r["year"] == "1990"][0]
    assert sgs["date"] == (first + datetime.timedelta(int(sgs["value"]) - 1)).isoformat()
    for keep, years in (([], 12), (["--keep-partial"], 13)):
        proc = kit("trend", tmp_path / "r", *keep, "-o", tmp_path / "t.csv", vorda=vorda, text=True)
        assert "3 yearly values of partly covered years" in proc.stderr
        row = next(r for r in csv.DictReader(open(tmp_path / "t.csv")) if r["index"] == "ndays")
        assert int(row["years"]) == years


def test_a_grid_s_trend_file_gets_the_permissions_the_umask_gives(tmp_path):
    xr = pytest.importorskip("xarray")
    from runkit import kit

    t = xr.Variable("time", np.arange(12 * 365), {"units": "days since 2001-01-01", "calendar": "noleap"})
    x = np.float32(15 + 8 * np.sin(np.arange(12 * 365) / 58.0))[:, None] + np.float32([0, 1])
    xr.Dataset({"tg": (("time", "station"), x, {"units": "degC"})}, {"time": t}).to_netcdf(tmp_path / "in.nc")
    old = os.umask(0o027)
    try:
        assert kit("grid", tmp_path / "in.nc", "-t", "upper", "-x", "20", "-d", "3", "-o", tmp_path / "out.nc",
                   "-j", "1").returncode == 0
        proc = kit("trend", tmp_path / "out.nc")
    finally:
        os.umask(old)
    assert proc.returncode == 0, proc.stderr
    modes = {p.name: stat.S_IMODE(p.stat().st_mode) for p in tmp_path.glob("out*.nc")}
    assert modes == {"out.nc": 0o640, "out-trend.nc": 0o640}
