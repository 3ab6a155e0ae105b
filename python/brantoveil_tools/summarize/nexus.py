"""Writes summary trees: NEXUS with a translate table and FigTree-style `[&key=value]` annotations, or
plain Newick with the posterior as internal labels; and the credible set as TSV."""

from __future__ import annotations

import math
from collections.abc import Sequence

from ..newick_writer import quote, write
from .tree import Annotation, SummaryTree

__all__ = ["newick", "nexus_text", "quote", "value_text"]

def value_text(value: Annotation) -> str:
    if isinstance(value, tuple):
        return "{" + ",".join(value_text(part) for part in value) + "}"
    if isinstance(value, str):
        return '"' + value.replace('"', "'") + '"'
    return repr(float(value))


def newick(tree: SummaryTree, labels: Sequence[str], annotate: bool, support: bool = False) -> str:
    """The tree as one Newick string ending in ';'.

    `labels` name the taxa (translate numbers or names); `annotate` writes every node's notes as a
    ``[&...]`` comment; `support` writes each inner node's posterior as its label.
    """
    nodes = tree.nodes

    def after(at: int) -> str:
        node = nodes[at]
        parts: list[str] = []
        if not node.children:
            parts.append(labels[node.taxon])
        elif support and at != 0 and isinstance(posterior := node.notes.get("posterior"), float):
            parts.append(format(posterior, ".6g"))
        if annotate and node.notes:
            parts.append("[&" + ",".join(f"{key}={value_text(value)}" for key, value in node.notes.items()) + "]")
        if at != 0 and not math.isnan(node.length):
            parts.append(f":{node.length!r}")
        return "".join(parts)

    return write([node.children for node in nodes], after)


def nexus_text(tree: SummaryTree, taxa: Sequence[str], name: str) -> str:
    """A NEXUS file: taxa block, translate table (numbers from 1 in `taxa` order) and the annotated tree."""
    lines = ["#NEXUS", "", "begin taxa;", f"\tdimensions ntax={len(taxa)};", "\ttaxlabels"]
    lines += [f"\t\t{quote(taxon)}" for taxon in taxa]
    lines += ["\t\t;", "end;", "", "begin trees;", "\ttranslate"]
    lines += [f"\t\t{k} {quote(taxon)}{',' if k < len(taxa) else ''}" for k, taxon in enumerate(taxa, 1)]
    lines += ["\t\t;"]
    numbers = [str(k) for k in range(1, len(taxa) + 1)]
    lines.append(f"\ttree {name} = [&{'R' if tree.rooted else 'U'}] {newick(tree, numbers, annotate=True)}")
    lines += ["end;", ""]
    return "\n".join(lines)
