"""Majority-rule consensus, and MrBayes's "all compatible" extension of it, from the clade table."""

from __future__ import annotations

from .clades import CladeTable


def majority_clades(table: CladeTable, min_freq: float, allcompat: bool) -> list[int]:
    """The clade keys of the consensus.

    Majority rule keeps the non-trivial clades found in more than half of the trees and at least
    `min_freq` of them; all-compatible then adds, by decreasing frequency (ties: first seen first),
    every further clade compatible with all kept so far.
    """
    n = table.n_trees
    order = sorted(range(len(table.keys)), key=lambda clade: -sum(table.run_counts[clade]))
    kept: list[int] = []
    for clade in order:
        if table.is_trivial(clade):
            continue
        count = sum(table.run_counts[clade])
        key = table.keys[clade]
        majority = 2 * count > n and count >= min_freq * n
        if majority or (allcompat and all(compatible(key, other) for other in kept)):
            kept.append(key)
    return kept


def compatible(a: int, b: int) -> bool:
    """Two clades (or two splits written without taxon 0) can sit in one tree: nested or disjoint."""
    common = a & b
    return common in (0, a, b)
