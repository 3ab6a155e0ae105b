"""Effective sample size of a chain of trees, from tree distances (Lanfear, Hua and Warren 2016, GBE 8:2319).

Both estimates reduce the chain to autocorrelations rho_k and use the usual ESS = n / (1 + 2 sum rho_k),
the sum cut by Geyer's initial positive sequence (pairs rho_2m + rho_2m+1 are added while positive) and
the result capped at n.

Approximate ESS. For a scalar, E[(x_t - x_t+k)^2] = 2 var (1 - rho_k). With trees, D_k is the mean
squared Robinson-Foulds distance between trees k samples apart and D_inf the mean squared distance
between trees drawn independently from the run (estimated from random pairs), so rho_k = 1 - D_k / D_inf.
D_k comes from the engine's matrices of consecutive trees that the split scan computes anyway, so it covers
the lags below the scan's batch size (pairs straddling two batches are left out, which only thins them).

Pseudo-ESS. The trace of Robinson-Foulds distances from every tree to a focal tree is a scalar chain; its
ordinary ESS is computed for FOCAL_TREES focal trees drawn at random from the run, and the median is
reported.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge.splits import SplitPresence

FOCAL_TREES = 20
ASYMPTOTE_PAIRS = 5000
SEED = 20160815


def ess_from_autocorrelation(rho: NDArray[np.float64], n: int) -> float:
    """ESS of a chain of n samples whose autocorrelation at lag k is ``rho[k]`` (rho[0] == 1)."""
    if n < 2:
        return float("nan")
    tau = -1.0
    for m in range(0, (len(rho) - 1) // 2 + 1):
        pair = float(rho[2 * m]) + (float(rho[2 * m + 1]) if 2 * m + 1 < len(rho) else 0.0)
        if pair <= 0.0:
            break
        tau += 2.0 * pair
    return float(min(n, n / max(tau, 1e-12)))


VIEWER_MAX_LAG = 2000


def autocovariances(traces: NDArray[np.float64], max_lag: int) -> NDArray[np.float64]:
    """gamma_k for k = 0 .. max_lag of every column: sums of products of deviations from the column's mean,
    divided by n - k (n for k = 0), from one FFT per column."""
    values = np.asarray(traces, dtype=np.float64)
    n = values.shape[0]
    centred = values - values.mean(axis=0)
    size = 1 << int(2 * n - 1).bit_length()
    spectrum = np.fft.rfft(centred, size, axis=0)
    products = np.fft.irfft(spectrum * np.conj(spectrum), size, axis=0)[: max_lag + 1]
    divisors = (n - np.arange(max_lag + 1, dtype=np.float64)).reshape((-1,) + (1,) * (values.ndim - 1))
    divisors[0] = n
    gamma: NDArray[np.float64] = products / divisors
    return gamma


def trace_ess_viewer(trace: NDArray[np.floating[Any]] | NDArray[np.integer[Any]] | NDArray[np.bool_]
                     ) -> NDArray[np.float64] | float:
    """The ESS that MCMC trace viewers print, of one trace (1-D) or of every column of a 2-D array.

    gamma_k is the autocovariance at lag k (sum of products of deviations from the mean over the n - k
    pairs, divided by n - k; gamma_0 divides by n). Pairs gamma_(2i-1) + gamma_(2i), i = 1, 2, ..., are
    summed while each pair is positive and both its lags are at most min(n - 1, 2000); then
    ESS = n gamma_0 / (gamma_0 + 2 sum). NaN for a trace that never varies (or holds fewer than 2 values).
    """
    values = np.asarray(trace, dtype=np.float64)
    single = values.ndim == 1
    columns = values.reshape(len(values), -1)
    n = columns.shape[0]
    out = np.full(columns.shape[1], np.nan)
    if n >= 2 and columns.shape[1]:
        max_lag = min(n - 1, VIEWER_MAX_LAG)
        gamma = autocovariances(columns, max_lag)
        pairs = max_lag // 2
        summed = gamma[1 : 2 * pairs : 2] + gamma[2 : 2 * pairs + 1 : 2]
        # A pair counts while it and every pair before it are positive.
        running = np.cumprod(summed > 0.0, axis=0).astype(bool)
        total = np.where(running, summed, 0.0).sum(axis=0)
        varies = gamma[0] > 0.0
        out[varies] = n * gamma[0][varies] / (gamma[0][varies] + 2.0 * total[varies])
    return float(out[0]) if single else out


def trace_ess(trace: NDArray[np.float64] | NDArray[np.int64]) -> float:
    """Ordinary ESS of a scalar trace; NaN when it never varies."""
    values = np.asarray(trace, dtype=np.float64)
    n = len(values)
    if n < 3:
        return float("nan")
    centred = values - values.mean()
    size = 1 << int(2 * n - 1).bit_length()
    spectrum = np.fft.rfft(centred, size)
    autocovariance = np.fft.irfft(spectrum * np.conj(spectrum), size)[:n] / n
    if autocovariance[0] <= 0.0:
        return float("nan")
    return ess_from_autocorrelation(autocovariance / autocovariance[0], n)


class LagProfile:
    """Sums of squared distances between trees k apart, per run, from consecutive-tree matrices."""

    def __init__(self, runs: int, max_lag: int) -> None:
        self.max_lag = max_lag
        self.sums = np.zeros((runs, max_lag + 1), dtype=np.float64)
        self.pairs = np.zeros((runs, max_lag + 1), dtype=np.int64)

    def add(self, run: int, matrix: NDArray[np.uint32]) -> None:
        """Adds the lags of one matrix of consecutive trees of one run."""
        count = matrix.shape[0]
        for lag in range(1, min(count, self.max_lag + 1)):
            diagonal = np.diagonal(matrix, lag).astype(np.float64)
            self.sums[run, lag] += float(diagonal @ diagonal)
            self.pairs[run, lag] += count - lag

    def mean_squared(self, run: int) -> NDArray[np.float64]:
        """D_k for k = 0 .. the longest lag seen (D_0 = 0)."""
        seen = np.flatnonzero(self.pairs[run] > 0)
        last = int(seen[-1]) if len(seen) else 0
        pairs = np.maximum(self.pairs[run, : last + 1], 1)
        return self.sums[run, : last + 1] / pairs


def independent_mean_squared(
    presence: SplitPresence, trees: NDArray[np.int64], rng: np.random.Generator
) -> float:
    """Mean squared distance between two different trees drawn at random from ``trees``."""
    n = len(trees)
    if n < 2:
        return 0.0
    if n * (n - 1) // 2 <= ASYMPTOTE_PAIRS:
        first, second = np.triu_indices(n, 1)
    else:
        first = rng.integers(0, n, ASYMPTOTE_PAIRS)
        second = (first + rng.integers(1, n, ASYMPTOTE_PAIRS)) % n
    distances = presence.pair_distances(trees[first], trees[second]).astype(np.float64)
    return float(np.mean(distances**2))


def approximate_ess(mean_squared_by_lag: NDArray[np.float64], asymptote: float, n: int) -> float:
    """Approximate ESS from D_k (index k) and D_inf; NaN when the trees never differ."""
    if n < 3 or asymptote <= 0.0:
        return float("nan")
    rho = 1.0 - mean_squared_by_lag / asymptote
    rho[0] = 1.0
    return ess_from_autocorrelation(rho, n)


def pseudo_ess(
    presence: SplitPresence,
    trees: NDArray[np.int64],
    rng: np.random.Generator,
    focal_trees: int = FOCAL_TREES,
) -> float:
    """Median over random focal trees of the ESS of the distance trace to the focal tree."""
    if len(trees) < 3:
        return float("nan")
    focal = rng.choice(trees, size=min(focal_trees, len(trees)), replace=False)
    run_rows = presence.subset(trees)
    position = {int(t): i for i, t in enumerate(trees)}
    values = [trace_ess(run_rows.distances_to(position[int(f)])) for f in focal]
    finite = [v for v in values if np.isfinite(v)]
    return float(np.median(finite)) if finite else float("nan")


def combined(values: Sequence[float]) -> float:
    """ESS of independent runs together: the sum, NaN when any run has none."""
    return float(sum(values)) if all(np.isfinite(v) for v in values) and values else float("nan")
