"""The clade table of a sample (every distinct clade or split with its count in every run, every
distinct topology with its count), then the values of the summary tree's clades over the trees.

The table comes from the engine's split presence, or from this package's reader when child clades are
needed (HIPSTR); the values from the engine's split lengths, or from a second streamed pass of the
reader when trees carry annotations. Memory: the table, the engine's split ids and lengths (12 bytes
per split per tree), and the summary clades' own values, which exact medians and HPDs need.

A clade is a Python int used as a bit set over the taxa (bit i for taxon i of `taxa`). Unrooted trees
are read as splits: a split is written as the side without taxon 0, so both sides of an edge give one
key; the two root edges of a bifurcating root are one edge.
"""

from __future__ import annotations

import math
import os
import re
from array import array
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from ..errors import BrantoveilError
from ..sample import Sample
from .newick import ParsedTree, length_of, parse, parse_checked


@dataclass(frozen=True)
class TreeView:
    """One tree read against the taxa: for every node its clade key (or -1 where no edge is counted)."""

    tree: ParsedTree
    keys: list[int]  # clade (rooted) or split (unrooted) of each node; 0 for the root's missing edge
    lengths: list[float]  # branch length of each node's edge (summed over a bifurcating unrooted root)
    heights: list[float]  # node height: deepest tip depth minus the node's depth (NaN without lengths)


class Reader:
    """Turns tree texts into `TreeView`s over one taxon order; checks every tree has exactly those taxa."""

    def __init__(self, taxa: tuple[str, ...], rooted: bool) -> None:
        self.taxa = taxa
        self.rooted = rooted
        self.index_of = {name: k for k, name in enumerate(taxa)}
        self.full = (1 << len(taxa)) - 1

    def view(self, text: str, translate: dict[str, str], where: str, checked: bool = False,
             reference: str = "the first tree") -> TreeView:
        """The tree's clades, lengths and heights; `checked`: the text was read once already;
        `reference` names where the taxa come from, in errors."""
        try:
            tree = parse_checked(text) if checked else parse(text)
        except BrantoveilError as error:
            raise BrantoveilError(f"{where}: {error}") from None
        parent = tree.parent
        labels = tree.labels
        masks = [0] * len(parent)
        index_of = self.index_of
        seen = 0
        for node in tree.post:
            mask = masks[node]
            if not mask:  # a leaf: inner nodes come after their children, so they are never 0 here
                label = labels[node]
                name = translate.get(label, label) if label is not None else None
                bit_index = index_of.get(name) if name is not None else None
                if bit_index is None:
                    raise BrantoveilError(f"{where}: taxon {name!r} is not in {reference}")
                mask = 1 << bit_index
                if seen & mask:
                    raise BrantoveilError(f"{where}: taxon {name!r} appears twice")
                seen |= mask
                masks[node] = mask
            up = parent[node]
            if up >= 0:
                masks[up] |= mask
        if seen != self.full:
            missing = [self.taxa[k] for k in range(len(self.taxa)) if not seen >> k & 1]
            raise BrantoveilError(f"{where}: taxa {', '.join(missing[:3])} are missing")
        lengths = list(tree.lengths)
        keys = masks
        if not self.rooted:
            full = self.full
            keys = [full ^ mask if mask & 1 else mask for mask in masks]
            keys[0] = 0
            root_kids = tree.children[0]
            if len(root_kids) == 2:
                # The two root edges are one edge of the unrooted tree.
                first, second = root_kids
                lengths[first] = _add(lengths[first], lengths[second])
                keys[second] = 0
        heights = _heights(tree)
        return TreeView(tree, keys, lengths, heights)


def _add(a: float, b: float) -> float:
    if math.isnan(a):
        return b
    return a if math.isnan(b) else a + b


def _heights(tree: ParsedTree) -> list[float]:
    lengths = tree.lengths
    depth = [0.0] * len(lengths)
    parent = tree.parent
    for node in range(1, len(lengths)):
        depth[node] = depth[parent[node]] + lengths[node]  # NaN spreads where a length is missing
    deepest = max(depth)
    if deepest != deepest or any(d != d for d in depth):
        return [math.nan] * len(lengths)
    return [deepest - d for d in depth]


@dataclass
class CladeTable:
    """Counts of every distinct clade per run and of every distinct topology, from one pass.

    Attributes
    ----------
    taxa : tuple of str
        Taxon order of the bit sets.
    rooted : bool
        Clades (True) or splits (False).
    n_trees : int
        Trees read.
    run_trees : list of int
        Trees read per run.
    keys : list of int
        Every distinct clade key, in order of first appearance.
    run_counts : list of array
        For each clade, the number of trees containing it in each run.
    topology_clades : list of array of int
        Each distinct topology as the ids of its clades.
    topology_counts : list of int
        Trees per topology.
    topology_first : list of int
        The first tree of each topology.
    resolutions : dict
        With `track_resolutions` (rooted trees): for each clade of an inner node, the counts of the
        child clade sets (sorted ids) seen under it.
    first_unrooted : int
        With `track_resolutions`: the first tree whose root does not have exactly two children, or -1.
    all_lengths, all_heights : bool
        Whether every tree gave every branch length.
    """

    taxa: tuple[str, ...]
    rooted: bool
    n_runs: int
    n_trees: int = 0
    run_trees: list[int] = field(default_factory=list)
    keys: list[int] = field(default_factory=list)
    id_of: dict[int, int] = field(default_factory=dict)
    run_counts: list[array[int]] = field(default_factory=list)
    topology_id: dict[bytes, int] = field(default_factory=dict)
    topology_clades: list[array[int]] = field(default_factory=list)
    topology_counts: list[int] = field(default_factory=list)
    topology_first: list[int] = field(default_factory=list)
    resolutions: dict[int, dict[tuple[int, ...], int]] = field(default_factory=dict)
    track_resolutions: bool = False
    first_unrooted: int = -1
    root_children: int = 2

    @property
    def full(self) -> int:
        return (1 << len(self.taxa)) - 1

    def clade_id(self, key: int) -> int:
        found = self.id_of.get(key)
        if found is None:
            found = self.id_of[key] = len(self.keys)
            self.keys.append(key)
            self.run_counts.append(array("q", bytes(8 * self.n_runs)))
        return found

    def add(self, view: TreeView, run: int) -> None:
        """Counts one tree's clades and topology."""
        tree = view.tree
        clade_id = self.clade_id
        ids = [clade_id(key) if key else -1 for key in view.keys]
        for clade in ids:
            if clade >= 0:
                self.run_counts[clade][run] += 1
        inner = array("q")
        if self.track_resolutions:
            children = tree.children
            for node in tree.post:
                kids = children[node]
                clade = ids[node]
                if len(kids) >= 2 and clade >= 0:
                    kid_ids = tuple(sorted(ids[kid] for kid in kids))
                    if kid_ids[0] >= 0:
                        seen = self.resolutions.setdefault(clade, {})
                        seen[kid_ids] = seen.get(kid_ids, 0) + 1
            if len(children[0]) != 2 and self.first_unrooted < 0:
                self.first_unrooted, self.root_children = self.n_trees, len(children[0])
        # The topology: its informative clades, as the engine lists them (no root, no pendant edges).
        top = self.full if self.rooted else self.full ^ 1
        for node, kids in enumerate(tree.children):
            key = view.keys[node]
            if kids and key and key != top and key != self.full and key.bit_count() > 1:
                inner.append(ids[node])
        self.count_topology(array("q", sorted(inner)))
        self.n_trees += 1
        while len(self.run_trees) <= run:
            self.run_trees.append(0)
        self.run_trees[run] += 1

    def count_topology(self, clades: array[int]) -> None:
        """Counts one tree's topology, given as its sorted clade ids."""
        shape = clades.tobytes()
        topology = self.topology_id.get(shape)
        if topology is None:
            topology = self.topology_id[shape] = len(self.topology_clades)
            self.topology_clades.append(clades)
            self.topology_counts.append(0)
            self.topology_first.append(self.n_trees)
        self.topology_counts[topology] += 1

    def counts(self) -> npt.NDArray[np.int64]:
        """Trees containing each clade, all runs together."""
        return np.asarray([sum(c) for c in self.run_counts], dtype=np.int64)

    def frequency(self, clade: int) -> float:
        return sum(self.run_counts[clade]) / self.n_trees

    def run_frequencies(self, clade: int) -> list[float]:
        return [c / n for c, n in zip(self.run_counts[clade], self.run_trees, strict=False)]

    def popcount(self, clade: int) -> int:
        return self.keys[clade].bit_count()

    def is_trivial(self, clade: int) -> bool:
        size = self.keys[clade].bit_count()
        return size <= 1 or size >= len(self.taxa) - (0 if self.rooted else 1)


def taxon_order(sample: Sample) -> tuple[str, ...]:
    """The first run's translate-table order (the numbering users see in MrBayes and BEAST), else sorted."""
    table = sample.translate_maps[0] if sample.translate_maps else {}
    order: list[str] = []
    seen: set[str] = set()
    for name in table.values():
        if name not in seen and name in sample.taxa:
            seen.add(name)
            order.append(name)
    if len(order) == len(sample.taxa):
        return tuple(order)
    return tuple(sample.taxa)


def views(sample: Sample, reader: Reader, checked: bool = False) -> Iterator[tuple[int, int, TreeView]]:
    """(tree index, run, view) for every kept tree, read from the files again."""
    runs = sample.runs.tolist()
    maps = sample.map_indices.tolist()
    for k, text in enumerate(sample.newick()):
        where = f"{sample.run_labels[runs[k]]}, tree {sample.tree_names[k]}"
        yield k, runs[k], reader.view(text, sample.translate_maps[maps[k]], where, checked)


@dataclass
class Values:
    """The values of chosen clades over the trees that contain them: lengths, heights, annotations."""

    lengths: dict[int, array[float]] = field(default_factory=dict)
    heights: dict[int, array[float]] = field(default_factory=dict)
    notes: dict[int, dict[str, list[str]]] = field(default_factory=dict)  # annotations' raw texts
    all_lengths: bool = True  # whether every tree gave every branch length


def collect(sample: Sample, reader: Reader, chosen: Iterable[int]) -> Values:
    """A second pass gathering the values of the chosen clade keys only (the summary tree's clades);
    the first pass has checked every tree."""
    wanted = set(chosen)
    values = Values({key: array("d") for key in wanted}, {key: array("d") for key in wanted},
                    {key: {} for key in wanted})
    for _, _, view in views(sample, reader, checked=True):
        if values.all_lengths and any(x != x for x in view.tree.lengths[1:]):
            values.all_lengths = False
        notes = view.tree.notes
        for node, key in enumerate(view.keys):
            if key in wanted:
                values.lengths[key].append(view.lengths[node])
                values.heights[key].append(view.heights[node])
                found = notes[node]
                if found:
                    store = values.notes[key]
                    for name, text in found.items():
                        store.setdefault(name, []).append(text)
    return values


def python_table(sample: Sample, reader: Reader, resolutions: bool) -> CladeTable:
    """The clade table from this module's own reader (slower than the engine; keeps child pairs)."""
    table = CladeTable(reader.taxa, reader.rooted, len(sample.run_labels), track_resolutions=resolutions)
    table.run_trees = [0] * len(sample.run_labels)
    for _, run, view in views(sample, reader):
        table.add(view, run)
    return table


@dataclass(frozen=True)
class Presence:
    """The engine's splits of every tree: tree t holds ids[starts[t]:starts[t + 1]], with these lengths
    (0 where a tree gives none); ids below n_leaves are pendant edges, never listed."""

    starts: npt.NDArray[np.int64]
    ids: npt.NDArray[np.uint32]
    lengths: npt.NDArray[np.float64]
    n_leaves: int
    members: npt.NDArray[np.bool_]  # split id x taxon (in the table's order)


def engine_table(sample: Sample, reader: Reader, progress: bool | None,
                 resolutions: bool = False) -> tuple[CladeTable, Presence]:
    """The clade table from the engine's split presence: one pass in C++ instead of Python. Clade ids
    are the engine's split ids. `resolutions` (rooted trees): also count the child pairs of every
    bifurcating node."""
    from .. import engine

    encoded = engine.encode(sample, rooted=reader.rooted, lengths=True, progress=progress)
    n_runs = len(sample.run_labels)
    n_leaves = encoded.n_leaves
    rows = engine.tree_splits(encoded)
    starts, ids = rows.indptr, rows.ids
    lengths = rows.lengths if rows.lengths is not None else np.empty(0, dtype=np.float64)
    packed = engine.clades(encoded)
    position = {name: k for k, name in enumerate(encoded.leaf_names)}
    columns = [position[name] for name in reader.taxa]
    bits = np.unpackbits(packed, axis=1, bitorder="little")[:, :n_leaves][:, columns]
    repacked = np.packbits(bits, axis=1, bitorder="little")
    full = reader.full
    keys = [int.from_bytes(row.tobytes(), "little") for row in repacked]
    if not reader.rooted:
        keys = [full ^ key if key & 1 else key for key in keys]
    runs = sample.runs
    run_trees = np.bincount(runs, minlength=n_runs).astype(np.int64)
    entry_runs = np.repeat(runs, np.diff(starts))
    per_run = np.bincount(ids.astype(np.int64) * n_runs + entry_runs,
                          minlength=len(keys) * n_runs).reshape(len(keys), n_runs)
    per_run[:n_leaves] = run_trees  # pendant edges are in every tree
    table = CladeTable(reader.taxa, reader.rooted, n_runs)
    table.run_trees = run_trees.tolist()
    for key, counts in zip(keys, per_run.tolist(), strict=True):
        table.id_of[key] = len(table.keys)
        table.keys.append(key)
        table.run_counts.append(array("q", counts))
    if reader.rooted:
        table.clade_id(full)
        table.run_counts[table.id_of[full]] = array("q", table.run_trees)
    bounds = starts.tolist()
    for tree in range(len(sample)):
        table.count_topology(array("q", ids[bounds[tree]:bounds[tree + 1]].astype(np.int64).tolist()))
        table.n_trees += 1
    presence = Presence(starts, ids, lengths, n_leaves, bits.astype(bool))
    if resolutions and reader.rooted:
        _count_resolutions(table, presence)
    return table, presence


def _count_resolutions(table: CladeTable, presence: Presence) -> None:
    """The child clades of every inner node of every tree. A node's parent is the smallest clade
    of its tree holding it (clades of one tree nest or are disjoint); the root's children are the rest."""
    table.track_resolutions = True
    members = presence.members
    n_taxa = members.shape[1]
    sizes = members.sum(axis=1)
    first = members.argmax(axis=1)
    pendant_id = np.empty(n_taxa, dtype=np.int64)
    for clade in range(presence.n_leaves):
        pendant_id[int(first[clade])] = clade
    root = table.id_of[table.full]
    starts = presence.starts.tolist()
    seen = table.resolutions
    for tree in range(len(starts) - 1):
        ids = presence.ids[starts[tree]:starts[tree + 1]].astype(np.int64)
        if ids.size == 0:  # a star tree: every leaf hangs from the root
            clade_parent = ids
            leaf_parent = np.full(n_taxa, root, dtype=np.int64)
        else:
            inside = members[ids]
            size = sizes[ids]
            # holds[e, d]: clade e strictly holds clade d; the parent is the smallest such e.
            holds = inside[:, first[ids]] & (size[:, None] > size[None, :])
            weighed = np.where(holds, size[:, None], n_taxa + 1)
            clade_parent = np.where(holds.any(axis=0), ids[weighed.argmin(axis=0)], root)
            leaf_weighed = np.where(inside, size[:, None], n_taxa + 1)
            leaf_parent = np.where(inside.any(axis=0), ids[leaf_weighed.argmin(axis=0)], root)
        at_root = int((clade_parent == root).sum() + (leaf_parent == root).sum())
        if table.first_unrooted < 0 and at_root != 2:
            table.first_unrooted, table.root_children = tree, at_root
        children = np.concatenate([ids, pendant_id])
        parents = np.concatenate([clade_parent, leaf_parent])
        order = np.argsort(parents, kind="stable")
        parents, children = parents[order], children[order]
        edges = np.flatnonzero(np.diff(parents)) + 1
        group_starts = np.concatenate([[0], edges])
        group_sizes = np.diff(np.concatenate([group_starts, [len(parents)]]))
        for start, width in zip(group_starts.tolist(), group_sizes.tolist(), strict=True):
            if width < 2:
                continue
            kids = tuple(sorted(children[start:start + width].tolist()))
            found = seen.setdefault(int(parents[start]), {})
            found[kids] = found.get(kids, 0) + 1


_LEAF_LENGTH = re.compile(r"[(,]\s*([^\s(),:;\[\]']+)\s*:\s*([^\s,();\[]+)")


def collect_unrooted(sample: Sample, reader: Reader, chosen: Iterable[int], table: CladeTable,
                     presence: Presence) -> Values | None:
    """The branch lengths of the chosen splits of unrooted trees without comments, from the engine's
    split lengths and one regular expression for the pendant edges: no tree is parsed in Python.
    None when a tree carries comments (their annotations need the full reader)."""
    wanted = set(chosen)
    values = Values({key: array("d") for key in wanted})
    n_leaves = presence.n_leaves
    inner = np.asarray(sorted(table.id_of[key] for key in wanted
                              if key in table.id_of and table.id_of[key] >= n_leaves), dtype=np.uint32)
    picked = np.isin(presence.ids, inner)
    _group([presence.ids[picked].astype(np.int64)], [presence.lengths[picked]], table.keys, values.lengths)
    pendant = {name: reader.full ^ 1 if k == 0 else 1 << k for k, name in enumerate(reader.taxa)}
    # For each translate table, a tree label's pendant edge goes straight to the array it fills.
    # (A wanted pendant edge is always in the tree: every summary tree has every leaf.)
    fills = []
    for table_map in sample.translate_maps:
        labels = set(table_map) | set(reader.taxa)
        fills.append({label: values.lengths[pendant[table_map.get(label, label)]].append for label in labels
                      if table_map.get(label, label) in pendant and pendant[table_map.get(label, label)] in wanted})
    n_taxa = len(reader.taxa)
    maps = sample.map_indices.tolist()
    for k, text in enumerate(sample.newick()):
        body = _plain_body(text)
        if body is None:
            return None
        if body.count(":") < n_taxa + body.count("(") - 1:
            values.all_lengths = False
        fill = fills[maps[k]]
        for label, length in _LEAF_LENGTH.findall(body):
            found = fill.get(label)
            if found is not None:
                found(length_of(length))
    return values


BLOCK = 1024
"""Trees whose values are gathered before they are filed under their clades."""

_ROOT_LENGTH = re.compile(r"\)[^(),;:]*:\s*([^\s,();\[]+)\s*;?\s*$")


def _group(ids: list[npt.NDArray[np.int64]], found: list[npt.NDArray[np.float64]], keys: list[int],
           into: dict[int, array[float]]) -> None:
    """Appends each value to its clade's array, clade by clade, keeping the trees' order; empties the
    lists given."""
    if not ids:
        return
    every_id = np.concatenate(ids)
    every_value = np.concatenate(found)
    order = np.argsort(every_id, kind="stable")
    every_id, every_value = every_id[order], every_value[order]
    edges = np.flatnonzero(np.diff(every_id)) + 1
    for group_ids, group in zip(np.split(every_id, edges), np.split(every_value, edges), strict=True):
        if group_ids.size:
            into[keys[int(group_ids[0])]].frombytes(np.ascontiguousarray(group, dtype=np.float64).tobytes())
    ids.clear()
    found.clear()


def collect_rooted(sample: Sample, reader: Reader, chosen: Iterable[int], table: CladeTable,
                   presence: Presence) -> Values | None:
    """Branch lengths and node heights of the chosen clades of rooted trees without comments, from the
    engine's clade lengths: a clade's depth is the sum of the lengths of the clades holding it, a leaf's
    adds its pendant edge, and a height is the deepest leaf's depth minus the node's. None when a tree
    carries comments (their annotations need the full reader)."""
    wanted = set(chosen)
    values = Values({key: array("d") for key in wanted}, {key: array("d") for key in wanted},
                    {key: {} for key in wanted})
    n_taxa = len(reader.taxa)
    full = reader.full
    root_id = table.id_of[full]
    keys = table.keys
    is_wanted = np.asarray([key in wanted for key in keys], dtype=bool)
    sizes = presence.members.sum(axis=1)
    first = presence.members.argmax(axis=1)  # a taxon of every clade
    index_of = [{label: reader.index_of[table_map.get(label, label)]
                 for label in set(table_map) | set(reader.taxa) if table_map.get(label, label) in reader.index_of}
                for table_map in sample.translate_maps]
    starts = presence.starts.tolist()
    maps = sample.map_indices.tolist()
    length_ids: list[npt.NDArray[np.int64]] = []
    length_values: list[npt.NDArray[np.float64]] = []
    height_ids: list[npt.NDArray[np.int64]] = []
    height_values: list[npt.NDArray[np.float64]] = []
    # Pendant split ids in the table's taxon order (the engine numbers leaves in its own order).
    pendant_id = np.empty(n_taxa, dtype=np.int64)
    for clade in range(presence.n_leaves):
        pendant_id[int(np.flatnonzero(presence.members[clade])[0])] = clade
    for tree, text in enumerate(sample.newick()):
        body = _plain_body(text)
        if body is None:
            return None
        if body.count(":") < n_taxa + body.count("(") - 1:
            values.all_lengths = False
        pendant = np.zeros(n_taxa)
        where = index_of[maps[tree]]
        for label, length in _LEAF_LENGTH.findall(body):
            pendant[where[label]] = length_of(length)
        ids = presence.ids[starts[tree]:starts[tree + 1]].astype(np.int64)
        lengths = presence.lengths[starts[tree]:starts[tree + 1]]
        members = presence.members[ids]
        # Clades of one tree nest or are disjoint, so clade e holds clade d when it holds d's first
        # taxon and is no smaller. Sums, not matrix products: BLAS threads cost more than they give
        # on matrices this small.
        size = sizes[ids]
        holds = members[:, first[ids]] & (size[:, None] >= size[None, :])
        depth = (holds * lengths[:, None]).sum(axis=0)
        leaf_depth = (members * lengths[:, None]).sum(axis=0) + pendant
        top = float(leaf_depth.max())
        chosen_here = is_wanted[ids]
        height_ids += [ids[chosen_here], pendant_id, np.asarray([root_id])]
        height_values += [top - depth[chosen_here], top - leaf_depth, np.asarray([top])]
        root_length = _ROOT_LENGTH.search(body)
        length_ids += [ids[chosen_here], pendant_id, np.asarray([root_id])]
        length_values += [lengths[chosen_here], pendant,
                          np.asarray([float(root_length.group(1)) if root_length else math.nan])]
        if tree % BLOCK == BLOCK - 1:  # a block at a time, so the pieces never outweigh the values
            _group(length_ids, length_values, keys, values.lengths)
            _group(height_ids, height_values, keys, values.heights)
    _group(length_ids, length_values, keys, values.lengths)
    _group(height_ids, height_values, keys, values.heights)
    return values


def _plain_body(text: str) -> str | None:
    """The tree's text after a leading comment such as [&U], or None when it holds other comments or quotes
    (those trees take the full reader)."""
    body = text.lstrip()
    if body.startswith("["):
        body = body[body.find("]") + 1:]
    return None if "[" in body or "'" in body else body


def read_target(path: str | os.PathLike[str], reader: Reader) -> TreeView:
    """The first tree of a tree file (NEXUS or Newick), read against the sample's taxa."""
    from ..sample import read_sample

    target = read_sample([path], burnin=0)
    if len(target) == 0:
        raise BrantoveilError(f"{path}: the target file holds no tree")
    first = target.subset([0])
    text = next(iter(first.newick()))
    return reader.view(text, first.translate_maps[int(first.map_indices[0])], f"target {path}",
                       reference="the sampled trees")
