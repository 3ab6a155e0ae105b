"""The convergence report as a document: printed without loss, names drawn as typed, legends that tell
their lines apart, traces with their burn-in, the methods paragraph and the provenance."""

from __future__ import annotations

import base64
import hashlib
import json
import re
import shutil
import subprocess
from collections.abc import Iterator
from dataclasses import replace
from datetime import UTC, datetime, timedelta
from html import escape, unescape
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from brantoveil_tools.cli import main
from brantoveil_tools.converge import converge
from brantoveil_tools.converge.document import REFERENCES, methods, methods_paragraph
from brantoveil_tools.converge.labels import split_names, unique
from brantoveil_tools.converge.report import ConvergenceReport

pytest.importorskip("jinja2")
pytest.importorskip("plotly")
from brantoveil_tools.converge import html

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RUNS = [EXAMPLES / "primates.run1.t", EXAMPLES / "primates.run2.t"]
CHROMIUM = next((found for name in ("chromium", "chromium-browser") if (found := shutil.which(name))), None)
# No --virtual-time-budget: the browser prints as soon as the page has loaded, as a hurried user would.
BROWSER = [str(CHROMIUM), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars"]
MARKUP = {"Homo_sapiens": "<b>Homo</b>", "Pan": '<a href="https://example.org/x">Pan</a>', "Gorilla": "Gor<br>illa"}
needs_browser = pytest.mark.skipif(CHROMIUM is None or shutil.which("pdftotext") is None,
                                   reason="chromium and poppler-utils are not installed")


@pytest.fixture(scope="module")
def report() -> ConvergenceReport:
    return converge(RUNS, burnin=0.25, suggest_burnin=False)


@pytest.fixture(scope="module")
def marked(tmp_path_factory: pytest.TempPathFactory) -> tuple[ConvergenceReport, Path]:
    """The example with three taxa renamed to markup, and its page."""
    folder = tmp_path_factory.mktemp("marked")
    runs = []
    for r in (1, 2):
        text = (EXAMPLES / f"primates.run{r}.t").read_text()
        for name, markup in MARKUP.items():
            text = text.replace(f" {name},", f" '{markup}',", 1)
        runs.append(folder / f"marked.run{r}.t")
        runs[-1].write_text(text)
        shutil.copy(EXAMPLES / f"primates.run{r}.p", folder / f"marked.run{r}.p")
    result = converge(runs, burnin=0.25, suggest_burnin=False)
    html.write_html(result, folder / "marked.html")
    return result, folder / "marked.html"


def figures(page: Path) -> dict[str, dict[str, Any]]:
    text = page.read_text(encoding="utf-8")
    return {key: json.loads(body) for key, body in
            re.findall(r'<script type="application/json" id="data-([^"]+)">(.*?)</script>', text, re.S)}


def numbers(value: Any) -> list[float]:
    """A figure's array: a list, or Plotly's packed form of a NumPy array."""
    if isinstance(value, dict):
        return np.frombuffer(base64.b64decode(value["bdata"]), dtype=value["dtype"]).tolist()
    return list(value)


def strings(value: Any) -> Iterator[str]:
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for item in value.values():
            yield from strings(item)
    elif isinstance(value, list):
        for item in value:
            yield from strings(item)


def test_figures_draw_names_as_typed(marked: tuple[ConvergenceReport, Path]) -> None:
    drawn = [text for figure in figures(marked[1]).values() for text in strings(figure)]
    for markup in MARKUP.values():
        assert not [text for text in drawn if markup in text]  # never as markup Plotly would render
        assert any(escape(markup, quote=False) in text for text in drawn)  # yet drawn


@pytest.mark.parametrize(("labels", "shown", "expected"), [
    ([("a", "b", "c", "d", "e"), ("a", "b", "c", "d", "f")], 4, ["a, b, c, d, e", "a, b, c, d, f"]),
    ([("a", "b", "c", "d", "e"), ("x",)], 4, ["a, b, c, d +1", "x"]),
    ([("a", "b"), ("a", "b", "c")], 1, ["a +1", "a +2"]),
    ([("a", "b", "c"), ("a", "b", "d"), ("a", "c", "d")], 1, ["a, b, c", "a, b, d", "a, c, d"]),
])
def test_split_names_tell_splits_apart(labels: list[tuple[str, ...]], shown: int, expected: list[str]) -> None:
    assert split_names(labels, shown) == expected
    assert unique(["x", "y", "x", "x"]) == ["x", "y", "x (2)", "x (3)"]


@pytest.mark.parametrize("which", ["example", "marked", "clades alike"])
def test_every_legend_label_is_unique(which: str, report: ConvergenceReport, marked: tuple[ConvergenceReport, Path],
                                      tmp_path: Path) -> None:
    page = marked[1]
    if which != "marked":
        if which == "clades alike":  # the followed splits share their first taxa, as large clades of one genus do
            assert report.courses is not None
            taxa = list(report.splits.taxa)
            for k, row in enumerate(report.courses.splits):
                taxa[int(row)] = ("bonobo", "chimp", "gorilla", "human", f"taxon {k}")
            report = replace(report, splits=replace(report.splits, taxa=tuple(taxa)))
        page = tmp_path / "r.html"
        html.write_html(report, page)
    for key, figure in figures(page).items():
        shown = [trace["name"] for trace in figure["data"] if trace.get("showlegend", True) and "name" in trace]
        assert len(shown) == len(set(shown)), (key, shown)


@pytest.mark.parametrize(("burnin", "shaded"), [(0.25, [15000]), (0.0, [])])
def test_traces_start_at_generation_zero_with_the_burnin_shaded(burnin: float, shaded: list[int]) -> None:
    result = converge(RUNS, burnin=burnin, suggest_burnin=False)
    assert result.parameters is not None
    for figure in (html._tree_traces(result), html._parameter_figure(result.parameters, 0)):
        layout = json.loads(figure.json)["layout"]
        rectangles = [shape for shape in layout.get("shapes", []) if shape["type"] == "rect"]
        assert [(shape["x0"], shape["x1"]) for shape in rectangles] == [(0, end) for end in shaded]
        assert layout["xaxis"]["rangemode"] == "tozero"


def test_lag_profile_and_its_fit_are_drawn(report: ConvergenceReport) -> None:
    figure = html._lag_profiles(report)
    assert figure is not None
    data = json.loads(figure.json)["data"]
    for r, run in enumerate(report.runs):
        points, fit = data[2 * r], data[2 * r + 1]
        assert numbers(points["y"]) == pytest.approx(list(run.lag_profile))
        sill, scale = run.semivariogram
        x = np.array(numbers(fit["x"]))
        assert numbers(fit["y"]) == pytest.approx(sill * (1 - np.exp(-x / scale)))


@pytest.mark.parametrize(("runs", "burnin", "thin", "says", "cites"), [
    (RUNS, 0.25, 1, ["2 MCMC runs", "The first 25% of the samples of every run were", "without further thinning",
                     "ASDSF", "at most 1.01"],
     {"Lakner et al. 2008", "Ronquist et al. 2012", "Lanfear et al. 2016", "Magee et al. 2024",
      "Fabreti and Hohna 2022", "Geyer 1992", "Gelman and Rubin 1992"}),
    (RUNS, "gen:10000", 2, ["the samples before generation 10000 were", "every 2nd of the remaining samples"],
     {"Lakner et al. 2008", "Ronquist et al. 2012", "Lanfear et al. 2016", "Magee et al. 2024",
      "Fabreti and Hohna 2022", "Geyer 1992", "Gelman and Rubin 1992"}),
    (RUNS[:1], 50, 3, ["1 MCMC run ", "The first 50 samples of every run were", "every 3rd"],
     {"Lanfear et al. 2016", "Magee et al. 2024", "Fabreti and Hohna 2022", "Geyer 1992"}),
])
def test_methods_paragraph(runs: list[Path], burnin: float | str, thin: int, says: list[str], cites: set[str]) -> None:
    result = converge(runs, burnin=burnin, thin=thin, suggest_burnin=False)
    paragraph, references = methods_paragraph(result)
    for words in [*says, f"brantoveil {result.version}", f"{len(result.verdict.criteria)}"]:
        assert words in paragraph
    assert set(re.findall(r"[A-Z][a-z]+(?: et al\.| and [A-Z][a-z]+)? \d{4}", paragraph)) == cites
    assert references == tuple(REFERENCES[key] for key in sorted(cites))
    assert methods(result).startswith(paragraph[:60])


def test_json_html_and_text_carry_the_same_methods_and_provenance(tmp_path: Path) -> None:
    out = {kind: tmp_path / f"report.{kind}" for kind in ("json", "html", "txt")}
    argv = ["converge", *map(str, RUNS), "--burnin", "0.25", "--no-burnin-suggestion", "-q",
            "--json", str(out["json"]), "--html", str(out["html"]), "--methods", str(out["txt"])]
    assert main(argv) == 0
    data = json.loads(out["json"].read_text())
    page = out["html"].read_text()
    assert escape(data["methods"]["text"], quote=False).replace("'", "&#39;") in page
    assert " ".join(out["txt"].read_text().split("\n\nReferences\n")[0].split()) == data["methods"]["text"]
    origin = data["provenance"]
    assert origin["command"] == ["brantoveil", *argv]
    assert datetime.now(UTC) - datetime.fromisoformat(origin["date"]) < timedelta(minutes=10)
    assert origin["date"] in page
    files = [*RUNS, EXAMPLES / "primates.run1.p", EXAMPLES / "primates.run2.p"]
    assert [(f["path"], f["sha256"]) for f in origin["inputs"]] == \
        [(str(f), hashlib.sha256(f.read_bytes()).hexdigest()) for f in files]
    assert all(f["sha256"] in page for f in origin["inputs"])


def test_methods_onto_an_input_is_refused(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    target = tmp_path / "run.t"
    shutil.copy(RUNS[0], target)
    assert main(["converge", str(target), str(RUNS[1]), "--no-params", "-q", "--methods", str(target)]) == 2
    assert target.read_bytes() == RUNS[0].read_bytes()
    assert capsys.readouterr().err.count("\n") == 1


@needs_browser
def test_printed_page_keeps_every_row_and_figure(report: ConvergenceReport, tmp_path: Path) -> None:
    page, pdf = tmp_path / "r.html", tmp_path / "r.pdf"
    html.write_html(report, page)
    subprocess.run([*BROWSER, "--no-pdf-header-footer", f"--print-to-pdf={pdf}", page.as_uri()],
                   capture_output=True, timeout=180, check=True)
    text = subprocess.run(["pdftotext", str(pdf), "-"], capture_output=True, text=True, check=True).stdout
    lines = [" ".join(line.split()) for line in subprocess.run(
        ["pdftotext", "-layout", str(pdf), "-"], capture_output=True, text=True, check=True).stdout.splitlines()]
    flat = " ".join(text.split())
    assert "drawing" not in flat and "Figure not drawn" not in flat
    for figure in figures(page).values():  # every figure drawn: its title is printed text
        assert unescape(" ".join(figure["layout"]["title"]["text"].split()[:4])) in flat
    content = html._page(report, ["brantoveil"], html.provenance(report, None))
    for row in content["splits"]:  # every row of the split table, every column in order
        cells = [row["taxa"], str(row["size"]), *map(html._format_number, [*row["frequencies"], row["overall"],
                 row["sd"], row["difference"]]), *(html._format_number(e, 1) for e in row["ess"]),
                 html._format_number(row["threshold"]), html._format_number(row["passes"])]
        assert row["taxa"] in flat
        # Laid out, a row's first line holds the first of its taxa and every other cell.
        assert any(line.startswith(row["taxa"].split()[0]) and line.endswith(" ".join(cells[1:])) for line in lines)
    for criterion in content["criteria"]:
        assert criterion["name"] in flat
    assert content["parameters"] is not None
    for p in content["parameters"]["rows"]:  # every row and column of the parameter table
        cells = [*(html._format_number(p[key], 6) for key in ("mean", "variance", "lower", "upper", "median")),
                 *(html._format_number(e, 1) for e in [p["min_ess"], p["avg_ess"], *p["ess_trace"]]),
                 html._format_number(p["psrf"], 3), html._format_number(p["ks_d"], 3)]
        assert any(line.endswith(" ".join(cells)) for line in lines), p["name"]
    pages = [" ".join(p.split()) for p in text.split("\f")]
    for heading in ("Trees", "Parameters", "Methods", "Settings and files"):  # each section opens a page
        assert any(p.startswith(heading + " ") for p in pages), heading
    # Figures drawn for a wide window are redrawn to the page: the browser does not shrink the document.
    wide = tmp_path / "wide.pdf"
    subprocess.run([*BROWSER, "--window-size=2560,1440", "--no-pdf-header-footer", f"--print-to-pdf={wide}",
                    page.as_uri()], capture_output=True, timeout=180, check=True)
    assert subprocess.run(["pdftotext", str(wide), "-"], capture_output=True, text=True).stdout.count("\f") == \
        len(pages) - 1


@needs_browser
def test_browser_draws_no_markup_from_names(marked: tuple[ConvergenceReport, Path]) -> None:
    dom = subprocess.run([*BROWSER, "--window-size=1366,900", "--dump-dom", marked[1].as_uri()],
                         capture_output=True, text=True, timeout=180, check=True).stdout
    assert 'data-figures="drawn"' in dom
    assert not re.search(r'<a [^>]*href="https://example\.org', dom)  # no live link
    svg = "".join(re.findall(r"(?s)<svg.*?</svg>", dom))
    assert "&lt;b&gt;Homo&lt;/b&gt;" in svg and "Gor&lt;br&gt;illa" in svg
