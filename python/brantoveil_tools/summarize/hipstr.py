"""HIPSTR (Baele et al. 2025): the highest independent posterior subtree reconstruction.

The rooted tree, built from clades seen in the sample, whose clades' posteriors have the largest
product. Every clade's best subtree is found on its own by dynamic programming over the observed
clades, smallest first: a clade's score is the log of its posterior plus the best sum of the scores of
two observed clades that split it (disjoint, their union the clade), whether or not any tree holds
that split. The two halves share the clade's first taxon on one side only, so the side holding it is
an observed clade with the same first taxon: clades are grouped by their first taxon and each clade
looks for its halves among the smaller clades of its own group, a vectorized subset test over bit
words, then checks that the rest of it is observed too. Any tree with a clade never seen scores -infinity, so the
result is the maximum over all rooted binary trees.
"""

from __future__ import annotations

import math

import numpy as np

from ..errors import BrantoveilError
from .clades import CladeTable

TIE = 1e-9
"""Scores closer than this (relative) are equal: sums of the same logs in another order differ by rounding."""


def hipstr_clades(table: CladeTable) -> tuple[list[int], float]:
    """(the clade keys of the HIPSTR tree, its summed log posterior).

    Ties between splits of a clade go to the split seen more often under it in the sample, then to the
    one whose side holding the clade's first taxon has the smaller taxon set (as a binary number over
    the translate-table order). A clade no observed pair of clades splits (seen only as a polytomy)
    keeps the set of children it was seen with most often.
    """
    if not table.rooted:
        raise BrantoveilError("hipstr needs rooted trees (--rooted)")
    n = table.n_trees
    keys = table.keys
    counts = [sum(c) for c in table.run_counts]
    root = table.id_of.get(table.full)
    if root is None:
        raise BrantoveilError("no tree holds every taxon")
    score: dict[int, float] = {}
    choice: dict[int, tuple[int, ...]] = {}
    id_of = table.id_of
    observed = [c for c in range(len(keys)) if counts[c]]
    # Clades in groups by first taxon, smaller first within a group, as rows of 64-bit words: the
    # candidate halves of a clade are the rows of its group before it that it covers.
    in_groups = sorted(observed, key=lambda c: ((keys[c] & -keys[c]).bit_length(), keys[c].bit_count()))
    position = {clade: row for row, clade in enumerate(in_groups)}
    group_start: dict[int, int] = {}
    for row, clade in enumerate(in_groups):
        group_start.setdefault(keys[clade] & -keys[clade], row)
    width = (len(table.taxa) + 63) // 64
    words = np.frombuffer(b"".join(keys[c].to_bytes(8 * width, "little") for c in in_groups),
                          dtype="<u8").reshape(len(in_groups), width)
    # A hash of every observed clade filters the candidates whose rest is observed before Python
    # looks them up (products wrap modulo 2^64; a collision only costs a lookup).
    mix = (np.arange(1, width + 1, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)) | np.uint64(1)
    known = np.sort((words * mix).sum(axis=1, dtype=np.uint64))
    for clade in sorted(observed, key=lambda c: keys[c].bit_count()):
        key = keys[clade]
        if key.bit_count() == 1:
            score[clade] = 0.0
            continue
        row = position[clade]
        earlier = words[group_start[key & -key]:row]
        covered = np.flatnonzero(~(earlier & ~words[row]).any(axis=1)) + group_start[key & -key]
        if len(covered):
            rest = ((words[covered] ^ words[row]) * mix).sum(axis=1, dtype=np.uint64)
            found = np.minimum(np.searchsorted(known, rest), len(known) - 1)
            covered = covered[known[found] == rest]
        seen = table.resolutions.get(clade, {})
        best: tuple[int, ...] = ()
        best_score = -math.inf
        best_rank: tuple[int, int] = (0, 0)
        for side in (in_groups[at] for at in covered.tolist()):
            side_key = keys[side]
            other = id_of.get(key ^ side_key)
            if other is None or other not in score:
                continue
            total = score[side] + score[other]
            pair = (side, other) if side < other else (other, side)
            rank = (seen.get(pair, 0), -side_key)
            close = abs(total - best_score) <= TIE * max(1.0, abs(total))
            if (total > best_score and not close) or (close and rank > best_rank):
                best, best_score, best_rank = pair, total, rank
        if not best and seen:  # only ever a polytomy: its most frequent children
            best = max(seen.items(), key=lambda item: (item[1], [-keys[c] for c in item[0]]))[0]
            best_score = math.fsum(score.get(kid, -math.inf) for kid in best)
        score[clade] = math.log(counts[clade] / n) + best_score
        choice[clade] = best
    chosen_keys = []
    stack = [root]
    while stack:
        clade = stack.pop()
        chosen_keys.append(keys[clade])
        stack.extend(choice.get(clade, ()))
    return chosen_keys, score[root]
