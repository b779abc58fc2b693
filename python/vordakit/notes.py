"""What the toolkit notes beside vorda's result files, and what the notes add to the tables.

vorda's result files name their input but not where it lies, and show the
threshold with one decimal. A run through the toolkit notes the input's path
(inputs.csv) and the threshold it was given (runs.csv) in the result folder;
the tables take from them the days each year holds, whether a year is whole,
the date of an SGS or LFD ordinal, and the threshold_used column.
"""

import collections
import csv
import math
import os

from vordakit.errors import KitError
from vordakit.results import RUN_FIELDS, TYPE_INDICES, USED_FIELD, Run, write_csv

__all__ = ["INPUTS", "RUNS", "note_run", "check_notes", "shown_threshold", "used_thresholds",
           "input_of", "year_calendar", "remember_calendar", "add_notes"]

# Where `run` notes the input of the runs whose result files it placed, and
# the threshold each run was given.
INPUTS = "inputs.csv"
RUNS = "runs.csv"
RUNS_FIELDS = RUN_FIELDS + (USED_FIELD,)
INPUTS_FIELDS = ("input", "source")


def note_run(folder, name, source, thrtype, threshold, min_duration):
    """Record in ``folder`` that the result files of input ``name`` came from
    ``source`` (inputs.csv), and the threshold of their run as given (runs.csv).

    ``threshold`` is the number the run read; the result files show it with
    one decimal, rounded half away from zero, and a later run that shows alike
    replaces both the files and the row. A note that cannot be read is
    refused (see ``check_notes``), never replaced by one without its rows.
    """
    known = dict(_read_inputs(folder))
    known[name] = os.path.abspath(source)
    write_csv(os.path.join(folder, INPUTS), INPUTS_FIELDS, sorted(known.items()))
    runs = {row[:4]: row[4] for _, row in _read_rows(folder, RUNS, RUNS_FIELDS)}
    runs[(name, thrtype, shown_threshold(threshold), str(min_duration))] = repr(float(threshold))
    write_csv(os.path.join(folder, RUNS), RUNS_FIELDS, (key + (used,) for key, used in sorted(runs.items())))


def check_notes(folder):
    """Refuse, before a run places anything, a folder whose notes a run could not add to."""
    _read_inputs(folder)
    used_thresholds(folder)


def shown_threshold(value):
    """The threshold as the result files show it: one decimal, the binary value
    rounded half away from zero.

    >>> shown_threshold(16.25), shown_threshold(-0.05), shown_threshold(1e30)
    ('16.3', '-0.1', '1000000000000000019884624838656.0')
    """
    import decimal

    exact = decimal.Context(prec=400)  # every double's digits and one decimal more
    return str(decimal.Decimal(value).quantize(decimal.Decimal("0.1"), decimal.ROUND_HALF_UP, exact))


def _read_rows(folder, name, fields):
    """The rows after the header of the note ``name`` in ``folder``, each with its line number;
    none if there is no such file.

    A note that cannot be read, or that is not the toolkit's (another header,
    a row of another width), is refused with its file and line: a run would
    otherwise write it anew without the rows it could not read.
    """
    path = os.path.join(folder, name)
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            rows = list(csv.reader(f))
    except FileNotFoundError:
        return []
    except UnicodeDecodeError as e:
        raise KitError(path, None, f"not UTF-8 text ({e.reason} at byte {e.start})") from None
    except csv.Error as e:
        raise KitError(path, None, f"not a CSV table: {e}") from None
    except OSError as e:
        raise KitError(path, None, f"cannot be read: {e.strerror}") from None
    if not rows or tuple(rows[0]) != fields:
        raise KitError(path, 1, "expected the header " + ",".join(fields))
    for number, row in enumerate(rows[1:], start=2):
        if row and len(row) != len(fields):
            raise KitError(path, number, f"expected {len(fields)} fields, found {len(row)}")
    return [(number, tuple(row)) for number, row in enumerate(rows[1:], start=2) if row]


def _read_inputs(folder):
    return [row for _, row in _read_rows(folder, INPUTS, INPUTS_FIELDS)]


def used_thresholds(folder):
    """The thresholds runs.csv records: Run -> the threshold the run was given.

    >>> import tempfile
    >>> folder = tempfile.mkdtemp()
    >>> note_run(folder, "s.txt", "s.txt", "upper", 16.25, 6)
    >>> used_thresholds(folder)
    {Run(input='s.txt', type='upper', threshold=16.3, min_duration=6): 16.25}
    """
    out = {}
    lines = {}
    path = os.path.join(folder, RUNS)
    for number, (name, thrtype, shown, durmin, used) in _read_rows(folder, RUNS, RUNS_FIELDS):
        other = lines.setdefault((name, thrtype, shown, durmin), number)
        if other != number:
            raise KitError(path, number, f"the same run as line {other}")
        if thrtype not in TYPE_INDICES:
            raise KitError(path, number, f"threshold type {thrtype!r} is neither upper nor lower")
        try:
            run = Run(name, thrtype, float(shown), int(durmin))
            value = float(used)
        except ValueError:
            raise KitError(path, number, "threshold, min_duration and threshold_used must be numbers") from None
        # A row edited by hand must still name the threshold its result files show.
        if not math.isfinite(value) or shown_threshold(value) != shown:
            raise KitError(path, number, f"threshold_used {used!r} does not show as the threshold {shown!r}")
        out[run] = value
    return out


def input_of(folder, name):
    """The input series of the runs of input ``name``: noted by `run`, or beside the result files."""
    for noted, source in _read_inputs(folder):
        if noted == name and os.path.isfile(source):
            return source
    beside = os.path.join(folder, name)
    return beside if os.path.isfile(beside) else None


def year_calendar(ordinals):
    """Per year of a series' calendar days: (days held, whole, their ordinals in file order).

    A year is whole when it holds every day of the months the series holds at
    all: the whole year, or the whole season of a series cut to some months.

    >>> import datetime
    >>> days = [datetime.date(2001, 12, 30).toordinal() + k for k in range(4)]
    >>> {y: (n, whole) for y, (n, whole, _) in year_calendar(days).items()}
    {2001: (2, False), 2002: (2, False)}
    """
    import calendar

    import numpy as np

    # For the days 2001-12-30 .. 2002-01-02 of the example:
    ords = np.asarray(ordinals, dtype=np.int64)
    dates = (ords - _EPOCH_ORDINAL).astype("datetime64[D]")
    years = dates.astype("datetime64[Y]").astype(np.int64) + 1970       # [2001 2001 2002 2002]
    months = dates.astype("datetime64[M]").astype(np.int64) % 12 + 1    # [12 12 1 1]
    held_months = np.flatnonzero(np.bincount(months, minlength=13)).tolist()  # [1, 12]
    # Each year's records together, in file order within the year.
    order = np.argsort(years, kind="stable")                            # [0 1 2 3]
    firsts, starts, counts = np.unique(years[order], return_index=True, return_counts=True)
    out = {}                                                             # years [2001 2002], starts [0 2], counts [2 2]
    for year, a, n in zip(firsts.tolist(), starts.tolist(), counts.tolist()):
        expected = sum(calendar.monthrange(year, m)[1] for m in held_months)   # 62 for December and January
        out[year] = (n, n == expected, ords[order[a:a + n]])
    return out


_EPOCH_ORDINAL = 719163  # 1970-01-01, day 0 of numpy's dates

# The calendar days of inputs already read in this process, by the file's
# identity (path, modification time, size): a batch reads each input for its
# checks before the tables want its days, and need not read it again.
_CALENDARS = collections.OrderedDict()
_CALENDARS_KEPT = 8


def _file_key(path):
    st = os.stat(path)
    return os.path.realpath(path), st.st_mtime_ns, st.st_size


def remember_calendar(path, ordinals):
    """Keep the calendar days of the records read from ``path`` (their ``ordinals``) for its tables."""
    _CALENDARS[_file_key(path)] = ordinals
    while len(_CALENDARS) > _CALENDARS_KEPT:
        _CALENDARS.popitem(last=False)


def _calendar_of(source):
    from vordakit.formats import vorda as vorda_format

    kept = _CALENDARS.get(_file_key(source))
    return year_calendar(kept if kept is not None else vorda_format.read(source).ordinal)


def add_notes(results, folder):
    """Fill in what ``folder``'s notes give a Results' records: each one's
    threshold_used (runs.csv), and each yearly one's days, whole and, for SGS
    and LFD, date (from its input, found through inputs.csv)."""
    used = used_thresholds(folder)
    results.yearly = _with_calendar(results.yearly, folder, results.warnings, used)
    if used:
        results.events = [r._replace(threshold_used=used.get(Run(*r[:4]))) for r in results.events]


def _with_calendar(yearly, folder, warnings, used):
    import datetime

    calendars = {}
    out = []
    for r in yearly:
        threshold_used = used.get(Run(*r[:4])) if used else None
        if r.input not in calendars:
            source = input_of(folder, r.input)
            calendars[r.input] = None
            if source is not None:
                try:
                    calendars[r.input] = _calendar_of(source)
                except (KitError, OSError) as e:
                    warnings.append(f"{source}: the input of {r.input} cannot be read ({e}); "
                                    "no days per year, partial years not known")
        cal = calendars[r.input]
        if cal is None or r.year not in cal:
            out.append(r._replace(threshold_used=threshold_used) if threshold_used is not None else r)
            continue
        days, whole, ords = cal[r.year]
        date = None
        if r.index in ("SGS", "LFD") and r.value is not None and 1 <= r.value <= len(ords):
            date = datetime.date.fromordinal(int(ords[r.value - 1])).isoformat()
        out.append(r._replace(days=days, whole=int(whole), date=date, threshold_used=threshold_used))
    return out
