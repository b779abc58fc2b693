"""From a station series to a VORDA input file: select, check, settle missing days, write.

vorda takes consecutive daily records without missing values and checks none
of this, so everything it would misread is refused here with the date and
line that cause it.
"""

import datetime
import os
import re
import sys

from vordakit import dates, qc
from vordakit.atomic import atomic_write
from vordakit.errors import KitError
from vordakit.formats.detect import read_series, reader_options
from vordakit.series import MAX_RECORDS, Series, write_vorda

__all__ = ["POLICIES", "parse_date", "parse_months", "find_gaps", "fill_gaps", "select", "convert_file", "command"]

POLICIES = ("refuse", "fill", "longest")
# What a refusal of select advises, in the words of convert's options; a
# batch, which has other remedies, gives its own.
ADVICE = {
    "gaps": "use --fill N to interpolate gaps of up to N days, --longest to keep the longest complete stretch, "
            "or --from/--to to leave them out",
    "long_gaps": "use a larger --fill, --longest, or --from/--to to leave them out",
    "size": "choose a range, e.g. --from {start}",
}
LISTED = 10         # gaps named in a refusal
MONTH_NAMES = {m.lower(): i for i, m in enumerate(
    ["", "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"]) if m}


def parse_date(text, end=False):
    """YYYY-MM-DD, YYYYMMDD or YYYY (the first, or with ``end`` the last day of the year)."""
    s = text.strip()
    try:
        if re.fullmatch(r"\d{4}", s):
            return datetime.date(int(s), 12, 31) if end else datetime.date(int(s), 1, 1)
        if re.fullmatch(r"\d{8}", s):
            return datetime.date(int(s[:4]), int(s[4:6]), int(s[6:]))
        return datetime.date.fromisoformat(s)
    except ValueError:
        raise KitError(None, None, f"date {text!r}: expected YYYY-MM-DD, YYYYMMDD or YYYY") from None


def parse_months(text):
    """'5-9', '11-3' (across the new year), '6,7,8' or 'may-sep' -> set of months."""
    def month(s):
        s = s.strip().lower()
        if s.isdigit() and 1 <= int(s) <= 12:
            return int(s)
        if s[:3] in MONTH_NAMES:
            return MONTH_NAMES[s[:3]]
        raise KitError(None, None, f"months {text!r}: {s!r} is not a month (1-12 or jan-dec)")

    months = set()
    for part in text.split(","):
        if "-" in part:
            a, b = (month(p) for p in part.split("-", 1))
            m = a
            while True:
                months.add(m)
                if m == b:
                    break
                m = m % 12 + 1
        else:
            months.add(month(part))
    return months


def _counted(n, what="missing day"):
    """``n`` and ``what``, in the plural unless ``n`` is 1."""
    return f"{n} {what}{'' if n == 1 else 's'}"


def _describe_gaps(gaps, first):
    fromordinal = datetime.date.fromordinal
    out = []
    for start, n in gaps[:LISTED]:
        a = fromordinal(first[start])
        if n == 1:
            out.append(f"  {a} (1 day)")
        else:
            out.append(f"  {a} to {fromordinal(first[start + n - 1])} ({n} days)")
    if len(gaps) > LISTED:
        out.append(f"  and {len(gaps) - LISTED} more gaps")
    return "\n".join(out)


def find_gaps(values):
    """(start index, length) of each run of None.

    >>> find_gaps([1.0, None, None, 2.0, None])
    [(1, 2), (4, 1)]
    """
    return dates.find_gaps([x is None for x in values])


def fill_gaps(values, gaps, decimals):
    """Fill each gap of ``values`` (a list, None where missing) in place by linear
    interpolation between its neighbours, rounded to the series' decimals.

    >>> v = [1.0, None, None, 2.5]
    >>> fill_gaps(v, find_gaps(v), 1)
    >>> v
    [1.0, 1.5, 2.0, 2.5]
    """
    for s, n in gaps:
        a, b = values[s - 1], values[s + n]
        for k in range(1, n + 1):
            values[s + k - 1] = round(a + (b - a) * k / (n + 1), decimals)


def select(series, start=None, end=None, months=None, policy="refuse", max_fill=None, filled=None, advice=ADVICE):
    """The series as vorda should read it: one record per calendar day of the
    selection, from the first to the last value, missing days settled by policy.

    Returns (series, notes): notes say what was filled or cut. ``filled``, a
    list, receives (date, value) of each day filled. ``advice`` words the
    remedies a refusal names (see ``ADVICE``).
    """
    path = series.path
    start, end, months = _selection(path, policy, max_fill, start, end, months)
    errors = [f for f in qc.check_structure(series, markers=False) if f.severity == qc.ERROR]
    if errors:
        more = f" (and {len(errors) - 1} more such problems; vordakit qc lists them)" if len(errors) > 1 else ""
        first = errors[0]
        raise KitError(path, first.line, first.detail.split(": ", 1)[-1] + more)
    ordinals, values = _selected_days(series, start, end, months)
    notes = []
    gaps = find_gaps(values)
    if gaps and policy == "fill":
        notes.append(_fill(path, ordinals, values, gaps, max_fill, series.decimals, filled, advice))
    elif gaps and policy == "longest":
        ordinals, values = _longest(ordinals, values, gaps)
        notes.append(f"kept the longest stretch without missing days, "
                     f"{datetime.date.fromordinal(ordinals[0])} to {datetime.date.fromordinal(ordinals[-1])}")
    elif gaps:
        total = sum(n for _, n in gaps)
        raise KitError(path, None, f"{_counted(total)} in {_counted(len(gaps), 'gap')} inside the series:\n"
                       + _describe_gaps(gaps, ordinals)
                       + "\n" + advice["gaps"])
    if len(ordinals) > MAX_RECORDS:
        suggest = datetime.date.fromordinal(ordinals[-MAX_RECORDS])
        raise KitError(path, None, f"{len(ordinals)} records, but vorda reads at most {MAX_RECORDS}: "
                       + advice["size"].format(start=suggest))
    out = Series(path, series.element, series.kind, ordinals, values, series.decimals, fmt="vorda")
    return out, notes


def _selection(path, policy, max_fill, start, end, months):
    """The selection's first and last date and months, read from text where given as text; checked."""
    if policy not in POLICIES:
        raise KitError(path, None, f"unknown missing-data policy {policy!r}")
    if policy == "fill" and (max_fill is None or max_fill < 0):
        raise KitError(path, None, "--fill needs a number of days, 0 or more")
    if isinstance(start, str):
        start = parse_date(start)
    if isinstance(end, str):
        end = parse_date(end, end=True)
    if isinstance(months, str):
        months = parse_months(months)
    if start and end and start > end:
        raise KitError(path, None, f"--from {start} is after --to {end}")
    return start, end, months


def _selected_days(series, start, end, months):
    """(ordinals, values) of every day of the selection between its first and last value,
    None where a day has no value."""
    lo = start.toordinal() if start else None
    hi = end.toordinal() if end else None
    obs = {}
    for d, x in zip(series.dates, series.values):
        o = d.toordinal()
        if (lo is not None and o < lo) or (hi is not None and o > hi):
            continue
        if x is not None and (months is None or d.month in months):
            obs[o] = x
    if not obs:
        where = " in the chosen dates and months" if (start or end or months) else ""
        raise KitError(series.path, None, f"no values{where}")
    first, last = min(obs), max(obs)
    ordinals = list(range(first, last + 1))
    if months is not None:
        _, month, _ = dates.ymd(ordinals)
        ordinals = [o for o, m in zip(ordinals, month.tolist()) if m in months]
    get = obs.get
    return ordinals, [get(o) for o in ordinals]


def _fill(path, ordinals, values, gaps, max_fill, decimals, filled, advice):
    """Fill the gaps in place, or refuse gaps longer than ``max_fill``; the note on what was filled."""
    long = [g for g in gaps if g[1] > max_fill]
    if long:
        total = sum(n for _, n in long)
        raise KitError(path, None,
                       f"{_counted(len(long), 'gap')} longer than {_counted(max_fill, 'day')} "
                       f"({_counted(total)}):\n"
                       + _describe_gaps(long, ordinals)
                       + "\n" + advice["long_gaps"])
    fill_gaps(values, gaps, decimals)
    if filled is not None:
        filled.extend((datetime.date.fromordinal(ordinals[i]), values[i]) for s, n in gaps for i in range(s, s + n))
    return f"filled {_counted(sum(n for _, n in gaps))} in {_counted(len(gaps), 'gap')} by linear interpolation"


def _longest(ordinals, values, gaps):
    """The longest stretch without missing days (the earliest of equally long ones)."""
    best_start, best_len = 0, 0
    run_start = 0
    for s, n in gaps + [(len(values), 0)]:
        if s - run_start > best_len:
            best_start, best_len = run_start, s - run_start
        run_start = s + n
    return ordinals[best_start:best_start + best_len], values[best_start:best_start + best_len]


def filled_path(dst):
    """Where convert lists the days it filled: beside its output.

    >>> filled_path("out/station.txt")
    'out/station-filled.csv'
    """
    return os.path.splitext(dst)[0] + "-filled.csv"


def write_filled(filled, path):
    """The days filled by interpolation, as CSV: date, value."""
    with atomic_write(path, newline="") as f:
        f.write("date,value\n")
        f.writelines(f"{d},{x!r}\n" for d, x in filled)


def convert_file(src, dst, fmt=None, start=None, end=None, months=None, policy="refuse", max_fill=None,
                 notes=None, filled_to=None, **opts):
    """Read ``src`` in any supported layout and write ``dst`` as VORDA input.

    Returns the number of records written, the answer to vorda's size
    question. Nothing is written when anything is refused; ``notes``, a list,
    receives a line on what was read and what was filled or cut. Days filled
    are listed in the CSV ``filled_to`` (``filled_path(dst)`` for the command).
    """
    if os.path.exists(dst) and os.path.exists(src) and os.path.samefile(src, dst):
        raise KitError(dst, None, "is the input file itself; the input is never overwritten")
    try:
        series = read_series(src, fmt, **opts)
        filled = []
        out, said = select(series, start, end, months, policy, max_fill, filled)
    except KitError as e:
        if e.path is None:
            e.path = str(src)
        raise
    n = write_vorda(out, dst)
    if filled and filled_to:
        write_filled(filled, filled_to)
        said.append(f"the days filled are listed in {filled_to}")
    if notes is not None:
        notes.append(f"{src}: {series.fmt} {series.element} ({series.unit}) -> {dst}: {n} records, "
                     f"{out.dates[0]} to {out.dates[-1]}")
        notes.extend(said)
    return n


def command(args):
    """``vordakit convert``: the number of records written on standard output, notes on standard error."""
    policy = "refuse"
    if args.fill is not None:
        policy = "fill"
    elif args.longest:
        policy = "longest"
    notes = []
    records = convert_file(args.source, args.target, fmt=args.format, start=args.start, end=args.end,
                           months=args.months, policy=policy, max_fill=args.fill, notes=notes,
                           filled_to=filled_path(args.target), **reader_options(args))
    print(records)
    for note in notes:
        print(note, file=sys.stderr)
    return 0
