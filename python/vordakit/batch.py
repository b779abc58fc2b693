"""Many stations at once: station list in, one folder per station, combined tables and a summary out.

The station list (see vordakit.stationlist) gives each station's file and
runs. Every station goes through convert (unless its file is already a VORDA
input), qc, one run per row, tidy, trend and plot, in its own folder
``<out>/<name>/`` (see vordakit.station). Stations run in parallel in worker
processes, or as tasks on an existing dask.distributed cluster
(``--scheduler``). Whatever goes wrong with one station is caught in its worker,
written to its folder's error.txt and to summary.csv, and the others carry
on. Interrupts and terminations end the batch cleanly: see ``run_batch``.
"""

import concurrent.futures
import csv
import ctypes
import importlib.util
import io
import multiprocessing
import os
import shutil
import signal
import sys
import threading
import uuid

from vordakit import cluster, engine, maps, runner, station_netcdf, tables, trend
from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.formats import metadata
from vordakit.model import EVENT_FIELDS, YEARLY_FIELDS
from vordakit.progress import Bar
from vordakit.station import Options, Outcome, process_station
from vordakit.stationlist import Station, read_station_list

__all__ = ["Station", "Outcome", "Options", "read_station_list", "process_station", "run_batch", "write_combined",
           "command"]

# The station's metadata last, so that summaries of earlier versions are the leading columns of today's.
SUMMARY_FIELDS = ("station", "file", "status", "reason", "runs", "qc_warnings", "seconds") + metadata.FIELDS
# What every row of a combined table begins with: the station and its metadata.
LEAD_FIELDS = ("station",) + metadata.FIELDS


# glibc's mallopt parameter: memory kept at the top of the heap when it shrinks.
_M_TOP_PAD = -2


def keep_freed_memory():
    """Let the C library keep the memory that one station's arrays freed for the next.

    glibc hands freed memory at the top of the heap back to the system at
    once, and the next station's arrays then take a page fault for every page
    again, which costs about as much as its checks. Elsewhere this does nothing.
    """
    try:
        ctypes.CDLL(None).mallopt(_M_TOP_PAD, 64 << 20)
    except (OSError, AttributeError):
        pass


class Ended(BaseException):
    """A second interrupt or a SIGTERM: the batch ends at once."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


# Set in the main process at the first interrupt; workers see it through fork.
_stop = None
_busy = False


def _worker_start():
    """Workers finish the station they hold when the terminal interrupts (the
    main process decides what happens next), and end cleanly when terminated."""
    keep_freed_memory()
    # vorda inherits the ignored interrupt and finishes its run too.
    signal.signal(signal.SIGINT, signal.SIG_IGN)

    def terminated(signum, frame):
        if not _busy:
            os._exit(128 + signum)
        raise Ended(signum)
    signal.signal(signal.SIGTERM, terminated)
    # Raised where Python cannot pass it on (a finalizer that ran when the
    # signal came), the end would only be printed as an ignored exception
    # with its traceback, and the station would go on. The worker ends
    # instead; the main process removes what it left half written.
    sys.unraisablehook = _end_if_terminated


def _quiet_if_ended(unraisable):
    # The batch's loop raises it again where it can pass it on.
    if not isinstance(unraisable.exc_value, Ended):
        sys.__unraisablehook__(unraisable)


def _end_if_terminated(unraisable):
    if isinstance(unraisable.exc_value, Ended):
        os._exit(128 + unraisable.exc_value.signum)
    sys.__unraisablehook__(unraisable)


def _work(st, outdir, vorda, opts):
    global _busy
    if _stop.is_set():
        return Outcome(st.name, st.file, reason=NOT_STARTED)
    _busy = True
    try:
        return process_station(st, outdir, vorda, opts)
    except Ended as e:
        # Files half written and vorda's working folders went as the station unwound.
        os._exit(128 + e.signum)
    finally:
        _busy = False


NOT_STARTED = "interrupted: not started"


def remove_temporaries(outdir, names):
    """The hidden files and working folders of writes that were cut short."""
    for folder in [outdir] + [os.path.join(outdir, n) for n in names]:
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue
        for e in entries:
            if e.name.startswith(".vordakit-run-") and e.is_dir(follow_symlinks=False):
                shutil.rmtree(e.path, ignore_errors=True)
            elif e.name.startswith(".") and e.name.endswith(".tmp"):
                try:
                    os.unlink(e.path)
                except OSError:
                    pass


def run_batch(stations, outdir, vorda, jobs=None, opts=None, progress=False, scheduler=None):
    """Process every station; returns their Outcomes in list order and writes the combined tables.

    The stations run in ``jobs`` worker processes (in this one with one job),
    or, given the address of a dask.distributed ``scheduler``, as tasks on its
    workers, which must see this machine's paths; the cluster is probed first
    (a KitError, and nothing written, where its workers cannot run the toolkit).

    The first interrupt (SIGINT) starts no new station: the running ones
    finish, and the stations not started are outcomes with the reason
    ``NOT_STARTED``. A second interrupt or SIGTERM raises ``Ended`` once no
    local worker runs any more and no temporary file is left (a cluster's
    tasks are cancelled; one that already runs there finishes its station).

    The processes that work on the stations (this one with one job) keep
    freed memory for reuse: see ``keep_freed_memory``.
    """
    global _stop
    opts = opts or Options()
    client = cluster.connect(scheduler) if scheduler else None
    os.makedirs(outdir, exist_ok=True)
    jobs = max(1, min(jobs or os.cpu_count() or 1, len(stations)))
    bar = Bar(len(stations), "stations", "failed", progress)
    outcomes = {}
    _stop = multiprocessing.get_context("fork").Event()
    pools = []   # the pool of workers, once there is one
    with _Interrupts(bar) as interrupts:
        try:
            if client is not None:
                _run_on_cluster(client, stations, outdir, vorda, opts, bar, interrupts, outcomes)
            elif jobs == 1:
                _run_here(stations, outdir, vorda, opts, bar, interrupts, outcomes)
            else:
                _run_in_workers(stations, outdir, vorda, opts, jobs, bar, interrupts, outcomes, pools)
        except Ended:
            interrupts.ignore()
            for pool in pools:
                _end_workers(pool)
            remove_temporaries(outdir, [st.name for st in stations])
            raise
        finally:
            bar.close()
            if client is not None:
                client.close()
    ordered = [outcomes[st.name] for st in stations]
    write_combined(ordered, outdir)
    # The NetCDF and the maps come from the combined tables (see vordakit.station_netcdf).
    if station_netcdf.available():
        trends = station_netcdf.write_station_files(ordered, outdir)
        if opts.plots:
            maps.write_station_maps(trends, outdir)
    if not opts.plots:
        maps.remove_station_maps(outdir)
    return ordered


class _Interrupts:
    """SIGINT and SIGTERM while a batch runs: the first interrupt starts no new
    station, a second one or a termination ends the batch (``Ended``)."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self, bar):
        self.bar = bar
        self.ending = []   # the signal that ends the batch, should its Ended be lost in a finalizer
        self.handler = self._interrupted   # one object, to know it again

    def _interrupted(self, signum, frame):
        if signum == signal.SIGINT and not _stop.is_set():
            _stop.set()
            self.bar.close()
            sys.stderr.write("vordakit batch: interrupted: no new station starts, the running ones finish "
                             "(interrupt again to end at once)\n")
            return
        self.ending.append(signum)
        raise Ended(signum)

    def check(self):
        """Raise the Ended that a finalizer may have swallowed."""
        if self.ending:
            raise Ended(self.ending[0])

    def ignore(self):
        for sig in self.SIGNALS:
            signal.signal(sig, signal.SIG_IGN)

    def __enter__(self):
        self.old = {sig: signal.signal(sig, self.handler) for sig in self.SIGNALS}
        self.old_hook = sys.unraisablehook
        sys.unraisablehook = _quiet_if_ended
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self.old_hook
        for sig, handler in self.old.items():
            if signal.getsignal(sig) is self.handler:
                signal.signal(sig, handler)


def _run_here(stations, outdir, vorda, opts, bar, interrupts, outcomes):
    """The stations one after the other in this process."""
    keep_freed_memory()
    for st in stations:
        interrupts.check()
        if _stop.is_set():
            outcomes[st.name] = Outcome(st.name, st.file, reason=NOT_STARTED)
            continue
        o = outcomes[st.name] = process_station(st, outdir, vorda, opts)
        if not o.ok and _stop.is_set():
            o.reason = "interrupted: " + o.reason
        bar.step(o.ok)


def _run_in_workers(stations, outdir, vorda, opts, jobs, bar, interrupts, outcomes, pools):
    """The stations in ``jobs`` worker processes; the pool goes to ``pools``."""
    pool = concurrent.futures.ProcessPoolExecutor(
        max_workers=jobs, mp_context=multiprocessing.get_context("fork"), initializer=_worker_start)
    pools.append(pool)
    futures = {pool.submit(_work, st, outdir, vorda, opts): st for st in stations}
    pending = set(futures)
    while pending:
        interrupts.check()
        done, pending = concurrent.futures.wait(pending, timeout=0.2, return_when=concurrent.futures.FIRST_COMPLETED)
        if _stop.is_set():
            for fut in pending:
                fut.cancel()
        for fut in done:
            st = futures[fut]
            if fut.cancelled():
                outcomes[st.name] = Outcome(st.name, st.file, reason=NOT_STARTED)
                continue
            try:
                outcomes[st.name] = fut.result()
            except Exception as e:  # the worker itself died
                outcomes[st.name] = Outcome(st.name, st.file, reason=f"worker failed: {e!r}")
            if outcomes[st.name].reason != NOT_STARTED:
                bar.step(outcomes[st.name].ok)
    pool.shutdown()


def _run_on_cluster(client, stations, outdir, vorda, opts, bar, interrupts, outcomes):
    """The stations as tasks on a dask.distributed cluster, as many at a time as its workers
    have threads: a station is sent only when a thread is free for it, so that after an
    interrupt none is left queued there to start later."""
    threads = sum(w.get("nthreads", 1) for w in client.scheduler_info()["workers"].values())
    todo = list(reversed(stations))
    running = {}
    # Workers that work in another folder are given the batch folder's full path; those in this
    # one the path as given, which the messages in the stations' folders then name as -j 1 does.
    here = os.getcwd()
    where = outdir if set(client.run(os.getcwd).values()) == {here} else os.path.abspath(outdir)
    tag = uuid.uuid4().hex
    try:
        while todo or running:
            interrupts.check()
            while todo and len(running) < max(threads, 1) and not _stop.is_set():
                st = todo.pop()
                running[client.submit(_station_task, st, where, vorda, opts, pure=False,
                                      key=f"vordakit-station-{tag}-{len(todo)}")] = st
            if _stop.is_set():
                for st in todo:
                    outcomes[st.name] = Outcome(st.name, st.file, reason=NOT_STARTED)
                todo = []
            _collect(running, outcomes, bar)
    except Ended:
        # A task already running on a worker cannot be stopped there: it finishes its station.
        client.cancel(list(running), force=True)
        raise


def _collect(running, outcomes, bar):
    """Wait a little for a station of the cluster to finish, and take the outcomes of those that did."""
    import distributed
    if not running:
        return
    try:
        distributed.wait(list(running), timeout=0.5, return_when="FIRST_COMPLETED")
    except TimeoutError:
        return
    for fut in [f for f in running if f.done()]:
        st = running.pop(fut)
        try:
            outcomes[st.name] = fut.result()
        except Exception as e:  # the worker itself died, more than once
            outcomes[st.name] = Outcome(st.name, st.file, reason=f"worker failed: {e!r}")
        bar.step(outcomes[st.name].ok)


_freed_kept = False


def _station_task(st, outdir, vorda, opts):
    """One station on a cluster's worker (a thread of it), which keeps freed memory as a local worker does."""
    global _freed_kept
    if not _freed_kept:
        keep_freed_memory()
        _freed_kept = True
    return process_station(st, outdir, vorda, opts)


def _end_workers(pool):
    """Terminate the workers of an ending batch, and wait for them."""
    # The pool's own thread trips over the workers it sees go: the
    # batch is ending and says so itself.
    threading.excepthook = lambda args: None
    workers = list(getattr(pool, "_processes", {}).values())
    for w in workers:
        if w.is_alive():
            w.terminate()
    for w in workers:
        w.join(5)
        if w.is_alive():
            w.kill()
            w.join()


def write_combined(outcomes, outdir):
    """summary.csv and the yearly, event and trend tables of all stations, with a station column
    and the station's metadata columns (see ``LEAD_FIELDS``).

    The combined tables are the stations' own tables, line by line, behind
    the station's name: the workers' CSV files are copied rather than their
    records sent back and formatted a second time.
    """
    tables.write_csv(os.path.join(outdir, "summary.csv"), SUMMARY_FIELDS,
                     ((o.name, o.file, _status(o), o.reason, o.runs, o.qc_warnings,
                       f"{o.seconds:.3f}") + tuple(o.metadata.columns().values()) for o in outcomes))
    for table, fields in (("yearly.csv", YEARLY_FIELDS), ("events.csv", EVENT_FIELDS),
                          ("trend.csv", trend.TREND_FIELDS)):
        with atomic_write(os.path.join(outdir, table), "w", newline="") as f:
            f.write(",".join(LEAD_FIELDS + fields) + "\n")
            for o in outcomes:
                if o.tables:
                    _append_table(f, os.path.join(outdir, o.name, table),
                                  (o.name,) + tuple(o.metadata.columns().values()), fields)


def _status(o):
    if o.ok:
        return "ok"
    return "interrupted" if o.reason.startswith("interrupted") else "failed"


def _append_table(f, path, lead_cells, fields):
    cell = io.StringIO()
    csv.writer(cell, lineterminator="").writerow(lead_cells)
    lead = cell.getvalue() + ","
    with open(path, newline="", encoding="utf-8") as src:
        header = next(src, "").rstrip("\r\n")
        if header != ",".join(fields):
            # A station complete from an earlier version (--resume) has its columns in
            # another order or without the newer ones: placed by name, the missing empty.
            f.writelines(_by_name(lead, header, src, fields))
            return
        # Cells never hold line ends, so a line is a row.
        f.writelines(lead + line for line in src)


def _by_name(lead, header, lines, fields):
    names = next(csv.reader([header]), [])
    out = io.StringIO()
    w = csv.writer(out, lineterminator="\n")
    for row in csv.reader(lines):
        cells = dict(zip(names, row))
        w.writerow([cells.get(name, "") for name in fields])
        yield lead + out.getvalue()
        out.seek(0)
        out.truncate()


def command(args):
    # Options first: nothing of a batch that cannot run should be written or said.
    if args.jobs is not None and args.jobs < 1:
        raise KitError(None, None, "-j needs at least 1")
    if args.fill is not None and args.fill < 0:
        raise KitError(None, None, "--fill needs a number of days, 0 or more")
    stations = read_station_list(args.stations)
    # Read now, so that a bad one is refused before any station runs (the workers inherit what was read).
    for path in args.metadata or ():
        metadata.read_metadata_file(path)
    which = engine.choose(args.engine)
    # The library hands only a file it cannot read to vorda, which it then looks for.
    vorda = runner.find_vorda(args.vorda) if which == "process" or args.vorda else None
    opts = Options(plots=not args.no_plots, qc=not args.no_qc,
                   policy="fill" if args.fill is not None else "refuse", fill=args.fill, resume=args.resume,
                   engine=which, metadata=args.metadata)
    if opts.plots and not _matplotlib():
        print("vordakit batch: matplotlib is not installed (Debian package python3-matplotlib): "
              "no plots, as with --no-plots", file=sys.stderr)
        opts.plots = False
    if not station_netcdf.available():
        print("vordakit batch: xarray or netCDF4 is not installed (Debian packages python3-xarray, "
              "python3-netcdf4): no stations.nc, stations-trend.nc or station maps", file=sys.stderr)
    show = sys.stderr.isatty() and not args.no_progress
    try:
        outcomes = run_batch(stations, args.out, vorda, args.jobs, opts, progress=show, scheduler=args.scheduler)
    except Ended as e:
        why = "interrupted again" if e.signum == signal.SIGINT else "terminated"
        sys.stderr.write(f"vordakit batch: {why}: ended at once, without summary\n")
        sys.stderr.flush()
        # The pool's threads may wait for workers that are gone: leave without them.
        os._exit(128 + e.signum)
    failed = [o for o in outcomes if not o.ok and o.reason != NOT_STARTED]
    for o in failed:
        print(f"vordakit batch: {o.name}: {o.reason}", file=sys.stderr)
    resumed = sum(o.resumed for o in outcomes)
    done = sum(o.ok for o in outcomes)
    left = len(outcomes) - done - len(failed)
    print(f"vordakit batch: {done} of {len(outcomes)} stations done"
          + (f" ({resumed} complete from before)" if resumed else "")
          + f", {len(failed)} failed" + (f", {left} not started" if left else "")
          + f"; summary in {os.path.join(args.out, 'summary.csv')}", file=sys.stderr)
    if left or _stop is not None and _stop.is_set():
        print("vordakit batch: interrupted; `vordakit batch --resume` goes on where it stopped", file=sys.stderr)
        return 130
    return 1 if failed else 0


def _matplotlib():
    return importlib.util.find_spec("matplotlib") is not None
