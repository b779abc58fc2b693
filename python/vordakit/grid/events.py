"""The events CSV of ``vordakit grid --events``: every event of every cell, one row each.

A row names its cell by the coordinates of the other dimensions, their
indices and the auxiliary coordinates, then gives the event as vorda's event
file does: the date of the record nearest its midpoint, its duration and its
action measure with three decimals.
"""

import csv
import decimal
import io

import numpy as np

from vordakit.atomic import atomic_write

__all__ = ["write_events", "action_text", "action_texts"]

_MILLI = decimal.Decimal("0.001")


def action_text(value):
    """The action measure with the three decimals of vorda's event file, halves away from zero.

    >>> action_text(2.0625), action_text(-0.0625)
    ('2.063', '-0.063')
    """
    return str(decimal.Decimal(value).quantize(_MILLI, decimal.ROUND_HALF_UP))


def _coord_text(variables, name, index):
    if name not in variables:
        return ""
    v = variables[name].values[index]
    return repr(v.item()) if hasattr(v, "item") else str(v)


class _Leads:
    """The leading columns of a cell's rows, from its place in the grid."""

    def __init__(self, src):
        self.variables, self.dims = src.variables, src.other_dims
        self.aux = [c for c in str(src.attrs.get("coordinates", "")).split()
                    if c in self.variables and set(self.variables[c].dims) <= set(self.dims)
                    and self.variables[c].dims]
        self.header = (list(self.dims) + [d + "_index" for d in self.dims] + self.aux
                       + ["date", "duration", "action"])

    def of(self, ii):
        """The lead of the cell at grid index ``ii``."""
        v, dims = self.variables, self.dims
        lead = tuple(_coord_text(v, d, i) for d, i in zip(dims, ii)) + tuple(str(i) for i in ii)
        return lead + tuple(_coord_text(v, a, tuple(ii[dims.index(d)] for d in v[a].dims)) for a in self.aux)

    def prefix(self, ii):
        """The lead of the cell at grid index ``ii`` as the start of a CSV line, quoted as csv quotes it."""
        line = io.StringIO()
        # A field after it, so that an empty lead field is quoted as it is inside a row.
        csv.writer(line, lineterminator="").writerow(self.of(ii) + ("x",))
        return line.getvalue()[:-1]


def action_texts(values):
    """``action_text`` of each value: printed with three decimals, which rounds to
    the nearest as the halves away from zero do, but for the values halfway.

    >>> action_texts(np.array([2.0625, -0.0625, 1.23449, -0.0]))
    ['2.063', '-0.063', '1.234', '-0.000']
    """
    values = np.asarray(values, np.float64)
    out = ["%.3f" % v for v in values.tolist()]
    with np.errstate(invalid="ignore"):
        thousandths = values * 1000.0
        # Halfway or within a rounding error of it (a value whose thousandths are not exact).
        near = np.abs(np.abs(thousandths - np.floor(thousandths)) - 0.5) < 1e-6
    for i in np.flatnonzero(near | ~np.isfinite(values)).tolist():
        out[i] = action_text(values[i])
    return out


def _text(leads, origin, shape, found):
    """The CSV lines of one chunk's events (vordakit.grid.cells.EVENT_FIELDS), made a
    column at a time: one format of all of them, each cell's lead made once."""
    n = len(found["cell"])
    if not n:
        return ""
    cells, which = np.unique(found["cell"], return_inverse=True)
    prefix = []
    for c in cells.tolist():
        place = np.unravel_index(c, shape) if shape else ()
        prefix.append(leads.prefix(tuple(int(o + p) for o, p in zip(origin, place))))
    fields = [None] * (6 * n)
    fields[0::6] = [prefix[i] for i in which.tolist()]
    for i, f in enumerate(("year", "month", "day", "duration"), 1):
        fields[i::6] = found[f].tolist()
    fields[5::6] = action_texts(found["action"])
    return ("%s%04d-%02d-%02d,%d,%s\n" * n) % tuple(fields)


def write_events(path, src, chunks, found):
    """Write the events CSV whole or not at all: ``found`` holds, per chunk in the
    order of ``numpy.ndindex`` over the chunks of the other dimensions
    (``chunks``, dask's), that chunk's events."""
    leads = _Leads(src)
    offsets = [np.concatenate([[0], np.cumsum(c)]) for c in chunks]
    with atomic_write(path, newline="") as f:
        csv.writer(f, lineterminator="\n").writerow(leads.header)
        for index, events in zip(np.ndindex(tuple(len(c) for c in chunks)), found):
            origin = tuple(int(o[i]) for o, i in zip(offsets, index))
            shape = tuple(int(c[i]) for c, i in zip(chunks, index))
            f.write(_text(leads, origin, shape, events))
