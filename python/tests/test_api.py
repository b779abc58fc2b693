"""The Python API gives what the command line writes: tidy's tables, run's files, trend's table."""

import csv
import datetime

import pytest

import vordakit as vk
from runkit import EXAMPLE, kit
from vordakit import results, tables

# (case, analyse's threshold arguments, run's options)
RUNS = [
    ("fixed upper", dict(type="upper", threshold="18.0"), ["-t", "upper", "-x", "18.0"]),
    ("fixed lower, vorda's exponent", dict(type="l", threshold="2.5d0"), ["-t", "l", "-x", "2.5d0"]),
    ("percentile", dict(type="upper", percentile="90", base=(2002, 2006), window=3),
     ["-t", "upper", "--percentile", "90", "--base", "2002-2006", "--window", "3"]),
    ("percentile with bootstrap", dict(type="lower", percentile=10, base="2001-2004", bootstrap=True),
     ["-t", "lower", "--percentile", "10", "--base", "2001-2004", "--bootstrap"]),
]


def rows(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))[1:]


def cells(row):
    return ["" if c is None else str(c) for c in row]


def files(folder):
    """The files of a folder; the notes name the folder itself, as OUT here."""
    return {p.name: p.read_bytes().replace(str(folder).encode(), b"OUT") for p in sorted(folder.iterdir())}


@pytest.mark.parametrize("engine", ["library", "process"])
@pytest.mark.parametrize("case,args,options", RUNS, ids=[r[0] for r in RUNS])
def test_analyse_and_write_give_what_run_and_tidy_write(lib, vorda, tmp_path, case, args, options, engine):
    run = tmp_path / "run"
    assert kit("run", EXAMPLE, *options, "-d", "3", "-o", run, "--engine", engine, vorda=vorda).returncode == 0
    assert kit("tidy", run, "-o", tmp_path / "tables", vorda=vorda).returncode == 0
    res = vk.analyse(vk.read_station(EXAMPLE), **args, min_duration=3, engine=engine)
    assert [cells(r) for r in tables.yearly_rows(res.records.yearly)] == rows(tmp_path / "tables" / "yearly.csv")
    assert [cells(r) for r in tables.event_rows(res.records.events)] == rows(tmp_path / "tables" / "events.csv")
    assert {"index", "year", "value", "days", "whole"} <= set(res.yearly.columns)
    assert len(res.events) == len(rows(tmp_path / "tables" / "events.csv"))
    res.write(tmp_path / "api")
    assert files(tmp_path / "api") == files(run)


def test_a_station_file_is_analysed_as_convert_writes_it(lib, vorda, tmp_path):
    table = tmp_path / "series.csv"
    lines = [line.split() for line in EXAMPLE.read_text().splitlines()]
    table.write_text("date,tg\n" + "".join(f"{datetime.date(int(y), int(m), int(d))},{x}\n"
                                           for _, d, m, y, x in lines))
    assert kit("convert", table, tmp_path / "series.txt").returncode == 0
    assert kit("run", tmp_path / "series.txt", "-t", "upper", "-x", "16.5", "-d", "4", "-o", tmp_path / "run",
               vorda=vorda).returncode == 0
    assert kit("trend", tmp_path / "run", vorda=vorda).returncode == 0
    res = vk.analyse(vk.read_station(table), "upper", 16.5, min_duration=4)
    assert res.records.yearly == results.read_results(tmp_path / "run").yearly
    trend = vk.trends(res)
    expected = rows(tmp_path / "run" / "trend.csv")
    assert [[r[4], float(r[9])] for r in expected] == trend[["index", "slope_per_decade"]].values.tolist()
    # The yearly table as pandas gives it back.
    assert vk.trends(res.yearly).equals(trend)


def test_percentile_thresholds_are_the_run_s_table(vorda, tmp_path):
    assert kit("run", EXAMPLE, "-t", "upper", "--percentile", "97.5", "--base", "2003-2007", "-d", "2",
               "-o", tmp_path, "--engine", "process", vorda=vorda).returncode == 0
    table = rows(tmp_path / "series-p97.5-2003-2007-w5-thresholds.csv")
    got = vk.percentile_thresholds(vk.read_station(EXAMPLE), "97.5", (2003, 2007))
    assert [[int(m), int(d), float(x)] for m, d, x in table] == got.values.tolist()
