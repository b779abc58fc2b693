"""Percentile thresholds per calendar day: the windows, the exact exceedances, the runs on them."""

import csv
import datetime
import fractions
import json

import numpy as np
import pytest

from runkit import kit
from vordakit import notes, percentile, results
from vordakit.errors import KitError
from vordakit.series import Series, TEMPERATURE, write_vorda


def make_series(path, first, last, values):
    """A VORDA file of the days from 1 January ``first`` to 31 December ``last``; ``values(n)`` gives x."""
    start, end = datetime.date(first, 1, 1).toordinal(), datetime.date(last, 12, 31).toordinal()
    ordinal = np.arange(start, end + 1)
    s = Series(path, "x", TEMPERATURE, ordinal, values(len(ordinal)), 1)
    write_vorda(s, path)
    return s


def window(year, month, day, first, last, half=2):
    """The dates of the window around a date, wrapped around the base first..last as a whole."""
    start, end = datetime.date(first, 1, 1).toordinal(), datetime.date(last, 12, 31).toordinal()
    centre = datetime.date(year, month, day).toordinal()
    return [start + (centre + k - start) % (end - start + 1) for k in range(-half, half + 1)]


@pytest.mark.parametrize("month, day, base, centre, years", [
    (1, 1, "2000-2002", (1, 1), (2000, 2001, 2002)),       # wraps to the last base year's 30 and 31 December
    (12, 31, "2000-2002", (12, 31), (2000, 2001, 2002)),   # wraps to the first base year's 1 and 2 January
    (2, 29, "2000-2002", (2, 29), (2000,)),                # its own window, in the leap year only
    (3, 1, "2000-2002", (3, 1), (2000, 2001, 2002)),       # takes 29 February in the leap year
    (7, 15, "2000-2002", (7, 15), (2000, 2001, 2002)),
    (2, 29, "2001-2003", (2, 28), (2001, 2002, 2003)),     # no leap year in the base: 28 February's
], ids=["new-year", "new-year-eve", "29-february", "1-march", "july", "29-february-without-leap-year"])
def test_threshold_is_numpy_quantile_of_the_window(tmp_path, month, day, base, centre, years):
    # A seed whose 28 February and 1 March thresholds differ in the base without a leap year.
    rng = np.random.default_rng(2)
    s = make_series(tmp_path / "s.txt", 1999, 2004, lambda n: np.round(rng.normal(10, 5, n), 1))
    setting = percentile.parse_setting("90", base)
    x = dict(zip(s.ordinal.tolist(), s.x.tolist()))
    pool = [x[o] for y in years for o in window(y, *centre, *setting.base)]
    key = datetime.date(2000, month, day).toordinal() - datetime.date(2000, 1, 1).toordinal()
    got = percentile.base_of(s, setting).thresholds()[key]
    assert got == np.quantile(pool, 0.9, method="median_unbiased")


def exact_quantile(values, p):
    """The median-unbiased quantile in fractions: h = (n + 1/3) p + 1/3 between order statistics."""
    v = sorted(fractions.Fraction(str(a)) for a in values)
    n = len(v)
    h = (n + fractions.Fraction(1, 3)) * p + fractions.Fraction(1, 3)
    if h <= 1:
        return v[0]
    if h >= n:
        return v[-1]
    k = int(h)
    return v[k - 1] + (h - k) * (v[k] - v[k - 1])


@pytest.mark.parametrize("pct", ["90", "10", "97.5", "50"])
def test_exceedances_have_the_exact_sign_and_zero(tmp_path, pct):
    # Values on a coarse grid: many lie exactly on their day's threshold.
    rng = np.random.default_rng(2)
    s = make_series(tmp_path / "s.txt", 2001, 2004, lambda n: rng.integers(0, 6, n) * 0.3)
    prep = percentile.prepare(tmp_path / "s.txt", percentile.parse_setting(pct, "2001-2004", 3), tmp_path / "out")
    written = [fractions.Fraction(line.split()[4]) for line in open(prep.path)]
    x = s.x.tolist()
    p = fractions.Fraction(pct) / 100
    n = len(x)
    same = {}
    for j, d in enumerate(s.dates):
        same.setdefault((d.month, d.day), []).append(j)
    signs = []
    for i, d in enumerate(s.dates):
        pool = [x[(j + k) % n] for j in same[(d.month, d.day)] for k in (-1, 0, 1)]
        signs.append(np.sign(fractions.Fraction(str(x[i])) - exact_quantile(pool, p)))
    assert [np.sign(e) for e in written] == signs
    assert 0 in signs


def test_flat_table_is_the_fixed_threshold_run(tmp_path, vorda):
    # A base of one value everywhere: every day's percentile is that value.
    rng = np.random.default_rng(3)
    s = make_series(tmp_path / "s.txt", 1990, 1997,
                    lambda n: np.where(np.arange(n) < 3 * 365 + 1, 12.5, np.round(rng.normal(12, 4, n), 1)))
    assert s.x[0] == 12.5
    fixed, pct = tmp_path / "fixed", tmp_path / "pct"
    assert kit("run", s.path, "-t", "upper", "-x", "12.5", "-d", "3", "-o", fixed, vorda=vorda).returncode == 0
    assert kit("run", s.path, "-t", "upper", "--percentile", "75", "--base", "1990-1992", "-d", "3", "-o", pct,
               vorda=vorda).returncode == 0
    table = (pct / "s-p75-1990-1992-w5-thresholds.csv").read_text().splitlines()
    assert {line.split(",")[2] for line in table[1:]} == {"12.5000"}
    for prefix in ("VORDA-s", "VORDAndays-s", "VORDA-WSDI-s", "VORDAshort-s"):
        a, = fixed.glob(prefix + "*")
        b, = pct.glob(prefix + "*")
        # The headers name the inputs and thresholds; the records agree.
        assert a.read_bytes().split(b"\r\n")[12:] == b.read_bytes().split(b"\r\n")[12:], prefix


def test_bootstrap_lifts_the_base_years_to_the_rate_outside(tmp_path, vorda):
    pytest.importorskip("vordakit._vorda")
    # Years with their own level and days that follow each other: the base's own
    # values pull its thresholds towards them.
    rng = np.random.default_rng(4)

    def values(n):
        level = np.repeat(rng.normal(0, 2, 61), 366)[:n]
        noise = np.zeros(n)
        for i in range(1, n):
            noise[i] = 0.8 * noise[i - 1] + rng.normal(0, 1.5)
        return np.round(10 + level + noise, 1)

    s = make_series(tmp_path / "s.txt", 1901, 1960, values)
    out = tmp_path / "out"
    proc = kit("run", s.path, "-t", "upper", "--percentile", "90", "--base", "1921-1940", "-d", "6",
               "-o", out, "--bootstrap", vorda=vorda, text=True)
    assert proc.returncode == 0, proc.stderr
    res = results.read_results(out)
    base_days = (datetime.date(1941, 1, 1) - datetime.date(1921, 1, 1)).days
    ndays = {r.year: r for r in res.yearly if r.index == "ndays"}
    boot = sum(ndays[y].value for y in range(1921, 1941)) / base_days
    plain = sum(float(line.split()[4]) > 0 for line in open(out / "s-p90-1921-1940-w5.txt")
                if 1921 <= int(line.split()[3]) <= 1940) / base_days
    assert {ndays[y].bootstrap for y in ndays} == {"yes", None}
    assert 0.09 < boot < 0.12
    assert plain < boot - 0.005
    assert not any(r.index in ("SGS", "LFD") for r in res.yearly)
    assert json.loads((out / "s-p90-1921-1940-w5.json").read_text())["bootstrap"]["upper-6"]


@pytest.mark.parametrize("thrtype, pct, passes", [("upper", "90", np.greater), ("lower", "10", np.less)])
def test_bootstrap_is_the_mean_over_bases_with_one_year_swapped(tmp_path, vorda, thrtype, pct, passes):
    pytest.importorskip("vordakit._vorda")
    rng = np.random.default_rng(6)
    s = make_series(tmp_path / "s.txt", 2001, 2004, lambda n: np.round(rng.normal(10, 5, n), 1))
    out = tmp_path / "out"
    proc = kit("run", s.path, "-t", thrtype, "--percentile", pct, "--base", "2001-2003", "-d", "1", "-o", out,
               "--bootstrap", vorda=vorda, text=True)
    assert proc.returncode == 0, proc.stderr
    got = {r.year: r.value for r in results.read_results(out).yearly if r.index == "ndays" and r.bootstrap}
    # Worked out directly: base year j's days beyond the thresholds of each base
    # that leaves j out and counts another base year k twice, three years in all.
    x = dict(zip(s.ordinal.tolist(), s.x.tolist()))
    years = (2001, 2002, 2003)
    want = {}
    for j in years:
        counts = []
        for k in (k for k in years if k != j):
            chosen = [y for y in years if y != j] + [k]
            count = 0
            for day in range(datetime.date(j, 1, 1).toordinal(), datetime.date(j, 12, 31).toordinal() + 1):
                d = datetime.date.fromordinal(day)
                pool = [x[o] for y in chosen for o in window(y, d.month, d.day, 2001, 2003)]
                count += bool(passes(x[day], np.quantile(pool, float(pct) / 100, method="median_unbiased")))
            counts.append(count)
        want[j] = sum(counts) / len(counts)
    assert got == want


@pytest.mark.parametrize("thrtype, season", [("upper", "SGS"), ("lower", "LFD")])
def test_tables_of_a_percentile_run_leave_out_its_season_index(tmp_path, vorda, thrtype, season):
    rng = np.random.default_rng(7)
    make_series(tmp_path / "s.txt", 1990, 1993, lambda n: np.round(rng.normal(10, 5, n), 1))
    out = tmp_path / "out"
    assert kit("run", tmp_path / "s.txt", "-t", thrtype, "--percentile", "50", "--base", "1990-1991", "-d", "2",
               "-o", out, vorda=vorda).returncode == 0
    # vorda writes the index; the tables leave it out, as it says nothing of a threshold that varies by day.
    assert list(out.glob(f"VORDA-{season}-*"))
    assert kit("tidy", out).returncode == 0
    indices = {r["index"] for r in csv.DictReader(open(out / "yearly.csv"))}
    assert season not in indices and "ndays" in indices


def test_description_keeps_other_runs_bootstrap_only_over_the_same_exceedances(tmp_path, vorda):
    pytest.importorskip("vordakit._vorda")
    rng = np.random.default_rng(8)
    s = make_series(tmp_path / "s.txt", 1990, 1992, lambda n: np.round(rng.normal(10, 5, n), 1))
    out = tmp_path / "out"

    def kept_after(*args):
        proc = kit("run", s.path, "--percentile", "90", "--base", "1990-1991", "-d", "2", "-o", out, *args,
                   vorda=vorda, text=True)
        assert proc.returncode == 0, proc.stderr
        return set(json.loads((out / "s-p90-1990-1991-w5.json").read_text())["bootstrap"])

    assert kept_after("-t", "upper", "--bootstrap") == {"upper-2"}
    assert kept_after("-t", "lower") == {"upper-2"}
    # Another day in 1992: the upper run's values belong to the exceedances before.
    x = s.x.copy()
    x[800] += 3
    write_vorda(Series(s.path, "x", TEMPERATURE, s.ordinal, x, 1), s.path)
    assert kept_after("-t", "lower") == set()


@pytest.mark.parametrize("args, message", [
    (("--percentile", "90", "--base", "1950-1960"), "base 1950-1960 is not covered: the series runs from 1990-01-01"),
    (("--percentile", "90", "--base", "1990-1991"), "base 1990-1991 has 1 missing days: 1991-03-02"),
    (("--percentile", "100.5", "--base", "1990-1991"), "percentile '100.5' is not a number from 0 to 100"),
    (("--percentile", "-5", "--base", "1990-1991"), "percentile '-5' is not a number from 0 to 100"),
    (("--percentile", "90", "--base", "1991-1990"), "is not a span of years"),
    (("--percentile", "90", "--base", "1990-1991", "--window", "4"), "window '4' is not an odd number"),
    (("--percentile", "90"), "--percentile needs --base"),
    (("--percentile", "90", "--base", "1990-1991", "-x", "1"), "either --threshold or --percentile"),
    (("--percentile", "90", "--base", "1990-1991", "--size", "5"), "--size goes with --threshold"),
    (("--percentile", "12.123456789012345678", "--base", "1990-1990"), "decimals needs 22: too many digits"),
    (("--percentile", "90", "--base", "1990-1990", "--bootstrap"), "--bootstrap needs a base of at least two"),
], ids=["outside", "gap", "above-100", "negative", "reversed", "even-window", "no-base", "both", "size",
        "many-decimals", "bootstrap-one-year"])
def test_refusals(tmp_path, vorda, args, message):
    lines = [f"{k + 1} {d.day} {d.month} {d.year} 1.5\n" for k, d in
             enumerate(datetime.date.fromordinal(o) for o in range(datetime.date(1990, 1, 1).toordinal(),
                                                                   datetime.date(1992, 1, 1).toordinal()))]
    del lines[365 + 60]
    (tmp_path / "s.txt").write_text("".join(lines))
    proc = kit("run", tmp_path / "s.txt", "-t", "upper", "-d", "3", "-o", tmp_path / "out", *args,
               vorda=vorda, text=True)
    assert proc.returncode == 2 and message in proc.stderr, proc.stderr
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


@pytest.mark.parametrize("name, line, damage", [
    (".json", None, lambda text: '["percentile", "90"]'),
    (".json", None, lambda text: '{"percentile": "90", "window": 5}'),
    ("-thresholds.csv", 41, lambda text: text.replace("\n2,9,", "\n2,9;", 1)),
    ("-thresholds.csv", 2, lambda text: text.replace("\n1,1,", "\n13,1,", 1)),
    ("-thresholds.csv", None, lambda text: text.rsplit("\n", 2)[0] + "\n"),
], ids=["json-list", "json-without-base", "row-of-two-fields", "month-13", "365-days"])
def test_a_damaged_description_or_threshold_table_is_refused(tmp_path, vorda, name, line, damage):
    make_series(tmp_path / "s.txt", 1990, 1991, lambda n: np.round(np.sin(np.arange(n) / 9) * 5, 1))
    folder = tmp_path / "out"
    percentile.run(vorda, tmp_path / "s.txt", percentile.parse_setting("90", "1990-1991"), "upper", 3, folder)
    path = folder / f"s-p90-1990-1991-w5{name}"
    path.write_text(damage(path.read_text()))
    with pytest.raises(KitError) as e:
        notes.read_thresholds(path) if name.endswith(".csv") else results.read_results(folder)
    assert (e.value.path, e.value.line) == (str(path), line)


def test_batch_row_with_a_percentile(tmp_path, vorda):
    rng = np.random.default_rng(5)
    make_series(tmp_path / "s.txt", 1990, 1999, lambda n: np.round(rng.normal(10, 4, n), 1))
    (tmp_path / "list.tsv").write_text("file\tname\ttype\tthreshold\tpercentile\tbase\tmin_duration\n"
                                       "s.txt\tst\tupper\t\t90\t1990-1994\t3\n"
                                       "s.txt\tst\tupper\t15.0\t\t\t3\n")
    proc = kit("batch", tmp_path / "list.tsv", "-o", tmp_path / "b", "--no-plots", "-j", "1", vorda=vorda, text=True)
    assert proc.returncode == 0, proc.stderr
    rows = list(csv.DictReader(open(tmp_path / "b" / "yearly.csv")))
    marked = {(r["percentile"], r["base"], r["window"], r["index"]) for r in rows}
    assert ("90", "1990-1994", "5", "ndays") in marked and ("", "", "", "SGS") in marked
    assert ("90", "1990-1994", "5", "SGS") not in marked
    # Run again without the percentile row: the station's folder holds only this attempt.
    (tmp_path / "list.tsv").write_text("file\tname\ttype\tthreshold\tmin_duration\ns.txt\tst\tupper\t15.0\t3\n")
    assert kit("batch", tmp_path / "list.tsv", "-o", tmp_path / "b", "--no-plots", vorda=vorda).returncode == 0
    assert [p.name for p in (tmp_path / "b" / "st").iterdir() if "p90" in p.name] == []
