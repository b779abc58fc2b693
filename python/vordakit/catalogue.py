"""The catalogue of what a run yields: every yearly index and every event summary variable.

This is the one place that knows, per quantity, how the binding calls it,
how the tables name it, which result file holds it (the file-name prefix and
the column line vorda writes), which threshold types write it, its units,
its labels for the plots, its CF attributes in a grid's NetCDF output and
its no-value rule (the value vorda writes for "none this year"). Every other
module reads it from here; a new index is one more entry.

>>> [i.name for i in YEARLY]
['ndays', 'WSDI', 'CSDI', 'SGS', 'LFD']
>>> [i.name for i in indices_of("lower")], BY_NAME["SGS"].no_value, BY_KEY["lfd"].no_value
(['ndays', 'CSDI', 'LFD'], 0, -999)
>>> file_index("VORDA-SGS--series.txt-upper-18.0-durmin-3.dat"), file_index("VORDA-series.txt.dat")
('SGS', 'events')
"""

import dataclasses

__all__ = ["Index", "Summary", "YEARLY", "SUMMARY", "BY_NAME", "BY_KEY", "SUMMARY_BY_KEY", "INDEX_ORDER",
           "TYPES", "EVENTS", "EVENT_PREFIX", "SHORT_PREFIX", "EVENT_COLUMN_LINE", "COLUMN_LINES", "UNSET",
           "indices_of", "file_kinds", "file_index", "tail_of", "grid_indices", "grid_attrs", "standard_name",
           "result_name", "CELSIUS", "plot_title"]

# The value vorda's series store holds in a calendar field that was never set;
# it is also what the last frost day is in a year without one.
UNSET = -999
TYPES = ("upper", "lower")
# What the tables call a run's event file among its result files.
EVENTS = "events"
# Prefixes of the event files. The full one, "VORDA-", is a prefix of four of
# the yearly ones, so a file's kind is settled by its column line, or by
# trying the yearly prefixes first (``file_index``).
EVENT_PREFIX = "VORDA-"
SHORT_PREFIX = "VORDAshort-"
EVENT_COLUMN_LINE = " Midpoint_time__d__m___yr_(rounded_up) Duration Action_measure"


@dataclasses.dataclass(frozen=True)
class Index:
    """One yearly index of vorda's result files."""
    name: str              # in the tables and plots: ndays, WSDI ...
    key: str               # in the binding's results and a grid's variables: ndays, wsdi ...
    prefix: str            # of its result file's name
    column_line: str       # line 12 of its result file
    types: tuple           # the threshold types whose runs write it
    title: str             # of its plot
    axis_label: str        # the plot's y axis
    long_name: str         # CF long_name in a grid's output (the threshold is added)
    units: str             # CF units
    cell_method: str       # CF cell_methods over a year
    no_value: int = None   # the value vorda writes in a year without one
    no_value_text: str = ""  # what such years lack, for the warning that counts them
    fixed_only: bool = False  # defined for a fixed threshold only, not for one per calendar day
    day_of_year: bool = False  # the value is a day of its year (an ordinal), which the tables also give as a date
    # The CF standard name where the data are air temperature and the threshold
    # fixed ({side}: above or below), and the units that name asks for.
    standard_name: str = None
    standard_units: str = None
    # What was computed, in words, for the plot's title: {side}, {threshold} (with its unit) and
    # {duration} filled in; "" where ``title`` says it whatever the threshold.
    computed: str = ""
    # (type, threshold in degC) where the title's name holds; elsewhere the title is ``computed`` alone.
    named_at: tuple = None
    uses_duration: bool = True  # the minimum duration changes its values


@dataclasses.dataclass(frozen=True)
class Summary:
    """One yearly summary of the events dated in a year, as a grid's output holds it."""
    key: str
    long_name: str
    units: str             # None: the data's units times days
    cell_method: str
    standard_name: str = None  # as Index's
    # The standard name holds only where every run beyond the threshold is an
    # event (a minimum duration of 1 or less): a year whose longest run is
    # shorter than the minimum duration has no event and shows 0.
    every_run: bool = False


YEARLY = (
    Index("ndays", "ndays", "VORDAndays-", " yr   #days_measure", TYPES,
          "Days beyond the threshold", "days per year",
          "number of days beyond the threshold", "days", "time: sum",
          standard_name="number_of_days_with_air_temperature_{side}_threshold", standard_units="1",
          computed="days {side} {threshold}", uses_duration=False),
    Index("WSDI", "wsdi", "VORDA-WSDI-", " yr   WSDI", ("upper",),
          "Warm spell duration index (WSDI)", "days in warm spells per year",
          "warm spell duration index: days in warm spells of at least the minimum duration", "days", "time: sum"),
    Index("CSDI", "csdi", "VORDA-CSDI-", " yr   CSDI", ("lower",),
          "Cold spell duration index (CSDI)", "days in cold spells per year",
          "cold spell duration index: days in cold spells of at least the minimum duration", "days", "time: sum"),
    Index("SGS", "sgs", "VORDA-SGS--", " yr   Start-of-growing-season", ("upper",),
          "Start of the growing season (SGS)", "ordinal of the day the spell reached its minimum duration",
          "start of the growing season: ordinal of the day a run above the threshold first reaches the "
          "minimum duration", "days", "time: minimum",
          no_value=0, no_value_text="without a start of the growing season (0 in the file)", fixed_only=True,
          day_of_year=True, computed="first spell of {duration} days above {threshold} from day 32 on",
          named_at=("upper", 5.0)),
    Index("LFD", "lfd", "VORDA-LFD--", " yr   Last-frost-day", ("lower",),
          "Last frost day (LFD)", "ordinal of the last day below the threshold",
          "last frost day: ordinal of the last day below the threshold among the year's first 182 days",
          "days", "time: maximum",
          no_value=UNSET, no_value_text="without a frost day among their first 182 days (*** in the file)",
          fixed_only=True, day_of_year=True, computed="last day below {threshold} in the year's first 182 days",
          named_at=("lower", 0.0), uses_duration=False),
)

SUMMARY = (
    Summary("events", "number of events dated in the year", "1", "time: sum"),
    Summary("event_days", "days in events dated in the year", "days", "time: sum"),
    Summary("action_sum", "summed action measure of the events dated in the year", None, "time: sum"),
    Summary("action_max", "largest action measure of an event dated in the year", None, "time: maximum"),
    Summary("longest_event", "duration of the longest event dated in the year", "days", "time: maximum",
            standard_name="spell_length_of_days_with_air_temperature_{side}_threshold", every_run=True),
)

BY_NAME = {i.name: i for i in YEARLY}
BY_KEY = {i.key: i for i in YEARLY}
SUMMARY_BY_KEY = {s.key: s for s in SUMMARY}
# The order in which a run's indices are listed in the tables.
INDEX_ORDER = tuple(i.name for i in YEARLY)
# Column line (line 12 of a result file) -> the index the file holds.
COLUMN_LINES = {EVENT_COLUMN_LINE: EVENTS, **{i.column_line: i.name for i in YEARLY}}


def indices_of(thrtype):
    """The yearly indices a run of threshold type ``thrtype`` writes, in table order."""
    return tuple(i for i in YEARLY if thrtype in i.types)


def file_kinds(thrtype):
    """What the result files of a run of ``thrtype`` hold: events and its indices' names."""
    return (EVENTS,) + tuple(i.name for i in indices_of(thrtype))


def file_index(entry):
    """The index a result file's name says it holds (events for the event files)."""
    return next((i.name for i in YEARLY if entry.startswith(i.prefix)), EVENTS)


def result_name(index, tail):
    """A result file's name from the index it holds (or events) and the tail all of a run's files share.

    >>> result_name("WSDI", "s.txt-upper-18.0-durmin-3.dat"), result_name("events", "s.dat")
    ('VORDA-WSDI-s.txt-upper-18.0-durmin-3.dat', 'VORDA-s.dat')
    """
    return (EVENT_PREFIX if index == EVENTS else BY_NAME[index].prefix) + tail


def tail_of(entry):
    """The part of a yearly result file's name after its prefix."""
    return entry[len(BY_NAME[file_index(entry)].prefix):]


def grid_indices(thrtype, fixed=True):
    """The binding keys of the variables a grid's output holds for ``thrtype``: the
    yearly indices (those of a fixed threshold only with ``fixed``), then the summary."""
    keys = tuple(i.key for i in indices_of(thrtype) if fixed or not i.fixed_only)
    return keys + tuple(s.key for s in SUMMARY)


def standard_name(key, thrtype, min_duration):
    """(CF standard name, the units it asks for or None) of a grid output's variable where the
    data are air temperature and the threshold is fixed; None where CF has no name for it.

    >>> standard_name("ndays", "lower", 3), standard_name("longest_event", "upper", 3)
    (('number_of_days_with_air_temperature_below_threshold', '1'), None)
    >>> standard_name("longest_event", "upper", 1), standard_name("wsdi", "upper", 1)
    (('spell_length_of_days_with_air_temperature_above_threshold', None), None)
    """
    q = BY_KEY.get(key) or SUMMARY_BY_KEY[key]
    if q.standard_name is None or getattr(q, "every_run", False) and min_duration > 1:
        return None
    side = "above" if thrtype == "upper" else "below"
    return q.standard_name.format(side=side), getattr(q, "standard_units", None)


# The units a temperature in degrees Celsius is given in, as users and CF files write them.
CELSIUS = frozenset({"degC", "deg_C", "°C", "C", "celsius", "Celsius", "degree_Celsius", "degrees_Celsius"})


def plot_title(index, thrtype, threshold, threshold_text, duration, unit=""):
    """The title of an index's plot: what was computed, under the index's own name only at
    the threshold where that name holds (a growing season starts above 5 degC, frost is below 0).

    ``threshold_text`` is the threshold as the title shows it (with its unit).

    >>> plot_title("SGS", "upper", 5.0, "5.0 degC", 6, "degC")
    'Start of the growing season (SGS): first spell of 6 days above 5.0 degC from day 32 on'
    >>> plot_title("SGS", "upper", 18.0, "18.0 degC", 6, "degC")
    'First spell of 6 days above 18.0 degC from day 32 on'
    >>> plot_title("LFD", "lower", 0.0, "0.0", 3), plot_title("WSDI", "upper", 25.0, "25.0", 3)
    ("Last day below 0.0 in the year's first 182 days", 'Warm spell duration index (WSDI)')
    """
    i = BY_NAME.get(index)
    if i is None:
        return index
    if not i.computed:
        return i.title
    side = "above" if thrtype == "upper" else "below"
    computed = i.computed.format(side=side, threshold=threshold_text, duration=duration)
    if i.named_at is not None and i.named_at == (thrtype, threshold) and unit in CELSIUS:
        return f"{i.title}: {computed}"
    return computed[0].upper() + computed[1:]


def grid_attrs(key):
    """(long_name, units, cell_methods) of a grid output's variable; units None means
    the data's units times days."""
    q = BY_KEY.get(key) or SUMMARY_BY_KEY[key]
    return q.long_name, q.units, q.cell_method
