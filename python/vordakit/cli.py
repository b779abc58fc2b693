"""The ``vordakit`` command: one subcommand per step, errors turned into messages and statuses.

Only wiring: each subcommand has an ``add_<name>(subparsers)`` function that
declares its options, and its work is ``command(args)`` of one module
(convert, qc, run, results for tidy, trend, plot or maps, batch, grid),
loaded when the subcommand runs; it returns the exit status. Errors of input or output are ``KitError``s
(or ``OSError``s) and end as one line on standard error with status 2.
"""

import argparse
import importlib
import os
import re
import sys
import textwrap

from vordakit import __version__
from vordakit.errors import KitError

FORMATS = ("eca", "ghcn", "cet", "station6", "table", "vorda")
# What to install when an import fails.
DEBIAN_PACKAGES = {"numpy": "python3-numpy", "matplotlib": "python3-matplotlib", "pandas": "python3-pandas",
                   "xarray": "python3-xarray",
                   "netCDF4": "python3-netcdf4", "dask": "python3-dask", "distributed": "python3-distributed",
                   "cftime": "python3-cftime"}


def _lazy(module):
    """The handler of a subcommand: ``command(args)`` of its module, imported only when the
    subcommand runs (numpy, matplotlib and xarray are slow to load)."""
    def handler(args):
        return importlib.import_module(f"vordakit.{module}").command(args)
    return handler


def _plot(args):
    """``vordakit plot``: a grid's maps for a NetCDF file, else a folder's pictures."""
    return _lazy("maps" if args.folder.endswith(".nc") else "plot")(args)


def _add_reader_options(p):
    """Options that choose and tune the reader, shared by convert and qc."""
    g = p.add_argument_group("input")
    g.add_argument("--format", choices=FORMATS, default=None,
                   help="input layout (default: detected from the content)")
    g.add_argument("--element", metavar="NAME",
                   help="GHCN-Daily element (TMAX, TMIN, TAVG, PRCP); needed when the file holds several")
    g.add_argument("--column", metavar="COL",
                   help="value column: station6 prcp, tmax or tmin; table a header name or a 1-based position")
    g.add_argument("--date-column", metavar="COL",
                   help="table: date column (name or position), or three columns year,month,day "
                        "(default: the first column, or columns named year, month, day)")
    g.add_argument("--delimiter", metavar="CHAR",
                   help="table: field separator (default: comma, semicolon, tab or blanks, whichever the file uses)")
    g.add_argument("--missing", metavar="LIST",
                   help="table: comma-separated missing-value markers "
                        "(default: empty, NA, NaN, -9999, -999, -99.9)")
    g.add_argument("--decimal-comma", action="store_true",
                   help="table: values written with a decimal comma (3,5); the fields are then "
                        "separated by semicolons, tabs or blanks")
    g.add_argument("--day-first", action="store_true",
                   help="table: dates as day, month, year (31.12.2001, 31/12/2001 or 31-12-2001)")
    g.add_argument("--drop-suspect", action="store_true",
                   help="ECA&D: treat values with quality code 1 (suspect) as missing")
    g.add_argument("--keep-flagged", action="store_true",
                   help="GHCN-Daily: keep values that carry a quality flag")


def add_convert(subparsers):
    p = subparsers.add_parser(
        "convert", help="station data file -> VORDA input file",
        description="Read one station series and write it as a VORDA input file (t d m yr x). "
                    "Prints the number of records written, the answer to vorda's size question.")
    p.add_argument("source", help="station data file")
    p.add_argument("target", help="VORDA input file to write")
    _add_reader_options(p)
    g = p.add_argument_group("selection")
    g.add_argument("--from", dest="start", metavar="YYYY-MM-DD", help="first date to keep")
    g.add_argument("--to", dest="end", metavar="YYYY-MM-DD", help="last date to keep")
    g.add_argument("--months", metavar="M-N",
                   help="season: months to keep, e.g. 5-9 or 11-3 or 6,7,8; t keeps counting calendar days")
    g = p.add_argument_group("missing days inside the series (default: refuse and list them)")
    pol = g.add_mutually_exclusive_group()
    pol.add_argument("--fill", type=int, metavar="N",
                     help="fill gaps of at most N days by linear interpolation; longer gaps still refuse")
    pol.add_argument("--longest", action="store_true",
                     help="keep only the longest stretch without missing days (the earliest of equally long ones)")
    p.set_defaults(handler=_lazy("convert"))


def add_qc(subparsers):
    p = subparsers.add_parser(
        "qc", help="check a station series or VORDA input file",
        description="Check a series for structure errors, suspicious values and missing days. "
                    "Exit status: 0 clean, 1 warnings only, 2 the series cannot be used as it is.")
    p.add_argument("source", help="station data file or VORDA input file")
    p.add_argument("--csv", metavar="FILE", help="write every finding to FILE (date, value, check, detail)")
    _add_reader_options(p)
    g = p.add_argument_group("limits")
    g.add_argument("--min", dest="low", type=float, metavar="X",
                   help="lowest physical value (default -90 for temperatures, 0 for precipitation)")
    g.add_argument("--max", dest="high", type=float, metavar="X",
                   help="highest physical value (default 60 for temperatures, none for precipitation)")
    g.add_argument("--sigmas", type=float, default=5.0, metavar="N",
                   help="outlier: beyond mean +- N standard deviations of the same calendar day "
                        "in a 5-day window (default 5)")
    g.add_argument("--flat-run", type=int, default=5, metavar="N",
                   help="report N or more identical values in a row (default 5)")
    g.add_argument("--jump", type=float, default=20.0, metavar="X",
                   help="report day-to-day changes of X or more (default 20)")
    g.add_argument("--quiet", action="store_true", help="print only the summary line")
    p.set_defaults(handler=_lazy("qc"))


def _add_vorda_option(p):
    p.add_argument("--vorda", metavar="PATH",
                   help="the vorda program (default: the vorda beside the installed vordakit command, "
                        "else env VORDA, else in a source checkout build/release/vorda or build/test/vorda, "
                        "else vorda on PATH); the library engine runs it only for an input it cannot read")
    p.add_argument("--engine", choices=("library", "process"),
                   help="compute through the binding vordakit._vorda (library) or by running vorda "
                        "(process); the result files are the same (default: library when it is built)")


def _add_percentile_options(p, per, values, bootstrap_help):
    g = p.add_argument_group(f"percentile threshold (instead of --threshold): {per}")
    g.add_argument("--percentile", metavar="P", help=f"percentile of {values}, 0 to 100")
    g.add_argument("--base", metavar="FIRST-LAST", help="base period's years, e.g. 1961-1990")
    g.add_argument("--window", default=5, metavar="DAYS",
                   help="days of the window centred on each day, odd (default 5); at the base's ends it wraps "
                        "around the base instead of taking the real days before and after it: 1 January of "
                        "the first base year takes 30 and 31 December of the last one")
    g.add_argument("--bootstrap", action="store_true", help=bootstrap_help)


# Where vorda's spell indices part from its events; said by every command that computes them.
SPELLS_CUT = ("WSDI and CSDI cut a spell at the year's end: each year counts only the part of a spell that lies "
              "in it, and only when that part alone lasts the minimum duration, so a spell from 29 December "
              "to 3 January with minimum duration 6 adds nothing to either year (the events keep it whole).")


def add_run(subparsers):
    p = subparsers.add_parser(
        "run", help="one vorda run without the dialogue",
        description="Run vorda once, answering its five questions from the options. The result files "
                    "are those of the same answers typed at the dialogue in the input's folder; they "
                    "land in the result folder only when vorda succeeds. vorda's exit status and "
                    "failure report are passed through unchanged. " + SPELLS_CUT)
    p.add_argument("input", help="VORDA input file (t d m yr x)")
    p.add_argument("-t", "--type", required=True, choices=("upper", "lower", "u", "l"),
                   help="threshold type")
    p.add_argument("-x", "--threshold", metavar="X", help="threshold value, e.g. 18.0")
    p.add_argument("-d", "--min-duration", required=True, metavar="DAYS", help="event minimum duration")
    p.add_argument("-o", "--out", default=".", metavar="DIR", help="result folder (default: the current one)")
    _add_percentile_options(p, "one per calendar day", "the base period's values",
                            "base years' yearly values as the mean over resampled bases (tables, trends, plots)")
    p.add_argument("--name", help="the input's name as given to vorda, which names the result files "
                                  "(default: the input's file name)")
    p.add_argument("--size", type=int, metavar="N",
                   help="records to read (default: the input's non-blank lines)")
    p.add_argument("--unchecked", action="store_true",
                   help="pass an input that holds missing-value markers (-9999, -999, -99.9) to vorda as it "
                        "is, which analyses them as values (refused by default, naming the line)")
    _add_vorda_option(p)
    p.set_defaults(handler=_lazy("run"))


def add_tidy(subparsers):
    p = subparsers.add_parser(
        "tidy", help="result files -> yearly.csv and events.csv",
        description="Read every VORDA result file of a folder into two tidy CSV tables: yearly.csv "
                    "(input, type, threshold, min_duration, index, year, value) and events.csv "
                    "(the run columns, midpoint, date, start, end, duration, action). Missing values (-999, fields "
                    "of asterisks) become empty cells, with a warning naming file and line.")
    p.add_argument("folder", help="folder with VORDA result files")
    p.add_argument("-o", "--out", metavar="DIR", help="where to write the tables (default: the folder)")
    p.set_defaults(handler=_lazy("results"))


def add_trend(subparsers):
    p = subparsers.add_parser(
        "trend", help="Sen slope and Mann-Kendall p of every yearly index",
        description="Per yearly index: years, valid years, Sen slope per decade with its 95% bounds, "
                    "two-sided Mann-Kendall p-value (normal approximation with the tie correction and "
                    "without a continuity correction, so a little smaller than with one, most so for "
                    "short series). No trend from fewer than 10 valid years or under 70% valid ones. "
                    "A grid's .nc from vordakit grid gets the same per cell, as NAME-trend.nc.")
    p.add_argument("source", help="folder with VORDA result files, a yearly.csv from tidy or batch, "
                                  "or a grid's .nc from vordakit grid")
    p.add_argument("-o", "--out", metavar="FILE",
                   help="CSV (or for a grid, NetCDF) to write (default: trend.csv in the folder or beside "
                        "the yearly table; NAME-trend.nc beside a grid's NAME.nc)")
    p.add_argument("--keep-partial", action="store_true",
                   help="keep years the input covers only in part (left out by default: a year with "
                        "part of its days would pull the trend)")
    p.set_defaults(handler=_lazy("trend"))


def add_plot(subparsers):
    p = subparsers.add_parser(
        "plot", help="PNG per yearly index and per event set, and one PDF of all",
        description="Draw each yearly index of each run (points joined by lines, missing years marked, "
                    "Sen line, slope and p in the subtitle) and each run's events (a stem per event at "
                    "its date, height the action measure), as 800x600 PNGs, plus plots.pdf with all. "
                    "A grid's .nc from vordakit grid gets one NAME-INDEX.png per yearly index: the period "
                    "mean and the Sen slope per decade side by side, cells with a Mann-Kendall p below "
                    "0.05 dotted.")
    p.add_argument("folder", help="folder with VORDA result files, or a grid's .nc from vordakit grid")
    p.add_argument("-o", "--out", metavar="DIR",
                   help="where to write the pictures (default: the folder, or the grid file's folder)")
    p.add_argument("--unit", default="", help="unit of the series' values, e.g. degC or mm (for the labels)")
    p.add_argument("--keep-partial", action="store_true",
                   help="keep years the input covers only in part (left out by default: a year with "
                        "part of its days would pull the trend)")
    p.set_defaults(handler=_plot)


# The station list's columns and batch's exit statuses, laid out as a table: argparse would run them together.
BATCH_EPILOG = """\
station list: tab-separated, a header line naming the columns in any order,
then one row per run (a station with several thresholds has several rows with
the same name and file); blank lines, lines starting with # and columns of
other names are skipped.
  file          station data file or VORDA input, relative to the list's
                folder (or: path, station_file)
  name          the station, which names its folder (or: station,
                station_name)
  type          upper or lower, u or l (or: threshold_type)
  threshold     threshold value, empty with percentile (or: threshold_value,
                value)
  min_duration  event minimum duration in days (or: minimum_duration, durmin,
                duration)
optional columns:
  percentile    a threshold per calendar day: this percentile (0 to 100) of
                the base period's values, instead of threshold
  base          the percentile's base period, FIRST-LAST, e.g. 1961-1990
  window        the percentile's window in days, odd (default 5)
  bootstrap     yes: the base years' values as the mean over resampled bases
                (yes/no, true/false, y/n, 1/0 in any case; empty: no)
  format        the file's layout: eca, ghcn, cet, station6, table or vorda
                (default: detected)
  element       GHCN-Daily element: TMAX, TMIN, TAVG or PRCP
  column        the value column: station6 prcp, tmax or tmin; table a
                header name or 1-based position
  kind          temperature or precipitation, for qc and the plots (default:
                from the element or layout)
  unit          the values' unit in the plots, e.g. degC or mm
  full_name     the station's full name (its metadata: these five columns
                go before the metadata files beside the station file, or
                named by --metadata, and before the file's own header)
  lat           latitude in decimal degrees, north positive (-90 to 90)
  lon           longitude in decimal degrees, east positive (-180 to 180)
  elevation     elevation in metres
  country       country code or name
Rows of one file that choose different series (element, column) each get
their own input.

exit status:
  0    every station succeeded
  1    a station failed (its reason in summary.csv and its folder's error.txt)
  2    the station list or an option was refused (file:line: reason); nothing
       runs
  130  interrupted by Ctrl-C: the running stations finish, the others are
       marked interrupted in summary.csv; a second Ctrl-C ends at once,
       without summary
  143  terminated (SIGTERM): ends at once, without summary

""" + textwrap.fill(SPELLS_CUT, 79)


def add_batch(subparsers):
    p = subparsers.add_parser(
        "batch", help="convert, qc, run, tidy, trend and plot for every row of a station list",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=BATCH_EPILOG,
        description="Process every station of a station list (its columns below) in its own folder,\n"
                    "in parallel: convert, qc, one vorda run per row, tidy, trend and plot. A\n"
                    "station's failure is recorded in its folder and in summary.csv and does not stop\n"
                    "the others; the stations' tables are combined in yearly.csv, events.csv and\n"
                    "trend.csv beside it, with each station's metadata (the list's columns, the\n"
                    "metadata files beside its file or named by --metadata, its file's header),\n"
                    "and in stations.nc and stations-trend.nc (CF timeSeries); a map of the\n"
                    "stations' trends per index, stations-<index>.png.")
    p.add_argument("stations", help="station list (TSV with a header line); its relative file paths are "
                                    "taken from its own folder")
    p.add_argument("-o", "--out", required=True, metavar="DIR", help="batch folder (one sub-folder per station)")
    p.add_argument("-j", "--jobs", type=int, metavar="N", help="stations at a time (default: the number of cores)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run the stations as tasks on an existing dask.distributed scheduler, tcp://HOST:PORT, "
                        "instead of local workers (its workers must see the station files and the batch folder)")
    p.add_argument("--no-plots", action="store_true", help="skip the pictures")
    p.add_argument("--no-qc", action="store_true",
                   help="skip the value warnings (the structure checks always run)")
    p.add_argument("--fill", type=int, metavar="N",
                   help="fill gaps of at most N days by linear interpolation, VORDA inputs too; "
                        "the days filled are listed in the station's filled.csv (default: refuse gaps)")
    p.add_argument("--resume", action="store_true",
                   help="skip stations whose folder is complete for the same rows, input and options")
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.add_argument("--metadata", action="append", metavar="FILE",
                   help="station metadata file (ECA&D stations.txt or sources.txt, GHCN-Daily ghcnd-stations.txt) "
                        "for every station, instead of those beside each station file; may be given again")
    _add_vorda_option(p)
    p.set_defaults(handler=_lazy("batch"))


def add_grid(subparsers):
    p = subparsers.add_parser(
        "grid", help="yearly indices and events of every cell of CF NetCDF files",
        description="Analyse the daily series of every cell of a CF NetCDF variable (several files are "
                    "joined along time) and write the yearly indices and the yearly event summary of each "
                    "cell as CF-1.8 NetCDF. Missing days inside a cell's series cost it the years they touch "
                    "(missing_days counts them) unless --fill interpolates the gaps. " + SPELLS_CUT)
    p.add_argument("inputs", nargs="+", metavar="IN.nc", help="NetCDF files or globs, joined along time")
    p.add_argument("--var", help="the data variable (default: the only one with a time dimension)")
    p.add_argument("-t", "--type", required=True, choices=("upper", "lower", "u", "l"), help="threshold type")
    p.add_argument("-x", "--threshold", metavar="X",
                   help="threshold value, in the output's units (--units) or else the file's")
    p.add_argument("-d", "--min-duration", required=True, metavar="DAYS", help="event minimum duration")
    p.add_argument("-o", "--out", required=True, metavar="OUT.nc", help="NetCDF file to write")
    # --bootstrap is taken only to be refused with a reason: grids do without it.
    _add_percentile_options(p, "one per cell and calendar day", "the cell's base period values", argparse.SUPPRESS)
    p.add_argument("--units", help="convert the values: degC (from K) or mm/day (from kg m-2 s-1)")
    p.add_argument("--months", metavar="M-N", help="season: months to keep, e.g. 5-9 or 11-3 or 6,7,8")
    p.add_argument("--fill", type=int, metavar="N",
                   help="fill gaps of at most N days by linear interpolation, as convert does")
    p.add_argument("--chunks", metavar="DIM=N,...", help="chunk sizes of the dimensions besides time")
    g = p.add_mutually_exclusive_group()
    g.add_argument("-j", "--jobs", type=int, metavar="N", help="threads (default: the number of cores)")
    g.add_argument("--scheduler", metavar="ADDRESS", help="an existing dask.distributed scheduler, tcp://HOST:PORT")
    p.add_argument("--events", metavar="EVENTS.csv", help="also write every event of every cell to CSV")
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.set_defaults(handler=_lazy("grid"))


def add_report(subparsers):
    p = subparsers.add_parser(
        "report", help="a static HTML report of a batch, a run folder or a grid output",
        description="Write one HTML page with its pictures into a folder of its own (default: "
                    "FOLDER/report, or OUT-report beside a grid output): an overview, the failures, "
                    "qc findings, partial years, and per station its tables, trends and pictures; for a grid "
                    "its variables and maps. Nothing in it points outside the folder.")
    p.add_argument("source", help="batch folder, run folder (after tidy) or grid output OUT.nc")
    p.add_argument("-o", "--out", metavar="DIR", help="the report's folder (replaced whole when it is a report)")
    p.set_defaults(handler=_lazy("report"))


# The subcommands in the order --help lists them.
COMMANDS = [
    add_convert,
    add_qc,
    add_run,
    add_tidy,
    add_trend,
    add_plot,
    add_batch,
    add_grid,
    add_report,
]


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vordakit",
        description="Companion toolkit of VORDA: from station files to checked input series, "
                    "runs, tidy tables, trends and plots.")
    parser.add_argument("--version", action="version", version=f"vordakit {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    subparsers.required = True
    for add in COMMANDS:
        add(subparsers)
    return parser


def _thresholds_joined(argv):
    """``-x -1e-30`` as ``-x=-1e-30``: argparse takes a word that starts with a
    minus for an option unless it is a plain negative number (-5, -0.5), so a
    negative threshold with an exponent would be refused as a missing value.

    >>> _thresholds_joined(["run", "s.txt", "-x", "-1e-30", "--threshold", "-2.5d1", "-x", "-5"])
    ['run', 's.txt', '-x=-1e-30', '--threshold=-2.5d1', '-x', '-5']
    """
    out = []
    words = iter(argv)
    for word in words:
        if word in ("-x", "--threshold"):
            value = next(words, None)
            if value is not None and value.startswith("-") and _NEGATIVE_REAL.fullmatch(value):
                word = f"{word}={value}"
            elif value is not None:
                out.append(word)
                word = value
        out.append(word)
    return out


# A negative number as a threshold may be written (see thresholds.threshold_text).
_NEGATIVE_REAL = re.compile(r"-(\d+\.?\d*|\.\d+)[eEdD][+-]?\d+")


def main(argv=None):
    # numpy's work here is elementwise, never large linear algebra. A threaded
    # BLAS would only wake its threads for the 3x3 inverses matplotlib takes of
    # every transform, and they spin after each: a core taken from a batch's
    # other workers, more CPU than the plots themselves. One thread, unless the
    # user says otherwise; read when numpy loads, which the commands do later.
    # Only the command sets it: a program that imports the package keeps its own.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    args = build_parser().parse_args(_thresholds_joined(sys.argv[1:] if argv is None else argv))
    try:
        return args.handler(args) or 0
    except KitError as e:
        print(f"vordakit {args.command}: {e}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (| head): end quietly, as other commands do, and
        # keep Python from complaining about the lost output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        print(f"vordakit {args.command}: {where}{e.strerror or e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except ModuleNotFoundError as e:
        if e.name not in DEBIAN_PACKAGES:
            raise
        print(f"vordakit {args.command}: {e.name} is not installed (Debian package {DEBIAN_PACKAGES[e.name]})",
              file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
