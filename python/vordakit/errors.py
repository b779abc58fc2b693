"""The one error type of the toolkit: a reason tied to a file and, where known, a line."""


class KitError(Exception):
    """An input or output the toolkit cannot use.

    ``str()`` gives ``path:line: reason`` (or ``path: reason`` without a
    line), the form compilers use, so editors can jump to the place.
    """

    def __init__(self, path, line, reason):
        self.path = str(path) if path is not None else None
        self.line = line
        self.reason = reason
        super().__init__(str(self))

    def __str__(self):
        if self.path is None:
            return self.reason
        if self.line is None:
            return f"{self.path}: {self.reason}"
        return f"{self.path}:{self.line}: {self.reason}"
