"""Effective sample sizes of a chain of trees and of scalar traces.

Trace ESS, as trace viewers compute it (`trace_ess_viewer`), serves split presence traces, distance traces
and parameter traces alike.

Tree ESS, three ways, each from Robinson-Foulds distances:

Approximate ESS (Lanfear, Hua and Warren 2016, Genome Biol. Evol. 8:2319), their reference procedure with
every pair at each lag: D_k is the mean squared distance between trees k apart (k = 1 .. K); the
semivariogram D_k ~ a (1 - exp(-k / b)) is fitted by least squares; the autocorrelation time m is the first
k with D_k / a > 0.95 (none: m = K + 1, and the ESS is only an upper bound); with D = max D_k,
S = [sum_{k=1}^{m-1} (N - k) D_k + (N - m + 1)(N - m) D / 2] / (2 N^2) and ESS = 1 / (1 - 4 S / D).

Pseudo-ESS (Lanfear et al.; minimum and median as Magee et al. 2024, Bayesian Anal. 19:565, report them):
the trace ESS of the distances from every tree to a focal tree, over focal trees drawn from the run.

Frechet-correlation ESS (Magee et al. 2024): the autocorrelation at lag k is the Frechet correlation
rho_k = 1 - D_k / (2 V), with V the Frechet variance, estimated as half the mean squared distance over all
pairs of trees of the run; ESS = n / (1 + 2 sum rho_k), the sum taken as for the trace ESS (pairs of lags
while positive), up to lag K.

Every measure is NaN when the trees never differ.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

DEFAULT_MAX_LAG = 100
FOCAL_TREES = 100
SEED = 20160815
CORRELATED = 0.95


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


@dataclass(frozen=True)
class ApproximateESS:
    """The approximate ESS and how it was reached: the fitted sill ``a`` and range ``b``, the autocorrelation
    time ``m``, and whether the ESS is only an upper bound (no lag up to K reached 0.95 of the sill)."""

    value: float
    upper_bound: bool
    sill: float
    scale: float
    time: int


def semivariogram_fit(mean_squared: NDArray[np.float64]) -> tuple[float, float]:
    """Least-squares fit of D_k ~ a (1 - exp(-k / b)) to D_1 .. D_K (``mean_squared[k - 1]``): (a, b).

    Starts from a = max D_k, b = 1; when the fit does not converge (or there is a single lag to fit),
    a = max D_k and b = NaN.
    """
    from scipy.optimize import curve_fit

    lags = np.arange(1, len(mean_squared) + 1, dtype=np.float64)
    top = float(np.max(mean_squared))
    if len(lags) < 2:
        return top, float("nan")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            (sill, scale), _ = curve_fit(_semivariogram, lags, mean_squared, p0=(top, 1.0), maxfev=10_000)
    except (RuntimeError, ValueError):
        return top, float("nan")
    if not (np.isfinite(sill) and sill > 0.0):
        return top, float("nan")
    return float(sill), float(scale)


def _semivariogram(k: NDArray[np.float64], sill: float, scale: float) -> NDArray[np.float64]:
    value: NDArray[np.float64] = sill * (1.0 - np.exp(-k / scale))
    return value


def approximate_ess(mean_squared: NDArray[np.float64], n: int) -> ApproximateESS:
    """The approximate ESS of a chain of ``n`` trees from D_k = ``mean_squared[k - 1]``, k = 1 .. K."""
    profile = np.asarray(mean_squared, dtype=np.float64)
    profile = profile[np.isfinite(profile)]
    nothing = ApproximateESS(float("nan"), False, float("nan"), float("nan"), 0)
    if n < 2 or len(profile) == 0 or float(profile.max()) <= 0.0:
        return nothing
    sill, scale = semivariogram_fit(profile)
    lags = len(profile)
    above = np.flatnonzero(profile / sill > CORRELATED)
    time = int(above[0]) + 1 if len(above) else lags + 1
    top = float(profile.max())
    k = np.arange(1, time, dtype=np.float64)
    s = (float(np.sum((n - k) * profile[: time - 1])) + (n - time + 1) * (n - time) * top / 2.0) / (2.0 * n * n)
    return ApproximateESS(1.0 / (1.0 - 4.0 * s / top), not len(above), sill, scale, time)


def frechet_ess(mean_squared: NDArray[np.float64], pairwise_mean_squared: float, n: int) -> tuple[float, bool]:
    """Frechet-correlation ESS from D_k (k = 1 .. K) and the mean squared distance over all pairs (2 V).

    Returns the ESS and whether it is only an upper bound (the pairs were still positive at lag K).
    """
    if n < 2 or not pairwise_mean_squared > 0.0:
        return float("nan"), False
    rho = 1.0 - np.asarray(mean_squared, dtype=np.float64) / pairwise_mean_squared
    rho = rho[np.isfinite(rho)]
    pairs = len(rho) // 2
    summed = rho[0 : 2 * pairs : 2] + rho[1 : 2 * pairs : 2]
    positive = np.cumprod(summed > 0.0).astype(bool)
    total = float(summed[positive].sum())
    capped = bool(pairs and positive.all() and 2 * pairs < n - 1)
    return n / (1.0 + 2.0 * total), capped


def pseudo_ess(distance_traces: NDArray[np.float64]) -> tuple[float, float]:
    """Minimum and median over focal trees (columns) of the trace ESS of the distances to each; NaN when no
    trace varies."""
    values = np.asarray(trace_ess_viewer(np.asarray(distance_traces, dtype=np.float64).reshape(
        len(distance_traces), -1)))
    finite = values[np.isfinite(values)]
    if len(finite) == 0:
        return float("nan"), float("nan")
    return float(finite.min()), float(np.median(finite))


def focal_trees(trees: NDArray[np.int64], count: int, rng: np.random.Generator) -> NDArray[np.int64]:
    """``count`` different trees drawn at random from ``trees`` (all of them when fewer), in chain order."""
    if len(trees) <= count:
        return np.asarray(trees, dtype=np.int64)
    return np.sort(rng.choice(trees, size=count, replace=False)).astype(np.int64)


def mean_squared_by_lag(lag_distances: NDArray[np.floating[Any]]) -> NDArray[np.float64]:
    """D_k for k = 1 .. K from the n x K distances of each tree to the tree k later (NaN past the end)."""
    squared = np.asarray(lag_distances, dtype=np.float64) ** 2
    counts = np.sum(np.isfinite(squared), axis=0)
    sums = np.nansum(squared, axis=0)
    out = np.full(squared.shape[1], np.nan)
    np.divide(sums, counts, out=out, where=counts > 0)
    return out


def combined(values: Sequence[float]) -> float:
    """ESS of independent runs together: the sum, NaN when any run has none."""
    return float(sum(values)) if values and all(math.isfinite(v) for v in values) else float("nan")
