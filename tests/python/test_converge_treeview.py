"""The majority-rule consensus inside the convergence report: the same tree `summarize` gives for the
report's own selection, drawn on the web page and in the picture."""

from __future__ import annotations

import json
import math
import re
from pathlib import Path

import pytest
from brantoveil_tools.converge import ConvergeSettings, converge
from brantoveil_tools.converge.cladogram import AGREE, DISAGREE, MAY_DO, UNKNOWN, cladogram
from brantoveil_tools.converge.report import ConvergenceReport
from brantoveil_tools.sample import read_sample
from brantoveil_tools.summarize import summarize

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RUNS = [EXAMPLES / "primates.run1.t", EXAMPLES / "primates.run2.t"]


@pytest.fixture(scope="module")
def report() -> ConvergenceReport:
    return converge(RUNS, burnin=0.25, no_params=True)


def test_a_settings_value_and_keywords_give_one_report(report: ConvergenceReport) -> None:
    chosen = ConvergeSettings(burnin=0.5, no_params=True)
    assert converge(RUNS, chosen, burnin=0.25).to_dict() == report.to_dict()  # a keyword changes the value
    with pytest.raises(TypeError, match="min_frequency"):
        converge(RUNS, min_frequency=0.1)


def _expected(runs: list[Path], **selection: object) -> tuple[str, list[tuple[tuple[str, ...], float, float]]]:
    found = summarize(runs, method="majority", **selection)  # type: ignore[arg-type]
    clades = found.clades
    rows = [(clades.taxa[i], float(clades.frequencies[i]), float(clades.sdsf[i]))
            for i in range(len(clades.taxa)) if clades.in_tree[i]]
    return found.newick, rows


@pytest.mark.parametrize(("runs", "selection"), [
    (RUNS, {"burnin": 0.25}),
    (RUNS, {"burnin": 50, "thin": 3}),
    (RUNS[:1], {"burnin": 0.1}),
])
def test_consensus_is_summarize_of_the_reports_selection(runs: list[Path], selection: dict[str, object]) -> None:
    data = converge(runs, no_params=True, **selection).to_dict()  # type: ignore[arg-type]
    newick, rows = _expected(runs, **selection)
    consensus = data["consensus"]
    assert consensus["newick"] == newick
    assert [tuple(c["taxa"]) for c in consensus["clades"]] == [taxa for taxa, _, _ in rows]
    assert [c["posterior"] for c in consensus["clades"]] == [posterior for _, posterior, _ in rows]
    if len(runs) == 1:
        assert all(c["sdsf"] is None for c in consensus["clades"])
    else:
        assert [c["sdsf"] for c in consensus["clades"]] == pytest.approx([s for _, _, s in rows], abs=1e-12)
    assert json.loads(json.dumps(data, allow_nan=False))["consensus"] == consensus


def test_consensus_of_a_sample_given_directly() -> None:
    sample = read_sample(RUNS, burnin=0.25)
    from_sample = converge(sample, no_params=True).to_dict()["consensus"]
    assert from_sample["newick"] == summarize(sample, method="majority").newick
    assert from_sample["trees"] == len(sample)


def test_cladogram_places_every_clade_over_its_leaves(report: ConvergenceReport) -> None:
    assert report.consensus is not None
    drawing = cladogram(report.consensus)
    rows = {name: y for _, y, name in drawing.leaves}
    assert sorted(rows.values()) == [float(k) for k in range(len(report.taxa))]
    assert set(rows) == set(report.taxa)
    assert {x for x, _, _ in drawing.leaves} == {drawing.depth}
    table = {frozenset(c["taxa"]): c for c in report.to_dict()["consensus"]["clades"]}
    for clade in drawing.clades:
        mine = [rows[name] for name in clade.taxa]
        assert min(mine) <= clade.y <= max(mine)
        assert 0 < clade.x < drawing.depth
        # A drawn clade of an unrooted tree is one side of a split: the table names the other side
        # when the drawn one holds the first taxon.
        other = frozenset(report.taxa) - frozenset(clade.taxa)
        row = table.get(frozenset(clade.taxa)) or table[other]
        assert clade.posterior == row["posterior"] and clade.sdsf == pytest.approx(row["sdsf"])
        assert clade.colour == (AGREE if clade.sdsf <= 0.01 else MAY_DO if clade.sdsf <= 0.05 else DISAGREE)
    for x0, y0, x1, y1 in drawing.lines:
        assert x0 == x1 or y0 == y1  # rectangular: only upright and level strokes
    assert len(drawing.clades) == len(table)


def test_one_run_draws_grey_clades_without_sdsf() -> None:
    single = converge(RUNS[:1], burnin=0.25, no_params=True)
    assert single.consensus is not None
    clades = cladogram(single.consensus).clades
    assert clades and all(c.colour == UNKNOWN and math.isnan(c.sdsf) and "/" not in c.label for c in clades)


def test_page_draws_the_consensus(report: ConvergenceReport, tmp_path: Path) -> None:
    pytest.importorskip("jinja2")
    pytest.importorskip("plotly")
    from brantoveil_tools.converge import html

    target = tmp_path / "report.html"
    html.write_html(report, target)
    text = target.read_text(encoding="utf-8")
    assert 'data-figure="consensus-tree"' in text
    match = re.search(r'<script type="application/json" id="data-consensus-tree">(.*?)</script>', text, re.S)
    assert match is not None
    figure = json.loads(match.group(1))
    labels = [label for trace in figure["data"] if trace.get("mode") == "markers+text" for label in trace["text"]]
    assert report.consensus is not None
    expected = [c.label for c in cladogram(report.consensus).clades]
    assert sorted(labels) == sorted(expected)
    leaves = next(trace["text"] for trace in figure["data"] if trace.get("mode") == "text")
    assert sorted(leaves) == sorted(report.taxa)


@pytest.mark.parametrize(("most", "drawn"), [(24, True), (11, False)])
def test_picture_draws_the_tree_only_when_its_names_fit(report: ConvergenceReport, tmp_path: Path,
                                                        monkeypatch: pytest.MonkeyPatch, most: int,
                                                        drawn: bool) -> None:
    pytest.importorskip("matplotlib")
    from brantoveil_tools.converge import plot

    calls: list[int] = []
    panel = plot.consensus_panel
    monkeypatch.setattr(plot, "TREE_TAXA", most)
    monkeypatch.setattr(plot, "consensus_panel", lambda axes, report: calls.append(1) or panel(axes, report))
    target = tmp_path / "report.png"
    plot.draw_report(report, target)  # the example has 12 taxa
    assert target.read_bytes().startswith(b"\x89PNG")
    assert calls == ([1] if drawn else [])
