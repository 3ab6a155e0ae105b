"""The `brantoveil` command: a thin layer over the Python API; errors are one line and exit status 2."""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Sequence
from typing import NoReturn, TextIO

from . import __version__
from .api import METRICS, distances
from .converge import cli as converge_cli
from .errors import BrantoveilError
from .output import MATRIX_SUFFIXES, check_target, write_exports, write_matrix
from .sample import TruncatedFileWarning
from .summarize import cli as summarize_cli

PROG = "brantoveil"

_DESCRIPTION = """\
Pairwise distances between the trees of one or more MCMC runs or bootstrap sets.

Each FILE is one run: MrBayes .t, BEAST or RevBayes .trees (NEXUS or tab-separated), or a
Newick file with one tree per ';'. gzip files are read as they are; '-' reads standard input.
Taxa are matched by name, so runs may number them differently in their translate tables."""

_MATRIX_EPILOG = """\
burn-in (--burnin), dropped from the start of every run:
  0.25 or 25%%     a fraction: the first floor(0.25 m) of a run's m trees (as MrBayes)
  2500            a count of trees
  gen:250000      every tree whose name gives a generation below 250000 (gen.N, STATE_N)

output (-o), chosen by the suffix:
  .npy            the matrix (uint32 for rf, float64 for wrf and kf)
  .npz            matrix, names, runs, run_labels, metric, rooted and the selection
  .csv, .tsv      a header row and a first column of tree names
  .phy, .dist     square PHYLIP distance matrix
  .zarr           a Zarr store written tile by tile on Dask (extra [dask]); an interrupted
                  run resumes when the same command runs again; --scheduler ADDRESS uses
                  an existing Dask cluster whose workers see the same file system
  (none)          TSV on standard output

examples:
  brantoveil rf run1.t run2.t --burnin 0.25 -o rf.npz
  brantoveil kf beast.trees.gz --burnin gen:1000000 --thin 10 -o kf.csv
  brantoveil rf boot.nwk --burnin 0 --exports splits/ -o rf.phy
  brantoveil rf run*.t -o rf.zarr --scheduler tcp://10.0.0.5:8786"""


class _UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise _UsageError(f"{message} (see '{self.prog} --help')")


def _add_selection(parser: argparse.ArgumentParser, default_burnin: str) -> None:
    parser.add_argument("--burnin", default=default_burnin, metavar="X",
                        help=f"burn-in: fraction, count or gen:N (default {default_burnin})")
    parser.add_argument("--thin", type=int, default=1, metavar="K",
                        help="keep every K-th tree after the burn-in (default 1)")
    parser.add_argument("--rooted", action="store_true", help="compare clades instead of bipartitions")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bars and no summary")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description=_DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter,
                     epilog="Run 'brantoveil COMMAND --help' for a command's options and examples.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    for metric, title in METRICS.items():
        sub = commands.add_parser(metric, help=f"{title} distance matrix", description=_DESCRIPTION,
                                  epilog=_MATRIX_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("files", nargs="+", metavar="FILE", help="tree files, one per run ('-': standard input)")
        _add_selection(sub, "0.25")
        sub.add_argument("-o", "--output", metavar="OUT",
                         help=f"output file ({', '.join(MATRIX_SUFFIXES)}); default: TSV on standard output")
        sub.add_argument("--exports", metavar="DIR",
                         help="also write the split presence (rf) or branch-length (wrf, kf) matrix, "
                              "the taxa of every split and the tree names into DIR")
        sub.add_argument("--scheduler", metavar="ADDRESS",
                         help="with -o OUT.zarr: the Dask scheduler to use (default: a local cluster)")
        sub.add_argument("--chunk", type=int, default=4096, metavar="N",
                         help="with -o OUT.zarr: tile side (default 4096)")
        sub.set_defaults(metric=metric)
    report = commands.add_parser("converge", help="convergence report of MCMC runs (ASDSF, tree ESS, picture)")
    converge_cli.add_arguments(report)
    summary = commands.add_parser("summarize", help="summary tree: majority rule, MCC or HIPSTR, with clade posteriors")
    summarize_cli.add_arguments(summary)
    return parser


def run_matrix(args: argparse.Namespace, err: TextIO) -> int:
    if args.output is not None and os.path.splitext(args.output.rstrip("/"))[1].lower() == ".zarr":
        return run_tiles(args, err)
    if args.scheduler is not None:
        raise BrantoveilError("--scheduler goes with a .zarr output (-o OUT.zarr)")
    if args.output is not None and os.path.splitext(args.output)[1].lower() not in MATRIX_SUFFIXES:
        raise BrantoveilError(f"cannot tell the format of {args.output}: use one of {', '.join(MATRIX_SUFFIXES)}")
    if args.output is not None:
        check_target(args.output)
    if args.files.count("-") > 1:
        raise BrantoveilError("standard input ('-') can be given only once")
    burnin = args.burnin
    result = distances(args.files, args.metric, rooted=args.rooted, burnin=burnin, thin=args.thin,
                       progress=None if not args.quiet else False, exports=args.exports is not None)
    if not args.quiet:
        print(result.selection.describe(), file=err)
    write_matrix(result, args.output)
    written = [] if args.exports is None else write_exports(result, args.exports)
    if not args.quiet:
        n = len(result.names)
        where = args.output if args.output is not None else "standard output"
        print(f"{METRICS[args.metric]} matrix of {n} x {n} trees written to {where}", file=err)
        if written:
            print(f"split exports written to {args.exports}: {', '.join(p.name for p in written)}", file=err)
    return 0


def run_tiles(args: argparse.Namespace, err: TextIO) -> int:
    """`-o OUT.zarr`: the matrix tile by tile on Dask, resumable, never whole in memory."""
    try:
        import dask.array  # noqa: F401
        import distributed  # noqa: F401
        import zarr  # noqa: F401
    except ImportError as error:
        raise BrantoveilError(f"writing .zarr needs the optional extra: pip install 'brantoveil[dask]' ({error})") \
            from None
    from .tiles import encode, to_zarr
    from .tiles.cluster import connect

    if args.exports is not None:
        raise BrantoveilError("--exports goes with a matrix file, not with a .zarr output")
    target = args.output.rstrip("/")
    if not os.path.isdir(target):
        check_target(target)
    progress = None if not args.quiet else False
    # The cluster first: a wrong scheduler address should not wait until the files are read.
    with connect(args.scheduler) as client:
        encoded = encode(args.files, lengths=args.metric != "rf", rooted=args.rooted, burnin=args.burnin,
                         thin=args.thin, progress=progress)
        if not args.quiet:
            print(encoded.selection.describe(), file=err)
            print(f"computing on the Dask cluster at {client.scheduler.address}", file=err)
        to_zarr(encoded, target, args.metric, args.chunk, client=client, progress=progress)
    if not args.quiet:
        n = len(encoded)
        print(f"{METRICS[args.metric]} matrix of {n} x {n} trees written to {target} "
              f"in tiles of {args.chunk}", file=err)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status (0, 2 for any error, 130 when interrupted)."""
    err = sys.stderr
    parser = build_parser()
    with warnings.catch_warnings():
        # Our own warnings are one line each, every time; other libraries' keep Python's defaults.
        warnings.simplefilter("always", TruncatedFileWarning)
        default_show = warnings.showwarning

        def show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                 file: TextIO | None = None, line: str | None = None) -> None:
            if issubclass(category, TruncatedFileWarning):
                print(f"{PROG}: warning: {message}", file=err)
            else:
                default_show(message, category, filename, lineno, file, line)

        warnings.showwarning = show
        try:
            args = parser.parse_args(argv)
            if args.command is None:
                parser.print_help(err)
                return 2
            if args.command == "converge":
                return converge_cli.run(args)
            if args.command == "summarize":
                return summarize_cli.run(args)
            return run_matrix(args, err)
        except _UsageError as error:
            print(f"{PROG}: error: {error}", file=err)
            return 2
        except BrantoveilError as error:
            print(f"{PROG}: error: {error}", file=err)
            return 2
        except SystemExit as stop:  # --help and --version
            return stop.code if isinstance(stop.code, int) else 0
        except KeyboardInterrupt:
            print(f"{PROG}: interrupted", file=err)
            return 130
        except BrokenPipeError:
            # The reader of standard output went away (`| head`): stop quietly, as Unix tools do.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 141
        except MemoryError:
            print(f"{PROG}: error: out of memory (try --thin or fewer trees)", file=err)
            return 2


if __name__ == "__main__":
    sys.exit(main())
