"""Writes the distance matrix to a Zarr store tile by tile, resuming where a failed run stopped.

The store is a group: `matrix` (n x n, one chunk per tile), `names`, `runs` and `checksums` (the
CRC-32 of every tile's values), and attributes naming the metric, the tile size, fingerprints of
the sample and the CRC-32 of `names` and `runs`. One task stores a tile pair (i, j) and (j, i); its
marker file under `.tiles/`, holding the pair's checksums, is written only after both chunks are
stored, so a run that stops anywhere leaves at most the pairs in flight to recompute. A complete
store keeps no markers (Zarr would warn about the folder to anyone who lists the group), only the
`checksums` gathered from them. Every tile read back is checked against its checksum: a deleted
chunk (which Zarr reads as zeros) or a flipped bit is found, and a rerun of the command computes
those tiles again; damaged names or runs, or lost checksums, are written anew by a rerun too.
"""

from __future__ import annotations

import fcntl
import hashlib
import os
import pickle
import shutil
import zlib
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from functools import partial
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import zarr
from zarr.codecs import BloscCodec

from .. import engine, policy
from ..errors import BrantoveilError
from ..sample import Sample
from .array import DEFAULT_CHUNK, bounds, sample_future
from .encode import Encoded, check_metric

MARKERS = ".tiles"
FORMAT = "brantoveil-distance-matrix-1"


_SAME = ("format", "metric", "rooted", "chunk", "trees", "names")


def fingerprint(encoded: Encoded) -> str:
    """A digest of the encoded trees: a store is only resumed for the very same sample."""
    return hashlib.sha256(pickle.dumps(encoded.native, protocol=5)).hexdigest()


def names_fingerprint(names: Sequence[str]) -> str:
    """A digest of the kept trees' names ("run:tree"), known before any tree is read."""
    digest = hashlib.sha256()
    for name in names:
        digest.update(name.encode("utf-8", "surrogateescape") + b"\0")
    return digest.hexdigest()


def check_store(path: str | os.PathLike[str], sample: Sample | Encoded, metric: str, rooted: bool,
                chunk: int = DEFAULT_CHUNK) -> None:
    """Refuses an existing store at `path` that holds another sample, metric or tile size.

    Needs only the trees' names, so a command can call it before starting a cluster and reading
    every tree; `to_zarr` checks the trees themselves as well.
    """
    target = Path(path)
    if _store_exists(target):
        _check_resumable(target, {"format": FORMAT, "metric": metric, "rooted": rooted, "chunk": chunk,
                                  "trees": len(sample.names), "names": names_fingerprint(sample.names)}, _SAME)


def _store_exists(target: Path) -> bool:
    # An empty folder is a store not begun: a writer makes it first, to hold its lock.
    return target.exists() and not (target.is_dir() and not any(target.iterdir()))


@contextmanager
def _only_writer(target: Path) -> Iterator[None]:
    """Refuses a second writer of the store at `target` while one is at work (an exclusive lock on its
    folder, made empty first if missing); the lock goes with the process, so a killed writer leaves none."""
    if not target.parent.is_dir():
        raise BrantoveilError(f"cannot write {target}: the folder {target.parent} does not exist")
    try:
        target.mkdir()
        created = True
    except FileExistsError:
        created = False
    if not target.is_dir():
        yield  # a file: refused as a store of something else
        return
    fd = os.open(target, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise BrantoveilError(f"another command is writing {target}: wait for it to finish, "
                                  f"or choose another path") from None
        except OSError:
            pass  # a file system without locks
        try:
            yield
        except BaseException:
            if created and not any(target.iterdir()):
                target.rmdir()
            raise
    finally:
        os.close(fd)


def checksum(values: npt.NDArray[Any]) -> int:
    """The CRC-32 of a tile's values, as little-endian bytes in row order."""
    return zlib.crc32(np.ascontiguousarray(values).data.cast("B"))


def to_zarr(encoded: Encoded, path: str | os.PathLike[str], metric: str = "rf", chunk: int = DEFAULT_CHUNK,
            client: Any | None = None, progress: bool | None = False, overwrite: bool = False) -> Path:
    """Computes the matrix tile by tile into the Zarr group at `path`; returns the path.

    An existing store of the same sample, metric and tile size is completed (only its missing tiles
    are computed); a store of anything else is refused unless `overwrite`. With a distributed
    `client` the tiles run on its workers, which must see `path` (a shared file system).
    """
    try:
        with _only_writer(Path(path)):
            return _to_zarr(encoded, path, metric, chunk, client, progress, overwrite)
    except OSError as error:  # a full disk, a quota, a folder that went away, here or on a worker
        raise BrantoveilError(f"cannot write {os.fspath(path)}: {error.strerror or error} (the tiles stored so far "
                              f"are kept: run the same command again to finish)") from None


def _to_zarr(encoded: Encoded, path: str | os.PathLike[str], metric: str, chunk: int, client: Any | None,
             progress: bool | None, overwrite: bool) -> Path:
    dtype = check_metric(encoded, metric)
    target = Path(path)
    n = len(encoded)
    attributes: dict[str, Any] = {"format": FORMAT, "metric": metric, "rooted": encoded.native.rooted, "chunk": chunk,
                  "trees": n, "sample": fingerprint(encoded), "names": names_fingerprint(encoded.names),
                  "selection": encoded.selection.to_dict()}
    if _store_exists(target) and overwrite:
        if target.is_dir():
            for entry in target.iterdir():  # the folder itself stays: it holds the writer's lock
                shutil.rmtree(entry) if entry.is_dir() and not entry.is_symlink() else entry.unlink()
        else:
            target.unlink()
    if _store_exists(target):
        _check_resumable(target, attributes, (*_SAME, "sample"))
        group = zarr.open_group(str(target), mode="r+")
    else:
        group = zarr.open_group(str(target), mode="w")
        # Byte-shuffled zstd at level 1: distance tiles shrink about tenfold (RF), at several times the
        # speed of zarr's default zstd, which would otherwise cost more than computing the tile.
        group.create_array("matrix", shape=(n, n), chunks=(chunk, chunk), dtype=dtype, fill_value=0,
                           compressors=[BloscCodec(cname="zstd", clevel=1, shuffle="shuffle")])
        _store_labels(group, encoded)
        group.attrs.update({"run_labels": list(encoded.run_labels), "complete": False})
        (target / MARKERS).mkdir()
        group.attrs.update(attributes)  # last: a store without them is not resumed
    if _label_damage(group) is not None:
        _store_labels(group, encoded)  # the same sample's names and runs, written again
    spans = bounds(n, chunk)
    pairs = [(i, j) for i in range(len(spans)) for j in range(i, len(spans))]
    complete = bool(group.attrs.get("complete", False))
    expected = _stored_checksums(group, len(spans)) if complete else _marked_checksums(target, pairs)
    done = [pair for pair in pairs if pair in expected]
    todo = [pair for pair in pairs if pair not in expected]
    damaged = _damaged(str(target), spans, done, expected, client)
    todo += damaged
    if complete and (damaged or not expected):
        # Repaired as an interrupted store is resumed: the intact pairs marked, the store incomplete
        # until the damaged ones are stored again (every pair, when the checksums themselves were lost).
        (target / MARKERS).mkdir(exist_ok=True)
        for i, j in set(done) - set(damaged):
            (target / MARKERS / f"{i}.{j}").write_text(" ".join(map(str, expected[i, j])))
        group.attrs["complete"] = complete = False
    from tqdm import tqdm

    bar = tqdm(total=len(pairs), initial=len(pairs) - len(todo),
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
    if not complete:
        sums = _marked_checksums(target, pairs)
        table = np.zeros((len(spans), len(spans)), dtype="<u4")
        for (i, j), pair_sums in sums.items():
            table[i, j], table[j, i] = pair_sums[0], pair_sums[-1]
        # Written whole before the flag: a complete store always has every tile's checksum.
        group.create_array("checksums", shape=table.shape, dtype="<u4", overwrite=True)[:] = table
    group.attrs["complete"] = True
    shutil.rmtree(target / MARKERS, ignore_errors=True)  # after the flag: a crash between leaves a complete store
    return target


def _labels_checksum(names: Any, runs: Any) -> list[int]:
    """The CRC-32 of the names (UTF-8, each ended by a zero byte) and of the runs (little-endian int64)."""
    encoded = b"".join(str(name).encode("utf-8", "surrogateescape") + b"\0" for name in np.asarray(names).tolist())
    return [zlib.crc32(encoded), checksum(np.asarray(runs, dtype="<i8"))]


def _store_labels(group: Any, encoded: Encoded) -> None:
    names = np.asarray(encoded.names, dtype=str)
    group.create_array("names", shape=names.shape, dtype=str, overwrite=True)[:] = names
    group.create_array("runs", shape=encoded.runs.shape, dtype="<i8", overwrite=True)[:] = encoded.runs
    group.attrs["labels_checksum"] = _labels_checksum(names, encoded.runs)


def _label_damage(group: Any) -> str | None:
    """Which of `names` and `runs` no longer matches its checksum (a lost chunk reads as empty names or zeros)."""
    try:
        names, runs = np.asarray(group["names"][:]), np.asarray(group["runs"][:])
    except Exception:  # missing, or no longer decompresses
        return "names"
    stored = group.attrs.get("labels_checksum")
    actual = _labels_checksum(names, runs)
    if not isinstance(stored, list) or len(stored) != 2:
        return "names"
    if actual[0] != stored[0]:
        return "names"
    return "runs" if actual[1] != stored[1] else None


def read_labels(path: str | os.PathLike[str]) -> tuple[list[str], npt.NDArray[np.int64], list[str]]:
    """The tree names, run index of every tree and run labels of a store, checked against their checksums."""
    group: Any = zarr.open_group(str(path), mode="r")
    damage = _label_damage(group)
    if damage is not None:
        raise BrantoveilError(f"{path}: the {damage} array is damaged: run the same command again to write it anew")
    return ([str(name) for name in np.asarray(group["names"][:]).tolist()],
            np.asarray(group["runs"][:], dtype=np.int64), [str(label) for label in group.attrs["run_labels"]])


def store_tile(native: engine.EncodedSample, path: str, metric: str, rows: tuple[int, int], cols: tuple[int, int],
               i: int, j: int) -> None:
    """Computes tile (i, j) and its mirror (j, i) into one buffer in turn, stores both, marks the pair
    with their checksums.

    The mirror is computed rather than transposed: that costs no more than a transpose of a large
    tile and keeps a worker at one tile of memory.
    """
    dtype = policy.metric(metric).dtype
    sums: list[int] = []
    height, width = rows[1] - rows[0], cols[1] - cols[0]
    buffer = np.empty(height * width, dtype=dtype)
    matrix = zarr.open_array(path, path="matrix", mode="r+")
    for (r0, r1), (c0, c1) in ((rows, cols), (cols, rows)) if i != j else ((rows, cols),):
        values = buffer.reshape(r1 - r0, c1 - c0)
        engine.block_into(native, metric, range(r0, r1), range(c0, c1), values)
        matrix[r0:r1, c0:c1] = values
        sums.append(checksum(values))
    (Path(path) / MARKERS / f"{i}.{j}").write_text(" ".join(map(str, sums)))


def _marked_checksums(target: Path, pairs: list[tuple[int, int]]) -> dict[tuple[int, int], tuple[int, ...]]:
    """The checksums the markers of finished pairs hold; a marker that cannot be read does not count."""
    sums = {}
    for i, j in pairs:
        try:
            values = tuple(int(v) for v in (target / MARKERS / f"{i}.{j}").read_text().split())
        except (OSError, ValueError):
            continue
        if len(values) == (1 if i == j else 2):
            sums[i, j] = values
    return sums


def _stored_checksums(group: Any, tiles: int) -> dict[tuple[int, int], tuple[int, ...]]:
    try:
        table = np.asarray(group["checksums"][:])
    except Exception:  # missing or unreadable: every tile is computed again
        return {}
    if table.shape != (tiles, tiles):
        return {}
    return {(i, j): (int(table[i, j]),) if i == j else (int(table[i, j]), int(table[j, i]))
            for i in range(tiles) for j in range(i, tiles)}


def intact(path: str, rows: tuple[int, int], cols: tuple[int, int], expected: tuple[int, ...]) -> bool:
    """Whether the stored tile (rows, cols), and its mirror when off the diagonal, have their checksums."""
    try:
        matrix = zarr.open_array(path, path="matrix", mode="r")
        places = ((rows, cols), (cols, rows))[: len(expected)]
        tiles = [np.asarray(matrix[r0:r1, c0:c1]) for (r0, r1), (c0, c1) in places]
    except Exception:  # a chunk that no longer decompresses
        return False
    return tuple(checksum(tile) for tile in tiles) == expected


def _damaged(path: str, spans: list[tuple[int, int]], pairs: list[tuple[int, int]],
             expected: dict[tuple[int, int], tuple[int, ...]], client: Any | None) -> list[tuple[int, int]]:
    """The pairs among `pairs` whose stored tiles no longer match their checksums."""
    if client is None:
        verdicts = [intact(path, spans[i], spans[j], expected[i, j]) for i, j in pairs]
    else:
        verdicts = client.gather([client.submit(intact, path, spans[i], spans[j], expected[i, j], pure=False)
                                  for i, j in pairs])
    return [pair for pair, ok in zip(pairs, verdicts, strict=True) if not ok]


def _check_resumable(target: Path, attributes: dict[str, Any], keys: Sequence[str]) -> None:
    try:
        existing = dict(zarr.open_group(str(target), mode="r").attrs)
    except Exception:  # not a Zarr group at all
        existing = {}
    same = all(existing.get(key) == attributes[key] for key in keys)
    if not same or not ((target / MARKERS).is_dir() or existing.get("complete") is True):
        raise BrantoveilError(f"{target} exists and holds a different matrix "
                              f"(remove it, or choose another path)")


def open_matrix(path: str | os.PathLike[str]) -> Any:
    """The stored matrix as a `dask.array` (lazy), after checking that every tile was written.

    Each tile is checked against its checksum as it is read: a damaged one raises `BrantoveilError`.
    """
    import dask.array as da

    group = zarr.open_group(str(path), mode="r")
    if group.attrs.get("format") != FORMAT:
        raise BrantoveilError(f"{path} is not a distance matrix written by brantoveil")
    if not group.attrs.get("complete", False):
        raise BrantoveilError(f"{path} is incomplete: run the same command again to finish it")
    damage = _label_damage(group)
    if damage is not None:
        raise BrantoveilError(f"{path}: the {damage} array is damaged: run the same command again to write it anew")
    matrix = zarr.open_array(str(path), path="matrix", mode="r")
    spans = bounds(matrix.shape[0], matrix.chunks[0])
    sums = _stored_checksums(group, len(spans))
    if not sums:
        raise BrantoveilError(f"{path} has lost its tile checksums: run the same command again to check every tile")
    table = [[sums[min(i, j), max(i, j)][0 if i <= j else -1] for j in range(len(spans))] for i in range(len(spans))]
    sizes = tuple(stop - start for start, stop in spans)
    return da.map_blocks(partial(_checked_tile, str(path), table), chunks=(sizes, sizes), dtype=matrix.dtype,
                         meta=np.empty((0, 0), dtype=matrix.dtype))


def _checked_tile(path: str, table: list[list[int]], block_info: dict[Any, Any] | None = None) -> npt.NDArray[Any]:
    assert block_info is not None
    (r0, r1), (c0, c1) = block_info[None]["array-location"]
    i, j = block_info[None]["chunk-location"]
    try:
        values = np.asarray(zarr.open_array(path, path="matrix", mode="r")[r0:r1, c0:c1])
    except Exception:
        values = np.empty(0)
    if values.shape != (r1 - r0, c1 - c0) or checksum(values) != table[i][j]:
        raise BrantoveilError(f"{path}: tile ({i}, {j}) is damaged: run the same command again to compute it anew")
    return values
