"""vordakit: the companion toolkit of VORDA.

It turns station files into VORDA input series and checks them, runs the
built ``vorda`` program without its dialogue, and turns its result files into
tables, trends and plots. It reaches vorda's analyses through the binding
``vordakit._vorda`` when that is built, else by running ``vorda`` as a
process, and never computes what ``vorda`` computes.

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
