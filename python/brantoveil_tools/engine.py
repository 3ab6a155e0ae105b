"""The one door to the compiled engine: every call into `_engine` is made here, and answers in typed values.

Every reading call passes a `ProgressCounter`, shown or not, so the engine computes without holding the
interpreter lock and other Python threads (a notebook, a Dask worker, a progress bar) keep running.
A tree the engine cannot read comes back as a `TreeError` naming the file and the tree (`placement`).
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from functools import partial
from typing import TYPE_CHECKING, Any, cast

import brantoveil
import numpy as np
import numpy.typing as npt

from . import _engine
from ._engine import EncodedSample
from .errors import BrantoveilError, TreeError
from .placement import ReadFault, placed
from .policy import Metric
from .policy import metric as as_metric
from .progress import run_with_progress
from .sample import Sample
from .threads import THREADS_VARIABLE, check_count, check_environment

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = [
    "THREADS_VARIABLE",
    "EncodedSample",
    "Exports",
    "Pairwise",
    "Reduction",
    "TreeSplits",
    "Trees",
    "block",
    "block_into",
    "clades",
    "decode",
    "encode",
    "encode_texts",
    "gene_matrix",
    "pairwise",
    "pool_threads",
    "reduce",
    "same_taxa_matrix",
    "set_threads",
    "to_bytes",
    "tree_splits",
]

Trees = range | Sequence[int] | npt.NDArray[np.integer[Any]]
"""Tree indices into an encoded sample."""


def set_threads(n: int) -> None:
    """Runs the engine's worker pool on `n` threads in all (the calling thread included).

    Takes effect when the pool starts, at the first engine call of the process; it overrides
    ``BRANTOVEIL_THREADS``. Raises `BrantoveilError` when `n` is not a positive integer, or when the
    pool already runs with another size.
    """
    check_count(n)
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


def _read(function: Callable[..., Any], sample: Sample, *, rooted: bool, progress: bool | None) -> Any:
    """Runs one of the engine's reading functions on a sample, with a counter; errors name the file and tree."""
    check_environment()
    names = list(sample.names)

    def run(texts: Iterator[str], counter: brantoveil.ProgressCounter) -> Any:
        return function(names, texts, list(sample.translate_maps), sample.map_indices.tolist(),
                        rooted=rooted, progress=counter)

    try:
        return run_with_progress(run, sample.newick(), len(sample), progress)
    except _engine.TreeError as error:
        raise placed(_fault(error), sample) from None
    except ValueError as error:
        raise BrantoveilError(str(error)) from None


def _fault(error: _engine.TreeError) -> ReadFault:
    return ReadFault(str(error), error.kind, error.tree_index, error.offset, error.reason)


@dataclass(frozen=True, eq=False)  # holds bytes: compared by identity
class Exports:
    """The split exports of a whole-matrix call, as the engine wrote them."""

    leaf_names: tuple[str, ...]
    n_splits: int
    per_tree: bytes
    """n_trees x n_splits, row-major: presence as uint8 (Robinson-Foulds) or branch lengths as '<f8'."""
    clades: bytes
    """Leaf membership per split, ceil(n_leaves / 8) bytes each, bit i of byte i // 8 for leaf i."""


@dataclass(frozen=True, eq=False)  # holds bytes: compared by identity
class Pairwise:
    """The whole matrix of one metric as the engine answers it."""

    names: list[str]
    matrix: bytes
    """Row-major n x n distances in the metric's element type."""
    exports: Exports | None


def pairwise(sample: Sample, metric: str | Metric, *, rooted: bool, progress: bool | None,
             exports: bool = False) -> Pairwise:
    """The whole matrix of `metric`, with the split exports when `exports`.

    The split exports are built only when asked for: without them memory does not grow with the
    number of distinct splits.
    """
    chosen = as_metric(metric)
    result: tuple[Any, ...] = _read(partial(_engine.pairwise, chosen.name, exports=exports), sample,
                                    rooted=rooted, progress=progress)
    if not exports:
        return Pairwise(result[0], result[1], None)
    return Pairwise(result[0], result[1], Exports(tuple(result[2]), int(result[3]), result[4], result[5]))


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


def encode(sample: Sample, *, rooted: bool, lengths: bool, progress: bool | None) -> EncodedSample:
    """The sample read once into the engine's compact form (with branch lengths when `lengths`)."""
    native: EncodedSample = _read(partial(_engine.encode, lengths=lengths), sample, rooted=rooted, progress=progress)
    return native


def encode_texts(names: Sequence[str], texts: Sequence[str], translate_maps: Sequence[dict[str, str]],
                 map_indices: Sequence[int], *, rooted: bool, lengths: bool) -> EncodedSample:
    """Newick texts read into the engine's compact form, without a counter; a `BrantoveilError` with the
    engine's own message when one cannot be read."""
    try:
        return _engine.encode(names, iter(texts), translate_maps, map_indices, rooted=rooted, lengths=lengths)
    except ValueError as error:
        raise BrantoveilError(str(error)) from None


def to_bytes(native: EncodedSample) -> bytes:
    """The encoded sample's versioned byte form, which `decode` reads back (a worker rebuilds it from these)."""
    return native.to_bytes()


def decode(data: bytes) -> EncodedSample:
    """The encoded sample of its byte form (`to_bytes`)."""
    return _engine.decode(data)


def _indices(trees: Trees) -> range | memoryview:
    if isinstance(trees, range):
        return trees
    return np.ascontiguousarray(trees, dtype=np.int64).data


def block(native: EncodedSample, metric: str | Metric, rows: Trees, cols: Trees) -> npt.NDArray[Any]:
    """Distances of `rows` against `cols`, rows x cols, in the metric's element type (a read-only view)."""
    chosen = as_metric(metric)
    data = native.block(chosen.name, _indices(rows), _indices(cols))
    return np.frombuffer(data, dtype=chosen.dtype).reshape(len(rows), len(cols))


def block_into(native: EncodedSample, metric: str | Metric, rows: range, cols: range,
               out: npt.NDArray[Any]) -> None:
    """The same distances written into `out`, a writable rows x cols array of the metric's element type."""
    native.block(as_metric(metric).name, rows, cols, out=cast("Buffer", out))  # an array is a buffer


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class Reduction:
    """What the engine's row reduction gives for a band of rows against a set of columns."""

    sums: npt.NDArray[np.float64]
    """Every row's distances summed."""
    knn_index: npt.NDArray[np.int64] | None
    """With k: rows x k column tree indices, nearest first; -1 pads a row with fewer than k other trees."""
    knn_distance: npt.NDArray[np.float64] | None
    """With k: the matching distances; +inf pads."""


def reduce(native: EncodedSample, metric: str | Metric, rows: Trees, cols: Trees, k: int = 0) -> Reduction:
    """The engine's reduction of `rows` against `cols`: the row sums, and the `k` nearest when k > 0."""
    result = native.block_reduce(as_metric(metric).name, _indices(rows), _indices(cols), k=k)
    if k <= 0:
        return Reduction(np.frombuffer(result["sums"], dtype="<f8"), None, None)
    index = np.frombuffer(result["knn_index"], dtype="<i8").reshape(len(rows), k)
    distance = np.frombuffer(result["knn_distance"], dtype="<f8").reshape(len(rows), k)
    return Reduction(np.frombuffer(result["sums"], dtype="<f8"), index, distance)


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class TreeSplits:
    """Every tree's non-pendant split IDs as compressed rows: tree t holds ids[indptr[t]:indptr[t + 1]]."""

    indptr: npt.NDArray[np.int64]
    ids: npt.NDArray[np.uint32]
    lengths: npt.NDArray[np.float64] | None
    """The branch length of every entry, when the sample kept lengths."""


def tree_splits(native: EncodedSample) -> TreeSplits:
    """The engine's split rows of every tree, sorted within each tree."""
    indptr, ids, lengths = native.presence_csr()
    return TreeSplits(np.frombuffer(indptr, dtype="<i8").astype(np.int64), np.frombuffer(ids, dtype="<u4"),
                            None if lengths is None else np.frombuffer(lengths, dtype="<f8"))


def clades(native: EncodedSample) -> npt.NDArray[np.uint8]:
    """Leaf membership of every split ID, n_splits x ceil(n_leaves / 8) bytes, bit i of byte i // 8 for leaf i."""
    width = (native.n_leaves + 7) // 8
    return np.frombuffer(native.clade_bytes(), dtype=np.uint8).reshape(native.n_splits, width)
