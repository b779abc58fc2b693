"""vordakit's Python API: a station's series in, vorda's results as pandas tables out.

The functions here are the library under the command line: ``vordakit run``,
``tidy``, ``trend`` and ``batch`` compute with the same pieces (the reader of
each layout, the engine, the model of a run's results, the trend fit), and
what the API returns is what those commands write. They are re-exported by
the package (``vordakit.read_station`` ...), loaded when first used.

>>> import pathlib, vordakit as vk
>>> example = pathlib.Path(vk.__file__).parents[2] / "example" / "series.txt"
>>> s = vk.read_station(example)
>>> r = vk.analyse(s, "upper", 18.0, min_duration=3)
>>> r.yearly.query("index == 'WSDI'")[["year", "value", "days", "whole"]].head(2)
    year  value  days  whole
10  2001     20   365      1
11  2002     21   365      1
>>> vk.trends(r)[["index", "slope_per_decade", "p_value"]]
   index  slope_per_decade   p_value
0  ndays         -4.285714  0.857462
1   WSDI          3.750000  0.719438
2    SGS         -2.857143  0.788447
"""

import os
import tempfile

import numpy as np

from vordakit import binding, catalogue, convert, dates, engine, model, notes, percentile, results, runner
from vordakit import series as series_module
from vordakit import trend
from vordakit.engine import choose as choose_engine
from vordakit.errors import KitError
from vordakit.formats.detect import read_series
from vordakit.grid.api import indices
from vordakit.thresholds import RunSettings, bootstrap as bootstrap_means, parse_setting, shown_threshold

__all__ = ["read_station", "analyse", "trends", "percentile_thresholds", "indices", "Results"]


def read_station(path, format=None, **options):
    """A station's daily series, read from a file in any supported layout.

    Parameters
    ----------
    path : str or os.PathLike
        The station file: ECA&D, GHCN-Daily, Central England Temperature,
        station6, a delimited table, or a VORDA input file.
    format : str, optional
        The layout (``eca``, ``ghcn``, ``cet``, ``station6``, ``table``,
        ``vorda``); detected from the content when not given.
    **options
        The reader's options, as the command line's (``element``, ``column``,
        ``date_column``, ``delimiter``, ``missing``, ``decimal_comma``,
        ``day_first``, ``drop_suspect``, ``keep_flagged``).

    Returns
    -------
    vordakit.series.Series
        The records: ``ordinal`` (day numbers), ``x`` (values, NaN where
        missing), ``dates``, ``values``, ``kind``, ``unit``, ``decimals``.

    Raises
    ------
    vordakit.errors.KitError
        A line that cannot be read, named with file and line.

    Examples
    --------
    >>> import pathlib, vordakit as vk
    >>> tests = pathlib.Path(vk.__file__).parents[1] / "tests" / "data"
    >>> s = vk.read_station(tests / "eca_tg.txt")
    >>> s.fmt, s.element, s.unit, len(s), s.dates[0], s.values[:3]
    ('eca', 'TG', 'degC', 8, datetime.date(2000, 2, 25), [None, 1.2, -0.5])
    """
    return read_series(os.fspath(path), format, **options)


def analyse(series, type, threshold=None, *, percentile=None, base=None, window=5, bootstrap=False,
            min_duration, engine=None):
    """vorda's events and yearly indices of a series, on a fixed or a percentile threshold.

    The series is analysed as ``vordakit run`` analyses its VORDA input: a
    VORDA file's records as they are; a series of another layout as
    ``vordakit convert`` writes it (missing days inside it are refused).

    Parameters
    ----------
    series : vordakit.series.Series
        A series from ``read_station``.
    type : {"upper", "lower"}
        The threshold type: days above or below the threshold.
    threshold : float or str, optional
        A fixed threshold; a text is taken as written (``"2.5d1"``).
    percentile : float or str, optional
        Instead of ``threshold``: the percentile (0 to 100) of the base
        period's values within ``window`` days of each calendar day.
    base : (int, int) or str, optional
        The base period's first and last year, with ``percentile``.
    window : int, default 5
        Days of the window centred on each calendar day (odd).
    bootstrap : bool, default False
        With ``percentile``: the base years' values as the mean over
        resampled bases (needs the binding).
    min_duration : int
        The minimum duration of an event, in days.
    engine : {"library", "process"}, optional
        The binding (default where it is built) or the ``vorda`` program.

    Returns
    -------
    Results
        ``.yearly`` and ``.events`` as pandas DataFrames, ``.warnings``,
        and ``.write(folder)``.

    Examples
    --------
    >>> import pathlib, vordakit as vk
    >>> s = vk.read_station(pathlib.Path(vk.__file__).parents[2] / "example" / "series.txt")
    >>> r = vk.analyse(s, "upper", 18.0, min_duration=3)
    >>> r.events[["midpoint", "date", "start", "end", "duration"]].head(2)
       midpoint        date       start         end  duration
    0     189.0  2001-07-08  2001-07-07  2001-07-09         3
    1     202.5  2001-07-22  2001-07-15  2001-07-28        14
    >>> p = vk.analyse(s, "upper", percentile=90, base=(2001, 2005), min_duration=3)
    >>> sorted(set(p.yearly["index"])), p.yearly["percentile"].iloc[0]
    (['WSDI', 'ndays'], '90')
    """
    settings = RunSettings.parse(type, threshold, min_duration, percentile, _base_text(base), window, bootstrap)
    which = choose_engine(engine)
    run = _Run(series, settings, which)
    return Results(run, run.compute())


def _base_text(base):
    if base is None or isinstance(base, str):
        return base
    first, last = base
    return f"{int(first)}-{int(last)}"


class _Run:
    """One analysis of a series: its settings, the series as vorda reads it, and how to compute it."""

    def __init__(self, series, settings, which):
        self.settings, self.engine = settings, which
        if series.fmt == "vorda" and series.t is not None:
            self.input_name = os.path.basename(series.path)
            self.series, self.arrays = series, engine.series_arrays(series)
            if self.arrays is None:
                at = int(np.argmax(np.isnan(series.x)))
                raise KitError(series.path, series.line_of(at), "a missing value: vorda cannot analyse it")
        else:
            # As convert writes it: the station's name with .txt.
            self.input_name = os.path.splitext(os.path.basename(series.path))[0] + ".txt"
            converted, _ = convert.select(series)
            self.arrays = series_module.vorda_arrays(converted)
            self.series = series_module.as_vorda_input(converted, self.arrays)
        self.name, self.prepared = self.input_name, None
        if settings.percentile is not None:
            self.prepared = percentile.exceedances(self.series, settings.percentile, self.input_name, "")
            self.name = self.prepared.name

    def compute(self):
        """The model's Results of the run: what tidy makes of its result files and notes."""
        if self.engine == "process":
            return self._by_process()
        s = self.settings
        run = model.Run(self.name, s.type, float(shown_threshold(s.value)), s.min_duration)
        a = self.arrays if self.prepared is None else self.prepared.arrays()
        lib = binding.require("the library engine")
        analysis = lib.analyse(a["t"], a["d"], a["m"], a["yr"], a["x"], s.type, s.value, s.min_duration)
        res = model.Results()
        by_file = {}
        model.from_analysis(run, analysis, {k: _result_name(k, run) for k in catalogue.file_kinds(s.type)},
                            by_file, res)
        res.warnings = [w for path in sorted(by_file) for w in by_file[path]]
        days = notes.input_days(self.series.ordinal, self.series.t)
        notes.add_calendar(res, lambda name: days, {run: s.value})
        if self.prepared is not None:
            notes.mark_percentile_runs(res, {os.path.splitext(self.name)[0]: self._description()})
        return res

    def _by_process(self):
        """The Results of vorda run in a temporary folder, read from its files and notes."""
        with tempfile.TemporaryDirectory(prefix="vordakit-") as folder:
            outcome = self.write(folder, runner.find_vorda(None))
            _refuse_failure(outcome, None)
            return results.read_results(folder, [os.path.basename(p) for p in outcome.files])

    def _description(self):
        """The percentile run's description, as its notes would keep it."""
        s, prep = self.settings, self.prepared
        info = {"percentile": s.percentile.text, "base": s.percentile.base_text, "window": s.percentile.window,
                "bootstrap": {}}
        if s.bootstrap:
            info["bootstrap"][f"{s.type}-{s.min_duration}"] = bootstrap_means(
                prep.base, prep.exceedance_units, prep.calendar, prep.digits, s.type, s.min_duration,
                percentile.bootstrap_binding(s.percentile).analyse_cells)
        return info

    def write(self, folder, vorda=None, name=None):
        """vorda's result files of the run and the notes beside them in ``folder``; the RunOutcome."""
        s = self.settings
        name = name or self.input_name
        os.makedirs(folder, exist_ok=True)
        if self.prepared is not None:
            return percentile.run(vorda, self.series.path, s.percentile, s.type, s.min_duration, folder, name,
                                  s.bootstrap, engine_name=self.engine, series=self.series)
        source = self.series.path
        if not (self.series.fmt == "vorda" and os.path.isfile(source)):
            # The input vorda reads, beside its results, where the notes find it.
            source = os.path.join(folder, name)
            series_module.write_vorda_arrays(self.series, source)
        with engine.runs(self.engine, vorda, source, folder, name, series=self.arrays) as runs:
            return runs.run(s.type, s.threshold, s.min_duration, len(self.arrays["x"]))


def _refuse_failure(outcome, path):
    """A KitError with vorda's report, for a run that failed."""
    if outcome.status != 0:
        raise KitError(path, None, f"{runner.describe_status(outcome.status)}: "
                                   f"{outcome.report.decode('utf-8', 'replace').strip()}")


def _result_name(kind, run):
    """The name of the result file that holds ``kind`` (an index, or events) of a run."""
    threshold = format(run.threshold, ".1f")
    return catalogue.result_name(kind, f"{run.input}-{run.type}-{threshold}-durmin-{run.min_duration}.dat")


class Results:
    """The results of one run: its yearly values and events as pandas DataFrames.

    ``yearly`` has the columns of ``vordakit tidy``'s yearly.csv (input,
    type, threshold, min_duration, index, year, value, days, whole, date,
    percentile, base, window, bootstrap, threshold_used), one row per index
    and year as tidy writes them; ``events`` those of events.csv (the run's
    columns, midpoint, date, start and end of the event, duration, action
    ...). A percentile run has no threshold or threshold_used (NaN): its
    percentile, base and window say what it was. A value vorda does not
    give (an SGS of 0, an LFD of -999, a field it could not fill) is missing,
    and ``warnings`` says why.
    """

    def __init__(self, run, res):
        self._run = run
        self.records = res
        self.warnings = list(res.warnings)

    @property
    def yearly(self):
        return _frame(self.records.yearly, model.YEARLY_FIELDS, model.YEARLY_FIELDS)

    @property
    def events(self):
        return _frame(self.records.events, model.EVENT_RECORD_FIELDS, model.EVENT_FIELDS)

    def write(self, folder, name=None):
        """Write vorda's result files of the run into ``folder``, byte for byte those of
        ``vordakit run``, and the notes beside them (the input, the threshold given, and
        for a percentile run its exceedance series, threshold table and description).

        Parameters
        ----------
        folder : str or os.PathLike
            The result folder; made when missing.
        name : str, optional
            The input's name as vorda is given it, which names the result
            files (default: the series' file name).

        Returns
        -------
        list of str
            The result files' paths.

        Examples
        --------
        >>> import pathlib, tempfile, vordakit as vk
        >>> s = vk.read_station(pathlib.Path(vk.__file__).parents[2] / "example" / "series.txt")
        >>> paths = vk.analyse(s, "upper", 18.0, min_duration=3).write(tempfile.mkdtemp())
        >>> [pathlib.Path(p).name for p in paths][:2]
        ['VORDA-SGS--series.txt-upper-18.0-durmin-3.dat', 'VORDA-WSDI-series.txt-upper-18.0-durmin-3.dat']
        """
        vorda = None if self._run.engine == "library" else runner.find_vorda(None)
        outcome = self._run.write(os.fspath(folder), vorda, name)
        _refuse_failure(outcome, folder)
        return list(outcome.files)

    def __repr__(self):
        s = self._run.settings
        return (f"<Results of {self._run.name}: {s.type} {s.threshold}, minimum duration {s.min_duration}: "
                f"{len(self.records.yearly)} yearly values, {len(self.records.events)} events>")


def _frame(records, fields, columns):
    """Records (of ``fields``) as a DataFrame of ``columns``, as the tables hold them: a
    percentile run without threshold and threshold_used, which its percentile columns give."""
    import pandas as pd
    frame = pd.DataFrame.from_records(records, columns=fields)[list(columns)]
    if len(frame):
        marked = frame["percentile"].notna()
        frame["threshold"] = frame["threshold"].astype(float).mask(marked)
        frame["threshold_used"] = frame["threshold_used"].astype(float).mask(marked)
    return frame


def trends(results_or_yearly, keep_partial=False):
    """Sen slope with its 95% bounds and Mann-Kendall p of every yearly index, per run.

    As ``vordakit trend``: no trend from fewer than 10 valid years or under
    70% valid ones; years the input covers only in part are left out unless
    ``keep_partial``.

    Parameters
    ----------
    results_or_yearly : Results or pandas.DataFrame
        The results of ``analyse``, or a yearly table with its columns (as
        ``Results.yearly`` or tidy's yearly.csv read with pandas).
    keep_partial : bool, default False
        Keep years the input covers only in part.

    Returns
    -------
    pandas.DataFrame
        One row per run and index: the run's columns, ``index``,
        ``first_year``, ``last_year``, ``years``, ``valid_years``,
        ``slope_per_decade``, ``slope_low_per_decade``,
        ``slope_high_per_decade``, ``p_value`` (NaN where the rules allow no
        trend) and the percentile columns.

    Examples
    --------
    >>> import pathlib, vordakit as vk
    >>> s = vk.read_station(pathlib.Path(vk.__file__).parents[2] / "example" / "series.txt")
    >>> t = vk.trends(vk.analyse(s, "lower", 2.0, min_duration=3))
    >>> t[["index", "valid_years", "slope_low_per_decade", "slope_high_per_decade"]]
       index  valid_years  slope_low_per_decade  slope_high_per_decade
    0  ndays           10            -33.333333              10.000000
    1   CSDI           10            -40.000000              16.666667
    2    LFD           10            -52.500000              55.000000
    """
    records = _yearly_records(results_or_yearly)
    rows = trend.trends(trend.whole_years(records, keep_partial))
    return _frame(rows, trend.TREND_FIELDS, trend.TREND_FIELDS)


def _yearly_records(results_or_yearly):
    if isinstance(results_or_yearly, Results):
        return results_or_yearly.records.yearly
    frame = results_or_yearly
    missing = [c for c in model.YEARLY_FIELDS[:7] if c not in frame.columns]
    if missing:
        raise KitError(None, None, f"a yearly table needs the columns {', '.join(model.YEARLY_FIELDS[:7])}; "
                                   f"{', '.join(missing)} missing")
    cells = frame.reindex(columns=model.YEARLY_FIELDS).astype(object).where(frame.notna(), None)
    return [model.YearlyRecord(*(_plain(v) for v in row)) for row in cells.itertuples(index=False)]


def _plain(v):
    """A cell as the records hold it: Python numbers, None where missing."""
    if v is None or v != v:
        return None
    if isinstance(v, np.generic):
        return v.item()
    return v


def percentile_thresholds(series, percentile, base, window=5):
    """The percentile threshold of each of the 366 calendar days, as a percentile run uses it.

    Parameters
    ----------
    series : vordakit.series.Series
        A series from ``read_station`` that covers the base period whole.
    percentile : float or str
        The percentile, 0 to 100.
    base : (int, int) or str
        The base period's first and last year.
    window : int, default 5
        Days of the window centred on each calendar day (odd).

    Returns
    -------
    pandas.DataFrame
        ``month``, ``day`` and ``threshold``, 366 rows in calendar order
        from 1 January (29 February included), the thresholds to the
        decimals the run keeps.

    Examples
    --------
    >>> import pathlib, vordakit as vk
    >>> s = vk.read_station(pathlib.Path(vk.__file__).parents[2] / "example" / "series.txt")
    >>> thr = vk.percentile_thresholds(s, 90, base=(2001, 2010))
    >>> len(thr), thr.iloc[[0, 59, 365]].to_dict("list")
    (366, {'month': [1, 2, 12], 'day': [1, 29, 31], 'threshold': [4.6, 7.1067, 4.9167]})
    """
    import pandas as pd
    setting = parse_setting(percentile, _base_text(base), window)
    run = _Run(series, RunSettings("upper", "0.0", 1, setting), "library")
    prep = run.prepared
    month, day = dates.slot_dates()
    values = prep.thresholds / 10.0 ** prep.digits
    return pd.DataFrame({"month": month, "day": day, "threshold": values})
