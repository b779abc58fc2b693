"""vordakit run: the same result files as the dialogue, failures passed through, the program found."""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

from runkit import EXAMPLE, PYTHON_DIR, dialogue, kit, records, tree
from vordakit import notes, runner, thresholds
from vordakit.errors import KitError

BAD_X = "1 1 1 2000 1.5\n2 2 1 2000 x\n"
SHORT = "1 1 1 2000 1.5\n"


@pytest.mark.parametrize("name,typed,kind,threshold,durmin", [
    ("series.txt", "series.txt", "u", "18.0", "3"),
    ("series.txt", "series.txt", "l", "-2", "2"),          # negative threshold typed without a point
    ("my series;1.txt", "'my series;1.txt'", "u", ".5", "1"),  # a name vorda must get delimited
    ("it's.txt", "it's.txt", "l", "0.0", "4"),
    ("series.txt", "series.txt", "l", "-2.5d-1", "2"),      # a negative argparse would take for an option
], ids=["upper", "lower-negative", "delimited-name", "apostrophe", "negative-with-exponent"])
def test_run_matches_dialogue(vorda, tmp_path, name, typed, kind, threshold, durmin):
    by_hand = dialogue(vorda, tmp_path / "dialogue", [typed, records(EXAMPLE), kind, threshold, durmin],
                       EXAMPLE, name)
    assert by_hand.returncode == 0, by_hand.stderr
    proc = kit("run", EXAMPLE, "--name", name, "-t", kind, "-x", threshold, "-d", durmin,
               "-o", tmp_path / "kit", vorda=vorda)
    assert proc.returncode == 0, proc.stderr
    expected = tree(tmp_path / "dialogue")
    assert len(expected) == 5
    assert tree(tmp_path / "kit") == expected
    assert proc.stdout.decode().splitlines() == [str(tmp_path / "kit" / n) for n in sorted(expected)]
    # Nothing but the result files and the notes of their input and run: no link, no working folder.
    assert sorted(os.listdir(tmp_path / "kit")) == sorted(expected) + ["inputs.csv", "runs.csv"]
    assert notes.input_of(tmp_path / "kit", name) == str(EXAMPLE)


@pytest.mark.parametrize("content,size", [
    (None, None),        # no such file
    (BAD_X, None),       # a value vorda cannot read
    (SHORT, 3),          # fewer records than the size given
], ids=["missing", "bad-value", "short"])
def test_failure_passes_through(vorda, tmp_path, content, size):
    src = tmp_path / "in" / "data.txt"
    src.parent.mkdir()
    if content is not None:
        src.write_text(content)
    n = size if size is not None else (records(src) if content else 0)
    answers = ["data.txt", n, "u", "1.0", "2"]
    by_hand = dialogue(vorda, tmp_path / "in", answers)
    extra = ["--size", size] if size is not None else []
    proc = kit("run", src, "-t", "upper", "-x", "1.0", "-d", "2", "-o", tmp_path / "out", *extra, vorda=vorda)
    assert by_hand.returncode == 2
    assert (proc.returncode, proc.stderr) == (2, by_hand.stderr)
    assert os.listdir(tmp_path / "out") == []


def test_vorda_not_found(tmp_path, monkeypatch):
    monkeypatch.setenv("VORDA", str(tmp_path / "nowhere" / "vorda"))
    with pytest.raises(KitError, match="no such program"):
        runner.find_vorda()
    monkeypatch.delenv("VORDA")
    monkeypatch.setattr(runner, "BUILD_TREES", ())
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(KitError, match="cannot find the vorda program: give --vorda PATH or set VORDA"):
        runner.find_vorda()


def test_vorda_beside_the_command_comes_first(tmp_path, monkeypatch):
    (tmp_path / "bin").mkdir()
    for name in ("vorda", "vordakit"):
        (tmp_path / "bin" / name).write_text("#!/bin/sh\n")
        (tmp_path / "bin" / name).chmod(0o755)
    monkeypatch.setenv("VORDA", str(tmp_path / "nowhere"))
    monkeypatch.setattr(runner.sys, "argv", [str(tmp_path / "bin" / "vordakit")])
    assert runner.find_vorda() == str(tmp_path / "bin" / "vorda")


def test_vorda_not_found_names_only_places_that_exist(tmp_path, monkeypatch):
    # An installed package: no source checkout around it, no vorda beside the command.
    (tmp_path / "bin").mkdir()
    monkeypatch.delenv("VORDA", raising=False)
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    monkeypatch.setattr(runner, "_REPO", str(tmp_path / "lib"))
    monkeypatch.setattr(runner.sys, "argv", [str(tmp_path / "bin" / "vordakit")])
    with pytest.raises(KitError) as e:
        runner.find_vorda()
    assert str(tmp_path / "lib") not in str(e.value)
    assert f"beside vordakit in {tmp_path / 'bin'}" in str(e.value)


@pytest.mark.parametrize("check,value,ok", [
    (thresholds.threshold_text, "18.0", True),
    (thresholds.threshold_text, "-.5", True),
    (thresholds.threshold_text, "2.5e1", True),
    (thresholds.threshold_text, "1_0", False),   # float() takes it, vorda does not
    (thresholds.threshold_text, "inf", False),
    (thresholds.threshold_text, "1e999", False),  # vorda would read infinity
    (thresholds.threshold_text, "-1d400", False),
    (thresholds.threshold_text, "1e300", True),
    (thresholds.threshold_text, "", False),
    (thresholds.duration_text, "3", True),
    (thresholds.duration_text, "3.0", False),
    (thresholds.duration_text, "2147483648", False),
    (thresholds.type_letter, "lower", True),
    (thresholds.type_letter, "x", False),
])
def test_answers_checked_before_vorda_runs(check, value, ok):
    if ok:
        check(value)
    else:
        with pytest.raises(KitError):
            check(value)


@pytest.mark.parametrize("content,count", [
    (b"1 1 1 2000 1\n2 2 1 2000 2\n", 2),
    (b"1 1 1 2000 1\r\n2 2 1 2000 2", 2),         # CR LF, no final line end
    (b"\n1 1 1 2000 1\n   \n\t\n2 2 1 2000 2\n\n", 2),  # blank lines are no records
    (b"", 0),
])
def test_count_records(tmp_path, content, count):
    path = tmp_path / "in.txt"
    path.write_bytes(content)
    assert runner.count_records(path) == count


@pytest.mark.parametrize("content", ["", "\n  \n"], ids=["empty", "blank-lines"])
def test_run_refuses_an_input_without_records(vorda, tmp_path, content):
    src = tmp_path / "empty.txt"
    src.write_text(content)
    proc = kit("run", src, "-t", "upper", "-x", "1.0", "-d", "2", "-o", tmp_path / "out", vorda=vorda, text=True)
    assert proc.returncode == 2
    assert proc.stderr.strip() == f"vordakit run: {src}: holds no records: nothing to analyse"
    assert not any((tmp_path / "out").glob("VORDA*"))


def test_run_writes_through_a_link_as_vorda_does(vorda, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    short = out / "VORDAshort-series.txt-upper-18.0-durmin-3.dat"
    short.symlink_to(os.devnull)
    proc = kit("run", EXAMPLE, "-t", "u", "-x", "18.0", "-d", "3", "-o", out, vorda=vorda)
    assert proc.returncode == 0, proc.stderr
    assert short.is_symlink() and os.readlink(short) == os.devnull
    assert len(tree(out)) == 5


def test_messages_a_user_meets(vorda, tmp_path):
    """Help text as written, and a closed pipe ends quietly."""
    help_text = " ".join(kit("trend", "--help", text=True).stdout.split())
    assert "95% bounds" in help_text and "%%" not in help_text
    env_read, env_write = os.pipe()
    os.close(env_read)  # the reader has gone, as after `| head -1` has read its line
    proc = subprocess.run([sys.executable, "-m", "vordakit", "run", str(EXAMPLE), "-t", "u", "-x", "18.0",
                           "-d", "3", "-o", str(tmp_path / "out")],
                          env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR), VORDA=str(vorda)),
                          stdout=env_write, stderr=subprocess.PIPE, timeout=120)
    os.close(env_write)
    assert proc.stderr == b""


def test_run_on_a_station_file_suggests_convert(vorda, tmp_path):
    src = tmp_path / "station.csv"
    src.write_text("date,tg\n2001-01-01,3.5\n2001-01-02,4.0\n")
    proc = kit("run", src, "-t", "u", "-x", "1.0", "-d", "2", "-o", tmp_path / "out", vorda=vorda, text=True)
    assert proc.returncode == 2
    assert proc.stderr.splitlines()[-1].endswith(f"vordakit convert {src} series.txt")


@pytest.mark.parametrize("program,threshold,status,said", [
    ("#!/bin/sh\necho 'half a report' >&2\nkill -9 $$\n", "1.0", 137,
     "vordakit run: vorda was killed by signal 9 (SIGKILL)"),
    (None, "16.25", 0, "vordakit run: warning: threshold 16.25 appears as 16.3 in the result names"),
], ids=["killed", "threshold-shown-rounded"])
def test_run_says_what_the_names_and_the_status_hide(vorda, tmp_path, program, threshold, status, said):
    if program is not None:
        vorda = tmp_path / "killed-vorda"
        vorda.write_text(program)
        vorda.chmod(0o755)
    proc = kit("run", EXAMPLE, "-t", "u", "-x", threshold, "-d", "3", "-o", tmp_path / "out", "--engine", "process",
               vorda=vorda, text=True)
    assert proc.returncode == status
    assert any(line.startswith(said) for line in proc.stderr.splitlines()), proc.stderr


RUNS_HEADER = b"input,type,threshold,min_duration,threshold_used\n"


@pytest.mark.parametrize("note,content,where,said,engine", [
    ("runs.csv", b"\xff\n", "", "not UTF-8 text", "process"),
    ("runs.csv", b"input,type,threshold,min_duration\nseries.txt,upper,18.0,3\n", ":1", "expected the header",
     "library"),
    ("runs.csv", RUNS_HEADER + b"series.txt,upper,18.0,3,25.0\n", ":2",
     "threshold_used '25.0' does not show as the threshold '18.0'", "process"),
    ("runs.csv", RUNS_HEADER + b"series.txt,upper,18.0,3,18.0\nseries.txt,upper,inf,3,inf\n", ":3",
     "threshold_used 'inf' does not show", "library"),
    ("runs.csv", RUNS_HEADER + b"series.txt,upper,18.0,3,18.0\nseries.txt,upper,18.0,3,18.04\n", ":3",
     "the same run as line 2", "process"),
    ("inputs.csv", None, "", "cannot be read: Is a directory", "process"),
], ids=["not-utf8", "other-header", "used-shows-otherwise", "used-infinite", "twice", "a-folder"])
def test_a_note_it_cannot_read_is_refused_not_replaced(vorda, tmp_path, note, content, where, said, engine):
    # A run would otherwise write the note anew without the rows it could not read.
    out = tmp_path / "out"
    assert kit("run", EXAMPLE, "-t", "u", "-x", "18.0", "-d", "3", "-o", out, vorda=vorda).returncode == 0
    path = out / note
    path.unlink()
    path.mkdir() if content is None else path.write_bytes(content)
    for command in (("run", EXAMPLE, "-t", "u", "-x", "19.0", "-d", "3", "-o", out, "--engine", engine),
                    ("tidy", out)):
        proc = kit(*command, vorda=vorda, text=True)
        assert proc.returncode == 2 and proc.stderr.startswith(f"vordakit {command[0]}: {path}{where}: {said}"), \
            proc.stderr
        assert proc.stderr.count("\n") == 1
    assert content is None or path.read_bytes() == content
    assert not list(out.glob("*19.0*"))


@pytest.mark.parametrize("engine", ["process", "library"])
def test_a_result_folder_it_cannot_write_is_named(vorda, tmp_path, engine):
    """Named as given, never as the hidden working folder inside it; as root, run as nobody."""
    user = None
    if os.geteuid() == 0:
        import stat
        user = "nobody"
        needed = [vorda, EXAMPLE, PYTHON_DIR / "vordakit" / "cli.py"]
        if not all(p.stat().st_mode & stat.S_IROTH and all(d.stat().st_mode & stat.S_IXOTH for d in p.parents)
                   for p in map(pathlib.Path, needed)):
            pytest.skip("nobody cannot read the program and the toolkit here")
        tmp_path = pathlib.Path(tempfile.mkdtemp())
        tmp_path.chmod(0o755)
    try:
        out = tmp_path / "out"
        out.mkdir(mode=0o555)
        proc = subprocess.run([sys.executable, "-m", "vordakit", "run", str(EXAMPLE), "-t", "u", "-x", "18.0",
                               "-d", "3", "-o", str(out), "--engine", engine],
                              env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR), VORDA=str(vorda),
                                       PYTHONDONTWRITEBYTECODE="1"),
                              user=user, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        assert (proc.returncode, proc.stderr) == (2, f"vordakit run: {out}: Permission denied\n")
    finally:
        if user:
            shutil.rmtree(tmp_path)


@pytest.mark.parametrize("engine", ["process", "library"])
def test_a_folder_where_a_result_file_goes_places_none(vorda, tmp_path, engine):
    # The run's files land all together or not at all, and the hidden working folder is never named.
    out = tmp_path / "out"
    folder = out / "VORDA-WSDI-series.txt-upper-18.0-durmin-3.dat"
    folder.mkdir(parents=True)
    proc = kit("run", EXAMPLE, "-t", "u", "-x", "18.0", "-d", "3", "-o", out, "--engine", engine, vorda=vorda,
               text=True)
    assert (proc.returncode, proc.stderr) == (2, f"vordakit run: {folder}: is a folder, where a result file of "
                                                 "the run should go; nothing was placed\n")
    assert os.listdir(out) == [folder.name]


def _with_marker(tmp_path):
    """The example series with a -999 left in on line 5."""
    lines = EXAMPLE.read_text().splitlines(keepends=True)
    lines[4] = "5 5 1 2001 -999\n"
    (tmp_path / "q.txt").write_text("".join(lines))
    return tmp_path / "q.txt"


# (case, options after the input, the one line said after "vordakit run: ")
REFUSED = [
    ("marker", ["-t", "l", "-x", "0", "-d", "1"], "{q}:5: missing-value marker -999 left in: vorda would analyse it"),
    ("negative-duration", ["-t", "l", "-x", "0", "-d", "-2", "--unchecked"], "minimum duration '-2' is below 0"),
    ("negative-duration-percentile", ["-t", "u", "--percentile", "90", "--base", "2001-2002", "-d", "-2"],
     "minimum duration '-2' is below 0"),
    ("base-without-percentile", ["-t", "u", "-x", "18", "-d", "3", "--base", "2001-2002"],
     "--base and --bootstrap go with --percentile"),
    ("unchecked-percentile", ["-t", "u", "--percentile", "90", "--base", "2001-2002", "-d", "3", "--unchecked"],
     "--unchecked goes with --threshold"),
]


@pytest.mark.parametrize("options,said", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_run_refuses_before_writing(vorda, tmp_path, options, said):
    q = _with_marker(tmp_path)
    proc = kit("run", q, *options, "-o", tmp_path / "out", vorda=vorda, text=True)
    assert proc.returncode == 2
    assert proc.stderr.count("\n") == 1 and proc.stderr.startswith("vordakit run: " + said.format(q=q)), proc.stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("engine", ["library", "process"])
def test_unchecked_passes_a_marker_to_vorda(vorda, tmp_path, engine, lib):
    q = _with_marker(tmp_path)
    assert dialogue(vorda, tmp_path / "dialogue", ["q.txt", records(q), "l", "0", "1"], q, "q.txt").returncode == 0
    proc = kit("run", q, "-t", "l", "-x", "0", "-d", "1", "--unchecked", "--engine", engine, "-o", tmp_path / "out",
               vorda=vorda)
    assert proc.returncode == 0, proc.stderr
    assert tree(tmp_path / "out") == tree(tmp_path / "dialogue")
