"""The parts of a convergence report: the split table, one run's figures, tree-space distances, split
courses and the burn-in suggestion, each a frozen value."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

BURNIN_CANDIDATES = (0.1, 0.2, 0.3, 0.4, 0.5)
"""The burn-in fractions the suggestion judges."""


@dataclass(frozen=True)
class SplitTable:
    """Every non-trivial split seen, most frequent first.

    ``taxa[i]`` names split i by the taxa of its smaller side (the clade when rooted; the side without the
    first taxon when both sides are equal). ``frequencies[i, r]`` is its share of run r's trees,
    ``overall[i]`` its share of all trees and ``sd[i]`` the sample standard deviation (n - 1) of the run
    frequencies (NaN with one run). ``in_asdsf[i]``: whether it reaches the minimum frequency in some run.

    ``tested[i]``: whether the split ESS and the split-frequency test consider it (within [0.025, 0.975] in
    some run). ``ess[i, r]``: the trace ESS of its presence in run r (NaN when untested or constant there).
    ``threshold[i, p]`` and ``passes[i, p]``: the test's largest expected difference and its outcome for the
    p-th pair of runs (``ConvergenceReport.pairs``); NaN and True when untested.
    """

    taxa: tuple[tuple[str, ...], ...]
    frequencies: NDArray[np.float64]
    overall: NDArray[np.float64]
    sd: NDArray[np.float64]
    in_asdsf: NDArray[np.bool_]
    tested: NDArray[np.bool_]
    ess: NDArray[np.float64]
    threshold: NDArray[np.float64]
    passes: NDArray[np.bool_]


@dataclass(frozen=True)
class RunReport:
    """One run's figures; ``trace`` is the Robinson-Foulds distance of each kept tree to the run's medoid.

    ``approx_ess`` is an upper bound when ``ess_upper_bound`` (no lag up to the largest reached 0.95 of the
    fitted sill); ``pseudo_ess`` is the median pseudo-ESS, ``pseudo_ess_min`` the minimum over focal trees.
    ``lag_profile[k - 1]`` is D_k, the mean squared distance between trees k apart, and ``semivariogram``
    the fitted (a, b) of D_k ~ a (1 - exp(-k / b)).
    """

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
    ess_upper_bound: bool = False
    pseudo_ess_min: float = float("nan")
    frechet_ess: float = float("nan")
    frechet_upper_bound: bool = False
    all_pairs_trees: int = 0
    lag_profile: NDArray[np.float64] = field(default_factory=lambda: np.zeros(0))
    semivariogram: tuple[float, float] = (float("nan"), float("nan"))


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
class SplitCourses:
    """How the frequencies of the splits of largest SDSF moved along the runs.

    ``splits`` are rows of the split table; at each of ``checkpoints`` (trees per run),
    ``cumulative[i, r, c]`` is split i's frequency among run r's first trees and ``sliding[i, r, c]`` among
    its last ``window`` trees up to there (NaN before a full window).
    """

    splits: NDArray[np.int64]
    checkpoints: NDArray[np.int64]
    window: int
    cumulative: NDArray[np.float64]
    sliding: NDArray[np.float64]


@dataclass(frozen=True)
class BurninSuggestion:
    """The smallest burn-in of the candidates after which every criterion passes (None: none does).

    ``checked`` holds, per candidate fraction, the names of the criteria that still fail. Reported only:
    the report itself uses the burn-in it was given.
    """

    fraction: float | None
    checked: tuple[tuple[float, tuple[str, ...]], ...]

    def to_dict(self) -> dict[str, Any]:
        return {"fraction": self.fraction, "applied": False,
                "checked": [{"burnin": fraction, "passed": not failed, "failed": list(failed)}
                            for fraction, failed in self.checked]}

    def describe(self) -> str:
        candidates = ", ".join(f"{f:g}" for f in BURNIN_CANDIDATES)
        if self.fraction is not None:
            return (f"suggested burn-in: {self.fraction:g}, the smallest of {candidates} after which every "
                    "criterion passes (not applied)")
        return f"no burn-in of {candidates} makes every criterion pass"

