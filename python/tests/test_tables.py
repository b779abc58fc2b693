"""The tidy tables as a reader meets them: each event's first and last day, and a percentile
run's threshold left empty (its percentile, base and window say what it was)."""

import csv
import datetime

import numpy as np
import pytest

import vordakit as vk
from vordakit import tables
from runkit import EXAMPLE, kit

HEAD = "file\tname\ttype\tthreshold\tmin_duration\telement\n"


def read(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def runs_beyond(path, thrtype, threshold, durmin):
    """(first, last date) of every run of at least ``durmin`` records beyond the threshold in a
    VORDA input, found by walking its records: what an event's start and end must be."""
    spans, run = [], []
    for line in open(path):
        _, d, m, y, x = line.split()
        beyond = float(x) > threshold if thrtype == "upper" else float(x) < threshold
        if beyond:
            run.append(datetime.date(int(y), int(m), int(d)).isoformat())
            continue
        if len(run) >= durmin:
            spans.append((run[0], run[-1]))
        run = []
    if len(run) >= durmin:
        spans.append((run[0], run[-1]))
    return spans


def season(path):
    """June to August of 2001-2004, t counting calendar days (so with a gap each winter), warm
    across each gap: events that run from the end of one summer into the next."""
    day0 = datetime.date(2001, 6, 1).toordinal()
    rng = np.random.default_rng(7)
    lines = []
    for ordinal in range(day0, datetime.date(2004, 9, 1).toordinal()):
        d = datetime.date.fromordinal(ordinal)
        if d.month in (6, 7, 8):
            edge = (d.month, d.day) in ((8, 30), (8, 31), (6, 1), (6, 2))
            x = 25.0 if edge else float(rng.integers(150, 230)) / 10
            lines.append(f"{ordinal - day0 + 1} {d.day} {d.month} {d.year} {x}\n")
    path.write_text("".join(lines))
    return path


# (case, input, options, the VORDA input the events are in (None: the input itself), type, threshold, durmin)
CASES = {
    "daily, upper, library": (EXAMPLE, ("-t", "u", "-x", "18.0", "-d", "3"), None, "upper", 18.0, 3),
    "daily, lower, process": (EXAMPLE, ("-t", "l", "-x", "2.0", "-d", "2", "--engine", "process"), None,
                              "lower", 2.0, 2),
    "a season's counters with gaps": ("season", ("-t", "u", "-x", "21.0", "-d", "1"), None, "upper", 21.0, 1),
    "percentile": (EXAMPLE, ("-t", "u", "--percentile", "80", "--base", "2001-2005", "-d", "2"),
                   "series-p80-2001-2005-w5.txt", "upper", 0.0, 2),
}


@pytest.mark.parametrize("case", CASES)
def test_events_give_their_first_and_last_day(vorda, tmp_path, case):
    source, options, analysed, thrtype, threshold, durmin = CASES[case]
    source = season(tmp_path / "summers.txt") if source == "season" else source
    out = tmp_path / "out"
    assert kit("run", source, *options, "-o", out, vorda=vorda).returncode == 0
    assert kit("tidy", out, vorda=vorda).returncode == 0
    want = runs_beyond(out / analysed if analysed else source, thrtype, threshold, durmin)
    rows = read(out / "events.csv")
    assert len(want) > 3 and [(r["start"], r["end"]) for r in rows] == want
    assert list(rows[0])[4:8] == ["midpoint", "date", "start", "end"]
    # The API gives the same, from the binding's arrays instead of the files.
    api = vk.analyse(vk.read_station(source), thrtype, None if analysed else threshold, min_duration=durmin,
                     **(dict(percentile=80, base=(2001, 2005)) if analysed else {})).events
    assert list(zip(api["start"], api["end"])) == want


def test_events_of_an_input_that_cannot_be_found_have_no_span(vorda, tmp_path):
    out = tmp_path / "out"
    assert kit("run", EXAMPLE, "-t", "u", "-x", "18.0", "-d", "3", "-o", out, vorda=vorda).returncode == 0
    (out / "inputs.csv").unlink()
    assert kit("tidy", out, vorda=vorda).returncode == 0
    rows = read(out / "events.csv")
    assert rows and all(r["date"] and not r["start"] and not r["end"] for r in rows)


def test_percentile_runs_leave_the_threshold_empty_in_every_table(vorda, tmp_path):
    out = tmp_path / "out"
    for options in (("-x", "16.25"), ("--percentile", "90", "--base", "2001-2005")):
        assert kit("run", EXAMPLE, "-t", "u", *options, "-d", "3", "-o", out, vorda=vorda).returncode == 0
    assert kit("tidy", out, vorda=vorda).returncode == 0
    assert kit("trend", out / "yearly.csv", "-o", out / "trend.csv", vorda=vorda).returncode == 0
    for table in ("yearly.csv", "events.csv", "trend.csv"):
        marks = {(r["percentile"], r["threshold"], r["threshold_used"]) for r in read(out / table)}
        assert marks == {("", "16.3", "16.25"), ("90", "", "")}, table
    series = vk.read_station(EXAMPLE)
    for frame in (vk.analyse(series, "upper", percentile=90, base=(2001, 2005), min_duration=3).yearly,
                  vk.trends(vk.analyse(series, "upper", percentile=90, base=(2001, 2005), min_duration=3))):
        assert frame["threshold"].isna().all() and frame["threshold_used"].isna().all()


def test_tables_written_with_a_percentile_run_s_threshold_as_0_still_read(vorda, tmp_path):
    out = tmp_path / "out"
    assert kit("run", EXAMPLE, "-t", "u", "--percentile", "90", "--base", "2001-2005", "-d", "3", "-o", out,
               vorda=vorda).returncode == 0
    assert kit("tidy", out, vorda=vorda).returncode == 0
    rows = read(out / "yearly.csv")
    # As written before: the percentile run's threshold and threshold_used 0.0.
    cells = ([*r.values()][:2] + ["0.0"] + [*r.values()][3:-1] + ["0.0"] for r in rows)
    tables.write_csv(out / "old.csv", list(rows[0]), cells)
    old, new = tables.read_yearly_csv(out / "old.csv"), tables.read_yearly_csv(out / "yearly.csv")
    assert [r.value for r in old] == [r.value for r in new] and {r.threshold for r in new} == {None}
    assert kit("trend", out / "old.csv", "-o", out / "old-trend.csv", vorda=vorda).returncode == 0
    assert kit("trend", out / "yearly.csv", "-o", out / "trend.csv", vorda=vorda).returncode == 0
    assert (out / "old-trend.csv").read_text() == (out / "trend.csv").read_text()


def test_a_resumed_station_of_an_earlier_version_keeps_its_columns_in_the_combined_table(vorda, tmp_path):
    (tmp_path / "s.tsv").write_text(HEAD + f"{EXAMPLE}\ta\tupper\t18.0\t3\t\n{EXAMPLE}\tb\tupper\t18.0\t3\t\n")
    run = ("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", "--resume")
    assert kit(*run, vorda=vorda).returncode == 0
    # Station a's events as a version before the start and end columns wrote them.
    rows = read(tmp_path / "out" / "a" / "events.csv")
    older = [f for f in rows[0] if f not in ("start", "end")]
    tables.write_csv(tmp_path / "out" / "a" / "events.csv", older, ([r[f] for f in older] for r in rows))
    (tmp_path / "out" / "b" / "done.txt").unlink()
    assert kit(*run, vorda=vorda).returncode == 0
    combined = read(tmp_path / "out" / "events.csv")
    a = [r for r in combined if r["station"] == "a"]
    b = [r for r in combined if r["station"] == "b"]
    assert [r["action"] for r in a] == [r["action"] for r in b] and a[0]["date"] == b[0]["date"]
    assert not any(r["start"] for r in a) and all(r["start"] for r in b)
