"""report: a page that stands alone in its folder, shows what the batch, run or grid left, and loads
in a real browser without a complaint."""

import base64
import csv
import html.parser
import os
import pathlib
import shutil
import urllib.parse

import pytest

from runkit import EXAMPLE, kit

# A station name that is user data: markup, an entity start, and characters an address must encode.
ODD = "<b>&#1%"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"


class Refs(html.parser.HTMLParser):
    """Every address of a page (href, src and the like) and every element id."""

    def __init__(self):
        super().__init__()
        self.refs, self.ids, self.tags = [], set(), []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        for k, v in attrs:
            if k in ("href", "src", "srcset", "action", "data", "poster", "background"):
                self.refs.append(v)
            if k == "id":
                self.ids.add(v)


def parse(page):
    refs = Refs()
    refs.feed(page.read_text(encoding="utf-8"))
    return refs


@pytest.fixture(scope="module")
def batch(vorda, data_dir, tmp_path_factory):
    """A batch of two good stations (one of them oddly named), one with qc findings and a failed one."""
    tmp = tmp_path_factory.mktemp("report")
    (tmp / "bad.txt").write_text("1 1 1 2000 1.5\n2 2 1 2000 x\n")
    (tmp / "s.tsv").write_text(
        "file\tname\ttype\tthreshold\tmin_duration\tcolumn\n"
        f"{EXAMPLE}\texample\tupper\t18.0\t3\t\n"
        f"{EXAMPLE}\texample\tlower\t2.0\t3\t\n"
        f"{data_dir / 'eca_tg.txt'}\t{ODD}\tlower\t0.0\t3\t\n"
        "bad.txt\tbroken\tupper\t1.0\t2\t\n")
    proc = kit("batch", tmp / "s.tsv", "-o", tmp / "out", "-j", 2, vorda=vorda, cwd=tmp)
    assert proc.returncode == 1, proc.stderr
    proc = kit("report", tmp / "out", text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"{tmp / 'out' / 'report' / 'index.html'}\n"
    return tmp / "out"


def check_self_contained(page):
    """Every address of ``page`` is a file inside its folder or an anchor of the page; returns the parse."""
    refs = parse(page)
    root = page.parent.resolve()
    assert refs.refs
    for ref in refs.refs:
        parts = urllib.parse.urlsplit(ref)
        assert not parts.scheme and not parts.netloc and not ref.startswith("/"), ref
        if ref.startswith("#"):
            assert ref[1:] in refs.ids, ref
            continue
        target = (page.parent / urllib.parse.unquote(parts.path)).resolve()
        assert target.is_relative_to(root) and target.is_file(), ref
    assert "link" not in refs.tags    # no style sheet or font from elsewhere
    return refs


def test_batch_report_stands_alone_and_shows_the_batch(batch):
    page = batch / "report" / "index.html"
    refs = check_self_contained(page)
    text = page.read_text(encoding="utf-8")
    # Every picture the batch drew is in the page; the odd name only ever escaped.
    drawn = sorted(p.name for p in batch.glob("*/*.png"))
    shown = sorted(urllib.parse.unquote(r).rsplit("/", 1)[1] for r in refs.refs if r.endswith(".png"))
    assert drawn and shown == sorted(drawn * 2)    # each as a picture and as its link
    assert ODD not in text and "&lt;b&gt;&amp;#1%" in text
    # The overview: failures with their reasons, qc findings by kind, partial years.
    summary = {r["station"]: r for r in csv.DictReader(open(batch / "summary.csv"))}
    assert summary["broken"]["reason"].replace("'", "&#x27;") in text
    assert ">jump</td>" in text and ">unreadable</td>" in text
    assert "Partly covered years (left out of trends and plots): 2000 (6 days)" in text
    # The metadata the batch found (the ECA&D file names its station), and no map without positions.
    assert "full_name</th>" in text and "SAMPLETOWN (" in text and "lat</th>" not in text
    assert 'id="maps"' not in text


def test_metadata_and_station_maps_shown_when_the_batch_has_them(batch, tmp_path):
    folder = tmp_path / "out"
    shutil.copytree(batch, folder, ignore=shutil.ignore_patterns("report"))
    with open(batch / "summary.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    meta = {"full_name": "Z\u00fcrich <Fluntern>", "lat": "47.3780", "lon": "8.5656", "elevation": "556",
            "country": "CH"}
    with open(folder / "summary.csv", "w", newline="") as f:
        w = csv.DictWriter(f, list(rows[0]) + list(meta))
        w.writeheader()
        w.writerows(dict(r, **meta) for r in rows)
    shutil.copyfile(next(batch.glob("example/*-WSDI.png")), folder / "stations-wsdi.png")
    proc = kit("report", folder, "-o", tmp_path / "rep", text=True)
    assert proc.returncode == 0, proc.stderr
    page = tmp_path / "rep" / "index.html"
    refs = check_self_contained(page)
    text = page.read_text(encoding="utf-8")
    assert "pictures/stations-wsdi.png" in refs.refs and 'id="maps"' in text
    assert all(f"{c}</th>" in text for c in meta)
    assert "Z\u00fcrich &lt;Fluntern&gt; (example)" in text and "47.3780" in text


def test_report_replaces_its_own_and_refuses_other_folders(batch, tmp_path):
    folder = tmp_path / "out"
    shutil.copytree(batch, folder)
    stale = folder / "report" / "pictures" / "stale.png"
    stale.write_bytes(b"old")
    proc = kit("report", folder, text=True)
    assert proc.returncode == 0, proc.stderr
    page = folder / "report" / "index.html"
    assert not stale.exists() and page.is_file()
    # A table that cannot be read halfway through: refused, the earlier report kept whole, no hidden folder left.
    before = page.read_bytes()
    (folder / "example" / "events.csv").write_bytes(b"input,type\n\xff\n")
    proc = kit("report", folder, text=True)
    assert proc.returncode == 2 and f"{folder / 'example' / 'events.csv'}: not UTF-8" in proc.stderr
    assert page.read_bytes() == before
    assert [p.name for p in folder.iterdir() if p.name.startswith(".")] == []
    # A user's folder, a missing source, a folder of nothing to report: one line, status 2, nothing touched.
    mine = tmp_path / "mine"
    mine.mkdir()
    (mine / "notes.txt").write_text("mine")
    for args, said in (((folder, "-o", mine), f"{mine}: exists and is not a report"),
                       ((tmp_path / "nothing",), "neither a batch or run folder"),
                       ((mine,), "no summary.csv")):
        proc = kit("report", *args, text=True)
        assert proc.returncode == 2 and proc.stderr.startswith("vordakit report: ") and said in proc.stderr
        assert proc.stderr.count("\n") == 1, proc.stderr
    assert [p.name for p in mine.iterdir()] == ["notes.txt"]


def test_run_folder_report(vorda, tmp_path):
    out = tmp_path / "results"
    proc = kit("run", EXAMPLE, "--type", "upper", "--threshold", "18.0", "--min-duration", "3", "--out", out,
               vorda=vorda)
    assert proc.returncode == 0, proc.stderr
    for step in ("tidy", "trend", "plot"):
        assert kit(step, out).returncode == 0
    proc = kit("report", out, text=True)
    assert proc.returncode == 0, proc.stderr
    refs = check_self_contained(out / "report" / "index.html")
    assert sorted(r.rsplit("/", 1)[1] for r in set(refs.refs) if r.endswith(".png")) == \
        sorted(p.name for p in out.glob("*.png"))


def test_grid_report(lib, tmp_path):
    pytest.importorskip("netCDF4")
    from test_grid import make_nc, weather
    make_nc(tmp_path / "tg.nc", weather(365 * 11, (2, 3)))
    for args in (("grid", "tg.nc", "-t", "upper", "-x", "20.1", "-d", "3", "-o", "su.nc", "--no-progress"),
                 ("trend", "su.nc"), ("plot", "su.nc")):
        proc = kit(*args, cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
    proc = kit("report", "su.nc", cwd=tmp_path, text=True)
    assert proc.returncode == 0, proc.stderr
    page = tmp_path / "su-report" / "index.html"
    refs = check_self_contained(page)
    maps = sorted(p.name for p in tmp_path.glob("su-*.png"))
    assert len(maps) == 8 and sorted({r.rsplit("/", 1)[1] for r in refs.refs if r.endswith(".png")}) == maps
    text = page.read_text(encoding="utf-8")
    assert "complete</td><td class=\"num\">6</td>" in text and "CF-1.8" in text
    assert "Warm spell duration index (WSDI)</td><td>days</td>" in text and ">nan<" not in text.lower()


def test_batch_report_in_chromium(batch, tmp_path):
    """The page as a user meets it: a headless chromium loads it from its folder with no console message,
    every picture loads, the tables sort, and a phone's width needs no sideways scrolling of the page."""
    if not os.access(CHROMIUM, os.X_OK):
        pytest.skip(f"chromium is not installed ({CHROMIUM}): tools/install-deps.sh installs it")
    from browser import Chromium
    artefacts = pathlib.Path(os.environ.get("VORDA_TEST_ARTEFACTS") or tmp_path)
    artefacts.mkdir(parents=True, exist_ok=True)
    page = batch / "report" / "index.html"
    browser = Chromium(CHROMIUM, str(tmp_path / "profile"), timeout=60)
    try:
        for domain in ("Page", "Runtime", "Log"):
            browser.page(f"{domain}.enable")
        browser.page("Emulation.setDeviceMetricsOverride", width=1000, height=1300, deviceScaleFactor=1,
                     mobile=False)
        browser.page("Page.navigate", url=page.as_uri())
        browser.wait_for("Page.loadEventFired")
        images = browser.evaluate("Array.from(document.images, i => [i.getAttribute('src'), i.naturalWidth])")
        assert len(images) == len(list(batch.glob("*/*.png")))
        assert [src for src, width in images if not width > 0] == []
        shot = browser.page("Page.captureScreenshot", format="png")["data"]
        (artefacts / "report-batch.png").write_bytes(base64.b64decode(shot))
        # A click on a header sorts the trends by its column, numbers as numbers (-12 before -4).
        slopes = browser.evaluate("""(() => {const t = document.querySelector('#trends table');
            const th = Array.from(t.tHead.rows[0].cells).find(c => c.textContent.trim().startsWith('Sen slope'));
            th.click(); return Array.from(t.tBodies[0].rows, r => r.cells[th.cellIndex].textContent);})()""")
        assert len(slopes) == 6 and [float(s) for s in slopes] == sorted(float(s) for s in slopes)
        browser.page("Emulation.setDeviceMetricsOverride", width=390, height=844, deviceScaleFactor=2, mobile=True)
        # clientWidth, not innerWidth: a phone widens its layout viewport to content that overflows.
        assert browser.evaluate("document.documentElement.scrollWidth <= document.documentElement.clientWidth")
        assert browser.console() == []
    finally:
        browser.close()
