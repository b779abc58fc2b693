"""Gridded daily data: the yearly indices and event summary of every cell of CF NetCDF files.

``vordakit grid`` (``run_grid``) and the API's ``vordakit.indices`` make the
same Dataset: each cell's series analysed as vorda analyses a station's, the
results on the grid's own dimensions, one CF-1.8 file written whole or not
at all. The modules, in the order the data passes them:

- ``source``: the input files, opened lazily; ``calendars``: their time
  axis as days of their calendar, the analysis days, the output's years;
- ``values``: what the values hold (decimals, units, missing values);
- ``plan``: what a chunk's analysis needs, and what becomes of a cell;
- ``pipeline``: the options checked, the chunks, one analysis task per chunk;
- ``rows``, ``gaps``, ``percentiles``, ``cells``: a chunk's cells as series,
  the stretches and years a gap costs, the exceedances over a percentile
  threshold, the binding's analysis;
- ``output``: the CF Dataset; ``events``: the events CSV;
- ``run``: the command's computation and files; ``commandline``: its options;
  ``api``: ``indices`` of an xarray DataArray.
"""

from vordakit.grid.api import indices
from vordakit.grid.calendars import Days
from vordakit.grid.cells import analyse_block
from vordakit.grid.commandline import command
from vordakit.grid.output import load_output
from vordakit.grid.plan import BASE_GAPS, COMPLETE, EMPTY, FILLED, GAPS, INDICES, NONE_VALUE, SUMMARY, TRIMMED
from vordakit.grid.run import run_grid
from vordakit.grid.source import Input, expand_inputs
from vordakit.grid.values import decimal_values

__all__ = ["INDICES", "SUMMARY", "NONE_VALUE", "COMPLETE", "TRIMMED", "FILLED", "GAPS", "EMPTY", "BASE_GAPS",
           "decimal_values", "expand_inputs", "Input", "Days", "analyse_block", "run_grid", "load_output",
           "indices", "command"]
