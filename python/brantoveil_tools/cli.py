"""The `brantoveil` command: a thin layer over the Python API; errors are one line and exit status 2."""

from __future__ import annotations

import argparse
import gc
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, TextIO

from .api import distances, require_pair
from .checks import MissingLengthsWarning, NonFiniteDistanceWarning, check_lengths, warn_non_finite_sample
from .commit import CommittedInterrupt, check_target
from .errors import BrantoveilError, NonFiniteValueWarning, SettingError, TruncatedTraceWarning
from .guard import check_paths
from .memory import MEMORY_ENV, MemoryLimitError
from .options import (
    BURNIN_HELP,
    add_output,
    add_runs,
    add_runtime,
    add_selection,
    add_taxa,
    apply_runtime,
    flag,
    positive_int,
)
from .output import MATRIX_SUFFIXES, export_paths, write_outputs
from .policy import DEFAULT_BURNIN, METRICS, TILE_SIDE, ExitStatus, Metric
from .rooting import RootedTreesWarning, check_default_unrooted
from .sample import Sample, TruncatedFileWarning, read_sample

PROG = "brantoveil"

_DESCRIPTION = """\
Pairwise distances between the trees of one or more MCMC runs or bootstrap sets, and the
convergence report of MCMC runs.

Each FILE is one run: MrBayes .t, BEAST or RevBayes .trees (NEXUS or tab-separated), or a
Newick file with one tree per ';'. gzip, bzip2 and xz files are read as they are; '-' reads
standard input. Taxa are matched by name, so runs may number them differently in their
translate tables."""

OUTPUT_SUFFIXES = (*MATRIX_SUFFIXES, ".zarr")

_OUTPUT_HELP = """\
output (-o), chosen by the suffix:
  .npy            the matrix ({dtype})
  .npz            matrix, names, runs, run_labels, metric, rooted and the selection
  .csv, .tsv      a header row and a first column of tree names (the first header cell empty)
  .phy, .dist     square PHYLIP distance matrix
  .zarr           a Zarr store written tile by tile on Dask (extra [dask]); an interrupted
                  run resumes when the same command runs again; --scheduler ADDRESS uses
                  an existing Dask cluster whose workers see the same file system; --chunk N
                  sets the tile side
  (none)          TSV on standard output (refused on a terminal for more than {shown} trees)"""

_EXAMPLES = {
    "rf": """\
examples:
  brantoveil rf run1.t run2.t --burnin 0.25 -o rf.npz
  brantoveil rf boot.nwk --burnin 0 --exports splits/ -o rf.phy
  brantoveil rf run*.t -o rf.zarr --scheduler tcp://10.0.0.5:8786""",
    "wrf": """\
examples:
  brantoveil wrf run1.t run2.t --burnin 0.25 -o wrf.npz
  brantoveil wrf beast.trees.gz --burnin gen:1000000 --thin 10 -o wrf.csv""",
    "kf": """\
examples:
  brantoveil kf run1.t run2.t --burnin 0.25 -o kf.npz
  brantoveil kf beast.trees.gz --burnin gen:1000000 --thin 10 --exports lengths/ -o kf.tsv""",
}

OWN_WARNINGS = (TruncatedFileWarning, TruncatedTraceWarning, NonFiniteDistanceWarning, MissingLengthsWarning,
                NonFiniteValueWarning, RootedTreesWarning)
"""Warnings about the user's input: one line each, every time, as errors are."""

TERMINAL_TREES = 30
"""Above this many trees a matrix is not printed to a terminal: nobody reads it there."""


class _UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    """Reports usage errors as `_UsageError`; a command's options may be added only when it is parsed.

    `converge` and `summarize` bring their report modules (and SciPy) with their options, so a matrix
    command builds only its own parser; `brantoveil --help` needs no more than each command's one-line help.
    """

    def __init__(self, *args: Any, arguments: Callable[[argparse.ArgumentParser], None] | None = None,
                 **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._arguments = arguments

    def parse_known_args(self, args: Sequence[str] | None = None,  # type: ignore[override]
                         namespace: argparse.Namespace | None = None) -> tuple[argparse.Namespace, list[str]]:
        if self._arguments is not None:
            add, self._arguments = self._arguments, None
            add(self)
        return super().parse_known_args(args, namespace)

    def error(self, message: str) -> NoReturn:
        raise _UsageError(f"{message} (see '{self.prog} --help')")


class _Version(argparse.Action):
    """--version, looked up only when asked for (reading the installed version costs more than the command's
    own modules)."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str = "show program's version number and exit") -> None:
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        from . import __version__

        print(f"{parser.prog} {__version__}")
        parser.exit()


def _converge_arguments(parser: argparse.ArgumentParser) -> None:
    from .converge import cli as converge_cli

    converge_cli.add_arguments(parser)


def _summarize_arguments(parser: argparse.ArgumentParser) -> None:
    from .summarize import cli as summarize_cli

    summarize_cli.add_arguments(parser)


def _add_matrix_command(commands: argparse._SubParsersAction[_Parser], metric: Metric) -> None:
    description = (f"The {metric.title} distance matrix of the trees of one or more runs: for two trees, "
                   f"{metric.summary}.\n\n" + _DESCRIPTION.split("\n\n", 1)[1])
    dtype = "uint32" if metric.dtype.kind == "u" else "float64"
    epilog = "\n\n".join([BURNIN_HELP, _OUTPUT_HELP.format(dtype=dtype, shown=TERMINAL_TREES), _EXAMPLES[metric.name]])
    sub = commands.add_parser(metric.name, help=f"{metric.title} distance matrix", description=description,
                              epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_runs(sub)
    add_selection(sub, rooted_default=None)
    add_output(sub, f"output file ({', '.join(OUTPUT_SUFFIXES)}); default: TSV on standard output")
    what = "split presence" if not metric.needs_lengths else "branch-length"
    sub.add_argument("--exports", metavar="DIR",
                     help=f"also write the {what} matrix, the taxa of every split and the tree names into DIR")
    sub.add_argument("--no-memory-check", action="store_true",
                     help=f"compute even a result larger than the memory available (or than {MEMORY_ENV}, "
                          f"as 12G): refused up front otherwise")
    sub.add_argument("--scheduler", metavar="ADDRESS",
                     help="with -o OUT.zarr: the Dask scheduler to use (default: a local cluster)")
    sub.add_argument("--chunk", type=positive_int, metavar="N",
                     help=f"with -o OUT.zarr: tile side (default {TILE_SIDE})")
    add_taxa(sub)
    add_runtime(sub)
    sub.set_defaults(metric=metric.name)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description=_DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter,
                     epilog="Run 'brantoveil COMMAND --help' for a command's options and examples.")
    parser.add_argument("-V", "--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    for metric in METRICS.values():
        _add_matrix_command(commands, metric)
    commands.add_parser("converge", help="convergence report of MCMC runs (verdict, ASDSF, tree ESS)",
                        arguments=_converge_arguments)
    commands.add_parser("summarize", help="summary tree: majority rule, MCC or HIPSTR, with clade posteriors",
                        arguments=_summarize_arguments)
    return parser


def _is_zarr(output: str | None) -> bool:
    return output is not None and os.path.splitext(output.rstrip("/"))[1].lower() == ".zarr"


def _check_matrix_options(args: argparse.Namespace) -> None:
    """Every reason to refuse the options, found before any file is read."""
    if args.runs.count("-") > 1:
        raise BrantoveilError("standard input ('-') can be given only once")
    if _is_zarr(args.output):
        check_paths(args.runs, [], folders=[args.output.rstrip("/")])
        if args.exports is not None:
            raise BrantoveilError("--exports goes with a matrix file, not with a .zarr output")
        return
    check_paths(args.runs, [args.output, *([] if args.exports is None else export_paths(args.exports))],
                folders=[args.exports])
    for option in ("scheduler", "chunk"):
        if getattr(args, option) is not None:
            raise BrantoveilError(f"--{option} goes with a .zarr output (-o OUT.zarr)")
    if args.output is not None and os.path.splitext(args.output)[1].lower() not in MATRIX_SUFFIXES:
        raise BrantoveilError(f"cannot tell the format of {args.output}: use one of {', '.join(OUTPUT_SUFFIXES)}")
    if args.output is not None:
        check_target(args.output)
    if args.exports is not None and os.path.exists(args.exports) and not os.path.isdir(args.exports):
        raise BrantoveilError(f"cannot write exports into {args.exports}: it is not a directory")


def _refuse_terminal(sample: Sample, out: TextIO) -> None:
    if len(sample) > TERMINAL_TREES and out.isatty():
        n = len(sample)
        raise BrantoveilError(f"a {n} x {n} matrix is too large to read on a terminal: write it to a file "
                              f"with -o (for example -o matrix.npz or -o matrix.tsv)")


def run_matrix(args: argparse.Namespace, err: TextIO) -> int:
    if args.taxa != "same" or args.reference is not None or args.normalize:
        return run_genes(args, err)
    _check_matrix_options(args)
    if _is_zarr(args.output):
        return run_tiles(args, err)
    progress = None if not args.quiet else False
    sample = read_sample(args.runs, args.burnin, args.thin, progress)
    if args.output is None:
        _refuse_terminal(sample, sys.stdout)
    args.rooted = check_default_unrooted(sample, args.rooted)
    try:
        result = distances(sample, args.metric, rooted=args.rooted, progress=progress,
                           exports=args.exports is not None, check_memory=not args.no_memory_check)
    except MemoryLimitError as error:
        # Available 0: the engine itself ran out after the check passed, there is nothing to override.
        override = "" if error.available == 0 else " (--no-memory-check tries anyway)"
        raise BrantoveilError(error.reason + override) from None
    if not args.quiet:
        print(result.selection.describe(), file=err)
    written = write_outputs(result, args.output, args.exports, progress=progress)
    args.written = True
    if not args.quiet:
        n = len(result.names)
        where = args.output if args.output is not None else "standard output"
        print(f"{METRICS[args.metric].title} matrix of {n} x {n} trees written to {where}", file=err)
        if written:
            print(f"split exports written to {args.exports}: {', '.join(p.name for p in written)}", file=err)
    return ExitStatus.OK


def run_genes(args: argparse.Namespace, err: TextIO) -> int:
    """Gene trees, each with its own taxa: every pair (or every tree against --reference) on shared taxa."""
    from .genes import gene_distances, write_gene_outputs

    if args.burnin != str(DEFAULT_BURNIN) or args.thin != 1:
        raise BrantoveilError("--burnin and --thin select MCMC samples; gene trees (--taxa, --reference, "
                              "--normalize) are all kept")
    for option in ("exports", "scheduler", "chunk"):
        if getattr(args, option) is not None:
            raise BrantoveilError(f"--{option} goes with --taxa same")
    taxa = "shared" if args.taxa == "same" else args.taxa
    taxa_file = [] if taxa in ("shared", "common") else [taxa]
    check_paths([*args.runs, *([args.reference] if args.reference is not None else []), *taxa_file],
                [args.output])
    if args.output is not None:
        check_target(args.output)
    progress = None if not args.quiet else False
    try:
        result = gene_distances(args.runs, args.metric, taxa=taxa, rooted=args.rooted is True,
                                reference=args.reference, progress=progress,
                                check_memory=not args.no_memory_check)
    except MemoryLimitError as error:
        override = "" if error.available == 0 else " (--no-memory-check tries anyway)"
        raise BrantoveilError(error.reason + override) from None
    if args.normalize:
        result.normalized()  # refuses a metric without a largest value before anything is written
    if args.output is None:
        _refuse_terminal_rows(len(result.names), sys.stdout)
    write_gene_outputs(result, args.output, args.normalize)
    if not args.quiet:
        rows, cols = result.matrix.shape
        where = args.output if args.output is not None else "standard output"
        print(f"{METRICS[args.metric].title} matrix of {rows} x {cols} trees on {result.taxa_rule} taxa "
              f"written to {where}", file=err)
    unscored = result.unscored
    if unscored:
        fewest = 3 if args.rooted else 4
        print(f"{unscored} pairs share fewer than {fewest} taxa: their distances are NaN", file=err)
    return ExitStatus.OK


def _refuse_terminal_rows(n: int, out: TextIO) -> None:
    if n > TERMINAL_TREES and out.isatty():
        raise BrantoveilError(f"a matrix of {n} trees is too large to read on a terminal: write it to a file "
                              f"with -o (for example -o matrix.npz or -o matrix.tsv)")


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
    from .tiles.store import check_store

    target = args.output.rstrip("/")
    if not os.path.isdir(target):
        check_target(target)
    chunk = TILE_SIDE if args.chunk is None else args.chunk
    progress = None if not args.quiet else False
    # The names first: a store of another sample is refused before the cluster starts and the trees are read.
    sample = require_pair(read_sample(args.runs, args.burnin, args.thin, progress))
    args.rooted = check_default_unrooted(sample, args.rooted)
    if METRICS[args.metric].needs_lengths:
        check_lengths(sample, args.metric)
    check_store(target, sample, args.metric, args.rooted, chunk)
    with connect(args.scheduler, quiet=args.quiet) as client:
        encoded = encode(sample, lengths=METRICS[args.metric].needs_lengths, rooted=args.rooted, progress=progress)
        warn_non_finite_sample(encoded.native, sample, args.metric)
        if not args.quiet:
            print(encoded.selection.describe(), file=err)
            print(f"computing on the Dask cluster at {client.scheduler.address}", file=err)
        to_zarr(encoded, target, args.metric, chunk, client=client, progress=progress)
        args.written = True
    if not args.quiet:
        n = len(encoded)
        print(f"{METRICS[args.metric].title} matrix of {n} x {n} trees written to {target} "
              f"in tiles of {chunk}", file=err)
    return ExitStatus.OK


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status (see `ExitStatus`: 0, 1 for a failed verdict when
    asked, 2 for any error, 130 when interrupted)."""
    err = sys.stderr
    parser = build_parser()
    with warnings.catch_warnings():
        # Our own warnings are one line each, every time; other libraries' keep Python's defaults.
        for category in OWN_WARNINGS:
            warnings.simplefilter("always", category)
        default_show = warnings.showwarning

        def show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                 file: TextIO | None = None, line: str | None = None) -> None:
            if issubclass(category, OWN_WARNINGS):
                print(f"{PROG}: warning: {message}", file=err)
            else:
                default_show(message, category, filename, lineno, file, line)

        warnings.showwarning = show
        args = None
        try:
            args = parser.parse_args(argv)
            if args.command is None:
                parser.print_help(err)
                return ExitStatus.ERROR
            apply_runtime(args)
            if args.command == "converge":
                from .converge import cli as converge_cli

                return converge_cli.run(args, sys.argv[1:] if argv is None else argv)
            if args.command == "summarize":
                from .summarize import cli as summarize_cli

                return summarize_cli.run(args)
            return run_matrix(args, err)
        except _UsageError as error:
            print(f"{PROG}: error: {error}", file=err)
            return ExitStatus.ERROR
        except SettingError as error:  # the library names its setting; the command line names the flag
            print(f"{PROG}: error: {flag(error.setting)} {error.problem}", file=err)
            return ExitStatus.ERROR
        except BrantoveilError as error:
            print(f"{PROG}: error: {error}", file=err)
            return ExitStatus.ERROR
        except SystemExit as stop:  # --help and --version
            return stop.code if isinstance(stop.code, int) else 0
        except KeyboardInterrupt as stop:
            # Once the outputs are in place (`written`, set by each command) they are whole: say so.
            written = isinstance(stop, CommittedInterrupt) or getattr(args, "written", False)
            done = " after every output was written" if written else ""
            print(f"{PROG}: interrupted{done}", file=err)
            gc.freeze()  # the process ends now: no final collection of every object Dask and Zarr made
            return ExitStatus.INTERRUPTED
        except BrokenPipeError:
            # The reader of standard output went away (`| head`): stop quietly, as Unix tools do.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return ExitStatus.BROKEN_PIPE
        except OSError as error:  # a file that failed past every writer's own check: still one line
            where = f"{error.filename}: " if error.filename else ""
            print(f"{PROG}: error: {where}{error.strerror or error}", file=err)
            return ExitStatus.ERROR
        except MemoryError:
            print(f"{PROG}: error: out of memory (too many trees for the matrix, or taxa for their splits)", file=err)
            return ExitStatus.ERROR


if __name__ == "__main__":
    sys.exit(main())
