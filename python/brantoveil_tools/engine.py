"""Calls into the engine, written once: a counter that frees the interpreter, the thread count, placed errors,
and the one reduction every medoid is found with (summed distances of trees to a set of trees).

Every call passes a `ProgressCounter`, shown or not, so the engine computes without holding the
interpreter lock and other Python threads (a notebook, a Dask worker, a progress bar) keep running.
A tree the engine cannot read comes back as a `TreeError` naming the file and the tree.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from functools import partial
from typing import Any

import brantoveil
import numpy as np
import numpy.typing as npt

from . import _engine
from .errors import BrantoveilError, TreeError
from .policy import Metric
from .policy import metric as as_metric
from .progress import run_with_progress
from .sample import Sample
from .treefile import leaf_labels

THREADS_VARIABLE = "BRANTOVEIL_THREADS"
"""The environment variable that sizes the worker pool when it starts (a positive integer)."""

_SHOWN_TAXA = 3
_DIFFERENT_TAXA = "its taxa differ from the first tree's"


def set_threads(n: int) -> None:
    """Runs the engine's worker pool on `n` threads in all (the calling thread included).

    Takes effect when the pool starts, at the first engine call of the process; it overrides
    ``BRANTOVEIL_THREADS``. Raises `BrantoveilError` when `n` is not a positive integer, or when the
    pool already runs with another size.
    """
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise BrantoveilError(f"the thread count must be a positive integer, not {n!r}")
    try:
        accepted = _engine.set_threads(n)
    except ValueError as error:
        raise BrantoveilError(str(error)) from None
    if not accepted:
        raise BrantoveilError(f"the engine already runs on {_engine.pool_threads()} threads; "
                              f"set the thread count before the first computation")


def pool_threads() -> int:
    """The number of threads the engine's worker pool runs on (or will start with)."""
    check_environment()
    return int(_engine.pool_threads())


def check_environment() -> None:
    """Refuses a ``BRANTOVEIL_THREADS`` that is set but not a positive integer (the engine would ignore it)."""
    text = os.environ.get(THREADS_VARIABLE)
    if text is None or text == "":
        return
    if not (text.isascii() and text.isdigit() and 1 <= int(text) <= 4096):
        raise BrantoveilError(f"{THREADS_VARIABLE} must be a whole number of threads between 1 and 4096, "
                              f"not {text!r}")


def call(function: Callable[..., Any], sample: Sample, rooted: bool, progress: bool | None) -> Any:
    """Runs one of the engine's reading functions on a sample, with a counter; errors name the file and tree."""
    check_environment()
    names = list(sample.names)

    def run(texts: Iterator[str], counter: brantoveil.ProgressCounter) -> Any:
        return function(names, texts, list(sample.translate_maps), sample.map_indices.tolist(),
                        rooted=rooted, progress=counter)

    try:
        return run_with_progress(run, sample.newick(), len(sample), progress)
    except _engine.TreeError as error:
        raise placed(error, sample) from None
    except ValueError as error:
        raise BrantoveilError(str(error)) from None


def pairwise(sample: Sample, metric: str | Metric, rooted: bool, progress: bool | None,
             exports: bool = False) -> tuple[Any, ...]:
    """The whole matrix of `metric` as the engine answers it: (names, matrix bytes), or the export six-tuple.

    The split exports are built only when asked for: without them memory does not grow with the
    number of distinct splits.
    """
    chosen = as_metric(metric)
    result: tuple[Any, ...] = call(partial(_engine.pairwise, chosen.name, exports=exports), sample, rooted,
                                   progress)
    return result


def gene_matrix(metric: str, names: Sequence[str], texts: Sequence[str], translate_maps: Sequence[dict[str, str]],
                map_indices: Sequence[int], rooted: bool, keep: str | Sequence[str] | None, reference: bool,
                progress: bool | None, leave_same_taxa: bool = False) -> tuple[list[str], bytes, bytearray]:
    """Distances between trees that each hold their own taxa, on the taxa each pair shares (cut to `keep`):
    (taxa, presence bytes, matrix bytes); with `reference` the last tree against every other one; with
    `leave_same_taxa` the pairs of distinct trees holding the same taxa are left as 0 for `same_taxa_matrix`."""
    check_environment()

    def run(drawn: Iterator[str], counter: brantoveil.ProgressCounter) -> tuple[list[str], bytes, bytearray]:
        return _engine.genes(metric, list(names), drawn, list(translate_maps), list(map_indices), rooted=rooted,
                             progress=counter, keep=keep, reference=reference, leave_same_taxa=leave_same_taxa)

    try:
        return run_with_progress(run, iter(texts), len(texts), progress)
    except _engine.TreeError as error:
        k = error.tree_index
        if k is None or not 0 <= k < len(names):
            raise BrantoveilError(str(error)) from None
        what = "not a Newick tree: " if error.kind == "syntax" else "the tree "
        raise TreeError(f"{names[k]}: {what}{error.reason}", tree_index=k, path=names[k].rpartition(":")[0],
                        tree_number=None, offset=error.offset, kind=error.kind) from None
    except ValueError as error:
        raise BrantoveilError(str(error)) from None


def same_taxa_matrix(metric: str, names: Sequence[str], texts: Sequence[str],
                     translate_maps: Sequence[dict[str, str]], map_indices: Sequence[int],
                     rooted: bool) -> npt.NDArray[Any]:
    """Today's whole-matrix kernel on trees that all hold the same taxa, as a square array."""
    result = _engine.pairwise(metric, list(names), iter(texts), list(translate_maps), list(map_indices),
                              rooted=rooted)
    n = len(names)
    return np.frombuffer(result[1], dtype=as_metric(metric).dtype).reshape(n, n)


def encode(sample: Sample, rooted: bool, lengths: bool, progress: bool | None) -> _engine.EncodedSample:
    """The sample read once into the engine's compact form (with branch lengths when `lengths`)."""
    native: _engine.EncodedSample = call(partial(_engine.encode, lengths=lengths), sample, rooted, progress)
    return native


_SUM_ROWS = 1 << 16

Trees = range | Sequence[int] | npt.NDArray[np.integer[Any]]
"""Tree indices into an encoded sample."""
SplitRows = tuple[npt.NDArray[np.int64], npt.NDArray[np.integer[Any]]]
"""Every tree's non-pendant split IDs as compressed rows: (indptr, ids), tree t holding ids[indptr[t]:indptr[t + 1]]."""


def split_rows(native: _engine.EncodedSample) -> SplitRows:
    """The engine's split rows of every tree (as `presence_csr` gives them)."""
    indptr, ids, _ = native.presence_csr()
    return np.frombuffer(indptr, dtype="<i8").astype(np.int64), np.frombuffer(ids, dtype="<u4")


def distance_sums(native: _engine.EncodedSample, metric: str | Metric, rows: Trees, cols: Trees,
                  splits: SplitRows | None = None) -> npt.NDArray[np.float64]:
    """For every tree of `rows`, its distances to the trees of `cols` summed: the engine's row reduction.

    Robinson-Foulds needs no pair of trees: with |t| the non-pendant splits of t and c_C(s) the number of
    trees of C holding split s, sum_{u in C} RF(t, u) = |C| |t| + sum_{u in C} |u| - 2 sum_{s in t} c_C(s).
    It is computed in integers, so it is the very number the engine's reduction gives (sums of whole
    distances, exact in doubles below 2^53), at the cost of one pass over the splits instead of
    len(rows) x len(cols) distances. `splits` are the split rows when the caller holds them already (any
    numbering of the splits will do, and splits every tree holds may be left out: they cancel).
    """
    chosen = as_metric(metric)
    if chosen.name != "rf":
        return _reduced_sums(native, chosen.name, rows, cols)
    indptr, ids = split_rows(native) if splits is None else splits
    row_index, col_index = _indices(rows), _indices(cols)
    sizes = np.diff(indptr)
    every = isinstance(cols, range) and cols == range(len(sizes))  # no copy of every entry's position
    held = np.bincount(ids if every else ids[_entries(indptr, col_index)], minlength=int(ids.max(initial=0)) + 1)
    held = held.astype(np.int64)
    base = int(sizes[col_index].sum())
    result = np.empty(len(row_index), dtype=np.float64)
    # Rows a band at a time, so a sample of millions of trees needs no array per entry of all of them.
    for start in range(0, len(row_index), _SUM_ROWS):
        band = row_index[start : start + _SUM_ROWS]
        # Per row tree, the sum of held[] over its splits: differences of one running sum over its entries.
        running = np.concatenate(([0], np.cumsum(held[ids[_entries(indptr, band)]], dtype=np.int64)))
        ends = np.cumsum(sizes[band], dtype=np.int64)
        shared = running[ends] - running[ends - sizes[band]]
        result[start : start + len(band)] = len(col_index) * sizes[band] + base - 2 * shared
    return result


def mean_distances(native: _engine.EncodedSample, metric: str | Metric, candidates: Trees, reference: Trees,
                   splits: SplitRows | None = None) -> npt.NDArray[np.float64]:
    """Every candidate tree's mean distance to the reference trees (itself included when it is one of them)."""
    count = len(reference)
    return distance_sums(native, metric, candidates, reference, splits) / max(count, 1)


def medoid(native: _engine.EncodedSample, metric: str | Metric, candidates: Trees, reference: Trees,
           splits: SplitRows | None = None) -> tuple[int, float]:
    """The candidate of least mean distance to the reference trees (the first of `candidates` among ties)
    and that mean; chosen on the exact sums, so ties are never made by rounding."""
    sums = distance_sums(native, metric, candidates, reference, splits)
    best = int(np.argmin(sums))
    return int(_indices(candidates)[best]), float(sums[best] / max(len(reference), 1))


def _indices(trees: Trees) -> npt.NDArray[np.int64]:
    if isinstance(trees, range):
        return np.arange(trees.start, trees.stop, trees.step, dtype=np.int64)
    return np.ascontiguousarray(trees, dtype=np.int64)


def _entries(indptr: npt.NDArray[np.int64], trees: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """Positions of the given trees' entries in the split IDs, tree after tree."""
    starts, sizes = indptr[trees], indptr[trees + 1] - indptr[trees]
    ends = np.cumsum(sizes, dtype=np.int64)
    # Every entry's offset from its tree's first entry, plus that tree's start.
    positions: npt.NDArray[np.int64] = np.arange(int(ends[-1]) if len(ends) else 0, dtype=np.int64) \
        + np.repeat(starts - (ends - sizes), sizes)
    return positions


def _reduced_sums(native: _engine.EncodedSample, metric: str, rows: Trees, cols: Trees) -> npt.NDArray[np.float64]:
    def indices(trees: Trees) -> range | memoryview:
        return trees if isinstance(trees, range) else _indices(trees).data

    try:
        result = native.block_reduce(metric, indices(rows), indices(cols))
    except MemoryError:
        raise BrantoveilError(f"not enough memory to sum {len(rows)} x {len(cols)} distances") from None
    sums: npt.NDArray[np.float64] = np.frombuffer(result["sums"], dtype="<f8").astype(np.float64)
    return sums


def placed(error: _engine.TreeError, sample: Sample) -> BrantoveilError:
    """The engine's reading error as the user reads it: the file, the tree as the file names it, what is wrong."""
    k = error.tree_index
    if k is None or not 0 <= k < len(sample):
        return BrantoveilError(str(error))
    run = int(sample.runs[k])
    label = sample.run_labels[run]
    where = f"{label}, tree {sample.tree_names[k]}"
    if error.kind == "syntax":
        message = f"{where}: not a Newick tree: {error.reason}"
    elif error.kind == "leaf_set":
        message = f"{where}: {_taxa_difference(sample, k) or _DIFFERENT_TAXA}"
    elif error.kind == "tree":
        message = f"{where}: the tree {error.reason}"
    else:
        message = f"{where}: {error}"
    return TreeError(message, tree_index=k, path=_path(sample, run), tree_number=_tree_number(sample, k, run),
                     offset=error.offset, kind=error.kind)


def _taxa(sample: Sample, k: int) -> set[str]:
    text = next(sample.subset([k]).newick())
    table = sample.translate_maps[int(sample.map_indices[k])]
    return {table.get(label, label) for label in leaf_labels(text)}


def _taxa_difference(sample: Sample, k: int) -> str:
    """"its taxa differ from the first tree's (missing: X; extra: Y)", or "" when the texts do not tell."""
    try:
        first, here = _taxa(sample, 0), _taxa(sample, k)
    except (BrantoveilError, OSError, UnicodeDecodeError, StopIteration):
        return ""
    parts = [f"{word}: {_few(sorted(names))}" for word, names in (("missing", first - here), ("extra", here - first))
             if names]
    return f"{_DIFFERENT_TAXA} ({'; '.join(parts)})" if parts else ""


def _few(names: list[str]) -> str:
    shown = ", ".join(names[:_SHOWN_TAXA])
    return shown + (f" and {len(names) - _SHOWN_TAXA} more" if len(names) > _SHOWN_TAXA else "")


def _path(sample: Sample, run: int) -> str:
    runs = sample.selection.runs
    return runs[run].path if run < len(runs) and runs[run].path else sample.run_labels[run]


def _tree_number(sample: Sample, k: int, run: int) -> int | None:
    """The tree's 1-based position in its file, when the sample holds the whole selection of that run."""
    runs = sample.selection.runs
    if run >= len(runs):
        return None
    chosen = runs[run]
    first = int(sample.runs.searchsorted(run))
    held = int(sample.runs.searchsorted(run, side="right")) - first
    if held != chosen.kept:
        return None  # a subset: positions are no longer dropped + thin * i
    return chosen.dropped + sample.selection.thin * (k - first) + 1
