"""Tree islands: runs sampling two far-apart groups of topologies in different shares."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from brantoveil_tools.api import distances
from brantoveil_tools.converge import converge
from brantoveil_tools.converge.islands import silhouette

# Two far-apart topologies, each with two neighbours one leaf swap away.
ISLAND_A = ["((((t0,t1),t2),t3),(t4,(t5,(t6,t7))));", "((((t0,t1),t3),t2),(t4,(t5,(t6,t7))));",
            "((((t0,t1),t2),t3),(t5,(t4,(t6,t7))));"]
ISLAND_B = ["((((t0,t7),t5),t3),(t4,(t2,(t6,t1))));", "((((t0,t7),t3),t5),(t4,(t2,(t6,t1))));",
            "((((t0,t7),t5),t3),(t2,(t4,(t6,t1))));"]


def _run(path: Path, share_a: float, n: int, rng: np.random.Generator) -> None:
    lines = []
    for i in range(n):
        island = ISLAND_A if rng.random() < share_a else ISLAND_B
        lines.append(f"  tree gen.{i * 10} = [&U] {island[0 if rng.random() < 0.6 else rng.integers(1, 3)]}\n")
    path.write_text("#NEXUS\nbegin trees;\n" + "".join(lines) + "end;\n")


@pytest.mark.parametrize(("shares", "expected"), [((0.8, 0.2), 2), ((0.5, 0.5), 2), ((1.0, 1.0), 1)])
def test_islands_have_their_share_of_every_run_and_their_own_consensus(
        shares: tuple[float, float], expected: int, tmp_path: Path) -> None:
    rng = np.random.default_rng(3)
    runs = [tmp_path / f"isl.run{r + 1}.t" for r in range(2)]
    for run, share in zip(runs, shares, strict=True):
        _run(run, share, 400, rng)
    report = converge(runs, burnin=0, suggest_burnin=False, no_params=True)
    assert report.islands is not None
    islands = report.islands.islands
    assert len(islands) == expected
    texts = [[line.split("] ", 1)[1].strip() for line in run.read_text().splitlines() if "tree gen" in line]
             for run in runs]
    for island in islands:
        base = ISLAND_A if distances([island.consensus, ISLAND_A[0]]).matrix[0, 1] == 0 else ISLAND_B
        assert distances([island.consensus, base[0]]).matrix[0, 1] == 0  # its own majority-rule tree
        truth = [np.mean([tree in base for tree in trees]) for trees in texts]
        assert island.shares == pytest.approx(truth)
    drawn = np.bincount(report.islands.drawn, minlength=expected)
    assert len(drawn) == expected and drawn.min() > 0
    listed = report.to_dict()["islands"]["islands"]
    assert [list(entry["shares"].values()) for entry in listed] == [list(island.shares) for island in islands]


def test_silhouette_of_two_tight_far_clusters_is_near_one() -> None:
    points = np.array([0.0, 0.1, 0.2, 10.0, 10.1, 10.2])
    matrix = np.abs(points[:, None] - points[None, :])
    assert silhouette(matrix, np.array([1, 1, 1, 2, 2, 2])) == pytest.approx(1 - 0.15 / 10, abs=0.01)
    assert silhouette(matrix, np.array([1, 2, 1, 2, 1, 2])) < 0
