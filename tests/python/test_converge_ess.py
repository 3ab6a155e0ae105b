"""Tree and trace ESS estimators against independent implementations written here from their definitions."""

from __future__ import annotations

import random
from pathlib import Path

import brantoveil_tools
import numpy as np
import pytest
from brantoveil_tools.converge import converge, trees
from brantoveil_tools.converge.ess import trace_ess_viewer
from brantoveil_tools.sample import from_newick
from scipy.optimize import curve_fit
from treefiles import random_tree

DATA = Path(__file__).resolve().parents[1] / "data"


def viewer_ess_by_hand(x: list[float]) -> float:
    """The trace-viewer estimator, one loop per sum, from its definition."""
    n = len(x)
    mean = sum(x) / n
    gamma = []
    for k in range(min(n - 1, 2000) + 1):
        products = sum((x[t] - mean) * (x[t + k] - mean) for t in range(n - k))
        gamma.append(products / (n - k) if k else products / n)
    if gamma[0] == 0:
        return float("nan")
    total = 0.0
    i = 1
    while 2 * i < len(gamma):
        pair = gamma[2 * i - 1] + gamma[2 * i]
        if pair <= 0:
            break
        total += pair
        i += 1
    return n * gamma[0] / (gamma[0] + 2 * total)


def presence_trace(kind: str, n: int, seed: int) -> list[float]:
    """A split's presence (1) or absence (0) in n consecutive trees."""
    rng = np.random.default_rng(seed)
    if kind == "independent":
        return [float(v) for v in rng.random(n) < 0.3]
    if kind == "sticky":  # stays for runs of about 20 trees
        state, out = 0, []
        for _ in range(n):
            state = 1 - state if rng.random() < 0.05 else state
            out.append(float(state))
        return out
    if kind == "alternating":  # negatively correlated: no pair is positive
        return [float(t % 2) for t in range(n)]
    return [1.0] * (n // 2) + [0.0] * (n - n // 2)  # "step": one change, high autocorrelation


@pytest.mark.parametrize("kind", ["independent", "sticky", "alternating", "step"])
@pytest.mark.parametrize("n", [7, 300, 2300])
def test_viewer_ess_of_presence_traces_equals_the_definition(kind: str, n: int) -> None:
    traces = [presence_trace(kind, n, seed) for seed in range(3)]
    expected = [viewer_ess_by_hand(trace) for trace in traces]
    assert trace_ess_viewer(np.asarray(traces[0])) == pytest.approx(expected[0], rel=1e-9)
    # Many traces at once give the same values as one at a time.
    together = trace_ess_viewer(np.asarray(traces).T)
    assert isinstance(together, np.ndarray)
    np.testing.assert_allclose(together, expected, rtol=1e-9)


@pytest.mark.parametrize("trace", [[1.0] * 50, [0.0] * 50, [3.0]])
def test_a_trace_that_never_varies_has_no_ess(trace: list[float]) -> None:
    assert np.isnan(trace_ess_viewer(np.asarray(trace)))


def write_run(path: Path, texts: list[str]) -> Path:
    path.write_text("\n".join(texts) + "\n")
    return path


def mcmc_chain(n: int, n_taxa: int, seed: int) -> list[str]:
    """Trees that change by rearranging a random subtree now and then: autocorrelated, like a real chain."""
    rng = random.Random(seed)
    taxa = [f"t{i}" for i in range(n_taxa)]
    order = list(taxa)
    texts = []
    for _ in range(n):
        if rng.random() < 0.3:
            i, j = rng.randrange(n_taxa), rng.randrange(n_taxa)
            order[i], order[j] = order[j], order[i]
        # A caterpillar in the current order, so a swap of neighbours changes few splits.
        text = order[0]
        for name in order[1:]:
            text = f"({text},{name})"
        texts.append(text + ";")
    return texts


def approximate_ess_by_hand(matrix: np.ndarray, max_lag: int) -> float:
    """The published procedure on a full distance matrix, written from its definition."""
    n = len(matrix)
    lags = list(range(1, max_lag + 1))
    d = np.array([np.mean([float(matrix[i, i + k]) ** 2 for i in range(n - k)]) for k in lags])

    def model(k: np.ndarray, a: float, b: float) -> np.ndarray:
        return a * (1 - np.exp(-k / b))

    (a, _), _ = curve_fit(model, np.array(lags, dtype=float), d, p0=(d.max(), 1.0), maxfev=10_000)
    m = next((k for k in lags if d[k - 1] / a > 0.95), max_lag + 1)
    top = d.max()
    s = sum((n - k) * d[k - 1] for k in range(1, m)) + (n - m + 1) * (n - m) * top / 2
    s /= 2 * n * n
    return float(1 / (1 - 4 * s / top))


@pytest.mark.parametrize(("n", "max_lag", "seed"), [(300, 30, 1), (157, 100, 2), (400, 12, 3)])
def test_approximate_ess_equals_the_published_procedure(tmp_path: Path, n: int, max_lag: int, seed: int) -> None:
    texts = mcmc_chain(n, 9, seed)
    report = converge([write_run(tmp_path / "run.nwk", texts)], burnin=0, max_lag=max_lag, suggest_burnin=False)
    distances = brantoveil_tools.distances(texts, "rf").matrix
    expected = approximate_ess_by_hand(distances, min(max_lag, n - 1))
    assert report.runs[0].approx_ess == pytest.approx(expected, rel=1e-6)
    # D_k as the report keeps it: every pair at each lag.
    profile = report.runs[0].lag_profile
    assert profile[0] == pytest.approx(np.mean(np.diagonal(distances, 1).astype(float) ** 2), rel=1e-12)


def chains_of_known_ess(kind: str) -> list[str]:
    rng = random.Random(7)
    taxa = [f"t{i:02d}" for i in range(20)]
    if kind == "independent":
        return [random_tree(taxa, rng) for _ in range(2000)]
    return [tree for _ in range(200) for tree in [random_tree(taxa, rng)] * 10]


@pytest.mark.parametrize(("kind", "low", "high"), [("independent", 1000, 2000), ("repeated ten times", 100, 400)])
def test_every_tree_ess_measure_on_chains_of_known_ess(tmp_path: Path, kind: str, low: float, high: float) -> None:
    report = converge([write_run(tmp_path / "run.nwk", chains_of_known_ess(kind))], burnin=0, suggest_burnin=False)
    run = report.runs[0]
    for value in (run.approx_ess, run.pseudo_ess_min, run.pseudo_ess, run.frechet_ess):
        assert low <= value <= high
    assert not run.ess_upper_bound


ALL_SITES = [DATA / f"primates_all_sites.run{r}.t.gz" for r in (1, 2)]


@pytest.mark.skipif(not ALL_SITES[0].exists(), reason="tests/data/primates_all_sites.sh has not been run")
def test_a_posterior_of_almost_one_tree_keeps_its_ess() -> None:
    report = converge(ALL_SITES, suggest_burnin=False)
    assert [run.trees for run in report.runs] == [7501, 7501]
    for run in report.runs:
        assert run.approx_ess > 2000 and not run.ess_upper_bound
    ess_criteria = [c for c in report.verdict.criteria if "ESS" in c.name and c.name != "split ESS"]
    assert len(ess_criteria) == 4 and all(c.passed for c in ess_criteria)


def frechet_ess_by_hand(matrix: np.ndarray, max_lag: int) -> float:
    """n / (1 + 2 sum rho_k), rho_k = 1 - D_k / (mean squared distance over all pairs), pairs while positive."""
    n = len(matrix)
    squared = matrix.astype(float) ** 2
    everything = squared.sum() / (n * (n - 1))
    rho = [1 - np.mean([squared[i, i + k] for i in range(n - k)]) / everything for k in range(1, max_lag + 1)]
    total = 0.0
    for i in range(0, len(rho) - 1, 2):
        if rho[i] + rho[i + 1] <= 0:
            break
        total += rho[i] + rho[i + 1]
    return n / (1 + 2 * total)


@pytest.mark.parametrize(("n", "max_lag", "seed"), [(80, 20, 4), (95, 100, 5)])
def test_pseudo_and_frechet_ess_equal_their_definitions(tmp_path: Path, n: int, max_lag: int, seed: int) -> None:
    # At most 100 trees: every tree is a focal tree, so the pseudo-ESS is not random.
    texts = mcmc_chain(n, 8, seed)
    report = converge([write_run(tmp_path / "run.nwk", texts)], burnin=0, max_lag=max_lag, suggest_burnin=False)
    matrix = brantoveil_tools.distances(texts, "rf").matrix
    per_focal = [viewer_ess_by_hand([float(v) for v in matrix[:, j]]) for j in range(n)]
    finite = [v for v in per_focal if np.isfinite(v)]
    run = report.runs[0]
    assert run.pseudo_ess_min == pytest.approx(min(finite), rel=1e-9)
    assert run.pseudo_ess == pytest.approx(float(np.median(finite)), rel=1e-9)
    assert run.frechet_ess == pytest.approx(frechet_ess_by_hand(matrix, min(max_lag, n - 1)), rel=1e-9)


@pytest.mark.parametrize("budget", [10**9, 0])
def test_mean_squared_distance_over_all_pairs(monkeypatch: pytest.MonkeyPatch, budget: int) -> None:
    # Exact from split co-occurrences (splits in every tree, repeats, rare splits); past the budget, a subsample.
    monkeypatch.setattr(trees, "PAIRWISE_BUDGET", budget)
    monkeypatch.setattr(trees, "PAIRWISE_TREES", 17)
    monkeypatch.setattr(trees, "PAIRWISE_BAND", 3)
    rng = random.Random(6)
    taxa = [f"t{i}" for i in range(9)]
    shapes = [f"({random_tree(taxa[:5], rng)[:-1]},t5,(t6,(t7,t8)));" for _ in range(10)]
    texts = [rng.choice(shapes) for _ in range(60)] + [random_tree(taxa, rng) for _ in range(5)]
    encoded = trees.encode_runs(from_newick(texts), rooted=False, lengths=False)
    run = np.arange(5, 65, dtype=np.int64)
    value, exact = trees.mean_squared_pairwise(encoded.native, encoded.presence, run)
    matrix = brantoveil_tools.distances(texts, "rf").matrix.astype(float)[5:, 5:]
    assert exact == (budget > 0)
    picked = np.arange(60) if exact else np.unique(np.linspace(0, 59, 17).round().astype(int))
    block = matrix[np.ix_(picked, picked)] ** 2
    assert value == pytest.approx(block.sum() / (len(picked) * (len(picked) - 1)), rel=1e-12)


def test_a_chain_that_never_decorrelates_gives_an_upper_bound(tmp_path: Path) -> None:
    # Five long stays on five trees: no lag up to 20 reaches 0.95 of the sill.
    rng = random.Random(8)
    texts = [tree for _ in range(5) for tree in [random_tree([f"t{i}" for i in range(10)], rng)] * 120]
    report = converge([write_run(tmp_path / "run.nwk", texts)], burnin=0, max_lag=20, suggest_burnin=False)
    assert report.runs[0].ess_upper_bound
    criterion = next(c for c in report.verdict.criteria if c.name == "approximate ESS")
    assert not criterion.passed and "upper bound" in criterion.note
    assert "<" in report.summary().splitlines()[1]
