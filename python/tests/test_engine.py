"""The two engines give the same files, and the tables made from the arrays are those read from the files."""

import numpy as np
import pytest

from conftest import DATA
from runkit import EXAMPLE, kit
from vordakit import engine, model, qc, results
from vordakit.runner import run_vorda
from vordakit.errors import KitError


def lines(t, d, m, yr, x):
    return "".join(f"{a} {b} {c} {e} {v}\n" for a, b, c, e, v in zip(t, d, m, yr, x))


def seasonal(n, first_year, per_year=365, amplitude=10.0, offset=0.0):
    i = np.arange(n)
    x = np.round(offset + amplitude * np.sin(i / 58.0) + 3 * np.sin(i * 1.7), 1)
    return i + 1, i % 28 + 1, i // 28 % 12 + 1, first_year + i // per_year, [f"{v:.1f}" for v in x]


INPUTS = [  # name, columns of the input file, runs (type, threshold, min_duration)
    ("ordinary years", seasonal(1500, 1990), [("upper", "5.0", "3"), ("lower", "-5", "2")]),
    ("years that do not fit and the unset year", seasonal(900, 9998, per_year=200),
     [("upper", "0.5", "1"), ("lower", "0.0", "0")]),
    ("the unset year first", seasonal(400, -999, per_year=150), [("lower", "1.0", "1")]),
    ("action measures that do not fit", seasonal(800, 2000, amplitude=9e9), [("upper", "0", "1")]),
    ("no events", seasonal(300, 2000), [("upper", "99", "3"), ("lower", "-99", "1")]),
    ("counts that do not fit", seasonal(3000, 2000, per_year=1500, amplitude=0.1, offset=5),
     [("upper", "1", "1")]),
    # Sixteenths are exact: an action measure of 0.0625 lies halfway between two thousandths.
    ("action measures halfway between thousandths", seasonal(400, 2000)[:4] + (
        [f"{(k % 7) / 16 - 0.125 * (k % 3 == 0):.4f}" for k in range(400)],),
     [("upper", "0", "1"), ("lower", "0", "1")]),
]


@pytest.mark.parametrize("name,columns,runs", INPUTS, ids=[i[0] for i in INPUTS])
def test_engines_agree(lib, vorda, tmp_path, name, columns, runs):
    src = tmp_path / "in.txt"
    src.write_text(lines(*columns))
    done = {}
    for which in engine.ENGINES:
        folder = tmp_path / which
        with engine.runs(which, str(vorda), str(src), str(folder), name="s.txt") as r:
            done[which] = [r.run(*run) for run in runs]
        assert all(x.status == 0 for x in done[which])
    files = {w: {p.name: p.read_bytes() for p in sorted((tmp_path / w).iterdir())} for w in engine.ENGINES}
    assert files["library"] == files["process"]
    folder = str(tmp_path / "library")
    names = [f.split("/")[-1] for x in done["library"] for f in x.files]
    read = results.read_results(folder, names=names)
    made = engine.results_of(done["library"], folder)
    assert (made.yearly, made.events, made.warnings) == (read.yearly, read.events, read.warnings)


SIZES = [None, 5, 100001, -3]
SIZE_NAMES = ["unreadable value", "more records than the file", "size above the store", "negative size"]


@pytest.mark.parametrize("size", SIZES, ids=SIZE_NAMES)
def test_odd_sizes_and_failed_reads_as_with_vorda(lib, vorda, tmp_path, size):
    src = tmp_path / "short.txt"
    src.write_text("1 1 1 2000 1.0\n2 2 1 2000 x\n" if size is None else "1 1 1 2000 1.0\n2 2 1 2000 3\n")
    outcomes = {}
    for which in engine.ENGINES:
        with engine.runs(which, str(vorda), str(src), str(tmp_path / which)) as r:
            res = r.run("upper", "0.5", "1", size)
        outcomes[which] = (res.status, res.report, [f.split("/")[-1] for f in res.files],
                           {p.name: p.read_bytes() for p in (tmp_path / which).iterdir()})
    assert outcomes["library"] == outcomes["process"]
    assert (outcomes["library"][0] == 2) == (size != -3)


def test_library_runs_on_a_series_in_memory(lib, vorda, tmp_path):
    columns = seasonal(500, 2000)
    src = tmp_path / "in.txt"
    src.write_text(lines(*columns))
    series = {k: np.asarray(v) for k, v in zip(("t", "d", "m", "yr"), columns[:4])}
    series["x"] = np.array([float(v) for v in columns[4]])
    with engine.LibraryRuns(str(tmp_path / "gone.txt"), str(tmp_path / "lib"), name="in.txt", series=series) as r:
        assert r.run("upper", "4", "2", size=500).status == 0
    res = run_vorda(vorda, src, "upper", "4", "2", tmp_path / "proc")
    assert {p.name: p.read_bytes() for p in (tmp_path / "lib").glob("VORDA*")} == \
        {p.name: p.read_bytes() for p in (tmp_path / "proc").glob("VORDA*")}
    assert res.status == 0


def tree(folder):
    """The files under ``folder`` by relative name, the folder's own path (in warnings) written OUT."""
    return {p.relative_to(folder).as_posix(): p.read_bytes().replace(bytes(folder), b"OUT")
            for p in sorted(folder.rglob("*")) if p.is_file()}


def test_batch_and_run_give_the_same_files_with_either_engine(lib, vorda, data_dir, tmp_path):
    (tmp_path / "stations.tsv").write_text(
        "file\tname\ttype\tthreshold\tmin_duration\tcolumn\tpercentile\tbase\n"
        f"{EXAMPLE}\texample\tupper\t18.0\t3\t\t\t\n"
        f"{EXAMPLE}\texample\tlower\t2.0\t3\t\t\t\n"
        f"{EXAMPLE}\texample\tupper\t\t3\t\t90\t2001-2005\n"
        f"{data_dir / 'eca_tg.txt'}\teca\tlower\t0.5\t1\t\t\t\n"
        f"{data_dir / 'station6.txt'}\tsix\tupper\t12.0\t1\ttmax\t\t\n")
    outs = {}
    for which in engine.ENGINES:
        out = tmp_path / which
        # The library needs no vorda for files it reads.
        program = vorda if which == "process" else tmp_path / "no-vorda"
        proc = kit("batch", tmp_path / "stations.tsv", "-o", out / "batch", "-j", 1, "--no-plots",
                   "--engine", which, vorda=program)
        assert proc.returncode == 0, proc.stderr
        proc = kit("run", EXAMPLE, "-t", "lower", "-x", "1.5", "-d", "2", "-o", out / "run", "--engine", which,
                   vorda=program)
        assert proc.returncode == 0, proc.stderr
        pct = kit("run", EXAMPLE, "-t", "lower", "--percentile", "10", "--base", "2003-2006", "-d", "2",
                  "-o", out / "run", "--engine", which, vorda=program)
        assert pct.returncode == 0, pct.stderr
        outs[which] = tree(out), (proc.stdout + pct.stdout).replace(bytes(out), b"OUT")
        assert outs[which][0]["batch/six/warnings.txt"].startswith(b"OUT/batch/six/")
    summary = "batch/summary.csv"
    for files, _ in outs.values():
        # The seconds a station took (the seventh column) differ from batch to batch.
        files[summary] = b"\n".join(b",".join(line.split(b",")[:6] + line.split(b",")[7:])
                                    for line in files[summary].split(b"\n"))
        for name in [n for n in files if n.endswith("/done.txt")]:
            files[name] = b"".join(line for line in files[name].splitlines(True) if not line.startswith(b"seconds "))
    assert outs["library"] == outs["process"]
    assert len(outs["library"][0]) > 30


@pytest.mark.parametrize("path", [EXAMPLE, DATA / "vorda.txt"], ids=["example", "test data"])
def test_a_checked_series_is_what_vorda_reads(lib, path):
    series, findings, _ = qc.analyse(str(path), "vorda")
    arrays = engine.series_arrays(series)
    assert arrays is not None
    read = lib.read_series(str(path), len(arrays["x"]))
    assert all(np.array_equal(arrays[k], read[k]) for k in read)


def test_the_process_when_the_binding_is_not_built(monkeypatch):
    monkeypatch.setattr(engine, "binding", lambda: None)
    assert engine.choose(None) == "process"
    with pytest.raises(KitError, match="not built"):
        engine.choose("library")


@pytest.mark.parametrize("width", [11, 14])
def test_reals_from_the_arrays_are_those_of_vorda_s_fields(lib, width):
    """The tables made from the arrays take each midpoint and action measure as vorda's
    field shows it: checked against the binding's own field on values at and near halves,
    at the edge of the field and beyond."""
    rng = np.random.default_rng(width)
    halves = (rng.integers(-10**9, 10**9, 2000) + 0.5) / 1000
    x = np.concatenate([halves, np.nextafter(halves, 0), np.nextafter(halves, np.inf),
                        rng.integers(-800, 800, 500) / 16, rng.normal(0, 10.0 ** rng.integers(-4, 12, 2000)),
                        [0.0, -0.0, -0.0004, 1e300, -1e-300],
                        [10.0 ** (width - 5) - 0.0005, -(10.0 ** (width - 6)) + 0.0004, 10.0 ** (width - 4)]])
    got = model.fixed_values(x, width)
    texts = lib.fixed(x.tolist(), width, 3)
    # repr: minus zero is written so, and so is its table cell.
    assert list(map(repr, got)) == [repr(t if t.startswith("*") else float(t)) for t in texts]
