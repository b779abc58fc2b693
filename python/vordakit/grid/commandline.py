"""``vordakit grid``: the command line's options to ``run_grid``, the cells counted on standard error."""

import shlex
import sys

from vordakit.errors import KitError
from vordakit.grid.run import run_grid

__all__ = ["command"]


def command(args):
    """``vordakit grid``: ``run_grid`` on the command line's inputs; the cells counted on standard error."""
    if args.bootstrap:
        raise KitError(None, None, "--bootstrap is for run and batch: for a grid it would work out every cell's "
                                   "thresholds (base years) x (base years - 1) times")
    counts = run_grid(args.inputs, args.out, args.type, args.threshold, args.min_duration, var=args.var,
                      units=args.units, months=args.months, fill=args.fill, chunks=args.chunks, jobs=args.jobs,
                      scheduler=args.scheduler, events=args.events,
                      progress=sys.stderr.isatty() and not args.no_progress,
                      command="vordakit grid " + " ".join(shlex.quote(a) for a in sys.argv[2:]),
                      percentile=args.percentile, base=args.base, window=args.window)
    total = sum(counts.values())
    base = (f", {counts['base_gaps']} with missing days in the base period (no values)"
            if "base_gaps" in counts else "")
    print(f"{args.out}: {total} cells: {counts['complete']} complete, {counts['trimmed']} with leading or "
          f"trailing missing days dropped, {counts['filled']} with gaps filled, {counts['gaps']} with missing "
          f"days inside (no values in the years they touch){base}, {counts['no_value']} without any value",
          file=sys.stderr)
    return 0
