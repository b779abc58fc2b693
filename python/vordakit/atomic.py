"""Writing a file so that it appears whole or not at all."""

import contextlib
import os
import tempfile

__all__ = ["atomic_write"]


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
        # mkstemp makes the file private; give it the usual permissions.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
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
