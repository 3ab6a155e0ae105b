"""Which non-trivial splits each tree holds, as compressed sparse rows, and what follows from them alone.

Each tree is a short sorted row of split numbers, so split counts over any set of trees, a tree's mean
distance to a set, and the Robinson-Foulds distance of any two trees (|A| + |B| - 2|A & B| over non-trivial
splits) need no n x n matrix. The rows come from the engine's encoded sample (`converge.trees`).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray


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
