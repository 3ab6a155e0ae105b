"""Which non-trivial splits each tree holds, gathered batch by batch from the engine, and distances from them.

The engine returns, per call, a presence matrix over that call's splits and each split's leaf set as packed
bytes. The leaf order is the sorted taxon names in every call, so a split's packed bytes name it across
calls; a dictionary keyed by those bytes numbers the splits of the whole sample. Each tree then becomes a
short row of split numbers (compressed sparse rows), and the Robinson-Foulds distance of any two trees is
|A| + |B| - 2|A & B| over non-trivial splits, without any n x n matrix.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

import brantoveil
import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.errors import BrantoveilError

# Presence bytes a batch may hold at once; the batch size adapts to how many splits a tree brings.
PRESENCE_BUDGET = 32_000_000
MAX_BATCH = 2000
MIN_BATCH = 64

BatchMatrixHook = Callable[[int, NDArray[np.uint32]], None]


@dataclass(frozen=True)
class SplitPresence:
    """The non-trivial splits of every tree of a sample, as compressed sparse rows.

    Attributes
    ----------
    taxa : tuple of str
        Leaf order of the packed sides: the sorted taxon names.
    sides : ndarray of uint8, shape (n_splits, ceil(n_taxa / 8))
        Each split's canonical side, leaf i at bit i % 8 of byte i // 8: the clade when rooted, else the
        side without the first taxon.
    indptr : ndarray of int64, shape (n_trees + 1,)
        Tree t holds the split numbers ``indices[indptr[t]:indptr[t + 1]]``.
    indices : ndarray of int32
        Split numbers, row after row.
    rooted : bool
        Whether the splits are clades.
    """

    taxa: tuple[str, ...]
    sides: NDArray[np.uint8]
    indptr: NDArray[np.int64]
    indices: NDArray[np.int32]
    rooted: bool

    @property
    def n_trees(self) -> int:
        return len(self.indptr) - 1

    @property
    def n_splits(self) -> int:
        return int(self.sides.shape[0])

    def sizes(self) -> NDArray[np.int64]:
        """Number of non-trivial splits of each tree."""
        return np.diff(self.indptr)

    def tree_of_entry(self) -> NDArray[np.int64]:
        """The tree each entry of ``indices`` belongs to."""
        return np.repeat(np.arange(self.n_trees, dtype=np.int64), self.sizes())

    def splits_of(self, tree: int) -> NDArray[np.int32]:
        return self.indices[self.indptr[tree] : self.indptr[tree + 1]]

    def counts(self, trees: NDArray[np.int64] | slice | None = None) -> NDArray[np.int64]:
        """How many of the given trees (all by default) hold each split."""
        if trees is None:
            entries = self.indices
        elif isinstance(trees, slice):
            start, stop, _ = trees.indices(self.n_trees)
            entries = self.indices[self.indptr[start] : self.indptr[max(start, stop)]]
        else:
            entries = self.indices[_entry_positions(self.indptr, trees)]
        return np.bincount(entries, minlength=self.n_splits).astype(np.int64)

    def weight_sums(self, weights: NDArray[np.float64]) -> NDArray[np.float64]:
        """Per tree, the sum of ``weights[s]`` over its splits s."""
        per_entry = weights[self.indices]
        sums = np.bincount(self.tree_of_entry(), weights=per_entry, minlength=self.n_trees)
        return sums.astype(np.float64)

    def distances_to(self, tree: int) -> NDArray[np.int64]:
        """Robinson-Foulds distance of every tree to tree ``tree``."""
        member = np.zeros(self.n_splits, dtype=np.float64)
        focal = self.splits_of(tree)
        member[focal] = 1.0
        shared = np.rint(self.weight_sums(member)).astype(np.int64)
        return self.sizes() + len(focal) - 2 * shared

    def pair_distances(self, first: NDArray[np.int64], second: NDArray[np.int64]) -> NDArray[np.int64]:
        """Robinson-Foulds distance of each pair (first[p], second[p])."""
        first = np.asarray(first, dtype=np.int64)
        second = np.asarray(second, dtype=np.int64)
        pair_count = len(first)
        if pair_count == 0:
            return np.zeros(0, dtype=np.int64)
        sizes = self.sizes()
        # Key every entry by (pair, split); a split both trees hold appears twice after sorting.
        keys = []
        for side in (first, second):
            positions = _entry_positions(self.indptr, side)
            owner = np.repeat(np.arange(pair_count, dtype=np.int64), sizes[side])
            keys.append(owner * max(self.n_splits, 1) + self.indices[positions])
        merged = np.sort(np.concatenate(keys))
        twice = merged[1:][merged[1:] == merged[:-1]] // max(self.n_splits, 1)
        shared = np.bincount(twice, minlength=pair_count)
        return sizes[first] + sizes[second] - 2 * shared

    def subset(self, trees: NDArray[np.int64]) -> SplitPresence:
        """The rows of the given trees, split numbers unchanged."""
        positions = _entry_positions(self.indptr, trees)
        indptr = np.zeros(len(trees) + 1, dtype=np.int64)
        np.cumsum(self.sizes()[trees], out=indptr[1:])
        return SplitPresence(self.taxa, self.sides, indptr, self.indices[positions], self.rooted)


def _entry_positions(indptr: NDArray[np.int64], trees: NDArray[np.int64]) -> NDArray[np.int64]:
    """Positions in ``indices`` of the entries of the given trees, tree after tree."""
    trees = np.asarray(trees, dtype=np.int64)
    starts = indptr[trees]
    lengths = indptr[trees + 1] - starts
    total = int(lengths.sum())
    if total == 0:
        return np.zeros(0, dtype=np.int64)
    offsets = np.repeat(starts - np.concatenate(([0], np.cumsum(lengths)[:-1])), lengths)
    return np.arange(total, dtype=np.int64) + offsets


def packed_sizes(sides: NDArray[np.uint8], n_taxa: int) -> NDArray[np.int64]:
    """Number of taxa in each packed side."""
    if sides.shape[0] == 0:
        return np.zeros(0, dtype=np.int64)
    bits = np.unpackbits(sides, axis=1, bitorder="little")[:, :n_taxa]
    sizes: NDArray[np.int64] = bits.sum(axis=1).astype(np.int64)
    return sizes


def side_taxa(side: NDArray[np.uint8], taxa: Sequence[str]) -> list[str]:
    """The taxon names of one packed side, in leaf order."""
    bits = np.unpackbits(side, bitorder="little")[: len(taxa)]
    return [taxa[int(i)] for i in np.flatnonzero(bits)]


class _SplitNumbering:
    """Numbers splits by their packed bytes across engine calls."""

    def __init__(self, n_taxa: int, rooted: bool) -> None:
        self.n_taxa = n_taxa
        self.rooted = rooted
        self.number_of: dict[bytes, int] = {}
        self.sides: list[bytes] = []

    def global_numbers(self, clade_bytes: bytes, n_columns: int) -> NDArray[np.int64]:
        """Global number of each column of one call, -1 for trivial splits."""
        width = (self.n_taxa + 7) // 8
        rows = np.frombuffer(clade_bytes, dtype=np.uint8).reshape(n_columns, width)
        sizes = packed_sizes(rows, self.n_taxa)
        largest = self.n_taxa - 1 if self.rooted else self.n_taxa - 2
        informative = (sizes >= 2) & (sizes <= largest)
        numbers = np.full(n_columns, -1, dtype=np.int64)
        raw = rows.tobytes()
        for column in np.flatnonzero(informative):
            key = raw[column * width : (column + 1) * width]
            number = self.number_of.get(key)
            if number is None:
                number = len(self.sides)
                self.number_of[key] = number
                self.sides.append(key)
            numbers[column] = number
        return numbers

    def packed(self) -> NDArray[np.uint8]:
        width = (self.n_taxa + 7) // 8
        joined = b"".join(self.sides)
        return np.frombuffer(joined, dtype=np.uint8).reshape(len(self.sides), width).copy()


def scan_splits(
    texts: Iterable[str],
    run_sizes: Sequence[int],
    translate_maps: Sequence[dict[str, str]],
    map_indices: NDArray[np.int64],
    taxa: Sequence[str],
    rooted: bool = False,
    on_batch: BatchMatrixHook | None = None,
) -> SplitPresence:
    """Reads every tree once through the engine, in batches, into a `SplitPresence`.

    ``texts`` yields the trees run after run (``run_sizes`` trees each). ``on_batch(run, matrix)``, when
    given, receives each batch's Robinson-Foulds matrix of consecutive trees of one run.
    """
    total = int(sum(run_sizes))
    numbering = _SplitNumbering(len(taxa), rooted)
    rows: list[NDArray[np.int64]] = []
    sizes = np.zeros(total, dtype=np.int64)
    stream = iter(texts)
    batch = 1000
    position = 0
    maps = list(translate_maps)
    expected_taxa = list(taxa)
    while position < total:
        # The batch never crosses a run, so its matrix only holds within-run lags.
        run_ends = np.cumsum(run_sizes)
        run = int(np.searchsorted(run_ends, position, side="right"))
        stop = min(position + batch, int(run_ends[run]))
        chunk = [next(stream) for _ in range(stop - position)]
        chunk_maps = [int(i) for i in map_indices[position:stop]]
        duplicated = len(chunk) == 1
        if duplicated:  # the engine wants two trees; the copy adds nothing
            chunk, chunk_maps = chunk * 2, chunk_maps * 2
        names = [str(i) for i in range(len(chunk))]
        try:
            _, matrix_bytes, leaf_names, n_columns, presence_bytes, clade_bytes = (
                brantoveil.pairwise_rf_with_snapshots_from_newick_iter(
                    names, iter(chunk), maps, chunk_maps, rooted=rooted
                )
            )
        except ValueError as error:
            raise BrantoveilError(f"trees {position + 1}-{stop} of the sample: {error}") from None
        if list(leaf_names) != expected_taxa:
            raise BrantoveilError(f"trees {position + 1}-{stop} of the sample do not have the sample's taxa")
        count = len(chunk)
        numbers = numbering.global_numbers(clade_bytes, n_columns)
        presence = np.frombuffer(presence_bytes, dtype=np.uint8).reshape(count, n_columns)
        keep = np.flatnonzero(numbers >= 0)
        tree_rows, columns = np.nonzero(presence[:, keep])
        if duplicated:
            columns = columns[tree_rows == 0]
            tree_rows = tree_rows[tree_rows == 0]
        kept = stop - position
        np.add.at(sizes, position + tree_rows, 1)
        rows.append(numbers[keep][columns])
        if on_batch is not None and kept >= 2:
            matrix = np.frombuffer(matrix_bytes, dtype=np.uint32).reshape(count, count)
            on_batch(run, matrix)
        position = stop
        per_tree = max(n_columns - len(taxa), 1) / count
        batch = int(np.clip(np.sqrt(PRESENCE_BUDGET / per_tree), MIN_BATCH, MAX_BATCH))
    indptr = np.zeros(total + 1, dtype=np.int64)
    np.cumsum(sizes, out=indptr[1:])
    indices = np.concatenate(rows).astype(np.int32) if rows else np.zeros(0, dtype=np.int32)
    return SplitPresence(tuple(taxa), numbering.packed(), indptr, indices, rooted)
