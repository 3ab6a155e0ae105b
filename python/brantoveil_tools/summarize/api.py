"""`summarize`: one sample in, a summary tree (majority rule, all-compatible, MCC or HIPSTR) with its
clade table and, when asked, the credible set of topologies out."""

from __future__ import annotations

import math
import os
import statistics
from collections.abc import Sequence
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

from ..errors import BrantoveilError
from ..output import atomic_path, check_target, tsv_cell
from ..policy import DEFAULT_BURNIN
from ..sample import Sample, read_sample
from ..selection import BurnIn, Selection
from .clades import (
    CladeTable,
    Presence,
    Reader,
    TreeView,
    Values,
    collect,
    collect_rooted,
    collect_unrooted,
    engine_table,
    python_table,
    taxon_order,
    views,
)
from .credible import CredibleTopology, credible_set
from .hipstr import hipstr_clades
from .majority import majority_clades
from .mcc import mcc_tree
from .nexus import newick, nexus_text, quote
from .tree import Node, SummaryTree, describe, from_clades

METHODS = ("majority", "allcompat", "mcc", "hipstr")
LENGTHS = ("mean", "median", "none")
HEIGHTS = ("mean", "median", "keep")
TREE_SUFFIXES = (".tre", ".tree", ".trees", ".nex", ".nexus", ".nwk", ".newick")

PathLike = str | os.PathLike[str]


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class CladeSummary:
    """Every non-trivial clade (or split) seen, by decreasing frequency.

    Attributes
    ----------
    taxa : tuple of tuple of str
        The taxa of each clade (for splits: the side without the first taxon).
    counts : ndarray of int64
        Trees holding each clade.
    frequencies : ndarray of float64
        counts / trees.
    run_frequencies : ndarray of float64
        Clades x runs: the frequency in each run.
    sdsf : ndarray of float64
        Sample standard deviation (n - 1) of the run frequencies; NaN with one run.
    in_tree : ndarray of bool
        Whether the summary tree holds the clade.
    """

    taxa: tuple[tuple[str, ...], ...]
    counts: npt.NDArray[np.int64]
    frequencies: npt.NDArray[np.float64]
    run_frequencies: npt.NDArray[np.float64]
    sdsf: npt.NDArray[np.float64]
    in_tree: npt.NDArray[np.bool_]


@dataclass(frozen=True)
class SummaryResult:
    """A summary tree and what it was made from.

    Attributes
    ----------
    method : str
        "majority", "allcompat", "mcc" or "hipstr".
    newick : str
        The tree with taxon names, branch lengths and ``[&...]`` annotations.
    taxa : tuple of str
        Taxa in translate-table order (numbers 1.. in the NEXUS output).
    rooted : bool
        Clades (True) or splits (False).
    n_trees : int
        Trees summarized.
    clades : CladeSummary
        The clade table.
    score : float
        The tree's summed log clade posteriors (MCC, HIPSTR); NaN for consensus trees.
    chosen : str
        The sampled tree an MCC tree is ("run:name"); empty otherwise.
    credible : tuple of CredibleTopology
        The credible set when asked for.
    selection : Selection
        Burn-in and thinning applied.
    tree : SummaryTree
        The tree's nodes, for writers.
    """

    method: str
    newick: str
    taxa: tuple[str, ...]
    rooted: bool
    n_trees: int
    clades: CladeSummary
    score: float
    chosen: str
    credible: tuple[CredibleTopology, ...]
    selection: Selection
    tree: SummaryTree

    def nexus(self) -> str:
        """The tree as a NEXUS file with a translate table."""
        return nexus_text(self.tree, self.taxa, f"{self.method.upper()}")

    def plain_newick(self) -> str:
        """Newick with names, lengths, and each clade's posterior as its label."""
        return newick(self.tree, [quote(t) for t in self.taxa], annotate=False, support=True)


def summarize(runs: PathLike | Sequence[PathLike] | Sample, method: str = "majority",
              burnin: BurnIn = DEFAULT_BURNIN, thin: int = 1, rooted: bool = False, min_freq: float = 0.5,
              lengths: str = "mean", heights: str | None = None, credible: float | None = None,
              progress: bool | None = False) -> SummaryResult:
    """Summarizes the trees of one or more runs as one tree.

    Parameters
    ----------
    runs : path, sequence of paths or Sample
        Tree files (one run each), or a sample already read.
    method : str
        ``"majority"`` (majority-rule consensus), ``"allcompat"`` (majority rule plus every compatible
        clade by decreasing frequency), ``"mcc"`` (maximum clade credibility tree) or ``"hipstr"``.
    burnin, thin : see `read_sample`
    rooted : bool
        Compare clades (rooted trees, e.g. from BEAST) instead of splits.
    min_freq : float
        Majority rule keeps clades of frequency above one half and at least `min_freq`.
    lengths : str
        Branch lengths of unrooted summaries: the clade's ``"mean"`` or ``"median"`` length, or ``"none"``.
    heights : str or None
        Node heights of rooted summaries: the clade's ``"mean"`` or ``"median"`` height over the trees
        holding it, or ``"keep"`` the MCC tree's own; None: mean when the trees have lengths.
    credible : float or None
        Also list the credible set of topologies of this mass (e.g. 0.95).

    Raises
    ------
    BrantoveilError
        Unknown method or option, runs with different taxa, a selection keeping no tree, heights
        asked of trees without branch lengths or of unrooted trees.
    """
    if method not in METHODS:
        raise BrantoveilError(f"unknown method {method!r}: expected one of {', '.join(METHODS)}")
    if lengths not in LENGTHS:
        raise BrantoveilError(f"unknown --lengths {lengths!r}: expected one of {', '.join(LENGTHS)}")
    if heights is not None and heights not in HEIGHTS:
        raise BrantoveilError(f"unknown --heights {heights!r}: expected one of {', '.join(HEIGHTS)}")
    if heights is not None and not rooted:
        raise BrantoveilError("--heights needs rooted trees (--rooted)")
    if heights == "keep" and method != "mcc":
        raise BrantoveilError("--heights keep needs a sampled tree: use it with --method mcc")
    if not 0.0 <= min_freq <= 1.0 or math.isnan(min_freq):
        raise BrantoveilError(f"--min-freq must lie in 0..1, not {min_freq}")
    if credible is not None and not 0.0 < credible <= 1.0:
        raise BrantoveilError(f"the credible set's mass must lie in (0, 1], not {credible}")
    sample = runs if isinstance(runs, Sample) else read_sample(runs, burnin=burnin, thin=thin, progress=progress)
    if len(sample) == 0:
        raise BrantoveilError("the selection keeps no tree")
    taxa = taxon_order(sample)
    reader = Reader(taxa, rooted)
    # HIPSTR needs the child clades of every node, which only this package's reader keeps; the
    # engine wants two trees at least.
    presence: Presence | None = None
    if method == "hipstr" and not rooted:
        raise BrantoveilError("hipstr needs rooted trees (--rooted)")
    if len(sample) < 2:  # the engine wants two trees at least
        table = python_table(sample, reader, method == "hipstr")
    else:
        table, presence = engine_table(sample, reader, progress, resolutions=method == "hipstr")

    score = math.nan
    chosen = ""
    kept_view: TreeView | None = None
    if method in ("majority", "allcompat"):
        keys = majority_clades(table, min_freq, method == "allcompat")
    elif method == "mcc":
        index, score = mcc_tree(table)
        chosen = sample.names[index]
        picked = sample.subset([index])
        kept_view = next(views(picked, reader))[2]
        keys = [key for key in kept_view.keys if key]
    else:
        keys, score = hipstr_clades(table)
    tree = from_clades(keys, len(taxa), rooted)
    wanted = [node.key for node in tree.nodes if not (node is tree.nodes[0] and not rooted)]
    # Unrooted trees need only branch lengths, which the engine already holds for all but the
    # pendant edges; rooted ones need heights, which only the Python reader gives.
    quick = None
    if presence is not None:
        collect_quick = collect_rooted if rooted else collect_unrooted
        quick = collect_quick(sample, reader, wanted, table, presence)
    values = quick if quick is not None else collect(sample, reader, wanted)
    if heights is not None and not values.all_lengths:
        raise BrantoveilError("--heights needs branch lengths, and some trees have none")
    if rooted and heights is None and values.all_lengths:
        heights = "mean"
    if not values.all_lengths:
        lengths = "none"
    _annotate(tree, table, values, lengths, heights, kept_view)
    found = credible_set(table, credible) if credible is not None else []
    return SummaryResult(
        method=method, newick=newick(tree, [quote(t) for t in taxa], annotate=True), taxa=taxa, rooted=rooted,
        n_trees=table.n_trees, clades=_clade_summary(table, {node.key for node in tree.nodes}), score=score,
        chosen=chosen, credible=tuple(found), selection=sample.selection, tree=tree)


def _annotate(tree: SummaryTree, table: CladeTable, values: Values, lengths: str, heights: str | None,
              kept: TreeView | None) -> None:
    n = table.n_trees
    runs = len(table.run_trees)
    for at, node in enumerate(tree.nodes):
        clade = table.id_of.get(node.key) if (at or tree.rooted) else None
        if node.children and clade is not None:
            counts = table.run_counts[clade]
            node.notes["posterior"] = sum(counts) / n
            if runs > 1:
                frequencies = [c / t for c, t in zip(counts, table.run_trees, strict=True)]
                node.notes["sdsf"] = statistics.stdev(frequencies)
                node.notes["posterior_range"] = (min(frequencies), max(frequencies))
        if clade is None:
            continue
        length_values = values.lengths.get(node.key)
        if length_values is not None and lengths != "none":
            average, middle = describe("length", length_values, node.notes)
            if not tree.rooted or heights is None:
                node.length = average if lengths == "mean" else middle
        height_values = values.heights.get(node.key)
        if tree.rooted and heights is not None and height_values is not None:
            average, middle = describe("height", height_values, node.notes)
            node.height = average if heights == "mean" else middle
        for name, found in values.notes.get(node.key, {}).items():
            if name not in ("posterior", "height", "length") and not name.startswith(("height_", "length_")):
                describe(name, found, node.notes)
    if kept is not None and heights == "keep":
        own = {key: kept.heights[k] for k, key in enumerate(kept.keys) if key}
        for node in tree.nodes:
            node.height = own.get(node.key, math.nan)
    if tree.rooted and heights is not None:
        nodes = tree.nodes
        for node in nodes:
            for kid in node.children:
                nodes[kid].length = node.height - nodes[kid].height
    if lengths == "none":
        for node in tree.nodes:
            node.length = math.nan


def _clade_summary(table: CladeTable, in_tree: set[int]) -> CladeSummary:
    ids = [c for c in range(len(table.keys)) if not table.is_trivial(c)]
    ids.sort(key=lambda c: -sum(table.run_counts[c]))
    counts = np.asarray([sum(table.run_counts[c]) for c in ids], dtype=np.int64)
    per_run = np.asarray([[x / t for x, t in zip(table.run_counts[c], table.run_trees, strict=True)] for c in ids],
                         dtype=np.float64).reshape(len(ids), len(table.run_trees))
    sdsf = per_run.std(axis=1, ddof=1) if per_run.shape[1] > 1 else np.full(len(ids), np.nan)
    names = tuple(tuple(table.taxa[k] for k in range(len(table.taxa)) if table.keys[c] >> k & 1) for c in ids)
    return CladeSummary(names, counts, counts / table.n_trees, per_run, sdsf,
                        np.asarray([table.keys[c] in in_tree for c in ids], dtype=bool))


def tree_format(target: PathLike, form: str | None = None) -> str:
    """"nexus" or "newick": `form` when given, else from the suffix of `target`."""
    if form is not None:
        return form
    suffix = Path(target).suffix.lower()
    if suffix not in TREE_SUFFIXES:
        raise BrantoveilError(f"cannot tell the format of {target}: use one of {', '.join(TREE_SUFFIXES)} "
                              "or --format")
    return "newick" if suffix in (".nwk", ".newick") else "nexus"


def tree_text(result: SummaryResult, form: str) -> str:
    """The tree file's text: NEXUS, or plain Newick with the posteriors as labels."""
    return result.plain_newick() + "\n" if form == "newick" else result.nexus()


def credible_text(result: SummaryResult) -> str:
    """The credible set as TSV: rank, trees, probability, cumulative probability, topology."""
    labels = [quote(t) for t in result.taxa]
    lines = ["rank\ttrees\tprobability\tcumulative\ttopology\n"]
    for row in result.credible:
        shape = from_clades(row.clades, len(result.taxa), result.rooted)
        lines.append(f"{row.rank}\t{row.count}\t{row.probability!r}\t{row.cumulative!r}\t"
                     f"{tsv_cell(newick(shape, labels, annotate=False))}\n")
    return "".join(lines)


def write_files(files: Sequence[tuple[PathLike, str]]) -> None:
    """Writes several text files so that either all of them or none replace their targets."""
    with ExitStack() as stack:
        for target, text in files:
            temporary = stack.enter_context(atomic_path(target))
            with open(temporary, "w", encoding="utf-8", newline="\n") as handle:
                handle.write(text)


def write_tree(result: SummaryResult, target: PathLike, form: str | None = None) -> None:
    """Writes the tree: NEXUS (.tre, .nex, ...) or plain Newick (.nwk, .newick), or as `form` says."""
    write_files([(target, tree_text(result, tree_format(target, form)))])


def write_credible(result: SummaryResult, target: PathLike) -> None:
    """Writes the credible set as TSV."""
    write_files([(target, credible_text(result))])


def check_outputs(*targets: PathLike | None) -> None:
    """Fails before any work when an output cannot be written."""
    for target in targets:
        if target is not None:
            check_target(target)


__all__ = ["CladeSummary", "Node", "SummaryResult", "credible_text", "summarize", "tree_format", "tree_text",
           "write_credible", "write_files", "write_tree"]
