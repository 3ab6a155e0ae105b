"""Common-ancestor heights: each node of a summary tree at the height of its taxa's most recent common
ancestor in every sampled tree, whether or not that tree holds the clade (TreeAnnotator's ``ca``)."""

from __future__ import annotations

from array import array

from ..sample import Sample
from .clades import Reader, views
from .tree import SummaryTree


def common_ancestor_heights(sample: Sample, reader: Reader, tree: SummaryTree) -> dict[int, array[float]]:
    """For each node's clade key, the height of the MRCA of its taxa in every tree of `sample`.

    A node's MRCA is found by climbing from its first child's MRCA until the clade is covered, so each
    tree costs the summary tree's size plus the climbs.
    """
    found: dict[int, array[float]] = {node.key: array("d") for node in tree.nodes}
    nodes = tree.nodes
    children_first = tree.post_order()
    for _, _, view in views(sample, reader, checked=True):
        masks = view.keys
        parent = view.tree.parent
        leaf_of = {masks[node]: node for node, kids in enumerate(view.tree.children) if not kids}
        mrca = [0] * len(nodes)
        for at in children_first:
            node = nodes[at]
            key = node.key
            if not node.children:
                where = leaf_of[key]
            else:
                where = mrca[node.children[0]]
                while masks[where] & key != key:
                    where = parent[where]
            mrca[at] = where
            found[key].append(view.heights[where])
    return found
