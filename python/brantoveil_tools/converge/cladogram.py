"""Where each line, clade and leaf of the consensus tree goes in a rectangular cladogram, shared by the web
page and the picture so that both draw the same tree the same way."""

from __future__ import annotations

import math
from dataclasses import dataclass

from brantoveil_tools.converge.assess import ASDSF_BAR, MAX_SDSF_BAR
from brantoveil_tools.summarize import SummaryResult

# SDSF bands: runs agree, may do, disagree (the ASDSF and max SDSF thresholds); grey with one run.
AGREE, MAY_DO, DISAGREE, UNKNOWN = "#1a7f37", "#d4a017", "#cf222e", "#6e7781"


def band_colour(sdsf: float) -> str:
    """The colour of a clade's SDSF band (grey for NaN: one run)."""
    if math.isnan(sdsf):
        return UNKNOWN
    return DISAGREE if sdsf > MAX_SDSF_BAR else MAY_DO if sdsf > ASDSF_BAR else AGREE


@dataclass(frozen=True)
class Clade:
    """An inner node: where it is drawn, its posterior and SDSF (NaN with one run) and its taxa."""

    x: float
    y: float
    posterior: float
    sdsf: float
    taxa: tuple[str, ...]

    @property
    def colour(self) -> str:
        return band_colour(self.sdsf)

    @property
    def label(self) -> str:
        support = f"{self.posterior:.2f}"
        return support if math.isnan(self.sdsf) else f"{support} / {self.sdsf:.3f}"


@dataclass(frozen=True)
class Cladogram:
    """The drawing: ``lines`` as (x0, y0, x1, y1), leaves at (depth, row) with their names, one row per
    leaf from 0 at the top, inner nodes at their depth in edges from the root."""

    lines: tuple[tuple[float, float, float, float], ...]
    leaves: tuple[tuple[float, float, str], ...]
    clades: tuple[Clade, ...]
    depth: float


def cladogram(consensus: SummaryResult) -> Cladogram:
    """Lays out the consensus tree with its leaves aligned at the right, in the tree's own order."""
    nodes = consensus.tree.nodes
    depth = [0] * len(nodes)
    for at, node in enumerate(nodes):  # pre-order: parents come first
        for kid in node.children:
            depth[kid] = depth[at] + 1
    deepest = max(depth[at] for at, node in enumerate(nodes) if not node.children)
    x = [float(deepest if not node.children else depth[at]) for at, node in enumerate(nodes)]
    y = [0.0] * len(nodes)
    row = 0
    for at, node in enumerate(nodes):
        if not node.children:
            y[at] = float(row)
            row += 1
    taxa: list[tuple[str, ...]] = [()] * len(nodes)
    for at in range(len(nodes) - 1, -1, -1):  # post-order: children first
        node = nodes[at]
        if node.children:
            y[at] = (y[node.children[0]] + y[node.children[-1]]) / 2
            taxa[at] = tuple(name for kid in node.children for name in taxa[kid])
        else:
            taxa[at] = (consensus.taxa[node.taxon],)
    lines: list[tuple[float, float, float, float]] = []
    clades = []
    for at, node in enumerate(nodes):
        if node.children:
            lines.append((x[at], y[node.children[0]], x[at], y[node.children[-1]]))
            lines.extend((x[at], y[kid], x[kid], y[kid]) for kid in node.children)
            posterior = node.notes.get("posterior")
            if at and isinstance(posterior, float):
                spread = node.notes.get("sdsf")
                clades.append(Clade(x[at], y[at], posterior, spread if isinstance(spread, float) else math.nan,
                                    taxa[at]))
    leaves = tuple((x[at], y[at], consensus.taxa[node.taxon]) for at, node in enumerate(nodes) if not node.children)
    return Cladogram(tuple(lines), leaves, tuple(clades), float(deepest))


__all__ = ["AGREE", "DISAGREE", "MAY_DO", "UNKNOWN", "Clade", "Cladogram", "band_colour", "cladogram"]
