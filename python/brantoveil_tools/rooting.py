"""Whether trees are compared as rooted or unrooted: one rule, read from the files, with the reason for it.

The rule: --rooted or --unrooted decides when given. Otherwise a ``[&R]`` or ``[&U]`` before the trees
(as MrBayes and BEAST write them) decides; trees marked both ways are an error. Unmarked trees whose
root has two children, every one of them, are rooted (BEAST's and RevBayes's time trees); a root with
three or more children makes them unrooted (MrBayes's trees, most Newick files).
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import numpy as np

from .errors import BrantoveilError
from .sample import Sample, read_sample

PathLike = str | os.PathLike[str]

_MARK = re.compile(r"\s*\[&([RrUu])\]")
_QUOTED = re.compile(r"'(?:[^']|'')*'")
_COMMENT = re.compile(r"\[[^\]]*\]")
_OPEN, _CLOSE, _COMMA = ord("("), ord(")"), ord(",")


class RootedTreesWarning(UserWarning):
    """Trees that are plainly rooted are compared as unrooted, the documented default of the command."""


@dataclass(frozen=True)
class Rooting:
    """The decision and why: ``reason`` completes "trees compared rooted/unrooted: ..."."""

    rooted: bool
    reason: str

    def describe(self) -> str:
        return f"trees compared {'rooted' if self.rooted else 'unrooted'}: {self.reason}"


def root_children(text: str) -> int:
    """How many children the root of one Newick tree has (comments and quoted names set aside)."""
    body = _COMMENT.sub("", _QUOTED.sub("x", text))
    codes = np.frombuffer(body.encode("utf-8", errors="replace"), dtype=np.uint8)
    if not np.any(codes == _OPEN):
        return 0
    depth = np.cumsum((codes == _OPEN).astype(np.int32) - (codes == _CLOSE).astype(np.int32))
    return int(np.count_nonzero((codes == _COMMA) & (depth == 1))) + 1


_TOKEN = re.compile(r"[(),;]|[^(),;]+")


def time_tree(text: str, tolerance: float = 1e-3) -> bool:
    """Whether a tree has every branch length and every tip equally far from the root (to ``tolerance`` of
    its height): BEAST's and RevBayes's time trees. Checked bottom-up: the children of every clade must
    reach their tips at one height."""
    body = _COMMENT.sub("", _QUOTED.sub("x", text))
    open_clades: list[list[float]] = []  # per open clade, its children's heights above their tips
    closed: float | None = None  # the height of the clade just closed, until its length is read
    for token in _TOKEN.findall(body):
        if token == "(":
            open_clades.append([])
        elif token in ",)":
            if closed is not None or not open_clades:
                return False  # a clade without a branch length
            if token == ")":
                heights = open_clades.pop()
                if not heights or max(heights) - min(heights) > tolerance * max(max(heights), 1e-300):
                    return False
                closed = max(heights)
        elif token == ";":
            break
        elif open_clades:
            _, colon, length = token.strip().rpartition(":")
            try:
                value = float(length) if colon else math.nan
            except ValueError:
                return False
            if not math.isfinite(value):
                return False
            open_clades[-1].append(value + (closed or 0.0))
            closed = None
    return closed is not None and not open_clades


def decide_from_texts(texts: Iterable[str], labels: Iterable[str], given: bool | None = None) -> Rooting:
    """The rule over tree texts (``labels`` name each tree for the reason)."""
    if given is not None:
        return Rooting(given, f"--{'rooted' if given else 'unrooted'} given")
    marked: dict[str, str] = {}
    unrooted_at = ""
    count = 0
    for text, label in zip(texts, labels, strict=False):
        count += 1
        mark = _MARK.match(text)
        if mark is not None:
            marked.setdefault(mark.group(1).upper(), label)
            continue
        if not unrooted_at and root_children(text) != 2:
            unrooted_at = label
    if "R" in marked and "U" in marked:
        raise BrantoveilError(f"the trees are marked both rooted ([&R], {marked['R']}) and unrooted "
                              f"([&U], {marked['U']}): give --rooted or --unrooted")
    if "U" in marked:
        return Rooting(False, f"the files mark the trees [&U] (first: {marked['U']})")
    if "R" in marked:
        return Rooting(True, f"the files mark the trees [&R] (first: {marked['R']})")
    if count == 0:
        return Rooting(False, "no trees")
    if unrooted_at:
        return Rooting(False, f"no [&R] or [&U], and the root of {unrooted_at} has more than two children")
    return Rooting(True, "no [&R] or [&U], and every tree's root has two children")


def decide(trees: Sample | PathLike | Sequence[PathLike], given: bool | None = None) -> Rooting:
    """Rooted or unrooted for a sample (or the tree files at the given paths, every tree of them).

    Parameters
    ----------
    trees : Sample, path or sequence of paths
        The trees whose rootedness is decided.
    given : bool or None
        ``--rooted`` (True) or ``--unrooted`` (False) when the user gave one: it decides.

    Returns
    -------
    Rooting
        ``rooted`` and the ``reason`` for it.
    """
    if given is not None:
        return decide_from_texts((), (), given)
    sample = trees if isinstance(trees, Sample) else read_sample(trees, burnin=0)
    return decide_from_texts(sample.newick(), sample.names)


def check_default_unrooted(sample: Sample, given: bool | None, head: int = 100) -> bool:
    """For commands whose documented default is unrooted: the rooting to use, with a RootedTreesWarning
    when nothing was given and the first ``head`` trees of every run are plainly rooted time trees
    (marked [&R], or with two children at every root and every tip equally far from it)."""
    import warnings

    if given is not None:
        return given
    firsts = np.concatenate([np.flatnonzero(sample.runs == r)[:head] for r in range(len(sample.run_labels))])
    texts = list(sample.subset(np.sort(firsts)).newick())
    seen = decide_from_texts(texts, [sample.names[i] for i in np.sort(firsts)])
    marked = seen.reason.startswith("the files mark")
    if seen.rooted and (marked or all(time_tree(text) for text in texts)):
        why = seen.reason if marked else "every tree's root has two children and its tips are equally far from it"
        warnings.warn(f"these look like rooted time trees ({why}) but are compared unrooted, the default "
                      f"of this command: give --rooted to compare clades, --unrooted to silence this",
                      RootedTreesWarning, stacklevel=2)
    return False


__all__ = ["RootedTreesWarning", "Rooting", "check_default_unrooted", "decide", "decide_from_texts", "root_children",
           "time_tree"]
