"""The one reduction every medoid comes from: summed distances equal the engine's, bit for bit, on any path."""

import numpy as np
import pytest
import reference
from brantoveil_tools import _engine, sums
from brantoveil_tools.converge.trees import presence_from_engine

DTYPES = {"rf": "<u4", "wrf": "<f8", "kf": "<f8"}


def encoded(texts, rooted):
    names = [str(k) for k in range(len(texts))]
    return _engine.encode(names, iter(texts), [{}], [0] * len(texts), rooted=rooted, lengths=True)


def full_matrix(native, metric):
    n = native.n_trees
    return np.frombuffer(native.block(metric, range(n), range(n)), dtype=DTYPES[metric]).reshape(n, n)


# Samples of every shape: repeated trees (ties of the medoid), multifurcations (trees of fewer splits),
# single-child wrappers, arbitrary lengths.
SAMPLES = {
    "binary": dict(seed=1, n_trees=40, n_taxa=9),
    "multifurcating": dict(seed=2, n_trees=40, n_taxa=12, multifurcation=0.5, unary=0.2),
    "float lengths": dict(seed=3, n_trees=30, n_taxa=7, lengths="float", multifurcation=0.3),
}


@pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
@pytest.mark.parametrize("shape", SAMPLES)
@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
def test_sums_and_medoids_are_the_engines_on_every_path(monkeypatch, shape, rooted, metric):
    monkeypatch.setattr(sums, "_SUM_ROWS", 7)  # rows in several bands
    options = dict(SAMPLES[shape])
    texts = reference.sample(options.pop("seed"), options.pop("n_trees"), options.pop("n_taxa"), **options)
    native = encoded(texts, rooted)
    n = native.n_trees
    full = full_matrix(native, metric)
    rng = np.random.default_rng(len(texts))
    # Candidates out of order and repeated, references a subset: the sums follow the indices given.
    candidates = rng.permutation(n)[: n // 2]
    candidates[-1] = candidates[0]
    chosen = np.sort(rng.choice(n, size=n // 3, replace=False))
    for rows, cols in [(candidates, chosen), (range(n), range(n)), (chosen, candidates)]:
        rows_at, cols_at = np.asarray(rows), np.asarray(cols)
        expected = np.frombuffer(native.block_reduce(metric, rows_at.astype(np.int64).data,
                                                     cols_at.astype(np.int64).data)["sums"], dtype="<f8")
        got = sums.distance_sums(native, metric, rows, cols)
        assert got.tobytes() == expected.tobytes()
        by_numpy = full[np.ix_(rows_at, cols_at)].astype(np.float64).sum(axis=1)
        if metric == "rf":  # whole numbers: any order of summation gives the same
            assert got.tobytes() == by_numpy.tobytes()
        else:
            np.testing.assert_allclose(got, by_numpy, rtol=1e-12)
        if metric == "rf":
            # The report's own split rows (renumbered, trivial splits dropped) give the same numbers.
            presence = presence_from_engine(native, native.leaf_names)
            assert sums.distance_sums(native, "rf", rows, cols, (presence.indptr, presence.indices)).tobytes() \
                == expected.tobytes()
        means = expected / len(cols_at)
        best = int(np.flatnonzero(means == means.min())[0])  # the first candidate among ties
        assert sums.medoid(native, metric, rows, cols) == (int(rows_at[best]), float(means[best]))
        np.testing.assert_array_equal(sums.mean_distances(native, metric, rows, cols), means)


@pytest.mark.parametrize("candidates, expected", [
    ([0, 1, 2, 3], 0),  # every tree ties: the first
    ([3, 2, 1, 0], 3),  # the first of the candidates as given, not the lowest index
    ([1, 3], 1),
])
def test_ties_go_to_the_first_candidate(candidates, expected):
    texts = ["((A,B),(C,D),E);", "((A,C),(B,D),E);"] * 2
    native = encoded(texts, rooted=False)
    assert sums.medoid(native, "rf", candidates, range(4)) == (expected, 2.0)


@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
def test_tile_reductions_are_the_engines_sums(metric):
    pytest.importorskip("dask")
    from brantoveil_tools.selection import Selection
    from brantoveil_tools.tiles import Encoded, mean_distances, medoid

    texts = reference.sample(4, 45, 10, multifurcation=0.3)
    native = encoded(texts, rooted=False)
    sample = Encoded(native, tuple(native.names), np.zeros(45, dtype=np.int64), ("run",), Selection("0", 1, ()))
    # Band by band or in one call, the sums are the engine's whole-sample reduction.
    sums = np.frombuffer(native.block_reduce(metric, range(45), range(45))["sums"], dtype="<f8")
    assert mean_distances(sample, metric, chunk=7).tobytes() == (sums / 44).tobytes()
    assert medoid(sample, metric, chunk=7) == int(np.argmin(sums))
