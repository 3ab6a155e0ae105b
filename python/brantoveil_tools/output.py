"""Writes results: matrices as .npy, .npz, CSV/TSV and PHYLIP, split exports; never half a file.

Every file is written to a temporary file beside its target and moved into place only once it is
complete, so a failure or an interrupt leaves the target as it was.
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
import zipfile
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from .api import DistanceResult
from .errors import BrantoveilError

MATRIX_SUFFIXES = (".npy", ".npz", ".csv", ".tsv", ".phy", ".dist")
_ROWS_PER_WRITE = 64
_WRITE_BYTES = 1 << 26  # binary output goes out 64 MiB at a time


def check_target(target: str | os.PathLike[str]) -> None:
    """Fails early, before any work, when `target` cannot be written."""
    final = Path(target)
    if not final.parent.is_dir():
        raise BrantoveilError(f"cannot write {final}: the folder {final.parent} does not exist")
    if final.is_dir():
        raise BrantoveilError(f"cannot write {final}: it is a directory")
    if not os.access(final.parent, os.W_OK | os.X_OK):
        raise BrantoveilError(f"cannot write {final}: permission denied")


@contextmanager
def atomic_path(target: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields a path beside `target`, in a private folder of its own; on success the file written
    there replaces `target`, on failure it is removed. Either way the folder goes."""
    final = Path(target)
    check_target(final)
    try:
        folder = Path(tempfile.mkdtemp(prefix=f".{final.name}.", suffix=".tmp", dir=final.parent))
    except OSError as error:
        raise BrantoveilError(f"cannot write {final}: {error.strerror or error}") from None
    # The file does not exist yet, so its writer creates it. Reopening an empty temporary file
    # would truncate it, and ext4 answers a truncated file's close with a flush of all that was
    # written: 0.2 s for a 400 MB matrix.
    temporary = folder / final.name
    try:
        yield temporary  # created by its writer, so with the mode the umask gives new files
        os.replace(temporary, final)
    except OSError as error:
        raise BrantoveilError(f"cannot write {final}: {error.strerror or error}") from None
    finally:
        with suppress(OSError):
            temporary.unlink(missing_ok=True)
            folder.rmdir()


def write_matrix(result: DistanceResult, target: str | os.PathLike[str] | None) -> None:
    """Writes the matrix in the format its suffix names; no target: TSV on standard output."""
    if target is None:
        _write_text(result, sys.stdout, "\t")
        sys.stdout.flush()
        return
    suffix = Path(target).suffix.lower()
    if suffix not in MATRIX_SUFFIXES:
        raise BrantoveilError(f"cannot tell the format of {target}: use one of {', '.join(MATRIX_SUFFIXES)}")
    with atomic_path(target) as temporary:
        if suffix == ".npy":
            with open(temporary, "wb") as handle:
                save_npy(handle, result.matrix)
        elif suffix == ".npz":
            with zipfile.ZipFile(temporary, "w", allowZip64=True) as archive:
                for field, values in _npz_fields(result).items():
                    with archive.open(f"{field}.npy", "w", force_zip64=True) as member:
                        save_npy(member, values)
        else:
            with open(temporary, "w", encoding="utf-8", newline="\n") as text:
                if suffix in (".phy", ".dist"):
                    _write_phylip(result, text)
                else:
                    _write_text(result, text, "," if suffix == ".csv" else "\t")


def save_npy(handle: IO[bytes], array: npt.NDArray[Any]) -> None:
    """Writes `array` in NumPy's .npy format in slices of rows, so that a Ctrl-C is seen between
    slices instead of after one write of a matrix of many gigabytes."""
    data = np.asarray(array, order="C")  # keeps 0-d arrays 0-d
    np.lib.format.write_array_header_1_0(handle, np.lib.format.header_data_from_array_1_0(data))
    flat = data.reshape(-1)
    step = max(1, _WRITE_BYTES // max(1, data.itemsize))
    for start in range(0, flat.size, step):
        # A view of the slice's bytes, not a copy: a copy of a large matrix costs as much as writing it.
        handle.write(flat[start : start + step].data.cast("B"))


def _npz_fields(result: DistanceResult) -> dict[str, Any]:
    return {
        "matrix": result.matrix,
        "names": np.asarray(result.names, dtype=str),
        "runs": result.runs,
        "run_labels": np.asarray(result.run_labels, dtype=str),
        "metric": np.asarray(result.metric),
        "rooted": np.asarray(result.rooted),
        "selection": np.asarray(json.dumps(result.selection.to_dict())),
    }


def _cells(matrix: npt.NDArray[Any], start: int, stop: int) -> list[list[str]]:
    # repr of a float is its shortest exact form, so text output loses no digits.
    return [[repr(v) for v in row] for row in matrix[start:stop].tolist()] if matrix.dtype.kind == "f" \
        else [[str(v) for v in row] for row in matrix[start:stop].tolist()]


def _write_text(result: DistanceResult, out: IO[str], sep: str) -> None:
    names = [_text_cell(name, sep) for name in result.names]
    # The corner cell stays empty, as in the square matrices other tools write and read.
    out.write(sep.join(["", *names]) + "\n")
    n = len(names)
    for start in range(0, n, _ROWS_PER_WRITE):
        stop = min(start + _ROWS_PER_WRITE, n)
        rows = _cells(result.matrix, start, stop)
        out.write("".join(names[start + k] + sep + sep.join(row) + "\n" for k, row in enumerate(rows)))


def _text_cell(name: str, sep: str) -> str:
    if sep == "," and any(c in name for c in ',"\n'):
        return '"' + name.replace('"', '""') + '"'
    return name.replace(sep, " ").replace("\n", " ")


def _write_phylip(result: DistanceResult, out: IO[str]) -> None:
    # Square PHYLIP distance matrix (relaxed names: no blanks, padded to at least ten characters).
    names = ["".join("_" if c.isspace() else c for c in name) for name in result.names]
    width = max(10, *(len(name) for name in names))
    n = len(names)
    out.write(f"{n}\n")
    for start in range(0, n, _ROWS_PER_WRITE):
        stop = min(start + _ROWS_PER_WRITE, n)
        rows = _cells(result.matrix, start, stop)
        out.write("".join(names[start + k].ljust(width) + " " + " ".join(row) + "\n"
                          for k, row in enumerate(rows)))


def write_exports(result: DistanceResult, directory: str | os.PathLike[str]) -> list[Path]:
    """Writes the split exports into `directory` (created if missing); returns the files written."""
    exports = result.exports
    if exports is None:
        raise BrantoveilError("no exports were computed")
    folder = Path(directory)
    if folder.exists() and not folder.is_dir():
        raise BrantoveilError(f"cannot write exports into {folder}: it is not a directory")
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise BrantoveilError(f"cannot create {folder}: {error.strerror or error}") from None
    written = []
    values: npt.NDArray[Any]
    if exports.presence is not None:
        name, values, heading = "presence.npy", exports.presence, "trees"
        counts = exports.presence.sum(axis=0, dtype=np.int64)
    elif exports.branch_lengths is not None:
        # A present edge of length 0.0 cannot be told from an absent one here.
        name, values, heading = "branch_lengths.npy", exports.branch_lengths, "trees_nonzero_length"
        counts = np.count_nonzero(exports.branch_lengths, axis=0)
    else:
        raise BrantoveilError("no split matrix was computed")
    with atomic_path(folder / name) as temporary, open(temporary, "wb") as handle:
        save_npy(handle, values)
    written.append(folder / name)
    with atomic_path(folder / "clades.npy") as temporary, open(temporary, "wb") as handle:
        save_npy(handle, exports.clades)
    written.append(folder / "clades.npy")
    with atomic_path(folder / "splits.tsv") as temporary, open(temporary, "w", encoding="utf-8") as text:
        text.write(f"column\ttaxa_count\t{heading}\ttaxa\n")
        for column, (label, clade) in enumerate(zip(exports.labels, exports.clades, strict=True)):
            text.write(f"{column}\t{int(clade.sum())}\t{int(counts[column])}\t{label}\n")
    written.append(folder / "splits.tsv")
    with atomic_path(folder / "trees.tsv") as temporary, open(temporary, "w", encoding="utf-8") as text:
        text.write("row\trun\tname\n")
        for row, (tree, run) in enumerate(zip(result.names, result.runs.tolist(), strict=True)):
            text.write(f"{row}\t{result.run_labels[run]}\t{tree}\n")
    written.append(folder / "trees.tsv")
    with atomic_path(folder / "taxa.txt") as temporary, open(temporary, "w", encoding="utf-8") as text:
        text.write("".join(f"{leaf}\n" for leaf in exports.leaf_names))
    written.append(folder / "taxa.txt")
    return written
