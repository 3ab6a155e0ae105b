"""Parameter traces of MCMC runs (MrBayes .p, BEAST and RevBayes .log): reading, burn-in, summaries and tests.

The summaries are the ones MrBayes's ``sump`` prints, computed as it computes them, so the two agree to
its printed digits; DEFINITIONS states them for ``--help``.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, replace
from fnmatch import fnmatchcase
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge.ess import trace_ess_viewer
from brantoveil_tools.converge.traces import ParameterTrace, read_trace
from brantoveil_tools.converge.verdict import Criterion
from brantoveil_tools.errors import BrantoveilError, TruncatedTraceWarning
from brantoveil_tools.selection import BurnIn, check_thin, kept_positions, parse_burnin

PathLike = str | os.PathLike[str]

MAX_LAG = 2000
HPD_MASS = 0.95
KS_ALPHA = 0.01
MIN_ESS = 625.0
PSRF_BAR = 1.01


DEFINITIONS = """\
parameters (one column of the .p / .log file, after burn-in and thinning; as MrBayes's sump):
  mean, variance   of all runs pooled; the variance divides by n - 1
  median           the sorted pooled values' element n // 2 (0-based; the upper one when n is even)
  95% HPD          k = 0.95 n rounded to the nearest whole number; the interval x[i] .. x[i + k - 1] of
                   the sorted values for the first i of least width, where, as sump scores them, the width
                   of i = 0 is x[k - 1] - x[0] (k values) and that of i = 1 .. n - k - 1 is x[i + k] - x[i]
  ESS              per run, gamma_k the autocovariance at lag k (sum of products of deviations from the
                   run's mean, divided by n - k); pairs gamma_2i-1 + gamma_2i added while positive, up to
                   lag min(n - 1, 2000); ESS = n gamma_0 / (gamma_0 + 2 sum); min and avg over runs.
                   ess_trace beside it is the trace viewers' estimator (BEAST's loganalyser), the same
                   sums up to the viewers' last lag
  PSRF             sqrt((n - 1) / n + (m + 1) / m * B / W) over m runs of n samples, B the variance (m - 1)
                   of the run means and W as sump computes it: the mean over runs j of
                   (sum of squared deviations of runs 1..j) / (n_j - 1), the within-run sums accumulating
                   over the runs (so W is not the textbook mean of the run variances)
  KS               two-sample Kolmogorov-Smirnov D between every pair of runs, against
                   c(a) sqrt(2 / ESS) with a = 0.01 and ESS the --min-ess target (Fabreti and Hohna 2022)
  Constant columns are reported as constant and left out of ESS, PSRF and KS. Columns holding only
  whole numbers (category indices, such as a relaxed clock's rateCategories.*) are summarized but not
  judged, unless --params-include names them; --params-exclude leaves columns out altogether.
parameter files: the one beside each tree file, X.run1.t -> X.run1.p (MrBayes), X.trees -> X.log or
  X.var (BEAST, RevBayes), X.(time).11.trees -> X.11.log (BEAST 2), X-tree.trees -> X.log (BEAUti);
  --params gives them. Each must span its run's tree generations at a sampling interval that divides
  theirs or that theirs divides; its burn-in is the first kept tree's generation."""


def select(trace: ParameterTrace, burnin: BurnIn = 0.25, thin: int = 1) -> ParameterTrace:
    """The rows kept after the burn-in (a fraction of the rows, a count or gen:N) and thinning."""
    rule = parse_burnin(burnin)
    check_thin(thin)
    dropped = rule.dropped(trace.generations.tolist(), trace.rows_in_file, trace.label)
    kept = np.asarray(kept_positions(dropped, trace.rows_in_file, thin), dtype=np.int64)
    if len(kept) == 0:
        raise BrantoveilError(f"{trace.label}: burn-in {rule.text} drops all {trace.rows_in_file} rows of this run")
    return replace(trace, generations=trace.generations[kept], values=trace.values[kept], dropped=dropped)


def candidates(tree_file: PathLike) -> list[Path]:
    """The parameter files programs write beside a tree file, most likely first.

    MrBayes: X.run1.t -> X.run1.p. BEAST, RevBayes: X.trees -> X.log (or X.var). BEAST 2's default names:
    X.(time).11.trees -> X.11.log; BEAUti's: X-tree.trees -> X.log. A gzipped tree file also looks for
    the gzipped parameter file.
    """
    path = Path(tree_file)
    name = path.name[:-3] if path.name.endswith(".gz") else path.name
    stem, suffix = os.path.splitext(name)
    names = [stem + ".p"] if suffix == ".t" else [stem + ".log", stem + ".var"]
    labelled = re.fullmatch(r"(.+)\.\([^()]*\)((?:\.[^.]+)?)", stem)  # X.(time).11
    if labelled:
        names.append(labelled.group(1) + labelled.group(2) + ".log")
    if "-" in stem:  # X-tree
        names.append(stem.rsplit("-", 1)[0] + ".log")
    found = []
    for target in names:
        found.extend([path.parent / target, path.parent / (target + ".gz")] if path.name.endswith(".gz")
                     else [path.parent / target])
    return found


def beside(tree_file: PathLike) -> Path:
    """The parameter file beside a tree file: the first of `candidates` that exists, else the first."""
    looked = candidates(tree_file)
    return next((target for target in looked if target.is_file()), looked[0])


def find_parameter_files(tree_files: Sequence[PathLike]) -> list[Path]:
    """The parameter file beside every tree file; a one-line error for the first one missing."""
    found = []
    for tree_file in tree_files:
        if os.fspath(tree_file) == "-":
            raise BrantoveilError("trees read from standard input have no parameter file beside them: "
                                  "give --params or --no-params")
        target = beside(tree_file)
        if not target.is_file():
            looked = ", ".join(str(c) for c in candidates(tree_file))
            raise BrantoveilError(f"no parameter file beside {os.fspath(tree_file)} (looked for {looked}): "
                                  f"give --params FILE... or --no-params")
        found.append(target)
    return found


def none_found(tree_files: Sequence[PathLike]) -> str:
    """The line a report shows when no run has a parameter file beside it."""
    first = next((t for t in tree_files if os.fspath(t) != "-"), None)
    looked = "" if first is None else f" (for {os.fspath(first)}: {', '.join(c.name for c in candidates(first))})"
    return (f"no parameter file found beside the tree files{looked}: the trees are judged alone; "
            f"give one per run with --params FILE...")


@dataclass(frozen=True)
class TreeGenerations:
    """What the trees of one run say about generations: every tree's (before burn-in) and the first kept."""

    label: str
    generations: NDArray[np.int64]
    first_kept: int


def check_matches(trace: ParameterTrace, trees: TreeGenerations) -> None:
    """A one-line error when a parameter file cannot be the trees' run: its generations must span the trees'
    (to within one sampling interval at each end) at an interval that divides theirs or that theirs divides."""
    generations = trees.generations
    if len(generations) < 2 or np.any(generations < 0) or trace.rows_in_file < 2:
        return  # tree names without generations (Newick): nothing to match by
    rows = trace.generations
    tree_step = int(np.median(np.diff(generations)))
    row_step = int(np.median(np.diff(rows)))
    slack = max(tree_step, row_step)
    spans = abs(int(rows[0]) - int(generations[0])) <= slack and abs(int(rows[-1]) - int(generations[-1])) <= slack
    fits = tree_step > 0 and row_step > 0 and max(tree_step, row_step) % min(tree_step, row_step) == 0
    if not (spans and fits):
        raise BrantoveilError(
            f"{trace.label} ({trace.generation_column} {rows[0]} to {rows[-1]} every {row_step}) does not match "
            f"{trees.label} (generations {generations[0]} to {generations[-1]} every {tree_step}): give this "
            f"run's parameter file with --params, or --no-params")


def parameters_for_runs(tree_files: Sequence[PathLike], params: Sequence[PathLike] | None = None,
                        no_params: bool = False, burnin: BurnIn = 0.25, thin: int = 1,
                        min_ess: float = MIN_ESS, *, trees: Sequence[TreeGenerations] | None = None,
                        include: Sequence[str] = (), exclude: Sequence[str] = ()) -> ParameterReport | None:
    """The parameter report that goes with the runs' tree files, or None.

    ``params`` gives one file per run, in the runs' order; without it the files beside the tree files are
    used (`candidates`). When no run has one, there is no parameter report; when only some have, the first
    missing one is a one-line error. ``no_params`` turns all this off.

    ``trees``, when given, ties every file to its run by generation: the file must match the run
    (`check_matches`), and its burn-in is the trees' first kept generation, so one burn-in holds for both
    whatever their sampling intervals. ``include`` and ``exclude`` are glob patterns of column names.
    """
    if no_params:
        if params:
            raise BrantoveilError("--params and --no-params contradict each other")
        return None
    if params:
        if len(params) != len(tree_files):
            raise BrantoveilError(f"{len(params)} parameter files for {len(tree_files)} runs: give one per run, "
                                  f"in the runs' order")
        files = [Path(p) for p in params]
    else:
        readable = [os.fspath(t) not in ("-", "") and beside(t).is_file() for t in tree_files]
        if not any(readable):
            return None
        files = find_parameter_files(tree_files)
    if trees is None:
        return read_parameters(files, burnin=burnin, thin=thin, min_ess=min_ess, include=include, exclude=exclude)
    traces = [read_trace(path, label) for path, label in zip(files, run_labels(files), strict=True)]
    return judged_traces(traces, trees, burnin, thin, min_ess, include, exclude)


def judged_traces(traces: Sequence[ParameterTrace], trees: Sequence[TreeGenerations], burnin: BurnIn, thin: int,
                  min_ess: float, include: Sequence[str] = (), exclude: Sequence[str] = ()) -> ParameterReport:
    """The parameter report of whole traces, each matched to its run's trees and cut at their first kept
    generation (`parameters_for_runs` once the files are read)."""
    selected = []
    for trace, run in zip(traces, trees, strict=True):
        check_matches(trace, run)
        rule: BurnIn = f"gen:{run.first_kept}" if run.first_kept >= 0 else burnin
        selected.append(select(trace, rule, thin))
    return summarize(_columns(selected, include, exclude), min_ess=min_ess, include=include)


def run_labels(paths: Sequence[PathLike]) -> list[str] | list[None]:
    """Short labels where the file names tell the runs apart, as the tree files get."""
    names = [os.path.basename(os.fspath(path)) for path in paths]
    return names if len(set(names)) == len(names) else [None] * len(paths)


def _columns(traces: Sequence[ParameterTrace], include: Sequence[str], exclude: Sequence[str]
             ) -> list[ParameterTrace]:
    """Every trace with the columns the patterns keep: those matching an ``include`` pattern (all when there
    is none) and no ``exclude`` pattern. A one-line error when none is left."""
    if not include and not exclude:
        return list(traces)
    result = []
    for trace in traces:
        keep = [j for j, name in enumerate(trace.columns)
                if (not include or any(fnmatchcase(name, p) for p in include))
                and not any(fnmatchcase(name, p) for p in exclude)]
        if not keep:
            raise BrantoveilError(f"{trace.label}: no parameter column is left by --params-include "
                                  f"{' '.join(include) or '(all)'} and --params-exclude "
                                  f"{' '.join(exclude) or '(none)'}")
        result.append(replace(trace, columns=tuple(trace.columns[j] for j in keep), values=trace.values[:, keep]))
    return result


# ---- statistics, each as sump computes it ----------------------------------------------------------

def trace_ess(values: NDArray[np.float64], max_lag: int = MAX_LAG) -> float:
    """ESS of one run's trace, the estimator of sump and of trace viewers (NaN when constant)."""
    x = np.asarray(values, dtype=np.float64)
    n = len(x)
    if n < 2:
        return float("nan")
    deviations = x - x.mean()
    lags = min(n - 1, max_lag)
    size = 1 << int(2 * n - 1).bit_length()
    spectrum = np.fft.rfft(deviations, size)
    sums = np.fft.irfft(spectrum * np.conj(spectrum), size)[:lags]
    gamma = sums / (n - np.arange(lags))
    if gamma[0] <= 0.0:
        return float("nan")
    # Pairs (gamma_1 + gamma_2), (gamma_3 + gamma_4), ... while positive; the loop is over at most 1,000.
    total = gamma[0]
    for lag in range(2, lags, 2):
        pair = gamma[lag - 1] + gamma[lag]
        if pair <= 0.0:
            break
        total += 2.0 * pair
    return float(gamma[0] * n / total)


def hpd(values: NDArray[np.float64], mass: float = HPD_MASS) -> tuple[float, float]:
    """Highest posterior density interval as sump takes it (see DEFINITIONS)."""
    ordered = np.sort(values)
    n = len(ordered)
    k = math.floor(mass * n + 0.5)
    if k < 1 or k >= n:
        return float(ordered[0]), float(ordered[-1])
    # sump scores the first start by the k values it holds and every later one by k + 1 values.
    widths = np.concatenate(([ordered[k - 1] - ordered[0]], ordered[k + 1 : n] - ordered[1 : n - k]))
    first = int(np.argmin(widths))
    return float(ordered[first]), float(ordered[first + k - 1])


def median(values: NDArray[np.float64]) -> float:
    """The sorted values' element n // 2, as sump prints it."""
    return float(np.sort(values)[len(values) // 2])


def psrf(runs: Sequence[NDArray[np.float64]]) -> float:
    """Potential scale reduction factor as sump computes it (see DEFINITIONS); NaN with one run."""
    m = len(runs)
    if m < 2 or any(len(run) < 2 for run in runs):
        return float("nan")
    accumulated = 0.0
    within = 0.0
    for run in runs:
        accumulated += float(np.sum((run - run.mean()) ** 2))
        within += accumulated / (len(run) - 1)
    within /= m
    if within <= 0.0:
        return float("nan")
    between = float(np.var([run.mean() for run in runs], ddof=1))
    n = sum(len(run) for run in runs) / m
    return math.sqrt((n - 1.0) / n + (m + 1.0) / m * between / within)


def ks_threshold(ess: float = MIN_ESS, alpha: float = KS_ALPHA) -> float:
    """c(alpha) sqrt(2 / ESS): the two-sample critical D for two samples of ESS independent draws."""
    return math.sqrt(-math.log(alpha / 2.0) / 2.0) * math.sqrt(2.0 / ess)


def ks_distance(first: NDArray[np.float64], second: NDArray[np.float64]) -> float:
    """The largest difference between the two samples' empirical distribution functions."""
    a, b = np.sort(first), np.sort(second)
    points = np.concatenate((a, b))
    below_a = np.searchsorted(a, points, side="right") / len(a)
    below_b = np.searchsorted(b, points, side="right") / len(b)
    return float(np.max(np.abs(below_a - below_b)))


# ---- the summary -------------------------------------------------------------------------------------

@dataclass(frozen=True)
class RunSummary:
    """One parameter in one run."""

    mean: float
    variance: float
    hpd95: tuple[float, float]
    median: float
    ess: float
    ess_trace: float

    def to_dict(self) -> dict[str, Any]:
        return {"mean": _number(self.mean), "variance": _number(self.variance),
                "hpd95": [_number(v) for v in self.hpd95], "median": _number(self.median),
                "ess": _number(self.ess), "ess_trace": _number(self.ess_trace)}


@dataclass(frozen=True)
class KsTest:
    """Two-sample Kolmogorov-Smirnov test of one parameter between two runs (indices into the runs)."""

    runs: tuple[int, int]
    d: float
    threshold: float

    @property
    def passed(self) -> bool:
        return self.d <= self.threshold


@dataclass(frozen=True)
class ParameterSummary:
    """One parameter over all runs: per-run figures, the pooled ones sump prints, and the tests."""

    name: str
    constant: bool
    runs: tuple[RunSummary, ...]
    mean: float
    variance: float
    hpd95: tuple[float, float]
    median: float
    min_ess: float
    avg_ess: float
    psrf: float
    ks: tuple[KsTest, ...]
    judged: bool = True

    def to_dict(self, labels: Sequence[str]) -> dict[str, Any]:
        return {
            "name": self.name, "constant": self.constant, "judged": self.judged,
            "runs": [run.to_dict() for run in self.runs],
            "mean": _number(self.mean), "variance": _number(self.variance),
            "hpd95": [_number(v) for v in self.hpd95], "median": _number(self.median),
            "min_ess": _number(self.min_ess), "avg_ess": _number(self.avg_ess), "psrf": _number(self.psrf),
            "ks": [{"runs": [labels[test.runs[0]], labels[test.runs[1]]], "d": test.d,
                    "threshold": test.threshold, "passed": test.passed} for test in self.ks],
        }


@dataclass(frozen=True)
class ParameterReport:
    """Every parameter of the runs' parameter files, and the traces they were computed from."""

    traces: tuple[ParameterTrace, ...]
    parameters: tuple[ParameterSummary, ...]
    min_ess: float
    psrf_bar: float
    ks_alpha: float

    @property
    def labels(self) -> tuple[str, ...]:
        return tuple(trace.label for trace in self.traces)

    def to_dict(self) -> list[dict[str, Any]]:
        """The JSON ``parameters`` list."""
        return [parameter.to_dict(self.labels) for parameter in self.parameters]

    def files(self) -> dict[str, Any]:
        """What was read: files, formats and rows kept, for the report's settings."""
        return {"files": [{"label": t.label, "path": t.path, "format": t.format, "rows_in_file": t.rows_in_file,
                           "dropped": t.dropped, "kept": t.kept} for t in self.traces],
                "min_ess": self.min_ess, "psrf_bar": self.psrf_bar, "ks_alpha": self.ks_alpha}

    def criteria(self) -> list[Criterion]:
        """ESS, PSRF and KS criteria over every non-constant parameter (group "parameters")."""
        tested = [p for p in self.parameters if not p.constant and p.judged]
        if not tested:
            return []
        labels = self.labels
        result = []
        worst_ess = min(tested, key=lambda p: _low(p.min_ess))
        failing_runs = sorted({r for p in tested for r, run in enumerate(p.runs) if _low(run.ess) < self.min_ess})
        below = [p.name for p in tested if _low(p.min_ess) < self.min_ess]
        stuck = [labels[r] for r, run in enumerate(worst_ess.runs) if math.isnan(run.ess)]
        where = f"{worst_ess.name} never changes in {', '.join(stuck)}" if stuck else worst_ess.name
        result.append(Criterion.judge(
            "parameter ESS (lowest)", worst_ess.min_ess, self.min_ess, "at least", group="parameters",
            runs=[labels[r] for r in failing_runs],
            note=f"{where}; {len(below)} of {len(tested)} parameters below" if below else where))
        if len(self.traces) > 1:
            worst_psrf = max(tested, key=lambda p: _high(p.psrf))
            above = [p.name for p in tested if _high(p.psrf) > self.psrf_bar]
            result.append(Criterion.judge(
                "parameter PSRF (largest)", worst_psrf.psrf, self.psrf_bar, "at most", group="parameters",
                note=f"{worst_psrf.name}; {len(above)} of {len(tested)} parameters above" if above
                else worst_psrf.name, nan_passes=True))
            tests = [(p, t) for p in tested for t in p.ks]
            worst_pair = max(tests, key=lambda pt: pt[1].d)
            failed = [(p, t) for p, t in tests if not t.passed]
            pairs = sorted({t.runs for _, t in failed})
            names = sorted({p.name for p, _ in failed})
            result.append(Criterion.judge(
                "parameter KS D (largest)", worst_pair[1].d, worst_pair[1].threshold, "at most",
                group="parameters", runs=[f"{labels[a]} / {labels[b]}" for a, b in pairs],
                note=(f"{worst_pair[0].name}; fails for {', '.join(names[:5])}"
                      f"{' and more' if len(names) > 5 else ''}") if names else worst_pair[0].name))
        return result

    def summary(self) -> str:
        """The sump-like table for the terminal."""
        width = max([len("parameter"), *(len(p.name) for p in self.parameters)])
        lines = [f"{'parameter':<{width}}  {'mean':>12}  {'variance':>12}  {'HPD 95% lower':>13}  "
                 f"{'upper':>12}  {'median':>12}  {'min ESS':>8}  {'avg ESS':>8}  {'PSRF':>6}"]
        for p in self.parameters:
            if p.constant:
                lines.append(f"{p.name:<{width}}  {p.mean:>12.6g}  constant")
                continue
            lines.append(f"{p.name:<{width}}  {p.mean:>12.6f}  {p.variance:>12.6f}  {p.hpd95[0]:>13.6f}  "
                         f"{p.hpd95[1]:>12.6f}  {p.median:>12.6f}  {_fixed(p.min_ess, 2):>8}  "
                         f"{_fixed(p.avg_ess, 2):>8}  {_fixed(p.psrf, 3):>6}"
                         + ("" if p.judged else "  (whole numbers: not judged)"))
        return "\n".join(lines)


def summarize(traces: Sequence[ParameterTrace], min_ess: float = MIN_ESS, psrf_bar: float = PSRF_BAR,
              ks_alpha: float = KS_ALPHA, include: Sequence[str] = ()) -> ParameterReport:
    """Summaries, ESS, PSRF and KS tests of selected traces, one per run, with the same columns.

    Columns of whole numbers only (category indices such as a relaxed clock's rateCategories.*) are
    summarized but not judged, unless an ``include`` pattern names them.
    """
    if not traces:
        raise BrantoveilError("no parameter files to summarize")
    traces = _aligned(traces)
    threshold = ks_threshold(min_ess, ks_alpha)
    parameters = []
    for j, name in enumerate(traces[0].columns):
        columns = [trace.values[:, j] for trace in traces]
        pooled = np.concatenate(columns)
        constant = bool(np.all(pooled == pooled[0]))
        index = bool(np.all(pooled == np.round(pooled))) and not any(fnmatchcase(name, p) for p in include)
        per_run = []
        for x in columns:
            ess, viewer = (math.nan, math.nan) if constant else (trace_ess(x), float(trace_ess_viewer(x)))
            per_run.append(RunSummary(mean=float(x.mean()), variance=_variance(x), hpd95=hpd(x), median=median(x),
                                      ess=ess, ess_trace=viewer))
        esses = [run.ess for run in per_run]
        ks: list[KsTest] = []
        if not constant:
            for a in range(len(columns)):
                for b in range(a + 1, len(columns)):
                    ks.append(KsTest((a, b), ks_distance(columns[a], columns[b]), threshold))
        parameters.append(ParameterSummary(
            name=name, constant=constant, runs=tuple(per_run), mean=float(pooled.mean()),
            variance=_variance(pooled), hpd95=hpd(pooled), median=median(pooled),
            # A run stuck on one value while the others move has no ESS: NaN, and the criterion fails.
            min_ess=float("nan") if constant or any(math.isnan(e) for e in esses) else float(min(esses)),
            avg_ess=float(np.mean(esses)) if not constant else float("nan"),
            psrf=float("nan") if constant else psrf(columns), ks=tuple(ks), judged=not index))
    return ParameterReport(tuple(traces), tuple(parameters), min_ess, psrf_bar, ks_alpha)


def read_parameters(paths: Sequence[PathLike], burnin: BurnIn = 0.25, thin: int = 1,
                    labels: Sequence[str] | None = None, min_ess: float = MIN_ESS,
                    psrf_bar: float = PSRF_BAR, include: Sequence[str] = (),
                    exclude: Sequence[str] = ()) -> ParameterReport:
    """Reads one parameter file per run, applies burn-in and thinning, and summarizes them.

    Parameters
    ----------
    paths : sequence of paths
        One .p / .log / .var file per run, in the runs' order.
    burnin, thin
        The selection, by the same rule as the trees: a fraction of the rows, a count, or ``"gen:N"``.
    labels : sequence of str, optional
        Names of the runs (default: the paths as given).
    min_ess, psrf_bar
        Targets of the parameter criteria; ``min_ess`` also sets the KS threshold.
    include, exclude : sequence of str
        Glob patterns of the columns to keep and to leave out (``"rateCategories.*"``).

    Returns
    -------
    ParameterReport
    """
    if labels is not None and len(labels) != len(paths):
        raise BrantoveilError(f"{len(paths)} parameter files for {len(labels)} runs: give one per run")
    names: Sequence[str | None] = run_labels(paths) if labels is None else labels
    traces = [select(read_trace(path, names[i]), burnin, thin) for i, path in enumerate(paths)]
    return summarize(_columns(traces, include, exclude), min_ess=min_ess, psrf_bar=psrf_bar, include=include)


def _aligned(traces: Sequence[ParameterTrace]) -> list[ParameterTrace]:
    """Every trace with the first one's column order; a one-line error when the names differ."""
    first = traces[0]
    result = [first]
    for trace in traces[1:]:
        if trace.columns == first.columns:
            result.append(trace)
            continue
        missing = [c for c in first.columns if c not in trace.columns]
        extra = [c for c in trace.columns if c not in first.columns]
        if missing or extra:
            parts = []
            if missing:
                parts.append(f"{trace.label} lacks {', '.join(missing)}")
            if extra:
                parts.append(f"{trace.label} has {', '.join(extra)} that {first.label} lacks")
            raise BrantoveilError("parameter columns differ between runs: " + "; ".join(parts))
        order = [trace.columns.index(c) for c in first.columns]
        result.append(replace(trace, columns=first.columns, values=trace.values[:, order]))
    return result


def _variance(values: NDArray[np.float64]) -> float:
    return float(np.var(values, ddof=1)) if len(values) > 1 else 0.0


def _number(value: float) -> float | None:
    return None if not math.isfinite(value) else float(value)


def _low(value: float) -> float:
    # Only varying parameters are judged, so an ESS that is NaN belongs to a run stuck on one value.
    return value if math.isfinite(value) else -math.inf


def _high(value: float) -> float:
    return value if math.isfinite(value) else -math.inf


def _fixed(value: float, digits: int) -> str:
    return f"{value:.{digits}f}" if math.isfinite(value) else "NA"


__all__ = [
    "DEFINITIONS",
    "KsTest",
    "ParameterReport",
    "ParameterSummary",
    "ParameterTrace",
    "RunSummary",
    "TreeGenerations",
    "TruncatedTraceWarning",
    "beside",
    "candidates",
    "check_matches",
    "find_parameter_files",
    "hpd",
    "ks_distance",
    "ks_threshold",
    "median",
    "none_found",
    "parameters_for_runs",
    "psrf",
    "read_parameters",
    "read_trace",
    "select",
    "summarize",
    "trace_ess",
]
