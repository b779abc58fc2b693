"""``run_grid``: every cell of CF NetCDF files analysed, written whole or not at all.

The input is read lazily with xarray and cut into dask chunks over the
dimensions other than time, each chunk holding the whole time axis; the
binding analyses all cells of a chunk at once, so that memory is bounded by
the chunks and the chunks run in parallel on threads or on a dask.distributed
cluster (probed first: work sent to workers that cannot import vordakit never
comes back). The NetCDF file, the cells' counts, the values' range and the
events all come from one computation, in which each chunk is read and
analysed once.
"""

import concurrent.futures
import contextlib
import math
import os
import sys
import warnings

import numpy as np

from vordakit.atomic import atomic_path
from vordakit.cluster import connect
from vordakit.errors import KitError
from vordakit.grid.events import EventLines
from vordakit.grid.output import output_dataset
from vordakit.grid.pipeline import Options, analysed, default_chunks, make_plan, parse_chunks, prepared
from vordakit.grid.plan import BASE_GAPS, GAPS, status_meanings
from vordakit.grid.source import Input
from vordakit.grid.values import unit_conversion
from vordakit.progress import Bar

__all__ = ["run_grid"]

# What dask imports where it finds it and a grid on local threads never uses
# (sparse chunks, the HTML of its reprs, FFTs): about 50 ms of the imports.
OPTIONAL = ("scipy.sparse", "scipy.fftpack", "jinja2")


def run_grid(paths, out, thrtype, threshold, min_duration, var=None, units=None, months=None, fill=None,
             chunks=None, jobs=None, scheduler=None, events=None, progress=None, command=None, warn=None,
             percentile=None, base=None, window=5):
    """Analyse every cell of the input and write ``out`` (and the events CSV ``events``);
    returns the cell counts by status.

    ``threshold`` is the text vorda would be given (in the output's units);
    or, with ``threshold`` None, ``percentile``, ``base`` and ``window`` give
    each cell a threshold per calendar day (see vordakit.thresholds), and the
    cells are analysed on their exceedances over it with threshold 0.0.
    Two years of one station, three days in five above 20:

    >>> import tempfile, xarray as xr
    >>> d = tempfile.mkdtemp()
    >>> t = xr.Variable("time", np.arange(730), {"units": "days since 2001-01-01"})
    >>> x = np.tile(np.float32([18.0, 21.5, 22.0, 23.0, 19.0]), 146)[:, None]
    >>> xr.Dataset({"tg": (("time", "station"), x, {"units": "degC"})}, {"time": t}).to_netcdf(d + "/in.nc")
    >>> run_grid([d + "/in.nc"], d + "/out.nc", "upper", "20.0", 3, jobs=1)["complete"]
    1
    >>> out = xr.open_dataset(d + "/out.nc", decode_timedelta=False)
    >>> out["ndays"].values.ravel().tolist(), out["events"].values.ravel().tolist()
    ([219.0, 219.0], [73.0, 73.0])
    """
    opts = Options(thrtype, threshold, min_duration, fill, months, percentile, base, window)
    warn = warn or (lambda text: print(f"vordakit grid: warning: {text}", file=sys.stderr))
    out = os.fspath(out)
    with contextlib.ExitStack() as stack:
        try:
            # The output's folder must take a file before anything is computed.
            tmp = stack.enter_context(atomic_path(out))
        except OSError as e:
            raise KitError(out, None, f"cannot write: {e.strerror}") from None
        with _left_out(OPTIONAL if not scheduler else ()):
            job = _Job(paths, out, var, units, chunks, opts, events)
        ds = output_dataset(job.inp, job.stack, job.plan, job.out_units, opts.threshold_text,
                            command or "vordakit grid", job.thresholds)
        lines = EventLines(job.inp, job.data.chunks[:-1]) if events else None
        counts, low, high, found = _compute(job, ds, tmp, jobs, scheduler, progress, lines)
        if events:
            lines.write(events, found)
    if opts.setting is None:
        _range_warning(low, high, job.convert_to, opts.threshold, job.inp.units, job.out_units, warn)
    return {name: int(n) for name, n in zip(status_meanings(job.plan).split(), counts)}


class _Job:
    """A grid run's input, plan and lazy results."""

    def __init__(self, paths, out, var, units, chunks, opts, events):
        self.inp = inp = Input(paths, var)
        if any(os.path.abspath(out) == os.path.abspath(f) for f in inp.files):
            raise KitError(out, None, "is an input file; the input is never overwritten")
        self.convert_to, self.out_units = unit_conversion(inp.units, units, inp.files[0])
        self.plan = make_plan(opts, inp.ordinals, inp.calendar, inp.encoding, inp.files[0], self.convert_to,
                              events=bool(events))
        chosen = parse_chunks(chunks, inp.other_dims, inp.files[0])
        size = default_chunks(inp.shape[:-1], inp.other_dims, inp.shape[-1], inp.dtype.itemsize, inp.file_chunks)
        size.update(chosen)
        self.data = prepared(inp.chunked(size), inp.invalid)
        self.stack, self.thresholds, self.events = analysed(self.data, self.plan)


def _compute(job, ds, tmp, jobs, scheduler, progress, lines=None):
    """Write ``ds`` into ``tmp`` and count the cells by status, in one computation:
    (counts, lowest and highest value, each chunk's events or []); on local threads
    each chunk's lines of the events CSV are made while the others are analysed."""
    import dask
    import dask.array as dsa
    nv = len(job.plan.names)
    client, context = _scheduler(jobs, scheduler)
    with context, _progress(progress and client is None, job.stack, nv), \
            _event_lines(lines if client is None else None, job.events):
        # Unfused: fusing renames the chunks' analyses in the write's graph, which
        # would then analyse every chunk once more besides the counts' graph.
        with _without_distributed(client is None), dask.config.set({"optimization.fuse.active": False}):
            write = ds.to_netcdf(tmp, engine="netcdf4", format="NETCDF4", compute=False)
        status = job.stack[..., nv, 0]
        counts = dsa.bincount(status.ravel().astype(np.int64), minlength=len(status_meanings(job.plan).split()))
        low, high = dsa.nanmin(job.data), dsa.nanmax(job.data)
        files = " ".join(job.inp.files)
        with _quiet():
            try:
                # One graph unoptimised: optimised apart, the write, the counts and the
                # events would each read and analyse every chunk.
                _, counts, low, high, *found = dask.compute(write, counts, low, high, *(job.events or ()),
                                                            optimize_graph=False)
            except RuntimeError as e:
                # netCDF4's report of a file that breaks off or is damaged part way.
                raise KitError(files, None, f"reading failed: {e}") from None
            except KitError as e:
                if e.path is not None:
                    raise
                # A chunk's refusal of its values: they are the input's.
                raise KitError(files, None, e.reason) from None
    return counts, low, high, found


def _scheduler(jobs, address):
    import dask
    if address:
        # Probed first: work sent to workers that cannot import vordakit never comes back.
        client = connect(address)
        return client, contextlib.closing(client)
    return None, dask.config.set(scheduler="threads", num_workers=jobs or os.cpu_count() or 1)


@contextlib.contextmanager
def _progress(enabled, stack, nv):
    """The bar of the chunks analysed, with the cells so far that lost values to gaps (in their
    series, or in a percentile's base): the cells a station would be refused for."""
    if not enabled:
        yield
        return
    from dask.callbacks import Callback
    chunks = set(_flat(stack.__dask_keys__()))
    bar = Bar(len(chunks), "chunks", "cells with gaps")

    def finished(key, result, dsk, state, worker):
        if key in chunks:
            lost = np.isin(result[..., nv, 0], (GAPS, BASE_GAPS)).sum()
            bar.update(bar.done + 1, bar.failed + int(lost))

    with bar.ticking(), Callback(posttask=finished):
        yield


@contextlib.contextmanager
def _event_lines(lines, tasks):
    """Each chunk's events made into lines as its task finishes: the scheduler's thread
    waits for the workers meanwhile, and the file is then written at once."""
    if lines is None or not tasks:
        yield
        return
    from dask.callbacks import Callback
    order = {t.key: n for n, t in enumerate(tasks)}
    # A thread of its own: the scheduler hands out the next chunk meanwhile.
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        def finished(key, result, dsk, state, worker):
            if key in order:
                pool.submit(lines.add, order[key], result)

        with Callback(posttask=finished):
            yield


def _flat(keys):
    for k in keys:
        if isinstance(k, list):
            yield from _flat(k)
        else:
            yield k


def _without_distributed(local):
    """xarray imports dask.distributed to ask whether a cluster is in use, a
    quarter of a second on a small grid; on local threads none can be."""
    return _left_out(("dask.distributed",) if local else ())


@contextlib.contextmanager
def _left_out(names):
    """The modules ``names`` not imported meanwhile (an import of one fails), where
    they are not imported yet."""
    blocked = [n for n in names if n not in sys.modules]
    for n in blocked:
        sys.modules[n] = None
    try:
        yield
    finally:
        for n in blocked:
            if sys.modules.get(n, 0) is None:
                del sys.modules[n]


@contextlib.contextmanager
def _quiet():
    """No warnings of all-NaN chunks (sea) from the reductions."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore", RuntimeWarning)
        yield


def _range_warning(low, high, convert_to, thr, file_units, out_units, warn):
    if not (math.isfinite(low) and math.isfinite(high)):
        return
    if convert_to == "degC":
        low, high = low - 273.15, high - 273.15
    elif convert_to == "mm/day":
        low, high = low * 86400, high * 86400
    if not low <= thr <= high:
        units = out_units or "no units"
        warn(f"threshold {thr:g} lies outside the data's range, {low:.6g} to {high:.6g} {units}"
             + (" (give --units to convert)" if convert_to is None and file_units in ("K", "kelvin") else ""))
