"""Running the toolkit and vorda as processes, as a user does."""

import os
import pathlib
import shutil
import subprocess
import sys

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]
EXAMPLE = PYTHON_DIR.parent / "example" / "series.txt"


def kit(*args, vorda=None, cwd=None, text=False, timeout=300):
    """``python3 -m vordakit ARGS`` as a user runs it, from anywhere, with the tree's package;
    returns the CompletedProcess (its output as bytes, or with ``text`` as str)."""
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), PYTHONDONTWRITEBYTECODE="1")
    if vorda is not None:
        env["VORDA"] = str(vorda)
    return subprocess.run([sys.executable, "-m", "vordakit", *map(str, args)], cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=text, timeout=timeout)


def dialogue(vorda, folder, answers, source=None, name=None):
    """A dialogue run in ``folder``: the input copied in as ``name``, the answers typed one a line."""
    folder.mkdir(parents=True, exist_ok=True)
    if source is not None:
        shutil.copyfile(source, folder / name)
    text = "".join(f"{a}\n" for a in answers)
    return subprocess.run([str(vorda)], input=text.encode(), cwd=folder, capture_output=True, timeout=60)


def records(source):
    return sum(1 for line in open(source, "rb") if line.strip())


def vorda_results(vorda, source, folder, kind, threshold, durmin, name="series.txt"):
    """Run vorda through its dialogue on ``source`` and return ``folder`` with its result files."""
    proc = dialogue(vorda, folder, [name, records(source), kind, threshold, durmin], source, name)
    assert proc.returncode == 0, proc.stderr
    return folder


def tree(folder, pattern="VORDA*.dat"):
    """{file name: bytes} of the files matching ``pattern``."""
    return {p.name: p.read_bytes() for p in sorted(pathlib.Path(folder).glob(pattern))}
