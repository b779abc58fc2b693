"""What a chunk's analysis needs, as plain data that travels to workers; what becomes of a cell.

The output's variables are named and ordered as the catalogue gives them
(vordakit.catalogue): the yearly indices of the threshold type, then the
event summary.
"""

from vordakit import catalogue

__all__ = ["INDICES", "SUMMARY", "NONE_VALUE", "COMPLETE", "TRIMMED", "FILLED", "GAPS", "EMPTY", "BASE_GAPS",
           "STATUS_MEANINGS", "BASE_GAPS_MEANING", "Plan", "status_meanings"]

# The variables of the output, by the binding's names.
INDICES = {t: tuple(i.key for i in catalogue.indices_of(t)) for t in catalogue.TYPES}
SUMMARY = tuple(s.key for s in catalogue.SUMMARY)
# vorda's word for "none this year", which the output keeps as no value.
NONE_VALUE = {i.key: float(i.no_value) for i in catalogue.YEARLY if i.no_value is not None}

# A cell's fate, kept per cell in the output as a CF flag variable; the last
# only with a percentile threshold (a cell whose base period misses a day).
COMPLETE, TRIMMED, FILLED, GAPS, EMPTY, BASE_GAPS = range(6)
STATUS_MEANINGS = "complete trimmed filled gaps no_value"
BASE_GAPS_MEANING = "base_gaps"


class Plan:
    """Everything a chunk's analysis needs; plain data, so that it travels to workers.

    ``events``: whether the analysis also lists every event (for ``--events``);
    the yearly values are then taken from the same analysis of each cell.
    """

    def __init__(self, days, thrtype, threshold, min_duration, fill, convert_to, packed_decimals, percentile=None,
                 events=False):
        self.days = days
        self.type = thrtype
        self.threshold = threshold
        self.min_duration = min_duration
        self.fill = fill
        self.convert_to = convert_to          # None, "degC" (from K) or "mm/day" (from a flux)
        self.packed_decimals = packed_decimals  # None, or the decimals of scale and offset
        self.percentile = percentile          # None, or a PercentilePlan (the threshold is then 0.0)
        self.events = events
        self.names = catalogue.grid_indices(thrtype, fixed=percentile is None)

    @property
    def slots(self):
        """(values per cell and year, years): the indices, the status, the missing
        days per year, and with a percentile threshold its 366 values per
        calendar day (a slot of their own)."""
        k = len(self.days.years)
        if self.percentile is None:
            return len(self.names) + 2, k
        return len(self.names) + 3, max(k, 366)


def status_meanings(plan):
    """The flag meanings of the output's cell_status."""
    return STATUS_MEANINGS + ("" if plan.percentile is None else " " + BASE_GAPS_MEANING)
