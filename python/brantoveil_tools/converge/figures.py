"""The report's tables and figures computed from the split rows and the engine: the split table, split
courses, the ASDSF as the runs grow and the distances of a spread subsample of trees."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge.assess import Assessment, sdsf
from brantoveil_tools.converge.mds import tree_space
from brantoveil_tools.converge.parts import DistanceFigures, SplitCourses, SplitTable
from brantoveil_tools.converge.splits import SplitPresence, packed_sizes, side_taxa
from brantoveil_tools.converge.trees import EncodedRuns, block

MATRIX_TREES = 1000
"""At most this many trees, spread over the runs, enter the tree-space distances."""
CHECKPOINTS = 50
COURSE_SPLITS = 6


def split_names(presence: SplitPresence) -> list[tuple[str, ...]]:
    n_taxa = len(presence.taxa)
    sizes = packed_sizes(presence.sides, n_taxa)
    names = []
    for i in range(presence.n_splits):
        members = side_taxa(presence.sides[i], presence.taxa)
        if not presence.rooted and 2 * sizes[i] > n_taxa:
            chosen = set(members)
            members = [t for t in presence.taxa if t not in chosen]
        names.append(tuple(members))
    return names


def split_table(presence: SplitPresence, result: Assessment) -> tuple[SplitTable, NDArray[np.int64]]:
    """The split table, most frequent first, and the split number of each of its rows."""
    names = split_names(presence)
    frequencies, overall = result.frequencies, result.overall
    spread = (frequencies.std(axis=1, ddof=1) if frequencies.shape[1] > 1
              else np.full(len(frequencies), np.nan))
    order = sorted(range(presence.n_splits), key=lambda i: (-overall[i], len(names[i]), names[i]))
    index = np.asarray(order, dtype=np.int64)
    table = SplitTable(tuple(names[i] for i in order), frequencies[index], overall[index], spread[index],
                       result.counted[index], result.tested[index], result.split_ess[index],
                       result.thresholds[index], result.passes[index])
    return table, index


def split_courses(presence: SplitPresence, members: Sequence[NDArray[np.int64]], table: SplitTable,
                   order: NDArray[np.int64], n_runs: int) -> SplitCourses | None:
    """Cumulative and sliding-window frequencies of the COURSE_SPLITS splits of largest SDSF (or, with one
    run, of frequency nearest 0.5). ``order[i]`` is the split number of table row i."""
    shortest = min(len(m) for m in members)
    candidates = np.flatnonzero(table.in_asdsf | table.tested)
    if shortest < 2 or len(candidates) == 0:
        return None
    if n_runs > 1:
        ranking = candidates[np.argsort(-table.sd[candidates], kind="stable")]
    else:
        ranking = candidates[np.argsort(np.abs(table.overall[candidates] - 0.5), kind="stable")]
    chosen = ranking[:COURSE_SPLITS]
    split_numbers = order[chosen]
    checkpoints = np.unique(np.linspace(1, shortest, min(CHECKPOINTS * 2, shortest)).round().astype(np.int64))
    window = max(2, shortest // 10)
    cumulative = np.full((len(chosen), n_runs, len(checkpoints)), np.nan)
    sliding = np.full_like(cumulative, np.nan)
    column = np.full(presence.n_splits, -1, dtype=np.int64)
    column[split_numbers] = np.arange(len(chosen))
    for r, trees in enumerate(members):
        rows = presence.subset(trees[:shortest])
        wanted = column[rows.indices]
        held = np.zeros((shortest, len(chosen)))
        held[rows.tree_of_entry()[wanted >= 0], wanted[wanted >= 0]] = 1.0
        running = np.cumsum(held, axis=0)
        cumulative[:, r, :] = (running[checkpoints - 1] / checkpoints[:, None]).T
        padded = np.vstack((np.zeros((1, len(chosen))), running))
        full = checkpoints >= window
        ends = checkpoints[full]
        sliding[:, r, full] = ((padded[ends] - padded[ends - window]) / window).T
    return SplitCourses(chosen.astype(np.int64), checkpoints, window, cumulative, sliding)


def cumulative_asdsf(presence: SplitPresence, members: Sequence[NDArray[np.int64]],
                      min_freq: float) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """ASDSF of the first k trees of every run, at up to CHECKPOINTS growing k."""
    shortest = min(len(m) for m in members)
    if len(members) < 2 or shortest < 1:
        return np.zeros(0, dtype=np.int64), np.zeros(0)
    steps = np.unique(np.linspace(1, shortest, min(CHECKPOINTS, shortest)).round().astype(np.int64))
    counts = np.zeros((presence.n_splits, len(members)))
    done = 0
    values = []
    for k in steps:
        for r, trees in enumerate(members):
            counts[:, r] += presence.counts(trees[done:k])
        done = int(k)
        value, _, _ = sdsf(counts / k, min_freq)
        values.append(value if value is not None else np.nan)
    return steps, np.asarray(values, dtype=np.float64)


def spread_indices(members: Sequence[NDArray[np.int64]], total: int) -> NDArray[np.int64]:
    """At most ``total`` trees, each run's share in proportion to its size, evenly spaced within it."""
    n = sum(len(m) for m in members)
    picked = []
    for trees in members:
        share = len(trees) if n <= total else max(2, round(total * len(trees) / n))
        share = min(share, len(trees))
        picked.append(trees[np.unique(np.linspace(0, len(trees) - 1, share).round().astype(np.int64))])
    return np.sort(np.concatenate(picked))


def distance_figures(encoded: EncodedRuns, members: Sequence[NDArray[np.int64]], metric: str) -> DistanceFigures:
    indices = spread_indices(members, MATRIX_TREES)
    run_of = np.zeros(encoded.n_trees, dtype=np.int64)
    for r, trees in enumerate(members):
        run_of[trees] = r
    if len(indices) < 2:
        return DistanceFigures(metric, indices, run_of[indices], np.zeros((len(indices),) * 2),
                               np.zeros((len(indices), 2)), "none")
    matrix = block(encoded.native, metric, indices, indices)
    coordinates, method = tree_space(matrix)
    return DistanceFigures(metric, indices, run_of[indices], matrix, coordinates, method)

