"""``vordakit report``: one static HTML page over what a batch, a run or a grid left behind.

The report reads only the files the other commands wrote (a batch folder's
summary.csv, combined tables, each station's folder; a run folder's tables
and pictures; a grid output, its trend file and maps) and writes a folder
that stands alone: ``index.html``, the pictures copied beside it and copies
of the tables it links to. Nothing in it points outside the folder, so it
opens offline and can be zipped and sent. It is built in a hidden folder
beside its place and renamed there when complete: a failed report leaves the
previous one, or none.

Optional parts appear when the batch folder has them: the station metadata
columns of summary.csv (full_name, lat, lon, elevation, country) and station
maps, ``stations-<index>.png`` in the batch folder.
"""

import contextlib
import csv
import os
import shutil
import tempfile

from vordakit import catalogue
from vordakit import report_html as h
from vordakit.atomic import umask
from vordakit.errors import KitError

__all__ = ["write_report", "command"]

METADATA = ("full_name", "lat", "lon", "elevation", "country")
# The tables of a run folder, and of a station's folder in a batch.
TABLES = ("yearly.csv", "events.csv", "trend.csv")
RUN_KEY = ("input", "type", "threshold", "min_duration")
# Long tables are cut in the page; the copied CSV beside it holds all rows.
MAX_ROWS = 300


def write_report(path, out=None):
    """Write the report of a batch folder, a run folder or a grid output and return its page's path.

    Parameters
    ----------
    path : str
        A batch folder (with summary.csv), a run folder (with yearly.csv, as
        ``vordakit tidy`` leaves it) or a grid output ``OUT.nc``.
    out : str, optional
        The report's folder; by default ``path/report``, or ``OUT-report``
        beside a grid output. A folder that holds anything but an earlier
        report is refused.

    Returns
    -------
    str
        The path of the report's ``index.html``.

    Examples
    --------
    >>> import os, tempfile
    >>> run = tempfile.mkdtemp()
    >>> with open(os.path.join(run, "yearly.csv"), "w") as f:
    ...     _ = f.write("input,type,threshold,min_duration,index,year,value,days,whole\\n"
    ...                 "s.txt,upper,18.0,3,ndays,2001,12,365,1\\n")
    >>> page = write_report(run)
    >>> os.path.relpath(page, run), "s.txt: upper, threshold 18.0" in open(page).read()
    ('report/index.html', True)
    """
    path = os.fspath(path)
    kind = _kind(path)
    if out is None:
        out = os.path.splitext(path)[0] + "-report" if kind == "grid" else os.path.join(path, "report")
    out = os.fspath(out)
    with _placed(out) as folder:
        files = h.Files(folder)
        build = {"batch": _batch_page, "run": _run_page, "grid": _grid_page}[kind]
        title, subtitle, contents, body = build(path, files)
        with open(os.path.join(folder, "index.html"), "w", encoding="utf-8") as f:
            f.write(h.page(title, subtitle, contents, body))
    return os.path.join(out, "index.html")


def command(args):
    """``vordakit report``: the page's path on standard output."""
    print(write_report(args.source, args.out))
    return 0


def _kind(path):
    if os.path.isfile(path) and path.endswith(".nc"):
        return "grid"
    if not os.path.isdir(path):
        raise KitError(path, None, "neither a batch or run folder nor a grid output (.nc)")
    if os.path.isfile(os.path.join(path, "summary.csv")):
        return "batch"
    if os.path.isfile(os.path.join(path, "yearly.csv")):
        return "run"
    if any(e.startswith(catalogue.EVENT_PREFIX) for e in os.listdir(path)):
        raise KitError(path, None, f"no yearly.csv: run `vordakit tidy {path}` (and trend, plot) first")
    raise KitError(path, None, "no summary.csv (a batch) or yearly.csv (a run) to report on")


def _is_report(folder):
    """Whether ``folder`` is empty or holds a report this command wrote, which a new one may replace."""
    entries = os.listdir(folder)
    if not entries:
        return True
    try:
        with open(os.path.join(folder, "index.html"), encoding="utf-8") as f:
            head = f.read(2000)
    except (OSError, UnicodeDecodeError):
        return False
    return f'<meta name="generator" content="{h.GENERATOR}">' in head


@contextlib.contextmanager
def _placed(out):
    """Yield a fresh hidden folder beside ``out`` that takes its place when the block succeeds."""
    if os.path.lexists(out) and not (os.path.isdir(out) and not os.path.islink(out) and _is_report(out)):
        raise KitError(out, None, "exists and is not a report of vordakit: name another folder with -o")
    parent = os.path.dirname(os.path.abspath(out))
    try:
        tmp = tempfile.mkdtemp(prefix="." + os.path.basename(out) + ".", dir=parent)
    except OSError as e:
        raise OSError(e.errno, e.strerror, out) from None
    try:
        yield tmp
        os.chmod(tmp, 0o777 & ~umask())
        old = None
        if os.path.isdir(out):
            # A folder cannot be renamed over a full one: set the old report aside first.
            old = tempfile.mkdtemp(prefix="." + os.path.basename(out) + ".old.", dir=parent)
            os.rename(out, os.path.join(old, "report"))
        os.rename(tmp, out)
        if old:
            shutil.rmtree(old, ignore_errors=True)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def _read_csv(path, needed=()):
    """Rows of a CSV table as dicts; [] when absent; a table without the ``needed`` columns is refused."""
    if not os.path.isfile(path):
        return []
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.DictReader(f)
            rows = list(reader)
            header = reader.fieldnames or []
    except UnicodeDecodeError:
        raise KitError(path, None, "not UTF-8 text") from None
    except csv.Error as e:
        raise KitError(path, None, f"not a CSV table: {e}") from None
    missing = [c for c in needed if c not in header]
    if missing:
        raise KitError(path, 1, f"the header lacks {', '.join(missing)}")
    return rows


def _read_text(path, limit=20000):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read(limit)
    except OSError:
        return ""


def _plural(n, word):
    return f"{n} {word}{'' if n == 1 else 's'}"


def _days(text):
    return f"{text} day{'' if text == '1' else 's'}"


# ---------------------------------------------------------------- runs


def _runs(yearly):
    """The runs of a yearly table in its order: {run key: first row}."""
    runs = {}
    for r in yearly:
        runs.setdefault(tuple(r.get(k, "") for k in RUN_KEY), r)
    return runs


def _run_label(row):
    """What a run was: its input, threshold type and threshold (or percentile) and minimum duration."""
    if row.get("percentile"):
        window = f", window {row['window']} days" if row.get("window") else ""
        what = f"percentile {row['percentile']} of {row.get('base', '')}{window}"
    else:
        used = row.get("threshold_used")
        shown = f" ({used} as given)" if used and used != row["threshold"] else ""
        what = f"threshold {row['threshold']}{shown}"
    return f"{row['input']}: {row['type']}, {what}, minimum duration {_days(row['min_duration'])}"


def _run_stem(row):
    """The start of the names of the pictures ``vordakit plot`` draws of a run."""
    try:
        threshold = f"{float(row['threshold']):.1f}"
    except ValueError:
        threshold = row["threshold"]
    return f"{row['input']}-{row['type']}-{threshold}-durmin-{row['min_duration']}"


def _indices(yearly):
    """The catalogue's entries of the indices a table holds, in the catalogue's order."""
    present = {r.get("index") for r in yearly}
    return [i for i in catalogue.YEARLY if i.name in present]


def _yearly_table(rows):
    """Year by index: one row per year, its days and whether they are the whole year."""
    indices = _indices(rows)
    years = {}
    for r in rows:
        y = years.setdefault(r["year"], {"days": r.get("days", ""), "whole": r.get("whole", "")})
        y[r["index"]] = r.get("value", "")
        if r.get("date"):
            y[r["index"] + " date"] = r["date"]
    dated = [i.name for i in indices if any(i.name + " date" in y for y in years.values())]
    headers = ["year", "days", "whole"] + [i.name for i in indices] + [f"{n} date" for n in dated]
    keys = headers[1:]
    body = [[year] + [y.get(k, "") for k in keys] for year, y in years.items()]
    legend = h.items(f"{i.name}: {i.title}, {i.axis_label}" for i in indices)
    return h.table(headers, body) + legend


def _trend_table(rows):
    if not rows:
        return h.paragraph("No trends (trend.csv is absent or holds none for this run).")
    titles = {i.name: i.title for i in catalogue.YEARLY}
    body = [[titles.get(r["index"], r["index"]), r.get("first_year"), r.get("last_year"), r.get("years"),
             r.get("valid_years"), r.get("slope_per_decade"), r.get("slope_low_per_decade"),
             r.get("slope_high_per_decade"), r.get("p_value")] for r in rows]
    return h.table(["index", "first year", "last year", "years", "valid years", "Sen slope per decade",
                    "95% low", "95% high", "p (Mann-Kendall)"], body)


def _events_table(rows, link):
    if not rows:
        return h.paragraph("No events.")
    body = [[r.get("date"), r.get("midpoint"), r.get("duration"), r.get("action")] for r in rows[:MAX_ROWS]]
    more = f"<p>The first {MAX_ROWS} shown; all in {link}.</p>" if len(rows) > MAX_ROWS and link else ""
    durations = [int(r["duration"]) for r in rows if r.get("duration", "").isdigit()]
    longest = f", the longest {max(durations)} days" if durations else ""
    summary = f"{_plural(len(rows), 'event')}{longest}"
    table = h.table(["date", "midpoint", "duration", "action"], body)
    return h.details(summary, table + more)


def _run_pictures(folder, row, files, sub):
    """The pictures of a run in plot's order: its indices, its events, its threshold curve."""
    stem = _run_stem(row)
    names = [i.name for i in catalogue.YEARLY] + [catalogue.EVENTS, "thresholds"]
    figures = [files.picture(os.path.join(folder, f"{stem}-{n}.png"), f"{stem}-{n}.png", "pictures", *sub,
                             f"{stem}-{n}.png")
               for n in names if os.path.isfile(os.path.join(folder, f"{stem}-{n}.png"))]
    return f'<div class="pictures">{"".join(figures)}</div>' if figures else ""


def _folder_runs(folder, files, sub, anchor):
    """Per run of a run folder (or a station's folder): its trends, yearly values, events and pictures."""
    tables = {t: _read_csv(os.path.join(folder, t), RUN_KEY) for t in TABLES}
    links = {t: files.table_link(os.path.join(folder, t), "tables", *sub, t) for t in TABLES}
    parts = []
    if any(links.values()):
        parts.append(f"<p>Tables: {' '.join(v for v in links.values() if v)}</p>")
    for n, (key, first) in enumerate(_runs(tables["yearly.csv"]).items(), 1):
        def of(t):
            return [r for r in tables[t] if tuple(r.get(k, "") for k in RUN_KEY) == key]
        yearly = of("yearly.csv")
        partial = sorted({(r["year"], r.get("days", "")) for r in yearly if r.get("whole") == "0"})
        note = h.paragraph("Partly covered years (left out of trends and plots): "
                           + ", ".join(f"{y} ({d} days)" for y, d in partial)) if partial else ""
        events = _events_table(of("events.csv"), links["events.csv"])
        content = ("<h4>Trends</h4>" + _trend_table(of("trend.csv")) + "<h4>Yearly values</h4>" + note
                   + _yearly_table(yearly) + "<h4>Events</h4>" + events + _run_pictures(folder, first, files, sub))
        parts.append(h.section(f"{anchor}-run{n}", _run_label(first), content, level=3))
    return "".join(parts)


def _run_page(folder, files):
    runs = _runs(_read_csv(os.path.join(folder, "yearly.csv"), RUN_KEY))
    body = _folder_runs(folder, files, ["run"], "run")
    contents = [(f"run-run{n}", _run_label(r)) for n, r in enumerate(runs.values(), 1)]
    return (f"Run report: {os.path.basename(os.path.abspath(folder))}", os.path.abspath(folder), contents, body)


# ---------------------------------------------------------------- batches


def _station_folder(batch, name):
    """A station's folder, or None for a name that is not a plain folder name of the batch."""
    if not name or name in (".", "..") or "/" in name or "\0" in name:
        return None
    folder = os.path.join(batch, name)
    return folder if os.path.isdir(folder) else None


def _qc_findings(folder):
    """Every finding of a station's qc tables (qc.csv, qc-<series>.csv)."""
    if folder is None:
        return []
    names = sorted(e for e in os.listdir(folder) if e.startswith("qc") and e.endswith(".csv"))
    return [r for n in names for r in _read_csv(os.path.join(folder, n), ("check",))]


def _count(values):
    counts = {}
    for v in values:
        counts[v] = counts.get(v, 0) + 1
    return counts


def _overview(summary, findings):
    status = _count(r.get("status", "") for r in summary)
    runs = sum(int(r["runs"]) for r in summary if r.get("runs", "").isdigit())
    counts = [["stations", len(summary)]] + [[f"stations {s}", n] for s, n in status.items()]
    counts += [["runs", runs], ["qc findings", sum(len(f) for f in findings.values())]]
    return h.table(["", "count"], counts, sortable=False)


def _stations_table(summary, anchors):
    # Only the metadata some station has: a batch without any shows no empty columns.
    meta = [c for c in METADATA if any(r.get(c) for r in summary)]
    headers = ["station", "status", "runs", "qc warnings", "seconds"] + meta + ["reason"]
    body = [[h.Raw(f'<a href="#{h.esc(anchors[i])}">{h.esc(r.get("station"))}</a>'), r.get("status"),
             r.get("runs"), r.get("qc_warnings"), r.get("seconds")] + [r.get(c) for c in meta] + [r.get("reason")]
            for i, r in enumerate(summary)]
    return h.table(headers, body)


def _failures(summary):
    failed = [[r.get("station"), r.get("status"), r.get("reason")] for r in summary if r.get("status") != "ok"]
    if not failed:
        return h.paragraph("Every station succeeded.")
    return h.table(["station", "status", "reason"], failed)


def _qc_by_kind(findings):
    kinds = {}
    for station, rows in findings.items():
        for check, n in _count(r.get("check", "") for r in rows).items():
            k = kinds.setdefault(check, [0, []])
            k[0] += n
            k[1].append(station)
    if not kinds:
        return h.paragraph("No qc findings.")
    return h.table(["check", "findings", "stations"],
                   [[c, n, ", ".join(s)] for c, (n, s) in sorted(kinds.items())])


def _partial_years(yearly):
    seen = sorted({(r.get("station", ""), r.get("input", ""), r.get("year", ""), r.get("days", ""))
                   for r in yearly if r.get("whole") == "0"})
    if not seen:
        return h.paragraph("None: every year of every series is whole.")
    return (h.paragraph("Years a series covers only in part; trends and plots leave them out.")
            + h.table(["station", "input", "year", "days"], [list(s) for s in seen]))


def _trends_overview(trends):
    if not trends:
        return h.paragraph("No trends.")
    body = [[r.get("station"), _run_label(r), r.get("index"), r.get("valid_years"), r.get("slope_per_decade"),
             r.get("p_value")] for r in trends]
    return h.table(["station", "run", "index", "valid years", "Sen slope per decade", "p"], body)


def _maps(batch, files):
    """The station maps in the batch folder, in the catalogue's order of indices."""
    order = [i.key for i in catalogue.YEARLY] + [i.name for i in catalogue.YEARLY]
    names = [e for e in os.listdir(batch) if e.startswith("stations-") and e.endswith(".png")]
    names.sort(key=lambda e: (order.index(e[9:-4]) if e[9:-4] in order else len(order), e))
    figures = [files.picture(os.path.join(batch, n), n, "pictures", n) for n in names]
    return f'<div class="pictures">{"".join(figures)}</div>' if figures else ""


def _station_section(batch, row, anchor, findings, files):
    name = row.get("station", "")
    folder = _station_folder(batch, name)
    title = f"{row.get('full_name') or name} ({name})" if row.get("full_name") else name
    status = row.get("status", "")
    parts = [f'<p>Status: <span class="{h.esc(status)}">{h.esc(status)}</span>. File: {h.esc(row.get("file"))}'
             + "".join(f"; {c} {h.esc(row[c])}" for c in METADATA[1:] if row.get(c)) + ".</p>"]
    if row.get("reason"):
        parts.append(h.paragraph(f"Reason: {row['reason']}"))
    for note, what in (("error.txt", "Error"), ("warnings.txt", "Warnings")):
        text = _read_text(os.path.join(folder, note)) if folder else ""
        if text.strip():
            parts.append(h.details(what, f"<pre>{h.esc(text)}</pre>", open_=what == "Error"))
    if findings:
        counts = ", ".join(f"{c} {n}" for c, n in sorted(_count(r.get("check", "") for r in findings).items()))
        body = [[r.get("date"), r.get("value"), r.get("check"), r.get("detail")] for r in findings[:MAX_ROWS]]
        parts.append(h.details(f"qc findings: {counts}", h.table(["date", "value", "check", "detail"], body)))
    if folder:
        parts.append(_folder_runs(folder, files, ["stations", name], anchor))
    return h.section(anchor, title, "".join(parts))


def _batch_page(batch, files):
    summary = _read_csv(os.path.join(batch, "summary.csv"), ("station", "status"))
    combined = {t: _read_csv(os.path.join(batch, t)) for t in TABLES}
    anchors = [f"station-{n}" for n in range(1, len(summary) + 1)]
    findings = {r["station"]: _qc_findings(_station_folder(batch, r["station"])) for r in summary}
    links = " ".join(x for x in (files.table_link(os.path.join(batch, t), "tables", t)
                                 for t in ("summary.csv",) + TABLES) if x)
    sections = [
        ("overview", "Overview", _overview(summary, findings) + (f"<p>Tables: {links}</p>" if links else "")
         + _stations_table(summary, anchors)),
        ("failures", "Failures", _failures(summary)),
        ("qc", "qc findings by kind", _qc_by_kind(findings)),
        ("partial", "Partial years", _partial_years(combined["yearly.csv"])),
        ("maps", "Station maps", _maps(batch, files)),
        ("trends", "Trends", _trends_overview(combined["trend.csv"])),
    ]
    sections = [s for s in sections if s[2]]
    body = "".join(h.section(*s) for s in sections)
    body += "".join(_station_section(batch, r, a, findings[r["station"]], files) for r, a in zip(summary, anchors))
    contents = [s[:2] for s in sections] + [("station-1", "Stations")] * bool(summary)
    subtitle = f"{_plural(len(summary), 'station')}; batch folder {os.path.abspath(batch)}"
    return f"Batch report: {os.path.basename(os.path.abspath(batch))}", subtitle, contents, body


# ---------------------------------------------------------------- grids


def _grid_title(name):
    entry = catalogue.BY_KEY.get(name) or catalogue.SUMMARY_BY_KEY.get(name)
    if entry is None:
        return name
    return getattr(entry, "title", None) or entry.long_name


def _open_nc(path):
    import netCDF4
    try:
        return netCDF4.Dataset(path)
    except OSError as e:
        raise KitError(path, None, f"cannot be read as NetCDF: {e.strerror or e}") from None


def _cell_status(ds):
    v = ds.variables.get("cell_status")
    if v is None:
        return ""
    import numpy as np
    values = np.ma.filled(v[:], -1).ravel()
    meanings = str(getattr(v, "flag_meanings", "")).split()
    flags = list(np.atleast_1d(getattr(v, "flag_values", [])))
    rows = [[meanings[i] if i < len(meanings) else f, int((values == f).sum())] for i, f in enumerate(flags)]
    return h.table(["cell status", "cells"], rows, sortable=False)


def _grid_variable(ds, trends, name):
    """One row of the variables' summary: period values and, with a trend file, the slopes."""
    import numpy as np
    v = ds.variables[name]
    data = np.ma.masked_invalid(np.ma.asarray(v[:], dtype=float))
    with_values = int((~np.ma.getmaskarray(data)).any(axis=0).sum())
    stats = [f"{x:.4g}" for x in (data.min(), data.mean(), data.max())] if data.count() else ["", "", ""]
    slope = p = ""
    if trends is not None and f"{name}_slope" in trends.variables:
        s = np.ma.masked_invalid(np.ma.asarray(trends.variables[f"{name}_slope"][:], dtype=float))
        pv = np.ma.masked_invalid(np.ma.asarray(trends.variables[f"{name}_p"][:], dtype=float))
        slope = f"{s.mean():.4g}" if s.count() else ""
        p = int((pv < 0.05).sum())
    return [name, _grid_title(name), getattr(v, "units", ""), with_values] + stats + [slope, p]


def _grid_page(path, files):
    stem = os.path.splitext(path)[0]
    trend_path = stem + "-trend.nc"
    with contextlib.ExitStack() as stack:
        ds = stack.enter_context(_open_nc(path))
        trends = stack.enter_context(_open_nc(trend_path)) if os.path.isfile(trend_path) else None
        names = [n for n, v in ds.variables.items() if v.dimensions[:1] == ("time",) and n != "time_bnds"
                 and v.ndim > 1]
        rows = [_grid_variable(ds, trends, n) for n in names]
        attrs = [[k, ds.getncattr(k)] for k in ds.ncattrs()]
        dims = [[k, len(d)] for k, d in ds.dimensions.items()]
        status = _cell_status(ds)
    summary = (h.table(["dimension", "size"], dims, sortable=False) + status
               + h.table(["variable", "what", "units", "cells with values", "min", "mean", "max",
                          "mean Sen slope per decade", "cells with p < 0.05"], rows)
               + ("" if trends is not None else h.paragraph(f"No {os.path.basename(trend_path)}: "
                                                            "run `vordakit trend` on the output for the slopes.")))
    pictures = [files.picture(f"{stem}-{n}.png", f"{_grid_title(n)} ({os.path.basename(stem)}-{n}.png)",
                              "pictures", f"{os.path.basename(stem)}-{n}.png")
                for n in names if os.path.isfile(f"{stem}-{n}.png")]
    maps = (f'<div class="pictures">{"".join(pictures)}</div>' if pictures
            else h.paragraph("No maps beside the output: `vordakit plot` on it draws them."))
    sections = [("variables", "Variables", summary), ("maps", "Maps", maps),
                ("attributes", "Global attributes", h.table(["attribute", "value"], attrs, sortable=False))]
    body = "".join(h.section(*s) for s in sections)
    return f"Grid report: {os.path.basename(path)}", os.path.abspath(path), [s[:2] for s in sections], body
