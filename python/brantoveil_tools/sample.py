"""A selected sample of trees from one or more runs, streamed to the engine in a second pass."""

from __future__ import annotations

import os
import warnings
from array import array
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import BrantoveilError
from .selection import BurnIn, RunSelection, Selection, check_thin, kept_positions, parse_burnin
from .textio import ByteSource, open_source, printable
from .treefile import FileIndex, RunTaxa, has_lengths, index_file, quoted_as_placeholders, run_taxa, tree_texts

PathLike = str | os.PathLike[str]


class TruncatedFileWarning(UserWarning):
    """A tree file ends in the middle of a tree (a run still being written); the complete trees are used."""


@dataclass(frozen=True)
class _Run:
    """Where one run's kept trees live: a file and byte ranges, or texts held in memory; whether
    each has branch lengths, and whether quoted names must become placeholders on the way out."""

    source: ByteSource | None
    starts: array[int] = field(default_factory=lambda: array("q"))
    ends: array[int] = field(default_factory=lambda: array("q"))
    texts: tuple[str, ...] = ()
    lengths: bytes = b""
    quoted: bool = False

    def subset(self, local: npt.NDArray[np.int64]) -> _Run:
        lengths = bytes(self.lengths[k] for k in local)
        if self.source is None:
            return _Run(None, texts=tuple(self.texts[k] for k in local), lengths=lengths, quoted=self.quoted)
        return _Run(self.source, array("q", (self.starts[k] for k in local)), array("q", (self.ends[k] for k in local)),
                    lengths=lengths, quoted=self.quoted)


@dataclass(frozen=True)
class LengthsStatus:
    """Which kept trees have branch lengths (the weighted metrics need them).

    Attributes
    ----------
    trees : int
        The kept trees.
    lacking : int
        How many of them have no branch length at all.
    first_lacking : str
        The name (``"run:tree"``) of the first such tree, or ``""``.
    """

    trees: int
    lacking: int
    first_lacking: str

    @property
    def state(self) -> str:
        """``"all"`` trees have lengths, ``"some"`` do, or ``"none"`` does."""
        return "all" if not self.lacking else "none" if self.lacking == self.trees else "some"


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class Sample:
    """The kept trees of one or more runs, with their names, runs, generations and translate tables.

    Nothing but names and byte offsets is held: `newick()` reads the tree texts from the files again,
    so a sample of any size costs a few dozen bytes per tree.

    Attributes
    ----------
    names : tuple of str
        ``"run-label:tree-name"`` for every kept tree, in order.
    tree_names : tuple of str
        The tree names as the files give them (``gen.1000``, ``STATE_1000``; positions for Newick files).
    runs : ndarray of int64
        The run (file) index of every kept tree.
    generations : ndarray of int64
        The generation read from each tree name, or -1 where the name carries none.
    run_labels : tuple of str
        One label per run: the file name as given.
    taxa : tuple of str
        The taxon names, sorted; every run has exactly these.
    translate_maps : tuple of dict
        One translate table per run (tree label -> taxon name); an empty one means labels are names.
    map_indices : ndarray of int64
        For every kept tree, the index of its run's translate table.
    selection : Selection
        The burn-in and thinning applied, and what they kept of every run.
    """

    names: tuple[str, ...]
    tree_names: tuple[str, ...]
    runs: npt.NDArray[np.int64]
    generations: npt.NDArray[np.int64]
    run_labels: tuple[str, ...]
    taxa: tuple[str, ...]
    translate_maps: tuple[dict[str, str], ...]
    map_indices: npt.NDArray[np.int64]
    selection: Selection
    _runs: tuple[_Run, ...] = field(repr=False, compare=False)

    def __len__(self) -> int:
        return len(self.names)

    def __repr__(self) -> str:
        counts = np.bincount(self.runs, minlength=len(self.run_labels)).tolist()
        runs = [f"{label} ({count})" for label, count in zip(self.run_labels, counts, strict=True)]
        return (f"<Sample: {len(self)} trees from {_count(len(self.run_labels), 'run')}, "
                f"{_count(len(self.taxa), 'taxon', 'taxa')}>\n"
                f"runs:  {_few(runs, 4)}\n"
                f"taxa:  {_few(list(self.taxa), 6)}\n"
                f"trees: {_few(list(self.names), 3)}\n"
                f"burn-in {self.selection.burnin}, thin {self.selection.thin}")

    def newick(self) -> Iterator[str]:
        """The kept trees' Newick texts, in order, read from the files as needed.

        Single-quoted taxon names come out as the placeholders that `translate_maps` resolves.
        """
        for run, data in enumerate(self._runs):
            if data.source is None:
                if data.quoted:
                    yield from (quoted_as_placeholders(text) if "'" in text else text for text in data.texts)
                else:
                    yield from data.texts
                continue
            base = int(np.searchsorted(self.runs, run))
            for k, raw in enumerate(tree_texts(data.source, data.starts, data.ends)):
                try:
                    text = raw.decode("utf-8")
                except UnicodeDecodeError as error:
                    raise BrantoveilError(f"{self.run_labels[run]}, tree {self.tree_names[base + k]}: "
                                          f"{_utf8_problem(raw, error)}") from None
                yield quoted_as_placeholders(text) if data.quoted and "'" in text else text

    def lengths_status(self) -> LengthsStatus:
        """Whether all, some or none of the kept trees have branch lengths, and the first without."""
        lacking = 0
        first = ""
        for run, data in enumerate(self._runs):
            missing = len(data.lengths) - sum(data.lengths)
            if missing and not first:
                base = int(np.searchsorted(self.runs, run))
                first = self.names[base + data.lengths.index(0)]
            lacking += missing
        return LengthsStatus(len(self), lacking, first)

    def subset(self, indices: Sequence[int] | npt.NDArray[np.integer[Any]]) -> Sample:
        """The sample restricted to the kept trees at `indices` (ascending, no repeats)."""
        picked = np.asarray(indices, dtype=np.int64)
        if picked.ndim != 1 or (picked.size and (picked[0] < 0 or picked[-1] >= len(self))):
            raise BrantoveilError(f"subset indices must lie in 0..{len(self) - 1}")
        if picked.size > 1 and not np.all(np.diff(picked) > 0):
            raise BrantoveilError("subset indices must be ascending without repeats")
        runs = []
        for run, data in enumerate(self._runs):
            base = int(np.searchsorted(self.runs, run))
            runs.append(data.subset(picked[self.runs[picked] == run] - base))
        return Sample(
            names=tuple(self.names[k] for k in picked), tree_names=tuple(self.tree_names[k] for k in picked),
            runs=self.runs[picked], generations=self.generations[picked], run_labels=self.run_labels,
            taxa=self.taxa, translate_maps=self.translate_maps, map_indices=self.map_indices[picked],
            selection=self.selection, _runs=tuple(runs))


def read_sample(paths: PathLike | Sequence[PathLike], burnin: BurnIn = 0.25, thin: int = 1,
                progress: bool | None = False) -> Sample:
    """Reads the tree names of one or more tree files (one run each) and selects the trees to compare.

    Parameters
    ----------
    paths : path or sequence of paths
        MrBayes ``.t``, BEAST or RevBayes ``.trees`` (NEXUS or tab-separated), or Newick files, plain
        or gzip-compressed; ``"-"`` reads standard input.
    burnin : float, int or str
        Dropped from the start of every run: a fraction of its trees (``0.25``, ``"25%"``; the first
        floor(0.25 m) of m trees, as MrBayes does), a count of trees (``2500``), or a generation
        (``"gen:250000"``: trees whose name carries a generation below 250000).
    thin : int
        Keep every `thin`-th tree after the burn-in.
    progress : bool or None
        A progress bar on stderr while the files are scanned; None shows it only on a terminal.

    Raises
    ------
    BrantoveilError
        A missing or unreadable file, a malformed file, a file given twice, runs with different
        taxa, a selection that keeps no tree of a run.
    """
    parse_burnin(burnin)  # a bad selection fails before any file is read
    thin = check_thin(thin)
    path_list = [paths] if isinstance(paths, str | os.PathLike) else list(paths)
    if not path_list:
        raise BrantoveilError("no tree files given")
    if sum(os.fspath(path) == "-" for path in path_list) > 1:
        raise BrantoveilError("standard input (-) is given twice")
    sources = [open_source(path) for path in path_list]
    _refuse_repeats(sources)
    shorten_labels(sources)
    indexes = scan_files(sources, progress)
    for index in indexes:
        if index.tail:
            preview = printable(index.tail[:40].replace(b"\n", b" ").decode("utf-8", "replace"))
            warnings.warn(f"{index.source.label}: the last tree is cut off and skipped "
                          f"({len(index.tail)} bytes: {preview}...)", TruncatedFileWarning, stacklevel=2)
    return sample_from_indexes(indexes, burnin, thin)


def shorten_labels(sources: Sequence[ByteSource]) -> None:
    """Short labels where the file names tell the runs apart, the paths as given where they do not."""
    # A pipe (<(zcat run1.t.gz) is /dev/fd/63) keeps its path: its base name would be a bare number.
    base_names = [source.label if os.path.dirname(source.label) in _DESCRIPTOR_FOLDERS
                  else os.path.basename(source.label) for source in sources]
    if len(set(base_names)) == len(base_names):
        for source, base_name in zip(sources, base_names, strict=True):
            source.label = base_name


def sample_from_indexes(indexes: Sequence[FileIndex], burnin: BurnIn = 0, thin: int = 1) -> Sample:
    """The sample the runs' indexes give after a burn-in and thinning (the second half of `read_sample`)."""
    rule = parse_burnin(burnin)
    thin = check_thin(thin)
    taxa, maps = _match_taxa(list(indexes))
    runs: list[_Run] = []
    selections: list[RunSelection] = []
    names: list[str] = []
    tree_names: list[str] = []
    run_of: list[int] = []
    generations: list[int] = []
    for run, index in enumerate(indexes):
        label = index.source.label
        trees = len(index)
        dropped = rule.dropped(list(index.generations) if rule.kind == "generation" else None, trees, label)
        kept = kept_positions(dropped, trees, thin)
        if not kept:
            raise BrantoveilError(f"{label}: burn-in {rule.text} drops all {trees} trees of this run")
        runs.append(_Run(index.source, array("q", (index.starts[k] for k in kept)),
                         array("q", (index.ends[k] for k in kept)), lengths=bytes(index.lengths[kept.start :: thin]),
                         quoted=index.quoted))
        selections.append(RunSelection(label, str(index.source.path) if not index.source.spooled else "-",
                                       index.format, trees, dropped, len(kept),
                                       index.names[kept[0]], index.names[kept[-1]]))
        for k in kept:
            tree_names.append(index.names[k])
            names.append(f"{label}:{index.names[k]}")
            generations.append(index.generations[k])
        run_of.extend([run] * len(kept))
    return Sample(
        names=tuple(names), tree_names=tuple(tree_names), runs=np.asarray(run_of, dtype=np.int64),
        generations=np.asarray(generations, dtype=np.int64),
        run_labels=tuple(index.source.label for index in indexes), taxa=taxa,
        translate_maps=tuple(maps), map_indices=np.asarray(run_of, dtype=np.int64),
        selection=Selection(rule.text, thin, tuple(selections)), _runs=tuple(runs))


def from_newick(trees: Iterable[str], names: Sequence[str] | None = None,
                translate: dict[str, str] | None = None, burnin: BurnIn = 0, thin: int = 1) -> Sample:
    """A sample of Newick strings held in memory (one run labelled ``"trees"``).

    `names` defaults to the positions 1, 2, ...; `translate` maps tree labels to taxon names.
    """
    texts = list(trees)
    if not all(isinstance(text, str) for text in texts):
        raise BrantoveilError("in-memory trees must be Newick strings")
    given = [str(k + 1) for k in range(len(texts))] if names is None else [str(name) for name in names]
    if len(given) != len(texts):
        raise BrantoveilError(f"{len(given)} names for {len(texts)} trees")
    rule = parse_burnin(burnin)
    thin = check_thin(thin)
    dropped = rule.dropped(None, len(texts), "trees") if rule.kind != "generation" else 0
    if rule.kind == "generation":
        raise BrantoveilError("burn-in by generation needs tree files; use a fraction or a count")
    kept = kept_positions(dropped, len(texts), thin)
    # Names given in a translate table are taken as they stand, as quoted names are.
    table = {label: (name, True) for label, name in (translate or {}).items()}
    quoted = any("'" in text for text in texts)
    run = run_taxa(texts[0] if texts else "", table, quoted)
    shown = {key: run.names[key] for key in run.keys}
    taxa = tuple(sorted(shown.values()))
    selection = Selection(rule.text, thin, (RunSelection(
        "trees", "", "Newick", len(texts), dropped, len(kept),
        given[kept[0]] if kept else "", given[kept[-1]] if kept else ""),))
    return Sample(
        names=tuple(f"trees:{given[k]}" for k in kept), tree_names=tuple(given[k] for k in kept),
        runs=np.zeros(len(kept), dtype=np.int64), generations=np.full(len(kept), -1, dtype=np.int64),
        run_labels=("trees",), taxa=taxa, translate_maps=(run.engine_map(shown),),
        map_indices=np.zeros(len(kept), dtype=np.int64), selection=selection,
        _runs=(_Run(None, texts=tuple(texts[k] for k in kept),
                    lengths=bytes(has_lengths(texts[k].encode("utf-8", "replace")) for k in kept),
                    quoted=quoted),))


def _refuse_repeats(sources: list[ByteSource]) -> None:
    # The same run twice would be compared with itself under two labels.
    seen: dict[tuple[int, int], str] = {}
    for source in sources:
        if source.identity is None:
            continue
        other = seen.get(source.identity)
        if other is None:
            seen[source.identity] = source.label
            continue
        if other == source.label:
            raise BrantoveilError(f"{printable(source.label)} is given twice")
        raise BrantoveilError(f"{printable(other)} and {printable(source.label)} are the same file, given twice")


_DESCRIPTOR_FOLDERS = ("/dev/fd", "/proc/self/fd")


def _match_taxa(indexes: list[FileIndex]) -> tuple[tuple[str, ...], list[dict[str, str]]]:
    """The sample's taxa and every run's translate map for the engine; runs must have the same taxa.

    Taxa are matched by key (quoted names as they stand, unquoted ones with underscores as blanks)
    and shown as the first run writes them.
    """
    runs: list[RunTaxa] = []
    for index in indexes:
        try:
            first = index.first_tree.decode("utf-8")
        except UnicodeDecodeError as error:
            raise BrantoveilError(f"{index.source.label}, tree {index.names[0]}: "
                                  f"{_utf8_problem(index.first_tree, error)}") from None
        runs.append(run_taxa(first, index.translate, index.quoted))
    shown = {key: runs[0].names[key] for key in runs[0].keys}
    label0 = indexes[0].source.label
    for index, run in zip(indexes[1:], runs[1:], strict=True):
        keys = set(run.keys)
        if keys != shown.keys():
            label = index.source.label
            only_here = sorted(run.names[key] for key in keys - shown.keys())
            only_there = sorted(shown[key] for key in shown.keys() - keys)
            parts = []
            if only_there:
                parts.append(f"{label} lacks {_few(only_there)}")
            if only_here:
                parts.append(f"{label} has {_few(only_here)} that {label0} lacks")
            alike = sorted(set(only_here) & set(only_there))
            if alike:  # the same text, quoted in one run and not in the other
                parts.append(f"{printable(alike[0])} is quoted in one run only, and a quoted name keeps its "
                             f"underscores while an unquoted one reads them as blanks")
            raise BrantoveilError(f"{label0} and {label} have different taxa: " + "; ".join(parts))
    return tuple(sorted(shown.values())), [run.engine_map(shown) for run in runs]


def _few(names: list[str], shown: int = 3) -> str:
    text = ", ".join(printable(name) for name in names[:shown])
    return text + (f" and {len(names) - shown} more" if len(names) > shown else "")


def _count(n: int, one: str, many: str = "") -> str:
    return f"{n} {one if n == 1 else many or one + 's'}"


def _utf8_problem(text: bytes, error: UnicodeDecodeError) -> str:
    near = text[max(0, error.start - 12) : error.start + 12].strip()
    return f"not valid UTF-8 ({error.reason} near {near!r})"


def scan_files(sources: list[ByteSource], progress: bool | None) -> list[FileIndex]:
    """The first pass over every file, with a bar of bytes read when asked."""
    if progress is False:
        return [index_file(source) for source in sources]
    from tqdm import tqdm  # only when a bar may be drawn: a quiet command never loads it

    # Decompressed bytes have no known total; plain files are counted against their sizes.
    total = None if any(source.compressed() for source in sources) else sum(s.path.stat().st_size for s in sources)
    with tqdm(total=total, desc="scanning files", unit="B", unit_scale=True, dynamic_ncols=True,
              disable=None if progress is None else not progress) as bar:
        return [index_file(source, bar.update) for source in sources]

