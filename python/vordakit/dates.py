"""Calendar days as numbers: ordinals, year/month/day, calendar-day slots, gaps.

A day is a proleptic Gregorian ordinal (1 is 1 January of year 1), as
``datetime.date.toordinal`` gives it. The functions take and give numpy
arrays, so that a series of a hundred thousand days is converted at once;
numpy's ``datetime64`` counts days from 1970-01-01, ``EPOCH`` here.
"""

import calendar
import datetime

import numpy as np

__all__ = ["EPOCH", "FEB29", "SLOTS", "to_datetime64", "ymd", "day_slots", "slots_of", "slot_dates",
           "year_calendar", "find_gaps", "date_text"]

# The ordinal of 1970-01-01, day 0 of numpy's dates.
EPOCH = datetime.date(1970, 1, 1).toordinal()
# Calendar days are slots 0..365 of a leap year: 29 February is slot 59, and
# 1 March is slot 60 in every year.
SLOTS = 366
FEB29 = 59
_LEAP_START = np.array([0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335])


def to_datetime64(ordinals):
    """Ordinals as ``datetime64[D]``."""
    return (np.asarray(ordinals, np.int64) - EPOCH).astype("datetime64[D]")


def ymd(ordinals):
    """(year, month, day) int64 arrays of ordinals.

    >>> [a.tolist() for a in ymd([datetime.date(2000, 2, 29).toordinal(), 1])]
    [[2000, 1], [2, 1], [29, 1]]
    """
    days = to_datetime64(ordinals)
    months = days.astype("datetime64[M]")
    years = months.astype("datetime64[Y]")
    return (years.astype(np.int64) + 1970, (months - years).astype(np.int64) + 1,
            (days - months).astype(np.int64) + 1)


def slots_of(month, day):
    """The calendar-day slot 0..365 of months 1..12 and days 1..31 (29 February is 59).

    >>> slots_of([3, 2, 12], [1, 29, 31]).tolist()
    [60, 59, 365]
    """
    return _LEAP_START[np.asarray(month) - 1] + np.asarray(day) - 1


def day_slots(ordinals):
    """(calendar-day slot, year) of each ordinal.

    >>> k, y = day_slots([datetime.date(2001, 3, 1).toordinal(), datetime.date(2000, 2, 29).toordinal()])
    >>> k.tolist(), y.tolist()
    ([60, 59], [2001, 2000])
    """
    year, month, day = ymd(ordinals)
    return slots_of(month, day), year


def slot_dates():
    """(month, day) arrays of the 366 calendar-day slots, in calendar order from 1 January."""
    _, month, day = ymd(np.arange(366) + datetime.date(2000, 1, 1).toordinal())
    return month, day


def year_calendar(ordinals):
    """Per year of a series' calendar days: (days held, whole, their ordinals in file order).

    A year is whole when it holds every day of the months the series holds at
    all: the whole year, or the whole season of a series cut to some months.

    >>> days = [datetime.date(2001, 12, 30).toordinal() + k for k in range(4)]
    >>> {y: (n, whole) for y, (n, whole, _) in year_calendar(days).items()}
    {2001: (2, False), 2002: (2, False)}
    """
    ords = np.asarray(ordinals, dtype=np.int64)
    years, months, _ = ymd(ords)
    held_months = np.flatnonzero(np.bincount(months, minlength=13)).tolist()
    # Each year's records together, in file order within the year.
    order = np.argsort(years, kind="stable")
    firsts, starts, counts = np.unique(years[order], return_index=True, return_counts=True)
    out = {}
    for year, a, n in zip(firsts.tolist(), starts.tolist(), counts.tolist()):
        expected = sum(calendar.monthrange(year, m)[1] for m in held_months)
        out[year] = (n, n == expected, ords[order[a:a + n]])
    return out


def find_gaps(missing):
    """(start, length) of each run of True in ``missing`` (a boolean sequence).

    >>> find_gaps([False, True, True, False, True])
    [(1, 2), (4, 1)]
    """
    m = np.asarray(missing, bool)
    if not m.any():
        return []
    edges = np.diff(np.concatenate([[0], m.view(np.int8), [0]]))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    return list(zip(starts.tolist(), (ends - starts).tolist()))


def date_text(ordinal):
    """The ISO date of one ordinal."""
    return datetime.date.fromordinal(int(ordinal)).isoformat()
