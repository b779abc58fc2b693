"""Readers on damaged files: a KitError naming the file, or findings from qc; never a crash."""

import random

import pytest

from conftest import DATA
from vordakit import convert, qc
from vordakit.formats import vorda
from vordakit.errors import KitError

SAMPLES = [("eca_tg.txt", "eca", {}), ("ghcn.dly", "ghcn", {"element": "TMAX"}), ("cet.txt", "cet", {}),
           ("station6.txt", "station6", {"column": "tmax"}), ("table_na.csv", "table", {}),
           ("vorda.txt", "vorda", {})]
PIECES = ["", " ", ",", ";", "\t", "-", ".", "e", "9", "-9999", "-999", "99999999999999999999", "1e999", "nan",
          "0.5", "\x00", "\ufeff", "é", "\r", "\"", "31", "02", "TMAX", "STAID, SOUID, DATE, TG, Q_TG"]


@pytest.mark.parametrize("sample,layout,opts", SAMPLES, ids=[s[0] for s in SAMPLES])
def test_damaged_file_gives_a_clear_error_or_findings(tmp_path, sample, layout, opts):
    rng = random.Random(sample)
    lines = (DATA / sample).read_text().splitlines()
    src = tmp_path / sample
    dst = tmp_path / "out.txt"
    for _ in range(100):
        damaged = list(lines)
        for _ in range(rng.randint(1, 3)):
            k = rng.randrange(len(damaged))
            cut = rng.randrange(len(damaged[k]) + 1)
            damaged[k] = damaged[k][:cut] + "".join(rng.choices(PIECES, k=rng.randint(1, 3))) + damaged[k][cut + rng.randint(0, 6):]
        src.write_text("\n".join(damaged) + "\n")
        for fmt in (None, layout):
            try:
                convert.convert_file(src, dst, fmt=fmt, policy="fill", max_fill=400, **opts)
            except KitError as e:
                assert str(e).startswith(str(src)) and e.reason
            try:
                qc.check_file(src, fmt=fmt, **opts)
            except KitError as e:
                assert str(e).startswith(str(src)) and e.reason
    assert [p.name for p in tmp_path.iterdir() if p.name not in (sample, "out.txt")] == []


# (name, VORDA file in the plain layout that is read as a whole rather than line by line)
PLAIN = [
    ("signs, points, markers, leap day", "1 28 2 2000 -0.0\n2 29 2 2000 .5\n3 1 3 2000 -999\n4 2 3 2000 7.\n"
                                         "5 3 3 2000 -12.25\n6 4 3 2000 -99.90\n"),
    ("precipitation: whole numbers, 7 places, 8 digits", "1 31 12 1999 0\n2 1 1 2000 0\n3 2 1 2000 .0000001\n"
                                                         "4 3 1 2000 12345678\n5 4 1 2000 0\n"),
    ("t of 8 digits, a year before 1000, a gap", "99999998 1 1 999 1.5\n99999999 3 1 999 -9999\n"),
    ("no line end at the end", "1 31 1 2000 1.5\n2 1 2 2000 -3"),
]


@pytest.mark.parametrize("name,text", PLAIN, ids=[p[0] for p in PLAIN])
def test_plain_file_reads_as_line_by_line(tmp_path, name, text):
    src = tmp_path / "plain.txt"
    src.write_text(text)
    fast = vorda.read_plain(src)
    assert fast is not None
    slow = vorda.read_lines(src)
    assert [repr(x) for x in fast.values] == [repr(x) for x in slow.values]
    def fields(s):
        return s.dates, s.t.tolist(), s.line.tolist(), s.decimals, s.kind
    assert fields(fast) == fields(slow)
