"""`kx report`: its figures against what `kx show`, `kx status` and
`kx tokens status` give for the same store, and its page as a browser opens
it."""

import base64
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

import _kx_native as kx

from test_cli import ADA, AUTHORS, FORUM, MEMOS, SECTIONS, section_hash, tracked, project  # noqa: F401


def _add_two_source_line(project):
    """One more line of extra.jsonl drawn from two sections, with its tokens,
    so that a record counts under two licenses and authors."""
    sources = [section_hash(ADA), section_hash(MEMOS)]
    kx.index_document(project.root, kx.compute_hash("joint work"), "extra.jsonl", sources)
    kx.token_index_write_pid(project.root, "whitespace", 7, sources)


def test_report_figures_equal_show_status_and_tokens_status(project):
    _add_two_source_line(project)
    project.ok("revoke", "--author", "Tomás Reyes")
    project.ok("revoke", "--section", MEMOS, "--tokenizer", "whitespace")
    purged = project.json("purge", "train.jsonl")["purged"]
    project.ok("purge", "--undo", "--force", "train.jsonl")
    project.ok("purge", "train.jsonl")
    project.ok("index", "build")
    report = project.json("report")
    overview = report["overview"]
    status = project.json("status")
    assert overview["lines"] == sum(f["records"] for f in status["data_files"])
    assert overview["data_files"] == len(status["data_files"])
    assert overview["sections"] == status["sections"]
    (tokens,) = project.json("tokens", "status")
    (mine,) = overview["tokenizers"]
    assert (mine["active_tokens"], mine["revoked_tokens"], mine["active_entries"], mine["revoked_entries"]) == (
        tokens["active_tokens"], tokens["revoked_tokens"], tokens["active_entries"], tokens["revoked_entries"])
    assert mine["active_withdrawn_tokens"] == status["tokenizers"][0]["tokens"]["active_withdrawn"]

    def shown(*args):
        return len(project.json("show", *args)), project.json("show", *args, "--tokenizer", "whitespace")["total_tokens"]

    for row in report["by_license"]:
        assert (row["lines"], row["tokens"]["whitespace"]["active"]) == shown("--license", row["key"])
    for row in report["by_section"]:
        assert (row["lines"], row["tokens"]["whitespace"]["active"]) == shown("--section", row["key"])
    for row in report["by_author"]:
        assert (row["lines"], row["tokens"]["whitespace"]["active"]) == shown("--author", row["label"].split(" <")[0])
    by_license = {r["key"]: (r["lines"], r["lines_withdrawn"]) for r in report["by_license"]}
    assert by_license == {"CC-BY-4.0": (121, 1), "MIT": (101, 101), "CC0-1.0": (80, 80)}
    assert overview["lines_withdrawn"] == 181  # MEMOS, FORUM, and the joint line through MEMOS

    files = {f["file"]: f for f in report["files"]}
    train, extra = files["train.jsonl"], files["extra.jsonl"]
    assert (train["lines"], train["untracked"], train["purged"], train["restored"]) == (300, 0, 2 * purged, purged)
    assert (extra["exists"], extra["untracked"], len(extra["sections"])) == (False, None, 2)
    kinds = [t["kind"] for t in report["timeline"]]
    assert {"revocation", "purge", "purge undone"} <= set(kinds)

    # Filters restrict the lines, and tokens by section (entries record no file).
    only_mit = project.json("report", "--license", "MIT", "--file", "extra.jsonl")
    assert only_mit["overview"]["lines"] == 1 and [f["file"] for f in only_mit["files"]] == ["extra.jsonl"]
    assert only_mit["overview"]["tokenizers"][0]["active_tokens"] == shown("--license", "MIT")[1]
    assert project.json("report", "--author", "Ada Lindqvist")["overview"]["lines"] == shown("--author", "Ada Lindqvist")[0]
    done = project.kx("report", "--author", "Nobody")
    assert done.returncode == 1 and "kx: error: no author named 'Nobody'" in done.stderr


def _rows(report, kind):
    return {r["key"]: (r["lines"], r["tokens"]["whitespace"]["active"], r["tokens"]["whitespace"]["revoked"])
            for r in report[kind]}


def test_report_counts_records_of_every_form_and_unregistered_sources(project):
    """Record lines in the forms only the general parser reads (array form,
    spaces, escapes), sources no section registers (one the upper-case
    spelling of a registered hash), a source repeated in one record, and a
    token entry of zero tokens: each counts as its text says."""
    ada, memos = section_hash(ADA), section_hash(MEMOS)
    before = project.json("report")
    odd = [kx.compute_hash(f"odd {i}") for i in range(3)]
    lines = {
        odd[0]: json.dumps([odd[0], "odd.jsonl", [ada, "unregistered"]]),
        odd[1]: '{ "sources" : ["%s", "%s"], "line_hash": "%s", "file": "odd\\u002ejsonl" }' % (memos, memos, odd[1]),
        odd[2]: json.dumps({"file": "odd.jsonl", "line_hash": odd[2], "revoked": False,
                            "sources": [ada.upper(), "ab" * 32]}, separators=(",", ":")),
    }
    for line_hash, line in lines.items():
        with open(kx.shard_path_str(project.root, "document-index", line_hash), "a") as f:
            f.write(line + "\n")
    merged = project.path(".kx/token-index.whitespace")
    with open(os.path.join(merged, str(max(int(n) for n in os.listdir(merged)) + 1)), "w") as f:
        f.write('{ "token_count" : 7, "sources": ["unregistered", "%s"], "tokenizer": "whitespace", "revoked": false }\n' % ada)
        f.write(json.dumps([5, [memos, memos], "whitespace", True]) + "\n")
        f.write('{"revoked":false,"sources":["zero-only"],"token_count":0,"tokenizer":"whitespace"}\n')
    after = project.json("report")

    odd_file = {f["file"]: f for f in after["files"]}["odd.jsonl"]
    assert odd_file["lines"] == 3
    assert {s["section_hash"]: s["lines"] for s in odd_file["sections"]} == {
        ada: 1, memos: 1, "unregistered": 1, ada.upper(): 1, "ab" * 32: 1}
    old_sections, new_sections = _rows(before, "by_section"), _rows(after, "by_section")
    added = {k: tuple(n - o for n, o in zip(v, old_sections.get(k, (0, 0, 0)))) for k, v in new_sections.items()}
    assert {k: v for k, v in added.items() if v != (0, 0, 0)} == {
        ada: (1, 7, 0), memos: (1, 0, 5), "unregistered": (1, 7, 0), ada.upper(): (1, 0, 0), "ab" * 32: (1, 0, 0)}
    assert new_sections["zero-only"] == (0, 0, 0)
    old_licenses, new_licenses = _rows(before, "by_license"), _rows(after, "by_license")
    assert new_licenses["CC-BY-4.0"][:2] == (old_licenses["CC-BY-4.0"][0] + 1, old_licenses["CC-BY-4.0"][1] + 7)
    assert new_licenses["MIT"][0] == old_licenses["MIT"][0] + 1 and new_licenses["MIT"][2] == old_licenses["MIT"][2] + 5
    (tokens_before,), (tokens_after,) = before["overview"]["tokenizers"], after["overview"]["tokenizers"]
    assert (tokens_after["active_entries"] - tokens_before["active_entries"],
            tokens_after["revoked_entries"] - tokens_before["revoked_entries"],
            tokens_after["revoked_tokens"] - tokens_before["revoked_tokens"]) == (2, 1, 5)
    assert project.json("report", "--file", "odd.jsonl")["overview"]["lines"] == 3


def test_report_page_holds_tables_without_matplotlib(project, kx_cli_env, tmp_path):
    blocker = tmp_path / "no_matplotlib"
    (blocker / "matplotlib").mkdir(parents=True)
    (blocker / "matplotlib" / "__init__.py").write_text("raise ImportError('not installed')\n")
    env = dict(kx_cli_env, PYTHONPATH=f"{blocker}{os.pathsep}{kx_cli_env['PYTHONPATH']}")
    done = subprocess.run([sys.executable, "-m", "kx", "-C", project.root,
                           "report", "-o", "plain.html"], env=env, capture_output=True, text=True)
    assert done.returncode == 0 and "no charts" in done.stdout
    page = open(project.path("plain.html"), encoding="utf-8").read()
    assert "<svg" not in page and page.count("<table") >= 5 and "matplotlib is not installed" in page


CHROMIUM = shutil.which("chromium")

# Measures where each chart stands, for the screenshot; it runs in the page
# with the rest of the page hidden so that the charts fit the window.
_MEASURE = (
    "document.body.insertAdjacentHTML('beforeend', '<pre id=rects>' + JSON.stringify("
    "Array.prototype.map.call(document.querySelectorAll('figure.chart'), function (f) {"
    "var r = f.getBoundingClientRect(); return [f.id, r.left, r.top, r.width, r.height]; })) + '</pre>');"
)
_ONLY_CHARTS = "<style>section > :not(figure), h1, p { display: none; }</style>"


def _chromium(page, *args):
    # Without libraries preloaded into the tests (a sanitizer run's), which
    # the browser is not built for.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr", "--v=0",
         "--force-device-scale-factor=1", "--window-size=1000,3000", *args, page],
        capture_output=True, text=True, timeout=60, env=env)
    return done.stdout, [line for line in done.stderr.splitlines() if ":CONSOLE" in line]


@pytest.mark.skipif(CHROMIUM is None, reason="needs chromium (installed by .ci/run)")
def test_report_page_loads_offline_in_chromium_with_every_chart_drawn(project, tmp_path):
    PIL = pytest.importorskip("PIL.Image")
    project.ok("revoke", "--section", MEMOS)
    project.ok("purge", "train.jsonl")
    assert "5 charts" in project.ok("report", "-o", "report.html")
    page = open(project.path("report.html"), encoding="utf-8").read()
    # Every fetch is forbidden, and nothing names a place to fetch from.
    assert "default-src 'none'" in page
    assert not re.findall(r"(?:src|href)\s*=\s*[\"']?(?:https?:|//)|url\(\s*[\"']?(?:https?:|//)|@import", page)

    dom, console = _chromium(project.path("report.html"), "--dump-dom")
    assert console == [] and 'data-ready="1"' in dom  # the sorting script ran, nothing was blocked

    digest = base64.b64encode(hashlib.sha256(_MEASURE.encode()).digest()).decode()
    measured = page.replace("script-src ", f"script-src 'sha256-{digest}' ").replace(
        "</body>", f"{_ONLY_CHARTS}<script>{_MEASURE}</script></body>")
    measured_path = str(tmp_path / "measured.html")
    with open(measured_path, "w", encoding="utf-8") as f:
        f.write(measured)
    dom, console = _chromium(measured_path, "--dump-dom")
    assert console == []
    rects = json.loads(re.search(r"<pre id=\"rects\">(.*?)</pre>", dom, re.S).group(1))
    assert sorted(r[0] for r in rects) == ["chart-by_author", "chart-by_license", "chart-by_section",
                                           "chart-timeline", "chart-tokens_by_license"]
    shot = str(tmp_path / "shot.png")
    _chromium(measured_path, f"--screenshot={shot}")
    image = PIL.open(shot).convert("L")
    for name, left, top, width, height in rects:
        assert top + height <= image.height, name
        box = image.crop((int(left), int(top), int(left + width), int(top + height)))
        inked = sum(count for value, count in enumerate(box.histogram()) if value < 200)
        assert inked > 0.02 * box.width * box.height, name
