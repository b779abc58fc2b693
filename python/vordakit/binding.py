"""The compiled binding ``vordakit._vorda``: the one place that loads it.

The binding is vorda's analyses on numpy arrays (see its module
documentation); it is built with the core, into the build tree's
``python/vordakit/`` folder, where the package looks for it.
"""

from vordakit.errors import KitError

__all__ = ["REMEDY", "load", "require"]

# How to build it: the release preset builds the binding beside vorda.
REMEDY = "build it with: cmake --preset release && cmake --build --preset release"


def load():
    """The binding, or None when it is not built (or does not load here)."""
    try:
        from vordakit import _vorda
    except ImportError:
        return None
    return _vorda


def require(what="this"):
    """The binding, or a KitError saying that ``what`` needs it and how to build it."""
    lib = load()
    if lib is None:
        raise KitError(None, None, f"{what} needs the binding vordakit._vorda, which is not built; {REMEDY}")
    return lib
