"""Checks of a daily series: structure (errors), values (warnings), completeness.

Every check is a plain function of a series that returns findings; nothing
here prints except ``command``. A finding carries the date it concerns, so
that a user can find it in the source.
"""

import calendar
import collections
import csv
import dataclasses
import datetime
import math
import os

import numpy as np

from vordakit import dates
from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.formats.detect import read_series, reader_options
from vordakit.series import MAX_RECORDS, PRECIPITATION

__all__ = ["ERROR", "WARNING", "STRUCTURE", "VALUES", "COMPLETENESS", "Finding", "ByDay", "check_structure",
           "check_values", "completeness", "check_series", "status_of", "analyse", "check_file",
           "write_findings_csv", "format_table", "command"]

ERROR = "error"
WARNING = "warning"

# Check names, as they appear in the CSV; the structure ones make a series unusable.
STRUCTURE = ("empty", "unreadable", "date", "duplicate", "order", "t", "marker", "size", "gap")
VALUES = ("range", "outlier", "flat", "jump")
COMPLETENESS = ("incomplete-month", "incomplete-year")

MONTH_LIMIT = 3     # more missing days than this mark a month
YEAR_LIMIT = 15     # and a year
OUTLIER_WINDOW = 2  # days either side of the calendar day
OUTLIER_MIN_VALUES = 20


@dataclasses.dataclass
class Finding:
    date: datetime.date
    value: float
    check: str
    severity: str
    detail: str
    line: int = None


def _severity(check):
    return ERROR if check in STRUCTURE else WARNING


def _finding(date, value, check, detail, line=None):
    return Finding(date, value, check, _severity(check), detail, line)


def check_structure(series, markers=True):
    """Duplicated and out-of-order dates; in a VORDA file also t, markers and size.

    The records are taken in file order, as vorda would read them.
    """
    found = []
    if len(series) > 1 and not (np.diff(series.ordinal) > 0).all():
        found += _check_order(series)
    if series.t is not None:
        found += _check_vorda(series, markers)
    return found


def _check_order(series):
    found = []
    seen = {}
    dates = series.dates
    lines = [None] * len(dates) if series.line is None else series.line.tolist()
    latest = None
    latest_line = None
    for i, d in enumerate(dates):
        line = lines[i]
        o = d.toordinal()
        if o in seen:
            found.append(_finding(d, series.values[i], "duplicate",
                                  f"line {line}: {d} also on line {seen[o]}", line))
        else:
            seen[o] = line
            if latest is not None and o < latest:
                found.append(_finding(d, series.values[i], "order",
                                      f"line {line}: {d} comes after {datetime.date.fromordinal(latest)} "
                                      f"(line {latest_line})", line))
        if latest is None or o > latest:
            latest, latest_line = o, line
    return found


def _check_vorda(series, markers):
    """Size, markers left in, and t against the calendar; per record in file order."""
    found = []
    t, ordinal, lines = series.t, series.ordinal, series.line
    fromordinal = datetime.date.fromordinal

    def value(i):
        x = float(series.x[i])
        return None if x != x else x

    if len(t) > MAX_RECORDS:
        k = MAX_RECORDS
        found.append(_finding(fromordinal(int(ordinal[k])), value(k), "size",
                              f"line {lines[k]}: vorda reads at most {MAX_RECORDS} records, the file has {len(t)}",
                              int(lines[k])))
    dt, dd = np.diff(t), np.diff(ordinal)
    odd = np.flatnonzero(dt != dd) + 1
    left = np.flatnonzero(np.isnan(series.x)) if markers else odd[:0]
    # A marker and a t finding on one line: the marker first.
    for i, is_t in sorted([(i, False) for i in left.tolist()] + [(i, True) for i in odd.tolist()]):
        line = int(lines[i])
        if not is_t:
            found.append(_finding(fromordinal(int(ordinal[i])), None, "marker",
                                  f"line {line}: missing-value marker left in", line))
            continue
        step, span = int(dt[i - 1]), int(dd[i - 1])
        if step <= 0:
            why = f"t does not rise: {int(t[i])} after {int(t[i - 1])}"
        else:
            why = f"t rises by {step} but the date by {span} day{'s' if abs(span) != 1 else ''}"
        found.append(_finding(fromordinal(int(ordinal[i])), value(i), "t", f"line {line}: {why}", line))
    return found


# The observed values of a series by calendar day: x[i] is the value of the
# day with ordinal first + i, NaN where there is none.
ByDay = collections.namedtuple("ByDay", "first x")


def _by_day(series):
    """The observed values as ByDay.

    Later duplicates are ignored; the structure checks report them.
    """
    seen = ~np.isnan(series.x)
    ordinal, x = series.ordinal[seen], series.x[seen]
    if not len(ordinal):
        return ByDay(None, np.empty(0))
    if len(ordinal) > 1 and not (np.diff(ordinal) > 0).all():
        # The first value of a day counts.
        ordinal, first = np.unique(ordinal, return_index=True)
        x = x[first]
    first = int(ordinal[0])
    out = np.full(int(ordinal[-1]) - first + 1, np.nan)
    out[ordinal - first] = x
    return ByDay(first, out)


def _days(first, n):
    """The ordinals of n days from the ordinal ``first``."""
    return np.arange(first, first + n)


def check_values(series, low=None, high=None, sigmas=5.0, flat_run=5, jump=20.0, by_day=None):
    """Values outside limits, outliers, flat runs and jumps (warnings)."""
    first, values = by_day or _by_day(series)
    if not len(values):
        return []
    found = []
    precip = series.kind == PRECIPITATION
    if low is None:
        low = 0.0 if precip else -90.0
    if high is None:
        high = None if precip else 60.0
    fromordinal = datetime.date.fromordinal
    unit = series.unit
    top = math.inf if high is None else high
    seen = ~np.isnan(values)

    limits = f"{low:g} to {high:g}" if high is not None else f"at least {low:g}"
    outside = seen & ~((low <= values) & (values <= top))
    for i in np.flatnonzero(outside).tolist():
        x = float(values[i])
        found.append(_finding(fromordinal(first + i), x, "range", f"{x:g} {unit} outside {limits}"))
    if outside.any():
        # A value beyond the physical limits is reported once, as such; taken
        # into the other checks it would only repeat itself as jumps and
        # outliers, and 1e300 would overflow their sums.
        values = np.where(outside, np.nan, values)
        seen &= ~outside

    # Runs of identical values; a dry spell of zeros is normal for precipitation.
    ends = np.append(np.flatnonzero(values[1:] != values[:-1]) + 1, len(values))
    starts = np.append(0, ends[:-1])
    long = (ends - starts >= flat_run) & seen[starts]
    if precip:
        long &= values[starts] != 0.0
    for start, end in zip(starts[long].tolist(), ends[long].tolist()):
        x = float(values[start])
        found.append(_finding(fromordinal(first + start), x, "flat",
                              f"{end - start} identical values {x:g} to {fromordinal(first + end - 1)}"))

    if not precip:
        # Values carry the source's precision: a tolerance far below it keeps
        # float noise from deciding a change of exactly the limit.
        limit = jump - 1e-9
        for i in (np.flatnonzero(np.abs(values[1:] - values[:-1]) >= limit) + 1).tolist():
            a, b = float(values[i - 1]), float(values[i])
            found.append(_finding(fromordinal(first + i), b, "jump",
                                  f"change of {b - a:+.{series.decimals}f} {unit} "
                                  f"from {a:.{series.decimals}f} the day before"))
        found += _outliers(first, values, sigmas, unit)
    return found


def running_sum(x):
    """The sum of an array's values added one after the other in their order, as the
    figures in the findings have always been computed: a cumulative sum adds so, at
    numpy's speed (numpy's own sum adds in pairs, which may differ in the last place).

    >>> running_sum(np.array([0.1, 0.2, 0.3]))
    0.6000000000000001
    """
    return float(np.cumsum(x)[-1]) if len(x) else 0.0


def _outliers(first, values, sigmas, unit):
    """Beyond mean +- sigmas standard deviations of the same calendar day +-2 days.

    Each value is judged against the others (leave one out), so that a single
    wild value does not widen its own yardstick in a short series.
    """
    seen = np.flatnonzero(~np.isnan(values))
    if not len(seen):
        return []
    x = values[seen]
    centre = running_sum(x) / len(x)
    slot = dates.day_slots(_days(first, len(values)))[0][seen]
    y = x - centre
    n = np.bincount(slot, minlength=366)
    s = np.bincount(slot, weights=y, minlength=366)
    ss = np.bincount(slot, weights=y * y, minlength=366)
    wn, ws, wss = np.zeros(366, np.int64), np.zeros(366), np.zeros(366)
    ring = np.arange(366)
    for j in range(-OUTLIER_WINDOW, OUTLIER_WINDOW + 1):
        near = (ring + j) % 366
        wn, ws, wss = wn + n[near], ws + s[near], wss + ss[near]
    m = wn[slot] - 1
    mf = m.astype(float)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = (ws[slot] - y) / mf
        var = (wss[slot] - y * y - mf * mean * mean) / (mf - 1)
        sd = np.sqrt(var)
        z = (y - mean) / sd
    wild = (m >= OUTLIER_MIN_VALUES) & (var > 0) & (np.abs(z) > sigmas)
    found = []
    for k in np.flatnonzero(wild).tolist():
        d = datetime.date.fromordinal(first + int(seen[k]))
        found.append(_finding(d, float(x[k]), "outlier",
                              f"{float(z[k]):+.1f} standard deviations "
                              f"from the mean {float(mean[k]) + centre:.1f} {unit} "
                              f"of {d:%d %b} +-{OUTLIER_WINDOW} days (sd {float(sd[k]):.1f})"))
    return found


def completeness(series, by_day=None):
    """Missing days inside the series: gap findings and a table per year and month.

    Days before the first and after the last value are not missing, nor are
    months that have no value in any year (a season extracted on purpose).
    Returns (findings, {year: [missing per month 1..12]}).
    """
    first, values = by_day or _by_day(series)
    missing = np.isnan(values)
    if not missing.any():
        return [], {}
    year, month, _ = dates.ymd(_days(first, len(values)))
    season = np.zeros(13, bool)
    season[month[~missing]] = True
    # A gap runs on across days out of season: the gaps are those of the days in season.
    in_season = np.flatnonzero(season[month])
    gone = in_season[missing[in_season]]
    if not len(gone):
        return [], {}
    table = {}
    keys, counts = np.unique(year[gone] * 12 + month[gone] - 1, return_counts=True)
    for key, c in zip(keys.tolist(), counts.tolist()):
        table.setdefault(key // 12, [0] * 12)[key % 12] = c
    fromordinal = datetime.date.fromordinal
    found = []
    for s, k in dates.find_gaps(missing[in_season]):
        a, b = int(in_season[s]), int(in_season[s + k - 1])
        n = b - a + 1
        start = fromordinal(first + a)
        detail = "1 missing day" if n == 1 else f"{n} missing days, {start} to {fromordinal(first + b)}"
        found.append(_finding(start, None, "gap", detail))
    for y, counts in sorted(table.items()):
        for m, c in enumerate(counts, 1):
            if c > MONTH_LIMIT:
                found.append(_finding(datetime.date(y, m, 1), None, "incomplete-month",
                                      f"{c} missing days in {y}-{m:02d}"))
        total = sum(counts)
        if total > YEAR_LIMIT:
            found.append(_finding(datetime.date(y, 1, 1), None, "incomplete-year", f"{total} missing days in {y}"))
    return found, table


def check_series(series, low=None, high=None, sigmas=5.0, flat_run=5, jump=20.0):
    """Every check of a series; findings in date order, structure first on a tie."""
    return _check(series, low, high, sigmas, flat_run, jump)[0]


def _check(series, low, high, sigmas, flat_run, jump):
    by_day = _by_day(series)
    found = check_structure(series)
    if not len(by_day.x):
        found.append(_finding(None, None, "empty", "no values to check"))
    gaps, table = completeness(series, by_day)
    found += gaps
    found += check_values(series, low, high, sigmas, flat_run, jump, by_day)
    return _ordered(found), table


def _ordered(found):
    order = {c: i for i, c in enumerate(STRUCTURE + VALUES + COMPLETENESS)}
    return sorted(found, key=lambda f: (f.date or datetime.date.min, f.line or 0, order.get(f.check, 99)))


def status_of(findings):
    if any(f.severity == ERROR for f in findings):
        return 2
    return 1 if findings else 0


def analyse(path, fmt=None, low=None, high=None, sigmas=5.0, flat_run=5, jump=20.0, kind=None, **opts):
    """(series, findings, table) of a file; unreadable lines become findings, not errors.

    ``kind`` (temperature or precipitation) overrides the one read or guessed:
    a converted file no longer says what its values are.
    """
    bad = []

    def problem(line, check, reason, date=None, value=None):
        bad.append(_finding(date, value, check, f"line {line}: {reason}", line))

    series = read_series(path, fmt, problem=problem, **opts)
    if kind is not None and kind != series.kind:
        series = dataclasses.replace(series, kind=kind)
    found, table = _check(series, low, high, sigmas, flat_run, jump)
    return series, _ordered(bad + found), table


def check_file(path, fmt=None, **kw):
    """(findings, exit status) of a file: 0 clean, 1 warnings only, 2 unusable."""
    _, found, _ = analyse(path, fmt, **kw)
    return found, status_of(found)


def write_findings_csv(findings, path):
    with atomic_write(path, newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["date", "value", "check", "detail"])
        for x in findings:
            w.writerow([x.date.isoformat() if x.date else "",
                        "" if x.value is None else f"{x.value:g}", x.check, x.detail])


def format_table(table):
    """Years with missing days; * marks a month over 3 and a year over 15 missing days."""
    if not table:
        return []
    head = "year " + "".join(f"{calendar.month_abbr[m]:>4} " for m in range(1, 13)) + " total"
    rows = [head]
    for y, counts in sorted(table.items()):
        cells = "".join(f"{c if c else '.':>4}{'*' if c > MONTH_LIMIT else ' '}" for c in counts)
        total = sum(counts)
        rows.append(f"{y:>4} {cells}  {total:>4}{'*' if total > YEAR_LIMIT else ''}")
    return rows


SHOWN = 20


def command(args):
    """``vordakit qc``: a summary, the findings and the table of missing days; the status of the findings."""
    series, found, table = analyse(args.source, args.format, low=args.low, high=args.high, sigmas=args.sigmas,
                                   flat_run=args.flat_run, jump=args.jump, **reader_options(args))
    status = status_of(found)
    if args.csv and os.path.exists(args.csv) and os.path.samefile(args.csv, args.source):
        raise KitError(args.csv, None, "is the file being checked; the input is never overwritten")
    if args.csv:
        write_findings_csv(found, args.csv)
    errors = sum(f.severity == ERROR for f in found)
    span = f"{series.dates[0]} to {series.dates[-1]}" if series.dates else "no records"
    values = sum(1 for x in series.values if x is not None)
    print(f"{args.source}: {series.fmt} {series.element} ({series.kind}, {series.unit}), "
          f"{len(series)} records, {values} values, {span}")
    counts = {}
    for f in found:
        counts[f.check] = counts.get(f.check, 0) + 1
    listed = ", ".join(f"{c} {counts[c]}" for c in STRUCTURE + VALUES + COMPLETENESS if c in counts)
    verdict = ("clean", "warnings only", "cannot be used as it is")[status]
    warnings = len(found) - errors
    print(f"{errors} error{'s' * (errors != 1)}, {warnings} warning{'s' * (warnings != 1)}"
          f"{': ' + listed if listed else ''} -- {verdict}")
    if not args.quiet:
        for f in found[:SHOWN]:
            date = f.date.isoformat() if f.date else "          "
            print(f"  {date}  {f.severity:7}  {f.check:16} {f.detail}")
        if len(found) > SHOWN:
            more = f"; all of them in {args.csv}" if args.csv else " (--csv FILE lists all)"
            print(f"  ... {len(found) - SHOWN} more{more}")
        rows = format_table(table)
        if rows:
            print("missing days (* more than 3 in a month or 15 in a year):")
            for r in rows:
                print("  " + r)
    return status
