"""Writes results: matrices as .npy, .npz, CSV/TSV and PHYLIP, split exports; never half a file.

Every file is written to a temporary file beside its target and moved into place only once it is
complete, and the files of one command are moved together, so a failure or an interrupt leaves
every target as it was. No output may be one of the inputs (`guard.check_paths`).
"""

from __future__ import annotations

import ctypes
import functools
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import stat
import sys
import tempfile
import threading
import zipfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from contextvars import ContextVar
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from .api import DistanceResult
from .errors import BrantoveilError
from .progress import Bytes

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


# A writer's temporary folder is named after its target, its process and its machine, so a later
# writer of the same target can tell the leftovers of a killed process from those of a live one.
_LEFTOVER = re.compile(r"(?P<pid>[0-9]+)-(?P<host>[0-9a-f]{8})\.[^.]+\.tmp")


def _host_tag() -> str:
    return hashlib.blake2b(socket.gethostname().encode(), digest_size=4).hexdigest()


def _alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's process, or a check this system refuses: assume alive
        return True
    return True


def remove_leftovers(target: str | os.PathLike[str]) -> list[Path]:
    """Removes the temporary folders that writers of `target` on this machine left behind when they
    were killed (their process no longer exists); returns the folders removed.

    Folders of live processes, of other machines sharing the folder, and anything not named as this
    module names its folders are left alone.
    """
    final = Path(target)
    prefix, host = f".{final.name}.", _host_tag()
    removed: list[Path] = []
    try:
        entries = list(os.scandir(final.parent))
    except OSError:
        return removed
    for entry in entries:
        if not entry.name.startswith(prefix):
            continue
        match = _LEFTOVER.fullmatch(entry.name[len(prefix):])
        if match is None or match["host"] != host or _alive(int(match["pid"])):
            continue
        with suppress(OSError):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path)
                removed.append(Path(entry.path))
    return removed


@dataclass
class _Staged:
    final: Path
    folder: Path  # private, beside `final`: holds the new file and, while committing, the old one
    temporary: Path | None  # None: `final` is to be removed


class OutputSet:
    """Files that appear together or not at all: each is written into a private folder beside its
    target, and `commit` moves them all into place in the order they were staged.

    A failure or an interrupt before or during the commit leaves every target as it was (those
    already moved are put back), so a reader never sees new files beside old ones.
    """

    def __init__(self) -> None:
        self._staged: list[_Staged] = []
        self._created: list[Path] = []

    def file(self, target: str | os.PathLike[str]) -> Path:
        """A path to write the new content of `target` to; created by its writer."""
        staged = self._stage(Path(target), remove=False)
        assert staged.temporary is not None
        return staged.temporary

    def remove(self, target: str | os.PathLike[str]) -> None:
        """Removes `target`, if it exists, with the rest of the commit."""
        if Path(target).exists():
            self._stage(Path(target), remove=True)

    def folder(self, directory: str | os.PathLike[str]) -> Path:
        """Creates `directory` if missing; a failed set removes it again if it stayed empty."""
        folder = Path(directory)
        if folder.exists() and not folder.is_dir():
            raise BrantoveilError(f"cannot write into {folder}: it is not a directory")
        missing = []
        for parent in (folder, *folder.parents):
            if parent.exists():
                break
            missing.append(parent)
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise BrantoveilError(f"cannot create {folder}: {error.strerror or error}") from None
        self._created.extend(missing)
        return folder

    def _stage(self, final: Path, remove: bool) -> _Staged:
        check_target(final)
        remove_leftovers(final)
        try:
            folder = Path(tempfile.mkdtemp(prefix=f".{final.name}.{os.getpid()}-{_host_tag()}.", suffix=".tmp",
                                           dir=final.parent))
        except OSError as error:
            raise BrantoveilError(f"cannot write {final}: {error.strerror or error}") from None
        # The file does not exist yet, so its writer creates it. Reopening an empty temporary file
        # would truncate it, and ext4 answers a truncated file's close with a flush of all that was
        # written: 0.2 s for a 400 MB matrix.
        staged = _Staged(final, folder, None if remove else folder / final.name)
        self._staged.append(staged)
        if not remove:
            _release_cache(final)
        return staged

    def commit(self) -> None:
        """Moves every staged file into place (removes those staged for removal), all or none."""
        done: list[tuple[_Staged, Path | None]] = []
        with _interrupts_deferred():
            try:
                for staged in self._staged:
                    done.append((staged, _keep_old(staged)))
                    if staged.temporary is None:
                        staged.final.unlink(missing_ok=True)
                    elif done[-1][1] is None or not _exchange(staged.temporary, staged.final):
                        os.replace(staged.temporary, staged.final)
            except BaseException as error:
                for staged, old in reversed(done):
                    with suppress(OSError):
                        if old is not None:
                            os.replace(old, staged.final)
                        elif staged.temporary is not None:
                            staged.final.unlink(missing_ok=True)
                if isinstance(error, OSError):
                    failed = done[-1][0].final if done else Path("?")
                    raise BrantoveilError(f"cannot write {failed}: {error.strerror or error}") from None
                raise
        self._created.clear()

    def discard(self) -> None:
        """Removes the private folders (and the folders `folder` created, if a commit never came)."""
        for staged in self._staged:
            with suppress(OSError):
                shutil.rmtree(staged.folder)
        self._staged.clear()
        for folder in self._created:
            with suppress(OSError):
                folder.rmdir()
        self._created.clear()


_AT_FDCWD = -100
_RENAME_EXCHANGE = 2


@functools.cache
def _renameat2() -> Callable[..., int] | None:
    if sys.platform != "linux":
        return None
    try:
        function: Callable[..., int] = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):  # a C library without it (glibc before 2.28, some others)
        return None
    return function


def _exchange(new: Path, final: Path) -> bool:
    """Swaps the names of `new` and an existing `final` atomically; False where that cannot be done.

    Renaming over an existing file makes ext4 start writing the new file out inside the rename
    (0.3 s for a 400 MB matrix); an exchange does not, and the old file then goes with the private folder.
    """
    function = _renameat2()
    if function is None:
        return False
    return function(_AT_FDCWD, os.fsencode(new), _AT_FDCWD, os.fsencode(final), _RENAME_EXCHANGE) == 0


class _CacheStat(ctypes.Structure):
    _fields_ = [(field, ctypes.c_uint64) for field in ("cache", "dirty", "writeback", "evicted", "recently_evicted")]


class _CacheRange(ctypes.Structure):
    _fields_ = [("offset", ctypes.c_uint64), ("length", ctypes.c_uint64)]


_SYS_CACHESTAT = 451  # the same number on every architecture Linux numbers generically (x86-64, aarch64)


@functools.cache
def _syscall() -> Callable[..., int] | None:
    if sys.platform != "linux" or not hasattr(os, "posix_fadvise"):
        return None
    try:
        function: Callable[..., int] = ctypes.CDLL(None, use_errno=True).syscall
    except (OSError, AttributeError):
        return None
    return function


def _release_cache(final: Path) -> None:
    """Lets the kernel reuse, for the new file, the memory caching the file it is about to replace.

    The old file stays whole on disk until the commit (and afterwards when the commit fails); only its
    copy in memory goes, and only when none of it is dirty: dropping dirty pages would first write
    them out, for a file deleted a moment later. Otherwise the new file's pages are taken from free
    memory while the old ones sit unused until the old file is deleted, and deleting it then also has
    to clear them. Measured on a virtual machine whose memory untouched for a while is slow to touch
    again: writing a 400 MB matrix over a 400 MB file took 0.4-1.3 s, and 0.1 s with this, as for a
    new file. Skipped where the kernel cannot tell (Linux before 6.5, other systems), for a file with
    other names, and for anything but a regular file.
    """
    syscall = _syscall()
    if syscall is None:
        return
    try:
        fd = os.open(final, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:  # missing, a symbolic link, unreadable: nothing to release
        return
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode) or status.st_nlink != 1:
            return
        pages = _CacheStat()
        if syscall(ctypes.c_long(_SYS_CACHESTAT), ctypes.c_long(fd), ctypes.byref(_CacheRange(0, 0)),
                   ctypes.byref(pages), ctypes.c_long(0)) != 0:
            return
        if pages.dirty == 0 and pages.writeback == 0 and pages.cache > 0:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    except OSError:
        pass
    finally:
        os.close(fd)


def _keep_old(staged: _Staged) -> Path | None:
    # A second name for the target's present file, so a failed commit can put it back; the target
    # itself is never missing, because os.replace swaps names atomically.
    old = staged.folder / f"previous.{staged.final.name}"
    try:
        os.link(staged.final, old, follow_symlinks=False)
    except FileNotFoundError:
        return None
    except OSError:  # a file system without hard links: copy instead
        if not staged.final.exists():
            return None
        shutil.copy2(staged.final, old, follow_symlinks=False)
    return old


@contextmanager
def _interrupts_deferred() -> Iterator[None]:
    """Holds back Ctrl-C (SIGINT) for the few renames of a commit; it is raised right after."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received: list[int] = []
    previous = signal.getsignal(signal.SIGINT)
    if previous is None:  # a handler installed outside Python: it could not be put back
        yield
        return
    signal.signal(signal.SIGINT, lambda signum, frame: received.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if received and callable(previous):
        previous(signal.SIGINT, None)


# The set every `output_set` and `atomic_path` inside a command's outer `output_set` joins, so that
# writers written one file at a time still commit with the command's other outputs.
_CURRENT: ContextVar[OutputSet | None] = ContextVar("brantoveil_output_set", default=None)


@contextmanager
def output_set() -> Iterator[OutputSet]:
    """An `OutputSet` committed when the block ends without error; its private folders go either way.

    Inside another `output_set` block it is that block's set: everything commits at the outer end.
    """
    outer = _CURRENT.get()
    if outer is not None:
        yield outer
        return
    outputs = OutputSet()
    token = _CURRENT.set(outputs)
    try:
        yield outputs
        _CURRENT.reset(token)
        outputs.commit()
    finally:
        if _CURRENT.get() is outputs:
            _CURRENT.reset(token)
        outputs.discard()


@contextmanager
def atomic_path(target: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields a path beside `target`, in a private folder of its own; on success the file written
    there replaces `target` (at the end of the enclosing `output_set` block, if any), on failure it
    is removed. Either way the folder goes."""
    final = Path(target)
    try:
        with output_set() as outputs:
            yield outputs.file(final)  # created by its writer, so with the mode the umask gives new files
    except OSError as error:
        raise BrantoveilError(f"cannot write {final}: {error.strerror or error}") from None


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
        counts = exports.presence.sum(axis=0, dtype=np.int64)
    elif exports.branch_lengths is not None:
        # A present edge of length 0.0 cannot be told from an absent one here.
        name, stale, values, heading = "branch_lengths.npy", "presence.npy", exports.branch_lengths, \
            "trees_nonzero_length"
        counts = np.count_nonzero(exports.branch_lengths, axis=0)
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
                text.write(f"{column}\t{int(clade.sum())}\t{int(counts[column])}\t{label}\n")
        with open(outputs.file(folder / "trees.tsv"), "w", encoding="utf-8") as text:
            text.write("row\trun\tname\n")
            for row, (tree, run) in enumerate(zip(result.names, result.runs.tolist(), strict=True)):
                text.write(f"{row}\t{result.run_labels[run]}\t{tree}\n")
        with open(outputs.file(folder / "taxa.txt"), "w", encoding="utf-8") as text:
            text.write("".join(f"{leaf}\n" for leaf in exports.leaf_names))
    except OSError as error:
        raise BrantoveilError(f"cannot write exports into {folder}: {error.strerror or error}") from None
    # The other kind's matrix from an earlier run would no longer match these columns.
    outputs.remove(folder / stale)
    return [folder / name for name in (name, "clades.npy", "splits.tsv", "trees.tsv", "taxa.txt")]
