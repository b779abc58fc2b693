"""Checks of a daily series: structure (errors), values (warnings), completeness.

Every check is a plain function of a series that returns findings; nothing
here prints except ``run_cli``. A finding carries the date it concerns, so
that a user can find it in the source.
"""

import calendar
import csv
import dataclasses
import datetime
import math
import os

from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.formats.detect import read_series
from vordakit.series import MAX_RECORDS, PRECIPITATION

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
    seen = {}
    dates, lines = series.dates, series.lines or [None] * len(series.dates)
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
                                      f"line {line}: {d} comes after {datetime.date.fromordinal(latest)} (line {latest_line})", line))
        if latest is None or o > latest:
            latest, latest_line = o, line
    if series.t is not None:
        found += _check_vorda(series, markers)
    return found


def _check_vorda(series, markers):
    found = []
    t, dates, values, lines = series.t, series.dates, series.values, series.lines
    if len(t) > MAX_RECORDS:
        found.append(_finding(dates[MAX_RECORDS], values[MAX_RECORDS], "size",
                              f"line {lines[MAX_RECORDS]}: vorda reads at most {MAX_RECORDS} records, the file has {len(t)}",
                              lines[MAX_RECORDS]))
    for i in range(len(t)):
        if markers and values[i] is None:
            found.append(_finding(dates[i], None, "marker",
                                  f"line {lines[i]}: missing-value marker left in", lines[i]))
        if i == 0:
            continue
        dt = t[i] - t[i - 1]
        dd = dates[i].toordinal() - dates[i - 1].toordinal()
        if dt != dd:
            if dt <= 0:
                why = f"t does not rise: {t[i]} after {t[i - 1]}"
            else:
                why = f"t rises by {dt} but the date by {dd} day{'s' if abs(dd) != 1 else ''}"
            found.append(_finding(dates[i], values[i], "t", f"line {lines[i]}: {why}", lines[i]))
    return found


def _daily(series):
    """The observed values by day: (first ordinal, list of value or None per day).

    Later duplicates are ignored; the structure checks report them.
    """
    obs = {}
    for d, x in zip(series.dates, series.values):
        if x is not None:
            obs.setdefault(d.toordinal(), x)
    if not obs:
        return None, []
    first, last = min(obs), max(obs)
    days = [None] * (last - first + 1)
    for o, x in obs.items():
        days[o - first] = x
    return first, days


def check_values(series, low=None, high=None, sigmas=5.0, flat_run=5, jump=20.0, daily=None):
    """Values outside limits, outliers, flat runs and jumps (warnings)."""
    first, days = daily or _daily(series)
    if not days:
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

    limits = f"{low:g} to {high:g}" if high is not None else f"at least {low:g}"
    for i in [i for i, x in enumerate(days) if x is not None and not low <= x <= top]:
        x = days[i]
        found.append(_finding(fromordinal(first + i), x, "range", f"{x:g} {unit} outside {limits}"))

    # Runs of identical values; a dry spell of zeros is normal for precipitation.
    run_start = 0
    prev = days[0]
    for i in range(1, len(days) + 1):
        x = days[i] if i < len(days) else None
        if x is not None and x == prev:
            continue
        n = i - run_start
        if n >= flat_run and prev is not None and not (precip and prev == 0.0):
            found.append(_finding(fromordinal(first + run_start), prev, "flat",
                                  f"{n} identical values {prev:g} to {fromordinal(first + i - 1)}"))
        run_start = i
        prev = x

    if not precip:
        # Values carry the source's precision: a tolerance far below it keeps
        # float noise from deciding a change of exactly the limit.
        limit = jump - 1e-9
        for i in [i for i, (a, b) in enumerate(zip(days, days[1:]), 1)
                  if a is not None and b is not None and abs(b - a) >= limit]:
            a, b = days[i - 1], days[i]
            found.append(_finding(fromordinal(first + i), b, "jump",
                                  f"change of {b - a:+.{series.decimals}f} {unit} from {a:.{series.decimals}f} the day before"))
        found += _outliers(first, days, sigmas, unit)
    return found


def _slot(d):
    """Calendar day 0..365 with 29 February in its own place."""
    return _MONTH_START[d.month - 1] + d.day - 1


_MONTH_START = [0]
for _m in range(1, 12):
    _MONTH_START.append(_MONTH_START[-1] + calendar.monthrange(2000, _m)[1])


def _outliers(first, days, sigmas, unit):
    """Beyond mean +- sigmas standard deviations of the same calendar day +-2 days.

    Each value is judged against the others (leave one out), so that a single
    wild value does not widen its own yardstick in a short series.
    """
    observed = [x for x in days if x is not None]
    centre = sum(observed) / len(observed)
    n = [0] * 366
    s = [0.0] * 366
    ss = [0.0] * 366
    fromordinal = datetime.date.fromordinal
    slots = []
    d = fromordinal(first)
    year = d.year
    leap = calendar.isleap(year)
    k = _slot(d)
    for x in days:
        if x is None:
            slots.append(-1)
        else:
            slots.append(k)
            y = x - centre
            n[k] += 1
            s[k] += y
            ss[k] += y * y
        # Step the calendar day along; 29 February is skipped outside leap years.
        k += 1
        if k == 366:
            k = 0
            year += 1
            leap = calendar.isleap(year)
        elif k == 59 and not leap:
            k = 60
    wn, ws, wss = [0] * 366, [0.0] * 366, [0.0] * 366
    for k in range(366):
        for j in range(k - OUTLIER_WINDOW, k + OUTLIER_WINDOW + 1):
            j %= 366
            wn[k] += n[j]
            ws[k] += s[j]
            wss[k] += ss[j]
    found = []
    for i, x in enumerate(days):
        k = slots[i]
        if k < 0:
            continue
        m = wn[k] - 1
        if m < OUTLIER_MIN_VALUES:
            continue
        y = x - centre
        mean = (ws[k] - y) / m
        var = (wss[k] - y * y - m * mean * mean) / (m - 1)
        if var <= 0:
            continue
        sd = math.sqrt(var)
        z = (y - mean) / sd
        if abs(z) > sigmas:
            d = fromordinal(first + i)
            found.append(_finding(d, x, "outlier",
                                  f"{z:+.1f} standard deviations from the mean {mean + centre:.1f} {unit} "
                                  f"of {d:%d %b} +-{OUTLIER_WINDOW} days (sd {sd:.1f})"))
    return found


def completeness(series, daily=None):
    """Missing days inside the series: gap findings and a table per year and month.

    Days before the first and after the last value are not missing, nor are
    months that have no value in any year (a season extracted on purpose).
    Returns (findings, {year: [missing per month 1..12]}).
    """
    first, days = daily or _daily(series)
    if not days:
        return [], {}
    season = {d.month for d, x in zip(series.dates, series.values) if x is not None}
    fromordinal = datetime.date.fromordinal
    table = {}
    found = []
    gap_start = gap_end = None      # indices into days of the open gap

    def close():
        n = gap_end - gap_start + 1
        start = fromordinal(first + gap_start)
        detail = "1 missing day" if n == 1 else f"{n} missing days, {start} to {fromordinal(first + gap_end)}"
        found.append(_finding(start, None, "gap", detail))

    # Only the missing days are visited; a gap runs on across days out of season.
    for i in [i for i, x in enumerate(days) if x is None]:
        d = fromordinal(first + i)
        if d.month not in season:
            continue
        table.setdefault(d.year, [0] * 12)[d.month - 1] += 1
        if gap_start is not None and any(days[j] is not None for j in range(gap_end + 1, i)):
            close()
            gap_start = None
        if gap_start is None:
            gap_start = i
        gap_end = i
    if gap_start is not None:
        close()
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
    daily = _daily(series)
    found = check_structure(series)
    if not daily[1]:
        found.append(_finding(None, None, "empty", "no values to check"))
    gaps, table = completeness(series, daily)
    found += gaps
    found += check_values(series, low, high, sigmas, flat_run, jump, daily)
    return _ordered(found), table


def _ordered(found):
    order = {c: i for i, c in enumerate(STRUCTURE + VALUES + COMPLETENESS)}
    return sorted(found, key=lambda f: (f.date or datetime.date.min, f.line or 0, order.get(f.check, 99)))


def status_of(findings):
    if any(f.severity == ERROR for f in findings):
        return 2
    return 1 if findings else 0


def analyse(path, fmt=None, low=None, high=None, sigmas=5.0, flat_run=5, jump=20.0, **opts):
    """(series, findings, table) of a file; unreadable lines become findings, not errors."""
    bad = []

    def problem(line, check, reason, date=None, value=None):
        bad.append(_finding(date, value, check, f"line {line}: {reason}", line))

    series = read_series(path, fmt, problem=problem, **opts)
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


def run_cli(args, reader_opts):
    series, found, table = analyse(args.source, args.format, low=args.low, high=args.high, sigmas=args.sigmas,
                                   flat_run=args.flat_run, jump=args.jump, **reader_opts)
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
