"""The one Newick writer: a tree of numbered nodes to text, and the one rule for quoting a label."""

from __future__ import annotations

import re
from collections.abc import Callable, Sequence

# Letters, digits and _ . - stay bare: a token every Newick and NEXUS reader splits the same way
# (NEXUS reads + * / = < > and others as punctuation where Newick does not). Anything else is quoted.
_BARE = re.compile(r"[A-Za-z0-9_.\-]+")


def quote(name: str) -> str:
    """A taxon name as a Newick or NEXUS token: bare when safe, else in single quotes (a quote doubled)."""
    return name if _BARE.fullmatch(name) else "'" + name.replace("'", "''") + "'"


def write(children: Sequence[Sequence[int]], after: Callable[[int], str]) -> str:
    """The tree rooted at node 0 as one Newick string ending in ';'.

    `children[at]` lists the children of node `at` in the order they are written (none for a leaf);
    `after(at)` is the text written after the node's subtree: a leaf's label, an inner node's label,
    comment and branch length. Iterative, so trees of thousands of taxa do not hit Python's
    recursion limit.
    """
    parts: list[str] = []
    stack: list[tuple[int, int]] = [(0, 0)]
    while stack:
        at, state = stack.pop()
        kids = children[at]
        if state < len(kids):
            parts.append("(" if state == 0 else ",")
            stack.append((at, state + 1))
            stack.append((kids[state], 0))
            continue
        if kids:
            parts.append(")")
        parts.append(after(at))
    return "".join(parts) + ";"
