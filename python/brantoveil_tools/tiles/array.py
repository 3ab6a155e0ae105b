"""The distance matrix as a lazy `dask.array`: one task per tile of the upper triangle.

A tile below the diagonal is the transpose of its mirror above it, so every pair is computed once.
The encoded sample is one object in the graph (scattered to the workers once when a distributed
client is given), and every tile task reads it.
"""

from __future__ import annotations

from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import tokenize

from .encode import Encoded, check_metric

DEFAULT_CHUNK = 4096


def tile(native: Any, metric: str, r0: int, r1: int, c0: int, c1: int) -> npt.NDArray[Any]:
    """Distances of trees r0..r1-1 against c0..c1-1, as the engine's one-call matrix has them."""
    dtype = "<u4" if metric == "rf" else "<f8"
    data = native.block(metric, range(r0, r1), range(c0, c1))
    return np.frombuffer(data, dtype=dtype).reshape(r1 - r0, c1 - c0)


_TRANSPOSE_BLOCK = 256


def mirror(upper: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The transpose of a tile as a contiguous array, copied in cache-sized squares (about 2.5x
    faster than one strided copy of a large tile)."""
    rows, cols = upper.shape
    lower = np.empty((cols, rows), dtype=upper.dtype)
    step = _TRANSPOSE_BLOCK
    for r in range(0, rows, step):
        for c in range(0, cols, step):
            lower[c : c + step, r : r + step] = upper[r : r + step, c : c + step].T
    return lower


def bounds(n: int, chunk: int) -> list[tuple[int, int]]:
    return [(start, min(start + chunk, n)) for start in range(0, n, chunk)]


def sample_reference(encoded: Encoded, client: Any | None) -> tuple[dict[Any, Any], Any]:
    """A graph entry holding the native sample, scattered to every worker when a client is given."""
    key = f"brantoveil-sample-{tokenize(encoded.native)}"
    if client is not None:
        return {}, client.scatter(encoded.native, broadcast=True, hash=False)
    return {key: encoded.native}, key


def distance_array(encoded: Encoded, metric: str = "rf", chunk: int = DEFAULT_CHUNK,
                   client: Any | None = None) -> da.Array:
    """The n x n distance matrix of an encoded sample as a `dask.array` of `chunk` x `chunk` tiles.

    Parameters
    ----------
    encoded : Encoded
        From `brantoveil_tools.tiles.encode` (with ``lengths=True`` for "wrf" and "kf").
    metric : {"rf", "wrf", "kf"}
    chunk : int
        Tile side; a tile of RF holds 4 chunk**2 bytes, of the weighted metrics 8 chunk**2.
    client : distributed.Client, optional
        Scatter the sample to its workers once instead of shipping it inside the graph.

    Every element equals the one-call matrix of the `brantoveil` module bit for bit.
    """
    dtype = check_metric(encoded, metric)
    if chunk < 1:
        raise ValueError("chunk must be positive")
    n = len(encoded)
    spans = bounds(n, chunk)
    graph, sample = sample_reference(encoded, client)
    name = f"brantoveil-{metric}-{tokenize(encoded.native, metric, chunk)}"
    for i, (r0, r1) in enumerate(spans):
        for j, (c0, c1) in enumerate(spans):
            if i <= j:
                graph[(name, i, j)] = (tile, sample, metric, r0, r1, c0, c1)
            else:
                graph[(name, i, j)] = (mirror, (name, j, i))
    sizes = tuple(r1 - r0 for r0, r1 in spans)
    return da.Array(graph, name, chunks=(sizes, sizes), dtype=dtype)
