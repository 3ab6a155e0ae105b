"""Writes the distance matrix to a Zarr store tile by tile, resuming where a failed run stopped.

The store is a group: `matrix` (n x n, one chunk per tile), `names` and `runs`, and attributes
naming the metric, the tile size and a fingerprint of the sample. A tile pair (i, j) and (j, i)
is computed once; its marker file under `.tiles/` is written only after both chunks are stored,
so a run that stops anywhere leaves at most the tiles in flight to recompute.
"""

from __future__ import annotations

import hashlib
import os
import pickle
import shutil
from pathlib import Path
from typing import Any

import numpy as np
import zarr
from tqdm import tqdm

from ..errors import BrantoveilError
from .array import DEFAULT_CHUNK, bounds, mirror, sample_future, tile
from .encode import Encoded, check_metric

MARKERS = ".tiles"
FORMAT = "brantoveil-distance-matrix-1"


def fingerprint(encoded: Encoded) -> str:
    """A digest of the encoded trees: a store is only resumed for the very same sample."""
    return hashlib.sha256(pickle.dumps(encoded.native, protocol=5)).hexdigest()


def to_zarr(encoded: Encoded, path: str | os.PathLike[str], metric: str = "rf", chunk: int = DEFAULT_CHUNK,
            client: Any | None = None, progress: bool | None = False, overwrite: bool = False) -> Path:
    """Computes the matrix tile by tile into the Zarr group at `path`; returns the path.

    An existing store of the same sample, metric and tile size is completed (only its missing tiles
    are computed); a store of anything else is refused unless `overwrite`. With a distributed
    `client` the tiles run on its workers, which must see `path` (a shared file system).
    """
    dtype = check_metric(encoded, metric)
    target = Path(path)
    n = len(encoded)
    attributes: dict[str, Any] = {"format": FORMAT, "metric": metric, "rooted": encoded.native.rooted, "chunk": chunk,
                  "trees": n, "sample": fingerprint(encoded), "selection": encoded.selection.to_dict()}
    if target.exists() and overwrite:
        shutil.rmtree(target) if target.is_dir() else target.unlink()
    if target.exists():
        _check_resumable(target, attributes)
        group = zarr.open_group(str(target), mode="r+")
    else:
        if not target.parent.is_dir():
            raise BrantoveilError(f"cannot write {target}: the folder {target.parent} does not exist")
        group = zarr.open_group(str(target), mode="w")
        group.create_array("matrix", shape=(n, n), chunks=(chunk, chunk), dtype=dtype, fill_value=0)
        names = group.create_array("names", shape=(n,), dtype=str)
        names[:] = np.asarray(encoded.names, dtype=str)
        runs = group.create_array("runs", shape=(n,), dtype="<i8")
        runs[:] = encoded.runs
        group.attrs.update({"run_labels": list(encoded.run_labels), "complete": False})
        (target / MARKERS).mkdir()
        group.attrs.update(attributes)  # last: a store without them is not resumed
    spans = bounds(n, chunk)
    todo = [(i, j) for i in range(len(spans)) for j in range(i, len(spans))
            if not (target / MARKERS / f"{i}.{j}").exists()]
    bar = tqdm(total=len(spans) * (len(spans) + 1) // 2, initial=len(spans) * (len(spans) + 1) // 2 - len(todo),
               desc="tiles", unit="tile", dynamic_ncols=True, disable=None if progress is None else not progress)
    with bar:
        if client is None:
            for i, j in todo:
                store_tile(encoded.native, str(target), metric, spans[i], spans[j], i, j)
                bar.update(1)
        else:
            from distributed import as_completed

            sample = sample_future(encoded, client)
            futures = [client.submit(store_tile, sample, str(target), metric, spans[i], spans[j], i, j,
                                     key=f"brantoveil-tile-{attributes['sample'][:16]}-{metric}-{i}-{j}", pure=False)
                       for i, j in todo]
            for future in as_completed(futures):
                future.result()
                bar.update(1)
    group.attrs["complete"] = True
    return target


def store_tile(native: Any, path: str, metric: str, rows: tuple[int, int], cols: tuple[int, int],
               i: int, j: int) -> None:
    """Computes one tile, stores it and its mirror, then marks the pair done."""
    values = tile(native, metric, rows[0], rows[1], cols[0], cols[1])
    matrix = zarr.open_array(path, path="matrix", mode="r+")
    matrix[rows[0] : rows[1], cols[0] : cols[1]] = values
    if i != j:
        matrix[cols[0] : cols[1], rows[0] : rows[1]] = mirror(values)
    (Path(path) / MARKERS / f"{i}.{j}").touch()


def _check_resumable(target: Path, attributes: dict[str, Any]) -> None:
    try:
        existing = dict(zarr.open_group(str(target), mode="r").attrs)
    except Exception:  # not a Zarr group at all
        existing = {}
    same = all(existing.get(key) == attributes[key] for key in ("format", "metric", "rooted", "chunk", "trees",
                                                                   "sample"))
    if not same or not (target / MARKERS).is_dir():
        raise BrantoveilError(f"{target} exists and holds a different matrix "
                              f"(remove it, or choose another path)")


def open_matrix(path: str | os.PathLike[str]) -> Any:
    """The stored matrix as a `dask.array` (lazy), after checking that every tile was written."""
    import dask.array as da

    group = zarr.open_group(str(path), mode="r")
    if group.attrs.get("format") != FORMAT:
        raise BrantoveilError(f"{path} is not a distance matrix written by brantoveil")
    if not group.attrs.get("complete", False):
        raise BrantoveilError(f"{path} is incomplete: run the same command again to finish it")
    return da.from_zarr(group["matrix"])
