"""The `brantoveil converge` command: options, and the report's files and terminal summary."""

from __future__ import annotations

import argparse
import json
import math
from pathlib import Path

from brantoveil_tools.converge import ess
from brantoveil_tools.converge.report import ESS_BAR, ConvergenceReport, converge
from brantoveil_tools.options import add_runs, add_runtime, add_seed, add_selection
from brantoveil_tools.output import atomic_path, check_outputs_distinct, check_target, output_set

DESCRIPTION = """\
Convergence report of MCMC runs: split frequencies and their spread across runs, tree effective
sample sizes, medoid trees, distance traces, and a one-page picture.

Each RUN is one tree file (MrBayes .t, BEAST or RevBayes .trees, Newick); runs may number their
taxa differently. The ASDSF is the mean, over the non-trivial splits whose frequency reaches
--min-freq in at least one run, of the sample standard deviation (n - 1) of the split's frequency
across runs (as MrBayes's sumt); the maximum SDSF is their largest."""

EPILOG = """\
tree ESS (Lanfear, Hua and Warren 2016, Genome Biol. Evol. 8:2319), from Robinson-Foulds distances:
  approximate ESS  rho_k = 1 - D_k / D_inf, where D_k is the mean squared distance between trees
                   k samples apart and D_inf that between random pairs of trees of the run;
                   ESS = n / (1 + 2 sum_k rho_k), the sum cut by Geyer's initial positive sequence
  pseudo-ESS       the ordinary ESS of the trace of distances to a focal tree, the median over
                   20 focal trees drawn from the run
  Both are capped at n; the ESS of all runs together is the sum of the runs' ESS.

medoid: the tree of least mean Robinson-Foulds distance to its run (or to all trees), found from
split frequencies; traces give every tree's distance to its run's medoid.

examples:
  brantoveil converge run1.t run2.t
  brantoveil converge run1.t run2.t --burnin 0.1 --json report.json --splits splits.tsv --plot report.png"""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of `converge`."""
    parser.description = DESCRIPTION
    parser.epilog = EPILOG
    parser.formatter_class = argparse.RawDescriptionHelpFormatter
    add_runs(parser, "RUN")
    add_selection(parser)
    parser.add_argument("--min-freq", type=float, default=0.10, metavar="F",
                        help="splits reaching F in some run enter the ASDSF (default 0.10)")
    parser.add_argument("--metric", choices=("rf", "kf"), default="rf",
                        help="distance of the tree-space picture, heatmap and quantiles (default rf)")
    parser.add_argument("--json", type=Path, metavar="OUT.json", help="write every figure as JSON")
    parser.add_argument("--splits", type=Path, metavar="OUT.tsv", help="write the split table as TSV")
    parser.add_argument("--plot", type=Path, metavar="OUT.png",
                        help="draw the one-page picture (needs matplotlib)")
    add_seed(parser, "the focal trees of the pseudo-ESS and the trees of the tree-space picture")
    add_runtime(parser)


def run(args: argparse.Namespace) -> int:
    """Computes the report, writes the files asked for, prints the summary; returns the exit status."""
    # Every reason not to write an output is found before the work starts.
    check_outputs_distinct(args.runs, [args.json, args.splits, args.plot])
    for target in (args.json, args.splits, args.plot):
        if target is not None:
            check_target(target)
    if args.plot is not None:
        from brantoveil_tools.converge.plot import require_matplotlib

        require_matplotlib()
    report = converge(args.runs, burnin=args.burnin, thin=args.thin, min_freq=args.min_freq,
                      rooted=args.rooted, metric=args.metric,
                      seed=ess.SEED if args.seed is None else args.seed)
    with output_set():  # all files or none
        if args.json is not None:
            write_json(report, args.json)
        if args.splits is not None:
            write_split_table(report, args.splits)
        if args.plot is not None:
            from brantoveil_tools.converge.plot import draw_report

            draw_report(report, args.plot)
    if not args.quiet:
        print(report.summary())
    return 0


def write_json(report: ConvergenceReport, target: Path) -> None:
    """The report's `to_dict` as JSON, written atomically."""
    with atomic_path(target) as temporary:
        temporary.write_text(json.dumps(report.to_dict(), indent=1, allow_nan=False) + "\n", encoding="utf-8")


def write_split_table(report: ConvergenceReport, target: Path) -> None:
    """One row per split: its taxa, frequency per run and overall, SD, and whether it counts in the ASDSF."""
    table = report.splits
    header = ["taxa", "size", *(f"freq_{label}" for label in report.files), "freq_all", "sd", "in_asdsf"]
    with atomic_path(target) as temporary, temporary.open("w", encoding="utf-8", newline="\n") as out:
        out.write("\t".join(header) + "\n")
        for i, taxa in enumerate(table.taxa):
            sd = float(table.sd[i])
            cells = [",".join(taxa), str(len(taxa)), *(f"{f:.6f}" for f in table.frequencies[i]),
                     f"{table.overall[i]:.6f}", "NA" if math.isnan(sd) else f"{sd:.6f}",
                     "yes" if table.in_asdsf[i] else "no"]
            out.write("\t".join(cells) + "\n")


__all__ = ["DESCRIPTION", "EPILOG", "ESS_BAR", "add_arguments", "run", "write_json", "write_split_table"]
