"""The convergence report of one or more MCMC runs: split frequencies and their spread, tree and split ESS,
the split-frequency test, one verdict over every criterion, medoids, traces and the distance figures,
gathered in one frozen result."""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from dataclasses import dataclass, field, replace
from importlib import metadata
from typing import Any

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.checks import non_finite_sample
from brantoveil_tools.converge import ess
from brantoveil_tools.converge.assess import (
    ASDSF_BAR,
    DEFAULT_MIN_ESS,
    MAX_SDSF_BAR,
    Assessment,
    LagCache,
    Settings,
    assess,
    prepare_lags,
    sdsf,
)
from brantoveil_tools.converge.figures import cumulative_asdsf, distance_figures, split_courses, split_table
from brantoveil_tools.converge.islands import Islands, find_islands
from brantoveil_tools.converge.medoid import newick_from_splits
from brantoveil_tools.converge.needed import ASSUMPTION, describe, with_generations_needed
from brantoveil_tools.converge.params import ParameterReport, TreeGenerations, none_found, parameters_for_runs
from brantoveil_tools.converge.parts import (
    BURNIN_CANDIDATES,
    BurninSuggestion,
    DistanceFigures,
    RunReport,
    SplitCourses,
    SplitTable,
)
from brantoveil_tools.converge.settings import ConvergeSettings
from brantoveil_tools.converge.trees import EncodedRuns, block, encode_runs
from brantoveil_tools.converge.verdict import Verdict
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.progress import phase
from brantoveil_tools.rooting import decide
from brantoveil_tools.sample import Sample, read_sample
from brantoveil_tools.selection import BurnIn, RunSelection, Selection, kept_positions, parse_burnin
from brantoveil_tools.summarize import SummaryResult, summarize
from brantoveil_tools.sums import medoid

ESS_BAR = DEFAULT_MIN_ESS
QUANTILES = (0.0, 0.025, 0.25, 0.5, 0.75, 0.975, 1.0)

PathLike = str | os.PathLike[str]

HELP_CRITERIA = """\
verdict: every criterion below, its threshold, its value and its outcome; the headline names the
criteria that fail and the runs (or pairs of runs) that fail them.
  ASDSF, max SDSF  at most 0.01 and 0.05 (MrBayes manual: below 0.01 very good, 0.01-0.05 may do);
                   when no split reaches --min-freq there is no split to compare: n/a, and it fails
                   unless the trees hold no non-trivial split at all
  tree ESS         every measure of every run at least --min-ess (default 625); with d the RF
                   distance and N the run's trees:
    approximate ESS (Lanfear, Hua and Warren 2016): D_k = mean squared d between trees k apart over
      every such pair, k = 1 .. --max-lag (default 100); D_k ~ a (1 - exp(-k / b)) fitted by least
      squares; m = first k with D_k / a > 0.95 (none: m = K + 1 and the ESS is an upper bound, shown
      "<" and failing); with D = max D_k, S = [sum_{k<m} (N - k) D_k + (N - m + 1)(N - m) D / 2] / (2 N^2),
      ESS = 1 / (1 - 4 S / D)
    pseudo-ESS, minimum and median (Lanfear et al. 2016; Magee et al. 2024): with every tree as the
      focal tree, the ESS of the trace of d to it by R's coda::effectiveSize: an autoregressive model
      fitted by Yule-Walker, its order chosen by AIC up to min(N - 1, 10 log10 N); spectral density
      at 0 = prediction variance / (1 - sum phi)^2; ESS = N var(x) / that density
    Frechet-correlation ESS (Magee, Karcher, Matsen and Minin 2024, Bayesian Anal. 19:565): for
      k = 1 .. N - 6, V1 = half the mean of d^2 over all pairs of trees k+1 .. N, V2 the same over
      trees 1 .. N - k, D_k as above, rho_k = (V1 + V2 - D_k) / (2 sqrt(V1 V2)) (1 when V1 or V2 is 0);
      Geyer's initial monotone sequence with rho_0 = 1: P_1 = rho_0 + rho_1, P_2 = rho_2 + rho_3, ...
      up to the first negative P, each P at most the one before; tau = -1 + 2 sum P (1 if not
      positive); ESS = N / tau; 1 when all trees are identical
    thinning: runs longer than 10,000 trees get the pseudo- and Frechet-correlation ESS (which need
      every pair) from 10,000 evenly spaced trees, and the report says so; the figures are then the
      thinned chain's: the Frechet and median pseudo-ESS within 10% of the whole run's while that is
      below a quarter of 10,000, lower above it; the minimum is over the thinned trees as focal trees
    runs whose trees never differ pass (nothing is left to mix): a posterior of one topology looks
      the same, so runs stuck on one identical topology pass too; a run that varies but is too short
      for an estimate (the Frechet ESS needs 7 trees) fails
  split ESS        the trace ESS of every split's presence in every run, for splits within
                   [0.025, 0.975] in some run, at least (1 / (4 --precision))^2 (625 for 0.01)
  split-frequency differences (Fabreti and Hohna 2022): for every split within [0.025, 0.975] in some
                   run, or below it in one run and above it in another, and every pair of runs,
                   |f1 - f2| at most the 95% quantile of |X - Y| / E, X, Y ~ Binomial(E, f),
                   f = (f1 + f2) / 2 rounded to 0.01, E = (1 / (4 --precision))^2; a split two runs
                   hold at 1 and 0 fails whatever its within-run ESS
  trace ESS: gamma_k = sum of products of deviations k apart / (n - k); pairs gamma_(2i-1) + gamma_(2i)
  summed while positive up to lag min(n - 1, 2000); ESS = n gamma_0 / (gamma_0 + 2 sum)
rooted or unrooted: --rooted or --unrooted decides; otherwise a [&R] or [&U] before the trees does;
  otherwise the trees are rooted when every tree's root has two children (BEAST's and RevBayes's time
  trees) and unrooted when any has more (MrBayes's). The report says which was used and why.
burn-in suggestion: the smallest of 10% .. 50% after which every criterion passes; reported, not applied."""


@dataclass(frozen=True)
class ConvergenceReport:
    """Everything `converge` computes; `to_dict` gives the JSON form, `summary` the terminal table."""

    files: tuple[str, ...]
    taxa: tuple[str, ...]
    rooted: bool
    min_freq: float
    selection: Selection
    runs: tuple[RunReport, ...]
    splits: SplitTable
    asdsf: float | None
    max_sdsf: float | None
    asdsf_splits: int
    cumulative_trees: NDArray[np.int64]
    cumulative_asdsf: NDArray[np.float64]
    approx_ess: float
    pseudo_ess: float
    medoid_name: str
    medoid_newick: str
    medoid_mean_distance: float
    distances: DistanceFigures
    version: str
    verdict: Verdict = field(default_factory=lambda: Verdict(()))
    burnin_suggestion: BurninSuggestion | None = None
    courses: SplitCourses | None = None
    settings: Settings = field(default_factory=Settings)
    frechet_ess: float = float("nan")
    tree_space_names: tuple[str, ...] = ()
    parameters: ParameterReport | None = None
    consensus: SummaryResult | None = None
    rooting: str = ""
    parameters_note: str = ""
    islands: Islands | None = None

    @property
    def pairs(self) -> tuple[str, ...]:
        """The pairs of runs of the split-frequency test, "run1 / run2", in the order of its columns."""
        labels = [run.label for run in self.runs]
        return tuple(f"{a} / {b}" for i, a in enumerate(labels) for b in labels[i + 1 :])

    @property
    def lowest_ess(self) -> float:
        """The lowest per-run tree ESS of any kind (NaN when none could be estimated)."""
        values = [v for run in self.runs for v in (run.approx_ess, run.pseudo_ess_min, run.pseudo_ess,
                                                   run.frechet_ess) if np.isfinite(v)]
        return min(values) if values else float("nan")

    def to_dict(self) -> dict[str, Any]:
        """The report as plain JSON-ready values (NaN becomes None).

        ``splits`` lists every split that enters the ASDSF or the split test, with its per-run ``ess``, its
        ``threshold`` per pair of runs (``split_pairs``) and whether it ``passes`` for every pair.
        """
        within, between = self.distances.within(), self.distances.between()
        table = self.splits
        shown = np.flatnonzero(table.in_asdsf | table.tested)
        result = {
            "version": self.version,
            "files": list(self.files),
            "taxa": list(self.taxa),
            "rooted": self.rooted,
            "rooting": self.rooting,
            "selection": self.selection.to_dict(),
            "min_freq": self.min_freq,
            "settings": self.settings.to_dict(),
            "verdict": {**self.verdict.to_dict(), "generations_needed_assumption": ASSUMPTION},
            "headline": self.verdict.headline(),
            "burnin_suggestion": None if self.burnin_suggestion is None else self.burnin_suggestion.to_dict(),
            "asdsf": _number(self.asdsf),
            "max_sdsf": _number(self.max_sdsf),
            "asdsf_splits": self.asdsf_splits,
            "asdsf_verdict": verdict(self.asdsf),
            "approx_ess": _number(self.approx_ess),
            "pseudo_ess": _number(self.pseudo_ess),
            "frechet_ess": _number(self.frechet_ess),
            "lowest_ess": _number(self.lowest_ess),
            "medoid": {"tree": self.medoid_name, "newick": self.medoid_newick,
                       "mean_distance": self.medoid_mean_distance},
            "runs": [
                {
                    "label": run.label, "path": run.path, "trees": run.trees,
                    "approx_ess": _number(run.approx_ess), "ess_upper_bound": run.ess_upper_bound,
                    "pseudo_ess": _number(run.pseudo_ess), "pseudo_ess_median": _number(run.pseudo_ess),
                    "pseudo_ess_min": _number(run.pseudo_ess_min),
                    "frechet_ess": _number(run.frechet_ess), "frechet_ess_upper_bound": run.frechet_upper_bound,
                    "mean_squared_distance_by_lag": [_number(float(v)) for v in run.lag_profile],
                    "medoid": {"tree": run.medoid_name, "newick": run.medoid_newick,
                               "mean_distance": run.medoid_mean_distance},
                    "trace": {"generations": run.generations.tolist(),
                              "distance_to_medoid": run.trace.tolist()},
                }
                for run in self.runs
            ],
            "cumulative_asdsf": {"trees_per_run": self.cumulative_trees.tolist(),
                                 "asdsf": [_number(v) for v in self.cumulative_asdsf]},
            "distances": {
                "metric": self.distances.metric,
                "trees": len(self.distances.indices),
                "quantile_levels": list(QUANTILES),
                "within_runs": _quantiles(within),
                "between_runs": _quantiles(between),
                "mds": {"method": self.distances.method,
                        "trees": list(self.tree_space_names),
                        "runs": [self.runs[int(r)].label for r in self.distances.runs],
                        "coordinates": [[float(x), float(y)] for x, y in self.distances.coordinates]},
            },
            "split_pairs": list(self.pairs),
            "splits": [
                {"taxa": list(table.taxa[i]),
                 "frequencies": [float(f) for f in table.frequencies[i]],
                 "overall": float(table.overall[i]), "sd": _number(float(table.sd[i])),
                 "in_asdsf": bool(table.in_asdsf[i]), "tested": bool(table.tested[i]),
                 "ess": [_number(float(v)) for v in table.ess[i]],
                 "threshold": [_number(float(v)) for v in table.threshold[i]],
                 "passes": bool(table.passes[i].all())}
                for i in shown
            ],
        }
        if self.parameters is not None:
            result["parameters"] = self.parameters.to_dict()
        elif self.parameters_note:
            result["parameters_note"] = self.parameters_note
        if self.consensus is not None:
            result["consensus"] = consensus_dict(self.consensus)
        if self.islands is not None:
            result["islands"] = self.islands.to_dict(self.files)
        return result

    def summary(self) -> str:
        """The terminal summary: one row per run, the criteria table, the headline and the burn-in advice."""
        width = max([len("run"), *(len(run.label) for run in self.runs)])
        lines = [f"{'run':<{width}}  {'trees':>7}  {'approx ESS':>11}  {'pseudo min':>10}  "
                 f"{'pseudo med':>10}  {'Frechet ESS':>11}"]
        for run in self.runs:
            lines.append(f"{run.label:<{width}}  {run.trees:>7}  "
                         f"{_ess(run.approx_ess, run.ess_upper_bound):>11}  {_ess(run.pseudo_ess_min):>10}  "
                         f"{_ess(run.pseudo_ess):>10}  {_ess(run.frechet_ess, run.frechet_upper_bound):>11}")
        if len(self.runs) > 1:
            lines.append(f"{'all':<{width}}  {sum(r.trees for r in self.runs):>7}  "
                         f"{_ess(self.approx_ess):>11}  {'':>10}  {_ess(self.pseudo_ess):>10}  "
                         f"{_ess(self.frechet_ess):>11}")
        if self.asdsf is not None and math.isnan(self.asdsf):
            lines.append(f"ASDSF: no split to compare (no split reaches frequency {self.min_freq:g} in any run)")
        elif self.asdsf is not None and self.max_sdsf is not None:
            lines.append(f"ASDSF {self.asdsf:.6f} (max {self.max_sdsf:.6f}) over {self.asdsf_splits} splits "
                         f"with frequency >= {self.min_freq:g} in some run: {verdict(self.asdsf)}")
        else:
            lines.append("ASDSF needs at least two runs")
        if self.parameters_note:
            lines.append(self.parameters_note)
        if self.rooting:
            lines.append(f"trees compared {'rooted' if self.rooted else 'unrooted'}: {self.rooting}")
        if not any(np.isfinite(v) for run in self.runs for v in (run.approx_ess, run.pseudo_ess_min, run.pseudo_ess)):
            lines.append("tree ESS: not estimable (too few trees, or they never differ)")
        lines.append("")
        lines.append(criteria_table(self.verdict))
        lines.append(self.verdict.headline())
        if self.burnin_suggestion is not None:
            lines.append(self.burnin_suggestion.describe())
        return "\n".join(lines)

    def split_rows(self) -> tuple[list[str], list[list[str]]]:
        """The split table as text cells: header, then one row per split."""
        table = self.splits
        header = ["taxa", "size", *(f"freq_{label}" for label in self.files), "freq_all", "sd", "in_asdsf",
                  *(f"ess_{label}" for label in self.files), *(f"threshold_{pair.replace(' / ', '_')}"
                                                               for pair in self.pairs), "passes"]
        rows = []
        for i, taxa in enumerate(table.taxa):
            rows.append([",".join(taxa), str(len(taxa)), *(f"{f:.6f}" for f in table.frequencies[i]),
                         f"{table.overall[i]:.6f}", _cell(float(table.sd[i]), 6),
                         "yes" if table.in_asdsf[i] else "no", *(_cell(float(v), 1) for v in table.ess[i]),
                         *(_cell(float(v), 6) for v in table.threshold[i]),
                         ("yes" if table.passes[i].all() else "no") if table.tested[i] else "NA"])
        return header, rows


def criteria_table(verdict: Verdict) -> str:
    """Every criterion on one line: name, value, threshold, outcome and the runs that fail it."""
    if not verdict.criteria:
        return "no criteria"
    width = max(len(c.name) for c in verdict.criteria)
    lines = [f"{'criterion':<{width}}  {'value':>12}  {'threshold':>14}  outcome"]
    for c in verdict.criteria:
        value = "n/a" if math.isnan(c.value) else f"{c.value:.6g}"
        bound = f"{'<=' if c.direction == 'at most' else '>='} {c.threshold:g}"
        outcome = "pass" if c.passed else "FAIL" + (f" ({', '.join(c.runs)})" if c.runs else "")
        more = describe(c.generations_needed)
        note = f"  [{c.note}]" if c.note else ""
        lines.append(f"{c.name:<{width}}  {value:>12}  {bound:>14}  {outcome}{'  ' + more if more else ''}{note}")
    if any(c.generations_needed is not None for c in verdict.criteria):
        lines.append(f"more generations: from each criterion's rate so far, {ASSUMPTION}")
    return "\n".join(lines)


def verdict(asdsf: float | None) -> str:
    if asdsf is None:
        return "not available with one run"
    if asdsf < ASDSF_BAR:
        return f"below {ASDSF_BAR} (runs agree)"
    if asdsf < MAX_SDSF_BAR:
        return f"between {ASDSF_BAR} and {MAX_SDSF_BAR} (runs may agree)"
    return f"not below {MAX_SDSF_BAR} (runs disagree)"


def _number(value: float | None) -> float | None:
    return None if value is None or not np.isfinite(value) else float(value)


def _cell(value: float, digits: int) -> str:
    return "NA" if math.isnan(value) else f"{value:.{digits}f}"


def _ess(value: float, upper_bound: bool = False) -> str:
    if not np.isfinite(value):
        return "n/a"
    return f"<{value:.1f}" if upper_bound else f"{value:.1f}"


def _quantiles(values: NDArray[np.float64]) -> dict[str, Any] | None:
    if len(values) == 0:
        return None
    return {"pairs": len(values), "mean": float(values.mean()),
            "quantiles": [float(q) for q in np.quantile(values, QUANTILES)]}


def converge(paths: PathLike | Sequence[PathLike] | Sample, settings: ConvergeSettings | None = None, /,
             **changes: Any) -> ConvergenceReport:
    """Convergence figures of MCMC runs, one tree file per run, and the verdict over every criterion.

    Parameters
    ----------
    paths : path, sequence of paths, or Sample
        The runs' tree files (or an already selected sample).
    settings : ConvergeSettings, optional
        Every setting of the report (the defaults when not given).
    **changes
        Settings by name, changing those of `settings` (``burnin=0.25``, ``min_freq=0.1``, ...).

    Returns
    -------
    ConvergenceReport
    """
    chosen = replace(settings if settings is not None else ConvergeSettings(), **changes)
    criteria = chosen.criteria()
    if isinstance(paths, Sample) and chosen.whole_sample:
        whole = paths
        kept, selection = _select(whole, chosen.burnin, chosen.thin)
        step = chosen.thin
    elif isinstance(paths, Sample):
        whole, kept = paths, [np.flatnonzero(paths.runs == r) for r in range(len(paths.run_labels))]
        selection, step = paths.selection, 1
    else:
        whole = read_sample(paths, burnin=0, thin=1, progress=chosen.progress)
        kept, selection = _select(whole, chosen.burnin, chosen.thin)
        step = chosen.thin
    rooting = decide(whole, chosen.rooted)
    parameters, parameters_note = _parameters(whole, kept, selection, chosen)
    candidates = _candidates(whole, step) if chosen.suggest_burnin else []
    # Only the trees some selection keeps are read into the engine (a thinned run is not read whole).
    needed = np.unique(np.concatenate([*kept, *(m for _, members in candidates for m in members)]))
    if len(needed) < len(whole):
        whole = whole.subset(needed)
        kept = [np.searchsorted(needed, members) for members in kept]
        candidates = [(f, [np.searchsorted(needed, m) for m in members]) for f, members in candidates]
    report = _assessed(whole, kept, selection, candidates, step, rooting.rooted, chosen, criteria)
    report = replace(report, rooting=rooting.reason)
    if parameters is None:
        report = replace(report, parameters_note=parameters_note)
    else:
        report = replace(report, parameters=parameters, verdict=report.verdict.extended(parameters.criteria()))
    return replace(report, verdict=with_generations_needed(report.verdict, report))


def _parameters(whole: Sample, kept: list[NDArray[np.int64]], selection: Selection,
                chosen: ConvergeSettings) -> tuple[ParameterReport | None, str]:
    """The parameter files' report (None without files) and the note that none were found; read before the
    trees' work, so their mistakes cost no time."""
    tree_files = [run.path for run in selection.runs]
    runs_by_generation = [TreeGenerations(whole.run_labels[r], whole.generations[whole.runs == r],
                                          int(whole.generations[members[0]]))
                          for r, members in enumerate(kept)]
    if chosen.parameters_from is not None:
        parameters = None if chosen.no_params else chosen.parameters_from(runs_by_generation)
    else:
        parameters = parameters_for_runs(tree_files, chosen.params, chosen.no_params, selection.burnin,
                                         selection.thin, chosen.min_ess, trees=runs_by_generation,
                                         include=chosen.params_include, exclude=chosen.params_exclude)
    on_disk = all(os.fspath(t) not in ("", "-") for t in tree_files)  # trees in memory have nothing beside them
    found_none = parameters is None and not chosen.no_params and on_disk
    return parameters, none_found(tree_files) if found_none else ""


def _assessed(whole: Sample, kept: list[NDArray[np.int64]], selection: Selection,
              candidates: list[tuple[float, list[NDArray[np.int64]]]], step: int, rooted: bool,
              chosen: ConvergeSettings, settings: Settings) -> ConvergenceReport:
    """The trees read into the engine once, every criterion judged, the burn-in suggested, the report built."""
    metric, progress, seed = chosen.metric, chosen.progress, chosen.seed
    n_runs = len(whole.run_labels)
    encoded = encode_runs(whole, rooted=rooted, lengths=metric == "kf", progress=progress)
    spoilt = non_finite_sample(encoded.native, whole, metric) if metric == "kf" else None
    if spoilt is not None:
        raise BrantoveilError(f"{spoilt}; the tree-space figures need them finite (the rf metric reads no lengths)")
    rng = np.random.default_rng(seed)
    lag_cache: LagCache = {}
    if chosen.suggest_burnin and step == 1:
        with phase("lag profiles", progress):
            prepare_lags(encoded, [np.flatnonzero(whole.runs == r) for r in range(n_runs)], settings.max_lag,
                         lag_cache)
    with phase("split statistics and ESS", progress):
        result = assess(encoded, kept, settings, [whole.run_labels[r] for r in range(n_runs)], rng, lag_cache)
    suggestion = None
    if chosen.suggest_burnin:
        with phase("suggesting a burn-in", progress):
            suggestion = _suggest_burnin(encoded, list(whole.run_labels), candidates, settings, seed, lag_cache)
    with phase("medoids, traces and tree space", progress):
        return _report(whole, encoded, kept, selection, result, settings, rooted, metric, suggestion)


def _candidates(whole: Sample, step: int) -> list[tuple[float, list[NDArray[np.int64]]]]:
    """The trees each candidate burn-in keeps of every run (with the same thinning), as indices into whole."""
    runs = [np.flatnonzero(whole.runs == r) for r in range(len(whole.run_labels))]
    return [(fraction, [run[math.floor(fraction * len(run)) :: step] for run in runs])
            for fraction in BURNIN_CANDIDATES]


def _select(whole: Sample, burnin: BurnIn, thin: int) -> tuple[list[NDArray[np.int64]], Selection]:
    """The trees a burn-in and thinning keep of every run, as indices into ``whole``, and their record."""
    rule = parse_burnin(burnin)
    kept: list[NDArray[np.int64]] = []
    runs: list[RunSelection] = []
    for r, record in enumerate(whole.selection.runs):
        members = np.flatnonzero(whole.runs == r)
        label = whole.run_labels[r]
        generations = [int(g) for g in whole.generations[members]] if rule.kind == "generation" else None
        dropped = rule.dropped(generations, len(members), label)
        positions = np.asarray(kept_positions(dropped, len(members), thin), dtype=np.int64)
        if len(positions) == 0:
            raise BrantoveilError(f"{label}: burn-in {rule.text} drops all {len(members)} trees of this run")
        chosen = members[positions]
        kept.append(chosen)
        runs.append(RunSelection(record.label, record.path, record.format, record.trees_in_file, dropped,
                                 len(chosen), whole.tree_names[chosen[0]], whole.tree_names[chosen[-1]]))
    return kept, Selection(rule.text, thin, tuple(runs))


def _suggest_burnin(encoded: EncodedRuns, labels: list[str], candidates: list[tuple[float, list[NDArray[np.int64]]]],
                    settings: Settings, seed: int, lag_cache: LagCache) -> BurninSuggestion:
    checked: list[tuple[float, tuple[str, ...]]] = []
    chosen = None
    for fraction, members in candidates:
        if min(len(m) for m in members) < 2:
            checked.append((fraction, ("too few trees",)))
            continue
        result = assess(encoded, members, settings, labels, np.random.default_rng(seed), lag_cache)
        failed = tuple(c.name for c in result.verdict.failed)
        checked.append((fraction, failed))
        if not failed:
            chosen = fraction
            break
    return BurninSuggestion(chosen, tuple(checked))


def _report(whole: Sample, encoded: EncodedRuns, kept: list[NDArray[np.int64]], selection: Selection,
            result: Assessment, settings: Settings, rooted: bool, metric: str,
            suggestion: BurninSuggestion | None) -> ConvergenceReport:
    presence = encoded.presence
    n_runs = len(kept)
    table, order = split_table(presence, result)
    splits = (presence.indptr, presence.indices)
    runs = []
    for r, trees in enumerate(kept):
        best, mean = medoid(encoded.native, "rf", trees, trees, splits)
        figures = result.runs[r]
        trace = block(encoded.native, "rf", trees, np.asarray([best], dtype=np.int64))[:, 0]
        runs.append(RunReport(
            label=whole.run_labels[r], path=selection.runs[r].path, trees=len(trees),
            approx_ess=figures.approximate.value, pseudo_ess=figures.pseudo_median,
            medoid_name=whole.names[best],
            medoid_newick=newick_from_splits(presence.sides[presence.splits_of(best)], whole.taxa),
            medoid_mean_distance=mean, generations=whole.generations[trees],
            trace=np.rint(trace).astype(np.int64), ess_upper_bound=figures.approximate.upper_bound,
            pseudo_ess_min=figures.pseudo_min, frechet_ess=figures.frechet,
            all_pairs_trees=figures.all_pairs_trees, lag_profile=figures.lag_profile,
            semivariogram=(figures.approximate.sill, figures.approximate.scale)))
    everything = np.concatenate(kept)
    best, mean = medoid(encoded.native, "rf", everything, everything, splits)
    cumulative_trees, cumulative = cumulative_asdsf(presence, kept, settings.min_freq)
    space = distance_figures(encoded, kept, metric)
    labels = tuple(whole.run_labels)
    return ConvergenceReport(
        files=labels, taxa=tuple(whole.taxa), rooted=rooted, min_freq=settings.min_freq,
        selection=selection, runs=tuple(runs), splits=table, asdsf=result.asdsf, max_sdsf=result.max_sdsf,
        asdsf_splits=int(result.counted.sum()), cumulative_trees=cumulative_trees, cumulative_asdsf=cumulative,
        approx_ess=ess.combined([run.approx_ess for run in runs]),
        pseudo_ess=ess.combined([run.pseudo_ess for run in runs]),
        medoid_name=whole.names[best],
        medoid_newick=newick_from_splits(presence.sides[presence.splits_of(best)], whole.taxa),
        medoid_mean_distance=mean, distances=space, version=_version(), verdict=result.verdict,
        burnin_suggestion=suggestion, courses=split_courses(presence, kept, table, order, n_runs),
        settings=settings, frechet_ess=ess.combined([run.frechet_ess for run in runs]),
        tree_space_names=tuple(whole.names[int(i)] for i in space.indices),
        islands=find_islands(encoded, kept, whole.names, space.indices, space.matrix if metric == "rf" else
                             block(encoded.native, "rf", space.indices, space.indices)),
        consensus=_consensus(whole, everything, selection, rooted))


def consensus_dict(consensus: SummaryResult) -> dict[str, Any]:
    """The consensus tree as JSON: its Newick and, most frequent first, each of its clades (splits when
    unrooted) with its posterior and the SD of its frequency across runs (None with one run)."""
    clades = consensus.clades
    return {"newick": consensus.newick, "rooted": consensus.rooted, "trees": consensus.n_trees,
            "clades": [{"taxa": list(clades.taxa[i]), "posterior": float(clades.frequencies[i]),
                        "sdsf": _number(float(clades.sdsf[i]))}
                       for i in np.flatnonzero(clades.in_tree)]}


def _consensus(whole: Sample, everything: NDArray[np.int64], selection: Selection,
               rooted: bool) -> SummaryResult:
    """The majority-rule consensus of the kept trees (of every run), the report's own selection."""
    kept = replace(whole.subset(np.unique(everything)), selection=selection)
    return summarize(kept, method="majority", rooted=rooted)


def _version() -> str:
    try:
        return metadata.version("brantoveil")
    except metadata.PackageNotFoundError:
        return "unknown"


__all__ = ["ASDSF_BAR", "HELP_CRITERIA", "MAX_SDSF_BAR", "BurninSuggestion", "ConvergenceReport", "DistanceFigures",
           "RunReport", "SplitCourses", "SplitTable", "converge", "criteria_table", "sdsf"]
