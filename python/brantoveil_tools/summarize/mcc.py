"""The maximum clade credibility tree: the sampled tree whose clades' posteriors have the largest product."""

from __future__ import annotations

import math

from .clades import CladeTable


def topology_scores(table: CladeTable) -> list[float]:
    """The log clade credibility of every distinct topology.

    Summed as TreeAnnotator does, so that near-ties fall the same way: post-order over the tree as
    written, a node's score being its children's scores added in order, then the log of its own
    clade's frequency.
    """
    n = table.n_trees
    logs = [math.log(sum(counts) / n) for counts in table.run_counts]
    scores = []
    for program in table.topologies:
        stack: list[float] = []
        for step in range(0, len(program), 2):
            clade, kids = program[step], program[step + 1]
            if not kids:
                stack.append(0.0)
                continue
            score = 0.0
            for value in stack[len(stack) - kids:]:
                score += value
            del stack[len(stack) - kids:]
            if clade >= 0:
                score += logs[clade]
            stack.append(score)
        scores.append(stack[-1])
    return scores


def mcc_tree(table: CladeTable) -> tuple[int, float]:
    """(index of the chosen tree in the sample, its log clade credibility): the highest score, the
    earliest tree among equals."""
    scores = topology_scores(table)
    best = max(range(len(scores)), key=lambda t: (scores[t], -table.topology_first[t]))
    return table.topology_first[best], scores[best]
