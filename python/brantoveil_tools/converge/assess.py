"""Every tree criterion of one selection of the runs, judged: the figures behind the verdict, computed so they
can be computed again cheaply for other burn-ins (the lag distances of a chain are kept between calls)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge import ess
from brantoveil_tools.converge.split_ess import (
    DEFAULT_PRECISION,
    in_band,
    minimum_ess,
    pair_tests,
    split_ess,
    tested,
)
from brantoveil_tools.converge.trees import AllPairs, EncodedRuns, all_pairs, lag_distances
from brantoveil_tools.converge.verdict import Criterion, Verdict
from brantoveil_tools.errors import BrantoveilError

# The MrBayes manual: an ASDSF below 0.01 is a very good sign of convergence, 0.01 to 0.05 may be adequate.
ASDSF_BAR = 0.01
MAX_SDSF_BAR = 0.05
DEFAULT_MIN_ESS = 625.0

LagCache = dict[tuple[int, int, int], NDArray[np.float32]]


@dataclass(frozen=True)
class Settings:
    """The thresholds and sizes the criteria use."""

    max_lag: int = ess.DEFAULT_MAX_LAG
    min_ess: float = DEFAULT_MIN_ESS
    precision: float = DEFAULT_PRECISION
    min_freq: float = 0.10

    @classmethod
    def checked(cls, max_lag: int, min_ess: float, precision: float, min_freq: float) -> Settings:
        """Settings after one-line errors for values that make no sense."""
        if isinstance(max_lag, bool) or not isinstance(max_lag, int) or max_lag < 1:
            raise BrantoveilError(f"max_lag must be a whole number of at least 1, not {max_lag!r}")
        if not (isinstance(min_ess, int | float) and math.isfinite(min_ess) and min_ess > 0):
            raise BrantoveilError(f"min_ess must be a positive number, not {min_ess!r}")
        minimum_ess(precision)
        return cls(max_lag, float(min_ess), float(precision), float(min_freq))

    @property
    def split_ess(self) -> float:
        """The ESS every tested split needs in every run: (1 / (4 precision))^2."""
        return minimum_ess(self.precision)

    def to_dict(self) -> dict[str, Any]:
        return {"max_lag": self.max_lag, "min_ess": self.min_ess, "precision": self.precision,
                "min_split_ess": self.split_ess}


@dataclass(frozen=True)
class RunFigures:
    """One run's tree ESS: approximate, pseudo (minimum and median), Frechet-correlation, and D_k.

    ``all_pairs_trees`` is how many trees the pseudo- and Frechet-correlation ESS were computed on (fewer
    than ``trees`` when the run was thinned for them); ``identical``: the trees never differ.
    """

    approximate: ess.ApproximateESS
    pseudo_min: float
    pseudo_median: float
    frechet: float
    lag_profile: NDArray[np.float64]
    trees: int
    all_pairs_trees: int = 0
    identical: bool = False


@dataclass(frozen=True)
class Assessment:
    """The figures of one selection (split numbers as in the encoded presence) and the verdict on them."""

    frequencies: NDArray[np.float64]
    overall: NDArray[np.float64]
    asdsf: float | None
    max_sdsf: float | None
    counted: NDArray[np.bool_]
    tested: NDArray[np.bool_]
    split_ess: NDArray[np.float64]
    thresholds: NDArray[np.float64]
    passes: NDArray[np.bool_]
    runs: tuple[RunFigures, ...]
    verdict: Verdict


def sdsf(
    frequencies: NDArray[np.float64], min_freq: float
) -> tuple[float | None, float | None, NDArray[np.bool_]]:
    """ASDSF, maximum SDSF and which splits count: those reaching ``min_freq`` in at least one run (NaN when
    none does: there is no split to compare)."""
    counted = frequencies.max(axis=1, initial=0.0) >= min_freq
    if frequencies.shape[1] < 2:
        return None, None, counted
    if not counted.any():
        return float("nan"), float("nan"), counted
    spread = frequencies[counted].std(axis=1, ddof=1)
    return float(spread.mean()), float(spread.max()), counted


def assess(encoded: EncodedRuns, members: Sequence[NDArray[np.int64]], settings: Settings,
           labels: Sequence[str], rng: np.random.Generator, lag_cache: LagCache | None = None) -> Assessment:
    """Every tree criterion for the runs' trees ``members[r]`` (indices into the encoded sample, in order)."""
    presence = encoded.presence
    sizes = np.asarray([len(m) for m in members], dtype=np.float64)
    counts = np.stack([presence.counts(trees) for trees in members], axis=1)
    frequencies = counts / sizes
    overall = counts.sum(axis=1) / sizes.sum()
    asdsf, max_sdsf, counted = sdsf(frequencies, settings.min_freq)
    chosen = tested(frequencies)
    split_numbers = np.flatnonzero(chosen)
    banded = np.flatnonzero(in_band(frequencies))
    per_split = np.full((presence.n_splits, len(members)), np.nan)
    per_split[banded] = split_ess(presence, list(members), banded)
    n_pairs = len(members) * (len(members) - 1) // 2
    thresholds = np.full((presence.n_splits, n_pairs), np.nan)
    passes = np.ones((presence.n_splits, n_pairs), dtype=bool)
    thresholds[split_numbers], passes[split_numbers] = pair_tests(frequencies, split_numbers, settings.split_ess)
    runs = tuple(_run_figures(encoded, trees, settings, rng, lag_cache) for trees in members)
    criteria = _criteria(asdsf, max_sdsf, presence.n_splits == 0, runs, per_split[banded], passes[split_numbers],
                         settings, list(labels))
    return Assessment(frequencies, overall, asdsf, max_sdsf, counted, chosen, per_split, thresholds, passes,
                      runs, Verdict(tuple(criteria)))


def _run_figures(encoded: EncodedRuns, trees: NDArray[np.int64], settings: Settings,
                 rng: np.random.Generator, lag_cache: LagCache | None) -> RunFigures:
    n = len(trees)
    max_lag = min(settings.max_lag, max(n - 1, 1))
    profile = ess.mean_squared_by_lag(_lags(encoded, trees, max_lag, lag_cache))
    approximate = ess.approximate_ess(profile, n)
    pairs: AllPairs = all_pairs(encoded.native, trees)
    pseudo_min, pseudo_median = ess.pseudo_ess(pairs.focal_ess)
    frechet = ess.frechet_ess(pairs.lag_sums, pairs.suffix_pairs, pairs.prefix_pairs)
    identical = n >= 2 and not float(np.nanmax(profile, initial=0.0)) > 0.0
    return RunFigures(approximate, pseudo_min, pseudo_median, frechet, profile, n, len(pairs.trees), identical)


def _lags(encoded: EncodedRuns, trees: NDArray[np.int64], max_lag: int, cache: LagCache | None
          ) -> NDArray[np.float32]:
    """The n x K lag distances of a chain; a chain that is the tail of one already computed reuses its rows."""
    if len(trees) < 2:
        return np.full((len(trees), max_lag), np.nan, dtype=np.float32)
    step = int(trees[1] - trees[0])
    regular = bool(np.all(np.diff(trees) == step))
    if cache is None or not regular:
        return lag_distances(encoded.native, trees, max_lag)
    last = int(trees[-1])
    for (first, stride, end), rows in cache.items():
        if stride == step and end == last and first <= int(trees[0]) and (int(trees[0]) - first) % step == 0 \
                and rows.shape[1] >= max_lag:
            return rows[(int(trees[0]) - first) // step :, :max_lag]
    rows = lag_distances(encoded.native, trees, max_lag)
    cache[(int(trees[0]), step, last)] = rows
    return rows


def prepare_lags(encoded: EncodedRuns, chains: Sequence[NDArray[np.int64]], max_lag: int, cache: LagCache) -> None:
    """Computes the lag distances of whole chains once, so every later tail of them reads its rows."""
    for chain in chains:
        if len(chain) >= 2:
            _lags(encoded, chain, min(max_lag, len(chain) - 1), cache)


def _failing(values: Sequence[float], labels: Sequence[str], threshold: float, runs: Sequence[RunFigures],
             upper_bounds: Sequence[bool] = ()) -> list[str]:
    """Runs below the threshold, with an upper bound only, or without an estimate (too few trees); a run whose
    trees never differ has nothing left to mix and passes."""
    bounds = list(upper_bounds) or [False] * len(values)
    return [label for label, value, bound, run in zip(labels, values, bounds, runs, strict=True)
            if not run.identical and (not math.isfinite(value) or value < threshold or bound)]


def _criteria(asdsf: float | None, max_sdsf: float | None, no_splits: bool, runs: Sequence[RunFigures],
              split_values: NDArray[np.float64], split_passes: NDArray[np.bool_], settings: Settings,
              labels: list[str]) -> list[Criterion]:
    criteria = []
    if asdsf is not None and max_sdsf is not None:
        note = "0.01 to 0.05 may be adequate" if ASDSF_BAR < asdsf <= MAX_SDSF_BAR else ""
        if math.isnan(asdsf):
            # Nothing to compare passes only when the trees hold no split at all (one star-like topology).
            note = ("no split to compare: the trees hold no non-trivial split" if no_splits else
                    f"no split to compare: none reaches --min-freq {settings.min_freq:g} in any run")
        criteria.append(Criterion.judge("ASDSF", asdsf, ASDSF_BAR, "at most", note=note, nan_passes=no_splits))
        criteria.append(Criterion.judge("max SDSF", max_sdsf, MAX_SDSF_BAR, "at most", nan_passes=no_splits))
    tree_measures: list[tuple[str, list[float], list[bool]]] = [
        ("approximate ESS", [run.approximate.value for run in runs], [run.approximate.upper_bound for run in runs]),
        ("pseudo-ESS (minimum)", [run.pseudo_min for run in runs], []),
        ("pseudo-ESS (median)", [run.pseudo_median for run in runs], []),
        ("Frechet-correlation ESS", [run.frechet for run in runs], []),
    ]
    for name, values, bounds in tree_measures:
        finite = [v for v in values if math.isfinite(v)]
        failing = _failing(values, labels, settings.min_ess, runs, bounds)
        value = min(finite) if finite else float("nan")
        notes = []
        if any(run.trees < 3 for run in runs):
            notes.append("fewer than 3 trees in a run")
        elif any(not run.identical and not math.isfinite(v) for run, v in zip(runs, values, strict=True)):
            notes.append("too few trees in a run to estimate it")
        elif not finite or all(run.identical for run in runs):
            notes.append("the trees never differ")
        if any(bounds):
            notes.append(f"an upper bound where no lag up to {settings.max_lag} decorrelates: raise max_lag")
        if name != "approximate ESS" and any(run.all_pairs_trees < run.trees for run in runs):
            notes.append("on evenly spaced trees of runs longer than the all-pairs limit")
        criteria.append(Criterion(name, value, settings.min_ess, "at least", not failing, "trees",
                                  tuple(failing), "; ".join(notes)))
    finite_split = split_values[np.isfinite(split_values)]
    low_runs = [labels[r] for r in range(len(labels))
                if np.any(split_values[:, r][np.isfinite(split_values[:, r])] < settings.split_ess)]
    criteria.append(Criterion(
        "split ESS", float(finite_split.min()) if finite_split.size else float("nan"), settings.split_ess,
        "at least", not low_runs, "trees", tuple(low_runs),
        f"lowest over {split_values.shape[0]} splits within [0.025, 0.975] in some run"
        if split_values.shape[0] else "no split within [0.025, 0.975] in any run"))
    if len(labels) > 1:
        pairs = [f"{a} / {b}" for i, a in enumerate(labels) for b in labels[i + 1 :]]
        failed = (~split_passes).sum(axis=0) if split_passes.size else np.zeros(len(pairs), dtype=np.int64)
        criteria.append(Criterion(
            "split-frequency differences", float(failed.sum()), 0.0, "at most", not failed.any(), "trees",
            tuple(pair for pair, count in zip(pairs, failed, strict=True) if count),
            f"splits whose frequencies differ more than the 95% binomial band at ESS {settings.split_ess:g}"))
    return criteria
