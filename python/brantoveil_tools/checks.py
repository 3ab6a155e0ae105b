"""Checks on finished results that tell the user what the numbers alone would hide."""

from __future__ import annotations

import math
import re
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

from . import engine
from .errors import BrantoveilError
from .policy import METRICS
from .sample import Sample

_ROWS_PER_SCAN = 256
_PROVEN_FINITE = 2.0**1020  # twice it, with room for rounding, stays below the largest double (~2^1024)
_CANDIDATES = 64  # trees whose text is read to find the length
# Comments and quoted labels may hold colons; a length is what follows a colon outside them.
_HIDDEN = re.compile(r"\[[^\]]*\]|'(?:[^']|'')*'")
_LENGTH = re.compile(r":\s*([^\s,():;\[\]]+)")


class NonFiniteDistanceWarning(UserWarning):
    """Some distances are NaN or infinite: a tree has a branch length that is not finite or that
    overflows the metric. The engine computes them as IEEE arithmetic gives them."""


class MissingLengthsWarning(UserWarning):
    """Some trees have no branch lengths: the weighted metrics count every branch of theirs as 0."""


def check_lengths(sample: Sample, metric: str, stacklevel: int = 3) -> None:
    """Refuses a weighted `metric` on trees without any branch length (every distance would be a
    plain sum of the other tree's lengths, or 0); warns once, naming the first, when only some lack them."""
    status = sample.lengths_status()
    title = METRICS[metric].title
    if status.state == "none":
        raise BrantoveilError(f"the {title} distance needs branch lengths, and no tree has any "
                              f"(use rf for topologies alone)")
    if status.state == "some":
        warnings.warn(f"{status.first_lacking}: no branch lengths ({status.lacking} of {status.trees} trees lack "
                      f"them); the {title} distance counts their branches as 0", MissingLengthsWarning,
                      stacklevel=stacklevel)


def warn_non_finite(matrix: npt.NDArray[Any], sample: Sample, metric: str, stacklevel: int = 3) -> None:
    """Warns once, naming the file, the tree and the length, when `matrix` of `metric` ("wrf", "kf")
    holds NaN or infinity."""
    message = non_finite(matrix, sample, metric)
    if message is not None:
        warnings.warn(message, NonFiniteDistanceWarning, stacklevel=stacklevel)


def non_finite(matrix: npt.NDArray[Any], sample: Sample, metric: str) -> str | None:
    """What makes distances of `matrix` NaN or infinite (file, tree and length), or None when all are finite.

    Both metrics obey the triangle inequality, d(i, j) <= d(i, 0) + d(0, j), and a tree with a length
    that is not finite is at a distance that is not finite from tree 0: so a first row that is finite
    and far from overflowing when doubled proves every cell finite, at the cost of one row. Otherwise
    the whole matrix is read: distances are never negative, so a finite sum means every cell is finite.
    """
    if matrix.dtype.kind != "f":
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        # Every tree's distance to tree 0: the first column, which is also there when `matrix` holds
        # the distances to a few reference trees only.
        first = float(np.max(matrix[:, 0])) if matrix.size else 0.0
    if math.isfinite(first) and first < _PROVEN_FINITE:
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        if math.isfinite(float(matrix.sum(dtype=np.float64))):
            return None
    bad = np.zeros(len(matrix), dtype=np.int64)
    for start in range(0, len(matrix), _ROWS_PER_SCAN):
        rows = matrix[start : start + _ROWS_PER_SCAN]
        bad[start : start + len(rows)] = len(rows[0]) - np.isfinite(rows).sum(axis=1)
    if not bad.any():
        return None  # only the sum overflowed
    # A tree with a bad length spoils its whole row, the others only its column (with two trees,
    # both rows alike): of the worst rows, the tree with the largest length is the culprit.
    candidates = np.flatnonzero(bad == bad.max())[:_CANDIDATES]
    found = [(tree, _worst_length(text))
             for tree, text in zip(candidates.tolist(), sample.subset(candidates).newick(), strict=True)]
    tree, length = max(found, key=lambda item: _magnitude(item[1]))  # the first of the largest
    run = sample.run_labels[int(sample.runs[tree])]
    where = f"{run}, tree {sample.tree_names[tree]}"
    title = METRICS[metric].title
    if length is None:
        return f"{where}: its {title} distances are NaN or infinite"
    problem = "overflows" if math.isfinite(float(length)) else "is not finite"
    return f"{where}: branch length {length} {problem}: its {title} distances are NaN or infinite"


def warn_non_finite_sample(native: engine.EncodedSample, sample: Sample, metric: str, stacklevel: int = 3) -> None:
    """`warn_non_finite` for a sample whose matrix is never held (written tile by tile)."""
    message = non_finite_sample(native, sample, metric)
    if message is not None:
        warnings.warn(message, NonFiniteDistanceWarning, stacklevel=stacklevel)


def non_finite_sample(native: engine.EncodedSample, sample: Sample, metric: str) -> str | None:
    """`non_finite` for a sample whose matrix is never held: the distances of every tree to the first
    two show the trees whose lengths spoil their rows.

    `native` is the sample encoded with its lengths (an `EncodedSample`).
    """
    n = int(native.n_trees)
    if metric == "rf" or n < 2:
        return None
    return non_finite(engine.block(native, metric, range(n), np.arange(2, dtype=np.int64)), sample, metric)


def _magnitude(token: str | None) -> float:
    if token is None:
        return -1.0
    value = abs(float(token))
    return math.inf if math.isnan(value) else value


def _worst_length(text: str) -> str | None:
    """The first length of the tree that is not finite, else its largest in magnitude."""
    worst: tuple[float, str] | None = None
    for match in _LENGTH.finditer(_HIDDEN.sub("", text)):
        token = match.group(1)
        try:
            value = float(token)
        except ValueError:
            continue
        if not math.isfinite(value):
            return token
        if worst is None or abs(value) > worst[0]:
            worst = abs(value), token
    return None if worst is None else worst[1]


__all__ = ["NonFiniteDistanceWarning", "non_finite", "non_finite_sample", "warn_non_finite", "warn_non_finite_sample"]
