"""vordakit: the companion toolkit of VORDA, a library with a command line over it.

It reads station files in several layouts, checks them, analyses them with
vorda's own code, and turns the results into tables, trends and plots, for
one station, a batch of them or a grid. It reaches vorda's analyses through
the binding ``vordakit._vorda`` when that is built, else by running ``vorda``
as a process, and never computes what ``vorda`` computes.

The Python API (see docs/api.md) is re-exported here and loaded when first
used, so that ``import vordakit`` and the command line start without numpy:

>>> import vordakit
>>> sorted(vordakit.__all__)
['analyse', 'indices', 'percentile_thresholds', 'read_station', 'trends']

A build leaves the binding in ``build/<preset>/python/vordakit/``; the
package looks for it there (``$VORDA_BINDING_DIR`` first, then the release
build, then the test build) after its own folder.
"""

import os as _os

_REPO = _os.path.dirname(_os.path.dirname(_os.path.dirname(_os.path.abspath(__file__))))
__path__ += [p for p in (_os.environ.get("VORDA_BINDING_DIR"),
                         _os.path.join(_REPO, "build", "release", "python", "vordakit"),
                         _os.path.join(_REPO, "build", "test", "python", "vordakit"))
             if p and _os.path.isdir(p)]


def _version():
    # An installed package carries the version in _version.py, written by
    # `cmake --install` or by pip; a source checkout takes it from the one
    # place it is kept, project(... VERSION ...) in CMakeLists.txt.
    try:
        from vordakit._version import version
        return version
    except ImportError:
        pass
    import re
    try:
        with open(_os.path.join(_REPO, "CMakeLists.txt"), encoding="utf-8") as f:
            found = re.search(r"project\(\s*vorda\s+VERSION\s+([0-9.]+)", f.read())
    except OSError:
        found = None
    return found.group(1) if found else "unknown"


__version__ = _version()

__all__ = ["read_station", "analyse", "trends", "percentile_thresholds", "indices"]


def __getattr__(name):
    """The API's functions, from vordakit.api when one is first asked for."""
    if name in __all__:
        from vordakit import api
        return getattr(api, name)
    raise AttributeError(f"module 'vordakit' has no attribute {name!r}")


def __dir__():
    return sorted(list(globals()) + __all__)
