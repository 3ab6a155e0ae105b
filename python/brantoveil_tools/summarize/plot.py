"""A picture of a summary tree: posteriors on the inner nodes, and on time trees the 95% HPD of every
node's height as a bar along a time axis. One drawing function for any axes (the command's figure,
the convergence report) and one writer that sizes the figure to the taxa."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..commit import atomic_path
from ..errors import BrantoveilError
from .tree import Node, SummaryTree

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from .api import SummaryResult

PLOT_SUFFIXES = (".png", ".svg", ".pdf")
ROW_INCHES = 0.16  # a leaf's row: a 6 to 9 point name with room to spare
BAR_COLOUR = "#4c72b0"


@dataclass(frozen=True)
class Layout:
    """Where each node is drawn: x along the axis (height, depth or rank), y its row; `kind` says what x is."""

    x: list[float]
    y: list[float]
    kind: str  # "time" (heights, the axis runs back in time), "length" (from the root) or "rank"


def layout(tree: SummaryTree) -> Layout:
    """Leaves one per row in the tree's order, an inner node midway between its first and last child.

    Time trees (rooted, every node with a height) put each node at its height; trees with branch
    lengths at the sum of lengths from the root; others at their rank (leaves at the far right).
    """
    nodes = tree.nodes
    order = range(len(nodes) - 1, -1, -1)  # nodes are in pre-order: reversed, children come first
    y = [0.0] * len(nodes)
    for row, at in enumerate(_leaves_in_order(tree)):
        y[at] = float(row)
    for at in order:
        kids = nodes[at].children
        if kids:
            y[at] = (y[kids[0]] + y[kids[-1]]) / 2
    if tree.rooted and all(math.isfinite(node.height) for node in nodes):
        return Layout([node.height for node in nodes], y, "time")
    x = [0.0] * len(nodes)
    if all(math.isfinite(node.length) for node in nodes[1:]):
        for at, node in enumerate(nodes):
            for kid in node.children:
                x[kid] = x[at] + nodes[kid].length
        return Layout(x, y, "length")
    rank = [0.0] * len(nodes)
    for at in order:
        kids = nodes[at].children
        rank[at] = 1.0 + max(rank[kid] for kid in kids) if kids else 0.0
    top = rank[0]
    return Layout([top - r for r in rank], y, "rank")


def _leaves_in_order(tree: SummaryTree) -> list[int]:
    found = []
    stack = [0]
    while stack:
        at = stack.pop()
        kids = tree.nodes[at].children
        if kids:
            stack.extend(reversed(kids))
        else:
            found.append(at)
    return found


def draw_tree(axes: Axes, tree: SummaryTree, taxa: tuple[str, ...], title: str = "",
              node_colour: Callable[[Node], str] | None = None) -> None:
    """Draws `tree` into `axes`: rectangular branches, taxon names, each inner node's posterior (two
    decimals; none where a node has no posterior), and on time trees the 95% HPD bars of the heights
    with a time axis. `node_colour` colours each inner node's marker and label (default black)."""
    place = layout(tree)
    nodes = tree.nodes
    n_leaves = sum(1 for node in nodes if not node.children)
    size = 9.0 if n_leaves <= 30 else 7.0 if n_leaves <= 150 else 6.0
    time = place.kind == "time"
    oldest = max(place.x)  # on time trees, the oldest end of any bar
    for at, node in enumerate(nodes):
        if not node.children:
            continue
        x, y = place.x[at], place.y[at]
        kid_ys = [place.y[kid] for kid in node.children]
        axes.plot([x, x], [min(kid_ys), max(kid_ys)], color="#24292f", linewidth=0.9, solid_capstyle="butt")
        for kid in node.children:
            axes.plot([x, place.x[kid]], [place.y[kid]] * 2, color="#24292f", linewidth=0.9, solid_capstyle="butt")
        interval = node.notes.get("height_95%_HPD")
        if time and isinstance(interval, tuple) and len(interval) == 2:
            low, high = (float(v) for v in interval)
            oldest = max(oldest, high)
            axes.fill_between([low, high], y - 0.28, y + 0.28, color=BAR_COLOUR, alpha=0.35, linewidth=0)
        posterior = node.notes.get("posterior")
        if isinstance(posterior, float):
            colour = node_colour(node) if node_colour is not None else "#24292f"
            axes.text(x, y - 0.12, f"{posterior:.2f}", ha="right", va="bottom", fontsize=size - 1.5, color=colour)
    span = max(place.x) - min(place.x) or 1.0
    gap = span * 0.01
    for at, node in enumerate(nodes):
        if not node.children:
            x = place.x[at]
            # Time trees run back in time to the right of the names, so the x axis is reversed.
            axes.text(x - gap if time else x + gap, place.y[at], taxa[node.taxon], va="center", ha="left",
                      fontsize=size)
    axes.set_ylim(n_leaves - 0.3, -0.9)
    axes.tick_params(axis="y", left=False, labelleft=False)
    for side in ("left", "right", "top"):
        axes.spines[side].set_visible(False)
    longest = max(len(name) for name in taxa)
    # Room for the names: their width in inches against the axes' (about 8.5 of the 10-inch figure).
    name_inches = min(4.0, longest * size * 0.6 / 72 + 0.1)
    room = span * name_inches / (8.5 - name_inches)
    if time:
        axes.set_xlim(oldest + gap * 3, min(place.x) - room)
        axes.set_xlabel("height (time before the youngest tip); bars: 95% HPD of the node's height")
    elif place.kind == "length":
        axes.set_xlim(min(place.x) - gap * 3, max(place.x) + room)
        axes.set_xlabel("branch length (substitutions per site)")
    else:
        axes.set_xlim(min(place.x) - gap * 3, max(place.x) + room)
        axes.tick_params(axis="x", bottom=False, labelbottom=False)
        axes.spines["bottom"].set_visible(False)
    if place.kind != "rank":  # no ticks past the tree, where the names are
        low, high = min(place.x), max(place.x)
        axes.set_xticks([t for t in axes.get_xticks() if low - gap <= t <= high + gap])
    if title:
        axes.set_title(title, fontsize=10, loc="left")
    axes.tick_params(axis="x", labelsize=8)


def figure_size(n_leaves: int) -> tuple[float, float]:
    """Inches: a fixed width, a height that grows with the taxa (one row each)."""
    return (10.0, max(4.0, 1.4 + ROW_INCHES * n_leaves))


def write_plot(result: SummaryResult, target: str | Path) -> None:
    """Draws the summary tree into `target` (.png, .svg or .pdf), written whole or not at all."""
    check_plot_target(target)
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise BrantoveilError("--plot needs matplotlib: pip install 'brantoveil[plot]'") from None
    n_leaves = len(result.taxa)
    figure: Any = Figure(figsize=figure_size(n_leaves), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    what = {"majority": "Majority-rule consensus", "allcompat": "All-compatible consensus",
            "mcc": "Maximum clade credibility tree", "hipstr": "HIPSTR tree",
            "target": "Target tree"}.get(result.method, result.method)
    draw_tree(axes, result.tree, result.taxa, f"{what} of {result.n_trees} trees, {n_leaves} taxa: "
              "clade posteriors on the nodes")
    suffix = Path(target).suffix.lower()
    with atomic_path(target) as temporary:
        figure.savefig(temporary, format=suffix[1:], dpi=110)


def check_plot_target(target: str | Path) -> None:
    """Refuses, before any work, a picture whose suffix says no format we draw."""
    if Path(target).suffix.lower() not in PLOT_SUFFIXES:
        raise BrantoveilError(f"cannot tell the picture format of {target}: use one of {', '.join(PLOT_SUFFIXES)}")
