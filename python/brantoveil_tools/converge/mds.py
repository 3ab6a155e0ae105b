"""Two-dimensional pictures of tree space: classical MDS, and landmark MDS so no large eigenproblem is solved.

Landmark MDS (de Silva and Tenenbaum 2004): classical MDS of a few hundred landmarks, then every point is
placed from its squared distances to the landmarks by the pseudo-inverse of the landmark embedding.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

LANDMARKS = 300


def classical_mds(distances: NDArray[np.float64], dimensions: int = 2) -> NDArray[np.float64]:
    """Coordinates whose Euclidean distances best match ``distances`` (Torgerson scaling)."""
    squared = np.asarray(distances, dtype=np.float64) ** 2
    n = squared.shape[0]
    centring = np.eye(n) - 1.0 / n
    gram = -0.5 * centring @ squared @ centring
    values, vectors = _top_eigen(gram, dimensions)
    top = np.argsort(values)[::-1][:dimensions]
    scale = np.sqrt(np.clip(values[top], 0.0, None))
    coordinates = vectors[:, top] * scale
    return _padded(coordinates, dimensions)


def landmark_mds(
    to_landmarks: NDArray[np.float64], landmarks: NDArray[np.int64], dimensions: int = 2
) -> NDArray[np.float64]:
    """Coordinates of every point from its distances to the landmarks (columns of ``to_landmarks``).

    ``landmarks[j]`` is the row of the point that is landmark j, so the landmark block is
    ``to_landmarks[landmarks]``.
    """
    block = np.asarray(to_landmarks[landmarks], dtype=np.float64)
    squared_block = block**2
    k = squared_block.shape[0]
    centring = np.eye(k) - 1.0 / k
    gram = -0.5 * centring @ squared_block @ centring
    values, vectors = _top_eigen(gram, dimensions)
    top = np.argsort(values)[::-1][:dimensions]
    positive = values[top] > 1e-9 * max(float(values.max()), 1e-300)
    pseudo_inverse = np.zeros((dimensions, k))
    pseudo_inverse[: positive.sum()] = (vectors[:, top][:, positive] / np.sqrt(values[top][positive])).T
    mean_squared = squared_block.mean(axis=0)
    squared = np.asarray(to_landmarks, dtype=np.float64) ** 2
    coordinates: NDArray[np.float64] = -0.5 * (squared - mean_squared) @ pseudo_inverse.T
    return coordinates


def _top_eigen(gram: NDArray[np.float64], dimensions: int) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The largest eigenvalues of a symmetric matrix and their vectors.

    Lanczos iterations for all but tiny matrices: a full LAPACK solve makes many small threaded BLAS calls,
    which take seconds instead of milliseconds when the machine's cores are busy.
    """
    n = gram.shape[0]
    if n > 4 * dimensions + 8 and np.any(gram):
        from scipy.sparse.linalg import ArpackError, eigsh

        start = np.random.default_rng(1).standard_normal((n,))
        try:
            values, vectors = eigsh(gram, dimensions, None, None, "LA", start)
            return np.asarray(values, dtype=np.float64), np.asarray(vectors, dtype=np.float64)
        except ArpackError:
            pass
    values, vectors = np.linalg.eigh(gram)
    return values, vectors


def _padded(coordinates: NDArray[np.float64], dimensions: int) -> NDArray[np.float64]:
    if coordinates.shape[1] == dimensions:
        return coordinates
    out = np.zeros((coordinates.shape[0], dimensions))
    out[:, : coordinates.shape[1]] = coordinates
    return out


def tree_space(distances: NDArray[np.float64], landmarks: int = LANDMARKS) -> tuple[NDArray[np.float64], str]:
    """2-D coordinates of the trees of a distance matrix, and the method used."""
    n = distances.shape[0]
    if n <= landmarks:
        return classical_mds(distances), "classical MDS"
    chosen = np.unique(np.linspace(0, n - 1, landmarks).round().astype(np.int64))
    return landmark_mds(distances[:, chosen], chosen), f"landmark MDS ({len(chosen)} landmarks)"
