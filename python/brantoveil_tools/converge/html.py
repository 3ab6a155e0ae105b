"""The convergence report as one self-contained web page: verdict, trees, parameters and settings.

The page is rendered from a Jinja2 template; figures are Plotly figures whose data travel inside the page
with the plotting library itself, so the file opens offline and can be mailed. Tables and the verdict are
plain HTML, readable before (or without) the figures' script.
"""

from __future__ import annotations

import importlib.util
import math
import re
import shlex
from collections.abc import Sequence
from dataclasses import dataclass
from html import escape
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.commit import atomic_path
from brantoveil_tools.converge.cladogram import AGREE, DISAGREE, MAY_DO, UNKNOWN, cladogram
from brantoveil_tools.converge.document import Provenance, methods_paragraph, provenance
from brantoveil_tools.converge.islands import MAX_ISLANDS, MIN_SILHOUETTE, NEIGHBOUR_RF
from brantoveil_tools.converge.labels import split_names, unique
from brantoveil_tools.converge.needed import ASSUMPTION, describe
from brantoveil_tools.converge.params import DEFINITIONS, ParameterReport, ks_threshold
from brantoveil_tools.converge.report import ASDSF_BAR, MAX_SDSF_BAR, ConvergenceReport
from brantoveil_tools.converge.verdict import Criterion
from brantoveil_tools.errors import BrantoveilError

TEMPLATES = Path(__file__).resolve().parent / "templates"
TRACE_POINTS = 1000  # drawn per run and trace; every sample still counts in every figure computed
SPLIT_ROWS = 500
SCATTER_SPLITS = 3000
DENSITY_BINS = 40
RUN_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
               "#bcbd22", "#17becf")


def require_html() -> None:
    """Fails in one line, before any work, when Jinja2 or Plotly is not installed."""
    missing = [name for name in ("jinja2", "plotly") if importlib.util.find_spec(name) is None]
    if missing:
        raise BrantoveilError(f"--html needs {' and '.join(missing)}: pip install 'brantoveil[plot]'")


@dataclass(frozen=True)
class Figure:
    """One figure of the page: the element id and Plotly's JSON of it."""

    id: str
    json: str


def write_html(report: ConvergenceReport, target: str | Path, command: Sequence[str] | None = None,
               origin: Provenance | None = None) -> None:
    """Writes the report as one self-contained HTML file (atomically).

    Parameters
    ----------
    report : ConvergenceReport
        The report; its ``parameters`` (when present) fill the parameters section.
    target : path
        The file to write.
    command : sequence of str, optional
        The command line that produced the report, shown for reproduction; by default one is rebuilt from
        the report's settings.
    origin : Provenance, optional
        The report's provenance when already taken (so the page and the JSON show the same); by default it
        is taken here, with the command above.
    """
    require_html()
    import jinja2
    import plotly.offline

    target = Path(target)
    words = list(command) if command is not None else default_command(report, target)
    page = _page(report, words, origin if origin is not None else provenance(report, words))
    environment = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True,
                                     undefined=jinja2.StrictUndefined, trim_blocks=True, lstrip_blocks=True)
    environment.filters["num"] = _format_number
    # The library travels as plain script, so every figure is drawn before the page counts as loaded: a
    # browser printing at once (headless Chromium's --print-to-pdf) prints figures, not placeholders.
    html = environment.get_template("report.html.j2").render(page=page, plotly=plotly.offline.get_plotlyjs())
    with atomic_path(target) as temporary:
        temporary.write_text(html, encoding="utf-8")


def criteria(report: ConvergenceReport) -> list[Criterion]:
    """Every criterion of the report's verdict, the parameters' after the trees'."""
    found: list[Criterion] = list(report.verdict.criteria)
    if report.parameters is not None and not any(c.group == "parameters" for c in found):
        found.extend(report.parameters.criteria())
    return found


def default_command(report: ConvergenceReport, target: Path) -> list[str]:
    """The command line that reproduces the report from its recorded settings."""
    words = ["brantoveil", "converge", *(run.path for run in report.selection.runs),
             "--burnin", report.selection.burnin]
    if report.selection.thin != 1:
        words += ["--thin", str(report.selection.thin)]
    words += ["--min-freq", f"{report.min_freq:g}"]
    if report.distances.metric != "rf":
        words += ["--metric", report.distances.metric]
    words.append("--rooted" if report.rooted else "--unrooted")  # as decided, whatever the default finds
    if report.parameters is not None:
        words += ["--params", *(trace.path for trace in report.parameters.traces)]
    else:
        words.append("--no-params")
    return [*words, "--html", str(target)]


# ---- the page's content ------------------------------------------------------------------------------

def _page(report: ConvergenceReport, command: Sequence[str], origin: Provenance) -> dict[str, Any]:
    data = report.to_dict()
    found = criteria(report)
    failed = [c for c in found if not c.passed]
    labels = [run.label for run in report.runs]
    figures = {"tree_space": _tree_space(report), "trace": _tree_traces(report),
               "split_scatter": _split_scatter(report), "cumulative": _cumulative(report),
               "split_ess": _split_ess(report), "courses": _split_courses(report),
               "consensus": _consensus_tree(report), "lags": _lag_profiles(report)}
    parameters = _parameters(report.parameters) if report.parameters is not None else None
    paragraph, references = methods_paragraph(report)
    return {
        "title": f"Convergence of {', '.join(labels)}",
        "passed": not failed,
        "headline": _headline(found, failed),
        "criteria": [_criterion_row(c) for c in found],
        "needed_assumption": ASSUMPTION if any(c.generations_needed is not None for c in found) else "",
        "runs": data["runs"],
        "burnin_suggestion": (report.burnin_suggestion.describe() if report.burnin_suggestion is not None
                              else None),
        "labels": labels,
        "asdsf": data["asdsf"], "max_sdsf": data["max_sdsf"], "asdsf_splits": data["asdsf_splits"],
        "min_freq": report.min_freq,
        "splits": _split_rows(data["splits"], labels),
        "split_extra": [key for key in ("ess", "threshold", "passes") if data["splits"] and key in data["splits"][0]],
        "split_count": len(data["splits"]),
        "figures": figures,
        "islands": _islands(report),
        "parameters": parameters,
        "definitions": DEFINITIONS,
        "settings": _settings(report),
        "command": shlex.join(command),
        "methods": paragraph,
        "references": references,
        "provenance": origin,
        "version": report.version,
        "asdsf_bar": ASDSF_BAR, "max_sdsf_bar": MAX_SDSF_BAR,
    }


def _headline(found: Sequence[Criterion], failed: Sequence[Criterion]) -> str:
    if not failed:
        return f"Passed: all {len(found)} criteria hold."
    parts = [c.name + (f" ({', '.join(c.runs)})" if c.runs else "") for c in failed]
    return f"Failed {len(failed)} of {len(found)} criteria: " + "; ".join(parts) + "."


def _criterion_row(criterion: Criterion) -> dict[str, Any]:
    return {"name": criterion.name, "group": criterion.group, "value": criterion.value,
            "threshold": criterion.threshold, "direction": criterion.direction, "passed": criterion.passed,
            "runs": ", ".join(criterion.runs), "note": criterion.note,
            "needed": describe(criterion.generations_needed)}


def _split_rows(splits: list[dict[str, Any]], labels: Sequence[str]) -> list[dict[str, Any]]:
    # The most uneven splits first; the table sorts in the browser by any column.
    ordered = sorted(splits, key=lambda s: -(s["sd"] or 0.0))[:SPLIT_ROWS]
    rows = []
    for split in ordered:
        frequencies = split["frequencies"]
        rows.append({"taxa": ", ".join(split["taxa"]), "size": len(split["taxa"]), "frequencies": frequencies,
                     "overall": split["overall"], "sd": split["sd"],
                     "difference": max(frequencies) - min(frequencies),
                     "ess": split.get("ess"), "threshold": _largest(split.get("threshold")),
                     "passes": split.get("passes")})
    return rows


def _largest(values: Any) -> float | None:
    """One number for a cell: the largest of a list (one value per pair of runs), or the value itself."""
    if isinstance(values, list):
        finite = [v for v in values if v is not None]
        return max(finite) if finite else None
    return values if values is None else float(values)


def _settings(report: ConvergenceReport) -> dict[str, Any]:
    parameters = report.parameters
    return {
        "burnin": report.selection.burnin, "thin": report.selection.thin, "min_freq": report.min_freq,
        "rooted": report.rooted, "rooting": report.rooting, "metric": report.distances.metric, "taxa": len(report.taxa),
        "tree_files": [vars(run) for run in report.selection.runs],
        "parameter_files": parameters.files()["files"] if parameters is not None else [],
        "min_ess": parameters.min_ess if parameters is not None else None,
        "psrf_bar": parameters.psrf_bar if parameters is not None else None,
        "ks_alpha": parameters.ks_alpha if parameters is not None else None,
    }


def _format_number(value: Any, decimals: int = 4) -> str:
    """A number for a table cell: ``decimals`` places without trailing zeros, powers of ten when tiny or huge."""
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "n/a"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int | np.integer):
        return str(value)
    number = float(value)
    if number != 0.0 and (abs(number) >= 1e7 or abs(number) < 10.0 ** (1 - decimals)):  # two digits at least
        return f"{number:.3e}"
    text = f"{number:.{decimals}f}"
    return text.rstrip("0").rstrip(".") if "." in text else text


# ---- figures -----------------------------------------------------------------------------------------

def _json(figure: Any, id_: str, **layout: Any) -> Figure:
    """The figure in the page's common style; ``layout`` overrides it."""
    import plotly.io

    # The tool bar stands upright at the right, clear of the title.
    figure.update_layout(template="plotly_white", margin={"l": 60, "r": 20, "t": 78, "b": 50},
                         font={"size": 12}, legend={"orientation": "h", "y": -0.2},
                         title={"x": 0.01, "xanchor": "left", "y": 0.985, "yanchor": "top", "font": {"size": 14}},
                         modebar={"orientation": "v"})
    if layout:
        figure.update_layout(**layout)
    return Figure(id_, plotly.io.to_json(figure, validate=False))


def _plain(text: str) -> str:
    """A name as a figure draws it: Plotly reads <b>, <br> and <a href> in text as markup, so a name's own
    angle brackets and ampersands are escaped and show as typed."""
    return escape(text, quote=False)


def _burnin_shade(figure: Any, runs: Sequence[tuple[NDArray[np.int64], int]], **where: Any) -> None:
    """Starts the x axis (the first one of the figure) at generation 0 and greys, per run that dropped a burn-in,
    the generations before its first kept sample; ``runs`` holds each run's kept generations and how many
    samples it dropped."""
    ends = sorted({int(kept[0]) for kept, dropped in runs if dropped > 0 and len(kept) and kept.min() >= 0})
    for end in ends:
        figure.add_vrect(x0=0, x1=end, fillcolor="#8c959f", opacity=0.18, line_width=0, layer="below", **where)
    if ends:
        figure.add_annotation(x=ends[0] / 2, y=1.0, xref="x", yref="y domain", text="burn-in", showarrow=False,
                              yanchor="bottom", font={"color": "#57606a", "size": 11})
    figure.update_xaxes(rangemode="tozero", **where)


def _thinned(n: int, points: int = TRACE_POINTS) -> NDArray[np.int64]:
    if n <= points:
        return np.arange(n, dtype=np.int64)
    return np.unique(np.linspace(0, n - 1, points).round().astype(np.int64))


ISLAND_SYMBOLS = ("circle", "square", "diamond", "cross", "x", "triangle-up")


def _colour(run: int) -> str:
    return RUN_COLOURS[run % len(RUN_COLOURS)]


def _tree_space(report: ConvergenceReport) -> Figure:
    import plotly.graph_objects as go

    figures = report.distances
    islands = report.islands
    names = _tree_space_names(report)
    labels = unique([_plain(run.label) for run in report.runs])
    figure = go.Figure()
    for r, run in enumerate(report.runs):
        mine = np.flatnonzero(figures.runs == r)
        if len(mine) == 0:
            continue
        positions = _positions_in_run(run.generations, [names[k] for k in mine])
        known = positions >= 0
        generation = np.where(known, run.generations[np.maximum(positions, 0)], -1)
        distance = np.where(known, run.trace[np.maximum(positions, 0)], -1)
        hover = [f"{_plain(names[k])}<br>generation {g}<br>RF to the run's medoid {d}" if g >= 0
                 else _plain(names[k]) for k, g, d in zip(mine, generation, distance, strict=True)]
        marker: dict[str, Any] = {"color": _colour(r), "size": 6, "opacity": 0.6}
        if islands is not None and len(islands.islands) > 1:
            marker["symbol"] = [ISLAND_SYMBOLS[int(islands.drawn[k]) % len(ISLAND_SYMBOLS)] for k in mine]
            hover = [f"{text}<br>island {int(islands.drawn[k]) + 1}" for text, k in zip(hover, mine, strict=True)]
        figure.add_trace(go.Scatter(
            x=figures.coordinates[mine, 0], y=figures.coordinates[mine, 1], mode="markers", name=labels[r],
            marker=marker, text=hover,
            hovertemplate="%{text}<extra></extra>"))
        # The medoid itself when it was drawn, else a drawn tree of its topology (RF 0 to it).
        at_medoid = [k for k in mine if names[k] == run.medoid_name] or list(mine[known & (distance == 0)])
        if at_medoid:
            first = at_medoid[0]
            figure.add_trace(go.Scatter(
                x=[figures.coordinates[first, 0]], y=[figures.coordinates[first, 1]], mode="markers",
                name=f"{labels[r]} medoid", marker={"color": _colour(r), "size": 16, "symbol": "star",
                                                     "line": {"color": "black", "width": 1.5}},
                text=[f"medoid of {labels[r]}: {_plain(run.medoid_name)}"], hovertemplate="%{text}<extra></extra>"))
    several = islands is not None and len(islands.islands) > 1
    marked = f"<br>symbols mark {len(islands.islands)} tree islands" if islands is not None and several else ""
    figure.update_layout(title=f"Tree space: {figures.method} of {figures.metric.upper()} distances, "
                               f"{len(figures.indices)} trees{marked}", xaxis_title="axis 1", yaxis_title="axis 2",
                         height=520)
    return _json(figure, "tree-space")


def _islands(report: ConvergenceReport) -> dict[str, Any] | None:
    """The island table: one row per island, and how they were found."""
    found = report.islands
    if found is None:
        return None
    if len(found.islands) > 1:
        how = (f"{len(found.islands)} islands by average linkage of the RF distances of the tree-space subsample, "
               f"mean silhouette "
               f"{found.silhouette:.2f}; every tree joins its nearest island medoid; marked by symbol in the map")
    else:
        how = (f"one island: no clusters of the tree-space subsample (2 to {MAX_ISLANDS}, average linkage of RF "
               f"distances) stand more than {NEIGHBOUR_RF:g} apart with a mean silhouette of {MIN_SILHOUETTE:g}")
    rows = [{"number": k + 1, "trees": island.trees, "shares": island.shares, "consensus": island.consensus}
            for k, island in enumerate(found.islands)]
    return {"how": how, "rows": rows}


def _tree_space_names(report: ConvergenceReport) -> list[str]:
    names = list(getattr(report, "tree_space_names", ()))
    if len(names) == len(report.distances.indices):
        return names
    return [f"{report.runs[int(r)].label}: tree {int(i) + 1}" for r, i in
            zip(report.distances.runs, report.distances.indices, strict=True)]


def _positions_in_run(generations: NDArray[np.int64], names: Sequence[str]) -> NDArray[np.int64]:
    """Where each named tree sits among the run's kept trees, found by the generation its name ends with
    (-1 where the name carries none, or the run's generations do not tell trees apart)."""
    found = np.full(len(names), -1, dtype=np.int64)
    if len(generations) == 0 or generations.min() < 0 or len(np.unique(generations)) != len(generations):
        return found
    where = {int(g): k for k, g in enumerate(generations)}
    for k, name in enumerate(names):
        match = re.search(r"(\d+)\s*$", name)
        if match is not None:
            found[k] = where.get(int(match.group(1)), -1)
    return found


def _tree_traces(report: ConvergenceReport) -> Figure:
    import plotly.graph_objects as go

    figure = go.Figure()
    labels = unique([_plain(run.label) for run in report.runs])
    for r, run in enumerate(report.runs):
        shown = _thinned(run.trees)
        figure.add_trace(go.Scatter(x=run.generations[shown], y=run.trace[shown], mode="lines", name=labels[r],
                                      line={"color": _colour(r), "width": 1}))
    _burnin_shade(figure, [(run.generations, chosen.dropped)
                           for run, chosen in zip(report.runs, report.selection.runs, strict=True)])
    figure.update_layout(title="RF distance to each run's medoid tree (burn-in shaded)", xaxis_title="generation",
                         yaxis_title="RF distance", height=380)
    return _json(figure, "tree-trace")


def _lag_profiles(report: ConvergenceReport) -> Figure | None:
    """What the approximate ESS is computed from: per run, D_k (the mean squared RF distance between trees k
    apart) and the semivariogram a (1 - exp(-k / b)) fitted to it, with 0.95 a marked."""
    import plotly.graph_objects as go

    runs = [(r, run) for r, run in enumerate(report.runs)
            if len(run.lag_profile) and np.any(np.isfinite(run.lag_profile))]
    if not runs:
        return None
    labels = unique([_plain(run.label) for run in report.runs])
    figure = go.Figure()
    for r, run in runs:
        lags = np.arange(1, len(run.lag_profile) + 1)
        figure.add_trace(go.Scatter(x=lags, y=run.lag_profile, mode="markers", name=f"{labels[r]}: D_k",
                                    marker={"color": _colour(r), "size": 4},
                                    hovertemplate="lag %{x}: D_k %{y:.3f}<extra></extra>"))
        sill, scale = run.semivariogram
        if math.isfinite(sill) and math.isfinite(scale) and scale > 0:
            smooth = np.linspace(0, lags[-1], 200)
            figure.add_trace(go.Scatter(
                x=smooth, y=sill * (1 - np.exp(-smooth / scale)), mode="lines",
                name=f"{labels[r]}: fit a = {sill:.3g}, b = {scale:.3g}", hoverinfo="skip",
                line={"color": _colour(r), "width": 1.5}))
            figure.add_hline(y=0.95 * sill, line={"color": _colour(r), "dash": "dot", "width": 1})
    figure.update_layout(title="Approximate ESS: D_k and its fitted semivariogram a (1 - exp(-k / b)); "
                               "dotted at 0.95 a", xaxis_title="lag k (trees)",
                         yaxis_title="mean squared RF distance D_k", height=380)
    figure.update_xaxes(rangemode="tozero")
    figure.update_yaxes(rangemode="tozero")
    return _json(figure, "lag-profile")


def _split_scatter(report: ConvergenceReport) -> Figure:
    import plotly.graph_objects as go

    table = report.splits
    figure = go.Figure()
    figure.add_trace(go.Scatter(x=[0, 1], y=[0, 1], mode="lines", name="equal", hoverinfo="skip",
                                line={"color": "#999", "dash": "dash", "width": 1}))
    shown = np.argsort(-table.overall, kind="stable")[:SCATTER_SPLITS]
    names = [_plain(", ".join(table.taxa[i]) if len(table.taxa[i]) <= 12 else
                    ", ".join(table.taxa[i][:12]) + f" and {len(table.taxa[i]) - 12} more") for i in shown]
    labels = unique([_plain(run.label) for run in report.runs])
    for r in range(1, len(report.runs)):
        # The test's pair (first run, run r) is column r - 1; a split outside its band gets a red ring.
        outside = ~table.passes[shown, r - 1] if table.passes.shape[1] >= r else np.zeros(len(shown), dtype=bool)
        figure.add_trace(go.Scatter(
            x=table.frequencies[shown, 0], y=table.frequencies[shown, r], mode="markers",
            name=labels[r],
            marker={"color": _colour(r), "size": 8, "opacity": 0.75,
                    "line": {"color": np.where(outside, "#d62728", "rgba(0,0,0,0)").tolist(), "width": 2}},
            text=[f"{n}<br>outside the test's band" if o else n for n, o in zip(names, outside, strict=True)],
            hovertemplate="%{text}<br>%{x:.3f} against %{y:.3f}<extra></extra>"))
    first = labels[0]
    figure.update_layout(title=f"Split frequencies against {first}", xaxis_title=f"frequency in {first}",
                         yaxis_title="frequency in the other run", height=460,
                         xaxis={"range": [-0.02, 1.02], "constrain": "domain"},
                         yaxis={"range": [-0.02, 1.02], "constrain": "domain"})
    return _json(figure, "split-scatter")


def _cumulative(report: ConvergenceReport) -> Figure | None:
    import plotly.graph_objects as go

    if len(report.cumulative_trees) == 0:
        return None
    figure = go.Figure()
    figure.add_trace(go.Scatter(x=report.cumulative_trees, y=report.cumulative_asdsf, mode="lines+markers",
                                name="ASDSF", line={"color": "black"}))
    figure.add_hline(y=ASDSF_BAR, line={"color": "#d62728", "dash": "dash"},
                     annotation_text=f"{ASDSF_BAR}", annotation_position="top left")
    figure.update_layout(title="ASDSF of the first k trees of every run", xaxis_title="trees per run",
                         yaxis_title="ASDSF", height=380)
    return _json(figure, "cumulative-asdsf")


def _split_ess(report: ConvergenceReport) -> Figure | None:
    import plotly.graph_objects as go

    table = report.splits
    tested = np.flatnonzero(table.tested)
    if len(tested) == 0:
        return None
    figure = go.Figure()
    names = [_plain(", ".join(table.taxa[i][:12])) for i in tested]
    labels = unique([_plain(run.label) for run in report.runs])
    for r in range(len(report.runs)):
        figure.add_trace(go.Scatter(
            x=table.overall[tested], y=table.ess[tested, r], mode="markers", name=labels[r], text=names,
            marker={"color": _colour(r), "size": 7, "opacity": 0.75},
            hovertemplate="%{text}<br>frequency %{x:.3f}, ESS %{y:.1f}<extra></extra>"))
    needed = report.settings.split_ess
    figure.add_hline(y=needed, line={"color": "#d62728", "dash": "dash"}, annotation_text=f"{needed:.0f}",
                     annotation_position="top left")
    figure.update_layout(title=f"Split ESS of the {len(tested)} splits the test considers",
                         xaxis_title="split frequency (all runs)", yaxis_title="ESS of its presence trace",
                         height=420)
    return _json(figure, "split-ess")


def _split_courses(report: ConvergenceReport) -> Figure | None:
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    courses = report.courses
    if courses is None or len(courses.splits) == 0:
        return None
    figure = make_subplots(rows=1, cols=2, horizontal_spacing=0.08,
                           subplot_titles=("cumulative", f"sliding window of {courses.window} trees"))
    dashes = ("solid", "dot", "dash", "longdash", "dashdot")
    palette = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
               "#bcbd22", "#17becf")
    labels = unique([_plain(run.label) for run in report.runs])
    names = split_names([report.splits.taxa[int(row)] for row in courses.splits])
    for i, row in enumerate(courses.splits):
        taxa = report.splits.taxa[int(row)]
        for r in range(len(report.runs)):
            hover = f"{_plain(', '.join(taxa[:12]))}<br>{labels[r]}"
            for col, values in ((1, courses.cumulative[i, r]), (2, courses.sliding[i, r])):
                figure.add_trace(go.Scatter(
                    x=courses.checkpoints, y=values, mode="lines", name=_plain(names[i]), legendgroup=str(i),
                    showlegend=r == 0 and col == 1, text=[hover] * len(courses.checkpoints),
                    line={"color": palette[i % len(palette)], "dash": dashes[r % len(dashes)], "width": 1.5},
                    hovertemplate="%{text}: %{y:.3f} after %{x} trees<extra></extra>"), row=1, col=col)
    runs = ", ".join(f"{labels[r]} {dashes[r % len(dashes)]}" for r in range(len(report.runs)))
    figure.update_layout(title=f"Frequencies of the splits of largest SDSF along the runs ({runs})", height=460)
    figure.update_xaxes(title_text="trees per run")
    figure.update_yaxes(title_text="split frequency", range=[-0.02, 1.02])
    return _json(figure, "split-courses")


def _consensus_tree(report: ConvergenceReport) -> Figure | None:
    """The majority-rule tree as a cladogram, each clade marked by its posterior / SDSF, coloured by the
    SDSF's band; hovering a clade shows its taxa."""
    import plotly.graph_objects as go

    consensus = getattr(report, "consensus", None)
    if consensus is None:
        return None
    drawing = cladogram(consensus)
    xs: list[float | None] = []
    ys: list[float | None] = []
    for x0, y0, x1, y1 in drawing.lines:
        xs += [x0, x1, None]
        ys += [y0, y1, None]
    figure = go.Figure()
    figure.add_trace(go.Scatter(x=xs, y=ys, mode="lines", line={"color": "#24292f", "width": 1.5},
                                hoverinfo="skip", showlegend=False))
    figure.add_trace(go.Scatter(
        x=[leaf[0] for leaf in drawing.leaves], y=[leaf[1] for leaf in drawing.leaves], mode="text",
        text=[_plain(leaf[2]) for leaf in drawing.leaves], textposition="middle right", hoverinfo="skip",
        showlegend=False, textfont={"size": 12}))
    bands = ((AGREE, f"SDSF at most {ASDSF_BAR:g}"), (MAY_DO, f"SDSF at most {MAX_SDSF_BAR:g}"),
             (DISAGREE, f"SDSF above {MAX_SDSF_BAR:g}"), (UNKNOWN, "one run: no SDSF"))
    for colour, name in bands:
        mine = [c for c in drawing.clades if c.colour == colour]
        if not mine:
            continue
        hover = [f"posterior {c.posterior:.4f}<br>SDSF {_format_number(c.sdsf, 4)}<br>{len(c.taxa)} taxa: "
                 + _wrap_taxa(c.taxa) for c in mine]
        figure.add_trace(go.Scatter(
            x=[c.x for c in mine], y=[c.y for c in mine], mode="markers+text", name=name,
            marker={"color": colour, "size": 10, "line": {"color": "white", "width": 1}},
            text=[c.label for c in mine], textposition="top left", textfont={"color": colour, "size": 10},
            hovertext=hover, hovertemplate="%{hovertext}<extra></extra>"))
    rows = len(drawing.leaves)
    longest = max(len(leaf[2]) for leaf in drawing.leaves)
    # Room at the right for the leaf names (about 0.6 em per character of the longest at 12 px), and at
    # the left for the label of a clade one level below the root (some 70 px of a 1200 px wide figure).
    right = drawing.depth * (1.08 + 0.018 * longest) + 0.5
    figure.update_layout(
        title=f"Majority-rule consensus of {consensus.n_trees} trees: clade posterior / SDSF",
        height=max(320, 130 + 24 * rows),
        xaxis={"visible": False, "range": [min(-0.3, 1.0 - 0.065 * right), right]},
        yaxis={"visible": False, "autorange": "reversed"})
    # A tall tree keeps its legend at the top, next to the title, rather than a fifth of its height below.
    return _json(figure, "consensus-tree", legend={"orientation": "h", "x": 1.0, "xanchor": "right", "y": 1.0,
                                                   "yanchor": "bottom"}, margin={"l": 20, "r": 40, "t": 60, "b": 20})


def _wrap_taxa(taxa: tuple[str, ...], per_line: int = 6) -> str:
    shown = [_plain(taxon) for taxon in taxa[:30]] + ([f"... {len(taxa) - 30} more"] if len(taxa) > 30 else [])
    return "<br>".join(", ".join(shown[i:i + per_line]) for i in range(0, len(shown), per_line))


def _parameters(parameters: ParameterReport) -> dict[str, Any]:
    labels = [Path(label).name for label in parameters.labels]
    rows = []
    figures = []
    for j, summary in enumerate(parameters.parameters):
        worst = max(summary.ks, key=lambda t: t.d, default=None)
        rows.append({
            "name": summary.name, "constant": summary.constant, "mean": summary.mean,
            "variance": summary.variance, "lower": summary.hpd95[0], "upper": summary.hpd95[1],
            "median": summary.median, "min_ess": summary.min_ess, "avg_ess": summary.avg_ess,
            "ess": [run.ess for run in summary.runs], "ess_trace": [run.ess_trace for run in summary.runs],
            "psrf": summary.psrf, "ks_d": worst.d if worst else None,
            "ks_passed": all(t.passed for t in summary.ks),
            "ks_failed": ", ".join(f"{labels[t.runs[0]]} / {labels[t.runs[1]]}" for t in summary.ks if not t.passed),
            "ks_count": f"{sum(not t.passed for t in summary.ks)} of {len(summary.ks)} pairs",
            "ess_low": not summary.constant and not summary.min_ess >= parameters.min_ess,
            "psrf_high": math.isfinite(summary.psrf) and summary.psrf > parameters.psrf_bar,
        })
        if not summary.constant:
            figures.append(_parameter_figure(parameters, j))
    return {"rows": rows, "labels": labels, "figures": figures, "min_ess": parameters.min_ess,
            "psrf_bar": parameters.psrf_bar, "ks_threshold": ks_threshold(parameters.min_ess, parameters.ks_alpha)}


def _parameter_figure(parameters: ParameterReport, column: int) -> Figure:
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    summary = parameters.parameters[column]
    figure = make_subplots(rows=1, cols=2, column_widths=[0.68, 0.32], horizontal_spacing=0.08,
                           subplot_titles=("trace", "density"))
    pooled = np.concatenate([trace.values[:, column] for trace in parameters.traces])
    edges = np.histogram_bin_edges(pooled, bins=DENSITY_BINS)
    centres = (edges[:-1] + edges[1:]) / 2
    labels = unique([_plain(Path(trace.label).name) for trace in parameters.traces])
    for r, trace in enumerate(parameters.traces):
        values = trace.values[:, column]
        shown = _thinned(len(values))
        ess = summary.runs[r].ess
        name = f"{labels[r]} (ESS {_format_number(ess, 1) if math.isfinite(ess) else 'n/a'})"
        figure.add_trace(go.Scatter(x=trace.generations[shown], y=values[shown], mode="lines", name=name,
                                      legendgroup=str(r), line={"color": _colour(r), "width": 1}), row=1, col=1)
        density, _ = np.histogram(values, bins=edges, density=True)
        figure.add_trace(go.Scatter(x=centres, y=density, mode="lines", name=name, legendgroup=str(r),
                                    showlegend=False, line={"color": _colour(r), "shape": "hvh"}), row=1, col=2)
    _burnin_shade(figure, [(trace.generations, trace.dropped) for trace in parameters.traces], row=1, col=1)
    psrf = "n/a" if not math.isfinite(summary.psrf) else f"{summary.psrf:.3f}"
    figure.update_layout(title=f"{_plain(summary.name)}: min ESS {_format_number(summary.min_ess, 1)}, PSRF {psrf}",
                         height=330, showlegend=True)
    figure.update_xaxes(title_text="generation", row=1, col=1)
    figure.update_xaxes(title_text=_plain(summary.name), row=1, col=2)
    slug = re.sub(r"[^A-Za-z0-9]+", "-", summary.name).strip("-") or "column"
    return _json(figure, f"parameter-{column}-{slug}")


__all__ = ["criteria", "default_command", "require_html", "write_html"]
