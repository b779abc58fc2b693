"""batch: every good station finished, a bad one recorded with its reason, combined tables, exit status."""

import csv

import pytest

from runkit import EXAMPLE, kit

HEAD = "file\tname\ttype\tthreshold\tmin_duration\tcolumn\n"


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


def test_without_qc_vorda_report_is_the_reason(vorda, tmp_path):
    (tmp_path / "bad.txt").write_text("1 1 1 2000 1.5\n2 2 1 2000 x\n")
    (tmp_path / "s.tsv").write_text(HEAD + "bad.txt\tbroken\tupper\t1.0\t2\t\n")
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-qc", "--no-plots", vorda=vorda)
    assert proc.returncode == 1
    reason = read(tmp_path / "out" / "summary.csv")[0]["reason"]
    assert "vorda ended with status 2" in reason and "Bad real number in item 5" in reason


@pytest.mark.parametrize("rows,line,reason", [
    ("file\tname\ttype\tthreshold\n", 1, "the header lacks min_duration"),
    (HEAD + "a.txt\ta\tupper\t1,5\t3\t\n", 2, "threshold '1,5' is not a decimal number"),
    (HEAD + "a.txt\ta\tupper\t1.5\t3\t\n\n# note\na.txt\ta\tu\t1.50\t3\t\n", 5, "the same run as line 2"),
    (HEAD + "a.txt\ta\tupper\t1.5\t3\t\nb.txt\ta\tlower\t1.5\t3\t\n", 3, "was given the file"),
    (HEAD + "a.txt\tx/y\tupper\t1.5\t3\t\n", 2, "cannot name a folder"),
    (HEAD + "a.txt\ttrend.csv\tupper\t1.5\t3\t\n", 2, "taken by the batch's own table"),
    (HEAD + "a.txt\ta\tupper\t1.5\n", 2, "expected 6 tab-separated fields"),
], ids=["header", "threshold", "repeated-run", "two-files", "name", "table-name", "fields"])
def test_bad_station_list_refused_before_any_run(vorda, tmp_path, rows, line, reason):
    (tmp_path / "s.tsv").write_text(rows)
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", vorda=vorda)
    assert proc.returncode == 2
    message = proc.stderr.decode()
    assert message.startswith(f"vordakit batch: {tmp_path / 's.tsv'}:{line}: ") and reason in message
    assert not (tmp_path / "out").exists()
