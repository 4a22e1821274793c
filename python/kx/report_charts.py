"""The charts of `kx report`, drawn by matplotlib into inline SVG.

Each chart is an `<svg role="img">` labelled by its own `<title>` and
`<desc>` (the desc states the figures in words, for readers that cannot see
the chart).  matplotlib is an optional extra: `draw` returns None without
it, and the page then holds the tables alone."""

from __future__ import annotations

import datetime
import html
import io
import re
from typing import Any, Dict, List, Optional, Sequence

# The most rows a bar chart shows; the tables hold them all.
TOP = 15

_IN_USE, _WITHDRAWN = "#3a6ea5", "#c0392b"


def draw(figures: Dict[str, Any]) -> Optional[Dict[str, str]]:
    """name -> SVG of each chart that has something to show; None when
    matplotlib is not installed."""
    try:
        from matplotlib.figure import Figure  # noqa: F401
    except ImportError:
        return None
    charts: Dict[str, str] = {}
    for name, what in (("by_license", "license"), ("by_author", "author"), ("by_section", "section")):
        rows = [r for r in figures[name] if r["lines"]][:TOP]
        if rows:
            charts[name] = _lines_chart(name, what, rows)
    tokenizers = [t["tokenizer"] for t in figures["overview"]["tokenizers"]]
    rows = [r for r in figures["by_license"] if any(r["tokens"][t]["active"] for t in tokenizers)][:TOP]
    if tokenizers and rows:
        charts["tokens_by_license"] = _tokens_chart(rows, tokenizers)
    if figures["timeline"]:
        charts["timeline"] = _timeline_chart(figures["timeline"])
    return charts


def _figure(rows: int):
    from matplotlib.figure import Figure

    return Figure(figsize=(9, 1.2 + 0.32 * max(rows, 3)), layout="constrained")


def _short(label: str, width: int = 48) -> str:
    return label if len(label) <= width else label[: width - 1] + "\u2026"


def _lines_chart(name: str, what: str, rows: List[Dict[str, Any]]) -> str:
    fig = _figure(len(rows))
    ax = fig.add_subplot()
    labels = [_short(r["label"]) for r in rows][::-1]
    withdrawn = [r["lines_withdrawn"] for r in rows][::-1]
    in_use = [r["lines"] - r["lines_withdrawn"] for r in rows][::-1]
    ax.barh(labels, in_use, color=_IN_USE, label="in use")
    ax.barh(labels, withdrawn, left=in_use, color=_WITHDRAWN, label="consent withdrawn")
    ax.set_xlabel("lines tracked")
    ax.legend(loc="lower right")
    title = f"Lines by {what}" + (f" (top {TOP})" if len(rows) == TOP else "")
    ax.set_title(title)
    desc = "; ".join(f"{r['label']}: {r['lines']} lines, {r['lines_withdrawn']} withdrawn" for r in rows)
    return _svg(fig, name, title, desc)


def _tokens_chart(rows: List[Dict[str, Any]], tokenizers: Sequence[str]) -> str:
    fig = _figure(len(rows) * max(1, len(tokenizers)) // 2 + len(rows))
    ax = fig.add_subplot()
    height = 0.8 / len(tokenizers)
    positions = range(len(rows))
    for i, name in enumerate(tokenizers):
        values = [r["tokens"][name]["active"] for r in rows][::-1]
        ax.barh([p + i * height for p in positions], values, height=height, label=name)
    ax.set_yticks([p + 0.4 - height / 2 for p in positions], [_short(r["label"]) for r in rows][::-1])
    ax.set_xlabel("active tokens")
    ax.legend(title="tokenizer", loc="lower right")
    title = "Active tokens by license"
    ax.set_title(title)
    desc = "; ".join(
        f"{r['label']}: " + ", ".join(f"{r['tokens'][t]['active']} {t} tokens" for t in tokenizers) for r in rows
    )
    return _svg(fig, "tokens_by_license", title, desc)


def _timeline_chart(entries: List[Dict[str, Any]]) -> str:
    kinds = sorted({t["kind"] for t in entries})
    fig = _figure(len(kinds))
    ax = fig.add_subplot()
    for row, kind in enumerate(kinds):
        times = [_when(t["time"]) for t in entries if t["kind"] == kind]
        ax.plot(times, [row] * len(times), "o", markersize=7, alpha=0.7)
    ax.set_yticks(range(len(kinds)), kinds)
    ax.set_ylim(-0.7, len(kinds) - 0.3)
    fig.autofmt_xdate()
    title = "Operations over time (UTC)"
    ax.set_title(title)
    counts = ", ".join(f"{sum(t['kind'] == k for t in entries)} {k}" for k in kinds)
    desc = f"{len(entries)} logged operations from {entries[0]['time']} to {entries[-1]['time']}: {counts}"
    return _svg(fig, "timeline", title, desc)


def _when(iso: str) -> datetime.datetime:
    return datetime.datetime.strptime(iso, "%Y-%m-%dT%H:%M:%SZ")


_PROLOGUE = re.compile(r"\A.*?(?=<svg)", re.S)
_METADATA = re.compile(r"<metadata>.*?</metadata>", re.S)


def _svg(fig, name: str, title: str, desc: str) -> str:
    """The figure as an inline <svg> element with its accessible name."""
    import matplotlib

    buffer = io.StringIO()
    with matplotlib.rc_context({"svg.fonttype": "none", "svg.hashsalt": name}):
        fig.savefig(buffer, format="svg", metadata={"Date": None, "Creator": None})
    svg = _METADATA.sub("", _PROLOGUE.sub("", buffer.getvalue(), count=1))
    opening = re.search(r"<svg\b([^>]*)>", svg)
    labelled = (
        f'<svg{opening.group(1)} role="img" aria-labelledby="chart-{name}-title chart-{name}-desc">'
        f'<title id="chart-{name}-title">{html.escape(title)}</title>'
        f'<desc id="chart-{name}-desc">{html.escape(desc)}</desc>'
    )
    svg = svg[: opening.start()] + labelled + svg[opening.end():]
    return f'<figure id="chart-{name}" class="chart">{svg}</figure>'
