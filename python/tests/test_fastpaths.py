"""Paths taken for speed give what the plain computation gives, on random inputs."""

import calendar
import datetime

import numpy as np
import pytest

from vordakit import dates


def test_year_month_day_of_ordinals_are_the_calendar_s():
    rng = np.random.default_rng(1)
    last = datetime.date.max.toordinal()
    ordinals = np.concatenate([rng.integers(1, last + 1, 20000), [1, last],
                               # the first and last days of years, leap days and the turns of centuries
                               [datetime.date(y, m, d).toordinal() + k for y in (1, 4, 100, 400, 1900, 2000, 2100)
                                for m, d in ((1, 1), (2, 28), (12, 31)) for k in (0, 1)]])
    got = np.stack(dates.ymd(ordinals), axis=1).tolist()
    assert got == [[d.year, d.month, d.day] for d in map(datetime.date.fromordinal, ordinals.tolist())]


def _plain_year_calendar(ordinals):
    ords = np.asarray(ordinals, dtype=np.int64)
    years = np.array([datetime.date.fromordinal(o).year for o in ords.tolist()], np.int64)
    months = {datetime.date.fromordinal(o).month for o in ords.tolist()}
    out = {}
    for year in sorted(set(years.tolist())):
        mine = ords[years == year]
        expected = sum(calendar.monthrange(year, m)[1] for m in months)
        out[year] = (len(mine), len(mine) == expected, mine.tolist())
    return out


@pytest.mark.parametrize("case", ["whole years", "gaps", "season", "out of order", "one day"])
def test_year_calendar_is_that_of_the_days_one_by_one(case):
    rng = np.random.default_rng(len(case))
    days = np.arange(datetime.date(1899, 3, 1).toordinal(), datetime.date(1905, 1, 1).toordinal())
    if case == "gaps":
        days = np.delete(days, rng.choice(len(days), 40, replace=False))
    elif case == "season":
        days = days[np.isin(dates.ymd(days)[1], [6, 7, 8])]
    elif case == "out of order":
        days = rng.permutation(days)[:1500]
    elif case == "one day":
        days = days[:1]
    got = {y: (n, whole, list(o)) for y, (n, whole, o) in dates.year_calendar(days).items()}
    assert got == _plain_year_calendar(days)
