"""Numbers of the convergence report against independent computations: the engine's full matrix, chains of
known effective sample size, and hand-worked split frequencies."""

from __future__ import annotations

import io
import random
from pathlib import Path

import brantoveil
import numpy as np
import pytest
from Bio import Phylo
from brantoveil_tools import newick_writer
from brantoveil_tools.converge import converge, ess, splits, trees
from brantoveil_tools.converge.assess import sdsf
from brantoveil_tools.converge.mds import classical_mds, landmark_mds
from brantoveil_tools.converge.medoid import newick_from_splits
from brantoveil_tools.sample import read_sample
from brantoveil_tools.summarize.newick import parse
from brantoveil_tools.sums import mean_distances
from treefiles import random_tree, write_runs


def engine_matrix(texts: list[str], rooted: bool) -> np.ndarray:
    _, raw = brantoveil.pairwise_rf_from_newick_iter([str(i) for i in range(len(texts))], iter(texts), [{}],
                                                      [0] * len(texts), rooted=rooted)
    return np.frombuffer(raw, dtype="<u4").reshape(len(texts), len(texts)).astype(np.int64)


TAXA = [f"t{i:02d}" for i in range(11)]


@pytest.fixture
def small_bands(monkeypatch: pytest.MonkeyPatch) -> None:
    # Several engine blocks per run, so the seams between bands are exercised.
    monkeypatch.setattr(trees, "LAG_BAND", 7)
    monkeypatch.setattr(trees, "FOCAL_BAND", 5)


@pytest.mark.parametrize("rooted", [False, True])
def test_split_rows_give_the_engines_distances(tmp_path: Path, small_bands: None, rooted: bool) -> None:
    rng = random.Random(5)
    runs = [[random_tree(TAXA, rng) for _ in range(23)], [random_tree(TAXA, rng) for _ in range(18)]]
    sample = read_sample(write_runs(tmp_path, runs), burnin=0)
    presence = trees.encode_runs(sample, rooted=rooted, lengths=False).presence
    expected = engine_matrix(runs[0] + runs[1], rooted)
    first, second = np.triu_indices(41, 1)
    assert np.array_equal(presence.pair_distances(first, second), expected[first, second])
    for tree in (0, 7, 40):
        assert np.array_equal(presence.distances_to(tree), expected[tree])


def test_medoids_are_the_full_matrix_medoids(tmp_path: Path, small_bands: None) -> None:
    rng = random.Random(11)
    # A few base trees with noise, so the mean distances differ from tree to tree.
    bases = [random_tree(TAXA, rng) for _ in range(3)]
    runs = [[rng.choice(bases) if rng.random() < 0.6 else random_tree(TAXA, rng) for _ in range(30)]
            for _ in range(2)]
    report = converge(write_runs(tmp_path, runs), burnin=0, rooted=False)
    texts = runs[0] + runs[1]
    full = engine_matrix(texts, rooted=False)
    overall_means = full.mean(axis=1)
    assert report.medoid_mean_distance == pytest.approx(overall_means.min())
    chosen = int(report.medoid_name.split(":")[1]) - 1 + (30 if report.medoid_name.startswith("run2") else 0)
    assert overall_means[chosen] == pytest.approx(overall_means.min())
    for r, run in enumerate(report.runs):
        block = full[30 * r : 30 * (r + 1), 30 * r : 30 * (r + 1)]
        assert run.medoid_mean_distance == pytest.approx(block.mean(axis=1).min())
        medoid_row = int(run.medoid_name.split(":")[1]) - 1
        assert np.array_equal(run.trace, block[medoid_row])
        # The written Newick is the medoid tree itself.
        assert engine_matrix([run.medoid_newick, runs[r][medoid_row]], rooted=False)[0, 1] == 0


def test_mean_distances_of_candidates_to_another_set(tmp_path: Path) -> None:
    rng = random.Random(3)
    texts = [random_tree(TAXA, rng) for _ in range(12)]
    sample = read_sample(write_runs(tmp_path, [texts]), burnin=0)
    encoded = trees.encode_runs(sample, rooted=False, lengths=False)
    candidates, reference = np.arange(0, 5), np.arange(5, 12)
    full = engine_matrix(texts, rooted=False)
    expected = full[np.ix_(candidates, reference)].mean(axis=1)
    splits = (encoded.presence.indptr, encoded.presence.indices)
    assert np.array_equal(mean_distances(encoded.native, "rf", candidates, reference, splits), expected)


@pytest.mark.parametrize("n_taxa", [4, 9, 17])
def test_newick_from_splits_round_trips_through_the_engine(n_taxa: int) -> None:
    rng = random.Random(n_taxa)
    taxa = [f"x{i}" for i in range(n_taxa)]
    for _ in range(5):
        text = random_tree(taxa, rng)
        result = brantoveil.pairwise_rf_with_snapshots_from_newick_iter(["a", "b"], iter([text, text]), [{}],
                                                                         [0, 0])
        leaf_names, n_columns, clade_bytes = result[2], result[3], result[5]
        rows = np.frombuffer(clade_bytes, dtype=np.uint8).reshape(n_columns, (n_taxa + 7) // 8)
        sizes = splits.packed_sizes(rows, n_taxa)
        written = newick_from_splits(rows[(sizes >= 2) & (sizes <= n_taxa - 2)], leaf_names)
        assert engine_matrix([written, text], rooted=False)[0, 1] == 0


@pytest.mark.parametrize(
    ("name", "label"),
    [
        ("Homo_sapiens", "Homo_sapiens"),  # plain
        ("Homo sapiens", "'Homo sapiens'"),  # blank
        ("Pan's", "'Pan''s'"),  # quote doubled
        ("a:b", "'a:b'"),  # reserved punctuation
        ("x(1)", "'x(1)'"),
        ("H.sapiens+2", "'H.sapiens+2'"),  # NEXUS punctuation: quoted so every reader splits it alike
        ("a,b;[c]", "'a,b;[c]'"),
    ],
)
def test_a_written_label_reads_back_as_the_name(name: str, label: str) -> None:
    assert newick_writer.quote(name) == label
    names = [name, "Pan", "Gorilla", "Pongo"]
    sides = np.packbits(np.array([[0, 0, 1, 1]], dtype=np.uint8), axis=1, bitorder="little")
    text = newick_from_splits(sides, names)
    parsed = parse(text)
    assert sorted(parsed.labels[leaf] or "" for leaf in parsed.leaves()) == sorted(names)
    assert sorted(leaf.name for leaf in Phylo.read(io.StringIO(text), "newick").get_terminals()) == sorted(names)


def chain(blocks: int, repeat: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    taxa = [f"t{i:02d}" for i in range(14)]
    return [tree for _ in range(blocks) for tree in [random_tree(taxa, rng)] * repeat]


@pytest.mark.parametrize("phi", [0.0, 0.5, 0.8])
def test_trace_ess_of_autoregressive_chains(phi: float) -> None:
    # For AR(1) with coefficient phi the ESS is n (1 - phi) / (1 + phi).
    rng = np.random.default_rng(1)
    n = 20000
    noise = rng.normal(size=n)
    values = np.empty(n)
    values[0] = noise[0]
    for t in range(1, n):
        values[t] = phi * values[t - 1] + noise[t]
    assert ess.trace_ess_viewer(values) == pytest.approx(n * (1 - phi) / (1 + phi), rel=0.15)


def test_constant_chain_has_no_ess(tmp_path: Path) -> None:
    report = converge(write_runs(tmp_path, [chain(1, 50, seed=2)]), burnin=0)
    run = report.runs[0]
    assert all(np.isnan(v) for v in (run.approx_ess, run.pseudo_ess, run.pseudo_ess_min))
    assert run.frechet_ess == 1.0  # by its definition
    assert report.to_dict()["runs"][0]["approx_ess"] is None
    assert "not estimable" in report.summary() and "the trees never differ" in report.summary()


@pytest.mark.parametrize(
    ("frequencies", "min_freq", "asdsf", "max_sdsf", "counted"),
    [
        # Two runs: SD of (a, b) with n - 1 is |a - b| / sqrt 2; the 0.05/0.0 split is below 0.10 in both.
        ([[1.0, 0.8], [0.5, 0.5], [0.05, 0.0]], 0.10, (0.2 / 2**0.5) / 2, 0.2 / 2**0.5, [True, True, False]),
        # A split reaching min_freq in only one run counts.
        ([[0.1, 0.0]], 0.10, 0.1 / 2**0.5, 0.1 / 2**0.5, [True]),
        # Three runs.
        ([[0.2, 0.4, 0.6]], 0.0, 0.2, 0.2, [True]),
        # No split reaches min_freq: no split to compare.
        ([[0.01, 0.02]], 0.5, float("nan"), float("nan"), [False]),
    ],
)
def test_standard_deviation_of_split_frequencies(
    frequencies: list[list[float]], min_freq: float, asdsf: float, max_sdsf: float, counted: list[bool]
) -> None:
    got = sdsf(np.asarray(frequencies), min_freq)
    assert got[0] == pytest.approx(asdsf, nan_ok=True) and got[1] == pytest.approx(max_sdsf, nan_ok=True)
    assert got[2].tolist() == counted


def test_one_run_has_no_asdsf() -> None:
    assert sdsf(np.asarray([[0.5], [1.0]]), 0.1)[:2] == (None, None)


def test_split_table_and_cumulative_asdsf(tmp_path: Path) -> None:
    # Four taxa: run 1 always ((A,B),(C,D)); run 2 half of the time ((A,C),(B,D)).
    ab, ac = "((A,B),(C,D));", "((A,C),(B,D));"
    report = converge(write_runs(tmp_path, [[ab] * 8, [ab, ac] * 4]), burnin=0, rooted=False)
    # Equal halves are named by the side without the first taxon.
    assert report.splits.taxa == (("C", "D"), ("B", "D"))
    assert report.splits.frequencies.tolist() == [[1.0, 0.5], [0.0, 0.5]]
    assert report.splits.overall.tolist() == [0.75, 0.25]
    assert report.asdsf == pytest.approx(0.5 / 2**0.5)
    assert report.cumulative_trees[-1] == 8
    assert report.cumulative_asdsf[-1] == pytest.approx(report.asdsf)
    # After one tree per run both runs hold only (A,B).
    assert report.cumulative_trees[0] == 1 and report.cumulative_asdsf[0] == 0.0


@pytest.mark.parametrize("landmarks", [None, 12])
def test_scaling_recovers_planar_distances(landmarks: int | None) -> None:
    points = np.random.default_rng(4).normal(size=(60, 2))
    distances = np.linalg.norm(points[:, None] - points[None, :], axis=2)
    if landmarks is None:
        coordinates = classical_mds(distances)
    else:
        chosen = np.arange(0, 60, 60 // landmarks)
        coordinates = landmark_mds(distances[:, chosen], chosen)
    recovered = np.linalg.norm(coordinates[:, None] - coordinates[None, :], axis=2)
    assert np.allclose(recovered, distances, atol=1e-8)
