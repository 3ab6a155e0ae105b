"""The summary tree: nodes in pre-order with their clade key, taxon, branch length and annotations,
built from a compatible set of clades, plus the statistics every method annotates with."""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

Annotation = float | str | tuple[float, ...] | tuple[str, ...]


@dataclass
class Node:
    """One node of a summary tree."""

    key: int
    children: list[int] = field(default_factory=list)
    taxon: int = -1  # index into the taxa for a leaf
    length: float = math.nan
    height: float = math.nan
    notes: dict[str, Annotation] = field(default_factory=dict)


@dataclass
class SummaryTree:
    """Nodes in pre-order (node 0 is the root); `rooted` says whether the root means anything."""

    nodes: list[Node]
    rooted: bool

    def post_order(self) -> list[int]:
        return list(range(len(self.nodes) - 1, -1, -1))


def from_clades(keys: Iterable[int], n_taxa: int, rooted: bool) -> SummaryTree:
    """The tree whose clades are `keys` (pairwise compatible; trivial ones may be left out).

    Unrooted trees are drawn rooted at taxon 0: their split keys never hold taxon 0, so each is a
    clade of that rooting, and the root's children are taxon 0 and the widest splits.
    """
    full = (1 << n_taxa) - 1
    top = full if rooted else full ^ 1  # the whole tree, or the split of taxon 0 from the rest
    inner = sorted({key for key in keys if key.bit_count() > 1 and key != full and key != top},
                   key=lambda key: (-key.bit_count(), key))
    nodes = [Node(full)]
    for key in inner:
        at = 0
        while True:
            inside = next((kid for kid in nodes[at].children if nodes[kid].key & key == key), None)
            if inside is None:
                break
            at = inside
        nodes[at].children.append(len(nodes))
        nodes.append(Node(key))
    for taxon in range(n_taxa):
        bit = 1 << taxon
        at = 0
        while True:
            inside = next((kid for kid in nodes[at].children
                           if nodes[kid].taxon < 0 and nodes[kid].key & bit), None)
            if inside is None:
                break
            at = inside
        nodes[at].children.append(len(nodes))
        leaf_key = bit if rooted or taxon else full ^ 1
        nodes.append(Node(leaf_key, taxon=taxon))
    return reorder(nodes, rooted)


def reorder(nodes: list[Node], rooted: bool) -> SummaryTree:
    """Renumbers nodes in pre-order, children by their smallest taxon, so output is deterministic."""
    def first_taxon(node: Node) -> int:
        key = node.key
        if not rooted and node.taxon == 0:
            return -1
        return (key & -key).bit_length()

    order: list[int] = []
    stack = [0]
    while stack:
        at = stack.pop()
        order.append(at)
        nodes[at].children.sort(key=lambda kid: first_taxon(nodes[kid]))
        stack.extend(reversed(nodes[at].children))
    new_of = {old: new for new, old in enumerate(order)}
    result = []
    for old in order:
        node = nodes[old]
        node.children = [new_of[kid] for kid in node.children]
        result.append(node)
    return SummaryTree(result, rooted)


def mean(values: Sequence[float]) -> float:
    """The plain left-to-right mean (Python's sum), as TreeAnnotator and sumt sum."""
    return sum(values) / len(values) if len(values) else math.nan


def median(ordered: npt.NDArray[np.float64], upper: bool = False) -> float:
    """Of sorted values: the middle one; of an even count the mean of the two middle ones, or with
    `upper` the upper one (as MrBayes's sumt takes it)."""
    n = len(ordered)
    if n == 0:
        return math.nan
    half = n // 2
    if n % 2 or upper:
        return float(ordered[half])
    return (float(ordered[half - 1]) + float(ordered[half])) / 2


def hpd(ordered: npt.NDArray[np.float64], mass: float = 0.95) -> tuple[float, float]:
    """Of sorted values: the narrowest interval holding mass * n of them, rounded half up (the first such)."""
    n = len(ordered)
    if n == 0:
        return (math.nan, math.nan)
    inside = max(1, min(n, math.floor(mass * n + 0.5)))
    widths = ordered[inside - 1:] - ordered[:n - inside + 1]
    best = int(np.argmin(widths))  # the first of equal widths
    return (float(ordered[best]), float(ordered[best + inside - 1]))


@dataclass(frozen=True)
class Described:
    """What `describe` found: the mean and median (NaN without values), and whether values that are
    not finite were left out (NaN also stands for a value a tree does not give)."""

    mean: float
    median: float
    dropped: bool


def describe(prefix: str, values: Sequence[float], notes: dict[str, Annotation], upper_median: bool = False,
             interval: bool = True, constant_once: bool = False) -> Described:
    """Adds prefix (mean), prefix_median, prefix_95%_HPD (with `interval`) and prefix_range to `notes`;
    with `constant_once`, a value the same in every tree as its mean alone (as TreeAnnotator writes it).
    Values that are not finite are left out."""
    array = np.asarray(values, dtype=np.float64)
    bad = ~np.isfinite(array)
    dropped = bool(bad.any())
    if dropped:
        array = array[~bad]
        values = array.tolist()
    if not len(array):
        return Described(math.nan, math.nan, dropped)
    ordered = np.sort(array)
    average = mean(values)
    middle = median(ordered, upper_median)
    notes[prefix] = average
    if constant_once and ordered[0] == ordered[-1]:
        return Described(average, middle, dropped)
    notes[f"{prefix}_median"] = middle
    if interval:
        notes[f"{prefix}_95%_HPD"] = hpd(ordered)
    notes[f"{prefix}_range"] = (float(ordered[0]), float(ordered[-1]))
    return Described(average, middle, dropped)
