"""The one-page picture of a convergence report: one function per panel, drawn with matplotlib."""

from __future__ import annotations

import importlib.util
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge.report import ASDSF_BAR, ConvergenceReport
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.output import atomic_path

RUN_COLOURS = ("tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown", "tab:pink",
               "tab:olive", "tab:cyan", "tab:gray")
RUN_MAPS = ("Blues", "Oranges", "Greens", "Reds", "Purples", "YlOrBr", "RdPu", "YlGn", "GnBu", "Greys")
HEATMAP_TREES = 300
TRACE_POINTS = 1500

Axes = Any


def require_matplotlib() -> None:
    """Fails in one line, before any work, when matplotlib is not installed."""
    if importlib.util.find_spec("matplotlib") is None:
        raise BrantoveilError("--plot needs matplotlib: pip install 'brantoveil[plot]'")


def draw_report(report: ConvergenceReport, target: Path) -> None:
    """Draws the report's page and writes it atomically to ``target`` (format from the suffix)."""
    require_matplotlib()
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.layout_engine import ConstrainedLayoutEngine

    # Extra room between the heatmap's colour bar and the next panel's axis label.
    figure, axes = plt.subplots(2, 3, figsize=(18, 11), layout=ConstrainedLayoutEngine(w_pad=0.15, wspace=0.08))
    tree_space_panel(axes[0, 0], report)
    trace_panel(axes[0, 1], report)
    split_scatter_panel(axes[0, 2], report)
    cumulative_panel(axes[1, 0], report)
    heatmap_panel(axes[1, 1], report, figure)
    distance_histogram_panel(axes[1, 2], report)
    figure.suptitle(_title(report), fontsize=14)
    suffix = target.suffix.lstrip(".").lower() or "png"
    try:
        with atomic_path(target) as temporary:
            figure.savefig(temporary, format=suffix, dpi=100)
    except ValueError as error:
        raise BrantoveilError(f"cannot draw {target}: {error}") from None
    finally:
        plt.close(figure)


def _title(report: ConvergenceReport) -> str:
    files = ", ".join(report.files)
    first = f"Convergence of {files}"
    parts = [f"{sum(run.trees for run in report.runs)} trees kept ({report.selection.burnin} burn-in)"]
    if report.asdsf is not None:
        parts.append(f"ASDSF {report.asdsf:.4f}")
    lowest = report.lowest_ess
    if np.isfinite(lowest):
        parts.append(f"lowest ESS {lowest:.0f}")
    return first + "\n" + ", ".join(parts)


def _colour(run: int) -> str:
    return RUN_COLOURS[run % len(RUN_COLOURS)]


def tree_space_panel(axes: Axes, report: ConvergenceReport) -> None:
    """Trees scaled to the plane, one colour per run, darker later in the run."""
    import matplotlib.pyplot as plt

    figures = report.distances
    for r, run in enumerate(report.runs):
        mine = np.flatnonzero(figures.runs == r)
        if len(mine) == 0:
            continue
        order = np.linspace(0.35, 1.0, len(mine))
        colours = plt.get_cmap(RUN_MAPS[r % len(RUN_MAPS)])(order)
        axes.scatter(figures.coordinates[mine, 0], figures.coordinates[mine, 1], c=colours, s=14,
                     edgecolors="none", label=run.label)
    axes.set_title(f"Tree space ({figures.method} of {figures.metric.upper()}, {len(figures.indices)} trees)")
    axes.set_xlabel("MDS axis 1")
    axes.set_ylabel("MDS axis 2")
    axes.legend(title="run (light = early, dark = late)", fontsize=9, loc="best", markerscale=1.5)


def trace_panel(axes: Axes, report: ConvergenceReport) -> None:
    """Each run's distance to its medoid tree, by generation (or sample number when unknown)."""
    by_generation = all(np.all(run.generations >= 0) for run in report.runs)
    for r, run in enumerate(report.runs):
        x = run.generations if by_generation else np.arange(1, run.trees + 1)
        label = f"{run.label} (approx. ESS {_ess(run.approx_ess)}, pseudo {_ess(run.pseudo_ess)})"
        if run.trees <= TRACE_POINTS:
            axes.plot(x, run.trace, color=_colour(r), linewidth=0.7, alpha=0.85, label=label)
            continue
        # A long trace is a solid band: show every k-th sample faintly and a running mean on top.
        step = -(-run.trees // TRACE_POINTS)
        axes.plot(x[::step], run.trace[::step], color=_colour(r), linewidth=0.5, alpha=0.3)
        window = max(run.trees // 50, 2)
        smooth = np.convolve(run.trace, np.ones(window) / window, mode="valid")
        axes.plot(x[window - 1 :][::step], smooth[::step], color=_colour(r), linewidth=2,
                  label=f"{label}, mean of {window}")
    highest = max((int(run.trace.max()) for run in report.runs if run.trees), default=1)
    axes.set_ylim(-0.2, max(highest, 1) * 1.3)  # room for the legend above the traces
    axes.set_title("Trace: RF distance to the run's medoid tree")
    axes.set_xlabel("generation" if by_generation else "sample")
    axes.set_ylabel("RF distance to medoid")
    axes.legend(fontsize=9, loc="upper right")


def _ess(value: float) -> str:
    return f"{value:.0f}" if np.isfinite(value) else "n/a"


def split_scatter_panel(axes: Axes, report: ConvergenceReport) -> None:
    """Every split's frequency in each run against the first run."""
    table = report.splits
    axes.plot([0, 1], [0, 1], color="0.6", linewidth=1, linestyle="--", label="equal frequency")
    if len(report.runs) < 2:
        axes.text(0.5, 0.5, "one run: nothing to compare", ha="center", va="center", transform=axes.transAxes)
    for r in range(1, len(report.runs)):
        axes.scatter(table.frequencies[:, 0], table.frequencies[:, r], s=16, color=_colour(r), alpha=0.7,
                     edgecolors="none", label=f"{report.runs[r].label} ({len(table.taxa)} splits)")
    axes.set_xlim(-0.02, 1.02)
    axes.set_ylim(-0.02, 1.02)
    axes.set_aspect("equal")
    first = report.runs[0].label
    axes.set_title(f"Split frequencies against {first}")
    axes.set_xlabel(f"frequency in {first}")
    axes.set_ylabel("frequency in the other run")
    axes.legend(fontsize=9, loc="upper left")


def cumulative_panel(axes: Axes, report: ConvergenceReport) -> None:
    """ASDSF of the first k trees of every run, as k grows."""
    if len(report.cumulative_trees) == 0:
        axes.text(0.5, 0.5, "ASDSF needs two runs", ha="center", va="center", transform=axes.transAxes)
    else:
        axes.plot(report.cumulative_trees, report.cumulative_asdsf, color="black", marker="o", markersize=3,
                  label=f"ASDSF (splits >= {report.min_freq:g} in some run)")
        axes.axhline(ASDSF_BAR, color="tab:red", linestyle="--", linewidth=1, label=f"usual bar {ASDSF_BAR}")
        axes.set_ylim(bottom=0)
        axes.legend(fontsize=9)
    axes.set_title("Cumulative ASDSF")
    axes.set_xlabel("trees per run (after burn-in)")
    axes.set_ylabel("average SD of split frequencies")


def heatmap_panel(axes: Axes, report: ConvergenceReport, figure: Any) -> None:
    """Distances among a thinned sample, ordered by run, run boundaries marked."""
    figures = report.distances
    n = len(figures.indices)
    shown = np.unique(np.linspace(0, max(n - 1, 0), min(n, HEATMAP_TREES)).round().astype(np.int64))
    matrix: NDArray[np.float64] = figures.matrix[np.ix_(shown, shown)]
    image = axes.imshow(matrix, cmap="viridis", interpolation="nearest", aspect="equal")
    runs = figures.runs[shown]
    boundaries = np.flatnonzero(np.diff(runs)) + 0.5
    for edge in boundaries:
        axes.axhline(edge, color="white", linewidth=1.2)
        axes.axvline(edge, color="white", linewidth=1.2)
    starts = np.concatenate(([0], np.flatnonzero(np.diff(runs)) + 1))
    ends = np.concatenate((starts[1:], [len(runs)]))
    axes.set_xticks((starts + ends - 1) / 2, [report.runs[int(runs[s])].label for s in starts], fontsize=8)
    axes.set_yticks((starts + ends - 1) / 2, [report.runs[int(runs[s])].label for s in starts], fontsize=8,
                    rotation=90, va="center")
    axes.set_title(f"{figures.metric.upper()} distances, {len(shown)} trees ordered by run and sample")
    axes.set_xlabel("tree (run, then sample order)")
    axes.set_ylabel("tree (run, then sample order)")
    figure.colorbar(image, ax=axes, shrink=0.8, label=f"{figures.metric.upper()} distance")


def distance_histogram_panel(axes: Axes, report: ConvergenceReport) -> None:
    """Distances between trees of one run against those between runs."""
    figures = report.distances
    within, between = figures.within(), figures.between()
    values = np.concatenate((within, between))
    if len(values) == 0:
        axes.text(0.5, 0.5, "too few trees", ha="center", va="center", transform=axes.transAxes)
        return
    if figures.metric == "rf":
        step = max(1.0, float(np.ceil((values.max() + 1) / 60)))
        bins: Any = np.arange(values.min() - 0.5, values.max() + 1.5, step)
    else:
        bins = 50
    shown = [(group, colour, f"{name} ({len(group)} pairs)")
             for group, colour, name in ((within, "tab:blue", "within runs"), (between, "tab:orange", "between runs"))
             if len(group)]
    axes.hist([v for v, _, _ in shown], bins=bins, density=True, color=[c for _, c, _ in shown],
              label=[label for _, _, label in shown])
    axes.set_title("Distances within and between runs")
    axes.set_xlabel(f"{figures.metric.upper()} distance")
    axes.set_ylabel("share of pairs" if figures.metric == "rf" else "density")
    axes.legend(fontsize=9)
