"""tidy: every value vorda wrote read back; missing markers as empty cells with warnings; bad files refused."""

import csv

import pytest

from runkit import EXAMPLE, kit, vorda_results
from vordakit import results, tables
from vordakit.errors import KitError

HEADER = (" VORDA: Results\r\n ==============\r\n \r\n Input data file: s.txt\r\n \r\n"
          " Threshold type:  {type}\r\n \r\n Threshold value: {thr}\r\n \r\n"
          " Event, minimum duration: 3\r\n \r\n")
EVENT_COLUMNS = " Midpoint_time__d__m___yr_(rounded_up) Duration Action_measure\r\n"
LFD_COLUMNS = " yr   Last-frost-day\r\n"


def _yearly_line(r):
    # A year without a start of the growing season is no value in the table, 0 in the file.
    value = 0 if r.index == "SGS" and r.value is None else r.value
    return " " + _i(r.year, 4) + " " + _i(value, 3)


def _event_line(r):
    y, m, d = (int(p) for p in r.date.split("-")) if r.date else (None,) * 3
    return ("   " + _f(r.midpoint, 11) + " " + _i(d, 2) + " " + _i(m, 2) + " " + _i(y, 4)
            + " " * 15 + _i(r.duration, 7) + " " + _f(r.action, 14))


def _i(v, w):
    return "*" * w if v is None else f"{v:{w}d}"


def _f(v, w):
    return "*" * w if v is None else f"{v:{w}.3f}"


def _data_lines(path):
    return path.read_bytes().decode().split("\r\n")[12:-1]


def _check_every_value(folder):
    """Each record, written back in vorda's layout, gives the file's own line."""
    res = results.read_results(folder)
    by_file = {}
    for path in folder.glob("VORDA*.dat"):
        if path.name.startswith("VORDAshort-"):
            continue
        lines = _data_lines(path)
        run, index = results.parse_header(str(path), path.read_bytes().decode().split("\r\n"))
        by_file[(run, index)] = lines
    for (run, index), lines in by_file.items():
        if index == "events":
            got = [_event_line(r) for r in res.events if results.Run(*r[:4]) == run]
        else:
            got = [_yearly_line(r) for r in res.yearly if results.Run(*r[:4]) == run and r.index == index]
        assert got == lines, (run, index)
    return res


@pytest.fixture(scope="module")
def example_runs(vorda, tmp_path_factory):
    folder = tmp_path_factory.mktemp("example")
    for kind, thr in (("u", "18.0"), ("l", "2.0")):
        vorda_results(vorda, EXAMPLE, folder, kind, thr, 3)
    return folder


@pytest.fixture(scope="module")
def real_runs(vorda, shared_data, tmp_path_factory):
    folder = tmp_path_factory.mktemp("real")
    for kind, thr in (("u", "18.0"), ("l", "0.0")):
        vorda_results(vorda, shared_data / "cet-daily-mean.txt", folder, kind, thr, 3, name="cet.txt")
    return folder


@pytest.mark.parametrize("runs", ["example_runs", "real_runs"])
def test_every_value_read_back_and_indices_join_on_year(request, runs):
    res = _check_every_value(request.getfixturevalue(runs))
    assert {r.type for r in res.events} == {"upper", "lower"}
    for run in res.runs():
        years = {}
        for r in res.yearly:
            if results.Run(*r[:4]) == run:
                years.setdefault(r.index, []).append(r.year)
        assert len(years) == 3
        spans = [ys for ys in years.values()]
        assert all(len(set(ys)) == len(ys) for ys in spans), "a year twice in one index"
        assert all(set(ys) == set(spans[0]) for ys in spans), "indices of one run cover different years"


def test_short_file_that_disagrees_is_reported(example_runs, tmp_path):
    for path in example_runs.glob("*upper*"):
        (tmp_path / path.name).write_bytes(path.read_bytes())
    short = next(tmp_path.glob("VORDAshort-*"))
    lines = short.read_bytes().split(b"\r\n")
    lines[1] = lines[1].replace(b"0", b"1", 1)
    short.write_bytes(b"\r\n".join(lines))
    assert results.read_results(tmp_path).warnings == [
        f"{short}:2: differs from event 2 of {tmp_path / short.name.replace('VORDAshort-', 'VORDA-')}"]


@pytest.mark.parametrize("name,text,yearly,events,warnings", [
    ("VORDA-LFD--s.txt-lower-0.0-durmin-3.dat",
     HEADER.format(type="lower", thr="0.0") + LFD_COLUMNS + " 2001  45\r\n 2002 ***\r\n -999 ***\r\n",
     [(2001, 45), (2002, None), (None, None)], [],
     ["15: year is -999", " 2 years without a frost day among their first 182 days"]),
    ("VORDA-LFD--s.txt-lower-0.0-durmin-3.dat",
     HEADER.format(type="lower", thr="0.0") + LFD_COLUMNS + " -999 ***\r\n",
     [], [], ["13: no last frost day for any year: none of the first 182 days"]),
    ("VORDA-SGS--s.txt-upper-0.0-durmin-3.dat",
     HEADER.format(type="upper", thr="0.0") + " yr   Start-of-growing-season\r\n"
     + " 2001  45\r\n 2002   0\r\n",
     [(2001, 45), (2002, None)], [], [" 1 year without a start of the growing season"]),
    ("VORDA-s.txt-upper-.5-durmin-3.dat",
     HEADER.format(type="upper", thr=".5") + EVENT_COLUMNS
     + "   ***********  3  1 1990                     3 **************\r\n"
     + "   " + f"{6.5:11.3f} ** ** 1990" + " " * 15 + f"{2:7d} {-999.0:14.3f}\r\n"
     + "   " + f"{9.0:11.3f}  9  1 -999" + " " * 15 + f"{1:7d} {2.0:14.3f}\r\n",
     [], [(None, "1990-01-03", 3, None), (6.5, None, 2, -999.0), (9.0, None, 1, 2.0)],
     ["13: midpoint does not fit", "13: action does not fit", "14: day does not fit",
      "14: month does not fit", "15: year is -999"]),
], ids=["lfd", "lfd-lost", "sgs", "events"])
def test_missing_markers_become_empty_cells_with_warnings(tmp_path, name, text, yearly, events, warnings):
    path = tmp_path / name
    path.write_bytes(text.encode())
    res = results.read_results(tmp_path)
    assert [(r.year, r.value) for r in res.yearly] == yearly
    assert [(r.midpoint, r.date, r.duration, r.action) for r in res.events] == events
    assert len(res.warnings) == len(warnings)
    for got, want in zip(res.warnings, warnings):
        assert got.startswith(f"{path}:{want}")
    if not (yearly or events):
        return
    tables.write_tables(res, tmp_path)
    rows = list(csv.reader(open(tmp_path / ("yearly.csv" if yearly else "events.csv"))))
    assert rows[1][2] == ("0.0" if yearly else "0.5")
    assert "" in rows[-1][5:]


@pytest.mark.parametrize("text,line", [
    (HEADER.format(type="upper", thr="1.0")[:40], 4),                   # ends inside the header
    (HEADER.format(type="upper", thr="x") + LFD_COLUMNS, 8),
    (HEADER.format(type="upper", thr="1.0") + " yr   what\r\n", 12),
    (HEADER.format(type="lower", thr="1.0") + LFD_COLUMNS + " 2001  45\r\n 2002 4x\r\n", 14),
    (HEADER.format(type="lower", thr="1.0") + LFD_COLUMNS + " 2001  45 7\r\n", 13),
    (HEADER.format(type="upper", thr="1.0") + LFD_COLUMNS, 12),          # an index of the other type
    (HEADER.format(type="lower", thr="1.0") + " yr   CSDI\r\n", 12),      # not the index the name says
])
def test_malformed_file_named_with_line(tmp_path, text, line):
    path = tmp_path / "VORDA-LFD--s.txt-lower-1.0-durmin-3.dat"
    path.write_bytes(text.encode())
    with pytest.raises(KitError) as e:
        results.read_results(tmp_path)
    assert (e.value.path, e.value.line) == (str(path), line)


def test_tidy_command_and_arrays(example_runs, tmp_path):
    proc = kit("tidy", example_runs, "-o", tmp_path)
    assert proc.returncode == 0, proc.stderr
    yearly = list(csv.reader(open(tmp_path / "yearly.csv")))
    events = list(csv.reader(open(tmp_path / "events.csv")))
    assert tuple(yearly[0]) == tables.YEARLY_FIELDS and tuple(events[0]) == tables.EVENT_FIELDS
    res = results.read_results(example_runs)
    assert (len(yearly) - 1, len(events) - 1) == (len(res.yearly), len(res.events))
    assert b"warning" not in proc.stderr or all(b"LFD" in w for w in proc.stderr.splitlines())
    arrays = tables.as_arrays(res.events)
    assert arrays["date"].dtype.kind == "M" and len(arrays["action"]) == len(res.events)
    assert tables.read_yearly_csv(tmp_path / "yearly.csv") == res.yearly


@pytest.mark.parametrize("engine", ["process", "library"])
def test_threshold_used_beside_the_shown_one(vorda, tmp_path, engine):
    # 16.25 shows as 16.3 in the result files; the tables, trends and plot titles give both.
    out = tmp_path / "out"
    for thr in ("16.25", "2.0"):
        assert kit("run", EXAMPLE, "-t", "u", "-x", thr, "-d", "3", "-o", out, "--engine", engine,
                   vorda=vorda).returncode == 0
    for command in (("tidy", out), ("trend", out / "yearly.csv", "-o", out / "trend.csv")):
        assert kit(*command, vorda=vorda).returncode == 0
    for table in ("yearly.csv", "events.csv", "trend.csv"):
        rows = list(csv.DictReader(open(out / table)))
        assert {(r["threshold"], r["threshold_used"]) for r in rows} == {("16.3", "16.25"), ("2.0", "2.0")}, table
    assert {r.threshold_used for r in tables.read_yearly_csv(out / "yearly.csv")} == {16.25, 2.0}
    from vordakit import plot
    titles = [(fig._suptitle.get_text(), fig.axes[0].get_title())
              for _, fig in plot.figures(results.read_results(out), "degC")]
    assert sum("threshold 16.25 degC, shown as 16.3 in the result names" in t for _, t in titles) == 4, titles
    assert {"Days above 16.25 degC", "Days above 2.0 degC"} <= {t for t, _ in titles}


@pytest.mark.parametrize("dropped", [1, 5, 8], ids=["before-threshold-used", "before-percentile", "before-calendar"])
def test_tables_of_earlier_versions_read(vorda, tmp_path, dropped):
    # Each version added columns at the end; a table without them reads as today's with those empty.
    assert kit("run", EXAMPLE, "-t", "l", "-x", "2.25", "-d", "3", "-o", tmp_path, vorda=vorda).returncode == 0
    res = results.read_results(tmp_path)
    assert res.yearly[0].whole is not None and res.yearly[0].threshold_used == 2.25
    tables.write_tables(res, tmp_path)
    rows = list(csv.reader(open(tmp_path / "yearly.csv")))
    tables.write_csv(tmp_path / "old.csv", rows[0][:-dropped], (r[:-dropped] for r in rows[1:]))
    blank = {f: None for f in tables.YEARLY_FIELDS[-dropped:]}
    assert tables.read_yearly_csv(tmp_path / "old.csv") == [r._replace(**blank) for r in res.yearly]


def test_runs_the_tables_cannot_tell_apart_are_refused(vorda, tmp_path):
    # vorda names the thresholds 0 and 0.04 apart (0.0 and .0); to one decimal both are 0.0.
    for thr in ("0", "0.04"):
        assert kit("run", EXAMPLE, "-t", "l", "-x", thr, "-d", "3", "-o", tmp_path, vorda=vorda).returncode == 0
    proc = kit("tidy", tmp_path, text=True)
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1, proc.stderr
    assert proc.stderr.startswith(f"vordakit tidy: {tmp_path}/VORDA-CSDI-series.txt-lower-0.0-durmin-3.dat:8: ")
    assert "VORDA-CSDI-series.txt-lower-.0-durmin-3.dat" in proc.stderr
