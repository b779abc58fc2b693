"""Readers on damaged files: a KitError naming the file, or findings from qc; never a crash."""

import datetime
import os
import random

import hypothesis
import hypothesis.strategies as st
import pytest

from conftest import DATA, damaged_text
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
        src.write_text(damaged_text(lines, rng, PIECES))
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
    assert _fields(fast) == _fields(slow)


def _fields(s):
    return s.dates, [repr(x) for x in s.values], s.t.tolist(), s.line.tolist(), s.decimals, s.kind


# Files the converter writes, and files one keystroke away from them: both
# VORDA readers must give the same series, or the fast one must step aside
# for the careful one. Set VORDAKIT_EXPLORE=1 to draw new files on each run.
DIGITS = "0123456789"


@st.composite
def _number(draw):
    whole = draw(st.text(DIGITS, max_size=draw(st.sampled_from([3, 18]))))
    frac = draw(st.none() | st.text(DIGITS, max_size=draw(st.sampled_from([3, 18]))))
    text = draw(st.sampled_from(["", "-", "+"])) + (whole or "0") + ("" if frac is None else "." + frac)
    return text + draw(st.sampled_from(["", "", "e3", "E-2", "e+1"]))


@st.composite
def _long_number(draw):
    """Eight or nine characters after the sign, around the fast reader's limit."""
    size = draw(st.sampled_from([8, 9]))
    digits = draw(st.text(DIGITS, min_size=size, max_size=size))
    point = draw(st.integers(-1, size - 1))
    if point >= 0:
        digits = digits[:point] + "." + digits[point + 1:]
    return draw(st.sampled_from(["", "-"])) + digits


@st.composite
def _vorda_file(draw):
    """(text, whether it is in the plain layout)."""
    n = draw(st.integers(1, 12))
    first = draw(st.dates(datetime.date(1, 1, 1), datetime.date(9999, 12, 31 - n))
                 | st.dates(max_value=datetime.date(999, 1, 1)))
    t0 = draw(st.integers(1, 999) | st.integers(1, 10**8 - n))
    values = draw(st.lists(st.sampled_from(["0", "1.5", "-12.25", ".5", "7.", "-0.0", "12345678", "-999", "-99.90"])
                           | st.from_regex(r"\A-?[0-9]{1,4}\.[0-9]{1,3}\Z"), min_size=n, max_size=n))
    lines = [[str(t0 + i), str(d.day), str(d.month), str(d.year), values[i]]
             for i, d in enumerate(first + datetime.timedelta(days=i) for i in range(n))]
    ends = ["\n"] * n
    seps = [" "] * 4
    plain = not draw(st.booleans())
    # One kind of change, to one to three lines: a second kind would often
    # hide the first from the fast reader.
    change = draw(st.sampled_from(["t", "date", "sign", "sign", "value", "junk", "junk", "long", "end", "seps"]))
    junk = draw(st.sampled_from(["-", ".", "-.", "1.2.3", "--1", "1-2", "1e999", "nan"]))
    for _ in range(0 if plain else draw(st.integers(1, 3))):
        k, field = draw(st.integers(0, n - 1)), draw(st.integers(1, 3))
        if change == "t":
            lines[k][0] = str(draw(st.sampled_from([0, 10**8 - 1, 10**8, 2**31 - 1, 2**31])))
        elif change == "date":
            was = lines[k][field]
            lines[k][field] = draw(st.sampled_from(["0", "00", "32", "13", "10000", "0" + was, was + "."]))
        elif change == "sign":
            field = draw(st.sampled_from([0, 0, 1, 2, 3]))
            lines[k][field] = draw(st.sampled_from(["-", "-", "+"])) + lines[k][field]
        elif change == "value":
            lines[k][4] = draw(_number())
        elif change == "junk":
            lines[k][4] = junk
        elif change == "long":
            lines[k][4] = draw(_long_number())
        elif change == "end":
            ends[k] = draw(st.sampled_from(["\r\n", "\n\n", "\n \n", "\n\t\n"]))
        else:
            seps = draw(st.lists(st.sampled_from([" ", "  ", "\t", ",", " , "]), min_size=4, max_size=4))
    text = "".join(r[0] + "".join(s + f for s, f in zip(seps, r[1:])) + e for r, e in zip(lines, ends))
    if draw(st.booleans()):
        text = text.rstrip("\n")
    return text, plain


@hypothesis.settings(max_examples=200, deadline=None, database=None,
                     derandomize=not os.environ.get("VORDAKIT_EXPLORE"),
                     suppress_health_check=[hypothesis.HealthCheck.function_scoped_fixture])
@hypothesis.given(_vorda_file())
def test_fast_and_careful_vorda_readers_agree(tmp_path, drawn):
    text, plain = drawn
    src = tmp_path / "drawn.txt"
    src.write_bytes(text.encode())
    fast = vorda.read_plain(src)
    assert (fast is not None) or not plain, "a plain file left to the careful reader"
    try:
        slow = vorda.read_lines(src)
    except KitError:
        assert fast is None, "the fast reader took a file the careful one refuses"
        return
    if fast is not None:
        assert _fields(fast) == _fields(slow)
