"""Effective sample sizes of a chain of trees and of scalar traces.

Trace ESS, as trace viewers compute it (`trace_ess_viewer`), serves split presence traces, distance traces
and parameter traces alike.

Tree ESS, three ways, each from Robinson-Foulds distances:

Approximate ESS (Lanfear, Hua and Warren 2016, Genome Biol. Evol. 8:2319), their reference procedure with
every pair at each lag: D_k is the mean squared distance between trees k apart (k = 1 .. K); the
semivariogram D_k ~ a (1 - exp(-k / b)) is fitted by least squares; the autocorrelation time m is the first
k with D_k / a > 0.95 (none: m = K + 1, and the ESS is only an upper bound); with D = max D_k,
S = [sum_{k=1}^{m-1} (N - k) D_k + (N - m + 1)(N - m) D / 2] / (2 N^2) and ESS = 1 / (1 - 4 S / D).

Pseudo-ESS (Lanfear et al. 2016; minimum and median as Magee et al. 2024, Bayesian Anal. 19:565, report
them): with every tree of the run as the focal tree, the ESS of the trace of distances to it by the
autoregressive spectral estimator of R's coda::effectiveSize (`ar_spectral_ess`).

Frechet-correlation ESS (Magee et al. 2024): for each lag k = 1 .. n - 6, V1 is half the mean squared
distance over all pairs of trees k+1 .. n, V2 the same over trees 1 .. n - k, D_k the mean squared distance
between trees k apart, and rho_k = (V1 + V2 - D_k) / (2 sqrt(V1 V2)) (1 when V1 or V2 is 0); tau follows
by Geyer's initial monotone sequence (`geyer_tau`) and ESS = n / tau; 1 when all trees are identical.

The approximate ESS and the pseudo-ESS are NaN when the trees never differ.
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


def geyer_tau(rho: NDArray[np.float64]) -> float:
    """The autocorrelation time from rho_1, rho_2, ... by Geyer's initial monotone sequence.

    With rho_0 = 1: P_1 = rho_0 + rho_1, P_2 = rho_2 + rho_3, ..., up to the first negative P (left out);
    each P is lowered to the one before it when larger; tau = -1 + 2 sum P, and 1 when that is not positive.
    """
    correlations = np.concatenate(([1.0], np.asarray(rho, dtype=np.float64)))
    pairs = len(correlations) // 2
    sums = correlations[0 : 2 * pairs : 2] + correlations[1 : 2 * pairs : 2]
    negative = np.flatnonzero(sums < 0.0)
    if len(negative):
        sums = sums[: negative[0]]
    tau = -1.0 + 2.0 * float(np.minimum.accumulate(sums).sum()) if len(sums) else -1.0
    return tau if tau > 0.0 else 1.0


def frechet_ess(lag_sums: NDArray[np.float64], suffix_pairs: NDArray[np.float64], prefix_pairs: NDArray[np.float64]
                ) -> float:
    """Frechet-correlation ESS of a chain of n trees from sums of squared distances.

    ``lag_sums[k - 1]`` sums d^2(x_t, x_t+k) over t (k = 1 .. n - 1); ``suffix_pairs[i]`` sums d^2 over the
    pairs of trees i .. n - 1 (0-based, length n + 1); ``prefix_pairs[m]`` over the pairs of the first m
    trees (length n + 1). NaN below 7 trees (no lag to estimate from).
    """
    lag_sums = np.asarray(lag_sums, dtype=np.float64)
    n = len(lag_sums) + 1
    if n >= 2 and not float(lag_sums.max()) > 0.0:
        return 1.0
    if n < 7:
        return float("nan")
    k = np.arange(1, n - 5)
    m = (n - k).astype(np.float64)
    first = np.asarray(suffix_pairs, dtype=np.float64)[k] / (m * (m - 1.0))
    second = np.asarray(prefix_pairs, dtype=np.float64)[n - k] / (m * (m - 1.0))
    apart = lag_sums[k - 1] / m
    spread = 2.0 * np.sqrt(first * second)
    rho = np.ones(len(k))
    varies = spread > 0.0
    rho[varies] = (first[varies] + second[varies] - apart[varies]) / spread[varies]
    return n / geyer_tau(rho)


def ar_order_max(n: int) -> int:
    """The largest autoregressive order coda's estimator tries: min(n - 1, floor(10 log10 n))."""
    return min(n - 1, math.floor(10.0 * math.log10(n)))


def ar_spectral_ess(traces: NDArray[np.float64]) -> NDArray[np.float64]:
    """ESS of every column as R's coda::effectiveSize computes it: n var(x) / S(0).

    An autoregressive model is fitted by Yule-Walker (autocovariances dividing by n, solved by
    Levinson-Durbin) at every order 0 .. min(n - 1, floor(10 log10 n)); the order of least
    AIC = n log(prediction variance) + 2 order is kept; its prediction variance is scaled by
    n / (n - order - 1), and S(0) = variance / (1 - sum phi)^2. NaN for a column that never varies.
    """
    values = np.asarray(traces, dtype=np.float64)
    n, width = values.shape
    out = np.full(width, np.nan)
    if n < 3 or width == 0:
        return out
    centred = values - values.mean(axis=0)
    order_max = ar_order_max(n)
    gamma = np.empty((order_max + 1, width))
    gamma[0] = np.einsum("tb,tb->b", centred, centred) / n
    for lag in range(1, order_max + 1):
        gamma[lag] = np.einsum("tb,tb->b", centred[:-lag], centred[lag:]) / n
    varies = gamma[0] > 0.0
    if not varies.any():
        return out
    gamma = gamma[:, varies]
    # Levinson-Durbin over every column at once, keeping each order's prediction variance and sum of phi.
    phi = np.zeros((order_max + 1, gamma.shape[1]))
    variance = np.empty((order_max + 1, gamma.shape[1]))
    phi_sums = np.zeros((order_max + 1, gamma.shape[1]))
    variance[0] = gamma[0]
    for order in range(1, order_max + 1):
        previous = phi[1:order]
        reflection = (gamma[order] - np.einsum("jb,jb->b", previous, gamma[order - 1 : 0 : -1])) / variance[order - 1]
        phi[1:order] = previous - reflection * previous[::-1]
        phi[order] = reflection
        variance[order] = variance[order - 1] * (1.0 - reflection * reflection)
        phi_sums[order] = phi[1 : order + 1].sum(axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        aic = n * np.log(variance) + 2.0 * np.arange(order_max + 1)[:, None]
    aic = np.where(np.isnan(aic), np.inf, aic)  # a perfect fit (-inf) wins, as in R
    chosen = np.argmin(aic, axis=0)
    columns = np.arange(gamma.shape[1])
    prediction = variance[chosen, columns] * n / (n - chosen - 1.0)
    spectrum = prediction / (1.0 - phi_sums[chosen, columns]) ** 2
    sample_variance = gamma[0] * n / (n - 1.0)
    with np.errstate(divide="ignore"):
        out[varies] = np.where(spectrum > 0.0, n * sample_variance / spectrum, 0.0)  # coda: 0 when S(0) is 0
    return out


def pseudo_ess(values: NDArray[np.float64]) -> tuple[float, float]:
    """Minimum and median of the per-focal-tree ESS values; NaN when none is finite."""
    finite = np.asarray(values, dtype=np.float64)
    finite = finite[np.isfinite(finite)]
    if len(finite) == 0:
        return float("nan"), float("nan")
    return float(finite.min()), float(np.median(finite))


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
