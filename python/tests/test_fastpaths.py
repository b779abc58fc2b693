"""Paths taken for speed give what the plain computation gives, on random inputs."""

import calendar
import datetime
import functools
import operator

import numpy as np
import pytest

from vordakit import catalogue, dates, model, notes, qc
from vordakit.formats import vorda as plain
from vordakit.model import EventRecord, Results, Run, YearlyRecord


def test_year_month_day_of_ordinals_are_the_calendar_s():
    rng = np.random.default_rng(1)
    last = datetime.date.max.toordinal()
    ordinals = np.concatenate([rng.integers(1, last + 1, 20000), [1, last],
                               # the first and last days of years, leap days and the turns of centuries
                               [datetime.date(y, m, d).toordinal() + k for y in (1, 4, 100, 400, 1900, 2000, 2100)
                                for m, d in ((1, 1), (2, 28), (12, 31)) for k in (0, 1)]])
    got = np.stack(dates.ymd(ordinals), axis=1).tolist()
    assert got == [[d.year, d.month, d.day] for d in map(datetime.date.fromordinal, ordinals.tolist())]


def _plain_year_calendar(ordinals):
    ords = np.asarray(ordinals, dtype=np.int64)
    years = np.array([datetime.date.fromordinal(o).year for o in ords.tolist()], np.int64)
    months = {datetime.date.fromordinal(o).month for o in ords.tolist()}
    out = {}
    for year in sorted(set(years.tolist())):
        mine = ords[years == year]
        expected = sum(calendar.monthrange(year, m)[1] for m in months)
        out[year] = (len(mine), len(mine) == expected, mine.tolist())
    return out


@pytest.mark.parametrize("case", ["whole years", "gaps", "season", "out of order", "one day"])
def test_year_calendar_is_that_of_the_days_one_by_one(case):
    rng = np.random.default_rng(len(case))
    days = np.arange(datetime.date(1899, 3, 1).toordinal(), datetime.date(1905, 1, 1).toordinal())
    if case == "gaps":
        days = np.delete(days, rng.choice(len(days), 40, replace=False))
    elif case == "season":
        days = days[np.isin(dates.ymd(days)[1], [6, 7, 8])]
    elif case == "out of order":
        days = rng.permutation(days)[:1500]
    elif case == "one day":
        days = days[:1]
    got = {y: (n, whole, list(o)) for y, (n, whole, o) in dates.year_calendar(days).items()}
    assert got == _plain_year_calendar(days)


def _plain_add_calendar(results, calendar_of, used):
    out = []
    for r in results.yearly:
        threshold_used = used.get(Run(*r[:4])) if used else None
        days = calendar_of(r.input)
        cal = None if days is None else days.years
        if cal is None or r.year not in cal:
            out.append(r._replace(threshold_used=threshold_used) if threshold_used is not None else r)
            continue
        days, whole, ords = cal[r.year]
        date = None
        if r.index in ("SGS", "LFD") and r.value is not None and 1 <= r.value <= len(ords):
            date = datetime.date.fromordinal(int(ords[r.value - 1])).isoformat()
        out.append(r._replace(days=days, whole=int(whole), date=date, threshold_used=threshold_used))
    results.yearly = out
    if used:
        results.events = [r._replace(threshold_used=used.get(Run(*r[:4]))) for r in results.events]
    for k, e in enumerate(results.events):
        days = calendar_of(e.input)
        if days is not None:
            (a,), (b,) = model.event_spans(days.t, days.ordinal, [e.midpoint], [e.duration])
            if a:
                results.events[k] = e._replace(start=dates.date_text(a), end=dates.date_text(b))


def _day_value(rng):
    return int(rng.choice([0, 1, 365, 366, 367]) if rng.random() < 0.3 else rng.integers(-5, 400))


@pytest.mark.parametrize("noted", [True, False])
def test_calendar_columns_spans_and_thresholds_used_are_those_of_record_by_record(noted):
    runs = [Run("a.txt", "upper", 18.0, 3), Run("a.txt", "lower", 2.0, 1), Run("b.txt", "upper", 18.0, 3)]
    days = np.arange(datetime.date(1990, 7, 1).toordinal(), datetime.date(2000, 3, 1).toordinal())
    calendars = {"a.txt": notes.input_days(days, days - days[0] + 1), "b.txt": None}
    used = {runs[0]: 17.95, runs[2]: 18.04} if noted else {}
    results = []
    for add in (notes.add_calendar, _plain_add_calendar):
        rng = np.random.default_rng(noted)
        res = Results()
        # Values about the ends of a year (its last day is its 365th or 366th) as well as anywhere.
        res.yearly = [YearlyRecord(*run, index, int(year), _day_value(rng) if rng.random() < 0.9 else None,
                                   threshold_used=9.0 if rng.random() < 0.1 else None)
                      for run in runs for index in ("ndays", "SGS", "LFD") for year in rng.integers(1988, 2002, 12)]
        # An event of n days from counter t has the midpoint t + (n - 1) / 2.
        spells = [(int(t), int(n)) for t, n in zip(rng.integers(1, 3000, 15), rng.integers(1, 9, 15))]
        res.events = [EventRecord(*run, midpoint=t + (n - 1) / 2, date=None, duration=n, action=1.5, threshold_used=1.0)
                      for run, (t, n) in zip(runs * 5, spells)]
        add(res, calendars.get, used)
        results.append((res.yearly, res.events))
    assert results[0] == results[1] and any(e.start for e in results[0][1])


def test_the_outliers_centre_is_the_sum_of_the_values_one_after_the_other():
    rng = np.random.default_rng(3)
    for x in (np.round(rng.normal(10, 8, 91005), 1), rng.normal(0, 10.0 ** rng.integers(-3, 17, 5000)), np.ones(1)):
        assert qc.running_sum(x) == functools.reduce(operator.add, x.tolist(), 0)


@pytest.mark.parametrize("seed", range(6))
def test_yearly_records_from_the_arrays_are_those_read_field_by_field(seed):
    rng = np.random.default_rng(seed)
    run = Run("a.txt", "upper", 18.0, 3)
    analysis = {"events": {k: np.zeros(0, int) for k in ("midpoint", "day", "month", "year", "duration", "action")}}
    for i in catalogue.YEARLY:
        n = int(rng.integers(0, 40))
        years, values = np.arange(1900, 1900 + n), rng.integers(-3, 366, n)
        values[rng.random(n) < 0.2] = i.no_value if i.no_value is not None else 7
        if seed % 2:
            # Now and then a field that does not fit, or one never set.
            years[rng.random(n) < 0.05] = catalogue.UNSET
            values[rng.random(n) < 0.05] = rng.choice([1000, -100, catalogue.UNSET])
        analysis[i.key] = {"year": years, "value": values}
    paths = {i.name: f"{i.prefix}a.dat" for i in catalogue.YEARLY} | {catalogue.EVENTS: "events.dat"}
    fast, plain = Results(), Results()
    fast_warnings, warnings = {}, {}
    model.from_analysis(run, analysis, paths, fast_warnings, fast)
    for i in catalogue.YEARLY:
        years, values = analysis[i.key]["year"].tolist(), analysis[i.key]["value"].tolist()
        fields = [(model.fitted(y, 4), model.fitted(v, 3)) for y, v in zip(years, values)]
        model.yearly_records(paths[i.name], 13, fields, run, i.name, warnings.setdefault(paths[i.name], []),
                             plain.yearly)
    assert fast.yearly == plain.yearly
    assert {p: w for p, w in fast_warnings.items() if p in warnings} == warnings


def _plain_lines(rng, n):
    """Random lines of the plain layout: fields of every width it allows, values with and without
    a sign and a point, leading zeros."""
    def digits(most):
        return "".join(rng.choice(list("0123456789"), int(rng.integers(1, most + 1))))

    def value():
        body = digits(7)
        if rng.random() < 0.7:
            at = int(rng.integers(0, len(body) + 1))
            body = body[:at] + "." + body[at:]
        return ("-" if rng.random() < 0.4 else "") + body

    return [f"{digits(8)} {digits(2)} {digits(2)} {digits(4)} {value()}\n" for _ in range(n)]


# What a line may be changed into: named, each either still plain or not.
_MUTATIONS = {
    "as it is": lambda s: s,
    "a CR before the LF": lambda s: s[:-1] + "\r\n",
    "a tab": lambda s: s.replace(" ", "\t", 1),
    "two blanks": lambda s: s.replace(" ", "  ", 1),
    "a minus in t": lambda s: "-" + s,
    "a second point": lambda s: s[:-1] + ".\n" if "." in s else s[:-1] + "..\n",
    "nine digits of t": lambda s: "123456789" + s[s.index(" "):],
    "three digits of d": lambda s: s.replace(" ", " 1", 1) if len(s.split()[1]) == 2 else s.replace(" ", " 12", 1),
    "five digits of yr": lambda s: " ".join(s.split(" ")[:3] + ["12345"] + s.split(" ")[4:]),
    "nine characters of x": lambda s: " ".join(s.split(" ")[:4] + ["-1234567.8\n"]),
    "eight characters of x": lambda s: " ".join(s.split(" ")[:4] + ["-123456.8\n"]),
    "only a minus": lambda s: " ".join(s.split(" ")[:4] + ["-\n"]),
    "only a point": lambda s: " ".join(s.split(" ")[:4] + [".\n"]),
    "a point last": lambda s: " ".join(s.split(" ")[:4] + ["7.\n"]),
    "text after x": lambda s: s[:-1] + " 5\n",
    "an empty line": lambda s: s + "\n",
    "a letter": lambda s: s.replace("1", "l", 1) if "1" in s else "x" + s,
    "a point in yr": lambda s: " ".join(s.split(" ")[:3] + ["19.9"] + s.split(" ")[4:]),
}


@pytest.mark.parametrize("mutation", _MUTATIONS)
def test_the_binding_reads_the_plain_layout_as_numpy_does(mutation):
    lib = pytest.importorskip("vordakit._vorda")
    rng = np.random.default_rng(len(mutation))
    for trial in range(40):
        lines = _plain_lines(rng, int(rng.integers(1, 30)))
        k = int(rng.integers(0, len(lines)))
        lines[k] = _MUTATIONS[mutation](lines[k])
        text = "".join(lines)
        if trial % 10 == 9:
            text = text[:-1]   # the file's last line without its LF: the reader adds one
        data = bytearray(b" " * plain._PAD) + text.encode() + (b"" if text.endswith("\n") else b"\n")
        want = plain._plain_fields(data)
        got = lib.scan_plain(memoryview(data)[plain._PAD:])
        assert (got is None) == (want is None), text
        if want is not None:
            t, d, m, yr, x, decimals = want
            assert [got[k].tolist() for k in ("t", "d", "m", "yr")] == [t.tolist(), d.tolist(), m.tolist(), yr.tolist()]
            assert got["x"].tobytes() == x.tobytes() and got["decimals"] == decimals


@pytest.mark.parametrize("text, lines", [
    (b"", 0),
    (b"1 2 3 2000 5.5", None),                     # no LF at all: no room for the line
    (b"1 2 3 2000 5.5\n2 3 3 2000 1", None),       # the last line without its LF
    (b"1 2 3 2000 5.5\n", 1),
])
def test_the_binding_takes_only_whole_lines(text, lines):
    lib = pytest.importorskip("vordakit._vorda")
    got = lib.scan_plain(text)
    assert (None if got is None else len(got["t"])) == lines
