"""What the documents and help texts tell a user holds for the program as built."""

import re
import subprocess

import pytest

from conftest import REPO


def test_readme_failure_example_is_what_vorda_prints(vorda, tmp_path):
    # The README shows the report of a run whose input is not there; the
    # statement's line moves whenever run.cpp is edited above it.
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    block = re.search(r"`vorda < example/answers.txt` run in a folder\s+without `series.txt` prints:\n\n"
                      r"((?:    .*\n)+)", readme)
    assert block, "the README's example failure is not where this test looks for it"
    shown = [line[4:] for line in block.group(1).splitlines()]
    answers = (REPO / "example" / "answers.txt").read_bytes()
    proc = subprocess.run([str(vorda)], input=answers, cwd=tmp_path, capture_output=True, timeout=60)
    assert proc.returncode == 2
    assert proc.stderr.decode().splitlines() == shown
    assert b"\r" not in proc.stderr, "the README says the failure's lines end with LF alone"


# Per subcommand, what its --help must tell: what it takes and what it
# leaves out that a user would otherwise assume.
HELP = {
    "batch": ["exit status", "0 every station", "1 a station failed", "2 the station list",
              "130 interrupted", "143 terminated", "cut a spell at the year's end"],
    "run": ["cut a spell at the year's end", "wraps around the base",
            "beside the installed vordakit command, else env VORDA, else in a source checkout "
            "build/release/vorda or build/test/vorda, else vorda on PATH"],
    "grid": ["cut a spell at the year's end", "wraps around the base"],
    "trend": ["without a continuity correction", "a grid's .nc"],
    "plot": ["a grid's .nc"],
}


@pytest.mark.parametrize("command", sorted(HELP))
def test_help_says(kit, command):
    proc = kit(command, "--help")
    assert proc.returncode == 0
    # argparse wraps its text to the terminal's width: compare the words alone.
    text = " ".join(proc.stdout.split())
    missing = [p for p in HELP[command] if p not in text]
    assert not missing, f"vordakit {command} --help does not say: {missing}"


def test_batch_help_lists_every_station_list_column(kit):
    from vordakit import stationlist

    help_text = kit("batch", "--help").stdout
    # One line per column, its name first, as the station list's header spells it.
    listed = set(re.findall(r"^  ([a-z_]+)  +\S", help_text, re.M))
    missing = [c for c in stationlist.COLUMNS + stationlist.OPTIONAL if c not in listed]
    assert not missing, f"vordakit batch --help does not list the columns {missing}"
