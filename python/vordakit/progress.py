"""A one-line progress bar on standard error: how far the work is, what failed so far, the time left.

``batch`` counts its stations with it and ``grid`` its chunks; both draw it
only on a terminal. The time left is the time so far spread over what is
done, for what is not: a guess that is better the more alike the parts are.

>>> import io
>>> out = io.StringIO()
>>> bar = Bar(4, "stations", "failed", out=out, width=8)
>>> bar.update(1, 1, elapsed=30.0)
>>> out.getvalue()
'\\r[##......] 1/4 stations, 1 failed, 30 s, about 1 min 30 s left'
"""

import sys
import threading
import time

__all__ = ["Bar", "duration_text"]


def duration_text(seconds):
    """A duration as a person reads it.

    >>> duration_text(42.4), duration_text(125), duration_text(7380)
    ('42 s', '2 min 05 s', '2 h 03 min')
    """
    s = int(round(seconds))
    if s < 60:
        return f"{s} s"
    if s < 3600:
        return f"{s // 60} min {s % 60:02d} s"
    return f"{s // 3600} h {s % 3600 // 60:02d} min"


class Bar:
    """The bar of ``total`` parts (``what``: stations, chunks); ``failed`` names what the
    count of failures counts. ``ticking()`` redraws it every second while parts are slow."""

    def __init__(self, total, what, failed, enabled=True, out=None, width=30):
        self.total, self.what, self.failed_word = total, what, failed
        self.enabled, self.out, self.width = enabled, out or sys.stderr, width
        self.done = self.failed = 0
        self.t0 = time.monotonic()
        self.drawn = False
        self.lock = threading.Lock()

    def step(self, ok):
        """One more part done, failed unless ``ok``."""
        self.update(self.done + 1, self.failed + (not ok))

    def update(self, done, failed, elapsed=None):
        with self.lock:
            self.done, self.failed = done, failed
            self._draw(time.monotonic() - self.t0 if elapsed is None else elapsed)

    def _draw(self, elapsed):
        if not self.enabled:
            return
        filled = self.width * self.done // max(self.total, 1)
        bar = "#" * filled + "." * (self.width - filled)
        left = ""
        if 0 < self.done < self.total:
            left = f", about {duration_text(elapsed / self.done * (self.total - self.done))} left"
        self.out.write(f"\r[{bar}] {self.done}/{self.total} {self.what}, {self.failed} {self.failed_word}, "
                       f"{duration_text(elapsed)}{left}")
        self.out.flush()
        self.drawn = True

    def ticking(self):
        """A context that redraws the bar every second (the time so far goes on) until it ends."""
        return _Ticking(self)

    def close(self):
        if self.enabled and self.drawn:
            self.out.write("\n")
            self.out.flush()
            self.drawn = False


class _Ticking:
    def __init__(self, bar):
        self.bar, self.stop = bar, threading.Event()

    def _run(self):
        while not self.stop.wait(1.0):
            self.bar.update(self.bar.done, self.bar.failed)

    def __enter__(self):
        if self.bar.enabled:
            self.bar.update(0, 0)
            self.thread = threading.Thread(target=self._run, daemon=True)
            self.thread.start()
        return self.bar

    def __exit__(self, *exc):
        if self.bar.enabled:
            self.stop.set()
            self.thread.join()
            self.bar.close()
