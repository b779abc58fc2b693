"""What the toolkit notes beside vorda's result files, and what the notes add to the tables.

vorda's result files name their input but not where it lies, and show the
threshold with one decimal. A run through the toolkit notes the input's path
(inputs.csv) and the threshold it was given (runs.csv) in the result folder;
the tables take from them the days each year holds, whether a year is whole,
the date of an SGS or LFD ordinal, and the threshold_used column.

A percentile run (see vordakit.percentile) notes beside its exceedance
series the threshold of each calendar day (``...-thresholds.csv``) and a
description of the run (``....json``: percentile, base, window, and the
resampled values of the base years of a bootstrap); the tables take from
them the percentile columns and the bootstrap values.
"""

import collections
import csv
import datetime
import json
import itertools
import math
import operator
import os
import re

import numpy as np

from vordakit import catalogue, dates
from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.formats import vorda as vorda_format
from vordakit.model import (CALENDAR_FIELDS, RUN_FIELDS, SPAN_FIELDS, USED_FIELD, EventRecord, NoValueWarning, Run,
                            YearlyRecord, event_spans)
from vordakit.tables import write_csv
from vordakit.thresholds import exceedance_texts, shown_threshold

__all__ = ["INPUTS", "RUNS", "InputDays", "input_days", "note_run", "check_notes", "used_thresholds", "input_of",
           "remember_calendar",
           "add_notes", "add_calendar", "read_description", "write_description", "record_bootstrap",
           "threshold_table_path", "write_threshold_table", "read_thresholds", "add_percentile_marks",
           "mark_percentile_runs", "station_of"]

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
        if thrtype not in catalogue.TYPES:
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


# The calendar days of inputs already read in this process, by the file's
# identity (path, modification time, size): a batch reads each input for its
# checks before the tables want its days, and need not read it again.
_CALENDARS = collections.OrderedDict()
_CALENDARS_KEPT = 8


def _file_key(path):
    st = os.stat(path)
    return os.path.realpath(path), st.st_mtime_ns, st.st_size


# What the tables take from a run's input: per year its days (dates.year_calendar),
# and each record's counter t and calendar day, which place its events.
InputDays = collections.namedtuple("InputDays", "years t ordinal")


def input_days(ordinal, t, ymd=None):
    """The InputDays of a series' records: their calendar days and counters (and their
    (year, month, day), where known)."""
    return InputDays(dates.year_calendar(ordinal, ymd), t, ordinal)


def remember_calendar(path, ordinals, t, ymd=None):
    """Keep the calendar days and counters (and their (year, month, day)) of the records read
    from ``path`` for its tables."""
    _CALENDARS[_file_key(path)] = (ordinals, t, ymd)
    while len(_CALENDARS) > _CALENDARS_KEPT:
        _CALENDARS.popitem(last=False)


def _calendar_of(source):
    kept = _CALENDARS.get(_file_key(source))
    if kept is None:
        series = vorda_format.read(source)
        kept = series.ordinal, series.t, series.ymd
    return input_days(*kept)


def add_notes(results, folder):
    """Fill in what ``folder``'s notes give a Results' records: each one's
    threshold_used (runs.csv), and each yearly one's days, whole and, for SGS
    and LFD, date (from its input, found through inputs.csv)."""
    calendars = {}

    def calendar_of(name):
        if name not in calendars:
            calendars[name] = _folder_calendar(folder, name, results.warnings)
        return calendars[name]

    add_calendar(results, calendar_of, used_thresholds(folder))


def _folder_calendar(folder, name, warnings):
    """The year calendar of the input of ``name``'s runs, None where it cannot be found or read."""
    source = input_of(folder, name)
    if source is None:
        return None
    try:
        return _calendar_of(source)
    except (KitError, OSError) as e:
        warnings.append(f"{source}: the input of {name} cannot be read ({e}); "
                        "no days per year, partial years not known")
        return None


# The indices whose values are days of their year: their tables give the date too.
_DAY_INDICES = tuple(i.name for i in catalogue.YEARLY if i.day_of_year)


def add_calendar(results, calendar_of, used):
    """Fill in the calendar columns of a Results' yearly records and the first and last day of its
    events from ``calendar_of(input)`` (the input's InputDays, or None), and threshold_used
    from ``used`` ({Run: the threshold given})."""
    # A station's runs hold thousands of records: each run's threshold and calendar are looked up
    # once for its block of records, and a record is made anew from slices of the old one (four
    # times as fast as namedtuple's _replace).
    run_used = {}

    def used_of(key):
        if key not in run_used:
            run_used[key] = used.get(Run(*key)) if used else None
        return run_used[key]

    out = []
    for key, block in itertools.groupby(results.yearly, key=_RUN_AND_INDEX):
        days = calendar_of(key[0])
        _calendar_block(block, used_of(key[:4]), None if days is None else days.years, key[4] in _DAY_INDICES, out)
    results.yearly = out
    # Years the input covers in part, by run and index: their warnings count them apart.
    partial = {}
    for r in out:
        if r[_WHOLE_AT] == 0:
            partial.setdefault((Run(*r[:4]), r.index), set()).add(r.year)
    results.warnings = [w.partly_covered(partial.get((w.run, w.index), ())) if isinstance(w, NoValueWarning) else w
                        for w in results.warnings]
    _add_spans(results, calendar_of, used_of if used else None)


def _calendar_block(block, threshold_used, cal, dated, out):
    """Append to ``out`` the yearly records of one run and index (``block``) with their
    calendar cells from ``cal`` (year -> (days, whole, ordinals), or None) and ``threshold_used``."""
    for r in block:
        got = None if cal is None else cal.get(r[_YEAR_AT])
        if got is None:
            out.append(r if threshold_used is None else _with(r, _YEARLY_USED, (threshold_used,)))
            continue
        days, whole, ords = got
        value = r[_YEAR_AT + 1]
        date = None
        if dated and value is not None and 1 <= value <= len(ords):
            date = datetime.date.fromordinal(int(ords[value - 1])).isoformat()
        out.append(_new(r, r[:_CALENDAR_AT] + (days, int(whole), date) + r[_CALENDAR_AT + 3:_YEARLY_USED]
                        + (threshold_used,) + r[_YEARLY_USED + 1:]))


def _add_spans(results, calendar_of, used_of):
    """The start and end dates of the events whose input's records are known, and their
    threshold_used from ``used_of(run)`` (None: left as they are); each record made once."""
    by_input = {}
    for k, r in enumerate(results.events):
        by_input.setdefault(r.input, []).append(k)
    events = results.events
    spans = {}
    for name, which in by_input.items():
        days = calendar_of(name)
        if days is None or days.t is None:
            continue
        chosen = [events[k] for k in which]
        first, last = event_spans(days.t, days.ordinal, [e.midpoint for e in chosen], [e.duration for e in chosen])
        found = np.flatnonzero(first)
        # All of an input's dates at once: numpy writes the ISO dates of years 1 to 9999 as
        # date.isoformat does.
        starts, ends = (dates.date_texts(a[found]).tolist() for a in (first, last))
        spans.update(zip(np.asarray(which)[found].tolist(), zip(starts, ends)))
    if used_of is None and not spans:
        return
    out = []
    for k, e in enumerate(events):
        span = spans.get(k, e[_EVENT_SPAN:_EVENT_SPAN + 2])
        used = e[_EVENT_USED] if used_of is None else used_of(e[:4])
        out.append(_new(e, e[:_EVENT_USED] + (used,) + span + e[_EVENT_SPAN + 2:]))
    results.events = out


def _with(record, at, cells):
    """``record`` with the cells from position ``at`` on replaced by ``cells``."""
    return _new(record, record[:at] + cells + record[at + len(cells):])


def _new(record, cells):
    """A record of the type of ``record`` with the ``cells`` (a tuple): namedtuple's _make without its checks."""
    return tuple.__new__(type(record), cells)


_CALENDAR_AT = YearlyRecord._fields.index(CALENDAR_FIELDS[0])
_YEARLY_USED = YearlyRecord._fields.index(USED_FIELD)
_EVENT_USED = EventRecord._fields.index(USED_FIELD)
_EVENT_SPAN = EventRecord._fields.index(SPAN_FIELDS[0])
# One slice of an event record holds its threshold_used, start and end.
assert _EVENT_SPAN == _EVENT_USED + 1
_YEAR_AT = YearlyRecord._fields.index("year")
_WHOLE_AT = YearlyRecord._fields.index("whole")
_RUN_AND_INDEX = operator.itemgetter(*range(YearlyRecord._fields.index("index") + 1))


# ---------------------------------------------------------------- percentile runs


def _description_path(folder, stem):
    return os.path.join(folder, f"{stem}.json")


def read_description(folder, stem):
    """The description of the percentile run of exceedance series ``stem``, {} when there is
    none that can be used (a run then starts a new one)."""
    try:
        with open(_description_path(folder, stem), encoding="utf-8") as f:
            info = json.load(f)
    except (OSError, ValueError):
        return {}
    return info if _is_description(info) else {}


def _is_description(info):
    """Whether a json file's content describes a percentile run as ``write_description`` writes it."""
    def numbers(table):
        return isinstance(table, dict) and all(isinstance(v, (int, float)) for v in table.values())

    boot = info.get("bootstrap", {}) if isinstance(info, dict) else None
    return (isinstance(info, dict) and isinstance(info.get("percentile"), str) and isinstance(info.get("base"), str)
            and isinstance(info.get("window"), int) and isinstance(boot, dict)
            and all(isinstance(run, dict) and all(map(numbers, run.values())) for run in boot.values()))


# The name a percentile run gives its exceedance series: only such an input has a description.
_PREPARED = re.compile(r"-p\d+(\.\d+)?-\d{1,4}-\d{1,4}-w\d+\.txt")


def station_of(name):
    """The station a run's input stands for: a percentile run's exceedance series is named
    after it, with the percentile, base and window added.

    >>> station_of("cet-p90-1961-1990-w5.txt"), station_of("cet.txt")
    ('cet', 'cet.txt')
    """
    found = _PREPARED.search(name)
    return name[:found.start()] if found and found.end() == len(name) else name


def write_description(folder, stem, info):
    """Write the description of the percentile run of exceedance series ``stem``."""
    with atomic_write(_description_path(folder, stem)) as f:
        json.dump(info, f, indent=1, sort_keys=True)
        f.write("\n")


def record_bootstrap(folder, stem, thrtype, min_duration, values):
    """Keep (or, with ``values`` None, forget) the bootstrap of one run in the run's description."""
    info = read_description(folder, stem)
    runs = info.setdefault("bootstrap", {})
    key = f"{'upper' if thrtype.startswith('u') else 'lower'}-{int(min_duration)}"
    if values is None:
        runs.pop(key, None)
    else:
        runs[key] = values
    write_description(folder, stem, info)


def threshold_table_path(folder, stem):
    return os.path.join(folder, f"{stem}-thresholds.csv")


def write_threshold_table(path, units, digits):
    """The threshold of each of the 366 calendar days (whole units of 10**-digits) as a table."""
    months, days = dates.slot_dates()
    with atomic_write(path, newline="\n") as f:
        f.write("month,day,threshold\n")
        for month, day, thr in zip(months.tolist(), days.tolist(), exceedance_texts(units, digits)):
            f.write(f"{month},{day},{thr}\n")


def read_thresholds(path):
    """(months, days, thresholds) of a threshold table written by ``write_threshold_table``:
    the 366 days of a leap year."""
    leap = [datetime.date.fromordinal(_LEAP_DAY0 + k) for k in range(dates.SLOTS)]
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except ValueError as e:
        raise KitError(path, None, f"not a threshold table (month,day,threshold): {e}") from None
    if not lines or lines[0] != "month,day,threshold":
        raise KitError(path, 1, "expected the header month,day,threshold")
    if len(lines) != 367:
        raise KitError(path, None, f"holds {len(lines) - 1} days, not the 366 of a leap year")
    thresholds = []
    for number, (line, day) in enumerate(zip(lines[1:], leap), start=2):
        fields = line.split(",")
        try:
            ok = len(fields) == 3 and (int(fields[0]), int(fields[1])) == (day.month, day.day)
            value = float(fields[2]) if ok else None
        except ValueError:
            ok = False
        if not ok or not np.isfinite(value):
            raise KitError(path, number, f"expected {day.month},{day.day} and a threshold")
        thresholds.append(value)
    return (np.array([d.month for d in leap]), np.array([d.day for d in leap]), np.array(thresholds))


_LEAP_DAY0 = datetime.date(2000, 1, 1).toordinal()
# Defined for a fixed threshold only: with one that varies by day they are left out.
_LEFT_OUT = tuple(i.name for i in catalogue.YEARLY if i.fixed_only)


def _stem(name):
    return os.path.splitext(name)[0]


def add_percentile_marks(res, folder):
    """Mark the percentile runs of Results ``res`` read from ``folder``: their
    columns filled, the indices of a fixed threshold only left out, the base
    years' bootstrap values in."""
    infos = {}
    for run in res.runs():
        if _stem(run.input) not in infos:
            infos[_stem(run.input)] = _described(folder, _stem(run.input)) if _PREPARED.search(run.input) else None
    if not any(infos.values()):
        return
    for run in res.runs():
        table = threshold_table_path(folder, _stem(run.input))
        if infos.get(_stem(run.input)) and os.path.isfile(table):
            res.thresholds[run.input] = table
    mark_percentile_runs(res, infos)


def mark_percentile_runs(res, infos):
    """Mark the records of percentile runs in Results ``res``: ``infos`` gives, by the
    stem of a run's input, its description as ``write_description`` keeps it (or None)."""
    dropped = set()
    res.yearly = [r for r in (_marked_yearly(r, infos.get(_stem(r.input)), dropped) for r in res.yearly) if r]
    res.events = [e if infos.get(_stem(e.input)) is None else _marked(e, infos[_stem(e.input)]) for e in res.events]
    # The files of the indices left out say nothing about these runs.
    left_out = [catalogue.BY_NAME[n].prefix + i + "-" for n in _LEFT_OUT for i in dropped]
    res.warnings = [w for w in res.warnings if not any(prefix in w for prefix in left_out)]


def _marked(r, info, **more):
    return r._replace(percentile=info["percentile"], base=info["base"], window=info["window"], **more)


def _marked_yearly(r, info, dropped):
    """A yearly record of a percentile run marked as such, None for an index left out."""
    if info is None:
        return r
    if r.index in _LEFT_OUT:
        dropped.add(r.input)
        return None
    value = info.get("bootstrap", {}).get(f"{r.type}-{r.min_duration}", {}).get(r.index, {}).get(str(r.year))
    if value is not None:
        # As yearly.csv keeps it: the trends of these records and those of the
        # table read back are then one and the same.
        value = float(f"{value:.3f}")
    return _marked(r, info, value=r.value if value is None else value,
                   bootstrap="yes" if value is not None else None)


def _described(folder, stem):
    """The description of the percentile run of exceedance series ``stem``, None without one;
    refused when it cannot be read."""
    path = _description_path(folder, stem)
    try:
        with open(path, encoding="utf-8") as f:
            info = json.load(f)
    except FileNotFoundError:
        return None
    except OSError as e:
        raise KitError(path, None, f"cannot be read: {e.strerror}") from None
    except ValueError as e:
        raise KitError(path, None, f"not the description of a percentile run: {e}") from None
    if not _is_description(info):
        raise KitError(path, None, "not the description of a percentile run (percentile, base, window, bootstrap)")
    return info
