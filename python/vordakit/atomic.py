"""Writing a file so that it appears whole or not at all, with the permissions the umask gives.

``atomic_write`` yields a file object; ``atomic_path`` yields the path of the
temporary file, for writers that open a path themselves (NetCDF).
"""

import contextlib
import os
import tempfile

__all__ = ["atomic_write", "atomic_path", "umask"]


@contextlib.contextmanager
def atomic_write(path, mode="w", newline=None, encoding="utf-8"):
    """Yield a file object whose content replaces ``path`` only on success.

    The data goes to a temporary file in the target folder (so the final
    rename stays on one file system and is atomic); any exception removes it
    and leaves an existing ``path`` untouched. No fsync: a crash of the
    machine may lose the file, but a failed run never leaves half of one.
    """
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    except OSError as e:
        # Name the file the user asked for, not the temporary one.
        raise OSError(e.errno, e.strerror, path) from None
    try:
        if "b" in mode:
            f = os.fdopen(fd, mode)
        else:
            f = os.fdopen(fd, mode, newline=newline, encoding=encoding)
        with f:
            yield f
        _place(tmp, path)
    except OSError as e:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        if e.errno is not None and e.filename in (None, tmp):
            # A full disk, or a folder where the file should go: say it of the
            # file the user named, never of the hidden temporary one.
            raise OSError(e.errno, e.strerror, path) from None
        raise
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def umask():
    """The process's umask (reading it means setting it: set it back at once)."""
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _place(tmp, path):
    # mkstemp makes the file private; give it the usual permissions.
    os.chmod(tmp, 0o666 & ~umask())
    os.replace(tmp, path)


def _temporary(path):
    """A fresh empty temporary file beside ``path``; an error names ``path``."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    os.close(fd)
    return tmp


@contextlib.contextmanager
def atomic_path(path):
    """Yield the path of a temporary file beside ``path`` that replaces ``path`` on success.

    For writers that take a file name (netCDF4 writes through its own
    library). The temporary file exists, empty, when the block starts, so
    that a folder that cannot take it is refused before any work; any
    exception removes it.

    >>> import os, tempfile
    >>> target = os.path.join(tempfile.mkdtemp(), "out.txt")
    >>> with atomic_path(target) as tmp:
    ...     _ = open(tmp, "w").write("whole")
    >>> open(target).read(), oct(os.stat(target).st_mode & 0o777) == oct(0o666 & ~umask())
    ('whole', True)
    """
    path = os.fspath(path)
    tmp = _temporary(path)
    try:
        yield tmp
        _place(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
