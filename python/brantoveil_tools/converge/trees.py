"""The runs read once into the engine, and the few kinds of distances the report asks of it, none an n x n matrix.

Every figure of the report comes from one encoded sample: split presence from the engine's compressed rows,
distances between trees up to K apart (n K distances), distances to a few focal trees (n F), and sums of
squared distances over the distinct topologies of a run.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from functools import partial
from typing import Any

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools import _engine
from brantoveil_tools.api import call_engine
from brantoveil_tools.converge.splits import SplitPresence, packed_sizes
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.sample import Sample

# Rows of one engine block when the lag profile is computed band by band.
LAG_BAND = 256
# Sums of squared distances are exact over at most this many distinct topologies; above it an evenly spread
# subsample of this many trees stands for the run.
PAIRWISE_TREES = 6000
PAIRWISE_BAND = 512


@dataclass(frozen=True, eq=False)  # holds the engine's sample: compared by identity
class EncodedRuns:
    """A sample read once: the engine's form of every tree and its non-trivial splits as sparse rows."""

    native: Any
    presence: SplitPresence
    topology_keys: NDArray[np.uint64]

    @property
    def n_trees(self) -> int:
        return self.presence.n_trees


def encode_runs(sample: Sample, rooted: bool, lengths: bool, progress: bool | None = False) -> EncodedRuns:
    """Encodes every tree of ``sample`` once; a bad tree is named by its file and tree."""
    if len(sample) == 0:
        raise BrantoveilError("no trees to compare")
    if len(sample) == 1:  # the engine wants two trees; the copy is left out of the split rows
        text = next(sample.newick())
        try:
            native = _engine.encode(["1", "2"], iter([text, text]), list(sample.translate_maps),
                                    [int(sample.map_indices[0])] * 2, rooted=rooted, lengths=lengths)
        except ValueError as error:
            raise BrantoveilError(f"{sample.run_labels[0]}, tree {sample.tree_names[0]}: {error}") from None
    else:
        native = call_engine(partial(_engine.encode, lengths=lengths), sample, rooted, progress)
    if list(native.leaf_names) != list(sample.taxa):
        raise BrantoveilError("the trees do not have the taxa of the runs' first trees")
    presence = presence_from_engine(native, sample.taxa)
    if len(sample) == 1:
        presence = presence.subset(np.zeros(1, dtype=np.int64))
    return EncodedRuns(native, presence, topology_keys(presence))


def topology_keys(presence: SplitPresence) -> NDArray[np.uint64]:
    """A 64-bit key per tree, equal for equal split sets: the sum, wrapping, of a fixed random key per split.

    Two different split sets share a key with probability about 2^-64, far below any other error here.
    """
    split_keys = np.random.default_rng(0x5EED).integers(0, 2**63, presence.n_splits, dtype=np.uint64)
    per_entry = split_keys[presence.indices]
    keys = np.zeros(presence.n_trees, dtype=np.uint64)
    np.add.at(keys, presence.tree_of_entry(), per_entry)
    return keys


def presence_from_engine(native: Any, taxa: Sequence[str]) -> SplitPresence:
    """The engine's split rows renumbered densely over the non-trivial splits that occur."""
    raw_indptr, raw_ids, _ = native.presence_csr()
    indptr = np.frombuffer(raw_indptr, dtype="<i8").astype(np.int64)
    ids = np.frombuffer(raw_ids, dtype="<u4")
    n_taxa = len(taxa)
    width = (n_taxa + 7) // 8
    clades = np.frombuffer(native.clade_bytes(), dtype=np.uint8).reshape(native.n_splits, width)
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


def block(native: Any, metric: str, rows: NDArray[np.int64] | range, cols: NDArray[np.int64] | range
          ) -> NDArray[np.float64]:
    """Distances of ``rows`` against ``cols`` as floats, rows x cols."""
    dtype = "<u4" if metric == "rf" else "<f8"
    row_index = rows if isinstance(rows, range) else np.ascontiguousarray(rows, dtype=np.int64)
    col_index = cols if isinstance(cols, range) else np.ascontiguousarray(cols, dtype=np.int64)
    try:
        raw = native.block(metric, row_index, col_index)
    except MemoryError:
        raise BrantoveilError(f"not enough memory for a block of {len(rows)} x {len(cols)} distances") from None
    return np.frombuffer(raw, dtype=dtype).reshape(len(rows), len(cols)).astype(np.float64)


def lag_distances(native: Any, trees: NDArray[np.int64], max_lag: int) -> NDArray[np.float32]:
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


def mean_squared_pairwise(native: Any, keys: NDArray[np.uint64], trees: NDArray[np.int64]) -> tuple[float, bool]:
    """Mean squared Robinson-Foulds distance over all pairs of different positions of ``trees``.

    Exact (pairs of equal topologies count as zeros) when the run holds at most PAIRWISE_TREES distinct
    topologies; otherwise estimated from an evenly spread subsample of PAIRWISE_TREES trees. The flag says
    whether the value is exact.
    """
    n = len(trees)
    if n < 2:
        return float("nan"), True
    topology, weight = distinct_topologies(keys, trees)
    exact = len(topology) <= PAIRWISE_TREES
    if not exact:
        picked = trees[np.unique(np.linspace(0, n - 1, PAIRWISE_TREES).round().astype(np.int64))]
        topology, weight = picked, np.ones(len(picked), dtype=np.float64)
    total = 0.0
    for start in range(0, len(topology), PAIRWISE_BAND):
        stop = min(start + PAIRWISE_BAND, len(topology))
        squared = block(native, "rf", topology[start:stop], topology) ** 2
        total += float(weight[start:stop] @ squared @ weight)
    size = float(weight.sum())
    pairs = size * (size - 1.0)  # ordered pairs of different positions; equal topologies add zeros
    return total / pairs if pairs > 0 else float("nan"), exact


def distinct_topologies(keys: NDArray[np.uint64], trees: NDArray[np.int64]
                        ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """One tree per distinct topology key among ``trees`` (its first occurrence) and how often each occurs."""
    _, first, counts = np.unique(keys[trees], return_index=True, return_counts=True)
    order = np.argsort(first)
    return trees[first[order]], counts[order].astype(np.float64)


def distances_to(native: Any, metric: str, trees: NDArray[np.int64], focal: NDArray[np.int64]
                 ) -> NDArray[np.float64]:
    """Distances of every tree of ``trees`` to each focal tree, len(trees) x len(focal), in bands."""
    out = np.empty((len(trees), len(focal)))
    band = max(1, 4_000_000 // max(len(focal), 1))
    for start in range(0, len(trees), band):
        stop = min(start + band, len(trees))
        out[start:stop] = block(native, metric, trees[start:stop], focal)
    return out
