"""The split ESS, the split-frequency test and the verdict, on runs whose answers are known by construction."""

from __future__ import annotations

import json
import random
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from brantoveil_tools.converge import converge
from brantoveil_tools.converge import report as report_module
from brantoveil_tools.converge.split_ess import binomial_threshold
from brantoveil_tools.errors import BrantoveilError
from scipy.stats import binom
from test_converge_ess import viewer_ess_by_hand
from treefiles import write_runs

AB, AC, AD = "((A,B),(C,D));", "((A,C),(B,D));", "((A,D),(B,C));"


@pytest.mark.parametrize("frequency", [0.1, 0.5, 0.9])
def test_binomial_threshold_equals_a_direct_computation(frequency: float) -> None:
    n = 625
    pmf = binom.pmf(np.arange(n + 1), n, frequency)
    joint = np.outer(pmf, pmf)
    gaps = np.abs(np.subtract.outer(np.arange(n + 1), np.arange(n + 1)))
    probability = np.bincount(gaps.ravel(), weights=joint.ravel(), minlength=n + 1)
    d = int(np.argmax(np.cumsum(probability) >= 0.95))
    assert binomial_threshold(n, frequency) == d / n


def sticky_topologies(n: int, seed: int, stay: float) -> list[str]:
    """Four-taxon trees that keep their topology with probability ``stay`` at each step."""
    rng = random.Random(seed)
    current = AB
    out = []
    for _ in range(n):
        if rng.random() > stay:
            current = rng.choice([AB, AB, AC, AD])
        out.append(current)
    return out


def test_split_ess_is_the_trace_ess_of_each_presence_trace(tmp_path: Path) -> None:
    runs = [sticky_topologies(400, 1, 0.9), sticky_topologies(350, 2, 0.6)]
    report = converge(write_runs(tmp_path, runs), burnin=0, suggest_burnin=False)
    table = report.splits
    # Unrooted four-taxon splits are named by the side without A: AB is {C, D}, AC is {B, D}, AD is {B, C}.
    for name, topology in ((("C", "D"), AB), (("B", "D"), AC), (("B", "C"), AD)):
        row = table.taxa.index(name)
        assert table.tested[row]
        for r, texts in enumerate(runs):
            expected = viewer_ess_by_hand([float(text == topology) for text in texts])
            assert table.ess[row, r] == pytest.approx(expected, rel=1e-9)
        first, second = table.frequencies[row]
        threshold = binomial_threshold(625, round((first + second) / 2, 12))
        assert table.threshold[row, 0] == threshold
        assert table.passes[row, 0] == (abs(first - second) <= threshold)
    record = json.loads(json.dumps(report.to_dict()))
    split = record["splits"][0]
    assert len(split["ess"]) == 2 and len(split["threshold"]) == 1 and isinstance(split["passes"], bool)


def independent_topologies(n: int, rng: random.Random, weights: tuple[float, float, float]) -> list[str]:
    return rng.choices([AB, AC, AD], weights=weights, k=n)


@pytest.mark.parametrize(
    ("weights", "failed"),
    [
        # The same posterior in both runs, 3000 independent trees each: everything passes.
        (((0.8, 0.15, 0.05), (0.8, 0.15, 0.05)), []),
        # The second run puts AC and AB the other way round: the spread and the test fail, the ESS do not.
        (((0.8, 0.15, 0.05), (0.15, 0.8, 0.05)), ["ASDSF", "max SDSF", "split-frequency differences"]),
    ],
)
def test_verdict_names_the_failing_criteria_and_runs(tmp_path: Path, weights: tuple[tuple[float, ...], ...],
                                                     failed: list[str]) -> None:
    rng = random.Random(4)
    runs = [independent_topologies(3000, rng, w) for w in weights]  # type: ignore[arg-type]
    report = converge(write_runs(tmp_path, runs), burnin=0, suggest_burnin=False)
    assert [c.name for c in report.verdict.failed] == failed
    assert report.verdict.passed == (not failed)
    if failed:
        test = next(c for c in report.verdict.criteria if c.name == "split-frequency differences")
        assert test.runs == ("run1.nwk / run2.nwk",)
        assert "split-frequency differences (run1.nwk / run2.nwk)" in report.summary()
    record = report.to_dict()
    assert record["verdict"]["passed"] == (not failed)
    assert {c["name"] for c in record["verdict"]["criteria"]} >= {
        "ASDSF", "max SDSF", "approximate ESS", "pseudo-ESS (minimum)", "pseudo-ESS (median)",
        "Frechet-correlation ESS", "split ESS", "split-frequency differences"}


def test_burnin_suggestion_skips_a_stuck_start_and_is_not_applied(tmp_path: Path) -> None:
    rng = random.Random(9)
    stuck = [AD] * 240  # the first 20% of run 1 sits on a tree the posterior rarely visits
    runs = [stuck + independent_topologies(960, rng, (0.6, 0.3, 0.1)),
            independent_topologies(1200, rng, (0.6, 0.3, 0.1))]
    report = converge(write_runs(tmp_path, runs), burnin=0)
    assert not report.verdict.passed
    assert report.burnin_suggestion is not None and report.burnin_suggestion.fraction == 0.2
    assert report.selection.burnin == "0" and report.runs[0].trees == 1200
    record = report.to_dict()["burnin_suggestion"]
    assert record["fraction"] == 0.2 and record["applied"] is False
    assert record["checked"][0]["burnin"] == 0.1 and not record["checked"][0]["passed"]
    assert "suggested burn-in: 0.2" in report.summary()


def test_tree_space_coordinates_are_in_the_json(tmp_path: Path) -> None:
    rng = random.Random(2)
    runs = [independent_topologies(30, rng, (0.5, 0.3, 0.2)) for _ in range(2)]
    mds = converge(write_runs(tmp_path, runs), burnin=0.1, suggest_burnin=False).to_dict()["distances"]["mds"]
    assert len(mds["coordinates"]) == len(mds["trees"]) == len(mds["runs"]) == 54
    assert mds["trees"][0] == "run1.nwk:4" and mds["runs"][-1] == "run2.nwk"


@pytest.mark.parametrize(
    ("keywords", "message"),
    [
        ({"max_lag": 0}, "max_lag must be a whole number of at least 1, not 0"),
        ({"min_ess": -5}, "min_ess must be a positive number, not -5"),
        ({"precision": 0.7}, "precision must lie between 0 and 0.5, not 0.7"),
    ],
)
def test_settings_are_checked_before_any_work(tmp_path: Path, keywords: dict[str, float], message: str) -> None:
    with pytest.raises(BrantoveilError) as caught:
        converge(write_runs(tmp_path, [[AB] * 5]), burnin=0, **keywords)  # type: ignore[arg-type]
    assert str(caught.value) == message


def test_a_bad_tree_is_named_by_its_file_and_number(tmp_path: Path) -> None:
    texts = [AB] * 1300
    texts[1200] = "((A,B),(C,D);"
    with pytest.raises(BrantoveilError) as caught:
        converge(write_runs(tmp_path, [[AB] * 10, texts]), burnin=0)
    assert str(caught.value).startswith("run2.nwk, tree 1201: ")


@pytest.mark.parametrize(
    ("runs", "passed", "note"),
    [
        ([[AB]], False, "fewer than 3 trees in a run"),  # one tree says nothing about mixing
        ([[AB] * 40], True, "the trees never differ"),  # nothing left to mix
    ],
)
def test_tree_ess_criteria_without_an_estimate(tmp_path: Path, runs: list[list[str]], passed: bool, note: str) -> None:
    report = converge(write_runs(tmp_path, runs), burnin=0, suggest_burnin=False)
    for criterion in report.verdict.criteria:
        if criterion.name != "split ESS":
            # The Frechet-correlation ESS of identical trees is 1 by its definition; the others have none.
            value = criterion.value == 1.0 if criterion.name.startswith("Frechet") and passed \
                else np.isnan(criterion.value)
            assert (criterion.passed, criterion.note, value) == (passed, note, True)


# 120 trees, burn-in 20%, every 3rd tree: 32 kept from tree 24. The candidate burn-ins 10% .. 50% start at
# trees 12, 24, ... 60, all on the same every-3rd grid: 36 trees from tree 12.
@pytest.mark.parametrize(("suggest", "encoded"), [(False, 32), (True, 36)])
def test_thinning_reads_only_the_trees_some_selection_keeps(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                            suggest: bool, encoded: int) -> None:
    rng = random.Random(3)
    texts = independent_topologies(120, rng, (0.5, 0.3, 0.2))
    sizes: list[int] = []
    real = report_module.encode_runs

    def counting(sample: Any, *args: Any, **keywords: Any) -> Any:
        sizes.append(len(sample))
        return real(sample, *args, **keywords)

    monkeypatch.setattr(report_module, "encode_runs", counting)
    report = converge(write_runs(tmp_path, [texts]), burnin=0.2, thin=3, suggest_burnin=suggest)
    kept = texts[24::3]
    assert report.runs[0].trees == len(kept) == 32
    row = report.splits.taxa.index(("C", "D"))
    assert report.splits.frequencies[row, 0] == sum(t == AB for t in kept) / len(kept)
    assert sizes == [encoded]


STAR = "(A,B,C,D);"


@pytest.mark.parametrize(
    ("runs", "min_freq", "failed", "note"),
    [
        # Each run stuck on its own topology: every split is at 0 in one run and 1 in the other.
        ([[AB] * 50, [AC] * 50], 0.1, ["ASDSF", "max SDSF", "split-frequency differences"], ""),
        # No split reaches --min-freq: nothing to compare is not agreement.
        ([[AB] * 50 + [AC] * 50, [AB] * 50 + [AC] * 50], 0.9, ["ASDSF", "max SDSF"],
         "no split to compare: none reaches --min-freq 0.9 in any run"),
        # Star trees only: one topology, nothing to compare and nothing wrong.
        ([[STAR] * 50, [STAR] * 50], 0.1, [], "no split to compare: the trees hold no non-trivial split"),
    ],
)
def test_runs_that_share_no_evidence_of_agreement(tmp_path: Path, runs: list[list[str]], min_freq: float,
                                                  failed: list[str], note: str) -> None:
    report = converge(write_runs(tmp_path, runs), burnin=0, min_freq=min_freq, suggest_burnin=False)
    compared = ("ASDSF", "max SDSF", "split-frequency differences")
    assert [c.name for c in report.verdict.failed if c.name in compared] == failed
    asdsf = next(c for c in report.verdict.criteria if c.name == "ASDSF")
    assert asdsf.note == note
    if note:
        assert report.asdsf is not None and np.isnan(report.asdsf) and "no split to compare" in report.summary()
    if "split-frequency differences" in failed:
        # Splits without variation inside a run are tested and listed with their frequencies.
        record = report.to_dict()
        listed = {tuple(s["taxa"]): (s["frequencies"], s["passes"]) for s in record["splits"]}
        assert listed[("C", "D")] == ([1.0, 0.0], False) and listed[("B", "D")] == ([0.0, 1.0], False)


def test_a_run_too_short_for_an_estimate_fails(tmp_path: Path) -> None:
    # Five different trees: the Frechet-correlation ESS needs lags up to n - 6, so there is none.
    report = converge(write_runs(tmp_path, [[AB, AC, AD, AB, AC]]), burnin=0, suggest_burnin=False)
    frechet = next(c for c in report.verdict.criteria if c.name == "Frechet-correlation ESS")
    assert (frechet.passed, frechet.runs) == (False, ("run1.nwk",))
    assert frechet.note == "too few trees in a run to estimate it"
