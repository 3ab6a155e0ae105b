"""The `brantoveil summarize` command: options, the tree file, the credible set and a short summary."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from ..guard import check_paths
from ..options import BURNIN_HELP, add_runs, add_runtime, add_selection, unit_fraction
from .api import HEIGHTS, LENGTHS, METHODS, check_outputs, credible_text, summarize, tree_format, tree_text, write_files

DESCRIPTION = """\
One tree that summarizes the trees of one or more MCMC runs, annotated for FigTree and friends.

Each RUN is one tree file (MrBayes .t, BEAST or RevBayes .trees, Newick); runs may number their
taxa differently. Every clade is annotated with its posterior (the share of trees holding it), with
several runs its SDSF (sample standard deviation of its frequency across runs) and range, and the
mean, median, 95% HPD and range of its branch length, height and of any numeric per-branch
annotation the trees carry (BEAST's rate, for instance), over the trees holding it."""

EPILOG = """\
methods (--method):
  majority   majority-rule consensus: the clades in more than half of the trees (and at least
             --min-freq of them), as MrBayes's sumt
  allcompat  majority rule, then every clade compatible with those kept, by decreasing frequency
             (MrBayes's contype=allcompat)
  mcc        maximum clade credibility tree: the sampled tree with the largest product of its
             clades' posteriors (the earliest one among equals), as TreeAnnotator
  hipstr     highest independent posterior subtree reconstruction (Baele et al. 2025): from the root
             down, each clade is resolved into the pair of child clades, among the pairs seen
             splitting it in the sample, whose own best subtrees have the largest product of
             clade posteriors; a clade's subtree is chosen independently of the rest of the tree,
             so the tree may be one no sample holds. Ties go to the pair seen more often. Needs
             --rooted.

unrooted trees (the default) are compared by splits and drawn rooted at the first taxon, as sumt
draws them; --rooted compares clades (BEAST's time trees). Node heights of rooted trees
(--heights): the mean or median of the clade's height over the trees holding it, or (mcc) the
chosen tree's own; the default is the mean when the trees have branch lengths.

output (-o), by the suffix or --format:
  .tre .tree .trees .nex .nexus   NEXUS with a translate table and [&posterior=...] annotations
  .nwk .newick                    plain Newick, each clade's posterior as its label
  (none)                          the annotated Newick on standard output
--credible-set P OUT.tsv lists the most probable topologies until their probabilities reach P:
  rank, trees, probability, cumulative probability and the topology (as MrBayes's .trprobs).

examples:
  brantoveil summarize run1.t run2.t -o consensus.tre
  brantoveil summarize run1.t run2.t --method allcompat --credible-set 0.95 credible.tsv -o con.nwk
  brantoveil summarize beast.trees --rooted --method mcc --heights median --burnin 0.1 -o mcc.tre"""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of `summarize`."""
    parser.description = DESCRIPTION
    parser.epilog = EPILOG + "\n\n" + BURNIN_HELP
    parser.formatter_class = argparse.RawDescriptionHelpFormatter
    add_runs(parser, "RUN")
    add_selection(parser)
    parser.add_argument("--method", default="majority", metavar="M",
                        help=f"{' | '.join(METHODS)} (default majority; see below)")
    parser.add_argument("--min-freq", type=unit_fraction, default=0.5, metavar="F",
                        help="majority rule keeps clades above one half and at least F (default 0.5)")
    parser.add_argument("--lengths", default="mean", metavar="L",
                        help=f"branch lengths of unrooted summaries: {' | '.join(LENGTHS)} (default mean)")
    parser.add_argument("--heights", default=None, metavar="H",
                        help=f"node heights of rooted summaries: {' | '.join(HEIGHTS)}")
    parser.add_argument("-o", "--output", type=Path, metavar="OUT", help="tree file (.tre/.nex or .nwk)")
    parser.add_argument("--format", choices=("nexus", "newick"), help="output format, whatever the suffix")
    parser.add_argument("--credible-set", nargs=2, metavar=("P", "OUT.tsv"),
                        help="write the credible set of topologies of mass P to OUT.tsv")
    add_runtime(parser)


def run(args: argparse.Namespace) -> int:
    """Summarizes, writes the files asked for; returns the exit status."""
    from ..errors import BrantoveilError

    level = None
    credible_target = None
    if args.credible_set is not None:
        text, credible_target = args.credible_set
        try:
            level = float(text)
        except ValueError:
            raise BrantoveilError(f"--credible-set needs a probability first, not {text!r}") from None
    check_paths(args.runs, [args.output, credible_target])
    check_outputs(args.output, credible_target)
    form = tree_format(args.output, args.format) if args.output is not None else args.format
    result = summarize(args.runs, method=args.method, burnin=args.burnin, thin=args.thin, rooted=args.rooted,
                       min_freq=args.min_freq, lengths=args.lengths, heights=args.heights, credible=level,
                       progress=None if not args.quiet else False)
    # Both files are complete before either is moved into place: a failure writes neither.
    files = []
    if args.output is not None:
        files.append((args.output, tree_text(result, form)))
    if credible_target is not None:
        files.append((credible_target, credible_text(result)))
    write_files(files)
    if args.output is None:
        sys.stdout.write((result.plain_newick() if form == "newick" else result.newick) + "\n")
    args.written = True
    if not args.quiet:
        err = sys.stderr
        print(result.selection.describe(), file=err)
        what = {"majority": "majority-rule consensus", "allcompat": "all-compatible consensus",
                "mcc": f"maximum clade credibility tree ({result.chosen}, log credibility {result.score:.6g})",
                "hipstr": f"HIPSTR tree (log credibility {result.score:.6g})"}[result.method]
        where = args.output if args.output is not None else "standard output"
        print(f"{what} of {result.n_trees} trees written to {where}", file=err)
        if credible_target is not None:
            print(f"{len(result.credible)} topologies in the {level:g} credible set written to {credible_target}",
                  file=err)
    return 0
