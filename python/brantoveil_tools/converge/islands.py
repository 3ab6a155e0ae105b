"""Tree islands: clusters of the kept trees, found on the tree-space subsample and extended to every tree by
the engine's distances to the clusters' medoids (n x k distances, never an n x n matrix).

The Robinson-Foulds distances of the tree-space subsample (at most MATRIX_TREES trees) are clustered by
average linkage; the number of islands is the k of 2..MAX_ISLANDS whose clusters stand furthest apart (the
largest gap between the merge heights that join them and the next one below), kept only when that gap is more
than one rearrangement (NEIGHBOUR_RF) and the mean silhouette reaches MIN_SILHOUETTE (a reasonable structure,
in Kaufman and Rousseeuw's reading); otherwise the trees form one island. Every kept tree then joins the
island of its nearest medoid; an island's consensus is the majority-rule tree of its own trees (its splits
above one half).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray
from scipy.cluster.hierarchy import fcluster, linkage
from scipy.spatial.distance import squareform

from brantoveil_tools.converge.medoid import newick_from_splits
from brantoveil_tools.converge.trees import EncodedRuns, block

MAX_ISLANDS = 6
MIN_SILHOUETTE = 0.5
# Trees one rearrangement (NNI) apart differ by two splits: islands must stand further apart than that.
NEIGHBOUR_RF = 2.0


@dataclass(frozen=True)
class Island:
    """One cluster of trees: its medoid (an index into the encoded sample), its share of every run's kept
    trees, and the majority-rule consensus of its trees."""

    medoid: int
    medoid_name: str
    trees: int
    shares: tuple[float, ...]
    consensus: str


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class Islands:
    """The islands, largest first; ``drawn[i]`` is the island of the i-th tree of the tree-space picture."""

    islands: tuple[Island, ...]
    drawn: NDArray[np.int64]
    silhouette: float

    def to_dict(self, labels: Sequence[str]) -> dict[str, Any]:
        return {"silhouette": None if np.isnan(self.silhouette) else self.silhouette,
                "islands": [{"trees": island.trees, "medoid": island.medoid_name,
                             "shares": dict(zip(labels, island.shares, strict=True)),
                             "consensus": island.consensus} for island in self.islands]}


def silhouette(distances: NDArray[np.float64], labels: NDArray[np.int64]) -> float:
    """Mean silhouette of a clustering: per tree, (b - a) / max(a, b) with a its mean distance to the rest of
    its cluster and b the least mean distance to another cluster; 0 for a tree alone in its cluster."""
    clusters, member = np.unique(labels, return_inverse=True)
    if len(clusters) < 2:
        return float("nan")
    onehot = np.zeros((len(labels), len(clusters)))
    onehot[np.arange(len(labels)), member] = 1.0
    sizes = onehot.sum(axis=0)
    sums = distances @ onehot
    own_size = sizes[member]
    own = np.where(own_size > 1, sums[np.arange(len(labels)), member] / np.maximum(own_size - 1, 1), 0.0)
    others = sums / sizes
    others[np.arange(len(labels)), member] = np.inf
    nearest = others.min(axis=1)
    widest = np.maximum(own, nearest)
    scores = np.where((own_size > 1) & (widest > 0), (nearest - own) / np.where(widest > 0, widest, 1.0), 0.0)
    return float(scores.mean())


def find_islands(encoded: EncodedRuns, kept: Sequence[NDArray[np.int64]], names: Sequence[str],
                 subsample: NDArray[np.int64], distances: NDArray[np.float64]) -> Islands | None:
    """The islands of the kept trees ``kept[r]`` (indices into the encoded sample) from the subsample's
    Robinson-Foulds distances (``subsample`` indices, ``distances`` among them); None with fewer than 4."""
    n = len(subsample)
    if n < 4:
        return None
    tree = linkage(squareform(distances, checks=False), method="average")
    heights = tree[:, 2]
    # k islands undo the last k - 1 merges: they stand apart by the gap below the (k - 1)-th last merge.
    gaps = {k: float(heights[-(k - 1)] - heights[-k]) for k in range(2, min(MAX_ISLANDS, n - 1) + 1)}
    best, labels = float("nan"), np.ones(n, dtype=np.int64)
    if gaps:
        k = max(gaps, key=lambda size: (gaps[size], -size))
        found = fcluster(tree, k, criterion="maxclust").astype(np.int64)
        score = silhouette(distances, found)
        if gaps[k] > NEIGHBOUR_RF and score >= MIN_SILHOUETTE:
            best, labels = score, found
    medoids = []
    for cluster in np.unique(labels):
        members = np.flatnonzero(labels == cluster)
        within = distances[np.ix_(members, members)].sum(axis=1)
        medoids.append(int(subsample[members[np.argmin(within)]]))
    everything = np.concatenate(kept)
    nearest = np.argmin(block(encoded.native, "rf", everything, np.asarray(medoids, dtype=np.int64)), axis=1)
    island_of = np.full(encoded.n_trees, -1, dtype=np.int64)
    island_of[everything] = nearest
    presence = encoded.presence
    found_islands = []
    for i, medoid in enumerate(medoids):
        members = np.sort(everything[nearest == i])
        shares = tuple(float(np.mean(island_of[trees] == i)) for trees in kept)
        majority = np.flatnonzero(presence.counts(members) * 2 > len(members))
        found_islands.append(Island(medoid, names[medoid], len(members), shares,
                                    newick_from_splits(presence.sides[majority], presence.taxa)))
    order = sorted(range(len(medoids)), key=lambda i: -found_islands[i].trees)
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order))
    drawn = rank[island_of[subsample]]
    return Islands(tuple(found_islands[i] for i in order), drawn, best if len(medoids) > 1 else float("nan"))
