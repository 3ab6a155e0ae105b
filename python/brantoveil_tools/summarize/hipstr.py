"""HIPSTR (Baele et al. 2025): the highest independent posterior subtree reconstruction.

Every clade's best subtree is chosen on its own, from the root down: a clade's score is the log of
its posterior plus, over the pairs of child clades seen splitting it in the sample, the largest sum
of the two children's scores. The tree may be one no sample holds.
"""

from __future__ import annotations

import math

from ..errors import BrantoveilError
from .clades import CladeTable


def hipstr_clades(table: CladeTable) -> tuple[list[int], float]:
    """(the clade keys of the HIPSTR tree, its summed log posterior).

    Ties go to the pair seen more often, then to the pair seen first. A clade only ever seen as a
    polytomy stays one.
    """
    if not table.rooted:
        raise BrantoveilError("hipstr needs rooted trees (--rooted)")
    n = table.n_trees
    full = (1 << len(table.taxa)) - 1
    root = table.id_of.get(full)
    if root is None:
        raise BrantoveilError("no tree holds every taxon")
    score: dict[int, float] = {}
    choice: dict[int, tuple[int, int] | None] = {}
    # Smaller clades first, so every child's score is known before its parent's.
    for clade in sorted(range(len(table.keys)), key=lambda c: table.keys[c].bit_count()):
        own = math.log(sum(table.run_counts[clade]) / n)
        if table.keys[clade].bit_count() == 1:
            score[clade] = 0.0
            choice[clade] = None
            continue
        best: tuple[int, int] | None = None
        best_rank = (-math.inf, 0)
        for pair, count in table.resolutions.get(clade, {}).items():
            rank = (score[pair[0]] + score[pair[1]], count)
            if best is None or rank > best_rank:
                best, best_rank = pair, rank
        score[clade] = own + (best_rank[0] if best is not None else 0.0)
        choice[clade] = best
    keys = []
    stack = [root]
    while stack:
        clade = stack.pop()
        keys.append(table.keys[clade])
        chosen = choice[clade]
        if chosen is not None:
            stack.extend(chosen)
    return keys, score[root]
