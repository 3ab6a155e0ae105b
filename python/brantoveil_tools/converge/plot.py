"""The one-page picture of a convergence report: one function per panel, drawn with matplotlib.

Each run has one hue throughout the page; time within a run is shown by position along an axis or by
marker shape, never by light against dark, so runs stay distinct. The verdict heads the page and its table
of criteria has a panel of its own.
"""

from __future__ import annotations

import importlib.util
import math
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.commit import atomic_path
from brantoveil_tools.converge.cladogram import AGREE, DISAGREE, MAY_DO, UNKNOWN, band_colour
from brantoveil_tools.converge.labels import split_names, unique
from brantoveil_tools.converge.report import ASDSF_BAR, MAX_SDSF_BAR, ConvergenceReport
from brantoveil_tools.converge.split_ess import binomial_threshold
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.summarize.tree import Node

RUN_COLOURS = ("#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#e377c2", "#17becf",
               "#7f7f7f", "#bcbd22")
SPLIT_COLOURS = ("#000000", "#e69f00", "#56b4e9", "#009e73", "#cc79a7", "#0072b2")
RUN_STYLES: tuple[Any, ...] = ("-", "--", ":", "-.")
THIRDS = (("o", "first third"), ("s", "middle third"), ("^", "last third"))
HEATMAP_TREES = 300
TRACE_POINTS = 1500
TREE_TAXA = 24  # the most leaves a panel names legibly at the picture's size; the web page draws any tree

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

    rows = 3 if report.parameters is None else 4
    figure = plt.figure(figsize=(26, 17 if rows == 3 else 21),
                        layout=ConstrainedLayoutEngine(w_pad=0.12, h_pad=0.12, wspace=0.06))
    grid = figure.add_gridspec(rows, 4, height_ratios=[1.0] * 3 + [0.7] * (rows - 3))
    tree_space_panel(figure.add_subplot(grid[0, 0]), report)
    if report.consensus is not None and len(report.taxa) <= TREE_TAXA:
        trace_panel(figure, grid[0, 1], report)
        consensus_panel(figure.add_subplot(grid[0, 2]), report)
    else:
        trace_panel(figure, grid[0, 1:3], report)
    verdict_panel(figure.add_subplot(grid[0, 3]), report)
    split_scatter_panel(figure.add_subplot(grid[1, 0]), report)
    split_ess_panel(figure.add_subplot(grid[1, 1]), report)
    split_course_panel(figure.add_subplot(grid[1, 2]), report, "cumulative")
    split_course_panel(figure.add_subplot(grid[1, 3]), report, "sliding")
    cumulative_panel(figure.add_subplot(grid[2, 0]), report)
    semivariogram_panel(figure.add_subplot(grid[2, 1]), report)
    heatmap_panel(figure.add_subplot(grid[2, 2]), report, figure)
    distance_histogram_panel(figure.add_subplot(grid[2, 3]), report)
    if report.parameters is not None:
        parameter_panel(figure.add_subplot(grid[3, :]), report)
    figure.suptitle(_title(report), fontsize=16, color="black" if report.verdict.passed else "#b00000")
    suffix = target.suffix.lstrip(".").lower() or "png"
    try:
        with atomic_path(target) as temporary:
            figure.savefig(temporary, format=suffix, dpi=90)
    except ValueError as error:
        raise BrantoveilError(f"cannot draw {target}: {error}") from None
    finally:
        plt.close(figure)


def _title(report: ConvergenceReport) -> str:
    files = ", ".join(report.files)
    first = f"Convergence of {files}: {sum(run.trees for run in report.runs)} trees kept " \
            f"(burn-in {report.selection.burnin})"
    verdict = report.verdict
    if verdict.passed:
        return first + "\n" + verdict.headline()
    names = ", ".join(c.name for c in verdict.failed)
    return first + "\n" + _wrap(f"verdict: FAILED {len(verdict.failed)} of {len(verdict.criteria)} criteria: "
                                f"{names}", 170)


def _wrap(text: str, width: int) -> str:
    import textwrap

    return "\n".join(textwrap.wrap(text, width, break_on_hyphens=False)) or text


def _colour(run: int) -> str:
    return RUN_COLOURS[run % len(RUN_COLOURS)]


def _empty(axes: Axes, text: str) -> None:
    axes.text(0.5, 0.5, text, ha="center", va="center", transform=axes.transAxes, fontsize=11, color="0.4")


def tree_space_panel(axes: Axes, report: ConvergenceReport) -> None:
    """Trees scaled to the plane: one hue per run, the marker saying which third of the run a tree is from."""
    figures = report.distances
    for r in range(len(report.runs)):
        mine = np.flatnonzero(figures.runs == r)
        if len(mine) == 0:
            continue
        thirds = np.minimum((3 * np.arange(len(mine))) // max(len(mine), 1), 2)
        for third, (marker, _) in enumerate(THIRDS):
            chosen = mine[thirds == third]
            axes.scatter(figures.coordinates[chosen, 0], figures.coordinates[chosen, 1], marker=marker, s=22,
                         facecolors="none" if third == 0 else _colour(r), edgecolors=_colour(r),
                         linewidths=0.8, alpha=0.75)
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], color=_colour(r), marker="o", linestyle="", label=run.label)
               for r, run in enumerate(report.runs)]
    handles += [Line2D([], [], color="0.3", marker=marker, linestyle="", markerfacecolor="none" if t == 0 else "0.3",
                       label=name) for t, (marker, name) in enumerate(THIRDS)]
    axes.legend(handles=handles, fontsize=8, loc="best", ncol=2)
    axes.set_title(f"Tree space ({figures.method} of {figures.metric.upper()}, {len(figures.indices)} trees)")
    axes.set_xlabel("MDS axis 1")
    axes.set_ylabel("MDS axis 2")


def trace_panel(figure: Any, cell: Any, report: ConvergenceReport) -> None:
    """Each run's distance to its medoid tree in a strip of its own, by generation (or sample number)."""
    strips = cell.subgridspec(len(report.runs), 1, hspace=0.0)
    by_generation = all(np.all(run.generations >= 0) for run in report.runs)
    highest = max((int(run.trace.max()) for run in report.runs if run.trees), default=1)
    first = None
    for r, run in enumerate(report.runs):
        axes = figure.add_subplot(strips[r, 0], sharex=first)
        first = first or axes
        x = run.generations if by_generation else np.arange(1, run.trees + 1)
        step = max(1, -(-run.trees // TRACE_POINTS))
        axes.plot(x[::step], run.trace[::step], color=_colour(r), linewidth=0.6, alpha=0.45,
                  drawstyle="steps-mid")
        window = max(run.trees // 50, 2)
        if run.trees > window:
            smooth = np.convolve(run.trace, np.ones(window) / window, mode="valid")
            axes.plot(x[window - 1 :][::step], smooth[::step], color=_colour(r), linewidth=2.0,
                      label=f"mean of {window}")
        axes.set_ylim(-0.3, max(highest, 1) * 1.15 + 0.3)
        if by_generation:
            burnin_shade(axes, run.generations, report.selection.runs[r].dropped)
        axes.text(0.005, 0.93, f"{run.label}: approx. ESS {_ess(run.approx_ess, run.ess_upper_bound)}, "
                  f"pseudo {_ess(run.pseudo_ess_min)} (min) / {_ess(run.pseudo_ess)} (median), "
                  f"Frechet {_ess(run.frechet_ess, run.frechet_upper_bound)}",
                  transform=axes.transAxes, va="top", fontsize=9, color=_colour(r),
                  bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "none"})
        axes.set_ylabel("RF to medoid", fontsize=9)
        if r == 0:
            axes.set_title("Trace: RF distance to the run's medoid tree\n(thin: every sample, thick: running mean)")
        if r < len(report.runs) - 1:
            axes.tick_params(labelbottom=False)
        else:
            axes.set_xlabel("generation" if by_generation else "sample")


def consensus_panel(axes: Axes, report: ConvergenceReport) -> None:
    """The majority-rule consensus drawn as `summarize --plot` draws a tree, each clade's posterior in the
    colour of its SDSF band."""
    from matplotlib.lines import Line2D

    from brantoveil_tools.summarize.plot import draw_tree

    consensus = report.consensus
    assert consensus is not None

    def sdsf(node: Node) -> float:
        spread = node.notes.get("sdsf")
        return spread if isinstance(spread, float) else math.nan

    draw_tree(axes, consensus.tree, consensus.taxa,
              f"Majority-rule consensus ({consensus.n_trees} trees): posteriors coloured by SDSF",
              node_colour=lambda node: band_colour(sdsf(node)))
    bands = ((AGREE, f"SDSF <= {ASDSF_BAR:g}"), (MAY_DO, f"SDSF <= {MAX_SDSF_BAR:g}"),
             (DISAGREE, f"SDSF > {MAX_SDSF_BAR:g}"), (UNKNOWN, "one run"))
    present = {band_colour(sdsf(node)) for node in consensus.tree.nodes if node.children}
    handles = [Line2D([], [], color=c, marker="o", linestyle="", label=name) for c, name in bands if c in present]
    if handles:
        axes.legend(handles=handles, fontsize=8, loc="lower left", frameon=False)


def burnin_shade(axes: Axes, generations: NDArray[np.int64], dropped: int) -> None:
    """Starts the x axis at generation 0 and, when the run dropped a burn-in, greys the generations before its
    first kept sample, as trace viewers show a trace."""
    if dropped > 0 and len(generations) and generations.min() >= 0:
        axes.axvspan(0, int(generations[0]), color="#8c959f", alpha=0.18, linewidth=0, zorder=0)
    axes.set_xlim(left=0)


def parameter_panel(axes: Axes, report: ConvergenceReport) -> None:
    """The trace of the parameter of lowest ESS, one line per run."""
    parameters = report.parameters
    assert parameters is not None
    varying = [(j, p) for j, p in enumerate(parameters.parameters) if not p.constant]
    if not varying:
        axes.text(0.5, 0.5, "every parameter column is constant", ha="center", va="center",
                  transform=axes.transAxes)
        return
    column, worst = min(varying, key=lambda jp: jp[1].min_ess if np.isfinite(jp[1].min_ess) else np.inf)
    names = unique([Path(trace.label).name for trace in parameters.traces])
    for r, trace in enumerate(parameters.traces):
        step = max(1, -(-trace.kept // TRACE_POINTS))
        axes.plot(trace.generations[::step], trace.values[::step, column], color=_colour(r), linewidth=0.7,
                  label=f"{names[r]}: ESS {_ess(worst.runs[r].ess)}")
        burnin_shade(axes, trace.generations, trace.dropped)
    psrf = f", PSRF {worst.psrf:.3f}" if np.isfinite(worst.psrf) else ""
    axes.set_title(f"Parameter of lowest ESS: {worst.name} (min ESS {_ess(worst.min_ess)}{psrf}; "
                   f"{len(varying)} parameters varying)")
    axes.set_xlabel("generation")
    axes.set_ylabel(worst.name)
    axes.legend(fontsize=9, loc="upper right")


def _ess(value: float, upper_bound: bool = False) -> str:
    if not np.isfinite(value):
        return "n/a"
    return f"<{value:.0f}" if upper_bound else f"{value:.0f}"


def verdict_panel(axes: Axes, report: ConvergenceReport) -> None:
    """The criteria table: value, threshold, outcome and failing runs, one line each."""
    axes.axis("off")
    verdict = report.verdict
    axes.set_title("Verdict: " + ("PASSED" if verdict.passed else "FAILED"),
                   color="#006400" if verdict.passed else "#b00000", fontsize=14, fontweight="bold")
    lines = []
    for c in verdict.criteria:
        value = "n/a" if math.isnan(c.value) else f"{c.value:.4g}"
        sign = "<=" if c.direction == "at most" else ">="
        mark = "pass" if c.passed else "FAIL"
        lines.append((f"{mark}  {c.name}: {value} ({sign} {c.threshold:g})", c.passed))
        if not c.passed and c.runs:
            lines.append(("        " + _wrap(", ".join(c.runs), 52).replace("\n", "\n        "), False))
    if report.burnin_suggestion is not None:
        lines.append(("", True))
        lines.append((_wrap(report.burnin_suggestion.describe(), 56), True))
    y = 0.98
    for text, passed in lines:
        axes.text(0.0, y, text, transform=axes.transAxes, va="top", family="monospace", fontsize=10,
                  color="black" if passed else "#b00000")
        y -= 0.055 * (text.count("\n") + 1)


def split_scatter_panel(axes: Axes, report: ConvergenceReport) -> None:
    """Every split's frequency in each run against the first run, inside the split test's 95% band."""
    table = report.splits
    if len(report.runs) < 2:
        _empty(axes, "one run: nothing to compare")
    else:
        grid = np.linspace(0.0, 1.0, 201)
        size = max(1, round(report.settings.split_ess))
        band = np.asarray([binomial_threshold(size, float(p)) for p in grid])
        axes.fill_between(grid, grid - band, grid + band, color="0.85",
                          label=f"95% band of two samples of ESS {size}")
        axes.plot([0, 1], [0, 1], color="0.5", linewidth=0.8)
        for r in range(1, len(report.runs)):
            failed = table.tested & ~table.passes[:, r - 1]
            axes.scatter(table.frequencies[~failed, 0], table.frequencies[~failed, r], s=18, color=_colour(r),
                         alpha=0.75, edgecolors="none", label=f"{report.runs[r].label} ({len(table.taxa)} splits)")
            if failed.any():
                axes.scatter(table.frequencies[failed, 0], table.frequencies[failed, r], s=60, marker="x",
                             color=_colour(r), label=f"{report.runs[r].label}: outside the band ({failed.sum()})")
        axes.legend(fontsize=8, loc="upper left")
    axes.set_xlim(-0.02, 1.02)
    axes.set_ylim(-0.02, 1.02)
    axes.set_aspect("equal")
    first = report.runs[0].label
    axes.set_title(f"Split frequencies against {first}")
    axes.set_xlabel(f"frequency in {first}")
    axes.set_ylabel("frequency in the other run")


def split_ess_panel(axes: Axes, report: ConvergenceReport) -> None:
    """The ESS of every tested split's presence trace in each run, splits by frequency, against the minimum."""
    table = report.splits
    rows = np.flatnonzero(table.tested)
    if len(rows) == 0:
        _empty(axes, "no split within [0.025, 0.975] in any run")
    else:
        for r, run in enumerate(report.runs):
            values = table.ess[rows, r]
            shown = np.isfinite(values)
            axes.scatter(table.overall[rows][shown], values[shown], s=22, color=_colour(r), alpha=0.75,
                         edgecolors="none", label=run.label)
        axes.axhline(report.settings.split_ess, color="black", linestyle="--", linewidth=1,
                     label=f"minimum {report.settings.split_ess:g} (precision {report.settings.precision:g})")
        axes.set_yscale("log")
        axes.set_xlim(0, 1)
        axes.legend(fontsize=8)
    axes.set_title(f"Split ESS ({len(rows)} splits within [0.025, 0.975] in some run)")
    axes.set_xlabel("split frequency (all runs)")
    axes.set_ylabel("ESS of the split's presence trace")


def split_course_panel(axes: Axes, report: ConvergenceReport, kind: str) -> None:
    """Cumulative (or sliding-window) frequencies of the splits of largest SDSF: a hue per split, a line
    style per run."""
    courses = report.courses
    if courses is None:
        _empty(axes, "no split to follow")
        axes.set_title("Split frequencies along the runs")
        return
    values = courses.cumulative if kind == "cumulative" else courses.sliding
    names = split_names([report.splits.taxa[int(row)] for row in courses.splits], shown=3)
    for i in range(len(courses.splits)):
        colour = SPLIT_COLOURS[i % len(SPLIT_COLOURS)]
        for r in range(len(report.runs)):
            label = names[i] if r == 0 else None
            axes.plot(courses.checkpoints, values[i, r], color=colour, linestyle=RUN_STYLES[r % len(RUN_STYLES)],
                      linewidth=1.4, label=label)
    from matplotlib.lines import Line2D

    # Below the axes, so no legend hides a line near 0 or 1.
    handles, labels = axes.get_legend_handles_labels()
    handles += [Line2D([], [], color="0.3", linestyle=RUN_STYLES[r % len(RUN_STYLES)]) for r in range(len(report.runs))]
    labels += [f"run {run.label}" for run in report.runs]
    axes.legend(handles, labels, fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=2)
    axes.set_ylim(-0.02, 1.1)
    if kind == "cumulative":
        axes.set_title("Cumulative split frequencies (largest SDSF)")
    else:
        axes.set_title(f"Split frequencies in a sliding window of {courses.window} trees")
    axes.set_xlabel("trees per run (after burn-in)")
    axes.set_ylabel("split frequency")


def cumulative_panel(axes: Axes, report: ConvergenceReport) -> None:
    """ASDSF of the first k trees of every run, as k grows."""
    if len(report.cumulative_trees) == 0:
        _empty(axes, "ASDSF needs two runs")
    else:
        axes.plot(report.cumulative_trees, report.cumulative_asdsf, color="black", marker="o", markersize=3,
                  label=f"ASDSF (splits >= {report.min_freq:g} in some run)")
        axes.axhline(ASDSF_BAR, color="#b00000", linestyle="--", linewidth=1, label=f"{ASDSF_BAR}: runs agree")
        axes.axhline(MAX_SDSF_BAR, color="#b00000", linestyle=":", linewidth=1, label=f"{MAX_SDSF_BAR}: may agree")
        axes.set_ylim(bottom=0)
        axes.legend(fontsize=9)
    axes.set_title("Cumulative ASDSF")
    axes.set_xlabel("trees per run (after burn-in)")
    axes.set_ylabel("average SD of split frequencies")


def semivariogram_panel(axes: Axes, report: ConvergenceReport) -> None:
    """D_k, the mean squared RF distance between trees k apart, and the fitted semivariogram, per run."""
    drawn = False
    for r, run in enumerate(report.runs):
        if len(run.lag_profile) == 0 or not np.any(np.isfinite(run.lag_profile)):
            continue
        lags = np.arange(1, len(run.lag_profile) + 1)
        axes.plot(lags, run.lag_profile, color=_colour(r), marker="o", markersize=2.5, linewidth=0.8,
                  label=f"{run.label}: D_k")
        sill, scale = run.semivariogram
        if np.isfinite(sill) and np.isfinite(scale):
            fitted: NDArray[np.float64] = sill * (1 - np.exp(-lags / scale))
            axes.plot(lags, fitted, color=_colour(r), linestyle="--", linewidth=1.2,
                      label=f"fit a = {sill:.3g}, b = {scale:.3g}")
        drawn = True
    if not drawn:
        _empty(axes, "the trees never differ")
    else:
        axes.legend(fontsize=8)
        axes.set_ylim(bottom=0)
    axes.set_title("Approximate ESS: D_k ~ a (1 - exp(-k / b))")
    axes.set_xlabel("lag k (trees)")
    axes.set_ylabel("mean squared RF distance")


def heatmap_panel(axes: Axes, report: ConvergenceReport, figure: Any) -> None:
    """Distances among a thinned sample, ordered by run, run boundaries marked."""
    figures = report.distances
    n = len(figures.indices)
    shown = np.unique(np.linspace(0, max(n - 1, 0), min(n, HEATMAP_TREES)).round().astype(np.int64))
    matrix: NDArray[np.float64] = figures.matrix[np.ix_(shown, shown)]
    image = axes.imshow(matrix, cmap="viridis", interpolation="nearest", aspect="equal")
    runs = figures.runs[shown]
    for edge in np.flatnonzero(np.diff(runs)) + 0.5:
        axes.axhline(edge, color="white", linewidth=1.2)
        axes.axvline(edge, color="white", linewidth=1.2)
    starts = np.concatenate(([0], np.flatnonzero(np.diff(runs)) + 1))
    ends = np.concatenate((starts[1:], [len(runs)]))
    axes.set_xticks((starts + ends - 1) / 2, [report.runs[int(runs[s])].label for s in starts], fontsize=8)
    axes.set_yticks((starts + ends - 1) / 2, [report.runs[int(runs[s])].label for s in starts], fontsize=8,
                    rotation=90, va="center")
    axes.set_title(f"{figures.metric.upper()} distances, {len(shown)} trees ordered by run and sample")
    figure.colorbar(image, ax=axes, shrink=0.8, label=f"{figures.metric.upper()} distance")


def distance_histogram_panel(axes: Axes, report: ConvergenceReport) -> None:
    """Distances between trees of one run against those between runs."""
    figures = report.distances
    within, between = figures.within(), figures.between()
    values = np.concatenate((within, between))
    if len(values) == 0:
        _empty(axes, "too few trees")
        return
    if figures.metric == "rf":
        step = max(1.0, float(np.ceil((values.max() + 1) / 60)))
        bins: Any = np.arange(values.min() - 0.5, values.max() + 1.5, step)
    else:
        bins = 50
    shown = [(group, colour, f"{name} ({len(group)} pairs)")
             for group, colour, name in ((within, "#555555", "within runs"), (between, "#e69f00", "between runs"))
             if len(group)]
    axes.hist([v for v, _, _ in shown], bins=bins, density=True, color=[c for _, c, _ in shown],
              label=[label for _, _, label in shown])
    axes.set_title("Distances within and between runs")
    axes.set_xlabel(f"{figures.metric.upper()} distance")
    axes.set_ylabel("share of pairs" if figures.metric == "rf" else "density")
    axes.legend(fontsize=9)
