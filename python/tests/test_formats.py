"""Readers on damaged files: a KitError naming the file, or findings from qc; never a crash."""

import random

import pytest

from conftest import DATA
from vordakit import convert, qc
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
