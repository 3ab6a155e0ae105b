"""Gene trees as phylogenomic data sets hold them: one tree per locus, each missing some taxa.

A Yule species tree of `taxa` species is drawn once (branch lengths in coalescent units); every
locus is a gene tree grown by the multispecies coalescent inside it, one lineage per species, then
a share of its taxa drawn from [drop_min, drop_max] is pruned away (the edge left above a pruned
leaf is merged with its parent edge, lengths summed, as a missing sequence leaves it). Seeded, so a
benchmark and a test see the same trees.

    python3 bench/gene_sample.py --trees 8000 --taxa 120 --drop 0,0.5 --seed 1 > genes.nwk
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass, field

import numpy as np


@dataclass
class Node:
    """One node of a rooted tree: a leaf has a name and no children."""

    height: float
    name: str = ""
    children: list[Node] = field(default_factory=list)


def species_tree(taxa: int, rng: np.random.Generator, birth_rate: float = 1.0) -> Node:
    """A Yule tree by coalescing random pairs backwards in time (rate k * birth_rate with k lineages)."""
    lineages = [Node(0.0, f"t{i + 1}") for i in range(taxa)]
    now = 0.0
    while len(lineages) > 1:
        now += rng.exponential(1.0 / (len(lineages) * birth_rate))
        i, j = sorted(rng.choice(len(lineages), 2, replace=False))
        right = lineages.pop(j)
        left = lineages.pop(i)
        lineages.append(Node(now, children=[left, right]))
    return lineages[0]


def _coalesce(lineages: list[Node], start: float, end: float, rng: np.random.Generator) -> list[Node]:
    """Kingman's coalescent from `start` up to `end` (inf: down to one lineage), time in coalescent units."""
    now = start
    while len(lineages) > 1:
        k = len(lineages)
        now += rng.exponential(2.0 / (k * (k - 1)))
        if now >= end:
            break
        i, j = sorted(rng.choice(k, 2, replace=False))
        right = lineages.pop(j)
        left = lineages.pop(i)
        lineages.append(Node(now, children=[left, right]))
    return lineages


def gene_tree(species: Node, rng: np.random.Generator) -> Node:
    """One gene tree of the multispecies coalescent within `species`, one sampled lineage per species."""

    def grow(node: Node, top: float) -> list[Node]:
        if not node.children:
            lineages = [Node(0.0, node.name)]
        else:
            lineages = [lin for child in node.children for lin in grow(child, node.height)]
        return _coalesce(lineages, node.height, top, rng)

    return grow(species, float("inf"))[0]


def prune(tree: Node, keep: set[str]) -> Node | None:
    """The subtree induced by `keep`; a node left with one child merges into it (heights keep lengths summed)."""
    if not tree.children:
        return tree if tree.name in keep else None
    kept = [c for c in (prune(child, keep) for child in tree.children) if c is not None]
    if not kept:
        return None
    if len(kept) == 1:
        return kept[0]
    return Node(tree.height, children=kept)


def newick(tree: Node, unrooted: bool = True) -> str:
    """Newick with branch lengths; unrooted writes the root as a trifurcation, as ML programs do."""

    def text(node: Node, parent_height: float) -> str:
        length = f":{parent_height - node.height:.6g}"
        if not node.children:
            return node.name + length
        return "(" + ",".join(text(c, node.height) for c in node.children) + ")" + length

    root = tree
    if unrooted and len(root.children) == 2 and any(c.children for c in root.children):
        # Dissolve one child of the root into it; its edge length goes onto its sibling.
        inner, other = (root.children[0], root.children[1])
        if not inner.children:
            inner, other = other, inner
        extra = root.height - inner.height
        parts = [text(c, inner.height) for c in inner.children] + [text(other, root.height + extra)]
        return "(" + ",".join(parts) + ");"
    return "(" + ",".join(text(c, root.height) for c in root.children) + ");"


def gene_trees(
    trees: int, taxa: int, drop: tuple[float, float] = (0.0, 0.5), seed: int = 1, unrooted: bool = True
) -> list[str]:
    """`trees` gene trees over `taxa` species, each missing a uniform share in `drop` of its taxa (at least 4 kept)."""
    rng = np.random.default_rng(seed)
    species = species_tree(taxa, rng)
    names = [f"t{i + 1}" for i in range(taxa)]
    texts = []
    for _ in range(trees):
        tree = gene_tree(species, rng)
        missing = int(rng.uniform(drop[0], drop[1]) * taxa)
        missing = min(missing, taxa - 4)
        keep = set(rng.choice(names, taxa - missing, replace=False).tolist())
        pruned = prune(tree, keep)
        assert pruned is not None
        texts.append(newick(pruned, unrooted))
    return texts


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=1000)
    parser.add_argument("--taxa", type=int, default=120)
    parser.add_argument("--drop", default="0,0.5", help="least and largest share of taxa dropped per tree")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rooted", action="store_true", help="keep the root's two children")
    args = parser.parse_args()
    low, high = (float(x) for x in args.drop.split(","))
    sys.setrecursionlimit(max(10_000, 4 * args.taxa))
    for text in gene_trees(args.trees, args.taxa, (low, high), args.seed, unrooted=not args.rooted):
        print(text)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
