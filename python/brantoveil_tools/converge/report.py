"""The convergence report of one or more MCMC runs: split frequencies and their spread, tree ESS, medoids,
traces and the distance figures, gathered in one frozen result."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from importlib import metadata
from typing import Any

import brantoveil
import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge import ess
from brantoveil_tools.converge.mds import tree_space
from brantoveil_tools.converge.medoid import mean_distances, medoid, newick_from_splits
from brantoveil_tools.converge.params import ParameterReport, parameters_for_runs
from brantoveil_tools.converge.splits import MAX_BATCH, SplitPresence, packed_sizes, scan_splits, side_taxa
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.sample import Sample, read_sample
from brantoveil_tools.selection import Selection

ASDSF_BAR = 0.01
ESS_BAR = 200.0
MATRIX_TREES = 1000
HEATMAP_TREES = 300
CHECKPOINTS = 50
QUANTILES = (0.0, 0.025, 0.25, 0.5, 0.75, 0.975, 1.0)
METRICS = ("rf", "kf")

PathLike = str | os.PathLike[str]


@dataclass(frozen=True)
class SplitTable:
    """Every non-trivial split seen, most frequent first.

    ``taxa[i]`` names split i by the taxa of its smaller side (the clade when rooted; the side without the
    first taxon when both sides are equal). ``frequencies[i, r]`` is its share of run r's trees,
    ``overall[i]`` its share of all trees and ``sd[i]`` the sample standard deviation (n - 1) of the run
    frequencies (NaN with one run). ``in_asdsf[i]``: whether it reaches the minimum frequency in some run.
    """

    taxa: tuple[tuple[str, ...], ...]
    frequencies: NDArray[np.float64]
    overall: NDArray[np.float64]
    sd: NDArray[np.float64]
    in_asdsf: NDArray[np.bool_]


@dataclass(frozen=True)
class RunReport:
    """One run's figures; ``trace`` is the Robinson-Foulds distance of each kept tree to the run's medoid."""

    label: str
    path: str
    trees: int
    approx_ess: float
    pseudo_ess: float
    medoid_name: str
    medoid_newick: str
    medoid_mean_distance: float
    generations: NDArray[np.int64]
    trace: NDArray[np.int64]


@dataclass(frozen=True)
class DistanceFigures:
    """Distances among an evenly spread subsample of at most MATRIX_TREES trees (``indices`` into the sample).

    ``coordinates`` is its two-dimensional picture of tree space (``method`` says how it was scaled).
    """

    metric: str
    indices: NDArray[np.int64]
    runs: NDArray[np.int64]
    matrix: NDArray[np.float64]
    coordinates: NDArray[np.float64]
    method: str

    def within(self) -> NDArray[np.float64]:
        """Distances between different trees of the same run."""
        upper = np.triu(np.ones(self.matrix.shape, dtype=bool), 1)
        within: NDArray[np.float64] = self.matrix[upper & (self.runs[:, None] == self.runs[None, :])]
        return within

    def between(self) -> NDArray[np.float64]:
        """Distances between trees of different runs."""
        between: NDArray[np.float64] = self.matrix[self.runs[:, None] < self.runs[None, :]]
        return between


@dataclass(frozen=True)
class ConvergenceReport:
    """Everything `converge` computes; `to_dict` gives the JSON form, `summary` the terminal table."""

    files: tuple[str, ...]
    taxa: tuple[str, ...]
    rooted: bool
    min_freq: float
    selection: Selection
    runs: tuple[RunReport, ...]
    splits: SplitTable
    asdsf: float | None
    max_sdsf: float | None
    asdsf_splits: int
    cumulative_trees: NDArray[np.int64]
    cumulative_asdsf: NDArray[np.float64]
    approx_ess: float
    pseudo_ess: float
    medoid_name: str
    medoid_newick: str
    medoid_mean_distance: float
    distances: DistanceFigures
    version: str
    parameters: ParameterReport | None = None

    @property
    def lowest_ess(self) -> float:
        """The lowest per-run ESS of either kind (NaN when none could be estimated)."""
        values = [v for run in self.runs for v in (run.approx_ess, run.pseudo_ess) if np.isfinite(v)]
        return min(values) if values else float("nan")

    def to_dict(self) -> dict[str, Any]:
        """The report as plain JSON-ready values (NaN becomes None)."""
        within, between = self.distances.within(), self.distances.between()
        shown = np.flatnonzero(self.splits.in_asdsf)
        result = {
            "version": self.version,
            "files": list(self.files),
            "taxa": list(self.taxa),
            "rooted": self.rooted,
            "selection": self.selection.to_dict(),
            "min_freq": self.min_freq,
            "asdsf": _number(self.asdsf),
            "max_sdsf": _number(self.max_sdsf),
            "asdsf_splits": self.asdsf_splits,
            "asdsf_verdict": verdict(self.asdsf),
            "approx_ess": _number(self.approx_ess),
            "pseudo_ess": _number(self.pseudo_ess),
            "lowest_ess": _number(self.lowest_ess),
            "medoid": {"tree": self.medoid_name, "newick": self.medoid_newick,
                       "mean_distance": self.medoid_mean_distance},
            "runs": [
                {
                    "label": run.label, "path": run.path, "trees": run.trees,
                    "approx_ess": _number(run.approx_ess), "pseudo_ess": _number(run.pseudo_ess),
                    "medoid": {"tree": run.medoid_name, "newick": run.medoid_newick,
                               "mean_distance": run.medoid_mean_distance},
                    "trace": {"generations": run.generations.tolist(),
                              "distance_to_medoid": run.trace.tolist()},
                }
                for run in self.runs
            ],
            "cumulative_asdsf": {"trees_per_run": self.cumulative_trees.tolist(),
                                 "asdsf": [_number(v) for v in self.cumulative_asdsf]},
            "distances": {
                "metric": self.distances.metric,
                "trees": len(self.distances.indices),
                "quantile_levels": list(QUANTILES),
                "within_runs": _quantiles(within),
                "between_runs": _quantiles(between),
            },
            "splits": [
                {"taxa": list(self.splits.taxa[i]),
                 "frequencies": [float(f) for f in self.splits.frequencies[i]],
                 "overall": float(self.splits.overall[i]), "sd": _number(float(self.splits.sd[i]))}
                for i in shown
            ],
        }
        if self.parameters is not None:
            result["parameters"] = self.parameters.to_dict()
        return result

    def summary(self) -> str:
        """A few lines for the terminal: one row per run, the ASDSF verdict and the lowest ESS."""
        width = max([len("run"), *(len(run.label) for run in self.runs)])
        lines = [f"{'run':<{width}}  {'trees':>7}  {'approx ESS':>10}  {'pseudo ESS':>10}"]
        for run in self.runs:
            lines.append(f"{run.label:<{width}}  {run.trees:>7}  "
                         f"{_ess(run.approx_ess):>10}  {_ess(run.pseudo_ess):>10}")
        if len(self.runs) > 1:
            lines.append(f"{'all':<{width}}  {sum(r.trees for r in self.runs):>7}  "
                         f"{_ess(self.approx_ess):>10}  {_ess(self.pseudo_ess):>10}")
        if self.asdsf is not None and self.max_sdsf is not None:
            lines.append(f"ASDSF {self.asdsf:.6f} (max {self.max_sdsf:.6f}) over {self.asdsf_splits} splits "
                         f"with frequency >= {self.min_freq:g} in some run: {verdict(self.asdsf)}")
        else:
            lines.append("ASDSF needs at least two runs")
        lowest = self.lowest_ess
        if np.isfinite(lowest):
            warning = f"  WARNING: below {ESS_BAR:.0f}" if lowest < ESS_BAR else ""
            lines.append(f"lowest ESS {lowest:.1f}{warning}")
        else:
            lines.append("lowest ESS: not estimable (too few trees, or they never differ)")
        return "\n".join(lines)


def verdict(asdsf: float | None) -> str:
    if asdsf is None:
        return "not available with one run"
    if asdsf < ASDSF_BAR:
        return f"below {ASDSF_BAR} (runs agree)"
    return f"not below {ASDSF_BAR} (runs disagree)"


def _number(value: float | None) -> float | None:
    return None if value is None or not np.isfinite(value) else float(value)


def _ess(value: float) -> str:
    return f"{value:.1f}" if np.isfinite(value) else "n/a"


def _quantiles(values: NDArray[np.float64]) -> dict[str, Any] | None:
    if len(values) == 0:
        return None
    return {"pairs": len(values), "mean": float(values.mean()),
            "quantiles": [float(q) for q in np.quantile(values, QUANTILES)]}


def sdsf(
    frequencies: NDArray[np.float64], min_freq: float
) -> tuple[float | None, float | None, NDArray[np.bool_]]:
    """ASDSF, maximum SDSF and which splits count: those reaching ``min_freq`` in at least one run."""
    counted = frequencies.max(axis=1, initial=0.0) >= min_freq
    if frequencies.shape[1] < 2:
        return None, None, counted
    if not counted.any():
        return 0.0, 0.0, counted
    spread = frequencies[counted].std(axis=1, ddof=1)
    return float(spread.mean()), float(spread.max()), counted


def converge(
    paths: PathLike | Sequence[PathLike] | Sample,
    burnin: float | int | str = 0.25,
    thin: int = 1,
    min_freq: float = 0.10,
    rooted: bool = False,
    metric: str = "rf",
    seed: int = ess.SEED,
    params: Sequence[PathLike] | None = None,
    no_params: bool = False,
) -> ConvergenceReport:
    """Convergence figures of MCMC runs, one tree file per run.

    Parameters
    ----------
    paths : path, sequence of paths, or Sample
        The runs' tree files (or an already selected sample).
    burnin, thin
        The selection of trees, as for every command: a fraction, a count or ``"gen:N"``.
    min_freq : float
        Splits reaching this frequency in at least one run enter the ASDSF.
    rooted : bool
        Compare clades instead of unrooted bipartitions.
    metric : {"rf", "kf"}
        Distance of the subsample matrix behind the tree-space picture, heatmap and distance quantiles.
        Frequencies, medoids, traces and ESS always use Robinson-Foulds distances from the splits.
    seed : int
        Seed of the random focal trees and pairs of the ESS estimates.
    params, no_params
        One parameter file per run (default: those beside the tree files, when there are any), or none.

    Returns
    -------
    ConvergenceReport
    """
    if metric not in METRICS:
        raise BrantoveilError(f"unknown metric {metric!r}: use rf or kf")
    if not 0.0 <= min_freq <= 1.0:
        raise BrantoveilError(f"--min-freq must lie in [0, 1], not {min_freq}")
    sample = paths if isinstance(paths, Sample) else read_sample(paths, burnin=burnin, thin=thin)
    parameters = parameters_for_runs([run.path for run in sample.selection.runs], params, no_params,
                                     sample.selection.burnin, sample.selection.thin)
    n_runs = len(sample.run_labels)
    run_sizes = [int(np.sum(sample.runs == r)) for r in range(n_runs)]
    if min(run_sizes) < 1:
        empty = sample.run_labels[run_sizes.index(min(run_sizes))]
        raise BrantoveilError(f"{empty}: no trees left after burn-in and thinning")
    lags = ess.LagProfile(n_runs, max_lag=MAX_BATCH - 1)
    presence = scan_splits(sample.newick(), run_sizes, sample.translate_maps, sample.map_indices, sample.taxa,
                           rooted=rooted, on_batch=lags.add)
    rng = np.random.default_rng(seed)

    members = [np.flatnonzero(sample.runs == r) for r in range(n_runs)]
    counts = np.zeros((presence.n_splits, n_runs), dtype=np.int64)
    for r, trees in enumerate(members):
        counts[:, r] = presence.counts(trees)
    frequencies = counts / np.asarray(run_sizes, dtype=np.float64)
    asdsf, max_sdsf, counted = sdsf(frequencies, min_freq)
    table = _split_table(presence, frequencies, counts.sum(axis=1) / len(sample), counted)

    runs = []
    for r, trees in enumerate(members):
        best, mean = medoid(presence, trees, trees)
        approx = ess.approximate_ess(lags.mean_squared(r), ess.independent_mean_squared(presence, trees, rng),
                                     len(trees))
        pseudo = ess.pseudo_ess(presence, trees, rng)
        runs.append(RunReport(
            label=sample.run_labels[r], path=sample.selection.runs[r].path, trees=len(trees),
            approx_ess=approx, pseudo_ess=pseudo, medoid_name=sample.names[best],
            medoid_newick=newick_from_splits(presence.sides[presence.splits_of(best)], sample.taxa),
            medoid_mean_distance=mean, generations=sample.generations[trees],
            trace=presence.distances_to(best)[trees]))
    everything = np.arange(len(sample), dtype=np.int64)
    best, mean = medoid(presence, everything, everything)
    cumulative_trees, cumulative = _cumulative_asdsf(presence, members, min_freq)
    return ConvergenceReport(
        files=tuple(sample.run_labels), taxa=tuple(sample.taxa), rooted=rooted, min_freq=min_freq,
        selection=sample.selection, runs=tuple(runs), splits=table, asdsf=asdsf, max_sdsf=max_sdsf,
        asdsf_splits=int(counted.sum()), cumulative_trees=cumulative_trees, cumulative_asdsf=cumulative,
        approx_ess=ess.combined([run.approx_ess for run in runs]),
        pseudo_ess=ess.combined([run.pseudo_ess for run in runs]),
        medoid_name=sample.names[best],
        medoid_newick=newick_from_splits(presence.sides[presence.splits_of(best)], sample.taxa),
        medoid_mean_distance=mean, distances=_distance_figures(sample, members, metric, rooted),
        version=_version(), parameters=parameters)


def _version() -> str:
    try:
        return metadata.version("brantoveil")
    except metadata.PackageNotFoundError:
        return "unknown"


def _split_table(presence: SplitPresence, frequencies: NDArray[np.float64], overall: NDArray[np.float64],
                 counted: NDArray[np.bool_]) -> SplitTable:
    n_taxa = len(presence.taxa)
    sizes = packed_sizes(presence.sides, n_taxa)
    spread = (frequencies.std(axis=1, ddof=1) if frequencies.shape[1] > 1
              else np.full(len(frequencies), np.nan))
    names = []
    for i in range(presence.n_splits):
        members = side_taxa(presence.sides[i], presence.taxa)
        if not presence.rooted and 2 * sizes[i] > n_taxa:
            chosen = set(members)
            members = [t for t in presence.taxa if t not in chosen]
        names.append(tuple(members))
    order = sorted(range(presence.n_splits), key=lambda i: (-overall[i], len(names[i]), names[i]))
    index = np.asarray(order, dtype=np.int64)
    return SplitTable(tuple(names[i] for i in order), frequencies[index], overall[index], spread[index],
                      counted[index])


def _cumulative_asdsf(presence: SplitPresence, members: Sequence[NDArray[np.int64]],
                      min_freq: float) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """ASDSF of the first k trees of every run, at up to CHECKPOINTS growing k."""
    shortest = min(len(m) for m in members)
    if len(members) < 2 or shortest < 1:
        return np.zeros(0, dtype=np.int64), np.zeros(0)
    steps = np.unique(np.linspace(1, shortest, min(CHECKPOINTS, shortest)).round().astype(np.int64))
    counts = np.zeros((presence.n_splits, len(members)))
    done = 0
    values = []
    for k in steps:
        for r, trees in enumerate(members):
            counts[:, r] += presence.counts(trees[done:k])
        done = int(k)
        value, _, _ = sdsf(counts / k, min_freq)
        values.append(value if value is not None else np.nan)
    return steps, np.asarray(values, dtype=np.float64)


def _spread_indices(members: Sequence[NDArray[np.int64]], total: int) -> NDArray[np.int64]:
    """At most ``total`` trees, each run's share in proportion to its size, evenly spaced within it."""
    n = sum(len(m) for m in members)
    picked = []
    for trees in members:
        share = len(trees) if n <= total else max(2, round(total * len(trees) / n))
        share = min(share, len(trees))
        picked.append(trees[np.unique(np.linspace(0, len(trees) - 1, share).round().astype(np.int64))])
    return np.sort(np.concatenate(picked))


def _distance_figures(sample: Sample, members: Sequence[NDArray[np.int64]], metric: str,
                      rooted: bool) -> DistanceFigures:
    indices = _spread_indices(members, MATRIX_TREES)
    if len(indices) < 2:
        return DistanceFigures(metric, indices, sample.runs[indices], np.zeros((len(indices),) * 2),
                               np.zeros((len(indices), 2)), "none")
    sub = sample.subset(indices)
    engine = (brantoveil.pairwise_rf_from_newick_iter if metric == "rf"
              else brantoveil.pairwise_kf_from_newick_iter)
    try:
        _, raw = engine(list(sub.names), sub.newick(), list(sub.translate_maps),
                        [int(i) for i in sub.map_indices], rooted=rooted)
    except ValueError as error:
        raise BrantoveilError(f"distance matrix of the subsample: {error}") from None
    # Robinson-Foulds comes as little-endian u32 bytes, branch score as a list of floats; both row-major.
    flat = np.frombuffer(raw, dtype=np.dtype("<u4")) if isinstance(raw, bytes) else np.asarray(raw)
    matrix = flat.astype(np.float64).reshape(len(indices), len(indices))
    coordinates, method = tree_space(matrix)
    return DistanceFigures(metric, indices, sample.runs[indices], matrix, coordinates, method)


__all__ = ["ConvergenceReport", "DistanceFigures", "RunReport", "SplitTable", "converge", "mean_distances"]
