"""Summed distances of trees to a set of trees, and the medoid found with them.

Robinson-Foulds sums come from the split counts alone (no pair of trees); the other metrics ask the
engine's row reduction.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import engine
from .engine import EncodedSample, Trees
from .errors import BrantoveilError
from .policy import Metric
from .policy import metric as as_metric

_SUM_ROWS = 1 << 16

SplitRows = tuple[npt.NDArray[np.int64], npt.NDArray[np.integer[Any]]]
"""Every tree's non-pendant split IDs as compressed rows: (indptr, ids), tree t holding ids[indptr[t]:indptr[t + 1]]."""


def split_rows(native: EncodedSample) -> SplitRows:
    """The engine's split rows of every tree."""
    rows = engine.tree_splits(native)
    return rows.indptr, rows.ids


def distance_sums(native: EncodedSample, metric: str | Metric, rows: Trees, cols: Trees,
                  splits: SplitRows | None = None) -> npt.NDArray[np.float64]:
    """For every tree of `rows`, its distances to the trees of `cols` summed: the engine's row reduction.

    Robinson-Foulds needs no pair of trees: with |t| the non-pendant splits of t and c_C(s) the number of
    trees of C holding split s, sum_{u in C} RF(t, u) = |C| |t| + sum_{u in C} |u| - 2 sum_{s in t} c_C(s).
    It is computed in integers, so it is the very number the engine's reduction gives (sums of whole
    distances, exact in doubles below 2^53), at the cost of one pass over the splits instead of
    len(rows) x len(cols) distances. `splits` are the split rows when the caller holds them already (any
    numbering of the splits will do, and splits every tree holds may be left out: they cancel).
    """
    chosen = as_metric(metric)
    if chosen.name != "rf":
        return _reduced_sums(native, chosen.name, rows, cols)
    indptr, ids = split_rows(native) if splits is None else splits
    row_index, col_index = _indices(rows), _indices(cols)
    sizes = np.diff(indptr)
    every = isinstance(cols, range) and cols == range(len(sizes))  # no copy of every entry's position
    held = np.bincount(ids if every else ids[_entries(indptr, col_index)], minlength=int(ids.max(initial=0)) + 1)
    held = held.astype(np.int64)
    base = int(sizes[col_index].sum())
    result = np.empty(len(row_index), dtype=np.float64)
    # Rows a band at a time, so a sample of millions of trees needs no array per entry of all of them.
    for start in range(0, len(row_index), _SUM_ROWS):
        band = row_index[start : start + _SUM_ROWS]
        # Per row tree, the sum of held[] over its splits: differences of one running sum over its entries.
        running = np.concatenate(([0], np.cumsum(held[ids[_entries(indptr, band)]], dtype=np.int64)))
        ends = np.cumsum(sizes[band], dtype=np.int64)
        shared = running[ends] - running[ends - sizes[band]]
        result[start : start + len(band)] = len(col_index) * sizes[band] + base - 2 * shared
    return result


def mean_distances(native: EncodedSample, metric: str | Metric, candidates: Trees, reference: Trees,
                   splits: SplitRows | None = None) -> npt.NDArray[np.float64]:
    """Every candidate tree's mean distance to the reference trees (itself included when it is one of them)."""
    count = len(reference)
    return distance_sums(native, metric, candidates, reference, splits) / max(count, 1)


def medoid(native: EncodedSample, metric: str | Metric, candidates: Trees, reference: Trees,
           splits: SplitRows | None = None) -> tuple[int, float]:
    """The candidate of least mean distance to the reference trees (the first of `candidates` among ties)
    and that mean; chosen on the exact sums, so ties are never made by rounding."""
    sums = distance_sums(native, metric, candidates, reference, splits)
    best = int(np.argmin(sums))
    return int(_indices(candidates)[best]), float(sums[best] / max(len(reference), 1))


def _indices(trees: Trees) -> npt.NDArray[np.int64]:
    if isinstance(trees, range):
        return np.arange(trees.start, trees.stop, trees.step, dtype=np.int64)
    return np.ascontiguousarray(trees, dtype=np.int64)


def _entries(indptr: npt.NDArray[np.int64], trees: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """Positions of the given trees' entries in the split IDs, tree after tree."""
    starts, sizes = indptr[trees], indptr[trees + 1] - indptr[trees]
    ends = np.cumsum(sizes, dtype=np.int64)
    # Every entry's offset from its tree's first entry, plus that tree's start.
    positions: npt.NDArray[np.int64] = np.arange(int(ends[-1]) if len(ends) else 0, dtype=np.int64) \
        + np.repeat(starts - (ends - sizes), sizes)
    return positions


def _reduced_sums(native: EncodedSample, metric: str, rows: Trees, cols: Trees) -> npt.NDArray[np.float64]:
    try:
        reduction = engine.reduce(native, metric, rows, cols)
    except MemoryError:
        raise BrantoveilError(f"not enough memory to sum {len(rows)} x {len(cols)} distances") from None
    return reduction.sums.astype(np.float64)
