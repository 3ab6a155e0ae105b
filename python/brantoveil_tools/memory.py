"""The memory a result will take, weighed before any work against the memory the machine has free.

A matrix larger than the memory is not computed only to be killed by the kernel with no word: the
check refuses it up front and says what makes it large (the trees or the taxa) and the ways out.
"""

from __future__ import annotations

import os
import re

from .errors import BrantoveilError

MEMORY_ENV = "BRANTOVEIL_MEMORY"
"""The environment variable that sets the memory a result may take (``12G``, ``500M``, bytes), instead of
the memory the system reports available."""

_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
_SIZE = re.compile(r"\s*([0-9]+(?:\.[0-9]*)?)\s*([KMGT]?)i?B?\s*", re.IGNORECASE)


class MemoryLimitError(BrantoveilError):
    """The result would not fit in memory.

    Attributes
    ----------
    reason : str
        The message without the way to override the check.
    needed, available : int
        Bytes the result takes at least, and bytes free for it.
    cause : {"trees", "taxa"}
        What makes it large: the n x n matrix of the trees, or the splits of many taxa (exports).
    """

    def __init__(self, reason: str, override: str, *, needed: int, available: int, cause: str) -> None:
        super().__init__(f"{reason} ({override} tries anyway)" if override else reason)
        self.reason, self.needed, self.available, self.cause = reason, needed, available, cause


def parse_size(text: str) -> int:
    """Bytes from ``12G``, ``500M``, ``1.5T`` or a plain number."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise BrantoveilError(f"{MEMORY_ENV}={text!r} is not a size (for example 12G or 500M)")
    return int(float(match[1]) * _UNITS[match[2].upper()])


def available() -> int | None:
    """Bytes a result may take: `MEMORY_ENV` if set, else the memory the system reports available
    (None where it cannot tell)."""
    text = os.environ.get(MEMORY_ENV)
    if text:
        return parse_size(text)
    try:
        with open("/proc/meminfo", encoding="ascii") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    if hasattr(os, "sysconf"):
        try:
            return int(os.sysconf("SC_AVPHYS_PAGES")) * int(os.sysconf("SC_PAGE_SIZE"))
        except (OSError, ValueError):
            return None
    return None


def human(size: float) -> str:
    """``22.5 GB`` for a number of bytes (decimal units, as `df -H` and `free --si` show them)."""
    for unit in ("B", "kB", "MB", "GB", "TB", "PB"):
        if size < 1000 or unit == "PB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1000
    raise AssertionError("unreachable")


def estimate(trees: int, taxa: int, itemsize: int, exports: bool, weighted: bool) -> tuple[int, int]:
    """Bytes the matrix of `trees` takes, and at least those the exports of trees of `taxa` take.

    Every taxon is a split of every tree (pendant edges), so exports hold at least `taxa` columns:
    the presence or branch-length matrix, the clades as booleans and, packed, as bits.
    """
    matrix = trees * trees * itemsize
    if not exports:
        return matrix, 0
    splits = taxa
    return matrix, trees * splits * (8 if weighted else 1) + splits * taxa + splits * ((taxa + 7) // 8)


def check(trees: int, taxa: int, itemsize: int, exports: bool = False, weighted: bool = False,
          override: str = "check_memory=False") -> None:
    """Refuses a result larger than `available` memory; the MemoryLimitError names the cause and `override`."""
    free = available()
    if free is None:
        return
    matrix, splits = estimate(trees, taxa, itemsize, exports, weighted)
    if matrix + splits > free:
        raise limit_error(trees, taxa, matrix, splits, free, override)


def limit_error(trees: int, taxa: int, matrix: int, splits: int, free: int | None,
                override: str = "") -> MemoryLimitError:
    """The error for a result of `matrix` + `splits` bytes, `free` bytes being free (None: unknown)."""
    needed = matrix + splits
    there = "" if free is None else f", and {human(free)} is free"
    if splits > matrix:
        return MemoryLimitError(
            f"the split exports of trees of {taxa} taxa take at least {human(needed)}{there}: "
            f"do without the exports, or compare fewer taxa", override, needed=needed, available=free or 0,
            cause="taxa")
    return MemoryLimitError(
        f"the {trees} x {trees} matrix takes {human(needed)}{there}: write it in tiles (a .zarr output), "
        f"thin the sample or keep fewer trees", override, needed=needed, available=free or 0, cause="trees")


__all__ = ["MEMORY_ENV", "MemoryLimitError", "available", "check", "estimate", "human", "limit_error", "parse_size"]
