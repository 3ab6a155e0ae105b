"""Types of the private engine: a sample read once, then its distance matrices block by block.

Differences from the public module worth knowing:
- `progress` of `block`/`block_reduce` is only added to (cells done); it is never reset and its total is
  left alone, so one counter can follow many blocks. `encode` checks its type but leaves it untouched.
- The GIL is released while a block is computed, with or without a counter.
- `block` may write into a caller's array (`out=`, e.g. a view into a larger matrix) instead of returning bytes.
- `knn_index` holds column *tree indices*; a row with fewer than k other trees is padded with -1 / +inf.
- Reading errors are `TreeError`, a ValueError with the same text that also says where the tree is;
  bytes `decode` cannot read are its base `SampleError`, with kind 'corrupt'.
- `pairwise` answers every metric in bytes and builds the split exports only when asked.
- The module lives in the public module's library (reached through its capsule): one worker pool,
  one counter type and one error policy per process. No call ends the interpreter: out of memory is
  MemoryError, any other internal failure RuntimeError.
"""

from collections.abc import Iterable, Iterator, Sequence
from typing import Literal, SupportsFloat, SupportsIndex, final, overload

from brantoveil import ProgressCounter
from typing_extensions import Buffer

Indices = range | Buffer | Sequence[SupportsIndex]

class SampleError(ValueError):
    """Trees or bytes that do not make a sample: the message, its kind and, for a tree, where it is."""

    kind: str
    """'syntax', 'leaf_set', 'tree' (an unnamed or repeated leaf, a tree too large) or 'general' for a tree
    (TreeError); 'corrupt' for bytes that do not hold an encoded sample."""
    tree_index: int | None
    """0-based position of the tree in the call's input."""
    offset: int | None
    """Byte offset within the tree's Newick text (its UTF-8 bytes, from 0) where the fault was found:
    the offending byte or length token, the ';' of an unfinished tree, the end of a text without ';'.
    None when the fault has no one place (taxa that differ, a tree too large)."""
    reason: str
    """The message without the words that place the tree."""

class TreeError(SampleError):
    """A tree that cannot be read: the public module's message, and where the tree is."""

@final
class EncodedSample:
    """An immutable sample of trees: sorted split IDs per tree, lengths when kept, leaf names and clades."""

    @property
    def n_trees(self) -> int:
        """Number of trees read."""
    @property
    def n_leaves(self) -> int:
        """Number of leaves of every tree."""
    @property
    def n_splits(self) -> int:
        """Number of split IDs; IDs 0 .. n_leaves - 1 are the pendant splits."""
    @property
    def rooted(self) -> bool:
        """Whether splits are clades (rooted) or bipartitions."""
    @property
    def has_lengths(self) -> bool:
        """Whether branch lengths were kept ("wrf" and "kf" need them)."""
    @property
    def names(self) -> list[str]:
        """The tree names given, one per tree read."""
    @property
    def leaf_names(self) -> list[str]:
        """Leaf names, sorted; leaf index i is leaf_names[i]."""
    @overload
    def block(
        self, metric: str, rows: Indices, cols: Indices, progress: ProgressCounter | None = None, out: None = None
    ) -> bytes:
        """Row-major len(rows) x len(cols) distances ('<u4' rf, '<f8' wrf/kf), equal to the one-call matrix."""
    @overload
    def block(self, metric: str, rows: Indices, cols: Indices, progress: ProgressCounter | None, out: Buffer) -> None:
        """The same distances written into `out`: a writable rows x cols uint32/float64 array, rows contiguous."""
    @overload
    def block(
        self, metric: str, rows: Indices, cols: Indices, progress: ProgressCounter | None = None, *, out: Buffer
    ) -> None:
        """The same distances written into `out`: a writable rows x cols uint32/float64 array, rows contiguous."""
    def block_reduce(
        self,
        metric: str,
        rows: Indices,
        cols: Indices,
        k: SupportsIndex = 0,
        bins: Iterable[SupportsFloat] | None = None,
        progress: ProgressCounter | None = None,
    ) -> dict[str, bytes]:
        """'sums' ('<f8' per row); with k > 0 'knn_index' ('<i8'), 'knn_distance' ('<f8'); with bins 'histogram'."""
    def presence_csr(self) -> tuple[bytes, bytes, bytes | None]:
        """(indptr '<i8' n_trees+1, sorted non-pendant split IDs '<u4', their lengths '<f8' or None)."""
    def clade_bytes(self) -> bytes:
        """Leaf membership per split ID, ceil(n_leaves / 8) bytes each, bit i of byte i // 8 for leaf i."""
    def split_supports(self) -> bytes:
        """Number of trees holding each split ID, '<u4'."""
    def to_bytes(self) -> bytes:
        """The versioned byte form, read back by decode(); pickling uses it."""
    def __reduce__(self) -> tuple[object, tuple[bytes]]:
        """Pickles through to_bytes()."""

def encode(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    lengths: bool = False,
    progress: ProgressCounter | None = None,
) -> EncodedSample:
    """Reads the trees as the public module does (same checks and messages) into an EncodedSample."""

def decode(data: Buffer, /) -> EncodedSample:
    """The sample of a to_bytes() result; SampleError (kind 'corrupt') for corrupt bytes."""

@overload
def pairwise(
    metric: str,
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
    exports: Literal[False] = False,
) -> tuple[list[str], bytes]:
    """The whole matrix as row-major bytes ('<u4' rf, '<f8' wrf/kf); the lock is released while it is computed."""
@overload
def pairwise(
    metric: str,
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
    *,
    exports: Literal[True],
) -> tuple[list[str], bytes, list[str], int, bytes, bytes]:
    """The matrix and the public exporting functions' exports (presence for rf, branch lengths otherwise)."""
@overload
def pairwise(
    metric: str,
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
    exports: bool = False,
) -> tuple[list[str], bytes] | tuple[list[str], bytes, list[str], int, bytes, bytes]:
    """The matrix, with the exports when `exports`."""
def genes(
    metric: str,
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
    keep: str | Sequence[str] | None = None,
    reference: bool = False,
    leave_same_taxa: bool = False,
) -> tuple[list[str], bytes, bytearray]:
    """Distances on the taxa each pair shares: (taxa, presence '<u1' trees x taxa, matrix '<f4' rf / '<f8');
    leave_same_taxa leaves pairs of distinct trees holding the same taxa as 0, for pairwise() to fill."""
def set_threads(n: SupportsIndex, /) -> bool:
    """Sizes the worker pool before it starts; False when it already runs with another size."""
def pool_threads() -> int:
    """The worker pool's size, or the one it will start with."""
