"""The credible set of topologies: distinct topologies by decreasing posterior, with the cumulative sum."""

from __future__ import annotations

from dataclasses import dataclass

from .clades import CladeTable


@dataclass(frozen=True)
class CredibleTopology:
    """One topology of the credible set."""

    rank: int
    count: int
    probability: float
    cumulative: float
    first_tree: int
    clades: tuple[int, ...]


def credible_set(table: CladeTable, level: float) -> list[CredibleTopology]:
    """The most probable topologies until their probabilities add up to `level` (the one crossing it
    included), as MrBayes's .trprobs lists them; ties by first appearance."""
    order = sorted(range(len(table.topology_clades)),
                   key=lambda t: (-table.topology_counts[t], table.topology_first[t]))
    found: list[CredibleTopology] = []
    total = 0
    for rank, topology in enumerate(order, 1):
        count = table.topology_counts[topology]
        total += count
        keys = tuple(table.keys[clade] for clade in table.topology_clades[topology])
        found.append(CredibleTopology(rank, count, count / table.n_trees, total / table.n_trees,
                                      table.topology_first[topology], keys))
        if total >= level * table.n_trees - 1e-9:
            break
    return found
