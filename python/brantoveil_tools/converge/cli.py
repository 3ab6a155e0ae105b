"""The `brantoveil converge` command: options, and the report's files and terminal summary."""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Sequence
from pathlib import Path

from brantoveil_tools.commit import atomic_path, check_target, output_set
from brantoveil_tools.converge import ess
from brantoveil_tools.converge.assess import DEFAULT_MIN_ESS
from brantoveil_tools.converge.document import Provenance, methods_paragraph, provenance, write_methods
from brantoveil_tools.converge.params import DEFINITIONS, beside
from brantoveil_tools.converge.report import ESS_BAR, HELP_CRITERIA, ConvergenceReport, converge
from brantoveil_tools.converge.settings import METRICS
from brantoveil_tools.converge.split_ess import DEFAULT_PRECISION
from brantoveil_tools.converge.watch import DEFAULT_EVERY, FIRST_TREES, REJUDGE_GROWTH, Watcher, follow
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.guard import check_paths
from brantoveil_tools.options import (
    BURNIN_HELP,
    add_min_freq,
    add_runs,
    add_runtime,
    add_seed,
    add_selection,
    positive_int,
)
from brantoveil_tools.policy import ExitStatus
from brantoveil_tools.progress import phase
from brantoveil_tools.sample import Sample
from brantoveil_tools.tsv import tsv_cell

DESCRIPTION = """\
Convergence report of MCMC runs: one verdict over every criterion a posterior is judged by (split
frequencies and their spread across runs, tree and split effective sample sizes, the runs' split
frequencies against each other, and the parameters' ESS, PSRF and Kolmogorov-Smirnov tests), with
medoid trees, distance traces, a one-page picture and a report to open in a browser.

Each RUN is one tree file (MrBayes .t, BEAST or RevBayes .trees, Newick); runs may number their
taxa differently. The parameter file beside each run (X.run1.t -> X.run1.p, X.trees -> X.log or
.var, BEAST 2's X.(time).11.trees -> X.11.log, BEAUti's X-tree.trees -> X.log) is read from the
first kept tree's generation on, unless --no-params; --params gives them. The ASDSF
is the mean, over the non-trivial splits whose frequency reaches --min-freq in at least one run, of
the sample standard deviation (n - 1) of the split's frequency across runs (as MrBayes's sumt); the
maximum SDSF is their largest."""

EPILOG = "\n\n".join([HELP_CRITERIA, DEFINITIONS, BURNIN_HELP, """\
medoid: the tree of least mean Robinson-Foulds distance to its run (or to all trees), found from
split frequencies; traces give every tree's distance to its run's medoid.

exit status: 0 when the report is written, 1 with --fail-on-verdict when a criterion fails,
2 for an error in the input or the options; with --watch --until-pass, 0 once every criterion
passes and 1 at the timeout; 130 after Ctrl-C (the last complete outputs stay in place).

examples:
  brantoveil converge run1.t run2.t
  brantoveil converge run1.t run2.t --html report.html
  brantoveil converge run1.t run2.t --burnin 0.1 --json report.json --splits splits.tsv --plot report.png
  brantoveil converge run1.trees run2.trees --params run1.log run2.log --fail-on-verdict -q
  brantoveil converge 'test.(time).1.trees' 'test.(time).2.trees' --params-exclude 'rateCategories.*'
  brantoveil converge run1.t run2.t --watch --every 30 --until-pass --timeout 86400 --html report.html""", """\
more generations: every failing criterion says how many more generations it needs at its rate so far,
  assuming the chain is stationary after the burn-in: an ESS grows in proportion to the kept
  generations; the ASDSF, max SDSF, a split's difference between runs (against its binomial band) and
  a parameter's KS D fall as 1/sqrt(ESS); a PSRF's excess over 1 as 1/n. None for a split two runs
  hold at 1 and 0 (stuck apart) or for tree names without generations."""])


def _min_ess(text: str) -> float:
    value = float(text)
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"expected a positive number, not {text!r}")
    return value


def _precision(text: str) -> float:
    value = float(text)
    if not 0 < value < 0.5:
        raise argparse.ArgumentTypeError(f"expected a number above 0 and below 0.5, not {text!r}")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of `converge`."""
    parser.description = DESCRIPTION
    parser.epilog = EPILOG
    parser.formatter_class = argparse.RawDescriptionHelpFormatter
    add_runs(parser, "RUN")
    add_selection(parser, rooted_default=None)
    add_min_freq(parser, 0.10, "splits reaching F in some run enter the ASDSF")
    parser.add_argument("--min-ess", type=_min_ess, default=DEFAULT_MIN_ESS, metavar="N",
                        help=f"every tree ESS measure of every run and every parameter's ESS must reach N "
                             f"(default {DEFAULT_MIN_ESS:g})")
    parser.add_argument("--precision", type=_precision, default=DEFAULT_PRECISION, metavar="P",
                        help=f"split frequencies wanted to within P: the minimum split ESS is (1 / (4 P))^2 "
                             f"(default {DEFAULT_PRECISION:g}, giving 625)")
    parser.add_argument("--max-lag", type=positive_int, default=ess.DEFAULT_MAX_LAG, metavar="K",
                        help=f"largest lag of the approximate and Frechet ESS (default {ess.DEFAULT_MAX_LAG})")
    parser.add_argument("--metric", choices=METRICS, default="rf",
                        help="distance of the tree-space picture, heatmap and quantiles (default rf)")
    found = parser.add_mutually_exclusive_group()
    found.add_argument("--params", nargs="+", type=Path, metavar="FILE",
                       help="parameter files (.p, .log, .var), one per run in the runs' order")
    found.add_argument("--no-params", action="store_true", help="judge the trees alone")
    parser.add_argument("--params-include", nargs="+", default=[], metavar="GLOB",
                        help="judge only the parameter columns matching a pattern ('rate*'); columns of whole "
                             "numbers are judged only when named here")
    parser.add_argument("--params-exclude", nargs="+", default=[], metavar="GLOB",
                        help="leave out the parameter columns matching a pattern ('rateCategories.*')")
    parser.add_argument("--json", type=Path, metavar="OUT.json", help="write every figure as JSON")
    parser.add_argument("--splits", type=Path, metavar="OUT.tsv", help="write the split table as TSV")
    parser.add_argument("--plot", type=Path, metavar="OUT.png",
                        help="draw the one-page picture (needs matplotlib)")
    parser.add_argument("--html", type=Path, metavar="OUT.html",
                        help="write the whole report as one page to open in any browser (needs plotly and "
                             "jinja2: pip install 'brantoveil[plot]')")
    parser.add_argument("--methods", type=Path, metavar="OUT.txt",
                        help="write a methods paragraph for a manuscript (criteria, thresholds, burn-in, "
                             "thinning, version, citations); the JSON and HTML hold it too")
    parser.add_argument("--fail-on-verdict", action="store_true",
                        help="exit with status 1 when a criterion fails (for pipelines)")
    parser.add_argument("--no-burnin-suggestion", dest="suggest_burnin", action="store_false",
                        help="do not judge the burn-ins 10%%..50%% to suggest one (faster)")
    watching = parser.add_argument_group("following running analyses")
    watching.add_argument("--watch", action="store_true",
                          help="follow the files while the MCMC writes them: every --every seconds read only the "
                               "bytes added (a tree cut off mid-write waits for its end), print one status line "
                               "on stderr, and replace the outputs asked for whenever the verdict is judged again; "
                               f"it is judged again once the trees have grown by {REJUDGE_GROWTH:.0%} since the "
                               "last judgement, and then every figure, the exact all-pairs ones (Frechet-"
                               "correlation ESS, pseudo-ESS, on up to 10,000 trees a run) included, is "
                               "recomputed on the whole sample, as a fresh converge would; Ctrl-C leaves the "
                               "last complete outputs in place")
    watching.add_argument("--every", type=_seconds, default=DEFAULT_EVERY, metavar="SECONDS",
                          help=f"seconds between updates (default {DEFAULT_EVERY:g})")
    watching.add_argument("--until-pass", action="store_true",
                          help="exit 0 as soon as every criterion passes (a script can then stop the sampler)")
    watching.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                          help="stop after SECONDS, judging what came since the last judgement; with "
                               "--until-pass that is exit status 1")
    add_seed(parser, "none any more: every tree is a focal tree of the pseudo-ESS; accepted for scripts that give it")
    add_runtime(parser)


def _seconds(text: str) -> float:
    value = float(text)
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, not {text!r}")
    return value


def run(args: argparse.Namespace, argv: Sequence[str] | None = None) -> int:
    """Computes the report, writes the files asked for, prints the summary; returns the exit status."""
    # Every reason not to write an output is found before the work starts.
    outputs = [args.json, args.splits, args.plot, args.html, args.methods]
    check_paths([*args.runs, *_parameter_files(args)], outputs)
    for target in outputs:
        if target is not None:
            check_target(target)
    if args.plot is not None:
        from brantoveil_tools.converge.plot import require_matplotlib

        require_matplotlib()
    if args.html is not None:
        from brantoveil_tools.converge.html import require_html

        require_html()
    if not args.watch and (args.until_pass or args.timeout is not None):
        raise BrantoveilError("--until-pass and --timeout follow running analyses: add --watch")
    command = ["brantoveil", *argv] if argv is not None else None
    if args.watch:
        return _watch(args, command)
    report = converge(args.runs, burnin=args.burnin, thin=args.thin, min_freq=args.min_freq,
                      rooted=args.rooted, metric=args.metric, seed=ess.SEED if args.seed is None else args.seed,
                      max_lag=args.max_lag, min_ess=args.min_ess, precision=args.precision,
                      suggest_burnin=args.suggest_burnin, progress=False if args.quiet else None,
                      params=args.params, no_params=args.no_params, params_include=args.params_include,
                      params_exclude=args.params_exclude)
    _write_outputs(report, args, command)
    args.written = any(target is not None for target in outputs)
    return _finish(report, args)


def _write_outputs(report: ConvergenceReport, args: argparse.Namespace, command: list[str] | None,
                   progress: bool | None = None) -> None:
    """Every output asked for, all or none (a previous set stays whole until the new one is in place)."""
    shown = False if args.quiet else progress
    origin = provenance(report, command) if args.json is not None or args.html is not None else None
    with output_set():  # all files or none
        if args.json is not None:
            write_json(report, args.json, origin)
        if args.methods is not None:
            write_methods(report, args.methods)
        if args.splits is not None:
            write_split_table(report, args.splits)
        if args.plot is not None:
            from brantoveil_tools.converge.plot import draw_report

            with phase(f"drawing {args.plot.name}", shown):
                draw_report(report, args.plot)
        if args.html is not None:
            from brantoveil_tools.converge.html import write_html

            with phase(f"writing {args.html.name}", shown):
                write_html(report, args.html, command, origin)


def _finish(report: ConvergenceReport, args: argparse.Namespace) -> int:
    """The terminal summary and the exit status of a finished report."""
    if not args.quiet:
        print(report.summary())
        if report.parameters is not None:
            print()
            print(report.parameters.summary())
    if args.fail_on_verdict and not report.verdict.passed:
        if args.quiet:  # a pipeline still learns why in one line
            print(report.verdict.headline(), file=sys.stderr)
        return ExitStatus.VERDICT_FAILED
    return ExitStatus.OK


def _watch(args: argparse.Namespace, command: list[str] | None) -> int:
    """Follows the runs until every criterion passes (--until-pass), the timeout, or Ctrl-C."""
    files = [p for p in _parameter_files(args) if args.params or p.is_file()]
    watcher = Watcher.open(args.runs, files)

    def judge(sample: Sample) -> ConvergenceReport:
        return converge(sample, burnin=args.burnin, thin=args.thin, min_freq=args.min_freq, rooted=args.rooted,
                        metric=args.metric, max_lag=args.max_lag, min_ess=args.min_ess, precision=args.precision,
                        suggest_burnin=args.suggest_burnin, no_params=args.no_params, whole_sample=True,
                        parameters_from=watcher.parameters_from(args.burnin, args.thin, args.min_ess,
                                                                args.params_include, args.params_exclude))

    def publish(report: ConvergenceReport) -> None:
        _write_outputs(report, args, command, progress=False)
        args.written = True

    report, passed = follow(watcher, judge, publish, every=args.every, until_pass=args.until_pass,
                            timeout=args.timeout)
    if report is None:
        print(f"no verdict: fewer than {FIRST_TREES} trees in some run by the timeout", file=sys.stderr)
        return ExitStatus.VERDICT_FAILED
    status = _finish(report, args)
    if args.until_pass:
        return ExitStatus.OK if passed else ExitStatus.VERDICT_FAILED
    return status


def _parameter_files(args: argparse.Namespace) -> list[Path]:
    """The parameter files the report will read: those given, else those found beside the tree files."""
    if args.no_params:
        return []
    if args.params:
        return list(args.params)
    return [beside(run) for run in args.runs if run != "-"]


def write_json(report: ConvergenceReport, target: Path, origin: Provenance | None = None) -> None:
    """The report's `to_dict` with its methods paragraph and provenance (taken here, without a command, when
    not given) as JSON, written atomically."""
    data = report.to_dict()
    paragraph, references = methods_paragraph(report)
    data["methods"] = {"text": paragraph, "references": list(references)}
    data["provenance"] = (origin if origin is not None else provenance(report, None)).to_dict()
    with atomic_path(target) as temporary:
        temporary.write_text(json.dumps(data, indent=1, allow_nan=False) + "\n", encoding="utf-8")


def write_split_table(report: ConvergenceReport, target: Path) -> None:
    """One row per split: its taxa, frequencies, SD, whether it counts in the ASDSF, its ESS per run and the
    split-frequency test's thresholds and outcome."""
    header, rows = report.split_rows()
    with atomic_path(target) as temporary, temporary.open("w", encoding="utf-8", newline="\n") as out:
        out.write("\t".join(map(tsv_cell, header)) + "\n")
        for cells in rows:
            out.write("\t".join(map(tsv_cell, cells)) + "\n")


__all__ = ["DESCRIPTION", "EPILOG", "ESS_BAR", "add_arguments", "run", "write_json", "write_split_table"]
