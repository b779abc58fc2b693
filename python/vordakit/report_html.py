"""The pieces of the report's HTML page: escaping, tables, figures, the copies of the files they show
and the page around them.

Every text that comes from a file passes through ``esc`` (station names and
reasons are user data); every address through ``href`` (a file name may hold
``#``, ``?`` or ``%``). The page carries its own style and a small script that
sorts tables; without the script the tables read the same, unsorted.

>>> table(["station", "p"], [["<b>&", 0.5]], sortable=False).split("<tbody>")[1]
'<tr><td>&lt;b&gt;&amp;</td><td class="num">0.5</td></tr></tbody></table></div>'
>>> href("pictures/a b#1.png")
'pictures/a%20b%231.png'
"""

import html
import os
import shutil
import struct
import urllib.parse

__all__ = ["Files", "esc", "href", "link", "table", "figure", "details", "section", "paragraph", "items", "page", "Raw"]


class Raw(str):
    """HTML made here, put into a table cell as it is."""


def esc(text):
    """``text`` (any value; None as empty) escaped for HTML text and attribute values."""
    if isinstance(text, Raw):
        return text
    return html.escape("" if text is None else str(text), quote=True)


def href(relative):
    """A relative address inside the report for the file at ``relative`` (slashes kept)."""
    return urllib.parse.quote(relative, safe="/")


def link(relative, text):
    return Raw(f'<a href="{esc(href(relative))}">{esc(text)}</a>')


def _numeric(cells):
    """Whether a column holds numbers only (empty cells aside): those align right."""
    seen = False
    for c in cells:
        if c in (None, ""):
            continue
        try:
            float(c)
        except (TypeError, ValueError):
            return False
        seen = True
    return seen


def table(headers, rows, sortable=True, caption=None):
    """A table of ``rows`` (lists of values) under ``headers``, in a box that scrolls sideways on a narrow
    screen; the script sorts a ``sortable`` one by a click on a column's header."""
    rows = [list(r) for r in rows]
    right = [_numeric([r[i] for r in rows]) for i in range(len(headers))]
    head = "".join(f'<th class="num">{esc(h)}</th>' if right[i] else f"<th>{esc(h)}</th>"
                   for i, h in enumerate(headers))
    body = "".join("<tr>" + "".join(f'<td class="num">{esc(c)}</td>' if right[i] else f"<td>{esc(c)}</td>"
                                    for i, c in enumerate(r)) + "</tr>" for r in rows)
    cls = ' class="sortable"' if sortable else ""
    cap = f"<caption>{esc(caption)}</caption>" if caption else ""
    return (f'<div class="scroll"><table{cls}>{cap}<thead><tr>{head}</tr></thead>'
            f"<tbody>{body}</tbody></table></div>")


def figure(relative, caption, width=None, height=None):
    """A picture of the report's folder with its caption; its size, when known, keeps the layout still
    while it loads."""
    size = f' width="{int(width)}" height="{int(height)}"' if width and height else ""
    return (f'<figure><a href="{esc(href(relative))}"><img src="{esc(href(relative))}" alt="{esc(caption)}"'
            f"{size}></a><figcaption>{esc(caption)}</figcaption></figure>")


def details(summary, content, open_=False):
    """Content folded under a line that opens it (no script needed)."""
    return f"<details{' open' if open_ else ''}><summary>{esc(summary)}</summary>{content}</details>"


def section(anchor, title, content, level=2):
    return f'<section id="{esc(anchor)}"><h{level}>{esc(title)}</h{level}>{content}</section>'


def paragraph(text):
    return f"<p>{esc(text)}</p>"


def items(texts):
    return "<ul>" + "".join(f"<li>{esc(t)}</li>" for t in texts) + "</ul>"


def page(title, subtitle, contents, body):
    """The whole document: ``contents`` is a list of (anchor, title) for the table of contents."""
    toc = "".join(f'<li><a href="#{esc(a)}">{esc(t)}</a></li>' for a, t in contents)
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f'<meta name="viewport" content="width=device-width, initial-scale=1">'
            f'<meta name="generator" content="{GENERATOR}">'
            f"<title>{esc(title)}</title><style>{STYLE}</style></head>\n<body>"
            f"<header><h1>{esc(title)}</h1><p>{esc(subtitle)}</p>"
            f'<nav><ul>{toc}</ul></nav></header>\n<main>{body}</main>\n<script>{SCRIPT}</script></body></html>\n')


class Files:
    """Copies of pictures and tables inside the report's folder, named by where they came from."""

    def __init__(self, root):
        self.root = root

    def copy(self, source, *where):
        """Copy ``source`` to ``where`` under the report's folder; its relative path."""
        relative = "/".join(where)
        target = os.path.join(self.root, *where)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        return relative

    def picture(self, source, caption, *where):
        relative = self.copy(source, *where)
        return figure(relative, caption, *_png_size(source))

    def table_link(self, source, *where):
        """A link to a copy of the table ``source``, or nothing when it is absent."""
        if not os.path.isfile(source):
            return ""
        return link(self.copy(source, *where), os.path.basename(source))


def _png_size(path):
    """(width, height) of a PNG from its header, (None, None) for anything else."""
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) == 24 and head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR":
        return struct.unpack(">II", head[16:24])
    return None, None


# Marks a folder's index.html as a report this command wrote, which a new one may replace.
GENERATOR = "vordakit report"

# Narrow screens: one column, pictures shrink to the width, wide tables scroll
# inside their own box instead of widening the page.
STYLE = """
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:0;color:#1d1d1f;background:#fff}
header,main{max-width:1100px;margin:0 auto;padding:0 12px}
header{border-bottom:1px solid #ccc}
h1{font-size:1.5em;margin:.6em 0 .2em}h2{font-size:1.25em;margin-top:1.6em;border-bottom:1px solid #ddd}
h3{font-size:1.1em;margin-top:1.3em}h4{margin:1em 0 .3em}
nav ul{display:flex;flex-wrap:wrap;gap:.2em 1em;padding:0;list-style:none}
.scroll{overflow-x:auto;max-width:100%;margin:.4em 0 1em}
table{border-collapse:collapse;font-size:.9em}
caption{text-align:left;font-weight:600;padding:.2em 0}
th,td{border:1px solid #d0d0d0;padding:.25em .5em;text-align:left;vertical-align:top}
th{background:#f0f0f3;position:sticky;top:0}
td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
tbody tr:nth-child(even){background:#fafafa}
th[aria-sort]{cursor:pointer;white-space:nowrap}
th[aria-sort=ascending]::after{content:" \\25B2"}th[aria-sort=descending]::after{content:" \\25BC"}
.ok{color:#176317}.failed,.interrupted{color:#a31515;font-weight:600}
figure{margin:.5em 0 1.2em;max-width:100%}
figure img{max-width:100%;height:auto;border:1px solid #e3e3e3}
figcaption{font-size:.85em;color:#555;overflow-wrap:anywhere}
.pictures{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,420px),1fr));gap:0 1em}
pre{white-space:pre-wrap;overflow-wrap:anywhere;background:#f6f6f6;padding:.5em}
p,li{overflow-wrap:anywhere}td{overflow-wrap:break-word}
"""

# Sorting by a click on a header: numbers as numbers, empty cells last.
SCRIPT = """
(function(){
  function key(row,i){var t=row.cells[i]?row.cells[i].textContent.trim():"";
    var n=Number(t);return t===""?null:(isNaN(n)?t:n);}
  function cmp(a,b){if(a===null)return b===null?0:1;if(b===null)return -1;
    if(typeof a===typeof b)return a<b?-1:a>b?1:0;return typeof a==="number"?-1:1;}
  document.querySelectorAll("table.sortable").forEach(function(table){
    var heads=table.tHead.rows[0].cells;
    Array.prototype.forEach.call(heads,function(th,i){
      th.setAttribute("aria-sort","none");th.tabIndex=0;
      function sort(){var up=th.getAttribute("aria-sort")!=="ascending";
        Array.prototype.forEach.call(heads,function(h){h.setAttribute("aria-sort","none");});
        th.setAttribute("aria-sort",up?"ascending":"descending");
        var body=table.tBodies[0],rows=Array.prototype.slice.call(body.rows);
        rows.sort(function(a,b){var ka=key(a,i),kb=key(b,i);
          if(ka===null||kb===null)return cmp(ka,kb);return up?cmp(ka,kb):cmp(kb,ka);});
        rows.forEach(function(r){body.appendChild(r);});}
      th.addEventListener("click",sort);
      th.addEventListener("keydown",function(e){if(e.key==="Enter")sort();});
    });
  });
})();
"""
