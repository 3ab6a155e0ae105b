"""Tree and trace ESS estimators against independent implementations written here from their definitions."""

from __future__ import annotations

import random
import shutil
import subprocess
from pathlib import Path

import brantoveil_tools
import numpy as np
import pytest
from brantoveil_tools.converge import converge, trees
from brantoveil_tools.converge.ess import trace_ess_viewer
from brantoveil_tools.sample import from_newick, read_sample
from scipy.optimize import curve_fit
from treefiles import random_tree

DATA = Path(__file__).resolve().parents[1] / "data"
RSCRIPT = shutil.which("Rscript")  # R with coda: the reference of the pseudo-ESS


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
    report = converge([write_run(tmp_path / "run.nwk", texts)], burnin=0, max_lag=max_lag, suggest_burnin=False,
                      rooted=False)
    distances = brantoveil_tools.distances(texts, "rf").matrix
    expected = approximate_ess_by_hand(distances, min(max_lag, n - 1))
    assert report.runs[0].approx_ess == pytest.approx(expected, rel=1e-6)
    # D_k as the report keeps it: every pair at each lag.
    profile = report.runs[0].lag_profile
    assert profile[0] == pytest.approx(np.mean(np.diagonal(distances, 1).astype(float) ** 2), rel=1e-12)


def lazy_chain(n: int, stay: float, seed: int) -> list[str]:
    """Keeps its tree with probability ``stay``, else draws a new one: ESS about n (1 - stay) / (1 + stay)."""
    rng = random.Random(seed)
    taxa = [f"t{i:02d}" for i in range(20)]
    current, texts = random_tree(taxa, rng), []
    for _ in range(n):
        if rng.random() >= stay:
            current = random_tree(taxa, rng)
        texts.append(current)
    return texts


@pytest.mark.parametrize("stay", [0.5, 0.9])
def test_every_tree_ess_measure_on_chains_of_known_ess(stay: float) -> None:
    truth = 5000 * (1 - stay) / (1 + stay)
    run = converge(from_newick(lazy_chain(5000, stay, 1)), burnin=0, suggest_burnin=False).runs[0]
    for value in (run.approx_ess, run.pseudo_ess, run.frechet_ess):
        assert value == pytest.approx(truth, rel=0.15)
    # The minimum over all 5000 focal trees is the conservative one, well below the truth but not absurdly.
    assert 0.15 * truth < run.pseudo_ess_min < run.pseudo_ess
    assert not run.ess_upper_bound


@pytest.mark.parametrize(("stay", "close"), [(0.9, True), (0.5, False)])
def test_thinned_all_pairs_measures_stay_within_their_stated_error(monkeypatch: pytest.MonkeyPatch, stay: float,
                                                                   close: bool) -> None:
    # Frechet and median pseudo-ESS within 10% of the whole run's while that is below a quarter of the thinned
    # count; above it, lower (the minimum pseudo-ESS is over other focal trees: no bound is claimed).
    sample = from_newick(lazy_chain(4000, stay, 2))
    whole = converge(sample, burnin=0, suggest_burnin=False).runs[0]
    monkeypatch.setattr(trees, "ALL_PAIRS_TREES", 2000)
    thinned = converge(sample, burnin=0, suggest_burnin=False)
    run = thinned.runs[0]
    assert (run.all_pairs_trees, whole.all_pairs_trees) == (2000, 4000)
    assert run.approx_ess == whole.approx_ess
    for ours, full in ((run.frechet_ess, whole.frechet_ess), (run.pseudo_ess, whole.pseudo_ess)):
        assert (full < 500) == close
        assert ours == pytest.approx(full, rel=0.10) if close else ours <= full * 1.02
    assert "evenly spaced" in next(c.note for c in thinned.verdict.criteria if c.name.startswith("Frechet"))


ALL_SITES = [DATA / f"primates_all_sites.run{r}.t.gz" for r in (1, 2)]


@pytest.mark.skipif(not ALL_SITES[0].exists(), reason="tests/data/primates_all_sites.sh has not been run")
def test_a_posterior_of_almost_one_tree_keeps_its_ess() -> None:
    report = converge(ALL_SITES, suggest_burnin=False)
    assert [run.trees for run in report.runs] == [7501, 7501]
    for run in report.runs:
        assert run.approx_ess > 2000 and not run.ess_upper_bound
    ess_criteria = [c for c in report.verdict.criteria if "ESS" in c.name and c.name != "split ESS"]
    assert len(ess_criteria) == 4 and all(c.passed for c in ess_criteria)


def frechet_ess_by_hand(matrix: np.ndarray) -> float:
    """The published Frechet-correlation ESS on a full distance matrix, each mean from its own block."""
    n = len(matrix)
    squared = matrix.astype(float) ** 2
    if squared.max() == 0:
        return 1.0

    def half_mean(first: int, last: int) -> float:  # half the mean over the pairs of trees first..last (0-based)
        size = last - first + 1
        pairs = size * (size - 1) / 2  # the block holds each pair twice
        return float(squared[first : last + 1, first : last + 1].sum()) / 2 / pairs / 2

    rho = []
    for k in range(1, n - 5):
        v1, v2 = half_mean(k, n - 1), half_mean(0, n - 1 - k)
        d = sum(squared[t, t + k] for t in range(n - k)) / (n - k)
        rho.append(1.0 if v1 == 0 or v2 == 0 else (v1 + v2 - d) / (2 * (v1 * v2) ** 0.5))
    sums, previous = [], float("inf")
    for m in range(0, len(rho) + 1, 2):
        pair = (1.0 if m == 0 else rho[m - 1]) + (rho[m] if m < len(rho) else 0.0)
        if m + 1 > len(rho) or pair < 0:
            break
        previous = min(pair, previous)
        sums.append(previous)
    tau = -1 + 2 * sum(sums)
    return n / (tau if tau > 0 else 1.0)


def coda_ess(matrix: np.ndarray, folder: Path) -> np.ndarray:
    """R's coda::effectiveSize of every column."""
    data = folder / "columns.txt"
    np.savetxt(data, matrix.astype(float))
    done = subprocess.run([str(RSCRIPT), "-e", f"library(coda); x <- as.matrix(read.table('{data}')); "
                           "cat(format(effectiveSize(x), digits = 17))"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return np.asarray([float(v) for v in done.stdout.split()])


PRIMATES = [Path(__file__).resolve().parents[2] / "examples" / f"primates.run{r}.t" for r in (1, 2)]


BEAST2_RUNS = [Path(__file__).resolve().parents[2] / "examples" / "beast2" / f"relaxed.seed{r}.trees.gz"
               for r in (1, 2)]


@pytest.mark.parametrize("chain", ["mcmc 80", "mcmc 120", "lazy 300", "primates", "beast2"])
def test_pseudo_and_frechet_ess_equal_their_definitions(tmp_path: Path, chain: str) -> None:
    if chain in ("primates", "beast2"):  # the example runs, every run of them
        files, rooted = (PRIMATES, False) if chain == "primates" else (BEAST2_RUNS, True)
        report = converge(files, suggest_burnin=False, no_params=True)
        assert report.rooted == rooted
        matrices = [brantoveil_tools.distances(read_sample(f, burnin=0.25), "rf", rooted=rooted).matrix
                    for f in files]
    else:
        kind, size = chain.split()
        texts = mcmc_chain(int(size), 8, 5) if kind == "mcmc" else lazy_chain(int(size), 0.8, 3)
        report = converge([write_run(tmp_path / "run.nwk", texts)], burnin=0, suggest_burnin=False, rooted=False)
        matrices = [brantoveil_tools.distances(texts, "rf").matrix]
    for run, matrix in zip(report.runs, matrices, strict=True):
        assert run.frechet_ess == pytest.approx(frechet_ess_by_hand(matrix), rel=1e-6)
        if RSCRIPT is not None:
            per_focal = coda_ess(matrix, tmp_path)
            assert run.pseudo_ess_min == pytest.approx(per_focal.min(), rel=1e-6)
            assert run.pseudo_ess == pytest.approx(float(np.median(per_focal)), rel=1e-6)


def test_a_chain_of_one_tree_has_frechet_ess_one_and_passes(tmp_path: Path) -> None:
    report = converge([write_run(tmp_path / "run.nwk", ["((a,b),(c,d),e);"] * 40)], burnin=0, suggest_burnin=False)
    assert report.runs[0].frechet_ess == 1.0
    assert all(c.passed for c in report.verdict.criteria if "ESS" in c.name)


def test_a_chain_that_never_decorrelates_gives_an_upper_bound(tmp_path: Path) -> None:
    # Five long stays on five trees: no lag up to 20 reaches 0.95 of the sill.
    rng = random.Random(8)
    texts = [tree for _ in range(5) for tree in [random_tree([f"t{i}" for i in range(10)], rng)] * 120]
    report = converge([write_run(tmp_path / "run.nwk", texts)], burnin=0, max_lag=20, suggest_burnin=False)
    assert report.runs[0].ess_upper_bound
    criterion = next(c for c in report.verdict.criteria if c.name == "approximate ESS")
    assert not criterion.passed and "upper bound" in criterion.note
    assert "<" in report.summary().splitlines()[1]
