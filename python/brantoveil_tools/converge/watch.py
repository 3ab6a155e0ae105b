"""Follows the tree files and parameter logs of running MCMC analyses: each update reads only the bytes added
since the last one (counted), keeps every complete tree's index and every parameter row, and judges the
grown sample again once it has grown by a stated share.

What an update costs: reading and indexing the new bytes, once each (a tree cut off mid-write waits, unread
by the indexer, until its line is complete). What a judgement costs: the verdict of `converge` on the whole
sample so far, the engine encoding every kept tree again and the all-pairs estimators (Frechet-correlation
ESS, pseudo-ESS) redone in full; so judgements come only when the kept trees have grown by REJUDGE_GROWTH
since the last one, and once more at the end if anything came after it.
"""

from __future__ import annotations

import math
import os
import re
import sys
import time
from array import array
from bisect import bisect_right
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import TextIO

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.converge.needed import describe
from brantoveil_tools.converge.params import ParameterReport, ParameterTrace, TreeGenerations, judged_traces, run_labels
from brantoveil_tools.converge.report import ConvergenceReport
from brantoveil_tools.converge.traces import GENERATION_COLUMNS, fast_table, header_line, parse_row
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.sample import Sample, sample_from_indexes, shorten_labels
from brantoveil_tools.selection import BurnIn
from brantoveil_tools.textio import GZIP_MAGIC, ByteSource, open_source
from brantoveil_tools.treefile import FileIndex, index_file

# A new judgement once the kept trees have grown by this share since the last one.
REJUDGE_GROWTH = 0.05
# Every run needs this many trees (and every parameter log this many rows) before the first judgement.
FIRST_TREES = 8
DEFAULT_EVERY = 10.0

_TREE_STATEMENT = re.compile(rb"(?im)^[ \t]*u?tree[ \t]")
_COMPRESSED = (GZIP_MAGIC, b"\xfd7zXZ\x00", b"BZh")


@dataclass(eq=False)
class _MemorySource(ByteSource):
    """Bytes already read, handed to the file indexer as if they were a file."""

    data: bytes = b""

    def blocks(self) -> Iterator[bytes]:
        self.truncated_stream = False
        yield self.data


def _complete_end(data: bytes, statements: bool) -> int:
    """Where the complete part of ``data`` ends: after its last line ending in ``;`` (tree files) or after
    its last line break (tab-separated rows); 0 when nothing is complete yet."""
    end = data.rfind(b"\n")
    if not statements:
        return end + 1
    while end >= 0:
        last = end - 1
        while last >= 0 and data[last] in b" \t\r":
            last -= 1
        if last >= 0 and data[last] == ord(";"):
            return end + 1
        end = data.rfind(b"\n", 0, end)
    return 0


@dataclass(eq=False)
class TreeFollower:
    """One growing tree file: the index of its complete trees so far, and how many bytes were read and parsed.

    ``bytes_read`` counts bytes read from the file, ``bytes_parsed`` those the indexer was given (each once;
    the short header it is given again with every later piece is not the file's and is not counted).
    """

    source: ByteSource
    index: FileIndex = field(init=False)
    bytes_read: int = 0
    bytes_parsed: int = 0
    pending: bytes = b""
    head: bytes | None = None  # what precedes every later piece for the indexer, once the first tree is read

    def __post_init__(self) -> None:
        self.index = FileIndex(self.source)

    @property
    def label(self) -> str:
        return self.source.label

    def poll(self) -> int:
        """Reads what was appended and indexes its complete trees; returns how many trees were added."""
        data = _read_from(self.source.path, self.bytes_read, self.label)
        if self.bytes_read == 0 and data.startswith(_COMPRESSED):
            raise BrantoveilError(f"{self.label}: a compressed file cannot be followed while it is written")
        self.bytes_read += len(data)
        self.pending += data
        tab_separated = (self.head is None and b"\t" in self.pending.split(b"\n", 1)[0]) \
            or self.index.format == "RevBayes trace"
        cut = _complete_end(self.pending, statements=not tab_separated)
        if cut == 0:
            return 0
        piece = self.pending[:cut]
        if self.head is None and not self._holds_first_tree(piece, tab_separated):
            return 0
        if self.head is not None and self.index.format == "NEXUS" and not _TREE_STATEMENT.search(piece):
            self._consume(cut)  # the end of the trees block, or blank lines
            return 0
        prefix = self.head or b""
        part = index_file(_MemorySource(self.label, self.source.path, data=prefix + piece))
        self._merge(part, self.bytes_parsed - len(prefix))
        self._consume(cut)
        if self.head is None:
            self.head = _head_of(part.format, piece)
        return len(part)

    def _holds_first_tree(self, piece: bytes, tab_separated: bool) -> bool:
        if tab_separated:
            return piece.count(b"\n") >= 2  # the header and one row
        if piece.lstrip()[:6].upper() == b"#NEXUS":
            return _TREE_STATEMENT.search(piece) is not None
        return True

    def _consume(self, cut: int) -> None:
        self.bytes_parsed += cut
        self.pending = self.pending[cut:]

    def _merge(self, part: FileIndex, shift: int) -> None:
        index = self.index
        if not index.names:
            index.format, index.translate, index.first_tree = part.format, part.translate, part.first_tree
        offset = len(index.names)
        names = part.names if part.format != "Newick" else [str(offset + k + 1) for k in range(len(part))]
        if part.format == "RevBayes trace" and np.all(np.asarray(part.generations) < 0):
            names = [str(offset + k + 1) for k in range(len(part))]
        index.names.extend(names)
        index.generations.extend(part.generations)
        index.starts.extend(array("q", (s + shift for s in part.starts)))
        index.ends.extend(array("q", (e + shift for e in part.ends)))
        index.lengths.extend(part.lengths)
        index.quoted = index.quoted or part.quoted


def _first_trees(index: FileIndex, count: int) -> FileIndex:
    """The index of a file's first ``count`` trees."""
    if count == len(index):
        return index
    return replace(index, names=index.names[:count], generations=index.generations[:count],
                   starts=index.starts[:count], ends=index.ends[:count], lengths=index.lengths[:count])


def _head_of(fmt: str, first_piece: bytes) -> bytes:
    """What the indexer must see before a later piece of a file of this format."""
    if fmt == "NEXUS":
        return b"#NEXUS\nbegin trees;\n"
    if fmt == "RevBayes trace":
        return first_piece.lstrip().split(b"\n", 1)[0] + b"\n"
    return b""


@dataclass(eq=False)
class ParameterFollower:
    """One growing parameter log: its header and every complete row so far."""

    path: Path
    label: str
    bytes_read: int = 0
    bytes_parsed: int = 0
    pending: bytes = b""
    header: list[str] | None = None
    lines_seen: int = 0
    rows: list[NDArray[np.float64]] = field(default_factory=list)
    n_rows: int = 0

    def poll(self) -> int:
        """Reads what was appended and parses its complete rows; returns how many rows were added."""
        data = _read_from(self.path, self.bytes_read, self.label)
        self.bytes_read += len(data)
        self.pending += data
        cut = _complete_end(self.pending, statements=False)
        if cut == 0:
            return 0
        lines = self.pending[:cut].decode("utf-8", errors="replace").split("\n")[:-1]
        first_line = self.lines_seen + 1
        if self.header is None:
            if not any(line.strip() and not line.strip().startswith(("#", "[")) for line in lines):
                return 0  # comments only so far
            at = header_line(lines, self.label)
            self.header = [cell.strip() for cell in lines[at].rstrip("\r").rstrip("\t ").split("\t")]
            if len(self.header) < 2:
                raise BrantoveilError(f"{self.label} line {first_line + at}: the header has no parameter columns")
            first_line += at + 1
            body = lines[at + 1 :]
        else:
            body = lines
        self.bytes_parsed += cut
        self.lines_seen += len(lines)
        self.pending = self.pending[cut:]
        table = fast_table(body, len(self.header))
        if table is None:
            rows = [parse_row(line.rstrip("\r").rstrip("\t "), self.header, self.label, first_line + k)
                    for k, line in enumerate(body) if line.strip()]
            table = np.asarray(rows, dtype=np.float64).reshape(len(rows), len(self.header))
        previous = self.rows[-1][-1:, 0] if self.rows else np.zeros(0)
        steps = np.diff(np.concatenate((previous, table[:, 0])))
        if np.any(steps <= 0) or not np.all(table[:, 0] == np.round(table[:, 0])):
            raise BrantoveilError(f"{self.label}: the {self.header[0]} column must hold strictly increasing "
                                  f"whole numbers")
        if len(table):
            self.rows.append(table)
            self.n_rows += len(table)
        return len(table)

    def trace(self) -> ParameterTrace:
        """Every row so far, as `read_trace` gives a whole file."""
        assert self.header is not None
        table = np.concatenate(self.rows) if self.rows else np.zeros((0, len(self.header)))
        return ParameterTrace(label=self.label, path=os.fspath(self.path),
                              format=GENERATION_COLUMNS[self.header[0].lower()], generation_column=self.header[0],
                              columns=tuple(self.header[1:]), generations=table[:, 0].astype(np.int64),
                              values=np.ascontiguousarray(table[:, 1:]), rows_in_file=len(table))


def _read_from(path: Path, offset: int, label: str) -> bytes:
    try:
        with open(path, "rb") as handle:
            if os.fstat(handle.fileno()).st_size < offset:  # a sampler started again from the start
                raise BrantoveilError(f"{label} is shorter than the {offset} bytes already read: it was written "
                                      f"again from the start; watch the new run afresh")
            handle.seek(offset)
            return handle.read()
    except OSError as error:
        raise BrantoveilError(f"cannot read {label}: {error.strerror or error}") from None


@dataclass(eq=False)
class Watcher:
    """The followed runs and what the last judgement saw."""

    trees: list[TreeFollower]
    parameters: list[ParameterFollower]
    judged_trees: int = 0

    @classmethod
    def open(cls, runs: Sequence[str | os.PathLike[str]], parameter_files: Sequence[Path]) -> Watcher:
        sources = []
        for run in runs:
            if os.fspath(run) == "-":
                raise BrantoveilError("--watch follows files: standard input (-) cannot be followed")
            sources.append(open_source(run))
        shorten_labels(sources)
        labels = run_labels(parameter_files)
        return cls([TreeFollower(source) for source in sources],
                   [ParameterFollower(Path(path), label or os.fspath(path))
                    for path, label in zip(parameter_files, labels, strict=True)])

    def poll(self) -> int:
        """One read of every file; the trees added."""
        added = sum(follower.poll() for follower in self.trees)
        for follower in self.parameters:
            follower.poll()
        return added

    @property
    def tree_counts(self) -> list[int]:
        return [len(follower.index) for follower in self.trees]

    @property
    def ready(self) -> bool:
        """Every run has FIRST_TREES trees and every parameter log FIRST_TREES rows."""
        return min(self.tree_counts) >= FIRST_TREES and all(f.n_rows >= FIRST_TREES for f in self.parameters)

    def due(self) -> bool:
        """Ready, and grown by REJUDGE_GROWTH since the last judgement (or never judged)."""
        total = sum(self.tree_counts)
        return self.ready and (self.judged_trees == 0 or total >= self.judged_trees * (1 + REJUDGE_GROWTH))

    @property
    def stale(self) -> bool:
        """Trees came after the last judgement."""
        return self.ready and sum(self.tree_counts) > self.judged_trees

    def _common_generations(self) -> list[int | None]:
        """Per run, the last generation both its trees and its parameter rows have reached (None: no limit).

        A sampler flushes its tree file and its parameter log at different moments, so one may be ahead of the
        other; a judgement reads both up to where both have come.
        """
        if len(self.parameters) != len(self.trees):
            return [None] * len(self.trees)
        limits: list[int | None] = []
        for trees, rows in zip(self.trees, self.parameters, strict=True):
            generations = trees.index.generations
            if not generations or generations[-1] < 0 or not rows.rows:
                limits.append(None)
                continue
            limits.append(min(int(generations[-1]), int(rows.rows[-1][-1, 0])))
        return limits

    def sample(self) -> Sample:
        """Every tree read so far, up to the generation the run's parameter rows have reached too."""
        indexes = []
        for follower, limit in zip(self.trees, self._common_generations(), strict=True):
            index = follower.index
            if limit is not None:
                index = _first_trees(index, bisect_right(index.generations, limit))
            indexes.append(index)
        return sample_from_indexes(indexes)

    def parameters_from(self, burnin: BurnIn, thin: int, min_ess: float, include: Sequence[str],
                        exclude: Sequence[str]) -> Callable[[Sequence[TreeGenerations]], ParameterReport | None]:
        """The parameter report of the rows read so far, up to the generation the run's trees have reached."""
        def report(trees: Sequence[TreeGenerations]) -> ParameterReport | None:
            if not self.parameters:
                return None
            traces = []
            for follower, limit in zip(self.parameters, self._common_generations(), strict=False):
                trace = follower.trace()
                if limit is not None:
                    kept = int(np.searchsorted(trace.generations, limit, side="right"))
                    trace = replace(trace, generations=trace.generations[:kept], values=trace.values[:kept],
                                    rows_in_file=kept)
                traces.append(trace)
            return judged_traces(traces, trees, burnin, thin, min_ess, include, exclude)
        return report

    @property
    def bytes_read(self) -> int:
        return sum(f.bytes_read for f in self.trees) + sum(f.bytes_read for f in self.parameters)


def status_line(watcher: Watcher, report: ConvergenceReport | None, judged_now: bool) -> str:
    """One line per update: trees per run, then the verdict's failing criteria with their values and the
    generations they still need."""
    runs = ", ".join(f"{f.label} {len(f.index)}" for f in watcher.trees)
    stamp = time.strftime("%H:%M:%S")
    if report is None:
        return f"{stamp} trees: {runs}; waiting for {FIRST_TREES} trees (and rows) per run"
    when = "" if judged_now else f" (judged at {watcher.judged_trees} trees)"
    verdict = report.verdict
    if verdict.passed:
        return f"{stamp} trees: {runs}; every criterion passes ({len(verdict.criteria)}){when}"
    parts = []
    for c in verdict.failed:
        value = "n/a" if math.isnan(c.value) else f"{c.value:.4g}"
        more = describe(c.generations_needed)
        parts.append(f"{c.name} {value}" + (f" ({more})" if more else ""))
    return f"{stamp} trees: {runs}; failing {len(parts)} of {len(verdict.criteria)}: " + "; ".join(parts) + when


def follow(watcher: Watcher, judge: Callable[[Sample], ConvergenceReport],
           publish: Callable[[ConvergenceReport], None], *, every: float, until_pass: bool,
           timeout: float | None, err: TextIO | None = None,
           sleep: Callable[[float], None] | None = None) -> tuple[ConvergenceReport | None, bool]:
    """Polls, judges when due, publishes every judgement and prints a status line per update, until every
    criterion passes (``until_pass``) or ``timeout`` seconds have gone; returns the last report and whether
    it ended by passing. Ctrl-C propagates (the last published outputs stay whole)."""
    out = sys.stderr if err is None else err
    deadline = None if timeout is None else time.monotonic() + timeout
    report: ConvergenceReport | None = None
    while True:
        watcher.poll()
        over = deadline is not None and time.monotonic() >= deadline
        judged_now = watcher.due() or (over and watcher.stale)
        if judged_now:
            report = judge(watcher.sample())
            watcher.judged_trees = sum(watcher.tree_counts)
            publish(report)
        print(status_line(watcher, report, judged_now), file=out, flush=True)
        if until_pass and report is not None and report.verdict.passed:
            return report, True
        if over:
            return report, False
        wait = every if deadline is None else max(0.0, min(every, deadline - time.monotonic()))
        (sleep or time.sleep)(wait)


__all__ = ["DEFAULT_EVERY", "FIRST_TREES", "REJUDGE_GROWTH", "ParameterFollower", "TreeFollower", "Watcher",
           "follow", "status_line"]
