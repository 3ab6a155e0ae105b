"""A medoid tree written back as Newick from its splits (the medoid itself is `sums.medoid`'s)."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools import newick_writer
from brantoveil_tools.converge.splits import packed_sizes


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
    # Nodes: 0 the root, 1 + s side s, 1 + n_sides + leaf a leaf; each lists its children by first taxon.
    n_sides = len(sides)
    children: list[list[tuple[int, int]]] = [[] for _ in range(1 + n_sides + n_taxa)]
    for leaf in range(n_taxa):
        children[1 + int(leaf_parent[leaf])].append((leaf, 1 + n_sides + leaf))
    for side in range(n_sides):
        children[1 + int(side_parent[side])].append((int(np.flatnonzero(bits[side])[0]), 1 + side))

    def after(node: int) -> str:
        return newick_writer.quote(taxa[node - 1 - n_sides]) if node > n_sides else ""

    return newick_writer.write([[node for _, node in sorted(kids)] for kids in children], after)
