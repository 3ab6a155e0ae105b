"""The picture of tree space in the README: gene trees placed by classical multidimensional scaling of
their normalised Robinson-Foulds distances on shared taxa, coloured by the share of taxa each tree holds.

    brantoveil rf examples/genes/genes.nwk --taxa shared --normalize -o genes_rf.npz
    python3 examples/genes/tree_space.py genes_rf.npz tree_space.png
"""

from __future__ import annotations

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np


def classical_scaling(distances: np.ndarray, dimensions: int = 2) -> np.ndarray:
    """Torgerson's classical scaling: the top eigenvectors of the double-centred squared distances."""
    n = len(distances)
    centring = np.eye(n) - 1.0 / n
    inner = -0.5 * centring @ (distances**2) @ centring
    values, vectors = np.linalg.eigh(inner)
    top = np.argsort(values)[::-1][:dimensions]
    return vectors[:, top] * np.sqrt(np.maximum(values[top], 0.0))


def main(npz: str, png: str) -> None:
    saved = np.load(npz)
    normalized, shared, taxa = saved["normalized"], saved["shared"], saved["taxa"]
    if np.isnan(normalized).any():
        raise SystemExit("some pairs share too few taxa: drop those trees first")
    share = np.diagonal(shared) / len(taxa)  # a tree shares all of its own taxa with itself
    points = classical_scaling(normalized)
    figure, axes = plt.subplots(figsize=(6, 5))
    dots = axes.scatter(points[:, 0], points[:, 1], c=share, cmap="viridis", s=40, edgecolor="black", linewidth=0.4)
    figure.colorbar(dots, ax=axes, label="share of the taxa present in the tree")
    axes.set_xlabel("MDS axis 1")
    axes.set_ylabel("MDS axis 2")
    axes.set_title(f"{len(normalized)} gene trees, normalised RF on shared taxa")
    figure.tight_layout()
    figure.savefig(png, dpi=110)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
