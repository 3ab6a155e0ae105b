"""The output guard every command calls before any work: no output is a file it reads or another output.

Files are told apart as the file system does, by device and inode, so a second name (a hard link, a
symbolic link, ``./`` or a different case on a folded file system) is the same file. Standard input
(``-``) is the file it was redirected from, if any.
"""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Iterable
from contextlib import suppress
from pathlib import Path

from .errors import BrantoveilError

PathLike = str | os.PathLike[str]


def check_paths(read: Iterable[PathLike | None], written: Iterable[PathLike | None],
                folders: Iterable[PathLike | None] = ()) -> None:
    """Refuses, before any work, a file that a command both reads and writes.

    Parameters
    ----------
    read : paths
        Every file the command reads: tree files, parameter files (given or found beside the trees),
        ``"-"`` for standard input, a target tree. Missing files are the readers' to report.
    written : paths
        Every file the command may write, replace or remove. Two of them may not be one file.
    folders : paths
        Folders the command writes into (an export folder, a Zarr store): none may be a file it reads.
        The files it writes inside them belong in `written`.
    """
    sources = _sources(read)
    seen: dict[tuple[int, int, str], str] = {}
    for output in written:
        if output is None:
            continue
        path = os.fspath(output)
        key = _identity(Path(path))
        if key is None:
            continue
        source = sources.get((key[0], key[1])) if not key[2] else None
        if source is not None:
            raise BrantoveilError(f"the output {path} is {source}: choose another output path")
        if key in seen:
            raise BrantoveilError(f"{seen[key]} and {path} are the same output file: choose another path "
                                  f"for one of them")
        seen[key] = path
    for folder in folders:
        if folder is not None:
            _check_folder(Path(folder), sources)


def _sources(read: Iterable[PathLike | None]) -> dict[tuple[int, int], str]:
    sources: dict[tuple[int, int], str] = {}
    for path in read:
        if path is None:
            continue
        with suppress(OSError, ValueError, AttributeError):  # a missing input is the reader's to report
            stdin = os.fspath(path) == "-"
            status = os.fstat(sys.stdin.fileno()) if stdin else os.stat(path)
            if stat.S_ISREG(status.st_mode):
                label = "the standard input" if stdin else f"the input {os.fspath(path)}"
                sources.setdefault((status.st_dev, status.st_ino), label)
    return sources


def _check_folder(folder: Path, sources: dict[tuple[int, int], str]) -> None:
    try:
        status = os.stat(folder)
    except OSError:
        return  # missing: the command creates it
    source = sources.get((status.st_dev, status.st_ino))
    if source is not None:
        raise BrantoveilError(f"the output folder {folder} is {source}: choose another output path")


def _identity(path: Path) -> tuple[int, int, str] | None:
    # (device, inode, "") of an existing file; (device, inode, name) of its folder otherwise.
    try:
        status = os.stat(path)
        return status.st_dev, status.st_ino, ""
    except FileNotFoundError:
        pass
    except OSError:
        return None
    try:
        folder = os.stat(path.parent)
    except OSError:
        return None
    return folder.st_dev, folder.st_ino, path.name


__all__ = ["check_paths"]
