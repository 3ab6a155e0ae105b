"""`summarize`: one sample in, a summary tree (majority rule, all-compatible, MCC or HIPSTR) with its
clade table and, when asked, the credible set of topologies out."""

from __future__ import annotations

import math
import os
import statistics
from array import array
from collections.abc import Iterator, Sequence
from contextlib import ExitStack
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ..commit import atomic_path, check_target
from ..errors import BrantoveilError
from ..rooting import decide
from ..sample import Sample, read_sample
from ..selection import Selection
from ..tsv import tsv_cell
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
    read_target,
    taxon_order,
    views,
)
from .credible import CredibleTopology, credible_set
from .finite import warn_non_finite_summary, warn_non_finite_values
from .heights import common_ancestor_heights
from .hipstr import hipstr_clades
from .majority import majority_clades
from .mcc import mcc_tree
from .nexus import newick, nexus_text, quote
from .settings import HEIGHTS as HEIGHTS  # the command line's help lists them from here
from .settings import LENGTHS as LENGTHS
from .settings import METHODS as METHODS
from .settings import SummarizeSettings
from .traits import describe_note
from .tree import Node, SummaryTree, describe, from_clades, mean

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
    rooting : str
        Why the trees were taken as rooted or unrooted.
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
    rooting: str
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


def summarize(runs: PathLike | Sequence[PathLike] | Sample, settings: SummarizeSettings | None = None, /,
              **changes: Any) -> SummaryResult:
    """Summarizes the trees of one or more runs as one tree.

    Parameters
    ----------
    runs : path, sequence of paths or Sample
        Tree files (one run each), or a sample already read.
    settings : SummarizeSettings, optional
        Every setting of the summary (the defaults when not given).
    **changes
        Settings by name, changing those of `settings` (``method="mcc"``, ``rooted=True``, ...).

    Raises
    ------
    BrantoveilError
        Unknown method or option, runs with different taxa, a selection keeping no tree, heights
        asked of trees without branch lengths or of unrooted trees.
    """
    chosen = replace(settings if settings is not None else SummarizeSettings(), **changes).checked()
    rooted, heights = chosen.rooted, chosen.heights
    sample = runs if isinstance(runs, Sample) else read_sample(runs, burnin=chosen.burnin, thin=chosen.thin,
                                                                progress=chosen.progress)
    if len(sample) == 0:
        raise BrantoveilError("the selection keeps no tree")
    rooting = decide(sample, rooted)
    rooted = rooting.rooted
    chosen = replace(chosen, rooted=rooted)
    if heights is not None and not rooted:
        raise BrantoveilError(f"--heights needs rooted trees ({rooting.describe()})")
    taxa = taxon_order(sample)
    reader = Reader(taxa, rooted)
    kept_view = read_target(chosen.target, reader) if chosen.target is not None else None  # before the long work
    # HIPSTR and common-ancestor heights need the child clades of every node, and a root that means
    # something: two children in every tree.
    rooted_only = [what for what, used in (("hipstr", chosen.method == "hipstr"), ("--heights ca", heights == "ca"))
                   if used]
    if rooted_only and not rooted:
        raise BrantoveilError(f"{rooted_only[0]} needs rooted trees ({rooting.describe()})")
    presence: Presence | None = None
    if len(sample) < 2:  # the engine wants two trees at least
        table = python_table(sample, reader, bool(rooted_only))
    else:
        table, presence = engine_table(sample, reader, chosen.progress, resolutions=bool(rooted_only))
    if rooted_only and table.first_unrooted >= 0:
        raise BrantoveilError(f"{rooted_only[0]} needs rooted trees, and tree {sample.names[table.first_unrooted]} "
                              f"is not: its root has {table.root_children} children")
    method, keys, score, picked_name, kept_view = _clades(chosen, sample, reader, table, kept_view)
    tree = from_clades(keys, len(taxa), rooted)
    return _summary(tree, chosen, rooting.describe(), method, sample, reader, table, presence, kept_view, score,
                    picked_name)


def _clades(chosen: SummarizeSettings, sample: Sample, reader: Reader, table: CladeTable,
            kept_view: TreeView | None) -> tuple[str, list[int], float, str, TreeView | None]:
    """The summary tree's clades by its method: (method, clade keys, score, chosen tree's name, kept tree)."""
    if kept_view is not None:
        return "target", [key for key in kept_view.keys if key], math.nan, "", kept_view
    if chosen.method in ("majority", "allcompat"):
        return chosen.method, majority_clades(table, chosen.min_freq, chosen.method == "allcompat"), math.nan, "", None
    if chosen.method == "mcc":
        index, score = mcc_tree(table)
        view = next(views(sample.subset([index]), reader))[2]
        return chosen.method, [key for key in view.keys if key], score, sample.names[index], view
    keys, score = hipstr_clades(table)
    return chosen.method, keys, score, "", None


def _summary(tree: SummaryTree, chosen: SummarizeSettings, rooting: str, method: str, sample: Sample, reader: Reader,
             table: CladeTable, presence: Presence | None, kept_view: TreeView | None, score: float,
             picked_name: str) -> SummaryResult:
    """The tree annotated with its clades' posteriors, lengths, heights and notes, and the result around it."""
    rooted, heights, lengths, taxa = chosen.rooted is True, chosen.heights, chosen.lengths or "median", reader.taxa
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
        # TreeAnnotator's default keeps a sampled or target tree's own heights; a built tree has none.
        heights = "keep" if method in ("mcc", "target") else "mean"
    if not values.all_lengths:
        lengths = "none"
    ancestors = common_ancestor_heights(sample, reader, tree) if heights == "ca" else None
    dropped = _annotate(tree, table, values, lengths, heights, kept_view, ancestors)
    if dropped:
        warn_non_finite_values(sample)
    warn_non_finite_summary(tree, taxa)
    found = credible_set(table, chosen.credible) if chosen.credible is not None else []
    return SummaryResult(
        method=method, newick=newick(tree, [quote(t) for t in taxa], annotate=True), taxa=taxa, rooted=rooted,
        rooting=rooting, n_trees=table.n_trees,
        clades=_clade_summary(table, {node.key for node in tree.nodes}), score=score, chosen=picked_name,
        credible=tuple(found), selection=sample.selection, tree=tree)


def _annotate(tree: SummaryTree, table: CladeTable, values: Values, lengths: str, heights: str | None,
              kept: TreeView | None, ancestors: dict[int, array[float]] | None) -> bool:
    """Writes posteriors, lengths, heights and annotations onto the nodes; True when values that are not
    finite were left out. Unrooted summaries take sumt's median, rooted ones TreeAnnotator's."""
    n = table.n_trees
    runs = len(table.run_trees)
    upper = not tree.rooted
    dropped = False
    for at, node in enumerate(tree.nodes):
        if not tree.rooted and at == 0:
            continue
        clade = table.id_of.get(node.key)
        if node.children:
            counts = table.run_counts[clade] if clade is not None else array("q", bytes(8 * runs))
            node.notes["posterior"] = sum(counts) / n
            if runs > 1:
                frequencies = [c / t for c, t in zip(counts, table.run_trees, strict=True)]
                node.notes["sdsf"] = statistics.stdev(frequencies)
                node.notes["posterior_range"] = (min(frequencies), max(frequencies))
        length_values = values.lengths.get(node.key)
        if length_values is not None and lengths != "none":
            found = describe("length", length_values, node.notes, upper, constant_once=tree.rooted)
            dropped |= found.dropped
            if not tree.rooted or heights is None:
                node.length = found.mean if lengths == "mean" else found.median
        height_values = values.heights.get(node.key)
        if tree.rooted and heights is not None and height_values is not None:
            found = describe("height", height_values, node.notes, upper, constant_once=tree.rooted)
            dropped |= found.dropped
            node.height = found.median if heights == "median" else found.mean
        for name, texts in values.notes.get(node.key, {}).items():
            if name not in ("posterior", "height", "length") and not name.startswith(("height_", "length_")):
                dropped |= describe_note(name, texts, node.notes, upper, tree.rooted)
    if kept is not None and tree.rooted and heights is not None:
        # The target's or MCC tree's own heights: for every node with "keep", else for clades the
        # sample never holds.
        own = {key: kept.heights[k] for k, key in enumerate(kept.keys) if key}
        for node in tree.nodes:
            if heights == "keep" or math.isnan(node.height):
                node.height = own.get(node.key, math.nan)
    if ancestors is not None:
        for node in tree.nodes:
            node.height = mean(ancestors[node.key])
    if tree.rooted and heights is not None:
        nodes = tree.nodes
        for node in nodes:
            for kid in node.children:
                nodes[kid].length = node.height - nodes[kid].height
    if lengths == "none":
        for node in tree.nodes:
            node.length = math.nan
    return dropped


def _clade_summary(table: CladeTable, in_tree: set[int]) -> CladeSummary:
    ids = [c for c in range(len(table.keys)) if not table.is_trivial(c)]
    ids.sort(key=lambda c: -sum(table.run_counts[c]))
    counts = np.asarray([sum(table.run_counts[c]) for c in ids], dtype=np.int64)
    per_run = np.asarray([[x / t for x, t in zip(table.run_counts[c], table.run_trees, strict=True)] for c in ids],
                         dtype=np.float64).reshape(len(ids), len(table.run_trees))
    sdsf = per_run.std(axis=1, ddof=1) if per_run.shape[1] > 1 else np.full(len(ids), np.nan)
    names = tuple(_members(table.taxa, [table.keys[c] for c in ids]))
    return CladeSummary(names, counts, counts / table.n_trees, per_run, sdsf,
                        np.asarray([table.keys[c] in in_tree for c in ids], dtype=bool))


def _members(taxa: tuple[str, ...], keys: list[int], block: int = 4096) -> Iterator[tuple[str, ...]]:
    """The taxa of each clade key, unpacked a block of keys at a time by NumPy (a loop over the bits
    of Python ints costs a second per 10^7 of them)."""
    width = (len(taxa) + 7) // 8
    for start in range(0, len(keys), block):
        chunk = keys[start:start + block]
        packed = np.frombuffer(b"".join(key.to_bytes(width, "little") for key in chunk), dtype=np.uint8)
        bits = np.unpackbits(packed.reshape(len(chunk), width), axis=1, bitorder="little")
        for row in bits:
            yield tuple(taxa[k] for k in np.flatnonzero(row).tolist())


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
