"""The notebook entry point: tree files (or Newick strings) in, a labelled distance matrix out."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Literal, overload

import numpy as np

from . import engine, memory, policy
from .checks import check_lengths, warn_non_finite
from .errors import BrantoveilError
from .progress import phase
from .result import DistanceResult as DistanceResult  # re-exported: callers import it from here
from .result import SplitExports as SplitExports
from .sample import PathLike, Sample, from_newick, read_sample
from .selection import BurnIn

if TYPE_CHECKING:
    from .genes import GeneDistances, Taxa

Metric = Literal["rf", "wrf", "kf"]


def as_sample(trees: Sample | PathLike | Sequence[PathLike] | Sequence[str], burnin: BurnIn | None,
              thin: int, progress: bool | None = False) -> Sample:
    """A Sample from tree files or from Newick strings (a string ending in ';' with a '(' is a tree)."""
    if isinstance(trees, Sample):
        if burnin is not None or thin != 1:
            raise BrantoveilError("burn-in and thinning were applied when the sample was read")
        return trees
    if isinstance(trees, str | os.PathLike):
        return read_sample(trees, policy.DEFAULT_BURNIN if burnin is None else burnin, thin, progress)
    items = list(trees)
    if items and all(isinstance(item, str) and _looks_like_newick(item) for item in items):
        return from_newick(items, burnin=0 if burnin is None else burnin, thin=thin)  # type: ignore[arg-type]
    return read_sample(items, policy.DEFAULT_BURNIN if burnin is None else burnin, thin, progress)


def require_pair(sample: Sample) -> Sample:
    """The sample itself, if it holds the two trees that any comparison needs."""
    if len(sample) < 2:
        raise BrantoveilError(f"need at least 2 trees to compare; the selection keeps {len(sample)}")
    return sample


def _looks_like_newick(text: str) -> bool:
    stripped = text.rstrip()
    return stripped.endswith(";") and "(" in stripped


@overload
def distances(trees: Sample | PathLike | Sequence[PathLike] | Sequence[str], metric: Metric = "rf", *,
              rooted: bool = False, burnin: BurnIn | None = None, thin: int = 1,
              progress: bool | None = False, exports: bool = False, check_memory: bool = True,
              taxa: Literal["same"] = "same") -> DistanceResult:
    ...
@overload
def distances(trees: Sample | PathLike | Sequence[PathLike] | Sequence[str], metric: Metric = "rf", *,
              rooted: bool = False, burnin: BurnIn | None = None, thin: int = 1,
              progress: bool | None = False, exports: bool = False, check_memory: bool = True,
              taxa: Taxa) -> DistanceResult | GeneDistances:
    ...
def distances(trees: Sample | PathLike | Sequence[PathLike] | Sequence[str], metric: Metric = "rf", *,
              rooted: bool = False, burnin: BurnIn | None = None, thin: int = 1,
              progress: bool | None = False, exports: bool = False, check_memory: bool = True,
              taxa: Taxa = "same") -> DistanceResult | GeneDistances:
    """The pairwise distance matrix of the trees of one or more runs.

    Parameters
    ----------
    trees : Sample, path, sequence of paths, or sequence of Newick strings
        Tree files (one run each; NEXUS, Newick or RevBayes, gzip or not), a `Sample` from
        `read_sample`, or Newick strings held in memory.
    metric : {"rf", "wrf", "kf"}
        Robinson-Foulds, weighted Robinson-Foulds, or the Kuhner-Felsenstein branch score.
    rooted : bool
        Compare clades (rooted) instead of bipartitions.
    burnin : float, int or str, optional
        For tree files 0.25 by default (the first quarter of every run, as MrBayes); for strings 0.
        See `read_sample` for the forms.
    thin : int
        Keep every `thin`-th tree after the burn-in.
    progress : bool or None
        Progress bars on stderr; None shows them only when stderr is a terminal.
    exports : bool
        Also return the split presence (RF) or branch-length matrix and the taxa of every split.
    check_memory : bool
        Refuse, before any work, a result larger than the memory available (or than the environment
        variable ``BRANTOVEIL_MEMORY``, as ``12G``), with `memory.MemoryLimitError`.
    taxa : "same", "shared", "common", a sequence of taxon names, or a path to a file of them
        "same" (the default): every tree must hold the same taxa. Otherwise the trees are gene trees
        (every tree kept, no burn-in) compared on the taxa each pair shares, cut to the taxa all trees
        hold or to the listed ones; see `brantoveil_tools.genes.gene_distances`.

    Returns
    -------
    DistanceResult, or GeneDistances when `taxa` is not "same"

    Examples
    --------
    >>> result = distances(["run1.t", "run2.t"], "rf", burnin=0.25)          # doctest: +SKIP
    >>> result.matrix.shape, result.names[0]                                 # doctest: +SKIP
    ((1502, 1502), 'run1.t:gen.250000')
    """
    if not (isinstance(taxa, str) and taxa == "same"):
        from .genes import gene_distances

        if isinstance(trees, Sample) or burnin is not None or thin != 1 or exports:
            raise BrantoveilError("gene trees (taxa other than 'same') are read whole from files or strings, "
                                  "without burn-in, thinning or exports")
        return gene_distances(trees, metric, taxa=taxa, rooted=rooted, progress=progress, check_memory=check_memory)
    chosen = policy.metric(metric)
    if not isinstance(rooted, bool):
        raise BrantoveilError("rooted must be True or False")
    sample = require_pair(as_sample(trees, burnin, thin, progress))
    if chosen.needs_lengths:
        check_lengths(sample, chosen.name)
    n, n_taxa = len(sample), len(sample.taxa)
    if check_memory:
        memory.check(n, n_taxa, chosen.dtype.itemsize, exports, chosen.needs_lengths)
    try:
        result = engine.pairwise(sample, chosen, rooted=rooted, progress=progress, exports=exports)
    except MemoryError:
        raise memory.limit_error(n, n_taxa, *memory.estimate(n, n_taxa, chosen.dtype.itemsize, exports,
                                                           chosen.needs_lengths), None) from None
    matrix = np.frombuffer(result.matrix, dtype=chosen.dtype).reshape(n, n)
    if chosen.needs_lengths:
        with phase("checking distances", progress):  # a pass over the whole matrix: a second at 40,000 trees
            warn_non_finite(matrix, sample, chosen.name)
    split_exports = None if result.exports is None else _exports(result.exports, n, chosen)
    return DistanceResult(chosen.name, rooted, matrix, sample.names, sample.runs, sample.run_labels,
                          sample.selection, split_exports)




def _exports(result: engine.Exports, n: int, metric: policy.Metric) -> SplitExports:
    leaf_names = result.leaf_names
    splits = result.n_splits
    row_bytes = (len(leaf_names) + 7) // 8
    packed = np.frombuffer(result.clades, dtype=np.uint8).reshape(splits, row_bytes)
    clades = np.unpackbits(packed, axis=1, bitorder="little")[:, : len(leaf_names)].astype(bool)
    labels = tuple("|".join(leaf_names[i] for i in np.flatnonzero(row)) for row in clades)
    if not metric.needs_lengths:
        presence = np.frombuffer(result.per_tree, dtype=np.uint8).reshape(n, splits)
        return SplitExports(leaf_names, clades, labels, presence, None)
    lengths = np.frombuffer(result.per_tree, dtype="<f8").reshape(n, splits)
    return SplitExports(leaf_names, clades, labels, None, lengths)
