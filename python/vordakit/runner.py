"""Finding and running the built ``vorda``: answers in, status, report and result files out.

This is the only module that knows how ``vorda``'s console dialogue is
answered. Everything else calls ``run_vorda`` (or, for several runs on one
input, ``RunFolder``).

A run happens in a fresh folder inside the result folder, where the input is
linked under the name that is typed at the first question. ``vorda`` names its
result files after that name and writes them into its working folder, so the
result files come out exactly as those of a dialogue run in the input's own
folder. Only when ``vorda`` ends with status 0 are the files renamed into the
result folder; a failed run leaves nothing behind, not even the half-written
files that ``vorda`` itself leaves in its working folder.
"""

import dataclasses
import decimal
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from vordakit.errors import KitError

__all__ = ["BUILD_TREES", "MAX_NAME", "RunResult", "RunFolder", "find_vorda", "threshold_text", "threshold_number",
           "duration_text", "given_duration", "type_letter", "count_records", "run_vorda", "describe_status", "command"]

# The build trees that `cmake --preset release` and `--preset test` make.
BUILD_TREES = ("build/release/vorda", "build/test/vorda")
_REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# vorda keeps the first 80 characters of the name typed at the first question.
MAX_NAME = 80

# A threshold as vorda reads a real: sign, digits with at most one point, an
# optional exponent. Python's float() would also take "1_0", "0x1p3" or
# "inf", which vorda reads differently or not at all.
_REAL = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eEdD][+-]?\d+)?")
_INT = re.compile(r"[+-]?\d+")
_INT32 = (-2**31 + 1, 2**31 - 1)

TYPES = {"upper": "u", "u": "u", "lower": "l", "l": "l"}


def find_vorda(option=None):
    """The vorda program: the option, else the vorda installed beside the ``vordakit`` command,
    else env VORDA, else (in a source checkout) a build tree, else PATH."""
    if option:
        return _check_program(option, "--vorda")
    command_dir = _command_dir()
    if command_dir and _is_program(os.path.join(command_dir, "vorda")):
        return os.path.join(command_dir, "vorda")
    env = os.environ.get("VORDA")
    if env:
        return _check_program(env, "VORDA")
    checkout = _is_checkout()
    for rel in BUILD_TREES if checkout else ():
        exe = os.path.join(_REPO, rel)
        if _is_program(exe):
            return exe
    exe = shutil.which("vorda")
    if exe:
        return exe
    # Name only places that exist: an installed package's own folder is no
    # place to build vorda in.
    advice = "give --vorda PATH or set VORDA, "
    if checkout:
        advice += f"or build it in {_REPO} (cmake --workflow --preset example), "
    if command_dir:
        advice += f"or install it beside vordakit in {command_dir}, "
    raise KitError(None, None, f"cannot find the vorda program: {advice}or put it on PATH")


def _command_dir():
    """The folder of the running ``vordakit`` command, where an install puts vorda too."""
    command = sys.argv[0] if sys.argv else ""
    if os.path.basename(command) != "vordakit":
        return None
    return os.path.dirname(os.path.realpath(command))


def _is_checkout():
    return os.path.isfile(os.path.join(_REPO, "CMakeLists.txt"))


def _is_program(path):
    return os.path.isfile(path) and os.access(path, os.X_OK)


def _check_program(path, source):
    if not os.path.isfile(path):
        raise KitError(path, None, f"no such program (from {source})")
    if not os.access(path, os.X_OK):
        raise KitError(path, None, f"not executable (from {source})")
    return os.path.abspath(path)


def threshold_text(value):
    """The threshold as it will be typed: checked, and kept as the user wrote it."""
    text = str(value).strip()
    if not _REAL.fullmatch(text):
        raise KitError(None, None, f"threshold {value!r} is not a decimal number such as 18.0 or -5")
    if not math.isfinite(_real(text)):
        raise KitError(None, None, f"threshold {value!r} is beyond the range of a real number")
    return text


def threshold_number(value):
    """The number vorda reads from a threshold (checked as ``threshold_text`` checks it).

    >>> threshold_number("18.0"), threshold_number("-5"), threshold_number("2.5d1")
    (18.0, -5.0, 25.0)
    """
    return _real(threshold_text(value))


def _real(text):
    # vorda's reader rounds correctly, as float() does; it also takes d as the exponent's letter.
    return float(text.replace("d", "e").replace("D", "e"))


def duration_text(value):
    """The minimum duration as it will be typed: a whole number of days that vorda reads.

    >>> duration_text(" 3"), duration_text("-2")
    ('3', '-2')
    """
    text = str(value).strip()
    if not _INT.fullmatch(text) or not _INT32[0] <= int(text) <= _INT32[1]:
        raise KitError(None, None, f"minimum duration {value!r} is not a whole number of days")
    return text


def given_duration(value):
    """A minimum duration as a user gives it to a command: as ``duration_text``, and 0 or more.

    vorda takes a negative duration as it takes 0 or 1 (every event counts)
    but writes it into the result names (``durmin--2``): from a user it can
    only be a slip.

    >>> given_duration("0")
    '0'
    """
    text = duration_text(value)
    if int(text) < 0:
        raise KitError(None, None, f"minimum duration {value!r} is below 0 days (0 and 1 both count every event)")
    return text


def type_letter(value):
    letter = TYPES.get(str(value).strip().lower())
    if letter is None:
        raise KitError(None, None, f"threshold type {value!r} is neither upper nor lower")
    return letter


def count_records(path):
    """Records of a VORDA input file, one per line that holds anything but blanks.

    This is the answer to the size question. A record written over several
    lines is counted more than once, and vorda then ends with its own
    end-of-file report; give the size explicitly for such files.
    """
    with open(path, "rb") as f:
        data = f.read()
    if not any(c in data for c in _RARE_SPACE) and not data.startswith((b"\n", b" ")) \
            and b"\n\n" not in data and b"\n " not in data:
        # Blanks and line ends only, and every line starts with something else.
        return data.count(b"\n") + (bool(data) and not data.endswith(b"\n"))
    lines = data.splitlines()
    return len(lines) - lines.count(b"") - sum(map(bytes.isspace, lines))


# White space other than blanks and line ends: rare in a VORDA input file.
_RARE_SPACE = (b"\r", b"\t", b"\x0b", b"\x0c")


def refuse_markers(path, size=None):
    """Refuse a VORDA input whose records (the first ``size`` of them) hold a missing-value marker.

    vorda has no missing values: it would analyse a -999 as a temperature,
    an event of -999 degrees among the results. Only a regular file is read
    here (a pipe would be used up before vorda reads it), and a file this
    reader cannot make sense of is left to vorda, whose report then says why.
    """
    from vordakit.formats import vorda as layout

    if not os.path.isfile(path):
        return
    try:
        series = layout.read(path, problem=lambda *a, **k: None)
    except (OSError, KitError):
        return
    x = series.x if size is None else series.x[:max(int(size), 0)]
    left = x != x
    if not left.any():
        return
    line = int(series.line[left.argmax()])
    raise KitError(path, line, f"missing-value marker {_value_on_line(path, line)} left in: vorda would analyse it "
                               "as a value; fill the day in first (vordakit convert --fill N) or give --unchecked "
                               "to pass the file to vorda as it is")


def _value_on_line(path, line):
    with open(path, encoding="utf-8-sig", errors="replace") as f:
        for number, text in enumerate(f, 1):
            if number == line:
                return text.replace(",", " ").split()[-1]
    return ""


def _typed_name(name):
    """The first answer for a file name: delimited when vorda would cut it short."""
    if not name or name in (".", "..") or "/" in name:
        raise KitError(name, None, "not a plain file name to give vorda")
    if any(ord(c) < 32 or ord(c) == 127 for c in name):
        raise KitError(name, None, "the file name holds control characters, which vorda cannot be given")
    if name.endswith(" "):
        raise KitError(name, None, "the file name ends with a blank, which vorda drops; give another name (--name)")
    if len(name.encode()) > MAX_NAME:
        raise KitError(name, None,
                       f"the file name is longer than the {MAX_NAME} characters vorda keeps; "
                       "give a shorter name for it (--name)")
    if re.search(r"[\s,;/'\"]", name) or re.match(r"\d+\*", name):
        return "'" + name.replace("'", "''") + "'"
    return name


@dataclasses.dataclass
class RunResult:
    status: int          # vorda's exit status (128 + signal when killed)
    report: bytes        # vorda's standard error, unchanged
    files: list          # result files moved into the result folder (paths), in name order
    seconds: float = 0.0  # wall time of the vorda process alone


def run_vorda(vorda, source, thrtype, threshold, min_duration, outdir, name=None, size=None):
    """Run vorda once on ``source`` and put its result files into ``outdir``.

    ``name`` is the file name typed at the first question (default: the
    source's own name); it names the result files and appears in their
    headers. ``size`` is the answer to the size question (default: the
    records counted in the source). Returns a RunResult; a failure of vorda
    is not an exception here but a status and a report, for the caller to
    pass on.
    """
    with RunFolder(vorda, source, outdir, name) as folder:
        return folder.run(thrtype, threshold, min_duration, size)


class RunFolder:
    """A working folder for runs of vorda on one input, whose result files go into one result folder.

    The working folder lies inside the result folder (so that the result
    files are renamed, not copied, into place) and holds only the link to the
    input between runs; it is removed on leaving the ``with`` block.
    """

    def __init__(self, vorda, source, outdir, name=None):
        self.vorda = vorda
        self.source = os.path.abspath(source)
        self.outdir = outdir
        self.name = os.path.basename(self.source) if name is None else name
        self.typed = _typed_name(self.name)
        self.work = None

    def __enter__(self):
        os.makedirs(self.outdir, exist_ok=True)
        from vordakit.notes import check_notes
        check_notes(self.outdir)
        self.work = work_folder(self.outdir)
        try:
            os.symlink(self.source, os.path.join(self.work, self.name))
        except BaseException:
            shutil.rmtree(self.work, ignore_errors=True)
            raise
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.work, ignore_errors=True)

    def run(self, thrtype, threshold, min_duration, size=None):
        letter = type_letter(thrtype)
        thr = threshold_text(threshold)
        dur = duration_text(min_duration)
        if size is None:
            try:
                size = count_records(self.source)
            except OSError:
                # vorda's own report of the open failure is the one to show.
                size = 0
            else:
                if size == 0:
                    # vorda would write header-only files and call it a success.
                    raise KitError(self.source, None, "holds no records: nothing to analyse")
        answers = f"{self.typed}\n{int(size)}\n{letter}\n{thr}\n{dur}\n".encode()
        t0 = time.perf_counter()
        proc = subprocess.run([self.vorda], input=answers, cwd=self.work,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - t0
        status = proc.returncode if proc.returncode >= 0 else 128 - proc.returncode
        written = [e for e in sorted(os.listdir(self.work)) if e != self.name]
        if status != 0:
            # The files a failed run opened are half-written: none goes further.
            for entry in written:
                os.unlink(os.path.join(self.work, entry))
            return RunResult(status, proc.stderr, [], seconds)
        moved = place_all(self.work, written, self.outdir)
        # So that tidy, trend and plot find the input's calendar later.
        from vordakit.notes import note_run
        note_run(self.outdir, self.name, self.source, "upper" if letter == "u" else "lower",
                 threshold_number(thr), int(dur))
        return RunResult(0, proc.stderr, moved, seconds)


def work_folder(outdir):
    """A fresh hidden folder inside the result folder for one run's files."""
    try:
        return tempfile.mkdtemp(prefix=".vordakit-run-", dir=outdir)
    except OSError as e:
        # Say it of the result folder the user named, not of the hidden one.
        raise OSError(e.errno, e.strerror, outdir) from None


def place_all(work, names, outdir):
    """Move the result files ``names`` from ``work`` into ``outdir``; returns their paths there.

    A folder where a result file should go is refused before any file moves,
    so that a run's files land all together or not at all.
    """
    targets = [os.path.join(outdir, name) for name in names]
    for target in targets:
        if os.path.isdir(target):
            raise KitError(target, None, "is a folder, where a result file of the run should go; nothing was placed")
    for name, target in zip(names, targets):
        place(os.path.join(work, name), target)
    return targets


def place(path, target):
    """Move the result file ``path`` to ``target``.

    A symbolic link at ``target`` (to /dev/null, say, for a result that is not
    wanted) is written through, as vorda itself writes through it, instead of
    being replaced by a regular file.
    """
    if os.path.islink(target):
        with open(path, "rb") as src, open(target, "wb") as dst:
            shutil.copyfileobj(src, dst)
        os.unlink(path)
    else:
        os.replace(path, target)


def looks_like_vorda_input(path):
    """Whether the first line that holds anything starts with five numbers, as a VORDA record does.

    >>> import io, os, tempfile
    >>> with tempfile.NamedTemporaryFile("w", suffix=".csv", delete=False) as f:
    ...     _ = f.write("date,tg\\n2001-01-01,3.5\\n")
    >>> looks_like_vorda_input(f.name)
    False
    >>> os.unlink(f.name)
    """
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return True  # vorda's own report says what is wrong with it
    for line in head.splitlines():
        words = re.split(rb"[\s,]+", line.strip())
        if words == [b""]:
            continue
        return len(words) >= 5 and all(_REAL.fullmatch(w.decode("latin-1")) for w in words[:5])
    return True


def describe_status(status):
    """A few words on a non-zero status, for summaries.

    >>> describe_status(137), describe_status(2)
    ('vorda was killed by signal 9 (SIGKILL)', 'vorda ended with status 2')
    """
    if status > 128 and status - 128 in signal.valid_signals():
        number = status - 128
        try:
            name = f" ({signal.Signals(number).name})"
        except ValueError:
            name = ""
        return f"vorda was killed by signal {number}{name}"
    return f"vorda ended with status {status}"


def shown_decimals_warning(threshold):
    """A warning when the result names (one decimal) show the threshold otherwise than typed.

    Two thresholds that round alike (16.25 and 16.3) would give the same
    result names, and the second run would replace the first one's files.

    >>> shown_decimals_warning("16.25")
    'threshold 16.25 appears as 16.3 in the result names and headers (vorda shows one decimal)'
    >>> shown_decimals_warning("-2"), shown_decimals_warning("18.50")
    (None, None)
    """
    from vordakit.notes import shown_threshold

    value = threshold_number(threshold)
    shown = shown_threshold(value)
    if decimal.Decimal(shown) == decimal.Decimal(value):
        return None
    return f"threshold {threshold} appears as {shown} in the result names and headers (vorda shows one decimal)"


def command(args):
    """``vordakit run``: the result files' paths on standard output, vorda's report unchanged."""
    vorda = find_vorda(args.vorda)
    res = run_vorda(vorda, args.input, args.type, args.threshold, args.min_duration, args.out,
                    name=args.name, size=args.size)
    return finish_run(args, res)


def finish_run(args, res):
    """The end of ``vordakit run`` with either engine: the report of a failure, else the files' paths."""
    warning = shown_decimals_warning(args.threshold)
    if warning:
        print(f"vordakit run: warning: {warning}", file=sys.stderr)
    if res.status != 0:
        sys.stderr.flush()
        sys.stderr.buffer.write(res.report)
        if not res.report or res.status > 128:
            sys.stderr.buffer.write(f"vordakit run: {describe_status(res.status)}\n".encode())
        if not looks_like_vorda_input(args.input):
            sys.stderr.buffer.write(
                f"vordakit run: {args.input} does not start with a record 't d m yr x'; "
                f"a station file needs converting first: vordakit convert {args.input} series.txt\n".encode())
        sys.stderr.flush()
        return res.status
    for path in res.files:
        print(path)
    return 0
