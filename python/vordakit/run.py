"""``vordakit run``: one run of a VORDA input, on a fixed or a percentile threshold, on either engine.

The input is read once: the check for missing-value markers reads it, and
the library engine analyses the records it read (vorda's own reader takes
over only for a file this reader cannot take whole). The result files'
paths go to standard output; a failure of vorda passes its status and report
through unchanged.
"""

import os
import sys

from vordakit import engine, percentile, runner
from vordakit.errors import KitError
from vordakit.formats import vorda as vorda_format
from vordakit.thresholds import RunSettings, given_duration, shown_decimals_warning

__all__ = ["command", "finish_run", "checked_input"]


def command(args):
    """``vordakit run`` with the engine of ``--engine``."""
    # vorda itself would take a negative duration: not so from a user (see thresholds.given_duration).
    given_duration(args.min_duration)
    if args.percentile is not None:
        if getattr(args, "unchecked", False):
            raise KitError(None, None, "--unchecked goes with --threshold: an exceedance series cannot hold "
                                       "a missing value")
        return percentile.run_command(args)
    # The answers are checked before the result folder is made.
    RunSettings.parse(args.type, args.threshold, args.min_duration, base=args.base, bootstrap=args.bootstrap)
    series = None if getattr(args, "unchecked", False) else checked_input(args.input, args.size)
    which = engine.choose(getattr(args, "engine", None))
    # The library hands only a file it cannot read to vorda, which it then looks for.
    vorda = runner.find_vorda(args.vorda) if which == "process" or args.vorda else None
    arrays = engine.series_arrays(series) if series is not None and args.size is None else None
    with engine.runs(which, vorda, args.input, args.out, args.name, series=arrays) as runs:
        res = runs.run(args.type, args.threshold, args.min_duration, args.size)
    return finish_run(args, res)


def checked_input(path, size=None):
    """The records of a VORDA input, read once; a missing-value marker among them (the first
    ``size`` of them) refused. None where this reader cannot take the file whole: vorda's
    own reader then reads it, and its report says what is wrong.

    vorda has no missing values: it would analyse a -999 as a temperature,
    an event of -999 degrees among the results. Only a regular file is read
    here (a pipe would be used up before vorda reads it).
    """
    if not os.path.isfile(path):
        return None
    problems = []
    try:
        series = vorda_format.read(path, problem=lambda *a, **k: problems.append(a))
    except (OSError, KitError):
        return None
    x = series.x if size is None else series.x[:max(int(size), 0)]
    left = x != x
    if left.any():
        line = int(series.line[left.argmax()])
        raise KitError(path, line, f"missing-value marker {_value_on_line(path, line)} left in: vorda would "
                                   "analyse it as a value; fill the day in first (vordakit convert --fill N) or "
                                   "give --unchecked to pass the file to vorda as it is")
    return None if problems else series


def _value_on_line(path, line):
    with open(path, encoding="utf-8-sig", errors="replace") as f:
        for number, text in enumerate(f, 1):
            if number == line:
                return text.replace(",", " ").split()[-1]
    return ""


def finish_run(args, res):
    """The end of ``vordakit run`` with either engine: the report of a failure, else the files' paths."""
    warning = shown_decimals_warning(args.threshold)
    if warning:
        print(f"vordakit run: warning: {warning}", file=sys.stderr)
    if res.status != 0:
        sys.stderr.flush()
        sys.stderr.buffer.write(res.report)
        if not res.report or res.status > 128:
            sys.stderr.buffer.write(f"vordakit run: {runner.describe_status(res.status)}\n".encode())
        if not runner.looks_like_vorda_input(args.input):
            sys.stderr.buffer.write(
                f"vordakit run: {args.input} does not start with a record 't d m yr x'; "
                f"a station file needs converting first: vordakit convert {args.input} series.txt\n".encode())
        sys.stderr.flush()
        return res.status
    for path in res.files:
        print(path)
    return 0
