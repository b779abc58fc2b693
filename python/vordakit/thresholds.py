"""A run's settings and its threshold: a fixed value, or a percentile of the station's own base period.

A fixed threshold is kept as the user wrote it (``threshold_text``): vorda
is given that text and reads it as ``threshold_number`` does, and the result
files show it with one decimal (``shown_threshold``).

A percentile threshold (``PercentileSetting``) gives each calendar day its
own threshold: the given percentile of every base-period value within the
window of days centred on that day (5 by default, so 5 x 30 values for a
30-year base), with the median-unbiased estimator (numpy's
``method="median_unbiased"``). vorda needs no change for it: a day above a
threshold that varies by day is a day above 0 in the series of exceedances
x - threshold(day), and the action measure is then the summed exceedance.
This module holds the maths; ``vordakit.percentile`` runs it on a station.

Choices:

- The window runs over the base's days in order, and wraps around the base as
  a whole: the days before 1 January of the first base year are the last days
  of the last one. Every calendar day thus has window x years values, all of
  them from the base.
- 29 February has its own window (27 February to 2 March) in the base's leap
  years only, so 5 x 7 or 5 x 8 values in a 30-year base; a base without a leap
  year gives it the threshold of 28 February.
- A threshold is kept to the data's decimals plus the percentile's plus 3. A
  median-unbiased quantile of values with p decimals, for a percentile with q
  decimals, is a multiple of 10**-p / (3 * 10**(q + 2)); rounded to p + q + 3
  decimals it stays on the same side of every value with p decimals, and equal
  to one only where it was. The exceedances are worked out in whole units of
  the last decimal, so that the sign and zero-ness of each is exact.
- The bootstrap gives each base year the mean of its values over the runs
  whose thresholds leave that year out and count another base year twice,
  one run per other base year.
"""

import dataclasses
import datetime
import decimal
import math
import re

import numpy as np

from vordakit import dates
from vordakit.errors import KitError

__all__ = ["TYPES", "type_letter", "type_name", "threshold_text", "threshold_number", "duration_text", "given_duration",
           "shown_threshold", "name_threshold", "shown_decimals_warning", "RunSettings", "PercentileSetting",
           "DEFAULT_WINDOW", "parse_setting", "label", "Base", "base_windows", "base_of", "missing_text",
           "whole_units", "in_units", "exceedance_texts", "bootstrap"]

TYPES = {"upper": "u", "u": "u", "lower": "l", "l": "l"}
DEFAULT_WINDOW = 5

# A threshold as vorda reads a real: sign, digits with at most one point, an
# optional exponent. Python's float() would also take "1_0", "0x1p3" or
# "inf", which vorda reads differently or not at all.
_REAL = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eEdD][+-]?\d+)?")
_INT = re.compile(r"[+-]?\d+")
_INT32 = (-2**31 + 1, 2**31 - 1)
_PERCENTILE = re.compile(r"\d+(\.\d+)?")
_BASE = re.compile(r"(\d{1,4})-(\d{1,4})")


# ---------------------------------------------------------------- fixed thresholds and settings


def type_letter(value):
    """The letter vorda is given for a threshold type: u or l."""
    letter = TYPES.get(str(value).strip().lower())
    if letter is None:
        raise KitError(None, None, f"threshold type {value!r} is neither upper nor lower")
    return letter


def type_name(value):
    """upper or lower, from any spelling ``type_letter`` takes."""
    return "upper" if type_letter(value) == "u" else "lower"


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


def shown_threshold(value):
    """The threshold as the result files show it: one decimal, the binary value
    rounded half away from zero.

    >>> shown_threshold(16.25), shown_threshold(-0.05), shown_threshold(1e30)
    ('16.3', '-0.1', '1000000000000000019884624838656.0')
    """
    exact = decimal.Context(prec=400)  # every double's digits and one decimal more
    return str(decimal.Decimal(value).quantize(decimal.Decimal("0.1"), decimal.ROUND_HALF_UP, exact))


def name_threshold(text):
    """The threshold as vorda writes it in result names: f0.1, rounded half away
    from zero, without a leading zero, at most 20 characters.

    >>> name_threshold("16.25"), name_threshold("16.3"), name_threshold("-0.5"), name_threshold("2")
    ('16.3', '16.3', '-.5', '2.0')

    Zero itself keeps its zero; a value that only rounds to it, or minus zero, does not:

    >>> name_threshold("0"), name_threshold("0.04"), name_threshold("-0")
    ('0.0', '.0', '-.0')
    """
    number = threshold_number(text)
    if number == 0 and str(number) == "0.0":
        return "0.0"
    shown = shown_threshold(number)
    return shown.replace("0.", ".", 1) if shown.lstrip("-").startswith("0.") else shown[:20]


def shown_decimals_warning(threshold):
    """A warning when the result names (one decimal) show the threshold otherwise than typed.

    Two thresholds that round alike (16.25 and 16.3) would give the same
    result names, and the second run would replace the first one's files.

    >>> shown_decimals_warning("16.25")
    'threshold 16.25 appears as 16.3 in the result names and headers (vorda shows one decimal)'
    >>> shown_decimals_warning("-2"), shown_decimals_warning("18.50")
    (None, None)
    """
    value = threshold_number(threshold)
    shown = shown_threshold(value)
    if decimal.Decimal(shown) == decimal.Decimal(value):
        return None
    return f"threshold {threshold} appears as {shown} in the result names and headers (vorda shows one decimal)"


@dataclasses.dataclass(frozen=True)
class RunSettings:
    """What one run is asked: threshold type, threshold and minimum duration.

    ``threshold`` is the fixed threshold as written (vorda is given that text),
    or, with a ``percentile`` setting, "0.0": the run is then on the
    exceedances over the threshold of each calendar day.

    >>> s = RunSettings.parse("u", "2.5d1", 3)
    >>> s.type, s.threshold, s.value, s.min_duration, s.percentile
    ('upper', '2.5d1', 25.0, 3, None)
    >>> RunSettings.parse("lower", None, "6", percentile="10", base="1961-1990").percentile.suffix
    'p10-1961-1990-w5'
    """
    type: str
    threshold: str
    min_duration: int
    percentile: "PercentileSetting" = None
    bootstrap: bool = False

    @property
    def value(self):
        """The threshold's number as vorda reads it."""
        return threshold_number(self.threshold)

    @classmethod
    def parse(cls, type, threshold=None, min_duration=None, percentile=None, base=None,
              window=DEFAULT_WINDOW, bootstrap=False):
        """The settings of options as a user gives them, or a KitError saying what is wrong."""
        name = type_name(type)
        if percentile is None:
            if threshold is None:
                raise KitError(None, None, "give a threshold: --threshold X, or --percentile P --base FIRST-LAST")
            if bootstrap or base is not None:
                raise KitError(None, None, "--base and --bootstrap go with --percentile")
            return cls(name, threshold_text(threshold), int(duration_text(min_duration)))
        if threshold is not None:
            raise KitError(None, None, "give either --threshold or --percentile, not both")
        if base is None:
            raise KitError(None, None, "--percentile needs --base FIRST-LAST, the base period's years")
        setting = parse_setting(percentile, base, window)
        return cls(name, "0.0", int(duration_text(min_duration)), setting, bool(bootstrap))


# ---------------------------------------------------------------- percentile thresholds


class PercentileSetting:
    """A percentile threshold: percentile (as written), base years and window.

    >>> s = parse_setting("97.5", "1961-1990")
    >>> s.value, s.base, s.window, s.digits(1), s.suffix, s.label
    (97.5, (1961, 1990), 5, 5, 'p97.5-1961-1990-w5', '97.5th percentile of 1961-1990, window 5 days')
    """

    def __init__(self, text, base, window):
        self.text, self.base, self.window = text, base, window
        self.value = float(text)

    def __eq__(self, other):
        return isinstance(other, PercentileSetting) and (self.text, self.base, self.window) == (
            other.text, other.base, other.window)

    def __hash__(self):
        return hash((self.text, self.base, self.window))

    def __repr__(self):
        return f"PercentileSetting({self.text!r}, {self.base!r}, {self.window!r})"

    def digits(self, data_decimals):
        """Decimals of thresholds and exceedances for data with ``data_decimals``."""
        return data_decimals + len(self.text.partition(".")[2]) + 3

    @property
    def base_text(self):
        return f"{self.base[0]}-{self.base[1]}"

    @property
    def suffix(self):
        return f"p{self.text}-{self.base_text}-w{self.window}"

    @property
    def label(self):
        return label(self.text, self.base_text, self.window)


def label(percentile, base, window):
    """The words for a percentile threshold, as titles and descriptions give it."""
    p = str(percentile)
    whole = p.partition(".")[0]
    ending = "th" if whole[-2:] in ("11", "12", "13") else {"1": "st", "2": "nd", "3": "rd"}.get(whole[-1:], "th")
    return f"{p}{ending} percentile of {base}, window {window} days"


def parse_setting(percentile, base, window=DEFAULT_WINDOW):
    """The percentile threshold of the options, or a KitError saying what is wrong."""
    text = str(percentile).strip()
    if not _PERCENTILE.fullmatch(text) or float(text) > 100:
        raise KitError(None, None, f"percentile {percentile!r} is not a number from 0 to 100")
    text = text.rstrip("0").rstrip(".") if "." in text else text
    text = text.lstrip("0") or "0"
    if text.startswith("."):
        text = "0" + text
    m = _BASE.fullmatch(str(base or "").strip())
    if not m or int(m[1]) > int(m[2]) or int(m[1]) < 1:
        raise KitError(None, None, f"base {base!r} is not a span of years such as 1961-1990")
    try:
        w = int(str(window).strip())
    except ValueError:
        w = 0
    if w < 1 or w % 2 == 0 or w > 365:
        raise KitError(None, None, f"window {window!r} is not an odd number of days from 1 to 365")
    return PercentileSetting(text, (int(m[1]), int(m[2])), w)


class Base:
    """The windows of the base years: ``blocks[..., i, d, :]`` holds the window's
    values around calendar day d of the i-th base year (NaN where that year has
    no such day), for one series or, with leading dimensions, for many at once.
    Thresholds of any choice of base years, repeats allowed, come from them."""

    def __init__(self, years, blocks, setting, leap):
        self.years, self.blocks, self.setting, self.leap = years, blocks, setting, leap

    def thresholds(self, chosen=None):
        """The threshold per calendar day (366 each) from the base years ``chosen`` (indices; default all)."""
        chosen = np.arange(len(self.years)) if chosen is None else np.asarray(chosen)
        return self.thresholds_many(chosen[None, :])[..., 0, :]

    def thresholds_many(self, choices):
        """Thresholds per calendar day for each row of base-year indices (rows of one length)."""
        choices = np.asarray(choices)
        q = self.setting.value / 100
        lead, w = self.blocks.shape[:-3], self.blocks.shape[-1]
        rows, n = choices.shape
        feb29 = dates.FEB29
        days = np.concatenate([np.arange(feb29), np.arange(feb29 + 1, dates.SLOTS)])
        # One copy, in the order (..., rows, days, chosen years, window): each day's values in a row.
        values = self.blocks[..., choices[:, None, :], days[None, :, None], :].reshape(lead + (rows, 365, n * w))
        out = np.empty(lead + (rows, dates.SLOTS))
        out[..., days] = np.quantile(values, q, axis=-1, method="median_unbiased")
        for r, chosen in enumerate(choices):
            leap = chosen[self.leap[chosen]]
            if len(leap):
                pool = np.take(self.blocks[..., feb29, :], leap, axis=-2).reshape(lead + (-1,))
                out[..., r, feb29] = np.quantile(pool, q, axis=-1, method="median_unbiased")
            else:
                out[..., r, feb29] = out[..., r, feb29 - 1]
        return out


def base_windows(x, keys, years, setting):
    """The Base of rows ``x`` (..., base days) of consecutive days without a
    missing value, from 1 January of the base's first year to 31 December of
    its last; ``keys`` and ``years`` give each day's calendar-day slot and year."""
    first, last = setting.base
    n, w = x.shape[-1], setting.window
    h = w // 2
    # The window wraps around the base as a whole (see the module's notes).
    windows = x[..., (np.arange(n)[:, None] + np.arange(-h, h + 1)) % n]
    blocks = np.full(x.shape[:-1] + (last - first + 1, dates.SLOTS, w), np.nan)
    blocks[..., years - first, keys, :] = windows
    leap = np.isin(np.arange(first, last + 1), years[keys == dates.FEB29])
    return Base(np.arange(first, last + 1), blocks, setting, leap)


def base_of(series, setting):
    """The Base of a series (vordakit.series.Series), refused when the series does not cover it whole."""
    first, last = setting.base
    start = datetime.date(first, 1, 1).toordinal()
    end = datetime.date(last, 12, 31).toordinal()
    ordinal = series.ordinal
    where = f"base {setting.base_text}"
    if not len(ordinal) or ordinal[0] > start or ordinal[-1] < end:
        span = (f"runs from {dates.date_text(ordinal[0])} to {dates.date_text(ordinal[-1])}"
                if len(ordinal) else "is empty")
        raise KitError(series.path, None, f"{where} is not covered: the series {span}")
    if (np.diff(ordinal) <= 0).any():
        at = int(np.argmax(np.diff(ordinal) <= 0)) + 1
        raise KitError(series.path, series.line_of(at), "the records are not in date order")
    a, b = np.searchsorted(ordinal, [start, end + 1])
    x = series.x[a:b]
    held = ordinal[a:b][~np.isnan(x)]
    if len(held) != end - start + 1:
        missing = np.setdiff1d(np.arange(start, end + 1), held)
        raise KitError(series.path, None, f"{where} has {len(missing)} missing days: {missing_text(missing)}")
    keys, years = dates.day_slots(ordinal[a:b])
    return base_windows(x, keys, years, setting)


def missing_text(ordinals):
    """The first few of some missing days' ordinals as dates."""
    shown = ", ".join(dates.date_text(d) for d in ordinals[:5])
    return shown + (f" and {len(ordinals) - 5} more" if len(ordinals) > 5 else "")


def whole_units(x, decimals):
    """Values with ``decimals`` decimals as whole numbers of their last decimal.

    >>> whole_units(np.array([-1.5, 0.3, 12.25]), 2).tolist()
    [-150, 30, 1225]
    """
    return np.rint(np.asarray(x) * 10.0 ** decimals).astype(np.int64)


def in_units(x, decimals, thresholds, setting):
    """Values ``x`` (..., days) with ``decimals`` (a number, or one per row) and
    their thresholds per calendar day (..., 366), as whole numbers of the
    exceedances' last decimal: (value units, threshold units, digits). An
    exceedance is then exactly a value's units less its day's threshold's.

    >>> v, t, d = in_units(np.array([12.5, 9.0]), 1, np.full(366, 10.0 + 1 / 3), parse_setting("90", "2000-2001"))
    >>> v.tolist(), t[:1].tolist(), d
    ([125000, 90000], [103333], 4)
    """
    digits = setting.digits(decimals)
    have, want = np.asarray(decimals)[..., None], np.asarray(digits)[..., None]
    # Whole numbers below 2**52 are exact in a double and, over an exact power of
    # ten (at most 10**22), give the double nearest the decimal; more would not
    # even fit the integers (a percentile of many decimals).
    scale = 10.0 ** want
    top = max(np.max(np.abs(x) * scale, initial=0.0), np.max(np.abs(thresholds) * scale, initial=0.0))
    if np.max(digits) > 22 or not top < 2**52:
        raise KitError(None, None, f"the {setting.text} percentile of values with {int(np.max(decimals))} decimals "
                                   f"needs {int(np.max(digits))}: too many digits for exact exceedances over it "
                                   "(at most 15 significant ones)")
    return whole_units(x, have) * 10 ** (want - have), whole_units(thresholds, want), digits


def exceedance_texts(units, digits):
    """Exceedances in whole units of 10**-digits as decimal texts; zero has no sign.

    >>> exceedance_texts(np.array([-1500, 0, 7, -7]), 3)
    ['-1.500', '0.000', '0.007', '-0.007']
    """
    scale = 10 ** digits
    out = []
    for u in units.tolist():
        whole, frac = divmod(abs(u), scale)
        out.append(f"{'-' if u < 0 else ''}{whole}.{frac:0{digits}d}")
    return out


def bootstrap(base, exceedance_units, calendar, digits, thrtype, min_duration, analyse_cells):
    """Per base year, the days beyond the threshold and the spell index as the
    mean over the runs whose thresholds leave that year out and count another
    base year twice, one run per other base year: {index: {year: mean}}.

    ``exceedance_units(thresholds, a, b)`` gives the exceedances of records
    a..b in whole units of 10**-digits for rows of thresholds; ``calendar``
    the records' t, d, m and yr; ``analyse_cells`` is the binding's. Each
    year's values depend only on its own records, so each year is analysed
    on its own records and the next year's (vorda reports a year when the
    following one starts).
    """
    letter = type_letter(thrtype)
    spell = "wsdi" if letter == "u" else "csdi"
    years = base.years
    n = len(years)
    t, d, m, yr = (calendar[k] for k in ("t", "d", "m", "yr"))
    scale = 10.0 ** digits
    out = {"ndays": {}, spell.upper(): {}}
    for j in range(n):
        others = np.delete(np.arange(n), j)
        choices = np.concatenate([np.tile(others, (n - 1, 1)), others[:, None]], axis=1)
        thr = whole_units(base.thresholds_many(choices), digits)
        a, b = np.searchsorted(yr, [years[j], years[j] + 2])
        x = exceedance_units(thr, a, b) / scale
        res = analyse_cells(x, t[a:b], d[a:b], m[a:b], yr[a:b], letter, 0.0, int(min_duration))
        col = int(np.flatnonzero(res["years"] == years[j])[0])
        out["ndays"][str(years[j])] = float(res["ndays"][:, col].mean())
        out[spell.upper()][str(years[j])] = float(res[spell][:, col].mean())
    return out
