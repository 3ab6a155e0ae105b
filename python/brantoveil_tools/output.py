"""Writes results: matrices as .npy, .npz, CSV/TSV and PHYLIP, split exports; never half a file.

The files of one command are committed together (`commit`), so a failure, an interrupt or a kill
leaves every target as it was. No output may be one of the inputs (`guard.check_paths`).
"""

from __future__ import annotations

import json
import os
import sys
import zipfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from .commit import OutputSet, atomic_path, check_target, output_set
from .errors import BrantoveilError
from .progress import Bytes
from .result import DistanceResult
from .tsv import tsv_cell

__all__ = ["EXPORT_FILES", "MATRIX_SUFFIXES", "atomic_path", "check_target", "export_paths", "matrix_format",
           "output_set", "save_npy", "tsv_cell", "write_exports", "write_matrix", "write_outputs"]

MATRIX_SUFFIXES = (".npy", ".npz", ".csv", ".tsv", ".phy", ".dist")
_ROWS_PER_WRITE = 64
_WRITE_BYTES = 1 << 24  # binary output goes out 16 MiB at a time: a write held up by a busy disk is short


def write_matrix(result: DistanceResult, target: str | os.PathLike[str] | None,
                 progress: bool | None = False) -> None:
    """Writes the matrix in the format its suffix names; no target: TSV on standard output.

    `progress`: a bar of the bytes written on stderr (None: only when stderr is a terminal).
    """
    write_outputs(result, target, progress=progress)


def write_outputs(result: DistanceResult, target: str | os.PathLike[str] | None,
                  exports: str | os.PathLike[str] | None = None, progress: bool | None = False) -> list[Path]:
    """Writes the matrix (as `write_matrix`) and, with `exports`, the split exports (as
    `write_exports`), all together or not at all: the matrix is moved into place last.

    Returns the export files written.
    """
    if target is not None:
        matrix_format(target)
    with output_set() as outputs:
        written = [] if exports is None else _stage_exports(result, exports, outputs)
        if target is None:
            # Standard output on the terminal shares it with the bar: the bar only for a pipe or a file.
            with _meter("writing standard output", None, False if sys.stdout.isatty() else progress) as meter:
                _write_text(result, sys.stdout, "\t", meter)
            sys.stdout.flush()
        else:
            _stage_matrix(result, target, outputs, progress)
    return written


def matrix_format(target: str | os.PathLike[str]) -> str:
    """The suffix of `target`, if it names a matrix format."""
    suffix = Path(target).suffix.lower()
    if suffix not in MATRIX_SUFFIXES:
        raise BrantoveilError(f"cannot tell the format of {target}: use one of {', '.join(MATRIX_SUFFIXES)}")
    return suffix


@contextmanager
def _meter(desc: str, total: int | None, progress: bool | None) -> Iterator[Bytes]:
    meter = Bytes(desc, total, progress)
    try:
        yield meter
    finally:
        meter.close()


def _stage_matrix(result: DistanceResult, target: str | os.PathLike[str], outputs: OutputSet,
                  progress: bool | None = False) -> None:
    suffix = matrix_format(target)
    temporary = outputs.file(target)
    desc = f"writing {Path(target).name}"
    try:
        if suffix == ".npy":
            with open(temporary, "wb") as handle, _meter(desc, result.matrix.nbytes, progress) as meter:
                save_npy(handle, result.matrix, meter.add)
        elif suffix == ".npz":
            fields = _npz_fields(result)
            total = sum(np.asarray(values).nbytes for values in fields.values())
            with zipfile.ZipFile(temporary, "w", allowZip64=True) as archive, \
                    _meter(desc, total, progress) as meter:
                for field, values in fields.items():
                    with archive.open(f"{field}.npy", "w", force_zip64=True) as member:
                        save_npy(member, values, meter.add)
        else:
            with open(temporary, "w", encoding="utf-8", newline="\n") as text, \
                    _meter(desc, None, progress) as meter:
                if suffix in (".phy", ".dist"):
                    _write_phylip(result, text, meter)
                else:
                    _write_text(result, text, "," if suffix == ".csv" else "\t", meter)
    except OSError as error:
        raise BrantoveilError(f"cannot write {target}: {error.strerror or error}") from None


def save_npy(handle: IO[bytes], array: npt.NDArray[Any], written: Callable[[int], None] | None = None) -> None:
    """Writes `array` in NumPy's .npy format in slices of rows, so that a Ctrl-C is seen between
    slices instead of after one write of a matrix of many gigabytes; `written` is told the bytes of
    data of every slice (for a progress bar)."""
    data = np.asarray(array, order="C")  # keeps 0-d arrays 0-d
    np.lib.format.write_array_header_1_0(handle, np.lib.format.header_data_from_array_1_0(data))
    flat = data.reshape(-1)
    step = max(1, _WRITE_BYTES // max(1, data.itemsize))
    for start in range(0, flat.size, step):
        # A view of the slice's bytes, not a copy: a copy of a large matrix costs as much as writing it.
        piece = flat[start : start + step].data.cast("B")
        handle.write(piece)
        if written is not None:
            written(piece.nbytes)


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


def _write_rows(out: IO[str], n: int, head: str, lines: Callable[[int, int], str], meter: Bytes | None) -> None:
    # The size of a text matrix is known only once written: its bar's total is the size so far
    # scaled to every row. Characters stand for bytes (only names may be longer in UTF-8).
    out.write(head)
    size = len(head)
    for start in range(0, n, _ROWS_PER_WRITE):
        stop = min(start + _ROWS_PER_WRITE, n)
        text = lines(start, stop)
        out.write(text)
        if meter is not None:
            size += len(text)
            meter.expect(size if stop == n else len(head) + (size - len(head)) * n // stop)
            meter.add(len(text) + (len(head) if start == 0 else 0))


def _write_text(result: DistanceResult, out: IO[str], sep: str, meter: Bytes | None = None) -> None:
    names = [_text_cell(name, sep) for name in result.names]

    def lines(start: int, stop: int) -> str:
        rows = _cells(result.matrix, start, stop)
        return "".join(names[start + k] + sep + sep.join(row) + "\n" for k, row in enumerate(rows))

    # The corner cell stays empty, as in the square matrices other tools write and read.
    _write_rows(out, len(names), sep.join(["", *names]) + "\n", lines, meter)


def _text_cell(name: str, sep: str) -> str:
    if sep == "," and any(c in name for c in ',"\n'):
        return '"' + name.replace('"', '""') + '"'
    return name.replace(sep, " ").replace("\n", " ")


def _write_phylip(result: DistanceResult, out: IO[str], meter: Bytes | None = None) -> None:
    # Square PHYLIP distance matrix (relaxed names: no blanks, padded to at least ten characters).
    names = ["".join("_" if c.isspace() else c for c in name) for name in result.names]
    width = max(10, *(len(name) for name in names))

    def lines(start: int, stop: int) -> str:
        rows = _cells(result.matrix, start, stop)
        return "".join(names[start + k].ljust(width) + " " + " ".join(row) + "\n" for k, row in enumerate(rows))

    _write_rows(out, len(names), f"{len(names)}\n", lines, meter)


EXPORT_FILES = ("presence.npy", "branch_lengths.npy", "clades.npy", "splits.tsv", "trees.tsv", "taxa.txt")


def export_paths(directory: str | os.PathLike[str]) -> list[Path]:
    """Every file `write_exports` may write or remove in `directory`: the outputs to check."""
    return [Path(directory) / name for name in EXPORT_FILES]


def write_exports(result: DistanceResult, directory: str | os.PathLike[str]) -> list[Path]:
    """Writes the split exports into `directory` (created if missing), all together or not at all;
    returns the files written."""
    with output_set() as outputs:
        return _stage_exports(result, directory, outputs)


def _column_counts(values: npt.NDArray[Any]) -> npt.NDArray[np.int64]:
    """The nonzero cells of every column, summed over slices of rows so that a Ctrl-C is seen between them."""
    counts = np.zeros(values.shape[1], dtype=np.int64)
    step = max(1, _WRITE_BYTES // max(1, values.shape[1] * values.itemsize))
    for start in range(0, values.shape[0], step):
        counts += np.count_nonzero(values[start : start + step], axis=0)
    return counts


def _stage_exports(result: DistanceResult, directory: str | os.PathLike[str], outputs: OutputSet) -> list[Path]:
    exports = result.exports
    if exports is None:
        raise BrantoveilError("no exports were computed")
    folder = Path(directory)
    if folder.exists() and not folder.is_dir():
        raise BrantoveilError(f"cannot write exports into {folder}: it is not a directory")
    outputs.folder(folder)
    values: npt.NDArray[Any]
    if exports.presence is not None:
        name, stale, values, heading = "presence.npy", "branch_lengths.npy", exports.presence, "trees"
        counts = _column_counts(exports.presence)
    elif exports.branch_lengths is not None:
        # A present edge of length 0.0 cannot be told from an absent one here.
        name, stale, values, heading = "branch_lengths.npy", "presence.npy", exports.branch_lengths, \
            "trees_nonzero_length"
        counts = _column_counts(exports.branch_lengths)
    else:
        raise BrantoveilError("no split matrix was computed")
    try:
        with open(outputs.file(folder / name), "wb") as handle:
            save_npy(handle, values)
        with open(outputs.file(folder / "clades.npy"), "wb") as handle:
            save_npy(handle, exports.clades)
        with open(outputs.file(folder / "splits.tsv"), "w", encoding="utf-8") as text:
            text.write(f"column\ttaxa_count\t{heading}\ttaxa\n")
            for column, (label, clade) in enumerate(zip(exports.labels, exports.clades, strict=True)):
                text.write(f"{column}\t{int(clade.sum())}\t{int(counts[column])}\t{tsv_cell(label)}\n")
        with open(outputs.file(folder / "trees.tsv"), "w", encoding="utf-8") as text:
            text.write("row\trun\tname\n")
            for row, (tree, run) in enumerate(zip(result.names, result.runs.tolist(), strict=True)):
                text.write(f"{row}\t{tsv_cell(result.run_labels[run])}\t{tsv_cell(tree)}\n")
        with open(outputs.file(folder / "taxa.txt"), "w", encoding="utf-8") as text:
            text.write("".join(f"{tsv_cell(leaf)}\n" for leaf in exports.leaf_names))
    except OSError as error:
        raise BrantoveilError(f"cannot write exports into {folder}: {error.strerror or error}") from None
    # The other kind's matrix from an earlier run would no longer match these columns.
    outputs.remove(folder / stale)
    return [folder / name for name in (name, "clades.npy", "splits.tsv", "trees.tsv", "taxa.txt")]
