"""The distance matrix as the library returns it: a frozen value of arrays and their labels."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .sample import _count, _few
from .selection import Selection


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class SplitExports:
    """Every split of the sample: which tree has it (or its branch length there) and which taxa it holds.

    Attributes
    ----------
    leaf_names : tuple of str
        The taxa, sorted; column i of `clades` is ``leaf_names[i]``.
    clades : ndarray of bool, shape (n_splits, n_taxa)
        The canonical side of every split: the clade when rooted, else the side without the first taxon.
    labels : tuple of str
        Every split as its taxa on the canonical side, joined by ``"|"``.
    presence : ndarray of uint8, shape (n_trees, n_splits), or None
        1 where the tree has the split (Robinson-Foulds); pendant splits are 1 in every tree.
    branch_lengths : ndarray of float64, shape (n_trees, n_splits), or None
        The split's branch length in the tree, 0.0 where absent (weighted metrics).
    """

    leaf_names: tuple[str, ...]
    clades: npt.NDArray[np.bool_]
    labels: tuple[str, ...]
    presence: npt.NDArray[np.uint8] | None
    branch_lengths: npt.NDArray[np.float64] | None

    def __repr__(self) -> str:
        kind = "presence" if self.presence is not None else "branch lengths"
        return (f"<SplitExports: {len(self.labels)} splits of {len(self.leaf_names)} taxa, {kind}>\n"
                f"splits: {_few(list(self.labels), 3)}")


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class DistanceResult:
    """A pairwise distance matrix with its labels.

    Attributes
    ----------
    metric : {"rf", "wrf", "kf"}
    rooted : bool
    matrix : ndarray, shape (n, n)
        ``uint32`` for Robinson-Foulds, ``float64`` otherwise; a read-only view of the engine's result.
    names : tuple of str
        ``"run:tree-name"`` per row.
    runs : ndarray of int64
        The run index of every row; `run_labels` names the runs.
    run_labels : tuple of str
    selection : Selection
        The burn-in and thinning used.
    exports : SplitExports or None
        With ``exports=True``: the presence (RF) or branch-length (weighted) matrix and the split taxa.
    """

    metric: str
    rooted: bool
    matrix: npt.NDArray[Any]
    names: tuple[str, ...]
    runs: npt.NDArray[np.int64]
    run_labels: tuple[str, ...]
    selection: Selection
    exports: SplitExports | None = None

    def __repr__(self) -> str:
        n = len(self.names)
        rooting = "rooted" if self.rooted else "unrooted"
        exports = "" if self.exports is None else f", with exports of {len(self.exports.labels)} splits"
        return (f"<DistanceResult: {self.metric} ({rooting}), {n} x {n} {self.matrix.dtype} matrix "
                f"from {_count(len(self.run_labels), 'run')}{exports}>\n"
                f"trees: {_few(list(self.names), 3)}")
