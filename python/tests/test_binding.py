"""The binding against the program: the same numbers and the same files as a run of vorda."""

import concurrent.futures
import doctest
import pathlib
import sys
import threading
import time

import numpy as np
import pytest

from vordakit.runner import run_vorda


def random_series(rng, n, consecutive=True, first_year=1990):
    """A calendar with years of random lengths (some falling back), values on a coarse grid."""
    t = np.cumsum(rng.integers(1, 3, n)) if not consecutive else np.arange(1, n + 1) + int(rng.integers(-5, 5))
    yr = np.empty(n, np.int64)
    year, i = first_year, 0
    while i < n:
        length = int(rng.choice([1, 5, 40, 365, 400]))
        yr[i:i + length] = year
        i += length
        year += int(rng.choice([1, 1, 1, 2, -1]))
    d = (np.arange(n) % 28) + 1
    m = (np.arange(n) // 28) % 12 + 1
    # Steps of 0.5 around the threshold make runs of all lengths and values equal to it.
    x = np.round(rng.normal(0, 1.5, n).cumsum() * 0.3 % 6 * 2) / 2 - 3 + rng.choice([0.0, 0.1, 1e-9], n)
    return t, d, m, yr, x


def run_program(vorda, tmp, name, series, thrtype, threshold, durmin, texts=None):
    src = tmp / name
    t, d, m, yr, x = series
    src.write_text("".join(f"{a} {b} {c} {e} {v}\n" for a, b, c, e, v in
                           zip(t, d, m, yr, texts or [repr(float(v)) for v in x])))
    out = tmp / f"vorda-{thrtype}"
    res = run_vorda(vorda, src, thrtype, threshold, durmin, out, size=len(x))
    assert res.status == 0, res.report
    return out


def folder_bytes(folder):
    """The result files of a folder (not the note of their input that `run` keeps beside them)."""
    return {p.name: p.read_bytes() for p in sorted(pathlib.Path(folder).glob("VORDA*.dat"))}


def file_numbers(path):
    """The numbers of a result file's records, None for a field of asterisks."""
    rows = [line.split() for line in path.read_bytes().decode().split("\r\n")]
    return [[None if "*" in w else float(w) for w in words] for words in rows
            if words and words[0].lstrip("-").replace(".", "").replace("*", "").isdigit()]


def assert_numbers_match(result, folder, name, thrtype):
    ev = result["events"]
    rows = file_numbers(next(pathlib.Path(folder).glob(f"VORDA-{name}-*")))
    lib_rows = zip(ev["midpoint"], ev["day"], ev["month"], ev["year"], ev["duration"], ev["action"])
    assert len(rows) == len(ev["midpoint"])
    for got, want in zip(lib_rows, rows):
        for g, w, tol in zip(got, want, (5e-4, 0, 0, 0, 0, 5e-4)):
            assert w is None or abs(g - w) <= tol * max(1, abs(w)) * 1.000001, (got, want)
    names = {"ndays": "VORDAndays-", "wsdi": "VORDA-WSDI-", "sgs": "VORDA-SGS--",
             "csdi": "VORDA-CSDI-", "lfd": "VORDA-LFD--"}
    for index in (("ndays", "wsdi", "sgs") if thrtype == "upper" else ("ndays", "csdi", "lfd")):
        rows = file_numbers(next(pathlib.Path(folder).glob(names[index] + "*")))
        got = list(zip(result[index]["year"].tolist(), result[index]["value"].tolist()))
        assert len(got) == len(rows)
        for g, w in zip(got, rows):
            assert all(b is None or a == b for a, b in zip(g, w)), (index, g, w)


CASES = [  # name, seed, length, consecutive t, first year, threshold, minimum durations
    ("short", 1, 1, True, 1990, 0.0, (1,)),
    ("the unset year", 8, 300, True, -999, 0.0, (1,)),
    ("two records", 2, 2, True, 1990, -0.5, (0, 2)),
    ("years of random length", 3, 1500, True, 1990, 0.5, (3, 0, -2)),
    ("counters with gaps", 4, 900, False, 1990, 0.0, (2, 1)),
    ("long events", 5, 2500, True, 1990, -2.9, (5, 40)),
    ("threshold on the grid", 6, 700, True, 1990, 1.0, (1, 4)),
]


@pytest.mark.parametrize("thrtype", ["upper", "lower"])
@pytest.mark.parametrize("name,seed,n,consecutive,first_year,threshold,durmins", CASES, ids=[c[0] for c in CASES])
def test_random_series_match_vorda(lib, vorda, tmp_path, thrtype, name, seed, n, consecutive, first_year,
                                   threshold, durmins):
    series = random_series(np.random.default_rng(seed), n, consecutive, first_year)
    for durmin in durmins:
        out = run_program(vorda, tmp_path, "series.txt", series, thrtype, threshold, durmin)
        mine = tmp_path / f"lib-{thrtype}-{durmin}"
        mine.mkdir()
        written = lib.write_results(str(mine), "series.txt", *series, thrtype, threshold, durmin)
        assert folder_bytes(mine) == folder_bytes(out)
        result = lib.analyse(*series, thrtype, threshold, durmin)
        for key in result:
            for column in result[key]:
                assert np.array_equal(result[key][column], written[key][column]), (key, column)
        assert_numbers_match(result, out, "series.txt", thrtype)
        for f in out.iterdir():
            f.unlink()


@pytest.mark.parametrize("thrtype,threshold,durmin", [("upper", 18.0, 3), ("lower", -0.3, 2)])
def test_real_series_matches_vorda(lib, vorda, shared_data, tmp_path, thrtype, threshold, durmin):
    path = shared_data / "cet-daily-mean.txt"
    cols = np.loadtxt(path, dtype=str).T
    series = [c.astype(np.int64) for c in cols[:4]] + [cols[4].astype(np.float64)]
    out = run_program(vorda, tmp_path, "cet.txt", series, thrtype, threshold, durmin, texts=list(cols[4]))
    mine = tmp_path / "lib"
    mine.mkdir()
    result = lib.write_results(str(mine), "cet.txt", *series, thrtype, threshold, durmin)
    assert folder_bytes(mine) == folder_bytes(out)
    assert_numbers_match(result, out, "cet.txt", thrtype)
    # The station's tenths as float32 are the same decimals.
    as_f32 = lib.analyse(*series[:4], series[4].astype(np.float32), thrtype, threshold, durmin)
    assert all(np.array_equal(as_f32[k][c], result[k][c]) for k in result for c in result[k])


@pytest.mark.parametrize("thrtype", ["upper", "lower"])
def test_float32_values_are_their_decimals(lib, vorda, tmp_path, thrtype):
    # 20.1 as float32 is 20.1000003...; as its decimal it equals the threshold 20.1 and does not pass.
    f = np.float32(20.1)
    x = np.array([f, np.nextafter(f, np.float32(99)), np.nextafter(f, np.float32(0)), 20.2, f, 20.0] * 40, np.float32)
    n = len(x)
    series = (np.arange(1, n + 1), np.arange(1, n + 1) % 28 + 1, np.ones(n, int), np.full(n, 2000), x)
    out = run_program(vorda, tmp_path, "f.txt", series, thrtype, 20.1, 1, texts=[str(v) for v in x])
    mine = tmp_path / "lib"
    mine.mkdir()
    result = lib.write_results(str(mine), "f.txt", *series, thrtype, 20.1, 1)
    assert folder_bytes(mine) == folder_bytes(out)
    assert result["ndays"]["value"].tolist() == [80]
    cells = lib.analyse_cells(np.stack([x, x[::-1]]), *series[:4], thrtype, 20.1, 1)
    assert cells["ndays"][:, 0].tolist() == [80, 80]
    assert cells["events"][0, 0] == len(result["events"]["duration"])


def expected_cells(lib, x, t, d, m, yr, thrtype, threshold, durmin, years):
    """What analyse_cells should give, built from analyse cell by cell."""
    k = len(years)
    col = {y: i for i, y in enumerate(years.tolist())}
    keys = ["ndays"] + (["wsdi", "sgs"] if thrtype == "upper" else ["csdi", "lfd"])
    out = {key: np.full((len(x), k), np.nan) for key in
           keys + ["events", "event_days", "action_sum", "action_max", "longest_event"]}
    for c, row in enumerate(x):
        if np.isnan(row).any():
            continue
        r = lib.analyse(t, d, m, yr, row, thrtype, threshold, durmin)
        for key in keys:
            for y, v in zip(r[key]["year"].tolist(), r[key]["value"].tolist()):
                if y in col:
                    out[key][c, col[y]] = v
        for key in ("events", "event_days", "action_sum", "longest_event"):
            out[key][c] = 0
        ev = r["events"]
        for y, dur, a in zip(ev["year"].tolist(), ev["duration"].tolist(), ev["action"].tolist()):
            i = col[y]
            out["events"][c, i] += 1
            out["event_days"][c, i] += dur
            out["action_sum"][c, i] += a
            out["action_max"][c, i] = a if np.isnan(out["action_max"][c, i]) else max(a, out["action_max"][c, i])
            out["longest_event"][c, i] = max(dur, out["longest_event"][c, i])
    return out


@pytest.mark.parametrize("layout", ["contiguous", "strided"])
@pytest.mark.parametrize("calendar", ["falling years", "plain years"])
@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_cells_equal_analyse_cell_by_cell(lib, threads, dtype, calendar, layout):
    rng = np.random.default_rng(7)
    if calendar == "plain years":
        days = np.arange(np.datetime64("1999-12-01"), np.datetime64("2002-03-01"))
        t, yr = np.arange(len(days)), days.astype("datetime64[Y]").astype(int) + 1970
        m, d = np.ones_like(t), np.ones_like(t)
    else:
        t, d, m, yr, _ = random_series(rng, 800)
    x = np.stack([random_series(rng, len(t))[4] for _ in range(240)]).astype(dtype)
    x[5, 17] = np.nan
    calendar = (t, d, m, yr)
    if layout == "strided":
        x = x[:, ::-1].T.copy().T[:, ::-1]  # the same values in Fortran order, days backwards
        # The calendar as the columns of one table (np.loadtxt(...).T gives such views).
        calendar = tuple(np.column_stack(calendar).T)
        assert calendar[0].strides[0] == 4 * calendar[0].itemsize
    years = np.unique(yr)
    for thrtype in ("upper", "lower"):
        want = expected_cells(lib, x, t, d, m, yr, thrtype, 0.5, 2, years)
        parts = np.array_split(np.arange(len(x)), threads)
        with concurrent.futures.ThreadPoolExecutor(threads) as pool:
            got = list(pool.map(lambda idx: lib.analyse_cells(x[idx], *calendar, thrtype, 0.5, 2, events=True),
                                parts))
        assert np.array_equal(got[0]["years"], years)
        assert np.concatenate([g["invalid"] for g in got]).tolist() == [i == 5 for i in range(len(x))]
        for key, value in want.items():
            assert np.array_equal(np.concatenate([g[key] for g in got]), value, equal_nan=True), key
        # The list of events: each valid cell's, in order, as analyse gives them.
        listed = [(c + idx[0], *e) for g, idx in zip(got, parts) for c, *e in zip(*(
            g["event_list"][f].tolist() for f in ("cell", "year", "month", "day", "duration", "action")))]
        assert listed == [(c, *e) for c, row in enumerate(x) if not np.isnan(row).any() for e in zip(*(
            lib.analyse(t, d, m, yr, row, thrtype, 0.5, 2)["events"][f].tolist()
            for f in ("year", "month", "day", "duration", "action")))]


def test_analyse_cells_lets_other_threads_run(lib):
    # With no switch forced between threads, the counter can only count while
    # the call has let go of the GIL: none at all if it keeps it.
    rng = np.random.default_rng(9)
    t, d, m, yr, _ = random_series(rng, 20000)
    x = np.round(rng.normal(0, 1, (100, 20000)), 1)
    count, stop = [0], threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0.0005)

    interval = sys.getswitchinterval()
    thread = threading.Thread(target=counter)
    sys.setswitchinterval(1000)
    try:
        thread.start()
        # A few tries, so that a busy machine cannot starve the counter: kept, the GIL gives 0 every time.
        for _ in range(3):
            before = count[0]
            lib.analyse_cells(x, t, d, m, yr, "upper", 0.5, 2)
            progress = count[0] - before
            if progress:
                break
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert progress > 0


def test_module_examples(lib):
    assert doctest.testmod(lib, verbose=False).failed == 0


GOOD = dict(t=np.arange(1, 4), d=np.arange(1, 4), m=np.ones(3), yr=np.full(3, 2000.0),
            x=np.array([1.0, 2.0, 3.0]))
BAD = [  # name, changed arguments, exception, words of the message
    ("lengths differ", dict(d=np.arange(4)), ValueError, "same number of days"),
    ("too many days", {k: np.ones(100001, np.float64 if k == "x" else np.int64) for k in GOOD}, ValueError,
     "100001 days"),
    ("NaN in the series", dict(x=np.array([1.0, np.nan, 3.0])), ValueError, "x[1] is NaN"),
    ("integer values", dict(x=np.arange(3)), TypeError, "float32 or float64"),
    ("text calendar", dict(t=np.array(["1", "2", "3"])), TypeError, "t has dtype"),
    ("fractional year", dict(yr=np.array([2000, 2000.5, 2001])), ValueError, "yr[1] = 2000.5"),
    ("year beyond 32 bits", dict(yr=np.array([2000, 2**31, 2001])), ValueError, "yr[1]"),
    ("two-dimensional calendar", dict(m=np.ones((3, 1))), ValueError, "m must be one-dimensional"),
    ("unknown type", dict(type="upwards"), ValueError, "upwards"),
    ("duration above 32 bits", dict(min_duration=2**31), ValueError, "32 bits"),
    ("duration below 32 bits", dict(min_duration=-2**31 - 1), ValueError, "32 bits"),
    ("fractional duration", dict(min_duration=2.5), TypeError, "whole number"),
    ("threshold as text", dict(threshold="18"), TypeError, "real number"),
]


@pytest.mark.parametrize("name,change,error,words", BAD, ids=[b[0] for b in BAD])
def test_bad_arguments_raise(lib, name, change, error, words):
    args = dict(GOOD, type="upper", threshold=1.5, min_duration=1)
    args.update(change)
    with pytest.raises(error, match=words.replace("[", r"\[").replace("]", r"\]")):
        lib.analyse(**args)
    x2 = np.atleast_2d(args.pop("x"))
    if name != "NaN in the series":
        with pytest.raises(error):
            lib.analyse_cells(x2, **args)


def calendar_of(days):
    i = np.arange(days)
    return dict(t=i + 1, d=i % 28 + 1, m=i // 28 % 12 + 1, yr=1800 + i // 336)


@pytest.mark.parametrize("limit, largest", [("days", 100000), ("input name bytes", 80)])
def test_the_largest_input_vorda_takes_is_taken_and_one_more_refused(lib, tmp_path, limit, largest):
    def call(size):
        if limit == "days":
            lib.analyse_cells(np.zeros((1, size)), **calendar_of(size), type="upper", threshold=0.5, min_duration=1)
            return lib.analyse(**calendar_of(size), x=np.zeros(size), type="upper", threshold=0.5, min_duration=1)
        return lib.write_results(str(tmp_path), "x" * size, **GOOD, type="upper", threshold=1.0, min_duration=1)

    years = np.unique(calendar_of(largest)["yr"]).size if limit == "days" else 1
    assert call(largest)["ndays"]["value"].tolist() == ([0] * years if limit == "days" else [2])
    with pytest.raises(ValueError, match=f"{largest + 1} days|input_name"):
        call(largest + 1)


def test_extreme_durations_are_taken(lib):
    for durmin in (2**31 - 1, -2**31):
        lib.analyse(**GOOD, type="lower", threshold=5.0, min_duration=durmin)


def test_write_results_refuses_a_name_vorda_cannot_take(lib, tmp_path):
    for name in ("", "a/b", " lead", "x" * 81, "tab\there"):
        with pytest.raises(ValueError, match="input_name"):
            lib.write_results(str(tmp_path), name, **GOOD, type="upper", threshold=1.0, min_duration=1)
    with pytest.raises(FileNotFoundError):
        lib.write_results(str(tmp_path / "none"), "s.txt", **GOOD, type="upper", threshold=1.0, min_duration=1)


def test_property_small_series_match_vorda(lib, vorda, tmp_path_factory):
    """Any short series: the library writes vorda's files, and analyse_cells gives analyse's numbers."""
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies

    @hypothesis.settings(max_examples=30, deadline=None, derandomize=True)
    @hypothesis.given(values=st.lists(st.sampled_from([-1.0, 0.0, 0.5, 1.0, 2.5]), min_size=1, max_size=70),
                      steps=st.lists(st.sampled_from([0, 0, 0, 1, -1]), min_size=70, max_size=70),
                      thrtype=st.sampled_from(["upper", "lower"]), durmin=st.integers(-2, 5))
    def check(values, steps, thrtype, durmin):
        n = len(values)
        yr = 2000 + np.cumsum(steps[:n])
        series = (np.arange(1, n + 1), np.arange(n) % 28 + 1, np.arange(n) % 12 + 1, yr, np.array(values))
        tmp = tmp_path_factory.mktemp("p")
        out = run_program(vorda, tmp, "p.txt", series, thrtype, 0.5, durmin)
        (tmp / "lib").mkdir()
        lib.write_results(str(tmp / "lib"), "p.txt", *series, thrtype, 0.5, durmin)
        assert folder_bytes(tmp / "lib") == folder_bytes(out)
        years = np.unique(yr)
        want = expected_cells(lib, series[4][None], *series[:4], thrtype, 0.5, durmin, years)
        got = lib.analyse_cells(series[4][None], *series[:4], thrtype, 0.5, durmin)
        assert all(np.array_equal(got[k], v, equal_nan=True) for k, v in want.items())

    check()
