"""From a grid's values to its lazy results: the options checked, the plan, the chunks, one analysis per chunk.

The values are a dask array (the other dimensions first, time last and
whole); each chunk is analysed once, in one task, which gives both the
chunk's yearly values (the results' dask array) and, with ``events``, its
list of events: writing the NetCDF file and the events CSV computes that one
task per chunk.
"""

import numpy as np

from vordakit import convert
from vordakit.errors import KitError
from vordakit.grid.calendars import Days
from vordakit.grid.cells import analyse_block
from vordakit.grid.percentiles import percentile_plan, percentile_setting
from vordakit.grid.plan import Plan
from vordakit.grid.values import mask_invalid, packed_decimals
from vordakit.series import MAX_RECORDS
from vordakit.thresholds import given_duration, threshold_number, threshold_text, type_letter

__all__ = ["Options", "make_plan", "parse_chunks", "default_chunks", "prepared", "analysed"]


class Options:
    """A grid run's threshold, minimum duration, --fill and --months, checked.

    ``threshold`` is the text vorda would be given; or, with ``threshold``
    None, ``percentile``, ``base`` and ``window`` give each cell a threshold
    per calendar day, and the cells are analysed on their exceedances over it
    with threshold 0.0.
    """

    def __init__(self, thrtype, threshold, min_duration, fill=None, months=None, percentile=None, base=None,
                 window=5):
        self.type = {"u": "upper", "l": "lower"}[type_letter(thrtype)]
        self.setting = percentile_setting(threshold, percentile, base, window, months)
        self.threshold_text = threshold_text(threshold) if self.setting is None else "0.0"
        self.threshold = threshold_number(self.threshold_text)
        self.min_duration = int(given_duration(min_duration))
        if fill is not None and fill < 0:
            raise KitError(None, None, "--fill needs a number of days, 0 or more")
        self.fill = fill
        self.months = convert.parse_months(months) if isinstance(months, str) else months


def make_plan(opts, ordinals, calendar, encoding, where, convert_to=None, events=False):
    """The Plan of a time axis (day ordinals in ``calendar``) and the values' encoding;
    refusals name ``where``."""
    days = Days(ordinals, calendar, opts.months)
    if len(days.ordinal) == 0:
        raise KitError(where, None, "no days in the chosen months")
    if len(days.ordinal) > MAX_RECORDS:
        raise KitError(where, None, f"{len(days.ordinal)} days, but vorda reads at most {MAX_RECORDS}: "
                                    "choose fewer files or --months")
    percentile = None if opts.setting is None else percentile_plan(opts.setting, days, where)
    return Plan(days, opts.type, opts.threshold, opts.min_duration, opts.fill, convert_to,
                packed_decimals(encoding), percentile, events)


def parse_chunks(text, dims, path):
    """--chunks NAME=SIZE,... as {dimension: size}."""
    out = {}
    if not text:
        return out
    for part in text.split(","):
        name, _, size = part.partition("=")
        name = name.strip()
        if name not in dims:
            raise KitError(path, None, f"--chunks: no dimension {name!r} besides time (there are {', '.join(dims)})")
        try:
            out[name] = int(size)
            if out[name] < 1:
                raise ValueError
        except ValueError:
            raise KitError(None, None, f"--chunks {text!r}: expected NAME=SIZE, SIZE a whole number above 0") from None
    return out


def default_chunks(shape, dims, days, itemsize, file_chunks=None, target=64 * 2**20):
    """Chunks of about ``target`` bytes over the other dimensions, time whole: the
    last dimensions whole first, so that each day of a chunk is one run in a file
    that holds time first, and in whole chunks of the file where it has them."""
    cells = max(1, target // max(1, days * max(itemsize, 8)))
    out = {}
    for i in reversed(range(len(dims))):
        n = shape[i]
        step = file_chunks[i] if file_chunks else 1
        take = max(1, min(n, cells))
        if take < n and step > 1:
            take = max(step, take // step * step)
        out[dims[i]] = take
        cells = max(1, cells // take)
    return out


def prepared(data, invalid):
    """The values as floats, those that ``invalid`` (values.invalid_rule) marks made NaN."""
    if not np.issubdtype(data.dtype, np.floating):
        data = data.astype(np.float64)
    if invalid is not None:
        data = data.map_blocks(mask_invalid, invalid, dtype=data.dtype)
    return data


def _nested(pieces, depth):
    """Pieces over the chunks of the other dimensions (nested lists ``depth`` deep) as
    the nested lists ``dask.array.block`` takes: two more levels, for the slots and the years."""
    if depth == 0:
        return [[pieces]]
    return [_nested(part, depth - 1) for part in pieces]


def analysed(data, plan):
    """The lazy results of the values ``data`` (a dask array, time last and whole):
    (stack (cells..., slots, years; see Plan.slots), thresholds or None, the tasks
    of each chunk's events in ``numpy.ndindex`` order, or None)."""
    import dask
    import dask.array as dsa
    slots, width = plan.slots
    # Unoptimised, so that each chunk is read under the key the other uses of the values share.
    blocks = data.to_delayed(optimize_graph=False)
    pieces = np.empty(blocks.shape[:-1], object)
    tasks = []
    for index in np.ndindex(blocks.shape[:-1]):
        # Not pure: the same chunk analysed twice would be two keys; one task, used twice, is one.
        task = dask.delayed(analyse_block, pure=False, nout=2)(blocks[index + (0,)], plan)
        shape = tuple(c[i] for c, i in zip(data.chunks[:-1], index)) + (slots, width)
        pieces[index] = dsa.from_delayed(task[0], shape, dtype=np.float64)
        tasks.append(task[1])
    stack = dsa.block(_nested(pieces.tolist(), pieces.ndim))
    if plan.percentile is None:
        return stack, None, tasks if plan.events else None
    nv, k = len(plan.names), len(plan.days.years)
    return stack[..., :nv + 2, :k], stack[..., nv + 2, :366], tasks if plan.events else None
