"""batch: every good station finished, a bad one recorded with its reason, combined tables, exit status."""

import csv
import os
import signal
import subprocess
import sys
import time

import pytest

from runkit import EXAMPLE, PYTHON_DIR, kit

HEAD = "file\tname\ttype\tthreshold\tmin_duration\tcolumn\n"


def read(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_bad_station_recorded_others_finished(vorda, data_dir, tmp_path):
    (tmp_path / "bad.txt").write_text("1 1 1 2000 1.5\n2 2 1 2000 x\n")
    (tmp_path / "stations.tsv").write_text(
        HEAD
        + f"{EXAMPLE}\texample\tupper\t18.0\t3\t\n"
        + "bad.txt\tbroken\tupper\t1.0\t2\t\n"
        + f"{EXAMPLE}\texample\tlower\t2.0\t3\t\n"
        + "missing.txt\tgone\tlower\t0\t2\t\n"
        + f"{data_dir / 'station6.txt'}\tsix\tupper\t12.0\t1\ttmax\n")
    proc = kit("batch", tmp_path / "stations.tsv", "-o", tmp_path / "out", "-j", 2, vorda=vorda)
    assert proc.returncode == 1, proc.stderr
    out = tmp_path / "out"
    summary = {r["station"]: r for r in read(out / "summary.csv")}
    assert list(summary) == ["example", "broken", "gone", "six"]
    assert [summary[s]["status"] for s in summary] == ["ok", "failed", "failed", "ok"]
    assert summary["broken"]["reason"].startswith(f"{tmp_path / 'bad.txt'}:2: ")
    assert "missing.txt" in summary["gone"]["reason"]
    assert (out / "broken" / "error.txt").read_text().startswith(summary["broken"]["reason"])
    assert summary["example"]["runs"] == "2"
    # The good stations are complete: results, tables, trend, pictures.
    for name, pictures in (("example", 8), ("six", 4)):
        folder = out / name
        assert len(list(folder.glob("VORDA*.dat"))) == 5 * int(summary[name]["runs"])
        assert len(list(folder.glob("*.png"))) == pictures
        for table in ("yearly.csv", "events.csv", "trend.csv", "plots.pdf"):
            assert (folder / table).stat().st_size > 0
    assert (out / "six" / "six.txt").exists()        # the converted input vorda read
    # Combined tables: the stations' own rows behind a station column and its metadata (none known here).
    lead = ("station", "full_name", "lat", "lon", "elevation", "country")
    for table in ("yearly.csv", "events.csv", "trend.csv"):
        rows = read(out / table)
        own = read(out / "example" / table) + read(out / "six" / table)
        assert [{k: v for k, v in r.items() if k not in lead} for r in rows] == own
        assert list(rows[0])[:len(lead)] == list(lead) and not any(r[c] for r in rows for c in lead[1:])
        # six holds part of one year, which trends leave out.
        assert {r["station"] for r in rows} == ({"example"} if table == "trend.csv" else {"example", "six"})
    assert b"broken" in proc.stderr and b"2 of 4 stations done, 2 failed" in proc.stderr


def test_without_qc_vorda_report_is_the_reason(vorda, tmp_path):
    (tmp_path / "bad.txt").write_text("1 1 1 2000 1.5\n2 2 1 2000 x\n")
    (tmp_path / "s.tsv").write_text(HEAD + "bad.txt\tbroken\tupper\t1.0\t2\t\n")
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-qc", "--no-plots", vorda=vorda)
    assert proc.returncode == 1
    reason = read(tmp_path / "out" / "summary.csv")[0]["reason"]
    assert "vorda ended with status 2" in reason and "Bad real number in item 5" in reason


@pytest.mark.parametrize("rows,line,reason", [
    ("file\tname\ttype\tthreshold\n", 1, "the header lacks min_duration"),
    (HEAD + "a.txt\ta\tupper\t1,5\t3\t\n", 2, "threshold '1,5' is not a decimal number"),
    (HEAD + "a.txt\ta\tupper\t1.5\t3\t\n\n# note\na.txt\ta\tu\t1.50\t3\t\n", 5, "the same run as line 2"),
    (HEAD + "a.txt\ta\tupper\t1.5\t3\t\nb.txt\ta\tlower\t1.5\t3\t\n", 3, "was given the file"),
    (HEAD + "a.txt\tx/y\tupper\t1.5\t3\t\n", 2, "cannot name a folder"),
    (HEAD + "a.txt\ttrend.csv\tupper\t1.5\t3\t\n", 2, "taken by the batch's own table"),
    (HEAD + "a.txt\ta\tupper\t1.5\n", 2, "expected 6 tab-separated fields"),
], ids=["header", "threshold", "repeated-run", "two-files", "name", "table-name", "fields"])
def test_bad_station_list_refused_before_any_run(vorda, tmp_path, rows, line, reason):
    (tmp_path / "s.tsv").write_text(rows)
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", vorda=vorda)
    assert proc.returncode == 2
    message = proc.stderr.decode()
    assert message.startswith(f"vordakit batch: {tmp_path / 's.tsv'}:{line}: ") and reason in message
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("rows,line,reason", [
    ("file\tname\ttype\tthreshold\tmin_duration\tformat\na.txt\ta\tupper\t1.5\t3\tcsv\n", 2, "unknown format 'csv'"),
    ("file\tname\ttype\tthreshold\tmin_duration\telement\na.txt\ta\tupper\t1.5\t3\tTMEAN\n", 2,
     "unknown element 'TMEAN'"),
    (HEAD + "a.txt\ta\tupper\t16.3\t3\t\na.txt\ta\tupper\t16.25\t3\t\n", 3,
     "threshold 16.25 and 16.3 of line 2 both show as 16.3"),
    (HEAD + "a.txt\ta\tlower\t-0.45\t3\t\na.txt\ta\tlower\t-.5\t3\t\n", 3, "both show as -.5"),
    (HEAD + "a.txt\ta\tupper\t0\t3\t\na.txt\ta\tupper\t0.04\t3\t\n", 3,
     "threshold 0.04 and 0 of line 2 both are 0.0 to one decimal in the result files' headers"),
    (HEAD + "a.txt\ta\tupper\t1e30\t3\t\na.txt\ta\tupper\t2.5d1\t3\t\na.txt\ta\tupper\t25\t3\t\n", 4,
     "the same run as line 3"),
], ids=["format", "element", "threshold-shown-alike", "negative-below-one", "zero-and-near-zero", "exponents"])
def test_list_choices_refused_when_read(vorda, tmp_path, rows, line, reason):
    test_bad_station_list_refused_before_any_run(vorda, tmp_path, rows, line, reason)


def test_spreadsheet_list_and_one_series_per_choice(vorda, data_dir, tmp_path):
    # Saved by a spreadsheet: byte-order mark and CR LF.
    (tmp_path / "s.tsv").write_bytes(("\ufeff" + HEAD + "station6.txt\tsix\tupper\t12.0\t1\ttmax\n"
                                      + "station6.txt\tsix\tlower\t5.0\t1\ttmin\n").replace("\n", "\r\n").encode())
    (tmp_path / "station6.txt").write_bytes((data_dir / "station6.txt").read_bytes())
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", "--fill", "1", vorda=vorda)
    assert proc.returncode == 0, proc.stderr
    six = tmp_path / "out" / "six"
    assert (six / "six-tmax.txt").read_text() != (six / "six-tmin.txt").read_text()
    # tmin of 28 April (3.1) is below 5.0: the lower run counted tmin, not tmax.
    days = {(r["input"], r["index"], r["year"]): r["value"] for r in read(six / "yearly.csv")}
    assert (days[("six-tmax.txt", "ndays", "2000")], days[("six-tmin.txt", "ndays", "2000")]) == ("4", "2")
    assert (six / "filled-tmin.csv").read_text() == "date,value\n2000-05-01,5.2\n"
    # The batch takes each input's days from the series it checked; tidy reads them from the file.
    assert kit("tidy", six, "-o", tmp_path / "tidy", vorda=vorda).returncode == 0
    assert (tmp_path / "tidy" / "yearly.csv").read_bytes() == (six / "yearly.csv").read_bytes()


def _series(tmp_path, edit):
    """The example series with line 10 (10 January 2001) edited or left out."""
    lines = EXAMPLE.read_text().splitlines(keepends=True)
    lines[9:10] = [edit] if edit else []
    (tmp_path / "in.txt").write_text("".join(lines))
    (tmp_path / "s.tsv").write_text(HEAD + "in.txt\tst\tupper\t18.0\t3\t\n")


# (case, line 10 becomes, options, status in summary.csv, words of the reason, files in the folder)
VORDA_INPUTS = [
    ("gap-named-by-date", None, [], "failed", ["qc: gap: 1 missing day, 2001-01-10", "--fill"], []),
    ("gap-filled", None, ["--fill", "1"], "ok", [], ["filled.csv", "st.txt"]),
    ("marker-without-qc", "10 10 1 2001 -999\n", ["--no-qc"], "failed", ["in.txt:10: qc: marker"], []),
]


@pytest.mark.parametrize("edit,options,status,words,files", [c[1:] for c in VORDA_INPUTS],
                         ids=[c[0] for c in VORDA_INPUTS])
def test_vorda_input_checked_and_filled(vorda, tmp_path, edit, options, status, words, files):
    _series(tmp_path, edit)
    kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", *options, vorda=vorda)
    row = read(tmp_path / "out" / "summary.csv")[0]
    assert row["status"] == status and all(w in row["reason"] for w in words), row
    for name in files:
        assert (tmp_path / "out" / "st" / name).exists()
    if files:
        assert (tmp_path / "out" / "st" / "filled.csv").read_text().startswith("date,value\n2001-01-10,")


def test_rerun_keeps_only_current_attempt_and_resume_skips_complete(vorda, tmp_path):
    _series(tmp_path, "10 10 1 2001 1.5\n")
    run = ("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", "--resume")
    assert kit(*run, vorda=vorda).returncode == 0
    folder = tmp_path / "out" / "st"
    before = {p.name: p.stat().st_mtime_ns for p in folder.iterdir()}
    proc = kit(*run, vorda=vorda)
    assert proc.returncode == 0 and b"(1 complete from before)" in proc.stderr
    assert {p.name: p.stat().st_mtime_ns for p in folder.iterdir()} == before
    assert read(tmp_path / "out" / "yearly.csv") != []
    # The input changed: the station is done again, and now fails; what the user put there stays.
    (folder / "notes.md").write_text("mine")
    _series(tmp_path, "10 10 1 2001 x\n")
    assert kit(*run, vorda=vorda).returncode == 1
    assert sorted(p.name for p in folder.iterdir()) == ["error.txt", "notes.md", "qc.csv"]


def test_kind_of_series_same_as_qc_alone(vorda, data_dir, tmp_path):
    # Precipitation with 20% dry days, which its values alone would call temperatures.
    rr = [0, 12, 250, 30, 0, 41, 55, 8, 19, 300]
    head = (data_dir / "eca_tg.txt").read_text().split("STAID, SOUID")[0].replace("TG", "RR")
    (tmp_path / "rr.txt").write_text(head + "STAID, SOUID,    DATE,   RR, Q_RR\n" + "".join(
        f"99999,123456,200006{d + 1:02d},{x:5d},    0\n" for d, x in enumerate(rr)))
    (tmp_path / "s.tsv").write_text(HEAD + "rr.txt\trr\tupper\t1.0\t1\t\n")
    kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", vorda=vorda)
    assert kit("qc", tmp_path / "rr.txt", "--csv", tmp_path / "alone.csv").returncode in (0, 1)
    assert (tmp_path / "out" / "rr" / "qc.csv").read_text() == (tmp_path / "alone.csv").read_text()


def _batch_process(vorda, tmp_path, stations):
    """A batch of ``stations`` copies of the example with plots, -j 2, in a process group of its own."""
    (tmp_path / "s.tsv").write_text(HEAD + "".join(f"{EXAMPLE}\ts{i}\tupper\t18.0\t3\t\n" for i in range(stations)))
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), VORDA=str(vorda))
    proc = subprocess.Popen([sys.executable, "-m", "vordakit", "batch", str(tmp_path / "s.tsv"), "-o",
                             str(tmp_path / "out"), "-j", "2"], env=env, stderr=subprocess.PIPE,
                            start_new_session=True)
    # Wait until the batch is busy: a station has begun writing.
    while not any((tmp_path / "out").glob("s*/*.dat")) and proc.poll() is None:
        time.sleep(0.05)
    return proc


def _hidden(folder):
    return [p for p in folder.rglob(".*")]


# (signals sent to the group, exit status, words said, whether summary.csv is written)
SIGNALS = [
    ("first-interrupt", [signal.SIGINT], 130, b"no new station starts", True),
    ("second-interrupt", [signal.SIGINT, signal.SIGINT], 130, b"ended at once", False),
    ("terminate", [signal.SIGTERM], 143, b"terminated: ended at once", False),
]


LATE = ("import os, signal\nfrom vordakit import batch\n"
        "class Late:\n    def __del__(self):\n        os.kill(os.getpid(), signal.SIGTERM)\n")
ENDED_IN_A_FINALIZER = [
    ("worker", "batch._worker_start()\nbatch._busy = True\nLate()\n"),
    ("batch", "batch.process_station = lambda st, *a: (Late(), batch.Outcome(st.name, st.file, ok=True))[1]\n"
              "try:\n    batch.run_batch([batch.Station('a', 'a'), batch.Station('b', 'b')], 'out', None, jobs=1)\n"
              "except batch.Ended as e:\n    os._exit(128 + e.signum)\n"),
]


@pytest.mark.parametrize("code", [c[1] for c in ENDED_IN_A_FINALIZER], ids=[c[0] for c in ENDED_IN_A_FINALIZER])
def test_terminated_inside_a_finalizer_ends_without_a_traceback(tmp_path, code):
    # The end raised in a finalizer cannot unwind from there: it ends the process all the same.
    proc = subprocess.run([sys.executable, "-c", LATE + code + "print('went on')\n"], cwd=tmp_path,
                          env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)), capture_output=True)
    assert (proc.returncode, proc.stdout, b"Traceback" in proc.stderr) == (143, b"", False), proc.stderr


@pytest.mark.parametrize("signals,status,words,summary", [s[1:] for s in SIGNALS], ids=[s[0] for s in SIGNALS])
def test_signals_to_the_process_group(vorda, tmp_path, signals, status, words, summary):
    proc = _batch_process(vorda, tmp_path, 30)
    for sig in signals:
        os.killpg(proc.pid, sig)
        time.sleep(0.2)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == status, err
    assert words in err and b"Traceback" not in err
    assert _hidden(tmp_path / "out") == []
    assert (tmp_path / "out" / "summary.csv").exists() == summary
    if summary:
        states = [r["status"] for r in read(tmp_path / "out" / "summary.csv")]
        assert "interrupted" in states and "failed" not in states, states
        assert b"--resume" in err


def test_station_whose_plots_fail_keeps_its_tables_in_the_combined_ones(vorda, tmp_path, monkeypatch):
    from vordakit import batch, plot

    def plots(res, folder, unit):
        if folder.endswith("a"):
            raise RuntimeError("no ink")
    monkeypatch.setattr(plot, "plot_results", plots)
    (tmp_path / "s.tsv").write_text(HEAD + f"{EXAMPLE}\ta\tupper\t18.0\t3\t\n{EXAMPLE}\tb\tupper\t18.0\t3\t\n")
    outcomes = batch.run_batch(batch.read_station_list(tmp_path / "s.tsv"), str(tmp_path / "out"), vorda, jobs=1)
    assert [(o.name, o.ok, o.reason) for o in outcomes] == [("a", False, "RuntimeError: no ink"), ("b", True, "")]
    assert "no ink" in (tmp_path / "out" / "a" / "error.txt").read_text()
    assert {r["station"] for r in read(tmp_path / "out" / "yearly.csv")} == {"a", "b"}
    assert [r["status"] for r in read(tmp_path / "out" / "summary.csv")] == ["failed", "ok"]


# (case, module hidden, command, the one line said)
MISSING = [
    ("numpy", "numpy", ["qc", EXAMPLE], "numpy is not installed (Debian package python3-numpy)"),
    ("matplotlib", "matplotlib", ["batch", "{list}", "-o", "{out}"],
     "matplotlib is not installed (Debian package python3-matplotlib): no plots, as with --no-plots"),
]


@pytest.mark.parametrize("module,args,line", [m[1:] for m in MISSING], ids=[m[0] for m in MISSING])
def test_missing_package_named_in_one_line(vorda, tmp_path, module, args, line):
    (tmp_path / "s.tsv").write_text(HEAD + f"{EXAMPLE}\ta\tupper\t18.0\t3\t\n")
    args = [str(a).format(list=tmp_path / "s.tsv", out=tmp_path / "out") for a in args]
    code = f"import sys; sys.modules[{module!r}] = None; from vordakit.cli import main; sys.exit(main({args!r}))"
    proc = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR),
                          VORDA=str(vorda)), capture_output=True, text=True, timeout=300)
    assert proc.stderr.count(line) == 1 and "Traceback" not in proc.stderr, proc.stderr
    assert proc.returncode == (2 if module == "numpy" else 0)


def test_trend_of_the_combined_table_keeps_the_station_column(vorda, data_dir, tmp_path):
    (tmp_path / "s.tsv").write_text(HEAD + f"{EXAMPLE}\ta\tupper\t18.0\t3\t\n{EXAMPLE}\tb\tlower\t2.0\t3\t\n")
    kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", vorda=vorda)
    batch_trend = (tmp_path / "out" / "trend.csv").read_text()
    assert kit("trend", tmp_path / "out" / "yearly.csv").returncode == 0
    assert (tmp_path / "out" / "trend.csv").read_text() == batch_trend


BOOT = "file\tname\ttype\tthreshold\tmin_duration\tbootstrap\n"
# (case, station list, options, what is said after "vordakit batch: "; {list} is the list's path)
BAD_VALUES = [
    ("bootstrap-maybe", BOOT + "a.txt\ta\tupper\t1.5\t3\tno\na.txt\ta\tlower\t1.5\t3\tmaybe\n", [],
     "{list}:3: bootstrap 'maybe' is neither yes nor no"),
    ("negative-duration", HEAD + "a.txt\ta\tupper\t1.5\t-2\t\n", [], "{list}:2: minimum duration '-2' is below 0"),
    ("negative-fill", HEAD + "a.txt\ta\tupper\t1.5\t3\t\n", ["--fill", "-1"], "--fill needs a number of days"),
    ("no-jobs", HEAD + "a.txt\ta\tupper\t1.5\t3\t\n", ["-j", "0"], "-j needs at least 1"),
]


@pytest.mark.parametrize("rows,options,said", [c[1:] for c in BAD_VALUES], ids=[c[0] for c in BAD_VALUES])
def test_bad_values_refused_before_any_station(vorda, tmp_path, rows, options, said):
    (tmp_path / "s.tsv").write_text(rows)
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", *options, vorda=vorda)
    assert proc.returncode == 2
    message = proc.stderr.decode()
    assert message.count("\n") == 1 and message.startswith(f"vordakit batch: {said.format(list=tmp_path / 's.tsv')}")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("cell,wanted", [("Yes", True), ("TRUE", True), ("y", True), ("1", True),
                                         ("no", False), ("False", False), ("N", False), ("0", False), ("", False)])
def test_bootstrap_cell_spellings(tmp_path, cell, wanted):
    from vordakit import batch

    (tmp_path / "s.tsv").write_text("file\tname\ttype\tpercentile\tbase\tmin_duration\tbootstrap\n"
                                    f"a.txt\ta\tupper\t90\t2001-2002\t3\t{cell}\n")
    assert [r.bootstrap for r in batch.read_station_list(tmp_path / "s.tsv")[0].rows] == [wanted]


def test_unknown_list_column_warned_once(vorda, tmp_path):
    (tmp_path / "s.tsv").write_text("file\tname\ttype\tthreshold\tmin_duration\tbootsrap\n"
                                    f"{EXAMPLE}\ta\tupper\t18.0\t3\tyes\n{EXAMPLE}\ta\tlower\t2.0\t3\tyes\n")
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", vorda=vorda, text=True)
    assert proc.returncode == 0, proc.stderr
    warnings = [line for line in proc.stderr.splitlines() if "warning" in line]
    assert warnings == [f"vordakit batch: warning: {tmp_path / 's.tsv'}:1: column 'bootsrap' ignored: "
                        "not one the batch reads (file, name, type, threshold, min_duration, unit, format, element, "
                        "column, kind, percentile, base, window, bootstrap, full_name, lat, lon, elevation, country)"]


# (case, the station file's content (None: no file), batch options, words of the reason, words it must not hold)
REMEDIES = [
    ("gap", "date,tg\n2001-01-01,3\n2001-01-03,4\n", [], ["(1 day) batch --fill N interpolates gaps"],
     ["--longest", "--from"]),
    ("gap-beyond-fill", "date,tg\n2001-01-01,3\n2001-01-04,4\n", ["--fill", "1"],
     ["a larger batch --fill interpolates them"], ["--longest", "--from"]),
    ("two-series", "date,tmax,tmin\n2001-01-01,3,1\n", [],
     ["choose the value column in the station list's column cell (date, tmax, tmin)"], ["--column"]),
    ("one-column", "date\n2001-01-01\n2001-01-02\n", [],
     ["no value column beside the date: the file holds only date"], ["--column"]),
    ("no-file", None, [], ["lists/in.csv: no such station file (in.csv is taken from the station list's folder, "],
     []),
]


@pytest.mark.parametrize("content,options,words,absent", [c[1:] for c in REMEDIES], ids=[c[0] for c in REMEDIES])
def test_reasons_name_the_batch_remedies(vorda, tmp_path, content, options, words, absent):
    (tmp_path / "lists").mkdir()
    if content is not None:
        (tmp_path / "lists" / "in.csv").write_text(content)
    (tmp_path / "lists" / "s.tsv").write_text(HEAD + "in.csv\tst\tupper\t1.0\t1\t\n")
    # Started elsewhere: the list's folder, not the working one, holds its files.
    kit("batch", "lists/s.tsv", "-o", "out", "--no-plots", *options, vorda=vorda, cwd=tmp_path)
    reason = read(tmp_path / "out" / "summary.csv")[0]["reason"]
    assert all(w in reason for w in words) and not any(w in reason for w in absent), reason
    if content is None:
        assert reason.endswith(f"folder, {tmp_path / 'lists'})")


def test_resume_keeps_the_summary_of_stations_done_before(vorda, tmp_path):
    _series(tmp_path, "10 10 1 2001 45.0\n")  # a jump of 40 degrees: qc warnings
    run = ("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", "--resume")
    assert kit(*run, vorda=vorda).returncode == 0
    first = read(tmp_path / "out" / "summary.csv")[0]
    proc = kit(*run, vorda=vorda)
    assert proc.returncode == 0 and b"(1 complete from before)" in proc.stderr
    again = read(tmp_path / "out" / "summary.csv")[0]
    assert int(first["qc_warnings"]) > 0 and float(first["seconds"]) > 0
    assert (again["seconds"], again["qc_warnings"]) == (first["seconds"], first["qc_warnings"])


# (case, options of the first batch, of the second; both with --resume over a series with a one-day gap)
CHANGED = [
    ("fill-wider", ["--fill", "1", "--no-plots"], ["--fill", "2", "--no-plots"]),
    ("fill-dropped", ["--fill", "1", "--no-plots"], ["--no-plots"]),
    ("plots-wanted", ["--fill", "1", "--no-plots"], ["--fill", "1"]),
    ("qc-dropped", ["--fill", "1", "--no-plots"], ["--fill", "1", "--no-plots", "--no-qc"]),
]


@pytest.mark.parametrize("before,after", [c[1:] for c in CHANGED], ids=[c[0] for c in CHANGED])
def test_resume_redoes_a_station_whose_options_changed(vorda, tmp_path, before, after):
    _series(tmp_path, None)
    run = ("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--resume")
    assert kit(*run, *before, vorda=vorda).returncode == 0
    proc = kit(*run, *after, vorda=vorda)
    assert b"complete from before" not in proc.stderr, proc.stderr


def test_rerun_keeps_the_users_own_files(vorda, tmp_path):
    _series(tmp_path, "10 10 1 2001 1.5\n")
    run = ("batch", tmp_path / "s.tsv", "-o", tmp_path / "out")
    assert kit(*run, vorda=vorda).returncode == 0
    folder = tmp_path / "out" / "st"
    written = sorted(p.name for p in folder.iterdir())
    mine = {"my-notes.txt": "mine", "map.png": "a picture of mine", "st-site.jpg": "mine too"}
    for name, text in mine.items():
        (folder / name).write_text(text)
    assert kit(*run, vorda=vorda).returncode == 0
    assert {n: (folder / n).read_text() for n in mine} == mine
    assert sorted(p.name for p in folder.iterdir()) == sorted(written + list(mine))


def test_trend_of_a_bootstrap_batch_is_that_of_its_yearly_table(vorda, lib, tmp_path):
    import datetime
    import random

    # Twelve years of noisy days, a base of four: each base year's bootstrap
    # value is a mean over three runs, in thirds, which the table keeps to 3 decimals.
    rnd = random.Random(7)
    day = datetime.date(2001, 1, 1)
    lines = []
    for t in range(1, (datetime.date(2013, 1, 1) - day).days + 1):
        lines.append(f"{t} {day.day} {day.month} {day.year} {rnd.gauss(10 + day.year - 2001, 5):.1f}\n")
        day += datetime.timedelta(days=1)
    (tmp_path / "in.txt").write_text("".join(lines))
    (tmp_path / "s.tsv").write_text("file\tname\ttype\tpercentile\tbase\tmin_duration\tbootstrap\n"
                                    "in.txt\tst\tupper\t90\t2001-2004\t2\tyes\n"
                                    "in.txt\tst\tlower\t10\t2001-2004\t2\tyes\n")
    proc = kit("batch", tmp_path / "s.tsv", "-o", tmp_path / "out", "--no-plots", vorda=vorda)
    assert proc.returncode == 0, proc.stderr
    assert "yes" in {r["bootstrap"] for r in read(tmp_path / "out" / "trend.csv")}
    for yearly in (tmp_path / "out" / "yearly.csv", tmp_path / "out" / "st" / "yearly.csv"):
        assert kit("trend", yearly, "-o", tmp_path / "again.csv").returncode == 0
        assert (tmp_path / "again.csv").read_bytes() == (yearly.parent / "trend.csv").read_bytes()


@pytest.mark.parametrize("source", ["eca_tg.txt", "vorda.txt"], ids=["converted", "vorda input"])
def test_a_station_file_is_read_once(vorda, lib, data_dir, tmp_path, monkeypatch, source):
    import builtins

    from vordakit import batch

    station = tmp_path / source
    station.write_bytes((data_dir / source).read_bytes())
    (tmp_path / "s.tsv").write_text(HEAD + f"{source}\ts\tupper\t0.5\t1\t\n")
    stations = batch.read_station_list(tmp_path / "s.tsv")
    opened = []
    real_open = builtins.open

    def counting_open(file, *args, **kwargs):
        if str(file) == str(station):
            opened.append(args)
        return real_open(file, *args, **kwargs)
    monkeypatch.setattr(builtins, "open", counting_open)
    outcome, = batch.run_batch(stations, str(tmp_path / "out"), vorda, jobs=1,
                               opts=batch.Options(plots=False, engine="library"))
    assert outcome.ok, outcome.reason
    # Its hash, its layout, its records and the days of its years come from one reading.
    assert len(opened) == 1


def _tree(folder):
    """Every file under ``folder`` by relative path, the folder's own path in them named OUT, with the
    time a station took left out (done.txt's seconds line, summary.csv's seconds column)."""
    out = {}
    for path in sorted(p for p in folder.rglob("*") if p.is_file()):
        data = path.read_bytes().replace(bytes(folder), b"OUT")
        if path.name == "done.txt":
            data = b"".join(line for line in data.splitlines(True) if not line.startswith(b"seconds "))
        elif path.name == "summary.csv":
            rows = list(csv.reader(data.decode().splitlines()))
            at = rows[0].index("seconds")
            data = "".join(",".join(r[:at] + r[at + 1:]) + "\n" for r in rows).encode()
        out[str(path.relative_to(folder))] = data
    return out


def test_a_batch_on_a_two_worker_cluster_writes_what_one_job_writes(vorda, data_dir, tmp_path, monkeypatch):
    import distributed
    (tmp_path / "bad.txt").write_text("1 1 1 2000 1.5\n2 2 1 2000 x\n")
    (tmp_path / "s.tsv").write_text(
        HEAD + f"{EXAMPLE}\texample\tupper\t18.0\t3\t\n" + f"{EXAMPLE}\texample\tlower\t2.0\t3\t\n"
        + f"{data_dir / 'eca_tg.txt'}\teca\tupper\t10.0\t2\t\n" + "bad.txt\tbroken\tupper\t1.0\t2\t\n"
        + f"{data_dir / 'station6.txt'}\tsix\tupper\t12.0\t1\ttmax\n")
    for name in ("one", "two"):
        (tmp_path / name).mkdir()
    assert kit("batch", tmp_path / "s.tsv", "-o", "out", "-j", 1, "--no-plots", cwd=tmp_path / "one",
               vorda=vorda).returncode == 1
    # The workers start in the folder the batch runs in, and so are given the batch folder as it is named.
    monkeypatch.chdir(tmp_path / "two")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        proc = kit("batch", tmp_path / "s.tsv", "-o", "out", "--no-plots", "--scheduler", cluster.scheduler_address,
                   cwd=tmp_path / "two", vorda=vorda, text=True)
    assert proc.returncode == 1 and "3 of 4 stations done, 1 failed" in proc.stderr, proc.stderr
    one, two = _tree(tmp_path / "one" / "out"), _tree(tmp_path / "two" / "out")
    assert "example/yearly.csv" in one and "broken/error.txt" in one
    assert one == two


def test_a_cluster_whose_workers_cannot_import_the_toolkit_ends_with_one_line(tmp_path):
    from test_grid import dask_processes, environment, scheduler_address
    (tmp_path / "s.tsv").write_text(HEAD + f"{EXAMPLE}\texample\tupper\t18.0\t3\t\n")
    (tmp_path / "w").mkdir()
    with dask_processes(tmp_path / "w") as start:
        address = scheduler_address(start, tmp_path / "w", environment(False))
        start("worker", environment(False), address, "--nthreads", "1")
        proc = kit("batch", "s.tsv", "-o", "out", "--scheduler", address, "--no-progress", cwd=tmp_path, text=True,
                   timeout=120)
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1, proc.stderr
    assert "the workers cannot import vordakit" in proc.stderr and f"dask worker {address}" in proc.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["s.tsv", "w"]


def test_an_interrupted_batch_on_a_cluster_finishes_its_running_stations_and_resumes(vorda, tmp_path, monkeypatch):
    import distributed
    monkeypatch.chdir(tmp_path)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        (tmp_path / "s.tsv").write_text(HEAD + "".join(f"{EXAMPLE}\ts{i}\tupper\t18.0\t3\t\n" for i in range(30)))
        env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), VORDA=str(vorda))
        command = [sys.executable, "-m", "vordakit", "batch", "s.tsv", "-o", "out", "--no-plots",
                   "--scheduler", cluster.scheduler_address]
        proc = subprocess.Popen(command, env=env, stderr=subprocess.PIPE, start_new_session=True)
        while not any((tmp_path / "out").glob("s*/*.dat")) and proc.poll() is None:
            time.sleep(0.05)
        os.killpg(proc.pid, signal.SIGINT)
        _, err = proc.communicate(timeout=120)
        assert proc.returncode == 130 and b"no new station starts" in err, err
        states = [r["status"] for r in read(tmp_path / "out" / "summary.csv")]
        assert "interrupted" in states and "failed" not in states, states
        assert _hidden(tmp_path / "out") == []
        resumed = subprocess.run(command + ["--resume"], env=env, capture_output=True)
    assert resumed.returncode == 0 and f"({states.count('ok')} complete from before)".encode() in resumed.stderr
    assert [r["status"] for r in read(tmp_path / "out" / "summary.csv")] == ["ok"] * 30
