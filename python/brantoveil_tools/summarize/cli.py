"""The `brantoveil summarize` command: options, the tree file, the credible set and a short summary."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from ..commit import output_set
from ..guard import check_paths
from ..options import BURNIN_HELP, add_min_freq, add_output, add_runs, add_runtime, add_selection
from ..policy import ExitStatus
from .api import HEIGHTS, LENGTHS, METHODS, check_outputs, credible_text, summarize, tree_format, tree_text, write_files
from .plot import check_plot_target, write_plot

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
  hipstr     highest independent posterior subtree reconstruction (Baele et al. 2025): the rooted
             tree with the largest product of clade posteriors among all trees built from clades
             seen in the sample, found exactly by dynamic programming (each clade split into the two
             observed clades whose best subtrees score highest, whether or not any tree holds that
             split), so it may be a tree no sample holds. Ties go to the split seen more often under
             the clade, then to the one whose side holding the clade's first taxon (translate-table
             order) is the smaller taxon set read as a binary number. Every clade seen at least once
             is a candidate: TreeAnnotator X can also demand a minimum count; we set none. Needs
             rooted trees: a two-child root in every tree.
--target TREE annotates the first tree of a file (your ML tree, a published tree) instead: its
  clades' posteriors (0 for clades no sampled tree holds), heights and annotations, as
  treeannotator -target does; clades the sample never holds keep the target's own heights.

Rooted or unrooted: --rooted or --unrooted decides; otherwise a [&R] or [&U] before the trees, else
trees whose every root has two children (BEAST's and RevBayes's time trees) are rooted and the
others (MrBayes's, most Newick files) unrooted; the command says which and why.
Unrooted trees are compared by splits and drawn rooted at the first taxon, as sumt draws them;
their branch lengths (--lengths) are by default sumt's median (of an even count the upper middle
value), so that the majority tree equals sumt's .con.tre; mean is an option.
Rooted trees are compared by clades. Node heights of rooted trees (--heights): the mean
or median of the clade's height over the trees holding it; ca, the mean height of the most recent
common ancestor of the clade's taxa over all trees, whether or not they hold the clade (never a
negative branch; needs a two-child root in every tree); or keep the MCC or target tree's own.
The default is TreeAnnotator's documented one, keep (treeannotator -help in BEAST 1.10 and BEAST
2's manual page), for an MCC or target tree, and the mean for the trees built from clades. Mean
and median heights come from different sets of trees for a node and its parent, so the tree can
be non-ultrametric or have negative branches (ape's is.ultrametric rejects it, as it does
TreeAnnotator's); use ca or keep for an ultrametric tree. Annotations of the sampled trees are summarized by type as
TreeAnnotator writes them: numbers by mean, _median, _95%_HPD and _range (a value the same in every
tree of a rooted sample by its mean alone); text states by the most frequent one, .prob, .set and
.set.prob; vectors {a,b} as name1, name2 with their mean, _median and _range. A value that is NaN
or infinite is left out of these statistics with a warning naming its file and tree.

output (-o), by the suffix or --format:
  .tre .tree .trees .nex .nexus   NEXUS with a translate table and [&posterior=...] annotations
  .nwk .newick                    plain Newick, each clade's posterior as its label
  (none)                          the annotated Newick on standard output
--credible-set P OUT.tsv lists the most probable topologies until their probabilities reach P:
  rank, trees, probability, cumulative probability and the topology (as MrBayes's .trprobs).
--plot OUT.png|svg|pdf draws the tree: posteriors on the nodes and, on time trees, the 95% HPD of
  every node's height as a bar along a time axis; the picture grows with the taxa.

examples:
  brantoveil summarize run1.t run2.t -o consensus.tre
  brantoveil summarize run1.t run2.t --method allcompat --credible-set 0.95 credible.tsv -o con.nwk
  brantoveil summarize beast.trees --rooted --method hipstr --heights ca --burnin 0.1 -o hipstr.tre \\
      --plot hipstr.pdf
  brantoveil summarize beast.trees --rooted --target ml.tre --heights keep -o annotated.tre"""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of `summarize`."""
    parser.description = DESCRIPTION
    parser.epilog = EPILOG + "\n\n" + BURNIN_HELP
    parser.formatter_class = argparse.RawDescriptionHelpFormatter
    add_runs(parser, "RUN")
    add_selection(parser, rooted_default=None)
    parser.add_argument("--method", default="majority", metavar="M",
                        help=f"{' | '.join(METHODS)} (default majority; see below)")
    add_min_freq(parser, 0.5, "majority rule keeps clades above one half and at least F")
    parser.add_argument("--lengths", default=None, metavar="L",
                        help=f"branch lengths of unrooted summaries: {' | '.join(LENGTHS)} (default median, "
                             "as sumt)")
    parser.add_argument("--heights", default=None, metavar="H",
                        help=f"node heights of rooted summaries: {' | '.join(HEIGHTS)} "
                             "(default keep for mcc and --target, else mean; see below)")
    parser.add_argument("--target", type=Path, metavar="TREE",
                        help="annotate the first tree of this file instead of building one")
    add_output(parser, "tree file (.tre/.nex or .nwk)", Path)
    parser.add_argument("--format", choices=("nexus", "newick"), help="output format, whatever the suffix")
    parser.add_argument("--credible-set", nargs=2, metavar=("P", "OUT.tsv"),
                        help="write the credible set of topologies of mass P to OUT.tsv")
    parser.add_argument("--plot", type=Path, metavar="OUT", help="draw the tree into OUT (.png, .svg or .pdf)")
    add_runtime(parser)


def run(args: argparse.Namespace) -> ExitStatus:
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
    inputs, outputs = file_arguments(args, credible_target)
    check_paths(inputs, outputs)
    check_outputs(*outputs)
    if args.plot is not None:
        check_plot_target(args.plot)
    form = tree_format(args.output, args.format) if args.output is not None else args.format
    result = summarize(args.runs, method=args.method, burnin=args.burnin, thin=args.thin, rooted=args.rooted,
                       min_freq=args.min_freq, lengths=args.lengths, heights=args.heights, credible=level,
                       progress=None if not args.quiet else False, target=args.target)
    files = []
    if args.output is not None:
        files.append((args.output, tree_text(result, form)))
    if credible_target is not None:
        files.append((credible_target, credible_text(result)))
    with output_set():  # the tree, the credible set and the picture appear together or not at all
        write_files(files)
        if args.plot is not None:
            write_plot(result, args.plot)
    if args.output is None:
        sys.stdout.write((result.plain_newick() if form == "newick" else result.newick) + "\n")
    args.written = True
    if not args.quiet:
        err = sys.stderr
        print(result.selection.describe(), file=err)
        print(result.rooting, file=err)
        what = {"majority": "majority-rule consensus", "allcompat": "all-compatible consensus",
                "mcc": f"maximum clade credibility tree ({result.chosen}, log credibility {result.score:.6g})",
                "hipstr": f"HIPSTR tree (log credibility {result.score:.6g})",
                "target": f"target tree {args.target}"}[result.method]
        where = args.output if args.output is not None else "standard output"
        print(f"{what} of {result.n_trees} trees written to {where}", file=err)
        if args.plot is not None:
            print(f"picture of the tree written to {args.plot}", file=err)
        if credible_target is not None:
            print(f"{len(result.credible)} topologies in the {level:g} credible set written to {credible_target}",
                  file=err)
    return ExitStatus.OK


def file_arguments(args: argparse.Namespace, credible_target: str | None) -> tuple[list[str | Path], list[Path | None]]:
    """The files the command reads (runs, the target tree) and writes (tree, credible set, picture), in
    one place for the check that no output is an input or another output."""
    inputs: list[str | Path] = [*args.runs, *([args.target] if args.target is not None else [])]
    outputs: list[Path | None] = [args.output, Path(credible_target) if credible_target is not None else None,
                                  args.plot]
    return inputs, outputs
