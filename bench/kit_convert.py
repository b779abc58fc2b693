#!/usr/bin/python3
"""Times vordakit convert and qc on 100000 days (best of five, in one process).

    /usr/bin/python3 bench/kit_convert.py

Writes a synthetic ECA&D station file of 100000 days (about 274 years) to a
temporary folder, converts it to a VORDA input file and checks it. Also
checks the real daily series in ../shared/data when it is there.
"""

import datetime
import math
import os
import pathlib
import random
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "python"))

from vordakit import convert, qc  # noqa: E402

DAYS = 100000
RUNS = 5


def best(f):
    """Shortest wall time of RUNS runs (the CPU time of that run goes to CPU)."""
    runs = []
    for _ in range(RUNS):
        t0, c0 = time.perf_counter(), time.process_time()
        f()
        runs.append((time.perf_counter() - t0, time.process_time() - c0))
    wall, cpu = min(runs)
    CPU.append(cpu)
    return wall


CPU = []


def main():
    rng = random.Random(1)
    first = datetime.date(1750, 1, 1)
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "station.txt")
        table = os.path.join(tmp, "station.csv")
        dst = os.path.join(tmp, "series.txt")
        with open(src, "w") as f, open(table, "w") as g:
            f.write("ECA&D benchmark station\n\nSTAID, SOUID,    DATE,   TG, Q_TG\n")
            g.write("date,tg\n")
            for i in range(DAYS):
                d = first + datetime.timedelta(days=i)
                x = round(100 - 80 * math.cos(2 * math.pi * i / 365.25) + rng.gauss(0, 25))
                f.write(f"    1,  101,{d:%Y%m%d},{x:5d},    0\n")
                g.write(f"{d},{x / 10:.1f}\n")
        n = convert.convert_file(src, dst)
        assert n == DAYS, n
        t_convert = best(lambda: convert.convert_file(src, dst))
        t_table = best(lambda: convert.convert_file(table, dst))
        t_qc_station = best(lambda: qc.check_file(src))
        t_qc_vorda = best(lambda: qc.check_file(dst))
    print(f"convert, ECA&D file -> VORDA input, {DAYS} days: {t_convert * 1000:6.0f} ms")
    print(f"convert, CSV table -> VORDA input, {DAYS} days:   {t_table * 1000:6.0f} ms")
    print(f"qc of the ECA&D file, {DAYS} days:                {t_qc_station * 1000:6.0f} ms")
    print(f"qc of the VORDA input, {DAYS} days:               {t_qc_vorda * 1000:6.0f} ms")
    print(f"convert + qc:                                     {(t_convert + t_qc_vorda) * 1000:6.0f} ms")
    print(f"(CPU time of the runs above: {', '.join(f'{c * 1000:.0f}' for c in CPU)} ms; "
          f"load average {os.getloadavg()[0]:.1f})")
    real = pathlib.Path(os.environ.get("VORDA_SHARED_DATA") or REPO.parent / "shared" / "data") / "cet-daily-mean.txt"
    if real.exists():
        t = best(lambda: qc.check_file(real))
        print(f"qc of {real.name} ({sum(1 for _ in open(real))} days):     {t * 1000:6.0f} ms")


if __name__ == "__main__":
    main()
