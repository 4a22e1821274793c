"""The HTML page of `kx report`: one file with its styles, charts and script
inline, that makes no network request when opened (a Content-Security-Policy
forbids every fetch; the script is allowed by its hash).  Tables are real
table markup, sortable by a small script and readable without it; each chart
is inline SVG drawn by matplotlib, with a title and a text description, and
is left out when matplotlib is not installed."""

from __future__ import annotations

import base64
import hashlib
import html
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from kx import report_charts

_STYLE = """
body { font: 15px/1.45 system-ui, sans-serif; color: #1a1a1a; margin: 2rem auto; max-width: 72rem; padding: 0 1rem; }
h1 { font-size: 1.6rem; } h2 { margin-top: 2.2rem; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: .8rem 0; width: 100%; }
caption { text-align: left; font-weight: 600; padding: .3rem 0; }
th, td { border-bottom: 1px solid #ddd; padding: .25rem .5rem; text-align: left; vertical-align: top; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
th button { font: inherit; font-weight: 600; background: none; border: 0; padding: 0; cursor: pointer; color: inherit; }
th[aria-sort=ascending] button::after { content: " \\25B2"; } th[aria-sort=descending] button::after { content: " \\25BC"; }
.withdrawn { color: #a40000; } .note { color: #555; } code { font-size: .9em; }
dl.glance { display: grid; grid-template-columns: max-content auto; gap: .2rem 1.2rem; }
dl.glance dt { font-weight: 600; } dl.glance dd { margin: 0; }
figure { margin: 1rem 0; } figure svg { max-width: 100%; height: auto; }
@media print {
  body { margin: 0; max-width: none; font-size: 10pt; }
  th button { cursor: auto; } th[aria-sort] button::after { content: ""; }
  figure, table { break-inside: avoid; } h2 { break-after: avoid; }
}
"""

# Sorts a table by the column whose header button was pressed; numbers by
# their data-v value.  Marks the page once it has run.
_SCRIPT = """
document.querySelectorAll("table.sortable").forEach(function (table) {
  table.querySelectorAll("thead th").forEach(function (th, col) {
    var b = document.createElement("button");
    b.type = "button"; b.textContent = th.textContent; th.textContent = ""; th.appendChild(b);
    b.addEventListener("click", function () {
      var up = th.getAttribute("aria-sort") !== "ascending";
      table.querySelectorAll("thead th").forEach(function (o) { o.removeAttribute("aria-sort"); });
      th.setAttribute("aria-sort", up ? "ascending" : "descending");
      var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
      rows.sort(function (a, c) {
        var x = a.cells[col], y = c.cells[col];
        var d = x.dataset.v !== undefined ? x.dataset.v - y.dataset.v : x.textContent.localeCompare(y.textContent);
        return up ? d : -d;
      });
      rows.forEach(function (r) { body.appendChild(r); });
    });
  });
});
document.documentElement.dataset.ready = "1";
"""


def _csp() -> str:
    digest = base64.b64encode(hashlib.sha256(_SCRIPT.encode()).digest()).decode()
    return f"default-src 'none'; style-src 'unsafe-inline'; script-src 'sha256-{digest}'; img-src data:"


def e(value: Any) -> str:
    return html.escape(str(value), quote=True)


# A column: header, how a row gives its value, whether it is a number.
Column = Tuple[str, Callable[[Dict[str, Any]], Any], bool]


def _table(caption: str, columns: Sequence[Column], rows: Sequence[Dict[str, Any]]) -> str:
    head = "".join(f'<th scope="col"{" class=n" if num else ""}>{e(title)}</th>' for title, _, num in columns)
    escaped: Dict[str, str] = {}  # texts recur (data files, labels): each is escaped once

    def text(value: Any) -> str:
        s = "-" if value is None else str(value)
        out = escaped.get(s)
        if out is None:
            out = escaped[s] = html.escape(s, quote=True)
        return out

    cells = [(get, num) for _, get, num in columns]
    body = []
    for row in rows:
        tds = []
        for get, num in cells:
            value = get(row)
            if num and isinstance(value, (int, float)):
                tds.append(f'<td class="n" data-v="{value}">{value:,}</td>')
            elif num:
                tds.append(f'<td class="n" data-v="-1">{text(value)}</td>')
            else:
                tds.append(f"<td>{text(value)}</td>")
        body.append("<tr>" + "".join(tds) + "</tr>")
    if not rows:
        body.append(f'<tr><td colspan="{len(columns)}">none</td></tr>')
    return (
        f'<table class="sortable"><caption>{e(caption)}</caption><thead><tr>{head}</tr></thead>'
        f"<tbody>{''.join(body)}</tbody></table>"
    )


def _share(part: int, whole: int) -> str:
    return f"{100 * part / whole:.1f}%" if whole else "-"


def _token_columns(tokenizers: Sequence[str]) -> List[Column]:
    cols: List[Column] = []
    for name in tokenizers:
        cols.append((f"{name} tokens", lambda r, n=name: r["tokens"][n]["active"], True))
        cols.append((f"{name} revoked", lambda r, n=name: r["tokens"][n]["revoked"], True))
    return cols


def _composition(title: str, key_title: str, rows, tokenizers, extra: Sequence[Column] = ()) -> str:
    columns: List[Column] = [
        (key_title, lambda r: r["label"], False),
        *extra,
        ("lines", lambda r: r["lines"], True),
        ("withdrawn", lambda r: r["lines_withdrawn"], True),
        ("share withdrawn", lambda r: _share(r["lines_withdrawn"], r["lines"]), False),
        *_token_columns(tokenizers),
    ]
    return _table(title, columns, rows)


def _glance(o: Dict[str, Any]) -> str:
    items = [
        ("Data files", f"{o['data_files']:,}"),
        ("Lines tracked", f"{o['lines']:,}"),
        ("Lines under withdrawn consent", f"{o['lines_withdrawn']:,} ({_share(o['lines_withdrawn'], o['lines'])})"),
        ("Sections", f"{o['sections']['total']:,} ({o['sections']['withdrawn']} withdrawn, {o['sections']['revoked']} revoked)"),
        ("Authors", f"{o['authors']['total']:,} ({o['authors']['revoked']} revoked)"),
        ("Line index", f"{o['line_index']}, built {o['line_index_built'] or 'never'}"),
    ]
    dl = "".join(f"<dt>{e(k)}</dt><dd>{e(v)}</dd>" for k, v in items)
    tok = _table(
        "Tokens per tokenizer (store-wide; token entries record no data file)",
        [
            ("tokenizer", lambda t: t["tokenizer"], False),
            ("active tokens", lambda t: t["active_tokens"], True),
            ("revoked tokens", lambda t: t["revoked_tokens"], True),
            ("active, consent withdrawn", lambda t: t["active_withdrawn_tokens"], True),
            ("active entries", lambda t: t["active_entries"], True),
            ("revoked entries", lambda t: t["revoked_entries"], True),
            ("pending entries", lambda t: t["pending_entries"], True),
            ("binary index", lambda t: t["binary_index"], False),
            ("index built", lambda t: t["binary_index_built"], False),
        ],
        o["tokenizers"],
    )
    return f'<dl class="glance">{dl}</dl>{tok}'


def _files(files) -> str:
    return _table(
        "Data files",
        [
            ("data file", lambda f: f["file"] + ("" if f["exists"] else " (missing)"), False),
            ("lines tracked", lambda f: f["lines"], True),
            ("untracked", lambda f: f["untracked"], True),
            ("withdrawn", lambda f: f["lines_withdrawn"], True),
            ("purged", lambda f: f["purged"], True),
            ("restored", lambda f: f["restored"], True),
            ("sections", lambda f: len(f["sections"]), True),
        ],
        files,
    )


def _file_sections(files, by_section) -> str:
    labels = {r["key"]: r["label"] for r in by_section}
    rows = [
        {"file": f["file"], "section": labels.get(s["section_hash"], s["section_hash"]), "hash": s["section_hash"][:12], "lines": s["lines"]}
        for f in files
        for s in f["sections"]
    ]
    return _table(
        "Sections each data file draws from",
        [("data file", lambda r: r["file"], False), ("section", lambda r: r["section"], False),
         ("hash", lambda r: r["hash"], False), ("lines", lambda r: r["lines"], True)],
        rows,
    )


def _timeline(entries) -> str:
    return _table(
        "Operation log, oldest first (times in UTC)",
        [("time", lambda t: t["time"], False), ("kind", lambda t: t["kind"], False),
         ("operation", lambda t: t["operation"], False), ("detail", lambda t: t["detail"], False)],
        entries,
    )


def _filters(f: Dict[str, List[str]]) -> str:
    parts = [f"{name} {', '.join(values)}" for name, values in (("data file", f["files"]), ("license", f["licenses"]), ("author", f["authors"])) if values]
    if not parts:
        return ""
    return f'<p class="note">Restricted to: {e("; ".join(parts))}. Token figures follow the license and author filters only.</p>'


def render(figures: Dict[str, Any]) -> Tuple[str, Optional[int]]:
    """The page, and the number of charts drawn (None without matplotlib)."""
    tokenizers = [t["tokenizer"] for t in figures["overview"]["tokenizers"]]
    charts = report_charts.draw(figures)
    chart = (lambda name: charts.get(name, "")) if charts is not None else (lambda name: "")
    no_charts = "" if charts is not None else '<p class="note">Charts are left out: matplotlib is not installed.</p>'
    sections_extra: List[Column] = [("license", lambda r: r.get("license"), False), ("hash", lambda r: r["key"][:12], False)]
    body = [
        "<h1>Corpus report</h1>",
        _filters(figures["filters"]),
        no_charts,
        '<section aria-labelledby="glance"><h2 id="glance">At a glance</h2>',
        _glance(figures["overview"]), "</section>",
        '<section aria-labelledby="lic"><h2 id="lic">By license</h2>',
        chart("by_license"), chart("tokens_by_license"),
        _composition("Lines and tokens by license", "license", figures["by_license"], tokenizers), "</section>",
        '<section aria-labelledby="auth"><h2 id="auth">By author</h2>',
        chart("by_author"),
        _composition("Lines and tokens by author", "author", figures["by_author"], tokenizers), "</section>",
        '<section aria-labelledby="sec"><h2 id="sec">By section</h2>',
        chart("by_section"),
        _composition("Lines and tokens by section", "section", figures["by_section"], tokenizers, sections_extra), "</section>",
        '<section aria-labelledby="files"><h2 id="files">Data files</h2>',
        _files(figures["files"]), _file_sections(figures["files"], figures["by_section"]), "</section>",
        '<section aria-labelledby="time"><h2 id="time">Timeline</h2>',
        chart("timeline"), _timeline(figures["timeline"]), "</section>",
    ]
    page = (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f'<meta http-equiv="Content-Security-Policy" content="{_csp()}">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>Corpus report</title><style>{_STYLE}</style></head>\n<body>\n"
        + "\n".join(part for part in body if part)
        + f"\n<script>{_SCRIPT}</script>\n</body></html>\n"
    )
    return page, (len(charts) if charts is not None else None)
