"""Calendar days as numbers: ordinals, year/month/day, calendar-day slots, gaps.

A day is a proleptic Gregorian ordinal (1 is 1 January of year 1), as
``datetime.date.toordinal`` gives it. The functions take and give numpy
arrays, so that a series of a hundred thousand days is converted at once;
numpy's ``datetime64`` counts days from 1970-01-01, ``EPOCH`` here.
"""

import datetime

import numpy as np

__all__ = ["EPOCH", "FEB29", "SLOTS", "to_datetime64", "ymd", "day_slots", "slots_of", "slot_dates",
           "year_calendar", "find_gaps", "date_text", "date_texts"]

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
    o = np.asarray(ordinals, np.int64)
    if o.size and (o.min() < 1 or o.max() > _LAST):
        days = to_datetime64(o)
        months = days.astype("datetime64[M]")
        years = months.astype("datetime64[Y]")
        return (years.astype(np.int64) + 1970, (months - years).astype(np.int64) + 1,
                (days - months).astype(np.int64) + 1)
    # numpy's conversions between days, months and years take ten times as long as
    # a guess of the year by the mean year's length, put right by the table of
    # first days, and the month and day looked up by the day of the year.
    year = (o * (1 / 365.2425)).astype(np.int64) + 1
    year -= o < _YEAR_START[year]
    year += o >= _YEAR_START[year + 1]
    k = o - _YEAR_START[year] + _LEAP_SLOT[year]
    return year, _MONTH_OF[k], _DAY_OF[k]


def _year_tables():
    """The ordinal of 1 January of years 0..10000 (that of year 0 is never used), and per year
    where its days start in the month and day tables (0 for a common year, 366 for a leap year)."""
    year = np.arange(10002)
    before = year - 1
    leap = (year % 4 == 0) & ((year % 100 != 0) | (year % 400 == 0))
    return before * 365 + before // 4 - before // 100 + before // 400 + 1, 366 * leap


def _day_tables():
    """Month and day of each day of a common year (days 0..364, and one left over), then of a leap year."""
    months, days = [], []
    for lengths in (_COMMON_LENGTHS + [1], _COMMON_LENGTHS[:1] + [29] + _COMMON_LENGTHS[2:]):
        for m, n in enumerate(lengths, 1):
            months += [min(m, 12)] * n
            days += range(1, n + 1)
    return np.array(months, np.int64), np.array(days, np.int64)


_COMMON_LENGTHS = [31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
_LAST = datetime.date.max.toordinal()
_YEAR_START, _LEAP_SLOT = _year_tables()
_MONTH_OF, _DAY_OF = _day_tables()


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


def year_calendar(ordinals, fields=None):
    """Per year of a series' calendar days: (days held, whole, their ordinals in file order);
    ``fields``, where known, their (year, month, day) arrays.

    A year is whole when it holds every day of the months the series holds at
    all: the whole year, or the whole season of a series cut to some months.

    >>> days = [datetime.date(2001, 12, 30).toordinal() + k for k in range(4)]
    >>> {y: (n, whole) for y, (n, whole, _) in year_calendar(days).items()}
    {2001: (2, False), 2002: (2, False)}
    """
    ords = np.asarray(ordinals, dtype=np.int64)
    years, months, _ = ymd(ords) if fields is None else fields
    held = np.bincount(months, minlength=13)[1:] > 0
    if len(years) > 1 and not (years[1:] >= years[:-1]).all():
        # Each year's records together, in file order within the year.
        order = np.argsort(years, kind="stable")
        years, ords = years[order], ords[order]
    starts = np.flatnonzero(np.diff(years, prepend=-1)) if len(years) else np.zeros(0, np.int64)
    firsts = years[starts]
    counts = np.diff(starts, append=len(years))
    leap = (firsts % 4 == 0) & ((firsts % 100 != 0) | (firsts % 400 == 0))
    expected = np.where(held, np.array(_COMMON_LENGTHS), 0).sum() + (leap & held[1])
    return {year: (n, n == e, ords[a:a + n])
            for year, a, n, e in zip(firsts.tolist(), starts.tolist(), counts.tolist(), expected.tolist())}


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


def date_texts(ordinals):
    """The ISO dates of ordinals of the years 1 to 9999, as an array of str.

    >>> date_texts([1, datetime.date(2000, 2, 29).toordinal()]).tolist()
    ['0001-01-01', '2000-02-29']
    """
    return np.datetime_as_string(to_datetime64(ordinals), unit="D").astype(str)
