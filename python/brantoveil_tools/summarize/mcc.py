"""The maximum clade credibility tree: the sampled tree whose clades' posteriors have the largest product."""

from __future__ import annotations

import math

from .clades import CladeTable


def topology_scores(table: CladeTable) -> list[float]:
    """The log clade credibility of every distinct topology: the sum, correctly rounded, of the logs
    of its clades' frequencies (so that equal clade sets score exactly equal whatever their order)."""
    n = table.n_trees
    logs = [math.log(sum(counts) / n) for counts in table.run_counts]
    return [math.fsum(logs[clade] for clade in clades) for clades in table.topology_clades]


def mcc_tree(table: CladeTable) -> tuple[int, float]:
    """(index of the chosen tree in the sample, its log clade credibility): the highest score, the
    earliest tree among equals."""
    scores = topology_scores(table)
    best = max(range(len(scores)), key=lambda t: (scores[t], -table.topology_first[t]))
    return table.topology_first[best], scores[best]
