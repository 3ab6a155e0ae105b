"""Command-line options that several commands share, each defined once, with their checks and help texts."""

from __future__ import annotations

import argparse
from pathlib import Path

from .policy import DEFAULT_BURNIN

BURNIN_HELP = """\
burn-in (--burnin), dropped from the start of every run:
  0.25 or 25%     a fraction: the first floor(0.25 m) of a run's m trees (as MrBayes)
  2500            a count of trees
  gen:250000      every tree whose name gives a generation below 250000 (gen.N, STATE_N)"""


def flag(setting: str) -> str:
    """The command-line flag of a library setting: ``min_freq`` is ``--min-freq``."""
    return "--" + setting.replace("_", "-")


def positive_int(text: str) -> int:
    """An argparse type: a whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}")
    return value


def unit_fraction(text: str) -> float:
    """An argparse type: a number in [0, 1]."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, not {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, not {text!r}")
    return value


def add_min_freq(parser: argparse.ArgumentParser, default: float, help: str) -> None:
    """The minimum split or clade frequency, F in [0, 1]."""
    parser.add_argument("--min-freq", type=unit_fraction, default=default, metavar="F",
                        help=f"{help} (default {default:g})")


def add_output(parser: argparse.ArgumentParser, help: str, type: type[str] | type[Path] = str) -> None:
    """The output file, -o/--output OUT."""
    parser.add_argument("-o", "--output", type=type, metavar="OUT", help=help)


def add_runs(parser: argparse.ArgumentParser, metavar: str = "FILE") -> None:
    """The tree files, one per run."""
    parser.add_argument("runs", nargs="+", metavar=metavar,
                        help="tree files, one per run (MrBayes .t, BEAST or RevBayes .trees, Newick; "
                             "gzip, bzip2 or xz; '-' reads standard input)")


def add_selection(parser: argparse.ArgumentParser, rooted_default: bool | None = False) -> None:
    """Which trees of every run are kept (--burnin, --thin) and how they are compared (--rooted, --unrooted).

    ``rooted_default`` None leaves the choice to the files (`rooting.decide`) when neither is given.
    """
    parser.add_argument("--burnin", default=str(DEFAULT_BURNIN), metavar="X",
                        help=f"drop the start of every run: a fraction (0.25 or 25%%), a count of trees (2500) or "
                             f"gen:N (default {DEFAULT_BURNIN:g}, as MrBayes)")
    parser.add_argument("--thin", type=positive_int, default=1, metavar="K",
                        help="then keep every K-th tree (default 1: all)")
    rooting = parser.add_mutually_exclusive_group()
    rooting.add_argument("--rooted", dest="rooted", action="store_const", const=True, default=rooted_default,
                         help="compare clades of rooted trees instead of bipartitions of unrooted ones")
    rooting.add_argument("--unrooted", dest="rooted", action="store_const", const=False,
                         help="compare bipartitions, whatever the files say")


def add_runtime(parser: argparse.ArgumentParser) -> None:
    """How the command runs: --threads and --quiet."""
    parser.add_argument("--threads", type=positive_int, metavar="N",
                        help="use at most N threads (default: every CPU this process may use)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bars and no summary")


def add_seed(parser: argparse.ArgumentParser, what: str) -> None:
    """The seed of the random draws a command makes, so that a report can be reproduced."""
    parser.add_argument("--seed", type=int, default=None, metavar="S",
                        help=f"seed of the random draws ({what}); the same seed gives the same report")


def apply_runtime(args: argparse.Namespace) -> None:
    """Puts the runtime options into effect before any engine call."""
    threads = getattr(args, "threads", None)
    if threads is not None:
        from .engine import set_threads

        set_threads(threads)


def add_taxa(parser: argparse.ArgumentParser) -> None:
    """How trees holding different taxa are compared (--taxa, --normalize, --reference)."""
    parser.add_argument("--taxa", default="same", metavar="RULE",
                        help="same: every tree must hold the same taxa (default); shared: every pair is compared "
                             "on the taxa both trees hold (gene trees); common: every tree cut to the taxa all "
                             "trees hold; FILE: cut to the taxa listed in FILE, one per line")
    parser.add_argument("--normalize", action="store_true",
                        help="divide every distance by its largest possible value for its pair (Robinson-Foulds: "
                             "2(m - 3) unrooted, 2(m - 2) rooted, for m shared taxa)")
    parser.add_argument("--reference", metavar="TREE",
                        help="a file holding one tree (a species tree): the distance of every tree to it, on "
                             "shared taxa, as one column")
