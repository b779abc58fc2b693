"""Shared fixtures: the package on the path, the built vorda, the repository's folders."""

import functools
import os
import pathlib
import sys
import tempfile

import hypothesis.configuration
import pytest

import runkit

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]
REPO = PYTHON_DIR.parent
DATA = pathlib.Path(__file__).resolve().parent / "data"

SHARED_DATA = pathlib.Path(os.environ.get("VORDA_SHARED_DATA") or REPO.parent / "shared" / "data")

# The tests run from the repository root under CTest; import the package from the tree.
if str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))

# Hypothesis keeps a cache in its home folder, by default in the working
# directory: keep the tree clean.
hypothesis.configuration.set_hypothesis_home_dir(
    os.path.join(tempfile.gettempdir(), f"vordakit-hypothesis-{os.getuid()}"))


def damaged_text(lines, rng, pieces):
    """The lines of a file with one to three of them damaged at a random place (a few
    characters cut, a few of ``pieces`` put in), as one text; ``rng`` a random.Random."""
    damaged = list(lines)
    for _ in range(rng.randint(1, 3)):
        k = rng.randrange(len(damaged))
        cut = rng.randrange(len(damaged[k]) + 1)
        damaged[k] = (damaged[k][:cut] + "".join(rng.choices(pieces, k=rng.randint(1, 3)))
                      + damaged[k][cut + rng.randint(0, 6):])
    return "\n".join(damaged) + "\n"


def find_vorda():
    """The built program: env VORDA (set by CTest), else the build tree; None if not built."""
    env = os.environ.get("VORDA")
    if env:
        return pathlib.Path(env)
    for preset in ("release", "test"):
        exe = REPO / "build" / preset / "vorda"
        if exe.is_file() and os.access(exe, os.X_OK):
            return exe
    return None


@pytest.fixture(scope="session")
def vorda():
    exe = find_vorda()
    if exe is None:
        pytest.skip("vorda is not built: run `cmake --workflow --preset test` or set VORDA")
    if not exe.is_file():
        pytest.fail(f"VORDA={exe} does not exist")
    return exe


@pytest.fixture(scope="session")
def data_dir():
    return DATA


@pytest.fixture(scope="session")
def shared_data():
    if not SHARED_DATA.is_dir():
        pytest.skip(f"real series not present at {SHARED_DATA}")
    return SHARED_DATA


@pytest.fixture
def kit():
    """The toolkit run as a process, as ``runkit.kit`` runs it, its output as text."""
    return functools.partial(runkit.kit, text=True)


@pytest.fixture(scope="session")
def lib():
    """The binding vordakit._vorda; a failure where CTest says it is built, else a skip."""
    try:
        from vordakit import _vorda
    except ImportError as e:
        if os.environ.get("VORDA_BINDING_DIR"):
            pytest.fail(f"the binding does not load from {os.environ['VORDA_BINDING_DIR']}: {e}")
        pytest.skip(f"the binding is not built: {e}")
    return _vorda
