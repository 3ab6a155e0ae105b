"""Types of the `brantoveil` extension module: pairwise tree distances from a lazy iterator of Newick strings."""

from collections.abc import Iterator, Sequence
from typing import Final, SupportsIndex, final

__all__: Final[list[str]]

@final
class ProgressCounter:
    """Pair-completion counter, readable from any thread while a pairwise call runs."""

    def __init__(self) -> None: ...
    def value(self) -> int: ...
    def total(self) -> int: ...
    def fraction(self) -> float: ...
    def reset(self) -> None: ...

def pairwise_rf_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], bytes]: ...
def pairwise_rf_with_snapshots_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], bytes, list[str], int, bytes, bytes]: ...
def pairwise_wrf_with_snapshots_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], bytes, list[str], int, bytes, bytes]: ...
def pairwise_kf_with_snapshots_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], bytes, list[str], int, bytes, bytes]: ...
def pairwise_wrf_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], list[float]]: ...
def pairwise_kf_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: bool = False,
    progress: ProgressCounter | None = None,
) -> tuple[list[str], list[float]]: ...
