"""Split ESS and the split-frequency test between runs (Fabreti and Hohna 2022, Methods Ecol. Evol. 13:77).

A split's presence in the successive trees of a run is a 0/1 trace; its trace ESS says how precisely the run
estimates the split's frequency. Splits above 0.975 or below 0.025 in every run have no split ESS: their
traces say little. They are still tested between runs when some run holds them above 0.975 and another below
0.025 (runs stuck on different trees); only splits on the same side in every run are settled. For a
precision p of the frequency (its standard error at a frequency of 0.5), a run needs an ESS of
(1 / (4 p))^2: 625 for p = 0.01.

Two runs pass the test for a split when their frequencies differ by no more than the 95% quantile of
|X - Y| / E, X and Y independent Binomial(E, f) at that ESS E and the split's mean frequency f in the two
runs, rounded to 0.01 as Fabreti and Hohna's package rounds it: the difference two independent samples of E
trees would show 95% of the time.
"""

from __future__ import annotations

import math
from functools import lru_cache

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge.ess import trace_ess_viewer
from brantoveil_tools.converge.splits import SplitPresence
from brantoveil_tools.errors import BrantoveilError

SETTLED_LOW = 0.025
SETTLED_HIGH = 0.975
LEVEL = 0.95
DEFAULT_PRECISION = 0.01
# Splits whose presence traces go through one FFT together.
TRACE_BATCH = 32


def minimum_ess(precision: float) -> float:
    """The ESS a run needs for split frequencies of standard error ``precision`` at 0.5: (1 / (4 p))^2."""
    if not 0.0 < precision < 0.5:
        raise BrantoveilError(f"precision must lie between 0 and 0.5, not {precision}")
    return (1.0 / (4.0 * precision)) ** 2


def in_band(frequencies: NDArray[np.float64]) -> NDArray[np.bool_]:
    """Which splits get a split ESS: within [0.025, 0.975] in at least one run."""
    inside = (frequencies >= SETTLED_LOW) & (frequencies <= SETTLED_HIGH)
    return np.asarray(inside.any(axis=1), dtype=bool)


def tested(frequencies: NDArray[np.float64]) -> NDArray[np.bool_]:
    """Which splits the split-frequency test considers: those in the band in some run, and those below it in
    one run and above it in another."""
    apart = (frequencies < SETTLED_LOW).any(axis=1) & (frequencies > SETTLED_HIGH).any(axis=1)
    return np.asarray(in_band(frequencies) | apart, dtype=bool)


@lru_cache(maxsize=4096)
def binomial_threshold(ess: int, frequency: float, level: float = LEVEL) -> float:
    """The ``level`` quantile of |X - Y| / ess for independent X, Y ~ Binomial(ess, frequency).

    The smallest d / ess with P(|X - Y| <= d) >= level, from the binomial probabilities themselves.
    """
    if ess < 1:
        raise BrantoveilError(f"the split-frequency test needs an ESS of at least 1, not {ess}")
    pmf = binomial_pmf(ess, frequency)
    difference = np.convolve(pmf, pmf[::-1])  # P(X - Y = d) at index d + ess
    absolute = difference[ess:].copy()
    absolute[1:] += difference[:ess][::-1]
    below = np.cumsum(absolute)
    d = int(np.searchsorted(below, level - 1e-12))
    return min(d, ess) / ess


def binomial_pmf(n: int, p: float) -> NDArray[np.float64]:
    """P(X = k), k = 0 .. n, for X ~ Binomial(n, p), from log-gamma (scipy.stats takes seconds to import)."""
    out = np.zeros(n + 1)
    if p <= 0.0 or p >= 1.0:
        out[0 if p <= 0.0 else n] = 1.0
        return out
    log_choose = [math.lgamma(n + 1) - math.lgamma(k + 1) - math.lgamma(n - k + 1) for k in range(n + 1)]
    k = np.arange(n + 1, dtype=np.float64)
    pmf: NDArray[np.float64] = np.exp(np.asarray(log_choose) + k * math.log(p) + (n - k) * math.log1p(-p))
    return pmf


def split_ess(presence: SplitPresence, members: list[NDArray[np.int64]], splits: NDArray[np.int64]
              ) -> NDArray[np.float64]:
    """Trace ESS of the presence of each of ``splits`` in each run, splits x runs (NaN: never changes)."""
    from scipy.sparse import csr_matrix

    out = np.full((len(splits), len(members)), np.nan)
    if len(splits) == 0:
        return out
    column = np.full(presence.n_splits, -1, dtype=np.int64)
    column[splits] = np.arange(len(splits))
    for r, trees in enumerate(members):
        if len(trees) < 2:
            continue
        rows = presence.subset(trees)
        wanted = column[rows.indices]
        keep = wanted >= 0
        owner = rows.tree_of_entry()[keep]
        matrix = csr_matrix((np.ones(int(keep.sum()), dtype=np.float64), (owner, wanted[keep])),
                            shape=(len(trees), len(splits))).tocsc()
        for start in range(0, len(splits), TRACE_BATCH):
            stop = min(start + TRACE_BATCH, len(splits))
            traces = matrix[:, start:stop].toarray()
            out[start:stop, r] = trace_ess_viewer(traces)
    return out


def pair_tests(frequencies: NDArray[np.float64], splits: NDArray[np.int64], ess: float
               ) -> tuple[NDArray[np.float64], NDArray[np.bool_]]:
    """For every tested split and pair of runs (r, s), r < s, in ``itertools.combinations`` order: the
    test's threshold and whether the two frequencies lie within it. Arrays of splits x pairs."""
    runs = frequencies.shape[1]
    pairs = [(r, s) for r in range(runs) for s in range(r + 1, runs)]
    thresholds = np.full((len(splits), len(pairs)), np.nan)
    passes = np.ones((len(splits), len(pairs)), dtype=bool)
    size = max(1, round(ess))
    for j, split in enumerate(splits):
        for p, (r, s) in enumerate(pairs):
            first, second = frequencies[split, r], frequencies[split, s]
            threshold = binomial_threshold(size, float(round((first + second) / 2.0, 2)))
            thresholds[j, p] = threshold
            passes[j, p] = abs(first - second) <= threshold + 1e-12
    return thresholds, passes
