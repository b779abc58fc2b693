"""A dask.distributed cluster to send the toolkit's work to, checked before any work goes.

Work sent to workers that cannot import vordakit (or its binding) never
comes back: each worker dies unpickling it and the client waits for ever. So
``connect`` first runs a probe on every worker, a builtin (which unpickles
anywhere) importing the package and its binding, and ends within about
``CONNECT + WORKERS + PROBE`` seconds with one KitError line where the
cluster cannot do the work.
"""

import os
import uuid

import vordakit
from vordakit import binding
from vordakit.errors import KitError

__all__ = ["connect", "probe", "start_workers"]

# Seconds to wait: for the scheduler to answer, for a first worker, for the probe.
CONNECT, WORKERS, PROBE = 10, 15, 20

# Evaluated on a worker: the package and the binding imported, the version back.
_PROBE = "__import__('vordakit._vorda').__version__"


def connect(address):
    """A distributed.Client of the scheduler at ``address`` whose workers all can
    run the toolkit; KitError (one line, naming the address) where there is no
    scheduler, no worker, or a worker that cannot import vordakit."""
    from distributed import Client
    try:
        client = Client(address, timeout=f"{CONNECT}s")
    except Exception as e:  # the comm layer raises OSError, TimeoutError or ValueError for one cause
        raise KitError(None, None, f"--scheduler {address}: cannot connect, no scheduler answers there "
                                   f"({_one_line(e)})") from None
    try:
        probe(client, address)
    except BaseException:
        client.close()
        raise
    return client


def probe(client, address, workers=WORKERS, timeout=PROBE):
    """Check that the client's cluster has workers and that each imports vordakit
    and its binding; returns the workers' toolkit versions, {worker: version}."""
    import distributed
    try:
        client.wait_for_workers(1, timeout=workers)
    except Exception:  # TimeoutError, of asyncio or of the builtins by version
        raise KitError(None, None, f"--scheduler {address}: no worker joined the scheduler in {workers} s: "
                                   + start_workers(address)) from None
    names = sorted(client.scheduler_info()["workers"])
    tag = uuid.uuid4().hex
    futures = {w: client.submit(eval, _PROBE, key=f"vordakit-probe-{tag}-{i}", workers=[w],
                                allow_other_workers=False, pure=False)
               for i, w in enumerate(names)}
    try:
        distributed.wait(list(futures.values()), timeout=timeout)
    except Exception:
        client.cancel(list(futures.values()))
        raise KitError(None, None, f"--scheduler {address}: the workers did not run a probe task in {timeout} s "
                                   "(they may be dying on start): " + start_workers(address)) from None
    versions = {}
    for w, f in futures.items():
        if f.status == "error":
            raise KitError(None, None, f"--scheduler {address}: the workers cannot import vordakit "
                                       f"({_one_line(f.exception())}): " + start_workers(address))
        versions[w] = f.result()
    return versions


def _one_line(error):
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def start_workers(address):
    """How to start a worker that can run the toolkit: with this toolkit's own
    folders on its path, or the package installed in the worker's Python."""
    package = os.path.dirname(os.path.abspath(vordakit.__file__))
    lib = binding.load()
    built = os.path.join("BUILD", "python", "vordakit") if lib is None else os.path.dirname(
        os.path.abspath(lib.__file__))
    path = "" if built == package else f" VORDA_BINDING_DIR={built}"
    return (f"start each worker so that it imports vordakit and its binding, as in PYTHONPATH="
            f"{os.path.dirname(package)}{path} dask worker {address} (the same paths on every host), "
            "or install the package with its binding in the workers' Python")
