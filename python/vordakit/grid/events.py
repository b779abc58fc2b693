"""The events CSV of ``vordakit grid --events``: every event of every cell, one row each.

A row names its cell by the coordinates of the other dimensions, their
indices and the auxiliary coordinates, then gives the event as vorda's event
file does: the date of the record nearest its midpoint, its duration and its
action measure with three decimals.
"""

import csv
import decimal

import numpy as np

from vordakit.atomic import atomic_write

__all__ = ["write_events", "action_text"]

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


def _rows(leads, origin, shape, found):
    """The CSV rows of one chunk's events (vordakit.grid.cells.EVENT_FIELDS)."""
    cached = {}
    fields = ("cell", "year", "month", "day", "duration", "action")
    for c, y, m, d, dur, act in zip(*(found[f].tolist() for f in fields)):
        if c not in cached:
            place = np.unravel_index(c, shape) if shape else ()
            cached[c] = leads.of(tuple(int(o + p) for o, p in zip(origin, place)))
        yield cached[c] + (f"{y:04d}-{m:02d}-{d:02d}", str(dur), action_text(act))


def write_events(path, src, chunks, found):
    """Write the events CSV whole or not at all: ``found`` holds, per chunk in the
    order of ``numpy.ndindex`` over the chunks of the other dimensions
    (``chunks``, dask's), that chunk's events."""
    leads = _Leads(src)
    offsets = [np.concatenate([[0], np.cumsum(c)]) for c in chunks]
    with atomic_write(path, newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(leads.header)
        for index, events in zip(np.ndindex(tuple(len(c) for c in chunks)), found):
            origin = tuple(int(o[i]) for o, i in zip(offsets, index))
            shape = tuple(int(c[i]) for c, i in zip(chunks, index))
            w.writerows(_rows(leads, origin, shape, events))
