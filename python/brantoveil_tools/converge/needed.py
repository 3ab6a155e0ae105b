"""How many more generations each failing criterion needs, from its rate so far, assuming the chain is
stationary after the burn-in.

Every rule scales the kept span of generations S (first to last kept sample, plus one sampling interval):
- an ESS grows in proportion to S: a run at ESS v of a target T needs S (T / v - 1) more;
- the ASDSF, the largest SDSF, a split's frequency difference between runs and a parameter's KS distance
  are sampling noise that falls as 1 / sqrt(ESS), so as 1 / sqrt(S): a value x above its bar b needs
  S ((x / b)^2 - 1) more; the split test's bar is its binomial band, and a split two runs hold at 1 and 0
  has no noise to shrink (the runs are stuck apart), nor a band of width 0: no estimate;
- the PSRF's excess over 1 falls as 1 / S: S ((R - 1) / (b - 1) - 1) more.
Runs whose tree names carry no generation (Newick files) get no estimate.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import replace
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge.verdict import Criterion, Verdict

if TYPE_CHECKING:
    from brantoveil_tools.converge.report import ConvergenceReport, RunReport

ASSUMPTION = "assuming the chain is stationary after the burn-in"


def kept_span(generations: NDArray[np.int64]) -> float | None:
    """Generations the kept samples cover: last - first plus one sampling interval (None without generations)."""
    if len(generations) < 2 or np.any(generations < 0):
        return None
    step = float(np.median(np.diff(generations)))
    span = float(generations[-1] - generations[0]) + step
    return span if span > 0 else None


def ess_needed(value: float, target: float, span: float | None) -> float | None:
    """More generations for an ESS ``value`` over ``span`` to reach ``target``, growing in proportion."""
    if span is None or not math.isfinite(value) or value <= 0:
        return None
    return max(span * (target / value - 1.0), 0.0)


def noise_needed(value: float, bar: float, span: float | None) -> float | None:
    """More generations for a 1 / sqrt(ESS) figure ``value`` to fall to ``bar``."""
    if span is None or not math.isfinite(value) or bar <= 0:
        return None
    return max(span * ((value / bar) ** 2 - 1.0), 0.0)


def with_generations_needed(verdict: Verdict, report: ConvergenceReport) -> Verdict:
    """The verdict with ``generations_needed`` set on every failing criterion that has an estimate."""
    rules: dict[str, Callable[[Criterion, ConvergenceReport], float | None]] = {
        "ASDSF": _sdsf, "max SDSF": _sdsf,
        "approximate ESS": _tree_ess(lambda run: run.approx_ess),
        "pseudo-ESS (minimum)": _tree_ess(lambda run: run.pseudo_ess_min),
        "pseudo-ESS (median)": _tree_ess(lambda run: run.pseudo_ess),
        "Frechet-correlation ESS": _tree_ess(lambda run: run.frechet_ess),
        "split ESS": _split_ess, "split-frequency differences": _split_differences,
        "parameter ESS (lowest)": _parameter_ess, "parameter PSRF (largest)": _psrf,
        "parameter KS D (largest)": _ks,
    }
    criteria = []
    for criterion in verdict.criteria:
        rule = rules.get(criterion.name)
        needed = None if criterion.passed or rule is None else rule(criterion, report)
        criteria.append(replace(criterion, generations_needed=needed))
    return Verdict(tuple(criteria))


def _spans(report: ConvergenceReport) -> list[float | None]:
    return [kept_span(run.generations) for run in report.runs]


def _shortest(spans: Sequence[float | None]) -> float | None:
    return None if any(s is None for s in spans) or not spans else min(s for s in spans if s is not None)


def _worst(estimates: Sequence[float | None]) -> float | None:
    """The largest of the runs' estimates; none when a failing run has none."""
    if not estimates or any(e is None for e in estimates):
        return None
    return max(e for e in estimates if e is not None)


def _sdsf(criterion: Criterion, report: ConvergenceReport) -> float | None:
    return noise_needed(criterion.value, criterion.threshold, _shortest(_spans(report)))


def _tree_ess(value_of: Callable[[RunReport], float]) -> Callable[[Criterion, ConvergenceReport], float | None]:
    def rule(criterion: Criterion, report: ConvergenceReport) -> float | None:
        return _worst([ess_needed(value_of(run), criterion.threshold, kept_span(run.generations))
                       for run in report.runs if run.label in criterion.runs])
    return rule


def _split_ess(criterion: Criterion, report: ConvergenceReport) -> float | None:
    estimates = []
    for r, run in enumerate(report.runs):
        if run.label not in criterion.runs:
            continue
        values = report.splits.ess[:, r]
        values = values[np.isfinite(values)]
        lowest = float(values.min()) if values.size else math.nan
        estimates.append(ess_needed(lowest, criterion.threshold, kept_span(run.generations)))
    return _worst(estimates)


def _split_differences(criterion: Criterion, report: ConvergenceReport) -> float | None:
    table = report.splits
    spans = _spans(report)
    pairs = [(a, b) for a in range(len(report.runs)) for b in range(a + 1, len(report.runs))]
    worst: float | None = 0.0
    for p, (a, b) in enumerate(pairs):
        failing = np.flatnonzero(table.tested & ~table.passes[:, p])
        if failing.size == 0:
            continue
        first, second = table.frequencies[failing, a], table.frequencies[failing, b]
        bands = table.threshold[failing, p]
        if np.any(np.abs(first - second) >= 1.0) or not np.all(bands > 0):
            return None  # held at 1 in one run and 0 in the other (stuck apart), or a band of width 0
        ratio = float(np.max(np.abs(first - second) / bands))
        estimate = noise_needed(ratio, 1.0, _shortest([spans[a], spans[b]]))
        if estimate is None:
            return None
        worst = max(worst or 0.0, estimate)
    return worst


def _parameter_spans(report: ConvergenceReport) -> list[float | None]:
    if report.parameters is None:
        return []
    return [kept_span(trace.generations) for trace in report.parameters.traces]


def _parameter_ess(criterion: Criterion, report: ConvergenceReport) -> float | None:
    if report.parameters is None:
        return None
    spans = _parameter_spans(report)
    estimates = []
    for parameter in report.parameters.parameters:
        if parameter.constant or not parameter.judged:
            continue
        for run, span in zip(parameter.runs, spans, strict=True):
            if math.isnan(run.ess) or run.ess < criterion.threshold:
                estimates.append(ess_needed(run.ess, criterion.threshold, span))
    return _worst(estimates)


def _psrf(criterion: Criterion, report: ConvergenceReport) -> float | None:
    span = _shortest(_parameter_spans(report))
    if span is None or not math.isfinite(criterion.value) or criterion.threshold <= 1.0:
        return None
    return max(span * ((criterion.value - 1.0) / (criterion.threshold - 1.0) - 1.0), 0.0)


def _ks(criterion: Criterion, report: ConvergenceReport) -> float | None:
    return noise_needed(criterion.value, criterion.threshold, _shortest(_parameter_spans(report)))


def describe(generations: float | None) -> str:
    """``~12,000 more generations`` (rounded to two significant figures), or ``""`` without an estimate."""
    if generations is None:
        return ""
    rounded = float(f"{generations:.2g}") if generations >= 1 else 0.0
    return f"~{rounded:,.0f} more generations"
