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
from vordakit.errors import KitError

__all__ = ["EventLines", "write_events", "action_text", "action_texts"]

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
        self._texts, self._values = {}, {}

    def of(self, ii):
        """The lead of the cell at grid index ``ii``."""
        v, dims = self.variables, self.dims
        lead = tuple(_coord_text(v, d, i) for d, i in zip(dims, ii)) + tuple(str(i) for i in ii)
        return lead + tuple(_coord_text(v, a, tuple(ii[dims.index(d)] for d in v[a].dims)) for a in self.aux)

    def prefix(self, ii):
        """The lead of the cell at grid index ``ii`` as the start of a CSV line, each
        field quoted as csv quotes it; a dimension's coordinate texts made once each."""
        fields = [self._coordinate(d, i) for d, i in zip(self.dims, ii)] + [str(i) for i in ii]
        for a in self.aux:
            fields.append(_quoted(self._text(a, tuple(ii[self.dims.index(d)] for d in self.variables[a].dims))))
        return ",".join(fields) + "," if fields else ""

    def _coordinate(self, dim, i):
        key = (dim, i)
        if key not in self._texts:
            self._texts[key] = _quoted(self._text(dim, i))
        return self._texts[key]

    def _text(self, name, index):
        """``_coord_text`` of a coordinate whose values are read once."""
        if name not in self.variables:
            return ""
        if name not in self._values:
            self._values[name] = self.variables[name].values
        v = self._values[name][index]
        return repr(v.item()) if hasattr(v, "item") else str(v)


def _quoted(field):
    """A field as csv writes it inside a row (a field after it, so that an empty one is not quoted)."""
    line = io.StringIO()
    csv.writer(line, lineterminator="").writerow((field, "x"))
    return line.getvalue()[:-2]


def action_texts(values):
    """``action_text`` of each value: printed with three decimals, which rounds to
    the nearest as the halves away from zero do, but for the values halfway.

    >>> action_texts(np.array([2.0625, -0.0625, 1.23449, -0.0]))
    ['2.063', '-0.063', '1.234', '-0.000']
    """
    values = np.asarray(values, np.float64)
    out = ["%.3f" % v for v in values.tolist()]
    for i in np.flatnonzero(_near_half(values) | ~np.isfinite(values)).tolist():
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
    # Each date once: a chunk's events fall on far fewer days than they are.
    dates, on = np.unique((found["year"].astype(np.int64) * 100 + found["month"]) * 100 + found["day"],
                          return_inverse=True)
    texts = ["%04d-%02d-%02d" % (k // 10000, k // 100 % 100, k % 100) for k in dates.tolist()]
    fields = [None] * (4 * n)
    fields[0::4] = [prefix[i] for i in which.tolist()]
    fields[1::4] = [texts[i] for i in on.tolist()]
    fields[2::4] = found["duration"].tolist()
    fields[3::4], line = _actions(found["action"])
    return (line * n) % tuple(fields)


def _actions(values):
    """(the action measures as ``%``-format takes them, the line's format): floats
    printed with three decimals, and where that is not the halves away from zero
    (values at or near a half thousandth) the float of their ``action_text``;
    refused where one is infinite."""
    values = np.asarray(values, np.float64)
    if not np.isfinite(values).all():
        # An infinite value makes its event's measure infinite: no number to write.
        raise KitError(None, None, "an infinite value: an event's action measure has no number to write "
                                   "(the events need finite values)")
    out = values.tolist()
    for i in np.flatnonzero(_near_half(values)).tolist():
        out[i] = float(action_text(out[i]))
    return out, "%s%s,%d,%.3f\n"


def _near_half(values):
    """Values halfway between thousandths, or within a rounding error of it."""
    with np.errstate(invalid="ignore"):
        thousandths = values * 1000.0
        return np.abs(np.abs(thousandths - np.floor(thousandths)) - 0.5) < 1e-6


class EventLines:
    """The events CSV of a grid cut into ``chunks`` (dask's, of the other dimensions):
    each chunk's lines, made as its events come (``add``), and the file."""

    def __init__(self, src, chunks):
        self.leads = _Leads(src)
        self.chunks = chunks
        self.grid = tuple(len(c) for c in chunks)
        self.offsets = [np.concatenate([[0], np.cumsum(c)]) for c in chunks]
        self.made = {}
        self.where = " ".join(getattr(src, "files", ())) or None

    def add(self, n, found):
        """The lines of the ``n``-th chunk (in the order of ``numpy.ndindex``), made now."""
        self.made[n] = self._lines(n, found)

    def _lines(self, n, found):
        index = np.unravel_index(n, self.grid) if self.grid else ()
        origin = tuple(int(o[i]) for o, i in zip(self.offsets, index))
        shape = tuple(int(c[i]) for c, i in zip(self.chunks, index))
        return _text(self.leads, origin, shape, found)

    def write(self, path, found):
        """Write the file whole or not at all: ``found`` holds each chunk's events, in order;
        the lines of those not yet added are made now."""
        try:
            with atomic_write(path, newline="") as f:
                csv.writer(f, lineterminator="\n").writerow(self.leads.header)
                for n, events in enumerate(found):
                    f.write(self.made.pop(n) if n in self.made else self._lines(n, events))
        except KitError as e:
            # The events' values are the input's.
            raise KitError(e.path or self.where, e.line, e.reason) from None


def write_events(path, src, chunks, found):
    """Write the events CSV whole or not at all: ``found`` holds, per chunk in the
    order of ``numpy.ndindex`` over the chunks of the other dimensions
    (``chunks``, dask's), that chunk's events."""
    EventLines(src, chunks).write(path, found)
