"""convert: hand-made files in each layout -> the VORDA input they must give, and refusals."""

import datetime
import math
import random
import subprocess

import pytest

from conftest import DATA

# (name, sample, options, expected VORDA input)
SAMPLES = [
    ("eca: header, leap day, -9999 trimmed, suspect kept", "eca_tg.txt", [],
     "1 26 2 2000 1.2\n2 27 2 2000 -0.5\n3 28 2 2000 0.0\n4 29 2 2000 3.1\n5 1 3 2000 25.0\n6 2 3 2000 4.1\n"),
    ("eca: suspect dropped, the gap filled", "eca_tg.txt", ["--drop-suspect", "--fill", "1"],
     "1 26 2 2000 1.2\n2 27 2 2000 -0.5\n3 28 2 2000 0.0\n4 29 2 2000 3.1\n5 1 3 2000 3.6\n6 2 3 2000 4.1\n"),
    ("eca: suspect dropped, longest stretch", "eca_tg.txt", ["--drop-suspect", "--longest"],
     "1 26 2 2000 1.2\n2 27 2 2000 -0.5\n3 28 2 2000 0.0\n4 29 2 2000 3.1\n"),
    ("eca: -9999 missing whatever its quality code, -999 a value", "eca_tx_markers.txt", ["--fill", "2"],
     "1 1 1 2000 1.0\n2 2 1 2000 -32.6\n3 3 1 2000 -66.3\n4 4 1 2000 -99.9\n5 5 1 2000 2.0\n"),
    ("ghcn: quality flag filled, measurement flag kept, 30/31 Feb skipped", "ghcn.dly",
     ["--element", "tmax", "--fill", "1"],
     "1 27 2 2000 11.2\n2 28 2 2000 12.1\n3 29 2 2000 13.0\n4 1 3 2000 14.4\n5 2 3 2000 15.1\n"),
    ("ghcn: flagged value kept on request", "ghcn.dly", ["--element", "TMAX", "--keep-flagged"],
     "1 27 2 2000 11.2\n2 28 2 2000 9.8\n3 29 2 2000 13.0\n4 1 3 2000 14.4\n5 2 3 2000 15.1\n"),
    ("ghcn: precipitation in mm", "ghcn.dly", ["--element", "PRCP"],
     "1 27 2 2000 0.0\n2 28 2 2000 2.5\n3 29 2 2000 0.0\n4 1 3 2000 10.2\n5 2 3 2000 0.0\n"),
    ("cet: grid read in date order, -999 and 30 Feb skipped", "cet.txt", [],
     "1 27 2 2000 3.2\n2 28 2 2000 -1.5\n3 29 2 2000 0.0\n4 1 3 2000 5.7\n5 2 3 2000 6.1\n"),
    ("station6: tmax, the 31 April row skipped", "station6.txt", ["--column", "tmax"],
     "1 28 4 2000 15.2\n2 29 4 2000 14.0\n3 30 4 2000 12.9\n4 1 5 2000 11.5\n5 2 5 2000 13.4\n"),
    ("station6: tmin, longest stretch", "station6.txt", ["--column", "tmin", "--longest"],
     "1 28 4 2000 3.1\n2 29 4 2000 5.5\n3 30 4 2000 6.0\n"),
    ("table: NA filled, two decimals kept", "table_na.csv", ["--fill", "1"],
     "1 28 2 2000 5.25\n2 29 2 2000 5.00\n3 1 3 2000 4.75\n4 2 3 2000 -0.50\n"),
    ("table: columns counted from 1", "table_na.csv", ["--date-column", "1", "--column", "2", "--fill", "1"],
     "1 28 2 2000 5.25\n2 29 2 2000 5.00\n3 1 3 2000 4.75\n4 2 3 2000 -0.50\n"),
    ("table: day-first dates, decimal commas", "table_dmy.csv", ["--day-first", "--decimal-comma", "--fill", "1"],
     "1 28 2 2000 5.25\n2 29 2 2000 5.00\n3 1 3 2000 4.75\n4 2 3 2000 -0.50\n"),
    ("table: --longest keeps the earliest of equally long stretches", "table_na.csv",
     ["--to", "2000-03-01", "--longest"], "1 28 2 2000 5.25\n"),
    ("table: year;month;day, season keeps t counting", "table_ymd.csv", ["--months", "5-9"],
     "1 29 9 2000 14.1\n2 30 9 2000 13.8\n215 1 5 2001 11.2\n216 2 5 2001 12.6\n"),
    ("vorda input: a month cut out of it", "vorda.txt", ["--months", "3"],
     "1 1 3 2000 5.7\n2 2 3 2000 6.1\n"),
    ("table: date range and season by name", "table_ymd.csv", ["--from", "2000-09-30", "--months", "may-sep"],
     "1 30 9 2000 13.8\n214 1 5 2001 11.2\n215 2 5 2001 12.6\n"),
]


@pytest.mark.parametrize("name,sample,options,expected", SAMPLES, ids=[s[0] for s in SAMPLES])
def test_sample_converts_to_expected_input(kit, tmp_path, name, sample, options, expected):
    r = kit("convert", DATA / sample, "out.txt", *options, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "out.txt").read_text() == expected
    assert r.stdout == f"{expected.count(chr(10))}\n"


# (name, sample, options, words the message must hold)
REFUSALS = [
    ("a gap under the default policy, listed by date", "eca_tg.txt", ["--drop-suspect"],
     ["1 missing day in 1 gap", "2000-03-01 (1 day)", "--fill"]),
    ("a gap longer than --fill", "table_ymd.csv", ["--fill", "3"], ["2000-10-02 to 2001-04-30 (211 days)"]),
    ("several elements, none chosen", "ghcn.dly", [], ["--element", "TMAX, TMIN, PRCP"]),
    ("no column chosen", "station6.txt", [], ["--column prcp, tmax or tmin"]),
    ("an option of another layout", "eca_tg.txt", ["--element", "TX"], ["--element does not apply to a eca file"]),
    ("day-first dates not asked for", "table_dmy.csv", ["--decimal-comma"], ["found '28.02.2000'", "--day-first"]),
    ("a decimal comma not asked for", "table_dmy.csv", ["--day-first"], ["found '5,25'", "--decimal-comma"]),
    ("nothing in the chosen months", "cet.txt", ["--months", "6-8"], ["no values in the chosen dates and months"]),
]


@pytest.mark.parametrize("name,sample,options,words", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusal_names_the_reason_and_writes_nothing(kit, tmp_path, name, sample, options, words):
    r = kit("convert", DATA / sample, "out.txt", *options, cwd=tmp_path)
    assert r.returncode == 2
    assert r.stdout == ""
    for w in words:
        assert w in r.stderr
    assert list(tmp_path.iterdir()) == []


def test_gaps_are_listed_first_ones_first(kit, tmp_path):
    src = tmp_path / "gappy.csv"
    days = [datetime.date(2000, 1, 1) + datetime.timedelta(days=i) for i in range(60)]
    holes = {3, 10, 11, 30}
    src.write_text("".join(f"{d},{'NA' if i in holes else i}\n" for i, d in enumerate(days)))
    r = kit("convert", src, tmp_path / "out.txt", cwd=tmp_path)
    assert r.returncode == 2
    listed = [line.strip() for line in r.stderr.splitlines() if line.startswith("  ")]
    assert listed == ["2000-01-04 (1 day)", "2000-01-11 to 2000-01-12 (2 days)", "2000-01-31 (1 day)"]


def test_more_records_than_vorda_reads_is_refused_with_a_range(kit, tmp_path):
    src = tmp_path / "long.csv"
    first = datetime.date(1700, 1, 1)
    src.write_text("".join(f"{first + datetime.timedelta(days=i)},1.5\n" for i in range(100001)))
    r = kit("convert", src, tmp_path / "out.txt", cwd=tmp_path)
    assert r.returncode == 2
    assert "100001 records, but vorda reads at most 100000: choose a range, e.g. --from 1700-01-02" in r.stderr
    assert not (tmp_path / "out.txt").exists()
    r = kit("convert", src, tmp_path / "out.txt", "--from", "1700-01-02", cwd=tmp_path)
    assert (r.returncode, r.stdout) == (0, "100000\n")


def _dialogue(vorda, folder, records, kind, threshold):
    answers = f"series.txt\n{records}\n{kind}\n{threshold}\n3\n"
    r = subprocess.run([str(vorda)], cwd=folder, input=answers.encode(), capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir()) if p.name != "series.txt"}


def test_converted_series_gives_the_results_of_the_same_numbers_written_directly(kit, vorda, tmp_path):
    # Three years with a leap day, as an ECA&D file and as five columns written by hand.
    first = datetime.date(2003, 1, 1)
    rng = random.Random(3)
    rows, direct = [], []
    for i in range(3 * 365 + 1):
        d = first + datetime.timedelta(days=i)
        tenths = round(100 - 80 * math.cos(2 * math.pi * i / 365.25) + rng.gauss(0, 30))
        rows.append(f"12345,  901,{d:%Y%m%d},{tenths:5d},    0\n")
        direct.append(f"{i + 1} {d.day} {d.month} {d.year} {tenths / 10:.1f}\n")
    src = tmp_path / "station.txt"
    src.write_text("ECA&D sample\n\nSTAID, SOUID,    DATE,   TG, Q_TG\n" + "".join(rows))
    via, by_hand = tmp_path / "via", tmp_path / "by_hand"
    via.mkdir()
    by_hand.mkdir()
    r = kit("convert", src, via / "series.txt", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    (by_hand / "series.txt").write_text("".join(direct))
    n = int(r.stdout)
    assert n == len(direct)
    for kind, threshold in (("u", "16.0"), ("l", "2.0")):
        got = _dialogue(vorda, via, n, kind, threshold)
        want = _dialogue(vorda, by_hand, n, kind, threshold)
        assert got == want
    assert len(got) == 10 and all(b.count(b"\n") > 12 for b in got.values())


# (name, sample, options, line, replacement, words of the message)
MALFORMED = [
    ("eca: a field short", "eca_tg.txt", [], 20, "99999,123456,20000227,   -5", "expected 5 comma-separated fields"),
    ("eca: a bad date", "eca_tg.txt", [], 20, "99999,123456,2000022X,   -5,    0", "expected DATE as YYYYMMDD"),
    ("eca: 30 February", "eca_tg.txt", [], 22, "99999,123456,20000230,   31,    0",
     "value 31 on impossible date 2000-02-30"),
    ("eca: a decimal value", "eca_tg.txt", [], 20, "99999,123456,20000227, -5.5,    0", "expected whole numbers"),
    ("eca: a duplicated date", "eca_tg.txt", [], 21, "99999,123456,20000227,    0,    0",
     "2000-02-27 also on line 20"),
    ("ghcn: a cut line", "ghcn.dly", ["--element", "TMAX"], 1, "XX000099999200002TMAX  112  E",
     "expected 31 day groups"),
    ("ghcn: a letter in a value", "ghcn.dly", ["--element", "TMAX"], 4,
     "XX000099999200003TMAX  1a4  E" + "-9999   " * 30, "expected a whole number in columns 22-26"),
    ("cet: a value on 30 February", "cet.txt", [], 30,
     " 2000   30 -999   12 -999 -999 -999 -999 -999 -999 -999 -999 -999 -999",
     "value 12 on impossible date 2000-02-30"),
    ("cet: letters", "cet.txt", [], 5,
     " 2000    5 -999 -999 -999 -999 -999 -999 -999 -999 -999 -999 -999  abc", "expected whole numbers"),
    ("station6: five values", "station6.txt", ["--column", "tmax"], 2, "2000\t4\t29\t4.6\t14.0", "expected six values"),
    ("station6: a value on 31 April", "station6.txt", ["--column", "tmax"], 4, "2000\t4\t31\t0.0\t12.0\t1.0",
     "impossible date 2000-04-31"),
    ("table: a bad date", "table_na.csv", [], 4, "2000-03-0x,4.75", "expected a date"),
    ("table: a word for a value", "table_na.csv", [], 4, "2000-03-01,warm",
     "expected a number or a missing marker"),
    ("table: a date out of order", "table_na.csv", [], 5, "2000-02-27,1.0",
     "2000-02-27 comes after 2000-03-01 (line 4)"),
    ("vorda: t with a decimal point", "vorda.txt", [], 3, "3.0 29 2 2000 0.0", "expected whole numbers for t d m yr"),
    ("vorda: 31 April", "vorda.txt", [], 2, "2 31 4 2000 1.0", "value 1.0 on impossible date 2000-04-31"),
    ("vorda: a year of five digits", "vorda.txt", [], 2, "2 28 2 10000 1.0",
     "value 1.0 on impossible date 10000-02-28"),
    ("vorda: t left out", "vorda.txt", [], 4, " 1 3 2000 5.7", "expected five values t d m yr x, found 4"),
    ("vorda: a duplicated date, the first problem named", "vorda.txt", [], 2, "2 27 2 2000 1.0",
     "2000-02-27 also on line 1"),
]


@pytest.mark.parametrize("name,sample,options,line,text,words", MALFORMED, ids=[m[0] for m in MALFORMED])
def test_malformed_line_is_named_by_file_and_line(kit, tmp_path, name, sample, options, line, text, words):
    lines = (DATA / sample).read_text().splitlines()
    lines[line - 1] = text
    src = tmp_path / ("in-" + sample)
    src.write_text("\n".join(lines) + "\n")
    out = tmp_path / "out"
    out.mkdir()
    r = kit("convert", src, out / "series.txt", *options, cwd=tmp_path)
    assert r.returncode == 2
    assert f"{src}:{line}: " in r.stderr and words in r.stderr, r.stderr
    assert list(out.iterdir()) == []
    q = kit("qc", src, *options, cwd=tmp_path)
    assert q.returncode == 2
    assert f"line {line}: " in q.stdout and words in q.stdout, q.stdout


def test_input_named_as_target_is_left_alone(kit, tmp_path):
    src = tmp_path / "series.txt"
    src.write_bytes((DATA / "vorda.txt").read_bytes())
    r = kit("convert", src, "./series.txt", "--months", "3", cwd=tmp_path)
    assert r.returncode == 2 and "never overwritten" in r.stderr
    assert src.read_bytes() == (DATA / "vorda.txt").read_bytes()


def test_filled_days_listed_beside_the_output(kit, tmp_path):
    r = kit("convert", DATA / "eca_tx_markers.txt", "out.txt", "--fill", "2", cwd=tmp_path)
    assert r.returncode == 0 and "out-filled.csv" in r.stderr
    assert (tmp_path / "out-filled.csv").read_text() == "date,value\n2000-01-02,-32.6\n2000-01-03,-66.3\n"
