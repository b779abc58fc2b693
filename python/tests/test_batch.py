"""batch: every good station finished, a bad one recorded with its reason, combined tables, exit status."""

import csv

import pytest

from runkit import EXAMPLE, kit

HEAD = "file\tname\ttype\tthreshold\tmin_duration\tcolumn\n"
OPT = "file\tname\ttype\tthreshold\tmin_duration\tformat\telement\n"


def read(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_bad_station_recorded_others_finished(vorda, data_dir, tmp_path):
    (tmp_path / "bad.txt").write_text("1 1 1 2000 1.5\n2 2 1 2000 x\n")
    (tmp_path / "stations.tsv").write_text(
        HEAD
        + f"{EXAMPLE}\texample\tupper\t18.0\t3\t\n"
        + "bad.txt\tbroken\tupper\t1.0\t2\t\n"
        + f"{EXAMPLE}\texample\tlower\t2.0\t3\t\n"
        + "missing.txt\tgone\tlower\t0\t2\t\n"
        + f"{data_dir / 'station6.txt'}\tsix\tupper\t12.0\t1\ttmax\n")
    proc = kit("batch", tmp_path / "stations.tsv", "-o", tmp_path / "out", "-j", 2, vorda=vorda)
    assert proc.returncode == 1, proc.stderr
    out = tmp_path / "out"
    summary = {r["station"]: r for r in read(out / "summary.csv")}
    assert list(summary) == ["example", "broken", "gone", "six"]
    assert [summary[s]["status"] for s in summary] == ["ok", "failed", "failed", "ok"]
    assert summary["broken"]["reason"].startswith(f"{tmp_path / 'bad.txt'}:2: ")
    assert "missing.txt" in summary["gone"]["reason"]
    assert (out / "broken" / "error.txt").read_text().startswith(summary["broken"]["reason"])
    assert summary["example"]["runs"] == "2"
    # The good stations are complete: results, tables, trend, pictures.
    for name, pictures in (("example", 8), ("six", 4)):
        folder = out / name
        assert len(list(folder.glob("VORDA*.dat"))) == 5 * int(summary[name]["runs"])
        assert len(list(folder.glob("*.png"))) == pictures
        for table in ("yearly.csv", "events.csv", "trend.csv", "plots.pdf"):
            assert (folder / table).stat().st_size > 0
    assert (out / "six" / "six.txt").exists()        # the converted input vorda read
    # Combined tables: the stations' own rows behind a station column.
    for table in ("yearly.csv", "events.csv", "trend.csv"):
        rows = read(out / table)
        own = read(out / "example" / table) + read(out / "six" / table)
        assert [{k: v for k, v in r.items() if k != "station"} for r in rows] == own
        assert {r["station"] for r in rows} == {"example", "six"}
    assert b"broken" in proc.stderr and b"2 of 4 stations done, 2 failed" in proc.stderr


def test_vorda_report_is_the_reason(tmp_path):
    fake = tmp_path / "vorda"
    fake.write_text("#!/bin/sh\necho 'Bad real number in item 5' >&2\nexit 2\n")
    fake.chmod(0o755)
    (tmp_path / "s.tsv").write_text(HEAD + f"{EXAMPLE}\tex\tupper\t1.0\t2\t\n")
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-qc", "--no-plots", vorda=fake)
    assert proc.returncode == 1
    reason = read(tmp_path / "out" / "summary.csv")[0]["reason"]
    assert "vorda ended with status 2" in reason and "Bad real number in item 5" in reason


def six_columns(path, days, prcp=lambda i: (i * 7) % 40 if i % 5 else 0.0):
    """A six-column station file of ``days`` days from 2000-01-01: tmax and tmin apart by 10."""
    import datetime
    first = datetime.date(2000, 1, 1)
    with open(path, "w") as f:
        for i in range(days):
            d = first + datetime.timedelta(days=i)
            tmax = 15 + (i * 37) % 17
            f.write(f"{d.year}\t{d.month}\t{d.day}\t{prcp(i):.1f}\t{tmax:.1f}\t{tmax - 10:.1f}\n")


def test_rows_of_one_file_each_read_the_series_they_name(vorda, tmp_path):
    six_columns(tmp_path / "six.txt", 400)
    # Saved by a spreadsheet: a byte-order mark and CR LF line ends.
    (tmp_path / "s.tsv").write_bytes(("\ufeff" + HEAD + "six.txt\tsix\tupper\t25.0\t2\ttmax\n"
                                      "six.txt\tsix\tlower\t8.0\t2\ttmin\n").replace("\n", "\r\n").encode())
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", vorda=vorda)
    assert proc.returncode == 0, proc.stderr
    for column in ("tmax", "tmin"):
        assert kit("convert", tmp_path / "six.txt", tmp_path / column, "--column", column).returncode == 0
        assert (tmp_path / "out" / "six" / f"six-{column}.txt").read_bytes() == (tmp_path / column).read_bytes()
    inputs = {(r["input"], r["type"]) for r in read(tmp_path / "out" / "yearly.csv")}
    assert inputs == {("six-tmax.txt", "upper"), ("six-tmin.txt", "lower")}


@pytest.mark.parametrize("head,row", [
    (HEAD, "six.txt\tsix\tupper\t10.0\t2\tprcp\n"),
    ("file\tname\ttype\tthreshold\tmin_duration\tkind\n", "six.txt\tsix\tupper\t10.0\t2\tprecipitation\n"),
], ids=["from-the-column", "kind-column"])
def test_precipitation_checked_as_precipitation(vorda, tmp_path, head, row):
    # A fifth of the days dry: too few for the values alone to say precipitation.
    six_columns(tmp_path / "six.txt", 400)
    if "kind" in head:
        assert kit("convert", tmp_path / "six.txt", tmp_path / "p.txt", "--column", "prcp").returncode == 0
        (tmp_path / "p.txt").rename(tmp_path / "six.txt")
    (tmp_path / "s.tsv").write_text(head + row)
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", vorda=vorda)
    assert proc.returncode == 0, proc.stderr
    assert [f["check"] for f in read(tmp_path / "out" / "six" / "qc.csv")] == []


GAP = "1 1 1 2000 1.5\n2 2 1 2000 2.5\n4 4 1 2000 3.5\n5 5 1 2000 4.5\n"
MARKER = "1 1 1 2000 1.5\n2 2 1 2000 -999\n3 3 1 2000 3.5\n"


@pytest.mark.parametrize("text,options,reason", [
    (GAP, [], "qc: gap: 1 missing day on 2000-01-03; batch --fill N"),
    (GAP, ["--fill", "1"], ""),
    (MARKER, ["--no-qc"], "qc: marker: missing-value marker left in"),
], ids=["gap-named", "gap-filled", "marker-without-qc"])
def test_vorda_input_checked_and_filled(vorda, tmp_path, text, options, reason):
    (tmp_path / "in.txt").write_text(text)
    (tmp_path / "s.tsv").write_text(HEAD + "in.txt\tst\tupper\t1.0\t1\t\n")
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", *options, vorda=vorda)
    assert proc.returncode == (1 if reason else 0), proc.stderr
    assert reason in read(tmp_path / "out" / "summary.csv")[0]["reason"]
    if not reason:
        assert (tmp_path / "out" / "st" / "st.txt").read_text().splitlines()[2] == "3 3 1 2000 3.0"


def test_rerun_that_fails_keeps_nothing_of_the_last(vorda, tmp_path):
    (tmp_path / "in.txt").write_text("1 1 1 2000 1.5\n2 2 1 2000 2.5\n3 3 1 2000 3.5\n")
    (tmp_path / "s.tsv").write_text(HEAD + "in.txt\tst\tupper\t1.0\t1\t\n")
    args = ("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots")
    assert kit(*args, vorda=vorda).returncode == 0
    (tmp_path / "out" / "st" / "notes.md").write_text("mine")
    (tmp_path / "in.txt").write_text(GAP)
    assert kit(*args, vorda=vorda).returncode == 1
    assert sorted(p.name for p in (tmp_path / "out" / "st").iterdir()) == ["error.txt", "notes.md", "qc.csv"]


def test_trend_of_the_batch_table_keeps_its_stations(vorda, data_dir, tmp_path):
    (tmp_path / "s.tsv").write_text(HEAD + f"{EXAMPLE}\tex\tupper\t18.0\t3\t\n"
                                    f"{EXAMPLE}\tex2\tlower\t2.0\t3\t\n")
    assert kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", vorda=vorda).returncode == 0
    before = (tmp_path / "out" / "trend.csv").read_bytes()
    assert kit("trend", tmp_path / "out" / "yearly.csv").returncode == 0
    assert (tmp_path / "out" / "trend.csv").read_bytes() == before


@pytest.mark.parametrize("rows,line,reason", [
    ("file\tname\ttype\tthreshold\n", 1, "the header lacks min_duration"),
    (HEAD + "a.txt\ta\tupper\t1,5\t3\t\n", 2, "threshold '1,5' is not a decimal number"),
    (HEAD + "a.txt\ta\tupper\t1.5\t3\t\n\n# note\na.txt\ta\tu\t1.50\t3\t\n", 5, "the same run as line 2"),
    (HEAD + "a.txt\ta\tupper\t1.5\t3\t\nb.txt\ta\tlower\t1.5\t3\t\n", 3, "was given the file"),
    (HEAD + "a.txt\tx/y\tupper\t1.5\t3\t\n", 2, "cannot name a folder"),
    (HEAD + "a.txt\ttrend.csv\tupper\t1.5\t3\t\n", 2, "taken by the batch's own table"),
    (HEAD + "a.txt\ta\tupper\t1.5\n", 2, "expected 6 tab-separated fields"),
    (HEAD + "a.txt\ta\tupper\t16.25\t3\t\na.txt\ta\tupper\t16.3\t3\t\n", 3,
     "threshold 16.3 and threshold 16.25 of line 2 both appear as 16.3"),
    (OPT + "a.txt\ta\tupper\t1.5\t3\tghcnd\t\n", 2, "unknown format 'ghcnd'"),
    (OPT + "a.txt\ta\tupper\t1.5\t3\t\tTMEAN\n", 2, "unknown element 'TMEAN'"),
], ids=["header", "threshold", "repeated-run", "two-files", "name", "table-name", "fields", "name-label",
        "format", "element"])
def test_bad_station_list_refused_before_any_run(vorda, tmp_path, rows, line, reason):
    (tmp_path / "s.tsv").write_text(rows)
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", vorda=vorda)
    assert proc.returncode == 2
    message = proc.stderr.decode()
    assert message.startswith(f"vordakit batch: {tmp_path / 's.tsv'}:{line}: ") and reason in message
    assert not (tmp_path / "out").exists()
