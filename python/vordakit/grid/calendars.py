"""The calendars of CF time axes: day ordinals of a time coordinate, the analysis days, the output's years.

A day is counted in the file's own calendar (``ORDINAL_UNITS``), so that a
noleap or 360-day year is what its file says it is; cftime converts between
the file's numbers, those ordinals and year, month and day.
"""

import numpy as np

from vordakit.errors import KitError

__all__ = ["CALENDARS", "ORDINAL_UNITS", "calendar_of", "day_ordinals", "cftime_ordinals", "coordinate_ordinals",
           "ordinal_dates", "Days", "time_axis", "date_text"]

CALENDARS = {"standard", "gregorian", "proleptic_gregorian", "noleap", "365_day", "all_leap", "366_day",
             "360_day", "julian"}
ORDINAL_UNITS = "days since 0001-01-01 00:00:00"


def calendar_of(attrs, tdim, path):
    """The calendar a time coordinate's attributes name (standard when none), checked."""
    calendar = str(attrs.get("calendar", "standard")).lower()
    if calendar not in CALENDARS:
        raise KitError(path, None, f"unknown calendar {calendar!r} of {tdim!r}")
    return calendar


def day_ordinals(raw, units, calendar, tdim, path):
    """The day ordinals of a time coordinate's numbers ``raw`` in ``units`` and ``calendar``."""
    raw = np.asarray(raw)
    try:
        whole = _whole_days(raw, units, calendar)
        return whole if whole is not None else cftime_ordinals(raw, units, calendar)
    except Exception as e:
        raise KitError(path, None, f"cannot read the times of {tdim!r} ({units!r}, {calendar}): {e}") from None


def cftime_ordinals(raw, units, calendar):
    """``day_ordinals`` by cftime, a date per number."""
    import cftime
    found = cftime.num2date(raw, units, calendar, only_use_cftime_datetimes=True)
    ordinals = cftime.date2num(found, ORDINAL_UNITS, calendar)
    return np.floor(np.asarray(ordinals, dtype=np.float64) + 1e-9).astype(np.int64)


def _whole_days(raw, units, calendar):
    """None, or the day ordinals of whole numbers of days since a midnight (the usual
    daily file): the reference day's ordinal plus each number, as days are counted
    alike in both; cftime reads the reference and the first and last number."""
    if not str(units).strip().lower().startswith("days since") or raw.dtype.kind not in "iuf" or not raw.size:
        return None
    with np.errstate(invalid="ignore"):
        if raw.dtype.kind == "f" and not (np.isfinite(raw).all() and (raw == np.floor(raw)).all()):
            return None
    if np.abs(raw).max() >= 2**52:
        return None
    days = raw.astype(np.int64)
    ends = cftime_ordinals(np.array([0, days.min(), days.max()]), units, calendar)
    if ends[1] != ends[0] + days.min() or ends[2] != ends[0] + days.max():
        return None  # a reference within a day, or a calendar's gap: day by day
    return days + ends[0]


def coordinate_ordinals(coord, where):
    """(calendar, day ordinals) of an xarray time coordinate: numbers with CF units,
    numpy datetimes or cftime dates (as xarray decodes a file's times)."""
    values = np.asarray(coord.values)
    tdim = coord.name
    if np.issubdtype(values.dtype, np.datetime64):
        calendar = calendar_of(coord.encoding, tdim, where)
        days = (values - np.datetime64("1970-01-01")) / np.timedelta64(1, "D")
        return calendar, day_ordinals(days, "days since 1970-01-01", calendar, tdim, where)
    if values.dtype == object and len(values) and hasattr(values[0], "calendar"):
        import cftime
        calendar = calendar_of({"calendar": values[0].calendar or "standard"}, tdim, where)
        return calendar, day_ordinals(cftime.date2num(values, ORDINAL_UNITS, calendar), ORDINAL_UNITS, calendar,
                                      tdim, where)
    units = str(coord.attrs.get("units", ""))
    if " since " not in units:
        raise KitError(where, None, f"the times of {tdim!r} are neither dates nor numbers with units 'days since ...'")
    calendar = calendar_of(coord.attrs, tdim, where)
    return calendar, day_ordinals(values, units, calendar, tdim, where)


def ordinal_dates(ordinals, calendar):
    """(years, months, days) of increasing day ordinals in ``calendar``, from the
    first day of each month they cover rather than day by day.

    >>> [a.tolist() for a in ordinal_dates(np.array([58, 59, 365]), "noleap")]
    [[1, 1, 2], [2, 3, 1], [28, 1, 1]]
    """
    import cftime
    ordinals = np.asarray(ordinals, np.int64)
    if not len(ordinals):
        return (np.zeros(0, np.int32),) * 3
    ends = cftime.num2date([ordinals[0], ordinals[-1]], ORDINAL_UNITS, calendar, only_use_cftime_datetimes=True)
    y0, y1 = ends[0].year, ends[1].year
    months = [cftime.datetime(y, m, 1, calendar=calendar) for y in range(y0, y1 + 1) for m in range(1, 13)]
    starts = np.floor(np.asarray(cftime.date2num(months, ORDINAL_UNITS, calendar), np.float64) + 1e-9).astype(np.int64)
    at = np.searchsorted(starts, ordinals, side="right") - 1
    day = ordinals - starts[at] + 1
    if calendar in ("standard", "gregorian") and y0 <= 1582 <= y1:
        # The month the Julian calendar gave way in skips ten days: its dates one by one.
        found = cftime.num2date(ordinals, ORDINAL_UNITS, calendar, only_use_cftime_datetimes=True)
        day = np.fromiter((d.day for d in found), np.int64, len(ordinals))
    return (y0 + at // 12).astype(np.int32), (at % 12 + 1).astype(np.int32), day.astype(np.int32)


class Days:
    """The daily axis of the analysis: every calendar day from the first time to the
    last, cut to the chosen months; ``src`` is the input's time index of each day
    (-1 where the input has no time step on that day)."""

    def __init__(self, ordinals, calendar, months=None):
        full = np.arange(ordinals[0], ordinals[-1] + 1)
        src = np.full(len(full), -1, np.int64)
        src[ordinals - ordinals[0]] = np.arange(len(ordinals))
        self.yr, self.m, self.d = ordinal_dates(full, calendar)
        keep = np.ones(len(full), bool) if months is None else np.isin(self.m, sorted(months))
        self.ordinal, self.src = full[keep], src[keep]
        self.yr, self.m, self.d = self.yr[keep], self.m[keep], self.d[keep]
        self.years = np.unique(self.yr)
        self.calendar = calendar
        self.dense = bool(len(self.src) == len(ordinals) and (self.src == np.arange(len(ordinals))).all())


def time_axis(years, calendar):
    """(units, start of each year, bounds) of the output's yearly time axis."""
    import cftime
    units = f"days since {int(years[0]):04d}-01-01 00:00:00" if len(years) else "days since 2000-01-01"
    starts = [cftime.datetime(int(y), 1, 1, calendar=calendar) for y in years]
    ends = [cftime.datetime(int(y) + 1, 1, 1, calendar=calendar) for y in years]
    start = np.asarray(cftime.date2num(starts, units, calendar), np.float64)
    end = np.asarray(cftime.date2num(ends, units, calendar), np.float64)
    return units, start, np.stack([start, end], axis=1)


def date_text(days, i):
    """The date of analysis day ``i`` as YYYY-MM-DD."""
    return f"{int(days.yr[i]):04d}-{int(days.m[i]):02d}-{int(days.d[i]):02d}"
