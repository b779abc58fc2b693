"""Thresholds that follow the calendar: a percentile of the station's own base period.

The threshold of calendar day d is the given percentile of every base-period
value within the window of days centred on d (5 by default, so 5 x 30 values
for a 30-year base), with the median-unbiased estimator (numpy's
``method="median_unbiased"``). vorda needs no change for it: a day above a
threshold that varies by day is a day above 0 in the series of exceedances
x - threshold(day), and the action measure is then the summed exceedance.

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

The run's folder holds the exceedance series (the input vorda is given), its
threshold table per calendar day (``...-thresholds.csv``) and a description of
the run (``....json``) that the tables, trends and plots read; with
``--bootstrap`` that also holds the resampled values of the base years.
"""

import datetime
import json
import os
import re

import numpy as np

from vordakit.atomic import atomic_write
from vordakit.errors import KitError

__all__ = ["Setting", "parse_setting", "day_keys", "calendar_keys", "Base", "base_of", "base_windows", "in_units",
           "exceedance_texts", "prepare", "bootstrap", "apply", "label"]

DEFAULT_WINDOW = 5
# Defined for a fixed threshold only: with one that varies by day they are left out.
LEFT_OUT = ("SGS", "LFD")
FEB29 = 59
# The day before each month's first in a leap year: calendar day keys 0..365.
_LEAP_START = np.array([0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335])
_EPOCH = datetime.date(1970, 1, 1).toordinal()
_PERCENTILE = re.compile(r"\d+(\.\d+)?")
_BASE = re.compile(r"(\d{1,4})-(\d{1,4})")


class Setting:
    """A percentile threshold: percentile (as written), base years and window.

    >>> s = parse_setting("97.5", "1961-1990")
    >>> s.value, s.base, s.window, s.digits(1), s.suffix, s.label
    (97.5, (1961, 1990), 5, 5, 'p97.5-1961-1990-w5', '97.5th percentile of 1961-1990, window 5 days')
    """

    def __init__(self, text, base, window):
        self.text, self.base, self.window = text, base, window
        self.value = float(text)

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
    return Setting(text, (int(m[1]), int(m[2])), w)


def day_keys(ordinal):
    """Calendar day 0..365 (29 February is 59) and year of each proleptic Gregorian ordinal.

    >>> import datetime
    >>> k, y = day_keys([datetime.date(2001, 3, 1).toordinal(), datetime.date(2000, 2, 29).toordinal()])
    >>> k.tolist(), y.tolist()
    ([60, 59], [2001, 2000])
    """
    days = (np.asarray(ordinal, np.int64) - _EPOCH).astype("M8[D]")
    months = days.astype("M8[M]")
    years = months.astype("M8[Y]")
    month = (months - years).astype(np.int64)
    day = (days - months).astype(np.int64)
    return _LEAP_START[month] + day, years.astype(np.int64) + 1970


def calendar_keys(month, day):
    """Calendar day 0..365 (29 February is 59) of months 1..12 and days 1..31.

    >>> calendar_keys([3, 2, 12], [1, 29, 31]).tolist()
    [60, 59, 365]
    """
    return _LEAP_START[np.asarray(month) - 1] + np.asarray(day) - 1


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
        days = np.concatenate([np.arange(FEB29), np.arange(FEB29 + 1, 366)])
        # One copy, in the order (..., rows, days, chosen years, window): each day's values in a row.
        values = self.blocks[..., choices[:, None, :], days[None, :, None], :].reshape(lead + (rows, 365, n * w))
        out = np.empty(lead + (rows, 366))
        out[..., days] = np.quantile(values, q, axis=-1, method="median_unbiased")
        for r, chosen in enumerate(choices):
            leap = chosen[self.leap[chosen]]
            if len(leap):
                pool = np.take(self.blocks[..., FEB29, :], leap, axis=-2).reshape(lead + (-1,))
                out[..., r, FEB29] = np.quantile(pool, q, axis=-1, method="median_unbiased")
            else:
                out[..., r, FEB29] = out[..., r, FEB29 - 1]
        return out


def base_windows(x, keys, years, setting):
    """The Base of rows ``x`` (..., base days) of consecutive days without a
    missing value, from 1 January of the base's first year to 31 December of
    its last; ``keys`` and ``years`` give each day's calendar day and year."""
    first, last = setting.base
    n, w = x.shape[-1], setting.window
    h = w // 2
    # The window wraps around the base as a whole (see the module's notes).
    windows = x[..., (np.arange(n)[:, None] + np.arange(-h, h + 1)) % n]
    blocks = np.full(x.shape[:-1] + (last - first + 1, 366, w), np.nan)
    blocks[..., years - first, keys, :] = windows
    leap = np.isin(np.arange(first, last + 1), years[keys == FEB29])
    return Base(np.arange(first, last + 1), blocks, setting, leap)


def base_of(series, setting):
    """The Base of a series (vordakit.series.Series), refused when the series does not cover it whole."""
    first, last = setting.base
    start = datetime.date(first, 1, 1).toordinal()
    end = datetime.date(last, 12, 31).toordinal()
    ordinal = series.ordinal
    where = f"base {setting.base_text}"
    if not len(ordinal) or ordinal[0] > start or ordinal[-1] < end:
        span = (f"runs from {datetime.date.fromordinal(int(ordinal[0]))} to "
                f"{datetime.date.fromordinal(int(ordinal[-1]))}") if len(ordinal) else "is empty"
        raise KitError(series.path, None, f"{where} is not covered: the series {span}")
    if (np.diff(ordinal) <= 0).any():
        at = int(np.argmax(np.diff(ordinal) <= 0)) + 1
        raise KitError(series.path, _line(series, at), "the records are not in date order")
    a, b = np.searchsorted(ordinal, [start, end + 1])
    x = series.x[a:b]
    held = ordinal[a:b][~np.isnan(x)]
    if len(held) != end - start + 1:
        missing = np.setdiff1d(np.arange(start, end + 1), held)
        raise KitError(series.path, None, f"{where} has {len(missing)} missing days: {missing_text(missing)}")
    keys, years = day_keys(ordinal[a:b])
    return base_windows(x, keys, years, setting)


def missing_text(ordinals):
    """The first few of some missing days' ordinals as dates."""
    shown = ", ".join(str(datetime.date.fromordinal(int(d))) for d in ordinals[:5])
    return shown + (f" and {len(ordinals) - 5} more" if len(ordinals) > 5 else "")


def _line(series, i):
    return None if series.line is None else int(series.line[i])


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


class Prepared:
    """The exceedance series of one input and percentile threshold, written into a folder."""

    def __init__(self, series, setting, base, thresholds, digits, units, keys, name, folder):
        self.series, self.setting, self.base = series, setting, base
        self.thresholds, self.digits, self.units, self.keys = thresholds, digits, units, keys
        self.name, self.folder = name, folder
        self.path = os.path.join(folder, name)
        self.stem = os.path.splitext(name)[0]

    def exceedance_units(self, thresholds, a=0, b=None):
        """Exceedances of records a..b in whole units, for rows of thresholds (366 units each)."""
        return self.units[a:b] - thresholds[..., self.keys[a:b]]


def read_series(path):
    from vordakit.formats import strict, vorda

    return vorda.read(path, strict(path))


def prepare(source, setting, folder, name=None):
    """Write the exceedance series of ``source`` (a VORDA input) and its threshold table into ``folder``.

    The exceedance series is named after ``name`` (default: the source's file
    name) with the percentile, base and window added, as in
    ``series-p90-1961-1990-w5.txt``.
    """
    series = read_series(source)
    base = base_of(series, setting)
    if np.isnan(series.x).any():
        at = int(np.argmax(np.isnan(series.x)))
        raise KitError(series.path, _line(series, at), "a missing value: the exceedance series cannot hold one")
    try:
        units, thresholds, digits = in_units(series.x, series.decimals, base.thresholds(), setting)
    except KitError as e:
        raise KitError(series.path, None, e.reason) from None
    keys, _ = day_keys(series.ordinal)
    stem = os.path.splitext(os.path.basename(name or source))[0]
    prep = Prepared(series, setting, base, thresholds, digits, units, keys, f"{stem}-{setting.suffix}.txt", folder)
    os.makedirs(folder, exist_ok=True)
    texts = exceedance_texts(prep.exceedance_units(thresholds), digits)
    t = series.t if series.t is not None else series.ordinal - series.ordinal[0] + 1
    _, years = day_keys(series.ordinal)
    days = (series.ordinal - _EPOCH).astype("M8[D]")
    months = days.astype("M8[M]")
    d = ((days - months).astype(np.int64) + 1).tolist()
    m = ((months - months.astype("M8[Y]")).astype(np.int64) + 1).tolist()
    text = "".join(f"{a} {b} {c} {e} {v}\n" for a, b, c, e, v in zip(t.tolist(), d, m, years.tolist(), texts))
    old = _read_or_none(prep.path)
    with atomic_write(prep.path, newline="\n") as f:
        f.write(text)
    with atomic_write(os.path.join(folder, f"{prep.stem}-thresholds.csv"), newline="\n") as f:
        f.write("month,day,threshold\n")
        leap_day = datetime.date(2000, 1, 1).toordinal()
        for key, thr in enumerate(exceedance_texts(thresholds, digits)):
            day = datetime.date.fromordinal(leap_day + key)
            f.write(f"{day.month},{day.day},{thr}\n")
    info = _read_info(prep) if old == text else {}
    info.update(source=os.path.basename(source), percentile=setting.text, base=setting.base_text,
                window=setting.window, decimals=digits)
    info.setdefault("bootstrap", {})
    _write_info(prep, info)
    return prep


def _read_or_none(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return None


def _info_path(folder, stem):
    return os.path.join(folder, f"{stem}.json")


def _read_info(prep):
    try:
        with open(_info_path(prep.folder, prep.stem), encoding="utf-8") as f:
            info = json.load(f)
    except (OSError, ValueError):
        return {}
    return info if _is_info(info) else {}


def _is_info(info):
    """Whether a json file's content describes a percentile run as ``prepare`` and ``bootstrap`` write it."""
    def numbers(table):
        return isinstance(table, dict) and all(isinstance(v, (int, float)) for v in table.values())

    boot = info.get("bootstrap", {}) if isinstance(info, dict) else None
    return (isinstance(info, dict) and isinstance(info.get("percentile"), str) and isinstance(info.get("base"), str)
            and isinstance(info.get("window"), int) and isinstance(boot, dict)
            and all(isinstance(run, dict) and all(map(numbers, run.values())) for run in boot.values()))


# The name ``prepare`` gives an exceedance series: only such an input has a description.
_PREPARED = re.compile(r"-p\d+(\.\d+)?-\d{1,4}-\d{1,4}-w\d+\.txt")


def _write_info(prep, info):
    with atomic_write(_info_path(prep.folder, prep.stem)) as f:
        json.dump(info, f, indent=1, sort_keys=True)
        f.write("\n")


def bootstrap_binding(setting):
    """The binding that the bootstrap of ``setting`` runs on, or a KitError saying why it cannot run."""
    try:
        from vordakit import _vorda
    except ImportError as e:
        raise KitError(None, None, f"--bootstrap needs the binding vordakit._vorda, which is not built ({e}): "
                                   "cmake --preset release && cmake --build build/release") from None
    if setting.base[1] - setting.base[0] < 1:
        raise KitError(None, None, "--bootstrap needs a base of at least two years")
    return _vorda


def bootstrap(prep, thrtype, min_duration):
    """Per base year, the days beyond the threshold and the spell index as the
    mean over the runs whose thresholds leave that year out and count another
    base year twice, one run per other base year: {index: {year: mean}}.

    Each year's values depend only on its own records, so each year is
    analysed on its own records and the next year's (vorda reports a year
    when the following one starts).
    """
    _vorda = bootstrap_binding(prep.setting)
    from vordakit import runner as core

    letter = core.type_letter(thrtype)
    spell = "wsdi" if letter == "u" else "csdi"
    years = prep.base.years
    n = len(years)
    s = prep.series
    _, yr = day_keys(s.ordinal)
    days = (s.ordinal - _EPOCH).astype("M8[D]")
    months = days.astype("M8[M]")
    d = (days - months).astype(np.int64) + 1
    m = (months - months.astype("M8[Y]")).astype(np.int64) + 1
    t = s.t if s.t is not None else s.ordinal - s.ordinal[0] + 1
    scale = 10.0 ** prep.digits
    out = {"ndays": {}, spell.upper(): {}}
    for j in range(n):
        others = np.delete(np.arange(n), j)
        choices = np.concatenate([np.tile(others, (n - 1, 1)), others[:, None]], axis=1)
        thr = whole_units(prep.base.thresholds_many(choices), prep.digits)
        a, b = np.searchsorted(yr, [years[j], years[j] + 2])
        x = prep.exceedance_units(thr, a, b) / scale
        res = _vorda.analyse_cells(x, t[a:b], d[a:b], m[a:b], yr[a:b], letter, 0.0, int(min_duration))
        col = int(np.flatnonzero(res["years"] == years[j])[0])
        out["ndays"][str(years[j])] = float(res["ndays"][:, col].mean())
        out[spell.upper()][str(years[j])] = float(res[spell][:, col].mean())
    return out


def record_bootstrap(prep, thrtype, min_duration, values):
    """Keep (or, with ``values`` None, forget) the bootstrap of one run in the run's description."""
    info = _read_info(prep)
    runs = info.setdefault("bootstrap", {})
    key = f"{'upper' if thrtype.startswith('u') else 'lower'}-{int(min_duration)}"
    if values is None:
        runs.pop(key, None)
    else:
        runs[key] = values
    _write_info(prep, info)


def apply(res, folder):
    """Mark the percentile runs of Results ``res`` read from ``folder``: their
    columns filled, SGS and LFD left out, the base years' bootstrap values in."""
    infos = {}
    for run in res.runs():
        stem = os.path.splitext(run.input)[0]
        if stem not in infos:
            infos[stem] = _described(folder, stem) if _PREPARED.search(run.input) else None
    if not any(infos.values()):
        return
    for run in res.runs():
        table = os.path.join(folder, f"{os.path.splitext(run.input)[0]}-thresholds.csv")
        if infos.get(os.path.splitext(run.input)[0]) and os.path.isfile(table):
            res.thresholds[run.input] = table
    yearly = []
    dropped = set()
    for r in res.yearly:
        info = infos.get(os.path.splitext(r.input)[0])
        if info is None:
            yearly.append(r)
            continue
        if r.index in LEFT_OUT:
            dropped.add(r.input)
            continue
        boot = info.get("bootstrap", {}).get(f"{r.type}-{r.min_duration}", {}).get(r.index, {})
        value = boot.get(str(r.year))
        if value is not None:
            # As yearly.csv keeps it: the trends of these records and those of the
            # table read back are then one and the same.
            value = float(f"{value:.3f}")
        yearly.append(r._replace(percentile=info["percentile"], base=info["base"], window=info["window"],
                                 value=r.value if value is None else value,
                                 bootstrap="yes" if value is not None else None))
    res.yearly = yearly
    res.events = [e if infos.get(os.path.splitext(e.input)[0]) is None else
                  e._replace(percentile=infos[os.path.splitext(e.input)[0]]["percentile"],
                             base=infos[os.path.splitext(e.input)[0]]["base"],
                             window=infos[os.path.splitext(e.input)[0]]["window"])
                  for e in res.events]
    # The files of the indices left out say nothing about these runs.
    res.warnings = [w for w in res.warnings
                    if not any(f"SGS--{i}-" in w or f"LFD--{i}-" in w for i in dropped)]


def _described(folder, stem):
    """The description of the percentile run of exceedance series ``stem``, None without one."""
    path = _info_path(folder, stem)
    try:
        with open(path, encoding="utf-8") as f:
            info = json.load(f)
    except FileNotFoundError:
        return None
    except OSError as e:
        raise KitError(path, None, f"cannot be read: {e.strerror}") from None
    except ValueError as e:
        raise KitError(path, None, f"not the description of a percentile run: {e}") from None
    if not _is_info(info):
        raise KitError(path, None, "not the description of a percentile run (percentile, base, window, bootstrap)")
    return info


def read_thresholds(path):
    """(months, days, thresholds) of a threshold table written by ``prepare``: the 366 days of a leap year."""
    leap = [datetime.date.fromordinal(_LEAP_DAY0 + k) for k in range(366)]
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


def thresholds_figure(run, path, unit, what, new_figure):
    """The threshold per calendar day over the year, on a figure from ``new_figure``."""
    months, days, thr = read_thresholds(path)
    fig, ax = new_figure()
    fig.suptitle(f"Threshold per calendar day: {what.split(',')[0]}", fontsize=14)
    ax.set_title(f"{run.input}: {what}", fontsize=10)
    x = np.array([datetime.date(2000, m, d).toordinal() for m, d in zip(months, days)]) - _LEAP_DAY0
    ax.plot(x, thr, color="#1f77b4", linewidth=1.5)
    starts = [datetime.date(2000, m, 1).toordinal() - _LEAP_DAY0 for m in range(1, 13)]
    ax.set_xticks(starts, ["J", "F", "M", "A", "M", "J", "J", "A", "S", "O", "N", "D"])
    ax.set_xlim(0, 366)
    ax.set_xlabel("calendar day")
    ax.set_ylabel(f"threshold ({unit})" if unit else "threshold")
    ax.grid(True, alpha=0.3)
    return fig


_LEAP_DAY0 = datetime.date(2000, 1, 1).toordinal()


def run(vorda, source, setting, thrtype, min_duration, folder, name=None, resample=False, engine="process"):
    """Write the exceedance series of ``source`` into ``folder`` and analyse it
    with threshold 0.0 on ``engine`` (see vordakit.engine; the result files are
    the same with either); with ``resample``, also the bootstrap of the base
    years. Returns the engine's run (vorda's RunResult, or engine.Run)."""
    from vordakit import engine as engines
    from vordakit import notes
    from vordakit import runner as core

    core.type_letter(thrtype)
    core.duration_text(min_duration)
    # Before any file of the run is written.
    if os.path.isdir(folder):
        notes.check_notes(folder)
    if resample:
        bootstrap_binding(setting)
    prep = prepare(source, setting, folder, name=name)
    if engine == "process":
        vorda = vorda or core.find_vorda(None)
    with engines.runs(engine, vorda, prep.path, folder) as runs:
        res = runs.run(thrtype, "0.0", min_duration)
    if res.status == 0:
        values = bootstrap(prep, thrtype, min_duration) if resample else None
        record_bootstrap(prep, thrtype, min_duration, values)
    return res


def run_command(args):
    """``vordakit run --percentile``: the exceedance series, its table, vorda's run and the bootstrap."""
    import sys

    from vordakit import runner as core

    if args.threshold is not None:
        raise KitError(None, None, "give either --threshold or --percentile, not both")
    if args.base is None:
        raise KitError(None, None, "--percentile needs --base FIRST-LAST, the base period's years")
    if getattr(args, "size", None) is not None:
        raise KitError(None, None, "--size goes with --threshold: a percentile run reads the whole input")
    from vordakit import engine

    setting = parse_setting(args.percentile, args.base, args.window)
    which = engine.choose(getattr(args, "engine", None))
    # The library hands only a file it cannot read to vorda, which it then looks for.
    vorda = core.find_vorda(args.vorda) if which == "process" or args.vorda else None
    res = run(vorda, args.input, setting, args.type, args.min_duration, args.out, args.name, args.bootstrap,
              engine=which)
    if res.status != 0:
        sys.stderr.flush()
        sys.stderr.buffer.write(res.report or f"vordakit run: {core.describe_status(res.status)}\n".encode())
        return res.status
    for path in res.files:
        print(path)
    return 0
