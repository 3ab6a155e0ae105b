"""A medoid tree written back as Newick from its splits (the medoid itself is `sums.medoid`'s)."""

from __future__ import annotations

import re
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge.splits import packed_sizes

_PLAIN_NAME = re.compile(r"[^\s(),:;'\[\]]+")


def quote_name(name: str) -> str:
    """A taxon name as a Newick label, single-quoted when it holds characters Newick reserves."""
    if _PLAIN_NAME.fullmatch(name):
        return name
    return "'" + name.replace("'", "''") + "'"


def newick_from_splits(sides: NDArray[np.uint8], taxa: Sequence[str]) -> str:
    """Newick text (topology only) of the tree whose non-trivial splits have the given packed sides.

    The sides of one tree's splits are nested or disjoint (the side without the first taxon when unrooted,
    the clade when rooted), so each lies inside the smallest side that contains it, and the whole leaf set
    is the root. Children are listed by their first taxon, so equal trees give equal text.
    """
    n_taxa = len(taxa)
    width = (n_taxa + 7) // 8
    sides = sides.reshape(-1, width)
    bits = np.unpackbits(sides, axis=1, bitorder="little")[:, :n_taxa].astype(bool)
    largest_first = np.argsort(-packed_sizes(sides, n_taxa), kind="stable")
    # Walking from large to small sides, a leaf's latest side is the smallest one holding it.
    leaf_parent = np.full(n_taxa, -1, dtype=np.int64)
    side_parent = np.full(len(sides), -1, dtype=np.int64)
    for side in largest_first:
        members = np.flatnonzero(bits[side])
        side_parent[side] = leaf_parent[members[0]]
        leaf_parent[members] = side
    children: dict[int, list[tuple[int, str]]] = {}
    for leaf in range(n_taxa):
        children.setdefault(int(leaf_parent[leaf]), []).append((leaf, quote_name(taxa[leaf])))
    for side in largest_first[::-1]:  # smaller sides first: a side's children are complete when it is written
        parts = sorted(children.pop(int(side)))
        text = "(" + ",".join(part for _, part in parts) + ")"
        children.setdefault(int(side_parent[side]), []).append((parts[0][0], text))
    return "(" + ",".join(part for _, part in sorted(children[-1])) + ");"
