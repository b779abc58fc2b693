"""The progress bars of batch and grid, on a terminal as a user sees them: how far, the failures
so far and the time left."""

import os
import pty
import subprocess
import sys

import numpy as np
import pytest
import xarray as xr

import runkit
from runkit import EXAMPLE


def on_terminal(args, cwd, vorda=None):
    """The standard error of ``vordakit ARGS`` run with a terminal as its standard error."""
    env = dict(os.environ, PYTHONPATH=str(runkit.PYTHON_DIR), PYTHONDONTWRITEBYTECODE="1")
    if vorda is not None:
        env["VORDA"] = str(vorda)
    main, other = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "vordakit", *map(str, args)], cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=other)
    os.close(other)
    seen = b""
    while True:
        try:
            part = os.read(main, 4096)
        except OSError:   # the other end closed
            break
        if not part:
            break
        seen += part
    os.close(main)
    proc.wait(timeout=300)
    return seen.decode()


def states(text):
    """The bar's successive states (the lines it redraws with a carriage return)."""
    drawn = (s.strip().splitlines()[0] for s in text.replace("\r\n", "\n").split("\r") if s.strip())
    return [s for s in drawn if s.startswith("[")]


def test_batch_bar_counts_the_failed_stations_and_says_the_time_left(vorda, tmp_path):
    (tmp_path / "bad.txt").write_text("1 1 1 2000 1.5\n2 2 1 2000 x\n")
    (tmp_path / "s.tsv").write_text("file\tname\ttype\tthreshold\tmin_duration\n" + "".join(
        f"{f}\t{n}\tupper\t18.0\t3\n" for f, n in ((EXAMPLE, "a"), ("bad.txt", "b"), (EXAMPLE, "c"))))
    seen = states(on_terminal(["batch", "s.tsv", "-o", "out", "--no-plots", "-j", "1"], tmp_path, vorda))
    assert [s.split("] ")[1].split(",")[:2] for s in seen] == [
        ["1/3 stations", " 0 failed"], ["2/3 stations", " 1 failed"], ["3/3 stations", " 1 failed"]]
    assert [s.endswith(" left") for s in seen] == [True, True, False]


@pytest.mark.usefixtures("lib")
def test_grid_bar_counts_the_cells_with_gaps_and_says_the_time_left(tmp_path):
    x = np.full((3 * 365, 3, 2), 15.0, np.float32)
    x[100:103, 0, 0] = x[200, 2, 1] = np.nan
    time = xr.Variable("time", np.arange(3 * 365), {"units": "days since 2001-01-01"})
    xr.Dataset({"tg": (("time", "lat", "lon"), x, {"units": "degC"})}, {"time": time}).to_netcdf(tmp_path / "in.nc")
    seen = states(on_terminal(["grid", "in.nc", "-t", "u", "-x", "20", "-d", "3", "-o", "out.nc", "--chunks",
                               "lat=1", "-j", "1"], tmp_path))
    # Redrawn every second too, as the time goes on: each count once.
    done = list(dict.fromkeys(tuple(s.split("] ")[1].split(",")[:2]) for s in seen if "0/3" not in s))
    assert done == [("1/3 chunks", " 1 cells with gaps"), ("2/3 chunks", " 1 cells with gaps"),
                    ("3/3 chunks", " 2 cells with gaps")]
    assert seen[-1].endswith(" s") and all(s.endswith(" left") for s in seen if "1/3" in s or "2/3" in s)
