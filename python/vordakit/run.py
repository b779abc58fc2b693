"""``vordakit run``: one run of a VORDA input, on a fixed or a percentile threshold, on either engine.

The result files' paths go to standard output; a failure of vorda passes
its status and report through unchanged.
"""

import sys

from vordakit import engine, percentile, runner
from vordakit.thresholds import RunSettings, shown_decimals_warning

__all__ = ["command", "finish_run"]


def command(args):
    """``vordakit run`` with the engine of ``--engine``."""
    if args.percentile is not None:
        return percentile.run_command(args)
    RunSettings.parse(args.type, args.threshold, args.min_duration, base=args.base, bootstrap=args.bootstrap)
    which = engine.choose(getattr(args, "engine", None))
    # The library hands only a file it cannot read to vorda, which it then looks for.
    vorda = runner.find_vorda(args.vorda) if which == "process" or args.vorda else None
    with engine.runs(which, vorda, args.input, args.out, args.name) as runs:
        res = runs.run(args.type, args.threshold, args.min_duration, args.size)
    return finish_run(args, res)


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
