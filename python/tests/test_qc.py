"""qc: seeded faults found with their date and check; the real series has no structure error."""

import csv
import datetime
import math
import random

import pytest

from vordakit import qc

FIRST = datetime.date(1990, 1, 1)
YEARS = 12


def _clean_lines():
    """Twelve years of daily means: a seasonal cycle plus noise, as a VORDA input file."""
    rng = random.Random(7)
    lines = []
    d = FIRST
    i = 0
    while d.year < FIRST.year + YEARS:
        x = 10 - 8 * math.cos(2 * math.pi * i / 365.25) + rng.gauss(0, 2)
        lines.append([i + 1, d.day, d.month, d.year, round(x, 1)])
        d += datetime.timedelta(days=1)
        i += 1
    return lines


def _at(date):
    return (date - FIRST).days


def _set(k, x):
    def seed(lines):
        lines[k][4] = x(lines) if callable(x) else x
    return seed


def _run(k, *xs):
    def seed(lines):
        for j, x in enumerate(xs):
            lines[k + j][4] = x
    return seed


def _shift_t(k):
    def seed(lines):
        lines[k][0] += 1
    return seed


def _flat(k, n):
    def seed(lines):
        for j in range(1, n):
            lines[k + j][4] = lines[k][4]
    return seed


def _each_year(day, values):
    """Values on the days around ``day``'s calendar day, every year: {offset: value, or function of the year}."""
    def seed(lines):
        for y in range(FIRST.year, FIRST.year + YEARS):
            k = _at(day.replace(year=y))
            for offset, x in values.items():
                lines[k + offset][4] = x(y) if callable(x) else x
    return seed


D = datetime.date(1995, 7, 14)
K = _at(D)


def _outlier_at_two_days(lines):
    """Around D's calendar day the days 1 off vary, 2 off are steady, 3 off vary widely:
    36.8 on D is an outlier against 2 days either side, not against 1 nor 3."""
    wide = {-3: 8, -2: 0, -1: 4, 0: -4, 1: 4, 2: 0, 3: -8}
    _each_year(D, {o: (lambda y, w=w: 20 + w * (-1) ** y) for o, w in wide.items()})(lines)
    lines[K - 1][4] = lines[K + 1][4] = 24
    lines[K][4] = 36.8


def _at_the_limits(lines):
    """Every year a climb to 60 in July and a fall to -90 in January, in steps that are no jumps."""
    _each_year(D, {o: 60 - 12 * abs(o) for o in range(-3, 4)})(lines)
    _each_year(datetime.date(1995, 1, 15), {o: -90 + 15 * abs(o) for o in range(-6, 7)})(lines)


def _cold_snap(lines):
    """Every year on D's calendar day a fall of 19.9 for three days, then halfway back."""
    for y in range(FIRST.year, FIRST.year + YEARS):
        k = _at(D.replace(year=y))
        cold = round(lines[k - 1][4] - 19.9, 1)
        for j in range(3):
            lines[k + j][4] = cold
        lines[k + 3][4] = round(cold + 10, 1)


def _duplicate(k, at, first=None):
    """A copy of line k inserted at ``at``; the first of the two then holds ``first``."""
    def seed(lines):
        lines.insert(at, list(lines[k]))
        if first is not None:
            lines[k][4] = first
    return seed


def _season(first, last):
    """Only the months first..last of every year, as convert --months writes them (t counts on)."""
    def seed(lines):
        lines[:] = [row for row in lines if first <= row[2] <= last]
    return seed


def _outlier_at_year_end(year):
    """Every year 31 December and 1 and 2 January are steady, the days around
    them vary, 3 days off widely: 18.8 on 31 December of ``year`` is an outlier
    against 2 days either side across the new year, not against fewer nor
    other days."""
    def seed(lines):
        for y in range(FIRST.year, FIRST.year + YEARS - 1):
            k = _at(datetime.date(y, 12, 31))
            for offset, w in {-3: 12, -2: 4, -1: 4, 0: 0, 1: 0, 2: 0, 3: 12}.items():
                lines[k + offset][4] = 2 + w * (-1) ** y
        lines[_at(datetime.date(year, 12, 31))][4] = 18.8
    return seed


# (name, seed applied to the lines, date and check to be found, exit status)
FAULTS = [
    ("clean", lambda lines: None, None, None, 0),
    ("duplicated date", lambda lines: lines.insert(K + 1, list(lines[K])), D, "duplicate", 2),
    ("gap", lambda lines: lines.pop(K), D, "gap", 2),
    ("-9999 left in", _set(K, -9999), D, "marker", 2),
    ("nothing but markers", lambda lines: [row.__setitem__(4, -999) for row in lines], None, "empty", 2),
    ("t not rising by one", _shift_t(K), D, "t", 2),
    ("t rising by two once", lambda lines: [_shift_t(k)(lines) for k in range(K, len(lines))], D, "t", 2),
    ("outlier", _set(K, lambda lines: lines[K][4] + 15), D, "outlier", 1),
    ("out of physical limits", _set(K, 61.0), D, "range", 1),
    ("flat run of five", _flat(K, 5), D, "flat", 1),
    ("jump of exactly 20", _set(K, lambda lines: lines[K - 1][4] - 20), D, "jump", 1),
    ("a season cut out: no gap", _season(5, 9), None, None, 0),
    ("outlier against 2 days either side", _outlier_at_two_days, D, "outlier", 1),
    ("exactly -90 and 60 are inside the limits", _at_the_limits, None, None, 0),
    ("a date three times, two days on", lambda lines: [_duplicate(K, K + 2)(lines) for _ in range(2)], D,
     "duplicate", 2),
    ("a duplicated date: the first value counts", _duplicate(K, K + 1, first=61.0), D, "range", 2),
    ("four identical values are no flat run", _flat(K, 4), None, None, 0),
    ("a change of 19.9 is no jump", _cold_snap, None, None, 0),
    ("jump of 20 that floats make 19.999...", _run(K - 1, 16.8, 36.8), D, "jump", 1),
    ("outlier on 31 December of a leap year", _outlier_at_year_end(1996), datetime.date(1996, 12, 31), "outlier", 1),
    ("outlier on 31 December of a common year", _outlier_at_year_end(1997), datetime.date(1997, 12, 31), "outlier", 1),
]


@pytest.mark.parametrize("name,seed,date,check,status", FAULTS, ids=[f[0] for f in FAULTS])
def test_seeded_fault_is_found_with_its_date_and_check(tmp_path, name, seed, date, check, status):
    lines = _clean_lines()
    seed(lines)
    src = tmp_path / "series.txt"
    src.write_text("".join(f"{t} {d} {m} {y} {x:.1f}\n" for t, d, m, y, x in lines))
    findings, got = qc.check_file(src)
    # Listed by date, then by line.
    assert findings == sorted(findings, key=lambda f: (f.date or datetime.date.min, f.line or 0))
    found = {(f.date, f.check) for f in findings}
    if check is None:
        assert findings == []
    else:
        assert (date, check) in found, findings
    assert got == status


def test_real_series_has_no_structure_error(kit, shared_data, tmp_path):
    r = kit("qc", shared_data / "cet-daily-mean.txt", "--csv", "findings.csv", cwd=tmp_path)
    assert r.returncode in (0, 1), r.stdout + r.stderr
    with open(tmp_path / "findings.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert not [row for row in rows if row["check"] in qc.STRUCTURE]


def test_missing_days_are_tabled_per_month_and_year_with_marks(tmp_path):
    lines = _clean_lines()
    # 1991: 4 days out of March (marked), 3 of May (not), 15 in the year (not);
    # 1992: 5 out of June, 16 in the year (both marked).
    days = [(1991, 3, d) for d in (2, 3, 4, 5)] + [(1991, 5, d) for d in (9, 20, 21)]
    days += [(1991, m, 15) for m in (1, 2, 4, 6, 7, 8, 9, 10)]
    days += [(1992, m, 10) for m in range(1, 13)] + [(1992, 6, d) for d in (1, 2, 3, 4)]
    holes = {_at(datetime.date(*d)) for d in days}
    src = tmp_path / "series.csv"
    src.write_text("date,tg\n" + "".join(f"{y}-{m:02d}-{d:02d},{'NA' if i in holes else x}\n"
                                         for i, (t, d, m, y, x) in enumerate(lines)))
    series, findings, table = qc.analyse(src)
    assert table == {1991: [1, 1, 4, 1, 3, 1, 1, 1, 1, 1, 0, 0], 1992: [1, 1, 1, 1, 1, 5, 1, 1, 1, 1, 1, 1]}
    gaps = [f.detail for f in findings if f.check == "gap"]
    assert len(gaps) == 24 and gaps[2:4] == ["4 missing days, 1991-03-02 to 1991-03-05", "1 missing day"], gaps
    marks = {(f.check, f.date) for f in findings if f.check.startswith("incomplete")}
    assert marks == {("incomplete-month", datetime.date(1991, 3, 1)), ("incomplete-month", datetime.date(1992, 6, 1)),
                     ("incomplete-year", datetime.date(1992, 1, 1))}
    rows = [r.split() for r in qc.format_table(table)[1:]]
    assert rows[0][3:6] == ["4*", "1", "3"] and rows[0][-1] == "15" and rows[1][-1] == "16*"


@pytest.mark.parametrize("wild", [61.0, 1e300], ids=["just-beyond", "1e300"])
def test_a_value_beyond_the_limits_is_one_range_finding_and_nothing_else(tmp_path, wild):
    import warnings

    lines = _clean_lines()
    lines[K][4] = wild
    src = tmp_path / "series.txt"
    src.write_text("".join(f"{t} {d} {m} {y} {x!r}\n" for t, d, m, y, x in lines))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # numpy's overflow warnings included
        findings, status = qc.check_file(src)
    assert [(f.date, f.check) for f in findings] == [(D, "range")]
    assert status == 1
