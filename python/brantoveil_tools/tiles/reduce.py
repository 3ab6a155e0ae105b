"""Questions about a huge sample that never need its matrix: mean distances, medoid, nearest trees.

Each task takes one band of rows against every tree and lets the engine reduce as it computes
(sums, the k nearest), so no band of the matrix is ever held; bands run on Dask workers when a
client is given. Robinson-Foulds sums need no band at all: `sums.distance_sums` has them from
the split counts, the same numbers in one pass over the splits.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import engine, policy, sums
from ..engine import EncodedSample, Reduction
from ..errors import BrantoveilError
from .array import DEFAULT_CHUNK, bounds, sample_future
from .encode import Encoded, check_metric


def _band(native: EncodedSample, metric: str, r0: int, r1: int, k: int) -> Reduction:
    return engine.reduce(native, metric, range(r0, r1), range(native.n_trees), k=k)


def _bands(encoded: Encoded, metric: str, k: int, chunk: int, client: Any | None) -> list[Reduction]:
    check_metric(encoded, metric)
    spans = bounds(len(encoded), chunk)
    if client is None:
        return [_band(encoded.native, metric, r0, r1, k) for r0, r1 in spans]
    sample = sample_future(encoded, client)
    futures = [client.submit(_band, sample, metric, r0, r1, k, pure=False) for r0, r1 in spans]
    results: list[Reduction] = client.gather(futures)
    return results


def _sums(encoded: Encoded, metric: str, chunk: int, client: Any | None) -> npt.NDArray[np.float64]:
    check_metric(encoded, metric)
    n = len(encoded)
    if policy.metric(metric).name == "rf":
        return sums.distance_sums(encoded.native, metric, range(n), range(n))
    spans = bounds(n, chunk)
    if client is None:
        parts = [sums.distance_sums(encoded.native, metric, range(r0, r1), range(n)) for r0, r1 in spans]
    else:
        sample = sample_future(encoded, client)
        parts = client.gather([client.submit(sums.distance_sums, sample, metric, range(r0, r1), range(n),
                                             pure=False) for r0, r1 in spans])
    return np.concatenate(parts)


def mean_distances(encoded: Encoded, metric: str = "rf", chunk: int = DEFAULT_CHUNK,
                   client: Any | None = None) -> npt.NDArray[np.float64]:
    """Every tree's mean distance to the other n - 1 trees."""
    return _sums(encoded, metric, chunk, client) / (len(encoded) - 1)


def medoid(encoded: Encoded, metric: str = "rf", chunk: int = DEFAULT_CHUNK,
           client: Any | None = None) -> int:
    """The index of the tree of least mean distance to all others (the lowest index among ties)."""
    return int(np.argmin(_sums(encoded, metric, chunk, client)))


def nearest(encoded: Encoded, k: int, metric: str = "rf", chunk: int = DEFAULT_CHUNK,
            client: Any | None = None) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The `k` nearest other trees of every tree: indices and distances, n x k, nearest first."""
    if not 1 <= k < len(encoded):
        raise BrantoveilError(f"k must lie between 1 and {len(encoded) - 1}")
    bands = _bands(encoded, metric, k, chunk, client)
    index = np.concatenate([_nearest(band.knn_index) for band in bands])
    distance = np.concatenate([_nearest(band.knn_distance) for band in bands])
    return index, distance


def distances_to(encoded: Encoded, references: Sequence[int], metric: str = "rf", chunk: int = DEFAULT_CHUNK,
                 client: Any | None = None) -> npt.NDArray[Any]:
    """The n x len(references) distances of every tree to the given reference trees."""
    picked = [int(r) for r in references]
    if any(not 0 <= r < len(encoded) for r in picked):
        raise BrantoveilError(f"reference trees must be indices in 0..{len(encoded) - 1}")
    check_metric(encoded, metric)
    spans = bounds(len(encoded), chunk)

    def band(native: EncodedSample, r0: int, r1: int) -> npt.NDArray[Any]:
        return engine.block(native, metric, range(r0, r1), np.asarray(picked, dtype=np.int64))

    if client is None:
        parts = [band(encoded.native, r0, r1) for r0, r1 in spans]
    else:
        sample = sample_future(encoded, client)
        parts = client.gather([client.submit(band, sample, r0, r1, pure=False) for r0, r1 in spans])
    return np.concatenate(parts)


def _nearest(part: npt.NDArray[Any] | None) -> npt.NDArray[Any]:
    assert part is not None  # asked for with k > 0
    return part


__all__ = ["distances_to", "mean_distances", "medoid", "nearest"]
