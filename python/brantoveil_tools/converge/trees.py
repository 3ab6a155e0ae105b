"""The runs read once into the engine, and the few kinds of distances the report asks of it, none an n x n matrix.

Every figure of the report comes from one encoded sample: split presence from the engine's compressed rows,
distances between trees up to K apart (n K distances), and one pass over every pair of a run's trees, a
band of focal trees at a time, for the measures that need them all (`all_pairs`).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools import engine
from brantoveil_tools.converge.splits import SplitPresence, packed_sizes
from brantoveil_tools.engine import EncodedSample, Trees
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.sample import Sample

# Rows of one engine block when the lag profile is computed band by band.
LAG_BAND = 256
# Runs longer than this are judged by the all-pairs measures (Frechet-correlation ESS, pseudo-ESS) on this many
# evenly spaced trees; focal trees go through the engine this many at a time.
ALL_PAIRS_TREES = 10_000
FOCAL_BAND = 128


@dataclass(frozen=True, eq=False)  # holds the engine's sample: compared by identity
class EncodedRuns:
    """A sample read once: the engine's form of every tree and its non-trivial splits as sparse rows."""

    native: EncodedSample
    presence: SplitPresence

    @property
    def n_trees(self) -> int:
        return self.presence.n_trees


def encode_runs(sample: Sample, *, rooted: bool, lengths: bool, progress: bool | None = False) -> EncodedRuns:
    """Encodes every tree of ``sample`` once; a bad tree is named by its file and tree."""
    if len(sample) == 0:
        raise BrantoveilError("no trees to compare")
    if len(sample) == 1:  # the engine wants two trees; the copy is left out of the split rows
        text = next(sample.newick())
        try:
            native = engine.encode_texts(["1", "2"], [text, text], list(sample.translate_maps),
                                         [int(sample.map_indices[0])] * 2, rooted=rooted, lengths=lengths)
        except BrantoveilError as error:
            raise BrantoveilError(f"{sample.run_labels[0]}, tree {sample.tree_names[0]}: {error}") from None
    else:
        native = engine.encode(sample, rooted=rooted, lengths=lengths, progress=progress)
    if list(native.leaf_names) != list(sample.taxa):
        raise BrantoveilError("the trees do not have the taxa of the runs' first trees")
    presence = presence_from_engine(native, sample.taxa)
    if len(sample) == 1:
        presence = presence.subset(np.zeros(1, dtype=np.int64))
    return EncodedRuns(native, presence)


def presence_from_engine(native: EncodedSample, taxa: Sequence[str]) -> SplitPresence:
    """The engine's split rows renumbered densely over the non-trivial splits that occur."""
    rows = engine.tree_splits(native)
    indptr, ids = rows.indptr, rows.ids
    n_taxa = len(taxa)
    clades = engine.clades(native)
    sizes = packed_sizes(clades, n_taxa)
    largest = n_taxa - 1 if native.rooted else n_taxa - 2
    informative = (sizes >= 2) & (sizes <= largest)
    informative[:n_taxa] = False
    used = np.unique(ids)
    used = used[informative[used]]
    number = np.full(native.n_splits, -1, dtype=np.int64)
    number[used] = np.arange(len(used))
    per_entry = number[ids]
    keep = per_entry >= 0
    if not keep.all():  # entries the engine keeps that are trivial here: drop them and shift the rows
        tree_of = np.repeat(np.arange(len(indptr) - 1), np.diff(indptr))
        counts = np.bincount(tree_of[keep], minlength=len(indptr) - 1)
        indptr = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
    return SplitPresence(tuple(taxa), clades[used].copy(), indptr, per_entry[keep].astype(np.int32),
                         bool(native.rooted))


def block(native: EncodedSample, metric: str, rows: Trees, cols: Trees) -> NDArray[np.float64]:
    """Distances of ``rows`` against ``cols`` as floats, rows x cols."""
    try:
        distances = engine.block(native, metric, rows, cols)
    except MemoryError:
        raise BrantoveilError(f"not enough memory for a block of {len(rows)} x {len(cols)} distances") from None
    return distances.astype(np.float64)


def lag_distances(native: EncodedSample, trees: NDArray[np.int64], max_lag: int) -> NDArray[np.float32]:
    """Robinson-Foulds distance of ``trees[t]`` to ``trees[t + k]``, as row t, column k - 1 (k = 1 .. max_lag).

    Entries past the end of the chain are NaN. ``trees`` is one run's chain in order; the engine computes
    it band by band (rows t .. t + B against columns t .. t + B + K) and the lags are the band's diagonals,
    so the work is about n (B + K) distances and the memory B (B + K).
    """
    n = len(trees)
    out = np.full((n, max_lag), np.nan, dtype=np.float32)  # distances are whole numbers below 2^24
    band = max(LAG_BAND, 1)
    for start in range(0, n - 1, band):
        stop = min(start + band, n - 1)
        end = min(stop + max_lag, n)
        matrix = block(native, "rf", trees[start:stop], trees[start:end])
        for lag in range(1, max_lag + 1):
            diagonal = np.diagonal(matrix, lag)
            out[start : start + len(diagonal), lag - 1] = diagonal[: stop - start]
    return out


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class AllPairs:
    """What the all-pairs tree ESS measures need of one run, from one pass over every pair of its trees.

    ``trees`` are the positions used (every tree, or ALL_PAIRS_TREES evenly spaced ones of a longer run,
    ``thinned``); with n of them and d the Robinson-Foulds distance, ``lag_sums[k - 1]`` sums
    d^2(x_t, x_t+k) over t, ``suffix_pairs[i]`` sums d^2 over the pairs of trees i .. n - 1,
    ``prefix_pairs[m]`` over the pairs of the first m trees, and ``focal_ess[f]`` is the autoregressive
    ESS of the distances of every tree to tree f.
    """

    trees: NDArray[np.int64]
    thinned: bool
    lag_sums: NDArray[np.float64]
    suffix_pairs: NDArray[np.float64]
    prefix_pairs: NDArray[np.float64]
    focal_ess: NDArray[np.float64]


def all_pairs(native: EncodedSample, trees: NDArray[np.int64], limit: int | None = None) -> AllPairs:
    """One pass of the engine over every pair of a run's trees (thinned above ``limit``, ALL_PAIRS_TREES by
    default), FOCAL_BAND focal trees at a time: never more than n x FOCAL_BAND distances in memory."""
    from brantoveil_tools.converge.ess import ar_spectral_ess

    cap = ALL_PAIRS_TREES if limit is None else limit
    thinned = len(trees) > cap
    if thinned:
        trees = trees[np.unique(np.linspace(0, len(trees) - 1, cap).round().astype(np.int64))]
    n = len(trees)
    lag_sums = np.zeros(max(n - 1, 0))
    row_sums = np.zeros(n)  # per tree t: d^2 to the trees after it
    column_sums = np.zeros(n)  # per tree u: d^2 to the trees before it
    focal_ess = np.full(n, np.nan)
    positions = np.arange(n)
    for start in range(0, n, FOCAL_BAND):
        stop = min(start + FOCAL_BAND, n)
        distances = block(native, "rf", trees, trees[start:stop])
        focal_ess[start:stop] = ar_spectral_ess(distances)
        squared = distances * distances
        squared[positions[:, None] >= positions[None, start:stop]] = 0.0  # keep the pairs t < u
        row_sums += squared.sum(axis=1)
        column_sums[start:stop] = squared.sum(axis=0)
        for u in range(max(start, 1), stop):  # column u holds lags u - t = u .. 1 for t = 0 .. u - 1
            lag_sums[:u] += squared[u - 1 :: -1, u - start]
    suffix = np.concatenate((np.cumsum(row_sums[::-1])[::-1], [0.0]))
    prefix = np.concatenate(([0.0], np.cumsum(column_sums)))
    return AllPairs(np.asarray(trees, dtype=np.int64), thinned, lag_sums, suffix, prefix, focal_ess)
